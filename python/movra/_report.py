"""What a run did (`Report`), what went wrong (`FlowError`) and why a node is
or is not recomputed (`Explanation`)."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Literal

from ._names import listed, quoted


@dataclass
class Report:
    """What one `run()` did, node by node; each list is in topological order.

    Attributes:
        inputs: Inputs whose new value the run committed.
        recomputed: Nodes whose function ran and gave a new value.
        loaded: Nodes whose value came from the store instead of their function.
        cut_off: Nodes whose function ran and gave a value of the same content as
            before, so that their dependents were spared.
        memo_hits: Nodes that did not need to run: nothing they depend on changed.
        failed: Node name -> the exception its function (or the hashing of its
            value) raised. The node keeps its previous value and stays dirty.
        blocked: Nodes not run because something they depend on failed.
        seconds: Time spent in each node's function, or in loading its value.
        total_seconds: The whole run.
        callback_errors: (node, exception) for each `watch` callback that raised;
            a callback never undoes the run.
    """

    inputs: list[str] = field(default_factory=list)
    recomputed: list[str] = field(default_factory=list)
    loaded: list[str] = field(default_factory=list)
    cut_off: list[str] = field(default_factory=list)
    memo_hits: list[str] = field(default_factory=list)
    failed: dict[str, BaseException] = field(default_factory=dict)
    blocked: list[str] = field(default_factory=list)
    seconds: dict[str, float] = field(default_factory=dict)
    total_seconds: float = 0.0
    callback_errors: list[tuple[str, BaseException]] = field(default_factory=list)

    def __str__(self) -> str:
        def names(items: list[str]) -> str:
            return ", ".join(items) if items else "-"

        timed = [f"{n} ({_duration(self.seconds[n])})" if n in self.seconds else n for n in self.recomputed]
        lines = [
            f"run of {_duration(self.total_seconds)}",
            f"  inputs      {names(self.inputs)}",
            f"  recomputed  {names(timed)}",
            f"  cut off     {names(self.cut_off)}",
            f"  memo hits   {names(self.memo_hits)}",
        ]
        if self.loaded:
            lines.append(f"  loaded      {names(self.loaded)}")
        if self.failed:
            lines.append("  failed      " + ", ".join(
                f"{n} ({type(e).__name__}: {e})" for n, e in self.failed.items()))
        if self.blocked:
            lines.append(f"  not run     {names(self.blocked)} (upstream failure)")
        return "\n".join(lines)


def _duration(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


class FlowError(Exception):
    """At least one node failed during a run.

    Everything else that could run did, and its results are kept; failed and
    blocked nodes keep their previous values, stay dirty and are retried by the
    next run.  `report` tells what happened; the first failure is this
    exception's cause."""

    def __init__(self, report: Report) -> None:
        super().__init__(f"{len(report.failed)} node(s) failed: {listed(report.failed)}")
        self.report = report


Verdict = Literal["never computed", "would recompute", "up to date", "new value", "no value"]


@dataclass
class Explanation:
    """Why the next run would recompute a node, or why it would not.

    Attributes:
        node: The node explained.
        verdict: "never computed", "would recompute" or "up to date" for a
            computed node; "new value" (set, not yet committed by a run),
            "up to date" or "no value" for an input.
        changed: Dependencies that changed, or will, since the node's last
            computation.
        causes: The inputs, refreshed sources, redefined and failed nodes behind
            those changes.
        last_run_changed: The dependencies whose change made its last
            computation necessary.
        from_store: Whether its next value is already in the flow's store, so
            that the next run loads it instead of calling the function.
        kind: The node's kind.
    """

    node: str
    verdict: Verdict
    changed: list[str]
    causes: list[str]
    last_run_changed: list[str]
    from_store: bool = False
    kind: str = "reactive"

    def __str__(self) -> str:
        name = quoted(self.node)
        if self.verdict == "new value":
            return f"{name} is an input with a new value, which the next run commits"
        if self.verdict == "no value":
            return f"{name} is an input without a value: give it one with flow.set"
        if self.verdict == "never computed" and self.from_store:
            return f"{name} has never been computed here: the next run loads its value from the store"
        if self.verdict == "never computed":
            text = f"{name} has never been computed: the next run computes it"
        elif self.verdict == "would recompute":
            what = f"{listed(self.changed)} changed or may change" if self.changed else "it must run again"
            text = (f"{name} would recompute: {what} (because of {listed(self.causes)}), "
                    "unless the change is cut off on the way")
        elif self.kind == "input":
            return f"{name} is an input; the last run committed its value"
        else:
            text = f"{name} is up to date: none of its dependencies changed since it was computed"
        if self.from_store:
            text += "; the next run loads its value from the store instead of calling it"
        if self.last_run_changed:
            text += f"; it was last recomputed because {listed(self.last_run_changed)} changed"
        return text
