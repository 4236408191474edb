"""The version of a node function's code, for keying stored values.

`code_version(func)` digests what the function does rather than where it is
written: its bytecode, constants (nested functions' code included), names,
argument layout, defaults and the content of the variables it closes over.
Line numbers, file names and source positions are left out, so moving a
function, reformatting it or adding a comment keeps its version, while editing
its body changes it.

What it cannot see: the bodies of the functions it calls by global name, the
global variables and modules it reads, and files or other outside state.  When
such a helper changes, stored values of the node are wrongly reused; give the
node an explicit version (`@flow.reactive(version="2")`) and bump it when the
helper changes.  A closure value, default or callable object that cannot be
content-hashed is versioned by its identity, which differs in every process,
so that node's values are never reused across processes.
"""
from __future__ import annotations

import bisect
import dis
import enum
import functools
import hashlib
import operator
import threading
import weakref
import struct
import sys
import types
from typing import Any

from .hashing import content_hash

__all__ = ["code_version", "definition_digest"]

# Bytecode differs between interpreter versions, and so may a pickle.
_INTERPRETER = sys.implementation.cache_tag or sys.version


def code_version(func: Any, version: str | None = None) -> str:
    """`version` if given, else a hex digest of what `func`'s code does.

    `func` may be a function, a `functools.partial` (the function and its bound
    arguments), a bound method (the function and its object), a callable
    object (its class's qualified name, its `__call__` and its content) or a
    class or builtin (by qualified name).
    """
    if version is not None:
        if not isinstance(version, str):
            raise TypeError(f"version must be a str, not {type(version).__name__}")
        return version
    digest = hashlib.blake2b(digest_size=16, person=b"movra-code")
    digest.update(_INTERPRETER.encode())
    _Versioner(digest).callable(func)
    return digest.hexdigest()


def definition_digest(obj: Any) -> bytes | None:
    """16 bytes digesting what defines a function or a class, for hashing it
    as a value; None for a class not defined in Python (it is its name).

    A function: its code version (code, constants, defaults, closure
    contents) and its attributes.  A class: its metaclass, its bases (each by
    name and definition) and its namespace in order, functions by their code
    version, descriptors by what they wrap, other attributes by content.  A
    class met again while its own digest is made (a method's `__class__`
    cell, an attribute holding an instance) counts by name only.
    """
    if isinstance(obj, types.FunctionType):
        return _function_digest(obj)
    if not obj.__flags__ & _HEAPTYPE:
        return None
    # Cached while the class's namespace holds the same objects and its
    # bases' definitions are the same; what an attribute holds is not
    # re-read (an attribute reassigned is seen, one changed in place not).
    snapshot = (type(obj), *obj.__bases__, *obj.__dict__.keys(), *obj.__dict__.values())
    bases = tuple(definition_digest(base) for base in obj.__bases__)
    found = _class_digests.get(obj)
    if found is not None and found[1] == bases and len(found[0]) == len(snapshot) \
            and all(map(operator.is_, found[0], snapshot)):
        return found[2]
    active = _active_classes()
    if obj in active:  # met again while its own digest is made
        for inner in active[active.index(obj) + 1:]:
            _local.tainted.add(inner)  # their digests depend on what is under way
        return b"in progress"
    active.append(obj)
    try:
        digest = hashlib.blake2b(digest_size=16, person=b"movra-definition")
        digest.update(_INTERPRETER.encode())
        _Versioner(digest).klass(obj, bases)
        result = digest.digest()
    finally:
        active.pop()
    if obj in _local.tainted:
        _local.tainted.discard(obj)
    else:
        if len(_class_digests) >= 4096:  # dynamic classes must not pile up
            _class_digests.clear()
        _class_digests[obj] = (snapshot, bases, result)
    return result


def _function_digest(func: types.FunctionType) -> bytes:
    # Cached only for a function whose defaults are atoms and which has no
    # closure or attributes: then its code, names and defaults are all there is.
    found = _function_digests.get(func)
    if found is not None and found[0] is func.__code__ and found[1] is func.__defaults__ \
            and found[2] is func.__kwdefaults__ and found[3] == (func.__module__, func.__qualname__):
        return found[4]
    digest = hashlib.blake2b(digest_size=16, person=b"movra-definition")
    digest.update(_INTERPRETER.encode())
    versioner = _Versioner(digest)
    versioner.text("fn", f"{func.__module__}:{func.__qualname__}")
    versioner.function(func)
    if func.__dict__:
        versioner.value(func.__dict__)
    result = digest.digest()
    defaults = (*(func.__defaults__ or ()), *(func.__kwdefaults__ or {}).values())
    if not func.__closure__ and not func.__dict__ and all(type(d) in _ATOMS for d in defaults):
        _function_digests[func] = (func.__code__, func.__defaults__, func.__kwdefaults__,
                                   (func.__module__, func.__qualname__), result)
    return result


