// The pieces of opening a collection (open.cc) that tests reach directly:
// the loader that puts a data file's records into the index, and the
// memory budget of the log replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/index/brute_force/brute_force_index.h"
#include "core/payload/payload.h"

namespace tarnvault_core::collection {

// Puts a data file's live records into the index in file order, each
// replacing any entry of its id, as `remove` then `insert` of each would.
// Runs of records with an empty payload and the index's dimension are
// staged and go in through the index's bulk insert, which writes whole
// groups at once and hides the id lookups' cache misses.
class IndexLoader {
 public:
  explicit IndexLoader(BruteForceIndex& index);
  IndexLoader(const IndexLoader&) = delete;
  IndexLoader& operator=(const IndexLoader&) = delete;

  // Replaces the index's entry of id, if any, by this record. A record the
  // index refuses (a vector of another length) still removes the entry.
  void load(std::uint64_t id, std::span<const float> vector, payload::Payload&& payload);
  // Puts the staged records in; the index is complete after this.
  void finish();

 private:
  void replace(std::uint64_t id, std::span<const float> vector, payload::Payload&& payload);
  std::span<const float> staged_row(std::size_t i) const;

  BruteForceIndex& index_;
  std::vector<std::uint64_t> staged_ids_;
  std::vector<float> staged_vectors_;
};

// How much memory a log replay spends on holding parsed entries. The check
// of the whole log keeps what it parsed within this budget, so that those
// records are not read a second time; records past it are.
inline constexpr std::uint64_t kDefaultReplayMemoryBudget = std::uint64_t{64} << 20;

std::uint64_t replay_memory_budget();

// Replaces the budget for the object's lifetime: tests drive a small log
// past its budget with it. Not for use while a collection is being opened
// on another thread.
class ScopedReplayMemoryBudget {
 public:
  explicit ScopedReplayMemoryBudget(std::uint64_t bytes);
  ~ScopedReplayMemoryBudget();
  ScopedReplayMemoryBudget(const ScopedReplayMemoryBudget&) = delete;
  ScopedReplayMemoryBudget& operator=(const ScopedReplayMemoryBudget&) = delete;

 private:
  std::uint64_t previous_;
};

}  // namespace tarnvault_core::collection
