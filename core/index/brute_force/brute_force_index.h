// BruteForceIndex: the in-memory exact k-nearest-neighbour store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/distance/distance.h"
#include "core/error/result.h"
#include "core/filter/filter.h"
#include "core/payload/payload.h"

namespace tarnvault_core::distance {
class QueryScorer;
}  // namespace tarnvault_core::distance

namespace tarnvault_core::index::brute_force {

class TopKSelector;

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

  // True if an entry was removed. Removal changes the enumeration order of
  // the remaining entries.
  bool remove(std::uint64_t id);

  std::size_t len() const { return ids_.size(); }
  bool contains(std::uint64_t id) const { return slot_of_.contains(id); }
  // Makes room for `entries` entries in total, e.g. before a bulk load.
  void reserve(std::size_t entries);
  // The stored ids in enumeration order: the order in which equal distances
  // are returned by search.
  std::span<const std::uint64_t> ids() const { return ids_; }

  std::size_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }

 private:
  const float* vector_data(std::size_t slot) const { return arena_.data() + slot * dimension_; }
  float* vector_data(std::size_t slot) { return arena_.data() + slot * dimension_; }
  void move_slot(std::size_t from, std::size_t to);

  void scan_all(const distance::QueryScorer& scorer, TopKSelector& selector) const;
  void scan_filtered(const distance::QueryScorer& scorer, const filter::Filter& filter,
                     TopKSelector& selector) const;
  void score_slots(const distance::QueryScorer& scorer, std::size_t begin, std::size_t end,
                   TopKSelector& selector) const;

  DistanceMetric metric_;
  std::size_t dimension_;
  // Entries live in slots 0 .. len() - 1, and the slot order is the
  // enumeration order. Vectors are contiguous so a scan streams through one
  // array; a removal moves the last slot into the hole to stay dense.
  std::vector<float> arena_;  // slot s occupies [s * dimension_, (s + 1) * dimension_)
  std::vector<std::uint64_t> ids_;
  std::vector<payload::Payload> payloads_;
  std::unordered_map<std::uint64_t, std::size_t> slot_of_;
};

}  // namespace tarnvault_core::index::brute_force

namespace tarnvault_core {
using index::brute_force::BruteForceIndex;
using index::brute_force::SearchResult;
}  // namespace tarnvault_core
