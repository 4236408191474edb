// encoder.cpp - the structural walk behind content_hash.
#include "encoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace movra::hashing {
namespace {

using std::uint64_t;

thread_local int depth = 0;  // container levels entered by this thread's walks

/// One container level of the walk; refuses to go deeper than kMaxDepth.
class Level {
 public:
  Level() noexcept : entered_(++depth <= kMaxDepth) {
    if (!entered_) PyErr_SetString(PyExc_ValueError, kTooDeep);
  }
  ~Level() { --depth; }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_;
};

void put_sized(Xxh64& out, const void* data, std::size_t size) {
  out.put_u64(size);
  out.update(data, size);
}

/// A bytes object's data and size, fed with its length first.
bool put_bytes_object(Xxh64& out, PyObject* bytes) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  put_sized(out, data, static_cast<std::size_t>(size));
  return true;
}

bool put_text(Xxh64& out, PyObject* text) {
  Py_ssize_t size;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    put_sized(out, utf8, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();  // a lone surrogate: encode it as its code unit would be
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  return bytes && put_bytes_object(out, bytes.get());
}

bool put_double(Xxh64& out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  out.put_u64(bits);
  return true;
}

/// An int beyond int64: its minimal two's complement bytes, little-endian.
bool put_big_int(Xxh64& out, PyObject* value) {
  static PyObject* bit_length = nullptr;  // int's own methods: subclasses cannot
  static PyObject* to_bytes = nullptr;    // change what is encoded
  if (bit_length == nullptr) {
    bit_length = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "bit_length");
    to_bytes = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes");
    if (bit_length == nullptr || to_bytes == nullptr) return false;
  }
  Ref bits = Ref::steal(PyObject_CallFunctionObjArgs(bit_length, value, nullptr));
  if (!bits) return false;
  const Py_ssize_t length = (PyLong_AsSsize_t(bits.get()) + 8) / 8;
  if (length <= 0 && PyErr_Occurred()) return false;
  Ref args = Ref::steal(Py_BuildValue("(Ons)", value, length, "little"));
  Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "signed", Py_True));
  if (!args || !kwargs) return false;
  Ref bytes = Ref::steal(PyObject_Call(to_bytes, args.get(), kwargs.get()));
  if (!bytes) return false;
  out.put_byte('I');
  return put_bytes_object(out, bytes.get());
}

bool put_int(Xxh64& out, PyObject* value) {
  int overflow;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return put_big_int(out, value);
  if (small == -1 && PyErr_Occurred()) return false;
  out.put_byte('i');
  out.put_u64(static_cast<uint64_t>(small));
  return true;
}

// An array of kBlocked bytes or more is not fed byte by byte: its data is
// the u64 XXH64 digests of its consecutive kBlock-byte blocks (the last one
// shorter), which two threads can compute at once.
constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kBlocked = 2 * kBlock;
constexpr std::size_t kParallel = 8 * kBlock;  // worth a second thread from here on

/// Takes an array's data in pieces and feeds it to `out` as it must be:
/// as is below kBlocked bytes, else block by block as digests.
class DataSink {
 public:
  DataSink(Xxh64& out, std::size_t total) noexcept : out_(out), blocked_(total >= kBlocked) {}

  void update(const void* data, std::size_t size) noexcept {
    if (!blocked_) return out_.update(data, size);
    auto* bytes = static_cast<const unsigned char*>(data);
    while (size != 0) {
      const std::size_t take = std::min(size, kBlock - in_block_);
      block_.update(bytes, take);
      in_block_ += take;
      bytes += take;
      size -= take;
      if (in_block_ == kBlock) flush();
    }
  }

  void finish() noexcept {
    if (in_block_ != 0) flush();
  }

 private:
  void flush() noexcept {
    out_.put_u64(block_.digest());
    block_ = Xxh64();
    in_block_ = 0;
  }

  Xxh64& out_;
  bool blocked_;
  Xxh64 block_;
  std::size_t in_block_ = 0;
};

