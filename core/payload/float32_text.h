// Float32 texts: the shortest decimal that reads back to the same float
// (Dragonbox, from fmt) and its layout as characters. One scalar
// reference, and an AVX2 list writer that gives the same bytes four values
// per instruction. The log writes one float text per vector component, so
// this is most of a durable insert's work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnvault_core::payload {

// What the layout of a nonzero float32's text needs.
struct Float32Digits {
  std::uint64_t rest;  // digits 2 to 9 as characters, '0' past the last digit
  char first;          // the first digit's character
  int count;                // 1 to 9 digits, the last one nonzero
  int scientific_exponent;  // |value| = first.rest x 10^scientific_exponent

  bool operator==(const Float32Digits&) const = default;
};

// The scalar reference, for a finite nonzero magnitude: the shortest digits
// that read back to the same float, the closest of them to the value.
Float32Digits float32_digits(float magnitude);

// to_chars' choice between the notations: plain unless scientific is
// strictly shorter. A float32's exponent has two digits and a sign.
constexpr bool float32_text_is_plain(int count, int scientific_exponent) {
  const int exponent = scientific_exponent - count + 1;  // value = digits x 10^exponent
  const int integral = scientific_exponent + 1;          // digits before the point
  const int plain_size = exponent >= 0 ? integral : integral > 0 ? count + 1 : 2 - exponent;
  const int scientific_size = count + (count > 1 ? 1 : 0) + 4;
  return plain_size <= scientific_size;
}

// Per biased exponent: the cached power of ten Dragonbox multiplies by.
struct Float32DigitTables {
  std::uint64_t power[256];
};

// The tables, built at first use from Dragonbox's own.
const Float32DigitTables& float32_digit_tables();

// write_float32_list (json_number.h) with AVX2: the same bytes. Call only
// where float32_text_avx2_enabled().
char* write_float32_list_avx2(char* at, std::span<const float> values,
                              const Float32DigitTables& tables);

// Whether the AVX2 version runs: chosen once, from the CPU, unless the
// environment variable TARNVAULT_SIMD is "scalar".
bool float32_text_avx2_enabled();

}  // namespace tarnvault_core::payload
