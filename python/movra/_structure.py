"""Building the kernel's graph for the flow's current definitions.

The kernel has no removal, so every change of structure builds a fresh
`Graph` and brings each node that was clean, and is still defined the same
way on top of clean dependencies, back to clean through the kernel's own
calls: `commit_input` for inputs, `check_node` then `skip_node` for the rest.
Nothing unaffected recomputes and no value is lost; the epochs start again
from zero, which every restored signature reflects.
"""
from __future__ import annotations

from collections.abc import Mapping

from ._declare import Node
from ._movra import Graph
from ._names import listed, quoted, suggestion


def clean_nodes(graph: Graph) -> set[str]:
    try:
        dirty = graph.dirty_nodes()
    except RuntimeError:  # never built
        return set()
    return set(graph.node_ids()).difference(dirty)


def check_references(nodes: Mapping[str, Node]) -> None:
    for node in nodes.values():
        for dep in node.deps:
            if dep not in nodes:
                raise ValueError(f"{quoted(node.name)} depends on unknown node {quoted(dep)}"
                                 f"{suggestion(dep, nodes)}")
            if dep == node.name:
                raise ValueError(f"{quoted(node.name)} depends on itself")


def build(nodes: Mapping[str, Node], clean: set[str]) -> Graph:
    """A built graph of `nodes`, with the nodes in `clean` restored where still valid.

    Raises ValueError, leaving the flow unchanged, for an unknown dependency or a cycle."""
    graph = Graph()
    for name, node in nodes.items():
        graph.add_node(name, node.kind)
    for name, node in nodes.items():
        deps = node.deps
        if deps:
            try:
                graph.set_deps(name, deps)
            except (KeyError, ValueError):
                check_references(nodes)  # says which node, and suggests a name
                raise
        node.inputs = tuple(map(nodes.__getitem__, deps))
    try:
        graph.build()
    except ValueError as error:
        members = str(error).partition(": ")[2].split(", ")
        raise ValueError(f"dependency cycle among {listed(members)}: redefine or remove one of them") from None
    if clean or any(node.committed is not None for node in nodes.values()):
        _restore(graph, nodes, clean)
    return graph  # a new node is dirty: with nothing restored, every node is


def _restore(graph: Graph, nodes: Mapping[str, Node], clean: set[str]) -> None:
    restored: set[str] = set()
    for name in graph.topo_order():
        node = nodes[name]
        if node.kind == "input":
            if node.committed is not None:
                graph.commit_input(name, node.committed)
                if node.hash == node.committed:
                    restored.add(name)
        elif name in clean and node.memo_valid() and not node.forced and restored.issuperset(node.deps):
            _, _, signature = graph.check_node(name)
            graph.skip_node(name, signature)
            restored.add(name)
    unsettled = [name for name in nodes if name not in restored]
    if unsettled:
        graph.mark_dirty(unsettled)
