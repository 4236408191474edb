// api.hpp - what the _hashing module offers other native modules of the
// package, through the capsule `_hashing._api`.
#pragma once

#include <Python.h>

#include <cstdint>

namespace movra::hashing {

inline constexpr const char* kApiCapsule = "movra._hashing._api";

struct Api {
  /// sizeof(Api): a module built against another layout refuses to use it.
  std::size_t size;
  /// content_hash(value) as `hasher` (a ContentHash) computes it: true with
  /// the hash in *out, or false with an exception set.
  bool (*hash)(PyObject* hasher, PyObject* value, std::uint64_t* out) noexcept;
  /// Whether `object` is a ContentHash (or a subclass's instance).
  bool (*is_hasher)(PyObject* object) noexcept;
};

}  // namespace movra::hashing
