// Per-instance access state. The interpreter lock serialises all calls, so
// the only possible conflict is a re-entrant call made by Python code that
// runs during argument conversion (an element's __float__, a sequence's
// __iter__ ...). Readers nest; a writer excludes everyone.
#pragma once

#include <cstddef>

#include "py_api.h"

namespace tarnvault_py {

enum class Access { Shared, Exclusive };

class AccessState {
 public:
  bool is_free() const { return readers_ == 0 && !writer_; }

 private:
  friend class AccessGuard;

  std::size_t readers_ = 0;
  bool writer_ = false;
};

// Holds one access for its lifetime and restores the state on every path.
// If the access conflicts, acquired() is false and RuntimeError is set:
// "Already borrowed" for an exclusive request while anything is held,
// "Already mutably borrowed" for a shared request while a writer holds it.
class AccessGuard {
 public:
  AccessGuard(AccessState& state, Access mode);
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard();

  bool acquired() const { return acquired_; }

 private:
  AccessState& state_;
  Access mode_;
  bool acquired_ = false;
};

}  // namespace tarnvault_py
