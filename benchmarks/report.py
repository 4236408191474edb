"""The benchmarks page and its figure, from the results of a benchmark run.

    python benchmarks/report.py            # rewrite docs/benchmarks.md's tables and its figures
    python benchmarks/report.py --check    # fail if docs/benchmarks.md does not match the results

`run.py` measures and saves benchmarks/results.json, then calls this; running
it alone redraws the page from saved results without measuring again.

The runtime's results (flow.py: results-flow.json, peers.py: results-peers.json)
go between `<!-- runtime:start -->` and `<!-- runtime:end -->` when the page
has those markers; a page without them is left as it is.

Units: operations over the whole graph (declare, build, a change reaching every
node) are shown per node in the figure, since they grow with the graph; those
that touch a few nodes (`downstream`, `mark_dirty (small)`) and single calls
are shown per call, where a per-node figure would mean nothing."""
from __future__ import annotations

import argparse
import json
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results.json"
DOCS = HERE.parent / "docs"
PAGE = DOCS / "benchmarks.md"
FIGURE = DOCS / "benchmark.png"
START, END = "<!-- results:start -->", "<!-- results:end -->"
RUNTIME_RESULTS = [HERE / "results-flow.json", HERE / "results-peers.json"]
RUNTIME_START, RUNTIME_END = "<!-- runtime:start -->", "<!-- runtime:end -->"

IMPLS = ["movra", "pure Python", "graphlib", "networkx", "rustworkx", "CPython floor"]
PER_CALL = {"mark_dirty (small)", "downstream"}  # besides the names that say "(per call)"


@dataclass
class Results:
    machine: str
    reps: int
    provenance: str
    rows: dict[tuple[str, int], dict[str, float]]  # (operation, n) -> impl -> seconds (or bytes)
    goals: dict[str, list] = field(default_factory=dict)  # operation -> [kind, limit] (flow.py's results)

    @property
    def sizes(self) -> list[int]:
        return sorted({n for _, n in self.rows})

    def get(self, operation: str, n: int, impl: str) -> float | None:
        return self.rows.get((operation, n), {}).get(impl)


def save(path: Path, machine: str, reps: int, rows: dict[tuple[str, int], dict[str, float]],
         provenance: str = "", goals: dict[str, list] | None = None) -> None:
    data = {"machine": machine, "reps": reps, "provenance": provenance,
            "rows": [{"operation": op, "n": n, "results": {k: float(f"{v:.6g}") for k, v in row.items()}}
                     for (op, n), row in rows.items()]}
    if goals:
        data["goals"] = goals
    path.write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n")


def load(path: Path) -> Results:
    data = json.loads(path.read_text())
    rows = {(row["operation"], row["n"]): row["results"] for row in data["rows"]}
    return Results(data["machine"], data["reps"], data.get("provenance", ""), rows, data.get("goals", {}))


# Units -----------------------------------------------------------------------

def is_per_call(operation: str) -> bool:
    return "(per call)" in operation or operation in PER_CALL


def is_per_node(operation: str) -> bool:
    return "(per node" in operation  # also "(per node reached)"


def fmt(operation: str, value: float | None) -> str:
    if value is None:
        return ""
    if "bytes" in operation:
        return f"{value:,.0f} B"
    if is_per_node(operation) or "(per call)" in operation:
        return f"{value * 1e9:,.0f} ns"
    return f"{value * 1e3:,.1f} ms" if value >= 1e-3 else f"{value * 1e6:,.1f} µs"


# Tables ----------------------------------------------------------------------

