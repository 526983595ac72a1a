#include "core/distance/query_scorer.h"

#include <cassert>
#include <cmath>

#include "core/distance/kernels.h"

namespace tarnvault_core::distance {

QueryScorer::QueryScorer(DistanceMetric metric, std::span<const float> query)
    : metric_(metric), query_(query) {
  if (metric_ == DistanceMetric::Cosine) {
    query_norm_ = std::sqrt(kernels::dot_product(query_.data(), query_.data(), query_.size()));
  }
}

float QueryScorer::score(std::span<const float> stored) const {
  assert(stored.size() == query_.size());
  const float* q = query_.data();
  const float* s = stored.data();
  const std::size_t n = query_.size();
  switch (metric_.value()) {
    case DistanceMetric::Euclidean:
      return kernels::euclidean(q, s, n);
    case DistanceMetric::Cosine:
      return kernels::cosine(q, query_norm_, s, n);
    case DistanceMetric::DotProduct:
      return kernels::negated_dot_product(q, s, n);
    case DistanceMetric::Hamming:
      return kernels::hamming(q, s, n);
  }
  return std::nanf("");
}

}  // namespace tarnvault_core::distance
