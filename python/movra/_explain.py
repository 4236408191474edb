"""Explaining a flow's decisions, and drawing it, from a read-only view of
its definitions and states (`FlowView`, made by the flow)."""
from __future__ import annotations

from collections import deque
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

from ._declare import Node
from ._report import Explanation


class NodeInfo(NamedTuple):
    """What the engine knows of one node (see `Engine.info`)."""

    state: str | None  # the kernel's state, None when not built
    has_value: bool
    forced: bool
    failure: BaseException | None
    memo: tuple[str, tuple[str, ...], list[int]] | None  # (version, deps, hashes) of the last success
    previous: tuple[str, tuple[str, ...], list[int]] | None  # of the success before it
    hash: int | None
    memo_current: bool  # recorded by the node's current code and dependency list


class FlowView:
    """Definitions in declaration order, each node's `NodeInfo`, the nodes left
    out of the build, and whether the store holds a node's next value."""

    def __init__(self, nodes: dict[str, Node], info: Callable[[str], tuple[Any, ...]],
                 broken: Mapping[str, str], store_contains: Callable[[Node, list[int]], bool] | None) -> None:
        self.nodes, self._info, self.broken, self.store_contains = nodes, info, broken, store_contains
        self._cache: dict[str, NodeInfo] = {}

    def info(self, name: str) -> NodeInfo:
        found = self._cache.get(name)
        if found is None:
            found = self._cache[name] = NodeInfo(*self._info(name))
        return found

    def state(self, name: str) -> str:
        state = self.info(name).state
        return "dirty" if state is None or name in self.broken else state


def _differs(flow: FlowView, node: Node, index: int) -> bool:
    """Whether dependency `index` of `node` changed since it last computed successfully."""
    memo = flow.info(node.name).memo
    if memo is None or tuple(memo[1]) != tuple(node.deps):
        return True  # never computed, or with other dependencies
    return memo[2][index] != flow.info(node.deps[index]).hash


def _last_cause(info: NodeInfo) -> list[str]:
    """The dependencies whose change made the last computation necessary."""
    old, new = info.previous, info.memo
    if old is None or new is None or old[0] != new[0] or old[1] != new[1]:
        return []
    return [d for d, a, b in zip(new[1], old[2], new[2]) if a != b]


def _ancestors_in_order(flow: FlowView, name: str, dirty: set[str]) -> list[str]:
    """The dirty nodes `name` depends on, itself included, dependencies first."""
    nodes, order, done = flow.nodes, [], set()
    stack: list[tuple[str, int]] = [(name, 0)]
    while stack:
        current, i = stack.pop()
        deps = nodes[current].deps if current in nodes else ()
        if i < len(deps):
            stack.append((current, i + 1))
            dep = deps[i]
            if dep in dirty and dep not in done:
                done.add(dep)
                stack.append((dep, 0))
        else:
            order.append(current)
    return order


def explain(flow: FlowView, name: str) -> Explanation:
    nodes = flow.nodes
    node, info = nodes[name], flow.info(name)
    if node.kind == "input":
        verdict = "no value" if not info.has_value else (
            "new value" if flow.state(name) != "clean" else "up to date")
        return Explanation(name, verdict, [], [], [], kind="input")  # type: ignore[arg-type]
    dirty = {n for n in nodes if flow.state(n) != "clean"}
    changing: dict[str, bool] = {}
    root: dict[str, bool] = {}  # changes of its own accord, not only because a dependency does
    for current in _ancestors_in_order(flow, name, dirty | {name}):
        if current not in nodes:
            continue
        nd, ni = nodes[current], flow.info(current)
        if nd.kind == "input":
            changing[current] = root[current] = current in dirty
            continue
        own = ni.forced or ni.failure is not None or not ni.memo_current or any(
            d in nodes and not changing.get(d, False) and _differs(flow, nd, i) for i, d in enumerate(nd.deps))
        changing[current] = current in dirty and (own or any(changing.get(d, False) for d in nd.deps))
        root[current] = own
    last = _last_cause(info)
    store_hit = _from_store(flow, node, changing)
    if not info.has_value and info.memo is None:
        return Explanation(name, "never computed", [], [], last, store_hit)
    if not changing[name]:
        return Explanation(name, "up to date", [], [], last)
    changed = [d for i, d in enumerate(node.deps)
               if d in nodes and (changing.get(d, False) or _differs(flow, node, i))]
    return Explanation(name, "would recompute", changed, _causes(flow, name, changing, root), last, store_hit)


