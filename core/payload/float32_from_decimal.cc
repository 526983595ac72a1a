#include "core/payload/float32_from_decimal.h"

#include <bit>
#include <limits>

namespace tarnvault_core::payload {
namespace {

constexpr std::uint64_t kLargestExactMantissa = std::uint64_t{1} << 53;
constexpr int kLargestExactPower = 22;

// Every power of ten up to 10^22 is exact in a double.
constexpr double kPowersOfTen[kLargestExactPower + 1] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

// Bits of a double's mantissa that a float of the normal range drops.
constexpr int kDroppedBits = std::numeric_limits<double>::digits - std::numeric_limits<float>::digits;
constexpr std::uint64_t kDroppedMask = (std::uint64_t{1} << kDroppedBits) - 1;
constexpr std::uint64_t kHalfOfDropped = std::uint64_t{1} << (kDroppedBits - 1);

// Whether the magnitude d, within the normal float range, lies exactly
// halfway between two floats: the bits a float drops are 100...0.
bool on_float_midpoint(double d) {
  return (std::bit_cast<std::uint64_t>(d) & kDroppedMask) == kHalfOfDropped;
}

}  // namespace

std::optional<float> float32_from_decimal(std::uint64_t mantissa, int exponent, bool negative) {
  if (mantissa > kLargestExactMantissa || exponent < -kLargestExactPower ||
      exponent > kLargestExactPower) {
    return std::nullopt;
  }
  // Both operands are exact, so d is the decimal's value rounded once to
  // a double. Rounding d on to a float rounds twice, which differs from
  // rounding the decimal once only when d sits on a float midpoint: the
  // midpoints are doubles and rounding is monotonic, so a decimal on
  // either side of one cannot round past it.
  const double magnitude = static_cast<double>(mantissa);
  const double d = exponent < 0 ? magnitude / kPowersOfTen[-exponent]
                                : magnitude * kPowersOfTen[exponent];
  // Near the ends of the float range (subnormal results, rounding to
  // infinity) fewer or no bits survive: left to the full conversion.
  if (!(d >= static_cast<double>(std::numeric_limits<float>::min()) &&
        d <= static_cast<double>(std::numeric_limits<float>::max())) &&
      d != 0) {
    return std::nullopt;
  }
  if (on_float_midpoint(d)) return std::nullopt;
  const float f = static_cast<float>(d);
  return negative ? -f : f;
}

}  // namespace tarnvault_core::payload
