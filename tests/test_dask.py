"""Flow on Dask's distributed scheduler: a local cluster of two worker
processes gives the same results and reports as an inline run, keeps values on
the workers, and survives losing a worker."""
import asyncio
import os
import signal
import threading
import time

import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, given, settings

from movra import Flow, FlowError

if os.environ.get("MOVRA_SANITIZED"):
    pytest.skip("worker processes would inherit the sanitizer; the kernel calls made here are "
                "covered by the other tests", allow_module_level=True)

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
from distributed import Client, Future, LocalCluster  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as c:
        yield c


@pytest.fixture(scope="module")
def client(cluster):
    with Client(cluster) as c:
        yield c


@pytest.fixture
def workers(client, cluster):
    """The two workers' addresses, once both are up (a test may have killed one)."""
    deadline = time.monotonic() + 60
    while True:
        alive = client.run_on_scheduler(lambda dask_scheduler: sorted(dask_scheduler.workers))
        if len(alive) == 2 and all(n.worker_address in alive for n in cluster.workers.values()):
            return alive
        assert time.monotonic() < deadline, "the cluster did not get its two workers back"
        time.sleep(0.1)


@pytest.fixture(params=["inline", "cluster"])
def executor(request, workers):
    return None if request.param == "inline" else request.getfixturevalue("client")


def kill(cluster, address):
    """Kills a worker process outright, as a crash would."""
    for nanny in cluster.workers.values():
        if nanny.worker_address == address:
            os.kill(nanny.process.process.pid, signal.SIGKILL)
            return
    raise AssertionError(f"no worker at {address}")


def wait_until_gone(client, address):
    deadline = time.monotonic() + 30
    while address in client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.workers)):
        assert time.monotonic() < deadline
        time.sleep(0.05)


def pinned(address):
    return dask.annotate(workers=[address], allow_other_workers=False)


def scheduler_keys(client):
    return set(client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.tasks)))


def outcome(report):
    return (report.inputs, sorted(report.recomputed), sorted(report.cut_off), sorted(report.memo_hits),
            sorted(report.failed), sorted(report.blocked))


# Parity with an inline run ----------------------------------------------------

@st.composite
def flows(draw):
    inputs = draw(st.integers(1, 4))
    computed = draw(st.integers(1, 12))
    nodes = []  # (name, deps, weight)
    names = [f"in{i}" for i in range(inputs)]
    for i in range(computed):
        deps = draw(st.lists(st.sampled_from(names), min_size=1, max_size=3, unique=True))
        nodes.append((f"c{i}", deps, draw(st.integers(1, 3))))
        names.append(f"c{i}")
    changes = draw(st.lists(
        st.dictionaries(st.sampled_from(names[:inputs]), st.integers(0, 4), max_size=2), max_size=6))
    return inputs, nodes, changes


def expected_values(inputs, nodes):
    values = dict(inputs)
    for name, deps, weight in nodes:
        values[name] = (weight * sum(values[d] for d in deps) + len(deps)) % 5
    return values


def downstream_of(seeds, nodes):
    reached = set(seeds)
    for name, deps, _ in nodes:  # declared in dependency order
        if reached.intersection(deps):
            reached.add(name)
    return reached



@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(flows())
def test_cluster_runs_match_inline_runs_and_recomputation(client, workers, spec):
    count, nodes, changes = spec
    inputs = {f"in{i}": 0 for i in range(count)}
    inline, remote = Flow(), Flow()
    for flow in (inline, remote):
        for name, value in inputs.items():
            flow.input(name, value)
        for name, deps, weight in nodes:
            flow.reactive(deps=deps, name=name)(lambda *args, w=weight: (w * sum(args) + len(args)) % 5)

    assert outcome(remote.run(executor=client)) == outcome(inline.run())
    for change in changes:
        really_changed = {k for k, v in change.items() if inputs[k] != v}
        inputs.update(change)
        inline.set(change)
        remote.set(change)
        report = remote.run(executor=client)
        assert outcome(report) == outcome(inline.run())
        assert {n: remote[n] for n in remote} == expected_values(inputs, nodes)
        assert set(report.recomputed) <= downstream_of(really_changed, nodes)