void hash_blocks(const unsigned char* data, std::size_t first, std::size_t last, std::size_t size,
                 std::uint64_t* digests) noexcept {
  for (std::size_t k = first; k < last; ++k) {
    Xxh64 block;
    block.update(data + k * kBlock, std::min(kBlock, size - k * kBlock));
    digests[k] = block.digest();
  }
}

/// Contiguous data, as DataSink would feed it; large data on two threads,
/// without the GIL (the buffer export keeps the memory alive).
void put_contiguous(Xxh64& out, const void* data, std::size_t size, bool blocks) {
  if (!blocks || size < kBlocked) return out.update(data, size);
  auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t count = (size + kBlock - 1) / kBlock;
  std::vector<uint64_t> digests(count);
  if (size < kParallel) {
    hash_blocks(bytes, 0, count, size, digests.data());
  } else {
    Py_BEGIN_ALLOW_THREADS
    const std::size_t half = count / 2;
    try {
      std::thread helper(hash_blocks, bytes, half, count, size, digests.data());
      hash_blocks(bytes, 0, half, size, digests.data());
      helper.join();
    } catch (const std::system_error&) {  // no thread to be had: do it all here
      hash_blocks(bytes, 0, count, size, digests.data());
    }
    Py_END_ALLOW_THREADS
  }
  for (uint64_t d : digests) out.put_u64(d);
}

/// Walks the C-order items of a buffer, whatever its strides, in chunks;
/// with `blocks`, an array's data, fed as DataSink says.
void put_buffer_data(Xxh64& out, const Py_buffer& view, bool blocks = false) {
  if (view.len == 0) return;
  if (view.strides == nullptr || PyBuffer_IsContiguous(&view, 'C'))
    return put_contiguous(out, view.buf, static_cast<std::size_t>(view.len), blocks);
  DataSink sink(out, blocks ? static_cast<std::size_t>(view.len) : 0);
  const int ndim = view.ndim;  // >= 1: a 0-d buffer is contiguous
  const Py_ssize_t item = view.itemsize;
  const Py_ssize_t inner = view.shape[ndim - 1];
  const Py_ssize_t step = view.strides[ndim - 1];
  std::vector<Py_ssize_t> index(static_cast<std::size_t>(ndim), 0);
  // Gathered items go through the hash in chunks, far cheaper than one
  // update per item.
  const std::size_t kChunk = std::max<std::size_t>(1 << 16, static_cast<std::size_t>(item));
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunk]);
  std::size_t used = 0;
  for (;;) {
    auto* row = static_cast<const unsigned char*>(view.buf);
    for (int k = 0; k < ndim - 1; ++k) row += index[k] * view.strides[k];
    if (step == item) {
      sink.update(row, static_cast<std::size_t>(inner * item));
    } else {
      for (Py_ssize_t j = 0; j < inner; ++j, row += step) {
        if (used + static_cast<std::size_t>(item) > kChunk) {
          sink.update(chunk.get(), used);
          used = 0;
        }
        if (item == 8)
          std::memcpy(chunk.get() + used, row, 8);  // the common case, as one move
        else
          std::memcpy(chunk.get() + used, row, static_cast<std::size_t>(item));
        used += static_cast<std::size_t>(item);
      }
    }
    int k = ndim - 2;  // advance the outer index like an odometer
    for (; k >= 0; --k) {
      if (++index[k] < view.shape[k]) break;
      index[k] = 0;
    }
    if (k < 0) break;
  }
  sink.update(chunk.get(), used);
  sink.finish();
}

