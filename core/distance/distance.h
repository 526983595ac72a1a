// Distance metrics with a fixed single-precision evaluation order, so that
// every build and every code path gives the same bits for the same inputs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tarnvault_core::distance {

// Inner product over the first min(|a|, |b|) components, summed in blocks of
// 16 in the order fixed by blocked_sum.h.
float dot_product(std::span<const float> a, std::span<const float> b);

// A one-byte metric value that knows how to score two vectors.
class DistanceMetric {
 public:
  enum Value : std::uint8_t { Euclidean = 0, Cosine = 1, DotProduct = 2, Hamming = 3 };

  constexpr DistanceMetric(Value value) : value_(value) {}

  constexpr Value value() const { return value_; }
  constexpr operator Value() const { return value_; }

  // The value's name as spelled: "Euclidean", "Cosine", "DotProduct", "Hamming".
  std::string_view name() const;
  static std::optional<DistanceMetric> from_name(std::string_view name);

  // Distance between query a and stored vector b (equal lengths; otherwise
  // only the common prefix is scored). Smaller is closer. To score many stored
  // vectors against one query, prepare a QueryScorer instead.
  float distance(std::span<const float> a, std::span<const float> b) const;

 private:
  Value value_;
};

static_assert(sizeof(DistanceMetric) == 1);

}  // namespace tarnvault_core::distance

namespace tarnvault_core {
using distance::DistanceMetric;
}  // namespace tarnvault_core
