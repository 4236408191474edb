"""Stable 64-bit content hashes of Python values.

`content_hash(value)` is the XXH64 (seed 0) of a canonical byte encoding of
`value`, streamed by a native walker: nothing the size of the value is built.
Unlike `hash()`, it is not salted per process and it tells apart values that
compare equal but behave differently.

The rule.  For the built-in types, their subclasses, functions and classes,
NumPy arrays and pandas objects: **two values get the same hash only if
nothing the program can observe through their type's ordinary API tells
them apart**, and equal values get the same hash in every process (whatever
PYTHONHASHSEED) on every 64-bit little-endian platform with the same
interpreter version (a function's or class's hash includes its bytecode).
So `1`, `1.0` and `True` differ; `0.0` and `-0.0` differ (floats are their
bits, so a NaN equals only a NaN of the same bits); two `IntEnum` members of
equal value differ; a dict and the same items in another insertion order
differ (iterating them differs); `defaultdict(int)` and `defaultdict(list)`
differ; two namedtuple classes named `Row` with other fields differ; a
function or class redefined under the same name (a notebook cell run again)
with another body differs, and one re-run unchanged hashes alike.

What the rule leaves out, on purpose (observable, but not content):
    - identity and sharing: `[x, x]` and `[x, copy(x)]` hash alike;
    - the iteration order of a set or frozenset (it is the hash table's, not
      the program's): sets hash by content;
    - an array's memory layout: strides, C or Fortran order, contiguity,
      alignment, the writeable flag and which array owns the memory;
    - a masked array's mask as stored: a shrunk mask (`nomask`) and an
      all-False mask are the same mask (`np.ma.getmaskarray`), and a fill
      value not yet read is the default it would read as;
    - what lies under a missing value of a pandas nullable array (Int64,
      Float64, boolean): `to_numpy`, `tolist` and every operation show NA;
    - for functions, the global variables they read and the bodies of the
      functions they call by name (as for code versions), and their
      annotations; for classes, the content of an attribute changed in
      place once the class was hashed (a reassigned attribute is seen), and
      a class attribute that cannot be hashed (a lock) counts by its type;
    - classes defined in C, and builtin functions: their name;
    - a memory-mapped array's mmap object: it is hashed by its file name,
      offset and mode, besides its data.

What pandas and NumPy objects are made of, and what the hash reads
(a survey of their public state):
    ndarray: dtype (byte order, item size, unit, structured fields with
        their names, offsets and titles), shape, the items in C order; an
        object array, each item by content.  A subclass: its class (by name
        and definition), the same, its instance `__dict__` and `__slots__`.
        np.matrix is such a subclass; np.memmap one whose file counts;
        masked arrays: data (masked items too: `.data` shows them), mask,
        fill value, whether the mask is hard.
    Index: name, dtype, values; DatetimeIndex and TimedeltaIndex also
        `freq`; PeriodIndex and IntervalIndex carry theirs in the dtype
        (`period[M]`, `interval[int64, right]`); RangeIndex start, stop,
        step; MultiIndex names, levels and codes (so unused levels count:
        `.levels` shows them); CategoricalIndex categories and order.
    Series: name, dtype, index, values, `attrs`, `flags.allows_duplicate_labels`.
    DataFrame: columns (an Index), index, each column's dtype and values,
        `attrs`, `flags.allows_duplicate_labels`.
    Values: NumPy dtypes by their buffers (no copy); categoricals by codes,
        categories and order; zoned datetimes by their int64 instants (the
        zone and unit in the dtype); nullable integer, float and boolean
        arrays by data (zero where missing) and mask; strings by their
        elements, with the storage and missing-value marker of the dtype;
        other extension arrays (sparse, periods, intervals, Arrow) by their
        elements as objects.  An extension array on its own is hashed the
        same way.
    Not read: caches (`is_unique`, `_cache`), the block layout of a frame,
        `.style`, and options.

The encoding (u64: 8 bytes, little-endian; `enc(x)`: the encoding of x):

Exact built-in types (``type(v) is T``):
    None ``N``; True ``T``; False ``F``
    int in int64 ``i`` + 8 bytes two's complement; other ints ``I`` + u64 n +
        the n = (bit_length + 8) // 8 bytes of ``to_bytes(n, "little", signed=True)``
    float ``f`` + the 8 bytes of its IEEE-754 bit pattern; complex ``c`` +
        real + imag bits
    str ``s`` + u64 n + its n bytes of UTF-8 (lone surrogates as "surrogatepass")
    bytes ``b`` + u64 n + data; bytearray ``B`` + u64 n + data
    memoryview ``m`` + u64 len(format) + format + u64 ndim + a u64 per extent
        + u64 nbytes + the data in C order
    tuple ``t`` + u64 count + enc(item)...; list ``l`` + u64 count + enc(item)...
    dict ``d`` + u64 count + enc(key) + enc(value) per item, in insertion order
    set ``S`` / frozenset ``Z`` + u64 count + the sorted u64 values XXH64(enc(item))

A type with a registered hasher (its own or an ancestor's, nearest in the MRO
first; looked up after the exact built-ins, before the rules below):
    ``r`` + u64 len(name) + name + u64 of the hasher's result, where name is
    ``module.qualname`` of the value's type.

A class's *defined name*: ``module.qualname``, and for a class defined in
Python ``@`` + the 32 hex digits of the digest of its definition: its
metaclass and bases (each by name and definition) and its namespace in
order (functions by their code version, as in `movra._code`; class- and
static methods and properties by what they wrap; enum members by name and
value; other attributes by content hash).  It is read the first time the
class is met and kept until `register` is called.

A subclass of one of those built-ins (IntEnum members, namedtuples, str
subclasses, numpy.float64 ...):
    ``<`` + u64 len(name) + name + the value encoded as its nearest built-in
    base (an IntEnum member as its int), except that an OrderedDict (or a
    subclass) is ``o`` + u64 count + enc(k) + enc(v) per item; name is the
    type's defined name.  Then ``D`` + the dict encoding of its ``__dict__``
    if that is non-empty, else ``.``.  Enum members always end in ``.``:
    their class and value name them.  Then, if the class has slots or is a
    defaultdict, ``+`` + enc(a tuple of: the default_factory, then each slot
    as ``(name, value)``, or ``(name,)`` when unset).

numpy.ndarray, exactly (recognised without importing numpy):
    ``a`` + u64 len(spec) + spec + u64 ndim + a u64 per extent + data, where
    spec is ``dtype.str`` (``repr(dtype.descr)`` for structured dtypes, or,
    for fields out of order or overlapping, which have no descr,
    ``"fields" + repr((itemsize, [(name, offset, spec, title)...]))`` with
    nested dtypes spelled the same way) and the data is the array's bytes in
    C order, read through the buffer protocol (no copy when C-contiguous, in
    64 KiB chunks otherwise); from 2 MiB of bytes on, the data is instead the
    u64 XXH64 digests of its consecutive 1 MiB blocks (the last one shorter),
    computed on two threads without the GIL from 8 MiB on.  When the dtype
    holds Python objects the data is enc(element) for each element in C order.
A subclass of ndarray: ``<`` + u64 len(name) + name (its defined name) +
    the array encoding above + the tail of a built-in subclass (``D``/``.``,
    then ``+`` and its slots, or for a memmap ``(filename, offset, mode)``),
    except a masked array (numpy.ma.MaskedArray or a subclass), which is a
    proxy (below) of ``(data, getmaskarray(m), fill value as a 0-d array,
    hardmask)``.

Proxies: ``x`` + u64 len(name) + name + enc(proxy), name being the value's
type (its defined name for masked arrays) and the proxy a tuple:
    function (``builtins.function``: lambdas too): ``(module, qualname, d)``,
        d the 16-byte digest of its code version (code, constants, defaults,
        keyword-only defaults, closure contents) and its attributes;
    class (any metaclass): ``(module, qualname, d)``, d the digest of its
        definition as above, or None for a class defined in C;
    mappingproxy: the dict it shows;
    pandas RangeIndex ``(name, start, stop, step)``;
    MultiIndex ``(names, levels, codes)`` (a tuple of Index, a tuple of arrays);
    DatetimeIndex, TimedeltaIndex ``(name, dtype, values, freqstr)``;
    other Index ``(name, dtype, values)``;
    Series ``(name, dtype, index, values, attrs, allows_duplicate_labels)``;
    DataFrame ``(columns, index, ((dtype, values) per column), attrs,
        allows_duplicate_labels)``;
    an extension array on its own ``(dtype, values)``;
    where dtype is ``str(dtype)``, followed for string dtypes by
    ``[storage, repr(na_value)]``, and values are as in the survey above.

Anything else: ``p`` + u64 n + the n bytes of its pickle (protocol 5): the
hash sees exactly what ``__reduce_ex__(5)`` gives for the object and for
what it holds (for a plain object: its class and its ``__dict__`` in order),
written by a pickler that replaces every nested set or frozenset, function,
class (its own class included), mappingproxy, and value of a registered
type, ndarray (or subclass) or pandas object, by ``("movra-hash",
content_hash(obj))``, so that set iteration order (which depends on
PYTHONHASHSEED) does not reach the hash and classes count by definition.

Values nested deeper than 1000 containers, or containing themselves, raise
ValueError.
"""
from __future__ import annotations

