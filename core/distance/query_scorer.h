// A query prepared for scoring many stored vectors with one metric. What only
// depends on the query (the Cosine query norm) is computed once, here, and
// gives the same bits as recomputing it for every vector would.
#pragma once

#include <cstddef>
#include <span>

#include "core/distance/distance.h"

namespace tarnvault_core::distance {

class QueryScorer {
 public:
  // The query is borrowed and must outlive the scorer.
  QueryScorer(DistanceMetric metric, std::span<const float> query);

  std::size_t dimension() const { return query_.size(); }

  // Same result as metric.distance(query, stored).
  float score(std::span<const float> stored) const;

 private:
  DistanceMetric metric_;
  std::span<const float> query_;
  float query_norm_ = 0.0f;  // Cosine only
};

}  // namespace tarnvault_core::distance
