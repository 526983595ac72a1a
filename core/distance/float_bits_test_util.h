// Bit-exact float comparison for tests: equal bit patterns, or both NaN (a
// NaN's payload and sign are not part of any result).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

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

}  // namespace tarnvault_core::distance::testing
