"""A straightforward pure-Python graph doing the same jobs as movra.Graph:
dict of ids, lists of deps, heapq Kahn, breadth-first search, sort by position."""
from __future__ import annotations

import heapq
from collections import deque

KINDS = ("input", "source", "reactive", "view")
SEED, PRIME, MASK = 0x14650FB0739D0383, 0x100000001B3, 2**64 - 1


class PureGraph:
    def __init__(self) -> None:
        self.index: dict[str, int] = {}
        self.ids: list[str] = []
        self.kinds: list[str] = []
        self.states: list[str] = []
        self.deps: list[list[int]] = []
        self.epochs: list[int] = []
        self.signatures: list[int | None] = []
        self.hashes: list[int] = []
        self.clock = 0
        self.order: list[int] = []
        self.position: list[int] = []
        self.dependents: list[list[int]] = []

    def add_node(self, node_id: str, kind: str) -> None:
        if node_id in self.index:
            raise ValueError(f"node already registered: {node_id!r}")
        if kind not in KINDS:
            raise ValueError(f"invalid node kind {kind!r}")
        self.index[node_id] = len(self.ids)
        self.ids.append(node_id)
        self.kinds.append(kind)
        self.states.append("dirty")
        self.deps.append([])
        self.epochs.append(0)
        self.signatures.append(None)
        self.hashes.append(0)

    def set_deps(self, node_id: str, deps: list[str]) -> None:
        i = self.index[node_id]
        resolved: list[int] = []
        for dep in deps:
            if dep == node_id:
                raise ValueError(f"node {node_id!r} cannot depend on itself")
            j = self.index[dep]
            if j not in resolved:
                resolved.append(j)
        self.deps[i] = resolved

    def build(self) -> None:
        n = len(self.ids)
        dependents: list[list[int]] = [[] for _ in range(n)]
        for i, deps in enumerate(self.deps):
            for d in deps:
                dependents[d].append(i)
        degree = [len(deps) for deps in self.deps]
        ready = [i for i in range(n) if not degree[i]]
        order = []
        while ready:
            r = heapq.heappop(ready)
            order.append(r)
            for j in dependents[r]:
                degree[j] -= 1
                if not degree[j]:
                    heapq.heappush(ready, j)
        if len(order) < n:
            raise ValueError("dependency cycle detected")
        position = [0] * n
        for k, i in enumerate(order):
            position[i] = k
        self.order, self.position, self.dependents = order, position, dependents

    def _closure(self, seeds: list[int]) -> list[int]:
        seen = set(seeds)
        queue = deque(seen)
        reached = []
        while queue:
            i = queue.popleft()
            reached.append(i)
            for j in self.dependents[i]:
                if j not in seen:
                    seen.add(j)
                    queue.append(j)
        return reached

    def _sorted_ids(self, nodes: list[int]) -> list[str]:
        ids, position = self.ids, self.position
        return [ids[i] for i in sorted(nodes, key=position.__getitem__)]

    def downstream(self, node_id: str) -> list[str]:
        i = self.index[node_id]
        return self._sorted_ids([j for j in self._closure([i]) if j != i])

    def dirty_subgraph(self, seeds: list[str]) -> list[str]:
        return self._sorted_ids(self._closure([self.index[s] for s in seeds]))

    def mark_dirty(self, seeds: list[str]) -> list[str]:
        reached = self._closure([self.index[s] for s in seeds])
        states = self.states
        for i in reached:
            states[i] = "dirty"
        return self._sorted_ids(reached)

    def check_node(self, node_id: str) -> tuple[str, bool, int]:
        i = self.index[node_id]
        kinds, hashes, epochs = self.kinds, self.hashes, self.epochs
        h = SEED
        for d in self.deps[i]:
            h = ((h ^ (hashes[d] if kinds[d] == "input" else epochs[d])) * PRIME) & MASK
        return kinds[i], self.signatures[i] != h, h

    def commit_node(self, node_id: str, signature: int) -> None:
        i = self.index[node_id]
        self.clock = (self.clock + 1) & MASK
        self.states[i], self.signatures[i], self.epochs[i] = "clean", signature, self.clock

    def skip_node(self, node_id: str, signature: int) -> None:
        i = self.index[node_id]
        self.states[i], self.signatures[i] = "clean", signature

    def commit_input(self, node_id: str, content_hash: int) -> None:
        i = self.index[node_id]
        self.states[i], self.signatures[i], self.hashes[i] = "clean", content_hash, content_hash
