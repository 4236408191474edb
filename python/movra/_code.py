"""The version of a node's code."""
from __future__ import annotations

import hashlib
import marshal
from typing import Any, Callable


def code_version(func: Callable[..., Any], version: str | None = None) -> str:
    """`version` if given, else a digest of the function's bytecode, constants,
    defaults and closure values."""
    if version is not None:
        return str(version)
    from .hashing import content_hash
    code = getattr(func, "__code__", None)
    if code is None:
        return f"id:{id(func)}"
    parts = [marshal.dumps(code.co_code), repr(code.co_consts).encode(), repr(code.co_names).encode()]
    for cell in getattr(func, "__closure__", None) or ():
        try:
            parts.append(str(content_hash(cell.cell_contents)).encode())
        except Exception:
            parts.append(f"id:{id(cell.cell_contents)}".encode())
    parts.append(repr(getattr(func, "__defaults__", None)).encode())
    return hashlib.blake2b(b"\0".join(parts), digest_size=16).hexdigest()
