// args.hpp - binding Python arguments to parameters and converting them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pyref.hpp"

namespace movra::py {

/// What the binder needs to know of a method: its name for messages, and its
/// parameter names, both as text and as interned str objects (keyword names
/// from call sites are interned too, so most matches are a pointer compare).
struct Signature {
  const char* method;
  std::span<const char* const> names;
  std::span<PyObject* const> interned;
};

/// Binds vectorcall arguments to the parameters of `signature`, all of them
/// positional-or-keyword and required, into `bound` (borrowed references).
/// Raises TypeError with the interpreter's wording and returns false when the
/// call does not fit.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound) noexcept;

/// The same checks for tp_new-style arguments (a tuple and a dict or NULL).
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs) noexcept;

/// Re-raises a pending TypeError as "argument '<name>': <message>", keeping
/// its cause; errors of other classes stay as they are.
void name_conversion_error(const char* parameter) noexcept;

// Converters: each turns one argument into its kernel value, or raises the
// unprefixed error and returns false.  A parameter type names its converter.

/// A node id or kind: the str's UTF-8 text, valid while the str lives (the
/// caller's arguments outlive the call).
struct Str {
  using value_type = std::string_view;
  static bool convert(PyObject* object, std::string_view& out) noexcept;
};

/// An unsigned 64-bit hash or signature.
struct U64 {
  using value_type = std::uint64_t;
  static bool convert(PyObject* object, std::uint64_t& out) noexcept;
};

/// The ids of a sequence of str, in iteration order, duplicates kept.  Holds
/// the items so that their text stays valid.
class StrList {
 public:
  std::span<const std::string_view> views() const noexcept { return views_; }
  void reserve(std::size_t n) {
    items_.reserve(n);
    views_.reserve(n);
  }
  void push(Ref item, std::string_view text) {
    items_.push_back(std::move(item));
    views_.push_back(text);
  }

 private:
  std::vector<Ref> items_;
  std::vector<std::string_view> views_;
};

struct Strs {
  using value_type = StrList;
  /// May throw std::bad_alloc; holds no reference it does not release.
  static bool convert(PyObject* object, StrList& out);
};

}  // namespace movra::py
