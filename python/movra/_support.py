"""What the native engine asks of Python: making a value read-only, and
wording a hashing failure.  Each is called before the engine writes anything,
so an exception here leaves the flow as it was."""
from __future__ import annotations

import sys
from typing import Any

from ._names import quoted


def freeze(value: Any) -> Any:
    """NumPy arrays (subclasses included) are handed out read-only, so that no
    node changes another's value in place."""
    numpy = sys.modules.get("numpy")
    if numpy is None or not isinstance(value, numpy.ndarray) or not value.flags.writeable:
        return value
    view = value.view()
    view.flags.writeable = False
    return view


def unhashable(name: str, error: BaseException) -> BaseException:
    """`error`, raised by hashing node `name`'s value, restated to name the node."""
    message = f"the value of {quoted(name)} cannot be hashed: {error} (or declare the node with hashed=False)"
    try:
        restated = type(error)(message)
    except Exception:
        restated = TypeError(message)
    restated.__cause__ = error
    return restated
