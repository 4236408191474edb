"""The version of a node's code."""
from __future__ import annotations

import hashlib
import marshal
from typing import Any, Callable


def code_version(func: Callable[..., Any], version: str | None = None) -> str:
    """`version` if given, else a digest of the function's bytecode and constants."""
    if version is not None:
        return str(version)
    code = getattr(func, "__code__", None)
    if code is None:
        return f"id:{id(func)}"
    return hashlib.blake2b(marshal.dumps(code.co_code) + repr(code.co_consts).encode(),
                           digest_size=16).hexdigest()
