"""content_hash: XXH64 itself, the encoding against a plain-Python reference,
pinned values, registration, errors, NumPy and pandas values, and stability
across processes."""
import ast
import collections
import enum
import math
import os
import pickle
import random
import struct
import subprocess
import sys
import threading
import types

import numpy as np
import pandas as pd
import pytest
import xxhash
from hypothesis import given, settings
from hypothesis import strategies as st

import hash_reference
import movra
from movra import _hashing, content_hash, hashing
from hash_reference import Box, Color, Encoder, Size, Tagged, combine, digest

TOO_DEEP = "cannot hash a recursive or too deeply nested value (deeper than 1000 levels)"
reference = Encoder()

# XXH64 -------------------------------------------------------------------------


def random_pieces(rng, data):
    cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
    return [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)])]


@pytest.mark.parametrize("size", [*range(101), 1000, 4096, 65_537, 1 << 20])
def test_xxh64_matches_the_published_algorithm_whatever_the_pieces(size):
    rng = random.Random(size)
    data = rng.randbytes(size)
    seed = rng.getrandbits(64)
    for _ in range(4):
        pieces = random_pieces(rng, data)
        assert _hashing.xxh64(pieces) == xxhash.xxh64_intdigest(data), pieces
        assert _hashing.xxh64(pieces, seed) == xxhash.xxh64_intdigest(data, seed)


def test_xxh64_of_many_tiny_pieces():
    data = random.Random(7).randbytes(10_000)
    assert _hashing.xxh64([data[i : i + 1] for i in range(len(data))]) == xxhash.xxh64_intdigest(data)


@pytest.mark.parametrize(
    "tag, payload",
    [(b"", b""), (b"point", b"\x00" * 40), (b"x" * 100, bytes(range(256))), (bytearray(b"t"), memoryview(b"p"))],
)
def test_digest_and_combine_are_xxh64_of_a_tagged_payload(tag, payload):
    assert hashing.digest(tag, payload) == digest(bytes(tag), bytes(payload))
    parts = [0, 1, 2**64 - 1, len(payload)]
    assert hashing.combine(tag, parts) == combine(bytes(tag), parts)
    assert hashing.combine(tag, iter(parts)) == combine(bytes(tag), parts)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: hashing.combine(b"t", [-1]), OverflowError, "negative"),
        (lambda: hashing.combine(b"t", [2**64]), OverflowError, "too big"),
        (lambda: hashing.combine(b"t", [1.5]), TypeError, "float"),
        (lambda: hashing.combine("t", [1]), TypeError, "tag must be a bytes-like object, not str"),
        (lambda: hashing.digest(b"t", "x"), TypeError, "payload must be a bytes-like object, not str"),
        (lambda: hashing.digest(b"t"), TypeError, r"digest\(\) takes exactly 2 arguments \(1 given\)"),
    ],
)
def test_digest_and_combine_refuse_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


# The encoding against the reference -------------------------------------------

Point = collections.namedtuple("Point", "x y")
Pair = collections.namedtuple("Pair", "x y")


class Tally(collections.OrderedDict):
    pass


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True),
    st.complex_numbers(allow_nan=True),
    st.text(),
    st.sampled_from(["\ud800", "a\udfffb", "é", "\U0001f600"]),
    st.binary(),
    st.sampled_from([Color.RED, Color.GREEN, Size.SMALL]),
    st.text().map(Tagged),
)
hashables = st.recursive(scalars, lambda inner: st.tuples(inner, inner) | st.frozensets(inner, max_size=4), max_leaves=6)


def with_attributes(text, attribute):
    tagged = Tagged(text)
    tagged.note = attribute
    return tagged


def arrays():
    dtypes = st.sampled_from(["<i8", ">i4", "<f8", "u1", "<c16", "?", "<M8[s]", "<m8[ms]"])
    return st.tuples(dtypes, st.integers(0, 3), st.integers(0, 5)).map(make_array)


def make_array(spec):
    dtype, ndim, extent = spec
    values = np.arange(extent**ndim or 1, dtype="i8")[: extent**ndim].astype(dtype).reshape((extent,) * ndim)
    return values.T if ndim > 1 else values  # non-contiguous when it can be


def containers(inner):
    return st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(hashables, inner, max_size=4),
        st.sets(hashables, max_size=4),
        st.frozensets(hashables, max_size=4),
        st.tuples(inner, inner).map(lambda p: Point(*p)),
        st.tuples(inner, inner).map(lambda p: Pair(*p)),
        st.lists(st.tuples(st.text(max_size=3), inner), max_size=4).map(collections.OrderedDict),
        st.lists(st.tuples(st.text(max_size=3), inner), max_size=4).map(Tally),
        st.tuples(st.text(max_size=3), inner).map(lambda p: with_attributes(*p)),
        st.lists(inner, max_size=3).map(bytearray_or_box),
        st.sets(st.text(max_size=4), max_size=4).map(lambda s: Box({"names": s, "n": len(s)})),
        st.binary(max_size=16).map(memoryview),
        st.lists(inner, max_size=3).map(lambda items: np.array(items + [None], dtype=object)),
    )


def bytearray_or_box(items):
    return Box(items) if items else bytearray(b"\x00\x01")


