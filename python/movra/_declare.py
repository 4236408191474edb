"""Declaring nodes: what a node is, and how a function's parameters become its
dependencies.

Rules for a function declared without `deps=`:

- every parameter names a dependency: positional parameters are passed by
  position, keyword-only ones by keyword;
- a parameter with a default is a dependency if the flow has a node of that
  name when the function is declared, and otherwise keeps its default;
- `*args` and `**kwargs` have no node to take their values from, so they are
  refused (declare such a function with `deps=[...]`, passed by position).
"""
from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Container, Sequence
from typing import Any, Literal

from ._code import code_version
from ._names import quoted

Kind = Literal["input", "source", "reactive", "view"]


class _Missing:
    """The value of a node that has none yet.  Never handed to a node function."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<no value>"


MISSING: Any = _Missing()


class Node:
    """One node's definition.  What the flow remembers of it (value, hash,
    memo, flags) lives in the engine."""

    __slots__ = ("name", "kind", "func", "deps", "call", "cutoff", "hashed", "version", "is_async")

    def __init__(self, name: str, kind: Kind, func: Callable[..., Any] | None = None,
                 deps: tuple[str, ...] = (), call: CallPlan | None = None, cutoff: bool = True,
                 hashed: bool = True, version: str = "") -> None:
        self.name, self.kind, self.func, self.deps = name, kind, func, deps
        self.call = call  # None: the dependencies' values are passed by position, in order
        self.cutoff, self.hashed, self.version = cutoff, hashed, version
        self.is_async = func is not None and inspect.iscoroutinefunction(func)

    def same_definition(self, other: Node) -> bool:
        return (self.kind, self.deps, self.call, self.version, self.cutoff, self.hashed) == (
            other.kind, other.deps, other.call, other.version, other.cutoff, other.hashed)

    def __repr__(self) -> str:
        return f"<movra node {self.name!r} ({self.kind})>"


class CallPlan:
    """How to call a function whose arguments are not simply its dependencies in order.

    `positional` lists, per positional argument, the index of the dependency
    whose value it takes; `keywords` maps keyword names to dependency indices."""

    __slots__ = ("positional", "keywords")

    def __init__(self, positional: tuple[int, ...], keywords: tuple[tuple[str, int], ...]) -> None:
        self.positional, self.keywords = positional, keywords

    def __eq__(self, other: object) -> bool:
        return isinstance(other, CallPlan) and (self.positional, self.keywords) == (
            other.positional, other.keywords)

    def __hash__(self) -> int:
        return hash((self.positional, self.keywords))

    def arguments(self, values: Sequence[Any]) -> tuple[list[Any], dict[str, Any]]:
        return [values[i] for i in self.positional], {k: values[i] for k, i in self.keywords}


def function_name(func: Callable[..., Any]) -> str:
    target = func.func if isinstance(func, functools.partial) else func
    name = getattr(target, "__name__", None)
    if not isinstance(name, str) or name == "<lambda>":
        raise TypeError(f"cannot name a node after {func!r}: give it a name with name=...")
    return name


def computed_node(kind: Kind, func: Callable[..., Any], deps: Sequence[str] | None, name: str | None,
                  cutoff: bool, hashed: bool, version: str | None, known: Container[str]) -> Node:
    """The node for `func`, checked now rather than at the first run."""
    if not callable(func):
        raise TypeError(f"a {kind} node needs a function, not {type(func).__qualname__}")
    name = function_name(func) if name is None else name
    if not isinstance(name, str):
        raise TypeError(f"a node's name must be a str, not {type(name).__qualname__}")
    if deps is None:
        dep_names, call = _parameter_deps(name, func, known)
    else:
        if isinstance(deps, str) or not all(isinstance(d, str) for d in deps):
            raise TypeError(f"deps of {quoted(name)} must be a list of node names")
        dep_names, call = tuple(deps), None
    return Node(name, kind, func, dep_names, call, cutoff, hashed, _version(func, version))


def _version(func: Callable[..., Any], version: str | None) -> str:
    """The code's own version, with an explicit `version` added to it: an
    explicit version can invalidate stored values, never hide a body change."""
    own = code_version(func)
    return own if version is None else f"{own}+{code_version(func, version)}"



def _parameter_deps(name: str, func: Callable[..., Any],
                    known: Container[str]) -> tuple[tuple[str, ...], CallPlan | None]:
    try:
        params = inspect.signature(func).parameters.values()
    except (TypeError, ValueError) as error:
        raise TypeError(f"cannot read the parameters of {quoted(name)} ({error}): "
                        "name its dependencies with deps=[...]") from None
    deps: list[str] = []
    positional: list[int] = []
    keywords: list[tuple[str, int]] = []
    skipped = False  # a positional parameter kept its default: later ones go by keyword
    for p in params:
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            star = "*" if p.kind == p.VAR_POSITIONAL else "**"
            raise TypeError(f"cannot declare {quoted(name)}: its parameter {star}{p.name} has no node "
                            "to take its value from; name the dependencies with deps=[...]")
        if p.default is not p.empty and p.name not in known:
            skipped = True
            continue
        if p.kind == p.POSITIONAL_ONLY and skipped:
            raise TypeError(f"cannot declare {quoted(name)}: positional-only parameter {p.name!r} "
                            "follows one that keeps its default; name the dependencies with deps=[...]")
        index = len(deps)
        deps.append(p.name)
        if p.kind == p.KEYWORD_ONLY or (skipped and p.kind == p.POSITIONAL_OR_KEYWORD):
            keywords.append((p.name, index))
        else:
            positional.append(index)
    if not keywords:
        return tuple(deps), None
    return tuple(deps), CallPlan(tuple(positional), tuple(keywords))
