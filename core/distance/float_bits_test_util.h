// Float helpers for tests: bit-exact comparison, and inputs that make any
// change in the order of additions show.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace tarnvault_core::distance::testing {

inline ::testing::AssertionResult SameBits(float actual, float expected) {
  if ((std::isnan(actual) && std::isnan(expected)) ||
      std::bit_cast<std::uint32_t>(actual) == std::bit_cast<std::uint32_t>(expected)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "got " << std::hexfloat << actual << ", expected "
                                       << expected;
}

// IEEE special values and the neighbourhood of the Hamming threshold.
inline const float kSpecialFloats[] = {std::numeric_limits<float>::quiet_NaN(),
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       -0.0f,
                                       0.0f,
                                       0.5f,
                                       std::nextafter(0.5f, 1.0f),
                                       std::numeric_limits<float>::denorm_min(),
                                       std::numeric_limits<float>::max()};

// Components of widely spread magnitude, so that any change in the order of
// additions shows in the low bits; `special_rate` of them are special values.
inline std::vector<float> random_floats(std::mt19937& rng, std::size_t n, double special_rate) {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> exponent(-12, 12);
  std::vector<float> v(n);
  for (float& x : v) {
    x = uniform(rng) < special_rate ? kSpecialFloats[rng() % std::size(kSpecialFloats)]
                                    : std::ldexp(normal(rng), exponent(rng));
  }
  return v;
}

}  // namespace tarnvault_core::distance::testing
