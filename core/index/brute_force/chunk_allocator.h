// ChunkAllocator: equal-size, page-aligned chunks for GroupedVectors, carved
// from anonymous memory mappings that grow geometrically and are released
// together when the allocator is destroyed. Fresh mappings are zero, and
// untouched pages cost no memory.
//
// No transparent huge page advice: on the VMs measured it made a scan about
// 4% faster but the first fill of the memory twice as slow (the kernel
// compacts memory synchronously for advised regions).
#pragma once

#include <cstddef>
#include <vector>

namespace tarnvault_core::index::brute_force {

class ChunkAllocator {
 public:
  explicit ChunkAllocator(std::size_t chunk_bytes);
  ~ChunkAllocator();
  ChunkAllocator(ChunkAllocator&& other) noexcept;
  ChunkAllocator& operator=(ChunkAllocator&& other) noexcept;
  ChunkAllocator(const ChunkAllocator&) = delete;
  ChunkAllocator& operator=(const ChunkAllocator&) = delete;

  // A new chunk of zero bytes; throws std::bad_alloc when memory runs out,
  // as operator new does.
  float* allocate();
  // Faults in the pages lying wholly inside a chunk in one system call,
  // for a chunk about to be filled: much cheaper than one fault per page.
  // Best effort; where the kernel cannot, pages fault in as they are used.
  void prefault(float* chunk) const;

 private:
  struct Mapping {
    void* address;
    std::size_t bytes;
  };
  void map_more();

  std::size_t chunk_bytes_;
  std::size_t chunks_per_mapping_ = 1;
  std::vector<Mapping> mappings_;
  char* next_ = nullptr;
  std::size_t chunks_left_ = 0;
};

}  // namespace tarnvault_core::index::brute_force
