"""Runs the code examples of the documentation pages.

A page's examples run in order in one namespace, as a reader would type them:
- a ```python block is executed; a ```pycon block (">>>" prompts) is run as a
  doctest;
- a block fenced ```text title="Output" right after a Python block is what
  that block prints, compared exactly;
- `<!-- docs-test: skip: REASON -->` on the lines just before a Python block
  leaves it out; the reason is required;
- a `::: dotted.name` line (an API reference rendered from doc strings) runs
  the doctests of that object and its members.
Anything the rules cannot place (a skip marker before prose, an Output block
after prose, a fence left open) is an error rather than an example silently
left unchecked.
"""
from __future__ import annotations

import contextlib
import doctest
import importlib
import io
import re
from dataclasses import dataclass
from pathlib import Path

PYTHON = {"python", "py", "python3"}
PYCON = {"pycon"}
FENCE = re.compile(r"^(?P<indent> *)(?P<fence>`{3,}|~{3,})\s*(?P<lang>[\w+-]*)(?P<attrs>.*)$")
SKIP = re.compile(r"^\s*<!--\s*docs-test:\s*skip\b:?(?P<reason>.*?)-->\s*$")
REFERENCE = re.compile(r"^:::\s+(?P<name>[\w.]+)\s*$")
OUTPUT_TITLE = re.compile(r'title="Output"')


class ExtractError(ValueError):
    """The page breaks a rule of the examples; the message names the line."""


@dataclass
class Block:
    line: int  # 1-based line of the opening fence
    lang: str
    code: str
    skip: str | None = None  # the reason, when skipped
    output: str | None = None  # what it must print


@dataclass
class Page:
    blocks: list[Block]
    references: list[str]  # names after `:::`


def parse(text: str, where: str = "<page>") -> Page:
    lines = text.splitlines()
    blocks: list[Block] = []
    references: list[str] = []
    skip: tuple[int, str] | None = None
    previous: Block | None = None  # the last block, while only blank lines follow it
    k = 0
    while k < len(lines):
        line = lines[k]
        marker, fence, reference = SKIP.match(line), FENCE.match(line), REFERENCE.match(line)
        if marker:
            reason = marker["reason"].strip()
            if not reason:
                raise ExtractError(f"{where}:{k + 1}: a skip marker needs a reason")
            skip = (k + 1, reason)
        elif fence:
            end = _closing_fence(lines, k, fence, where)
            indent = len(fence["indent"])
            code = "\n".join(body[indent:] for body in lines[k + 1:end]) + "\n"
            block = Block(k + 1, fence["lang"].lower(), code)
            if OUTPUT_TITLE.search(fence["attrs"]):
                if previous is None or previous.lang not in PYTHON or previous.skip:
                    raise ExtractError(f"{where}:{k + 1}: an Output block must follow a Python example")
                previous.output = code
            elif block.lang in PYTHON | PYCON:
                if skip:
                    block.skip, skip = skip[1], None
                blocks.append(block)
            if skip:
                raise ExtractError(f"{where}:{skip[0]}: a skip marker must stand before a Python block")
            previous = block
            k = end
        elif line.strip():
            if skip:
                raise ExtractError(f"{where}:{skip[0]}: a skip marker must stand before a Python block")
            previous = None
            if reference:
                references.append(reference["name"])
        k += 1
    if skip:
        raise ExtractError(f"{where}:{skip[0]}: a skip marker must stand before a Python block")
    return Page(blocks, references)


def _closing_fence(lines: list[str], start: int, fence: re.Match[str], where: str) -> int:
    opening = fence["fence"]
    for k in range(start + 1, len(lines)):
        stripped = lines[k].strip()
        if stripped.startswith(opening[0] * len(opening)) and not stripped.strip(opening[0]):
            return k
    raise ExtractError(f"{where}:{start + 1}: a code block is never closed")


def run_page(text: str, where: str) -> int:
    """Runs the page's examples; returns how many ran.  A failure raises
    AssertionError naming the page and the line of the example."""
    page = parse(text, where)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    ran = 0
    for block in page.blocks:
        if block.skip:
            continue
        if block.lang in PYCON:
            _run_doctest(block.code, namespace, f"{where}:{block.line}", where, block.line)
        else:
            _run_python(block, namespace, where)
        ran += 1
    for name in page.references:
        ran += _run_reference_doctests(name, where)
    return ran


def _run_python(block: Block, namespace: dict[str, object], where: str) -> None:
    # Leading blank lines make tracebacks point at the page's own lines.
    source = "\n" * block.line + block.code
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            exec(compile(source, where, "exec"), namespace)
    except Exception as error:
        raise AssertionError(f"{where}:{block.line}: the example raised {error!r}") from error
    if block.output is not None and printed.getvalue().rstrip("\n") != block.output.rstrip("\n"):
        raise AssertionError(f"{where}:{block.line}: the example printed\n{printed.getvalue()}"
                             f"instead of\n{block.output}")


def _run_doctest(text: str, globs: dict[str, object], name: str, where: str, line: int) -> None:
    test = doctest.DocTestParser().get_doctest(text, globs, name, where, line)
    _check_doctest(test)


def _check_doctest(test: doctest.DocTest) -> None:
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write, clear_globs=False)
    if runner.failures:
        raise AssertionError(f"doctest {test.name} failed:\n{report.getvalue()}")


def _run_reference_doctests(name: str, where: str) -> int:
    obj = resolve(name)
    tests = [t for t in doctest.DocTestFinder().find(obj, name) if t.examples]
    for test in tests:
        _check_doctest(test)
    return len(tests)


def resolve(name: str) -> object:
    """The object a `::: dotted.name` line renders: the longest importable
    module prefix, then attributes.

    >>> resolve("os.path.join").__name__
    'join'
    """
    parts = name.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            obj: object = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        for attribute in parts[cut:]:
            obj = getattr(obj, attribute)
        return obj
    raise ImportError(f"cannot import {name}")


def pages(root: Path) -> list[Path]:
    return sorted(root.rglob("*.md"))
