"""The two runtime workloads, shared by flow.py and peers.py.

- A random DAG of trivial integer functions.  Node `i` is declared after its
  dependencies (1 to 3 of them, drawn uniformly from the nodes before it), so
  the declaration order is a topological order.  Five inputs at the top reach
  nearly every node; a few dozen more sit further down, and the one whose
  change reaches closest to 1% of the nodes makes the "small" change.
- A 20-step pandas pipeline over a 1M-row frame: each step takes the frame
  before it; step 16 also takes the input `scale`, so changing `scale` reaches
  the last five steps.

Both come as real modules of real functions (written to a temporary folder and
imported), because some tools read a function's parameter names, source or
type hints.  `direct_*` functions are the baselines: the same functions
called in a plain loop.
"""
from __future__ import annotations

import gc
import atexit
import importlib.util
import random
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

PRIME = 1_000_003  # keeps every value a small int
TOP_INPUTS = 5


def load_module(name: str, source: str) -> ModuleType:
    """Import `source` as module `name` from a real file (tools read source and hints)."""
    folder = Path(tempfile.mkdtemp(prefix="movra-bench-"))
    atexit.register(shutil.rmtree, folder, True)
    path = folder / f"{name}.py"
    path.write_text(source)
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


# The random DAG --------------------------------------------------------------

@dataclass
class TrivialDag:
    names: list[str]  # a topological order
    deps: list[tuple[int, ...]]  # indices into names, all smaller
    inputs: list[int]  # input nodes (no function)
    top: list[int]  # the inputs at the top: a change there reaches almost every node
    small: int = -1  # the input whose change reaches closest to 1% of the nodes
    reach: list[int] = field(default_factory=list)  # the nodes below `small`, in order
    funcs: list[Callable[..., int] | None] = field(default_factory=list)  # None for inputs
    module: ModuleType | None = None

    def __len__(self) -> int:
        return len(self.names)

    def initial_inputs(self, salt: int = 0) -> dict[str, int]:
        return {self.names[i]: (i * 7919 + salt) % PRIME for i in self.inputs}