values = st.recursive(st.one_of(scalars, arrays()), containers, max_leaves=12)


@settings(max_examples=400, deadline=None)
@given(values)
def test_native_hash_equals_the_reference_encoding(value):
    try:
        expected = reference.hash(value)
    except TypeError:  # a memoryview inside a pickled object
        with pytest.raises(TypeError, match="it does not pickle"):
            content_hash(value)
    else:
        assert content_hash(value) == expected


@pytest.mark.parametrize(
    "value",
    [
        memoryview(b"abcdefgh").cast("i", (2,)),
        memoryview(bytes(range(24))).cast("B", (2, 3, 4))[::-1],
        memoryview(np.arange(12, dtype="<i2").reshape(3, 4)[:, ::2]),
        memoryview(np.zeros((), dtype="<f8")),
        np.zeros(3, dtype=[("x", "<i4"), ("y", "<f8")]),
        np.arange(24, dtype="<i4").reshape(2, 3, 4)[:, ::-1, ::2],
        np.arange(1_000_000, dtype="<i8")[::3],
        np.array(3.5),
        np.ma.masked_array([1, 2, 3]),
        np.float64(1.5),
        2**63,
        -(2**63),
        -(2**63) - 1,
        2**1000,
        collections.OrderedDict([("b", 1), ("a", {3, 4})]),
        Color.RED, Size.SMALL, Point(1, 2), Tagged("t"), Box({"s", "t"}),
        collections.defaultdict(list, a=[1]),
        np.zeros(2, dtype={"names": ["b", "a"], "formats": ["<i4", "<i2"], "offsets": [4, 0]}),
        np.zeros(2, dtype={"names": ["w", "lo"], "formats": ["<i4", "<i2"], "offsets": [0, 0]}),
        np.ma.masked_array([1.0, 2.0], mask=[0, 1], fill_value=-1.0),
        np.matrix([[1, 2]]),
        len, int, Box, Box.__eq__, lambda x: x + 1, Box([Box, Box.__eq__]),
        types.MappingProxyType({"b": 1, "a": [2]}), Box([types.MappingProxyType({})]), np.ma.masked,
    ],
    ids=repr,
)
def test_edge_values_equal_the_reference(value):
    assert content_hash(value) == reference.hash(value)


# Pinned values: any change of the encoding or of XXH64 shows here.  Classes
# defined in Python are named with a digest of their code, which differs
# between interpreter versions: they are checked against the reference only.

PINNED = [
    (None, 0x16B6310EBD34BD7C),
    (True, 0x5B4D6AF247A3CF7B),
    (False, 0xF3CE876B32C937D5),
    (0, 0xC543E5A4FB3C340F),
    (1, 0xC5F4D8EE08DE9A3B),
    (-1, 0x8E05917DF36F6876),
    (2**63, 0xD849332EB73195F3),
    (-(2**200), 0xBBAFFEF41B760F5F),
    (0.0, 0x4279A6B1766D188D),
    (-0.0, 0x7D16229930808B06),
    (float("nan"), 0x112DB4C4B59E81AE),
    (float("inf"), 0xF2AE9B4E959C8C9B),
    (1.5 + 2j, 0x84E9579F381E9827),
    ("", 0x44A36E15443BB761),
    ("movra", 0x81E1640C37EFE382),
    ("\ud800", 0x69987A92A6189FE9),
    (b"", 0x4D745D1A4EF15BF7),
    (b"\x00\xff", 0xBE835DFE04ABDA58),
    (bytearray(b"ab"), 0x571BECCD0A59D76A),
    (memoryview(b"xyz"), 0x245C466E6E201FC3),
    ((), 0xD5A708FF8CDCF938),
    ((1, "a"), 0x96FAE09397BD3E06),
    ([], 0x329225E2346A0FB2),
    ([1, [2, [3]]], 0x8D019A437954328C),
    ({}, 0xDD64E3D128AEB5C5),
    ({"a": 1, "b": [2.0]}, 0x1C11206295D0F06B),
    (set(), 0xE4F8F62AC9EC895A),
    ({1, 2, 3}, 0x6901334A256F7F99),
    (frozenset({"x"}), 0xEC152EAD97F0AA6F),
    (collections.OrderedDict(a=1, b=2), 0x86479BB13CFB5C26),
    (np.arange(6, dtype="<i4").reshape(2, 3), 0xEDA4A519A967B354),
    (np.array(["a", None], dtype=object), 0x40BF5A898B4CADC5),
]


@pytest.mark.parametrize("value, expected", PINNED, ids=[repr(v)[:40] for v, _ in PINNED])
def test_pinned_hashes_never_drift(value, expected):
    assert content_hash(value) == expected == reference.hash(value)


# Distinctions and equalities ---------------------------------------------------


