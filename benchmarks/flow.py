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
- the first run with a hook that ignores every event, against the first run
  without hooks (recorded only: what delivering the events costs);
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
HOOKED = "first run, a hook on every event (per node)"
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
    """A measure's result differs from direct calls."""


class Skipped(Exception):
    """A measure this version of movra cannot make."""


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


def set_and_run(flow: movra.Flow, values: dict[str, Any]) -> movra.Report:
    flow.set(values)
    return flow.run()


def mark_and_run(flow: movra.Flow, names: list[str]) -> movra.Report:
    """A pass over everything below `names`, as if they had changed (they have not)."""
    flow.graph.mark_dirty(names)
    return flow.run()


def fresh_values(dag: workloads.TrivialDag, inputs: dict[str, int]) -> list[Any]:
    values: list[Any] = [None] * len(dag)
    for name, value in inputs.items():
        values[int(name[1:])] = value
    return values


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


class DagBench:
    """The DAG's measures, in order: each starts from the flow the one before
    left, all of it clean."""

    def __init__(self, n: int, reps: int, best: Best) -> None:
        print(f"generating a {n:,}-node DAG", flush=True)
        self.dag = dag = workloads.make_dag(n)
        self.n, self.reps, self.best = n, reps, best
        self.plan = workloads.direct_plan(dag)
        self.inputs = dag.initial_inputs()
        self.input_names = [dag.names[i] for i in dag.inputs]
        self.flow = movra.Flow()  # first_run makes the flow the others use
        self.values: list[Any] = []
        print(f"  {len(dag.inputs)} inputs; the small change reaches {len(dag.reach)} nodes", flush=True)

    def agrees(self, which: list[int] | range) -> bool:
        names, flow, values = self.dag.names, self.flow, self.values
        return all(flow[names[i]] == values[i] for i in which)

    def first_run(self) -> None:
        dag, n, best = self.dag, self.n, self.best
        for rep in range(self.reps):
            self.flow = movra.Flow()  # let the last one go first
            gc.collect()
            flow = self.flow = dag_flow(dag, self.inputs)
            best.add(FIRST_RUN, MOVRA, timed(flow.run) / n)
            values = self.values = fresh_values(dag, self.inputs)
            best.add(FIRST_RUN, DIRECT, timed(lambda: workloads.direct_run(self.plan, values)) / n)
            if rep == 0:
                check(self.agrees(range(n)), "first run: movra and direct calls differ")

    def hooked_run(self) -> None:
        """The first run with a hook that does nothing, against the first run
        without hooks: what delivering every event costs."""
        dag, n, best = self.dag, self.n, self.best
        if not hasattr(movra.Flow, "add_hook"):
            raise Skipped("this Flow has no hooks")
        for _ in range(self.reps):
            for hooked in (False, True):
                flow = None
                gc.collect()
                flow = dag_flow(dag, self.inputs)
                if hooked:
                    flow.add_hook(_ignore)
                best.add(HOOKED, MOVRA if hooked else "first run without hooks", timed(flow.run) / n)

    def small_change(self) -> None:
        dag, flow, values, best = self.dag, self.flow, self.values, self.best
        small, reach = dag.names[dag.small], dag.reach
        plan = workloads.direct_plan(dag, reach)
        for rep in range(max(self.reps, 7)):  # short: more repetitions cost little
            value = (self.inputs[small] + 1 + rep) % workloads.PRIME
            ran: list[movra.Report] = []
            best.add(SMALL_CHANGE, MOVRA, timed(lambda: ran.append(set_and_run(flow, {small: value}))) / len(reach))
            values[dag.small] = value
            best.add(SMALL_CHANGE, DIRECT, timed(lambda: workloads.direct_run(plan, values)) / len(reach))
            check(len(ran[0].recomputed) + len(ran[0].cut_off) == len(reach),
                  "small change: movra ran other nodes than those below the input")
        check(self.agrees(reach), "small change: movra and direct calls differ")

    def memo_pass(self) -> None:
        """Every input marked changed with the value it has: the run visits
        every node and recomputes none."""
        flow, names, n, best = self.flow, self.input_names, self.n, self.best
        hashes = {name: content_hash(flow[name]) for name in names}
        for _ in range(self.reps):
            ran: list[movra.Report] = []
            best.add(MEMO_PASS, MOVRA, timed(lambda: ran.append(mark_and_run(flow, names))) / n)
            check(len(ran[0].memo_hits) == n - len(names), "memo pass: movra recomputed something")
            visited: list[int] = []
            best.add(MEMO_PASS, "kernel memo pass",
                     timed(lambda: visited.append(kernel_memo_pass(flow.graph, names, hashes))) / n)
            check(visited[0] == n, "kernel memo pass: not every node visited")

    def thread_pool(self) -> None:
        """Every input changed, so every node recomputes: inline against direct
        calls, then on two threads against inline."""
        with ThreadPoolExecutor(2) as pool:
            for rep in range(self.reps):
                inline = self.recompute_everything(2 * rep + 1, RECOMPUTE, None)
                self.recompute_everything(2 * rep + 2, THREADS, pool)
                self.best.add(THREADS, "inline run", inline)

    def recompute_everything(self, salt: int, measure: str, executor: ThreadPoolExecutor | None) -> float:
        dag, flow, n = self.dag, self.flow, self.n
        changed = dag.initial_inputs(salt=salt)
        flow.set(changed)
        own = timed(lambda: flow.run(executor=executor)) / n
        self.best.add(measure, MOVRA, own)
        values = self.values = fresh_values(dag, changed)
        direct = timed(lambda: workloads.direct_run(self.plan, values)) / n
        if executor is None:
            self.best.add(measure, DIRECT, direct)
        check(self.agrees(range(n)), f"{measure}: movra and direct calls differ")
        return own

    def rebuild(self) -> None:
        """The structure step of the run after one more node is declared."""
        flow, last = self.flow, self.dag.names[-1]

        def refresh() -> None:
            flow.graph  # noqa: B018 - reading the graph builds the declarations made since

        for rep in range(self.reps):
            flow.reactive(deps=[last], name=f"extra_{rep}")(_one_more)
            self.best.add(REBUILD, MOVRA, timed(refresh) / len(flow))
            flow.run()
            check(flow[f"extra_{rep}"] == flow[last] + 1, "rebuild: the extra node is wrong")


