"""The cost of the persistent store, side by side in one run.

    python benchmarks/store.py             # needs numpy; diskcache if present
    python benchmarks/store.py --nodes 5000 --reps 7 --array-mib 128

1. Lookup and load of a small value per node, from a warm store (open, its
   pages cached), against a dict lookup, a memo hit of `Flow` (the in-memory
   path a store load replaces) and `diskcache.Cache.get` (when diskcache is
   installed: benchmarks/requirements-peers.txt).
2. Write and read throughput for an 80 MB float64 array, for each backend,
   and for the layouts the SQLite store chose between (the value in a BLOB
   column; a file beside the database with and without fsync).
3. Loading a large array (512 MiB by default) from each backend against
   `np.load` of the same array saved with `np.save`, both from the page cache.
4. The cost of a save into a full bounded DirectoryStore (each save evicts
   one entry) at 200 and at 4,000 entries: with its index in memory it does
   not grow with the store.
5. A warm start: a new flow of N trivial nodes over a store that an earlier
   flow filled; against the cold first run that filled it, and a first run
   without a store.  Trivial values are cheaper to compute than to load, so
   the store does not keep them (the warm start recomputes them); the last
   line stores every value anyway (`min_seconds=0`) to show what loading them
   would cost.

Only ratios measured in the same run are meaningful; the machine's other load
moves every figure."""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import numpy as np

import movra
from movra.store import DirectoryStore, SQLiteStore, make_key

MB = 1e6


def best_and_median(run: Callable[[], object], reps: int) -> tuple[float, float]:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def small_values(root: Path, nodes: int, reps: int) -> list[tuple[str, float]]:
    """Seconds per node for each way of getting a small value back."""
    keys = [make_key(f"node{i}", "v1", [i, 2 * i]) for i in range(nodes)]
    value = {"total": 12.5, "items": [1, 2, 3], "label": "invoice"}
    memo = dict.fromkeys(keys, value)
    rows = [("dict lookup (in-memory memo)", best_and_median(
        lambda: [memo[key] for key in keys], reps)[0] / nodes)]
    hit = flow_memo_hit(nodes, reps)
    if hit is not None:
        rows.append(("Flow memo hit", hit))
    rows.append(("make_key", best_and_median(
        lambda: [make_key(f"node{i}", "v1", [i, 2 * i]) for i in range(nodes)], reps)[0] / nodes))
    # The stores are filled first, then measured in turns, rep by rep, so that
    # the machine's other load moves each of them alike.
    stores = {"SQLiteStore": SQLiteStore(root / "SQLiteStore"),
              "DirectoryStore": DirectoryStore(root / "DirectoryStore")}
    for store in stores.values():
        for key in keys:
            store.save(key, value)
        store.flush() if hasattr(store, "flush") else None
    ways: dict[str, Callable[[], object]] = {}
    for name, store in stores.items():
        ways[f"{name}.lookup, warm"] = lambda store=store: [store.lookup(key) for key in keys]
        ways[f"{name}.contains"] = lambda store=store: [store.contains(key) for key in keys]
    try:
        import diskcache
    except ImportError:
        print("(diskcache not installed: its lookups not measured)", file=sys.stderr)
        cache = None
    else:
        cache = diskcache.Cache(str(root / "diskcache"))
        for key in keys:
            cache.set(key, value)
        ways["diskcache.Cache.get, warm"] = lambda: [cache.get(key) for key in keys]
    best = dict.fromkeys(ways, float("inf"))
    for _ in range(reps):
        for name, way in ways.items():
            best[name] = min(best[name], best_and_median(way, 1)[0])
    for store in stores.values():
        store.close()
    if cache is not None:
        cache.close()
    return rows + [(name, seconds / nodes) for name, seconds in best.items()]


def flow_memo_hit(nodes: int, reps: int) -> float | None:
    """Seconds per node of a run in which every node is a memo hit."""
    try:
        flow = movra.Flow()
        flow.input("x", 0)

        @flow.reactive
        def constant(x: int) -> int:
            return 0  # recomputed to the same value: its dependents are memo hits

        for i in range(nodes):
            flow.reactive(deps=["constant"], name=f"n{i}")(lambda constant: constant)
        flow.run()

        def one_run() -> None:
            flow.set(x=flow["x"] + 1)
            flow.run()

        return best_and_median(one_run, reps)[0] / nodes
    except Exception as error:  # the Flow API is still moving
        print(f"(Flow memo hit not measured: {error!r})", file=sys.stderr)
        return None


def large_values(root: Path, reps: int) -> list[tuple[str, float, float]]:
    """(layout, write GB/s, read GB/s) for an 80 MB array, best of `reps`."""
    array = np.random.default_rng(0).random(10_000_000)
    size = array.nbytes
    layouts: list[tuple[str, Callable[[], object]]] = [
        ("SQLiteStore (file beside, no fsync)", lambda: SQLiteStore(root / "a.db")),
        ("SQLiteStore, fsync=True", lambda: SQLiteStore(root / "b.db", fsync=True)),
        ("SQLiteStore, value in a BLOB column",
         lambda: SQLiteStore(root / "c.db", inline_limit=1 << 40)),
        ("DirectoryStore", lambda: DirectoryStore(root / "d")),
    ]
    rows = []
    for name, opener in layouts:
        with opener() as store:  # type: ignore[attr-defined]
            keys = iter(range(reps))  # a new entry each time, as a run saves new values
            write, _ = best_and_median(lambda: store.save(f"array{next(keys)}", array), reps)
            read, _ = best_and_median(lambda: store.lookup("array0"), reps)
            store.save("array", array)
            found, loaded = store.lookup("array")
            assert found and np.array_equal(loaded, array)
            store.clear()
        rows.append((name, size / write / 1e9, size / read / 1e9))
    return rows


