"""What a run did (`Report`), what went wrong (`FlowError`) and why a node is
or is not recomputed (`Explanation`)."""
from __future__ import annotations

import html
from dataclasses import dataclass, field
from typing import Any, Literal

from ._messages import describe, flow_error
from ._names import listed, quoted


@dataclass
class Report:
    """What one `run()` did, node by node; each list is in topological order.
    In a notebook it shows as a table (node, outcome, time, cause)."""

    inputs: list[str] = field(default_factory=list)
    """Inputs whose new value the run committed."""
    recomputed: list[str] = field(default_factory=list)
    """Nodes whose function ran and gave a new value."""
    loaded: list[str] = field(default_factory=list)
    """Nodes whose value came from the store instead of their function."""
    cut_off: list[str] = field(default_factory=list)
    """Nodes whose function ran and gave a value of the same content as before,
    so that their dependents were spared."""
    memo_hits: list[str] = field(default_factory=list)
    """Nodes that did not need to run: nothing they depend on changed."""
    failed: dict[str, BaseException] = field(default_factory=dict)
    """Node name -> the exception its function (or the hashing of its value)
    raised, with its `__traceback__`. The node keeps its previous value and
    stays dirty."""
    blocked: list[str] = field(default_factory=list)
    """Nodes not run because something they depend on failed."""
    seconds: dict[str, float] = field(default_factory=dict)
    """Time spent in each node's function, or in loading its value."""
    total_seconds: float = 0.0
    """The whole run."""
    callback_errors: list[tuple[str, BaseException]] = field(default_factory=list)
    """(node, exception) for each `watch` callback or hook that raised; neither
    ever undoes the run."""

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
        if self.callback_errors:
            lines.append("  callbacks   " + ", ".join(
                f"{n or 'hook'} ({describe(e)})" for n, e in self.callback_errors))
        return "\n".join(lines)

    def rows(self) -> list[tuple[str, str, float | None, str]]:
        """(node, outcome, seconds, cause) for each node of the run: failures
        first, then blocked nodes, then the others, slowest first."""
        seconds = self.seconds
        out: list[tuple[str, str, float | None, str]] = [
            (n, "failed", seconds.get(n), describe(e)) for n, e in self.failed.items()]
        out += [(n, "blocked", None, "a dependency failed") for n in self.blocked]
        timed = [(n, "recomputed") for n in self.recomputed] + [(n, "cut off") for n in self.cut_off] + [
            (n, "loaded") for n in self.loaded]
        timed.sort(key=lambda item: -seconds.get(item[0], 0.0))
        out += [(n, outcome, seconds.get(n), "") for n, outcome in timed]
        out += [(n, "memo hit", None, "") for n in self.memo_hits]
        out += [(n, "input", None, "") for n in self.inputs]
        return out

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(str(self))

    def _repr_html_(self, limit: int = 100) -> str:
        """A table of the run's nodes (the first `limit`), each with its outcome,
        its time as a bar and, for a failure, its cause."""
        rows = self.rows()
        longest = max((s for _, _, s, _ in rows if s), default=0.0) or 1.0
        body = []
        for name, outcome, seconds, cause in rows[:limit]:
            colour = _OUTCOME_COLOURS.get(outcome, "#868e96")
            bar = ""
            if seconds is not None:
                width = max(1, round(120 * seconds / longest))
                bar = (f'<span style="display:inline-block;width:{width}px;height:0.8em;'
                       f'background:{colour};vertical-align:middle"></span> {_duration(seconds)}')
            body.append(
                f"<tr><td style=\"padding:0.1em 0.6em;text-align:left\"><code>{html.escape(name)}</code></td>"
                f'<td style="padding:0.1em 0.6em;text-align:left;color:{colour}">{outcome}</td>'
                f'<td style="padding:0.1em 0.6em;text-align:left;white-space:nowrap">{bar}</td>'
                f'<td style="padding:0.1em 0.6em;text-align:left">{html.escape(cause)}</td></tr>')
        more = (f'<tr><td colspan="4" style="padding:0.1em 0.6em;text-align:left">… and {len(rows) - limit} more</td></tr>'
                if len(rows) > limit else "")
        counts = ", ".join(f"{len(v)} {k}" for k, v in [
            ("recomputed", self.recomputed), ("cut off", self.cut_off), ("loaded", self.loaded),
            ("memo hits", self.memo_hits), ("failed", self.failed), ("blocked", self.blocked)] if v)
        return (f'<div class="movra-report"><p><b>movra run</b> of {_duration(self.total_seconds)}'
                f"{': ' + counts if counts else ''}</p>"
                '<table><thead><tr><th style="padding:0.1em 0.6em;text-align:left">node</th><th style="padding:0.1em 0.6em;text-align:left">outcome'
                '</th><th style="padding:0.1em 0.6em;text-align:left">seconds</th><th style="padding:0.1em 0.6em;text-align:left">cause</th></tr>'
                f"</thead><tbody>{''.join(body)}{more}</tbody></table></div>")


