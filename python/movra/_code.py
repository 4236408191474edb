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

from ._hashing import xxh64
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
    versioner = _Versioner(digest)
    versioner.callable(func)
    return versioner.finish().hexdigest()  # type: ignore[no-any-return]


def definition_digest(obj: Any) -> bytes | None:
    """16 bytes digesting what defines a function or a class, for hashing it
    as a value; None for a class not defined in Python (it is its name).

    A function: its code version (code, constants, defaults, closure
    contents) and its attributes.  A class: its metaclass, its bases (each by
    name and definition) and its namespace in order, functions by their code
    version, descriptors by what they wrap, other attributes by content (by
    their type when they cannot be hashed, as a lock).  A class met again while its own digest is made (a method's `__class__`
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
    if any(cls is obj for cls in active):  # met again while its own digest is made
        for inner in active[active.index(obj) + 1:]:
            _local.tainted.add(inner)  # their digests depend on what is under way
        _local.partial += 1
        return b"in progress"
    active.append(obj)
    try:
        digest = hashlib.blake2b(digest_size=16, person=b"movra-definition")
        digest.update(_INTERPRETER.encode())
        versioner = _Versioner(digest)
        versioner.klass(obj, bases)
        result: bytes = versioner.finish().digest()
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
        return found[4]  # type: ignore[no-any-return]
    digest = hashlib.blake2b(digest_size=16, person=b"movra-definition")
    digest.update(_INTERPRETER.encode())
    versioner = _Versioner(digest)
    versioner.text("fn", f"{func.__module__}:{func.__qualname__}")
    versioner.function(func)
    if func.__dict__:
        versioner.value(func.__dict__)
    result: bytes = versioner.finish().digest()
    defaults = (*(func.__defaults__ or ()), *(func.__kwdefaults__ or {}).values())
    if not func.__closure__ and not func.__dict__ and all(type(d) in _ATOMS for d in defaults):
        _function_digests[func] = (func.__code__, func.__defaults__, func.__kwdefaults__,
                                   (func.__module__, func.__qualname__), result)
    return result


_ATOMS = frozenset({type(None), bool, int, float, complex, str, bytes})
_class_digests: dict[type, tuple[tuple[Any, ...], tuple[Any, ...], bytes]] = {}
_function_digests: weakref.WeakKeyDictionary[types.FunctionType, tuple[Any, ...]] = weakref.WeakKeyDictionary()


def partial_digests() -> int:
    """How many digests this thread has made of a class met while its own
    was being made: one that changes across a call saw such a digest."""
    _active_classes()
    return _local.partial  # type: ignore[no-any-return]


def forget_definitions() -> None:
    """Drop cached class digests (a registered hasher may change them)."""
    _class_digests.clear()


_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class made at run time (or by C code from a spec)
# What a class made in C holds: counted by name, as such a class is.
_NATIVE_ATTRIBUTES = (types.MemberDescriptorType, types.GetSetDescriptorType, types.WrapperDescriptorType,
                      types.MethodDescriptorType, types.ClassMethodDescriptorType, types.BuiltinFunctionType)
_local = threading.local()
# Namespace entries that say nothing of a class's definition (`__firstlineno__`,
# where it is written; `__slotnames__`,
# a cache the pickler adds; `_abc_impl`, the registry of an abstract class).
_IGNORED = frozenset({"__dict__", "__weakref__", "__module__", "__qualname__", "__firstlineno__",
                      "__slotnames__", "_abc_impl"})


def _active_classes() -> list[type]:
    try:
        return _local.classes  # type: ignore[no-any-return]
    except AttributeError:
        _local.classes, _local.tainted, _local.partial = [], set(), 0
        return _local.classes  # type: ignore[no-any-return]


class _Versioner:
    """Feeds a callable's parts into a digest; every part is tagged and length-prefixed."""

    def __init__(self, digest: Any) -> None:
        self.digest = digest
        self.parts: list[bytes] = []  # fed to the digest at once by `finish`
        self.seen: dict[int, int] = {}  # id of a function being versioned -> its order

    def put(self, tag: str, data: bytes) -> None:
        head = _TAGS.get(tag)
        if head is None:
            head = _TAGS[tag] = tag.encode()[:4].ljust(4)
        self.parts += (head, len(data).to_bytes(8, "little"), data)

    def finish(self) -> Any:
        """The digest, fed everything put so far."""
        self.digest.update(b"".join(self.parts))
        self.parts.clear()
        return self.digest

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
        found = _keyword_defaults_hash(func.__kwdefaults__) if func.__kwdefaults__ else None
        if found is None:
            self.value(func.__kwdefaults__)
        else:
            self.put("val", found.to_bytes(8, "little"))
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
        elif isinstance(item, functools.cached_property):  # its lock is no part of it
            self.text("cach", str(item.attrname))
            self.value(item.func)
        elif isinstance(item, _NATIVE_ATTRIBUTES):  # a class made in C (a heap type from 3.12 on)
            self.text("desc", f"{type(item).__name__}:{item.__name__}")
        elif isinstance(item, (types.FunctionType, functools.partial, types.MethodType)):
            self.callable(item)
        else:
            # An attribute that cannot be hashed (a lock, a connection) can
            # only be told from another of its type by identity, which is
            # not content: it counts by its type, so the class hashes alike
            # in every process.
            try:
                self.put("val", content_hash(item).to_bytes(8, "little"))
            except Exception:  # hashers may raise anything
                cls = type(item)
                self.text("type", f"{cls.__module__}:{cls.__qualname__}")

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


