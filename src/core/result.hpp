// result.hpp - the value-or-GraphError type every kernel operation returns.
#pragma once

#include <utility>
#include <variant>

#include "error.hpp"

namespace movra::core {

/// The outcome of a kernel operation: a value of type T, or the GraphError
/// that explains why there is none.  The kernel never throws its own errors;
/// only allocation failures leave it as C++ exceptions.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(GraphError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& operator*() noexcept { return *std::get_if<0>(&state_); }
  const T& operator*() const noexcept { return *std::get_if<0>(&state_); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  const T* operator->() const noexcept { return std::get_if<0>(&state_); }

  GraphError& error() noexcept { return *std::get_if<1>(&state_); }
  const GraphError& error() const noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, GraphError> state_;
};

/// The value of an operation that only succeeds or fails.
struct Done {};
using Status = Result<Done>;

}  // namespace movra::core
