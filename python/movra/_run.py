"""One run's walk over the schedule.

The schedule is the kernel's list of dirty nodes (or the part of it that some
targets need), in topological order.  Each node is visited once:

1. an input commits the content hash of its value;
2. a node whose dependency failed in this run is blocked and stays dirty;
3. otherwise `check_node` decides.  A node the kernel calls unchanged, or
   whose dependencies have exactly the content of its last successful call,
   is a memo hit (`skip_node`); a value in the store is loaded; else the
   function runs;
4. a result of the same content as before is cut off (`skip_node`, so its
   dependents see no change); a new one is committed (`commit_node`); a
   failure leaves the node dirty with its previous value.

Every kernel call happens on the thread that runs the pass.  If anything
escapes the pass (an interrupt, a cancelled task, an error inside the runtime),
`abandon` makes the flow as consistent as after a failure: each node in
flight is forced to run again and its epoch moves, so that its dependents
compare contents before trusting it.
"""
from __future__ import annotations

import heapq
import itertools
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from ._declare import MISSING, CallPlan, Node
from ._events import Emitter
from ._names import quoted
from ._report import Report
from .hashing import content_hash
from .store import save_value

if TYPE_CHECKING:
    from .flow import Flow

# The "hash" of a value that is not hashed: a fresh number each time, so that
# it never equals anything seen before.
_tokens = itertools.count(0xA5A5_0000_0000_0000)


def value_hash(node: Node, value: Any) -> int:
    return hash_of(node.name, value) if node.hashed else next(_tokens) & 0xFFFF_FFFF_FFFF_FFFF


def call_node(func: Callable[..., Any], call: CallPlan | None, values: Sequence[Any]) -> Any:
    if call is None:
        return func(*values)
    args, kwargs = call.arguments(values)
    return func(*args, **kwargs)


def hash_of(name: str, value: Any) -> int:
    """The content hash of node `name`'s new value; a failure names the node."""
    try:
        return content_hash(value)
    except Exception as error:
        raise unhashable(name, error) from error


def unhashable(name: str, error: Exception) -> Exception:
    """`error`, raised by hashing node `name`'s value, restated to name the node."""
    message = f"the value of {quoted(name)} cannot be hashed: {error} (or declare the node with hashed=False)"
    try:
        return type(error)(message)
    except Exception:
        return TypeError(message)


def call_and_hash(name: str, func: Callable[..., Any], call: CallPlan | None, hashed: bool,
                  values: Sequence[Any]) -> tuple[Any, int | None]:
    """Runs on an executor's worker, so that hashing happens where the value is.
    An unhashed value gives None; the run gives it a fresh number."""
    value = call_node(func, call, values)
    return value, (hash_of(name, value) if hashed else None)


def _array_type() -> type | None:
    numpy = sys.modules.get("numpy")
    return getattr(numpy, "ndarray", None)


def call_batch(batch: Sequence[tuple[str, Callable[..., Any], CallPlan | None, bool, Sequence[Any]]]
               ) -> list[tuple[Any, int | None, Exception | None]]:
    """`call_and_hash` for several nodes in one task: a worker's result per node,
    (value, hash, None) or (None, None, the error)."""
    results: list[tuple[Any, int | None, Exception | None]] = []
    for arguments in batch:
        try:
            value, h = call_and_hash(*arguments)
        except Exception as error:
            results.append((None, None, error))
        else:
            results.append((value, h, None))
    return results


class Job:
    """A node handed to a backend: what to call, and what to commit afterwards."""

    __slots__ = ("node", "values", "signature", "key", "started")

    def __init__(self, node: Node, values: list[Any], signature: int, key: list[Any]) -> None:
        self.node, self.values, self.signature, self.key = node, values, signature, key
        self.started = time.perf_counter()


