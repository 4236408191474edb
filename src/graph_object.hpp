// graph_object.hpp - the Python Graph object and shared or exclusive access to it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/graph.hpp"

namespace movra::py {

#ifndef MOVRA_BUILD_ID
#define MOVRA_BUILD_ID 0
#endif

/// Drawn when the build is configured: another native module of the package
/// reaches a Graph's core only when the object carries its own build's stamp,
/// that is, when both were compiled from the same sources with this layout.
inline constexpr std::uint64_t kBuildStamp = 0x6d6f7672'00000000ULL ^ MOVRA_BUILD_ID;

struct GraphObject {
  PyObject_HEAD
  core::Graph graph;
  /// 0: free; n: n calls reading the graph; kExclusive: one call changing it.
  std::atomic<std::uintptr_t> borrows;
  std::uint64_t build;
};

inline constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

enum class Access : std::uint8_t { Shared, Exclusive };

/// Holds shared or exclusive access to a Graph object (and a reference to it)
/// for the length of one call.  Access is refused, with a RuntimeError set,
/// when Python code run by the call re-enters the same graph in a way that
/// could observe or cause a half-made change.
class Borrow {
 public:
  Borrow(PyObject* self, Access access) noexcept
      : object_(reinterpret_cast<GraphObject*>(self)), access_(access) {
    if (!acquire()) {
      object_ = nullptr;
      return;
    }
    Py_IncRef(self);
  }
  ~Borrow() {
    if (object_ == nullptr) return;
    if (access_ == Access::Exclusive)
      object_->borrows.store(0, std::memory_order_release);
    else
      object_->borrows.fetch_sub(1, std::memory_order_release);
    Py_DecRef(reinterpret_cast<PyObject*>(object_));
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  explicit operator bool() const noexcept { return object_ != nullptr; }
  core::Graph& graph() const noexcept { return object_->graph; }

 private:
  bool acquire() noexcept {
    auto& borrows = object_->borrows;
    if (access_ == Access::Exclusive) {
      std::uintptr_t expected = 0;
      if (borrows.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire))
        return true;
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    std::uintptr_t current = borrows.load(std::memory_order_relaxed);
    while (current != kExclusive) {
      if (borrows.compare_exchange_weak(current, current + 1, std::memory_order_acquire))
        return true;
    }
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
  }

  GraphObject* object_;
  Access access_;
};

}  // namespace movra::py
