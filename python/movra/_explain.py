"""Explaining a flow's decisions, and drawing it."""
from __future__ import annotations

import html
from collections import deque
from typing import TYPE_CHECKING

from ._declare import MISSING, Node
from . import _svg
from ._report import Explanation

if TYPE_CHECKING:
    from .flow import Flow


def _graph_states(flow: Flow) -> dict[str, str] | None:
    """Each node's kernel state after bringing the graph up to date with the
    declarations, or None while they do not form a valid graph."""
    if flow._stale:
        try:
            with flow._structure_change():
                if flow._stale:
                    flow._refresh_structure()
        except ValueError:
            return None
    dirty = set(flow.graph.dirty_nodes())
    return {name: "dirty" if name in dirty else "clean" for name in flow._nodes}


def _differs(node: Node, index: int, dep: Node) -> bool:
    """Whether `dep` changed since `node` last computed successfully."""
    return node.memo is None or node.memo[index + 1] != dep.hash


def _ancestors_in_order(flow: Flow, name: str, dirty: set[str]) -> list[str]:
    """The dirty nodes `name` depends on, itself included, dependencies first."""
    nodes, order, done = flow._nodes, [], set()
    stack: list[tuple[str, int]] = [(name, 0)]
    while stack:
        current, i = stack.pop()
        deps = nodes[current].deps
        if i < len(deps):
            stack.append((current, i + 1))
            dep = deps[i]
            if dep in dirty and dep not in done:
                done.add(dep)
                stack.append((dep, 0))
        else:
            order.append(current)
    return order


def explain(flow: Flow, name: str) -> Explanation:
    nodes = flow._nodes
    node = nodes[name]
    if node.kind == "input":
        verdict = "no value" if node.value is MISSING else (
            "new value" if node.hash != node.committed else "up to date")
        return Explanation(name, verdict, [], [], [], kind="input")  # type: ignore[arg-type]
    states = _graph_states(flow)
    dirty = {n for n, s in states.items() if s == "dirty"} if states is not None else set(nodes)
    changing: dict[str, bool] = {}
    root: dict[str, bool] = {}  # changes of its own accord, not only because a dependency does
    for current in _ancestors_in_order(flow, name, dirty | {name}):
        nd = nodes[current]
        if nd.kind == "input":
            changing[current] = root[current] = nd.hash != nd.committed
            continue
        own = nd.forced or nd.failure is not None or not nd.memo_valid() or any(
            not changing.get(d, False) and _differs(nd, i, nodes[d]) for i, d in enumerate(nd.deps))
        changing[current] = current in dirty and (own or any(changing.get(d, False) for d in nd.deps))
        root[current] = own
    last = node.last_cause
    store_hit = _from_store(flow, node, changing)
    if node.value is MISSING and node.memo is None:
        return Explanation(name, "never computed", [], [], last, store_hit)
    if not changing[name]:
        return Explanation(name, "up to date", [], [], last)
    changed = [d for i, d in enumerate(node.deps) if changing.get(d, False) or _differs(node, i, nodes[d])]
    return Explanation(name, "would recompute", changed, _causes(flow, name, changing, root), last, store_hit,
                       reason=_own_reason(node))


def _own_reason(node: Node) -> str:
    """Why `node` must run again whatever its dependencies do."""
    if node.memo is not None and not node.memo_valid():
        return "its code changed"
    if node.failure is not None:
        return "its last run failed"
    if node.forced:
        return "it was refreshed" if node.kind == "source" else "its last run was interrupted"
    return ""


def _causes(flow: Flow, name: str, changing: dict[str, bool], root: dict[str, bool]) -> list[str]:
    """The nodes upstream of `name` (or `name` itself) whose own change drives it, in declaration order."""
    nodes, seen, found = flow._nodes, {name}, set()
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


def _from_store(flow: Flow, node: Node, changing: dict[str, bool]) -> bool:
    nodes = flow._nodes
    if flow._store is None or any(
            changing.get(d) and nodes[d].kind != "input" for d in node.deps):
        return False  # the key depends on values not computed yet
    key = flow._store_key(node)
    return key is not None and flow._store.contains(key)


# Drawing -----------------------------------------------------------------------

_FILLS = {**_svg.FILLS, "computing": "#d0ebff"}


def _neighbourhood(flow: Flow, around: str | None, depth: int) -> list[str]:
    nodes = flow._nodes
    if around is None:
        return list(nodes)
    flow._node(around)
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


def _drawn(flow: Flow, around: str | None, depth: int) -> tuple[list[str], dict[str, str]]:
    names = _neighbourhood(flow, around, depth)
    return names, _states(flow, names)