/// Holds a buffer export for the length of a scope.
class Buffer {
 public:
  Buffer(PyObject* object, int flags) noexcept : ok_(PyObject_GetBuffer(object, &view_, flags) == 0) {}
  ~Buffer() {
    if (ok_) PyBuffer_Release(&view_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  explicit operator bool() const noexcept { return ok_; }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool ok_;
};

bool put_bytearray(Xxh64& out, PyObject* value) {
  Buffer buffer(value, PyBUF_SIMPLE);
  if (!buffer) return false;
  out.put_byte('B');
  out.put_u64(static_cast<uint64_t>(buffer.view().len));
  put_buffer_data(out, buffer.view());
  return true;
}

bool put_memoryview(Xxh64& out, PyObject* value) {
  Buffer buffer(value, PyBUF_RECORDS_RO);
  if (!buffer) return false;
  const Py_buffer& view = buffer.view();
  const char* format = view.format != nullptr ? view.format : "B";
  out.put_byte('m');
  put_sized(out, format, std::strlen(format));
  out.put_u64(static_cast<uint64_t>(view.ndim));
  for (int k = 0; k < view.ndim; ++k) out.put_u64(static_cast<uint64_t>(view.shape[k]));
  out.put_u64(static_cast<uint64_t>(view.len));
  put_buffer_data(out, view);
  return true;
}

class Walker {
 public:
  explicit Walker(ContentHashObject* self) noexcept : self_(self) {}

  bool value(PyObject* v, Xxh64& out) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyLong_Type) return put_int(out, v);
    if (type == &PyUnicode_Type) {
      out.put_byte('s');
      return put_text(out, v);
    }
    if (type == &PyFloat_Type) {
      out.put_byte('f');
      return put_double(out, PyFloat_AsDouble(v));
    }
    if (v == Py_None) return out.put_byte('N'), true;
    if (v == Py_True) return out.put_byte('T'), true;
    if (v == Py_False) return out.put_byte('F'), true;
    if (type == &PyTuple_Type) return tuple(v, out);
    if (type == &PyList_Type) return list(v, out);
    if (type == &PyDict_Type) return dict(v, out);
    if (type == &PySet_Type) return set(v, 'S', out);
    if (type == &PyFrozenSet_Type) return set(v, 'Z', out);
    if (type == &PyBytes_Type) {
      out.put_byte('b');
      return put_bytes_object(out, v);
    }
    if (type == &PyByteArray_Type) return put_bytearray(out, v);
    if (type == &PyMemoryView_Type) return put_memoryview(out, v);
    if (type == &PyComplex_Type) return complex(v, out);
    return other(v, type, out);
  }

 private:
  bool complex(PyObject* v, Xxh64& out) {
    out.put_byte('c');
    put_double(out, PyComplex_RealAsDouble(v));
    put_double(out, PyComplex_ImagAsDouble(v));
    return !PyErr_Occurred();
  }

  bool tuple(PyObject* v, Xxh64& out) {
    Level level;
    if (!level) return false;
    const Py_ssize_t n = PyTuple_Size(v);
    out.put_byte('t');
    out.put_u64(static_cast<uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)  // a tuple keeps its items alive
      if (!value(PyTuple_GetItem(v, i), out)) return false;
    return true;
  }

  bool list(PyObject* v, Xxh64& out) {
    Level level;
    if (!level) return false;
    const Py_ssize_t n = PyList_Size(v);
    out.put_byte('l');
    out.put_u64(static_cast<uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      // A registered hasher may change the list: hold the item, re-check.
      if (PyList_Size(v) != n) return changed_size("list");
      Ref item = Ref::borrow(PyList_GetItem(v, i));
      if (!value(item.get(), out)) return false;
    }
    return PyList_Size(v) == n || changed_size("list");
  }

  static bool changed_size(const char* what) {
    PyErr_Format(PyExc_RuntimeError, "%s changed size during hashing", what);
    return false;
  }

  static void put_digests(Xxh64& out, char tag, std::vector<uint64_t>& digests) {
    std::sort(digests.begin(), digests.end());
    out.put_byte(static_cast<unsigned char>(tag));
    out.put_u64(digests.size());
    for (uint64_t d : digests) out.put_u64(d);
  }

  /// A dict in insertion order: its order is what iterating it gives.
  bool dict(PyObject* v, Xxh64& out, char tag = 'd') {
    Level level;
    if (!level) return false;
    const Py_ssize_t n = PyDict_Size(v);
    if (tag != 'd') out.put_byte(static_cast<unsigned char>(tag));
    out.put_byte('d');
    out.put_u64(static_cast<uint64_t>(n));
    Py_ssize_t pos = 0, seen = 0;
    PyObject *key, *item;
    while (PyDict_Next(v, &pos, &key, &item)) {
      Ref k = Ref::borrow(key), i = Ref::borrow(item);
      if (!value(k.get(), out) || !value(i.get(), out)) return false;
      ++seen;
      if (PyDict_Size(v) != n) return changed_size("dictionary");
    }
    return seen == n || changed_size("dictionary");
  }

