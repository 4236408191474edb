"""movra.Flow against calling the same functions directly, side by side.

    python benchmarks/flow.py                      # 100,000 nodes, a 1M-row frame, best of 5
    python benchmarks/flow.py --reps 5
    python benchmarks/flow.py --nodes 20000 --rows 200000 --results /tmp/flow.json   # a quick look

The pipeline needs pandas (`pip install -r benchmarks/requirements-peers.txt`
in the environment that has movra); without it those rows are left out.

Every measure times movra and its baseline in the same repetition, one after
the other, and keeps the best repetition of each: the machine may be shared,
and the least disturbed run is the most telling.  Only the ratios mean
anything.  The workloads are in workloads.py:

- first run: a fresh flow of N trivial integer functions (1 to 3 dependencies
  each) against calling them in topological order;
- a change at the input whose change reaches closest to 1% of the nodes,
  `set` and `run`, against calling just the nodes it reaches;
- a memo-hit pass: every input marked changed with the value it has, so the
  run visits every node and recomputes none, against the kernel's own pass
  (`mark_dirty`, then `check_node` and `skip_node` in order);
- every input changed, so everything recomputes: inline against
  direct calls, and on a ThreadPoolExecutor(2) against inline;
- the structure rebuilt after declaring one more node (recorded only);
- a 20-step pandas pipeline: first run against calling the steps, and a change
  reaching the last five steps against calling those five.

Prints a markdown table and saves benchmarks/results-flow.json (report.py's
format, with the goals), which report.py shows in the benchmarks page.
"""
from __future__ import annotations

import argparse
import gc
import sys
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import movra  # noqa: E402
from movra.hashing import content_hash  # noqa: E402

import report  # noqa: E402
import workloads  # noqa: E402
from workloads import Best, timed  # noqa: E402

RESULTS = HERE / "results-flow.json"
MOVRA, DIRECT = "movra", "direct calls"

FIRST_RUN = "first run (per node)"
SMALL_CHANGE = "a change reaching 1% of the nodes (per node reached)"
MEMO_PASS = "memo-hit pass (per node)"
RECOMPUTE = "every input changed, inline (per node)"
THREADS = "every input changed, ThreadPoolExecutor(2) (per node)"
REBUILD = "structure rebuilt after one more node (per node)"
PIPELINE_FIRST = "pandas pipeline, 20 steps: first run"
PIPELINE_TAIL = "pandas pipeline: a change reaching the last 5 steps"

# measure -> (kind, limit), as report.verdict reads them.
GOALS: dict[str, tuple[str, float]] = {
    FIRST_RUN: ("ratio", 2.5),
    SMALL_CHANGE: ("ratio", 2.0),
    MEMO_PASS: ("ratio", 2.0),
    THREADS: ("excess", 5e-6),
    PIPELINE_FIRST: ("ratio", 1.3),
    PIPELINE_TAIL: ("ratio", 1.5),
}


class Mismatch(AssertionError):
    pass


def check(ok: bool, what: str) -> None:
    """Every measure checks its result once: a fast wrong answer is no result."""
    if not ok:
        raise Mismatch(what)


# The DAG -------------------------------------------------------------------------

def dag_flow(dag: workloads.TrivialDag, inputs: dict[str, int]) -> movra.Flow:
    """Declared the idiomatic way: each function's parameters name its dependencies."""
    flow = movra.Flow()
    for name, value in inputs.items():
        flow.input(name, value)
    for func in dag.funcs:
        if func is not None:
            flow.reactive(func)
    return flow


def fresh_values(dag: workloads.TrivialDag, inputs: dict[str, int]) -> list[Any]:
    values: list[Any] = [None] * len(dag)
    for name, value in inputs.items():
        values[int(name[1:])] = value
    return values


def same_values(flow: movra.Flow, dag: workloads.TrivialDag, values: list[Any], which: list[int]) -> bool:
    names = dag.names
    return all(flow[names[i]] == values[i] for i in which)


def kernel_memo_pass(graph: movra.Graph, inputs: list[str], hashes: dict[str, int]) -> int:
    """The kernel's own pass over a change that changes nothing: what a runtime
    cannot do with less."""
    check_node, skip, commit_input = graph.check_node, graph.skip_node, graph.commit_input
    visited = 0
    for name in graph.mark_dirty(inputs):
        kind, needed, signature = check_node(name)
        if kind == "input":
            commit_input(name, hashes[name])
        elif needed:
            raise Mismatch(f"{name} needs recomputing in a pass that changes nothing")
        else:
            skip(name, signature)
        visited += 1
    return visited


