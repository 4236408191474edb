"""Benchmarks of movra.Graph against a pure-Python graph, graphlib, networkx
and rustworkx (where installed), measured side by side in one process.

    python benchmarks/run.py                      # n = 10k, 100k, 1M
    python benchmarks/run.py --sizes 10000 --reps 3
    python benchmarks/run.py --update-readme      # also refresh README's table

Saves the measurements to benchmarks/results.json, then rewrites the tables of
docs/benchmarks.md and, with matplotlib, docs/benchmark.png from them
(benchmarks/report.py does that part alone). Only ratios measured in the same
run are meaningful."""
from __future__ import annotations

import argparse
import gc
import graphlib
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import movra  # noqa: E402
from pure import PureGraph  # noqa: E402
import report  # noqa: E402
from report import fmt  # noqa: E402

try:
    import networkx as nx
except ImportError:  # pragma: no cover - optional peer
    nx = None
try:
    import rustworkx as rx
except ImportError:  # pragma: no cover - optional peer
    rx = None

ROOTS = 5  # input nodes; together they reach every other node


@dataclass
class Dag:
    names: list[str]  # insertion order
    kinds: list[str]
    deps: list[list[str]]
    position_key: dict[str, int] = field(default_factory=dict)
    roots: list[str] = field(default_factory=list)
    late: list[str] = field(default_factory=list)
    middle: str = ""


