"""`python -m movra`: the demo, its options, and where its output goes."""
import importlib.machinery
import subprocess
import sys
import types
from importlib import metadata

import pytest

import movra
from movra import __main__ as cli

BANNER = f"movra {metadata.version('movra')} (kernel {movra.kernel_version()})"


def run_module(*args):
    return subprocess.run([sys.executable, "-m", "movra", *args], capture_output=True, text=True,
                          timeout=60)


def test_version_comes_from_the_package_metadata():
    assert movra.__version__ == metadata.version("movra")
    assert movra.__version__ != movra.kernel_version()


@pytest.mark.parametrize("args", [[], ["demo"]])
def test_demo_is_the_default_and_opens_with_the_banner(args):
    result = run_module(*args)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith(f"{BANNER} — a reactive invoice\n")
    assert "memo hits   tax, invoice" in result.stdout
    assert "cut off     tax_rate" in result.stdout


def test_version_option():
    result = run_module("--version")
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{BANNER}\n", "")


@pytest.mark.parametrize("args", [["--help"], ["-h"], ["demo", "--help"]])
def test_help_prints_usage_without_running_the_demo(args):
    result = run_module(*args)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith("usage: python -m movra")
    assert "memo hits" not in result.stdout


@pytest.mark.parametrize("args, message", [
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["nonsense"], "invalid choice: 'nonsense'"),
])
def test_bad_arguments_exit_2_with_usage(args, message):
    result = run_module(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("usage: python -m movra") and message in result.stderr


def test_a_reader_that_goes_away_ends_the_demo_quietly():
    # The read end is closed before the demo writes, so its first write fails.
    process = subprocess.Popen([sys.executable, "-m", "movra"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.close()
    _, stderr = process.communicate(timeout=60)
    assert stderr == b""
    assert process.returncode == 1


@pytest.fixture
def store_module(monkeypatch):
    """A stand-in `movra.store` recording the arguments it was given."""
    calls = []
    module = types.ModuleType("movra.store")
    module.__spec__ = importlib.machinery.ModuleSpec("movra.store", None)
    module.main = lambda argv: calls.append(argv) or 3
    monkeypatch.setitem(sys.modules, "movra.store", module)
    return calls


def test_store_command_hands_its_arguments_to_the_store(store_module):
    assert cli.main(["store", "info", "--help", "/some/path"]) == 3
    assert store_module == [["info", "--help", "/some/path"]]


def test_store_command_exists_only_with_a_store_module(capsys):
    if cli.has_store():
        pytest.skip("this build has a store module")
    with pytest.raises(SystemExit) as info:
        cli.main(["store", "info", "x"])
    assert info.value.code == 2
    assert "invalid choice: 'store'" in capsys.readouterr().err
