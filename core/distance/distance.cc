#include "core/distance/distance.h"

#include <algorithm>

#include "core/distance/kernels.h"
#include "core/distance/query_scorer.h"

namespace tarnvault_core::distance {

float dot_product(std::span<const float> a, std::span<const float> b) {
  return kernels::dot_product(a.data(), b.data(), std::min(a.size(), b.size()));
}

float DistanceMetric::distance(std::span<const float> a, std::span<const float> b) const {
  // Lengths are equal for every caller; the common prefix keeps a mistaken
  // call memory-safe and is exactly what Hamming is defined over.
  const std::size_t n = std::min(a.size(), b.size());
  return QueryScorer(*this, a.first(n)).score(b.first(n));
}

}  // namespace tarnvault_core::distance
