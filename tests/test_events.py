"""Run events delivered to hooks: the same decisions on every backend, hooks
that raise undo nothing, and the progress bar and logger built on them."""
import asyncio
import logging
import re
from concurrent.futures import ThreadPoolExecutor

import pytest

import movra
from movra import Flow, FlowError

SETTLED = {"finish", "cut_off", "loaded", "memo_hit", "failed", "blocked"}


def double(x):
    return 2 * x


def parity(x):
    return x % 2


def ratio(double, parity):
    return double / parity


def label(ratio):
    return f"{ratio:.1f}"


def make_flow(x=3):
    flow = Flow()
    flow.input("x", x)
    for func in (double, parity, ratio, label):
        flow.reactive(func)
    return flow


def per_node(events):
    """Each node's events in order; the run's own events first and last."""
    assert events[0].kind == "run_start" and events[-1].kind == "run_end"
    nodes = {}
    for event in events[1:-1]:
        assert event.kind not in ("run_start", "run_end")
        nodes.setdefault(event.node, []).append(event.kind)
    return nodes


def scenario(run):
    """A first run, a change cut off at `parity`, a failure and its blocked
    dependent, and a memo-hit pass: each run's events per node."""
    flow, seen = make_flow(), []
    flow.add_hook(seen.append)
    out = []
    for x in (3, 5, 4, None):
        if x is not None:
            flow.set(x=x)
        else:
            flow.graph.mark_dirty(["x"])
        seen.clear()
        try:
            run(flow)
        except FlowError:
            pass
        out.append(per_node(list(seen)))
        assert seen[0].total == sum(1 for k in out[-1].values() if set(k) & SETTLED)
    return out


EXPECTED = [
    {"double": ["start", "finish"], "parity": ["start", "finish"], "ratio": ["start", "finish"],
     "label": ["start", "finish"]},
    {"double": ["start", "finish"], "parity": ["start", "cut_off"], "ratio": ["start", "finish"],
     "label": ["start", "finish"]},
    {"double": ["start", "finish"], "parity": ["start", "finish"], "ratio": ["start", "failed"],
     "label": ["blocked"]},
    {"double": ["memo_hit"], "parity": ["memo_hit"], "ratio": ["start", "failed"], "label": ["blocked"]},
]


def _threads(flow):
    with ThreadPoolExecutor(2) as pool:
        flow.run(executor=pool)


BACKENDS = {
    "inline": lambda flow: flow.run(),
    "threads": _threads,
    "async": lambda flow: asyncio.run(flow.arun()),
}


@pytest.mark.parametrize("backend", list(BACKENDS))
def test_every_backend_gives_the_same_events(backend):
    assert scenario(BACKENDS[backend]) == EXPECTED


def test_a_cluster_gives_the_same_events():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        assert scenario(lambda flow: flow.run(executor=client)) == EXPECTED


def test_seconds_and_errors_travel_with_the_events():
    flow, seen = make_flow(4), []
    with pytest.raises(FlowError):
        flow.run(hooks=[seen.append])
    failed = [e for e in seen if e.kind == "failed"]
    assert [(e.node, type(e.error)) for e in failed] == [("ratio", ZeroDivisionError)]
    assert all(e.seconds >= 0 for e in seen if e.kind == "finish")
    assert seen[-1].report.failed == {"ratio": failed[0].error}


def test_loaded_values_give_loaded_events(tmp_path):
    store = str(tmp_path / "values.sqlite")
    first = Flow(store=movra.store.open_store(store, min_seconds=0))  # a trivial value is worth keeping here
    first.input("x", 3)
    first.reactive(double)
    first.run()
    second, seen = Flow(store=store), []
    second.input("x", 3)
    second.reactive(double)
    second.run(hooks=[seen.append])
    assert [(e.kind, e.node) for e in seen[1:-1]] == [("loaded", "double")]


def test_a_hook_that_raises_is_reported_and_undoes_nothing():
    flow, seen = make_flow(), []

    def broken(event):
        if event.kind == "finish" and event.node == "parity":
            raise ValueError("hook bug")

    flow.add_hook(broken)
    flow.add_hook(seen.append)
    with pytest.warns(RuntimeWarning, match="a hook raised ValueError on a finish event: hook bug"):
        report = flow.run()
    assert flow["label"] == "6.0" and report.recomputed == ["double", "parity", "ratio", "label"]
    assert [(n, str(e)) for n, e in report.callback_errors] == [("parity", "hook bug")]
    assert len([e for e in seen if e.kind == "finish"]) == 4  # the other hook missed nothing


def test_cancel_removes_a_hook_and_hooks_are_checked():
    flow, seen = make_flow(), []
    handle = flow.add_hook(seen.append)
    handle.cancel()
    handle.cancel()  # twice is harmless
    flow.run()
    assert seen == []
    with pytest.raises(TypeError, match="a hook must be callable, not int"):
        flow.add_hook(3)
    with pytest.raises(TypeError, match=r"hooks must be a list of callables, not a callable: hooks=\[hook\]"):
        flow.run(hooks=seen.append)


def test_an_interrupted_run_still_ends_its_events():
    flow, seen = Flow(), []
    flow.input("x", 1)

    @flow.reactive
    def stop(x):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        flow.run(hooks=[seen.append])
    assert [e.kind for e in seen] == ["run_start", "start", "run_end"]


def test_progress_bar_counts_the_settled_nodes(capsys):
    pytest.importorskip("tqdm")
    flow = make_flow()
    flow.run(progress=True)
    bar = capsys.readouterr().err
    assert "movra" in bar and "4/4" in bar


def test_the_logger_has_a_line_per_node_and_a_summary(caplog):
    flow = make_flow(4)
    flow.add_hook(movra.log_events)
    with caplog.at_level(logging.DEBUG, logger="movra"), pytest.raises(FlowError):
        flow.run()
    lines = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "movra"]
    assert [re.sub(r" in [0-9.]+ ms", "", m) for level, m in lines if level == "DEBUG"] == [
        '"double" computed', '"parity" computed',
        '"ratio" failed: ZeroDivisionError: division by zero', '"label" blocked (a dependency failed)']
    assert lines[-1][0] == "INFO" and "2 recomputed" in lines[-1][1] and "1 failed, 1 blocked" in lines[-1][1]
