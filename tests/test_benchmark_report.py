"""benchmarks/report.py: the benchmarks page is drawn from saved results."""
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
import report  # noqa: E402  (benchmarks/ is scripts, not a package)


N = 1_000_000


def results(rows):
    return report.Results("test machine", 3, "", {(op, n): row for (op, n), row in rows.items()})


def test_the_published_page_matches_the_saved_results():
    saved = report.load(report.RESULTS)
    page = report.PAGE.read_text(encoding="utf-8")
    assert report.page_text(page, saved, report.FIGURE.name, report.load_runtime()) == page, \
        "run python benchmarks/report.py"


def test_targets_met_come_first_and_keep_their_order():
    measured = results({
        ("check_node (per call)", N): {"movra": 700e-9, "CPython floor": 200e-9, "pure Python": 2900e-9},
        ("build", N): {"movra": 0.1, "pure Python": 2.6},
        ("resident memory (bytes/node)", N): {"movra": 136},
    })
    checks = [(measure, ok) for measure, _, _, ok in report.targets(measured, N)]
    assert checks == [
        (f"build() at n = {N:,}", True),
        ("pure-Python build / build", True),
        ("resident memory per node", True),
        ("check_node / dict.get per call", False),
        ("pure-Python check_node / check_node", False),
    ]
    assert report.targets_table(measured, N).startswith(f"Targets at n = {N:,}: 3 of 5 met.")


UNITS = [
    ("check_node (per call)", 7.04e-7, "704 ns"),
    ("memo pass, memo hits (per node)", 6.94e-7, "694 ns"),
    ("downstream", 6.6e-6, "6.6 µs"),
    ("mark_dirty (small)", 7.4e-6, "7.4 µs"),
    ("build", 0.1032, "103.2 ms"),
    ("resident memory (bytes/node)", 136.0, "136 B"),
]


@pytest.mark.parametrize("operation, value, shown", UNITS, ids=[u[0] for u in UNITS])
def test_each_operation_is_shown_in_its_own_unit(operation, value, shown):
    assert report.fmt(operation, value) == shown


@pytest.mark.parametrize("operation, per_call", [
    ("check_node (per call)", True), ("check_node, 1,000-id working set (per call)", True),
    ("downstream", True), ("mark_dirty (small)", True),
    ("mark_dirty (all-reaching)", False), ("build", False), ("memo pass, recomputing (per node)", False),
])
def test_operations_touching_a_few_nodes_are_plotted_per_call(operation, per_call):
    assert report.is_per_call(operation) is per_call


def test_results_survive_a_save_and_load(tmp_path):
    rows = {("build", 10): {"movra": 0.123456789, "networkx": 1.5}, ("downstream", 10): {"movra": 1e-6}}
    report.save(tmp_path / "r.json", "machine", 5, rows, "a test")
    loaded = report.load(tmp_path / "r.json")
    assert (loaded.machine, loaded.reps, loaded.provenance, loaded.sizes) == ("machine", 5, "a test", [10])
    assert loaded.rows == {("build", 10): {"movra": 0.123457, "networkx": 1.5}, ("downstream", 10): {"movra": 1e-6}}


def test_only_the_marked_section_of_the_page_is_rewritten():
    page = "# Title\n\nProse before.\n\n<!-- results:start -->\nold\n<!-- results:end -->\n\nProse after.\n"
    measured = results({("build", N): {"movra": 0.1, "pure Python": 2.6}})
    text = report.page_text(page, measured, None)
    assert text.startswith("# Title\n\nProse before.\n\n<!-- results:start -->\nMeasured on: test machine.")
    assert text.endswith("<!-- results:end -->\n\nProse after.\n") and "old" not in text
    assert "| build | 100.0 ms | 2,600.0 ms | 26.0× |" in text


def test_a_page_without_the_markers_is_refused():
    with pytest.raises(SystemExit, match="has no <!-- results:start -->"):
        report.page_text("# Benchmarks\n", results({("build", N): {"movra": 0.1}}), None)


# The runtime's tables (flow.py and peers.py) ----------------------------------------

