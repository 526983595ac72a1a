// Numbers in JSON text: sorting a number's text into the value model's three
// kinds, and writing numbers so that they read back as the same kind and value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/payload/json_value.h"

namespace tarnvault_core::payload {

// Classifies the text of one JSON number (it must follow the JSON number
// grammar). No fraction and no exponent: unsigned when non-negative and at
// most 2^64 - 1, negative signed when at least -2^63; "-0" and every other
// number are floats. A float too small for a double becomes +-0.0; one too
// large has no value, and the result is empty.
std::optional<JsonValue> number_from_json_text(std::string_view text);

// The 32-bit float nearest to the value of a JSON number text, rounded once.
// Beyond the float range the nearest value is +-infinity, below it +-0.0.
float float32_from_json_text(std::string_view text);

void append_unsigned(std::string& out, std::uint64_t value);
void append_signed(std::string& out, std::int64_t value);

// The shortest text that reads back to the same value, always with a decimal
// point or an exponent so that it reads back as a float ("1.0", "1e+16").
// The value must be finite.
void append_float(std::string& out, double value);
void append_float32(std::string& out, float value);

// Room write_float32 may need: the longest shortest float32 text is 15
// characters ("-1.17549435e-38"), plus the ".0" of an integral value.
inline constexpr std::size_t kMaxFloat32TextSize = 32;

// append_float32's text written at `at`, which must have
// kMaxFloat32TextSize bytes of room; returns the end of the text. Bytes of
// the room past the end may be overwritten. For writers that format many
// numbers into one buffer sized once.
char* write_float32(char* at, float value);

// The texts of values separated by ',' at `at`, which must have
// values.size() * (kMaxFloat32TextSize + 1) bytes of room; returns the end.
// Every value must be finite. The same bytes as write_float32 one value at
// a time, about three times as fast for a vector's components where AVX2
// runs.
char* write_float32_list(char* at, std::span<const float> values);

// "NaN", "inf" or "-inf": names a non-finite value in messages.
std::string_view non_finite_name(double value);

}  // namespace tarnvault_core::payload
