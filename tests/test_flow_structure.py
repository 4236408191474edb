"""A flow's structure changes while it lives: redefinition, removal, repair,
targeted runs, watchers, async nodes and drawings of a neighbourhood."""
import asyncio
import functools

import pytest

from movra import Flow, FlowError


def test_redefining_recomputes_the_node_and_its_reach_only():
    flow, calls = Flow(interactive=True), []
    flow.input("x", 1)

    @flow.reactive
    def a(x):
        calls.append("a")
        return x + 1

    @flow.reactive
    def b(a):
        calls.append("b")
        return a * 10

    @flow.reactive
    def other(x):
        calls.append("other")
        return -x

    flow.run()
    calls.clear()

    @flow.reactive
    def a(x):  # noqa: F811 - a notebook cell run again, edited
        calls.append("a")
        return x + 2

    assert flow.run().recomputed == ["a", "b"] and calls == ["a", "b"] and flow["b"] == 30
    calls.clear()

    @flow.reactive
    def a(x):  # noqa: F811 - the same cell run again unedited
        calls.append("a")
        return x + 2

    assert flow.run().recomputed == [] and calls == []


def test_redefinition_needs_consent_and_keeps_kinds_apart():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="y")(lambda x: x)
    with pytest.raises(ValueError, match=r'node "y" is already declared: pass replace=True'):
        flow.reactive(deps=["x"], name="y")(lambda x: x + 1)
    flow.reactive(deps=["x"], name="y", replace=True)(lambda x: x + 1)
    with pytest.raises(ValueError, match='"x" is an input node and cannot be redeclared as a reactive node'):
        flow.reactive(deps=[], name="x", replace=True)(lambda: 1)
    with pytest.raises(ValueError, match='"y" is a reactive node and cannot be redeclared as an input node'):
        flow.input("y", replace=True)
    assert flow.get("y") == 2


def test_remove_is_refused_while_needed_and_repairs_a_graph():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="y")(lambda x: x)
    flow.reactive(deps=["y"], name="z")(lambda y: y)
    with pytest.raises(ValueError, match='cannot remove "y": "z" depends on it'):
        flow.remove("y")
    with pytest.raises(KeyError, match='unknown node: "nope"'):
        flow.remove("z", "nope")
    assert list(flow) == ["x", "y", "z"]
    flow.remove("y", "z")
    assert list(flow) == ["x"]


def test_a_typo_or_a_cycle_is_repaired_by_redefining_or_removing():
    flow = Flow(interactive=True)
    flow.input("price", 2)
    flow.reactive(deps=["prise"], name="total")(lambda p: p * 3)
    with pytest.raises(ValueError, match=r'"total" depends on unknown node "prise" \(did you mean "price"\?\)'):
        flow.run()
    flow.reactive(deps=["price"], name="total")(lambda p: p * 3)
    assert flow.get("total") == 6
    flow.reactive(deps=["back"], name="loop")(lambda b: b)
    flow.reactive(deps=["loop"], name="back")(lambda b: b)
    with pytest.raises(ValueError, match='dependency cycle among "loop", "back"'):
        flow.run()
    flow.remove("loop", "back")
    assert flow.run().recomputed == []


def test_a_rebuild_keeps_every_unaffected_value_clean():
    flow, calls = Flow(), []
    flow.input("x", 1)
    for i in range(50):
        flow.reactive(deps=["x" if i == 0 else f"n{i-1}"], name=f"n{i}")(
            lambda v, i=i: calls.append(i) or v + 1)
    flow.run()
    calls.clear()
    flow.reactive(deps=["n49"], name="tail")(lambda v: v * 2)
    assert flow.run().recomputed == ["tail"] and calls == []


@pytest.mark.parametrize("declare, message", [
    (lambda f: f.reactive(name="v")(lambda *values: 1), r"its parameter \*values has no node"),
    (lambda f: f.reactive(name="kw")(lambda x, **options: 1), r"its parameter \*\*options has no node"),
    (lambda f: f.reactive(functools.partial(lambda a, b: a, 1)), "give it a name with name="),
    (lambda f: f.reactive(deps="x", name="n")(lambda x: x), "must be a list of node names"),
])
def test_declarations_are_checked_when_made(declare, message):
    flow = Flow()
    with pytest.raises(TypeError, match=message):
        declare(flow)
    assert len(flow) == 0


