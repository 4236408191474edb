"""Random flows under random changes, failures, interrupts, redefinitions,
removals, targeted runs and executors: after every run each current value
equals a from-scratch evaluation of the current definitions, and nothing
outside the reach of a real change is recomputed."""
import asyncio
import os
from concurrent.futures import ThreadPoolExecutor

import hypothesis.strategies as st
from hypothesis import given, settings

from movra import Flow, FlowError

POOL = ThreadPoolExecutor(2)


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


def node_function(name, weight, trouble):
    def compute(*args):
        if name in trouble:
            raise trouble[name]("injected")
        return (weight * sum(args) + len(args)) % 5
    return compute


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
        st.tuples(st.just("run"), st.sampled_from(["inline", "threads", "async", "targets"]), st.integers(0, 100)),
    )
    return [(f"in{i}", 0) for i in range(inputs)], nodes, draw(st.lists(step, max_size=12))


def run_flow(flow, how, pick, model):
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
    inputs, nodes, steps = scenario
    model, trouble = Model(inputs, nodes), {}
    flow = Flow(interactive=True)
    for name, value in inputs:
        flow.input(name, value)
    for name, deps, weight in nodes:
        flow.reactive(deps=deps, name=name)(node_function(name, weight, trouble))
    flow.run()
    changed: set[str] = set()  # seeds of real changes not yet fully run

    for step in steps + [("run", "inline", 0)]:
        kind = step[0]
        if kind == "set":
            for name, value in step[1].items():
                if model.inputs[name] != value:
                    changed.add(name)
                model.inputs[name] = value
            flow.set(step[1])
        elif kind == "fail":
            if step[1] in model.nodes:
                trouble[step[1]] = step[2]
        elif kind == "redefine":
            name, weight = step[1], step[2]
            if name in model.nodes:
                deps, old = model.nodes[name]
                model.nodes[name] = (deps, weight)
                flow.reactive(deps=deps, name=name)(node_function(name, weight, trouble))
                changed.add(name)
        elif kind == "remove_leaf":
            leaves = model.leaves()
            victim = leaves[step[1] % len(leaves)] if leaves else None
            if victim is not None and len(model.nodes) > 1:
                del model.nodes[victim]
                trouble.pop(victim, None)
                flow.remove(victim)
                changed.discard(victim)
        else:
            reach = model.downstream(changed | set(trouble))
            failed = False
            try:
                report = run_flow(flow, step[1], step[2], model)
            except FlowError as error:
                report, failed = error.report, True
                assert set(error.report.failed) <= set(trouble)
            except KeyboardInterrupt:
                report, failed = None, True
            expected = model.values()
            for name in model.nodes:
                if flow.is_current(name):
                    assert flow[name] == expected[name], name
            if report is not None:
                assert set(report.recomputed) <= reach, (report.recomputed, reach)
            trouble.clear()
            if failed or step[1] == "targets":
                report = flow.run()
                assert set(report.recomputed) <= reach, (report.recomputed, reach)
            assert {n: flow[n] for n in flow} == expected
            assert all(flow.is_current(n) for n in flow)
            changed.clear()
