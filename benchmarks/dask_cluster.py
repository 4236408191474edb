"""A flow on a local Dask cluster of two worker processes against the same flow inline.

    python benchmarks/dask_cluster.py              # 200 nodes of ~50 ms, overheads, 3 repetitions
    python benchmarks/dask_cluster.py --reps 5 --nodes 400 --ms 25
    python benchmarks/dask_cluster.py --compare-hash-transport  # two ways for hashes to come back

Measures, each a median of `--reps` full recomputations (the seed input changes
before each, so every node runs):
1. the wide graph: `--nodes` CPU-bound nodes of about `--ms` ms in four layers
   (each node of a layer depends on two of the previous one), inline and on the
   cluster; the speedup goal on two cores is 1.7x;
2. the cluster's per-node overhead for trivial nodes: 1,000 of them side by
   side (throughput), and a chain of 100 (latency: every node waits for the
   previous one's hash); the goal is under 2 ms.

`--compare-hash-transport` measures, on plain Dask, the two ways a hash can
reach the driver: a second task hashing the value, whose result is gathered,
or an event sent by the value's own task (movra's choice)."""
from __future__ import annotations

import argparse
import queue
import statistics
import time
import uuid
from collections.abc import Callable
from typing import Any

from distributed import Client, LocalCluster, get_worker

from movra import Flow


def burn(loops: int, *args: int) -> int:
    """About as long as calibrated, in pure Python, so that threads would not help."""
    acc = sum(args)
    for i in range(loops):
        acc = (acc * 31 + i) & 0xFFFF
    return acc


def calibrate(ms: float) -> int:
    loops = 100_000
    while True:
        started = time.perf_counter()
        burn(loops, 1)
        took = time.perf_counter() - started
        if took > 0.02:
            return int(loops * ms / 1e3 / took)
        loops *= 2


def wide_flow(nodes: int, loops: int) -> Flow:
    flow = Flow()
    flow.input("seed", 0)
    layers, width = 4, nodes // 4
    previous = ["seed"]
    for layer in range(layers):
        names = []
        for k in range(width):
            deps = sorted({previous[k % len(previous)], previous[(k * 7 + 1) % len(previous)]})
            name = f"n{layer}_{k}"
            flow.reactive(deps=deps, name=name)(lambda *a, loops=loops: burn(loops, *a))
            names.append(name)
        previous = names
    return flow


def trivial_wide(count: int) -> Flow:
    flow = Flow()
    flow.input("seed", 0)
    for k in range(count):
        flow.reactive(deps=["seed"], name=f"t{k}")(lambda s, k=k: s + k)
    return flow


def trivial_chain(count: int) -> Flow:
    flow = Flow()
    flow.input("seed", 0)
    previous = "seed"
    for k in range(count):
        flow.reactive(deps=[previous], name=f"c{k}")(lambda s: s + 1)
        previous = f"c{k}"
    return flow


def timed_side_by_side(make: Callable[[], Flow], client: Any, reps: int) -> tuple[float, float]:
    """The median times of a full recomputation inline and on the cluster.
    The two alternate, so that a busy spell of the machine hits both; the first
    runs, which compute everything for the first time, are left out."""
    flows = {None: make(), client: make()}
    for executor, flow in flows.items():
        flow.run(executor=executor)
    times: dict[Any, list[float]] = {None: [], client: []}
    for rep in range(reps):
        for executor, flow in flows.items():
            flow.set(seed=rep + 1)
            started = time.perf_counter()
            report = flow.run(executor=executor)
            times[executor].append(time.perf_counter() - started)
            assert len(report.recomputed) + len(report.cut_off) == len(flow) - 1, report
    return statistics.median(times[None]), statistics.median(times[client])


def _plus_one(x: int) -> int:
    return x + 1


def _hash_of(value: int) -> int:
    return hash(value)


def _plus_one_sending_hash(topic: str, key: str, x: int) -> int:
    value = x + 1
    get_worker().log_event(topic, [key, hash(value)])
    return value


def compare_hash_transport(client: Any, count: int = 1000, chain: int = 50) -> None:
    """Plain Dask, two ways for a hash to reach the driver: a second task whose
    result is gathered, or an event sent by the value's own task (what movra does)."""
    inbox: queue.SimpleQueue[Any] = queue.SimpleQueue()
    client.subscribe_topic("hash-transport", lambda event: inbox.put(event[1]))
    tag = uuid.uuid4().hex

    started = time.perf_counter()
    values = client.map(_plus_one, range(count), key=[f"v-{tag}-{i}" for i in range(count)], pure=False)
    hashes = client.map(_hash_of, values, key=[f"h-{tag}-{i}" for i in range(count)], pure=False)
    done: queue.SimpleQueue[Any] = queue.SimpleQueue()
    for h in hashes:
        h.add_done_callback(done.put)
    received = 0
    while received < count:
        batch = [done.get()]
        while not done.empty():
            batch.append(done.get())
        client.gather(batch)
        received += len(batch)
    two_tasks = time.perf_counter() - started

    started = time.perf_counter()
    keys = [f"e-{tag}-{i}" for i in range(count)]
    futures = client.map(_plus_one_sending_hash, ["hash-transport"] * count, keys, range(count), key=keys,
                         pure=False)  # held: a released task is cancelled
    for _ in range(count):
        inbox.get()
    del futures
    event = time.perf_counter() - started
    print(f"side by side ({count}): hash task + gather {1e3 * two_tasks / count:.2f} ms per node, "
          f"hash event {1e3 * event / count:.2f} ms per node")

    started, previous = time.perf_counter(), 0
    for i in range(chain):
        value = client.submit(_plus_one, previous, key=f"cv-{tag}-{i}")
        h = client.submit(_hash_of, value, key=f"ch-{tag}-{i}")
        h.result()
        previous = value
    two_tasks = time.perf_counter() - started
    started, previous = time.perf_counter(), 0
    for i in range(chain):
        key = f"ce-{tag}-{i}"
        previous = client.submit(_plus_one_sending_hash, "hash-transport", key, previous, key=key)
        inbox.get()
    event = time.perf_counter() - started
    print(f"in a chain ({chain}): hash task + gather {1e3 * two_tasks / chain:.2f} ms per node, "
          f"hash event {1e3 * event / chain:.2f} ms per node")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=200)
    parser.add_argument("--ms", type=float, default=50.0)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--compare-hash-transport", action="store_true")
    args = parser.parse_args()

    loops = calibrate(args.ms)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        if args.compare_hash_transport:
            compare_hash_transport(client)
            return
        inline, remote = timed_side_by_side(lambda: wide_flow(args.nodes, loops), client, args.reps)
        print(f"wide graph, {args.nodes} nodes of ~{args.ms:g} ms: inline {inline:.2f} s, "
              f"2-worker cluster {remote:.2f} s, speedup {inline / remote:.2f}x (goal >= 1.7x)")

        wide = 1000
        inline, remote = timed_side_by_side(lambda: trivial_wide(wide), client, args.reps)
        print(f"trivial nodes side by side ({wide}): {1e3 * (remote - inline) / wide:.2f} ms per node "
              f"on the cluster beyond inline (goal < 2 ms)")

        chain = 100
        inline, remote = timed_side_by_side(lambda: trivial_chain(chain), client, args.reps)
        print(f"trivial nodes in a chain ({chain}): {1e3 * (remote - inline) / chain:.2f} ms per node "
              "on the cluster beyond inline (each waits for the previous one's hash)")

if __name__ == "__main__":
    main()
