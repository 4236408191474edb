"""A plain-Python encoder of the content hash's byte encoding, written from
its description in movra.hashing, hashed with the `xxhash` package: what the
native walker must agree with."""
import collections
import enum
import io
import pickle
import struct
import types
from collections import OrderedDict
from typing import Any, Callable, Mapping

import xxhash

from movra._code import definition_digest


def u64(n: int) -> bytes:
    return struct.pack("<Q", n)


def xxh64(data: bytes) -> int:
    return xxhash.xxh64_intdigest(data)


def sized(data: bytes) -> bytes:
    return u64(len(data)) + data


BLOCK = 1 << 20


def type_name(cls: type) -> bytes:
    return f"{cls.__module__}.{cls.__qualname__}".encode("utf-8", "surrogatepass")


def defined_name(cls: type) -> bytes:
    found = definition_digest(cls)
    return type_name(cls) if found is None else type_name(cls) + b"@" + found.hex().encode()


def slot_names(cls: type) -> list[str]:
    names = []
    for klass in reversed(cls.__mro__):
        slots = klass.__dict__.get("__slots__", ())
        for name in [slots] if isinstance(slots, str) else slots:
            if name not in ("__dict__", "__weakref__"):
                mangled = name.startswith("__") and not name.endswith("__")
                names.append(f"_{klass.__name__.lstrip('_')}{name}" if mangled else name)
    return names


def is_ndarray(t: type) -> bool:
    return t.__module__ == "numpy" and t.__qualname__ == "ndarray"


def is_masked(t: type) -> bool:
    return any(k.__module__ == "numpy.ma" and k.__qualname__ == "MaskedArray" for k in t.__mro__)


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
        if is_ndarray(t):
            return self.array(v)
        base = next((k for k in t.__mro__ if k in BASES or is_ndarray(k)), None)
        if base is not None and is_ndarray(base) and is_masked(t):
            import numpy as np

            fill = np.ma.default_fill_value(v.dtype) if v._fill_value is None else v._fill_value
            proxy = (np.ma.getdata(v), np.ma.getmaskarray(v), np.asarray(fill), v.hardmask)
            return b"x" + sized(defined_name(t)) + self.encode(proxy)
        if base is not None:
            body = self.array(v) if is_ndarray(base) else self.builtin(v, base)
            return b"<" + sized(defined_name(t)) + body + self.extra_state(v, t)
        if t is types.MappingProxyType:
            return b"x" + sized(type_name(t)) + self.encode(dict(v))
        if t is types.FunctionType or issubclass(t, type):
            proxy = (v.__module__, v.__qualname__, definition_digest(v))
            return b"x" + sized(type_name(t)) + self.encode(proxy)
        return b"p" + sized(self.pickle(v))

    def extra_state(self, v: Any, t: type) -> bytes:
        tail = b"."
        if not isinstance(v, enum.Enum) and getattr(v, "__dict__", None):
            tail = b"D" + self.builtin(v.__dict__, dict)
        if any(k.__module__ == "numpy" and k.__qualname__ == "memmap" for k in t.__mro__):
            return b".+" + self.encode((v.filename, v.offset, v.mode))
        state = [v.default_factory] if isinstance(v, collections.defaultdict) else []
        for name in slot_names(t):
            state.append((name, getattr(v, name)) if hasattr(v, name) else (name,))
        if state or isinstance(v, collections.defaultdict):
            tail += b"+" + self.encode(tuple(state))
        return tail

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
            return b"d" + u64(len(v)) + b"".join(self.encode(k) + self.encode(x) for k, x in dict.items(v))
        tag = b"S" if t is set else b"Z"
        digests = sorted(xxh64(self.encode(x)) for x in v)
        return tag + u64(len(digests)) + b"".join(u64(d) for d in digests)

    def array(self, a: Any) -> bytes:
        spec = a.dtype.str if a.dtype.fields is None else dtype_spec(a.dtype)
        head = b"a" + sized(spec.encode()) + u64(a.ndim) + b"".join(u64(n) for n in a.shape)
        if a.dtype.hasobject:
            return head + b"".join(self.encode(x) for x in a.ravel())
        data = a.tobytes(order="C")
        if len(data) >= 2 * BLOCK:  # as the digests of its 1 MiB blocks
            return head + b"".join(u64(xxh64(data[i : i + BLOCK])) for i in range(0, len(data), BLOCK))
        return head + data

    def pickle(self, v: Any) -> bytes:
        encoder = self

        class Pickler(pickle.Pickler):
            def persistent_id(self, obj: Any) -> Any:
                t = type(obj)
                nested = isinstance(obj, (set, frozenset, type, types.FunctionType, types.MappingProxyType)) or (
                    t not in EXACT
                    and (
                        any(k in encoder.registry for k in t.__mro__)
                        or any(is_ndarray(k) for k in t.__mro__)
                    )
                )
                return ("movra-hash", encoder.hash(obj)) if nested else None

        buffer = io.BytesIO()
        Pickler(buffer, protocol=5).dump(v)
        return buffer.getvalue()


def dtype_spec(dtype: Any) -> str:
    try:
        return repr(dtype.descr)
    except ValueError:  # fields out of order or overlapping
        return "fields" + repr(field_list(dtype))


def field_list(dtype: Any) -> Any:
    if dtype.subdtype is not None:
        return (field_list(dtype.subdtype[0]), dtype.subdtype[1])
    if dtype.fields is None:
        return dtype.str
    fields = [(name, *dtype.fields[name]) for name in dtype.names]
    return (dtype.itemsize, [(f[0], f[2], field_list(f[1]), f[3] if len(f) > 3 else None) for f in fields])


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


# Values built from recipes: nested tuples of literals that a child process
# can read back (`ast.literal_eval`) and build again, so the same value can
# be hashed in two processes even when it cannot be pickled (lambdas,
# classes made at run time).


