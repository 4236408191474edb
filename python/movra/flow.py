"""`Flow`: plain Python functions as a reactive graph, driven by the kernel.

A flow holds the values; its `Graph` holds the bookkeeping.  Each run walks the
kernel's schedule of what changed, in topological order (see `_run`).

Concurrency: one run at a time.  A second `run()` from another thread waits
for the first; a run started from inside one of the flow's own node functions
raises RuntimeError (watch callbacks are called after the run, and may run it
again).  `set()` and `refresh()` never wait: made
while a run is in progress, they apply when it ends, so a run sees the inputs
as they were when it started.  Declaring and removing nodes wait for a run in
progress to end.  Reading `flow[name]` never waits.
"""
from __future__ import annotations

import asyncio
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor
from contextlib import contextmanager
from typing import Any, TypeVar, overload

from . import _events, _explain, _messages, _structure
from ._declare import MISSING, Kind, Node, computed_node
from ._movra import Graph
from ._names import listed, quoted
from ._report import Explanation, FlowError, Report
from ._executors import drive_async, drive_executor
from ._run import Pass, _tokens
from .hashing import content_hash

__all__ = ["Flow", "FlowError", "Report", "Explanation", "Watch"]

F = TypeVar("F", bound=Callable[..., Any])


class _Declarer:
    """The decorator behind `flow.reactive`, `flow.view` and `flow.source`,
    usable bare or with options."""

    def __init__(self, flow: Flow, kind: Kind) -> None:
        self._flow, self._kind = flow, kind

    @overload
    def __call__(self, func: F) -> F: ...
    @overload
    def __call__(self, *, deps: Sequence[str] | None = None, name: str | None = None,
                 cutoff: bool = True, hashed: bool = True, version: str | None = None,
                 replace: bool = False) -> Callable[[F], F]: ...
    def __call__(self, func: F | None = None, *, deps: Sequence[str] | None = None,
                 name: str | None = None, cutoff: bool = True, hashed: bool = True,
                 version: str | None = None, replace: bool = False) -> F | Callable[[F], F]:
        def declare(f: F) -> F:
            flow = self._flow
            with flow._structure_change():
                node = computed_node(self._kind, f, deps, name, cutoff, hashed, version, flow._nodes)
                flow._declare(node, replace)
                for param in _messages.defaults_kept(f, node.deps) if deps is None else ():
                    flow._defaults.setdefault(param, {})[node.name] = f  # warned of if it becomes a node
            return f

        return declare(func) if func is not None else declare


class Watch:
    """A subscription made by `Flow.watch`; `cancel()` ends it."""

    def __init__(self, flow: Flow, name: str, callback: Callable[[Any, Any], Any]) -> None:
        self.flow, self.name, self.callback = flow, name, callback

    def cancel(self) -> None:
        watchers = self.flow._watchers.get(self.name, [])
        if self in watchers:
            watchers.remove(self)


