// The 32-bit floats nearest to short decimals, computed with one double
// operation each where that gives the correctly rounded result, which is
// the case for nearly every number a shortest-float writer produces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnvault_core::payload {

// (-1 if negative) * mantissa * 10^exponent, as a number's digits give it.
struct ShortDecimal {
  std::uint64_t mantissa;
  std::int32_t exponent;
  bool negative;
};

// Decimals converted at once, at most 64.
inline constexpr std::size_t kDecimalBlock = 64;

// Writes the float nearest to each of the count decimals to out, rounded
// once, and returns a mask whose bit i is set where the quick computation
// cannot vouch for that rounding (a mantissa above 2^53, an exponent
// outside [-22, 22], a value outside the normal float range, or one that
// lies on a midpoint between two floats after the double operation): out[i]
// is then unspecified, and the caller converts that number's text in full.
// The loop has no branch on the data, so the divisions of a block overlap.
std::uint64_t floats_from_decimals(const ShortDecimal* decimals, std::size_t count, float* out);

}  // namespace tarnvault_core::payload
