"""Messages of the flow's common mistakes, each built in one place: what went
wrong, and what to do about it."""
from __future__ import annotations

import inspect
import os
import sys
import warnings
from collections.abc import Callable, Collection, Iterable, Mapping
from concurrent.futures import Executor
from typing import Any

from ._names import listed, quoted, suggestion

_PACKAGE = os.path.dirname(os.path.abspath(__file__))


class UnknownNode(KeyError):
    """A name the flow has no node for.  A KeyError whose text reads as
    written (a plain KeyError shows its message in quotes)."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


def unknown_node(name: str, known: Collection[str]) -> UnknownNode:
    # Beyond a few thousand names the search for a close one costs more than it helps.
    near = suggestion(name, known) if len(known) <= 5000 else ""
    return UnknownNode(f"unknown node: {quoted(name)}{near}")


def check_executor(executor: Any) -> None:
    """Refuses, before anything runs, what cannot run nodes: a number, or an
    executor's class instead of an executor."""
    if executor is None or isinstance(executor, Executor):
        return
    if type(executor).__module__.split(".")[0] == "distributed":
        return
    if isinstance(executor, type):
        raise TypeError(f"executor must be an executor, not the class {executor.__qualname__}: "
                        f"pass an instance, e.g. executor={executor.__qualname__}()")
    if not callable(getattr(executor, "submit", None)):
        hint = (f" (for {executor} workers: executor=ThreadPoolExecutor({executor}))"
                if isinstance(executor, int) and not isinstance(executor, bool) else "")
        raise TypeError("executor must be a concurrent.futures.Executor or a distributed.Client, "
                        f"not {type(executor).__qualname__}{hint}")


def no_value(name: str, outline: Mapping[str, tuple[str, tuple[str, ...], BaseException | None]]
             ) -> LookupError:
    """`flow[name]` of a node without a value: why it has none.  `outline` is
    `Flow._outline()`."""
    failure = outline[name][2]
    if failure is not None:
        return LookupError(f"{quoted(name)} has no value: its last run failed with {describe(failure)}")
    seen, stack = {name}, list(outline[name][1])
    while stack:  # the nearest failed dependency, breadth first
        dep = stack.pop(0)
        if dep in seen or dep not in outline:
            continue
        seen.add(dep)
        error = outline[dep][2]
        if error is not None:
            return LookupError(f"{quoted(name)} has no value: it was not run because {quoted(dep)} failed "
                               f"with {describe(error)}")
        stack.extend(outline[dep][1])
    return LookupError(f"{quoted(name)} has no value yet: run the flow first")


def describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def flow_error(failed: dict[str, BaseException]) -> str:
    """The message of a FlowError: the first failure's cause, and how many more."""
    if not failed:
        return "the run failed"
    name, error = next(iter(failed.items()))
    if len(failed) == 1:
        return f"{quoted(name)} failed: {describe(error)}"
    others = [n for n in failed if n != name]
    more = listed(others[:5]) + (", ..." if len(others) > 5 else "")
    return f"{len(failed)} nodes failed, first {quoted(name)}: {describe(error)} (also {more})"


# Parameters that keep their default -------------------------------------------------

def defaults_kept(func: Callable[..., Any], deps: Collection[str]) -> list[str]:
    """The parameters of `func` that keep their default, not taking a node's value."""
    if inspect.isfunction(func) and not func.__defaults__ and not func.__kwdefaults__:
        return []  # a plain function without defaults: nothing to look for
    try:
        params = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        return []
    return [p.name for p in params if p.default is not p.empty and p.name not in deps
            and p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]


class HiddenDefaultWarning(UserWarning):
    """A node was declared with the name of a parameter that keeps its default
    in a function declared earlier: that function does not see the node."""


def warn_hidden_default(name: str, users: Iterable[str]) -> None:
    users = list(users)
    if not users:
        return
    whose = listed(users)
    warnings.warn(HiddenDefaultWarning(
        f"{quoted(name)} is now a node, but the parameter {name} of {whose} keeps its default: a parameter "
        f"with a default takes a node's value only if the node exists when the function is declared. "
        f"Declare {whose} again (replace=True) to use the node, or rename the parameter to keep the default"),
        stacklevel=_outside())


def _outside() -> int:
    """The stack level of the first caller outside this package."""
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE:
        frame, level = frame.f_back, level + 1  # type: ignore[assignment]
    return level
