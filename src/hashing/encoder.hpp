// encoder.hpp - the canonical byte encoding of Python values, fed to XXH64.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "pyref.hpp"
#include "xxh64.hpp"

namespace movra::hashing {

using py::Ref;

/// How a value of a type that is not one of the exact built-ins is encoded.
/// The codes are shared with hashing.py, which decides them per type.
enum class Kind : int { Registered = 1, Subclass = 2, Array = 3, Proxy = 4, Pickle = 5 };

/// The built-in base a subclass is encoded as (codes shared with hashing.py).
enum class Base : int {
  Int, Float, Complex, Str, Bytes, ByteArray, Tuple, List, Dict, Set, FrozenSet, OrderedDict,
};

struct Resolution {
  Kind kind;
  Ref name;      // bytes naming the value's type; None for an exact ndarray
  Base base;     // for Kind::Subclass
  Ref callable;  // the hasher (Registered), the proxy builder (Proxy), or
                 // for Subclass and Array the reader of extra state (or None)
  bool with_dict;  // Subclass, Array: instances may carry a __dict__ worth encoding
};

/// Per-type resolutions, asked of the owner's `_resolve(cls)` on a miss.
/// Each entry holds a reference to its type, so no address is reused while
/// it is cached; the table is bounded and cleared by `register`.
class TypeTable {
 public:
  /// The resolution of `type`, or null with an exception set.
  std::shared_ptr<const Resolution> find(PyObject* owner, PyTypeObject* type);
  void clear() noexcept;
  int traverse(visitproc visit, void* arg) noexcept;

 private:
  struct Entry {
    Ref type;
    std::shared_ptr<const Resolution> resolution;
  };
  std::unordered_map<PyTypeObject*, Entry> entries_;
  std::uint64_t generation_ = 0;  // advanced by every clear
};

/// The native `content_hash` object: the encoder's type table, nothing else.
struct ContentHashObject {
  PyObject_HEAD
  TypeTable* types;
};

/// Deepest container nesting accepted; deeper (or self-referencing) values
/// raise ValueError.
inline constexpr int kMaxDepth = 1000;
inline constexpr const char* kTooDeep =
    "cannot hash a recursive or too deeply nested value (deeper than 1000 levels)";

/// Feeds the encoding of `value` to `out`; false with an exception set on
/// failure. May throw std::bad_alloc.
bool encode(ContentHashObject* self, PyObject* value, Xxh64& out);

/// True while no content_hash call is running on this thread.
bool at_top_level() noexcept;

}  // namespace movra::hashing
