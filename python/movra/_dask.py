"""Running a flow on Dask's distributed scheduler, values kept on the workers.

`drive(run, client)` is the backend behind `flow.run(executor=client)`:

1. every ready node becomes two tasks: one computes the value, which stays on
   the worker as a `distributed.Future` (the node's value in the flow), and one
   hashes it there; only the 8-byte hash comes back, and every kernel call
   stays on the driver's thread;
2. a node's arguments are its dependencies' futures, so values move from worker
   to worker and never through the driver;
3. a worker that dies takes the values it held with it.  Dask would quietly
   recompute them, but a recomputed source (or any impure function) may give a
   different value than the one whose hash the flow holds.  So the driver reads
   the scheduler's record of removed workers after each run and before the
   next: a node whose value was lost is forced to run again, marked dirty with
   everything downstream, and the run that saw the loss raises FlowError
   naming it.

A value must travel between processes, so it must pickle: a value task checks
that its value does, since a value that cannot be sent would leave the worker
that needs it waiting forever.

Other backends never see futures: before an inline or executor run, `prepare`
gives the run a `fetch` that brings the dependencies' values to the driver.
"""
from __future__ import annotations

import importlib
import pickle
import queue
import uuid
import weakref
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import distributed

from ._declare import MISSING, CallPlan
from ._names import listed, quoted
from ._run import Job, Pass, _tokens, call_node, hash_of
from .hashing import content_hash

if TYPE_CHECKING:
    from .flow import Flow

# Dask's classes, seen as Any: its annotations do not satisfy strict checking.
Client: Any = distributed.Client
Future: Any = distributed.Future

# Seconds to wait for the scheduler before deciding it cannot be reached.
SCHEDULER_TIMEOUT = 10.0
# Seconds without a finished job after which a run asks whether a worker left.
POLL_SECONDS = 0.5

# Values whose pickling cannot fail: they skip the check on the worker.
_ALWAYS_PICKLE = frozenset({type(None), bool, int, float, complex, str, bytes})


class _Held:
    """What the driver knows of one flow's values on clusters."""

    __slots__ = ("names", "seen")

    def __init__(self) -> None:
        self.names: set[str] = set()  # nodes whose value may be a Future
        self.seen: dict[str, float] = {}  # scheduler address -> time of the last event read


_held: weakref.WeakKeyDictionary[Flow, _Held] = weakref.WeakKeyDictionary()


class LostValue(RuntimeError):
    """A node's value was on a worker that left the cluster."""


class MutatedArgument(RuntimeError):
    """Raised on a worker when a node changed its argument at `position` in place."""

    def __init__(self, message: str, position: int) -> None:
        super().__init__(message)
        self.position = position

    def __reduce__(self) -> tuple[Any, ...]:
        return MutatedArgument, (self.args[0], self.position)


def is_future(value: Any) -> bool:
    return isinstance(value, Future)


# On the workers --------------------------------------------------------------

def compute(name: str, func: Callable[..., Any], call: CallPlan | None, deps: Sequence[str],
            expected: Sequence[int | None] | None, *values: Any) -> Any:
    """Calls the node's function; with `expected` (its arguments' hashes),
    checks that it left them unchanged."""
    value = call_node(func, call, values)
    if expected is not None:
        for k, (arg, h) in enumerate(zip(values, expected)):
            if h is not None and content_hash(arg) != h:
                raise MutatedArgument(f"{quoted(name)} changed its argument {quoted(deps[k])} in place; "
                                      "node functions must not mutate their arguments", k)
    _check_pickles(name, value)
    return value


def _check_pickles(name: str, value: Any) -> None:
    if type(value) in _ALWAYS_PICKLE:
        return
    try:
        pickle.dumps(value, protocol=5, buffer_callback=_out_of_band)
        return
    except Exception:
        pass
    try:  # what Dask falls back to: it pickles functions and classes by value
        cloudpickle = importlib.import_module("cloudpickle")
        cloudpickle.dumps(value, protocol=5, buffer_callback=_out_of_band)
    except Exception as error:
        raise TypeError(f"the value of {quoted(name)} cannot be pickled, so it cannot move between "
                        f"the cluster's processes: {error}") from None


def _out_of_band(buffer: pickle.PickleBuffer) -> bool:
    """Leaves large buffers (NumPy arrays and the like) out of the check: they are not copied."""
    return False


def value_hash(name: str, hashed: bool, value: Any) -> int | None:
    """Runs where the value is; only its result travels to the driver."""
    return hash_of(name, value) if hashed else None


# On the driver ---------------------------------------------------------------

def prepare(flow: Flow, executor: Any) -> Callable[[list[Any]], list[Any]] | None:
    """Before a run: checks the client it will use, and finds the values that
    left the cluster since the flow last looked.  Those nodes are forced to
    run again.  For a run that does not use a cluster, returns the function
    that brings cluster values to the driver."""
    client = executor if isinstance(executor, Client) else None
    if client is not None:
        check_client(client)
    held = _held.get(flow)
    if held is None:
        return None
    lost = lost_values(flow, held, client)
    if lost:
        drop(flow, lost)
    if client is not None or not held.names:
        return None
    return fetch_all


