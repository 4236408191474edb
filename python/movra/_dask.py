"""Running a flow on Dask's distributed scheduler, values kept on the workers.

`drive(run, client)` is the backend behind `flow.run(executor=client)`:

1. every ready node becomes one task (the ready nodes of a wave are submitted
   together).  It computes the value, which stays on the worker as a
   `distributed.Future` (the node's value in the flow), hashes it there and
   sends only the hash to the driver, as an event on the client's topic; every
   kernel call stays on the driver's thread.  (Against a second task that
   hashes the value, fetched with `gather`, this halves the cost per node:
   `benchmarks/dask_cluster.py --compare-hash-transport`.)
2. a node's arguments are its dependencies' futures, so values move from worker
   to worker and never through the driver;
3. a worker that dies takes the values it held with it.  Dask would quietly
   recompute them, but a recomputed source (or any impure function) may give a
   different value than the one whose hash the flow holds.  So the driver reads
   the scheduler's record of removed workers after each run, before the next,
   and whenever a run waits long: a node whose value was lost is forced to run
   again, marked dirty with everything downstream, and the run that saw the
   loss raises FlowError naming it; a job that needed such a value, or ran on
   that worker, fails and is retried by the next run.

A value must travel between processes, so it must pickle: the task checks that
its value does, since a value that cannot be sent would leave the worker that
needs it waiting forever.

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
            expected: Sequence[int | None] | None, hashed: bool, topic: str, key: str,
            values: Sequence[Any]) -> Any:
    """Runs on a worker: calls the node's function, checks (with `expected`,
    its arguments' hashes) that it left them unchanged, and sends the value's
    hash to the driver."""
    value = call_node(func, call, values)
    if expected is not None:
        for k, (arg, h) in enumerate(zip(values, expected)):
            if h is not None and content_hash(arg) != h:
                raise MutatedArgument(f"{quoted(name)} changed its argument {quoted(deps[k])} in place; "
                                      "node functions must not mutate their arguments", k)
    _check_pickles(name, value)
    h = hash_of(name, value) if hashed else None
    distributed.get_worker().log_event(topic, [key, h])
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
        self.topic = _listen(client)
        self.running: dict[str, _Task] = {}  # by task key
        self.inbox: queue.SimpleQueue[Any] = queue.SimpleQueue()  # finished futures, and [key, hash] pairs
        self.lost: dict[str, None] = {}  # nodes whose value left with a worker, in the order seen

    def drive(self) -> None:
        scheduler, running = self.scheduler, self.running
        try:
            while True:
                self.start(scheduler.next_jobs())
                if not running:
                    if scheduler.ready:
                        continue
                    break
                try:
                    batch = [self.inbox.get(timeout=POLL_SECONDS)]
                except queue.Empty:
                    self.check_workers()  # nothing arrived for a while: a worker may have left
                    continue
                while not self.inbox.empty():
                    batch.append(self.inbox.get())
                self.settle(batch)
        except BaseException:
            for task in running.values():
                task.value.cancel()
            raise
        finally:
            for key in running:
                _inboxes.pop(key, None)
        self.check_workers()
        self.fail_lost()

    def start(self, jobs: list[Job]) -> None:
        """Submits the jobs together; one whose function does not pickle fails alone."""
        if not jobs:
            return
        jobs = [job for job in jobs if not self.refused(job)]
        keys = [f"{job.node.name}-{uuid.uuid4().hex}" for job in jobs]
        for key in keys:  # before submitting: a hash may come back at once
            _inboxes[key] = self.inbox
        try:
            futures = self.client.map(compute, *zip(*(self.arguments(job, key) for job, key in zip(jobs, keys))),
                                      key=keys, pure=False)
        except Exception:
            for key in keys:
                del _inboxes[key]
            if len(jobs) == 1:
                job = jobs[0]
                self.scheduler.finish(job, None, 0, self.unsendable(job))
                return
            for job in jobs:
                self.start([job])
            return
        for job, key, future in zip(jobs, keys, futures):
            self.running[key] = _Task(job, future)
            future.add_done_callback(self.inbox.put)

    def refused(self, job: Job) -> bool:
        if not job.node.is_async:
            return False
        self.scheduler.finish(job, None, 0, TypeError(
            f"{quoted(job.node.name)} is an async function: run the flow with `await flow.arun()`"))
        return True

    def arguments(self, job: Job, key: str) -> tuple[Any, ...]:
        node, nodes = job.node, self.run.nodes
        expected = None
        if self.check_mutation:
            expected = [nodes[d].hash if nodes[d].hashed else None for d in node.deps]
        return node.name, node.func, node.call, node.deps, expected, node.hashed, self.topic, key, job.values

    def unsendable(self, job: Job) -> Exception:
        try:
            self.client.submit(compute, *self.arguments(job, "probe"), key=f"probe-{uuid.uuid4().hex}")
        except Exception as error:
            return type(error)(f"{quoted(job.node.name)} cannot be sent to the cluster: {error}")
        return RuntimeError(f"{quoted(job.node.name)} cannot be sent to the cluster")

    def settle(self, batch: list[Any]) -> None:
        """Records hashes and finished tasks; commits, in schedule order, the
        jobs that have both (or that failed)."""
        running, settled = self.running, []
        for item in batch:
            if not is_future(item):  # (key, hash) from the worker
                task = running.get(item[0])
                if task is not None:
                    task.hash, task.hashed = item[1], True
                    if task.value.status == "finished":
                        settled.append(task)
                continue
            task = running.get(item.key)
            if task is not None and (item.status in ("error", "cancelled") or task.hashed):
                settled.append(task)
        position = self.scheduler.position
        settled.sort(key=lambda t: position[t.job.node.name])
        for task in settled:
            key = task.value.key
            if running.pop(key, None) is None:
                continue  # listed twice in this batch
            _inboxes.pop(key, None)
            if task.value.status == "finished":
                h = task.hash
                self.scheduler.finish(task.job, task.value, next(_tokens) if h is None else h, None)
                if task.job.node.value is task.value:
                    self.held.names.add(task.job.node.name)
            else:
                self.fail(task)

    def fail(self, task: _Task) -> None:
        run, job, value = self.run, task.job, task.value
        error = value.exception() if value.status == "error" else None
        if not isinstance(error, BaseException):
            error = RuntimeError(f"{quoted(job.node.name)} did not finish on the cluster ({value.status})")
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
            keys = {nodes[n].value.key for n in self.held.names if n in nodes and is_future(nodes[n].value)}
            keys.update(self.running)
        if not keys:
            return
        for name in list(self.held.names):
            value: Any = nodes[name].value if name in nodes else None
            if is_future(value) and value.key in keys:
                self.lost[name] = None
                run.unusable.add(name)  # what depends on it and has not started is blocked
        for key, task in list(self.running.items()):
            job = task.job
            needed = [d for d, v in zip(job.node.deps, job.values) if is_future(v) and v.key in keys]
            if needed:
                message = f"{quoted(job.node.name)} needed {listed(needed)}, lost with a worker of the cluster"
            elif key in keys:
                message = f"{quoted(job.node.name)} was running on a worker that left the cluster"
            else:
                continue
            del self.running[key]
            _inboxes.pop(key, None)
            task.value.cancel()
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
            if run.emit: run.emit("failed", name, None, error)  # noqa: E701


class _Task:
    __slots__ = ("job", "value", "hash", "hashed")

    def __init__(self, job: Job, value: Any) -> None:
        self.job, self.value = job, value
        self.hash: int | None = None
        self.hashed = False  # whether the hash arrived


# Where each running task's hash goes, by task key: the topic's handler is
# shared by every run on a client.
_inboxes: dict[str, queue.SimpleQueue[Any]] = {}
_listening: weakref.WeakSet[Any] = weakref.WeakSet()


def _listen(client: Any) -> str:
    """The client's topic for hashes, subscribed to once."""
    topic = f"movra-hashes-{client.id}"
    if client not in _listening:
        client.subscribe_topic(topic, _route)
        _listening.add(client)
    return topic


def _route(event: tuple[float, list[Any]]) -> None:
    key = event[1][0]
    inbox = _inboxes.get(key)
    if inbox is not None:
        inbox.put(event[1])