  bool set(PyObject* v, char tag, Xxh64& out) {
    Level level;
    if (!level) return false;
    const Py_ssize_t n = PySet_Size(v);
    std::vector<uint64_t> digests;
    digests.reserve(static_cast<std::size_t>(n));
    Ref iterator = Ref::steal(PyObject_GetIter(v));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      Xxh64 one;
      if (!value(item.get(), one)) return false;
      digests.push_back(one.digest());
    }
    if (PyErr_Occurred()) return false;  // the iterator's own "changed size"
    if (digests.size() != static_cast<std::size_t>(n)) return changed_size("set");
    put_digests(out, tag, digests);
    return true;
  }

  bool ordered_dict(PyObject* v, Xxh64& out) {
    Level level;
    if (!level) return false;
    const Py_ssize_t n = PyDict_Size(v);
    out.put_byte('o');
    out.put_u64(static_cast<uint64_t>(n));
    Ref items = Ref::steal(PyObject_CallMethod(v, "items", nullptr));
    Ref iterator = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iterator) return false;
    Py_ssize_t seen = 0;
    while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
      if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "items() of an OrderedDict must give (key, value) pairs");
        return false;
      }
      if (!value(PyTuple_GetItem(pair.get(), 0), out) || !value(PyTuple_GetItem(pair.get(), 1), out))
        return false;
      ++seen;
    }
    if (PyErr_Occurred()) return false;
    return seen == n || changed_size("OrderedDict");
  }

  bool as_base(PyObject* v, Base base, Xxh64& out) {
    switch (base) {
      case Base::Int: return put_int(out, v);
      case Base::Float: {
        const double x = PyFloat_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred()) return false;
        out.put_byte('f');
        return put_double(out, x);
      }
      case Base::Complex: return complex(v, out);
      case Base::Str: return out.put_byte('s'), put_text(out, v);
      case Base::Bytes: return out.put_byte('b'), put_bytes_object(out, v);
      case Base::ByteArray: return put_bytearray(out, v);
      case Base::Tuple: return tuple(v, out);
      case Base::List: return list(v, out);
      case Base::Dict: return dict(v, out);
      case Base::Set: return set(v, 'S', out);
      case Base::FrozenSet: return set(v, 'Z', out);
      case Base::OrderedDict: return ordered_dict(v, out);
    }
    PyErr_SetString(PyExc_SystemError, "unknown built-in base");
    return false;
  }

  /// `D` and the dict encoding of a non-empty instance __dict__, else `.`.
  bool instance_dict(PyObject* v, Xxh64& out) {
    Ref attributes = Ref::steal(PyObject_GetAttrString(v, "__dict__"));
    if (!attributes) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
    }
    if (!attributes || !PyDict_Check(attributes.get()) || PyDict_Size(attributes.get()) == 0)
      return out.put_byte('.'), true;
    return dict(attributes.get(), out, 'D');
  }

  /// What a subclass adds to its built-in or array part: its __dict__ (`D`
  /// or `.`), then `+` and the encoding of the state the resolution's
  /// callable reads (slots, a defaultdict's factory) when it has one.
  bool extra_state(PyObject* v, const Resolution& r, Xxh64& out) {
    if (!r.with_dict)
      out.put_byte('.');
    else if (!instance_dict(v, out))
      return false;
    if (r.callable.get() == Py_None) return true;
    Level level;
    if (!level) return false;
    Ref state = Ref::steal(PyObject_CallFunctionObjArgs(r.callable.get(), v, nullptr));
    if (!state) return false;
    out.put_byte('+');
    return value(state.get(), out);
  }

  bool registered(PyObject* v, const Resolution& r, Xxh64& out) {
    Level level;
    if (!level) return false;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(r.callable.get(), v, nullptr));
    if (!result) return false;
    if (!PyLong_Check(result.get())) {
      Ref type = Ref::steal(PyType_GetName(Py_TYPE(result.get())));
      if (type)
        PyErr_Format(PyExc_TypeError, "the hasher registered for %s returned %U, not an int in 0..2**64-1",
                     PyBytes_AsString(r.name.get()), type.get());
      return false;
    }
    const unsigned long long h = PyLong_AsUnsignedLongLong(result.get());
    if (h == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "the hasher registered for %s returned %R, not an int in 0..2**64-1",
                   PyBytes_AsString(r.name.get()), result.get());
      return false;
    }
    out.put_byte('r');
    if (!put_bytes_object(out, r.name.get())) return false;
    out.put_u64(h);
    return true;
  }

  bool array(PyObject* v, Xxh64& out);
  bool other(PyObject* v, PyTypeObject* type, Xxh64& out);

  ContentHashObject* self_;
};

