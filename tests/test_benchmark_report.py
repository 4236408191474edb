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
    assert report.page_text(page, saved, report.FIGURE.name) == page, "run python benchmarks/report.py"


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
