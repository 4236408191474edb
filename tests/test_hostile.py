"""Inputs a careless or hostile caller might pass: huge ids and lists,
subclasses of str and int, and objects whose protocol methods misbehave."""
import pytest

import movra
from conftest import make_graph


class Str(str):
    def __eq__(self, other):  # never consulted: ids compare by their bytes
        return False

    def __hash__(self):
        return 0


class Int(int):
    def __index__(self):  # ints convert by value, not through __index__
        raise AssertionError("not called")


def test_str_subclasses_are_ids_by_their_text():
    g = movra.Graph()
    g.add_node(Str("a"), Str("input"))
    assert "a" in g and Str("a") in g and g.node_ids() == ["a"]
    assert type(g.node_ids()[0]) is str and type(g.kind_of("a")) is str


def test_int_subclasses_convert_by_value():
    g = make_graph("a")
    g.set_clean("a", Int(5))
    assert g.needs_recompute("a", 5) is False


def test_one_mebibyte_ids():
    big = "x" * (1 << 20)
    other = big[:-1] + "y"
    g = make_graph(big, other, deps={other: [big]}, build=True)
    assert g.downstream(big) == [other]
    with pytest.raises(KeyError) as info:
        g.kind_of(big + "z")
    assert len(info.value.args[0]) == len("unknown node: ") + (1 << 20) + 3


def test_hundred_thousand_seeds():
    ids = [f"n{i}" for i in range(1000)]
    g = make_graph(*ids, deps={ids[i]: [ids[i - 1]] for i in range(1, 1000)}, build=True)
    seeds = [ids[i % 1000] for i in range(100_000)]
    assert g.mark_dirty(seeds) == ids
    with pytest.raises(KeyError) as info:
        g.dirty_subgraph(seeds + ["missing"] + seeds)
    assert info.value.args == ('unknown node: "missing"',)


def test_sequence_whose_getitem_grows_without_end_is_stopped_by_its_own_error():
    class Endless:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i > 10_000:
                raise MemoryError("caller's own limit")
            return "a"

    g = make_graph("a", "b")
    with pytest.raises(MemoryError, match="caller's own limit"):
        g.set_deps("b", Endless())
    assert g.deps_of("b") == []


def test_graph_survives_a_reentrant_storm():
    g = make_graph("a", "b", deps={"b": ["a"]}, build=True)
    outcomes = []

    class Evil:
        def __init__(self, depth):
            self.depth = depth

        def __len__(self):
            outcomes.append(_try(lambda: g.mark_dirty(["a"])))
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            if self.depth:
                outcomes.append(_try(lambda: g.dirty_subgraph(Evil(self.depth - 1))))
            outcomes.append(_try(g.topo_order))
            return "b"

    assert g.dirty_subgraph(Evil(1)) == ["b"]
    assert outcomes == ["Already borrowed", "Already borrowed", ["a", "b"], ["b"], ["a", "b"]]
    assert g.mark_dirty(["a"]) == ["a", "b"]


def _try(call):
    try:
        return call()
    except RuntimeError as error:
        return error.args[0]
