"""`Flow`: plain Python functions as a reactive graph, driven by the kernel.

`Flow` is a facade.  Every node's definition and state, the run lock and the
queue of changes made during a run live in the native engine
(`movra._engine`), which changes them only inside single calls, so that no
interrupt can leave half a change behind.  This module checks arguments,
words errors, and wires a run to its backend (`_backends`, `_dask`) and its
store (`_persist`).

A call to `run()` travels so: the engine's run is entered (the lock is
taken and changes queued meanwhile applied); the structure is rebuilt if
declarations changed (`_structure` says which nodes cannot be built); the
run is started (it schedules the dirty nodes, or what the targets need);
the backend makes the calls the run asks for; leaving the run forces what
is still in flight to run again and lets the lock go; then the store is
flushed, watchers are told, and the report is returned (or FlowError raised).

Concurrency: one run at a time.  A second `run()` from another thread waits
for the first; a run started from inside one of the flow's own node
functions raises RuntimeError (watch callbacks are called after the run, and
may run it again).  `set()` and `refresh()` never wait: made while a run is
in progress, they apply when it ends, so a run sees the inputs as they were
when it started.  Declaring and removing nodes wait for a run in progress
to end.  Reading `flow[name]` never waits.
"""
from __future__ import annotations

import asyncio
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor
from typing import Any, TypeVar, overload

from . import _events, _explain, _messages, _structure, _support
from ._backends import drive_async, drive_executor
from ._declare import MISSING, Kind, Node, computed_node
from ._engine import Engine
from ._movra import Graph
from ._names import quoted
from ._persist import StoreLink
from ._report import Explanation, FlowError, Report
from .hashing import content_hash

__all__ = ["Flow", "FlowError", "Report", "Explanation", "Watch"]

F = TypeVar("F", bound=Callable[..., Any])

_RUNNING_HERE = "a flow's nodes cannot be declared or removed while it runs"


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
            self._flow._declare_computed(self._kind, f, deps, name, cutoff, hashed, version, replace)
            return f

        return declare(func) if func is not None else declare