def _ignore(event: Any) -> None:
    pass


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


class PipelineBench:
    def __init__(self, rows: int, reps: int, best: Best) -> None:
        print(f"generating a {rows:,}-row frame and the {workloads.STEPS}-step pipeline", flush=True)
        self.pipeline = workloads.make_pipeline(rows)
        self.reps, self.best = reps, best
        self.flow: movra.Flow | None = None

    def first_run(self) -> None:
        pipeline, best = self.pipeline, self.best
        for rep in range(self.reps):
            self.flow = None
            gc.collect()
            flow = self.flow = pipeline_flow(pipeline)
            best.add(PIPELINE_FIRST, MOVRA, timed(lambda: set_and_run(flow, {"raw": pipeline.raw, "scale": 1.0})))
            out: list[Any] = []
            best.add(PIPELINE_FIRST, DIRECT, timed(lambda: out.extend(workloads.pipeline_direct(pipeline, 1.0))))
            if rep == 0:
                check(flow[pipeline.last].equals(out[-1]), "pipeline: movra and direct calls differ")

    def tail_change(self) -> None:
        pipeline, best, flow = self.pipeline, self.best, self.flow
        assert flow is not None
        before_tail = pipeline.names[workloads.CHANGED_FROM - 2]
        for rep in range(self.reps):
            scale = 1.0 + (rep + 1) / 64
            ran: list[movra.Report] = []
            best.add(PIPELINE_TAIL, MOVRA, timed(lambda: ran.append(set_and_run(flow, {"scale": scale}))))
            check(len(ran[0].recomputed) == workloads.STEPS - workloads.CHANGED_FROM + 1,
                  "pipeline: movra recomputed other steps than the last five")
            start = flow[before_tail]
            tail: list[Any] = []
            best.add(PIPELINE_TAIL, DIRECT, timed(lambda: tail.extend(
                workloads.pipeline_direct(pipeline, scale, start=workloads.CHANGED_FROM, frame=start))))
            check(flow[pipeline.last].equals(tail[-1]), "pipeline tail: movra and direct calls differ")


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


def attempt(section: Callable[[], None], measures: list[str], best: Best, failures: list[str]) -> None:
    """Run one section; a fault in it drops its measures and leaves the others standing."""
    try:
        section()
    except Skipped as why:
        print(f"  {measures[0]}: skipped ({why})", flush=True)
    except Exception as error:
        failures.append(f"{measures[0]}: {type(error).__name__}: {error}")
        print(f"  {measures[0]}: FAILED: {type(error).__name__}: {error}", flush=True)
        best.drop(*measures)
    for measure in measures:
        if best.best(measure, MOVRA) is not None:
            show(best, measure)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--rows", type=int, default=workloads.ROWS)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--results", type=Path, default=RESULTS)
    args = parser.parse_args()

    best, failures = Best(), list[str]()
    dag = DagBench(args.nodes, args.reps, best)
    for section, measures in [(dag.first_run, [FIRST_RUN]), (dag.small_change, [SMALL_CHANGE]),
                              (dag.memo_pass, [MEMO_PASS]), (dag.thread_pool, [RECOMPUTE, THREADS]),
                              (dag.rebuild, [REBUILD]), (dag.hooked_run, [HOOKED])]:
        attempt(section, measures, best, failures)
    sizes = {"nodes": args.nodes}
    try:
        import pandas  # noqa: F401
    except ImportError:
        print("pandas is not installed: the pipeline is left out")
    else:
        pipe = PipelineBench(args.rows, args.reps, best)
        attempt(pipe.first_run, [PIPELINE_FIRST], best, failures)
        attempt(pipe.tail_change, [PIPELINE_TAIL], best, failures)
        sizes["rows"] = args.rows

    rows: dict[tuple[str, int], dict[str, float]] = {}
    for measure, impl in best.times:
        n = sizes["rows"] if measure.startswith("pandas") else sizes["nodes"]
        rows.setdefault((measure, n), {})[impl] = best.best(measure, impl)  # type: ignore[assignment]
    from run import machine
    report.save(args.results, machine(), args.reps, rows,
                f"best of {args.reps} repetitions, each measure side by side with its baseline; "
                f"the small change reaches {len(dag.dag.reach):,} nodes",
                goals={m: list(g) for m, g in GOALS.items()})
    print("\n" + report.goal_table(report.load(args.results)))
    print(f"wrote {args.results}")
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