import collections
import enum
import importlib
import io
import pickle
import types
from collections import OrderedDict
from types import MappingProxyType, NoneType
from typing import Any, Callable, Mapping

from ._hashing import ContentHash as _NativeContentHash
from ._hashing import combine, digest

__all__ = ["content_hash", "combine", "digest", "ContentHash"]

MASK = 2**64 - 1

# Resolution kinds and built-in bases: codes shared with the native walker.
_REGISTERED, _SUBCLASS, _ARRAY, _PROXY, _PICKLE = 1, 2, 3, 4, 5
_BASES: dict[type, int] = {
    int: 0, float: 1, complex: 2, str: 3, bytes: 4, bytearray: 5, tuple: 6, list: 7,
    dict: 8, set: 9, frozenset: 10, OrderedDict: 11,
}
# Types whose exact instances have a fixed encoding: no hasher replaces it.
_FIXED = frozenset(_BASES) - {OrderedDict} | {bool, NoneType, memoryview}
# Types the fallback pickler can write as they are, without asking.
_PLAIN = frozenset({int, str, float, bool, NoneType, bytes, tuple, list, dict, complex})


def _type_name(cls: type) -> bytes:
    return f"{cls.__module__}.{cls.__qualname__}".encode("utf-8", "surrogatepass")


