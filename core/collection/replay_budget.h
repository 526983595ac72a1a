// How much memory a log replay spends on holding parsed entries. The check
// of the whole log keeps what it parsed within this budget, so that those
// records are not read a second time; records past it are.
#pragma once

#include <cstdint>

namespace tarnvault_core::collection {

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