class Pass:
    def __init__(self, flow: Flow, schedule: list[str],
                 fetch: Callable[[list[Any]], list[Any]] | None = None, emit: Emitter | None = None) -> None:
        self.flow, self.graph, self.nodes = flow, flow.graph, flow._nodes
        self.schedule = schedule
        self.fetch = fetch  # brings values kept elsewhere (on a cluster) to this process
        self.store: Any = flow._store  # a cluster run wraps it
        self.check_mutation = flow._check_mutation
        self.report = Report()
        self.unusable: set[str] = set()  # failed, or blocked by a failure
        self.in_flight: dict[str, Job] = {}
        self.positions: dict[str, int] | None = None  # a concurrent run's schedule positions
        self.current: Node | None = None  # the fast path's node in flight
        self.current_signature = 0
        self.changes: list[tuple[str, Any, Any]] = []  # (name, old value, new value)
        self.emit = emit  # the hooks' events, or None when nothing listens

    def settling(self) -> int:
        """How many computed nodes the pass settles (for progress)."""
        nodes = self.nodes
        return sum(1 for name in self.schedule if nodes[name].kind != "input")

    # The walks --------------------------------------------------------------

    def run_inline(self) -> None:
        """The walk on the calling thread.  Plain nodes take the fast path
        below; the others, and every rare case, go through `visit`."""
        nodes, graph, report = self.nodes, self.graph, self.report
        check, skip, commit = graph.check_node, graph.skip_node, graph.commit_node
        memo_hit, recomputed, cut_off = report.memo_hits.append, report.recomputed.append, report.cut_off.append
        seconds, unusable, watched = report.seconds, self.unusable, self.flow._watchers
        simple = self.store is None and not self.check_mutation and self.fetch is None
        clock, frozen, array = time.perf_counter, self.flow._frozen, _array_type()
        emit = self.emit
        for name in self.schedule:
            node = nodes[name]
            if not (simple and node.plain) or (unusable and not unusable.isdisjoint(node.deps)):
                job = self.visit(node)
                if job is not None:
                    self.run_job_inline(job)
                continue
            _, needed, signature = check(name)
            forced = node.forced
            if not needed and not forced:
                skip(name, signature)
                memo_hit(name)
                node.failure = None  # an older attempt's error no longer describes it
                if emit: emit("memo_hit", name)  # noqa: E701
                continue
            values: list[Any] = []
            key: list[Any] = [node.version]
            for dep in node.inputs:
                value = dep.value
                if value is MISSING:
                    break
                values.append(value)
                key.append(dep.hash)
            else:
                if key == node.memo and not forced:
                    skip(name, signature)  # the same inputs as its last success
                    memo_hit(name)
                    node.failure = None
                    if emit: emit("memo_hit", name)  # noqa: E701
                    continue
                self.current, self.current_signature = node, signature
                if emit: emit("start", name)  # noqa: E701
                started = clock()
                try:
                    value = node.func(*values)  # type: ignore[misc]
                except Exception as error:
                    self.fail_inline(node, error)
                    continue
                try:
                    h = content_hash(value)
                except Exception as error:
                    failure = unhashable(name, error)
                    failure.__cause__ = error
                    self.fail_inline(node, failure)
                    continue
                seconds[name] = clock() - started
                node.previous_memo, node.memo, node.forced, node.failure = node.memo, key, False, None
                if h == node.hash and node.value is not MISSING:
                    skip(name, signature)
                    cut_off(name)
                    if emit: emit("cut_off", name, seconds[name])  # noqa: E701
                else:
                    if type(value) is array:
                        value = frozen(value)
                    old, node.value, node.hash = node.value, value, h
                    commit(name, signature)
                    recomputed(name)
                    if watched:
                        self.changes.append((name, old, node.value))
                    if emit: emit("finish", name, seconds[name])  # noqa: E701
                self.current = None
                continue
            self.fail_now(node, RuntimeError(f"{quoted(name)} has a dependency without a value"))

    def fail_inline(self, node: Node, error: BaseException) -> None:
        self.current = None
        self.fail_now(node, error)

    def run_job_inline(self, job: Job) -> None:
        node = job.node
        if node.is_async:
            error: BaseException = TypeError(
                f"{quoted(node.name)} is an async function: run the flow with `await flow.arun()`")
            return self.complete(job, None, 0, error)
        try:
            value = call_node(node.func, node.call, job.values)  # type: ignore[arg-type]
            h = value_hash(node, value)
        except Exception as raised:
            return self.complete(job, None, 0, raised)
        self.complete(job, value, h, None)

    def concurrent(self) -> _Scheduler:
        scheduler = _Scheduler(self)
        self.positions = scheduler.position  # not the scheduler, which refers back to this pass
        return scheduler

    def sort_report(self) -> None:
        """Puts a concurrent run's lists in topological order, as an inline run's are."""
        if self.positions is None:
            return
        position, report, last = self.positions, self.report, len(self.schedule)

        def place(name: str) -> int:
            return position.get(name, last)  # a value lost on a cluster may fail an unscheduled node

        for names in (report.inputs, report.recomputed, report.loaded, report.cut_off, report.memo_hits,
                      report.blocked):
            names.sort(key=place)
        report.failed = dict(sorted(report.failed.items(), key=lambda item: place(item[0])))

    # One node ---------------------------------------------------------------

    def visit(self, node: Node) -> Job | None:
        """Settles `node` now, or returns the job that computes it."""
        name = node.name
        if node.kind == "input":
            self.commit_input(node)
            return None
        deps = node.deps
        unusable = self.unusable
        if unusable and not unusable.isdisjoint(deps):
            unusable.add(name)
            self.report.blocked.append(name)
            if self.emit: self.emit("blocked", name)  # noqa: E701
            return None
        _, needed, signature = self.graph.check_node(name)
        if not needed and not node.forced:
            self.graph.skip_node(name, signature)
            self.report.memo_hits.append(name)
            node.failure = None  # an older attempt's error no longer describes it
            if self.emit: self.emit("memo_hit", name)  # noqa: E701
            return None
        nodes = self.nodes
        values = [nodes[d].value for d in deps]
        for v in values:
            if v is MISSING:  # never reached while the invariants hold; refuse rather than pass it on
                self.fail_now(node, RuntimeError(f"{quoted(name)} has a dependency without a value"))
                return None
        key = [node.version, *[nodes[d].hash for d in deps]]
        if key == node.memo and not node.forced:
            self.graph.skip_node(name, signature)  # the same inputs as its last success
            self.report.memo_hits.append(name)
            node.failure = None
            if self.emit: self.emit("memo_hit", name)  # noqa: E701
            return None
        if self.fetch is not None:
            try:
                values = self.fetch(values)
            except Exception as error:
                self.fail_now(node, error)
                return None
        job = Job(node, values, signature, key)
        if self.store is not None and self.load(job):
            return None
        if self.emit: self.emit("start", name)  # noqa: E701
        self.graph.set_computing(name)
        self.in_flight[name] = job
        return job

    def commit_input(self, node: Node) -> None:
        name = node.name
        if node.value is MISSING:
            self.fail_now(node, LookupError(
                f"input {quoted(name)} has no value: give it one with flow.set({name}=...)"))
            return
        h = node.hash
        assert h is not None
        if h != node.committed and name in self.flow._watchers:
            self.changes.append((name, self.flow._before.pop(name, MISSING), node.value))
        node.committed = h
        self.graph.commit_input(name, h)
        self.report.inputs.append(name)

    def load(self, job: Job) -> bool:
        node = job.node
        key = self.flow._store_key(node)
        if key is None:
            return False
        started = time.perf_counter()
        found, value = self.store.lookup(key)
        if not found:
            job.started = time.perf_counter()  # the call's own time, without the lookup's
            return False
        try:
            h = value_hash(node, value)
        except Exception:
            return False
        self.graph.set_computing(node.name)
        self.in_flight[node.name] = job
        job.started = started
        self.complete(job, value, h, None, loaded=True)
        return True

    def complete(self, job: Job, value: Any, h: int, error: BaseException | None,
                 loaded: bool = False) -> None:
        node, name, report = job.node, job.node.name, self.report
        report.seconds[name] = time.perf_counter() - job.started
        if error is None and self.check_mutation:
            error = self.mutation(node, job.values)
        if error is not None:
            del self.in_flight[name]
            self.graph.set_dirty(name)  # keeps its previous value; the next run retries
            node.failure = error
            report.failed[name] = error
            self.unusable.add(name)
            if self.emit: self.emit("failed", name, report.seconds[name], error)  # noqa: E701
            return
        node.previous_memo, node.memo, node.forced, node.failure = node.memo, job.key, False, None
        if node.cutoff and h == node.hash and node.value is not MISSING:
            self.graph.skip_node(name, job.signature)
            report.cut_off.append(name)
            if self.emit: self.emit("cut_off", name, report.seconds[name])  # noqa: E701
        else:
            if not node.cutoff:
                h = next(_tokens)  # every recomputation counts as a change
            old = node.value
            node.value, node.hash = self.flow._frozen(value), h
            self.graph.commit_node(name, job.signature)
            (report.loaded if loaded else report.recomputed).append(name)
            if self.emit: self.emit("loaded" if loaded else "finish", name, report.seconds[name])  # noqa: E701
            self.changes.append((name, old, node.value))
            if self.store is not None and not loaded:
                key = self.flow._store_key(node)
                if key is not None:
                    save_value(self.store, key, value, seconds=report.seconds[name], node=name, version=node.version)
        del self.in_flight[name]

    def mutation(self, node: Node, values: Sequence[Any]) -> BaseException | None:
        """Checks that `node` left its arguments as it found them.  A changed
        one is unusable for the rest of the run, and is recomputed (or, for an
        input, recommitted as it now is) by the next."""
        for dep, value in zip(node.deps, values):
            upstream = self.nodes[dep]
            if not upstream.hashed or content_hash(value) == upstream.hash:
                continue
            if upstream.kind == "input":
                upstream.hash = content_hash(value)
            else:
                upstream.forced, upstream.hash = True, next(_tokens)
            self.graph.mark_dirty([dep])
            self.unusable.add(dep)
            return RuntimeError(f"{quoted(node.name)} changed its argument {quoted(dep)} in place; "
                                "node functions must not mutate their arguments")
        return None

    def spoil(self, name: str) -> None:
        """`name`'s value was changed in place: unusable for the rest of the
        run, recomputed by the next, and a change for what depends on it."""
        node = self.nodes[name]
        node.forced, node.hash = True, next(_tokens)
        self.graph.mark_dirty([name])
        self.unusable.add(name)

    def fail_now(self, node: Node, error: BaseException) -> None:
        self.graph.set_dirty(node.name)
        node.failure = error
        self.report.failed[node.name] = error
        self.unusable.add(node.name)
        if self.emit: self.emit("failed", node.name, None, error)  # noqa: E701

    def abandon(self) -> None:
        """After an escape: every node in flight runs again next time, and its
        dependents compare contents before trusting it."""
        in_flight = [(self.nodes[name], job.signature) for name, job in self.in_flight.items()]
        if self.current is not None:
            in_flight.append((self.current, self.current_signature))
        for node, signature in in_flight:
            node.forced = True
            self.graph.commit_node(node.name, signature)
            self.graph.set_dirty(node.name)
        self.in_flight.clear()
        self.current = None


