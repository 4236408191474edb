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


def cli(capsys, *args):
    """`python -m movra ARGS` in this process: (status, stdout, stderr)."""
    from movra.__main__ import main
    try:
        status = main(list(args))
    except SystemExit as done:
        status = done.code
    out, err = capsys.readouterr()
    return status, out, err


def test_store_help_describes_its_actions(capsys):
    status, out, _ = cli(capsys, "store", "--help")
    assert status == 0 and out.startswith("usage: python -m movra store")
    assert all(action in out for action in ("info", "clear", "gc"))


@pytest.mark.parametrize("action", ["info", "clear", "gc"])
@pytest.mark.parametrize("content, why", [
    (b"", "neither a database nor a folder"),
    (b"my notes, not a store\n", "neither a database nor a folder"),
    (None, "a folder without a movra store's marker file"),
], ids=["empty file", "text file", "folder of other files"])
def test_store_commands_leave_what_is_not_a_store_untouched(tmp_path, capsys, action, content, why):
    path = tmp_path / "thing"
    if content is None:
        path.mkdir()
        (path / "photo.jpg").write_bytes(b"\xff\xd8")
    else:
        path.write_bytes(content)
    before = sorted((p.name, p.read_bytes()) for p in tmp_path.rglob("*") if p.is_file())
    status, out, err = cli(capsys, "store", action, str(path))
    assert (status, out) == (1, "")
    assert err == f"{path} is not a movra store: {why}; left untouched\n"
    assert sorted((p.name, p.read_bytes()) for p in tmp_path.rglob("*") if p.is_file()) == before


def test_store_info_lists_entries_and_gc_removes_orphans(tmp_path, capsys):
    import os
    import time
    from movra.store import SQLiteStore
    path = tmp_path / "cache.db"
    with SQLiteStore(path) as store:
        store.save("k1", 1, seconds=0.5, node="subtotal", version="v1")
        store.save("k2", bytes(100_000), seconds=2.0, node="report", version="v7")
    orphan = tmp_path / "cache.db-blobs" / ("0" * 32)
    orphan.write_bytes(bytes(50_000))
    os.utime(orphan, (time.time() - 3600,) * 2)
    status, out, _ = cli(capsys, "store", "info", str(path))
    lines = out.splitlines()
    assert status == 0 and lines[0].startswith(f"{path}: 2 entries, 100.3 KiB; 52.0 KiB in orphaned")
    assert "orphaned files (`gc` removes them)" in lines[0]
    assert lines[1].split() == ["node", "code", "version", "size", "last", "used", "call"]
    assert [line.split()[:2] for line in lines[2:]] == [["report", "v7"], ["subtotal", "v1"]]
    assert cli(capsys, "store", "gc", str(path))[:2] == (0, f"{path}: removed 1 orphaned files (52.0 KiB)\n")
    assert not orphan.exists()


def test_demo_store_in_a_missing_folder_is_an_error_and_creates_nothing(tmp_path, capsys):
    status, out, err = cli(capsys, "--store", str(tmp_path / "typo" / "demo.db"))
    assert status == 1 and out == ""
    assert err == (f"python -m movra: error: the folder {tmp_path / 'typo'} for the store "
                   f"{tmp_path / 'typo' / 'demo.db'} does not exist; create it first\n")
    assert list(tmp_path.iterdir()) == []


def test_demo_store_that_is_refused_is_a_one_line_error(tmp_path, capsys):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    status, out, err = cli(capsys, "--store", str(shared / "demo.db"))
    assert (status, out) == (1, "") and err.count("\n") == 1
    assert err.startswith(f"python -m movra: error: refusing the store at '{shared / 'demo.db'}': "
                          f"the directory '{shared}' is writable by other users")
