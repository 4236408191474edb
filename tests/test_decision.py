"""The recompute decision and the dependency signature, and the memo cycle."""
import pytest

from conftest import make_graph

SEED = 0x14650FB0739D0383
U64_MAX = 2**64 - 1


def fold(values):
    h = SEED
    for v in values:
        h = ((h ^ v) * 0x100000001B3) % 2**64
    return h


@pytest.mark.parametrize(
    "values, signature",
    [
        ([], 1469598103934665603),
        ([0], 4953163356653287321),
        ([1], 4953162257141659110),
        ([1, 2], 11125486474286715500),
        ([2, 1], 11124530998681989366),
        ([7], 4953164456164915532),
        ([8], 4953172152746313009),
        ([3], 4953160058118402688),
    ],
)
def test_fold_values(values, signature):
    assert fold(values) == signature
    names = [f"d{i}" for i in range(len(values))]
    g = make_graph(*((name, "input") for name in names), "n", deps={"n": names})
    for name, value in zip(names, values):
        g.commit_input(name, value)
    assert g.check_node("n") == ("reactive", True, signature)


def test_uncommitted_dependencies_fold_as_zero():
    g = make_graph(("i", "input"), "r", "a", "b", deps={"a": ["i"], "b": ["r"]})
    assert g.check_node("a")[2] == g.check_node("b")[2] == 4953163356653287321
    g.commit_input("i", 0)
    assert g.check_node("a")[2] == 4953163356653287321
    g.commit_node("r", 99)
    assert g.check_node("b")[2] == 4953162257141659110


def test_fresh_nodes_need_recompute():
    g = make_graph("a")
    assert g.check_node("a") == ("reactive", True, SEED)
    assert g.needs_recompute("a", SEED) is True


@pytest.mark.parametrize("kind", ["input", "source", "reactive", "view"])
def test_kind_in_the_result(kind):
    g = make_graph(("n", kind))
    assert g.check_node("n")[0] == kind == g.kind_of("n")


def test_hash_on_a_computed_node_and_epoch_on_an_input_are_ignored():
    g = make_graph(("i", "input"), "r", "x", "y", deps={"x": ["i"], "y": ["r"]})
    g.commit_node("i", 5)  # epoch of an input: not folded
    g.commit_input("r", 5)  # hash of a reactive node: not folded
    assert g.check_node("x")[2] == fold([0])
    assert g.check_node("y")[2] == fold([0])


def test_decision_compares_signatures_not_states():
    g = make_graph(("i", "input"), "r", deps={"r": ["i"]})
    g.commit_input("i", 1)
    _, needs, s = g.check_node("r")
    g.commit_node("r", s)
    for change in (lambda: g.set_dirty("r"), lambda: g.set_computing("r")):
        change()
        assert g.check_node("r") == ("reactive", False, s)
    g.commit_node("r", s ^ 1)
    assert g.state_of("r") == "clean" and g.check_node("r")[1] is True


@pytest.mark.parametrize("method", ["set_clean", "skip_node", "commit_node", "commit_input"])
@pytest.mark.parametrize("value", [0, 12345, U64_MAX])
def test_needs_recompute_against_the_recorded_signature(method, value):
    g = make_graph("a")
    getattr(g, method)("a", value)
    g.set_computing("a")
    assert g.needs_recompute("a", value) is False
    assert g.needs_recompute("a", (value + 1) % 2**64) is True


def test_dependency_changes_move_the_signature():
    g = make_graph(("i", "input"), "r", "n", deps={"n": ["i", "r"]})
    g.commit_input("i", 4)
    g.commit_node("r", 0)
    _, _, s = g.check_node("n")
    g.commit_node("n", s)
    assert g.check_node("n") == ("reactive", False, s)
    g.skip_node("r", 17)
    assert g.check_node("n") == ("reactive", False, s)
    g.commit_node("r", 0)  # same signature, new epoch
    assert g.check_node("n")[1:] == (True, fold([4, 3]))
    g.commit_node("n", fold([4, 3]))
    g.commit_input("i", 5)
    assert g.check_node("n")[1:] == (True, fold([5, 3]))


def test_worked_memo_cycle():
    g = make_graph(("i", "input"), ("r", "reactive"), ("v", "view"),
                   deps={"r": ["i"], "v": ["r"]}, build=True)
    g.commit_input("i", 7)
    assert g.check_node("r") == ("reactive", True, 4953164456164915532)
    g.commit_node("r", 4953164456164915532)
    assert g.check_node("v") == ("view", True, 4953162257141659110)
    g.commit_node("v", 4953162257141659110)

    assert g.mark_dirty(["i"]) == ["i", "r", "v"]
    assert g.dirty_nodes() == ["i", "r", "v"]
    g.commit_input("i", 7)
    assert g.check_node("r") == ("reactive", False, 4953164456164915532)
    g.skip_node("r", 4953164456164915532)
    assert g.check_node("v") == ("view", False, 4953162257141659110)
    g.skip_node("v", 4953162257141659110)
    assert g.dirty_nodes() == []

    g.commit_input("i", 8)
    assert g.check_node("r") == ("reactive", True, 4953172152746313009)
    g.commit_node("r", 4953172152746313009)
    assert g.check_node("v") == ("view", True, 4953160058118402688)


def test_decision_works_on_unbuilt_graphs_and_unknown_ids_fail():
    g = make_graph("a", build=True)
    g.add_node("b", "view")
    assert g.check_node("b") == ("view", True, SEED)
    with pytest.raises(KeyError) as info:
        g.check_node("c")
    assert info.value.args == ('unknown node: "c"',)
    with pytest.raises(KeyError):
        g.needs_recompute("c", 0)
