// module.cpp - the _hashing extension module: PyInit__hashing, the native
// content_hash type, and the XXH64 helpers behind digest and combine.
#include <Python.h>

#include <cstdint>
#include <new>
#include <vector>

#include "api.hpp"
#include "encoder.hpp"
#include "pyref.hpp"
#include "xxh64.hpp"

namespace movra::hashing {
namespace {

using std::uint64_t;

/// Runs `body`, turning a failed allocation into MemoryError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in movra._hashing");
    return nullptr;
  }
}

bool exact_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd argument%s (%zd given)", name, want,
               want == 1 ? "" : "s", nargs);
  return false;
}

/// The bytes of a bytes-like object, held for the length of a scope.
class Bytes {
 public:
  Bytes(PyObject* object, const char* what) noexcept {
    ok_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    if (!ok_ && PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
      if (name) PyErr_Format(PyExc_TypeError, "%s must be a bytes-like object, not %U", what, name.get());
    }
  }
  ~Bytes() {
    if (ok_) PyBuffer_Release(&view_);
  }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  explicit operator bool() const noexcept { return ok_; }
  const void* data() const noexcept { return view_.buf; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool ok_;
};

/// A 64-bit hash from Python: an int in 0..2**64-1 (OverflowError outside).
bool to_u64(PyObject* object, uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

/// `g` + u64 len(tag) + tag: the domain of digest and combine.
void start_tagged(Xxh64& state, const Bytes& tag) {
  state.put_byte('g');
  state.put_u64(tag.size());
  state.update(tag.data(), tag.size());
}

// ---------------------------------------------------------------------------
// Module functions.

PyObject* digest(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (!exact_args("digest", nargs, 2)) return nullptr;
  Bytes tag(args[0], "tag");
  if (!tag) return nullptr;
  Bytes payload(args[1], "payload");
  if (!payload) return nullptr;
  Xxh64 state;
  start_tagged(state, tag);
  state.update(payload.data(), payload.size());
  return PyLong_FromUnsignedLongLong(state.digest());
}

PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (!exact_args("combine", nargs, 2)) return nullptr;
  Bytes tag(args[0], "tag");
  if (!tag) return nullptr;
  // Parts are read in full before hashing: converting one may run Python code.
  return guarded([&]() -> PyObject* {
    Ref iterator = Ref::steal(PyObject_GetIter(args[1]));
    if (!iterator) return nullptr;
    std::vector<uint64_t> parts;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      uint64_t part;
      if (!to_u64(item.get(), part)) return nullptr;
      parts.push_back(part);
    }
    if (PyErr_Occurred()) return nullptr;
    Xxh64 state;
    start_tagged(state, tag);
    for (uint64_t part : parts) state.put_u64(part);
    return PyLong_FromUnsignedLongLong(state.digest());
  });
}

PyObject* xxh64(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs < 1 || nargs > 2) return exact_args("xxh64", nargs, 1), nullptr;
  uint64_t seed = 0;
  if (nargs == 2 && !to_u64(args[1], seed)) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(args[0]));
  if (!iterator) return nullptr;
  Xxh64 state(seed);
  while (Ref piece = Ref::steal(PyIter_Next(iterator.get()))) {
    Bytes bytes(piece.get(), "each piece");
    if (!bytes) return nullptr;
    state.update(bytes.data(), bytes.size());
  }
  if (PyErr_Occurred()) return nullptr;
  return PyLong_FromUnsignedLongLong(state.digest());
}

PyMethodDef module_functions[] = {
    {"digest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(digest)), METH_FASTCALL,
     "digest(tag, payload, /)\n--\n\n"
     "XXH64 of b'g' + u64 len(tag) + tag + payload (u64: 8 bytes little-endian)."},
    {"combine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(combine)), METH_FASTCALL,
     "combine(tag, parts, /)\n--\n\n"
     "digest(tag, the parts as u64 each, in order); parts are ints in 0..2**64-1."},
    {"xxh64", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(xxh64)), METH_FASTCALL,
     "xxh64(pieces, seed=0, /)\n--\n\n"
     "XXH64 of the concatenation of an iterable of bytes-like pieces, streamed."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The ContentHash type.

ContentHashObject* as_content_hash(PyObject* self) { return reinterpret_cast<ContentHashObject*>(self); }

PyObject* content_hash_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "ContentHash() takes no arguments");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    auto* table = new TypeTable();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      delete table;
      return nullptr;
    }
    as_content_hash(self)->types = table;
    return self;
  });
}

