"""The engine's single decision path: what determines a value after a
redeclaration, the same Report from every backend, arguments changed in
place, and flows that are empty or partly broken."""
import asyncio
import pickle
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

from movra import Flow, FlowError


def sub(p, q):
    return p - q


def test_redeclaring_dependencies_recomputes_what_they_determine():
    flow = Flow(interactive=True)
    flow.input("p", 10)
    flow.input("q", 3)
    flow.reactive(name="b", deps=["p", "q"])(sub)
    flow.run()
    flow.reactive(name="b", deps=["q", "p"])(sub)  # the same code, its arguments swapped
    assert flow.run().recomputed == ["b"] and flow["b"] == -7
    flow.reactive(name="b", deps=["p", "p"])(sub)
    assert flow.run().recomputed == ["b"] and flow["b"] == 0


def test_a_default_hidden_by_a_node_declared_later_is_a_dependency_once_declared_again():
    flow = Flow(interactive=True)
    flow.input("subtotal", 100.0)

    def tax(subtotal, rate=0.2):
        return subtotal * rate

    flow.reactive(tax)
    flow.run()
    with pytest.warns(UserWarning):
        flow.input("rate", 0.5)
    flow.reactive(tax)  # the cell run again
    flow.run()
    assert flow["tax"] == 50.0 and flow.is_current("tax")


def test_a_pending_refresh_survives_a_change_of_options():
    flow, reads = Flow(interactive=True), []

    def sensor():
        reads.append(1)
        return len(reads)

    flow.source(sensor)
    flow.run()
    flow.refresh("sensor")
    flow.source(cutoff=False)(sensor)
    assert flow.run().recomputed == ["sensor"] and flow["sensor"] == 2


@pytest.mark.parametrize("with_store", [False, True])
def test_an_explicit_version_never_hides_a_change_of_code(tmp_path, with_store):
    def make():
        return Flow(interactive=True, store=str(tmp_path / "s.db") if with_store else None)

    flow = make()
    flow.input("x", 2)
    flow.reactive(name="y", deps=["x"], version="1")(lambda x: x + 1)
    flow.run()
    again = make()
    again.input("x", 2)
    again.reactive(name="y", deps=["x"], version="1")(lambda x: x * 10)
    again.run()
    assert again["y"] == 20


def test_explain_answers_after_any_redeclaration():
    flow = Flow(interactive=True)
    flow.input("a", 1)
    flow.reactive(name="b", deps=["a"])(lambda a: a)
    flow.run()
    for deps in (["a", "a"], ["nope"], ["b"], ["a"]):
        flow.reactive(name="b", deps=deps)(lambda *v: sum(v))
        assert str(flow.explain("b"))


def scenario():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(name="same", deps=["x"])(lambda x: 0)
    flow.reactive(name="twice", deps=["x"])(lambda x: 2 * x)
    flow.reactive(name="fails", deps=["twice"])(lambda t: 1 / (t - 4))
    flow.reactive(name="after", deps=["fails"])(lambda f: f)
    flow.reactive(name="cut", deps=["same"])(lambda s: s + 1)
    return flow


def report_of(flow, backend):
    try:
        if backend == "inline":
            report = flow.run()
        elif backend == "threads":
            with ThreadPoolExecutor(2) as pool:
                report = flow.run(executor=pool)
        else:
            report = asyncio.run(flow.arun())
    except FlowError as error:
        report = error.report
    return (report.inputs, report.recomputed, report.loaded, report.cut_off, report.memo_hits,
            {n: type(e) for n, e in report.failed.items()}, report.blocked, sorted(report.seconds))


def test_every_backend_gives_the_same_report():
    reports = {}
    for backend in ("inline", "threads", "async"):
        flow = scenario()
        runs = [report_of(flow, backend)]
        for value in (2, 3):
            flow.set(x=value)
            runs.append(report_of(flow, backend))
        reports[backend] = runs
    assert reports["threads"] == reports["inline"] == reports["async"]
    assert "fails" in reports["inline"][1][7]  # a failed node is timed like any other


@pytest.mark.parametrize("executor", [None, "threads"])
def test_every_argument_changed_in_place_is_named_and_recomputed(executor):
    flow = Flow(check_mutation=True)
    flow.input("a", [1])
    flow.reactive(name="b", deps=["a"])(lambda a: [a[0] * 2])

    def careless(a, b):
        a.append(0)
        b.append(0)
        raise ValueError("and then it fails")

    flow.reactive(name="c", deps=["a", "b"])(careless)
    with pytest.raises(FlowError) as caught:
        if executor:
            with ThreadPoolExecutor(2) as pool:
                flow.run(executor=pool)
        else:
            flow.run()
    assert isinstance(caught.value.report.failed["c"], ValueError)
    flow.reactive(name="c", deps=["a", "b"], replace=True)(lambda a, b: len(a) + len(b))
    flow.run()
    assert (flow["a"], flow["b"], flow["c"]) == ([1, 0], [2], 3)  # b recomputed from the changed a


def test_a_function_that_cannot_be_sent_to_a_process_fails_alone():
    flow = Flow()
    flow.input("x", 1)
    for k in range(6):
        flow.reactive(name=f"n{k}", deps=["x"])(abs)
    flow.reactive(name="local", deps=["x"])(lambda x: x)  # a lambda does not pickle
    with ProcessPoolExecutor(2) as pool, pytest.raises(FlowError) as caught:
        flow.run(executor=pool)
    assert list(caught.value.report.failed) == ["local"]
    assert isinstance(caught.value.report.failed["local"], (pickle.PicklingError, AttributeError, TypeError))
    assert [flow[f"n{k}"] for k in range(6)] == [1] * 6


def test_an_empty_flow_runs_and_draws():
    flow = Flow()
    assert flow.run().recomputed == []
    assert flow.to_dot().startswith("digraph") and flow.to_mermaid().startswith("flowchart")
    assert "text/plain" in flow._repr_mimebundle_()


def test_targets_that_need_nothing_broken_run_beside_a_broken_node():
    flow = Flow()
    flow.input("x", 1)
    flow.reactive(name="y", deps=["x"])(lambda x: x + 1)
    flow.reactive(name="broken", deps=["nowhere"])(lambda n: n)
    assert flow.run(targets=["y"]).recomputed == ["y"]
    assert flow.is_current("y") and str(flow.explain("y")).startswith('"y" is up to date')
    with pytest.raises(ValueError, match='"broken" depends on unknown node "nowhere"'):
        flow.run()
    with pytest.raises(ValueError, match="unknown node"):
        flow.run(targets=["broken"])


def test_arrays_of_every_kind_are_handed_out_read_only():
    flow = Flow()
    flow.input("m", np.ma.masked_array([1, 2, 3], mask=[0, 1, 0]))
    flow.reactive(name="total", deps=["m"])(lambda m: int(m.sum()))

    @flow.reactive
    def scaled(m):
        m *= 10
        return m

    with pytest.raises(FlowError, match="scaled"):
        flow.run()
    assert flow["total"] == 4 and flow.is_current("total")
