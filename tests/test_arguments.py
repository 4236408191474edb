"""Argument binding and conversion: one table of calls and the exact error each gets."""
import pytest

import movra
from conftest import make_graph

U64_MAX = 2**64 - 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sub(str):
    pass


class Big(int):
    pass


def graph():
    return make_graph(("a", "input"), "b", "c", deps={"c": ["b"]}, build=True)


BINDING = [
    # (method, args, kwargs, message)
    ("add_node", ("x",), {}, "Graph.add_node() missing 1 required positional argument: 'kind'"),
    ("add_node", (), {}, "Graph.add_node() missing 2 required positional arguments: 'id' and 'kind'"),
    ("add_node", ("x", "input", 1), {}, "Graph.add_node() takes 2 positional arguments but 3 were given"),
    ("add_node", ("x",), {"id": "y"}, "Graph.add_node() got multiple values for argument 'id'"),
    ("add_node", ("x",), {"kind": "input", "other": 1}, "Graph.add_node() got an unexpected keyword argument 'other'"),
    ("add_node", (), {"zz": 1, "id": "x"}, "Graph.add_node() got an unexpected keyword argument 'zz'"),
    ("add_node", (), {"kind": "input"}, "Graph.add_node() missing 1 required positional argument: 'id'"),
    ("check_node", ("a", "b"), {}, "Graph.check_node() takes 1 positional arguments but 2 were given"),
    ("check_node", (), {}, "Graph.check_node() missing 1 required positional argument: 'id'"),
    ("downstream", (), {"ids": "a"}, "Graph.downstream() got an unexpected keyword argument 'ids'"),
    ("set_clean", ("a", 1, 2, 3), {}, "Graph.set_clean() takes 2 positional arguments but 4 were given"),
    ("mark_dirty", (), {"seeds": ["a"], "id": "a"}, "Graph.mark_dirty() got an unexpected keyword argument 'id'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING)
def test_binding_errors(method, args, kwargs, message):
    g = graph()
    with pytest.raises(TypeError) as info:
        getattr(g, method)(*args, **kwargs)
    assert info.value.args == (message,)
    assert len(g) == 3


CONVERSION = [
    # (method, args, exception type, message or None for "the interpreter's own")
    ("kind_of", (1,), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("kind_of", (b"a",), TypeError, "argument 'id': 'bytes' object cannot be converted to 'PyString'"),
    ("add_node", ("x", None), TypeError, "argument 'kind': 'NoneType' object cannot be converted to 'PyString'"),
    ("add_node", (1, None), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("set_deps", ("c", "b"), TypeError, "argument 'deps': Can't extract `str` to `Vec`"),
    ("set_deps", ("c", Sub("b")), TypeError, "argument 'deps': Can't extract `str` to `Vec`"),
    ("set_deps", ("c", {"b"}), TypeError, "argument 'deps': 'set' object cannot be converted to 'Sequence'"),
    ("set_deps", ("c", {"b": 1}), TypeError, "argument 'deps': 'dict' object cannot be converted to 'Sequence'"),
    ("set_deps", ("c", (x for x in "b")), TypeError, "argument 'deps': 'generator' object cannot be converted to 'Sequence'"),
    ("set_deps", ("c", 5), TypeError, "argument 'deps': 'int' object cannot be converted to 'Sequence'"),
    ("set_deps", ("c", ["b", 1]), TypeError, "argument 'deps': 'int' object cannot be converted to 'PyString'"),
    ("set_deps", ("c", b"b"), TypeError, "argument 'deps': 'int' object cannot be converted to 'PyString'"),
    ("set_deps", (2, 5), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("mark_dirty", ("a",), TypeError, "argument 'seeds': Can't extract `str` to `Vec`"),
    ("dirty_subgraph", ({"a"},), TypeError, "argument 'seeds': 'set' object cannot be converted to 'Sequence'"),
    ("set_clean", ("a", -1), OverflowError, None),
    ("set_clean", ("a", 2**64), OverflowError, None),
    ("commit_node", ("a", Index(-5)), OverflowError, None),
    ("set_clean", ("a", 1.5), TypeError, "argument 'hash': 'float' object cannot be interpreted as an integer"),
    ("skip_node", ("a", "7"), TypeError, "argument 'signature': 'str' object cannot be interpreted as an integer"),
    ("commit_input", ("a", None), TypeError, "argument 'content_hash': 'NoneType' object cannot be interpreted as an integer"),
    ("needs_recompute", ("a", []), TypeError, "argument 'input_hash': 'list' object cannot be interpreted as an integer"),
    ("needs_recompute", (1, 1.5), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    ("kind_of", ("\ud800",), UnicodeEncodeError, None),
    ("set_deps", ("c", ["b", "\udfff"]), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("method, args, error, message", CONVERSION)
def test_conversion_errors_leave_the_graph_unchanged(method, args, error, message):
    g = graph()
    g.commit_node("b", 3)
    before = snapshot(g)
    with pytest.raises(error) as info:
        getattr(g, method)(*args)
    assert type(info.value) is error
    if message is not None:
        assert info.value.args == (message,)
    else:
        assert not str(info.value).startswith("argument")
    assert snapshot(g) == before


def snapshot(g):
    ids = g.node_ids()
    return (ids, [(g.state_of(i), g.deps_of(i), g.check_node(i)) for i in ids], g.topo_order())


def test_conversion_precedes_kernel_errors():
    with pytest.raises(TypeError):
        movra.Graph().kind_of(1)
    with pytest.raises(OverflowError):
        movra.Graph().set_clean("missing", -1)


@pytest.mark.parametrize(
    "value, expected", [(0, 0), (U64_MAX, U64_MAX), (True, 1), (False, 0), (Index(7), 7),
                        (Big(2**63), 2**63), (Index(U64_MAX), U64_MAX)],
)
def test_u64_arguments(value, expected):
    g = make_graph("a")
    g.set_clean("a", value)
    assert g.needs_recompute("a", expected) is False
    assert g.needs_recompute("a", Index(expected)) is False


def test_index_error_keeps_its_cause():
    class Broken:
        def __index__(self):
            try:
                raise LookupError("inner")
            except LookupError as error:
                raise TypeError("no index") from error

    with pytest.raises(TypeError) as info:
        make_graph("a").set_clean("a", Broken())
    assert info.value.args == ("argument 'hash': no index",)
    assert isinstance(info.value.__cause__, LookupError)


def test_non_type_errors_from_index_pass_unchanged():
    class Failing:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        make_graph("a").commit_node("a", Failing())


@pytest.mark.parametrize("deps", [["b"], ("b",), [Sub("b")], []])
def test_accepted_sequences(deps):
    g = graph()
    g.set_deps("c", deps)
    assert g.deps_of("c") == [str(d) for d in deps]


def test_keyword_arguments_bind_by_name():
    g = movra.Graph()
    g.add_node(kind="input", id="a")
    g.add_node("b", kind="reactive")
    g.set_deps(deps=["a"], id="b")
    g.build()
    assert g.mark_dirty(seeds=["a"]) == ["a", "b"]
    g.commit_input(id="a", content_hash=7)
    assert g.check_node(id="b")[1] is True
    assert g.needs_recompute(id="a", input_hash=7) is False


def test_contains_operand_is_converted_like_an_id():
    g = make_graph("a")
    assert "a" in g and "b" not in g and Sub("a") in g
    assert "a" not in movra.Graph()
    with pytest.raises(TypeError) as info:
        1 in g
    assert info.value.args == ("argument 'id': 'int' object cannot be converted to 'PyString'",)


def test_noargs_methods_refuse_arguments_before_running():
    g = make_graph("a")
    with pytest.raises(TypeError):
        g.build(1)
    with pytest.raises(RuntimeError):  # so the graph was not built
        g.topo_order()