def _states(flow: Flow, names: list[str]) -> dict[str, str]:
    """Each node's state as drawn: "failed" (dirty, and its last attempt
    failed), "blocked" (dirty, below a failed node), "dirty" or "clean"."""
    outline = flow._outline()
    kernel = _graph_states(flow) or {}
    states = {name: kernel.get(name, "dirty") for name in outline}
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


def _dependents(outline: dict[str, tuple[str, tuple[str, ...], BaseException | None]]) -> dict[str, list[str]]:
    below: dict[str, list[str]] = {}
    for name, (_, deps, _) in outline.items():
        for dep in deps:
            below.setdefault(dep, []).append(name)
    return below


def to_svg(flow: Flow, around: str | None = None, depth: int = 1, explain: str | None = None) -> str:
    names, states = _drawn(flow, around, depth)
    outline = flow._outline()
    report = flow._last_report
    seconds = report.seconds if report is not None else {}
    lit: set[str] = set()
    if explain is not None:
        why = flow.explain(explain)
        lit = _cause_path(outline, explain, why.causes + why.changed)
        if around is None:
            names = [n for n in names if n in lit or n in _ancestors(outline, explain) or n == explain] or names
    boxes = [_svg.Box(n, outline[n][0], [d for d in outline[n][1] if d in states], states[n], seconds.get(n))
             for n in names]
    title = f"why {explain} would recompute" if explain is not None else f"movra flow of {len(outline)} nodes"
    return _svg.draw(boxes, lit, title)


def _ancestors(outline: dict[str, tuple[str, tuple[str, ...], BaseException | None]], name: str) -> set[str]:
    seen: set[str] = set()
    stack = list(outline[name][1])
    while stack:
        dep = stack.pop()
        if dep in outline and dep not in seen:
            seen.add(dep)
            stack.extend(outline[dep][1])
    return seen


def _cause_path(outline: dict[str, tuple[str, tuple[str, ...], BaseException | None]], name: str,
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


def to_dot(flow: Flow, around: str | None = None, depth: int = 1) -> str:
    shapes = {"input": "box", "source": "cylinder", "reactive": "ellipse", "view": "note"}
    names, states = _drawn(flow, around, depth)
    lines = ["digraph flow {", "  rankdir=LR;", '  node [style=filled, fontname="Helvetica"];']
    for name in names:
        node, state = flow._nodes[name], states[name]
        label = _dot_id(name)[:-1] + f'\\n{node.kind} · {state}"'
        lines.append(f'  {_dot_id(name)} [shape={shapes[node.kind]}, fillcolor="{_FILLS[state]}", '
                     f"label={label}];")
    for name in names:
        lines += [f"  {_dot_id(dep)} -> {_dot_id(name)};" for dep in flow._nodes[name].deps if dep in states]
    return "\n".join(lines + ["}"]) + "\n"


def to_mermaid(flow: Flow, around: str | None = None, depth: int = 1) -> str:
    shapes = {"input": ("[/", "/]"), "source": ("[(", ")]"), "reactive": ("[", "]"), "view": ("([", "])")}
    names, states = _drawn(flow, around, depth)
    ids = {name: f"n{i}" for i, name in enumerate(names)}
    lines = ["flowchart LR"]
    members: dict[str, list[str]] = {}
    for name in names:
        node, state = flow._nodes[name], states[name]
        members.setdefault(state, []).append(ids[name])
        left, right = shapes[node.kind]
        lines.append(f'  {ids[name]}{left}"{_mermaid_text(name)}<br/><small>{node.kind} · {state}</small>"{right}')
    for name in names:
        lines += [f"  {ids[dep]} --> {ids[name]}" for dep in flow._nodes[name].deps if dep in ids]
    for state, group in members.items():
        lines.append(f"  classDef {state} fill:{_FILLS[state]}")
        lines.append(f"  class {','.join(group)} {state}")
    return "\n".join(lines) + "\n"


def mimebundle(flow: Flow) -> dict[str, str]:
    """Jupyter shows a small flow as an SVG drawing (inline in HTML, so that
    every front end and an exported page show it offline), with its Mermaid
    source as an alternative; a large one as a summary."""
    text = repr(flow)
    if len(flow) > 200:
        hint = f"{text}: draw a part with flow.to_svg(around=name)"
        return {"text/plain": text, "text/html": f"<p>{html.escape(hint)}</p>", "text/markdown": hint}
    svg = to_svg(flow)
    return {"text/plain": text, "text/html": f'<div class="movra-flow">{svg}</div>', "image/svg+xml": svg,
            "text/vnd.mermaid": to_mermaid(flow)}


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def _mermaid_text(text: str) -> str:
    return text.replace('"', "#quot;").replace("<", "#lt;").replace(">", "#gt;")
