// The reader of the Payload JSON form, usable on its own (payload_from_json)
// or inside an enclosing record's reader (a log record's "payload" field).
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "core/payload/json_struct_reader.h"
#include "core/payload/json_value_reader.h"
#include "core/payload/payload.h"

namespace tarnvault_core::payload {

// The `data` map: a JSON object of any values; a repeated key replaces the
// earlier value. Anything else: "invalid type: {found}, expected a map".
class PayloadDataReader : public ValueReader {
 public:
  explicit PayloadDataReader(Payload* out) : out_(out) {}

  std::string expected() const override { return "a map"; }
  ReadStep on_start_object(ReadContext& ctx) override;
  ReadStep on_key(ReadContext& ctx, std::string_view key) override;
  ReadStep on_end_object(ReadContext& ctx) override;

 private:
  Payload* out_;
  JsonValueReader value_reader_;
};

// {"data":{...}} (other keys skipped) or [{...}]; into *out, which should
// start empty. Used once.
class PayloadReader : public StructReader {
 public:
  explicit PayloadReader(Payload* out);

 protected:
  ValueReader& field_reader(std::size_t index) override;

 private:
  static constexpr std::array<std::string_view, 1> kFields = {"data"};
  PayloadDataReader data_reader_;
};

}  // namespace tarnvault_core::payload
