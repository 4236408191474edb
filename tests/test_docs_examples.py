"""Every code example of the documentation runs, page by page (see
tests/docs_examples.py for the rules a page follows)."""
import traceback
from pathlib import Path

import pytest

import docs_examples
from docs_examples import ExtractError, pages, parse, run_page

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = pages(DOCS)


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(DOCS)) for p in PAGES])
def test_examples_of_the_page_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples that write files write them here
    run_page(page.read_text(encoding="utf-8"), str(page.relative_to(DOCS.parent)))


def test_the_site_has_examples_to_run():
    # Guards the extractor: a change that made it find nothing would pass above.
    found = [b for p in PAGES for b in parse(p.read_text(encoding="utf-8"), str(p)).blocks]
    assert len([b for b in found if not b.skip]) >= 10
    assert all(b.skip.strip() for b in found if b.skip)


def test_reference_pages_run_the_doctests_of_what_they_render(monkeypatch):
    assert run_page("::: docs_examples.resolve\n", "page.md") == 1
    monkeypatch.setattr(docs_examples.resolve, "__doc__", ">>> 1 + 1\n3\n")
    with pytest.raises(AssertionError, match="doctest docs_examples.resolve failed"):
        run_page("::: docs_examples.resolve\n", "page.md")


PY = "```python\n"
END = "```\n"
OUT = '```text title="Output"\n'

MALFORMED = [
    ("skip without a reason", "<!-- docs-test: skip -->\n" + PY + "x = 1\n" + END,
     "page.md:1: a skip marker needs a reason"),
    ("skip before prose", "<!-- docs-test: skip: later -->\nSome prose.\n" + PY + END,
     "page.md:1: a skip marker must stand before a Python block"),
    ("skip before a shell block", "<!-- docs-test: skip: later -->\n```sh\nls\n" + END,
     "page.md:1: a skip marker must stand before a Python block"),
    ("skip at the end", "text\n<!-- docs-test: skip: later -->\n",
     "page.md:2: a skip marker must stand before a Python block"),
    ("output after prose", PY + "print(1)\n" + END + "Prose.\n" + OUT + "1\n" + END,
     "page.md:5: an Output block must follow a Python example"),
    ("output after a skipped block", "<!-- docs-test: skip: slow -->\n" + PY + "print(1)\n" + END
     + OUT + "1\n" + END, "page.md:5: an Output block must follow a Python example"),
    ("unclosed fence", "Intro\n" + PY + "x = 1\n", "page.md:2: a code block is never closed"),
]


@pytest.mark.parametrize("text, message", [(t, m) for _, t, m in MALFORMED],
                         ids=[case for case, _, _ in MALFORMED])
def test_a_page_that_breaks_the_rules_is_refused(text, message):
    with pytest.raises(ExtractError) as raised:
        parse(text, "page.md")
    assert str(raised.value) == message


def test_blocks_keep_their_line_skip_reason_and_output():
    text = ("# Title\n\n" + PY + "print('a')\n" + END + "\n" + OUT + "a\n" + END
            + "<!-- docs-test: skip: needs a network -->\n\n" + PY + "fetch()\n" + END
            + '!!! note\n    ```python\n    y = 2\n    ```\n'
            + "```pycon\n>>> 1 + 1\n2\n" + END + "```sh\nmake\n" + END)
    page = parse(text, "page.md")
    assert [(b.line, b.lang, b.code, b.skip, b.output) for b in page.blocks] == [
        (3, "python", "print('a')\n", None, "a\n"),
        (12, "python", "fetch()\n", "needs a network", None),
        (16, "python", "y = 2\n", None, None),
        (19, "pycon", ">>> 1 + 1\n2\n", None, None),
    ]


def test_a_longer_fence_holds_a_shorter_one():
    page = parse("````markdown\n```python\nboom()\n```\n````\n" + PY + "ok = 1\n" + END)
    assert [b.code for b in page.blocks] == ["ok = 1\n"]


RUNS = [
    ("a page shares one namespace", PY + "x = 40\n" + END + PY + "print(x + 2)\n" + END + OUT + "42\n" + END,
     None),
    ("different output fails", PY + "print('actual')\n" + END + OUT + "expected\n" + END,
     "page.md:1: the example printed\nactual\ninstead of\nexpected"),
    ("an exception fails", "\n" + PY + "1 / 0\n" + END,
     "page.md:2: the example raised ZeroDivisionError('division by zero')"),
    ("a skipped block is not run", "<!-- docs-test: skip: shows a failure -->\n" + PY + "1 / 0\n" + END,
     None),
    ("a failing doctest fails", "```pycon\n>>> 1 + 1\n3\n" + END, "doctest page.md:1 failed"),
]


@pytest.mark.parametrize("text, failure", [(t, f) for _, t, f in RUNS], ids=[case for case, _, _ in RUNS])
def test_running_a_page(text, failure):
    if failure is None:
        run_page(text, "page.md")
        return
    with pytest.raises(AssertionError) as raised:
        run_page(text, "page.md")
    assert str(raised.value).startswith(failure)


def test_a_traceback_points_at_the_line_of_the_page():
    with pytest.raises(AssertionError) as raised:
        run_page("Intro\n\n" + PY + "x = 1\nraise KeyError(x)\n" + END, "guide.md")
    frames = traceback.extract_tb(raised.value.__cause__.__traceback__)
    assert ("guide.md", 5) in [(frame.filename, frame.lineno) for frame in frames]


def test_the_tutorial_picture_is_the_flow_of_its_examples():
    import importlib.util
    tools = Path(__file__).resolve().parent.parent / "tools" / "docs_figures.py"
    spec = importlib.util.spec_from_file_location("docs_figures", tools)
    figures = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(figures)
    drawn = figures.timeless(figures.tutorial_flow_svg())
    assert drawn == figures.timeless(figures.FIGURE.read_text(encoding="utf-8")), \
        "docs/img/tutorial-flow.svg is out of date: run python tools/docs_figures.py"
    assert drawn.count('class="movra-node clean"') == 10


def test_the_examples_fit_the_page():
    # 78 columns fit the theme's code blocks without a scroll bar; longer
    # Output lines (messages) are wrapped by docs/css/extra.css.
    long = [f"{p.relative_to(DOCS)}:{b.line}: {line}" for p in PAGES
            for b in parse(p.read_text(encoding="utf-8"), str(p)).blocks
            for line in b.code.splitlines() if len(line) > 78]
    assert long == []
