"""Which declared nodes can be built, and why the others cannot.

The engine builds a kernel graph of every node that has no unknown
dependency, does not depend on itself and is not part of (or downstream of)
a cycle; the others are left out with the reason, so that a run whose
targets need none of them goes ahead, and any other run reports the first
reason.  Repairing a node (redefining or removing it) rebuilds the rest.
"""
from __future__ import annotations

from collections.abc import Iterable, Mapping

from ._declare import Node
from ._names import listed, quoted, suggestion


def broken_nodes(nodes: Mapping[str, Node], bad: Iterable[tuple[str, str]]) -> dict[str, str]:
    """Each node that cannot be built, with the reason; its dependents share it.
    `bad` lists (node, dependency) for each dependency that is unknown or the node itself."""
    reasons: dict[str, str] = {}
    for name, dep in bad:
        if dep == name:
            reasons[name] = f"{quoted(name)} depends on itself"
        else:
            reasons[name] = f"{quoted(name)} depends on unknown node {quoted(dep)}{suggestion(dep, nodes)}"
    return with_dependents(nodes, reasons)


def with_cycle(nodes: Mapping[str, Node], reasons: dict[str, str], members: list[str]) -> dict[str, str]:
    """`reasons` with the nodes the kernel could not place, and what depends on them."""
    reason = f"dependency cycle among {listed(members)}: redefine or remove one of them"
    return with_dependents(nodes, {**reasons, **{m: reason for m in members}})


def with_dependents(nodes: Mapping[str, Node], reasons: dict[str, str]) -> dict[str, str]:
    if not reasons:
        return reasons
    dependents: dict[str, list[str]] = {}
    for node in nodes.values():
        for dep in node.deps:
            dependents.setdefault(dep, []).append(node.name)
    pending = list(reasons)
    while pending:
        name = pending.pop()
        for dependent in dependents.get(name, ()):
            if dependent not in reasons:
                reasons[dependent] = reasons[name]
                pending.append(dependent)
    return reasons


def needed(nodes: Mapping[str, Node], targets: Iterable[str]) -> set[str]:
    """The targets and everything they depend on."""
    seen: set[str] = set()
    pending = list(targets)
    while pending:
        name = pending.pop()
        if name in seen or name not in nodes:
            continue
        seen.add(name)
        pending.extend(nodes[name].deps)
    return seen
