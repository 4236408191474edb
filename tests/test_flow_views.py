"""What a user reads: error messages that say what to do, the flow as a
mapping, and the views (text, HTML, SVG) of reports, explanations and flows."""
import collections.abc
import re
import traceback
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import movra
from movra import Flow, FlowError


def invoice(qty=0):
    flow = Flow()
    flow.input("price", 10)
    flow.input("qty", qty)

    @flow.reactive
    def unit(price, qty):
        return price / qty

    @flow.view
    def label(unit):
        return f"{unit} EUR"

    return flow


def failed_invoice():
    flow = invoice()
    with pytest.raises(FlowError) as raised:
        flow.run()
    return flow, raised.value


MESSAGES = [
    ("a failed node", lambda f: f["unit"], LookupError,
     '"unit" has no value: its last run failed with ZeroDivisionError: division by zero'),
    ("a node below a failure", lambda f: f["label"], LookupError,
     '"label" has no value: it was not run because "unit" failed with ZeroDivisionError: division by zero'),
    ("a misspelt input", lambda f: f.set(prcie=1), KeyError, 'unknown node: "prcie" (did you mean "price"?)'),
    ("a misspelt read", lambda f: f["lable"], KeyError, 'unknown node: "lable" (did you mean "label"?)'),
    ("a number of workers", lambda f: f.run(executor=4), TypeError,
     "executor must be a concurrent.futures.Executor or a distributed.Client, not int "
     "(for 4 workers: executor=ThreadPoolExecutor(4))"),
    ("an executor's class", lambda f: f.run(executor=ThreadPoolExecutor), TypeError,
     "executor must be an executor, not the class ThreadPoolExecutor: pass an instance, "
     "e.g. executor=ThreadPoolExecutor()"),
    ("a string", lambda f: f.run(executor="threads"), TypeError,
     "executor must be a concurrent.futures.Executor or a distributed.Client, not str"),
]


@pytest.mark.parametrize("read, error, message", [m[1:] for m in MESSAGES], ids=[m[0] for m in MESSAGES])
def test_a_mistake_says_what_went_wrong(read, error, message):
    flow, _ = failed_invoice()
    with pytest.raises(error) as raised:
        read(flow)
    assert str(raised.value) == message
    assert traceback.format_exception_only(raised.value)[-1].strip().endswith(message)  # no doubled quotes
    assert not flow.is_current("unit")


def test_a_refused_executor_changes_nothing():
    flow = invoice(qty=2)
    flow.run()
    flow.set(qty=4)
    with pytest.raises(TypeError):
        flow.run(executor=4)
    assert flow.explain("unit").verdict == "would recompute" and flow["unit"] == 5.0
    assert flow.run().recomputed == ["unit", "label"]


def test_a_flow_error_names_the_first_cause_and_prints_as_movra_flow_error():
    _, error = failed_invoice()
    assert str(error) == '"unit" failed: ZeroDivisionError: division by zero'
    assert traceback.format_exception_only(error)[-1].startswith("movra.FlowError: ")
    flow = Flow()
    flow.input("x", 0)
    for k in range(8):
        flow.reactive(deps=["x"], name=f"n{k}")(lambda x: 1 / x)
    with pytest.raises(FlowError) as raised:
        flow.run()
    assert str(raised.value) == ('8 nodes failed, first "n0": ZeroDivisionError: division by zero '
                                 '(also "n1", "n2", "n3", "n4", "n5", ...)')


def test_explain_after_a_new_definition_says_the_code_changed():
    flow = invoice(qty=2)
    flow.run()

    @flow.reactive(replace=True)
    def unit(price, qty):
        return price / qty / 2

    assert str(flow.explain("unit")) == '"unit" would recompute: its code changed'
    why = flow.explain("label")
    assert why.reason == "" and str(why).startswith('"label" would recompute: "unit" changed or may change')


def test_a_default_hidden_by_a_later_node_is_warned_about():
    flow = Flow()

    @flow.reactive
    def total(price, rate=0.2):
        return price * (1 + rate)

    flow.input("price", 10)  # not a default: no warning
    with pytest.warns(movra._messages.HiddenDefaultWarning) as caught:
        flow.input("rate", 0.5)
    assert str(caught[0].message).startswith('"rate" is now a node, but the parameter rate of "total" keeps '
                                             "its default")
    assert caught[0].filename == __file__  # points at the user's line
    flow.run()
    assert flow["total"] == 12.0  # the rule holds: the default is kept
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        flow.remove("rate")
        flow.input("rate", 0.1)  # warned once only