def _definition(obj: Any) -> bytes | None:
    global _definition
    from ._code import definition_digest  # it hashes with content_hash: imported late

    _definition = definition_digest
    return definition_digest(obj)


def _defined_name(cls: type) -> bytes:
    """`module.qualname`, and for a class defined in Python `@` and the hex
    digest of its definition: two classes of one name but other fields or
    methods (a namedtuple made at run time, a cell run again) differ."""
    found = _definition(cls)
    return _type_name(cls) if found is None else _type_name(cls) + b"@" + found.hex().encode()


def _is_ndarray(cls: type) -> bool:
    return cls.__module__ == "numpy" and cls.__qualname__ == "ndarray"


class ContentHash(_NativeContentHash):
    """content_hash(value) -> int in 0..2**64-1, a hash of `value`'s content.

    What it promises: two values get the same hash only if nothing the
    program can observe through their type's ordinary API tells them apart,
    for None, bool, int, float, complex, str, bytes, bytearray, memoryview,
    tuple, list, dict, set, frozenset, their subclasses, functions and
    classes, NumPy arrays (masked arrays and other subclasses included) and
    pandas objects, nested in any way; and equal such values get the same
    hash in every process (whatever PYTHONHASHSEED) and on every 64-bit
    little-endian platform with the same interpreter version.  So values
    that differ in type (1, 1.0, True; two enums of equal value), in float
    bits (0.0, -0.0), in order (lists, dicts, OrderedDicts) or in state a
    subclass adds hash differently; sets hash by content whatever their
    iteration order, which is not the program's.  What is deliberately left
    out is listed in `movra.hashing`.  A value of a registered type hashes
    as its hasher says.

    Any other value is hashed by its pickle (protocol 5, with sets,
    functions, classes and the values above inside replaced by their content
    hash): the hash sees exactly what the object's `__reduce_ex__(5)` gives
    (often its `__dict__`).  That hash is the same in every process only
    when the object pickles deterministically, which is not the case for
    objects whose `__reduce__` or `__getstate__` emits unordered data (a
    custom container iterating a set), addresses or ids, or per-process
    state (random salts, open handles); equal such objects may also hash
    differently (a value shared by reference in one and copied in the
    other).  A value that does not pickle raises TypeError: give its type a
    hasher with `@content_hash.register(TypeName)`, a function returning an
    int in 0..2**64-1 (build it with `combine` and `digest`).

    Values nested more than 1000 levels deep, or containing themselves,
    raise ValueError.  The byte encoding is documented in `movra.hashing`.
    """

    def __init__(self) -> None:
        self._registry: dict[type, Callable[[Any], int]] = {}

    def __repr__(self) -> str:
        return "<movra content_hash>"

    def register(self, cls: type, func: Callable[[Any], int] | None = None) -> Any:
        """Register `func` as the hasher of `cls` and its subclasses; used
        bare (`@content_hash.register(MyType)`) it returns a decorator.  The
        hasher returns an int in 0..2**64-1.  The exact built-in types keep
        their encoding and cannot be registered."""
        if not isinstance(cls, type):
            raise TypeError(f"register() expects a class, not {cls!r}")
        if cls in _FIXED:
            raise TypeError(f"the content hash of {cls.__qualname__} is fixed; register a subclass instead")
        if func is None:
            return lambda f: self.register(cls, f)
        if not callable(func):
            raise TypeError(f"the hasher for {cls.__qualname__} must be callable, not {func!r}")
        self._registry[cls] = func
        self._forget()
        from ._code import forget_definitions  # cached class digests hash with content_hash

        forget_definitions()
        return func

    @property
    def registry(self) -> Mapping[type, Callable[[Any], int]]:
        """The registered hashers by class (read-only)."""
        return MappingProxyType(self._registry)

    def dispatch(self, cls: type) -> Callable[[Any], int] | None:
        """The hasher that applies to instances of `cls`, or None."""
        return next((self._registry[k] for k in cls.__mro__ if k in self._registry), None)

    # Called by the native walker once per type (then cached until the next
    # register): how to encode instances of `cls`, which is no exact built-in.
    def _resolve(self, cls: type) -> tuple[int, bytes | None, int, Any, bool]:
        from ._code import partial_digests

        before = partial_digests()
        answer = self._resolution(cls)
        if partial_digests() != before:
            # Met while its own class's digest is being made (an attribute
            # holding an enum member): right for now, but not to be cached.
            self._forget()
        return answer

    def _resolution(self, cls: type) -> tuple[int, bytes | None, int, Any, bool]:
        hasher = self.dispatch(cls)
        if hasher is not None:
            return _REGISTERED, _type_name(cls), 0, hasher, False
        with_dict = cls.__dictoffset__ != 0 and not issubclass(cls, enum.Enum)
        for klass in cls.__mro__:
            if klass in _BASES:
                return _SUBCLASS, _defined_name(cls), _BASES[klass], _state_reader(cls), with_dict
            if _is_ndarray(klass):
                if klass is cls:
                    return _ARRAY, None, 0, None, False
                if _is_masked(cls):
                    return _PROXY, _defined_name(cls), 0, _masked_proxy, False
                if any(k.__module__ == "numpy" and k.__qualname__ == "memmap" for k in cls.__mro__):  # its file
                    return _ARRAY, _defined_name(cls), 0, _memmap_state, False
                return _ARRAY, _defined_name(cls), 0, _state_reader(cls), with_dict
        if cls is types.FunctionType:
            return _PROXY, _type_name(cls), 0, _function_proxy, False
        if cls is MappingProxyType:  # a read-only view of a dict: the dict it shows
            return _PROXY, _type_name(cls), 0, dict, False
        if issubclass(cls, type):
            return _PROXY, _type_name(cls), 0, _class_proxy, False
        if cls.__module__.split(".", 1)[0] == "pandas":
            builder = _pandas_proxy(cls)
            if builder is not None:
                return _PROXY, _type_name(cls), 0, builder, False
        return _PICKLE, _type_name(cls), 0, None, False

    def _pickle(self, value: Any) -> bytes:
        buffer = io.BytesIO()
        pickler = _CanonicalPickler(buffer, self, value)
        try:
            pickler.dump(value)
        except RecursionError:
            raise
        except Exception as error:  # pickling raises many classes of error
            if error is pickler.inner_error:
                raise  # from hashing a nested value: not a pickling problem
            name = type(value).__qualname__
            raise TypeError(
                f"cannot hash a value of type {name}: it does not pickle ({error}); "
                f"register a hasher with @movra.content_hash.register({name})"
            ) from error
        return buffer.getvalue()

    # Called by the native walker for an array of structured dtype.
    @staticmethod
    def _dtype_spec(dtype: Any) -> str:
        """`repr(dtype.descr)`; for fields out of order or overlapping, which
        have no descr, `fields` + the repr of (itemsize, [(name, offset, spec
        of its dtype, title)...]) with nested structures spelled the same way."""
        try:
            return repr(dtype.descr)
        except ValueError:
            return "fields" + repr(_field_list(dtype))


