// The digits of float32 texts: the shortest decimal that reads back to the
// same float (Dragonbox, from fmt) and its characters, ready to be laid
// out. One scalar reference, and an AVX2 version that gives the same
// digits four values per instruction. The log writes one float text per
// vector component, so this is most of a durable insert's work.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Per biased exponent: the cached power of ten Dragonbox multiplies by.
struct Float32DigitTables {
  std::uint64_t power[256];
};

// The tables, built at first use from Dragonbox's own.
const Float32DigitTables& float32_digit_tables();

inline constexpr std::size_t kAvx2DigitBlock = 8;

// The digits of kAvx2DigitBlock values at once, signs ignored: the same as
// float32_digits gives, except for lanes whose value is zero, subnormal or
// a power of two, which are left to float32_digits: a bit per such lane is
// returned. Call only where float32_digits_avx2_enabled().
unsigned float32_digits_avx2(const float* values, const Float32DigitTables& tables,
                             Float32Digits* out);

// Whether the AVX2 version runs: chosen once, from the CPU, unless the
// environment variable TARNVAULT_SIMD is "scalar".
bool float32_digits_avx2_enabled();

}  // namespace tarnvault_core::payload
