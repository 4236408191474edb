"""State transitions and commits: exactly the fields each one writes."""
import pytest

import movra
from conftest import make_graph

U64_MAX = 2**64 - 1


def epoch_of(g, node):
    """The epoch of `node`, read through a probe node that depends on it."""
    probe = f"probe:{node}"
    if probe not in g:
        g.add_node(probe, "view")
        g.set_deps(probe, [node])
    _, _, signature = g.check_node(probe)
    return next(e for e in range(100) if fold([e]) == signature)


def fold(values):
    h = 0x14650FB0739D0383
    for v in values:
        h = ((h ^ v) * 0x100000001B3) % 2**64
    return h


@pytest.mark.parametrize(
    "method, args, state",
    [("set_dirty", (), "dirty"), ("set_computing", (), "computing"), ("set_clean", (5,), "clean"),
     ("skip_node", (5,), "clean"), ("commit_node", (5,), "clean"), ("commit_input", (5,), "clean")],
)
@pytest.mark.parametrize("start", ["clean", "dirty", "computing"])
@pytest.mark.parametrize("kind", ["input", "source", "reactive", "view"])
def test_every_transition_is_accepted_from_every_state(method, args, state, start, kind):
    g = make_graph(("n", kind))
    {"clean": lambda: g.set_clean("n", 1), "dirty": lambda: g.set_dirty("n"),
     "computing": lambda: g.set_computing("n")}[start]()
    assert getattr(g, method)("n", *args) is None
    assert g.state_of("n") == state


def test_commit_node_stamps_the_next_clock_value():
    g = make_graph("a", "b")
    g.commit_node("a", 0)
    g.commit_node("b", 0)
    assert (epoch_of(g, "a"), epoch_of(g, "b")) == (1, 2)
    g.commit_node("a", 123)
    assert epoch_of(g, "a") == 3


@pytest.mark.parametrize("method", ["skip_node", "set_clean"])
def test_memo_hit_keeps_the_epoch(method):
    g = make_graph("a")
    g.commit_node("a", 1)
    getattr(g, method)("a", 2)
    assert epoch_of(g, "a") == 1
    assert g.needs_recompute("a", 2) is False and g.needs_recompute("a", 1) is True


def test_commit_input_sets_hash_and_signature_set_clean_only_signature():
    g = make_graph(("i", "input"), ("v", "view"), deps={"v": ["i"]})
    g.commit_input("i", 7)
    assert g.needs_recompute("i", 7) is False
    assert g.check_node("v")[2] == fold([7])
    g.set_clean("i", 8)
    assert g.needs_recompute("i", 8) is False and g.needs_recompute("i", 7) is True
    assert g.check_node("v")[2] == fold([7])  # dependents still fold the hash


def test_set_dirty_changes_only_the_state():
    g = make_graph(("i", "input"), "r", deps={"r": ["i"]})
    g.commit_input("i", 3)
    _, _, signature = g.check_node("r")
    g.commit_node("r", signature)
    g.set_dirty("r")
    assert g.state_of("r") == "dirty"
    assert g.check_node("r") == ("reactive", False, signature)


@pytest.mark.parametrize(
    "method, args",
    [("set_dirty", ()), ("set_computing", ()), ("set_clean", (1,)), ("skip_node", (1,)),
     ("commit_node", (1,)), ("commit_input", (1,))],
)
def test_unknown_id_changes_nothing_not_even_the_clock(method, args):
    g = make_graph("a")
    with pytest.raises(KeyError) as info:
        getattr(g, method)("nope", *args)
    assert info.value.args == ('unknown node: "nope"',)
    g.commit_node("a", 0)
    assert epoch_of(g, "a") == 1 and g.state_of("a") == "clean"


def test_transitions_work_unbuilt_and_keep_the_built_flag():
    g = movra.Graph()
    g.add_node("a", "reactive")
    g.commit_node("a", U64_MAX)
    g.commit_input("a", 0)
    g.build()
    for method, args in [("set_computing", ()), ("commit_node", (0,)), ("set_clean", (U64_MAX,))]:
        getattr(g, method)("a", *args)
    assert g.topo_order() == ["a"]
