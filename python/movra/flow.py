"""`Flow`: plain Python functions as a reactive graph, driven by the kernel.

A flow holds the values; its `Graph` holds the bookkeeping.  Each `run()`
walks the kernel's schedule of what changed, in topological order: inputs are
committed with the content hash of their value, every other node is asked
`check_node` and is either recomputed (`commit_node`) or recorded as a memo
hit (`skip_node`).  A recomputed node whose value did not change is cut off
with `skip_node`, so that its dependents become memo hits too.
"""
from __future__ import annotations

import builtins
import heapq
import inspect
import time
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass, field
from typing import Any, Literal, TypeVar, overload

from ._movra import Graph
from .hashing import content_hash

__all__ = ["Flow", "FlowError", "Report", "Explanation"]

Kind = Literal["input", "source", "reactive", "view"]
F = TypeVar("F", bound=Callable[..., Any])


class _Missing:
    def __repr__(self) -> str:
        return "<no value>"


MISSING: Any = _Missing()


@dataclass
class _Node:
    name: str
    kind: Kind
    func: Callable[..., Any] | None = None
    deps: tuple[str, ...] = ()
    by_keyword: bool = False  # deps named by the function's parameters
    cutoff: bool = True
    value: Any = MISSING
    hash: int | None = None  # of `value`
    version: int = 0  # bumped whenever `value` changes content
    pending_hash: int | None = None  # an input's value set since the last run
    seen: dict[str, int] = field(default_factory=dict)  # dep versions at the last computation
    last_cause: list[str] = field(default_factory=list)


@dataclass
class Report:
    """What one `run()` did."""

    inputs: list[str] = field(default_factory=list)
    recomputed: list[str] = field(default_factory=list)
    memo_hits: list[str] = field(default_factory=list)
    cut_off: list[str] = field(default_factory=list)
    failed: dict[str, BaseException] = field(default_factory=dict)
    blocked: list[str] = field(default_factory=list)
    seconds: dict[str, float] = field(default_factory=dict)
    total_seconds: float = 0.0

    def __str__(self) -> str:
        def names(items: list[str]) -> str:
            return ", ".join(items) if items else "-"

        lines = [
            f"run of {_duration(self.total_seconds)}",
            f"  inputs      {names(self.inputs)}",
            f"  recomputed  {names([f'{n} ({_duration(self.seconds[n])})' for n in self.recomputed])}",
            f"  cut off     {names(self.cut_off)}",
            f"  memo hits   {names(self.memo_hits)}",
        ]
        if self.failed:
            lines.append("  failed      " + ", ".join(f"{n} ({type(e).__name__}: {e})" for n, e in self.failed.items()))
        if self.blocked:
            lines.append(f"  not run     {names(self.blocked)} (upstream failure)")
        return "\n".join(lines)


