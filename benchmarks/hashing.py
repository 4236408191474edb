"""Benchmarks of movra.content_hash against its goals, side by side with
hash() and with plain hashes of the same bytes.

    python benchmarks/hashing.py            # needs numpy; xxhash and pandas optional
    python benchmarks/hashing.py --reps 7

Times are the best of --reps runs; extra memory is the rise of the process's
peak resident size during one call (Linux), which counts native allocations
that tracemalloc does not see."""
from __future__ import annotations

import argparse
import gc
import hashlib
import time
import timeit
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from movra import content_hash

try:
    import xxhash
except ImportError:  # pragma: no cover - optional comparison
    xxhash = None
try:
    import pandas as pd
except ImportError:  # pragma: no cover - optional case
    pd = None

MB = 1024 * 1024


def per_call_ns(stmt: str, namespace: dict[str, Any], reps: int, number: int = 1_000_000) -> float:
    return min(timeit.repeat(stmt, globals=namespace, number=number, repeat=reps)) / number * 1e9


def best_seconds(call: Callable[[], Any], reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        gc.collect()
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def peak_extra_mib(call: Callable[[], Any]) -> float:
    """How far one call raises resident memory above where it started."""
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak (VmHWM) to now
    before = status_kib("VmRSS")
    call()
    return (status_kib("VmHWM") - before) / 1024


def row(name: str, figure: str, goal: str, versus: str = "") -> None:
    print(f"{name:<38} {figure:>14}  {goal:<22} {versus}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    reps = parser.parse_args().reps
    ns: dict[str, Any] = {"content_hash": content_hash, "n": 123_456, "s": "short str"}

    print(f"{'measure':<38} {'figure':>14}  {'goal':<22} comparison")
    t = per_call_ns("content_hash(n)", ns, reps)
    row("content_hash of an int", f"{t:.0f} ns", "<= 80 ns", f"hash(): {per_call_ns('hash(n)', ns, reps):.0f} ns")
    t = per_call_ns("content_hash(s)", ns, reps)
    row("content_hash of a short str", f"{t:.0f} ns", "<= 80 ns", f"hash(): {per_call_ns('hash(s)', ns, reps):.0f} ns")

    ints = list(range(1_000_000))
    t = best_seconds(lambda: content_hash(ints), reps)
    row("content_hash of a list of 1M ints", f"{t * 1e3:.1f} ms", "<= 30 ms",
        f"+{peak_extra_mib(lambda: content_hash(ints)):.1f} MiB peak")

    mapping = {f"k{i}": i for i in range(1_000_000)}
    t = best_seconds(lambda: content_hash(mapping), reps)
    row("content_hash of a dict of 1M str: int", f"{t * 1e3:.1f} ms", "(in insertion order)",
        f"+{peak_extra_mib(lambda: content_hash(mapping)):.1f} MiB peak")

    array = np.random.default_rng(1).random(100 * MB // 8)
    t = best_seconds(lambda: content_hash(array), reps)
    extra = peak_extra_mib(lambda: content_hash(array))
    row("content_hash of a 100 MB array", f"{array.nbytes / t / 1e9:.2f} GB/s", ">= 5 GB/s, O(1) memory",
        f"{t * 1e3:.1f} ms, +{extra:.1f} MiB peak")
    if xxhash is not None:
        t = best_seconds(lambda: xxhash.xxh64_intdigest(memoryview(array).cast("B")), reps)
        row("  xxhash.xxh64 of its buffer", f"{array.nbytes / t / 1e9:.2f} GB/s", "(the machine's XXH64)")
    t = best_seconds(lambda: hashlib.blake2b(memoryview(array).cast("B"), digest_size=8).digest(), reps)
    row("  hashlib.blake2b of its buffer", f"{array.nbytes / t / 1e9:.2f} GB/s", "(the former hash)")

    strided = np.random.default_rng(2).random(((2 * 100 * MB // 8) // 1024, 1024))[:, ::2]
    t = best_seconds(lambda: content_hash(strided), reps)
    extra = peak_extra_mib(lambda: content_hash(strided))
    row("content_hash of a strided 100 MB view", f"{strided.nbytes / t / 1e9:.2f} GB/s", "O(1) memory",
        f"+{extra:.1f} MiB peak")

    if pd is not None:
        rng = np.random.default_rng(3)
        frame = pd.DataFrame({f"c{i}": rng.random(1_000_000) for i in range(8)})
        frame["k"] = rng.integers(0, 100, 1_000_000)
        t = best_seconds(lambda: content_hash(frame), reps)
        row("content_hash of a 1M-row, 9-column frame", f"{t * 1e3:.1f} ms", "",
            f"{frame.memory_usage(index=True).sum() / t / 1e9:.2f} GB/s, "
            f"+{peak_extra_mib(lambda: content_hash(frame)):.1f} MiB peak")


if __name__ == "__main__":
    main()
