#include "core/collection/replay_budget.h"

#include <atomic>

namespace tarnvault_core::collection {
namespace {

std::atomic<std::uint64_t> budget{kDefaultReplayMemoryBudget};

}  // namespace

std::uint64_t replay_memory_budget() { return budget.load(std::memory_order_relaxed); }

ScopedReplayMemoryBudget::ScopedReplayMemoryBudget(std::uint64_t bytes)
    : previous_(budget.exchange(bytes, std::memory_order_relaxed)) {}

ScopedReplayMemoryBudget::~ScopedReplayMemoryBudget() {
  budget.store(previous_, std::memory_order_relaxed);
}

}  // namespace tarnvault_core::collection
