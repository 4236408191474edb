"""Random flows under random changes, failures, interrupts, redefinitions,
removals, targeted runs and executors: after every run each current value
equals a from-scratch evaluation of the current definitions, and nothing
outside the reach of a real change is recomputed."""
import asyncio
import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

from collections import OrderedDict, namedtuple
from enum import IntEnum

import hypothesis.strategies as st
from hypothesis import given, settings

from movra import Flow, FlowError

POOL = ThreadPoolExecutor(2)
Point = namedtuple("Point", "x y")
Pair = namedtuple("Pair", "x y")
Color = IntEnum("Color", "RED")
Size = IntEnum("Size", "SMALL")


class Model:
    """The flow's definitions, evaluated from scratch."""

    def __init__(self, inputs, nodes):
        self.inputs = dict(inputs)
        self.nodes = dict((name, (deps, weight)) for name, deps, weight in nodes)  # declaration order

    def values(self):
        values = dict(self.inputs)
        for name, (deps, weight) in self.nodes.items():
            values[name] = (weight * sum(values[d] for d in deps) + len(deps)) % 5
        return values

    def downstream(self, seeds):
        reached = set(seeds)
        for name, (deps, _) in self.nodes.items():
            if reached.intersection(deps):
                reached.add(name)
        return reached

    def leaves(self):
        used = {d for deps, _ in self.nodes.values() for d in deps}
        return [n for n in self.nodes if n not in used]


TROUBLE: dict = {}  # node name -> exception class it raises
DURING: list = []  # a change to make while the run is in progress


def node_function(name, weight, is_async=False):
    # Globals, not closure cells: a node's code version covers its closure's values.
    def compute(*args):
        if DURING:
            DURING.pop()()
        if name in TROUBLE:
            raise TROUBLE[name]("injected")
        return (weight * sum(args) + len(args)) % 5

    async def compute_later(*args):
        await asyncio.sleep(0)
        return compute(*args)

    return compute_later if is_async else compute


@st.composite
def scenarios(draw):
    inputs = draw(st.integers(1, 3))
    names = [f"in{i}" for i in range(inputs)]
    nodes = []
    for i in range(draw(st.integers(1, 10))):
        deps = draw(st.lists(st.sampled_from(names), min_size=1, max_size=3, unique=True))
        nodes.append((f"c{i}", deps, draw(st.integers(1, 3))))
        names.append(f"c{i}")
    step = st.one_of(
        st.tuples(st.just("set"), st.dictionaries(st.sampled_from(names[:inputs]), st.integers(0, 3),
                                                  min_size=1, max_size=2)),
        st.tuples(st.just("fail"), st.sampled_from(names[inputs:]), st.sampled_from([ValueError, KeyboardInterrupt])),
        st.tuples(st.just("redefine"), st.sampled_from(names[inputs:]), st.integers(1, 3)),
        st.tuples(st.just("remove_leaf"), st.integers(0, 100)),
        st.tuples(st.just("set_during_run"), st.sampled_from(names[:inputs]), st.integers(0, 3)),
        st.tuples(st.just("run"), st.sampled_from(["inline", "threads", "async", "targets"]), st.integers(0, 100)),
    )
    options = {"store": draw(st.booleans()), "async": draw(st.booleans())}
    return [(f"in{i}", 0) for i in range(inputs)], nodes, draw(st.lists(step, max_size=12)), options


def run_flow(flow, how, pick, model, with_async):
    if with_async:  # async nodes need the event loop: every run is an arun
        targets = [list(model.nodes)[pick % len(model.nodes)]] if how == "targets" else None
        return asyncio.run(flow.arun(targets, POOL if how == "threads" else None))
    if how == "threads":
        return flow.run(executor=POOL)
    if how == "async":
        return asyncio.run(flow.arun())
    if how == "targets":
        names = list(model.nodes)
        return flow.run(targets=[names[pick % len(names)]])
    return flow.run()


@settings(max_examples=int(os.environ.get("MOVRA_FLOW_EXAMPLES", 80)), deadline=None)
@given(scenarios())
def test_every_run_matches_a_from_scratch_evaluation(scenario):
    inputs, nodes, steps, options = scenario
    with tempfile.TemporaryDirectory() as folder:
        check_scenario(inputs, nodes, steps, f"{folder}/store.db" if options["store"] else None,
                       options["async"])


