"""A flow drawn as SVG, with no network and no dependency: a small layered layout.

Columns are a node's longest distance from the inputs (left to right, as the
values flow); within a column nodes are ordered by a few sweeps of the
barycentre heuristic, which keeps most edges short and uncrossed on the
graphs people draw.  Edges are cubic curves from a dependency's right side to
its dependent's left side.  Colours say each node's state; the border says
its kind.  `draw` takes plain data, so that it knows nothing of flows.
"""
from __future__ import annotations

import html
from collections.abc import Collection, Hashable, Sequence
from dataclasses import dataclass

FILLS = {"clean": "#d3f9d8", "dirty": "#ffe8cc", "failed": "#ffc9c9", "blocked": "#e5dbff"}
STROKES = {"clean": "#2b8a3e", "dirty": "#e8590c", "failed": "#c92a2a", "blocked": "#6741d9"}
HIGHLIGHT = "#f59f00"

_CHAR, _FONT = 7.0, 12  # approximate width of a character at the font size
_PAD_X, _BOX_H, _GAP_X, _GAP_Y, _MARGIN = 10, 36, 56, 14, 12
_WAYPOINT_H = 6


@dataclass
class Box:
    """A node to draw: its name, kind, dependencies (by name), state and,
    when known, the seconds its last computation took."""

    name: str
    kind: str
    deps: Sequence[str]
    state: str
    seconds: float | None = None


def _columns(boxes: dict[str, Box]) -> dict[str, int]:
    """Each node's longest distance from a node without dependencies.  A cycle
    (a flow whose declarations do not form a graph yet) is cut where it closes."""
    column: dict[str, int] = {}
    for start in boxes:
        if start in column:
            continue
        stack: list[tuple[str, int]] = [(start, 0)]
        on_path = {start}
        while stack:
            name, i = stack.pop()
            deps = [d for d in boxes[name].deps if d in boxes]
            if i < len(deps):
                stack.append((name, i + 1))
                dep = deps[i]
                if dep not in column and dep not in on_path:
                    on_path.add(dep)
                    stack.append((dep, 0))
                continue
            on_path.discard(name)
            column[name] = 1 + max((column[d] for d in deps if d in column), default=-1)
    return column


def _order(keys: list[Hashable], deps_of: dict[Hashable, list[Hashable]],
           column: dict[Hashable, int]) -> list[list[Hashable]]:
    layers: list[list[Hashable]] = [[] for _ in range(1 + max(column.values(), default=0))]
    for key in keys:  # declaration order to begin with
        layers[column[key]].append(key)
    dependents: dict[Hashable, list[Hashable]] = {}
    for key in keys:
        for dep in deps_of[key]:
            dependents.setdefault(dep, []).append(key)
    for sweep in range(4):
        forward = sweep % 2 == 0
        rank = {n: k for layer in layers for k, n in enumerate(layer)}
        for layer in (layers[1:] if forward else layers[-2::-1]):
            def centre(key: Hashable) -> float:
                near = deps_of[key] if forward else dependents.get(key, ())
                places = [rank[n] for n in near]
                return sum(places) / len(places) if places else rank[key]
            layer.sort(key=centre)
            rank.update({n: k for k, n in enumerate(layer)})
    return layers


def _label(box: Box) -> str:
    detail = f"{box.kind} · {box.state}"
    if box.seconds is not None:
        detail += f" · {_duration(box.seconds)}"
    return detail