@pytest.mark.parametrize(
    "a, b",
    [
        (1, True), (1, 1.0), (0.0, -0.0), ("1", b"1"), (b"1", bytearray(b"1")), (b"ab", memoryview(b"ab")),
        ([1, 2], (1, 2)), ({1, 2}, frozenset({1, 2})), (Color.RED, Size.SMALL), (Color.RED, 1),
        (Point(1, 2), Pair(1, 2)), (Point(1, 2), (1, 2)),
        (collections.OrderedDict(a=1, b=2), collections.OrderedDict(b=2, a=1)),
        (collections.OrderedDict(a=1), {"a": 1}), (Tagged("x"), "x"), (-1, -2), (2**64, 0),
        (float("nan"), struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]),
        (np.arange(3, dtype="<i8"), np.arange(3, dtype="<i4")), (np.zeros((2, 3)), np.zeros((3, 2))),
        (np.zeros(3), np.zeros(3).view(np.ma.MaskedArray)),
        (np.ma.masked_array([1, 2], mask=[0, 1]), np.ma.masked_array([1, 2], mask=[1, 0])), ([], [[]]), ({"a": (1,)}, {"a": [1]}),
        (Box({1}), Box({2})),
    ],
    ids=repr,
)
def test_values_that_behave_differently_hash_differently(a, b):
    assert content_hash(a) != content_hash(b)


@pytest.mark.parametrize(
    "a, b",
    [
        ({3, 1, 2}, {2, 3, 1}), (float("nan"), float("nan")),
        (np.arange(6).reshape(2, 3).T, np.arange(6).reshape(2, 3).T.copy()),
        (Box({str(i) for i in range(50)}), Box({str(i) for i in reversed(range(50))})),
        (Color(1), Color.RED),
    ],
    ids=repr,
)
def test_equal_values_hash_equal(a, b):
    assert content_hash(a) == content_hash(b)


# Registration ------------------------------------------------------------------


@pytest.fixture
def hasher():
    """A private content_hash, so registrations do not leak between tests."""
    return hashing.ContentHash()


class Shape:
    def __init__(self, size):
        self.size = size


class Square(Shape):
    pass


def test_a_registered_hasher_applies_to_subclasses_and_is_looked_up_again_after_register(hasher):
    assert hasher(Square(2)) == reference.hash(Square(2))  # pickled until registered
    hasher.register(Shape)(lambda s: s.size)
    registry = {Shape: lambda s: s.size}
    assert hasher(Square(2)) == Encoder(registry).hash(Square(2)) != hasher(Shape(2))
    hasher.register(Square, lambda s: 99)
    assert hasher(Square(2)) == Encoder({Square: lambda s: 99}).hash(Square(2))
    assert hasher.dispatch(Square) is hasher.registry[Square] and hasher.dispatch(int) is None


def test_registered_values_inside_a_pickled_object_use_their_hasher(hasher):
    calls = []
    hasher.register(Shape, lambda s: calls.append(s) or s.size)
    assert hasher(Box(Shape(3))) == Encoder({Shape: lambda s: s.size}).hash(Box(Shape(3)))
    assert len(calls) == 1


def test_a_registered_subclass_of_a_builtin_uses_its_hasher_but_the_builtin_keeps_its_encoding(hasher):
    hasher.register(enum.Enum, lambda member: member.value)
    assert hasher(Color.RED) == Encoder({enum.Enum: lambda m: m.value}).hash(Color.RED)
    assert hasher(1) == reference.hash(1)


@pytest.mark.parametrize(
    "cls, func, message",
    [
        (int, len, "the content hash of int is fixed; register a subclass instead"),
        (type(None), len, "the content hash of NoneType is fixed"),
        ("Shape", len, "register() expects a class, not 'Shape'"),
        (Shape, 3, "the hasher for Shape must be callable, not 3"),
    ],
)
def test_register_refuses(hasher, cls, func, message):
    with pytest.raises(TypeError) as info:
        hasher.register(cls, func)
    assert str(info.value).startswith(message)
    assert dict(hasher.registry) == {}


@pytest.mark.parametrize(
    "result, error, message",
    [
        (-1, ValueError, "the hasher registered for test_hashing.Shape returned -1, not an int in 0..2**64-1"),
        (2**64, ValueError, "the hasher registered for test_hashing.Shape returned 18446744073709551616, not an int in 0..2**64-1"),
        ("x", TypeError, "the hasher registered for test_hashing.Shape returned str, not an int in 0..2**64-1"),
    ],
)
def test_a_hasher_must_return_a_64_bit_int(hasher, result, error, message):
    hasher.register(Shape, lambda s: result)
    with pytest.raises(error) as info:
        hasher([Shape(1)])
    assert str(info.value) == message


def test_a_registration_made_while_a_type_is_resolved_is_not_lost():
    class Racing(hashing.ContentHash):
        def _resolve(self, cls):
            answer = super()._resolve(cls)
            if cls is Shape and not self.registry:
                self.register(Shape, lambda s: 7)  # as another thread could
            return answer

    hasher = Racing()
    assert hasher(Shape(1)) == reference.hash(Shape(1))  # resolved before the registration
    assert hasher(Shape(1)) == Encoder({Shape: lambda s: 7}).hash(Shape(1))


def test_a_hasher_may_hash_with_content_hash_itself(hasher):
    hasher.register(Shape, lambda s: hasher(("Shape", s.size)))
    assert hasher(Shape(1)) != hasher(Shape(2))


# Errors ------------------------------------------------------------------------


