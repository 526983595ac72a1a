#include "core/index/brute_force/brute_force_index.h"

#include <algorithm>
#include <utility>

#include "core/distance/query_scorer.h"
#include "core/index/brute_force/top_k_selector.h"

namespace tarnvault_core::index::brute_force {
namespace {

// Slots scored per kernel call: large enough to amortise the call, small
// enough for the distance buffer to live on the stack.
constexpr std::size_t kScanBlock = 256;

}  // namespace

BruteForceIndex::BruteForceIndex(DistanceMetric metric, std::size_t dimension)
    : metric_(metric), dimension_(dimension) {}

Status BruteForceIndex::insert(std::uint64_t id, std::span<const float> vector,
                               payload::Payload payload) {
  if (vector.size() != dimension_) return Error::dimension_mismatch(dimension_, vector.size());
  const auto [it, inserted] = slot_of_.try_emplace(id, ids_.size());
  if (!inserted) return Error::duplicate_id(id);
  arena_.insert(arena_.end(), vector.begin(), vector.end());
  ids_.push_back(id);
  payloads_.push_back(std::move(payload));
  return {};
}

void BruteForceIndex::reserve(std::size_t entries) {
  if (dimension_ != 0 && entries > arena_.max_size() / dimension_) return;
  arena_.reserve(entries * dimension_);
  ids_.reserve(entries);
  payloads_.reserve(entries);
  slot_of_.reserve(entries);
}

bool BruteForceIndex::remove(std::uint64_t id) {
  const auto it = slot_of_.find(id);
  if (it == slot_of_.end()) return false;
  const std::size_t hole = it->second;
  slot_of_.erase(it);
  const std::size_t last = ids_.size() - 1;
  if (hole != last) move_slot(last, hole);
  arena_.resize(last * dimension_);
  ids_.pop_back();
  payloads_.pop_back();
  return true;
}

void BruteForceIndex::move_slot(std::size_t from, std::size_t to) {
  std::copy_n(vector_data(from), dimension_, vector_data(to));
  ids_[to] = ids_[from];
  payloads_[to] = std::move(payloads_[from]);
  slot_of_[ids_[to]] = to;
}

std::vector<SearchResult> BruteForceIndex::search(std::span<const float> query, std::size_t k,
                                                  const filter::Filter* filter) const {
  if (query.size() != dimension_) return {};
  // There are never more results than entries, so a huge k reserves nothing.
  const std::size_t capacity = std::min(k, len());
  if (capacity == 0) return {};

  const distance::QueryScorer scorer(metric_, query);
  TopKSelector selector(capacity);
  if (filter == nullptr) {
    scan_all(scorer, selector);
  } else {
    scan_filtered(scorer, *filter, selector);
  }

  std::vector<SearchResult> results;
  const std::vector<ScoredSlot> best = std::move(selector).take_sorted();
  results.reserve(best.size());
  for (const ScoredSlot& scored : best) {
    // Payloads are copied for returned results only.
    results.push_back({ids_[scored.slot], scored.distance, payloads_[scored.slot]});
  }
  return results;
}

void BruteForceIndex::scan_all(const distance::QueryScorer& scorer,
                               TopKSelector& selector) const {
  for (std::size_t begin = 0; begin < len(); begin += kScanBlock) {
    score_slots(scorer, begin, std::min(begin + kScanBlock, len()), selector);
  }
}

// Scores each maximal run of consecutive passing slots with one block call;
// a rejected entry costs only its filter test.
void BruteForceIndex::scan_filtered(const distance::QueryScorer& scorer,
                                    const filter::Filter& filter, TopKSelector& selector) const {
  std::size_t slot = 0;
  while (slot < len()) {
    const std::size_t run_begin = slot;
    bool rejected = false;
    while (slot < len() && slot - run_begin < kScanBlock) {
      if (!filter.matches(payloads_[slot])) {
        rejected = true;
        break;
      }
      ++slot;
    }
    score_slots(scorer, run_begin, slot, selector);
    if (rejected) ++slot;
  }
}

void BruteForceIndex::score_slots(const distance::QueryScorer& scorer, std::size_t begin,
                                  std::size_t end, TopKSelector& selector) const {
  float distances[kScanBlock];
  scorer.score_block(vector_data(begin), end - begin, distances);
  selector.offer_block(begin, distances, end - begin);
}

}  // namespace tarnvault_core::index::brute_force