def _duration(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1e3:.1f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


def _curve(start: tuple[float, float], end: tuple[float, float]) -> str:
    """A cubic curve leaving `start` and reaching `end` horizontally."""
    bend = max(20.0, (end[0] - start[0]) / 2)
    return (f" C{start[0] + bend:.1f},{start[1]:.1f} {end[0] - bend:.1f},{end[1]:.1f} "
            f"{end[0]:.1f},{end[1]:.1f}")


def draw(boxes_in: Sequence[Box], highlight: Collection[str] = (), title: str = "") -> str:
    """The SVG of `boxes_in`; the nodes in `highlight`, and the edges between
    them, drawn in the highlight colour."""
    boxes = {b.name: b for b in boxes_in}
    column: dict[Hashable, int] = {name: c for name, c in _columns(boxes).items()}
    # An edge across several columns passes through a waypoint in each column
    # between, which the ordering places like a node: it keeps clear of the boxes.
    deps_of: dict[Hashable, list[Hashable]] = {name: [] for name in boxes}
    routes: list[tuple[str, str, list[Hashable]]] = []  # (dependency, node, waypoints)
    for name, box in boxes.items():
        for i, dep in enumerate(d for d in box.deps if d in boxes):
            previous: Hashable = dep
            waypoints: list[Hashable] = []
            for c in range(column[dep] + 1, column[name]):
                point: Hashable = (name, i, c)
                deps_of[point], column[point], previous = [previous], c, point
                waypoints.append(point)
            deps_of[name].append(previous)
            routes.append((dep, name, waypoints))
    keys = list(deps_of)
    layers = _order(keys, deps_of, column)
    width_of = {n: _PAD_X * 2 + _CHAR * max(len(n), len(_label(b)) * 0.85) for n, b in boxes.items()}
    col_width = [max((width_of[n] for n in layer if isinstance(n, str)), default=24.0) for layer in layers]
    col_x, x = [], float(_MARGIN)
    for w in col_width:
        col_x.append(x)
        x += w + _GAP_X

    def tall(key: Hashable) -> float:
        return _BOX_H if isinstance(key, str) else _WAYPOINT_H

    extent = [sum(tall(k) + _GAP_Y for k in layer) for layer in layers]
    tallest = max(extent, default=0.0)
    height = 2 * _MARGIN + tallest + 24
    width = max(x - _GAP_X + _MARGIN, 320.0)
    place: dict[Hashable, tuple[float, float]] = {}  # top left of a box; left end of a waypoint's centre
    for k, layer in enumerate(layers):
        y = _MARGIN + (tallest - extent[k]) / 2
        for key in layer:
            left = col_x[k] + (col_width[k] - width_of[key]) / 2 if isinstance(key, str) else col_x[k]
            place[key] = (left, y)
            y += tall(key) + _GAP_Y
    lit = set(highlight)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="movra-flow" width="{width:.0f}" '
           f'height="{height:.0f}" viewBox="0 0 {width:.0f} {height:.0f}" '
           f'font-family="Helvetica, Arial, sans-serif" font-size="{_FONT}">',
           f"<title>{html.escape(title or 'movra flow')}</title>",
           '<defs><marker id="movra-arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" '
           'markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="#868e96"/>'
           '</marker><marker id="movra-arrow-lit" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" '
           f'markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="{HIGHLIGHT}"/>'
           "</marker></defs>"]
    for dep, name, waypoints in routes:
        x0, y0 = place[dep]
        path = f"M{x0 + width_of[dep]:.1f},{y0 + _BOX_H / 2:.1f}"
        at = (x0 + width_of[dep], y0 + _BOX_H / 2)
        for point in waypoints:
            px, py = place[point]
            py += _WAYPOINT_H / 2
            path += _curve(at, (px, py)) + f" L{px + col_width[column[point]]:.1f},{py:.1f}"
            at = (px + col_width[column[point]], py)
        x2, y2 = place[name]
        path += _curve(at, (x2 - 1, y2 + _BOX_H / 2))
        on = dep in lit and name in lit
        colour, thickness, marker = (HIGHLIGHT, 2.5, "movra-arrow-lit") if on else ("#868e96", 1.2, "movra-arrow")
        out.append(f'<path d="{path}" fill="none" stroke="{colour}" stroke-width="{thickness}" '
                   f'marker-end="url(#{marker})"/>')
    for name, box in boxes.items():
        x1, y1 = place[name]
        w = width_of[name]
        fill = FILLS.get(box.state, "#f1f3f5")
        stroke = HIGHLIGHT if name in lit else STROKES.get(box.state, "#495057")
        radius = {"input": 0, "source": 4, "view": _BOX_H / 2}.get(box.kind, 8)
        dash = ' stroke-dasharray="5,3"' if box.kind == "source" else ""
        out.append(f'<g class="movra-node {html.escape(box.state)}"><title>{html.escape(name)}: '
                   f"{html.escape(_label(box))}</title>"
                   f'<rect x="{x1:.1f}" y="{y1:.1f}" width="{w:.1f}" height="{_BOX_H}" rx="{radius}" '
                   f'fill="{fill}" stroke="{stroke}" stroke-width="{3 if name in lit else 1.5}"{dash}/>'
                   f'<text x="{x1 + w / 2:.1f}" y="{y1 + 15:.1f}" text-anchor="middle" font-weight="bold">'
                   f"{html.escape(name)}</text>"
                   f'<text x="{x1 + w / 2:.1f}" y="{y1 + 29:.1f}" text-anchor="middle" font-size="10" '
                   f'fill="#495057">{html.escape(_label(box))}</text></g>')
    legend_y, lx = height - 10, float(_MARGIN)
    for state in ("clean", "dirty", "failed", "blocked"):
        out.append(f'<rect x="{lx:.0f}" y="{legend_y - 9}" width="10" height="10" fill="{FILLS[state]}" '
                   f'stroke="{STROKES[state]}"/><text x="{lx + 14:.0f}" y="{legend_y}" font-size="10">'
                   f"{state}</text>")
        lx += 70
    if lit:
        out.append(f'<rect x="{lx:.0f}" y="{legend_y - 9}" width="10" height="10" fill="none" '
                   f'stroke="{HIGHLIGHT}" stroke-width="2"/><text x="{lx + 14:.0f}" y="{legend_y}" '
                   'font-size="10">path of the cause</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"