def _field_list(dtype: Any) -> Any:
    if dtype.subdtype is not None:
        base, shape = dtype.subdtype
        return (_field_list(base), shape)
    if dtype.fields is None:
        return dtype.str
    return (dtype.itemsize, [(name, dtype.fields[name][1], _field_list(dtype.fields[name][0]),
                              dtype.fields[name][2] if len(dtype.fields[name]) > 2 else None)
                             for name in dtype.names])


def _state_reader(cls: type) -> Callable[[Any], tuple[Any, ...]] | None:
    """What instances of a subclass hold beyond their built-in part and their
    __dict__: a defaultdict's factory, then each slot as (name, value) or
    (name,) when unset; None when there is nothing."""
    slots: list[str] = []
    for klass in reversed(cls.__mro__):
        names = klass.__dict__.get("__slots__", ())
        for name in (names,) if isinstance(names, str) else names:
            if name in ("__dict__", "__weakref__"):
                continue
            if name.startswith("__") and not name.endswith("__"):  # mangled
                name = f"_{klass.__name__.lstrip('_')}{name}"
            slots.append(name)
    factory = issubclass(cls, collections.defaultdict)
    if not slots and not factory:
        return None

    def state(value: Any) -> tuple[Any, ...]:
        parts: list[Any] = [value.default_factory] if factory else []
        for name in slots:
            try:
                parts.append((name, getattr(value, name)))
            except AttributeError:
                parts.append((name,))
        return tuple(parts)

    return state