def test_parameters_positional_only_defaults_keyword_only_and_partials():
    flow = Flow()
    flow.input("x", 2)
    flow.input("offset", 100)

    @flow.reactive
    def scaled(x, /, factor=3, *, offset=0):
        return x * factor + offset

    def mul(x, k):
        return x * k

    flow.reactive(functools.partial(mul, k=5))
    assert flow.get("scaled") == 106 and flow.get("mul") == 10


def test_targeted_runs_leave_the_rest_dirty():
    flow, calls = Flow(), []
    flow.input("x", 1)
    for name in ("a", "b"):
        flow.reactive(deps=["x"], name=name)(lambda x, name=name: calls.append(name) or x)
    flow.run()
    flow.set(x=2)
    calls.clear()
    assert flow.run(targets=["a"]).recomputed == ["a"] and calls == ["a"]
    assert not flow.is_current("b") and flow.get("b") == 2
    with pytest.raises(KeyError, match='unknown node: "c"'):
        flow.run(targets=["c"])


def test_watchers_see_changes_and_their_errors_undo_nothing():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(deps=["x"], name="parity")(lambda x: x % 2)
    seen = []
    flow.watch("parity", lambda old, new: seen.append((old, new)))
    flow.watch("parity", lambda old, new: 1 / 0)
    handle = flow.watch("x", lambda old, new: seen.append(("x", new)))
    with pytest.warns(RuntimeWarning, match='a watch callback of "parity" raised ZeroDivisionError'):
        report = flow.run()
    assert seen == [("x", 1), (None, 1)] and len(report.callback_errors) == 1
    handle.cancel()
    flow.set(x=3)
    flow.run()  # parity is cut off: no change to report
    assert seen == [("x", 1), (None, 1)]
    with pytest.raises(KeyError):
        flow.watch("nope", print)


def test_async_nodes_run_concurrently_and_cancellation_is_safe():
    flow = Flow()
    flow.input("x", 1)

    @flow.reactive
    async def slow(x):
        await asyncio.sleep(0.2)
        return x * 10

    @flow.reactive
    async def slower(x):
        await asyncio.sleep(0.2)
        return x * 20

    @flow.view
    def total(slow, slower):
        return slow + slower

    async def main():
        loop = asyncio.get_running_loop()
        started = loop.time()
        await flow.arun()
        elapsed = loop.time() - started
        flow.set(x=2)
        task = asyncio.ensure_future(flow.arun())
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return elapsed

    assert asyncio.run(main()) < 0.35 and flow["total"] == 30
    assert not flow.is_current("total")
    with pytest.raises(FlowError) as info:
        flow.run()
    assert "is an async function: run the flow with `await flow.arun()`" in str(info.value.report.failed["slow"])
    asyncio.run(flow.arun())
    assert flow["total"] == 60


def test_a_neighbourhood_drawing_of_a_big_flow_stays_small():
    flow = Flow()
    flow.input("x", 1)
    for i in range(2000):
        flow.reactive(deps=["x" if i == 0 else f"n{i-1}"], name=f"n{i}")(lambda v: v)
    part = flow.to_mermaid(around="n1000", depth=2)
    assert part.count("<br/>") == 5 and "n1002" in part and "n997" not in part
    assert 'shape=ellipse' in flow.to_dot(around="n5", depth=0)
    bundle = flow._repr_mimebundle_()
    assert "around=" in bundle["text/markdown"]
    small = Flow()
    small.input("x", 1)
    drawn = small._repr_mimebundle_()
    assert drawn["text/vnd.mermaid"].startswith("flowchart LR") and "<svg" in drawn["text/html"]
    assert "<svg" not in bundle["text/html"]  # too big to draw whole
