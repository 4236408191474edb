"""A short tour of the kernel: declare a graph, change an input, and let
check_node decide what to recompute and what is a memo hit."""
from __future__ import annotations

import hashlib
import pickle
from collections.abc import Callable

from . import Graph, kernel_version

FUNCTIONS: dict[str, tuple[tuple[str, ...], Callable[..., object]]] = {
    "subtotal": (("price", "qty"), lambda price, qty: price * qty),
    "tax": (("subtotal",), lambda subtotal: round(subtotal * 0.2, 2)),
    "invoice": (("subtotal", "tax"), lambda subtotal, tax: f"{subtotal + tax:.2f}"),
}


def content_hash(value: object) -> int:
    digest = hashlib.blake2b(pickle.dumps(value), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def run_pass(graph: Graph, values: dict[str, object], changed: list[str]) -> None:
    for node in graph.mark_dirty(changed):
        kind, needed, signature = graph.check_node(node)
        if kind == "input":
            graph.commit_input(node, content_hash(values[node]))
            print(f"  {node:<9} input      = {values[node]!r}")
        elif needed:
            deps, function = FUNCTIONS[node]
            values[node] = function(*(values[d] for d in deps))
            graph.commit_node(node, signature)
            print(f"  {node:<9} recomputed = {values[node]!r}")
        else:
            graph.skip_node(node, signature)
            print(f"  {node:<9} memo hit   = {values[node]!r}")


def main() -> None:
    print(f"movra kernel {kernel_version()}")
    graph = Graph()
    for node in ("price", "qty"):
        graph.add_node(node, "input")
    graph.add_node("subtotal", "reactive")
    graph.add_node("tax", "reactive")
    graph.add_node("invoice", "view")
    for node, (deps, _) in FUNCTIONS.items():
        graph.set_deps(node, list(deps))
    graph.build()
    print(f"{graph!r}, order: {', '.join(graph.topo_order())}")

    values: dict[str, object] = {"price": 10.0, "qty": 3}
    steps = [
        ("first pass", ["price", "qty"], {}),
        ("price 10.0 -> 12.0", ["price"], {"price": 12.0}),
        ("price set to 12.0 again", ["price"], {"price": 12.0}),
    ]
    for title, changed, update in steps:
        values.update(update)
        print(f"\n{title}:")
        run_pass(graph, values, changed)
    print(f"\ninvoice: {values['invoice']}; dirty now: {graph.dirty_nodes()}")


if __name__ == "__main__":
    main()
