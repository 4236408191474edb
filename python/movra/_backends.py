"""Backends: where a run's calls are made.

A backend only makes calls.  It takes jobs from the run (`run.ready()`:
each `(token, definition, args, kwargs)`, every decision about them already
made by the engine) and hands back each call's outcome: `run.complete(token,
value, hash)` (hash None: the engine hashes the value) or `run.fail(token,
error)`.  The inline backend is the engine's own loop (`run.run_inline()`);
this module has the executor and asyncio ones, and what they run on workers.
If anything escapes a backend (an interrupt, a cancelled task), it cancels
what it started and lets the exception through: leaving the run makes the
flow consistent.
"""
from __future__ import annotations

import asyncio
import queue
from collections.abc import Sequence
from concurrent.futures import Executor, Future
from typing import Any

from ._names import quoted
from ._support import unhashable
from .hashing import content_hash

Job = tuple[int, Any, tuple[Any, ...], "dict[str, Any] | None"]


# On workers -------------------------------------------------------------------

def call(func: Any, args: tuple[Any, ...], kwargs: dict[str, Any] | None) -> Any:
    return func(*args) if kwargs is None else func(*args, **kwargs)


def call_and_hash(name: str, func: Any, hashed: bool, args: tuple[Any, ...],
                  kwargs: dict[str, Any] | None) -> tuple[Any, int | None]:
    """A call, hashed where its value is; an unhashed value gives None."""
    value = call(func, args, kwargs)
    if not hashed:
        return value, None
    try:
        return value, content_hash(value)
    except Exception as error:
        raise unhashable(name, error) from error


def call_batch(batch: Sequence[tuple[str, Any, bool, tuple[Any, ...], dict[str, Any] | None]]
               ) -> list[tuple[Any, int | None, BaseException | None]]:
    """`call_and_hash` for several jobs in one task: (value, hash, None) or (None, None, error) each."""
    results: list[tuple[Any, int | None, BaseException | None]] = []
    for name, func, hashed, args, kwargs in batch:
        try:
            value, h = call_and_hash(name, func, hashed, args, kwargs)
        except Exception as error:
            results.append((None, None, error))
        else:
            results.append((value, h, None))
    return results


def work(job: Job) -> tuple[str, Any, bool, tuple[Any, ...], dict[str, Any] | None]:
    _, node, args, kwargs = job
    return node.name, node.func, node.hashed, args, kwargs


# Executors ---------------------------------------------------------------------

def _batches(jobs: list[Job], executor: Executor) -> list[list[Job]]:
    """Ready jobs in a few batches per worker: one task per job costs a thread
    or process hand-off each, which trivial functions cannot repay."""
    workers = getattr(executor, "_max_workers", None)
    size = max(1, len(jobs) // (4 * workers)) if isinstance(workers, int) and workers > 0 else 1
    return [jobs[k:k + size] for k in range(0, len(jobs), size)]


def drive_executor(run: Any, executor: Executor) -> None:
    """Runs jobs on `executor`.  Finished tasks come back through a queue fed
    by their done-callbacks, so waiting costs one `get` per task."""
    finished: queue.SimpleQueue[Future[Any]] = queue.SimpleQueue()
    running: dict[Future[Any], list[Job]] = {}

    def submit(batch: list[Job]) -> None:
        try:
            future = executor.submit(call_batch, [work(job) for job in batch])
        except Exception as error:  # a pool shut down or broken
            for job in batch:
                run.fail(job[0], error)
            return
        running[future] = batch
        future.add_done_callback(finished.put)

    try:
        while True:
            for batch in _batches(run.ready(), executor):
                submit(batch)
            if not running:
                if run.finished:
                    return
                continue
            done = [finished.get()]
            while not finished.empty():
                done.append(finished.get_nowait())
            for future in done:
                batch = running.pop(future)
                if future.cancelled() or future.exception() is not None:
                    if len(batch) > 1:  # one job's function may not pickle: each alone finds which
                        for job in batch:
                            submit([job])
                        continue
                    error = future.exception() if not future.cancelled() else None
                    run.fail(batch[0][0], error or RuntimeError(f"{quoted(batch[0][1].name)} was cancelled"))
                    continue
                for job, (value, h, error) in zip(batch, future.result()):
                    if error is None:
                        run.complete(job[0], value, h)
                    else:
                        run.fail(job[0], error)
    except BaseException:
        for future in running:
            future.cancel()
        raise


# asyncio -----------------------------------------------------------------------

async def _call_async(node: Any, args: tuple[Any, ...], kwargs: dict[str, Any] | None) -> tuple[Any, int | None]:
    value = await call(node.func, args, kwargs)
    if not node.hashed:
        return value, None
    try:
        return value, content_hash(value)
    except Exception as error:
        raise unhashable(node.name, error) from error


async def drive_async(run: Any, executor: Executor | None) -> None:
    """`async def` nodes run concurrently on the running loop; plain ones
    inline, or on `executor`."""
    loop = asyncio.get_running_loop()
    running: dict[asyncio.Future[Any], int] = {}
    try:
        while True:
            for job in run.ready():
                token, node, args, kwargs = job
                if node.is_async:
                    running[asyncio.ensure_future(_call_async(node, args, kwargs))] = token
                elif executor is not None:
                    running[loop.run_in_executor(executor, call_and_hash, *work(job))] = token
                else:
                    try:
                        value, h = call_and_hash(*work(job))
                    except Exception as error:
                        run.fail(token, error)
                    else:
                        run.complete(token, value, h)
            if not running:
                if run.finished:
                    return
                continue
            done, _ = await asyncio.wait(running, return_when=asyncio.FIRST_COMPLETED)
            for future in sorted(done, key=running.__getitem__):
                token = running.pop(future)
                if future.cancelled():
                    run.fail(token, RuntimeError("the call was cancelled"))
                elif (raised := future.exception()) is not None:
                    if not isinstance(raised, Exception):
                        raise raised
                    run.fail(token, raised)
                else:
                    value, h = future.result()
                    run.complete(token, value, h)
    except BaseException:
        for future in running:
            future.cancel()
        raise