def targets(results: Results, n: int) -> list[tuple[str, str, str, bool]]:
    """(measure, this run, target, met) at size n, for the measures present."""
    def get(op: str, impl: str) -> float | None:
        return results.get(op, n, impl)

    checks: list[tuple[str, str, str, bool]] = []
    for label, op in [("", "check_node (per call)"),
                      (", 1,000-id working set", "check_node, 1,000-id working set (per call)")]:
        c, floor, pc = get(op, "movra"), get(op, "CPython floor"), get(op, "pure Python")
        if c and floor:
            goal = 2.0 if label else 3.0
            checks.append((f"check_node / dict.get per call{label}", f"{c / floor:.2f}", f"≤ {goal}",
                           c / floor <= goal))
        if c and pc:
            checks.append((f"pure-Python check_node / check_node{label}", f"{pc / c:.1f}", "≥ 20", pc / c >= 20))
    b, pb, nb = get("build", "movra"), get("build", "pure Python"), get("build", "networkx")
    if b:
        checks.append((f"build() at n = {n:,}", f"{b:.3f} s", "≤ 0.4 s", b <= 0.4))
    if b and pb:
        checks.append(("pure-Python build / build", f"{pb / b:.1f}", "≥ 15", pb / b >= 15))
    if b and nb:
        checks.append(("networkx lexicographic sort / build", f"{nb / b:.1f}", "≥ 25", nb / b >= 25))
    m, s = get("mark_dirty (all-reaching)", "movra"), get("new str for every node", "CPython floor")
    if m and s:
        checks.append(("mark_dirty reaching all / new str for all", f"{m / s:.2f}", "≤ 1.8", m / s <= 1.8))
    ng, nd = get("new graph (per call)", "movra"), get("new graph (per call)", "CPython floor")
    if ng and nd:
        checks.append(("Graph() / dict()", f"{ng / nd:.1f}", "≤ 40", ng / nd <= 40))
    d, pd = get("declare", "movra"), get("declare", "pure Python")
    if d and pd:
        checks.append(("pure-Python declare / declare", f"{pd / d:.1f}", "≥ 4", pd / d >= 4))
    mem = get("resident memory (bytes/node)", "movra")
    if mem:
        checks.append(("resident memory per node", f"{mem:.0f} B", "≤ 200 B", mem <= 200))
    return sorted(checks, key=lambda check: not check[3])  # what is met first; stable otherwise


def targets_table(results: Results, n: int) -> str:
    checks = targets(results, n)
    if not checks:
        return ""
    lines = ["| measure | this run | target | |", "|---|---|---|---|"]
    lines += [f"| {measure} | {value} | {goal} | {'met' if ok else 'not met'} |"
              for measure, value, goal, ok in checks]
    met = sum(ok for *_, ok in checks)
    return f"Targets at n = {n:,}: {met} of {len(checks)} met.\n\n" + "\n".join(lines) + "\n"


LIBRARIES = ["graphlib", "networkx", "rustworkx"]


