// errors.hpp - kernel errors and C++ failures as Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "core/error.hpp"
#include "pyref.hpp"

namespace movra::py {

/// Raises the Python exception for a kernel error: KeyError for an unknown
/// id, RuntimeError for a graph that is not built, ValueError for the rest,
/// with the error's message as the only argument.
void to_py_err(const core::GraphError& error) noexcept;

/// Takes the pending exception (normalised, its traceback attached), or
/// nothing when none is pending.
Ref fetch_exception() noexcept;

/// Makes `cause` the __cause__ of the pending exception.
void set_cause(Ref cause) noexcept;

/// Replaces the pending exception with a new `type`(`message`) whose cause
/// is the one it replaces.
void raise_with_cause(PyObject* type, const char* message) noexcept;

/// Raises PanicException (a BaseException) with `message`.
void raise_panic(const char* message) noexcept;

/// Runs `body`, turning any C++ exception that escapes it into a Python
/// exception: MemoryError for a failed allocation, PanicException otherwise.
/// Returns what `body` returns, or `failed` when it threw.
template <class Body, class Value = decltype(std::declval<Body&>()())>
Value guarded(Body&& body, Value failed = Value{}) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  return failed;
}

}  // namespace movra::py
