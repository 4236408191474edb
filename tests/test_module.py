"""The module object, the Graph type and its method table as Python sees them."""
import inspect
import subprocess
import sys
import textwrap

import pytest

import movra
from movra import _movra

METHODS = [
    ("add_node", ["id", "kind"], "exclusive"),
    ("set_deps", ["id", "deps"], "exclusive"),
    ("build", [], "exclusive"),
    ("topo_order", [], "shared"),
    ("dirty_subgraph", ["seeds"], "shared"),
    ("mark_dirty", ["seeds"], "exclusive"),
    ("downstream", ["id"], "shared"),
    ("needs_recompute", ["id", "input_hash"], "shared"),
    ("check_node", ["id"], "shared"),
    ("commit_node", ["id", "signature"], "exclusive"),
    ("skip_node", ["id", "signature"], "exclusive"),
    ("commit_input", ["id", "content_hash"], "exclusive"),
    ("set_clean", ["id", "hash"], "exclusive"),
    ("set_computing", ["id"], "exclusive"),
    ("set_dirty", ["id"], "exclusive"),
    ("state_of", ["id"], "shared"),
    ("kind_of", ["id"], "shared"),
    ("deps_of", ["id"], "shared"),
    ("dirty_nodes", [], "shared"),
    ("views", [], "shared"),
    ("node_ids", [], "shared"),
]

DOCS = {
    "add_node": "Register a node. `kind` is one of input|source|reactive|view.",
    "set_deps": "Set a node's inbound edges (its dependencies). All deps must exist.",
    "build": "Validate the graph is acyclic and cache a topological order. Call once\n"
    "after all nodes and edges are declared.",
    "topo_order": "Full build order: all node ids, topologically sorted.",
    "dirty_subgraph": "Recompute schedule for changed seeds: the seeds plus all transitively\n"
    "affected nodes, topologically ordered. Pure \u2014 does not mutate state.",
    "mark_dirty": "Mark seeds and everything downstream `dirty`; return them topo-ordered.",
    "downstream": "Nodes strictly downstream of `id`, topologically ordered.",
    "needs_recompute": "Does `id` need recomputation given the content hash of its inputs?",
    "check_node": "Hot-path per-node decision: `(kind, needs_recompute, signature)` in one\n"
    "call. The signature folds the node's dependency state (Input deps by\n"
    "content hash, computed deps by epoch) entirely in C++.",
    "commit_node": "Commit a computed node clean with the signature it ran on; bumps its epoch.",
    "skip_node": "Commit a memo hit: mark clean without bumping the epoch.",
    "commit_input": "Record an Input node's current value hash for downstream signatures.",
    "set_clean": "Commit `id` clean with the content hash it was computed from.",
    "set_computing": None,
    "set_dirty": None,
    "state_of": None,
    "kind_of": None,
    "deps_of": None,
    "dirty_nodes": "All currently-dirty node ids, topologically ordered.",
    "views": "View-kind node ids in topological order.",
    "node_ids": "All node ids in insertion order.",
}


def test_module_attributes():
    assert _movra.__all__ == ["kernel_version", "Graph"]
    assert _movra.__doc__ == ""
    assert _movra.kernel_version() == "1.2.0"
    assert not hasattr(_movra, "__version__")
    own = {name for name in vars(_movra) if not name.startswith("__")}
    assert own == {"kernel_version", "Graph"}
    assert movra.Graph is _movra.Graph and movra.kernel_version is _movra.kernel_version


def test_kernel_version_function():
    f = _movra.kernel_version
    assert f.__self__ is _movra
    assert f.__module__ == _movra.__name__
    assert f.__text_signature__ == "()"
    assert f.__doc__ == "Version of the compiled C++ kernel."
    with pytest.raises(TypeError):
        f(1)


def test_reinitialising_returns_the_cached_module():
    import importlib.util

    spec = importlib.util.find_spec("movra._movra")
    again = importlib.util.module_from_spec(spec)
    assert again is _movra
    assert _movra.__all__ == ["kernel_version", "Graph"]


def test_graph_type():
    G = movra.Graph
    assert (G.__module__, G.__name__, G.__qualname__) == ("movra._movra", "Graph", "Graph")
    assert G.__text_signature__ == "()"
    assert G.__doc__ == (
        "A reactive directed acyclic graph: dirty tracking, topological scheduling,\n"
        "propagation, and memo bookkeeping. Holds topology and state only \u2014 node\n"
        "values stay on the Python side."
    )
    g = G()
    assert not hasattr(g, "__dict__")
    with pytest.raises(AttributeError):
        g.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (G,), {})
    for slot in ("__init__", "__eq__", "__hash__", "__iter__", "__getitem__", "__bool__"):
        assert slot not in vars(G), slot
    assert {"__len__", "__contains__", "__repr__", "__new__"} <= set(vars(G))


def test_method_table_order_and_docs():
    names = [n for n, v in vars(movra.Graph).items() if type(v).__name__ == "method_descriptor"]
    assert names == [name for name, _, _ in METHODS]
    for name, params, _ in METHODS:
        method = getattr(movra.Graph, name)
        assert method.__text_signature__ == f"({', '.join(['$self', *params])})", name
        assert method.__doc__ == DOCS[name], name
        assert list(inspect.signature(method).parameters) == ["self", *params], name


def test_constructor_arguments():
    with pytest.raises(TypeError) as info:
        movra.Graph(1)
    assert info.value.args == ("Graph.__new__() takes 0 positional arguments but 1 was given",)
    with pytest.raises(TypeError) as info:
        movra.Graph(x=1)
    assert info.value.args == ("Graph.__new__() got an unexpected keyword argument 'x'",)


def test_len_repr_and_truth():
    g = movra.Graph()
    assert (len(g), repr(g), bool(g)) == (0, "<movra.Graph nodes=0>", False)
    g.add_node("a", "input")
    g.add_node("b", "view")
    assert (len(g), repr(g), bool(g)) == (2, "<movra.Graph nodes=2>", True)


def test_graphs_share_nothing():
    g, h = movra.Graph(), movra.Graph()
    g.add_node("a", "input")
    assert "a" in g and "a" not in h and len(h) == 0


def test_subinterpreter_import_is_refused():
    # The module keeps process-wide state, so only one interpreter may use it.
    # CPython 3.13 renamed the private module and reports a failure by return
    # value instead of raising.
    code = textwrap.dedent(
        """
        try:
            import _interpreters as interpreters
        except ModuleNotFoundError:
            import _xxsubinterpreters as interpreters
        import movra._movra
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import movra._movra")
        except getattr(interpreters, "RunFailedError", ()) as error:
            print("refused:", error)
        else:
            if failure is None:
                print("imported")
            else:
                print(f"refused: <class '{failure.type.__name__}'>: {failure.msg}")
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused: <class 'ImportError'>"), result.stdout
    assert "subinterpreters" in result.stdout
