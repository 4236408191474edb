"""Shared and exclusive access: Python code that runs during argument
conversion and calls back into the same graph."""
import sys

import pytest

import movra
from conftest import make_graph


class Sequence:
    """A user-defined sequence that runs `callback` while it is iterated."""

    def __init__(self, items, callback=None, length=None):
        self.items, self.callback, self.length = list(items), callback, length

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == 0 and self.callback is not None:
            self.callback()
        return self.items[i]


def inner_result(call):
    """What a re-entrant `call` gave: its value or its exception."""
    box = {}

    def callback():
        try:
            box["value"] = call()
        except Exception as error:  # noqa: BLE001 - recorded for the test
            box["error"] = error

    return box, callback


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: g.node_ids(), "Already mutably borrowed"),
        (lambda g: len(g), "Already mutably borrowed"),
        (lambda g: "a" in g, "Already mutably borrowed"),
        (lambda g: repr(g), "Already mutably borrowed"),
        (lambda g: g.kind_of("a"), "Already mutably borrowed"),
        (lambda g: g.add_node("c", "input"), "Already borrowed"),
        (lambda g: g.set_deps("b", []), "Already borrowed"),
    ],
)
def test_exclusive_call_refuses_every_reentrant_call(call, message):
    g = make_graph("a", "b")
    box, callback = inner_result(lambda: call(g))
    g.set_deps("b", Sequence(["a"], callback))
    assert type(box["error"]) is RuntimeError
    assert box["error"].args == (message,)
    assert g.deps_of("b") == ["a"] and len(g) == 2


def test_shared_call_allows_reads_and_refuses_writes():
    g = make_graph("a", "b", deps={"b": ["a"]}, build=True)
    box, callback = inner_result(g.node_ids)
    assert g.dirty_subgraph(Sequence(["a"], callback)) == ["a", "b"]
    assert box == {"value": ["a", "b"]}

    box, callback = inner_result(lambda: g.add_node("c", "view"))
    assert g.dirty_subgraph(Sequence(["a"], callback)) == ["a", "b"]
    assert type(box["error"]) is RuntimeError and box["error"].args == ("Already borrowed",)
    assert len(g) == 2 and g.topo_order() == ["a", "b"]


def test_mark_dirty_conversion_refuses_reentry():
    g = make_graph("a", "b", deps={"b": ["a"]}, build=True)
    box, callback = inner_result(lambda: g.state_of("a"))
    g.mark_dirty(Sequence(["a"], callback))
    assert box["error"].args == ("Already mutably borrowed",)


def test_access_is_released_after_every_kind_of_failure():
    g = make_graph("a", "b", build=True)
    failures = [
        lambda: g.set_deps("b", Sequence(["a", 1])),
        lambda: g.set_deps("b", ["zz"]),
        lambda: g.add_node("a", "input"),
        lambda: g.mark_dirty(["zz"]),
        lambda: g.commit_node("a", -1),
        lambda: g.add_node(),
    ]
    for failing in failures:
        with pytest.raises(Exception):
            failing()
        g.add_node(f"n{len(g)}", "input")  # exclusive access is free again
    assert len(g) == 2 + len(failures)


def test_errors_raised_by_iteration():
    class Raising(Sequence):
        def __init__(self, error):
            super().__init__(["a"])
            self.error = error

        def __getitem__(self, i):
            raise self.error

    g = make_graph("a", "b")
    with pytest.raises(TypeError) as info:
        g.set_deps("b", Raising(TypeError("bad item")))
    assert info.value.args == ("argument 'deps': bad item",)
    with pytest.raises(ValueError, match="^plain$"):
        g.set_deps("b", Raising(ValueError("plain")))
    assert g.deps_of("b") == []


@pytest.mark.parametrize("length", [sys.maxsize, 10**12, -1, 0])
def test_length_is_only_a_hint(length):
    g = make_graph("a", "b")
    g.set_deps("b", Sequence(["a"], length=length if length >= 0 else None))
    assert g.deps_of("b") == ["a"]


def test_failing_len_is_ignored():
    class NoLen(Sequence):
        def __len__(self):
            raise ValueError("no length")

    g = make_graph("a", "b")
    g.set_deps("b", NoLen(["a"]))
    assert g.deps_of("b") == ["a"]


def test_user_sequences_as_seeds():
    g = make_graph("a", "b", "c", deps={"c": ["b"]}, build=True)
    assert g.dirty_subgraph(Sequence(["c", "a", "c"])) == ["a", "c"]
    assert g.dirty_subgraph(Sequence(["c", "c"])) == ["c"]
