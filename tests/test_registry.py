"""add_node, set_deps and the registry queries."""
import pytest

import movra
from conftest import make_graph

KINDS = ["input", "source", "reactive", "view"]


@pytest.mark.parametrize("kind", KINDS)
def test_new_node_reports_kind_dirty_state_and_no_deps(kind):
    g = make_graph(("n", kind))
    assert (g.kind_of("n"), g.state_of("n"), g.deps_of("n")) == (kind, "dirty", [])


def test_node_ids_keep_insertion_order():
    assert movra.Graph().node_ids() == []
    assert make_graph("b", "a", "c").node_ids() == ["b", "a", "c"]


@pytest.mark.parametrize("node_id", ["", "\0", "a\0b", "\u00e9", "e\u0301", "\U0001F600", "x" * 1000])
def test_unusual_ids_are_exact_keys(node_id):
    g = make_graph((node_id, "input"), "other")
    assert node_id in g and g.kind_of(node_id) == "input"
    assert g.node_ids() == [node_id, "other"]


def test_ids_compare_byte_for_byte():
    # Composed and decomposed forms of the same letter are different ids.
    g = make_graph("\u00e9", "e\u0301", "A")
    assert len(g) == 3 and "a" not in g and "\u00c9" not in g


def test_duplicate_is_found_before_the_kind_is_read():
    g = make_graph(("a", "input"))
    with pytest.raises(ValueError) as info:
        g.add_node("a", "nonsense")
    assert info.value.args == ('node already registered: "a"',)
    assert (len(g), g.kind_of("a")) == (1, "input")


@pytest.mark.parametrize("kind", ["Input", "", "VIEW", "input ", "inputs"])
def test_invalid_kind(kind):
    g = movra.Graph()
    with pytest.raises(ValueError) as info:
        g.add_node("a", kind)
    assert info.value.args == (f'invalid node kind "{kind}" (expected input|source|reactive|view)',)
    assert len(g) == 0 and "a" not in g


@pytest.mark.parametrize(
    "deps, stored",
    [(["a", "a"], ["a"]), (["c", "a"], ["c", "a"]), (["c", "a", "c", "a"], ["c", "a"]), ([], []),
     (("a",), ["a"])],
)
def test_set_deps_keeps_first_occurrences_in_order(deps, stored):
    g = make_graph("a", "b", "c")
    g.set_deps("b", ["c"])
    g.set_deps("b", deps)
    assert g.deps_of("b") == stored


def test_long_dependency_lists_drop_repeats_too():
    ids = [f"n{i}" for i in range(200)]
    g = make_graph(*ids, "sink")
    g.set_deps("sink", ids + ids[::-1])
    assert g.deps_of("sink") == ids


@pytest.mark.parametrize(
    "node_id, deps, error, message",
    [
        ("a", ["a"], ValueError, 'node "a" cannot depend on itself'),
        ("a", ["zz", "a"], KeyError, 'unknown node: "zz"'),
        ("a", ["b", "a", "zz"], ValueError, 'node "a" cannot depend on itself'),
        ("a", ["b", "zz", "a"], KeyError, 'unknown node: "zz"'),
        ("zz", ["a"], KeyError, 'unknown node: "zz"'),
        ("zz", ["zz"], KeyError, 'unknown node: "zz"'),
    ],
)
def test_set_deps_errors_leave_deps_and_built_flag(node_id, deps, error, message):
    g = make_graph("a", "b", deps={"a": ["b"]}, build=True)
    with pytest.raises(error) as info:
        g.set_deps(node_id, deps)
    assert info.value.args == (message,)
    assert g.deps_of("a") == ["b"]
    assert g.topo_order() == ["b", "a"]  # still built


def test_successful_changes_clear_the_built_flag():
    g = make_graph("a", "b", build=True)
    g.set_deps("b", [])
    with pytest.raises(RuntimeError):
        g.topo_order()
    g.build()
    g.add_node("c", "view")
    with pytest.raises(RuntimeError):
        g.views()


def test_failed_add_node_keeps_the_graph_built():
    g = make_graph("a", build=True)
    for args in [("a", "input"), ("b", "bad")]:
        with pytest.raises(ValueError):
            g.add_node(*args)
    assert g.topo_order() == ["a"]


@pytest.mark.parametrize("query", ["kind_of", "state_of", "deps_of"])
def test_queries_of_unknown_ids(query):
    with pytest.raises(KeyError) as info:
        getattr(make_graph("a"), query)("b")
    assert info.value.args == ('unknown node: "b"',)


def test_many_nodes_stay_reachable_through_growth():
    ids = [f"node_{i}" for i in range(20000)]
    g = make_graph(*ids)
    assert len(g) == 20000 and all(i in g for i in ids[::97]) and "node_20000" not in g
    assert g.node_ids() == ids
