// SlotMap: id -> slot for an index whose slot s holds id ids[s]. One 8-byte
// word per table position (the slot and a tag of the id's hash) instead of
// a heap node per id; the id itself is read from the index's id array when
// a tag matches. Open addressing with linear probing, at most half full, and
// backward-shift deletion, so there are no tombstones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarnvault_core::index::brute_force {

class SlotMap {
 public:
  SlotMap();
  // A moved-from map is empty and usable.
  SlotMap(SlotMap&& other) noexcept;
  SlotMap& operator=(SlotMap&& other) noexcept;

  std::size_t size() const { return size_; }

  // Every `ids` argument is the index's id array: ids[s] is the id of slot s
  // for every slot the map holds (and for the slot being added).
  std::optional<std::size_t> find(std::uint64_t id, std::span<const std::uint64_t> ids) const;
  // Adds an id that is absent.
  void insert(std::uint64_t id, std::size_t slot, std::span<const std::uint64_t> ids);
  // Adds id at `slot` if it is absent, in one probe; false if present.
  // ids[slot] need not name it yet.
  bool insert_if_absent(std::uint64_t id, std::size_t slot, std::span<const std::uint64_t> ids);
  // Points a present id at another slot; `ids` may already name it there.
  void move(std::uint64_t id, std::size_t from_slot, std::size_t to_slot);
  // Removes a present id; `ids` still names it at its slot.
  void erase(std::uint64_t id, std::span<const std::uint64_t> ids);
  void reserve(std::size_t entries, std::span<const std::uint64_t> ids);
  // Hints that id is looked up soon: a bulk insert hides the cache miss
  // of each lookup behind the work on earlier ids.
  void prefetch(std::uint64_t id) const {
    if (!table_.empty()) __builtin_prefetch(&table_[home(hash(id))]);
  }

 private:
  std::uint64_t hash(std::uint64_t id) const;
  std::size_t home(std::uint64_t hash) const { return hash >> shift_; }
  std::size_t next(std::size_t position) const { return (position + 1) & (table_.size() - 1); }
  // The position of the word for (id, slot); the id must be present.
  std::size_t position_of(std::uint64_t id, std::size_t slot) const;
  std::optional<std::size_t> position_of(std::uint64_t id, std::span<const std::uint64_t> ids) const;
  void place(std::uint64_t word, std::uint64_t hash);
  void grow_to(std::size_t capacity, std::span<const std::uint64_t> ids);

  std::uint64_t seed_;
  unsigned shift_;  // 64 - log2(table size)
  std::size_t size_ = 0;
  std::vector<std::uint64_t> table_;  // 0: empty; else tag << 40 | (slot + 1)
};

}  // namespace tarnvault_core::index::brute_force