def check_client(client: Any) -> None:
    status = client.status
    if status != "running":
        raise RuntimeError(f"the Dask client is {status}: connect it (or make a new one) before running "
                           "the flow on the cluster")
    try:
        client.sync(client.scheduler.identity, callback_timeout=SCHEDULER_TIMEOUT)
    except Exception as error:
        raise ConnectionError(f"cannot reach the Dask scheduler at {client.scheduler.address}: "
                              f"{type(error).__name__}: {error}") from error


def lost_values(flow: Flow, held: _Held, client: Any | None) -> list[str]:
    """The nodes whose value is a future that can no longer be trusted: one
    lost with a worker, cancelled, failed, or belonging to a client that is
    closed or is not the one this run uses.  Names no longer holding a future
    are forgotten."""
    nodes, lost = flow._nodes, []
    by_client: dict[Any, list[str]] = {}
    for name in list(held.names):
        node = nodes.get(name)
        future: Any = None if node is None else node.value
        if not is_future(future):
            held.names.discard(name)
        elif future.status not in ("finished", "pending") or future.client.status != "running" or (
                client is not None and future.client is not client):
            lost.append(name)
        else:
            by_client.setdefault(future.client, []).append(name)
    for owner, names in by_client.items():
        keys = removed_keys(owner, held)
        if keys is None:
            lost.extend(names)  # its scheduler cannot say
        else:
            lost.extend(n for n in names if nodes[n].value.key in keys)
    return lost


def removed_keys(client: Any, held: _Held) -> set[Any] | None:
    """The keys that workers removed since the last look took with them, from
    the scheduler's event log; None if the scheduler cannot be reached."""
    try:
        events = client.sync(client.scheduler.events, topic="all", callback_timeout=SCHEDULER_TIMEOUT)
    except Exception:
        return None
    address = client.scheduler.address
    seen = held.seen.get(address, float("-inf"))
    keys: set[Any] = set()
    for when, event in events:
        if when > seen and isinstance(event, dict) and event.get("action") == "remove-worker":
            keys.update(event.get("lost-computed-tasks", ()))
            keys.update(event.get("lost-scattered-tasks", ()))
    if events:
        held.seen[address] = max(seen, max(when for when, _ in events))
    return keys


def drop(flow: Flow, names: list[str]) -> None:
    """Forgets lost values: each node runs again, and what depends on it is dirty."""
    held = _held.get(flow)
    for name in names:
        node = flow._nodes[name]
        node.value, node.forced = MISSING, True
        if held is not None:
            held.names.discard(name)
    if not flow._stale:
        flow.graph.mark_dirty(names)


def fetch_all(values: list[Any]) -> list[Any]:
    """The values with every future replaced by its result, fetched together."""
    futures = [v for v in values if is_future(v)]
    if not futures:
        return values
    results = iter(futures[0].client.gather(futures))
    return [next(results) if is_future(v) else v for v in values]


def fetch(name: str, future: Any) -> Any:
    """`flow[name]` for a value kept on the cluster."""
    try:
        return future.result()
    except Exception as error:
        raise LookupError(f"the value of {quoted(name)} cannot be fetched from the cluster "
                          f"({type(error).__name__}: {error}); run the flow to recompute it") from error


class _FetchingStore:
    """A store seen through a cluster run: a value is fetched to be saved."""

    def __init__(self, store: Any) -> None:
        self.store = store

    def lookup(self, key: str) -> tuple[bool, Any]:
        found, value = self.store.lookup(key)
        return found, value

    def save(self, key: str, value: Any) -> None:
        self.store.save(key, value.result() if is_future(value) else value)


def drive(run: Pass, client: Any) -> None:
    """Runs the pass's jobs on the cluster; see the module's description."""
    held = _held.setdefault(run.flow, _Held())
    if held.seen.get(client.scheduler.address) is None:
        removed_keys(client, held)  # what happened before this flow used the cluster is not its loss
    if run.store is not None:
        run.store = _FetchingStore(run.store)
    check_mutation, run.check_mutation = run.check_mutation, False  # checked on the workers
    try:
        _Driver(run, client, held, check_mutation).drive()
    finally:
        run.check_mutation = check_mutation