def nested(depth, make=lambda inner: [inner]):
    value = 0
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize(
    "make",
    [lambda x: [x], lambda x: (x,), lambda x: {"k": x}, lambda x: frozenset({x}), lambda x: Point(x, 0)],
    ids=["list", "tuple", "dict", "frozenset", "namedtuple"],
)
def test_nesting_is_accepted_to_1000_levels(make):
    assert content_hash(nested(1000, make)) == content_hash(nested(1000, make))
    with pytest.raises(ValueError) as info:
        content_hash(nested(1001, make))
    assert str(info.value) == TOO_DEEP


def self_referencing():
    items = [1]
    items.append(items)
    mapping = {}
    mapping["self"] = mapping
    return [items, mapping, [Box(1), items]]


@pytest.mark.parametrize("value", self_referencing(), ids=["list", "dict", "list in a list"])
def test_self_referencing_values_raise_value_error(value):
    with pytest.raises(ValueError) as info:
        content_hash(value)
    assert str(info.value) == TOO_DEEP


def test_cycles_inside_a_pickled_object_are_its_pickles_business():
    box = Box(None)
    box.content = [frozenset({1}), box, [box]]
    assert content_hash(box) == reference.hash(box)


def test_a_hasher_recursing_forever_raises_value_error(hasher):
    hasher.register(Shape, lambda s: hasher(s))
    with pytest.raises(ValueError) as info:
        hasher(Shape(1))
    assert str(info.value) == TOO_DEEP
    assert hasher(1) == reference.hash(1)  # the depth count is back to zero


def test_pickle_recursion_raises_value_error():
    with pytest.raises(ValueError, match="deeper than 1000 levels"):
        content_hash(Box(nested(100_000, lambda x: Box(x))))


def test_values_that_do_not_pickle_name_their_type_and_suggest_register():
    with pytest.raises(TypeError) as info:
        content_hash(threading.Lock())
    assert str(info.value) == (
        "cannot hash a value of type lock: it does not pickle (cannot pickle '_thread.lock' object); "
        "register a hasher with @movra.content_hash.register(lock)"
    )
    with pytest.raises(TypeError, match="cannot hash a value of type lock"):
        content_hash(Box([{threading.Lock()}]))  # inside a set inside a pickled object


def test_errors_of_a_nested_hasher_pass_through_the_pickler_unchanged(hasher):
    def fail(shape):
        raise KeyError("no size")

    hasher.register(Shape, fail)
    with pytest.raises(KeyError, match="no size"):
        hasher(Box([Shape(1)]))


@pytest.mark.parametrize("container", ["list", "dict"])
def test_containers_changed_by_a_hasher_during_the_walk_raise(hasher, container):
    data = [Shape(1), 2, 3] if container == "list" else {"a": Shape(1), "b": 2}

    def grow(shape):
        if container == "list":
            data.append(4)
        else:
            data[object()] = 1
        return 1

    hasher.register(Shape, grow)
    with pytest.raises(RuntimeError, match=f"{'list' if container == 'list' else 'dictionary'} changed size"):
        hasher(data)


def test_a_list_emptied_by_a_hasher_does_not_crash(hasher):
    data = [Shape(1), Shape(2), [Shape(3)]]
    hasher.register(Shape, lambda s: data.clear() or 1)
    with pytest.raises(RuntimeError, match="list changed size during hashing"):
        hasher(data)


def test_content_hash_takes_one_positional_argument():
    with pytest.raises(TypeError, match=r"content_hash\(\) takes exactly 1 argument \(2 given\)"):
        content_hash(1, 2)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        content_hash(value=1)


# NumPy and pandas --------------------------------------------------------------


def test_arrays_hash_their_c_order_bytes_whatever_their_layout():
    base = np.arange(4 * 5 * 6, dtype="<f8").reshape(4, 5, 6)
    for view in [base[:, ::2], base.transpose(2, 0, 1), base[::-1, :, 1:4], np.asfortranarray(base)]:
        assert content_hash(view) == content_hash(np.ascontiguousarray(view)) == reference.hash(view)


def test_big_non_contiguous_arrays_are_hashed_in_chunks():
    base = np.arange(3 * 100_000, dtype="<i2").reshape(3, 100_000)
    assert content_hash(base.T) == reference.hash(base.T)
    assert content_hash(base[:, ::7]) == reference.hash(base[:, ::7])


