"""What a run tells while it runs: one event per node decision, delivered to hooks.

A hook is any callable taking an `Event`.  Hooks are registered on a flow
(`flow.add_hook(hook)`, which returns a handle whose `cancel()` removes it) or
given to one run (`flow.run(hooks=[...])`).  Built on them: `progress=True`
(a tqdm bar) and `log_events` (the "movra" logger).

Node events, in the order a node's decision makes them:

- ``start``: its function is about to be called (on whatever backend);
- ``finish``: it returned a new value (`seconds` is the time it took);
- ``cut_off``: it returned a value of the same content as before (`seconds`);
- ``loaded``: its value came from the store instead (`seconds`);
- ``memo_hit``: nothing it depends on changed, so it did not run;
- ``failed``: its function, or the hashing of its value, raised (`error`;
  `seconds` when the run timed the attempt, else None);
- ``blocked``: not run because something it depends on failed.

Every node the run settles gives exactly one of the last six; ``start`` comes
before ``finish``, ``cut_off`` and most ``failed``.  Inputs give no event.
Around them, ``run_start`` (`total`: the computed nodes the run settles) and
``run_end`` (`report`: the run's `Report`, also after a failure) have no node.

Events are delivered on the thread that drives the run, in the order the run
decides, whatever the backend.  A hook that raises is reported like a watch
callback (a RuntimeWarning, and an entry in `report.callback_errors`) and
undoes nothing: the run goes on, and the other hooks still get the event.
"""
from __future__ import annotations

import logging
import warnings
from collections.abc import Callable, Iterable
from typing import Any, Literal

from ._names import quoted

__all__ = ["Event", "HookHandle", "log_events", "progress_bar"]

EventKind = Literal["start", "finish", "cut_off", "loaded", "memo_hit", "failed", "blocked",
                    "run_start", "run_end"]
SETTLED = frozenset({"finish", "cut_off", "loaded", "memo_hit", "failed", "blocked"})

Hook = Callable[["Event"], Any]


class Event:
    """One decision of a run about one node, or the start or end of the run.

    `kind` is "start" (the node's function is about to be called), "finish"
    (it gave a new value), "cut_off" (it gave a value of the same content),
    "loaded" (from the store), "memo_hit" (nothing it depends on changed),
    "failed" or "blocked" (a dependency failed); "run_start" and "run_end"
    have no node.  `seconds` is the time a node took (or the whole run's, at
    "run_end"); `error` the exception of a failure; `total` the number of
    computed nodes a run settles (at "run_start"); `report` the run's `Report`
    (at "run_end", also after a failure).  Every node a run settles gives
    exactly one of "finish", "cut_off", "loaded", "memo_hit", "failed" and
    "blocked"; inputs give no event."""

    __slots__ = ("kind", "node", "seconds", "error", "total", "report")

    def __init__(self, kind: EventKind, node: str | None = None, seconds: float | None = None,
                 error: BaseException | None = None, total: int | None = None, report: Any = None) -> None:
        self.kind, self.node, self.seconds, self.error = kind, node, seconds, error
        self.total, self.report = total, report

    def __repr__(self) -> str:
        parts = [repr(self.kind)] + [f"{k}={getattr(self, k)!r}" for k in ("node", "seconds", "error", "total")
                                     if getattr(self, k) is not None]
        return f"Event({', '.join(parts)})"


class HookHandle:
    """A hook registered by `Flow.add_hook`; `cancel()` removes it."""

    def __init__(self, hooks: list[Hook], hook: Hook) -> None:
        self._hooks, self.hook = hooks, hook

    def cancel(self) -> None:
        if self.hook in self._hooks:
            self._hooks.remove(self.hook)


class Emitter:
    """The hooks of one run.  The run loop calls it once per decision:
    `emit(kind, name, seconds=None, error=None)`."""

    __slots__ = ("hooks", "errors")

    def __init__(self, hooks: list[Hook]) -> None:
        self.hooks = hooks
        self.errors: list[tuple[str, BaseException]] = []

    def __call__(self, kind: EventKind, name: str | None, seconds: float | None = None,
                 error: BaseException | None = None) -> None:
        self.deliver(Event(kind, name, seconds, error))

    def deliver(self, event: Event) -> None:
        for hook in self.hooks:
            try:
                hook(event)
            except Exception as raised:
                self.errors.append((event.node or "", raised))
                warnings.warn(f"a hook raised {type(raised).__name__} on a {event.kind} event: {raised}",
                              RuntimeWarning, stacklevel=2)

    def begin(self, total: int) -> None:
        self.deliver(Event("run_start", total=total))

    def end(self, report: Any) -> None:
        """Delivers `run_end`; the hooks' errors go into the report."""
        self.deliver(Event("run_end", seconds=report.total_seconds, report=report))
        report.callback_errors.extend(self.errors)
        self.errors = []


def emitter(registered: Iterable[Hook], hooks: Iterable[Hook] | None, progress: bool) -> Emitter | None:
    """The run's emitter, or None when nothing listens (the run loop then
    skips every event with one test)."""
    every = list(registered)
    if hooks is not None:
        if callable(hooks):
            raise TypeError("hooks must be a list of callables, not a callable: hooks=[hook]")
        for hook in hooks:
            if not callable(hook):
                raise TypeError(f"a hook must be callable, not {type(hook).__qualname__}")
            every.append(hook)
    if progress:
        every.append(progress_bar())
    return Emitter(every) if every else None


# Built on events -----------------------------------------------------------------

def progress_bar(**options: Any) -> Hook:
    """A hook that shows a tqdm bar over the nodes each run settles
    (`tqdm.auto`: a widget in notebooks).  `options` go to tqdm."""
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm") from None
    state: dict[str, Any] = {}

    def hook(event: Event) -> None:
        kind = event.kind
        if kind in SETTLED:
            bar = state.get("bar")
            if bar is not None:
                bar.update(1)
        elif kind == "run_start":
            state["bar"] = tqdm(total=event.total, unit="node", desc="movra", **options)
        elif kind == "run_end":
            bar = state.pop("bar", None)
            if bar is not None:
                failed = len(event.report.failed)
                if failed:
                    bar.set_postfix_str(f"{failed} failed", refresh=False)
                bar.close()

    return hook


_logger = logging.getLogger("movra")

_VERBS = {"start": "started", "finish": "computed", "cut_off": "cut off (same content)",
          "loaded": "loaded from the store", "memo_hit": "memo hit", "failed": "failed",
          "blocked": "blocked (a dependency failed)"}


def log_events(event: Event) -> None:
    """A hook that logs to the "movra" logger: one line per settled node at
    DEBUG, a summary of each run at INFO (`flow.add_hook(movra.log_events)`)."""
    kind = event.kind
    if kind == "run_end":
        if _logger.isEnabledFor(logging.INFO):
            report = event.report
            _logger.info("run of %.3f s: %d recomputed, %d cut off, %d loaded, %d memo hits, %d failed, "
                         "%d blocked", report.total_seconds, len(report.recomputed), len(report.cut_off),
                         len(report.loaded), len(report.memo_hits), len(report.failed), len(report.blocked))
        return
    if kind not in SETTLED or not _logger.isEnabledFor(logging.DEBUG):
        return
    line = f"{quoted(event.node or '')} {_VERBS[kind]}"
    if event.seconds is not None:
        line += f" in {event.seconds * 1e3:.3f} ms"
    if event.error is not None:
        line += f": {type(event.error).__name__}: {event.error}"
    _logger.debug("%s", line)
