// BruteForceIndex: the in-memory exact k-nearest-neighbour store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/distance/distance.h"
#include "core/error/result.h"
#include "core/filter/filter.h"
#include "core/filter/payload_table.h"
#include "core/index/brute_force/grouped_vectors.h"
#include "core/index/brute_force/slot_map.h"
#include "core/payload/payload.h"

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

  // Inserts ids[i] with vector row(i), payload empty, for i in order, with
  // the result of insert on each; stops at the first failure, and the
  // entries before it stay inserted. Faster than insert one by one: whole
  // groups of vectors are written at once.
  Status insert_batch(std::span<const std::uint64_t> ids,
                      const std::function<std::span<const float>(std::size_t)>& row);

  // Scores every entry that passes the filter (null: no filter) and returns
  // the k best, ascending by distance, ties in enumeration order, NaN last.
  // A query of the wrong length gives an empty result.
  std::vector<SearchResult> search(std::span<const float> query, std::size_t k,
                                   const filter::Filter* filter = nullptr) const;

  // search for each query, in order, with the same results; the stored
  // vectors are read once per few queries instead of once per query.
  std::vector<std::vector<SearchResult>> search_batch(std::span<const std::span<const float>> queries,
                                                      std::size_t k,
                                                      const filter::Filter* filter = nullptr) const;

  // True if an entry was removed. Removal changes the enumeration order of
  // the remaining entries.
  bool remove(std::uint64_t id);

  std::size_t len() const { return ids_.size(); }
  // The stored vector of an entry; nullopt for an absent id.
  std::optional<std::vector<float>> vector(std::uint64_t id) const;
  // The stored payload of an entry; nullopt for an absent id.
  std::optional<payload::Payload> payload(std::uint64_t id) const;
  bool contains(std::uint64_t id) const { return slots_.find(id, ids_).has_value(); }
  // Hints that id is looked up soon.
  void prefetch(std::uint64_t id) const { slots_.prefetch(id); }
  // Whether the index holds id with exactly these vector bits (so 0.0 and
  // -0.0 differ) and an equal payload.
  bool holds(std::uint64_t id, std::span<const float> vector,
             const payload::Payload& payload) const;
  // Makes room for `entries` entries in total, e.g. before a bulk load.
  void reserve(std::size_t entries);
  // The stored ids in enumeration order: the order in which equal distances
  // are returned by search.
  std::span<const std::uint64_t> ids() const { return ids_; }

  std::size_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }

 private:
  void move_slot(std::size_t from, std::size_t to);
  void grow_tables_for(std::size_t more);
  const payload::Payload& payload_at(std::size_t slot) const;

  // Scores the queries (all of the index's dimension) against every entry
  // that passes the filter, one selector per query.
  void scan(std::span<const float* const> queries, const filter::Filter* filter,
            std::span<TopKSelector> selectors) const;
  std::vector<SearchResult> results_of(TopKSelector&& selector) const;

  DistanceMetric metric_;
  std::size_t dimension_;
  // Entries live in slots 0 .. len() - 1, and the slot order is the
  // enumeration order. A removal moves the last slot into the hole to stay
  // dense.
  GroupedVectors vectors_;
  std::vector<std::uint64_t> ids_;
  // Most payloads are empty: those cost one null pointer.
  std::vector<std::unique_ptr<payload::Payload>> payloads_;
  // The same payloads, slot by slot, in the form filters are tested on.
  filter::PayloadTable payload_table_;
  SlotMap slots_;
};

}  // namespace tarnvault_core::index::brute_force

namespace tarnvault_core {
using index::brute_force::BruteForceIndex;
using index::brute_force::SearchResult;
}  // namespace tarnvault_core