def make_dag(n: int, seed: int = 1) -> Dag:
    """About three deps a node; insertion order shuffled against dependency order."""
    rng = random.Random(seed)
    by_rank = list(range(n))
    rng.shuffle(by_rank)  # by_rank[r] is the insertion index of the node of rank r
    names = [f"node_{i:06d}" for i in range(n)]
    kinds = ["reactive"] * n
    deps: list[list[str]] = [[] for _ in range(n)]
    for r, node in enumerate(by_rank):
        if r < ROOTS:
            kinds[node] = "input"
            continue
        kinds[node] = "view" if rng.random() < 0.1 else "reactive"
        count = 1 + rng.randrange(5)
        deps[node] = [names[by_rank[rng.randrange(r)]] for _ in range(count)]
    dag = Dag(names, kinds, deps)
    dag.roots = [names[i] for i in by_rank[:ROOTS]]
    dag.late = [names[i] for i in by_rank[-ROOTS:]]
    dag.middle = names[by_rank[n // 2]]
    dag.position_key = {name: i for i, name in enumerate(names)}
    return dag


def timed(job: Callable[[], object], reps: int) -> float:
    """Median seconds of `reps` runs of `job`, with the cycle collector off.
    (Collecting between runs would empty CPython's free lists and time their
    refilling instead of the job.)"""
    times = []
    gc.disable()
    try:
        for _ in range(reps):
            start = time.perf_counter()
            job()
            times.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return statistics.median(times)


def consume(iterator) -> None:
    deque(iterator, maxlen=0)


# Declaring -------------------------------------------------------------------

def declare_kernel(cls, dag: Dag):
    g = cls()
    add, set_deps = g.add_node, g.set_deps
    for name, kind in zip(dag.names, dag.kinds):
        add(name, kind)
    for name, deps in zip(dag.names, dag.deps):
        if deps:
            set_deps(name, deps)
    return g


def declare_networkx(dag: Dag):
    g = nx.DiGraph()
    g.add_nodes_from(dag.names)
    g.add_edges_from((d, name) for name, deps in zip(dag.names, dag.deps) for d in deps)
    return g


def declare_graphlib(dag: Dag):
    sorter = graphlib.TopologicalSorter()
    for name, deps in zip(dag.names, dag.deps):
        sorter.add(name, *deps)
    return sorter


def declare_rustworkx(dag: Dag):
    g = rx.PyDiGraph()
    index = dict(zip(dag.names, g.add_nodes_from(dag.names)))
    g.add_edges_from_no_data(
        [(index[d], index[name]) for name, deps in zip(dag.names, dag.deps) for d in set(deps)])
    return g, index


# One measurement table -------------------------------------------------------

class Table:
    def __init__(self) -> None:
        self.rows: dict[tuple[str, int], dict[str, float]] = {}

    def add(self, operation: str, n: int, impl: str, seconds: float) -> None:
        self.rows.setdefault((operation, n), {})[impl] = seconds
        print(f"  {operation:<34} {impl:<14} {fmt(operation, seconds):>14}", flush=True)




def bench_size(n: int, reps: int, table: Table, peers: bool) -> None:
    print(f"\nn = {n:,}: generating graph", flush=True)
    dag = make_dag(n)
    slow_reps = 1 if n >= 1_000_000 else reps

    table.add("declare", n, "movra", timed(lambda: declare_kernel(movra.Graph, dag), reps))
    table.add("declare", n, "pure Python", timed(lambda: declare_kernel(PureGraph, dag), slow_reps))
    if peers and nx:
        table.add("declare", n, "networkx", timed(lambda: declare_networkx(dag), slow_reps))
    if peers:
        table.add("declare", n, "graphlib", timed(lambda: declare_graphlib(dag), slow_reps))
    if peers and rx:
        table.add("declare", n, "rustworkx", timed(lambda: declare_rustworkx(dag), slow_reps))

    g = declare_kernel(movra.Graph, dag)
    p = declare_kernel(PureGraph, dag)
    table.add("build", n, "movra", timed(g.build, reps))
    table.add("build", n, "pure Python", timed(p.build, slow_reps))
    if peers and nx:
        ng = declare_networkx(dag)
        key = dag.position_key.__getitem__
        table.add("build", n, "networkx", timed(
            lambda: list(nx.lexicographical_topological_sort(ng, key=key)), slow_reps))
    if peers:
        table.add("build", n, "graphlib", timed(
            lambda: list(declare_graphlib(dag).static_order()), slow_reps))
    if peers and rx:
        rg, rindex = declare_rustworkx(dag)
        table.add("build", n, "rustworkx", timed(lambda: rx.topological_sort(rg), slow_reps))

    shuffled = dag.names[:]
    random.Random(2).shuffle(shuffled)
    lookup = dict.fromkeys(dag.names, 0)
    table.add("check_node (per call)", n, "movra", timed(lambda: consume(map(g.check_node, shuffled)), reps) / n)
    table.add("check_node (per call)", n, "pure Python", timed(lambda: consume(map(p.check_node, shuffled)), reps) / n)
    table.add("check_node (per call)", n, "CPython floor", timed(lambda: consume(map(lookup.get, shuffled)), reps) / n)

    # The same calls on 1,000 ids over and over: those nodes stay in cache
    # (their dependencies, spread over the graph, mostly do not), so this is
    # closer to what a call costs when memory latency does not dominate.
    hot = shuffled[:1000] * max(1, min(200, n // 1000))
    table.add("check_node, 1,000-id working set (per call)", n, "movra", timed(lambda: consume(map(g.check_node, hot)), reps) / len(hot))
    table.add("check_node, 1,000-id working set (per call)", n, "pure Python", timed(lambda: consume(map(p.check_node, hot)), reps) / len(hot))
    table.add("check_node, 1,000-id working set (per call)", n, "CPython floor", timed(lambda: consume(map(lookup.get, hot)), reps) / len(hot))

    table.add("new graph (per call)", n, "movra", timed(lambda: [movra.Graph() for _ in range(10_000)], reps) / 10_000)
    table.add("new graph (per call)", n, "CPython floor", timed(lambda: [dict() for _ in range(10_000)], reps) / 10_000)

    raw = [name.encode() for name in dag.names]
    table.add("new str for every node", n, "CPython floor", timed(lambda: list(map(bytes.decode, raw)), reps))

    for label, seeds in [("mark_dirty (all-reaching)", dag.roots), ("mark_dirty (small)", dag.late)]:
        table.add(label, n, "movra", timed(lambda: g.mark_dirty(seeds), reps))
        table.add(label, n, "pure Python", timed(lambda: p.mark_dirty(seeds), slow_reps))
    table.add("dirty_subgraph (all-reaching)", n, "movra", timed(lambda: g.dirty_subgraph(dag.roots), reps))
    table.add("dirty_subgraph (all-reaching)", n, "pure Python", timed(lambda: p.dirty_subgraph(dag.roots), slow_reps))
    if peers and nx:
        order = list(nx.lexicographical_topological_sort(ng, key=dag.position_key.__getitem__))
        position = {name: k for k, name in enumerate(order)}

        def nx_schedule():
            reached = set(dag.roots).union(*(nx.descendants(ng, r) for r in dag.roots))
            return sorted(reached, key=position.__getitem__)

        table.add("dirty_subgraph (all-reaching)", n, "networkx", timed(nx_schedule, slow_reps))
        table.add("downstream", n, "networkx", timed(
            lambda: sorted(nx.descendants(ng, dag.middle), key=position.__getitem__), slow_reps))
    if peers and rx:
        rorder = rx.topological_sort(rg)
        rposition = {i: k for k, i in enumerate(rorder)}
        names = dag.names

        def rx_schedule():
            reached = {rindex[r] for r in dag.roots}.union(*(rx.descendants(rg, rindex[r]) for r in dag.roots))
            return [names[i] for i in sorted(reached, key=rposition.__getitem__)]

        table.add("dirty_subgraph (all-reaching)", n, "rustworkx", timed(rx_schedule, slow_reps))
    table.add("downstream", n, "movra", timed(lambda: g.downstream(dag.middle), reps))
    table.add("downstream", n, "pure Python", timed(lambda: p.downstream(dag.middle), slow_reps))

    for impl, graph in [("movra", g), ("pure Python", p)]:
        table.add("memo pass, recomputing (per node)", n, impl,
                  timed(lambda: memo_pass(graph, dag.roots, value=None), slow_reps) / n)
        memo_pass(graph, dag.roots, value=7)
        table.add("memo pass, memo hits (per node)", n, impl,
                  timed(lambda: memo_pass(graph, dag.roots, value=7), slow_reps) / n)


_counter = iter(range(1, 1 << 62))


def memo_pass(g, roots: list[str], value: int | None) -> None:
    """Walk the schedule of a change at every input, as a runtime would.
    value None: each pass gives the inputs new hashes, so everything recomputes."""
    content = next(_counter) if value is None else value
    check, commit, skip, commit_input = g.check_node, g.commit_node, g.skip_node, g.commit_input
    for node in g.mark_dirty(roots):
        kind, needed, signature = check(node)
        if kind == "input":
            commit_input(node, content)
        elif needed:
            commit(node, signature)
        else:
            skip(node, signature)


# Memory ----------------------------------------------------------------------

def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(impl: str, n: int) -> None:
    """Run in a child process: resident bytes per node of one declared, built graph."""
    dag = make_dag(n)
    gc.collect()
    before = rss()
    if impl == "movra":
        graph = declare_kernel(movra.Graph, dag)
        graph.build()
    elif impl == "pure Python":
        graph = declare_kernel(PureGraph, dag)
        graph.build()
    elif impl == "networkx":
        graph = declare_networkx(dag)
    elif impl == "graphlib":
        graph = declare_graphlib(dag)
        graph.prepare()
    else:
        graph = declare_rustworkx(dag)
    gc.collect()
    print((rss() - before) / n)


def measure_memory(n: int, table: Table, peers: bool) -> None:
    impls = ["movra", "pure Python"]
    if peers:
        impls += ["graphlib"] + (["networkx"] if nx else []) + (["rustworkx"] if rx else [])
    for impl in impls:
        out = subprocess.run([sys.executable, __file__, "--memory-probe", impl, str(n)],
                             capture_output=True, text=True, check=True).stdout
        table.add("resident memory (bytes/node)", n, impl, float(out.strip()))


# Report ----------------------------------------------------------------------

def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, "
            f"movra kernel {movra.kernel_version()}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--no-peers", action="store_true", help="skip graphlib, networkx and rustworkx")
    parser.add_argument("--results", type=Path, default=report.RESULTS,
                        help="where to save the measurements (default: %(default)s)")
    parser.add_argument("--update-readme", action="store_true")
    parser.add_argument("--memory-probe", nargs=2, metavar=("IMPL", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        memory_probe(args.memory_probe[0], int(args.memory_probe[1]))
        return

    sizes = [int(s) for s in args.sizes.split(",")]
    table = Table()
    started = time.perf_counter()
    for n in sizes:
        bench_size(n, args.reps, table, peers=not args.no_peers)
    print("\nresident memory", flush=True)
    measure_memory(sizes[-1], table, peers=not args.no_peers)

    report.save(args.results, machine(), args.reps, table.rows)
    results = report.load(args.results)
    page = report.PAGE
    page.write_text(report.page_text(page.read_text(encoding="utf-8"), results, report.FIGURE.name),
                    encoding="utf-8")
    pictured = report.plot(results, report.FIGURE)
    text = report.results_markdown(results, None)
    if args.update_readme:
        readme = HERE.parent / "README.md"
        readme_text = readme.read_text()
        start, end = "<!-- benchmarks:start -->", "<!-- benchmarks:end -->"
        if start in readme_text and end in readme_text:
            head, rest = readme_text.split(start, 1)
            figure = "\n![benchmark figure](docs/benchmark.png)\n" if pictured else ""
            readme.write_text(head + start + "\n" + text + figure + end + rest.split(end, 1)[1])
    print("\n" + text)
    print(f"took {time.perf_counter() - started:.0f} s; wrote {args.results}, {page}"
          + (f" and {report.FIGURE}" if pictured else ""))


if __name__ == "__main__":
    main()