_OUTCOME_COLOURS = {"failed": "#c92a2a", "blocked": "#862e9c", "recomputed": "#1c7ed6", "cut off": "#2b8a3e",
                    "loaded": "#5c940d", "memo hit": "#868e96", "input": "#495057"}


def _duration(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


class FlowError(Exception):
    """At least one node failed during a run.

    Everything else that could run did, and its results are kept; failed and
    blocked nodes keep their previous values, stay dirty and are retried by the
    next run.  `report` tells what happened; the first failure is this
    exception's cause."""

    def __init__(self, report: Report) -> None:
        super().__init__(flow_error(report.failed))
        self.report = report


FlowError.__module__ = "movra"  # as users import it and see it in tracebacks


Verdict = Literal["never computed", "would recompute", "up to date", "new value", "no value"]


@dataclass
class Explanation:
    """Why the next run would recompute a node, or why it would not.  Its
    text (`str`) says it in a sentence; in a notebook it shows as a table."""

    node: str
    """The node explained."""
    verdict: Verdict
    """"never computed", "would recompute" or "up to date" for a computed
    node; "new value" (set, not yet committed by a run), "up to date" or "no
    value" for an input."""
    changed: list[str]
    """Dependencies that changed, or will, since the node's last computation."""
    causes: list[str]
    """The inputs, refreshed sources, redefined and failed nodes behind those
    changes."""
    last_run_changed: list[str]
    """The dependencies whose change made its last computation necessary."""
    from_store: bool = False
    """Whether its next value is already in the flow's store, so that the next
    run loads it instead of calling the function."""
    kind: str = "reactive"
    """The node's kind."""
    reason: str = ""
    """Why the node itself must run again, apart from its dependencies: "its
    code changed", "it was refreshed", "its last run failed", "its last run
    was interrupted"; empty otherwise."""

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
            others = [c for c in self.causes if c != self.node]
            parts = [self.reason] if self.reason else []
            if self.changed:
                because = f" (because of {listed(others)})" if others else ""
                parts.append(f"{listed(self.changed)} changed or may change{because}")
            text = f"{name} would recompute: {', and '.join(parts) or 'it must run again'}"
            if self.changed:
                text += ", unless the change is cut off on the way"
        elif self.kind == "input":
            return f"{name} is an input; the last run committed its value"
        else:
            text = f"{name} is up to date: none of its dependencies changed since it was computed"
        if self.from_store:
            text += "; the next run loads its value from the store instead of calling it"
        if self.last_run_changed:
            text += f"; it was last recomputed because {listed(self.last_run_changed)} changed"
        return text

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(str(self))

    def _repr_html_(self) -> str:
        colour = {"would recompute": "#e8590c", "never computed": "#e8590c", "new value": "#e8590c",
                  "up to date": "#2b8a3e", "no value": "#c92a2a"}[self.verdict]
        rows = [("verdict", f'<b style="color:{colour}">{self.verdict}</b>')]
        rows += [(label, html.escape(text)) for label, text in [
            ("reason", self.reason), ("changed", listed(self.changed)), ("causes", listed(self.causes)),
            ("last recomputed for", listed(self.last_run_changed)),
            ("from the store", "yes" if self.from_store else "")] if text]
        table = "".join(f'<tr><th style="padding:0.1em 0.6em;text-align:left">{label}</th><td style="padding:0.1em 0.6em;text-align:left">{text}</td></tr>'
                        for label, text in rows)
        return (f'<div class="movra-explanation"><p><code>{html.escape(self.node)}</code> '
                f"({html.escape(self.kind)}): {html.escape(str(self))}</p><table>{table}</table></div>")