def _keyword_defaults_hash(defaults: dict[str, Any]) -> int | None:
    """The content hash keyword-only defaults of atoms had when dicts hashed
    whatever their order: these come in the order the code names them, so
    their order tells nothing more, and code versions made then stay valid.
    None when a default is no atom (or tuple of atoms)."""
    pairs = []
    for key, value in defaults.items():
        key_bytes, value_bytes = _atom_encoding(key), _atom_encoding(value)
        if key_bytes is None or value_bytes is None:
            return None
        pairs.append(xxh64([key_bytes, value_bytes]))
    pairs.sort()
    return xxh64([b"d", _U64.pack(len(pairs)), *map(_U64.pack, pairs)])


def _atom_encoding(value: Any) -> bytes | None:
    """content_hash's encoding of None, bool, int64, float, str, bytes and
    tuples of those; None for anything else."""
    kind = type(value)
    if value is None:
        return b"N"
    if kind is bool:
        return b"T" if value else b"F"
    if kind is int and -(2**63) <= value < 2**63:
        return b"i" + int(value).to_bytes(8, "little", signed=True)
    if kind is float:
        return b"f" + struct.pack("<d", value)
    if kind is str:
        text = str(value).encode("utf-8", "surrogatepass")
        return b"s" + _U64.pack(len(text)) + text
    if kind is bytes:
        return b"b" + _U64.pack(len(value)) + bytes(value)
    if kind is tuple:
        items = [_atom_encoding(item) for item in value]
        if any(item is None for item in items):
            return None
        return b"t" + _U64.pack(len(items)) + b"".join(items)  # type: ignore[arg-type]
    return None


_U64 = struct.Struct("<Q")


# Superinstructions, which some interpreters form only from instructions on the
# same source line: split back so that the layout of the source does not matter.
_SUPERINSTRUCTIONS = {
    "LOAD_FAST_LOAD_FAST": ("LOAD_FAST", "LOAD_FAST"),
    "STORE_FAST_LOAD_FAST": ("STORE_FAST", "LOAD_FAST"),
    "STORE_FAST_STORE_FAST": ("STORE_FAST", "STORE_FAST"),
}
_JUMPS = frozenset(dis.hasjrel) | frozenset(dis.hasjabs)
_TAGS: dict[str, bytes] = {}  # a part's tag as its 4 bytes
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
    digest: bytes = versioner.finish().digest()
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
    for offset, name, arg, target in _instructions(code):
        offsets.append(offset)
        positions.append(len(stream))
        if name == "NOP":
            continue
        if name in _SUPERINSTRUCTIONS:
            first, second = _SUPERINSTRUCTIONS[name]
            stream += [(first, arg >> 4), (second, arg & 15)]
            continue
        if target is not None:
            jumps.append((len(stream), target))
        stream.append((name, arg))

    def position(offset: int) -> int:
        at = bisect.bisect_left(offsets, offset)
        return positions[at] if at < len(positions) else len(stream)

    for at, target in jumps:
        stream[at] = (stream[at][0], position(target))
    handlers = [(position(entry.start), position(entry.end), position(entry.target),
                 entry.depth, int(entry.lasti)) for entry in _exception_entries(code)]
    return repr((stream, handlers)).encode()


def _instructions(code: types.CodeType) -> list[tuple[int, str, int, int | None]]:
    """(offset, opname, argument or 0, jump target offset or None) of each
    instruction, as `dis.get_instructions` gives them."""
    return [(i.offset, i.opname, i.arg or 0, i.argval if i.opcode in _JUMPS else None)
            for i in dis.get_instructions(code)]


def _exception_entries(code: types.CodeType) -> Any:
    # The parsed exception table (3.11 on) is not in the type stubs.
    return dis.Bytecode(code).exception_entries  # type: ignore[attr-defined]


if sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 11):
    def _instructions_311(code: types.CodeType) -> list[tuple[int, str, int, int | None]]:
        """`_instructions` for CPython 3.11, read from the bytes without making
        an Instruction each (dis does that at several microseconds apiece).
        Same rules as dis: inline caches skipped, EXTENDED_ARG prefixes kept and
        folded into the next argument, relative jumps counted from the next
        instruction, backward ones negated."""
        raw = code.co_code  # de-specialised: every opcode is a base opcode
        out = []
        extended = 0
        i, end = 0, len(raw)
        while i < end:
            op = raw[i]
            if op >= _HAVE_ARGUMENT:
                arg = raw[i + 1] | extended
                extended = (arg << 8) if op == _EXTENDED_ARG else 0
                if extended >= _INT_OVERFLOW:
                    extended -= 2 * _INT_OVERFLOW
            else:
                arg = None
                extended = 0
            target = None
            if op in _JABS:
                target = arg * 2  # type: ignore[operator]
            elif op in _JREL:
                target = i + 2 + (-arg if op in _BACKWARD else arg) * 2  # type: ignore[operator]
            out.append((i, _OPNAME[op], arg or 0, target))
            i += 2 + 2 * _CACHES[op]
        return out

    _HAVE_ARGUMENT, _EXTENDED_ARG = dis.HAVE_ARGUMENT, dis.EXTENDED_ARG
    _INT_OVERFLOW = 2 ** 31
    _OPNAME = dis.opname
    _CACHES = dis._inline_cache_entries  # type: ignore[attr-defined]
    _JABS, _JREL = frozenset(dis.hasjabs), frozenset(dis.hasjrel)
    _BACKWARD = frozenset(op for op in _JREL if "JUMP_BACKWARD" in dis.opname[op])
    _instructions = _instructions_311  # noqa: F811

    def _exception_entries(code: types.CodeType) -> Any:  # noqa: F811
        return dis._parse_exception_table(code)  # type: ignore[attr-defined]
