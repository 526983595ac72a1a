#include "core/collection/id_offset_map.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "core/index/brute_force/id_hash.h"

namespace tarnvault_core::collection {
namespace {

constexpr std::size_t kMinCapacity = 16;

}  // namespace

IdOffsetMap::IdOffsetMap()
    : seed_(index::brute_force::table_seed(this)),
      shift_(64 - std::countr_zero(kMinCapacity)),
      cells_(kMinCapacity, Cell{0, 0}) {}

std::size_t IdOffsetMap::home(std::uint64_t id) const {
  return index::brute_force::mix_id(id ^ seed_) >> shift_;
}

std::size_t IdOffsetMap::position_of(std::uint64_t id) const {
  std::size_t p = home(id);
  while (cells_[p].offset_plus_one != 0 && cells_[p].id != id) p = next(p);
  return p;
}

std::optional<std::uint64_t> IdOffsetMap::find(std::uint64_t id) const {
  const Cell& cell = cells_[position_of(id)];
  if (cell.offset_plus_one == 0) return std::nullopt;
  return cell.offset_plus_one - 1;
}

std::optional<std::uint64_t> IdOffsetMap::put(std::uint64_t id, std::uint64_t offset) {
  if (2 * (size_ + 1) > cells_.size()) grow_to(2 * cells_.size());
  Cell& cell = cells_[position_of(id)];
  std::optional<std::uint64_t> replaced;
  if (cell.offset_plus_one != 0) {
    replaced = cell.offset_plus_one - 1;
  } else {
    ++size_;
  }
  cell = Cell{id, offset + 1};
  return replaced;
}

std::optional<std::uint64_t> IdOffsetMap::take(std::uint64_t id) {
  std::size_t hole = position_of(id);
  if (cells_[hole].offset_plus_one == 0) return std::nullopt;
  const std::uint64_t offset = cells_[hole].offset_plus_one - 1;
  // Backward shift: pull later cells of the probe run into the hole unless
  // their home lies cyclically after the hole.
  const std::size_t mask = cells_.size() - 1;
  for (std::size_t p = next(hole); cells_[p].offset_plus_one != 0; p = next(p)) {
    const std::size_t h = home(cells_[p].id);
    if (((p - h) & mask) >= ((p - hole) & mask)) {
      cells_[hole] = cells_[p];
      hole = p;
    }
  }
  cells_[hole] = Cell{0, 0};
  --size_;
  return offset;
}

void IdOffsetMap::reserve(std::size_t entries) {
  if (entries > (std::size_t{1} << 58)) return;
  const std::size_t capacity = std::bit_ceil(std::max(2 * entries, kMinCapacity));
  if (capacity > cells_.size()) grow_to(capacity);
}

void IdOffsetMap::grow_to(std::size_t capacity) {
  std::vector<Cell> old(capacity, Cell{0, 0});
  old.swap(cells_);
  shift_ = 64 - std::countr_zero(capacity);
  for (const Cell& cell : old) {
    if (cell.offset_plus_one != 0) cells_[position_of(cell.id)] = cell;
  }
}

}  // namespace tarnvault_core::collection