_ATOMS = frozenset({type(None), bool, int, float, complex, str, bytes})
_class_digests: dict[type, tuple[tuple[Any, ...], tuple[Any, ...], bytes]] = {}
_function_digests: weakref.WeakKeyDictionary[types.FunctionType, tuple[Any, ...]] = weakref.WeakKeyDictionary()


def forget_definitions() -> None:
    """Drop cached class digests (a registered hasher may change them)."""
    _class_digests.clear()


_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class made at run time, not in C
_local = threading.local()
# Namespace entries that say nothing of a class's definition (`__slotnames__`
# is a cache the pickler adds).
_IGNORED = frozenset({"__dict__", "__weakref__", "__module__", "__qualname__", "__slotnames__"})


def _active_classes() -> list[type]:
    try:
        return _local.classes  # type: ignore[no-any-return]
    except AttributeError:
        _local.classes, _local.tainted = [], set()
        return _local.classes  # type: ignore[no-any-return]


class _Versioner:
    """Feeds a callable's parts into a digest; every part is tagged and length-prefixed."""

    def __init__(self, digest: Any) -> None:
        self.digest = digest
        self.seen: dict[int, int] = {}  # id of a function being versioned -> its order

    def put(self, tag: str, data: bytes) -> None:
        self.digest.update(struct.pack("<4sQ", tag.encode()[:4].ljust(4), len(data)))
        self.digest.update(data)

    def text(self, tag: str, text: str) -> None:
        self.put(tag, text.encode("utf-8", "surrogatepass"))

    def callable(self, func: Any) -> None:
        if isinstance(func, types.FunctionType):
            self.function(func)
        elif isinstance(func, functools.partial):
            self.text("part", "")
            self.callable(func.func)
            self.value(func.args)
            self.value(func.keywords)
        elif isinstance(func, types.MethodType):
            self.text("meth", "")
            self.callable(func.__func__)
            self.value(func.__self__)
        elif isinstance(func, (type, types.BuiltinFunctionType, types.MethodWrapperType,
                               types.WrapperDescriptorType, types.MethodDescriptorType)):
            self.text("name", f"{getattr(func, '__module__', '')}:{func.__qualname__}")
        elif callable(func):
            cls = type(func)
            self.text("obj", f"{cls.__module__}:{cls.__qualname__}")
            self.callable(cls.__call__)
            self.value(func)
        else:
            raise TypeError(f"cannot version {type(func).__name__!r}: it is not callable")

    def function(self, func: types.FunctionType) -> None:
        # A recursive closure (a nested function calling itself) would loop.
        order = self.seen.get(id(func))
        if order is not None:
            self.text("back", str(order))
            return
        self.seen[id(func)] = len(self.seen)
        self.code(func.__code__)
        self.value(func.__defaults__)
        self.value(func.__kwdefaults__)
        for cell in func.__closure__ or ():
            try:
                contents = cell.cell_contents
            except ValueError:  # a cell not bound yet
                self.text("empt", "")
                continue
            self.value(contents)

    def klass(self, cls: type, bases: tuple[bytes | None, ...]) -> None:
        self.text("cls", f"{cls.__module__}:{cls.__qualname__}")
        meta = type(cls)
        for related, found in ((meta, definition_digest(meta)), *zip(cls.__bases__, bases)):
            self.text("base", f"{related.__module__}:{related.__qualname__}")
            self.put("bdef", found or b"")
        members = cls.__dict__.get("_member_map_", {}) if issubclass(cls, enum.Enum) else {}
        for key, item in cls.__dict__.items():
            if key in _IGNORED or (members and key[:1] == "_" == key[-1:] and key[1:2] != "_"):
                continue  # an enum's own bookkeeping, derived from its members
            self.text("key", key)
            if key in members:
                self.text("mbr", str(item._name_))
                self.value(item._value_)
            else:
                self.attribute(item)

    def attribute(self, item: Any) -> None:
        if isinstance(item, (classmethod, staticmethod)):
            self.text("wrap", type(item).__name__)
            self.value(item.__func__)
        elif isinstance(item, property):
            self.text("prop", "")
            for part in (item.fget, item.fset, item.fdel, item.__doc__):
                self.value(part)
        elif isinstance(item, (types.MemberDescriptorType, types.GetSetDescriptorType)):
            self.text("desc", item.__name__)
        else:
            self.value(item)

    def code(self, code: types.CodeType) -> None:
        self.put("code", _code_digest(code))

    def value(self, value: Any) -> None:
        """A value by its content; a function by its code; else by its identity."""
        if isinstance(value, (types.FunctionType, functools.partial, types.MethodType)):
            self.callable(value)
            return
        try:
            self.put("val", content_hash(value).to_bytes(8, "little"))
        except Exception:  # unhashable: hashers may raise anything
            self.put("id", id(value).to_bytes(8, "little"))