int content_hash_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  TypeTable* table = as_content_hash(self)->types;
  return table != nullptr ? table->traverse(visit, arg) : 0;
}

int content_hash_clear(PyObject* self) noexcept {
  if (TypeTable* table = as_content_hash(self)->types) table->clear();
  return 0;
}

void content_hash_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(as_content_hash(self)->types, nullptr);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// content_hash(value): the walk, with a stack exhausted by a registered hasher
// or the pickler reported like the walk's own depth limit.
bool hash_value(PyObject* self, PyObject* value, uint64_t* out) noexcept {
  const bool outermost = at_top_level();
  PyObject* done = guarded([&]() -> PyObject* {
    Xxh64 state;
    if (encode(as_content_hash(self), value, state)) {
      *out = state.digest();
      return Py_True;  // borrowed: only success is signalled
    }
    if (outermost && PyErr_ExceptionMatches(PyExc_RecursionError)) {
      PyObject *type, *cause, *traceback;
      PyErr_Fetch(&type, &cause, &traceback);
      PyErr_NormalizeException(&type, &cause, &traceback);
      PyErr_SetString(PyExc_ValueError, kTooDeep);
      PyObject *new_type, *error, *new_traceback;
      PyErr_Fetch(&new_type, &error, &new_traceback);
      PyErr_NormalizeException(&new_type, &error, &new_traceback);
      PyException_SetCause(error, cause);  // steals `cause`
      PyErr_Restore(new_type, error, new_traceback);
      Py_DecRef(type);
      Py_DecRef(traceback);
    }
    return nullptr;
  });
  return done != nullptr;
}

PyObject* content_hash_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "content_hash() takes no keyword arguments");
    return nullptr;
  }
  if (!exact_args("content_hash", PyTuple_Size(args), 1)) return nullptr;
  uint64_t digest;
  if (!hash_value(self, PyTuple_GetItem(args, 0), &digest)) return nullptr;
  return PyLong_FromUnsignedLongLong(digest);
}

PyObject* content_hash_forget(PyObject* self, PyObject*) noexcept {
  as_content_hash(self)->types->clear();
  Py_RETURN_NONE;
}

PyObject* content_hash_kind(PyObject* self, PyObject* cls) noexcept {
  if (!PyType_Check(cls)) {
    PyErr_SetString(PyExc_TypeError, "_kind() expects a type");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    auto found = as_content_hash(self)->types->find(self, reinterpret_cast<PyTypeObject*>(cls));
    return found ? PyLong_FromLong(static_cast<long>(found->kind)) : nullptr;
  });
}

PyMethodDef content_hash_methods[] = {
    {"_forget", content_hash_forget, METH_NOARGS, "Forget every type's cached resolution."},
    {"_kind", content_hash_kind, METH_O, "The cached resolution kind of a type that is not an exact built-in."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot content_hash_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(content_hash_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(content_hash_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(content_hash_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(content_hash_clear)},
    {Py_tp_call, reinterpret_cast<void*>(content_hash_call)},
    {Py_tp_methods, content_hash_methods},
    {Py_tp_doc, const_cast<char*>(
        "The native content hash walker; movra.hashing subclasses it with\n"
        "`register` and the per-type decisions (`_resolve`, `_pickle`).")},
    {0, nullptr},
};

PyType_Spec content_hash_spec = {
    "movra._hashing.ContentHash",
    sizeof(ContentHashObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    content_hash_slots,
};

PyTypeObject* content_hash_type = nullptr;  // set once, by the module's init

bool is_hasher(PyObject* object) noexcept {
  return content_hash_type != nullptr && PyObject_TypeCheck(object, content_hash_type);
}

const Api api = {sizeof(Api), hash_value, is_hasher};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_hashing", nullptr, -1, module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace movra::hashing

PyMODINIT_FUNC PyInit__hashing() {
  using namespace movra::hashing;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&content_hash_spec);
  if (type == nullptr || PyModule_AddObject(module, "ContentHash", type) < 0) {
    Py_DecRef(type);
    Py_DecRef(module);
    return nullptr;
  }
  content_hash_type = reinterpret_cast<PyTypeObject*>(type);  // the module keeps it alive
  PyObject* capsule = PyCapsule_New(const_cast<Api*>(&api), kApiCapsule, nullptr);
  if (capsule == nullptr || PyModule_AddObject(module, "_api", capsule) < 0) {
    Py_DecRef(capsule);
    Py_DecRef(module);
    return nullptr;
  }
  return module;
}