class Flow(Mapping[str, Any]):
    """A reactive graph of Python values and functions.

    A flow is a read-only mapping from node names to the values the last run
    left: `flow[name]`, `name in flow`, `len(flow)`, iteration over the names
    in declaration order, `keys()`, `values()`, `items()` and `dict(flow)`.
    A value is current after a successful run (`is_current` tells); reading
    never runs anything, except `get`, which brings the node up to date first.
    Flows compare by identity.

    >>> flow = Flow()
    >>> flow.input("x", 2)
    >>> @flow.reactive
    ... def double(x):
    ...     return 2 * x
    >>> _ = flow.run()
    >>> flow["double"]
    4

    Args:
        store: A `movra.store.Store`, or a path for one (a file for SQLite, a
            directory ending in "/" for one file per value). Computed values are
            kept there under what determines them (the node's name, its code
            version and its dependencies' content hashes) and reused across runs
            and processes.
        interactive: Declaring a node again replaces it (for notebooks). By
            default that is an error, and `replace=True` on the declaration
            allows it.
        check_mutation: After each call, hash the node function's arguments
            again and fail the node that changed one in place.

    Attributes:
        graph: The kernel `Graph` that keeps the bookkeeping, for inspection
            (`state_of`, `dirty_nodes`, ...). A change of structure replaces it
            with a new one at the next run; do not change it yourself.

    Concurrency: one run at a time. A second `run()` from another thread
    waits for the first; a run started from inside one of the flow's own node
    functions raises RuntimeError (watch callbacks are called once the run is
    over, and may start another). `set()` and `refresh()` never wait: made
    during a run, they apply when it ends, so a run sees the inputs as they
    were when it started.
    """

    def __init__(self, *, store: Any = None, interactive: bool = False,
                 check_mutation: bool = False) -> None:
        self.graph = Graph()
        self._nodes: dict[str, Node] = {}
        self._stale = False  # the kernel's graph predates the latest declarations
        self._interactive = interactive
        self._check_mutation = check_mutation
        self._store = None
        if store is not None:
            from .store import open_store
            self._store = open_store(store)
        self._watchers: dict[str, list[Watch]] = {}
        self._before: dict[str, Any] = {}  # watched inputs: the value the last run committed
        self._lock = threading.Lock()  # held by a run, and briefly by declarations
        self._owner: int | None = None  # the thread holding `_lock`
        self._queue_lock = threading.Lock()
        self._queued: list[tuple[str, Any, int | None]] = []  # (name, value or MISSING to refresh, hash)
        self._hooks: list[_events.Hook] = []
        self._defaults: dict[str, dict[str, Any]] = {}  # parameter -> {node: function} keeping its default
        self._last_report: Report | None = None

    # Declaring ---------------------------------------------------------------

    @overload
    def input(self, name: str, *, hashed: bool = True, replace: bool = False) -> None: ...
    @overload
    def input(self, name: str, value: Any, *, hashed: bool = True, replace: bool = False) -> None: ...
    def input(self, name: str, value: Any = MISSING, *, hashed: bool = True, replace: bool = False) -> None:
        """Declare an input node, optionally with its value.  With `hashed=False`
        its value is not hashed: every `set` counts as a change."""
        if not isinstance(name, str):
            raise TypeError(f"a node's name must be a str, not {type(name).__qualname__}")
        with self._structure_change():
            old = self._nodes.get(name)
            if old is None or old.kind != "input" or old.hashed != hashed or not (replace or self._interactive):
                self._declare(Node(name, "input", hashed=hashed), replace)  # new, changed or refused
            # else the same input declared again (a notebook cell run again): it keeps its value
        if value is not MISSING:
            self.set({name: value})

    @property
    def reactive(self) -> _Declarer:
        """Declare a computed node: `@flow.reactive`, or `@flow.reactive(deps=[...],
        name=..., cutoff=..., hashed=..., version=..., replace=...)`.

        Without `deps`, the function's parameters name its dependencies (see
        `movra._declare` for the rules on defaults); with `deps`, their values are
        passed by position.  `cutoff=False` makes every recomputation count as a
        change; `hashed=False` skips hashing the value (for connections, locks,
        models), with the same effect; `version` overrides the code version that
        the store keys on."""
        return _Declarer(self, "reactive")

    @property
    def view(self) -> _Declarer:
        """Declare a view: a computed node meant for the outside (a page, a
        report).  It takes the same options as `reactive`."""
        return _Declarer(self, "view")

    @property
    def source(self) -> _Declarer:
        """Declare a source: a node that reads the outside world (a file, a
        clock).  It is computed on the first run and again after `refresh`,
        and never taken from the store."""
        return _Declarer(self, "source")

    def remove(self, *names: str) -> None:
        """Remove nodes, with their values.  Refused, changing nothing, while a
        node outside `names` depends on one of them."""
        with self._structure_change():
            for name in names:
                self._node(name)
            leaving = set(names)
            for node in self._nodes.values():
                if node.name not in leaving:
                    needed = [d for d in node.deps if d in leaving]
                    if needed:
                        raise ValueError(f"cannot remove {listed(needed)}: {quoted(node.name)} depends on it "
                                         "(remove them together, or redefine it first)")
            for name in names:
                self._nodes.pop(name, None)
                self._watchers.pop(name, None)
            self._stale = True

    def _declare(self, node: Node, replace: bool) -> None:
        name = node.name
        old = self._nodes.get(name)
        if old is None and name in self._defaults:
            _messages.warn_hidden_default(name, [u for u, f in self._defaults.pop(name).items()
                                                 if u in self._nodes and self._nodes[u].func is f])
        if old is not None:
            if not (replace or self._interactive):
                raise ValueError(f"node {quoted(name)} is already declared: pass replace=True to replace it, "
                                 "or create the flow with Flow(interactive=True)")
            if (old.kind == "input") != (node.kind == "input"):
                raise ValueError(f"{quoted(name)} is {_article(old.kind)} node and cannot be redeclared as "
                                 f"{_article(node.kind)} node: remove it first")
            if old.same_definition(node):
                old.func, old.is_async = node.func, node.is_async  # the same code: nothing to redo
                return
            node.value, node.hash, node.committed = old.value, old.hash, old.committed
            node.memo, node.previous_memo = old.memo, old.previous_memo
        self._nodes[name] = node
        self._stale = True

    @contextmanager
    def _structure_change(self) -> Iterator[None]:
        if self._owner == threading.get_ident():
            raise RuntimeError("a flow's nodes cannot be declared or removed while it runs")
        with self._lock:
            yield

    # Changing ----------------------------------------------------------------

    def set(self, values: Mapping[str, Any] | None = None, /, **more: Any) -> None:
        """Give inputs new values: `flow.set(price=12.0)` or `flow.set({"price": 12.0})`.

        Checks every name and hashes every value before changing anything.  A
        value with the content of the current one changes nothing.  Made during
        a run, the change applies when the run ends."""
        updates = {**(values or {}), **more}
        queued = []
        for name, value in updates.items():
            node = self._node(name)
            if node.kind != "input":
                raise ValueError(f"{quoted(name)} is {_article(node.kind)} node; only inputs are set")
            queued.append((name, value, self._hash(node, value)))
        self._enqueue(queued)

    def refresh(self, *names: str) -> None:
        """Have the next run recompute these sources (until it succeeds)."""
        for name in names:
            if self._node(name).kind != "source":
                raise ValueError(f"{quoted(name)} is not a source")
        self._enqueue([(name, MISSING, None) for name in names])

    def _enqueue(self, changes: Sequence[tuple[str, Any, int | None]]) -> None:
        with self._queue_lock:
            self._queued.extend(changes)
        if self._lock.acquire(blocking=False):
            self._release()

    def _apply_queued(self) -> None:
        """Applies the changes made since the last call.  Holds `_lock`."""
        with self._queue_lock:
            changes, self._queued = self._queued, []
        seeds = []
        for name, value, h in changes:
            node = self._nodes.get(name)
            if node is None:
                continue  # removed since
            if value is MISSING:
                node.forced = True
            elif h == node.hash and node.value is not MISSING and node.hashed:
                continue
            else:
                if name in self._watchers:
                    self._before.setdefault(name, node.value)
                node.value, node.hash = self._frozen(value), h
            seeds.append(name)
        if seeds and not self._stale:
            self.graph.mark_dirty(seeds)

    def _release(self) -> None:
        """Releases `_lock`, applying what was queued meanwhile first."""
        while True:
            try:
                self._apply_queued()
            finally:
                self._owner = None
                self._lock.release()
            if not self._queued or not self._lock.acquire(blocking=False):
                return

    # Reading -----------------------------------------------------------------

    def __getitem__(self, name: str) -> Any:
        """The node's value: current after a successful run.  A node that is
        dirty or whose last run failed still gives its previous value (see
        `is_current`); one that never had a value raises LookupError."""
        node = self._node(name)
        if node.value is MISSING:
            raise _messages.no_value(name, self._outline())
        return _local(name, node.value)

    def get(self, name: str, default: Any = MISSING) -> Any:
        """The node's current value, computing only what it needs; `default`
        for a name the flow has no node for, if given."""
        if default is not MISSING and name not in self._nodes:
            return default
        self.run(targets=[name])
        return self[name]

    def is_current(self, name: str) -> bool:
        """Whether `flow[name]` is what a run would give now (an input's value
        always is, once it has one)."""
        node = self._node(name)
        if node.value is MISSING:
            return False
        if node.kind == "input":
            return True
        if node.forced:
            return False
        if self._stale:
            with self._structure_change():
                try:
                    self._refresh_structure()
                except ValueError:
                    return False
        return self.graph.state_of(name) == "clean"

    def __contains__(self, name: object) -> bool:
        """`name in flow`: whether the flow has a node of that name."""
        return name in self._nodes

    def __iter__(self) -> Iterator[str]:
        """The node names, in declaration order (a snapshot: declaring while
        iterating is safe)."""
        return iter(list(self._nodes))

    def __len__(self) -> int:
        """The number of nodes."""
        return len(self._nodes)

    def __repr__(self) -> str:
        return f"<movra.Flow nodes={len(self._nodes)}>"

    __eq__ = object.__eq__  # a Mapping compares contents: comparing flows would read every value
    __hash__ = object.__hash__

    def _outline(self) -> dict[str, tuple[str, tuple[str, ...], BaseException | None]]:
        """Read-only: each node's kind, dependencies and the error of its last
        attempt (None if it succeeded), in declaration order."""
        return {n.name: (n.kind, n.deps, n.failure) for n in self._nodes.values()}

    # Running -----------------------------------------------------------------

    def run(self, targets: Iterable[str] | None = None, executor: Any = None, *,
            hooks: Iterable[Callable[[_events.Event], Any]] | None = None, progress: bool = False) -> Report:
        """Recompute what changed since the last run, in topological order.

        `targets` limits the run to what those nodes need; everything else
        stays dirty for a later run.  With an `executor` (any
        `concurrent.futures.Executor`, or a `distributed.Client`), nodes whose
        dependencies are settled run concurrently on it; every kernel call
        stays on the calling thread.

        `hooks` get this run's events (see `add_hook`); `progress=True` shows
        a tqdm bar (it needs tqdm, the `progress` extra).

        Raises FlowError, after doing everything that could be done, when a
        node failed; ValueError for an unknown dependency or a cycle (nothing
        runs until it is repaired).  If the run is interrupted (KeyboardInterrupt,
        SystemExit, any exception escaping it), the flow is left as after a
        failed node: what finished is kept, what was in flight runs again."""
        _messages.check_executor(executor)
        emit = _events.emitter(self._hooks, hooks, progress)
        started = time.perf_counter()
        with self._running():
            fetch = self._prepare_remote(executor)
            run = Pass(self, self._schedule(targets), fetch, emit)
            try:
                if emit: emit.begin(run.settling())  # noqa: E701
                if executor is None:
                    run.run_inline()
                else:
                    self._drive(run, executor)
            except BaseException:
                run.abandon()
                if emit: emit.end(run.report)  # noqa: E701
                raise
        return self._finish(run, started)

    async def arun(self, targets: Iterable[str] | None = None, executor: Executor | None = None, *,
                   hooks: Iterable[Callable[[_events.Event], Any]] | None = None,
                   progress: bool = False) -> Report:
        """`run()` for asyncio: `async def` nodes run concurrently on the running
        event loop, plain functions inline (or on `executor`).  Cancelling it
        leaves the flow as consistent as a failed node does."""
        if _is_dask_client(executor):
            raise TypeError("arun() cannot use a distributed.Client: call flow.run(executor=client)")
        _messages.check_executor(executor)
        emit = _events.emitter(self._hooks, hooks, progress)
        started = time.perf_counter()
        while not self._lock.acquire(blocking=False):
            if self._owner == threading.get_ident():
                raise RuntimeError("this flow is already running in this thread")
            await asyncio.sleep(0.001)
        try:
            self._owner = threading.get_ident()
            self._apply_queued()
            fetch = self._prepare_remote(None)
            run = Pass(self, self._schedule(targets), fetch, emit)
            try:
                if emit: emit.begin(run.settling())  # noqa: E701
                await drive_async(run, executor)
            except BaseException:
                run.abandon()
                if emit: emit.end(run.report)  # noqa: E701
                raise
        finally:
            self._release()
        return self._finish(run, started)

    @contextmanager
    def _running(self) -> Iterator[None]:
        if self._owner == threading.get_ident():
            raise RuntimeError("this flow is already running in this thread "
                               "(a node function cannot run its own flow)")
        self._lock.acquire()
        try:
            self._owner = threading.get_ident()
            self._apply_queued()
            yield
        finally:
            self._release()

    def _schedule(self, targets: Iterable[str] | None) -> list[str]:
        if self._stale:
            self._refresh_structure()
        dirty = self.graph.dirty_nodes()
        if targets is None:
            return dirty
        if isinstance(targets, str):
            raise TypeError("targets must be a list of node names, not a str")
        wanted = [self._node(t).name for t in targets]
        dirty_set, needed = set(dirty), set()
        while wanted:
            name = wanted.pop()
            if name in dirty_set and name not in needed:  # a clean node's dependencies are clean
                needed.add(name)
                wanted.extend(self._nodes[name].deps)
        return [name for name in dirty if name in needed]

    def _refresh_structure(self) -> None:
        self.graph = _structure.build(self._nodes, _structure.clean_nodes(self.graph))
        self._stale = False

    def _prepare_remote(self, executor: Any) -> Callable[[list[Any]], list[Any]] | None:
        """Checks a cluster's client, and the values the flow keeps on clusters,
        before scheduling; for a run elsewhere, how to bring those values here."""
        if not (_is_dask_client(executor) or "movra._dask" in sys.modules):
            return None
        from ._dask import prepare
        return prepare(self, executor)

    def _drive(self, run: Pass, executor: Any) -> None:
        if _is_dask_client(executor):
            from ._dask import drive
            drive(run, executor)
        else:
            drive_executor(run, executor)

    def _finish(self, run: Pass, started: float) -> Report:
        flush = getattr(self._store, "flush", None)
        if flush is not None:
            flush()  # a store may hold back writes until the run ends
        run.sort_report()
        report = run.report
        report.total_seconds = time.perf_counter() - started
        self._last_report = report
        if run.emit: run.emit.end(report)  # noqa: E701
        self._notify(run)
        if report.failed:
            raise FlowError(report) from next(iter(report.failed.values()))
        return report

    # Observing ---------------------------------------------------------------

    def watch(self, name: str, callback: Callable[[Any, Any], Any]) -> Watch:
        """Call `callback(old, new)` after each run in which the node's value
        changed (`old` is None on its first value).  An exception in a callback
        is reported (a RuntimeWarning, and `report.callback_errors`); it undoes
        nothing and the other callbacks still run."""
        self._node(name)
        handle = Watch(self, name, callback)
        self._watchers.setdefault(name, []).append(handle)
        return handle

    def add_hook(self, hook: Callable[[_events.Event], Any]) -> _events.HookHandle:
        """Call `hook(event)` for each event of every run from now on: per node
        `start`, `finish`, `cut_off`, `loaded`, `memo_hit`, `failed`, `blocked`
        (with the seconds it took, or the error), and `run_start` / `run_end`
        around each run.  Returns a handle whose `cancel()` removes the hook.
        A hook that raises is reported like a watch callback and undoes
        nothing.  `movra.log_events` is such a hook, for the "movra" logger."""
        if not callable(hook):
            raise TypeError(f"a hook must be callable, not {type(hook).__qualname__}")
        self._hooks.append(hook)
        return _events.HookHandle(self._hooks, hook)

    def _notify(self, run: Pass) -> None:
        if not self._watchers:
            return
        for name, old, new in run.changes:
            for handle in list(self._watchers.get(name, ())):
                try:
                    handle.callback(None if old is MISSING else _local(name, old), _local(name, new))
                except Exception as error:
                    run.report.callback_errors.append((name, error))
                    warnings.warn(f"a watch callback of {quoted(name)} raised {type(error).__name__}: {error}",
                                  RuntimeWarning, stacklevel=3)

    # Explaining and drawing ----------------------------------------------------

    def explain(self, name: str) -> Explanation:
        """Why the next run would recompute `name`, or why it would not, and
        why it was last recomputed."""
        self._node(name)
        return _explain.explain(self, name)

    def to_dot(self, around: str | None = None, depth: int = 1) -> str:
        """The graph in Graphviz's DOT language, with kinds and current states;
        with `around`, only the nodes within `depth` edges of that node."""
        return _explain.to_dot(self, around, depth)

    def to_mermaid(self, around: str | None = None, depth: int = 1) -> str:
        """The graph as a Mermaid flowchart, with kinds and current states;
        with `around`, only the nodes within `depth` edges of that node."""
        return _explain.to_mermaid(self, around, depth)

    def to_svg(self, around: str | None = None, depth: int = 1, explain: str | None = None) -> str:
        """The graph as an SVG picture, drawn here without network: states in
        colour (clean, dirty, failed, blocked), each node's time in the last
        run.  With `around`, only the nodes within `depth` edges of that node;
        with `explain=name`, what `name` depends on, the path from the causes
        of its next recomputation to it highlighted (see `explain`)."""
        if explain is not None:
            self._node(explain)
        return _explain.to_svg(self, around, depth, explain)

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, str]:
        return _explain.mimebundle(self)

    # Helpers -------------------------------------------------------------------

    def _node(self, name: str) -> Node:
        try:
            return self._nodes[name]
        except (KeyError, TypeError):
            if not isinstance(name, str):
                raise TypeError(f"node names are str, not {type(name).__qualname__}") from None
            raise _messages.unknown_node(name, self._nodes) from None

    @staticmethod
    def _hash(node: Node, value: Any) -> int:
        if not node.hashed:
            return next(_tokens)
        try:
            return content_hash(value)
        except Exception as error:
            raise type(error)(f"input {quoted(node.name)}: {error}") from error

    @staticmethod
    def _frozen(value: Any) -> Any:
        """NumPy arrays are handed out read-only, so that no node changes another's value."""
        cls = type(value)
        if cls.__name__ == "ndarray" and cls.__module__ == "numpy" and value.flags.writeable:
            value = value.view()
            value.flags.writeable = False
        return value

    def _store_key(self, node: Node) -> str | None:
        """The key of `node`'s value in the store, or None for what is never stored:
        sources (they read the outside world), unhashed values, and values
        computed from unhashed ones."""
        nodes = self._nodes
        if node.kind == "source" or not node.hashed or not all(
                nodes[d].hashed and nodes[d].cutoff for d in node.deps):
            return None
        from .store import make_key
        key: str = make_key(node.name, node.version, [nodes[d].hash or 0 for d in node.deps])
        return key


def _article(kind: str) -> str:
    return f"an {kind}" if kind == "input" else f"a {kind}"


def _is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed"


def _local(name: str, value: Any) -> Any:
    """The value itself, fetched if it is kept on a cluster."""
    if type(value).__module__.split(".")[0] != "distributed":
        return value
    from ._dask import fetch
    return fetch(name, value)