class Watch:
    """A subscription made by `Flow.watch`; `cancel()` ends it."""

    def __init__(self, watchers: dict[str, list[Watch]], name: str, callback: Callable[[Any, Any], Any]) -> None:
        self._watchers, self.name, self.callback = watchers, name, callback

    def cancel(self) -> None:
        handles = self._watchers.get(self.name, [])
        if self in handles:
            handles.remove(self)
        if not handles:
            self._watchers.pop(self.name, None)


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
        self._engine = Engine(content_hash, MISSING, _support)
        self._interactive = interactive
        self._check_mutation = check_mutation
        self._store = None
        if store is not None:
            from .store import open_store
            self._store = open_store(store)
        self._watchers: dict[str, list[Watch]] = {}
        self._engine.set_watchers(self._watchers)
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
        node = Node(name, "input", hashed=hashed)
        with self._changing():
            old = self._engine.definition(name)
            if old is None or old.kind != "input" or old.hashed != hashed or not (replace or self._interactive):
                self._declare(node, replace)  # new, changed or refused
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
        models), with the same effect; `version` is added to the code version
        that the store keys on (bump it when a helper the function calls changes)."""
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
        with self._changing():
            for name in names:
                self._node(name)
            leaving = set(names)
            for node in self._engine.definitions().values():
                if node.name not in leaving:
                    needed = [d for d in node.deps if d in leaving]
                    if needed:
                        raise ValueError(f"cannot remove {', '.join(map(quoted, needed))}: {quoted(node.name)} "
                                         "depends on it (remove them together, or redefine it first)")
            self._engine.remove(list(names))
            for name in names:
                self._watchers.pop(name, None)

    def _declare_computed(self, kind: Kind, func: Any, deps: Sequence[str] | None, name: str | None,
                          cutoff: bool, hashed: bool, version: str | None, replace: bool) -> None:
        with self._changing():
            node = computed_node(kind, func, deps, name, cutoff, hashed, version, self)
            self._declare(node, replace)
            for param in _messages.defaults_kept(func, node.deps) if deps is None else ():
                self._defaults.setdefault(param, {})[node.name] = func  # warned of if it becomes a node

    def _declare(self, node: Node, replace: bool) -> None:
        """Declares `node`; holds the lock."""
        old = self._engine.definition(node.name)
        if old is None and node.name in self._defaults:
            defined = self._engine.definitions()
            _messages.warn_hidden_default(node.name, [u for u, f in self._defaults.pop(node.name).items()
                                                      if u in defined and defined[u].func is f])
        if old is not None:
            if not (replace or self._interactive):
                raise ValueError(f"node {quoted(node.name)} is already declared: pass replace=True to replace it, "
                                 "or create the flow with Flow(interactive=True)")
            if (old.kind == "input") != (node.kind == "input"):
                raise ValueError(f"{quoted(node.name)} is {_article(old.kind)} node and cannot be redeclared as "
                                 f"{_article(node.kind)} node: remove it first")
            if old.same_definition(node):
                self._engine.update_function(node.name, node.func, node.is_async)  # nothing else to redo
                return
        self._engine.declare(node)

    def _changing(self) -> Any:
        """The lock, for a change of structure (waits for a run in progress)."""
        if self._engine.held_here():
            raise RuntimeError(_RUNNING_HERE)
        return self._engine.run()

    # Changing ----------------------------------------------------------------

    def set(self, values: Mapping[str, Any] | None = None, /, **more: Any) -> None:
        """Give inputs new values: `flow.set(price=12.0)` or `flow.set({"price": 12.0})`.

        Checks every name and hashes every value before changing anything.  A
        value with the content of the current one changes nothing.  Made during
        a run, the change applies when the run ends."""
        updates = {**(values or {}), **more}
        changes = []
        for name, value in updates.items():
            node = self._node(name)
            if node.kind != "input":
                raise ValueError(f"{quoted(name)} is {_article(node.kind)} node; only inputs are set")
            h = self._input_hash(node, value)
            changes.append((name, False, _support.freeze(value), h))
        self._engine.enqueue(changes)

    def refresh(self, *names: str) -> None:
        """Have the next run recompute these sources (until it succeeds)."""
        for name in names:
            if self._node(name).kind != "source":
                raise ValueError(f"{quoted(name)} is not a source")
        self._engine.enqueue([(name, True, None, None) for name in names])

    # Reading -----------------------------------------------------------------

    def __getitem__(self, name: str) -> Any:
        """The node's value: current after a successful run.  A node that is
        dirty or whose last run failed still gives its previous value (see
        `is_current`); one that never had a value raises LookupError."""
        self._node(name)
        value = self._engine.value(name)
        if value is MISSING:
            raise _messages.no_value(name, self._outline())
        return _local(name, value)

    def get(self, name: str, default: Any = MISSING) -> Any:
        """The node's current value, computing only what it needs; `default`
        for a name the flow has no node for, if given."""
        if default is not MISSING and name not in self:
            return default
        self.run(targets=[name])
        return self[name]

    def is_current(self, name: str) -> bool:
        """Whether `flow[name]` is what a run would give now (an input's value
        always is, once it has one)."""
        node = self._node(name)
        state, has_value, forced = self._engine.info(name)[:3]
        if not has_value:
            return False
        if node.kind == "input":
            return True
        if forced:
            return False
        if self._engine.stale:
            with self._changing():
                self._build()
            state = self._engine.info(name)[0]
        return state == "clean" and name not in self._engine.broken

    def __contains__(self, name: object) -> bool:
        """`name in flow`: whether the flow has a node of that name."""
        return isinstance(name, str) and self._engine.definition(name) is not None

    def __iter__(self) -> Iterator[str]:
        """The node names, in declaration order (a snapshot: declaring while
        iterating is safe)."""
        return iter(self._engine.names())

    def __len__(self) -> int:
        """The number of nodes."""
        return int(self._engine.size())

    def __repr__(self) -> str:
        return f"<movra.Flow nodes={len(self)}>"

    __eq__ = object.__eq__  # a Mapping compares contents: comparing flows would read every value
    __hash__ = object.__hash__

    def _outline(self) -> dict[str, tuple[str, tuple[str, ...], BaseException | None]]:
        """Read-only: each node's kind, dependencies and the error of its last
        attempt (None if it succeeded), in declaration order."""
        info = self._engine.info
        return {n: (node.kind, node.deps, info(n)[3]) for n, node in self._engine.definitions().items()}

    @property
    def graph(self) -> Graph:
        """The kernel graph of the current build (built now if declarations changed)."""
        if self._engine.stale or self._engine.graph is None:
            if self._engine.held_here():
                raise RuntimeError("the flow's graph is being rebuilt by the run in progress")
            with self._changing():
                self._build()
        graph = self._engine.graph
        assert graph is not None
        return graph

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
        node failed; ValueError for an unknown dependency or a cycle among the
        nodes the run needs (nothing runs until it is repaired).  If the run is
        interrupted (KeyboardInterrupt, SystemExit, any exception escaping it),
        the flow is left as after a failed node: what finished is kept, what
        was in flight runs again."""
        started = time.perf_counter()
        _messages.check_executor(executor)
        wanted = self._targets(targets)
        emit = _events.emitter(self._hooks, hooks, progress)
        fetch = self._prepare_remote(executor)
        with self._engine.run(check_mutation=self._check_mutation, store=self._link(), fetch=fetch,
                              emit=emit) as run:
            self._start(run, wanted, emit)
            try:
                if executor is None:
                    run.run_inline()
                elif _is_dask_client(executor):
                    from ._dask import drive
                    drive(self, self._engine, run, executor, self._check_mutation)
                else:
                    drive_executor(run, executor)
            except BaseException:
                if emit:
                    emit.end(self._report(run, started))
                raise
        return self._finish(run, started, emit)

    async def arun(self, targets: Iterable[str] | None = None, executor: Executor | None = None, *,
                   hooks: Iterable[Callable[[_events.Event], Any]] | None = None,
                   progress: bool = False) -> Report:
        """`run()` for asyncio: `async def` nodes run concurrently on the running
        event loop, plain functions inline (or on `executor`).  Cancelling it
        leaves the flow as consistent as a failed node does."""
        if _is_dask_client(executor):
            raise TypeError("arun() cannot use a distributed.Client: call flow.run(executor=client)")
        _messages.check_executor(executor)
        started = time.perf_counter()
        wanted = self._targets(targets)
        emit = _events.emitter(self._hooks, hooks, progress)
        fetch = self._prepare_remote(None)
        while True:
            with self._engine.run(allow_async=True, blocking=False, check_mutation=self._check_mutation,
                                  store=self._link(), fetch=fetch, emit=emit) as run:
                if run is not None:
                    self._start(run, wanted, emit)
                    try:
                        await drive_async(run, executor)
                    except BaseException:
                        if emit:
                            emit.end(self._report(run, started))
                        raise
                    break
            await asyncio.sleep(0.001)  # another thread's run holds the flow
        return self._finish(run, started, emit)

    def _targets(self, targets: Iterable[str] | None) -> list[str] | None:
        if targets is None:
            return None
        if isinstance(targets, str):
            raise TypeError("targets must be a list of node names, not a str")
        wanted = list(targets)
        for name in wanted:
            self._node(name)
        return wanted

    def _start(self, run: Any, targets: list[str] | None, emit: _events.Emitter | None) -> None:
        """Builds what changed and schedules the run; holds the lock."""
        if self._engine.stale or self._engine.graph is None:
            self._build()
        broken = self._engine.broken
        if broken:
            nodes = self._engine.definitions()
            needed = nodes if targets is None else _structure.needed(nodes, targets)
            first = next((n for n in nodes if n in broken and n in needed), None)
            if first is not None:
                raise ValueError(broken[first])
        run.start(targets)
        if emit:
            emit.begin(run.computed)

    def _build(self) -> None:
        """A new kernel graph of every node that can be built; holds the lock."""
        bad = self._engine.bad_dependencies()
        nodes = self._engine.definitions() if bad else {}
        broken = _structure.broken_nodes(nodes, bad)
        while (unplaced := self._engine.rebuild(broken)) is not None:
            nodes = nodes or self._engine.definitions()
            broken = _structure.with_cycle(nodes, broken, unplaced)

    def _link(self) -> StoreLink | None:
        return None if self._store is None else StoreLink(self._store)

    def _prepare_remote(self, executor: Any) -> Callable[[Any], Any] | None:
        """Checks a cluster's client, and the values the flow keeps on clusters,
        before scheduling; for a run elsewhere, how to bring those values here."""
        if not (_is_dask_client(executor) or "movra._dask" in sys.modules):
            return None
        from ._dask import prepare
        return prepare(self, self._engine, executor)

    def _report(self, run: Any, started: float) -> Report:
        inputs, recomputed, loaded, cut_off, memo_hits, failed, blocked, seconds, _ = run.outcome()
        report = Report(inputs, recomputed, loaded, cut_off, memo_hits, failed, blocked, seconds)
        report.total_seconds = time.perf_counter() - started
        return report

    def _finish(self, run: Any, started: float, emit: _events.Emitter | None) -> Report:
        if self._store is not None:
            StoreLink(self._store).flush()
        report = self._report(run, started)
        self._last_report = report
        if emit:
            emit.end(report)
        self._notify(report, run.outcome()[-1])
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
        handle = Watch(self._watchers, name, callback)
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

    def _notify(self, report: Report, changes: list[tuple[str, Any, Any]]) -> None:
        for name, old, new in changes:
            for handle in list(self._watchers.get(name, ())):
                try:
                    handle.callback(None if old is MISSING else _local(name, old), _local(name, new))
                except Exception as error:
                    report.callback_errors.append((name, error))
                    warnings.warn(f"a watch callback of {quoted(name)} raised {type(error).__name__}: {error}",
                                  RuntimeWarning, stacklevel=4)

    # Explaining and drawing ----------------------------------------------------

    def explain(self, name: str) -> Explanation:
        """Why the next run would recompute `name`, or why it would not, and
        why it was last recomputed."""
        self._node(name)
        return _explain.explain(self._view(), name)

    def to_dot(self, around: str | None = None, depth: int = 1) -> str:
        """The graph in Graphviz's DOT language, with kinds and current states;
        with `around`, only the nodes within `depth` edges of that node."""
        if around is not None:
            self._node(around)
        return _explain.to_dot(self._view(), around, depth)

    def to_mermaid(self, around: str | None = None, depth: int = 1) -> str:
        """The graph as a Mermaid flowchart, with kinds and current states;
        with `around`, only the nodes within `depth` edges of that node."""
        if around is not None:
            self._node(around)
        return _explain.to_mermaid(self._view(), around, depth)

    def to_svg(self, around: str | None = None, depth: int = 1, explain: str | None = None) -> str:
        """The graph as an SVG picture, drawn here without network: states in
        colour (clean, dirty, failed, blocked), each node's time in the last
        run.  With `around`, only the nodes within `depth` edges of that node;
        with `explain=name`, what `name` depends on, the path from the causes
        of its next recomputation to it highlighted (see `explain`)."""
        for name in (around, explain):
            if name is not None:
                self._node(name)
        return _explain.to_svg(self._view(), around, depth, explain)

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, str]:
        return _explain.mimebundle(self._view(), repr(self))

    def _view(self) -> _explain.FlowView:
        """A read-only view of definitions and states, built first if declarations changed."""
        if self._engine.stale and not self._engine.held_here():
            with self._changing():
                self._build()
        link = self._link()
        seconds = self._last_report.seconds if self._last_report is not None else None
        return _explain.FlowView(self._engine.definitions(), self._engine.info, self._engine.broken,
                                 None if link is None else link.contains, seconds)

    # Helpers -------------------------------------------------------------------

    def _node(self, name: str) -> Node:
        if not isinstance(name, str):
            raise TypeError(f"node names are str, not {type(name).__qualname__}")
        node: Node | None = self._engine.definition(name)
        if node is None:
            raise _messages.unknown_node(name, self._engine.names())
        return node

    def _input_hash(self, node: Node, value: Any) -> int | None:
        if not node.hashed:
            return None  # every set is a change
        try:
            h: int = content_hash(value)
        except Exception as error:
            raise type(error)(f"input {quoted(node.name)}: {error}") from error
        return h


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
