// Readers of single scalar fields of records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/payload/json_reader.h"

namespace tarnvault_core::payload {

// A non-negative JSON integer of at most max. A negative or larger integer
// fails with "invalid value: integer `{n}`, expected {what}"; a float (a
// fraction, an exponent, -0, or beyond 2^64 - 1) or any other kind with
// "invalid type: ..., expected {what}".
class UnsignedReader : public ValueReader {
 public:
  // what: as shown in messages ("an unsigned 64-bit integer"); must outlive the reader.
  UnsignedReader(std::uint64_t* out, std::uint64_t max, std::string_view what)
      : out_(out), max_(max), what_(what) {}

  std::string expected() const override { return std::string(what_); }
  ReadStep on_number(ReadContext& ctx, std::string_view text) override;

 private:
  std::uint64_t* out_;
  std::uint64_t max_;
  std::string_view what_;
};

// A JSON string, any content.
class StringReader : public ValueReader {
 public:
  explicit StringReader(std::string* out) : out_(out) {}

  std::string expected() const override { return "a string"; }
  ReadStep on_string(ReadContext& ctx, std::string_view value) override;

 private:
  std::string* out_;
};

}  // namespace tarnvault_core::payload
