#include "core/index/brute_force/chunk_allocator.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

namespace tarnvault_core::index::brute_force {
namespace {

constexpr std::size_t kPageBytes = 4096;
// Mappings stop growing here: few system calls, and the unused tail of the
// last mapping is untouched address space rather than memory.
constexpr std::size_t kMaxMappingBytes = std::size_t{32} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }
std::size_t round_down(std::size_t n, std::size_t to) { return n / to * to; }

}  // namespace

ChunkAllocator::ChunkAllocator(std::size_t chunk_bytes)
    : chunk_bytes_(round_up(std::max<std::size_t>(chunk_bytes, 64), 64)) {}

ChunkAllocator::ChunkAllocator(ChunkAllocator&& other) noexcept
    : chunk_bytes_(other.chunk_bytes_),
      chunks_per_mapping_(other.chunks_per_mapping_),
      mappings_(std::move(other.mappings_)),
      next_(std::exchange(other.next_, nullptr)),
      chunks_left_(std::exchange(other.chunks_left_, 0)) {
  other.mappings_.clear();
}

// A swap: other releases what this held when it is destroyed.
ChunkAllocator& ChunkAllocator::operator=(ChunkAllocator&& other) noexcept {
  std::swap(chunk_bytes_, other.chunk_bytes_);
  std::swap(chunks_per_mapping_, other.chunks_per_mapping_);
  mappings_.swap(other.mappings_);
  std::swap(next_, other.next_);
  std::swap(chunks_left_, other.chunks_left_);
  return *this;
}

ChunkAllocator::~ChunkAllocator() {
  for (const Mapping& m : mappings_) munmap(m.address, m.bytes);
}

float* ChunkAllocator::allocate() {
  if (chunks_left_ == 0) map_more();
  float* chunk = reinterpret_cast<float*>(next_);
  next_ += chunk_bytes_;
  --chunks_left_;
  return chunk;
}

void ChunkAllocator::prefault(float* chunk) const {
#ifdef MADV_POPULATE_WRITE
  const auto address = reinterpret_cast<std::uintptr_t>(chunk);
  const std::uintptr_t first = round_up(address, kPageBytes);
  const std::uintptr_t end = round_down(address + chunk_bytes_, kPageBytes);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)chunk;
#endif
}

void ChunkAllocator::map_more() {
  const std::size_t bytes = round_up(chunks_per_mapping_ * chunk_bytes_, kPageBytes);
  mappings_.reserve(mappings_.size() + 1);  // so that a throw below leaks nothing
  void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) throw std::bad_alloc();
  mappings_.push_back({address, bytes});
  next_ = static_cast<char*>(address);
  chunks_left_ = bytes / chunk_bytes_;
  if (2 * chunks_per_mapping_ * chunk_bytes_ <= kMaxMappingBytes) chunks_per_mapping_ *= 2;
}

}  // namespace tarnvault_core::index::brute_force
