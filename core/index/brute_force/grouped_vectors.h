// GroupedVectors: the stored vectors of an index, slot by slot, in the layout
// the group kernels read. Slots are grouped kGroupLanes at a time, and in a
// group component j of its vectors is contiguous (64-byte aligned). Groups
// live in fixed-size chunks, so growing never copies the vectors already
// stored; lanes of the last group that hold no vector are zero.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/distance/group_kernels.h"
#include "core/distance/simd_level.h"
#include "core/index/brute_force/chunk_allocator.h"

namespace tarnvault_core::index::brute_force {

class GroupedVectors {
 public:
  explicit GroupedVectors(std::size_t dimension);
  // A moved-from object is empty and usable.
  GroupedVectors(GroupedVectors&& other) noexcept;
  GroupedVectors& operator=(GroupedVectors&& other) noexcept;

  std::size_t size() const { return size_; }
  std::size_t dimension() const { return dimension_; }

  // Appends a vector of dimension() floats at slot size().
  void push_back(std::span<const float> vector);
  // Allocates what appending `count` more slots needs, so that append_rows
  // of at most that many rows cannot fail. A new chunk that `coming` more
  // slots will fill, or any new chunk once the index fills a chunk, is
  // faulted in at once rather than page by page.
  void make_room(std::size_t count, std::size_t coming = 0);
  // Appends rows[0 .. count) (dimension() floats each) at slots size() ..,
  // which must not cross a group boundary; same result as push_back of each
  // in order, but a whole group is written by `simd`'s transpose.
  void append_rows(const float* const* rows, std::size_t count,
                   const distance::SimdKernels& simd);
  // Slots that can be appended before the current group is full.
  std::size_t room_in_group() const {
    return distance::kGroupLanes - size_ % distance::kGroupLanes;
  }
  // Drops the last slot (its lane becomes zero). Memory is kept for reuse
  // until the object is destroyed.
  void pop_back();
  // Overwrites slot `to` with the vector of slot `from`.
  void copy_slot(std::size_t from, std::size_t to);
  // Copies slot's vector into out[0 .. dimension()).
  void read(std::size_t slot, float* out) const;
  // Whether slot's vector has exactly the bits of vector[0 .. dimension()).
  bool same_bits(std::size_t slot, const float* vector) const;
  // Room in the chunk table for `slots` slots; chunks themselves are
  // allocated as they fill.
  void reserve(std::size_t slots);

  // Chunks in slot order: chunk c holds slots [c * slots_per_chunk(), ...).
  std::size_t slots_per_chunk() const { return groups_per_chunk_ * distance::kGroupLanes; }
  std::size_t chunk_count() const { return (size_ + slots_per_chunk() - 1) / slots_per_chunk(); }
  // The groups of chunk c that hold at least one slot.
  distance::GroupRun chunk_groups(std::size_t c) const;

 private:
  float* lane_start(std::size_t slot) const;

  std::size_t dimension_;
  std::size_t groups_per_chunk_;
  std::size_t size_ = 0;
  ChunkAllocator memory_;
  std::vector<float*> chunks_;  // owned by memory_
};

}  // namespace tarnvault_core::index::brute_force