def test_a_flow_is_a_read_only_mapping():
    flow = invoice(qty=2)
    assert isinstance(flow, collections.abc.Mapping)
    with pytest.raises(LookupError, match="has no value yet: run the flow first"):
        dict(flow)
    flow.run()
    assert dict(flow) == {"price": 10, "qty": 2, "unit": 5.0, "label": "5.0 EUR"}
    assert list(flow.keys()) == list(flow) and len(flow.values()) == 4 and ("unit", 5.0) in flow.items()
    assert flow.get("nope", None) is None and flow != invoice(qty=2) and len({flow, flow}) == 1
    with pytest.raises(TypeError):
        flow["unit"] = 1  # type: ignore[index]


def test_report_and_explanation_views():
    flow, error = failed_invoice()
    report = error.report
    page = report._repr_html_()
    assert re.search(r"<td[^>]*><code>unit</code></td><td[^>]*>failed</td>", page)
    assert "ZeroDivisionError: division by zero" in page and "a dependency failed" in page
    printed = []
    report._repr_pretty_(type("P", (), {"text": lambda self, t: printed.append(t)})(), False)
    assert printed == [str(report)] and "failed      unit (ZeroDivisionError: division by zero)" in printed[0]
    assert "<table>" in flow.explain("label")._repr_html_()


def test_drawings_tell_failed_and_blocked_from_dirty():
    flow, _ = failed_invoice()
    svg = flow.to_svg()
    states = {name: state for state, name in re.findall(r'<g class="movra-node (\w+)"><title>(\w+):', svg)}
    assert states == {"price": "clean", "qty": "clean", "unit": "failed",
                                                 "label": "blocked"}
    flow.set(qty=2)
    flow.run()
    flow.set(qty=4)
    lit = flow.to_svg(explain="label")
    assert re.findall(r'<title>(\w+):[^<]*</title><rect[^>]*stroke="#f59f00"', lit) == ["qty", "unit", "label"]
    assert lit.count('marker-end="url(#movra-arrow-lit)"') == 2 and "price" in lit  # the path, not the rest
    bundle = flow._repr_mimebundle_()
    assert "<svg" in bundle["text/html"] and bundle["text/vnd.mermaid"].startswith("flowchart LR")


@settings(max_examples=30, deadline=None)
@given(st.lists(st.lists(st.integers(0, 30), max_size=3), min_size=1, max_size=30))
def test_every_graph_is_drawn_with_each_node_once_and_edges_left_to_right(deps_lists):
    flow = Flow()
    flow.input("n0", 1)
    for k, deps in enumerate(deps_lists, start=1):
        names = sorted({f"n{d % k}" for d in deps}) or ["n0"]
        flow.reactive(deps=names, name=f"n{k}")(lambda *v: sum(v))
    svg = flow.to_svg()
    boxes = re.findall(r'<rect x="([\d.]+)" y="[\d.]+" width="([\d.]+)" height="36"', svg)
    assert len(boxes) == len(deps_lists) + 1
    for path in re.findall(r'<path d="M([\d.]+),[\d.]+ C.* ([\d.]+),[\d.]+" fill="none"', svg):
        assert float(path[0]) < float(path[1])  # every edge goes from a dependency to the right


def test_a_node_that_failed_then_hit_its_memo_is_not_drawn_failed():
    flow = invoice(qty=2)
    flow.run()
    flow.set(qty=0)
    with pytest.raises(FlowError):
        flow.run()
    flow.set(qty=2)
    assert flow.run().memo_hits == ["unit", "label"]
    assert "failed" not in re.findall(r'class="movra-node (\w+)"', flow.to_svg())


def test_an_old_failure_is_not_given_as_the_reason_once_a_memo_hit_cleared_it():
    flow = invoice(qty=2)
    flow.run()
    flow.set(qty=0)
    with pytest.raises(FlowError):
        flow.run()
    flow.set(qty=2)
    flow.run()  # a memo hit: the value of qty=2 is current again
    flow.set(qty=5)
    assert flow.explain("unit").reason == ""


def test_no_warning_for_a_function_declared_again_without_the_parameter():
    flow = Flow()

    @flow.reactive
    def total(price=1, rate=0.2):
        return price * rate

    @flow.reactive(replace=True)
    def total(price=1):  # noqa: F811
        return price

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        flow.input("rate", 3)
