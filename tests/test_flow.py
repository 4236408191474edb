"""movra.Flow: the reactive runtime on top of the kernel."""
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import movra
from movra import Flow, FlowError


def invoice_flow(calls=None):
    calls = calls if calls is not None else []
    flow = Flow()
    flow.input("price", 10.0)
    flow.input("qty", 3)
    flow.input("note", "hello")

    @flow.reactive
    def subtotal(price, qty):
        calls.append("subtotal")
        return price * qty

    @flow.reactive
    def tax(subtotal):
        calls.append("tax")
        return round(subtotal * 0.2, 2)

    @flow.view
    def invoice(subtotal, tax):
        calls.append("invoice")
        return f"{subtotal + tax:.2f}"

    @flow.view(deps=["note"], name="banner")
    def shout(text):
        calls.append("banner")
        return text.upper()

    return flow, calls


def test_first_run_computes_everything_in_order():
    flow, calls = invoice_flow()
    report = flow.run()
    assert calls == ["subtotal", "tax", "invoice", "banner"]
    assert report.inputs == ["price", "qty", "note"]
    assert report.recomputed == ["subtotal", "tax", "invoice", "banner"]
    assert report.memo_hits == report.cut_off == [] and not report.failed
    assert (flow["invoice"], flow["banner"]) == ("36.00", "HELLO")
    assert set(report.seconds) == set(report.recomputed) and report.total_seconds > 0
    assert flow.graph.dirty_nodes() == []


def test_a_change_recomputes_exactly_what_it_reaches():
    flow, calls = invoice_flow()
    flow.run()
    calls.clear()
    flow.set(price=12.0)
    report = flow.run()
    assert calls == ["subtotal", "tax", "invoice"]  # the banner is not even scheduled
    assert report.inputs == ["price"] and flow["invoice"] == "43.20"


def test_same_content_is_a_memo_hit():
    flow, calls = invoice_flow()
    flow.run()
    calls.clear()
    flow.set({"price": 10.0})
    report = flow.run()
    assert calls == [] and report.recomputed == []
    assert report.inputs == report.memo_hits == []  # an unchanged input schedules nothing


def test_early_cutoff_spares_dependents_unless_disabled():
    for cutoff, expected in [(True, ["parity"]), (False, ["parity", "label"])]:
        flow, calls = Flow(), []
        flow.input("n", 2)

        @flow.reactive(cutoff=cutoff)
        def parity(n):
            calls.append("parity")
            return n % 2

        @flow.view
        def label(parity):
            calls.append("label")
            return "odd" if parity else "even"

        flow.run()
        calls.clear()
        flow.set(n=4)
        report = flow.run()
        assert calls == expected
        assert (report.cut_off == ["parity"]) is cutoff
        assert flow["label"] == "even"


def test_failure_is_isolated_and_retried():
    flow, state = Flow(), {"fail": False}
    flow.input("x", 1)
    flow.input("y", 10)

    @flow.reactive
    def fragile(x):
        if state["fail"]:
            raise ZeroDivisionError("boom")
        return x + 1

    @flow.view
    def after(fragile):
        return fragile * 2

    @flow.view
    def independent(y):
        return y * 3

    flow.run()
    state["fail"] = True
    flow.set(x=5, y=20)
    with pytest.raises(FlowError) as info:
        flow.run()
    report = info.value.report
    assert isinstance(info.value.__cause__, ZeroDivisionError)
    assert list(report.failed) == ["fragile"] and report.blocked == ["after"]
    assert report.recomputed == ["independent"] and flow["independent"] == 60
    assert (flow["fragile"], flow["after"]) == (2, 4)  # previous values kept
    assert flow.graph.dirty_nodes() == ["fragile", "after"]

    state["fail"] = False
    report = flow.run()
    assert report.recomputed == ["fragile", "after"] and flow["after"] == 12


def test_executor_runs_give_the_sequential_results_with_kernel_calls_on_one_thread():
    def make():
        flow = Flow()
        for i in range(4):
            flow.input(f"in{i}", i)
        for level in range(1, 4):
            for i in range(4):
                deps = [f"{'in' if level == 1 else f'l{level - 1}_'}{j}" for j in (i, (i + 1) % 4)]
                flow.reactive(deps=deps, name=f"l{level}_{i}")(lambda a, b, k=level * 10 + i: a + b + k)
        return flow

    sequential, parallel = make(), make()
    sequential.run()
    parallel.run()
    for change in [{"in1": 5}, {"in0": 7}, {"in2": 2}, {"in1": -3, "in3": 9}]:
        sequential.set(change)
        parallel.set(change)
        expected = sequential.run()
        with ThreadPoolExecutor(4) as pool:
            got = parallel.run(executor=pool)
        assert sorted(got.recomputed) == sorted(expected.recomputed)
        assert sorted(got.memo_hits + got.cut_off) == sorted(expected.memo_hits + expected.cut_off)
        assert {n: parallel[n] for n in parallel} == {n: sequential[n] for n in sequential}


def test_sources_recompute_when_refreshed():
    flow, reading = Flow(), {"value": 1}
    flow.input("scale", 10)

    @flow.source
    def sensor():
        return reading["value"]

    @flow.view
    def scaled(sensor, scale):
        return sensor * scale

    assert flow.run().recomputed == ["sensor", "scaled"]
    reading["value"] = 2
    assert flow.run().recomputed == []  # nobody said the outside world changed
    flow.refresh("sensor")
    assert flow.run().recomputed == ["sensor", "scaled"] and flow["scaled"] == 20
    flow.refresh("sensor")
    report = flow.run()
    assert report.cut_off == ["sensor"] and report.memo_hits == ["scaled"]
    with pytest.raises(ValueError):
        flow.refresh("scale")


