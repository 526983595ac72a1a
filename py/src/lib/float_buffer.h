// The growable float array that converted vectors live in. Growing it leaves
// new components uninitialised: every one is written by the conversion right
// away, and zero-filling a batch of a million vectors first would cost as
// much as copying it.
#pragma once

#include <memory>
#include <new>
#include <vector>

namespace tarnvault_py {

template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };

  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

using FloatBuffer = std::vector<float, UninitialisedAllocator<float>>;

}  // namespace tarnvault_py