def size_tables(results: Results) -> str:
    """Per size, two narrow tables: movra against the same graph in pure Python
    and the CPython floor; then, for the operations they have, against the
    graph libraries."""
    found = {i for row in results.rows.values() for i in row}
    own = [i for i in ["movra", "pure Python", "CPython floor"] if i in found]
    libraries = [i for i in LIBRARIES if i in found] + sorted(found - set(IMPLS))
    lines: list[str] = []
    for n in results.sizes:
        rows = [(op, row) for (op, size), row in results.rows.items() if size == n]
        lines += [f"\n**n = {n:,}**\n", "| operation | " + " | ".join(own) + " | pure Python / movra |",
                  "|---|" + "---|" * (len(own) + 1)]
        for operation, row in rows:
            ratio = ""
            if row.get("movra") and "pure Python" in row:
                ratio = f"{row['pure Python'] / row['movra']:.1f}×"
            cells = [fmt(operation, row.get(i)) for i in own]
            lines.append(f"| {operation} | " + " | ".join(cells) + f" | {ratio} |")
        compared = [(op, row) for op, row in rows if any(row.get(i) for i in libraries)]
        if compared:
            lines += ["", "| operation | movra | " + " | ".join(libraries) + " |",
                      "|---|---|" + "---|" * len(libraries)]
            for operation, row in compared:
                cells = [fmt(operation, row.get(i)) for i in ["movra", *libraries]]
                lines.append(f"| {operation} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def versions(text: str) -> str:
    """One way of naming versions on the page: "movra 0.1.0" is the package,
    "kernel 1.2.0" its compiled kernel."""
    return re.sub(r"\bmovra kernel ([\w.]+)", r"kernel \1", text)


def results_markdown(results: Results, figure: str | None) -> str:
    """The generated part of the page (and of the README's benchmark section)."""
    largest = results.sizes[-1]
    text = f"Measured on: {versions(results.machine)}. Medians of {results.reps} runs (one run for the slower peers at 1,000,000 nodes).\n"
    if results.provenance:
        text += f"Figures {results.provenance}.\n"
    text += "\n" + targets_table(results, largest)
    if figure:
        text += (f"\n![Speedup of movra over each peer per operation at n = {largest:,},"
                 f" and movra's own times by graph size]({figure})\n")
    return text + size_tables(results)


def page_text(page: str, results: Results, figure: str | None, runtime: list[Results] | None = None) -> str:
    if START not in page or END not in page:
        raise SystemExit(f"{PAGE} has no {START} ... {END} section")
    head, rest = page.split(START, 1)
    text = head + START + "\n" + results_markdown(results, figure) + END + rest.split(END, 1)[1]
    if runtime and RUNTIME_START in text and RUNTIME_END in text:
        head, rest = text.split(RUNTIME_START, 1)
        text = head + RUNTIME_START + "\n" + runtime_markdown(runtime) + RUNTIME_END + rest.split(RUNTIME_END, 1)[1]
    return text


# The runtime's tables ----------------------------------------------------------

def verdict(goal: list | tuple | None, own: float, base: float) -> tuple[str, str, str]:
    """(movra against its baseline, the goal, met or not).  A goal is
    ("ratio", limit): movra / baseline at most limit; or ("excess", seconds):
    movra - baseline at most that."""
    kind, limit = goal if goal else ("ratio", None)
    if kind == "excess":
        shown = f"{(own - base) * 1e6:+.1f} µs"
        return shown, f"≤ +{limit * 1e6:g} µs", "met" if own - base <= limit else "not met"
    shown = f"{own / base:.2f}×"
    if limit is None:
        return shown, "", ""
    return shown, f"≤ {limit:g}×", "met" if own / base <= limit else "not met"


def goal_table(results: Results) -> str:
    """One row per measure: movra, its baseline (the row's other entry), and the goal."""
    lines = ["| measure | n | movra | baseline | movra against it | goal | |", "|---|---|---|---|---|---|---|"]
    for (operation, n), row in results.rows.items():
        own = row.get("movra")
        base = next((impl for impl in row if impl != "movra"), None)
        cells = ["", "", ""]
        if own is not None and base is not None and row[base]:
            cells = list(verdict(results.goals.get(operation), own, row[base]))
        base_cell = f"{base}: {fmt(operation, row[base])}" if base else ""
        lines.append(f"| {operation} | {n:,} | {fmt(operation, own)} | {base_cell} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def tool_table(results: Results) -> str:
    """Tools down, measures across, one table per workload (the DAG, the
    pipeline); each cell with its time over movra's."""
    groups: dict[str, list[tuple[str, int]]] = {}
    for op, n in results.rows:
        groups.setdefault(op.split(":", 1)[0] if ":" in op else "", []).append((op, n))
    return "\n".join(_tool_table(results, columns) for columns in groups.values())


def _tool_table(results: Results, columns: list[tuple[str, int]]) -> str:
    tools = list(dict.fromkeys(impl for key in columns for impl in results.rows[key]))
    lines = ["| tool | " + " | ".join(f"{op} (n = {n:,})" for op, n in columns) + " |",
             "|---|" + "---|" * len(columns)]
    for tool in tools:
        cells = []
        for key in columns:
            value, own = results.rows[key].get(tool), results.rows[key].get("movra")
            text = fmt(key[0], value)
            if value is not None and own and tool != "movra":
                text += f" ({value / own:.2g}×)" if value / own < 10 else f" ({value / own:,.0f}×)"
            cells.append(text)
        lines.append(f"| {tool} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def runtime_markdown(runtime: list[Results]) -> str:
    parts = []
    for results in runtime:
        text = f"Measured on: {versions(results.machine)}."
        if results.provenance:
            text += f" Figures: {versions(results.provenance)}."
        if results.goals:
            parts.append(text + "\n\n" + goal_table(results))
        else:
            parts.append(text + " In parentheses: the time over movra's.\n\n" + tool_table(results))
    return "\n".join(parts)


def load_runtime() -> list[Results]:
    return [load(path) for path in RUNTIME_RESULTS if path.exists()]


# Figure ----------------------------------------------------------------------

def plot(results: Results, path: Path) -> bool:
    """Left: movra's speedup over each peer, per operation, at the largest size
    (above 1× movra is faster). Right: movra's own times across sizes, per node
    for whole-graph operations and per call for the others."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    matplotlib.rcParams.update({"font.size": 9, "svg.hashsalt": "movra"})
    n = results.sizes[-1]
    operations = [op for (op, size) in results.rows if size == n and "movra" in results.rows[(op, size)]
                  and op != "new str for every node"]
    peers = [i for i in IMPLS[1:] if any(results.get(op, n, i) for op in operations)]
    colors = {"pure Python": "#4c6ef5", "graphlib": "#40c057", "networkx": "#fab005",
              "rustworkx": "#e8590c", "CPython floor": "#868e96"}

    # Taller than wide: the page's column is narrow, and a wide figure shrinks into it.
    fig = plt.figure(figsize=(9, 12))
    grid = fig.add_gridspec(2, 2, height_ratios=[1.7, 1], hspace=0.3, wspace=0.35)
    ax = fig.add_subplot(grid[0, :])
    labelled: set[str] = set()
    for row, op in enumerate(operations):
        own_value = results.get(op, n, "movra")
        ratios = [(peer, results.get(op, n, peer) / own_value) for peer in peers  # type: ignore[operator]
                  if results.get(op, n, peer)]
        height = 0.8 / len(ratios) if ratios else 0.8
        for k, (peer, ratio) in enumerate(ratios):
            y = row - 0.4 + height * (k + 0.5)
            ax.barh(y, ratio, height=height * 0.9, color=colors.get(peer, "#adb5bd"),
                    label=None if peer in labelled else peer)
            labelled.add(peer)
            ax.text(ratio * 1.06, y, f"{ratio:.1f}×" if ratio < 100 else f"{ratio:.0f}×",
                    va="center", fontsize=7)
    ax.axvline(1, color="#212529", linewidth=1)
    ax.set_xscale("log")
    ax.set_yticks(range(len(operations)), [_short(op) for op in operations])
    ax.invert_yaxis()
    ax.set_xlabel("peer's time (or memory) / movra's: above 1× movra is faster")
    ax.set_title(f"Speedup of movra at n = {n:,}", fontweight="bold")
    ax.grid(True, axis="x", which="both", alpha=0.3)
    handles, labels = ax.get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda k: peers.index(labels[k]))
    ax.legend([handles[k] for k in order], [labels[k] for k in order], loc="lower right", fontsize=8)
    ax.set_xlim(right=ax.get_xlim()[1] * 2.5)

    own = [op for op in dict.fromkeys(op for op, _ in results.rows)
           if "bytes" not in op and any("movra" in results.rows.get((op, s), {}) for s in results.sizes)]
    panels = [(fig.add_subplot(grid[1, 0]), [op for op in own if not is_per_call(op)],
               "movra: whole-graph operations", "ns per node"),
              (fig.add_subplot(grid[1, 1]), [op for op in own if is_per_call(op)],
               "movra: single calls", "ns per call")]
    for axis, ops, title, unit in panels:
        for op in ops:
            points = [(s, results.get(op, s, "movra")) for s in results.sizes]
            points = [(s, v if is_per_node(op) or is_per_call(op) else v / s) for s, v in points if v]
            axis.plot([s for s, _ in points], [v * 1e9 for _, v in points], marker="o", label=_short(op))
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("nodes in the graph")
        axis.set_ylabel(unit)
        axis.set_title(title, fontweight="bold")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7, loc="upper left")
    fig.text(0.01, 0.005, f"{versions(results.machine)}; medians of {results.reps} runs", fontsize=7, color="#495057")
    fig.savefig(path, dpi=110, bbox_inches="tight", metadata={"Software": None})
    plt.close(fig)
    return True


RUNTIME_FIGURE = DOCS / "benchmark-runtime.png"
RUNTIME_MEASURES = ["DAG: first run", "DAG: a change reaching ~1%"]


def plot_runtime(peers: Results, path: Path) -> bool:
    """The runtime against the tools a user would otherwise pick: the DAG's
    first run and a change reaching about 1% of it, each tool's time on a log
    scale, movra's bar in its own colour."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    matplotlib.rcParams.update({"font.size": 10, "svg.hashsalt": "movra"})
    measures = [key for key in peers.rows if any(key[0].startswith(m) for m in RUNTIME_MEASURES)]
    if not measures:
        return False
    fig, axes = plt.subplots(len(measures), 1, figsize=(8, 3.4 * len(measures)))
    for axis, key in zip(list(axes) if len(measures) > 1 else [axes], measures):
        row = {tool: value for tool, value in peers.rows[key].items() if value}
        tools = sorted(row, key=row.__getitem__)
        own = row.get("movra")
        axis.barh(range(len(tools)), [row[t] for t in tools],
                  color=["#3b5bdb" if t == "movra" else "#adb5bd" for t in tools])
        for k, tool in enumerate(tools):
            label = fmt(key[0], row[tool])
            if own and tool != "movra":
                ratio = row[tool] / own
                label += f"  ({ratio:.2g}×)" if ratio < 10 else f"  ({ratio:,.0f}×)"
            axis.text(row[tool] * 1.15, k, label, va="center", fontsize=8)
        axis.set_yticks(range(len(tools)), tools)
        axis.invert_yaxis()
        axis.set_xscale("log")
        axis.set_xlim(right=max(row.values()) * 60)
        axis.set_xlabel("seconds (log scale): shorter is faster")
        axis.set_title(f"{key[0].split(': ', 1)[1]} (n = {key[1]:,})", fontweight="bold")
        axis.grid(True, axis="x", which="both", alpha=0.3)
    fig.suptitle("movra's runtime against its peers, on a DAG of trivial functions", fontweight="bold")
    fig.text(0.01, -0.02, versions(peers.machine), fontsize=7, color="#495057")
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight", metadata={"Software": None})
    plt.close(fig)
    return True


def _short(operation: str) -> str:
    return (operation.replace(" (per call)", "").replace(" (per node)", "")
            .replace("resident memory (bytes/node)", "resident memory").replace(", 1,000-id working set", ", hot"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--results", type=Path, default=RESULTS)
    parser.add_argument("--check", action="store_true",
                        help="only check that the page's tables match the results")
    args = parser.parse_args()
    results = load(args.results)
    page = PAGE.read_text(encoding="utf-8")
    expected = page_text(page, results, FIGURE.name, load_runtime())
    if args.check:
        if expected != page:
            print(f"{PAGE} does not match {args.results}: run python benchmarks/report.py", file=sys.stderr)
            return 1
        print(f"{PAGE.name} matches {args.results.name}")
        return 0
    PAGE.write_text(expected, encoding="utf-8")
    drawn = plot(results, FIGURE)
    peers = [r for r in load_runtime() if not r.goals]
    if peers and plot_runtime(peers[0], RUNTIME_FIGURE):
        print(f"wrote {RUNTIME_FIGURE}")
    print(f"wrote {PAGE}" + (f" and {FIGURE}" if drawn else " (no matplotlib: figure not redrawn)"))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