@pytest.mark.parametrize("size", [2**21 - 8, 2**21, 2**21 + 8, 2**23 - 8, 2**23 + 2**20 + 8])
def test_large_arrays_are_hashed_by_blocks_whatever_their_layout(size):
    data = np.random.default_rng(size).integers(0, 2**63, size // 8, dtype="<i8")
    views = [data, data[::-1].copy()[::-1], np.stack([data, data], axis=1)[:, 0]]
    assert len({content_hash(v) for v in views}) == 1
    assert content_hash(data) == reference.hash(data)
    changed = data.copy()
    changed[-1] ^= 1  # the last byte of the last block counts
    assert content_hash(changed) != content_hash(data)


def frame():
    return pd.DataFrame(
        {
            "n": np.arange(5, dtype="i8"),
            "x": np.linspace(0, 1, 5),
            "s": pd.Series(list("abcde"), dtype=object),
            "c": pd.Categorical(list("xyxyx")),
            "m": pd.array([1, None, 3, 4, 5], dtype="Int64"),
        },
        index=pd.Index([10, 11, 12, 13, 14], name="id"),
    )


@pytest.mark.parametrize(
    "change",
    [
        lambda f: f.assign(n=f["n"] + 1),
        lambda f: f.rename(columns={"x": "y"}),
        lambda f: f.set_axis(pd.Index([10, 11, 12, 13, 15], name="id")),
        lambda f: f.rename_axis("key"),
        lambda f: f.astype({"n": "i4"}),
        lambda f: f.astype({"c": object}),
        lambda f: f[["x", "n", "s", "c", "m"]],
        lambda f: f.assign(m=pd.array([1, None, None, 4, 5], dtype="Int64")),
        lambda f: f.iloc[:4],
        lambda f: f.reset_index(),
    ],
)
def test_a_frame_hashes_its_columns_dtypes_names_and_index(change):
    assert content_hash(frame()) == content_hash(frame())
    assert content_hash(change(frame())) != content_hash(frame())


@pytest.mark.parametrize(
    "value",
    [
        pd.Series([1.0, 2.0], name="a"),
        pd.RangeIndex(3, 10, 2, name="r"),
        pd.MultiIndex.from_product([["a", "b"], [1, 2]], names=["k", "n"]),
        pd.date_range("2024-01-01", periods=3, tz="UTC"),
        pd.Series(pd.array([1, None, 3], dtype="Int64")),
        pd.Series(["a", "b"], dtype="category"),
    ],
    ids=["series", "range", "multi", "datetime", "nullable", "categorical"],
)
def test_pandas_objects_are_hashed_by_content_not_by_pickle(value, monkeypatch):
    monkeypatch.setattr(hashing.ContentHash, "_pickle", lambda *a: pytest.fail("pickled"))
    assert content_hash(value) == content_hash(value.copy())
    assert content_hash(value) != content_hash(value[:1])


def test_numpy_is_not_imported_to_hash_builtins():
    code = "import sys, movra; movra.content_hash([1, {'a': (2.0, None)}]); print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "False"


# Stability across processes ---------------------------------------------------

CHILD = """
import collections, sys
import numpy as np
from movra import content_hash
from hash_reference import Box, Color, Tagged
values = [
    {"a", "b", "c", "d", "e", "f"},
    Box({"x", "y", "z", "w"}),
    Box([frozenset({"p", "q", "r"}), {"k": {"s", "t"}}]),
    {"k": frozenset({"u", "v"}), "l": [Color.GREEN, Tagged("t")]},
    collections.OrderedDict(b=1, a=2),
    np.array([{"m", "n"}, "o"], dtype=object),
]
print(*[content_hash(v) for v in values])
"""


def test_a_class_holding_its_own_instances_hashes_alike_whatever_is_hashed_first():
    here = os.path.dirname(__file__)
    code = ("from movra import content_hash as h\nfrom hash_reference import Level\n"
            "a, b = (h(Level), h(Level.LOW)) if {first!r} == 'class' else (h(Level.LOW), h(Level))[::-1]\n"
            "print(a, b, h(Level.HIGH), h(Level.LOW))")
    outputs = {subprocess.run([sys.executable, "-c", code.format(first=first)], capture_output=True, text=True,
                              env=dict(os.environ, PYTHONPATH=here), check=True).stdout
               for first in ("class", "member")}
    assert len(outputs) == 1, outputs


def test_hashes_are_the_same_in_every_process():
    here = os.path.dirname(__file__)
    outputs = set()
    for seed in ["0", "1", "2", "42", "random"]:
        env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=here)
        run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env, check=True)
        outputs.add(run.stdout)
    assert len(outputs) == 1, outputs


# Equal hash => indistinguishable ------------------------------------------------
#
# Values are drawn as recipes (hash_reference.build), from small domains so
# that equal and near-equal pairs come often.  Two values whose hashes are
# equal must look the same to every ordinary observation: type, contents in
# iteration order, state a subclass adds, what a function or class is made
# of, and the same after a pickle round trip.

ATOMS = st.one_of(
    st.sampled_from([None, True, False, 0, 1, 2, "", "a", "b", b"", b"a"]).map(lambda v: ("atom", v)),
    st.sampled_from([0.0, -0.0, 1.0, math.nan, math.inf]).map(
        lambda f: ("float", struct.unpack("<Q", struct.pack("<d", f))[0])),
    st.sampled_from(["RED", "GREEN", "SMALL"]).map(lambda n: ("enum", n)),
)
KEYS = st.sampled_from([("atom", "a"), ("atom", "b"), ("atom", 1), ("atom", True), ("enum", "RED")])
NAMES = st.sampled_from(["a", "b"])


