"""Explaining a flow's decisions, and drawing it, from a read-only view of
its definitions and states (`FlowView`, made by the flow)."""
from __future__ import annotations

import html
from collections import deque
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

from . import _svg
from ._declare import Node
from ._report import Explanation

Outline = dict[str, tuple[str, tuple[str, ...], BaseException | None]]


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
    committed: int | None  # inputs: the hash the last run committed


class FlowView:
    """Definitions in declaration order, each node's `NodeInfo`, the nodes left
    out of the build, and whether the store holds a node's next value."""

    def __init__(self, nodes: dict[str, Node], info: Callable[[str], tuple[Any, ...]],
                 broken: Mapping[str, str], store_contains: Callable[[Node, list[int]], bool] | None,
                 seconds: Mapping[str, float] | None = None) -> None:
        self.nodes, self._info, self.broken, self.store_contains = nodes, info, broken, store_contains
        self.seconds = seconds or {}  # each node's time in the last run
        self._cache: dict[str, NodeInfo] = {}

    def outline(self) -> Outline:
        """Each node's kind, dependencies and the error of its last attempt (None if it succeeded)."""
        return {n: (node.kind, node.deps, self.info(n).failure) for n, node in self.nodes.items()}

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
            "new value" if info.hash != info.committed else "up to date")
        return Explanation(name, verdict, [], [], [], kind="input")  # type: ignore[arg-type]
    dirty = {n for n in nodes if flow.state(n) != "clean"}
    changing: dict[str, bool] = {}
    root: dict[str, bool] = {}  # changes of its own accord, not only because a dependency does
    for current in _ancestors_in_order(flow, name, dirty | {name}):
        if current not in nodes:
            continue
        nd, ni = nodes[current], flow.info(current)
        if nd.kind == "input":
            changing[current] = root[current] = ni.hash != ni.committed
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
    return Explanation(name, "would recompute", changed, _causes(flow, name, changing, root), last, store_hit,
                       reason=_own_reason(node, info))


def _own_reason(node: Node, info: NodeInfo) -> str:
    """Why `node` must run again whatever its dependencies do."""
    if info.memo is not None and not info.memo_current:
        return "its code changed"
    if info.failure is not None:
        return "its last run failed"
    if info.forced:
        return "it was refreshed" if node.kind == "source" else "its last run was interrupted"
    return ""


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

_FILLS = {**_svg.FILLS, "computing": "#d0ebff"}


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
    return names, _states(flow, names)


def _states(flow: FlowView, names: list[str]) -> dict[str, str]:
    """Each node's state as drawn: "failed" (dirty, and its last attempt
    failed), "blocked" (dirty, below a failed node), "dirty" or "clean"."""
    outline = flow.outline()
    states = {name: flow.state(name) for name in outline}
    failed = [n for n, (_, _, failure) in outline.items() if failure is not None and states[n] == "dirty"]
    states.update(dict.fromkeys(failed, "failed"))
    below = _dependents(outline)
    stack = list(failed)
    while stack:  # what a failure keeps from running: every dirty node below it
        for near in below.get(stack.pop(), ()):
            if states[near] == "dirty":
                states[near] = "blocked"
                stack.append(near)
    return {n: states[n] for n in names}


def _dependents(outline: Outline) -> dict[str, list[str]]:
    below: dict[str, list[str]] = {}
    for name, (_, deps, _) in outline.items():
        for dep in deps:
            below.setdefault(dep, []).append(name)
    return below


def to_svg(flow: FlowView, around: str | None = None, depth: int = 1, target: str | None = None) -> str:
    names, states = _drawn(flow, around, depth)
    outline = flow.outline()
    seconds = flow.seconds
    lit: set[str] = set()
    if target is not None:
        why = explain(flow, target)
        lit = _cause_path(outline, target, why.causes + why.changed)
        if around is None:
            names = [n for n in names if n in lit or n in _ancestors(outline, target) or n == target] or names
    boxes = [_svg.Box(n, outline[n][0], [d for d in outline[n][1] if d in states], states[n], seconds.get(n))
             for n in names]
    title = f"why {target} would recompute" if target is not None else f"movra flow of {len(outline)} nodes"
    return _svg.draw(boxes, lit, title)


def _ancestors(outline: Outline, name: str) -> set[str]:
    seen: set[str] = set()
    stack = list(outline[name][1])
    while stack:
        dep = stack.pop()
        if dep in outline and dep not in seen:
            seen.add(dep)
            stack.extend(outline[dep][1])
    return seen


def _cause_path(outline: Outline, name: str,
                causes: list[str]) -> set[str]:
    """`name`, and the nodes on the paths from its causes to it."""
    upstream = _ancestors(outline, name)
    below = _dependents(outline)
    lit = {c for c in causes if c in upstream} | {name}
    stack = list(lit - {name})
    while stack:  # from every cause at once, downstream, staying above `name`
        for near in below.get(stack.pop(), ()):
            if near not in lit and near in upstream:
                lit.add(near)
                stack.append(near)
    return lit


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
    """Jupyter shows a small flow as an SVG drawing (inline in HTML, so that
    every front end and an exported page show it offline), with its Mermaid
    source as an alternative; a large one as a summary."""
    if len(flow.nodes) > 200:
        hint = f"{text}: draw a part with flow.to_svg(around=name)"
        return {"text/plain": text, "text/html": f"<p>{html.escape(hint)}</p>", "text/markdown": hint}
    svg = to_svg(flow)
    return {"text/plain": text, "text/html": f'<div class="movra-flow">{svg}</div>', "image/svg+xml": svg,
            "text/vnd.mermaid": to_mermaid(flow)}


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def _mermaid_text(text: str) -> str:
    return text.replace('"', "#quot;").replace("<", "#lt;").replace(">", "#gt;")