def _duration(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


class FlowError(Exception):
    """At least one node raised during `run()`.  Everything else that could run
    did, and its results are kept; `report` tells what happened, and the
    first failure is this exception's cause."""

    def __init__(self, report: Report) -> None:
        failed = ", ".join(report.failed)
        super().__init__(f"{len(report.failed)} node(s) failed: {failed}")
        self.report = report


@dataclass
class Explanation:
    """Why a node would be recomputed, or why it was."""

    node: str
    verdict: Literal["never computed", "would recompute", "up to date"]
    changed: list[str]  # dependencies that changed, or will, since the node's last computation
    causes: list[str]  # the inputs and sources behind those changes
    last_run_changed: list[str]  # what made its last recomputation necessary

    def __str__(self) -> str:
        if self.verdict == "never computed":
            return f"{self.node} has never been computed: the next run computes it"
        if self.verdict == "would recompute":
            text = (f"{self.node} would recompute: {', '.join(self.changed)} changed or may change"
                    f" (because of {', '.join(self.causes)}), unless the change is cut off on the way")
        else:
            text = f"{self.node} is up to date: none of its dependencies changed since it was computed"
        if self.last_run_changed:
            text += f"; it was last recomputed because {', '.join(self.last_run_changed)} changed"
        return text


class _Declarer:
    """The decorator behind `flow.reactive`, `flow.view` and `flow.source`,
    usable bare or with options."""

    def __init__(self, flow: Flow, kind: Kind) -> None:
        self._flow, self._kind = flow, kind

    @overload
    def __call__(self, func: F) -> F: ...
    @overload
    def __call__(self, *, deps: list[str] | None = None, name: str | None = None,
                 cutoff: bool = True) -> Callable[[F], F]: ...
    def __call__(self, func: F | None = None, *, deps: list[str] | None = None,
                 name: str | None = None, cutoff: bool = True) -> F | Callable[[F], F]:
        return self._flow._decorator(self._kind, func, deps, name, cutoff)


class Flow:
    """A reactive graph of Python values and functions.

    >>> flow = Flow()
    >>> flow.input("x", 2)
    >>> @flow.reactive
    ... def double(x):
    ...     return 2 * x
    >>> _ = flow.run()
    >>> flow["double"]
    4
    """

    def __init__(self) -> None:
        self.graph = Graph()
        self._nodes: dict[str, _Node] = {}
        self._unlinked: list[str] = []  # nodes whose deps the kernel has not been told yet
        self._structure_changed = True  # the kernel's graph needs a build
        self._changed: set[str] = set()  # inputs set and sources refreshed since the last run

    # Declaring ---------------------------------------------------------------

    def input(self, name: str, value: Any = MISSING) -> None:
        """Declare an input node, optionally with its first value."""
        self._declare(_Node(name, "input"))
        if value is not MISSING:
            self.set({name: value})

    @property
    def reactive(self) -> _Declarer:
        """Declare a computed node: `@flow.reactive`, or `@flow.reactive(deps=[...],
        name=..., cutoff=...)`.  Its dependencies are its parameter names unless
        `deps` names them (then they are passed by position)."""
        return _Declarer(self, "reactive")

    @property
    def view(self) -> _Declarer:
        """Declare a view: a computed node meant for the outside (a page, a report)."""
        return _Declarer(self, "view")

    @property
    def source(self) -> _Declarer:
        """Declare a source: a node that reads the outside world (a file, a
        clock).  It is computed on the first run and again after `refresh`."""
        return _Declarer(self, "source")

    def _decorator(self, kind: Kind, func: F | None, deps: list[str] | None, name: str | None,
                   cutoff: bool) -> F | Callable[[F], F]:
        def register(f: F) -> F:
            if deps is None:
                params = inspect.signature(f).parameters.values()
                names = tuple(p.name for p in params
                              if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY))
                node = _Node(name or f.__name__, kind, f, names, True, cutoff)
            else:
                node = _Node(name or f.__name__, kind, f, tuple(deps), False, cutoff)
            self._declare(node)
            return f

        return register(func) if func is not None else register

    def _declare(self, node: _Node) -> None:
        self.graph.add_node(node.name, node.kind)  # the kernel refuses duplicates
        self._nodes[node.name] = node
        self._structure_changed = True
        if node.deps:
            self._unlinked.append(node.name)

    # Changing ----------------------------------------------------------------

    def set(self, values: Mapping[str, Any] | None = None, /, **more: Any) -> None:
        """Give inputs new values: `flow.set(price=12.0)` or `flow.set({"price": 12.0})`."""
        updates = {**(values or {}), **more}
        hashes = {}
        for name, value in updates.items():
            node = self._node(name)
            if node.kind != "input":
                raise ValueError(f"{name!r} is a {node.kind} node; only inputs are set")
            hashes[name] = self._hash(name, value)
        for name, value in updates.items():
            node = self._nodes[name]
            node.value, node.pending_hash = value, hashes[name]
            self._changed.add(name)

    def refresh(self, *names: str) -> None:
        """Have the next run recompute these sources."""
        for name in names:
            if self._node(name).kind != "source":
                raise ValueError(f"{name!r} is not a source")
        self._changed.update(names)

    # Reading -----------------------------------------------------------------

    def __getitem__(self, name: str) -> Any:
        node = self._node(name)
        if node.value is MISSING:
            raise LookupError(f"{name!r} has no value yet: run the flow first")
        return node.value

    def __contains__(self, name: object) -> bool:
        return name in self._nodes

    def __iter__(self) -> Iterator[str]:
        return iter(self._nodes)

    def __len__(self) -> int:
        return len(self._nodes)

    # Running -----------------------------------------------------------------

    def run(self, executor: Executor | None = None) -> Report:
        """Recompute what changed since the last run, in topological order.

        With an executor, nodes whose dependencies are done run concurrently
        on it; every kernel call stays on the calling thread."""
        started = time.perf_counter()
        self._link()
        seeds = sorted(self._changed.union(self.graph.dirty_nodes()))
        refreshed = {n for n in self._changed if self._nodes[n].kind == "source"}
        self._changed.clear()
        schedule = self.graph.mark_dirty(seeds)
        report = _Pass(self, schedule, refreshed, executor).run()
        report.total_seconds = time.perf_counter() - started
        if report.failed:
            raise FlowError(report) from next(iter(report.failed.values()))
        return report

    def _link(self) -> None:
        """Tells the kernel the dependencies declared since the last run, and builds."""
        if not self._structure_changed:
            return
        unlinked, self._unlinked = self._unlinked, []
        try:
            for name in unlinked:
                try:
                    self.graph.set_deps(name, list(self._nodes[name].deps))
                except (KeyError, ValueError) as error:
                    error.add_note(f"while declaring the dependencies of {name!r}")
                    raise
            self.graph.build()
            self._structure_changed = False
        except Exception:
            self._unlinked = unlinked + self._unlinked
            raise

    # Explaining and drawing ----------------------------------------------------

    def explain(self, name: str) -> Explanation:
        """Why `name` would be recomputed by the next run, or why it was last."""
        node = self._node(name)
        if node.kind == "input" or not node.seen:
            verdict: Any = "up to date" if node.kind == "input" else "never computed"
            return Explanation(name, verdict, [], [], [])
        changed = [d for d in node.deps if self._will_change(d, node.seen.get(d))]
        causes = sorted({c for d in changed for c in self._causes(d)})
        return Explanation(name, "would recompute" if changed else "up to date", changed, causes,
                           node.last_cause)

    def _will_change(self, name: str, seen_version: int | None) -> bool:
        node = self._nodes[name]
        if node.version != seen_version:
            return True
        if node.kind == "input":
            return node.pending_hash is not None and node.pending_hash != node.hash
        if name in self._changed or not node.seen:
            return True
        return any(self._will_change(d, node.seen.get(d)) for d in node.deps)

    def _causes(self, name: str) -> builtins.set[str]:
        node = self._nodes[name]
        if node.kind == "input" or (node.kind == "source" and not node.deps):
            return {name}
        changed = [d for d in node.deps if self._will_change(d, node.seen.get(d))]
        return builtins.set().union(*(self._causes(d) for d in changed)) if changed else {name}

    def to_dot(self) -> str:
        """The graph in Graphviz's DOT language, with kinds and current states."""
        shapes = {"input": "box", "source": "cylinder", "reactive": "ellipse", "view": "note"}
        fills = {"clean": "#d3f9d8", "dirty": "#ffe8cc", "computing": "#d0ebff"}
        lines = ["digraph flow {", "  rankdir=LR;", '  node [style=filled, fontname="Helvetica"];']
        for name, node in self._nodes.items():
            state = self.graph.state_of(name)
            label = _dot_id(name)[:-1] + f'\\n{node.kind} · {state}"'
            lines.append(f'  {_dot_id(name)} [shape={shapes[node.kind]}, fillcolor="{fills[state]}", '
                         f"label={label}];")
        for name, node in self._nodes.items():
            lines += [f"  {_dot_id(dep)} -> {_dot_id(name)};" for dep in node.deps]
        return "\n".join(lines + ["}"]) + "\n"

    def to_mermaid(self) -> str:
        """The graph as a Mermaid flowchart, with kinds and current states."""
        ids = {name: f"n{i}" for i, name in enumerate(self._nodes)}
        shapes = {"input": ("[/", "/]"), "source": ("[(", ")]"), "reactive": ("[", "]"),
                  "view": ("([", "])")}
        lines = ["flowchart LR"]
        states: dict[str, list[str]] = {}
        for name, node in self._nodes.items():
            state = self.graph.state_of(name)
            states.setdefault(state, []).append(ids[name])
            left, right = shapes[node.kind]
            label = f"{_mermaid_text(name)}<br/><small>{node.kind} · {state}</small>"
            lines.append(f'  {ids[name]}{left}"{label}"{right}')
        for name, node in self._nodes.items():
            lines += [f"  {ids[dep]} --> {ids[name]}" for dep in node.deps if dep in ids]
        fills = {"clean": "#d3f9d8", "dirty": "#ffe8cc", "computing": "#d0ebff"}
        for state_name, members in states.items():
            lines.append(f"  classDef {state_name} fill:{fills[state_name]}")
            lines.append(f"  class {','.join(members)} {state_name}")
        return "\n".join(lines) + "\n"

    # Helpers -------------------------------------------------------------------

    def _node(self, name: str) -> _Node:
        try:
            return self._nodes[name]
        except KeyError:
            raise KeyError(f"unknown node: {name!r}") from None

    @staticmethod
    def _hash(name: str, value: Any) -> int:
        try:
            return content_hash(value)
        except TypeError as error:
            raise TypeError(f"node {name!r}: {error}") from error


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def _mermaid_text(text: str) -> str:
    return text.replace('"', "#quot;").replace("<", "#lt;").replace(">", "#gt;")


