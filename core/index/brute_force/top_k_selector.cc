#include "core/index/brute_force/top_k_selector.h"

#include <algorithm>

namespace tarnvault_core::index::brute_force {

TopKSelector::TopKSelector(std::size_t capacity) : capacity_(capacity) {
  kept_.reserve(capacity);
}

void TopKSelector::offer_block(std::size_t first_slot, const float* distances,
                               std::size_t count) {
  std::size_t i = 0;
  for (; i < count && kept_.size() < capacity_; ++i) keep({distance_rank(distances[i]), distances[i], first_slot + i});
  if (kept_.empty()) return;
  std::uint32_t worst = kept_.front().rank;
  for (; i < count; ++i) {
    const std::uint32_t rank = distance_rank(distances[i]);
    if (rank < worst) {
      replace_worst({rank, distances[i], first_slot + i});
      worst = kept_.front().rank;
    }
  }
}

void TopKSelector::offer_passing(std::size_t first_slot, const float* distances,
                                 const std::uint8_t* passes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (passes[i]) offer(first_slot + i, distances[i]);
  }
}

std::vector<ScoredSlot> TopKSelector::take_sorted() && {
  std::sort(kept_.begin(), kept_.end(), ranks_before);
  return std::move(kept_);
}

void TopKSelector::keep(const ScoredSlot& candidate) {
  kept_.push_back(candidate);
  if (kept_.size() == capacity_) std::make_heap(kept_.begin(), kept_.end(), ranks_before);
}

void TopKSelector::replace_worst(const ScoredSlot& candidate) {
  std::pop_heap(kept_.begin(), kept_.end(), ranks_before);
  kept_.back() = candidate;
  std::push_heap(kept_.begin(), kept_.end(), ranks_before);
}

}  // namespace tarnvault_core::index::brute_force
