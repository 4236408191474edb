"""What the engine asks of a flow's store: a value by what determines it.

A value is kept under its node's name, code version and dependencies'
content hashes (`movra.store.make_key`).  The engine asks only for nodes
whose key says everything about the value: not sources (they read the
outside world), nor unhashed values or values computed from unhashed (or
never cut off) ones.
"""
from __future__ import annotations

from typing import Any

from ._declare import Node
from .store import Store, make_key, save_value


class StoreLink:
    def __init__(self, store: Store) -> None:
        self.store = store
        self.missed: dict[str, str] = {}  # node -> the key its lookup missed, for saving what it computes

    def key(self, node: Node, hashes: list[int]) -> str:
        return make_key(node.name, node.version, hashes)

    def load(self, node: Node, hashes: list[int]) -> tuple[Any] | None:
        """(value,) when the store has it, else None."""
        key = self.key(node, hashes)
        found, value = self.store.lookup(key)
        if found:
            return (value,)
        self.missed[node.name] = key
        return None

    def save(self, node: Node, hashes: list[int], value: Any, seconds: float) -> None:
        """Keeps a computed value; `seconds` is its call's time (the store may
        decline a value cheaper to compute than to load)."""
        key = self.missed.pop(node.name, None) or self.key(node, hashes)
        if type(value).__module__.split(".")[0] == "distributed":
            value = value.result()  # kept on a cluster: saved from here
        save_value(self.store, key, value, seconds=seconds, node=node.name, version=node.version)

    def contains(self, node: Node, hashes: list[int]) -> bool:
        return self.store.contains(self.key(node, hashes))

    def flush(self) -> None:
        flush = getattr(self.store, "flush", None)
        if flush is not None:
            flush()  # a store may hold back writes until the run ends
