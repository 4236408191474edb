"""Kernel errors as Python exceptions, and the quoted form of ids in messages."""
import pytest
import unicodedataplus as ucd

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


# The kernel's escape table is generated from Unicode 15.0; the oracle below is
# unicodedataplus, whose data is Unicode 16.0 (the test extras pin its major
# version).  It checks every code point except:
# - the surrogates, which a str holding them cannot be converted to UTF-8;
# - the 5,185 code points first assigned in Unicode 16.0: the kernel still
#   treats them as unassigned;
# - the code points whose relevant properties Unicode 16.0 changed: 26 spacing
#   marks, mostly viramas, gained Grapheme_Extend, and U+1171E went from a
#   nonspacing to a spacing mark.
KERNEL_UNICODE = (15, 0)
CHANGED_IN_UNICODE_16 = frozenset([
    0x0CC0, 0x0CC7, 0x0CC8, 0x0CCA, 0x0CCB, 0x1715, 0x1734, 0x1B3B, 0x1B3D, 0x1B43, 0x1B44,
    0x1BAA, 0x1BF2, 0x1BF3, 0xA953, 0xA9C0, 0x111C0, 0x11235, 0x1134D, 0x116B6, 0x1171E,
    0x1193D, 0x11F41, 0x16FF0, 0x16FF1, 0x1D166, 0x1D16D,
])


def known_to_the_kernel(c):
    if 0xD800 <= ord(c) <= 0xDFFF or ord(c) in CHANGED_IN_UNICODE_16:
        return False
    age = ucd.age(c)
    return age == "Unassigned" or tuple(map(int, age.split("."))) <= KERNEL_UNICODE


def grapheme_extend(c):
    # Grapheme_Cluster_Break=Extend is defined as Grapheme_Extend or Emoji_Modifier.
    return ucd.grapheme_cluster_break(c) == "Extend" and not ucd.is_emoji_modifier(c)


def test_quoted_form_of_every_code_point():
    assert ucd.unidata_version.startswith("16."), ucd.unidata_version
    chars = [c for c in map(chr, range(0x110000)) if known_to_the_kernel(c)]
    expected = []
    for c in chars:
        if c in SIMPLE:
            expected.append(SIMPLE[c])
        elif (ucd.category(c) in ESCAPED_CATEGORIES and c != " ") or grapheme_extend(c):
            expected.append(f"\\u{{{ord(c):x}}}")
        else:
            expected.append(c)
    got = split_quoted(unknown_message("".join(chars))[1:-1])
    assert len(got) == len(chars)
    wrong = [(hex(ord(c)), ucd.category(c), g) for c, g, e in zip(chars, got, expected) if g != e]
    assert wrong == []
    assert len(chars) > 1_100_000


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
