"""A plain-Python encoder of the content hash's byte encoding, written from
its description in movra.hashing, hashed with the `xxhash` package: what the
native walker must agree with."""
import enum
import io
import pickle
import struct
from collections import OrderedDict
from typing import Any, Callable, Mapping

import xxhash


def u64(n: int) -> bytes:
    return struct.pack("<Q", n)


def xxh64(data: bytes) -> int:
    return xxhash.xxh64_intdigest(data)


def sized(data: bytes) -> bytes:
    return u64(len(data)) + data


def type_name(cls: type) -> bytes:
    return f"{cls.__module__}.{cls.__qualname__}".encode("utf-8", "surrogatepass")


def digest(tag: bytes, payload: bytes) -> int:
    return xxh64(b"g" + sized(tag) + payload)


def combine(tag: bytes, parts: list[int]) -> int:
    return digest(tag, b"".join(u64(p) for p in parts))


BASES = (bool, int, float, complex, str, bytes, bytearray, tuple, list, OrderedDict, dict, set, frozenset)
EXACT = (*BASES[:9], dict, set, frozenset, memoryview)  # no OrderedDict: a dict subclass


class Encoder:
    def __init__(self, registry: Mapping[type, Callable[[Any], int]] = {}):
        self.registry = registry

    def hash(self, value: Any) -> int:
        return xxh64(self.encode(value))

    def encode(self, v: Any) -> bytes:
        t = type(v)
        if v is None:
            return b"N"
        if t is bool:
            return b"T" if v else b"F"
        if t in EXACT:
            return self.builtin(v, t)
        hasher = next((self.registry[k] for k in t.__mro__ if k in self.registry), None)
        if hasher is not None:
            return b"r" + sized(type_name(t)) + u64(hasher(v))
        base = next((k for k in t.__mro__ if k in BASES), None)
        if base is not None:
            tail = b"."
            if not isinstance(v, enum.Enum) and getattr(v, "__dict__", None):
                tail = b"D" + self.builtin(v.__dict__, dict)
            return b"<" + sized(type_name(t)) + self.builtin(v, base) + tail
        if t.__module__ == "numpy" and t.__qualname__ == "ndarray":
            return self.array(v)
        return b"p" + sized(self.pickle(v))

    def builtin(self, v: Any, t: type) -> bytes:
        if t is int:
            if -(2**63) <= v < 2**63:
                return b"i" + struct.pack("<q", v)
            return b"I" + sized(int.to_bytes(v, (v.bit_length() + 8) // 8, "little", signed=True))
        if t is float:
            return b"f" + struct.pack("<d", v)
        if t is complex:
            return b"c" + struct.pack("<dd", v.real, v.imag)
        if t is str:
            return b"s" + sized(str.encode(v, "utf-8", "surrogatepass"))
        if t is bytes:
            return b"b" + sized(bytes(v))
        if t is bytearray:
            return b"B" + sized(bytes(v))
        if t is memoryview:
            shape = b"".join(u64(n) for n in v.shape)
            return b"m" + sized(v.format.encode()) + u64(v.ndim) + shape + u64(v.nbytes) + v.tobytes()
        if t is tuple or t is list:
            return (b"t" if t is tuple else b"l") + u64(len(v)) + b"".join(self.encode(x) for x in v)
        if t is OrderedDict:
            return b"o" + u64(len(v)) + b"".join(self.encode(k) + self.encode(x) for k, x in v.items())
        if t is dict:
            items = sorted(xxh64(self.encode(k) + self.encode(x)) for k, x in dict.items(v))
            return b"d" + u64(len(items)) + b"".join(u64(d) for d in items)
        tag = b"S" if t is set else b"Z"
        digests = sorted(xxh64(self.encode(x)) for x in v)
        return tag + u64(len(digests)) + b"".join(u64(d) for d in digests)

    def array(self, a: Any) -> bytes:
        spec = a.dtype.str if a.dtype.fields is None else repr(a.dtype.descr)
        head = b"a" + sized(spec.encode()) + u64(a.ndim) + b"".join(u64(n) for n in a.shape)
        if a.dtype.hasobject:
            return head + b"".join(self.encode(x) for x in a.ravel())
        return head + a.tobytes(order="C")

    def pickle(self, v: Any) -> bytes:
        encoder = self

        class Pickler(pickle.Pickler):
            def persistent_id(self, obj: Any) -> Any:
                t = type(obj)
                nested = isinstance(obj, (set, frozenset)) or (
                    t not in EXACT
                    and (
                        any(k in encoder.registry for k in t.__mro__)
                        or (t.__module__ == "numpy" and t.__qualname__ == "ndarray")
                    )
                )
                return ("movra-hash", encoder.hash(obj)) if nested else None

        buffer = io.BytesIO()
        Pickler(buffer, protocol=5).dump(v)
        return buffer.getvalue()


# Values for the tests that must be importable by name (pickled, or built in
# a child process).


class Box:
    """A plain object: hashed by its pickle."""

    def __init__(self, content: Any):
        self.content = content

    def __eq__(self, other: Any) -> bool:
        return type(other) is Box and self.content == other.content


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2


class Size(enum.IntEnum):
    SMALL = 1


class Tagged(str):
    """A str subclass whose instances carry attributes."""
