// common.hpp - small helpers of the engine module: interned names, errors,
// the clock.
#pragma once

#include <Python.h>

#include <chrono>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace movra::engine {

using py::Ref;

/// Attribute names and constants, interned once by the module's init.
struct Names {
  PyObject *name, *kind, *func, *deps, *call, *cutoff, *hashed, *version, *is_async;
  PyObject *positional, *keywords, *input, *source, *reactive, *load, *save, *freeze;
  PyObject *unhashable, *ndarray;
  // Event kinds.
  PyObject *start, *finish, *cut_off, *loaded, *memo_hit, *failed, *blocked;
};
extern Names interned;

/// Runs `body`, turning a C++ exception that escapes it into a Python one.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in movra._engine");
  }
  return decltype(body()){};
}

inline Ref text(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

/// Raises `type`(message) and returns false.
inline bool raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return false;
}

/// A new exception `type`(message), or null with an error set.
inline Ref make_error(PyObject* type, const std::string& message) {
  Ref arg = text(message);
  if (!arg) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(type, arg.get(), nullptr));
}

/// Takes the pending exception, normalised, with its traceback attached.
inline Ref take_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_DecRef(type);
  Py_DecRef(traceback);
  return Ref::steal(value);
}

/// Whether the pending exception is a node's failure (an Exception) rather
/// than what must end the run (KeyboardInterrupt, SystemExit, ...).
inline bool pending_is_failure() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

inline double now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

/// Equality of str or tuples of str, which runs no Python code.
inline bool same(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
  if (equal < 0) PyErr_Clear();
  return equal == 1;
}

}  // namespace movra::engine