def test_values_stay_on_the_cluster_and_are_fetched_on_demand(client, workers):
    flow = Flow()
    flow.input("x", 3)
    flow.reactive(deps=["x"], name="a")(lambda x: [x] * 3)
    flow.reactive(deps=["a"], name="b")(lambda a: sum(a))
    flow.run(executor=client)
    assert isinstance(flow._engine.value("b"), Future)
    assert flow["a"] == [3, 3, 3] and flow["b"] == 9
    assert flow.is_current("b")


def test_an_inline_run_after_a_cluster_run_passes_plain_values(client, workers):
    seen = []
    flow = Flow()
    flow.input("x", 2)
    flow.reactive(deps=["x"], name="a")(lambda x: x + 1)
    flow.reactive(deps=["a", "x"], name="b")(lambda a, x: seen.append(type(a)) or a * x)
    flow.run(executor=client)
    flow.set(x=5)
    flow.run(targets=["a"], executor=client)  # "a" is new on the cluster; "b" runs inline
    flow.run()
    assert seen == [int] and flow["b"] == 30


def test_watch_callbacks_get_plain_values(client, workers):
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="a")(lambda x: {"x": x})
    calls = []
    flow.watch("a", lambda old, new: calls.append((old, new)))
    flow.run(executor=client)
    flow.set(x=2)
    flow.run(executor=client)
    assert calls == [(None, {"x": 1}), ({"x": 1}, {"x": 2})]


def test_cut_off_spares_dependents(executor):
    flow = Flow()
    flow.input("x", 2)
    flow.reactive(deps=["x"], name="size")(abs)
    flow.reactive(deps=["size"], name="area")(lambda s: s * s)
    flow.run(executor=executor)
    flow.set(x=-2)
    report = flow.run(executor=executor)
    assert (report.recomputed, report.cut_off, report.memo_hits) == ([], ["size"], ["area"])
    assert flow["area"] == 4


def failing_flow():
    state = {"fail": True}
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="ok")(lambda x: x + 1)

    @flow.reactive(deps=["x"], name="bad")
    def bad(x, state=state):
        if state["fail"]:
            raise ValueError(f"bad input {x}")
        return x * 10

    flow.reactive(deps=["bad", "ok"], name="after")(lambda b, o: b + o)
    return flow, state


def test_a_failure_is_isolated_and_retried_by_the_next_run(executor):
    flow, state = failing_flow()
    with pytest.raises(FlowError, match='^"bad" failed: ValueError: bad input 1$') as caught:
        flow.run(executor=executor)
    report = caught.value.report
    assert (report.recomputed, report.blocked) == (["ok"], ["after"])
    assert isinstance(report.failed["bad"], ValueError) and str(report.failed["bad"]) == "bad input 1"
    assert flow["ok"] == 2 and not flow.is_current("after")

    state["fail"] = False  # the function was pickled by value: fix the next copy instead
    flow.reactive(deps=["x"], name="bad", replace=True)(lambda x: x * 10)
    report = flow.run(executor=executor)
    assert (sorted(report.recomputed), report.failed) == (["after", "bad"], {})
    assert flow["after"] == 12


def test_explain_reads_the_same_after_a_cluster_run(client, workers):
    texts = []
    for executor in (None, client):
        flow, _ = failing_flow()
        with pytest.raises(FlowError):
            flow.run(executor=executor)
        flow.set(x=2)
        texts.append([str(flow.explain(n)) for n in flow])
    assert texts[0] == texts[1]


