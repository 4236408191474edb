import pytest

import movra


def make_graph(*nodes, deps=None, build=False):
    """A graph with `nodes` given as "id" (reactive) or ("id", kind) pairs."""
    g = movra.Graph()
    for node in nodes:
        node_id, kind = (node, "reactive") if isinstance(node, str) else node
        g.add_node(node_id, kind)
    for node_id, node_deps in (deps or {}).items():
        g.set_deps(node_id, node_deps)
    if build:
        g.build()
    return g


@pytest.fixture
def diamond():
    """a <- b <- c and a <- d, built: the order is a, b, c, d."""
    return make_graph("a", "b", "c", "d", deps={"b": ["a"], "c": ["b"], "d": ["a"]}, build=True)


def clean_all(g):
    for node_id in g.node_ids():
        g.set_clean(node_id, 0)