def _function_proxy(func: types.FunctionType) -> tuple[Any, ...]:
    return (func.__module__, func.__qualname__, _definition(func))


def _class_proxy(cls: type) -> tuple[Any, ...]:
    return (cls.__module__, cls.__qualname__, _definition(cls))


class _CanonicalPickler(pickle.Pickler):
    """Pickles with nested sets, functions, classes and values the walker
    encodes itself replaced by their content hash, so that nothing
    per-process leaks into the bytes and definitions count, not names."""

    def __init__(self, file: io.BytesIO, owner: ContentHash, top: Any) -> None:
        super().__init__(file, protocol=5)
        self._owner = owner
        self._top = top  # what is pickled, whatever its type resolves to now
        self._seen: dict[int, tuple[Any, int]] = {}  # id -> (class or function, its hash)
        self.inner_error: BaseException | None = None

    def persistent_id(self, obj: Any) -> Any:
        cls = type(obj)
        if cls in _PLAIN or obj is self._top:
            return None
        named = cls is types.FunctionType or isinstance(obj, type)  # met again and again
        if named:
            found = self._seen.get(id(obj))
            if found is not None:
                return ("movra-hash", found[1])  # a new tuple, as the pickler memoizes it
        if isinstance(obj, (set, frozenset)) or (
            cls not in _FIXED and self._owner._kind(cls) in (_REGISTERED, _ARRAY, _PROXY)
        ):
            try:
                content = self._owner(obj)
            except BaseException as error:
                self.inner_error = error
                raise
            if named:
                self._seen[id(obj)] = (obj, content)
            return ("movra-hash", content)
        return None


# NumPy -----------------------------------------------------------------------


def _is_masked(cls: type) -> bool:
    return any(k.__module__ in ("numpy.ma", "numpy.ma.core") and k.__qualname__ == "MaskedArray" for k in cls.__mro__)


def _masked_proxy(array: Any) -> tuple[Any, ...]:
    """A masked array: its data (masked items included: `.data` shows them),
    its mask as `getmaskarray` gives it (a shrunk mask and an all-False one
    are the same mask), its fill value and whether the mask is hard."""
    np: Any = importlib.import_module("numpy")
    fill = array._fill_value  # set on first reading `.fill_value`; the default until then
    if fill is None:
        fill = np.ma.default_fill_value(array.dtype)
    return (np.ma.getdata(array), np.ma.getmaskarray(array), np.asarray(fill), array.hardmask)


