"""movra.Flow beside the tools users would otherwise pick, on the same workloads.

The tools are not test dependencies: give the benchmark its own environment.

    python3 -m venv /tmp/movra-peers
    /tmp/movra-peers/bin/pip install . -r benchmarks/requirements-peers.txt
    /tmp/movra-peers/bin/python benchmarks/peers.py              # about 2 minutes
    /tmp/movra-peers/bin/python benchmarks/peers.py --slow       # and Hamilton's cache on the pipeline
    /tmp/movra-peers/bin/python benchmarks/peers.py --tools movra,dask-graph,loman --reps 5
    /tmp/movra-peers/bin/python benchmarks/peers.py --nodes 2000 --rows 100000   # a quick look

Workloads (workloads.py): a 10,000-node random DAG of trivial integer
functions, its first run and a change at the input that reaches ~1% of the
nodes; and a 20-step pandas pipeline over a 1M-row frame, its first run and a
change reaching its last five steps.  Each tool is built the way its
documentation shows, from the same generated functions, and its output is
checked against calling the functions directly:

- movra: `Flow`, each function declared with `flow.reactive` (its parameters
  name its dependencies); a change is `set` then `run`;
- Hamilton (`sf-hamilton`): a driver over the generated module, without and
  with its cache (in-memory metadata and result stores, as the flow's values
  are in memory); every computed node of the DAG is requested, and the
  pipeline's last step;
- Dask: a graph dict run by the synchronous scheduler (`dask.get`), and
  `dask.delayed` calls computed with `scheduler="sync"`; neither updates
  incrementally, so a change is a full re-run (rebuilding the delayed graph);
- joblib: every function wrapped by `Memory(folder).cache`, called in
  topological order; on a change, the calls whose arguments are unchanged are
  answered from its cache;
- loman: a `Computation` (it reads dependencies from parameter names);
  a change is `insert` then `compute_all`, which recomputes only stale nodes.
  (Of the incremental-recomputation libraries on PyPI, loman installs cleanly;
  tributary drags in ~90 packages, from twilio to asyncpg, and incr-compute
  fails to build.)

Where the time goes for the slow ones (profiled with these versions):
loman's first run formats the set of computed nodes into a debug message for
every edge (quadratic); `dask.compute` of 10,000 delayed objects culls each
one's graph; Hamilton's cache fingerprints every node's value and every frame
row by row; joblib writes a file per call.

Each repetition builds every tool afresh and times it in turn, so that the
tools share the machine's state; a tool is repeated while its total stays
under --budget seconds (at least once), and the best repetition counts.
Prints a markdown table and saves benchmarks/results-peers.json, which
report.py shows in the benchmarks page.
"""
from __future__ import annotations

import argparse
import gc
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import report  # noqa: E402
import workloads  # noqa: E402
from workloads import Best, Pipeline, TrivialDag, timed  # noqa: E402

RESULTS = HERE / "results-peers.json"

DECLARE = "DAG: declare"
FIRST = "DAG: first run"
CHANGE = "DAG: a change reaching ~1%"
PIPE_FIRST = "pipeline: first run"
PIPE_CHANGE = "pipeline: a change reaching the last 5 steps"


# The tools ---------------------------------------------------------------------------
#
# Each one declares the DAG (`declare`), runs it (`first`), applies the small
# change (`change`), and does the same for the pipeline.  `values` and
# `last_frame` read results back for the check, outside the timed calls.

class Tool:
    name = ""
    module = ""  # imported to tell whether the tool is installed
    package = ""  # its distribution, whose version the results name
    incremental = True  # a change recomputes only what it reaches

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        raise NotImplementedError

    def first(self) -> None:
        raise NotImplementedError

    def change(self, name: str, value: int) -> None:
        raise NotImplementedError

    def values(self) -> Mapping[str, Any] | Any:
        """Every node's value by name (anything with `[name]`)."""
        raise NotImplementedError

    def pipeline(self, pipeline: Pipeline) -> None:
        raise NotImplementedError

    def pipe_first(self, scale: float) -> None:
        raise NotImplementedError

    def pipe_change(self, scale: float) -> None:
        raise NotImplementedError

    def last_frame(self) -> Any:
        raise NotImplementedError

    def close(self) -> None:
        pass


def computed(dag: TrivialDag) -> list[str]:
    return [dag.names[i] for i, func in enumerate(dag.funcs) if func is not None]