class _Pass:
    """One run's walk over the schedule."""

    def __init__(self, flow: Flow, schedule: list[str], refreshed: set[str],
                 executor: Executor | None) -> None:
        self.flow, self.graph, self.executor = flow, flow.graph, executor
        self.refreshed = refreshed
        self.report = Report()
        self.position = {name: k for k, name in enumerate(schedule)}
        nodes = flow._nodes
        self.waiting = {n: sum(d in self.position for d in nodes[n].deps) for n in schedule}
        self.dependents: dict[str, list[str]] = {n: [] for n in schedule}
        for n in schedule:
            for d in nodes[n].deps:
                if d in self.position:
                    self.dependents[d].append(n)
        self.ready = [self.position[n] for n in schedule if self.waiting[n] == 0]
        self.schedule = schedule
        self.unusable: set[str] = set()  # failed, or not run because of a failure
        self.running: dict[Future[Any], tuple[str, int, float]] = {}

    def run(self) -> Report:
        heapq.heapify(self.ready)
        while self.ready or self.running:
            while self.ready:
                self.visit(self.schedule[heapq.heappop(self.ready)])
            if self.running:
                done, _ = wait(self.running, return_when=FIRST_COMPLETED)
                for future in sorted(done, key=lambda f: self.position[self.running[f][0]]):
                    name, signature, started = self.running.pop(future)
                    error = future.exception()
                    self.complete(name, signature, started,
                                  None if error is not None else future.result(), error)
        return self.report

    def visit(self, name: str) -> None:
        node = self.flow._nodes[name]
        graph = self.graph
        if node.kind == "input":
            self.commit_input(node)
            return self.finish(name)
        if any(d in self.unusable for d in node.deps):
            self.unusable.add(name)
            self.report.blocked.append(name)
            return self.finish(name)  # stays dirty for the next run
        _, needed, signature = graph.check_node(name)
        if node.kind == "source" and (name in self.refreshed or node.value is MISSING):
            needed = True
        if not needed:
            graph.skip_node(name, signature)
            self.report.memo_hits.append(name)
            return self.finish(name)
        graph.set_computing(name)
        values = [self.flow._nodes[d].value for d in node.deps]
        args, kwargs = ([], dict(zip(node.deps, values))) if node.by_keyword else (values, {})
        assert node.func is not None
        started = time.perf_counter()
        if self.executor is None:
            try:
                value, error = node.func(*args, **kwargs), None
            except Exception as raised:
                value, error = None, raised
            self.complete(name, signature, started, value, error)
        else:
            future = self.executor.submit(node.func, *args, **kwargs)
            self.running[future] = (name, signature, started)

    def commit_input(self, node: _Node) -> None:
        if node.value is MISSING:
            self.fail(node.name, LookupError(
                f"input {node.name!r} has no value: give it one with flow.set({node.name}=...)"))
            return
        new_hash = node.pending_hash if node.pending_hash is not None else node.hash
        assert new_hash is not None
        if new_hash != node.hash:
            node.version += 1
        node.hash, node.pending_hash = new_hash, None
        self.graph.commit_input(node.name, new_hash)
        self.report.inputs.append(node.name)

    def complete(self, name: str, signature: int, started: float, value: Any,
                 error: BaseException | None) -> None:
        node = self.flow._nodes[name]
        self.report.seconds[name] = time.perf_counter() - started
        if error is None:
            try:
                new_hash = self.flow._hash(name, value)
            except TypeError as hash_error:
                error = hash_error
        if error is not None:
            self.fail(name, error)
            return self.finish(name)
        changed_deps = [d for d in node.deps if node.seen.get(d) != self.flow._nodes[d].version]
        node.seen = {d: self.flow._nodes[d].version for d in node.deps}
        node.last_cause = changed_deps if node.version else []
        if node.cutoff and node.hash == new_hash:
            self.graph.skip_node(name, signature)  # same value: dependents may skip too
            self.report.cut_off.append(name)
        else:
            self.graph.commit_node(name, signature)
            node.value, node.hash = value, new_hash
            node.version += 1
            self.report.recomputed.append(name)
        self.finish(name)

    def fail(self, name: str, error: BaseException) -> None:
        self.graph.set_dirty(name)  # keeps its previous value, and is retried next run
        self.report.failed[name] = error
        self.unusable.add(name)

    def finish(self, name: str) -> None:
        for m in self.dependents[name]:
            self.waiting[m] -= 1
            if self.waiting[m] == 0:
                heapq.heappush(self.ready, self.position[m])