def bench_dag(n: int, reps: int, best: Best) -> dict[str, int]:
    print(f"generating a {n:,}-node DAG", flush=True)
    dag = workloads.make_dag(n)
    plan = workloads.direct_plan(dag)
    every = range(len(dag))
    inputs = dag.initial_inputs()
    print(f"  {len(dag.inputs)} inputs; the small change reaches {len(dag.reach)} nodes", flush=True)

    flow = None
    for rep in range(reps):
        flow = None
        gc.collect()
        flow = dag_flow(dag, inputs)
        best.add(FIRST_RUN, MOVRA, timed(flow.run) / n)
        values = fresh_values(dag, inputs)
        best.add(FIRST_RUN, DIRECT, timed(lambda: workloads.direct_run(plan, values)) / n)
        if rep == 0:
            check(same_values(flow, dag, values, list(every)), "first run: movra and direct calls differ")
    assert flow is not None
    show(best, FIRST_RUN)

    small, reach = dag.names[dag.small], dag.reach
    small_plan = [(i, dag.funcs[i], dag.deps[i]) for i in reach]
    for rep in range(max(reps, 7)):  # short: more repetitions cost little
        value = (inputs[small] + 1 + rep) % workloads.PRIME
        outcome = []
        best.add(SMALL_CHANGE, MOVRA, timed(lambda: outcome.append((flow.set({small: value}), flow.run())))
                 / len(reach))
        values[dag.small] = value
        best.add(SMALL_CHANGE, DIRECT, timed(lambda: workloads.direct_run(small_plan, values)) / len(reach))
        ran = outcome[0][1]
        check(len(ran.recomputed) + len(ran.cut_off) == len(reach), "small change: not just the nodes below")
    check(same_values(flow, dag, values, reach), "small change: movra and direct calls differ")
    show(best, SMALL_CHANGE)

    input_names = [dag.names[i] for i in dag.inputs]
    hashes = {name: content_hash(flow[name]) for name in input_names}
    for _ in range(reps):
        outcome = []
        best.add(MEMO_PASS, MOVRA, timed(lambda: outcome.append((flow.graph.mark_dirty(input_names), flow.run())))
                 / n)
        check(len(outcome[0][1].memo_hits) == n - len(input_names), "memo pass: something recomputed")
        visited = []
        best.add(MEMO_PASS, "kernel memo pass",
                 timed(lambda: visited.append(kernel_memo_pass(flow.graph, input_names, hashes))) / n)
        check(visited[0] == n, "kernel memo pass: not every node visited")
    show(best, MEMO_PASS)

    with ThreadPoolExecutor(2) as pool:
        for rep in range(reps):
            inline = recompute_everything(flow, dag, plan, 2 * rep + 1, best, RECOMPUTE, None)
            recompute_everything(flow, dag, plan, 2 * rep + 2, best, THREADS, pool)
            best.add(THREADS, "inline run", inline)
    show(best, RECOMPUTE)
    show(best, THREADS)

    refresh: Callable[[], None] | None = getattr(flow, "_refresh_structure", None)
    if refresh is None:
        print("  (this Flow has no _refresh_structure: structure rebuild not measured)")
    else:
        last = dag.names[-1]
        for rep in range(reps):
            flow.reactive(deps=[last], name=f"extra_{rep}")(_one_more)
            best.add(REBUILD, MOVRA, timed(refresh) / len(flow))
            flow.run()
            check(flow[f"extra_{rep}"] == flow[last] + 1, "rebuild: the extra node is wrong")
        show(best, REBUILD)
    return {"nodes": n, "reached": len(reach)}


def recompute_everything(flow: movra.Flow, dag: workloads.TrivialDag, plan: list[Any], salt: int,
                         best: Best, measure: str, executor: ThreadPoolExecutor | None) -> float:
    """Every input changed, then a run (inline or on `executor`) against direct
    calls; returns movra's time per node."""
    n = len(dag)
    changed = dag.initial_inputs(salt=salt)
    flow.set(changed)
    own = timed(lambda: flow.run(executor=executor)) / n
    best.add(measure, MOVRA, own)
    values = fresh_values(dag, changed)
    direct = timed(lambda: workloads.direct_run(plan, values)) / n
    if executor is None:
        best.add(measure, DIRECT, direct)
    check(same_values(flow, dag, values, list(range(n))), f"{measure}: movra and direct calls differ")
    return own


