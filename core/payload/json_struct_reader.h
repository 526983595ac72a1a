// The reader of a record with named fields, shared by every JSON record this
// library reads (payloads, log records, collection metadata).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/payload/json_reader.h"
#include "core/payload/json_value_reader.h"

namespace tarnvault_core::payload {

// Reads a record from an object or from an array.
//
// Object form: keys match field names exactly and may come in any order;
// other keys are skipped with their values. A field given twice fails with
// "duplicate field `{name}`" (at the key), a field not given with "missing
// field `{name}`" (at the closing brace, first missing in declaration order).
//
// Array form: the elements are the fields in declaration order. A count
// other than the number of fields fails at the closing bracket with
// "invalid length {count}, expected struct {Name} with {n} element(s)".
//
// Anything else is "invalid type: {found}, expected struct {Name}".
// A derived reader names its fields and supplies a reader for each; field
// values are handed to those readers. Used once per value read.
class StructReader : public ValueReader {
 public:
  std::string expected() const override;

  ReadStep on_null(ReadContext& ctx) override;
  ReadStep on_bool(ReadContext& ctx, bool value) override;
  ReadStep on_number(ReadContext& ctx, std::string_view text) override;
  ReadStep on_string(ReadContext& ctx, std::string_view value) override;
  ReadStep on_start_object(ReadContext& ctx) override;
  ReadStep on_key(ReadContext& ctx, std::string_view key) override;
  ReadStep on_end_object(ReadContext& ctx) override;
  ReadStep on_start_array(ReadContext& ctx) override;
  ReadStep on_end_array(ReadContext& ctx) override;

 protected:
  // field_names: in declaration order, at most 64; both must outlive the reader.
  StructReader(std::string_view struct_name, std::span<const std::string_view> field_names);

  virtual ValueReader& field_reader(std::size_t index) = 0;

 private:
  enum class Form : std::uint8_t { kNotStarted, kObject, kArray };

  // In the array form, the first event of each element.
  ReadStep start_element(ReadContext& ctx);
  bool in_array() const { return form_ == Form::kArray; }

  std::string_view struct_name_;
  std::span<const std::string_view> field_names_;
  Form form_ = Form::kNotStarted;
  std::uint64_t seen_fields_ = 0;  // bit i: field i was given
  std::size_t element_count_ = 0;
  SkipValueReader skip_;
};

}  // namespace tarnvault_core::payload