class Direct(Tool):
    """The floor: the same functions called in a loop; a change calls just what it reaches."""
    name = "direct calls"

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        self.dag, self.plan = dag, workloads.direct_plan(dag)
        self.small_plan = workloads.direct_plan(dag, dag.reach)
        self.vals: list[Any] = [None] * len(dag)
        for name, value in inputs.items():
            self.vals[int(name[1:])] = value

    def first(self) -> None:
        workloads.direct_run(self.plan, self.vals)

    def change(self, name: str, value: int) -> None:
        self.vals[int(name[1:])] = value
        workloads.direct_run(self.small_plan, self.vals)

    def values(self) -> Mapping[str, Any]:
        return dict(zip(self.dag.names, self.vals))

    def pipeline(self, pipeline: Pipeline) -> None:
        self.pipe = pipeline

    def pipe_first(self, scale: float) -> None:
        self.frames = workloads.pipeline_direct(self.pipe, scale)

    def pipe_change(self, scale: float) -> None:
        start = workloads.CHANGED_FROM
        self.frames[start - 1:] = workloads.pipeline_direct(self.pipe, scale, start, self.frames[start - 2])

    def last_frame(self) -> Any:
        return self.frames[-1]


class Movra(Tool):
    name = "movra"
    module, package = "movra", "movra"

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        import movra
        self.flow = flow = movra.Flow()
        for name, value in inputs.items():
            flow.input(name, value)
        for func in dag.funcs:
            if func is not None:
                flow.reactive(func)

    def first(self) -> None:
        self.flow.run()

    def change(self, name: str, value: int) -> None:
        self.flow.set({name: value})
        self.flow.run()

    def values(self) -> Any:
        return self.flow

    def pipeline(self, pipeline: Pipeline) -> None:
        import movra
        self.flow = flow = movra.Flow()
        self.raw, self.last = pipeline.raw, pipeline.last
        flow.input("raw")
        flow.input("scale")
        for func in pipeline.funcs:
            flow.reactive(func)

    def pipe_first(self, scale: float) -> None:
        self.flow.set(raw=self.raw, scale=scale)
        self.flow.run()

    def pipe_change(self, scale: float) -> None:
        self.flow.set(scale=scale)
        self.flow.run()

    def last_frame(self) -> Any:
        return self.flow[self.last]


class Hamilton(Tool):
    name = "Hamilton"
    module, package = "hamilton", "sf-hamilton"
    incremental = False
    cached = False

    def _driver(self, module: Any) -> Any:
        from hamilton import driver
        builder = driver.Builder().with_modules(module)
        if self.cached:
            from hamilton.caching.stores.memory import InMemoryMetadataStore, InMemoryResultStore
            builder = builder.with_cache(metadata_store=InMemoryMetadataStore(), result_store=InMemoryResultStore())
        return builder.build()

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        self.driver, self.inputs, self.wanted = self._driver(dag.module), dict(inputs), computed(dag)

    def first(self) -> None:
        self.out = self.driver.execute(self.wanted, inputs=self.inputs)

    def change(self, name: str, value: int) -> None:
        self.inputs[name] = value
        self.out = self.driver.execute(self.wanted, inputs=self.inputs)

    def values(self) -> Mapping[str, Any]:
        return {**self.inputs, **self.out}

    def pipeline(self, pipeline: Pipeline) -> None:
        self.driver, self.raw, self.last = self._driver(pipeline.module), pipeline.raw, pipeline.last

    def pipe_first(self, scale: float) -> None:
        self.out = self.driver.execute([self.last], inputs={"raw": self.raw, "scale": scale})

    pipe_change = pipe_first

    def last_frame(self) -> Any:
        return self.out[self.last]


class HamiltonCached(Hamilton):
    name = "Hamilton, cached"
    incremental = True
    cached = True


class DaskGraph(Tool):
    """A task graph as a dict, run by dask's synchronous scheduler."""
    name = "Dask graph"
    module, package = "dask", "dask"
    incremental = False

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        graph: dict[str, Any] = dict(inputs)
        for i, func in enumerate(dag.funcs):
            if func is not None:
                graph[dag.names[i]] = (func, *[dag.names[d] for d in dag.deps[i]])
        self.graph, self.keys = graph, dag.names

    def first(self) -> None:
        import dask
        self.out = dask.get(self.graph, self.keys)

    def change(self, name: str, value: int) -> None:
        self.graph[name] = value
        self.first()

    def values(self) -> Mapping[str, Any]:
        return dict(zip(self.keys, self.out))

    def pipeline(self, pipeline: Pipeline) -> None:
        graph: dict[str, Any] = {"raw": pipeline.raw, "scale": 1.0}
        previous = "raw"
        for step, (name, func) in enumerate(zip(pipeline.names, pipeline.funcs), start=1):
            graph[name] = (func, previous, "scale") if step == workloads.CHANGED_FROM else (func, previous)
            previous = name
        self.graph, self.last = graph, pipeline.last

    def pipe_first(self, scale: float) -> None:
        import dask
        self.graph["scale"] = scale
        self.out = dask.get(self.graph, self.last)

    pipe_change = pipe_first

    def last_frame(self) -> Any:
        return self.out


