"""Every Python code block of the README runs as written.

The blocks run in the order they appear, in one namespace, as a reader pasting
them into one interpreter session would; a block may use names an earlier one
defined, and may `await` at top level."""
import ast
import asyncio
import inspect
import re
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?:python|py)[ \t]*\n(?P<body>.*?)^(?P=indent)```[ \t]*$",
                   re.MULTILINE | re.DOTALL)


def python_blocks(text):
    """(first line number, source) of each Python block of a Markdown text."""
    blocks = []
    for match in FENCE.finditer(text):
        first_line = text.count("\n", 0, match.start("body")) + 1
        blocks.append((first_line, textwrap.dedent(match.group("body"))))
    return blocks


def run_block(source, first_line, namespace):
    # Padding the source keeps tracebacks pointing at the README's own lines.
    padded = "\n" * (first_line - 1) + source
    code = compile(padded, str(README), "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
    result = eval(code, namespace)
    if inspect.iscoroutine(result):
        asyncio.run(result)


def test_readme_python_blocks_run_in_order(tmp_path, monkeypatch):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert blocks, "the README has no Python block"
    monkeypatch.chdir(tmp_path)  # whatever a block writes lands in a scratch folder
    namespace = {"__name__": "__main__"}
    for first_line, source in blocks:
        run_block(source, first_line, namespace)


@pytest.mark.parametrize("text, expected", [
    ("intro\n```python\nx = 1\n```\n", [(3, "x = 1\n")]),
    ("```sh\nls\n```\n```py\ny = 2\n```\n", [(5, "y = 2\n")]),
    ("- item\n\n  ```python\n  if x:\n      y = 1\n  ```\n", [(4, "if x:\n    y = 1\n")]),
    ("```python\na = 1\n```\n\n```python\nb = a\n```\n", [(2, "a = 1\n"), (6, "b = a\n")]),
    ("```pythonic\nnot code\n```\n", []),
])
def test_block_extraction(text, expected):
    assert python_blocks(text) == expected


def test_a_failing_block_is_reported_at_its_readme_line():
    namespace = {}
    with pytest.raises(NameError) as info:
        run_block("x = 1\nundefined_name\n", 40, namespace)
    assert info.traceback[-1].lineno + 1 == 41 and str(info.traceback[-1].path) == str(README)
    assert namespace["x"] == 1


def test_top_level_await_runs():
    namespace = {"asyncio": asyncio}
    run_block("await asyncio.sleep(0)\ndone = True\n", 1, namespace)
    assert namespace["done"] is True
