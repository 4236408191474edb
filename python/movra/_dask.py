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

from ._backends import call, call_and_hash
from ._declare import CallPlan
from ._names import listed, quoted
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

def compute(name: str, func: Callable[..., Any], call_plan: CallPlan | None, deps: Sequence[str],
            expected: Sequence[int | None] | None, hashed: bool, topic: str, key: str,
            args: list[Any], kwargs: dict[str, Any] | None) -> Any:
    """Runs on a worker: calls the node's function, checks (with `expected`,
    its dependencies' hashes) that it left its arguments unchanged, and sends
    the value's hash to the driver."""
    value, h = call_and_hash(name, func, hashed, tuple(args), kwargs)
    if expected is not None:
        for k, (arg, want) in enumerate(zip(_in_dependency_order(call_plan, args, kwargs), expected)):
            if want is not None and content_hash(arg) != want:
                raise MutatedArgument(f"{quoted(name)} changed its argument {quoted(deps[k])} in place; "
                                      "node functions must not mutate their arguments", k)
    _check_pickles(name, value)
    distributed.get_worker().log_event(topic, [key, h])
    return value


def _in_dependency_order(plan: CallPlan | None, args: list[Any], kwargs: dict[str, Any] | None) -> list[Any]:
    if plan is None:
        return list(args)
    values: dict[int, Any] = dict(zip(plan.positional, args))
    values.update((index, (kwargs or {})[name]) for name, index in plan.keywords)
    return [values[k] for k in sorted(values)]


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

def prepare(flow: Flow, engine: Any, executor: Any) -> Callable[[Any], Any] | None:
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
    lost = lost_values(engine, held, client)
    if lost:
        engine.drop(lost)
        held.names.difference_update(lost)
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


def _future_of(engine: Any, name: str) -> Any:
    try:
        value = engine.value(name)
    except KeyError:
        return None
    return value if is_future(value) else None


def lost_values(engine: Any, held: _Held, client: Any | None) -> list[str]:
    """The nodes whose value is a future that can no longer be trusted: one
    lost with a worker, cancelled, failed, or belonging to a client that is
    closed or is not the one this run uses.  Names no longer holding a future
    are forgotten."""
    lost: list[str] = []
    by_client: dict[Any, list[tuple[str, Any]]] = {}
    for name in list(held.names):
        future = _future_of(engine, name)
        if future is None:
            held.names.discard(name)
        elif future.status not in ("finished", "pending") or future.client.status != "running" or (
                client is not None and future.client is not client):
            lost.append(name)
        else:
            by_client.setdefault(future.client, []).append((name, future))
    for owner, pairs in by_client.items():
        keys = removed_keys(owner, held)
        if keys is None:
            lost.extend(n for n, _ in pairs)  # its scheduler cannot say
        else:
            lost.extend(n for n, f in pairs if f.key in keys)
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


def fetch_all(values: Any) -> Any:
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


def drive(flow: Flow, engine: Any, run: Any, client: Any, check_mutation: bool) -> None:
    """Runs the jobs on the cluster; see the module's description."""
    held = _held.setdefault(flow, _Held())
    if held.seen.get(client.scheduler.address) is None:
        removed_keys(client, held)  # what happened before this flow used the cluster is not its loss
    _Driver(engine, run, client, held, check_mutation).drive()