class DaskDelayed(Tool):
    """`dask.delayed` calls: the graph is built for given inputs, so a change builds it again."""
    name = "dask.delayed"
    module, package = "dask", "dask"
    incremental = False

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        self.dag, self.inputs = dag, dict(inputs)
        self.build()

    def build(self) -> None:
        from dask import delayed
        dag, nodes = self.dag, []
        for i, func in enumerate(dag.funcs):
            if func is None:
                nodes.append(self.inputs[dag.names[i]])
            else:
                nodes.append(delayed(func)(*[nodes[d] for d in dag.deps[i]]))
        self.nodes = nodes

    def first(self) -> None:
        import dask
        self.out = dask.compute(*self.nodes, scheduler="sync")

    def change(self, name: str, value: int) -> None:
        self.inputs[name] = value
        self.build()
        self.first()

    def values(self) -> Mapping[str, Any]:
        return dict(zip(self.dag.names, self.out))

    def pipeline(self, pipeline: Pipeline) -> None:
        self.pipe = pipeline

    def pipe_first(self, scale: float) -> None:
        import dask
        from dask import delayed
        frame: Any = self.pipe.raw
        for step, func in enumerate(self.pipe.funcs, start=1):
            frame = delayed(func)(frame, scale) if step == workloads.CHANGED_FROM else delayed(func)(frame)
        (self.out,) = dask.compute(frame, scheduler="sync")

    pipe_change = pipe_first

    def last_frame(self) -> Any:
        return self.out


class Joblib(Tool):
    """Every function behind `joblib.Memory(folder).cache`, called in topological order."""
    name = "joblib.Memory"
    module, package = "joblib", "joblib"

    def _memory(self) -> Any:
        import joblib
        self.folder = tempfile.mkdtemp(prefix="movra-bench-joblib-")
        return joblib.Memory(self.folder, verbose=0)

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        memory = self._memory()
        self.dag, self.inputs = dag, dict(inputs)
        self.plan = [(i, memory.cache(func), dag.deps[i]) for i, func in enumerate(dag.funcs) if func is not None]

    def first(self) -> None:
        vals: list[Any] = [None] * len(self.dag)
        for name, value in self.inputs.items():
            vals[int(name[1:])] = value
        workloads.direct_run(self.plan, vals)
        self.vals = vals

    def change(self, name: str, value: int) -> None:
        self.inputs[name] = value
        self.first()

    def values(self) -> Mapping[str, Any]:
        return dict(zip(self.dag.names, self.vals))

    def pipeline(self, pipeline: Pipeline) -> None:
        memory = self._memory()
        self.raw = pipeline.raw
        self.steps = [memory.cache(func) for func in pipeline.funcs]

    def pipe_first(self, scale: float) -> None:
        frame = self.raw
        for step, func in enumerate(self.steps, start=1):
            frame = func(frame, scale) if step == workloads.CHANGED_FROM else func(frame)
        self.out = frame

    pipe_change = pipe_first

    def last_frame(self) -> Any:
        return self.out

    def close(self) -> None:
        shutil.rmtree(getattr(self, "folder", ""), ignore_errors=True)


class Loman(Tool):
    name = "loman"
    module, package = "loman", "loman"

    def declare(self, dag: TrivialDag, inputs: dict[str, int]) -> None:
        import loman
        self.comp = comp = loman.Computation()
        for name, value in inputs.items():
            comp.add_node(name, value=value)
        for func in dag.funcs:
            if func is not None:
                comp.add_node(func.__name__, func)
        self.names = dag.names

    def first(self) -> None:
        self.comp.compute_all()

    def change(self, name: str, value: int) -> None:
        self.comp.insert(name, value)
        self.comp.compute_all()

    def values(self) -> Mapping[str, Any]:
        return {name: self.comp.value(name) for name in self.names}

    def pipeline(self, pipeline: Pipeline) -> None:
        import loman
        self.comp = comp = loman.Computation()
        self.raw, self.last = pipeline.raw, pipeline.last
        comp.add_node("raw")
        comp.add_node("scale")
        for func in pipeline.funcs:
            comp.add_node(func.__name__, func)

    def pipe_first(self, scale: float) -> None:
        self.comp.insert("raw", self.raw)
        self.comp.insert("scale", scale)
        self.comp.compute_all()

    def pipe_change(self, scale: float) -> None:
        self.comp.insert("scale", scale)
        self.comp.compute_all()

    def last_frame(self) -> Any:
        return self.comp.value(self.last)


