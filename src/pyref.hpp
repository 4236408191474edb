// pyref.hpp - an owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace movra::py {

/// Owns one strong reference and releases it when it goes out of scope, so
/// that every early return gives back what it took.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  static Ref borrow(PyObject* object) noexcept {
    Py_IncRef(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_DecRef(object_); }  // Py_DecRef ignores NULL

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  /// Gives the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace movra::py
