#include "core/index/brute_force/slot_map.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <utility>

#include "core/index/brute_force/id_hash.h"

namespace tarnvault_core::index::brute_force {
namespace {

constexpr unsigned kSlotBits = 40;
constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << kSlotBits) - 1;
constexpr std::size_t kMinCapacity = 16;

std::uint64_t tag_of(std::uint64_t hash) { return hash & ~kSlotMask; }
std::uint64_t word(std::uint64_t hash, std::size_t slot) { return tag_of(hash) | (slot + 1); }
std::size_t slot_of(std::uint64_t word) { return (word & kSlotMask) - 1; }

}  // namespace

SlotMap::SlotMap()
    : seed_(table_seed(this)),
      shift_(64 - std::countr_zero(kMinCapacity)),
      table_(kMinCapacity, 0) {}

SlotMap::SlotMap(SlotMap&& other) noexcept
    : seed_(other.seed_),
      shift_(other.shift_),
      size_(std::exchange(other.size_, 0)),
      table_(std::move(other.table_)) {
  other.table_.clear();
}

SlotMap& SlotMap::operator=(SlotMap&& other) noexcept {
  std::swap(seed_, other.seed_);
  std::swap(shift_, other.shift_);
  std::swap(size_, other.size_);
  table_.swap(other.table_);
  return *this;
}

std::uint64_t SlotMap::hash(std::uint64_t id) const { return mix_id(id ^ seed_); }

std::optional<std::size_t> SlotMap::position_of(std::uint64_t id,
                                                std::span<const std::uint64_t> ids) const {
  if (table_.empty()) return std::nullopt;  // moved from
  const std::uint64_t h = hash(id);
  for (std::size_t p = home(h);; p = next(p)) {
    const std::uint64_t w = table_[p];
    if (w == 0) return std::nullopt;
    if (tag_of(w) == tag_of(h) && ids[slot_of(w)] == id) return p;
  }
}

std::size_t SlotMap::position_of(std::uint64_t id, std::size_t slot) const {
  const std::uint64_t wanted = word(hash(id), slot);
  std::size_t p = home(hash(id));
  while (table_[p] != wanted) p = next(p);
  return p;
}

std::optional<std::size_t> SlotMap::find(std::uint64_t id,
                                         std::span<const std::uint64_t> ids) const {
  const auto p = position_of(id, ids);
  if (!p) return std::nullopt;
  return slot_of(table_[*p]);
}

void SlotMap::place(std::uint64_t w, std::uint64_t h) {
  std::size_t p = home(h);
  while (table_[p] != 0) p = next(p);
  table_[p] = w;
}

void SlotMap::insert(std::uint64_t id, std::size_t slot, std::span<const std::uint64_t> ids) {
  assert(slot <= kSlotMask - 1);
  if (2 * (size_ + 1) > table_.size()) grow_to(std::max(2 * table_.size(), kMinCapacity), ids);
  const std::uint64_t h = hash(id);
  place(word(h, slot), h);
  ++size_;
}

bool SlotMap::insert_if_absent(std::uint64_t id, std::size_t slot,
                               std::span<const std::uint64_t> ids) {
  assert(slot <= kSlotMask - 1);
  // Growing first keeps the free position found below valid; an id found
  // present only makes the growth come one insert early.
  if (2 * (size_ + 1) > table_.size()) grow_to(std::max(2 * table_.size(), kMinCapacity), ids);
  const std::uint64_t h = hash(id);
  std::size_t p = home(h);
  for (; table_[p] != 0; p = next(p)) {
    if (tag_of(table_[p]) == tag_of(h) && ids[slot_of(table_[p])] == id) return false;
  }
  table_[p] = word(h, slot);
  ++size_;
  return true;
}

void SlotMap::move(std::uint64_t id, std::size_t from_slot, std::size_t to_slot) {
  table_[position_of(id, from_slot)] = word(hash(id), to_slot);
}

void SlotMap::erase(std::uint64_t id, std::span<const std::uint64_t> ids) {
  const auto found = position_of(id, ids);
  assert(found);
  std::size_t hole = *found;
  // Backward shift: pull later words of the probe run into the hole unless
  // their home lies cyclically after the hole.
  for (std::size_t p = next(hole); table_[p] != 0; p = next(p)) {
    const std::size_t h = home(hash(ids[slot_of(table_[p])]));
    const std::size_t mask = table_.size() - 1;
    if (((p - h) & mask) >= ((p - hole) & mask)) {
      table_[hole] = table_[p];
      hole = p;
    }
  }
  table_[hole] = 0;
  --size_;
}

void SlotMap::reserve(std::size_t entries, std::span<const std::uint64_t> ids) {
  if (entries > (std::size_t{1} << 62)) return;
  const std::size_t capacity = std::bit_ceil(std::max(2 * entries, kMinCapacity));
  if (capacity > table_.size()) grow_to(capacity, ids);
}

void SlotMap::grow_to(std::size_t capacity, std::span<const std::uint64_t> ids) {
  std::vector<std::uint64_t> old(capacity, 0);
  old.swap(table_);
  shift_ = 64 - std::countr_zero(capacity);
  for (std::uint64_t w : old) {
    if (w != 0) place(w, hash(ids[slot_of(w)]));
  }
}

}  // namespace tarnvault_core::index::brute_force