def test_explain():
    flow, _ = invoice_flow()
    assert flow.explain("tax").verdict == "never computed"
    flow.run()
    assert flow.explain("invoice").verdict == "up to date"
    flow.set(price=11.0)
    why = flow.explain("invoice")
    assert (why.verdict, why.changed, why.causes) == ("would recompute", ["subtotal", "tax"], ["price"])
    assert "because of \"price\"" in str(why)
    flow.run()
    after = flow.explain("tax")
    assert after.verdict == "up to date" and after.last_run_changed == ["subtotal"]


@pytest.mark.parametrize(
    "declare, error, message",
    [
        (lambda f: f.reactive(deps=["missing"], name="n")(lambda m: m), ValueError,
         '"n" depends on unknown node "missing"'),
        (lambda f: f.reactive(deps=["prices"], name="n")(lambda m: m), ValueError,
         '"n" depends on unknown node "prices" (did you mean "price"?)'),
        (lambda f: (f.reactive(deps=["b"], name="a")(lambda b: b), f.reactive(deps=["a"], name="b")(lambda a: a)),
         ValueError, 'dependency cycle among "a", "b": redefine or remove one of them'),
    ],
)
def test_declaration_errors_name_the_nodes(declare, error, message):
    flow = Flow()
    flow.input("price", 1)
    declare(flow)
    with pytest.raises(error) as info:
        flow.run()
    assert info.value.args == (message,)
    with pytest.raises(error):  # still reported until the graph is fixed
        flow.run()


def test_duplicate_names_and_bad_operations():
    flow = Flow()
    flow.input("x", 1)
    with pytest.raises(ValueError, match='node "x" is already declared: pass replace=True'):
        flow.input("x")
    assert flow["x"] == 1  # an input's value is known before any run
    with pytest.raises(KeyError):
        flow.set(nope=1)
    flow.reactive(deps=["x"], name="y")(lambda x: x)
    with pytest.raises(LookupError, match="run the flow first"):
        flow["y"]
    with pytest.raises(ValueError, match="only inputs are set"):
        flow.set(y=2)


def test_values_that_cannot_be_hashed_name_the_node():
    flow = Flow()
    flow.input("x", 1)

    @flow.reactive
    def handle(x):
        return threading.Lock()

    with pytest.raises(FlowError) as info:
        flow.run()
    error = info.value.report.failed["handle"]
    assert isinstance(error, TypeError)
    assert 'the value of "handle" cannot be hashed' in str(error) and "content_hash.register" in str(error)
    with pytest.raises(TypeError, match='input "x"'):
        flow.set(x=threading.Lock())


def test_input_without_a_value_fails_its_run():
    flow = Flow()
    flow.input("x")
    flow.reactive(deps=["x"], name="y")(lambda x: x)
    with pytest.raises(FlowError) as info:
        flow.run()
    assert list(info.value.report.failed) == ["x"] and info.value.report.blocked == ["y"]
    flow.set(x=3)
    flow.run()
    assert flow["y"] == 3


def test_drawings_show_kinds_states_and_edges():
    flow, _ = invoice_flow()
    dot = flow.to_dot()
    assert dot.startswith("digraph flow {") and '"subtotal" -> "tax";' in dot
    assert 'label="tax\\nreactive · dirty"' in dot
    flow.run()
    mermaid = flow.to_mermaid()
    assert mermaid.startswith("flowchart LR") and "invoice<br/><small>view · clean</small>" in mermaid
    assert mermaid.count("-->") == 6


def test_content_hash():
    h = movra.content_hash
    assert h(-1) != h(-2) and h(1) != h(True) and h(1) != h(1.0) and h("1") != h(b"1")
    assert h({"a": 1, "b": [2, 3]}) != h({"b": [2, 3], "a": 1})  # iterating them differs
    assert h([1, 2]) != h((1, 2)) and h({1, 2}) == h({2, 1})
    assert h(float("nan")) == h(float("nan")) and 0 <= h("x") < 2**64

    class Point:
        def __init__(self, x):
            self.x = x

    @h.register(Point)
    def _(p):
        return h(("Point", p.x))

    assert h(Point(1)) == h(Point(1)) != h(Point(2))


def double(x):
    return 2 * x


def total(a, b):
    return a + b


def test_process_pool_executor():
    from concurrent.futures import ProcessPoolExecutor

    flow = Flow()
    flow.input("x", 3)
    flow.reactive(deps=["x"], name="a")(double)
    flow.reactive(deps=["x"], name="b")(double)
    flow.view(total)
    with ProcessPoolExecutor(2) as pool:
        report = flow.run(executor=pool)
        assert flow["total"] == 12 and sorted(report.recomputed) == ["a", "b", "total"]
        flow.set(x=4)
        flow.run(executor=pool)
    assert flow["total"] == 16


def test_runs_build_the_kernel_graph_only_after_declarations():
    flow, _ = invoice_flow()
    flow.run()
    graph = flow.graph
    for price in (1.0, 2.0, 3.0):
        flow.set(price=price)
        flow.run()
    assert flow.graph is graph
    flow.input("late", 1)
    flow.run()
    assert flow.graph is not graph
