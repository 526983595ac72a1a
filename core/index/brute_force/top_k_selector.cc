#include "core/index/brute_force/top_k_selector.h"

#include <algorithm>

namespace tarnvault_core::index::brute_force {

TopKSelector::TopKSelector(std::size_t capacity) : capacity_(capacity) {
  kept_.reserve(capacity);
}

void TopKSelector::offer_block(std::size_t first_slot, const float* distances,
                               std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) offer(first_slot + i, distances[i]);
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
