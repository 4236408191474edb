"""A griffe extension for the documentation site: shows the interactive
examples of doc strings (">>>" lines and the output after them) as Python
console code.

Doc strings here follow the doctest convention, which a Markdown renderer
would read as nested block quotes; fencing each example as ```pycon makes it a
highlighted code block without changing the doc string itself."""
from __future__ import annotations

from typing import Any

import griffe


class DoctestBlocks(griffe.Extension):
    def on_object(self, *, obj: griffe.Object, **kwargs: Any) -> None:
        if obj.docstring is not None:
            obj.docstring.value = fence_examples(obj.docstring.value)


def fence_examples(text: str) -> str:
    out: list[str] = []
    in_example = False
    for line in text.splitlines():
        starts = line.lstrip().startswith(">>>")
        if starts and not in_example:
            out.append("```pycon")
            in_example = True
        elif in_example and not line.strip():
            out.append("```")
            in_example = False
        out.append(line)
    if in_example:
        out.append("```")
    return "\n".join(out)
