#include "core/index/brute_force/top_k_selector.h"

#include <algorithm>

namespace tarnvault_core::index::brute_force {

TopKSelector::TopKSelector(std::size_t capacity) : capacity_(capacity) {
  kept_.reserve(capacity);
}

void TopKSelector::offer_block(std::size_t first_slot, const float* distances,
                               std::size_t count) {
  std::size_t i = 0;
  for (; i < count && kept_.size() < capacity_; ++i) offer(first_slot + i, distances[i]);
  if (kept_.empty()) return;
  constexpr std::size_t kStride = 16;
  while (i < count) {
    const std::size_t end = std::min(count, i + kStride);
    // Against a number, `<` is exactly "ranks before": NaN never passes and
    // -0.0 does not pass +0.0. The check runs on whole strides at once; the
    // rare stride with a candidate takes the exact path.
    const float worst = kept_.front().distance;
    bool any = std::isnan(worst);
    for (std::size_t j = i; j < end; ++j) any |= distances[j] < worst;
    if (any) {
      for (std::size_t j = i; j < end; ++j) {
        const std::uint32_t rank = distance_rank(distances[j]);
        if (rank < kept_.front().rank) replace_worst({rank, distances[j], first_slot + j});
      }
    }
    i = end;
  }
}

void TopKSelector::offer_passing(std::size_t first_slot, const float* distances,
                                 const std::uint8_t* passes, std::size_t count) {
  std::size_t i = 0;
  for (; i < count && kept_.size() < capacity_; ++i) {
    if (passes[i]) offer(first_slot + i, distances[i]);
  }
  if (kept_.empty()) return;
  constexpr std::size_t kStride = 16;
  // As offer_block, with a lane counted only where it passes: the check has
  // no branch per lane, which a filter passing half the lanes at random
  // would mispredict every other time.
  while (i < count) {
    const std::size_t end = std::min(count, i + kStride);
    const float worst = kept_.front().distance;
    bool any = std::isnan(worst);
    for (std::size_t j = i; j < end; ++j) any |= (passes[j] != 0) & (distances[j] < worst);
    if (any) {
      for (std::size_t j = i; j < end; ++j) {
        const std::uint32_t rank = distance_rank(distances[j]);
        if (passes[j] && rank < kept_.front().rank) {
          replace_worst({rank, distances[j], first_slot + j});
        }
      }
    }
    i = end;
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
