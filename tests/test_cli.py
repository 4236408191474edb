"""`python -m movra`: the demo, its options, and where its output goes."""
import subprocess
import sys
from importlib import metadata

import pytest

import movra

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
    passes = result.stdout.split("\n== ")[1:]
    assert len(passes) == 5 and "why would invoice" not in passes[0]
    for text in passes[1:]:  # each pass's explanation under its title, before its run
        assert text.index("why would invoice recompute?") < text.index("run of ")
    assert max(len(line) for line in result.stdout.split("The graph now")[0].splitlines()) <= 78


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


def test_store_command_shows_and_clears_a_store(tmp_path):
    tmp_path.chmod(0o700)
    path = str(tmp_path / "demo.db")
    first = run_module("--store", path)
    second = run_module("demo", "--store", path)
    assert "loaded      " not in first.stdout.split("== price")[0]
    assert "loaded      subtotal, tax_rate, tax, invoice" in second.stdout
    assert "the next run loads its value from the store" in second.stdout
    info = run_module("store", "info", path)
    assert info.returncode == 0 and "entries" in info.stdout
    assert run_module("store", "clear", path).returncode == 0
    assert "loaded      " not in run_module("--store", path).stdout.split("== price")[0]
