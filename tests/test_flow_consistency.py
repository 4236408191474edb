"""Flow stays consistent when a run is interrupted, a source fails, an executor
breaks, a node mutates its arguments, or threads use the flow at once."""
import queue
import threading
import time
from collections import OrderedDict
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from enum import IntEnum

from fractions import Fraction

import pytest

from movra import Flow, FlowError


def chain(trouble):
    flow, calls = Flow(), []
    flow.input("x", 1)

    @flow.reactive
    def a(x):
        calls.append("a")
        if "a" in trouble:
            raise trouble["a"]
        return x + 1

    @flow.reactive
    def b(a):
        calls.append("b")
        return a + 1

    flow.run()
    calls.clear()
    return flow, calls


@pytest.mark.parametrize("escape", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_an_escape_from_a_node_leaves_it_and_its_reach_to_the_next_run(escape):
    trouble = {}
    flow, calls = chain(trouble)
    flow.set(x=5)
    trouble["a"] = escape
    with pytest.raises(escape):
        flow.run()
    assert flow.graph.dirty_nodes() == ["a", "b"] and not flow.is_current("b")
    assert flow.explain("b").verdict == "would recompute"
    del trouble["a"]
    calls.clear()
    assert flow.run().recomputed == ["a", "b"] and flow["b"] == 7 and calls == ["a", "b"]


def test_an_interrupt_inside_a_commit_is_as_safe_as_a_failed_node(monkeypatch):
    from movra import _support

    flow, calls = chain({})
    flow.set(x=Fraction(5))  # not a built-in: the engine asks Python to freeze it
    freeze, faults = _support.freeze, [1]

    def faulty(value):
        """Python code the engine runs just before it commits a value."""
        if faults:
            faults.pop()
            raise KeyboardInterrupt
        return freeze(value)

    monkeypatch.setattr(_support, "freeze", faulty)
    with pytest.raises(KeyboardInterrupt):
        flow.run()
    assert flow.graph.dirty_nodes() == ["a", "b"]
    flow.run()
    assert flow["b"] == 7 and all(flow.is_current(n) for n in flow)


def test_an_interrupt_while_waiting_on_a_pool_is_recovered(monkeypatch):
    flow, calls = chain({})
    flow.set(x=5)

    class Interrupted:
        """A queue of finished futures whose wait is interrupted."""

        def put(self, future):
            pass

        def get(self):
            raise KeyboardInterrupt

    monkeypatch.setattr(queue, "SimpleQueue", Interrupted)
    with ThreadPoolExecutor(1) as pool:
        with pytest.raises(KeyboardInterrupt):
            flow.run(executor=pool)
    monkeypatch.undo()
    assert flow.run().recomputed == ["a", "b"] and flow["b"] == 7


def test_a_shut_down_or_broken_pool_fails_the_nodes_it_could_not_run():
    flow, calls = chain({})
    flow.set(x=5)
    pool = ThreadPoolExecutor(1)
    pool.shutdown()
    with pytest.raises(FlowError) as info:
        flow.run(executor=pool)
    assert list(info.value.report.failed) == ["a"] and info.value.report.blocked == ["b"]
    assert isinstance(info.value.report.failed["a"], RuntimeError)
    assert flow.run().recomputed == ["a", "b"] and flow["b"] == 7


def die(x):
    import os
    os._exit(1)


def test_a_process_pool_whose_worker_dies_fails_the_node():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="dies")(die)
    with ProcessPoolExecutor(1) as pool, pytest.raises(FlowError) as info:
        flow.run(executor=pool)
    assert list(info.value.report.failed) == ["dies"]
    assert flow.graph.state_of("dies") == "dirty"


def test_a_value_that_cannot_be_hashed_fails_its_node_not_the_run():
    flow = Flow()
    flow.input("x", 1)

    @flow.reactive
    def loop(x):
        items = [x]
        items.append(items)
        return items

    with pytest.raises(FlowError) as info:
        flow.run()
    assert "loop" in info.value.report.failed


def test_a_failed_refresh_is_retried_until_it_succeeds():
    flow, reading, broken = Flow(), {"value": 1}, {"now": False}

    @flow.source
    def sensor():
        if broken["now"]:
            raise OSError("offline")
        return reading["value"]

    @flow.view
    def shown(sensor):
        return sensor * 10

    flow.run()
    reading["value"], broken["now"] = 2, True
    flow.refresh("sensor")
    with pytest.raises(FlowError):
        flow.run()
    assert not flow.is_current("sensor") and flow.graph.dirty_nodes() == ["sensor", "shown"]
    broken["now"] = False
    assert flow.run().recomputed == ["sensor", "shown"] and flow["shown"] == 20


def test_a_refresh_blocked_upstream_survives_a_later_cut_off():
    flow, trouble, reading = Flow(), {}, {"value": 1}
    flow.input("x", 1)

    @flow.reactive
    def parity(x):
        if "parity" in trouble:
            raise ValueError("boom")
        return x % 2

    @flow.source
    def sensor(parity):
        return reading["value"] + parity

    flow.run()
    reading["value"] = 5
    trouble["parity"] = True
    flow.set(x=3)
    flow.refresh("sensor")
    with pytest.raises(FlowError):
        flow.run()
    trouble.clear()
    report = flow.run()  # parity is cut off (3 % 2 == 1 % 2), yet the sensor was refreshed
    assert report.cut_off == ["parity"] and report.recomputed == ["sensor"] and flow["sensor"] == 6