def _one_more(x: int) -> int:
    return x + 1


# The pandas pipeline ---------------------------------------------------------------

def pipeline_flow(pipeline: workloads.Pipeline) -> movra.Flow:
    flow = movra.Flow()
    flow.input("raw")
    flow.input("scale")
    for func in pipeline.funcs:
        flow.reactive(func)
    return flow


def bench_pipeline(rows: int, reps: int, best: Best) -> None:
    print(f"generating a {rows:,}-row frame and the {workloads.STEPS}-step pipeline", flush=True)
    pipeline = workloads.make_pipeline(rows)
    last, before_tail = pipeline.last, pipeline.names[workloads.CHANGED_FROM - 2]
    flow = None
    for rep in range(reps):
        flow = None
        gc.collect()
        flow = pipeline_flow(pipeline)
        best.add(PIPELINE_FIRST, MOVRA, timed(lambda: (flow.set(raw=pipeline.raw, scale=1.0), flow.run())))
        out: list[Any] = []
        best.add(PIPELINE_FIRST, DIRECT, timed(lambda: out.extend(workloads.pipeline_direct(pipeline, 1.0))))
        if rep == 0:
            check(flow[last].equals(out[-1]), "pipeline: movra and direct calls differ")
        out.clear()
    assert flow is not None
    show(best, PIPELINE_FIRST)

    for rep in range(reps):
        scale = 1.0 + (rep + 1) / 64
        outcome = []
        best.add(PIPELINE_TAIL, MOVRA, timed(lambda: outcome.append((flow.set(scale=scale), flow.run()))))
        check(len(outcome[0][1].recomputed) == workloads.STEPS - workloads.CHANGED_FROM + 1,
              "pipeline: not just the last steps recomputed")
        start = flow[before_tail]
        tail: list[Any] = []
        best.add(PIPELINE_TAIL, DIRECT, timed(lambda: tail.extend(
            workloads.pipeline_direct(pipeline, scale, start=workloads.CHANGED_FROM, frame=start))))
        check(flow[last].equals(tail[-1]), "pipeline tail: movra and direct calls differ")
    show(best, PIPELINE_TAIL)


# Reporting ---------------------------------------------------------------------------

def baseline_of(best: Best, measure: str) -> str | None:
    return next((impl for m, impl in best.times if m == measure and impl != MOVRA), None)


def show(best: Best, measure: str) -> None:
    own, base = best.best(measure, MOVRA), baseline_of(best, measure)
    line = f"  {measure:<58} movra {report.fmt(measure, own):>10}"
    if own is not None and base:
        other = best.best(measure, base)
        assert other is not None
        line += f"  {base} {report.fmt(measure, other):>10}  {report.verdict(GOALS.get(measure), own, other)[0]}"
    print(line, flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--rows", type=int, default=workloads.ROWS)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--results", type=Path, default=RESULTS)
    args = parser.parse_args()

    best = Best()
    sizes = bench_dag(args.nodes, args.reps, best)
    try:
        import pandas  # noqa: F401
    except ImportError:
        print("pandas is not installed: the pipeline is left out")
    else:
        bench_pipeline(args.rows, args.reps, best)
        sizes["rows"] = args.rows

    rows: dict[tuple[str, int], dict[str, float]] = {}
    for (measure, impl), _ in best.times.items():
        n = sizes["rows"] if measure.startswith("pandas") else sizes["nodes"]
        rows.setdefault((measure, n), {})[impl] = best.best(measure, impl)  # type: ignore[assignment]
    from run import machine
    report.save(args.results, machine(), args.reps, rows,
                f"best of {args.reps} repetitions, each measure side by side with its baseline",
                goals={m: list(g) for m, g in GOALS.items()})
    head = f"{sizes['nodes']:,} nodes (the small change reaches {sizes['reached']:,})"
    if "rows" in sizes:
        head += f"; the pipeline's frame has {sizes['rows']:,} rows"
    print(f"\n{head}\n\n" + report.goal_table(report.load(args.results)))
    print(f"wrote {args.results}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
