"""Draws the documentation's flow pictures with movra itself (`Flow.to_svg`),
so that the pages show them without loading anything:

    python tools/docs_figures.py          # writes docs/img/tutorial-flow.svg
    python tools/docs_figures.py --check  # fails if it is out of date

The tutorial's picture is the flow of its examples where the page shows it:
the examples before the image run (as tests/docs_examples.py runs them), then
`flow.to_svg()` draws it.  Times in the last run vary from one run to the
next, so the check compares the pictures without them.
"""
from __future__ import annotations

import contextlib
import io
import os
import re
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import docs_examples  # noqa: E402

TUTORIAL = ROOT / "docs" / "tutorial.md"
FIGURE = ROOT / "docs" / "img" / "tutorial-flow.svg"
MARKER = "](img/tutorial-flow.svg)"


def tutorial_flow_svg() -> str:
    text = TUTORIAL.read_text(encoding="utf-8")
    stop = text[:text.index(MARKER)].count("\n") + 1
    namespace: dict[str, object] = {"__name__": "__tutorial__"}
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)  # the examples write their files there
        try:
            for block in docs_examples.parse(text, str(TUTORIAL)).blocks:
                if block.line > stop:
                    break
                if block.skip or block.lang not in docs_examples.PYTHON:
                    continue
                with contextlib.redirect_stdout(io.StringIO()):
                    exec(compile(block.code, str(TUTORIAL), "exec"), namespace)
        finally:
            os.chdir(here)
    return namespace["flow"].to_svg()  # type: ignore[attr-defined, no-any-return]


def timeless(svg: str) -> str:
    return re.sub(r" · [\d.]+ (?:µs|ms|s)", "", svg)


def main() -> int:
    svg = tutorial_flow_svg()
    if "--check" in sys.argv:
        if not FIGURE.exists() or timeless(FIGURE.read_text(encoding="utf-8")) != timeless(svg):
            print(f"{FIGURE.relative_to(ROOT)} is out of date: run python tools/docs_figures.py")
            return 1
        return 0
    FIGURE.write_text(svg, encoding="utf-8")
    print(f"wrote {FIGURE.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
