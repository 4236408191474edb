"""The installed package as tools see it: stubs, exported symbols, help."""
import importlib.util
import inspect
import pydoc
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import movra
from movra import _hashing, _movra

PACKAGE = Path(movra.__file__).parent


EXTENSIONS = [_movra, _hashing]


@pytest.mark.parametrize("module", EXTENSIONS, ids=lambda m: m.__name__)
def test_package_ships_stubs_and_marker(module):
    assert (PACKAGE / f"{module.__name__.rsplit('.', 1)[1]}.pyi").is_file()
    assert (PACKAGE / "py.typed").is_file()
    assert Path(module.__file__).name.endswith(".abi3.so")


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("module", EXTENSIONS, ids=lambda m: m.__name__)
def test_stubs_match_the_runtime(module):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", module.__name__],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is not installed")
@pytest.mark.parametrize("module", EXTENSIONS, ids=lambda m: m.__name__)
def test_shared_object_exports_only_its_init_function(module):
    result = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                            capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert exported == [f"PyInit_{module.__name__.rsplit('.', 1)[1]}"]


def test_help_and_signatures_of_every_method():
    text = pydoc.render_doc(movra.Graph, renderer=pydoc.plaintext)
    for name, method in vars(movra.Graph).items():
        if callable(method) and not name.startswith("__"):
            signature = inspect.signature(method)
            assert list(signature.parameters)[0] == "self"
            assert f"{name}{signature}".replace("(self, /, ", "(self, ") in text.replace(
                "(self, /, ", "(self, ")
    assert str(inspect.signature(movra.Graph)) == "()"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_package_passes_strict_type_checking():
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-p", "movra"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr



@pytest.mark.parametrize("path", ["/usr/share/unicode/PropList.txt", "/etc/hostname", "/root/.bashrc"])
def test_opening_a_file_outside_the_repository_and_venv_is_caught(path):
    from conftest import outside_opens

    try:
        open(path).close()
    except OSError:
        pass  # missing or not readable: the attempt alone counts
    caught, outside_opens[:] = list(outside_opens), []
    assert caught == [path]


def test_opening_files_of_the_repository_and_venv_is_allowed(tmp_path):
    from conftest import REPOSITORY, outside_opens

    for path in [REPOSITORY / "README.md", Path(pytest.__file__), Path(inspect.__file__),
                 tmp_path / "scratch"]:
        path.touch() if path.parent == tmp_path else path.read_bytes()
    assert outside_opens == []
