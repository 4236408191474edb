"""code_version: what a function does, not where or how its source is laid out."""
import dis
import functools
import importlib.util
import os
import subprocess
import sys
import textwrap
import threading
import types

import pytest

from movra import _code
from movra._code import code_version


def define(source, padding=0, name="f", env=None):
    """The function `name` compiled from `source` after `padding` blank lines."""
    namespace = dict(env or {})
    exec(compile("\n" * padding + textwrap.dedent(source), f"<file {padding}>", "exec"), namespace)
    return namespace[name]


BASE = """
def f(a, b=2, *, c=3):
    total = a + b
    if total > c:
        return [total * i for i in range(3)]
    try:
        return helper(total)
    except KeyError:
        return None
"""

SAME = {
    "moved down": (BASE, 40),
    "comments and blank lines": ("""
def f(a, b=2, *, c=3):
    # the sum first
    total = a + b  # inline

    if total > c:
        return [total * i for i in range(3)]
    try:
        return helper(total)

    except KeyError:  # missing
        return None
""", 3),
    "reformatted": ("""
def f(a,b = 2,*,c = 3):
    total = (a
             + b)
    if (total >
            c):
        return [
            total * i
            for i in range(3)
        ]
    try:
        return helper(
            total,
        )
    except (KeyError):
        return None
""", 0),
}

CHANGED = {
    "operator": BASE.replace("a + b", "a - b"),
    "constant": BASE.replace("range(3)", "range(4)"),
    "nested code": BASE.replace("total * i", "total + i"),
    "default": BASE.replace("b=2", "b=5"),
    "keyword default": BASE.replace("c=3", "c=4"),
    "called name": BASE.replace("helper(total)", "other(total)"),
    "handler": BASE.replace("KeyError", "LookupError"),
    "local name": BASE.replace("total", "sum_"),
    "argument kind": BASE.replace("*, c=3", "c=3"),
    "branch": BASE.replace("if total > c:", "if total >= c:"),
    "statement added": BASE.replace("    try:", "    total += 0\n    try:"),
}


@pytest.mark.parametrize("case", SAME)
def test_layout_does_not_change_the_version(case):
    source, padding = SAME[case]
    assert code_version(define(source, padding)) == code_version(define(BASE)), case


@pytest.mark.parametrize("case", CHANGED)
def test_code_edits_change_the_version(case):
    assert code_version(define(CHANGED[case])) != code_version(define(BASE)), case


def test_version_is_the_same_in_another_process():
    script = textwrap.dedent(f"""
        import textwrap
        from movra._code import code_version
        namespace = {{}}
        exec(textwrap.dedent({BASE!r}), namespace)
        print(code_version(namespace["f"], None))
    """)
    versions = {subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               check=True, env={**os.environ, "PYTHONHASHSEED": seed}).stdout
                for seed in ("1", "2")}
    assert versions == {code_version(define(BASE)) + "\n"}


def closure(value):
    def f(x):
        return x + value
    return f


@pytest.mark.parametrize("a, b, same", [
    (1, 1, True), (1, 2, False), ([1, 2], [1, 2], True), ([1, 2], [1, 3], False),
    ({"k": 1}, {"k": 1}, True), (1, 1.0, False)])
def test_closure_values_count_by_content(a, b, same):
    assert (code_version(closure(a)) == code_version(closure(b))) is same


def test_closure_value_that_cannot_be_hashed_counts_by_identity():
    lock = threading.Lock()
    assert code_version(closure(lock)) == code_version(closure(lock))
    assert code_version(closure(lock)) != code_version(closure(threading.Lock()))


def test_closed_over_function_counts_by_its_code():
    first = define("def helper(x):\n    return x + 1\n", name="helper")
    second = define("def helper(x):\n    return x + 2\n", name="helper")
    assert code_version(closure(first)) != code_version(closure(second))
    assert code_version(closure(first)) == code_version(closure(define(
        "def helper(x):\n    # same\n    return x + 1\n", 9, name="helper")))


def test_recursive_closure_terminates():
    def outer():
        def walk(n):
            return walk(n - 1) if n else 0
        return walk
    assert code_version(outer()) == code_version(outer())


def test_global_helper_is_not_seen_and_version_overrides():
    f = define(BASE)
    assert code_version(f, "2") == "2" and code_version(f, "") == ""
    with pytest.raises(TypeError, match="version must be a str, not int"):
        code_version(f, 2)


def scale(x, factor=1, *, offset=0):
    return x * factor + offset


@pytest.mark.parametrize("a, b, same", [
    (functools.partial(scale, factor=2), functools.partial(scale, factor=2), True),
    (functools.partial(scale, factor=2), functools.partial(scale, factor=3), False),
    (functools.partial(scale, 1), functools.partial(scale, 2), False),
    (functools.partial(scale, 1), functools.partial(closure(1), 1), False),
    (functools.partial(functools.partial(scale, 1), offset=1),
     functools.partial(functools.partial(scale, 1), offset=1), True),
])
def test_partials_count_the_function_and_bound_arguments(a, b, same):
    assert (code_version(a) == code_version(b)) is same


class Scaler:
    def __init__(self, factor):
        self.factor = factor

    def __call__(self, x):
        return x * self.factor

    def apply(self, x):
        return x * self.factor


class OtherScaler(Scaler):
    def __call__(self, x):
        return x * self.factor + 0


@pytest.mark.parametrize("a, b, same", [
    (Scaler(2), Scaler(2), True),
    (Scaler(2), Scaler(3), False),
    (Scaler(2), OtherScaler(2), False),
    (Scaler(2).apply, Scaler(2).apply, True),
    (Scaler(2).apply, Scaler(3).apply, False),
    (len, len, True), (len, abs, False), (Scaler, Scaler, True), (Scaler, OtherScaler, False),
])
def test_callable_objects_methods_and_builtins(a, b, same):
    assert (code_version(a) == code_version(b)) is same


def test_non_callable_is_refused():
    with pytest.raises(TypeError, match="cannot version 'int': it is not callable"):
        code_version(3)


# Versions key stored values: they must not drift, and the fast bytecode
# reader must say what dis says.

PINNED_311 = [
    (lambda: define(BASE), "2a2151a573986826e9d38d644413e34b"),
    (lambda: closure((1, "a")), "b3baad20794898397d9af6a1436494a8"),
    (lambda: define("def g(x, *, k=('a', 2.5), m=None):\n    return x\n", name="g"),
     "02e9d00a8caf63998c41fc0a1a09202a"),
]


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="bytecode, so versions, differ between interpreters")
@pytest.mark.parametrize("make, expected", PINNED_311)
def test_versions_never_drift(make, expected):
    assert code_version(make()) == expected


def code_objects(code):
    yield code
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            yield from code_objects(constant)


@pytest.mark.parametrize("module", ["argparse", "asyncio.base_events", "_pydecimal", "tarfile", "typing"])
def test_the_bytecode_reader_agrees_with_dis(module):
    source = importlib.util.find_spec(module).loader.get_source(module)
    for code in code_objects(compile(source, module, "exec")):
        expected = [(i.offset, i.opname, i.arg or 0, i.argval if i.opcode in _code._JUMPS else None)
                    for i in dis.get_instructions(code)]
        assert _code._instructions(code) == expected, code
        assert list(_code._exception_entries(code)) == list(dis.Bytecode(code).exception_entries), code
