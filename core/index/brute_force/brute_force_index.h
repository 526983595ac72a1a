// BruteForceIndex: the in-memory exact k-nearest-neighbour store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/distance/distance.h"
#include "core/error/result.h"
#include "core/filter/filter.h"
#include "core/payload/payload.h"

namespace tarnvault_core::index::brute_force {

struct SearchResult {
  std::uint64_t id = 0;
  float distance = 0.0f;
  std::optional<payload::Payload> payload;  // always present in results of search
};

class BruteForceIndex {
 public:
  BruteForceIndex(DistanceMetric metric, std::size_t dimension);

  // Copies the vector in. Fails with DimensionMismatch (checked first) or
  // DuplicateId; the index is unchanged on failure.
  Status insert(std::uint64_t id, std::span<const float> vector, payload::Payload payload);

  // Scores every entry that passes the filter (null: no filter) and returns
  // the k best, ascending by distance, ties in enumeration order, NaN last.
  // A query of the wrong length gives an empty result.
  std::vector<SearchResult> search(std::span<const float> query, std::size_t k,
                                   const filter::Filter* filter = nullptr) const;

  // True if an entry was removed.
  bool remove(std::uint64_t id);

  std::size_t len() const;
  std::size_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }

 private:
  DistanceMetric metric_;
  std::size_t dimension_;
  // Storage is private to the implementation; see brute_force_index.cc.
};

}  // namespace tarnvault_core::index::brute_force

namespace tarnvault_core {
using index::brute_force::BruteForceIndex;
using index::brute_force::SearchResult;
}  // namespace tarnvault_core
