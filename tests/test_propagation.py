"""downstream, dirty_subgraph, mark_dirty and dirty_nodes."""
import random

import pytest

from conftest import clean_all, make_graph

NOT_BUILT = "graph has not been built; call build() after registering nodes"


@pytest.mark.parametrize("node, below", [("a", ["b", "c", "d"]), ("b", ["c"]), ("c", []), ("d", [])])
def test_downstream(diamond, node, below):
    assert diamond.downstream(node) == below


@pytest.mark.parametrize(
    "seeds, schedule",
    [(["c", "a"], ["a", "b", "c", "d"]), (["b", "b"], ["b", "c"]), ([], []), (["d", "c"], ["c", "d"])],
)
def test_dirty_subgraph_is_in_topological_order_and_changes_nothing(diamond, seeds, schedule):
    clean_all(diamond)
    diamond.set_computing("b")
    states = [diamond.state_of(n) for n in "abcd"]
    assert diamond.dirty_subgraph(seeds) == schedule
    assert [diamond.state_of(n) for n in "abcd"] == states


def test_mark_dirty_marks_exactly_the_schedule(diamond):
    clean_all(diamond)
    assert diamond.mark_dirty(["b"]) == ["b", "c"]
    assert [diamond.state_of(n) for n in "abcd"] == ["clean", "dirty", "dirty", "clean"]
    assert diamond.dirty_nodes() == ["b", "c"]
    assert diamond.mark_dirty(["b"]) == ["b", "c"]


def test_computing_nodes_become_dirty_and_are_never_listed(diamond):
    clean_all(diamond)
    diamond.set_computing("c")
    assert diamond.dirty_nodes() == []
    diamond.mark_dirty(["b"])
    assert diamond.state_of("c") == "dirty"


def test_new_nodes_are_dirty(diamond):
    assert diamond.dirty_nodes() == ["a", "b", "c", "d"]


@pytest.mark.parametrize("method", ["dirty_subgraph", "mark_dirty"])
def test_first_unknown_seed_is_reported_and_nothing_changes(diamond, method):
    clean_all(diamond)
    with pytest.raises(KeyError) as info:
        getattr(diamond, method)(["a", "zz", "yy"])
    assert info.value.args == ('unknown node: "zz"',)
    assert diamond.dirty_nodes() == []


@pytest.mark.parametrize(
    "call",
    [lambda g: g.downstream("zz"), lambda g: g.dirty_subgraph(["zz"]), lambda g: g.mark_dirty([]),
     lambda g: g.dirty_nodes()],
)
def test_built_flag_is_checked_before_ids(call):
    g = make_graph("a", build=True)
    g.add_node("b", "view")
    with pytest.raises(RuntimeError) as info:
        call(g)
    assert info.value.args == (NOT_BUILT,)
    assert g.state_of("a") == "dirty"


@pytest.mark.parametrize("seed", range(15))
def test_against_a_reachability_model(seed):
    rng = random.Random(seed)
    n = rng.randint(2, 60)
    names = [f"n{i}" for i in range(n)]
    rng.shuffle(names)
    deps = {names[i]: rng.sample(names[:i], rng.randint(0, min(i, 3))) for i in range(1, n)}
    ids = sorted(names, key=lambda _: rng.random())
    g = make_graph(*ids, deps=deps, build=True)
    order = g.topo_order()
    dependents = {name: [m for m, ds in deps.items() if name in ds] for name in names}

    def reach(seeds):
        seen, stack = set(seeds), list(seeds)
        while stack:
            for m in dependents[stack.pop()]:
                if m not in seen:
                    seen.add(m)
                    stack.append(m)
        return sorted(seen, key=order.index)

    for _ in range(5):
        seeds = rng.sample(names, rng.randint(0, 4))
        assert g.dirty_subgraph(seeds) == reach(seeds)
        if seeds:
            assert g.downstream(seeds[0]) == [m for m in reach(seeds[:1]) if m != seeds[0]]
    clean_all(g)
    marked = g.mark_dirty(seeds)
    assert marked == reach(seeds) == g.dirty_nodes()


@pytest.mark.parametrize("n", [1023, 1024, 5000])
def test_large_schedules_are_in_order(n):
    # Large results are sorted differently from small ones; both must agree
    # with the cached order.
    rng = random.Random(n)
    ids = [f"n{i}" for i in range(n)]
    deps = {ids[i]: [ids[rng.randrange(i)] for _ in range(2)] for i in range(1, n)}
    shuffled = ids[:]
    rng.shuffle(shuffled)
    g = make_graph(*shuffled, deps=deps, build=True)
    order = g.topo_order()
    assert order[0] == ids[0]  # the only node without deps, and every node depends on it
    assert g.dirty_subgraph([ids[0]]) == order
    assert g.downstream(ids[0]) == order[1:]
    seeds = ids[n // 2 : n // 2 + 3]
    reached, frontier = set(seeds), list(seeds)
    dependents = {}
    for node, ds in deps.items():
        for d in ds:
            dependents.setdefault(d, []).append(node)
    while frontier:
        for m in dependents.get(frontier.pop(), []):
            if m not in reached:
                reached.add(m)
                frontier.append(m)
    assert g.mark_dirty(seeds) == [i for i in order if i in reached]
