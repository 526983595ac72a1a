// IdOffsetMap: which data-file record holds each id. A flat open-addressing
// table (linear probing, at most half full, backward-shift deletion): one
// 16-byte cell per position and no allocation per id, so loading a million
// records makes no million heap nodes, and a lookup about to come can be
// prefetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnvault_core::collection {

class IdOffsetMap {
 public:
  IdOffsetMap();

  std::size_t size() const { return size_; }
  std::optional<std::uint64_t> find(std::uint64_t id) const;
  // Sets id's offset; returns the offset it replaced, if any.
  std::optional<std::uint64_t> put(std::uint64_t id, std::uint64_t offset);
  // Removes id; returns its offset, if it was present.
  std::optional<std::uint64_t> take(std::uint64_t id);
  // Calls visit(id, offset) for every entry, in no particular order.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (const Cell& cell : cells_) {
      if (cell.offset_plus_one != 0) visit(cell.id, cell.offset_plus_one - 1);
    }
  }
  // Room for `entries` ids without growing.
  void reserve(std::size_t entries);
  void prefetch(std::uint64_t id) const { __builtin_prefetch(&cells_[home(id)]); }

 private:
  struct Cell {
    std::uint64_t id;
    std::uint64_t offset_plus_one;  // 0: empty
  };
  std::size_t home(std::uint64_t id) const;
  std::size_t next(std::size_t position) const { return (position + 1) & (cells_.size() - 1); }
  // The position of id, or of the empty cell where it would go.
  std::size_t position_of(std::uint64_t id) const;
  void grow_to(std::size_t capacity);

  std::uint64_t seed_;
  unsigned shift_;  // 64 - log2(cells_.size())
  std::size_t size_ = 0;
  std::vector<Cell> cells_;
};

}  // namespace tarnvault_core::collection
