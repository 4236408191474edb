"""build, topo_order and views."""
import random

import networkx as nx
import pytest

import movra
from conftest import make_graph

NOT_BUILT = "graph has not been built; call build() after registering nodes"


def test_empty_graph_builds():
    g = movra.Graph()
    g.build()
    assert g.topo_order() == [] and g.views() == []


@pytest.mark.parametrize(
    "nodes, deps, order",
    [
        (["c", "a", "b"], {}, ["c", "a", "b"]),
        (["b", "a"], {"b": ["a"]}, ["a", "b"]),
        # Smallest ready index first: a FIFO ready queue would give y, z, out, x.
        (["out", "x", "y", "z"], {"out": ["y"], "x": ["z"]}, ["y", "out", "z", "x"]),
        (["a", "b", "c", "d"], {"a": ["d"], "b": ["d"], "c": ["a", "b"]}, ["d", "a", "b", "c"]),
    ],
)
def test_order_is_the_smallest_by_insertion_index(nodes, deps, order):
    assert make_graph(*nodes, deps=deps, build=True).topo_order() == order


def test_cycle_lists_every_unplaced_node_and_leaves_the_graph_unbuilt():
    g = make_graph("a", "b", "c", "d", deps={"a": ["b"], "b": ["a"], "c": ["a"]})
    with pytest.raises(ValueError) as info:
        g.build()
    assert info.value.args == ("dependency cycle detected involving: a, b, c",)
    with pytest.raises(RuntimeError) as info:
        g.topo_order()
    assert info.value.args == (NOT_BUILT,)
    g.set_deps("b", [])
    g.build()
    assert g.topo_order() == ["b", "a", "c", "d"]


def test_failed_build_keeps_the_previous_order_unread():
    g = make_graph("a", "b", build=True)
    g.set_deps("a", ["b"])
    g.set_deps("b", ["a"])
    with pytest.raises(ValueError):
        g.build()
    with pytest.raises(RuntimeError):
        g.views()
    g.set_deps("b", [])
    g.build()
    assert g.topo_order() == ["b", "a"] and g.downstream("b") == ["a"]


def test_building_twice_changes_nothing():
    g = make_graph("a", "b", "c", deps={"b": ["a"], "c": ["a", "b"]}, build=True)
    first = (g.topo_order(), g.downstream("a"), g.downstream("b"))
    g.build()
    assert (g.topo_order(), g.downstream("a"), g.downstream("b")) == first == (
        ["a", "b", "c"], ["b", "c"], ["c"])


def test_build_keeps_states_and_memo_records():
    g = make_graph(("i", "input"), "r", deps={"r": ["i"]})
    g.commit_input("i", 5)
    g.commit_node("r", 9)
    before = [(g.state_of(n), g.check_node(n)) for n in g.node_ids()]
    g.build()
    assert [(g.state_of(n), g.check_node(n)) for n in g.node_ids()] == before


def test_views_in_topological_order():
    g = make_graph(("v2", "view"), ("v1", "view"), ("i", "input"), deps={"v2": ["v1"], "v1": ["i"]},
                   build=True)
    assert g.views() == ["v1", "v2"]
    assert make_graph(("i", "input"), build=True).views() == []


@pytest.mark.parametrize("method", ["topo_order", "views"])
def test_not_built_until_a_build_follows_every_change(method):
    g = make_graph("a", "b")
    for change in [lambda: None, lambda: g.add_node("c", "view"), lambda: g.set_deps("b", ["a"]),
                   lambda: g.set_deps("b", ["a"])]:
        change()
        with pytest.raises(RuntimeError) as info:
            getattr(g, method)()
        assert info.value.args == (NOT_BUILT,)
        g.build()
        getattr(g, method)()


def random_dag(rng, n, edges_per_node):
    """Node names shuffled against their topological rank, so that insertion
    order and dependency order disagree."""
    names = [f"n{i}" for i in range(n)]
    rank = list(range(n))
    rng.shuffle(rank)
    by_rank = sorted(range(n), key=lambda i: rank[i])
    deps = {}
    for r, node in enumerate(by_rank):
        if r:
            deps[names[node]] = [names[by_rank[rng.randrange(r)]] for _ in range(rng.randint(0, edges_per_node))]
    return names, deps


@pytest.mark.parametrize("seed", range(25))
def test_order_matches_an_independent_lexicographic_sort(seed):
    rng = random.Random(seed)
    names, deps = random_dag(rng, rng.randint(1, 80), rng.choice([1, 3, 6]))
    g = make_graph(*names, deps=deps, build=True)
    reference = nx.DiGraph()
    reference.add_nodes_from(names)
    reference.add_edges_from((d, node) for node, ds in deps.items() for d in ds)
    index = {name: i for i, name in enumerate(names)}
    assert g.topo_order() == list(nx.lexicographical_topological_sort(reference, key=index.get))


def test_deep_chain_builds_without_recursion():
    g = movra.Graph()
    n = 200_000
    for i in range(n):
        g.add_node(f"n{i}", "reactive")
    for i in range(1, n):
        g.set_deps(f"n{i}", [f"n{i - 1}"])
    g.build()
    order = g.topo_order()
    assert order[0] == "n0" and order[-1] == f"n{n - 1}" and len(order) == n
    assert len(g.downstream("n0")) == n - 1
