// Result<T>: a value or an Error. Status (= Result<void>): success or an Error.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/error/error.h"

namespace tarnvault_core {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }
  Error&& error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  const Error& error() const& {
    assert(!ok());
    return *error_;
  }
  Error&& error() && {
    assert(!ok());
    return std::move(*error_);
  }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace tarnvault_core

// Propagates the Error of a Status-returning expression to the caller.
#define TV_RETURN_IF_ERROR(expr)                        \
  do {                                                  \
    auto tv_status_ = (expr);                           \
    if (!tv_status_.ok()) return std::move(tv_status_).error(); \
  } while (false)