def large_array_load(root: Path, mib: int, reps: int) -> list[tuple[str, float]]:
    """(way, seconds) to load a `mib` MiB float64 array, best of `reps`."""
    array = np.random.default_rng(0).random(mib * (1 << 20) // 8)
    np.save(root / "array.npy", array)
    rows = [("np.load", best_and_median(lambda: np.load(root / "array.npy"), reps)[0])]
    (root / "array.npy").unlink()
    for name, opener in (("SQLiteStore.lookup", lambda: SQLiteStore(root / "big.db")),
                         ("DirectoryStore.lookup", lambda: DirectoryStore(root / "big"))):
        with opener() as store:  # type: ignore[attr-defined]
            store.save("array", array)
            found, loaded = store.lookup("array")
            assert found and np.array_equal(loaded, array)
            del loaded
            rows.append((name, best_and_median(lambda: store.lookup("array"), reps)[0]))
            store.clear()
    return rows


def bounded_saves(root: Path, sizes: tuple[int, ...], saves: int, reps: int) -> list[tuple[int, float]]:
    """(entries, seconds per save) into a full bounded DirectoryStore holding
    `entries` small values: every save evicts the least recently used one."""
    rows = []
    for entries in sizes:
        with DirectoryStore(root / f"bounded-{entries}", max_bytes=entries * 4096) as store:
            for i in range(entries):
                store.save(f"fill{i}", i)
            counter = iter(range(10**9))

            def some_saves() -> None:
                for _ in range(saves):
                    store.save(f"new{next(counter)}", 0)

            some_saves()  # the first scan and eviction
            rows.append((entries, best_and_median(some_saves, reps)[0] / saves))
            assert store.info().bytes <= entries * 4096
    return rows


def warm_start(root: Path, nodes: int, reps: int) -> list[tuple[str, float]]:
    """(what, seconds) for a first run without a store, a cold one that fills the
    store, and a warm start from it, each the best of `reps` on fresh folders."""
    def chain(store: object) -> movra.Flow:
        flow = movra.Flow(store=store)
        flow.input("x", 1)
        for i in range(nodes):
            flow.reactive(deps=["x" if i == 0 else f"n{i - 1}", "x"], name=f"n{i}")(
                lambda a, x, i=i: (a * 31 + x + i) % 1_000_003)
        return flow

    timings: dict[str, list[float]] = {
        "first run, no store": [], "cold run, filling the store": [],
        "warm start (cheap values not stored)": [],
        "cold run, storing every value": [], "warm start, loading every value": []}
    for rep in range(reps):
        path = str(root / f"warm-{rep}.db")
        everything = str(root / f"all-{rep}.db")
        stores = (None, path, path, lambda: SQLiteStore(everything, min_seconds=0), everything)
        for what, store in zip(timings, stores):
            flow = chain(store() if callable(store) else store)
            started = time.perf_counter()
            report = flow.run()
            timings[what].append(time.perf_counter() - started)
            if what.startswith("warm start, loading") and len(report.loaded) != nodes:
                raise SystemExit("the warm start recomputed something")
    return [(what, min(seconds)) for what, seconds in timings.items()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nodes", type=int, default=10_000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--array-mib", type=int, default=512)
    args = parser.parse_args()
    warnings.simplefilter("error")  # a store warning would void the figures
    with tempfile.TemporaryDirectory(prefix="movra-store-bench-") as tmp:
        root = Path(tmp)
        os.chmod(root, 0o700)
        small = small_values(root, args.nodes, args.reps)
        large = large_values(root, args.reps)
        array = large_array_load(root, args.array_mib, max(3, args.reps // 2))
        bounded = bounded_saves(root, (200, 4000), 400, args.reps)
        warm = warm_start(root, args.nodes, args.reps)
    print(f"Small value, per node ({args.nodes} nodes, best of {args.reps}):")
    reference = small[0][1]
    memo_hit = dict(small).get("Flow memo hit")
    disk = dict(small).get("diskcache.Cache.get, warm")
    for name, seconds in small:
        against_memo = f"  {seconds / memo_hit:5.1f}x Flow memo hit" if memo_hit else ""
        against_disk = f"  {seconds / disk:5.2f}x diskcache.get" if disk else ""
        print(f"  {name:32s} {seconds * 1e9:9.0f} ns  {seconds / reference:7.1f}x dict"
              f"{against_memo}{against_disk}")
    print(f"\n80 MB float64 array (best of {args.reps}):")
    print(f"  {'layout':38s} {'write':>10s} {'read':>10s}")
    for name, write, read in large:
        print(f"  {name:38s} {write:6.2f} GB/s {read:6.2f} GB/s")
    print(f"\nLoading a {args.array_mib} MiB float64 array:")
    for name, seconds in array:
        print(f"  {name:32s} {seconds * 1e3:9.1f} ms  {seconds / array[0][1]:5.2f}x np.load")
    print("\nA save into a full bounded DirectoryStore (each evicts one entry):")
    for entries, seconds in bounded:
        print(f"  {entries:5d} entries {seconds * 1e6:9.1f} us  {seconds / bounded[0][1]:5.2f}x "
              f"at {bounded[0][0]}")
    print(f"\nA {args.nodes}-node flow (best of {args.reps}):")
    first = warm[0][1]
    for name, seconds in warm:
        print(f"  {name:38s} {seconds * 1e3:9.1f} ms  {seconds / first:5.2f}x the run without a store")


if __name__ == "__main__":
    main()
