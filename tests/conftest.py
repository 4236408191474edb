import mimetypes
import os
import ssl
import sys
import sysconfig
import tempfile
import zoneinfo
from pathlib import Path

import pytest

import movra

# Files a test may open: the repository, the environment the tests run in,
# the standard library and the rest of the import path, scratch space, and the
# few system files the standard library itself reads (time zones, CA
# certificates, MIME types, pdb's settings).  Anything else is a dependency that a fresh
# machine would not have.  Only this process is watched, not the
# subprocesses a test starts.
REPOSITORY = Path(__file__).resolve().parent.parent


def _allowed_roots():
    verify = ssl.get_default_verify_paths()
    roots = [str(REPOSITORY), sys.prefix, sys.exec_prefix, sysconfig.get_paths()["stdlib"],
             *filter(None, sys.path), tempfile.gettempdir(), "/proc", "/dev", "/sys", "/etc/localtime",
             *zoneinfo.TZPATH, *mimetypes.knownfiles,
             # doctest's debugger reads the user's pdb settings, when there are any
             os.path.expanduser("~/.pdbrc"),
             *filter(None, [verify.cafile, verify.capath, verify.openssl_cafile, verify.openssl_capath])]
    return tuple(os.path.join(os.path.realpath(root), "") for root in roots)


ALLOWED_ROOTS = _allowed_roots()
outside_opens = []


def _is_allowed(path):
    for candidate in (os.path.abspath(path), os.path.realpath(path)):
        if os.path.join(candidate, "").startswith(ALLOWED_ROOTS):
            return True
    return False


def _audit_open(event, args):
    if event != "open" or args[0] is None or isinstance(args[0], int):
        return
    path = os.fsdecode(args[0])
    if not _is_allowed(path):
        outside_opens.append(path)


sys.addaudithook(_audit_open)


@pytest.fixture(autouse=True)
def _no_files_from_outside():
    """Fails a test that opened a file outside the allowed roots, even if the
    code that opened it caught the error a missing file would raise."""
    outside_opens.clear()
    yield
    opened, outside_opens[:] = list(outside_opens), []
    if opened:
        pytest.fail(f"the test opened files outside the repository and its environment: {opened}",
                    pytrace=False)


def pytest_sessionfinish(session):
    if outside_opens:  # opened outside any test, while collecting say
        print(f"\nfiles opened outside the repository and its environment: {outside_opens}")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def make_graph(*nodes, deps=None, build=False):
    """A graph with `nodes` given as "id" (reactive) or ("id", kind) pairs."""
    g = movra.Graph()
    for node in nodes:
        node_id, kind = (node, "reactive") if isinstance(node, str) else node
        g.add_node(node_id, kind)
    for node_id, node_deps in (deps or {}).items():
        g.set_deps(node_id, node_deps)
    if build:
        g.build()
    return g


@pytest.fixture
def diamond():
    """a <- b <- c and a <- d, built: the order is a, b, c, d."""
    return make_graph("a", "b", "c", "d", deps={"b": ["a"], "c": ["b"], "d": ["a"]}, build=True)


def clean_all(g):
    for node_id in g.node_ids():
        g.set_clean(node_id, 0)