# Superinstructions, which some interpreters form only from instructions on the
# same source line: split back so that the layout of the source does not matter.
_SUPERINSTRUCTIONS = {
    "LOAD_FAST_LOAD_FAST": ("LOAD_FAST", "LOAD_FAST"),
    "STORE_FAST_LOAD_FAST": ("STORE_FAST", "LOAD_FAST"),
    "STORE_FAST_STORE_FAST": ("STORE_FAST", "STORE_FAST"),
}
_JUMPS = frozenset(dis.hasjrel) | frozenset(dis.hasjabs)
_code_digests: weakref.WeakKeyDictionary[types.CodeType, bytes] = weakref.WeakKeyDictionary()


def _code_digest(code: types.CodeType) -> bytes:
    """A digest of what `code` does, its nested code included; cached per code object."""
    found = _code_digests.get(code)
    if found is None:
        found = _code_digests[code] = _digest_code(code)
    return found


def _digest_code(code: types.CodeType) -> bytes:
    versioner = _Versioner(hashlib.blake2b(digest_size=16, person=b"movra-code-obj"))
    versioner.put("inst", _normal_instructions(code))
    versioner.put("args", struct.pack("<4I", code.co_argcount, code.co_posonlyargcount,
                                      code.co_kwonlyargcount, code.co_flags))
    for tag, names in (("nams", code.co_names), ("vars", code.co_varnames),
                       ("free", code.co_freevars), ("cell", code.co_cellvars)):
        versioner.text(tag, "\0".join(names))
    versioner.text("cons", str(len(code.co_consts)))
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            versioner.code(constant)
        else:
            versioner.value(constant)
    digest: bytes = versioner.digest.digest()
    return digest


def _normal_instructions(code: types.CodeType) -> bytes:
    """`code`'s instructions without what only reflects source lines.

    NOPs (kept by the compiler to mark lines) are dropped and superinstructions
    split; jumps and exception handlers then refer to positions in this stream
    instead of byte offsets.
    """
    stream: list[tuple[str, int]] = []
    offsets: list[int] = []  # each original instruction's offset ...
    positions: list[int] = []  # ... and the position of what follows it in `stream`
    jumps: list[tuple[int, int]] = []  # (position in stream, target offset)
    for instruction in dis.get_instructions(code):
        offsets.append(instruction.offset)
        positions.append(len(stream))
        name, arg = instruction.opname, instruction.arg or 0
        if name == "NOP":
            continue
        if name in _SUPERINSTRUCTIONS:
            first, second = _SUPERINSTRUCTIONS[name]
            stream += [(first, arg >> 4), (second, arg & 15)]
            continue
        if instruction.opcode in _JUMPS:
            jumps.append((len(stream), instruction.argval))
        stream.append((name, arg))

    def position(offset: int) -> int:
        at = bisect.bisect_left(offsets, offset)
        return positions[at] if at < len(positions) else len(stream)

    for at, target in jumps:
        stream[at] = (stream[at][0], position(target))
    # The parsed exception table (3.11 on) is not in the type stubs.
    entries = dis.Bytecode(code).exception_entries  # type: ignore[attr-defined]
    handlers = [(position(entry.start), position(entry.end), position(entry.target),
                 entry.depth, int(entry.lasti)) for entry in entries]
    return repr((stream, handlers)).encode()