TOOLS: dict[str, type[Tool]] = {
    "direct": Direct, "movra": Movra, "hamilton": Hamilton, "hamilton-cached": HamiltonCached,
    "dask-graph": DaskGraph, "dask-delayed": DaskDelayed, "joblib": Joblib, "loman": Loman,
}
# Left out of the pipeline unless --slow: Hamilton's cache fingerprints a
# frame row by row in Python (a dict of a million row hashes): about 63 s for
# the pipeline's first run at 1M rows and 18 s for the change, measured once
# on the machine of the published figures.
SLOW_ON_PIPELINE = {HamiltonCached}


# Measuring ---------------------------------------------------------------------------

class Mismatch(AssertionError):
    """A tool's result differs from direct calls."""


def check_dag(tool: Tool, dag: TrivialDag, expected: list[int], what: str) -> None:
    got = tool.values()
    wrong = [name for name, value in zip(dag.names, expected) if got[name] != value]
    if wrong:
        raise Mismatch(f"{what}: {len(wrong)} nodes differ from direct calls, e.g. {wrong[0]}")


def check_frame(tool: Tool, expected: Any, what: str) -> None:
    if not tool.last_frame().equals(expected):
        raise Mismatch(f"{what}: the last step differs from direct calls")


class Session:
    """Repetitions of every tool in turn, with their budgets and failures."""

    def __init__(self, tools: list[type[Tool]], reps: int, budget: float) -> None:
        self.tools, self.reps, self.budget = tools, reps, budget
        self.best = Best()
        self.failures: list[str] = []
        self.failed: set[type[Tool]] = set()

    def measure(self, measures: list[str], trial: Callable[[Tool, int], None],
                tools: list[type[Tool]] | None = None) -> None:
        """`trial(tool, rep)` on a fresh instance of each tool, `reps` times
        round the tools; a tool past its budget stops repeating, and one that
        fails (an error, or a result that differs) is dropped from the table."""
        tools = self.tools if tools is None else tools
        spent = dict.fromkeys(tools, 0.0)
        for rep in range(self.reps):
            for cls in tools:
                if cls in self.failed or (rep and spent[cls] > self.budget):
                    continue
                started = time.perf_counter()
                self.attempt(cls, measures, trial, rep)
                spent[cls] += time.perf_counter() - started
                if rep == 0 and cls not in self.failed:
                    show(self.best, cls.name, measures)

    def attempt(self, cls: type[Tool], measures: list[str], trial: Callable[[Tool, int], None], rep: int) -> None:
        gc.collect()
        tool = cls()
        try:
            trial(tool, rep)
        except Exception as error:
            self.failed.add(cls)
            self.failures.append(f"{cls.name}: {type(error).__name__}: {error}")
            print(f"  {cls.name:<18} FAILED: {type(error).__name__}: {error}", flush=True)
            self.best.drop(*measures, impl=cls.name)
        finally:
            tool.close()


def bench_dag(session: Session, n: int) -> TrivialDag:
    print(f"generating a {n:,}-node DAG", flush=True)
    dag = workloads.make_dag(n)
    inputs = dag.initial_inputs()
    small, best = dag.names[dag.small], session.best
    expected_first = workloads.direct_values(dag, inputs)

    def trial(tool: Tool, rep: int) -> None:
        value = (inputs[small] + 1 + rep) % workloads.PRIME
        best.add(DECLARE, tool.name, timed(lambda: tool.declare(dag, inputs)))
        best.add(FIRST, tool.name, timed(tool.first))
        check_dag(tool, dag, expected_first, "first run")
        best.add(CHANGE, tool.name, timed(lambda: tool.change(small, value)))
        check_dag(tool, dag, workloads.direct_values(dag, {**inputs, small: value}), "change")

    session.measure([DECLARE, FIRST, CHANGE], trial)
    return dag


