// errors.cpp - to_py_err and PanicException.
#include "errors.hpp"

#include "pyref.hpp"

namespace movra::py {
namespace {

PyObject* exception_class(core::GraphError::Kind kind) noexcept {
  using Kind = core::GraphError::Kind;
  switch (kind) {
    case Kind::UnknownNode: return PyExc_KeyError;
    case Kind::NotBuilt: return PyExc_RuntimeError;
    case Kind::DuplicateNode:
    case Kind::SelfDependency:
    case Kind::InvalidKind:
    case Kind::Cycle: return PyExc_ValueError;
  }
  return PyExc_RuntimeError;
}

// Created on first need and kept for the life of the process, like the
// module and its type.
PyObject* panic_exception_class() noexcept {
  static PyObject* cls = nullptr;
  if (cls == nullptr)
    cls = PyErr_NewExceptionWithDoc(
        "movra._movra.PanicException",
        "An internal failure of the movra kernel. It derives from BaseException so that\n"
        "`except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
  return cls;
}

}  // namespace

void to_py_err(const core::GraphError& error) noexcept {
  // Rendering can only fail for lack of memory, and then reports that.
  guarded([&] {
    const std::string message = error.message();
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(
        message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(exception_class(error.kind()), text.get());
    return true;
  });
}

Ref fetch_exception() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_DecRef(type);
  Py_DecRef(traceback);
  return Ref::steal(value);
}

void set_cause(Ref cause) noexcept {
  if (!cause || !PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyException_SetCause(value, cause.release());  // steals the reference
  PyErr_Restore(type, value, traceback);
}

void raise_with_cause(PyObject* type, const char* message) noexcept {
  Ref cause = fetch_exception();
  PyErr_SetString(type, message);
  set_cause(std::move(cause));
}

void raise_panic(const char* message) noexcept {
  PyObject* cls = panic_exception_class();
  if (cls != nullptr) PyErr_SetString(cls, message);
}

}  // namespace movra::py