class _Scheduler:
    """Dependency counting over the schedule, for backends that run nodes
    concurrently: a node becomes ready when every scheduled dependency is settled."""

    def __init__(self, run: Pass) -> None:
        self.run = run
        schedule, nodes = run.schedule, run.nodes
        self.position = position = {name: k for k, name in enumerate(schedule)}
        self.waiting = [0] * len(schedule)
        self.dependents: list[list[int]] = [[] for _ in schedule]
        for k, name in enumerate(schedule):
            for d in nodes[name].deps:
                j = position.get(d)
                if j is not None:
                    self.waiting[k] += 1
                    self.dependents[j].append(k)
        self.ready = [k for k, w in enumerate(self.waiting) if w == 0]

    def next_jobs(self) -> list[Job]:
        """Visits every ready node; returns the jobs to start."""
        jobs: list[Job] = []
        ready, run, schedule = self.ready, self.run, self.run.schedule
        while ready:
            name = schedule[heapq.heappop(ready)]
            job = run.visit(run.nodes[name])
            if job is None:
                self.settled(name)
            else:
                jobs.append(job)
        return jobs

    def settled(self, name: str) -> None:
        for k in self.dependents[self.position[name]]:
            self.waiting[k] -= 1
            if self.waiting[k] == 0:
                heapq.heappush(self.ready, k)

    def finish(self, job: Job, value: Any, h: int, error: BaseException | None) -> None:
        self.run.complete(job, value, h, error)
        self.settled(job.node.name)