def make_dag(n: int, seed: int = 1, candidates: int = 48) -> TrivialDag:
    rng = random.Random(seed)
    width = len(str(n - 1))
    names = [f"n{i:0{width}d}" for i in range(n)]
    # Candidates for the small change, log-spaced over the upper part of the
    # order: how far a change spreads varies a lot from node to node there.
    low, high = max(TOP_INPUTS, n // 500), max(TOP_INPUTS + candidates, n // 5)
    spread = sorted({int(low * (high / low) ** (k / candidates)) for k in range(candidates)})
    inputs = list(range(TOP_INPUTS)) + [i for i in spread if i >= TOP_INPUTS]
    is_input = set(inputs)
    deps: list[tuple[int, ...]] = []
    for i in range(n):
        if i in is_input:
            deps.append(())
            continue
        count = min(i, 1 + rng.randrange(3))
        deps.append(tuple(sorted(rng.sample(range(i), count))))
    dag = TrivialDag(names, deps, inputs, list(range(TOP_INPUTS)))
    dag.small = _closest_to_one_percent(dag)
    dag.reach = _downstream(dag, dag.small)
    dag.module = load_module(f"movra_bench_dag_{n}_{seed}", _dag_source(dag))
    dag.funcs = [None if i in is_input else getattr(dag.module, names[i]) for i in range(n)]
    return dag


def _downstream(dag: TrivialDag, start: int) -> list[int]:
    reached = bytearray(len(dag))
    reached[start] = 1
    order = []
    for i in range(start + 1, len(dag)):
        if any(reached[d] for d in dag.deps[i]):
            reached[i] = 1
            order.append(i)
    return order


def _closest_to_one_percent(dag: TrivialDag) -> int:
    """Among the inputs below the top ones, the one whose change reaches closest
    to 1% of the nodes (one pass, a bit per candidate)."""
    candidates = dag.inputs[TOP_INPUTS:]
    masks = [0] * len(dag)
    for bit, i in enumerate(candidates):
        masks[i] = 1 << bit
    counts = [0] * len(candidates)
    for i, deps in enumerate(dag.deps):
        mask = masks[i]
        for d in deps:
            mask |= masks[d]
        masks[i] = mask
        while mask:
            low = mask & -mask
            counts[low.bit_length() - 1] += 1
            mask ^= low
    target = len(dag) // 100 + 1  # the input itself counts here
    best = min(range(len(candidates)), key=lambda k: abs(counts[k] - target))
    return candidates[best]


def _dag_source(dag: TrivialDag) -> str:
    """One function per computed node, its parameters named after its dependencies."""
    lines = ["# generated: one trivial function per node", ""]
    coefficients = (1, 3, 5)
    for i, (name, deps) in enumerate(zip(dag.names, dag.deps)):
        if not deps:
            continue
        params = ", ".join(f"{dag.names[d]}: int" for d in deps)
        terms = " + ".join(f"{c} * {dag.names[d]}" for c, d in zip(coefficients, deps))
        lines += [f"def {name}({params}) -> int:", f"    return ({terms} + {i}) % {PRIME}", ""]
    return "\n".join(lines)


Plan = list[tuple[int, Callable[..., Any], tuple[int, ...]]]  # (node, function, dependencies)


def direct_plan(dag: TrivialDag, nodes: Iterable[int] | None = None) -> Plan:
    """What to call for `nodes` (in order; by default every computed node)."""
    funcs = dag.funcs
    chosen = range(len(dag)) if nodes is None else nodes
    return [(i, func, dag.deps[i]) for i in chosen if (func := funcs[i]) is not None]


def direct_run(plan: Plan, values: list[Any]) -> None:
    """Call each function on its dependencies' values, in topological order."""
    get = values.__getitem__
    for i, func, deps in plan:
        values[i] = func(*map(get, deps))


def direct_values(dag: TrivialDag, inputs: dict[str, int]) -> list[int]:
    values: list[Any] = [None] * len(dag)
    for name, value in inputs.items():
        values[int(name[1:])] = value
    direct_run(direct_plan(dag), values)
    return values


# The pandas pipeline -----------------------------------------------------------

ROWS = 1_000_000
STEPS = 20
CHANGED_FROM = 16  # the first step that takes `scale`

# Each step is one pandas operation of the kind a cleaning or feature pipeline
# makes; the frame keeps its three columns, so every step's value is ~24 MB.
_STEP_BODIES = [
    "df.assign(a=df.a * 1.01 + {k})",
    "df.assign(b=df.b - df.a * 0.001 * {k})",
    "df.assign(a=df.a.clip(-{k}, 1e6))",
    "df.assign(b=df.groupby('key').b.transform('mean') + df.b * 0.5)",
    "df.assign(a=np.where(df.b > 0.5, df.a, -df.a) + {k})",
]


def pipeline_source() -> str:
    lines = ["# generated: a 20-step pandas pipeline", "import numpy as np", "import pandas as pd", ""]
    previous = "raw"
    for step in range(1, STEPS + 1):
        name = f"step_{step:02d}"
        body = _STEP_BODIES[(step - 1) % len(_STEP_BODIES)].format(k=step)
        if step == CHANGED_FROM:
            lines += [f"def {name}({previous}: pd.DataFrame, scale: float) -> pd.DataFrame:",
                      f"    df = {previous}", "    return df.assign(a=df.a * scale)", ""]
        else:
            lines += [f"def {name}({previous}: pd.DataFrame) -> pd.DataFrame:",
                      f"    df = {previous}", f"    return {body}", ""]
        previous = name
    return "\n".join(lines)


@dataclass
class Pipeline:
    module: ModuleType
    raw: Any  # the input frame
    names: list[str]  # step names in order
    funcs: list[Callable[..., Any]]

    @property
    def last(self) -> str:
        return self.names[-1]


def make_pipeline(rows: int = ROWS, seed: int = 0) -> Pipeline:
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    raw = pd.DataFrame({"a": rng.random(rows) * 100, "b": rng.random(rows), "key": rng.integers(0, 1000, rows)})
    module = load_module(f"movra_bench_pipeline_{rows}", pipeline_source())
    names = [f"step_{s:02d}" for s in range(1, STEPS + 1)]
    return Pipeline(module, raw, names, [getattr(module, n) for n in names])


def pipeline_direct(pipeline: Pipeline, scale: float, start: int = 1, frame: Any = None) -> list[Any]:
    """The steps from `start` (1-based) on, each on the value before it; returns their values."""
    df = pipeline.raw if frame is None else frame
    out = []
    for step, func in enumerate(pipeline.funcs, start=1):
        if step < start:
            continue
        df = func(df, scale) if step == CHANGED_FROM else func(df)
        out.append(df)
    return out


# Timing ----------------------------------------------------------------------

def timed(job: Callable[[], object]) -> float:
    """Seconds of one call, with the cycle collector off (as run.py times)."""
    gc.disable()
    try:
        start = time.perf_counter()
        job()
        return time.perf_counter() - start
    finally:
        gc.enable()


class Best:
    """Best-of-repetitions per (measure, implementation): the machine is shared,
    and the least disturbed repetition is the most telling."""

    def __init__(self) -> None:
        self.times: dict[tuple[str, str], list[float]] = {}

    def add(self, measure: str, impl: str, seconds: float) -> None:
        self.times.setdefault((measure, impl), []).append(seconds)

    def best(self, measure: str, impl: str) -> float | None:
        runs = self.times.get((measure, impl))
        return min(runs) if runs else None

    def drop(self, *measures: str, impl: str | None = None) -> None:
        """Forget these measures (of one implementation, or of all)."""
        for key in [key for key in self.times if key[0] in measures and impl in (None, key[1])]:
            del self.times[key]