bool Walker::array(PyObject* v, Xxh64& out) {
  Level level;
  if (!level) return false;
  Ref dtype = Ref::steal(PyObject_GetAttrString(v, "dtype"));
  Ref shape = dtype ? Ref::steal(PyObject_GetAttrString(v, "shape")) : Ref();
  Ref fields = shape ? Ref::steal(PyObject_GetAttrString(dtype.get(), "fields")) : Ref();
  if (!fields) return false;
  Ref spec;
  if (fields.get() == Py_None) {
    spec = Ref::steal(PyObject_GetAttrString(dtype.get(), "str"));
  } else {  // structured: the field list names what the bytes mean
    spec = Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(self_), "_dtype_spec", "O", dtype.get()));
  }
  if (!spec || !PyUnicode_Check(spec.get()) || !PyTuple_Check(shape.get())) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an array's dtype.str must be a str and its shape a tuple");
    return false;
  }
  out.put_byte('a');
  if (!put_text(out, spec.get())) return false;
  const Py_ssize_t ndim = PyTuple_Size(shape.get());
  out.put_u64(static_cast<uint64_t>(ndim));
  for (Py_ssize_t k = 0; k < ndim; ++k) {
    const unsigned long long extent = PyLong_AsUnsignedLongLong(PyTuple_GetItem(shape.get(), k));
    if (extent == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.put_u64(extent);
  }
  Ref has_object = Ref::steal(PyObject_GetAttrString(dtype.get(), "hasobject"));
  if (!has_object) return false;
  if (PyObject_IsTrue(has_object.get())) {  // Python objects: walk them in C order
    Ref flat = Ref::steal(PyObject_CallMethod(v, "ravel", nullptr));
    Ref iterator = flat ? Ref::steal(PyObject_GetIter(flat.get())) : Ref();
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
      if (!value(item.get(), out)) return false;
    return !PyErr_Occurred();
  }
  {
    Buffer buffer(v, PyBUF_STRIDES);
    if (buffer) return put_buffer_data(out, buffer.view(), true), true;
  }
  // Some dtypes (datetime64, timedelta64) refuse to export a buffer; their
  // bytes are the same seen as opaque items of the same size.
  PyErr_Clear();
  Ref itemsize = Ref::steal(PyObject_GetAttrString(dtype.get(), "itemsize"));
  Ref opaque = itemsize ? Ref::steal(PyUnicode_FromFormat("V%S", itemsize.get())) : Ref();
  Ref raw = opaque ? Ref::steal(PyObject_CallMethod(v, "view", "O", opaque.get())) : Ref();
  if (!raw) return false;
  Buffer buffer(raw.get(), PyBUF_STRIDES);
  if (!buffer) return false;
  put_buffer_data(out, buffer.view(), true);
  return true;
}