def test_dependency_contents_seen_before_are_not_computed_again():
    trouble = {}
    flow, calls = chain(trouble)
    flow.set(x=2)
    trouble["a"] = ValueError
    with pytest.raises(FlowError):
        flow.run()
    del trouble["a"]
    flow.set(x=1)  # back to the values of a's last success
    calls.clear()
    report = flow.run()
    assert calls == [] and report.memo_hits == ["a", "b"] and flow["b"] == 3


def test_set_makes_states_truthful_and_an_equal_value_schedules_nothing():
    flow, calls = chain({})
    flow.set(x=1)
    assert flow.graph.dirty_nodes() == [] and flow.run().inputs == []
    flow.set(x=2)
    assert flow.graph.dirty_nodes() == ["x", "a", "b"] and not flow.is_current("b")
    assert flow.explain("x").verdict == "new value"


class Color(IntEnum):
    RED = 1


class Size(IntEnum):
    SMALL = 1


@pytest.mark.parametrize("first, second", [
    (Color.RED, Size.SMALL),
    (OrderedDict(a=1, b=2), OrderedDict(b=2, a=1)),
    (0.0, -0.0),
    ({1}, frozenset({1})),
])
def test_values_equal_but_different_reach_their_dependents(first, second):
    flow = Flow()
    flow.input("v", first)
    flow.reactive(deps=["v"], name="seen")(lambda v: (type(v).__name__, repr(v)))
    flow.run()
    flow.set(v=second)
    assert flow.run().recomputed == ["seen"] and flow["seen"] == (type(second).__name__, repr(second))


def test_unhashed_values_always_count_as_changed():
    flow = Flow()
    flow.input("x", 1)

    @flow.reactive(hashed=False)
    def handle(x):
        return threading.Lock()

    @flow.reactive
    def uses(handle, x):
        return x

    flow.run()
    flow.set(x=2)
    assert flow.run().recomputed == ["handle", "uses"]


def test_a_node_that_mutates_its_argument_is_reported_in_checking_mode():
    flow = Flow(check_mutation=True)
    flow.input("n", 2)

    @flow.reactive
    def rows(n):
        return list(range(n))

    @flow.reactive
    def careless(rows):
        rows.append(99)
        return len(rows)

    with pytest.raises(FlowError) as info:
        flow.run()
    assert str(info.value.report.failed["careless"]) == (
        '"careless" changed its argument "rows" in place; node functions must not mutate their arguments')
    assert flow.graph.state_of("rows") == "dirty"


def test_numpy_arrays_are_handed_out_read_only():
    np = pytest.importorskip("numpy")
    flow = Flow()
    flow.input("a", np.arange(3))

    @flow.reactive
    def doubled(a):
        return a * 2

    flow.run()
    with pytest.raises(ValueError):
        flow["doubled"][0] = 5


def test_set_during_a_run_applies_to_the_next_run():
    flow, started, release = Flow(), threading.Event(), threading.Event()
    flow.input("x", 1)
    flow.input("y", 1)

    @flow.reactive
    def slow(x, y):
        started.set()
        release.wait(5)
        return (x, y)

    runner = threading.Thread(target=flow.run)
    runner.start()
    started.wait(5)
    flow.set(x=2, y=2)
    assert flow["x"] == 1  # the run in progress keeps the inputs it started with
    release.set()
    runner.join()
    assert flow["slow"] == (1, 1) and flow["x"] == 2 and flow.graph.state_of("slow") == "dirty"
    flow.run()
    assert flow["slow"] == (2, 2)


def test_concurrent_runs_take_turns_and_call_each_function_once():
    flow, calls = Flow(), []
    flow.input("x", 1)

    @flow.reactive
    def slow(x):
        calls.append(x)
        time.sleep(0.05)
        return x

    threads = [threading.Thread(target=flow.run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert calls == [1]


def test_a_run_from_inside_a_node_is_refused():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="again")(lambda x: flow.run())
    with pytest.raises(FlowError) as info:
        flow.run()
    assert "already running" in str(info.value.report.failed["again"])


def test_explain_is_linear_and_needs_no_recursion():
    flow = Flow()
    flow.input("a0", 0)
    flow.input("b0", 0)
    for i in range(1, 41):
        flow.reactive(deps=[f"a{i-1}", f"b{i-1}"], name=f"a{i}")(lambda x, y: x + y)
        flow.reactive(deps=[f"a{i-1}", f"b{i-1}"], name=f"b{i}")(lambda x, y: x - y)
    for i in range(3000):
        flow.reactive(deps=["a40" if i == 0 else f"c{i-1}"], name=f"c{i}")(lambda x: x)
    flow.run()
    flow.set(a0=1)
    why = flow.explain("c2999")
    assert why.verdict == "would recompute" and why.changed == ["c2998"] and why.causes == ["a0"]


def test_getitem_on_a_stale_value_and_is_current():
    trouble = {}
    flow, _ = chain(trouble)
    trouble["a"] = ValueError
    flow.set(x=9)
    with pytest.raises(FlowError):
        flow.run()
    assert flow["b"] == 3 and not flow.is_current("b") and flow.is_current("x")
