#include "core/index/brute_force/brute_force_index.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/distance/kernels.h"
#include "core/distance/simd_level.h"
#include "core/index/brute_force/top_k_selector.h"

namespace tarnvault_core::index::brute_force {
namespace {

// Queries whose scores go to the selectors after each kernel call: a pair
// shares every load of a stored vector, and their scores stay in L1.
constexpr std::size_t kQueryTile = 2;
// Candidates all selectors of one pass of search_batch may hold: a batch
// with a huge k is scanned a few queries at a time instead.
constexpr std::size_t kBatchCandidates = std::size_t{1} << 20;

const payload::Payload kEmptyPayload;

}  // namespace

BruteForceIndex::BruteForceIndex(DistanceMetric metric, std::size_t dimension)
    : metric_(metric), dimension_(dimension), vectors_(dimension) {}

Status BruteForceIndex::insert(std::uint64_t id, std::span<const float> vector,
                               payload::Payload payload) {
  if (vector.size() != dimension_) return Error::dimension_mismatch(dimension_, vector.size());
  if (contains(id)) return Error::duplicate_id(id);
  // First, as the one step that can fail on a valid entry: it leaves the
  // table unchanged when it throws.
  payload_table_.push_back(payload);
  vectors_.push_back(vector);
  ids_.push_back(id);
  slots_.insert(id, ids_.size() - 1, ids_);
  payloads_.push_back(payload.data.empty() ? nullptr
                                           : std::make_unique<payload::Payload>(std::move(payload)));
  return {};
}

Status BruteForceIndex::insert_batch(std::span<const std::uint64_t> ids,
                                     const std::function<std::span<const float>(std::size_t)>& row) {
  const float* pending[distance::kGroupLanes];
  const distance::SimdKernels& simd = distance::simd_kernels();
  for (std::size_t first = 0; first < ids.size();) {
    // Rows up to the end of the current group go in together; the group's
    // memory is allocated first, so that nothing below can fail midway.
    // A failing row costs at most one chunk faulted in for nothing.
    const std::size_t room = std::min(vectors_.room_in_group(), ids.size() - first);
    vectors_.make_room(room, ids.size() - first);
    grow_tables_for(room);
    for (std::size_t i = first; i < first + room; ++i) slots_.prefetch(ids[i]);
    Status status;
    std::size_t count = 0;
    for (; count < room; ++count) {
      const std::span<const float> vector = row(first + count);
      const std::uint64_t id = ids[first + count];
      if (vector.size() != dimension_) {
        status = Error::dimension_mismatch(dimension_, vector.size());
        break;
      }
      if (!slots_.insert_if_absent(id, ids_.size(), ids_)) {
        status = Error::duplicate_id(id);
        break;
      }
      ids_.push_back(id);
      payloads_.push_back(nullptr);
      payload_table_.push_back_empty();
      pending[count] = vector.data();
    }
    vectors_.append_rows(pending, count, simd);
    if (!status.ok()) return status;
    first += count;
  }
  return {};
}

// Once the slot map has taken an id, the pushes that follow must not fail:
// a throw between them would leave it naming a slot that does not exist.
void BruteForceIndex::grow_tables_for(std::size_t more) {
  if (ids_.capacity() - ids_.size() >= more && payloads_.capacity() - payloads_.size() >= more &&
      payload_table_.capacity() - payload_table_.size() >= more) {
    return;
  }
  const std::size_t wanted = std::max(ids_.size() + more, 2 * ids_.size());
  ids_.reserve(wanted);
  payloads_.reserve(wanted);
  payload_table_.reserve(wanted);
}

void BruteForceIndex::reserve(std::size_t entries) {
  // Only the per-entry tables; vector chunks are allocated as they fill.
  if (entries > ids_.max_size()) return;
  vectors_.reserve(entries);
  ids_.reserve(entries);
  payloads_.reserve(entries);
  payload_table_.reserve(entries);
  slots_.reserve(entries, ids_);
}

bool BruteForceIndex::remove(std::uint64_t id) {
  const auto found = slots_.find(id, ids_);
  if (!found) return false;
  const std::size_t hole = *found;
  slots_.erase(id, ids_);
  payload_table_.swap_remove(hole);
  const std::size_t last = ids_.size() - 1;
  if (hole != last) move_slot(last, hole);
  vectors_.pop_back();
  ids_.pop_back();
  payloads_.pop_back();
  return true;
}

std::optional<std::vector<float>> BruteForceIndex::vector(std::uint64_t id) const {
  const auto slot = slots_.find(id, ids_);
  if (!slot) return std::nullopt;
  std::vector<float> out(dimension_);
  vectors_.read(*slot, out.data());
  return out;
}

std::optional<payload::Payload> BruteForceIndex::payload(std::uint64_t id) const {
  const auto slot = slots_.find(id, ids_);
  if (!slot) return std::nullopt;
  return payload_at(*slot);
}

bool BruteForceIndex::holds(std::uint64_t id, std::span<const float> vector,
                            const payload::Payload& payload) const {
  if (vector.size() != dimension_) return false;
  const auto slot = slots_.find(id, ids_);
  return slot && vectors_.same_bits(*slot, vector.data()) && payload_at(*slot) == payload;
}

void BruteForceIndex::move_slot(std::size_t from, std::size_t to) {
  vectors_.copy_slot(from, to);
  ids_[to] = ids_[from];
  payloads_[to] = std::move(payloads_[from]);
  slots_.move(ids_[to], from, to);
}

const payload::Payload& BruteForceIndex::payload_at(std::size_t slot) const {
  return payloads_[slot] ? *payloads_[slot] : kEmptyPayload;
}

std::vector<SearchResult> BruteForceIndex::search(std::span<const float> query, std::size_t k,
                                                  const filter::Filter* filter) const {
  if (query.size() != dimension_) return {};
  // There are never more results than entries, so a huge k reserves nothing.
  const std::size_t capacity = std::min(k, len());
  if (capacity == 0) return {};
  const float* const queries[1] = {query.data()};
  TopKSelector selector(capacity);
  scan(queries, filter, std::span(&selector, 1));
  return results_of(std::move(selector));
}

std::vector<std::vector<SearchResult>> BruteForceIndex::search_batch(
    std::span<const std::span<const float>> queries, std::size_t k,
    const filter::Filter* filter) const {
  std::vector<std::vector<SearchResult>> results(queries.size());
  const std::size_t capacity = std::min(k, len());
  if (capacity == 0) return results;

  // Queries of the wrong length find nothing and are left out of the scan.
  std::vector<std::size_t> scanned;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    if (queries[i].size() == dimension_) scanned.push_back(i);
  }
  const std::size_t per_pass = std::max(kQueryTile, kBatchCandidates / capacity);
  for (std::size_t begin = 0; begin < scanned.size(); begin += per_pass) {
    const std::size_t end = std::min(begin + per_pass, scanned.size());
    std::vector<const float*> pass_queries;
    std::vector<TopKSelector> selectors;
    selectors.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      pass_queries.push_back(queries[scanned[i]].data());
      selectors.emplace_back(capacity);
    }
    scan(pass_queries, filter, selectors);
    for (std::size_t i = begin; i < end; ++i) {
      results[scanned[i]] = results_of(std::move(selectors[i - begin]));
    }
  }
  return results;
}

