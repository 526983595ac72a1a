// Bounded selection of the k best scored slots of a scan, without sorting
// everything that was scored.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnvault_core::index::brute_force {

// A total order on distances as unsigned keys: ascending numbers, -0.0 equal
// to +0.0, and every NaN after +infinity (NaN must never fail a search).
inline std::uint32_t distance_rank(float distance) {
  if (std::isnan(distance)) return UINT32_MAX;
  if (distance == 0.0f) distance = 0.0f;  // -0.0 ties with +0.0
  const auto bits = std::bit_cast<std::uint32_t>(distance);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

struct ScoredSlot {
  std::uint32_t rank;  // distance_rank(distance)
  float distance;
  std::size_t slot;
};

// Slot breaks rank ties, so the order is exactly that of a stable sort by
// distance over a scan in slot order.
inline bool ranks_before(const ScoredSlot& a, const ScoredSlot& b) {
  return a.rank != b.rank ? a.rank < b.rank : a.slot < b.slot;
}

class TopKSelector {
 public:
  // Memory for `capacity` candidates is reserved up front: callers bound it
  // by the number of entries that can be offered.
  explicit TopKSelector(std::size_t capacity);

  void offer(std::size_t slot, float distance) {
    const ScoredSlot candidate{distance_rank(distance), distance, slot};
    if (kept_.size() < capacity_) {
      keep(candidate);
    } else if (!kept_.empty() && ranks_before(candidate, kept_.front())) {
      replace_worst(candidate);
    }
  }

  // Offers slots first_slot, first_slot + 1, ... with the given distances.
  // Slots must ascend from one call to the next, as in a scan: then a
  // candidate tying the worst kept one can never replace it, and once full
  // the selector only looks at candidates strictly better than that.
  void offer_block(std::size_t first_slot, const float* distances, std::size_t count);
  // The same for the slots i with passes[i] true only.
  void offer_passing(std::size_t first_slot, const float* distances, const std::uint8_t* passes,
                     std::size_t count);

  // The kept candidates, best first.
  std::vector<ScoredSlot> take_sorted() &&;

 private:
  void keep(const ScoredSlot& candidate);
  void replace_worst(const ScoredSlot& candidate);

  std::size_t capacity_;
  // A plain array until it holds capacity_ candidates, then a max-heap whose
  // front is the worst candidate kept.
  std::vector<ScoredSlot> kept_;
};

}  // namespace tarnvault_core::index::brute_force