def containers_of(inner):
    pairs = st.lists(st.tuples(KEYS, inner), max_size=3, unique_by=lambda p: p[0])
    return st.one_of(
        st.tuples(st.sampled_from(["list", "tuple"]), st.lists(inner, max_size=3)),
        st.tuples(st.sampled_from(["set", "frozenset"]), st.lists(KEYS, max_size=3)),
        st.tuples(st.sampled_from(["dict", "odict"]), pairs),
        st.tuples(st.just("ddict"), st.sampled_from(sorted(hash_reference.FACTORIES)), pairs),
        st.tuples(st.just("units"), st.lists(inner, max_size=2), st.sampled_from([None, "m", "km"])),
        st.tuples(st.just("noted"), pairs, st.sampled_from([None, "x", "y"])),
        st.tuples(st.just("row"), st.sampled_from(sorted(hash_reference.ROWS)), inner, inner),
        st.tuples(st.just("model"), st.sampled_from(sorted(hash_reference.MODELS)), inner),
        st.tuples(st.just("box"), inner),
    )


NUMERIC = st.one_of(
    st.tuples(st.just("array"),
              st.sampled_from(["<i8", ">i4", "<f8", "u1", "<c16", "?", "<M8[s]", "<m8[ms]", "<U2", "O",
                               *sorted(hash_reference.DTYPES)]),
              st.sampled_from([(2,), (2, 2), (1, 2), ()]), st.sampled_from(["c", "fortran", "reversed"])),
    st.tuples(st.just("masked"), st.sampled_from([[1, 2], [1, 3]]), st.sampled_from([[0, 0], [0, 1], [1, 0]]),
              st.sampled_from([0, 9])),
    st.tuples(st.just("matrix"), st.sampled_from([[[1, 2]], [[1], [2]]])),
    st.tuples(st.just("series"), st.sampled_from(["int64", "Int64", "float64", "category", "object"]),
              st.sampled_from([[1, 2], [2, 1], [1]]), st.sampled_from([None, "s"]),
              st.sampled_from([{}, {"unit": "m"}])),
    st.tuples(st.just("nullable"), st.sampled_from([[1, None], [None, 2], [1, 2]]), st.sampled_from([0, 7])),
    st.tuples(st.just("dates"), st.sampled_from([2, 3]), st.booleans()),
    st.tuples(st.just("frame"), st.sampled_from([(("a", (1, 2)),), (("a", (1, 2)), ("b", (3, 4))),
                                                 (("b", (3, 4)), ("a", (1, 2)))]),
              st.sampled_from([{}, {"source": "x"}])),
    st.tuples(st.just("multi"), st.sampled_from([[[0, 1], [0, 0]], [[0, 0], [0, 1]]]), st.booleans()),
)
RECIPES = st.recursive(
    st.one_of(ATOMS, NUMERIC,
              st.sampled_from(sorted(hash_reference.FUNCTIONS)).map(lambda n: ("function", n)),
              st.sampled_from(sorted(hash_reference.MODELS)).map(lambda n: ("class", n))),
    containers_of, max_leaves=5)


def describe(value, classes=()):
    """What a program can see of `value` through ordinary means, as plain data."""
    kind = type(value)
    if isinstance(value, float):
        return (kind, repr(value))
    if value is None or kind in (bool, int, str, bytes, complex) or isinstance(value, enum.Enum):
        return (kind, repr(value))
    if isinstance(value, (set, frozenset)):  # their order is not the program's
        return (kind, sorted(map(repr, map(describe, value))))
    if isinstance(value, dict):
        extra = [value.default_factory] if isinstance(value, collections.defaultdict) else []
        return (kind, [(describe(k), describe(v)) for k, v in value.items()],
                describe(extra), describe(getattr(value, "__dict__", None) or None))
    if isinstance(value, (list, tuple)):
        return (kind, getattr(kind, "_fields", None), [describe(v) for v in value],
                getattr(value, "unit", "unset") if isinstance(value, hash_reference.Units) else None)
    if isinstance(value, np.ndarray):
        masked = isinstance(value, np.ma.MaskedArray)
        return (kind, repr(value.dtype), value.shape, describe(np.asarray(value).tolist()),
                describe(np.ma.getmaskarray(value).tolist()) if masked else None,
                repr(value.fill_value) if masked else None)
    if isinstance(value, types.FunctionType):
        code = value.__code__
        return (kind, value.__module__, value.__qualname__, code.co_code, code.co_names, code.co_varnames,
                describe(code.co_consts), describe(value.__defaults__),
                [describe(cell.cell_contents) for cell in value.__closure__ or ()])
    if isinstance(value, type):
        if value in classes or not value.__flags__ & (1 << 9):
            return ("class", value.__module__, value.__qualname__)
        namespace = [(k, describe(v, (*classes, value))) for k, v in vars(value).items()
                     if k not in ("__dict__", "__weakref__", "__slotnames__")]
        return ("class", value.__module__, value.__qualname__, namespace)
    if isinstance(value, types.CodeType):
        return (kind, value.co_code, describe(value.co_consts))
    if isinstance(value, (pd.Series, pd.Index)):
        extra = (value.attrs, value.name, describe(value.index)) if isinstance(value, pd.Series) else (
            value.names, getattr(value, "freq", None), [list(level) for level in getattr(value, "levels", [])])
        return (kind, repr(value.dtype), repr(list(value)), extra)
    if isinstance(value, pd.DataFrame):
        return (kind, value.attrs, describe(value.columns), describe(value.index),
                [describe(value[c]) for c in value.columns])
    if hasattr(value, "__dict__"):
        return (describe(kind), describe(vars(value)))
    return (kind, repr(value))