def _causes(flow: FlowView, name: str, changing: dict[str, bool], root: dict[str, bool]) -> list[str]:
    """The nodes upstream of `name` (or `name` itself) whose own change drives it, in declaration order."""
    nodes, seen, found = flow.nodes, {name}, set()
    queue = deque([name])
    while queue:
        current = queue.popleft()
        if root.get(current) and (current != name or not any(changing.get(d) for d in nodes[current].deps)):
            found.add(current)
        for dep in nodes[current].deps:
            if changing.get(dep) and dep not in seen:
                seen.add(dep)
                queue.append(dep)
    return [n for n in nodes if n in found]


def _from_store(flow: FlowView, node: Node, changing: dict[str, bool]) -> bool:
    nodes = flow.nodes
    if flow.store_contains is None or node.kind == "source" or not node.hashed or name_broken(flow, node):
        return False
    deps = [nodes[d] for d in node.deps]
    if any(changing.get(d.name) and d.kind != "input" for d in deps):
        return False  # the key depends on values not computed yet
    if not all(d.hashed and d.cutoff for d in deps):
        return False
    hashes = [flow.info(d.name).hash for d in deps]
    return all(h is not None for h in hashes) and flow.store_contains(node, hashes)  # type: ignore[arg-type]


def name_broken(flow: FlowView, node: Node) -> bool:
    return node.name in flow.broken


# Drawing -----------------------------------------------------------------------

_FILLS = {"clean": "#d3f9d8", "dirty": "#ffe8cc", "computing": "#d0ebff"}


def _neighbourhood(flow: FlowView, around: str | None, depth: int) -> list[str]:
    nodes = flow.nodes
    if around is None:
        return list(nodes)
    if depth < 0:
        raise ValueError("depth must be 0 or more")
    dependents: dict[str, list[str]] = {}
    for node in nodes.values():
        for dep in node.deps:
            dependents.setdefault(dep, []).append(node.name)
    distance = {around: 0}
    queue = deque([around])
    while queue:
        current = queue.popleft()
        if distance[current] == depth:
            continue
        for near in (*nodes[current].deps, *dependents.get(current, ())):
            if near in nodes and near not in distance:
                distance[near] = distance[current] + 1
                queue.append(near)
    return [n for n in nodes if n in distance]


def _drawn(flow: FlowView, around: str | None, depth: int) -> tuple[list[str], dict[str, str]]:
    names = _neighbourhood(flow, around, depth)
    return names, {n: flow.state(n) for n in names}


def to_dot(flow: FlowView, around: str | None = None, depth: int = 1) -> str:
    shapes = {"input": "box", "source": "cylinder", "reactive": "ellipse", "view": "note"}
    names, states = _drawn(flow, around, depth)
    lines = ["digraph flow {", "  rankdir=LR;", '  node [style=filled, fontname="Helvetica"];']
    for name in names:
        node, state = flow.nodes[name], states[name]
        label = _dot_id(name)[:-1] + f'\\n{node.kind} · {state}"'
        lines.append(f'  {_dot_id(name)} [shape={shapes[node.kind]}, fillcolor="{_FILLS[state]}", '
                     f"label={label}];")
    for name in names:
        lines += [f"  {_dot_id(dep)} -> {_dot_id(name)};" for dep in flow.nodes[name].deps if dep in states]
    return "\n".join(lines + ["}"]) + "\n"


def to_mermaid(flow: FlowView, around: str | None = None, depth: int = 1) -> str:
    shapes = {"input": ("[/", "/]"), "source": ("[(", ")]"), "reactive": ("[", "]"), "view": ("([", "])")}
    names, states = _drawn(flow, around, depth)
    ids = {name: f"n{i}" for i, name in enumerate(names)}
    lines = ["flowchart LR"]
    members: dict[str, list[str]] = {}
    for name in names:
        node, state = flow.nodes[name], states[name]
        members.setdefault(state, []).append(ids[name])
        left, right = shapes[node.kind]
        lines.append(f'  {ids[name]}{left}"{_mermaid_text(name)}<br/><small>{node.kind} · {state}</small>"{right}')
    for name in names:
        lines += [f"  {ids[dep]} --> {ids[name]}" for dep in flow.nodes[name].deps if dep in ids]
    for state, group in members.items():
        lines.append(f"  classDef {state} fill:{_FILLS[state]}")
        lines.append(f"  class {','.join(group)} {state}")
    return "\n".join(lines) + "\n"


def mimebundle(flow: FlowView, text: str) -> dict[str, str]:
    """Jupyter shows a small flow as a Mermaid drawing; a large one as a summary."""
    if len(flow.nodes) > 200:
        return {"text/plain": text, "text/markdown": f"{text}: draw a part with `flow.to_mermaid(around=name)`"}
    return {"text/plain": text, "text/markdown": f"```mermaid\n{to_mermaid(flow)}```\n"}


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def _mermaid_text(text: str) -> str:
    return text.replace('"', "#quot;").replace("<", "#lt;").replace(">", "#gt;")