class _Driver:
    """One cluster run: submits ready jobs, hands back hashes as they arrive,
    and watches for workers leaving the cluster."""

    def __init__(self, engine: Any, run: Any, client: Any, held: _Held, check_mutation: bool) -> None:
        self.engine, self.run, self.client, self.held = engine, run, client, held
        self.check_mutation = check_mutation
        self.topic = _listen(client)
        self.running: dict[str, _Task] = {}  # by task key
        self.inbox: queue.SimpleQueue[Any] = queue.SimpleQueue()  # finished futures, and [key, hash] pairs
        self.lost: dict[str, None] = {}  # nodes whose value left with a worker, in the order seen

    def drive(self) -> None:
        run, running = self.run, self.running
        try:
            while True:
                self.start(run.ready())
                if not running:
                    if run.finished:
                        break
                    continue
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

    def start(self, jobs: list[Any]) -> None:
        """Submits the jobs together; one whose function does not pickle fails alone."""
        if not jobs:
            return
        keys = [f"{job[1].name}-{uuid.uuid4().hex}" for job in jobs]
        for key in keys:  # before submitting: a hash may come back at once
            _inboxes[key] = self.inbox
        try:
            futures = self.client.map(compute, *zip(*(self.arguments(job, key) for job, key in zip(jobs, keys))),
                                      key=keys, pure=False)
        except Exception:
            for key in keys:
                del _inboxes[key]
            if len(jobs) == 1:
                self.run.fail(jobs[0][0], self.unsendable(jobs[0]))
                return
            for job in jobs:
                self.start([job])
            return
        for job, key, future in zip(jobs, keys, futures):
            self.running[key] = _Task(job, future)
            future.add_done_callback(self.inbox.put)

    def arguments(self, job: Any, key: str) -> tuple[Any, ...]:
        token, node, args, kwargs = job
        expected = self.run.expected(token) if self.check_mutation else None
        return node.name, node.func, node.call, node.deps, expected, node.hashed, self.topic, key, list(args), kwargs

    def unsendable(self, job: Any) -> Exception:
        name = job[1].name
        try:
            self.client.submit(compute, *self.arguments(job, "probe"), key=f"probe-{uuid.uuid4().hex}")
        except Exception as error:
            return type(error)(f"{quoted(name)} cannot be sent to the cluster: {error}")
        return RuntimeError(f"{quoted(name)} cannot be sent to the cluster")

    def settle(self, batch: list[Any]) -> None:
        """Records hashes and finished tasks; hands back, in token order, the
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
        settled.sort(key=lambda t: t.job[0])
        for task in settled:
            key = task.value.key
            if running.pop(key, None) is None:
                continue  # listed twice in this batch
            _inboxes.pop(key, None)
            if task.value.status == "finished":
                self.run.complete(task.job[0], task.value, task.hash)
                if _future_of(self.engine, task.job[1].name) is task.value:
                    self.held.names.add(task.job[1].name)
            else:
                self.fail(task)

    def fail(self, task: _Task) -> None:
        token, node = task.job[0], task.job[1]
        value = task.value
        error = value.exception() if value.status == "error" else None
        if not isinstance(error, BaseException):
            error = RuntimeError(f"{quoted(node.name)} did not finish on the cluster ({value.status})")
        if isinstance(error, MutatedArgument):
            dep = node.deps[error.position]
            definition = self.engine.definition(dep)
            if definition is not None and definition.kind != "input":
                # an input's value was copied to the worker: the driver's is intact
                self.run.spoil(dep)
        self.run.fail(token, error)

    def check_workers(self) -> None:
        """Reads which workers left the cluster: the values they held are
        lost, and the jobs that needed them, or ran there, fail."""
        keys = removed_keys(self.client, self.held)
        if keys is None:  # the scheduler is gone, and every value with it
            keys = {f.key for n in self.held.names if (f := _future_of(self.engine, n)) is not None}
            keys.update(self.running)
        if not keys:
            return
        for name in list(self.held.names):
            future = _future_of(self.engine, name)
            if future is not None and future.key in keys:
                self.lost[name] = None
                self.held.names.discard(name)
                needed_by = [t for t in self.running.values()
                             if any(v is future for v in (*t.job[2], *(t.job[3] or {}).values()))]
                for task in needed_by:
                    task.lost_inputs.append(name)
                self.run.lose(name, LostValue(f"the value of {quoted(name)} was lost with a worker of the "
                                              "cluster; the next run recomputes it"))
        for key, task in list(self.running.items()):
            token, node = task.job[0], task.job[1]
            needed = task.lost_inputs
            if needed:
                message = f"{quoted(node.name)} needed {listed(needed)}, lost with a worker of the cluster"
            elif key in keys:
                message = f"{quoted(node.name)} was running on a worker that left the cluster"
            else:
                continue
            del self.running[key]
            _inboxes.pop(key, None)
            task.value.cancel()
            self.run.fail(token, LostValue(message + "; the next run retries it"))



class _Task:
    __slots__ = ("job", "value", "hash", "hashed", "lost_inputs")

    def __init__(self, job: Any, value: Any) -> None:
        self.job, self.value = job, value
        self.hash: int | None = None
        self.hashed = False  # whether the hash arrived
        self.lost_inputs: list[str] = []  # its arguments' nodes whose values left with a worker


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