PAGE_WITH_RUNTIME = ("# Benchmarks\n\n<!-- results:start -->\nold\n<!-- results:end -->\n\n## Runtime\n\n"
                     "<!-- runtime:start -->\nold runtime\n<!-- runtime:end -->\n\nProse after.\n")


def runtime(rows, goals=None):
    return report.Results("runtime machine", 3, "best of 3", rows, goals or {})


def test_the_runtime_section_is_rewritten_between_its_markers_only():
    flow = runtime({("first run (per node)", 100_000): {"movra": 2e-6, "direct calls": 1e-6}},
                   {"first run (per node)": ["ratio", 2.5]})
    measured = results({("build", N): {"movra": 0.1}})
    text = report.page_text(PAGE_WITH_RUNTIME, measured, None, [flow])
    assert "old runtime" not in text and "old\n" not in text
    assert text.endswith("<!-- runtime:end -->\n\nProse after.\n")
    assert ("| first run (per node) | 100,000 | 2,000 ns | direct calls: 1,000 ns | 2.00× | ≤ 2.5× | met |"
            in text)


def test_without_runtime_results_or_markers_the_runtime_section_is_left_alone():
    measured = results({("build", N): {"movra": 0.1}})
    flow = runtime({("first run (per node)", 10): {"movra": 2e-6, "direct calls": 1e-6}})
    assert "old runtime" in report.page_text(PAGE_WITH_RUNTIME, measured, None)
    plain = "# B\n\n<!-- results:start -->\n<!-- results:end -->\n"
    assert report.page_text(plain, measured, None, [flow]) == report.page_text(plain, measured, None)


VERDICTS = [
    (["ratio", 2.0], 3e-6, 1e-6, ("3.00×", "≤ 2×", "not met")),
    (["ratio", 2.0], 2e-6, 1e-6, ("2.00×", "≤ 2×", "met")),
    (["ratio", 1.3], 0.12, 0.1, ("1.20×", "≤ 1.3×", "met")),
    (None, 5e-6, 1e-6, ("5.00×", "", "")),
    (["excess", 5e-6], 24e-6, 4e-6, ("+20.0 µs", "≤ +5 µs", "not met")),
    (["excess", 5e-6], 3e-6, 4e-6, ("-1.0 µs", "≤ +5 µs", "met")),
]


@pytest.mark.parametrize("goal, own, base, shown", VERDICTS, ids=[f"{v[0]}-{v[1]}" for v in VERDICTS])
def test_a_goal_is_judged_by_its_kind(goal, own, base, shown):
    assert report.verdict(goal, own, base) == shown


def test_peers_are_shown_against_movra_and_a_missing_measure_is_blank():
    peers = runtime({("DAG: first run", 10_000): {"movra": 0.05, "loman": 46.0, "Dask graph": 0.06},
                     ("DAG: a change", 10_000): {"movra": 0.001, "loman": 0.03}})
    table = report.tool_table(peers)
    assert table.splitlines()[0] == "| tool | DAG: first run (n = 10,000) | DAG: a change (n = 10,000) |"
    assert "| movra | 50.0 ms | 1.0 ms |" in table
    assert "| loman | 46,000.0 ms (920×) | 30.0 ms (30×) |" in table
    assert "| Dask graph | 60.0 ms (1.2×) |  |" in table


def test_goals_survive_a_save_and_load(tmp_path):
    rows = {("first run (per node)", 10): {"movra": 1e-6, "direct calls": 5e-7}}
    report.save(tmp_path / "r.json", "machine", 3, rows, goals={"first run (per node)": ["ratio", 2.5]})
    assert report.load(tmp_path / "r.json").goals == {"first run (per node)": ["ratio", 2.5]}
    report.save(tmp_path / "plain.json", "machine", 3, rows)
    assert report.load(tmp_path / "plain.json").goals == {}


def test_tables_stay_narrow_and_versions_read_one_way():
    saved = report.load(report.RESULTS)
    page = report.page_text(report.PAGE.read_text(encoding="utf-8"), saved, report.FIGURE.name,
                            report.load_runtime())
    widths = {line.count("|") - 1 for line in page.splitlines() if line.startswith("| ")}
    assert max(widths) < 8  # the kernel's tables were 8 columns wide: split
    assert "movra kernel" not in page and "kernel 1.2.0" in page