def _memmap_state(array: Any) -> tuple[Any, ...]:
    return (array.filename, array.offset, array.mode)


# pandas ----------------------------------------------------------------------


def _pandas_proxy(cls: type) -> Callable[[Any], tuple[Any, ...]] | None:
    pd: Any = importlib.import_module("pandas")

    if issubclass(cls, pd.DataFrame):
        return _frame_proxy
    if issubclass(cls, pd.Series):
        return _series_proxy
    if issubclass(cls, pd.RangeIndex):
        return _range_index_proxy
    if issubclass(cls, pd.MultiIndex):
        return _multi_index_proxy
    if issubclass(cls, pd.DatetimeIndex | pd.TimedeltaIndex):
        return _frequency_index_proxy
    if issubclass(cls, pd.Index):
        return _index_proxy
    if issubclass(cls, pd.api.extensions.ExtensionArray):
        return _extension_array_proxy
    return None


def _dtype_text(dtype: Any) -> str:
    """str(dtype), plus for strings the storage and missing-value marker that
    str() leaves out."""
    if isinstance(dtype, _numpy().dtype):
        return str(dtype)
    text = str(dtype)
    storage = getattr(dtype, "storage", None)
    if isinstance(storage, str):
        text += f"[{storage}, {dtype.na_value!r}]"
    return text


def _numpy() -> Any:
    return importlib.import_module("numpy")


def _values(data: Any) -> Any:
    """The data of a Series or Index as NumPy arrays (no copy when it has a
    NumPy dtype)."""
    if isinstance(data.dtype, _numpy().dtype):
        return data.to_numpy(copy=False)
    return _array_values(data.array)


def _array_values(array: Any) -> Any:
    if type(array).__name__ == "ndarray" and type(array).__module__ == "numpy":
        return array
    np: Any = _numpy()
    pd: Any = importlib.import_module("pandas")

    if isinstance(array.dtype, pd.CategoricalDtype):
        return (array.codes, array.categories, array.ordered)
    if isinstance(array.dtype, pd.DatetimeTZDtype):
        return array.asi8  # the instants; the zone and unit are in str(dtype)
    if isinstance(array, pd.arrays.IntegerArray | pd.arrays.FloatingArray | pd.arrays.BooleanArray):
        data, mask = array._data, array._mask
        if mask.any():  # what lies under a missing value cannot be seen
            data = np.where(mask, np.zeros((), data.dtype), data)
        return (data, mask)
    if isinstance(array, pd.arrays.NumpyExtensionArray):
        return array.to_numpy()
    return array.to_numpy(dtype=object)


def _range_index_proxy(index: Any) -> tuple[Any, ...]:
    return (index.name, index.start, index.stop, index.step)


def _multi_index_proxy(index: Any) -> tuple[Any, ...]:
    return (tuple(index.names), tuple(index.levels), tuple(index.codes))


def _index_proxy(index: Any) -> tuple[Any, ...]:
    return (index.name, _dtype_text(index.dtype), _values(index))


def _frequency_index_proxy(index: Any) -> tuple[Any, ...]:
    return (index.name, _dtype_text(index.dtype), _values(index), index.freqstr)


def _extension_array_proxy(array: Any) -> tuple[Any, ...]:
    return (_dtype_text(array.dtype), _array_values(array))


def _series_proxy(series: Any) -> tuple[Any, ...]:
    return (series.name, _dtype_text(series.dtype), series.index, _values(series),
            series.attrs, series.flags.allows_duplicate_labels)


def _frame_proxy(frame: Any) -> tuple[Any, ...]:
    arrays = getattr(frame, "_iter_column_arrays", None)  # no Series made per column
    if arrays is not None:
        columns = tuple((_dtype_text(array.dtype), _array_values(array)) for array in arrays())
    else:
        columns = tuple((_dtype_text(column.dtype), _values(column)) for _, column in frame.items())
    return (frame.columns, frame.index, columns, frame.attrs, frame.flags.allows_duplicate_labels)


content_hash = ContentHash()