def check_scenario(inputs, nodes, steps, store, with_async):
    def declare(name, deps, weight):
        # With async nodes, every other node is an async function.
        is_async = with_async and int(name[1:]) % 2 == 0
        flow.reactive(deps=deps, name=name)(node_function(name, weight, is_async))

    def run_all():
        return asyncio.run(flow.arun()) if with_async else flow.run()

    model, trouble, during = Model(inputs, nodes), TROUBLE, DURING
    trouble.clear()
    during.clear()
    flow = Flow(interactive=True, store=store)
    for name, value in inputs:
        flow.input(name, value)
    for name, deps, weight in nodes:
        declare(name, deps, weight)
    run_all()
    last_run = Model(model.inputs.items(), [])
    last_run.nodes = dict(model.nodes)
    late = {}  # set while a run was in progress: the model sees it after that run

    def really_changed():
        return ({n for n, v in model.inputs.items() if last_run.inputs[n] != v}
                | {n for n, d in model.nodes.items() if last_run.nodes.get(n) != d})

    for step in steps + [("run", "inline", 0)]:
        kind = step[0]
        if kind == "set":
            model.inputs.update(step[1])
            flow.set(step[1])
        elif kind == "set_during_run":
            name, value = step[1], step[2]
            during[:] = [lambda name=name, value=value: (flow.set({name: value}), late.update({name: value}))]
        elif kind == "fail":
            if step[1] in model.nodes:
                trouble[step[1]] = step[2]
        elif kind == "redefine":
            name, weight = step[1], step[2]
            if name in model.nodes:
                deps, old = model.nodes[name]
                model.nodes[name] = (deps, weight)
                declare(name, deps, weight)
        elif kind == "remove_leaf":
            leaves = model.leaves()
            victim = leaves[step[1] % len(leaves)] if leaves else None
            if victim is not None and len(model.nodes) > 1:
                del model.nodes[victim]
                trouble.pop(victim, None)
                flow.remove(victim)
                last_run.nodes.pop(victim, None)
        else:
            pending = model.downstream(really_changed())
            for name in model.nodes:
                assert (flow.explain(name).verdict == "would recompute") == (name in pending), name
            reach = model.downstream(really_changed() | set(trouble))
            try:
                report = run_flow(flow, step[1], step[2], model, with_async)
            except FlowError as error:
                report = error.report
                assert set(error.report.failed) <= set(trouble)
            except KeyboardInterrupt:
                report = None
            expected = model.values()
            for name in model.nodes:
                if flow.is_current(name):
                    assert flow[name] == expected[name], name
            if report is not None:
                assert set(report.recomputed) <= reach, (report.recomputed, reach)
            trouble.clear()
            during.clear()
            model.inputs.update(late)
            reach |= model.downstream(late)
            late.clear()
            report = run_all()
            assert set(report.recomputed) <= reach, (report.recomputed, reach)
            expected = model.values()
            assert {n: flow[n] for n in flow} == expected
            assert all(flow.is_current(n) for n in flow)
            last_run.inputs, last_run.nodes = dict(model.inputs), dict(model.nodes)


TRICKY = [0, 1, True, 1.0, 0.0, -0.0, float("nan"), Color.RED, Size.SMALL, OrderedDict(a=1, b=2),
          OrderedDict(b=2, a=1), {"a": 1, "b": 2}, Point(1, 2), Pair(1, 2), (1, 2), [1, 2], {1}, frozenset({1}),
          "1", b"1", None]


@settings(max_examples=int(os.environ.get("MOVRA_FLOW_EXAMPLES", 80)), deadline=None)
@given(st.lists(st.sampled_from(range(len(TRICKY))), min_size=1, max_size=8))
def test_values_that_compare_equal_but_differ_are_never_confused(picks):
    flow = Flow()
    flow.input("v", TRICKY[picks[0]])
    flow.reactive(deps=["v"], name="seen")(lambda v: (type(v).__qualname__, repr(v)))
    for pick in picks:
        flow.set(v=TRICKY[pick])
        flow.run()
        assert flow["seen"] == (type(TRICKY[pick]).__qualname__, repr(TRICKY[pick]))
