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

import pickle
import uuid
import weakref
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from distributed import Client, Future, as_completed

from ._declare import MISSING, CallPlan
from ._names import listed, quoted
from ._run import Job, Pass, _tokens, call_node, hash_of
from .hashing import content_hash

if TYPE_CHECKING:
    from .flow import Flow

# Seconds to wait for the scheduler before deciding it cannot be reached.
SCHEDULER_TIMEOUT = 10.0

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
    """Raised on a worker when a node changed an argument in place; `args[1]`
    is the dependency's position."""


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
        import cloudpickle
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


def check_client(client: Client) -> None:
    status = client.status
    if status != "running":
        raise RuntimeError(f"the Dask client is {status}: connect it (or make a new one) before running "
                           "the flow on the cluster")
    try:
        client.sync(client.scheduler.identity, callback_timeout=SCHEDULER_TIMEOUT)
    except Exception as error:
        raise ConnectionError(f"cannot reach the Dask scheduler at {client.scheduler.address}: "
                              f"{type(error).__name__}: {error}") from error


def lost_values(flow: Flow, held: _Held, client: Client | None) -> list[str]:
    """The nodes whose value is a future that can no longer be trusted: one
    lost with a worker, cancelled, failed, or belonging to a client that is
    closed or is not the one this run uses.  Names no longer holding a future
    are forgotten."""
    nodes, lost = flow._nodes, []
    by_client: dict[Client, list[str]] = {}
    for name in list(held.names):
        node = nodes.get(name)
        future = None if node is None else node.value
        if not isinstance(future, Future):
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


def removed_keys(client: Client, held: _Held) -> set[Any] | None:
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
    futures = [v for v in values if isinstance(v, Future)]
    if not futures:
        return values
    results = iter(futures[0].client.gather(futures))
    return [next(results) if isinstance(v, Future) else v for v in values]


def fetch(name: str, future: Future) -> Any:
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
        self.store.save(key, value.result() if isinstance(value, Future) else value)


def drive(run: Pass, client: Client) -> None:
    """Runs the pass's jobs on the cluster; see the module's description."""
    flow = run.flow
    held = _held.setdefault(flow, _Held())
    if held.seen.get(client.scheduler.address) is None:
        removed_keys(client, held)  # what happened before this flow used the cluster is not its loss
    if run.store is not None:
        run.store = _FetchingStore(run.store)
    check_mutation, run.check_mutation = run.check_mutation, False  # checked on the workers
    scheduler = run.concurrent()
    results = as_completed(with_results=True, raise_errors=False)
    running: dict[Any, tuple[Job, Future]] = {}  # hash task's key -> (job, value future)
    try:
        while True:
            for job in scheduler.next_jobs():
                try:
                    value, hashed = submit(client, run, job, check_mutation)
                except Exception as error:
                    scheduler.finish(job, None, 0, error)
                    continue
                running[hashed.key] = job, value
                results.add(hashed)
            if not running:
                if scheduler.ready:
                    continue
                break
            done = results.next_batch(block=True)
            done.sort(key=lambda pair: scheduler.position[running[pair[0].key][0].node.name])
            for hashed, outcome in done:
                job, value = running.pop(hashed.key)
                settle(run, scheduler, job, value, hashed, outcome)
                if job.node.value is value:
                    held.names.add(job.node.name)
    except BaseException:
        for job, value in running.values():
            value.cancel()
        raise
    finally:
        run.check_mutation = check_mutation
    report_lost(run, held, client)


def submit(client: Client, run: Pass, job: Job, check_mutation: bool) -> tuple[Future, Future]:
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


def settle(run: Pass, scheduler: Any, job: Job, value: Future, hashed: Future, outcome: Any) -> None:
    if hashed.status == "finished":
        scheduler.finish(job, value, next(_tokens) if outcome is None else outcome, None)
        return
    error = outcome[1] if isinstance(outcome, tuple) else outcome
    if not isinstance(error, BaseException):
        error = RuntimeError(f"{quoted(job.node.name)} did not finish on the cluster ({hashed.status})")
    if isinstance(error, MutatedArgument):
        dep = job.node.deps[error.args[1]]
        if run.nodes[dep].kind != "input":  # an input's value was copied to the worker: the driver's is intact
            run.spoil(dep)
    scheduler.finish(job, None, 0, error)


def report_lost(run: Pass, held: _Held, client: Client) -> None:
    """Fails the nodes whose values left with a worker during the run."""
    flow, nodes = run.flow, run.nodes
    keys = removed_keys(client, held)
    gone = set(held.names) if keys is None else {  # without a scheduler, every value is gone
        n for n in held.names if n in nodes and isinstance(nodes[n].value, Future) and nodes[n].value.key in keys}
    lost = [n for n in nodes if n in gone]
    if not lost:
        return
    drop(flow, lost)
    for name in lost:
        error = LostValue(f"the value of {quoted(name)} was lost with a worker of the cluster; "
                          "the next run recomputes it")
        nodes[name].failure = error
        run.report.failed[name] = error