def round_trip(value):
    try:
        return describe(pickle.loads(pickle.dumps(value)))
    except Exception as error:  # lambdas and classes made at run time do not pickle
        return type(error).__name__


# The alternatives to each choice a recipe makes, for its near neighbours.
OPTIONS = {
    ("atom", 1): [None, True, False, 0, 1, "", "a", b"a"],
    ("float", 1): [struct.unpack("<Q", struct.pack("<d", f))[0] for f in (0.0, -0.0, math.nan)],
    ("enum", 1): ["RED", "GREEN", "SMALL"],
    ("ddict", 1): sorted(hash_reference.FACTORIES), ("units", 2): [None, "m", "km"],
    ("noted", 2): [None, "x"], ("row", 1): sorted(hash_reference.ROWS),
    ("model", 1): sorted(hash_reference.MODELS), ("class", 1): sorted(hash_reference.MODELS),
    ("function", 1): sorted(hash_reference.FUNCTIONS),
    ("array", 1): ["<i8", ">i8", "<f8", "<M8[s]", "<m8[s]", "O", *sorted(hash_reference.DTYPES)],
    ("array", 2): [(2,), (1, 2), (2, 1)], ("array", 3): ["c", "fortran", "reversed"],
    ("masked", 2): [[0, 0], [0, 1]], ("masked", 3): [0, 9], ("matrix", 1): [[[1, 2]], [[1], [2]]],
    ("series", 1): ["int64", "Int64", "float64", "category", "object"], ("series", 3): [None, "s"],
    ("series", 4): [{}, {"unit": "m"}], ("nullable", 2): [0, 7], ("dates", 2): [True, False],
    ("frame", 2): [{}, {"source": "x"}], ("multi", 2): [True, False],
    ("list", 0): ["list", "tuple"], ("tuple", 0): ["list", "tuple"], ("set", 0): ["set", "frozenset"],
    ("frozenset", 0): ["set", "frozenset"], ("dict", 0): ["dict", "odict"], ("odict", 0): ["dict", "odict"],
}


def neighbours(recipe):
    """Recipes one choice away from `recipe`: another option, a reordered
    list, or a neighbour of a part."""
    kind = recipe[0]
    for i, part in enumerate(recipe):
        for option in OPTIONS.get((kind, i), []):
            if option != part:
                yield (*recipe[:i], option, *recipe[i + 1:])
        if isinstance(part, tuple) and part and isinstance(part[0], str) and i:
            for near in neighbours(part):
                yield (*recipe[:i], near, *recipe[i + 1:])
        elif isinstance(part, list) and i:
            if len(part) > 1:
                yield (*recipe[:i], part[::-1], *recipe[i + 1:])
            for j, item in enumerate(part):
                if isinstance(item, tuple) and item and isinstance(item[0], str):
                    for near in neighbours(item):
                        yield (*recipe[:i], [*part[:j], near, *part[j + 1:]], *recipe[i + 1:])
                elif isinstance(item, tuple) and len(item) == 2:  # a (key, value) pair
                    for near in neighbours(item[1]):
                        yield (*recipe[:i], [*part[:j], (item[0], near), *part[j + 1:]], *recipe[i + 1:])


@settings(max_examples=300, deadline=None)
@given(RECIPES, st.data())
def test_equal_hashes_mean_values_nobody_can_tell_apart(first, data):
    near = list(neighbours(first))
    second = data.draw(st.sampled_from(near) if near else st.just(first))
    a, b = hash_reference.build(first), hash_reference.build(second)
    if content_hash(a) == content_hash(b):
        assert describe(a) == describe(b), (first, second)
        assert round_trip(a) == round_trip(b), (first, second)


SEEDED_CHILD = """
import ast, sys
from movra import content_hash
from hash_reference import build
recipes = ast.literal_eval(sys.stdin.read())
print([content_hash(build(r)) for r in reversed(recipes)])
"""


@settings(max_examples=3, deadline=None)
@given(st.lists(RECIPES, min_size=10, max_size=30))
def test_drawn_values_hash_alike_in_another_process(recipes):
    """Built again in a child with another hash seed, in the other order."""
    here = os.path.dirname(__file__)
    env = dict(os.environ, PYTHONHASHSEED="12345", PYTHONPATH=here)
    child = subprocess.run([sys.executable, "-c", SEEDED_CHILD], input=repr(recipes), capture_output=True,
                           text=True, env=env, check=True)
    assert ast.literal_eval(child.stdout)[::-1] == [content_hash(hash_reference.build(r)) for r in recipes]


# A flow never serves a stale value ----------------------------------------------
#
# Each pair hashed alike once; a flow whose input switches between the two
# then kept the first one's result downstream.  `observe` is what a node
# would do with the value.

R = hash_reference


