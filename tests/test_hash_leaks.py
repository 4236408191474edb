"""content_hash, digest and combine give back every reference they take, on
success and on each error path."""
import collections
import gc
import sys
import threading

import numpy as np
import pytest

from movra import hashing
from hash_reference import Box, Color, Tagged


class Shape:
    def __init__(self, size):
        self.size = size


class Unsized:
    pass


def fresh(text):
    """An uninterned str equal to `text`, so its reference count is ours alone."""
    return "".join([text[:1], text[1:]])


def self_referencing():
    items = [fresh("x")]
    items.append(items)
    return items


def growing(hasher):
    data = [Shape(1), Unsized(), fresh("a")]
    # grows and shrinks by turns: every call sees a change, none accumulates
    def change(_):
        if len(data) == 3:
            data.append(Shape(2))
        else:
            data.pop()
        return 1

    hasher.register(Unsized, change)
    return data


class Units(list):
    __slots__ = ("unit",)


def slotted(unit):
    units = Units([1, 2])
    units.unit = unit
    return units


class NotedArray(np.ndarray):
    pass


def noted_array(note):
    array = np.arange(4).view(NotedArray)
    array.note = note
    return array


def failing_hasher(hasher):
    def fail(_):
        raise KeyError(fresh("no size"))

    hasher.register(Unsized, fail)
    return [Unsized(), fresh("b")]


# (name, make value from a private hasher, the exception it raises or None)
CASES = [
    ("int", lambda h: 12345, None),
    ("big int", lambda h: 2**100 + 7, None),
    ("str", lambda h: fresh("a:node"), None),
    ("surrogate str", lambda h: fresh("a\ud800"), None),
    ("nested", lambda h: [fresh("k"), (2**70, {fresh("d"): [1.5, None]}), {fresh("s"), 3}], None),
    ("subclasses", lambda h: [Color.RED, Tagged(fresh("t")), collections.OrderedDict(a=[1])], None),
    ("registered", lambda h: (h.register(Shape, lambda s: s.size), [Shape(3)])[1], None),
    ("pickled with set", lambda h: Box({fresh("p"), fresh("q")}), None),
    ("array", lambda h: np.arange(100).reshape(10, 10)[:, ::3], None),
    ("object array", lambda h: np.array([fresh("o"), {1}], dtype=object), None),
    ("datetime array", lambda h: np.arange(5).astype("M8[s]"), None),
    ("memoryview", lambda h: memoryview(bytes(30)).cast("B", (5, 6))[::2], None),
    ("defaultdict and slots", lambda h: [collections.defaultdict(list, a=[1]), slotted(fresh("m"))], None),
    ("functions and classes", lambda h: [lambda x: x + 1, Shape, Box(Shape), Shape.__init__], None),
    ("masked array", lambda h: np.ma.masked_array([1, 2], mask=[0, 1]), None),
    ("array subclass", lambda h: noted_array(fresh("n")), None),
    ("reordered fields", lambda h: np.zeros(3, dtype={"names": ["b", "a"], "formats": ["<i4", "<i4"],
                                                      "offsets": [4, 0]}), None),
    ("slot that does not pickle", lambda h: [slotted(threading.Lock())], TypeError),
    ("does not pickle", lambda h: [fresh("c"), threading.Lock()], TypeError),
    ("recursive", lambda h: self_referencing(), ValueError),
    ("changed size", growing, RuntimeError),
    ("hasher raises", failing_hasher, KeyError),
    ("hasher returns str", lambda h: (h.register(Shape, lambda s: fresh("z")), [Shape(1)])[1], TypeError),
    ("hasher out of range", lambda h: (h.register(Shape, lambda s: -5), [Shape(1)])[1], ValueError),
]


@pytest.mark.parametrize("name, make, error", CASES, ids=[c[0] for c in CASES])
def test_content_hash_keeps_no_reference(name, make, error):
    hasher = hashing.ContentHash()
    value = make(hasher)

    def run(times):
        for _ in range(times):
            try:
                hasher(value)
            except Exception as caught:
                assert error is not None and isinstance(caught, error), caught
            else:
                assert error is None

    run(1000)  # warm caches, free lists and the interpreter's specialised code
    gc.collect()
    leaves = [value, *(value if isinstance(value, list) else [])]
    refs = [sys.getrefcount(x) for x in leaves]
    blocks = sys.getallocatedblocks()
    run(3000)
    gc.collect()
    assert [sys.getrefcount(x) for x in leaves] == refs
    assert sys.getallocatedblocks() - blocks < 200


@pytest.mark.parametrize("view", [lambda a: a, lambda a: a[::2]], ids=["contiguous", "strided"])
def test_large_arrays_hashed_by_blocks_keep_nothing(view):
    value = view(np.arange(2**21, dtype="<i8"))  # 16 MiB: two threads when contiguous
    for _ in range(50):
        hashing.content_hash(value)
    gc.collect()
    refs, blocks = sys.getrefcount(value), sys.getallocatedblocks()
    for _ in range(400):
        hashing.content_hash(value)
    gc.collect()
    assert sys.getrefcount(value) == refs and sys.getallocatedblocks() - blocks < 200  # < 1 a call


@pytest.mark.parametrize(
    "call",
    [
        lambda tag, part: hashing.digest(tag, part),
        lambda tag, part: hashing.combine(tag, [part, 1]),
        lambda tag, part: hashing.combine(tag, [part, -1]),
        lambda tag, part: hashing.combine(tag, [part, "x"]),
        lambda tag, part: hashing.digest(part, tag),
    ],
    ids=["digest", "combine", "combine negative", "combine str", "digest int tag"],
)
def test_digest_and_combine_keep_no_reference(call):
    tag, part = bytes(fresh("tag"), "ascii"), 2**63 + 1

    def run(times):
        for _ in range(times):
            try:
                call(tag, part)
            except (TypeError, OverflowError):
                pass

    run(200)
    refs = sys.getrefcount(tag), sys.getrefcount(part)
    run(5000)
    assert (sys.getrefcount(tag), sys.getrefcount(part)) == refs


def test_a_dropped_hasher_releases_its_cached_types_and_hashers():
    import weakref

    hasher = hashing.ContentHash()
    cls = type("Dynamic", (), {})
    hasher.register(cls, lambda v: 1)
    hasher(cls())
    refs = weakref.ref(cls), weakref.ref(hasher)
    del cls, hasher
    gc.collect()
    assert [ref() for ref in refs] == [None, None]