def _notebook_class(source: str) -> type:
    """A class `Model` made by running `source` as a notebook cell would."""
    namespace: dict[str, Any] = {"__name__": "__main__"}
    exec(source, namespace)
    return namespace["Model"]


def _closure(value: Any) -> Callable[[Any], Any]:
    def shifted(x: Any) -> Any:
        return x + value
    return shifted


class Units(list):
    """A list with a unit in a slot."""
    __slots__ = ("unit",)


class Noted(dict):
    """A dict whose instances may carry attributes."""


ROWS = {"xy": collections.namedtuple("Row", "x y"), "latlon": collections.namedtuple("Row", "lat lon"),
        "xy0": collections.namedtuple("Row", "x y", defaults=(0,))}
MODELS = {
    "plus1": _notebook_class("class Model:\n    def predict(self, x):\n        return x + 1\n"),
    "plus2": _notebook_class("class Model:\n    def predict(self, x):\n        return x + 2\n"),
    "scaled": _notebook_class("class Model:\n    scale = 2\n    def predict(self, x):\n        return x * self.scale\n"),
    "scaled3": _notebook_class("class Model:\n    scale = 3\n    def predict(self, x):\n        return x * self.scale\n"),
}
FUNCTIONS = {
    "plus1": lambda x: x + 1, "plus2": lambda x: x + 2, "plus1 again": lambda x: x + 1,
    "k=1": lambda x, k=1: x + k, "k=2": lambda x, k=2: x + k,
    "closure 1": _closure(1), "closure 2": _closure(2), "closure [1]": _closure([1]),
    "len": len, "int": int, "list": list, "str": str,
}
FACTORIES = {"int": int, "list": list, "str": str, "plus1": FUNCTIONS["plus1"], "plus2": FUNCTIONS["plus2"]}
DTYPES = {
    "structured": [("a", "<i4"), ("b", "<f8")],
    "reordered": {"names": ["b", "a"], "formats": ["<i4", "<i4"], "offsets": [4, 0]},
    "overlapping": {"names": ["w", "lo"], "formats": ["<i4", "<i2"], "offsets": [0, 0]},
}


def build(recipe: tuple[Any, ...]) -> Any:
    kind, *args = recipe
    if kind == "atom":
        return args[0]
    if kind == "float":
        return struct.unpack("<d", struct.pack("<Q", args[0]))[0]
    if kind == "enum":
        return {"RED": Color.RED, "GREEN": Color.GREEN, "SMALL": Size.SMALL}[args[0]]
    if kind in ("list", "tuple", "set", "frozenset"):
        return {"list": list, "tuple": tuple, "set": set, "frozenset": frozenset}[kind](map(build, args[0]))
    if kind in ("dict", "odict"):
        return (dict if kind == "dict" else OrderedDict)((build(k), build(v)) for k, v in args[0])
    if kind == "ddict":
        return collections.defaultdict(FACTORIES[args[0]], ((build(k), build(v)) for k, v in args[1]))
    if kind == "units":
        units = Units(map(build, args[0]))
        if args[1] is not None:
            units.unit = args[1]
        return units
    if kind == "noted":
        noted = Noted((build(k), build(v)) for k, v in args[0])
        if args[1] is not None:
            noted.note = args[1]
        return noted
    if kind == "row":
        return ROWS[args[0]](build(args[1]), build(args[2]))
    if kind == "function":
        return FUNCTIONS[args[0]]
    if kind == "class":
        return MODELS[args[0]]
    if kind == "model":
        model = MODELS[args[0]]()
        model.state = build(args[1])
        return model
    if kind == "box":
        return Box(build(args[0]))
    return build_numeric(kind, args)


def build_numeric(kind: str, args: list[Any]) -> Any:
    import numpy as np
    import pandas as pd

    if kind == "array":
        dtype, shape, layout = args
        size = int(np.prod(shape))
        if dtype in DTYPES:
            array = np.zeros(size, dtype=DTYPES[dtype])
            array[array.dtype.names[0]] = np.arange(size) % 3
        else:
            array = (np.arange(size) % 3).astype(dtype)
        array = array.reshape(shape)
        if layout == "fortran":
            array = np.asfortranarray(array)
        elif layout == "reversed" and array.ndim:
            array = array[::-1]
        return array
    if kind == "masked":
        data, mask, fill = args
        return np.ma.masked_array(data, mask=mask, fill_value=fill)
    if kind == "matrix":
        return np.matrix(args[0])
    if kind == "series":
        dtype, values, name, attrs = args
        series = pd.Series(values, dtype=dtype, name=name)
        series.attrs.update(attrs)
        return series
    if kind == "nullable":  # Int64 values; what lies under a missing one is chosen
        values, hidden = args
        array = pd.array([None if v is None else v for v in values], dtype="Int64")
        array._data[array._mask] = hidden
        return pd.Series(array)
    if kind == "dates":
        periods, freq = args
        index = pd.date_range("2024-01-01", periods=periods, freq="D")
        return index if freq else pd.DatetimeIndex(list(index))
    if kind == "frame":
        columns, attrs = args
        frame = pd.DataFrame({name: values for name, values in columns})
        frame.attrs.update(attrs)
        return frame
    if kind == "multi":
        codes, unused = args
        levels = [["a", "b", "c"] if unused else ["a", "b"], [1, 2]]
        return pd.MultiIndex(levels=levels, codes=codes)
    raise ValueError(f"unknown recipe {kind!r}")


class Level(enum.IntEnum):
    """An enum with an attribute that holds its own members."""
    LOW = 1
    HIGH = 2


Level.ORDER = (Level.LOW, Level.HIGH)  # type: ignore[attr-defined]