def flow_pairs():
    nullable = pd.array([1, None], dtype="Int64")
    hidden = nullable.copy()
    hidden._data[1] = 7
    mask = np.ma.masked_array([1.0, 2.0])
    return [
        ("dict order", {"a": 1, "b": 2}, {"b": 2, "a": 1}, lambda v: list(v)),
        ("defaultdict factory", collections.defaultdict(int), collections.defaultdict(list),
         lambda v: v.copy()["missing"]),
        ("namedtuple fields", R.ROWS["xy"](1, 2), R.ROWS["latlon"](1, 2), lambda v: v._fields),
        ("slots", R.build(("units", [], "m")), R.build(("units", [], "km")), lambda v: v.unit),
        ("instance attributes", R.build(("noted", [], "x")), R.build(("noted", [], "y")), lambda v: v.note),
        ("function redefined", R.FUNCTIONS["plus1"], R.FUNCTIONS["plus2"], lambda f: f(1)),
        ("default changed", R.FUNCTIONS["k=1"], R.FUNCTIONS["k=2"], lambda f: f(1)),
        ("closure changed", R.FUNCTIONS["closure 1"], R.FUNCTIONS["closure 2"], lambda f: f(1)),
        ("class redefined", R.MODELS["plus1"], R.MODELS["plus2"], lambda cls: cls().predict(1)),
        ("class attribute", R.MODELS["scaled"], R.MODELS["scaled3"], lambda cls: cls().predict(1)),
        ("instance of a redefined class", R.build(("model", "plus1", ("atom", 0))),
         R.build(("model", "plus2", ("atom", 0))), lambda m: m.predict(1)),
        ("frame attrs", R.build(("frame", (("a", (1, 2)),), {})), R.build(("frame", (("a", (1, 2)),), {"u": 1})),
         lambda f: f.attrs),
        ("series attrs", R.build(("series", "int64", [1], None, {})),
         R.build(("series", "int64", [1], None, {"unit": "m"})), lambda s: s.attrs),
        ("index freq", R.build(("dates", 3, True)), R.build(("dates", 3, False)), lambda i: i.freq),
        ("mask", np.ma.masked_array([1, 2], mask=[0, 1]), np.ma.masked_array([1, 2], mask=[1, 0]),
         lambda m: m.filled(0).tolist()),
        ("fill value", np.ma.masked_array([1, 2], mask=[0, 1], fill_value=0),
         np.ma.masked_array([1, 2], mask=[0, 1], fill_value=5), lambda m: m.filled().tolist()),
        ("matrix", np.matrix([[1, 2], [3, 4]]), np.array([[1, 2], [3, 4]]), lambda m: (m * m).tolist()),
        ("reordered fields", R.build(("array", "reordered", (2,), "c")),
         R.build(("array", "reordered", (2,), "reversed")), lambda a: a["b"].tolist()),
        ("overlapping fields", R.build(("array", "overlapping", (2,), "c")),
         R.build(("array", "overlapping", (2,), "reversed")), lambda a: a["w"].tolist()),
        # equal values: hashing them alike is only cheaper
        ("masked array stored and loaded", mask, pickle.loads(pickle.dumps(mask)), lambda m: m.filled().tolist()),
        ("Int64 under NA", pd.Series(nullable), pd.Series(hidden), lambda s: s.tolist()),
    ]


PAIRS = flow_pairs()


@pytest.mark.parametrize("a, b, observe", [p[1:] for p in PAIRS], ids=[p[0] for p in PAIRS])
def test_a_flow_switching_between_two_values_never_serves_a_stale_one(a, b, observe):
    flow = movra.Flow()
    flow.input("value")
    flow.reactive(name="seen", deps=["value"])(lambda value: repr(observe(value)))
    flow.reactive(name="shown", deps=["seen"])(lambda seen: f"<{seen}>")
    for value in (a, b, a, b):
        flow.set(value=value)
        flow.run()
        assert flow["seen"] == repr(observe(value)) and flow["shown"] == f"<{flow['seen']}>"


@pytest.mark.parametrize("name", ["masked array stored and loaded", "Int64 under NA"])
def test_equal_values_that_used_to_hash_apart_hash_alike(name):
    _, a, b, _ = next(p for p in PAIRS if p[0] == name)
    assert content_hash(a) == content_hash(b)


def test_class_attributes_count_by_content_and_a_lock_by_its_type():
    def make(body):
        namespace = {"functools": __import__("functools"), "threading": threading}
        exec("class Model:\n" + body, namespace)
        return namespace["Model"]

    cached = "    @functools.cached_property\n    def size(self):\n        return {}\n"
    assert content_hash(make(cached.format(1))) != content_hash(make(cached.format(2)))
    assert content_hash(make(cached.format(1))) == content_hash(make(cached.format(1)))
    locked = "    lock = threading.Lock()\n"
    assert content_hash(make(locked)) == content_hash(make(locked)) != content_hash(make("    lock = None\n"))


def test_identical_definitions_run_again_hash_alike():
    assert content_hash(R.FUNCTIONS["plus1"]) == content_hash(R.FUNCTIONS["plus1 again"])
    source = "class Model:\n    def predict(self, x):\n        return x + 1\n"
    assert content_hash(R._notebook_class(source)) == content_hash(R.MODELS["plus1"])
    again = collections.namedtuple("Row", "x y", module="hash_reference")
    assert content_hash(again(1, 2)) == content_hash(R.ROWS["xy"](1, 2))