class _Driver:
    """One cluster run: submits ready jobs, commits hashes as they arrive, and
    watches for workers leaving the cluster."""

    def __init__(self, run: Pass, client: Any, held: _Held, check_mutation: bool) -> None:
        self.run, self.client, self.held, self.check_mutation = run, client, held, check_mutation
        self.scheduler = run.concurrent()
        self.running: dict[Any, tuple[Job, Any, Any]] = {}  # hash task's key -> (job, value, hash)
        self.done: queue.SimpleQueue[Any] = queue.SimpleQueue()  # filled by Dask's callback thread
        self.lost: dict[str, None] = {}  # nodes whose value left with a worker, in the order seen

    def drive(self) -> None:
        scheduler, running = self.scheduler, self.running
        try:
            while True:
                for job in scheduler.next_jobs():
                    self.start(job)
                if not running:
                    if scheduler.ready:
                        continue
                    break
                try:
                    batch = [self.done.get(timeout=POLL_SECONDS)]
                except queue.Empty:
                    self.check_workers()  # nothing finished for a while: a worker may have left
                    continue
                while not self.done.empty():
                    batch.append(self.done.get())
                self.settle(batch)
        except BaseException:
            for _, value, hashed in running.values():
                value.cancel()
                hashed.cancel()
            raise
        self.check_workers()
        self.fail_lost()

    def start(self, job: Job) -> None:
        try:
            value, hashed = submit(self.client, self.run, job, self.check_mutation)
        except Exception as error:
            self.scheduler.finish(job, None, 0, error)
            return
        self.running[hashed.key] = job, value, hashed
        hashed.add_done_callback(self.done.put)

    def settle(self, batch: list[Any]) -> None:
        """Commits finished jobs in schedule order, their hashes fetched together."""
        position, running = self.scheduler.position, self.running
        batch = [f for f in batch if f.key in running]  # not one cancelled since
        batch.sort(key=lambda f: position[running[f.key][0].node.name])
        finished = [f for f in batch if f.status == "finished"]
        hashes = dict(zip([f.key for f in finished], self.client.gather(finished))) if finished else {}
        for hashed in batch:
            job, value, _ = running.pop(hashed.key)
            if hashed.key in hashes:
                h = hashes[hashed.key]
                self.scheduler.finish(job, value, next(_tokens) if h is None else h, None)
                if job.node.value is value:
                    self.held.names.add(job.node.name)
            else:
                self.fail(job, hashed)

    def fail(self, job: Job, hashed: Any) -> None:
        run = self.run
        error = hashed.exception() if hashed.status == "error" else None
        if not isinstance(error, BaseException):
            error = RuntimeError(f"{quoted(job.node.name)} did not finish on the cluster ({hashed.status})")
        if isinstance(error, MutatedArgument):
            dep = job.node.deps[error.position]
            if run.nodes[dep].kind != "input":  # an input's value was copied to the worker: the driver's is intact
                run.spoil(dep)
        self.scheduler.finish(job, None, 0, error)

    def check_workers(self) -> None:
        """Reads which workers left the cluster: the values they held are
        lost, and the jobs that needed them, or ran there, fail."""
        keys = removed_keys(self.client, self.held)
        nodes, run = self.run.nodes, self.run
        if keys is None:  # the scheduler is gone, and every value with it
            keys = {nodes[n].value.key for n in self.held.names
                    if n in nodes and is_future(nodes[n].value)}
            keys.update(k for _, value, hashed in self.running.values() for k in (value.key, hashed.key))
        if not keys:
            return
        for name in list(self.held.names):
            value: Any = nodes[name].value if name in nodes else None
            if is_future(value) and value.key in keys:
                self.lost[name] = None
                run.unusable.add(name)  # what depends on it and has not started is blocked
        for key, (job, value, hashed) in list(self.running.items()):
            needed = [d for d, v in zip(job.node.deps, job.values) if is_future(v) and v.key in keys]
            if needed:
                message = f"{quoted(job.node.name)} needed {listed(needed)}, lost with a worker of the cluster"
            elif value.key in keys or hashed.key in keys:
                message = f"{quoted(job.node.name)} was running on a worker that left the cluster"
            else:
                continue
            del self.running[key]
            value.cancel()
            hashed.cancel()
            self.scheduler.finish(job, None, 0, LostValue(message + "; the next run retries it"))

    def fail_lost(self) -> None:
        """Fails the nodes whose values left with a worker during the run: each
        runs again next time, and what depends on it is dirty."""
        run = self.run
        lost = [n for n in self.lost if n in run.nodes]
        if not lost:
            return
        drop(run.flow, lost)
        for name in lost:
            error = LostValue(f"the value of {quoted(name)} was lost with a worker of the cluster; "
                              "the next run recomputes it")
            run.nodes[name].failure = error
            run.report.failed[name] = error


def submit(client: Any, run: Pass, job: Job, check_mutation: bool) -> tuple[Any, Any]:
    """Starts the job's two tasks: the value, kept on its worker, and its hash."""
    node = job.node
    name = node.name
    if node.is_async:
        raise TypeError(f"{quoted(name)} is an async function: run the flow with `await flow.arun()`")
    expected = None
    if check_mutation:
        expected = [run.nodes[d].hash if run.nodes[d].hashed else None for d in node.deps]
    token = uuid.uuid4().hex
    try:
        value = client.submit(compute, name, node.func, node.call, node.deps, expected, *job.values,
                              key=f"{name}-{token}", pure=False)
    except Exception as error:
        raise type(error)(f"{quoted(name)} cannot be sent to the cluster: {error}") from error
    hashed = client.submit(value_hash, name, node.hashed, value, key=f"{name}-hash-{token}", pure=False)
    return value, hashed
