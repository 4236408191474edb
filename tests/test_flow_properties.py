"""Random flows of pure functions: after every run each value equals a
from-scratch computation, and nothing outside the reach of a real change is
recomputed."""
import hypothesis.strategies as st
from hypothesis import given, settings

from movra import Flow


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


@settings(max_examples=60, deadline=None)
@given(flows())
def test_runs_match_recomputation_and_touch_only_what_changed(spec):
    count, nodes, changes = spec
    inputs = {f"in{i}": 0 for i in range(count)}
    flow = Flow()
    for name, value in inputs.items():
        flow.input(name, value)
    for name, deps, weight in nodes:
        flow.reactive(deps=deps, name=name)(
            lambda *args, w=weight: (w * sum(args) + len(args)) % 5)

    flow.run()
    assert {n: flow[n] for n in flow} == expected_values(inputs, nodes)
    for change in changes:
        really_changed = {k for k, v in change.items() if inputs[k] != v}
        inputs.update(change)
        flow.set(change)
        report = flow.run()
        assert {n: flow[n] for n in flow} == expected_values(inputs, nodes)
        assert set(report.recomputed) <= downstream_of(really_changed, nodes)
        assert not report.failed and flow.graph.dirty_nodes() == []
