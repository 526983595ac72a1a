#include "core/payload/float32_from_decimal.h"

#include <array>
#include <bit>
#include <limits>

namespace tarnvault_core::payload {
namespace {

constexpr std::uint64_t kLargestExactMantissa = std::uint64_t{1} << 53;
constexpr int kLargestExactPower = 22;

// Every power of ten up to 10^22 is exact in a double. A decimal of
// exponent e is its mantissa times kScaleUp[e + 22] divided by
// kScaleDown[e + 22]: one of the two is 1, so exactly one operation rounds.
constexpr std::array<double, 2 * kLargestExactPower + 1> scale_table(bool up) {
  std::array<double, 2 * kLargestExactPower + 1> table{};
  double power = 1;
  for (int e = 0; e <= kLargestExactPower; ++e) {
    table[kLargestExactPower + e] = up ? power : 1;
    table[kLargestExactPower - e] = up ? 1 : power;
    power *= 10;
  }
  return table;
}
constexpr auto kScaleUp = scale_table(true);
constexpr auto kScaleDown = scale_table(false);

// Bits of a double's mantissa that a float of the normal range drops.
constexpr int kDroppedBits =
    std::numeric_limits<double>::digits - std::numeric_limits<float>::digits;
constexpr std::uint64_t kDroppedMask = (std::uint64_t{1} << kDroppedBits) - 1;
constexpr std::uint64_t kHalfOfDropped = std::uint64_t{1} << (kDroppedBits - 1);

constexpr double kSmallestNormal = std::numeric_limits<float>::min();
constexpr double kLargest = std::numeric_limits<float>::max();

}  // namespace

std::uint64_t floats_from_decimals(const ShortDecimal* decimals, std::size_t count, float* out) {
  std::uint64_t refused = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const ShortDecimal& decimal = decimals[i];
    const bool fits = decimal.mantissa <= kLargestExactMantissa &&
                      decimal.exponent >= -kLargestExactPower &&
                      decimal.exponent <= kLargestExactPower;
    const std::size_t scale = fits ? static_cast<std::size_t>(decimal.exponent + kLargestExactPower)
                                   : kLargestExactPower;
    // Both operands are exact, so d is the decimal rounded once to a
    // double. Rounding d on to a float rounds twice, which differs from
    // rounding the decimal once only when d sits on a float midpoint: the
    // midpoints are doubles and rounding is monotonic, so a decimal on
    // either side of one cannot round past it.
    const double mantissa = static_cast<double>(static_cast<std::int64_t>(fits ? decimal.mantissa : 0));
    const double d = mantissa * kScaleUp[scale] / kScaleDown[scale];
    // Near the ends of the float range (subnormal results, rounding to
    // infinity) fewer or no bits survive: left to the full conversion.
    const bool in_range = (d >= kSmallestNormal && d <= kLargest) || d == 0;
    const bool midpoint = (std::bit_cast<std::uint64_t>(d) & kDroppedMask) == kHalfOfDropped;
    const float f = static_cast<float>(d);
    // f is not negative: the sign is its top bit.
    out[i] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) |
                                  static_cast<std::uint32_t>(decimal.negative) << 31);
    refused |= static_cast<std::uint64_t>(!fits || !in_range || midpoint) << i;
  }
  return refused;
}

}  // namespace tarnvault_core::payload