def bench_pipeline(session: Session, rows: int, slow: bool) -> None:
    print(f"generating a {rows:,}-row frame and the {workloads.STEPS}-step pipeline", flush=True)
    pipeline = workloads.make_pipeline(rows)
    best = session.best
    expected_first = workloads.pipeline_direct(pipeline, 1.0)[-1]
    expected_change: dict[float, Any] = {}
    tools = session.tools
    if not slow:
        for cls in set(tools) & SLOW_ON_PIPELINE:
            print(f"  {cls.name:<18} left out (it takes minutes here: --slow includes it)")
        tools = [cls for cls in tools if cls not in SLOW_ON_PIPELINE]

    def trial(tool: Tool, rep: int) -> None:
        scale = 1.0 + (rep + 1) / 64
        if scale not in expected_change:
            expected_change.clear()  # one frame at a time: they are large
            expected_change[scale] = workloads.pipeline_direct(pipeline, scale)[-1]
        tool.pipeline(pipeline)
        best.add(PIPE_FIRST, tool.name, timed(lambda: tool.pipe_first(1.0)))
        check_frame(tool, expected_first, "pipeline first run")
        best.add(PIPE_CHANGE, tool.name, timed(lambda: tool.pipe_change(scale)))
        check_frame(tool, expected_change[scale], "pipeline change")

    session.measure([PIPE_FIRST, PIPE_CHANGE], trial, tools)


# Reporting ---------------------------------------------------------------------------

def show(best: Best, tool: str, measures: list[str]) -> None:
    cells = [f"{m.split(': ')[-1]} {report.fmt(m, best.best(m, tool)):>10}" for m in measures]
    print(f"  {tool:<18} " + "   ".join(cells), flush=True)


def available(names: list[str]) -> list[type[Tool]]:
    chosen = []
    for name in names:
        cls = TOOLS[name]
        try:
            if cls.module:
                __import__(cls.module)
        except ImportError:
            print(f"{cls.name}: {cls.module} is not installed "
                  "(pip install -r benchmarks/requirements-peers.txt); left out")
            continue
        chosen.append(cls)
    return chosen


def versions(tools: list[type[Tool]]) -> list[str]:
    from importlib.metadata import PackageNotFoundError, version
    out = []
    for package in dict.fromkeys([cls.package for cls in tools if cls.package] + ["pandas"]):
        try:
            out.append(f"{package} {version(package)}")
        except PackageNotFoundError:
            pass
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tools", default=",".join(TOOLS), help="comma-separated, from: %(default)s")
    parser.add_argument("--nodes", type=int, default=10_000)
    parser.add_argument("--rows", type=int, default=workloads.ROWS)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--budget", type=float, default=10.0,
                        help="repeat a tool only while its total time on a workload is under this (seconds)")
    parser.add_argument("--no-pipeline", action="store_true")
    parser.add_argument("--slow", action="store_true",
                        help="also run the tools that take minutes on the pipeline (Hamilton's cache)")
    parser.add_argument("--results", type=Path, default=RESULTS)
    args = parser.parse_args()
    unknown = set(args.tools.split(",")) - set(TOOLS)
    if unknown:
        parser.error(f"unknown tools: {', '.join(sorted(unknown))}")

    started = time.perf_counter()
    session = Session(available(args.tools.split(",")), args.reps, args.budget)
    dag = bench_dag(session, args.nodes)
    rows = None
    if not args.no_pipeline:
        try:
            import pandas  # noqa: F401
        except ImportError:
            print("pandas is not installed: the pipeline is left out")
        else:
            bench_pipeline(session, args.rows, args.slow)
            rows = args.rows

    table: dict[tuple[str, int], dict[str, float]] = {}
    for measure, tool in session.best.times:
        size = rows if measure.startswith("pipeline") and rows else len(dag)
        table.setdefault((measure, size), {})[tool] = session.best.best(measure, tool)  # type: ignore[assignment]
    full = [cls.name for cls in session.tools if not cls.incremental]
    notes = [f"best of up to {args.reps} repetitions (fewer for a tool past {args.budget:g} s)",
             f"the change reaches {len(dag.reach):,} of the DAG's nodes",
             f"a change re-runs everything in {', '.join(full) or 'none'}"]
    if rows and not args.slow:
        notes += [f"{cls.name} left out of the pipeline (minutes: --slow)"
                  for cls in session.tools if cls in SLOW_ON_PIPELINE]
    from run import machine
    report.save(args.results, machine(), args.reps, table,
                "; ".join(notes + [", ".join(versions(session.tools))]))
    print("\n" + report.tool_table(report.load(args.results)))
    print(f"took {time.perf_counter() - started:.0f} s; wrote {args.results}")
    for failure in session.failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if session.failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