def test_a_mutated_argument_fails_the_node_and_recomputes_its_source(client, workers):
    flow = Flow(check_mutation=True)
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="items")(lambda x: [x, x])
    flow.reactive(deps=["items"], name="greedy")(lambda items: items.append(0) or len(items))
    with pytest.raises(FlowError) as caught:
        flow.run(executor=client)
    assert str(caught.value.report.failed["greedy"]) == (
        '"greedy" changed its argument "items" in place; node functions must not mutate their arguments')
    assert not flow.is_current("items")


def test_async_nodes_and_arun_are_refused_on_a_cluster(client, workers):
    flow = Flow()
    flow.input("x", 1)

    async def later(x):
        return x

    flow.reactive(deps=["x"], name="later")(later)
    with pytest.raises(FlowError) as caught:
        flow.run(executor=client)
    assert "async function" in str(caught.value.report.failed["later"])
    with pytest.raises(TypeError, match="arun\\(\\) cannot use a distributed.Client"):
        asyncio.run(flow.arun(executor=client))


def test_replaced_and_removed_values_are_released_on_the_cluster(client, workers):
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="a")(lambda x: x * 2)
    flow.run(executor=client)
    first = flow._engine.value("a").key
    flow.set(x=2)
    flow.run(executor=client)
    second = flow._engine.value("a").key
    flow.remove("a")
    deadline = time.monotonic() + 10
    while {first, second} & scheduler_keys(client):
        assert time.monotonic() < deadline, "the old values are still held on the cluster"
        time.sleep(0.05)


# Data movement -----------------------------------------------------------------

CLIENT_PROCESS = os.getpid()


class WorkerOnly:
    """A payload that cannot be unpickled in the test's own process: if it ever
    reaches the client, the test fails there."""

    def __init__(self, data):
        self.data = data

    def __sizeof__(self):  # what the cluster records in its transfer log
        return len(self.data)

    def __reduce__(self):
        return _rebuild_away_from_client, (self.data, CLIENT_PROCESS)


def _rebuild_away_from_client(data, client_process):
    if os.getpid() == client_process:
        raise RuntimeError("a worker-only value reached the client")
    return WorkerOnly(data)


def test_a_large_value_moves_between_workers_without_reaching_the_client(client, workers):
    producer, consumer = workers
    size = 50_000_000
    flow = Flow()
    flow.input("n", size)
    flow.reactive(deps=["n"], name="big")(lambda n: WorkerOnly(b"\x07" * n))
    flow.reactive(deps=["big"], name="length")(lambda big: len(big.data))
    with pinned(producer):
        flow.run(targets=["big"], executor=client)
    with pinned(consumer):
        flow.run(executor=client)
    assert flow["length"] == size
    key = flow._engine.value("big").key
    incoming = client.run(lambda dask_worker: [dict(t["keys"]) for t in dask_worker.transfer_incoming_log])
    moved = [t[key] for t in incoming[consumer] if key in t]
    assert len(moved) == 1 and moved[0] >= size
    assert not any(key in t for t in incoming[producer])


class Unpicklable:
    def __reduce__(self):
        raise TypeError("a live handle does not pickle")


def test_a_value_that_cannot_be_pickled_fails_its_node(client, workers):
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="handle", hashed=False)(lambda x: Unpicklable())
    flow.reactive(deps=["handle"], name="user")(lambda h: 1)
    with pytest.raises(FlowError, match='"handle"') as caught:
        flow.run(executor=client)
    report = caught.value.report
    assert str(report.failed["handle"]) == ('the value of "handle" cannot be pickled, so it cannot move '
                                            "between the cluster's processes: a live handle does not pickle")
    assert report.blocked == ["user"]


def test_a_function_that_cannot_be_pickled_fails_its_node(client, workers):
    lock = threading.Lock()
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="locked")(lambda x: lock.locked())
    with pytest.raises(FlowError) as caught:
        flow.run(executor=client)
    assert str(caught.value.report.failed["locked"]).startswith('"locked" cannot be sent to the cluster')


