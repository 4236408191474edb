"""Stable 64-bit content hashes of Python values.

`content_hash(value)` gives the same number for equal values in every process
(unlike `hash()`, which is salted per process and maps -1 and -2 alike), so a
changed number means a changed value.  Built-in values are hashed by their
structure; anything else that pickles is hashed by its pickle.  Register a
hasher for your own types with `@content_hash.register(MyType)`; it returns an
int in 0..2**64-1 (combine parts with `combine`).
"""
from __future__ import annotations

import hashlib
import math
import pickle
import struct
from functools import singledispatch
from typing import Any

__all__ = ["content_hash", "combine", "digest"]

MASK = 2**64 - 1


def digest(tag: bytes, payload: bytes) -> int:
    """A 64-bit BLAKE2b digest of `payload`, domain-separated by `tag`."""
    return int.from_bytes(hashlib.blake2b(payload, digest_size=8, person=tag[:16]).digest(), "little")


def combine(tag: bytes, parts: list[int]) -> int:
    """The digest of a sequence of 64-bit hashes, in order."""
    return digest(tag, struct.pack(f"<{len(parts)}Q", *parts))


@singledispatch
def content_hash(value: Any) -> int:
    """A stable 64-bit hash of `value`'s content."""
    try:
        payload = pickle.dumps(value, protocol=5)
    except Exception as error:  # pickling raises many classes of error
        raise TypeError(
            f"cannot hash a value of type {type(value).__qualname__}: it does not pickle "
            f"({error}); register a hasher with @movra.content_hash.register"
            f"({type(value).__qualname__})"
        ) from error
    return digest(b"pickle", payload)


@content_hash.register(type(None))
def _(value: None) -> int:
    return digest(b"none", b"")


@content_hash.register(bool)
def _(value: bool) -> int:
    return digest(b"bool", b"\x01" if value else b"\x00")


@content_hash.register(int)
def _(value: int) -> int:
    length = (value.bit_length() + 8) // 8
    return digest(b"int", value.to_bytes(length, "little", signed=True))


@content_hash.register(float)
def _(value: float) -> int:
    if math.isnan(value):
        return digest(b"float", b"nan")  # every NaN is the same missing value
    return digest(b"float", struct.pack("<d", value + 0.0))  # -0.0 and 0.0 alike


@content_hash.register(complex)
def _(value: complex) -> int:
    return combine(b"complex", [content_hash(value.real), content_hash(value.imag)])


@content_hash.register(str)
def _(value: str) -> int:
    return digest(b"str", value.encode("utf-8", "surrogatepass"))


@content_hash.register(bytes)
@content_hash.register(bytearray)
@content_hash.register(memoryview)
def _(value: bytes | bytearray | memoryview) -> int:
    return digest(b"bytes", bytes(value))


@content_hash.register(tuple)
def _(value: tuple[Any, ...]) -> int:
    return combine(b"tuple", [content_hash(item) for item in value])


@content_hash.register(list)
def _(value: list[Any]) -> int:
    return combine(b"list", [content_hash(item) for item in value])


@content_hash.register(dict)
def _(value: dict[Any, Any]) -> int:
    # Equal dicts are equal whatever their insertion order.
    items = sorted(combine(b"item", [content_hash(k), content_hash(v)]) for k, v in value.items())
    return combine(b"dict", items)


@content_hash.register(frozenset)
@content_hash.register(set)
def _(value: set[Any] | frozenset[Any]) -> int:
    return combine(b"set", sorted(content_hash(item) for item in value))
