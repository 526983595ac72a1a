#include "core/index/brute_force/grouped_vectors.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <utility>


namespace tarnvault_core::index::brute_force {
namespace {

using distance::kGroupLanes;

// Large enough that allocation is rare, small enough to stay in the L2
// cache while a batch of queries is scored against it.
constexpr std::size_t kChunkBytes = 256 * 1024;

std::size_t groups_per_chunk(std::size_t dimension) {
  const std::size_t group_bytes_per_component = kGroupLanes * sizeof(float);
  if (dimension == 0) return 64;
  const std::size_t fit = kChunkBytes / group_bytes_per_component / dimension;
  // The kernels score four groups at a time; a chunk of whole fours avoids
  // slower leftovers at every chunk end.
  if (fit >= 4) return std::min<std::size_t>(fit - fit % 4, 256);
  return std::max<std::size_t>(fit, 1);
}

}  // namespace

GroupedVectors::GroupedVectors(std::size_t dimension)
    : dimension_(dimension),
      groups_per_chunk_(groups_per_chunk(dimension)),
      memory_(groups_per_chunk_ * distance::group_floats(dimension) * sizeof(float)) {}

GroupedVectors::GroupedVectors(GroupedVectors&& other) noexcept
    : dimension_(other.dimension_),
      groups_per_chunk_(other.groups_per_chunk_),
      size_(std::exchange(other.size_, 0)),
      memory_(std::move(other.memory_)),
      chunks_(std::move(other.chunks_)) {
  other.chunks_.clear();
}

GroupedVectors& GroupedVectors::operator=(GroupedVectors&& other) noexcept {
  std::swap(dimension_, other.dimension_);
  std::swap(groups_per_chunk_, other.groups_per_chunk_);
  std::swap(size_, other.size_);
  memory_ = std::move(other.memory_);
  chunks_.swap(other.chunks_);
  return *this;
}

float* GroupedVectors::lane_start(std::size_t slot) const {
  const std::size_t chunk = slot / slots_per_chunk();
  const std::size_t in_chunk = slot % slots_per_chunk();
  return chunks_[chunk] + (in_chunk / kGroupLanes) * distance::group_floats(dimension_) +
         in_chunk % kGroupLanes;
}

void GroupedVectors::push_back(std::span<const float> vector) {
  assert(vector.size() == dimension_);
  if (size_ == chunks_.size() * slots_per_chunk()) {
    chunks_.push_back(memory_.allocate());
    // An index that has filled a chunk one vector at a time will fill the
    // next one too: one call faults its pages in, not one fault per page.
    if (size_ >= slots_per_chunk()) memory_.prefault(chunks_.back());
  }
  float* lane = lane_start(size_);
  for (std::size_t j = 0; j < dimension_; ++j) lane[j * kGroupLanes] = vector[j];
  ++size_;
}

void GroupedVectors::make_room(std::size_t count, std::size_t coming) {
  while (size_ + count > chunks_.size() * slots_per_chunk()) {
    chunks_.reserve(chunks_.size() + 1);  // so that a throw below leaks no chunk
    chunks_.push_back(memory_.allocate());
    // Only a chunk that will be filled, or one of an index already a chunk
    // or more in size, which is growing by batches: a small index makes no
    // memory resident early.
    if (size_ + coming >= chunks_.size() * slots_per_chunk() || size_ >= slots_per_chunk()) {
      memory_.prefault(chunks_.back());
    }
  }
}

void GroupedVectors::append_rows(const float* const* rows, std::size_t count,
                                 const distance::SimdKernels& simd) {
  assert(count <= room_in_group());
  if (count == 0) return;
  make_room(count);
  float* lane = lane_start(size_);
  if (count == kGroupLanes) {
    simd.transpose_into_group(rows, dimension_, lane);
  } else {
    for (std::size_t l = 0; l < count; ++l) {
      for (std::size_t j = 0; j < dimension_; ++j) lane[j * kGroupLanes + l] = rows[l][j];
    }
  }
  size_ += count;
}

void GroupedVectors::pop_back() {
  assert(size_ > 0);
  --size_;
  float* lane = lane_start(size_);
  // Fresh memory is zero; keeping vacated lanes zero keeps every lane past
  // the last slot zero.
  for (std::size_t j = 0; j < dimension_; ++j) lane[j * kGroupLanes] = 0.0f;
}

void GroupedVectors::copy_slot(std::size_t from, std::size_t to) {
  const float* source = lane_start(from);
  float* target = lane_start(to);
  for (std::size_t j = 0; j < dimension_; ++j) target[j * kGroupLanes] = source[j * kGroupLanes];
}

void GroupedVectors::read(std::size_t slot, float* out) const {
  const float* lane = lane_start(slot);
  for (std::size_t j = 0; j < dimension_; ++j) out[j] = lane[j * kGroupLanes];
}

bool GroupedVectors::same_bits(std::size_t slot, const float* vector) const {
  const float* lane = lane_start(slot);
  bool same = true;
  for (std::size_t j = 0; j < dimension_; ++j) {
    same &= std::bit_cast<std::uint32_t>(lane[j * kGroupLanes]) ==
            std::bit_cast<std::uint32_t>(vector[j]);
  }
  return same;
}

void GroupedVectors::reserve(std::size_t slots) {
  chunks_.reserve(std::min(slots / slots_per_chunk() + 1, chunks_.max_size()));
}

distance::GroupRun GroupedVectors::chunk_groups(std::size_t c) const {
  const std::size_t slots = std::min(slots_per_chunk(), size_ - c * slots_per_chunk());
  return {chunks_[c], (slots + kGroupLanes - 1) / kGroupLanes, dimension_};
}

}  // namespace tarnvault_core::index::brute_force
