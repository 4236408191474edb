"""A pure-Python model of movra.Graph's observable behaviour, for differential tests."""
from __future__ import annotations

import heapq
import unicodedata

KINDS = ("input", "source", "reactive", "view")
NOT_BUILT = "graph has not been built; call build() after registering nodes"
SEED, PRIME, MASK = 0x14650FB0739D0383, 0x100000001B3, 2**64 - 1
SIMPLE = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
ESCAPED = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me"}


def quoted(text: str) -> str:
    """Exact for the code points the model tests use (none is Other_Grapheme_Extend)."""
    out = []
    for c in text:
        if c in SIMPLE:
            out.append(SIMPLE[c])
        elif unicodedata.category(c) in ESCAPED and c != " ":
            out.append(f"\\u{{{ord(c):x}}}")
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def unknown(node_id: str) -> KeyError:
    return KeyError(f"unknown node: {quoted(node_id)}")


class Node:
    def __init__(self, node_id: str, kind: str):
        self.id, self.kind, self.state = node_id, kind, "dirty"
        self.deps: list[int] = []
        self.epoch, self.signature, self.hash = 0, None, None


class ModelGraph:
    def __init__(self) -> None:
        self.nodes: list[Node] = []
        self.index: dict[str, int] = {}
        self.order: list[int] = []
        self.built = False
        self.clock = 0

    # registry
    def __len__(self) -> int:
        return len(self.nodes)

    def __contains__(self, node_id: str) -> bool:
        return node_id in self.index

    def __repr__(self) -> str:
        return f"<movra.Graph nodes={len(self.nodes)}>"

    def _node(self, node_id: str) -> Node:
        if node_id not in self.index:
            raise unknown(node_id)
        return self.nodes[self.index[node_id]]

    def add_node(self, node_id: str, kind: str) -> None:
        if node_id in self.index:
            raise ValueError(f"node already registered: {quoted(node_id)}")
        if kind not in KINDS:
            raise ValueError(f"invalid node kind {quoted(kind)} (expected input|source|reactive|view)")
        self.index[node_id] = len(self.nodes)
        self.nodes.append(Node(node_id, kind))
        self.built = False

    def set_deps(self, node_id: str, deps: list[str]) -> None:
        node = self._node(node_id)
        resolved: list[int] = []
        for dep in deps:
            if dep == node_id:
                raise ValueError(f"node {quoted(node_id)} cannot depend on itself")
            i = self._node(dep) and self.index[dep]
            if i not in resolved:
                resolved.append(i)
        node.deps = resolved
        self.built = False

    def node_ids(self) -> list[str]:
        return [n.id for n in self.nodes]

    def kind_of(self, node_id: str) -> str:
        return self._node(node_id).kind

    def state_of(self, node_id: str) -> str:
        return self._node(node_id).state

    def deps_of(self, node_id: str) -> list[str]:
        return [self.nodes[d].id for d in self._node(node_id).deps]

    # build
    def build(self) -> None:
        n = len(self.nodes)
        dependents: list[list[int]] = [[] for _ in range(n)]
        for i, node in enumerate(self.nodes):
            for d in node.deps:
                dependents[d].append(i)
        degree = [len(node.deps) for node in self.nodes]
        ready = [i for i in range(n) if degree[i] == 0]
        order = []
        while ready:
            r = heapq.heappop(ready)
            order.append(r)
            for j in dependents[r]:
                degree[j] -= 1
                if degree[j] == 0:
                    heapq.heappush(ready, j)
        if len(order) < n:
            ids = ", ".join(self.nodes[i].id for i in range(n) if degree[i])
            raise ValueError(f"dependency cycle detected involving: {ids}")
        self.order, self.built = order, True
        self.dependents = dependents

    def _require_built(self) -> None:
        if not self.built:
            raise RuntimeError(NOT_BUILT)

    def _sorted(self, nodes) -> list[str]:
        position = {i: k for k, i in enumerate(self.order)}
        return [self.nodes[i].id for i in sorted(nodes, key=position.__getitem__)]

    def topo_order(self) -> list[str]:
        self._require_built()
        return self._sorted(self.order)

    def views(self) -> list[str]:
        self._require_built()
        return [self.nodes[i].id for i in self.order if self.nodes[i].kind == "view"]

    # propagation
    def _closure(self, seeds: list[int]) -> set[int]:
        seen, stack = set(seeds), list(seeds)
        while stack:
            for j in self.dependents[stack.pop()]:
                if j not in seen:
                    seen.add(j)
                    stack.append(j)
        return seen

    def _resolve(self, seeds: list[str]) -> list[int]:
        return [self._node(s) and self.index[s] for s in seeds]

    def downstream(self, node_id: str) -> list[str]:
        self._require_built()
        i = self._node(node_id) and self.index[node_id]
        return self._sorted(self._closure([i]) - {i})

    def dirty_subgraph(self, seeds: list[str]) -> list[str]:
        self._require_built()
        return self._sorted(self._closure(self._resolve(seeds)))

    def mark_dirty(self, seeds: list[str]) -> list[str]:
        self._require_built()
        reached = self._closure(self._resolve(seeds))
        for i in reached:
            self.nodes[i].state = "dirty"
        return self._sorted(reached)

    def dirty_nodes(self) -> list[str]:
        self._require_built()
        return [self.nodes[i].id for i in self.order if self.nodes[i].state == "dirty"]

    # transitions
    def set_dirty(self, node_id: str) -> None:
        self._node(node_id).state = "dirty"

    def set_computing(self, node_id: str) -> None:
        self._node(node_id).state = "computing"

    def set_clean(self, node_id: str, value: int) -> None:
        node = self._node(node_id)
        node.state, node.signature = "clean", value

    skip_node = set_clean

    def commit_node(self, node_id: str, signature: int) -> None:
        node = self._node(node_id)
        self.clock = (self.clock + 1) & MASK
        node.state, node.signature, node.epoch = "clean", signature, self.clock

    def commit_input(self, node_id: str, content_hash: int) -> None:
        node = self._node(node_id)
        node.state, node.signature, node.hash = "clean", content_hash, content_hash

    # decision
    def needs_recompute(self, node_id: str, input_hash: int) -> bool:
        return self._node(node_id).signature != input_hash

    def check_node(self, node_id: str) -> tuple[str, bool, int]:
        node = self._node(node_id)
        h = SEED
        for d in node.deps:
            dep = self.nodes[d]
            value = (dep.hash or 0) if dep.kind == "input" else dep.epoch
            h = ((h ^ value) * PRIME) & MASK
        return node.kind, node.signature != h, h
