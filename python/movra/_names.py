"""How Flow writes node names in its messages: quoted like the kernel quotes ids."""
from __future__ import annotations

import difflib
import unicodedata
from collections.abc import Iterable

_SIMPLE = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
_ESCAPED_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me"})


def quoted(name: str) -> str:
    """`name` in double quotes, with invisible and combining characters escaped."""
    if name.isascii() and name.isprintable() and '"' not in name and "\\" not in name:
        return f'"{name}"'
    out = []
    for c in name:
        if c in _SIMPLE:
            out.append(_SIMPLE[c])
        elif c != " " and unicodedata.category(c) in _ESCAPED_CATEGORIES:
            out.append(f"\\u{{{ord(c):x}}}")
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def listed(names: Iterable[str]) -> str:
    return ", ".join(quoted(n) for n in names)


def suggestion(name: str, known: Iterable[str]) -> str:
    """' (did you mean "price"?)' when a known name is close to `name`, else ''."""
    close = difflib.get_close_matches(name, list(known), n=1, cutoff=0.6)
    return f" (did you mean {quoted(close[0])}?)" if close else ""