bool Walker::other(PyObject* v, PyTypeObject* type, Xxh64& out) {
  std::shared_ptr<const Resolution> found = self_->types->find(reinterpret_cast<PyObject*>(self_), type);
  if (!found) return false;
  const Resolution& r = *found;  // `found` keeps it alive if the table is cleared
  switch (r.kind) {
    case Kind::Registered: return registered(v, r, out);
    case Kind::Subclass:
      out.put_byte('<');
      if (!put_bytes_object(out, r.name.get()) || !as_base(v, r.base, out)) return false;
      return extra_state(v, r, out);
    case Kind::Array:
      if (r.name.get() == Py_None) return array(v, out);  // exactly an ndarray
      out.put_byte('<');
      if (!put_bytes_object(out, r.name.get()) || !array(v, out)) return false;
      return extra_state(v, r, out);
    case Kind::Proxy: {
      Level level;
      if (!level) return false;
      Ref proxy = Ref::steal(PyObject_CallFunctionObjArgs(r.callable.get(), v, nullptr));
      if (!proxy) return false;
      out.put_byte('x');
      return put_bytes_object(out, r.name.get()) && value(proxy.get(), out);
    }
    case Kind::Pickle: {
      Level level;
      if (!level) return false;
      Ref payload = Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(self_), "_pickle", "O", v));
      if (!payload) return false;
      if (!PyBytes_Check(payload.get())) {
        PyErr_SetString(PyExc_TypeError, "_pickle must return bytes");
        return false;
      }
      out.put_byte('p');
      return put_bytes_object(out, payload.get());
    }
  }
  PyErr_SetString(PyExc_SystemError, "unknown type resolution");
  return false;
}

/// Reads the `(kind, name, base, callable, with_dict)` tuple of `_resolve`.
std::shared_ptr<const Resolution> parse_resolution(PyObject* t) {
  int kind, base, with_dict;
  PyObject *name, *callable;
  if (!PyTuple_Check(t) ||
      !PyArg_ParseTuple(t, "iOiOp;_resolve must return (kind, name, base, callable, with_dict)", &kind,
                        &name, &base, &callable, &with_dict))
    return nullptr;
  if (kind < 1 || kind > 5 || base < 0 || base > static_cast<int>(Base::OrderedDict) ||
      !(PyBytes_Check(name) || name == Py_None)) {
    PyErr_SetString(PyExc_ValueError, "_resolve returned an unknown kind, base or name");
    return nullptr;
  }
  auto r = std::make_shared<Resolution>();
  r->kind = static_cast<Kind>(kind);
  r->name = Ref::borrow(name);
  r->base = static_cast<Base>(base);
  r->callable = Ref::borrow(callable);
  r->with_dict = with_dict != 0;
  return r;
}

}  // namespace

std::shared_ptr<const Resolution> TypeTable::find(PyObject* owner, PyTypeObject* type) {
  if (auto hit = entries_.find(type); hit != entries_.end()) return hit->second.resolution;
  const std::uint64_t generation = generation_;
  Ref answer = Ref::steal(PyObject_CallMethod(owner, "_resolve", "O", reinterpret_cast<PyObject*>(type)));
  if (!answer) return nullptr;
  std::shared_ptr<const Resolution> r = parse_resolution(answer.get());
  if (!r) return nullptr;
  // Another thread may have registered a hasher while `_resolve` ran: an
  // answer from before that must not be cached.
  if (generation != generation_) return r;
  constexpr std::size_t kMaxTypes = 4096;  // dynamic classes must not pile up
  if (entries_.size() >= kMaxTypes) clear();
  entries_[type] = Entry{Ref::borrow(reinterpret_cast<PyObject*>(type)), r};
  return r;
}

void TypeTable::clear() noexcept {
  // Releasing a hasher may run Python code that registers again: empty the
  // table before anything is released.
  ++generation_;
  std::unordered_map<PyTypeObject*, Entry> old;
  old.swap(entries_);
}

int TypeTable::traverse(visitproc visit, void* arg) noexcept {
  for (auto& [type, entry] : entries_) {
    Py_VISIT(entry.type.get());
    Py_VISIT(entry.resolution->callable.get());
  }
  return 0;
}

bool encode(ContentHashObject* self, PyObject* value, Xxh64& out) { return Walker(self).value(value, out); }

bool at_top_level() noexcept { return depth == 0; }

}  // namespace movra::hashing
