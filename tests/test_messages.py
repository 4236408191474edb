"""Kernel errors as Python exceptions, and the quoted form of ids in messages."""
import unicodedata
from pathlib import Path

import pytest

import movra
from conftest import make_graph

ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
SIMPLE = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def unknown_message(node_id):
    with pytest.raises(KeyError) as info:
        movra.Graph().kind_of(node_id)
    (message,) = info.value.args
    assert message.startswith("unknown node: ")
    return message[len("unknown node: "):]


@pytest.mark.parametrize(
    "node_id, quoted",
    [
        ("a", '"a"'),
        ('"\t', '"\\"\\t"'),
        ("back\\slash", '"back\\\\slash"'),
        ("it's", '"it\'s"'),
        ("a b", '"a b"'),
        ("\0\r\n", '"\\0\\r\\n"'),
        ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
        ("\u00a0", '"\\u{a0}"'),                   # no-break space, Zs
        ("\u200b\u200d", '"\\u{200b}\\u{200d}"'),  # format characters, Cf
        ("\u2028\u2029", '"\\u{2028}\\u{2029}"'),  # line and paragraph separators
        ("\ue000", '"\\u{e000}"'),                 # private use, Co
        ("\u0378", '"\\u{378}"'),                  # unassigned, Cn
        ("e\u0301", '"e\\u{301}"'),                # combining acute, Grapheme_Extend
        ("\uff9e", '"\\u{ff9e}"'),                 # Lm, but Grapheme_Extend
        ("\u00e9\U0001F600\u4e2d", '"\u00e9\U0001F600\u4e2d"'),
        ("", '""'),
    ],
)
def test_quoted_form(node_id, quoted):
    assert unknown_message(node_id) == quoted


def test_quoted_form_of_every_assigned_code_point():
    # One id holding every code point the interpreter's Unicode database knows;
    # the expected text follows the categories of that database.  Code points
    # assigned only in a later Unicode version are left out.
    other_grapheme_extend = other_grapheme_extend_set()
    chars, expected = [], []
    for cp in range(0x110000):
        c = chr(cp)
        category = unicodedata.category(c)
        if category in ("Cn", "Cs"):
            continue
        chars.append(c)
        if c in SIMPLE:
            expected.append(SIMPLE[c])
        elif (category in ESCAPED_CATEGORIES and c != " ") or category in ("Mn", "Me") or (
            cp in (other_grapheme_extend or ())
        ):
            expected.append(f"\\u{{{cp:x}}}")
        elif other_grapheme_extend is None and category in ("Mc", "Lm"):
            expected.append(None)  # may be Other_Grapheme_Extend; not checked
        else:
            expected.append(c)
    quoted = unknown_message("".join(chars))[1:-1]
    got = split_quoted(quoted)
    assert len(got) == len(chars)
    wrong = [(hex(ord(c)), g) for c, g, e in zip(chars, got, expected) if e is not None and g != e]
    assert wrong == []


def other_grapheme_extend_set():
    proplist = Path("/usr/share/unicode/PropList.txt")
    if not proplist.exists():
        return None
    found = set()
    for line in proplist.read_text(encoding="utf-8").splitlines():
        fields = line.split("#")[0].split(";")
        if len(fields) == 2 and fields[1].strip() == "Other_Grapheme_Extend":
            first, _, last = fields[0].strip().partition("..")
            found.update(range(int(first, 16), int(last or first, 16) + 1))
    return found


def split_quoted(text):
    """The quoted text cut into one piece per original character."""
    pieces, i = [], 0
    while i < len(text):
        if text[i] != "\\":
            pieces.append(text[i])
            i += 1
        elif text[i + 1] == "u":
            end = text.index("}", i)
            pieces.append(text[i : end + 1])
            i = end + 1
        else:
            pieces.append(text[i : i + 2])
            i += 2
    return pieces


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g: g.add_node("a", "view"), ValueError, 'node already registered: "a"'),
        (lambda g: g.add_node("z", "Input"), ValueError,
         'invalid node kind "Input" (expected input|source|reactive|view)'),
        (lambda g: g.add_node("z", 'in"\n'), ValueError,
         'invalid node kind "in\\"\\n" (expected input|source|reactive|view)'),
        (lambda g: g.set_deps("a", ["a"]), ValueError, 'node "a" cannot depend on itself'),
        (lambda g: g.deps_of("q"), KeyError, 'unknown node: "q"'),
        (lambda g: g.topo_order(), RuntimeError,
         "graph has not been built; call build() after registering nodes"),
    ],
)
def test_error_classes_and_args(call, error, message):
    g = make_graph("a", "b")
    with pytest.raises(error) as info:
        call(g)
    assert type(info.value) is error
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_cycle_message_lists_ids_unquoted():
    g = make_graph("a", "b", deps={"a": ["b"], "b": ["a"]})
    with pytest.raises(ValueError) as info:
        g.build()
    assert info.value.args == ("dependency cycle detected involving: a, b",)
