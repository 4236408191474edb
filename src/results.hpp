// results.hpp - kernel results as new Python objects.
#pragma once

#include <Python.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "core/graph.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace movra::py {

inline PyObject* new_str(std::string_view text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline PyObject* new_ref(PyObject* object) noexcept {
  Py_IncRef(object);
  return object;
}

inline PyObject* to_python(core::Done) noexcept { return new_ref(Py_None); }
inline PyObject* to_python(bool value) noexcept { return new_ref(value ? Py_True : Py_False); }
/// The names of the kinds and states, made once when the type is created:
/// check_node answers for every node of every pass, and handing out a
/// reference to one of seven interned strs spares it a str allocation.
struct InternedNames {
  PyObject* kinds[4];
  PyObject* states[3];
};
inline InternedNames interned_names{};

/// Makes the names on first use; false with an exception set on failure.
inline bool intern_names() noexcept {
  const auto intern = [](PyObject*& slot, std::string_view text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(std::string(text).c_str());
    return slot != nullptr;
  };
  for (int k = 0; k < 4; ++k)
    if (!intern(interned_names.kinds[k], core::name(static_cast<core::NodeKind>(k)))) return false;
  for (int s = 0; s < 3; ++s)
    if (!intern(interned_names.states[s], core::name(static_cast<core::NodeState>(s)))) return false;
  return true;
}

/// A name from `names`, or PanicException for a code outside the table: a
/// corrupted byte must not become a wild read.
template <std::size_t N>
PyObject* interned_name(PyObject* const (&names)[N], std::size_t code, const char* what) noexcept {
  if (code < N && names[code] != nullptr) return new_ref(names[code]);
  char message[64];
  std::snprintf(message, sizeof message, "%s code %zu out of range", what, code);
  raise_panic(message);
  return nullptr;
}

inline PyObject* to_python(core::NodeKind kind) noexcept {
  return interned_name(interned_names.kinds, static_cast<std::size_t>(kind), "node kind");
}
inline PyObject* to_python(core::NodeState state) noexcept {
  return interned_name(interned_names.states, static_cast<std::size_t>(state), "node state");
}

/// A list made at its final length and filled in place, one new str per id.
inline PyObject* to_python(const core::IdList& ids) noexcept {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  constexpr std::size_t kAhead = 8;  // about one str creation's worth of memory latency
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ids.prefetch(i + kAhead);
    PyObject* id = new_str(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id);  // steals id
  }
  return list.release();
}

/// check_node's (kind, needs_recompute, signature).
inline PyObject* to_python(const core::Check& check) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(3));
  if (!tuple) return nullptr;
  PyObject* kind = to_python(check.kind);
  if (kind == nullptr) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, kind);  // each SetItem steals its item
  PyTuple_SetItem(tuple.get(), 1, to_python(check.needs_recompute));
  PyObject* signature = PyLong_FromUnsignedLongLong(check.signature);
  if (signature == nullptr) return nullptr;
  PyTuple_SetItem(tuple.get(), 2, signature);
  return tuple.release();
}

/// The Python value of a kernel result, or NULL with its exception set.
template <class T>
PyObject* finish(const core::Result<T>& result) noexcept {
  if (!result) {
    to_py_err(result.error());
    return nullptr;
  }
  return to_python(*result);
}

}  // namespace movra::py
