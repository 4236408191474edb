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
import functools
import hashlib
import weakref
import struct
import sys
import types
from typing import Any

from .hashing import content_hash

__all__ = ["code_version"]

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
