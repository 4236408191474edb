"""Running a pass's nodes concurrently: on a `concurrent.futures.Executor`, or
on the running event loop for `arun()`.

Both walk the same `_Scheduler`: visit the ready nodes, start the jobs they
return, and finish each job as it completes; every kernel call stays on the
thread that drives.  If anything escapes (an interrupt, a cancelled task), the
jobs still running are cancelled and the exception propagates to the run,
which makes the flow consistent (`Pass.abandon`).
"""
from __future__ import annotations

import asyncio
import queue
from concurrent.futures import Executor, Future
from typing import Any

from ._declare import Node
from ._names import quoted
from ._run import Job, Pass, _tokens, call_and_hash, call_batch, call_node, hash_of


def _finish_batch(scheduler: Any, jobs: list[Job], outcome: Future[Any]) -> None:
    if outcome.cancelled() or outcome.exception() is not None:
        error = outcome.exception() if not outcome.cancelled() else None
        for job in jobs:
            scheduler.finish(job, None, 0, error or RuntimeError(f"{quoted(job.node.name)} was cancelled"))
        return
    for job, (value, h, error) in zip(jobs, outcome.result()):
        scheduler.finish(job, value, next(_tokens) if h is None else h, error)


def _batches(jobs: list[Job], executor: Executor) -> list[list[Job]]:
    """Ready jobs in a few batches per worker: one task per node costs a thread
    or process hand-off per node, which trivial functions cannot repay."""
    workers = getattr(executor, "_max_workers", None)
    size = max(1, len(jobs) // (4 * workers)) if isinstance(workers, int) and workers > 0 else 1
    return [jobs[k:k + size] for k in range(0, len(jobs), size)]


def drive_executor(run: Pass, executor: Executor) -> None:
    """Runs ready nodes on `executor`.  Finished tasks are handed back through
    a queue by their done-callbacks, so that waiting costs one `get` per task."""
    scheduler = run.concurrent()
    finished: queue.SimpleQueue[Future[Any]] = queue.SimpleQueue()
    running: dict[Future[Any], list[Job]] = {}
    try:
        while True:
            jobs = []
            for job in scheduler.next_jobs():
                if job.node.is_async:
                    scheduler.finish(job, None, 0, TypeError(
                        f"{quoted(job.node.name)} is an async function: run the flow with `await flow.arun()`"))
                else:
                    jobs.append(job)
            for batch in _batches(jobs, executor):
                work = [(j.node.name, j.node.func, j.node.call, j.node.hashed, j.values) for j in batch]
                try:
                    future = executor.submit(call_batch, work)  # type: ignore[arg-type]
                except Exception as error:  # a pool shut down or broken
                    for job in batch:
                        scheduler.finish(job, None, 0, error)
                    continue
                running[future] = batch
                future.add_done_callback(finished.put)
            if not running:
                if scheduler.ready:
                    continue
                return
            done = [finished.get()]
            while not finished.empty():
                done.append(finished.get_nowait())
            for future in done:
                _finish_batch(scheduler, running.pop(future), future)
    except BaseException:
        for future in running:
            future.cancel()
        raise


def _settle(run: Pass, scheduler: Any, job: Job, outcome: asyncio.Future[Any]) -> None:
    if outcome.cancelled():
        scheduler.finish(job, None, 0, RuntimeError(f"{quoted(job.node.name)} was cancelled"))
        return
    error = outcome.exception()
    if error is not None:
        scheduler.finish(job, None, 0, error)
        return
    value, h = outcome.result()
    scheduler.finish(job, value, next(_tokens) if h is None else h, None)


async def _call_and_hash_async(node: Node, values: list[Any]) -> tuple[Any, int | None]:
    value = await call_node(node.func, node.call, values)  # type: ignore[arg-type]
    return value, (hash_of(node.name, value) if node.hashed else None)


async def drive_async(run: Pass, executor: Executor | None) -> None:
    loop = asyncio.get_running_loop()
    scheduler = run.concurrent()
    running: dict[asyncio.Future[Any], Job] = {}
    try:
        while True:
            for job in scheduler.next_jobs():
                node = job.node
                if node.is_async:
                    running[asyncio.ensure_future(_call_and_hash_async(node, job.values))] = job
                elif executor is not None:
                    running[loop.run_in_executor(
                        executor, call_and_hash, node.name, node.func, node.call, node.hashed, job.values)] = job  # type: ignore[arg-type]
                else:
                    try:
                        value, h = call_and_hash(node.name, node.func, node.call, node.hashed, job.values)  # type: ignore[arg-type]
                    except Exception as error:
                        scheduler.finish(job, None, 0, error)
                    else:
                        scheduler.finish(job, value, next(_tokens) if h is None else h, None)
            if not running:
                if scheduler.ready:
                    continue
                return
            done, _ = await asyncio.wait(running, return_when=asyncio.FIRST_COMPLETED)
            for future in sorted(done, key=lambda f: scheduler.position[running[f].node.name]):
                _settle(run, scheduler, running.pop(future), future)
    except BaseException:
        for future in running:
            future.cancel()
        raise