# Bad clients -------------------------------------------------------------------

def closed_client(cluster):
    c = Client(cluster)
    c.close()
    return c


def client_without_scheduler(cluster):
    own = LocalCluster(n_workers=0, processes=False, dashboard_address=":0")
    c = Client(own)
    own.close()
    return c


@pytest.mark.parametrize("make", [closed_client, client_without_scheduler])
def test_an_unusable_client_is_refused_before_anything_is_committed(cluster, make):
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="a")(lambda x: x + 1)
    flow.run()
    flow.set(x=2)
    before = (flow.graph.dirty_nodes(), str(flow.explain("x")), str(flow.explain("a")))
    bad = make(cluster)
    with pytest.raises(RuntimeError, match="^the Dask client is closed: connect it"):
        flow.run(executor=bad)
    assert (flow.graph.dirty_nodes(), str(flow.explain("x")), str(flow.explain("a"))) == before
    assert flow["a"] == 2
    flow.run()
    assert flow["a"] == 3


# Losing a worker ---------------------------------------------------------------

def test_a_worker_lost_mid_run_fails_its_values_and_the_next_run_recomputes_them(client, cluster, workers):
    doomed, survivor = workers
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="a")(lambda x: list(range(100)) + [x])
    flow.reactive(deps=["x"], name="slow")(lambda x: time.sleep(3) or x)  # outlasts noticing the loss
    flow.reactive(deps=["a", "slow"], name="c")(lambda a, s: len(a) + s)
    with pinned(doomed):
        flow.run(targets=["a"], executor=client)

    threading.Timer(0.3, kill, (cluster, doomed)).start()
    with pinned(survivor), pytest.raises(FlowError, match='^"a" failed: LostValue: the value of "a" was lost') as caught:
        flow.run(executor=client)
    report = caught.value.report
    assert str(report.failed["a"]) == ('the value of "a" was lost with a worker of the cluster; '
                                       "the next run recomputes it")
    assert (report.recomputed, report.blocked) == (["slow"], ["c"])
    assert not flow.is_current("a") and not flow.is_current("c")
    assert str(flow.explain("a")).startswith('"a" would recompute')

    report = flow.run(executor=client)
    assert (report.recomputed, report.failed) == (["a", "c"], {})
    assert (flow["a"][-1], flow["c"]) == (1, 102)


@pytest.mark.parametrize("next_run", ["cluster", "inline"])
def test_values_lost_between_runs_are_recomputed_by_the_next(client, cluster, workers, next_run):
    doomed = workers[0]
    flow = Flow()
    flow.input("x", 4)
    flow.reactive(deps=["x"], name="a")(lambda x: x * 2)
    flow.reactive(deps=["a"], name="b")(lambda a: a + 1)
    flow.reactive(deps=["x"], name="elsewhere")(lambda x: -x)
    with pinned(doomed):
        flow.run(targets=["a", "b"], executor=client)
    with pinned(workers[1]):
        flow.run(executor=client)
    kill(cluster, doomed)
    wait_until_gone(client, doomed)

    report = flow.run(executor=client if next_run == "cluster" else None)
    assert sorted(report.recomputed) == ["a", "b"] and report.memo_hits == []
    assert (flow["a"], flow["b"], flow["elsewhere"]) == (8, 9, -4)


def test_values_of_a_closed_client_are_refetched_by_recomputing(cluster):
    own = Client(cluster)
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="a")(lambda x: x + 1)
    flow.reactive(deps=["a"], name="b")(lambda a: a * 10)
    flow.run(executor=own)
    own.close()
    with pytest.raises(LookupError, match='^the value of "a" cannot be fetched from the cluster .*; '
                                          "run the flow to recompute it$"):
        flow["a"]
    report = flow.run()
    assert (sorted(report.recomputed), flow["b"]) == (["a", "b"], 20)
