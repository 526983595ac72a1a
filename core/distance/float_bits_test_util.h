// Bit-exact float comparison for tests: equal bit patterns, or both NaN (a
// NaN's payload and sign are not part of any result).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include <gtest/gtest.h>

namespace tarnvault_core::distance::testing {

inline ::testing::AssertionResult SameBits(float actual, float expected) {
  if (std::isnan(actual) && std::isnan(expected)) return ::testing::AssertionSuccess();
  const auto a = std::bit_cast<std::uint32_t>(actual);
  const auto e = std::bit_cast<std::uint32_t>(expected);
  if (a == e) return ::testing::AssertionSuccess();
  char text[96];
  std::snprintf(text, sizeof text, "got %a (0x%08x), expected %a (0x%08x)",
                static_cast<double>(actual), a, static_cast<double>(expected), e);
  return ::testing::AssertionFailure() << text;
}

}  // namespace tarnvault_core::distance::testing