void BruteForceIndex::scan(std::span<const float* const> queries, const filter::Filter* filter,
                           std::span<TopKSelector> selectors) const {
  std::vector<float> norms(queries.size(), 0.0f);
  if (metric_ == DistanceMetric::Cosine) {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      norms[i] = std::sqrt(distance::kernels::dot_product(queries[i], queries[i], dimension_));
    }
  }
  const std::size_t chunk_slots = vectors_.slots_per_chunk();
  std::vector<float> scores(kQueryTile * chunk_slots);
  float* const rows[kQueryTile] = {scores.data(), scores.data() + chunk_slots};
  const distance::SimdKernels& simd = distance::simd_kernels();
  const auto score = [&](const distance::GroupRun& groups, std::size_t first_group,
                         std::size_t first_slot, std::size_t slots, const std::uint8_t* passes) {
    const std::size_t skip = first_group * distance::kGroupLanes;
    for (std::size_t q = 0; q < queries.size(); q += kQueryTile) {
      const std::size_t count = std::min(kQueryTile, queries.size() - q);
      float* const out[kQueryTile] = {rows[0] + skip, rows[1] + skip};
      simd.score_groups(metric_, {queries.data() + q, norms.data() + q, count}, groups, out);
      for (std::size_t i = 0; i < count; ++i) {
        if (passes == nullptr) {
          selectors[q + i].offer_block(first_slot + skip, out[i], slots);
        } else {
          selectors[q + i].offer_passing(first_slot + skip, out[i], passes + skip, slots);
        }
      }
    }
  };

  if (filter == nullptr) {
    for (std::size_t c = 0; c < vectors_.chunk_count(); ++c) {
      const std::size_t first_slot = c * chunk_slots;
      score(vectors_.chunk_groups(c), 0, first_slot, std::min(chunk_slots, len() - first_slot),
            nullptr);
    }
    return;
  }
  // Each entry's filter test runs once per pass, a chunk at a time, before
  // any scoring; then only the groups holding a passing entry are scored.
  filter::TableFilter matcher(*filter, payload_table_);
  std::vector<std::uint8_t> passes(chunk_slots);
  for (std::size_t c = 0; c < vectors_.chunk_count(); ++c) {
    const std::size_t first_slot = c * chunk_slots;
    const std::size_t slots = std::min(chunk_slots, len() - first_slot);
    matcher.matches(first_slot, slots, passes.data());
    const distance::GroupRun groups = vectors_.chunk_groups(c);
    // Lanes past the last entry of the last group never pass.
    std::fill(passes.begin() + static_cast<std::ptrdiff_t>(slots),
              passes.begin() + static_cast<std::ptrdiff_t>(groups.count * distance::kGroupLanes),
              std::uint8_t{0});
    const auto group_passes = [&passes](std::size_t g) {
      const std::uint8_t* lanes = passes.data() + g * distance::kGroupLanes;
      return std::any_of(lanes, lanes + distance::kGroupLanes, [](std::uint8_t p) { return p; });
    };
    for (std::size_t g = 0; g < groups.count;) {
      if (!group_passes(g)) {
        ++g;
        continue;
      }
      std::size_t end = g + 1;
      while (end < groups.count && group_passes(end)) ++end;
      const std::size_t lanes =
          std::min(end * distance::kGroupLanes, slots) - g * distance::kGroupLanes;
      score({groups.group(g), end - g, groups.dimension}, g, first_slot, lanes, passes.data());
      g = end;
    }
  }
}

std::vector<SearchResult> BruteForceIndex::results_of(TopKSelector&& selector) const {
  std::vector<SearchResult> results;
  const std::vector<ScoredSlot> best = std::move(selector).take_sorted();
  results.reserve(best.size());
  for (const ScoredSlot& scored : best) {
    // Payloads are copied for returned results only.
    results.push_back({ids_[scored.slot], scored.distance, payload_at(scored.slot)});
  }
  return results;
}

}  // namespace tarnvault_core::index::brute_force
