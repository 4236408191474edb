"""The store contract, run against both backends: one suite, two implementations."""
import contextlib
import errno
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
import warnings

import pytest

import movra._store_dir
import movra._store_sqlite
from movra.store import (
    DirectoryStore, SQLiteStore, Store, StoreInfo, StoreWarning, main, make_key, open_store,
)

try:
    # Under LeakSanitizer numpy's import counts as a leak; the arrays' tests
    # run in the plain test run.
    if os.environ.get("MOVRA_SANITIZED"):
        raise ImportError("not with a sanitizer")
    import numpy as np
except ImportError:
    np = None
needs_numpy = pytest.mark.skipif(np is None, reason="needs numpy")

BACKENDS = ["sqlite", "directory"]


def blob(size, seed=0):
    """`size` bytes in a bytearray, which pickles out of band as an array does."""
    return bytearray(random.Random(seed).randbytes(size))


def store_path(tmp_path, backend):
    return tmp_path / ("store.db" if backend == "sqlite" else "store")


def open_backend(tmp_path, backend, **options):
    cls = SQLiteStore if backend == "sqlite" else DirectoryStore
    return cls(store_path(tmp_path, backend), **options)


@pytest.fixture(params=BACKENDS)
def backend(request):
    return request.param


@pytest.fixture
def store(tmp_path, backend):
    with open_backend(tmp_path, backend) as opened:
        yield opened


@contextlib.contextmanager
def store_warnings():
    """The StoreWarnings raised inside the block; any other warning fails the test."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield caught
    others = [w for w in caught if not issubclass(w.category, StoreWarning)]
    assert not others, [str(w.message) for w in others]
    caught[:] = [w for w in caught if issubclass(w.category, StoreWarning)]


@contextlib.contextmanager
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


class Renamable:
    def __init__(self, payload):
        self.payload = payload

    def __eq__(self, other):
        return type(other) is type(self) and other.payload == self.payload


# --- values in and out ---------------------------------------------------------------

VALUES = {
    "int": 42,
    "none": None,
    "nested": {"a": [1, 2.5, "x"], "b": (None, b"\0\1")},
    "object": Renamable([1, 2]),
    "small buffer": bytearray(b"abc"),
    "large buffer": blob(12_000_000),  # checksummed in chunks
    "large bytes": bytes(range(256)) * 4096,  # in-band, but too large for a row
    "several buffers": (blob(10), blob(720_000), bytearray(b"abc" * 100_000)),
    "empty buffer": bytearray(),
}
if np is not None:
    VALUES.update({
        "small array": np.arange(10, dtype=np.int32),
        "large array": np.random.default_rng(1).random(1_500_000),
        "several arrays": (np.zeros(3), np.ones((300, 300)), bytearray(b"abc" * 100_000)),
        "empty array": np.zeros(0),
    })


def same(a, b):
    if np is not None and isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same, a, b))
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("name", VALUES)
def test_saved_value_comes_back_equal_in_a_new_store_object(tmp_path, backend, name):
    with no_warnings():
        with open_backend(tmp_path, backend) as first:
            first.save("k", VALUES[name])
            assert same(first.lookup("k")[1], VALUES[name])
        with open_backend(tmp_path, backend) as second:
            found, value = second.lookup("k")
    assert found and same(value, VALUES[name]), name


@needs_numpy
def test_loaded_arrays_are_writable_and_independent_of_the_store(tmp_path, backend):
    array = np.arange(1_000_000, dtype=np.float64)
    with open_backend(tmp_path, backend) as store:
        store.save("k", array)
        _, loaded = store.lookup("k")
        loaded[0] = -1.0  # writable, as the computed array was
        _, again = store.lookup("k")
    assert loaded.flags.writeable and again[0] == 0.0


def test_miss_overwrite_and_contains(store):
    assert store.lookup("k") == (False, None)
    assert not store.contains("k")
    store.save("k", 1)
    store.save("k", blob(800_000))  # from a row to a file
    store.save("k", "last")
    assert store.contains("k") and store.lookup("k") == (True, "last")
    assert store.info().entries == 1


def test_a_stored_none_is_a_hit(store):
    store.save("k", None)
    assert store.lookup("k") == (True, None)


def test_info_and_clear(store, tmp_path, backend):
    store.save("a", 1)
    store.save("b", blob(800_000))
    info = store.info()
    assert (info.entries, info.max_bytes, info.path) == (2, None, str(store_path(tmp_path, backend)))
    assert 800_000 < info.bytes < 900_000
    store.clear()
    assert store.info() == StoreInfo(0, 0, None, info.path)
    assert store.lookup("b") == (False, None)
    leftover = [f for _, _, files in os.walk(tmp_path) for f in files
                if f not in {"store.db", "store.db-wal", "store.db-shm", "movra-store", ".movra-swept"}]
    assert leftover == []


def test_closed_store_refuses_calls_and_close_is_idempotent(store):
    store.close()
    store.close()
    for call in (lambda: store.lookup("k"), lambda: store.save("k", 1),
                 lambda: store.contains("k"), store.info, store.clear):
        with pytest.raises(ValueError, match="closed store"):
            call()


# --- eviction ----------------------------------------------------------------------------

def test_least_recently_used_entries_are_evicted_past_max_bytes(tmp_path, backend):
    block = blob(200_000)
    with open_backend(tmp_path, backend, max_bytes=700_000) as store:
        for key in "abc":
            store.save(key, block)
        assert store.lookup("a")[0]  # now b is the least recently used
        store.save("d", block)
        kept = {key for key in "abcd" if store.contains(key)}
        assert store.info().bytes <= 700_000
    assert kept == {"a", "c", "d"}


def test_a_value_larger_than_max_bytes_is_not_stored_and_evicts_nothing(tmp_path, backend):
    with open_backend(tmp_path, backend, max_bytes=100_000) as store:
        store.save("small", 1)
        store.save("huge", blob(400_000))
        assert (store.contains("small"), store.contains("huge")) == (True, False)


@pytest.mark.parametrize("max_bytes", [0, -1, 1.5, True])
def test_max_bytes_is_checked(tmp_path, backend, max_bytes):
    with pytest.raises((ValueError, TypeError), match="max_bytes must be"):
        open_backend(tmp_path, backend, max_bytes=max_bytes)


# --- damaged data ----------------------------------------------------------------------------

def entry_files(tmp_path, backend):
    root = tmp_path / ("store.db-blobs" if backend == "sqlite" else "store")
    return sorted(p for p in root.rglob("*") if p.is_file() and p.name not in {"movra-store", ".movra-swept"})


def damage(tmp_path, backend, key, how):
    """Flip a byte in, or truncate, the stored bytes of `key`."""
    def spoil(data):
        data = bytearray(data)
        if how == "flip":
            data[len(data) // 2] ^= 0xFF
        else:
            del data[len(data) // 2:]
        return bytes(data)

    if backend == "sqlite":
        with contextlib.closing(sqlite3.connect(store_path(tmp_path, backend))) as conn, conn:
            data, name = conn.execute("SELECT data, file FROM movra_entries WHERE key=?",
                                      (key,)).fetchone()
            if name is None:
                conn.execute("UPDATE movra_entries SET data=? WHERE key=?", (spoil(data), key))
                return
        path = tmp_path / "store.db-blobs" / name
    else:
        with DirectoryStore(store_path(tmp_path, backend)) as store:
            path = store_path(tmp_path, backend) / store._entry_path(key)
    with open(path, "rb") as file:
        data = file.read()
    with open(path, "wb") as file:
        file.write(spoil(data))


@pytest.mark.parametrize("value", [12345, blob(800_000), blob(10_400_000)],
                         ids=["small", "large", "several chunks"])
@pytest.mark.parametrize("how", ["flip", "truncate"])
def test_damaged_entry_is_a_miss_warned_once_and_dropped(tmp_path, backend, value, how):
    with open_backend(tmp_path, backend) as store:
        for key in ("bad", "worse"):
            store.save(key, value)
        store.save("good", "fine")
    damage(tmp_path, backend, "bad", how)
    damage(tmp_path, backend, "worse", how)
    with store_warnings() as caught, open_backend(tmp_path, backend) as store:
        assert store.lookup("bad") == (False, None)
        assert store.lookup("worse") == (False, None)
        assert store.lookup("good") == (True, "fine")
        assert not store.contains("bad") and not store.contains("worse")
    assert len(caught) == 1 and "damaged entry" in str(caught[0].message)
    assert len(entry_files(tmp_path, backend)) == (0 if backend == "sqlite" else 1)


def test_entry_file_copied_over_another_key_is_not_served(tmp_path):
    with DirectoryStore(tmp_path / "store") as store:
        store.save("a", "value of a")
        store.save("b", "value of b")
    path_a = tmp_path / "store" / store._entry_path("a")
    path_b = tmp_path / "store" / store._entry_path("b")
    os.replace(path_a, path_b)
    with store_warnings() as caught, DirectoryStore(tmp_path / "store") as store:
        assert store.lookup("b") == (False, None)
    assert "another key" in str(caught[0].message)


def test_value_whose_class_was_renamed_is_a_miss(tmp_path, backend, monkeypatch):
    with open_backend(tmp_path, backend) as store:
        store.save("k", Renamable(1))
    monkeypatch.delattr(sys.modules[__name__], "Renamable")
    with store_warnings() as caught, open_backend(tmp_path, backend) as store:
        assert store.lookup("k") == (False, None)
        assert not store.contains("k")
    assert len(caught) == 1 and "no longer unpickles" in str(caught[0].message)


FOREIGN = {
    "garbage": lambda path: path.write_bytes(b"this is not a database\n" * 100),
    "empty": lambda path: path.write_bytes(b""),
    "other database": lambda path: sqlite3.connect(path).executescript(
        "CREATE TABLE people(name TEXT); INSERT INTO people VALUES ('ada');"),
}


@pytest.mark.parametrize("kind", FOREIGN)
def test_sqlite_store_leaves_a_foreign_file_alone(tmp_path, kind):
    path = tmp_path / "store.db"
    FOREIGN[kind](path)
    before = path.read_bytes()
    with store_warnings() as caught, SQLiteStore(path) as store:
        store.save("k", 1)
        found = store.lookup("k")
        store.clear()
    if kind == "empty":  # an empty file is a new database
        assert found == (True, 1) and caught == []
        return
    assert found == (False, None)
    assert path.read_bytes() == before
    assert len(caught) == 2, [str(w.message) for w in caught]  # unusable; cannot clear
    assert "not a movra store" in str(caught[0].message) or "damaged" in str(caught[0].message)


def test_sqlite_store_survives_a_truncated_database(tmp_path):
    path = tmp_path / "store.db"
    with SQLiteStore(path) as store:
        for i in range(300):
            store.save(f"k{i}", f"value {i}" * 50)
    with open(path, "r+b") as file:
        file.truncate(os.path.getsize(path) // 2)
    with store_warnings() as caught, SQLiteStore(path) as store:
        results = [store.lookup(f"k{i}") for i in range(300)]
        store.save("new", 1)
        store.info()
    assert all(not found or value == f"value {i}" * 50 for i, (found, value) in enumerate(results))
    assert len(caught) >= 1 and all("damaged" in str(w.message) for w in caught[:1])


def test_directory_store_leaves_a_foreign_directory_alone(tmp_path):
    root = tmp_path / "photos"
    root.mkdir()
    (root / "cat.jpg").write_bytes(b"jpeg")
    with store_warnings() as caught, DirectoryStore(root) as store:
        store.save("k", 1)
        assert store.lookup("k") == (False, None)
        store.clear()
    assert sorted(os.listdir(root)) == ["cat.jpg"]
    assert "not a movra store" in str(caught[0].message)


# --- faults while writing --------------------------------------------------------------------

def test_value_that_does_not_pickle_warns_once_per_type(store):
    with store_warnings() as caught:
        store.save("a", lambda: 1)
        store.save("b", lambda: 2)
        store.save("c", (x for x in ()))
        store.save("d", 4)
    assert [store.contains(k) for k in "abcd"] == [False, False, False, True]
    assert len(caught) == 2
    assert "type function does not pickle" in str(caught[0].message)


def flush(store):
    """Writes what a store holds back (small values, in SQLite)."""
    getattr(store, "flush", lambda: None)()


@pytest.mark.parametrize("size", [1_000, 100_000], ids=["row", "file"])
def test_full_disk_stores_nothing_and_warns_once(tmp_path, store, monkeypatch, backend, size):
    store.save("kept", "earlier")
    flush(store)

    def full(fd, data):
        raise OSError(errno.ENOSPC, "No space left on device")

    if backend == "sqlite" and size == 1_000:  # a row: SQLite's own writes fill up
        store._conn.execute("PRAGMA max_page_count=1")
    else:
        monkeypatch.setattr(os, "write", full)
    with store_warnings() as caught:
        store.save("a", blob(8 * size))
        store.save("b", blob(8 * size))
        flush(store)
    monkeypatch.undo()
    assert len(caught) == 1 and "could not save" in str(caught[0].message)
    assert (store.lookup("a"), store.lookup("kept")) == ((False, None), (True, "earlier"))
    assert [p.name for p in entry_files(tmp_path, backend) if p.name.endswith(".tmp")] == []
    if backend == "sqlite" and size == 1_000:
        store._conn.execute("PRAGMA max_page_count=1073741823")
    store.save("a", 1)  # the disk has room again
    assert store.lookup("a") == (True, 1)


@pytest.fixture
def read_only(tmp_path):
    """Make a directory unwritable, even for root (an immutable attribute)."""
    made = []

    def make(path):
        if os.geteuid() != 0:
            path.chmod(0o500)
        elif subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode:
            pytest.skip("cannot make a directory read-only for root here")
        made.append(path)

    yield make
    for path in made:
        if os.geteuid() == 0:
            subprocess.run(["chattr", "-i", str(path)], check=True)
        path.chmod(0o700)


def test_read_only_location_loads_and_never_saves(tmp_path, backend, read_only):
    with open_backend(tmp_path, backend) as store:
        store.save("old", "value")
    read_only(tmp_path if backend == "sqlite" else store_path(tmp_path, backend))
    with store_warnings() as caught, open_backend(tmp_path, backend) as store:
        store.save("new", 1)
        store.save("newer", blob(800_000))
        assert store.lookup("new") == (False, None)
        assert store.lookup("old") == (True, "value")
    assert len(caught) == 1, [str(w.message) for w in caught]


def test_read_only_database_file_alone_is_also_handled(tmp_path):
    with SQLiteStore(tmp_path / "store.db") as store:
        store.save("old", "value")
    (tmp_path / "store.db").chmod(0o400)
    if os.geteuid() == 0:
        pytest.skip("root writes a read-only file")
    with store_warnings() as caught, SQLiteStore(tmp_path / "store.db") as store:
        store.save("new", 1)
        assert store.lookup("old") in [(True, "value"), (False, None)]
    assert len(caught) == 1


# --- the trust check --------------------------------------------------------------------------

@pytest.mark.parametrize("what", ["directory", "file"])
@pytest.mark.parametrize("bits", [0o020, 0o002], ids=["group", "others"])
def test_location_writable_by_others_is_refused(tmp_path, backend, what, bits):
    open_backend(tmp_path, backend).close()
    path = {"directory": tmp_path if backend == "sqlite" else store_path(tmp_path, backend),
            "file": store_path(tmp_path, backend) if backend == "sqlite"
            else store_path(tmp_path, backend) / "movra-store"}[what]
    path.chmod(path.stat().st_mode | bits)
    with pytest.raises(ValueError, match=r"refusing the store at .* is writable by other users"
                                         r".*runs code when loaded.*chmod go-w"):
        open_backend(tmp_path, backend)


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file away needs root")
def test_location_owned_by_another_user_is_refused(tmp_path, backend):
    open_backend(tmp_path, backend).close()
    os.chown(store_path(tmp_path, backend), 65534, -1)
    with pytest.raises(ValueError, match=r"owned by another user \(uid 65534\)"):
        open_backend(tmp_path, backend)


# --- opening by path, keys, the command line -----------------------------------------------------

@pytest.mark.parametrize("spec, expected", [
    ("cache.db", SQLiteStore), ("cache", SQLiteStore), ("cache/", DirectoryStore),
    ("existing", DirectoryStore)])
def test_open_store_chooses_the_backend_by_path(tmp_path, spec, expected):
    (tmp_path / "existing").mkdir(mode=0o700)
    with open_store(str(tmp_path / spec) + ("/" if spec.endswith("/") else "")) as store:
        assert type(store) is expected and isinstance(store, Store)
    with open_store(tmp_path / "existing") as store:
        assert open_store(store) is store


def test_open_store_rejects_other_types():
    with pytest.raises(TypeError, match="a store must be a path or a Store, not int"):
        open_store(3)


def test_make_key_depends_on_every_part_and_its_order():
    keys = {make_key("n", "v", [1, 2]), make_key("n", "v", [2, 1]), make_key("n", "v", [1]),
            make_key("n", "w", [1, 2]), make_key("m", "v", [1, 2]), make_key("nv", "", [1, 2]),
            make_key("n", "v", []), make_key("n", "v", [2**64 - 1])}
    assert len(keys) == 8
    assert make_key("n", "v", [1, 2]) == make_key("n", "v", (1, 2))
    assert all(len(key) == 32 and int(key, 16) >= 0 for key in keys)


def test_command_line_info_and_clear(tmp_path, backend, capsys):
    with open_backend(tmp_path, backend) as store:
        store.save("a", 1)
        store.save("b", blob(1_600_000))
    path = str(store_path(tmp_path, backend))
    assert main(["info", path]) == 0
    assert capsys.readouterr().out.startswith(f"{path}: 2 entries, 1.5 MiB")
    assert main(["clear", path]) == 0
    assert "removed 2 entries (1.5 MiB), 0 left" in capsys.readouterr().out
    assert main(["info", str(tmp_path / "nothing")]) == 1
    assert capsys.readouterr().err == f"no store at {tmp_path / 'nothing'}\n"


# --- crashes and concurrency -------------------------------------------------------------------

def expected_value(key_index, seed):
    """A value that shows whether it is whole: its parts all derive from `seed`."""
    rng = random.Random(seed)
    size = rng.choice([10, 1000, 300_000])
    return {"key": key_index, "seed": seed, "data": rng.randbytes(size),
            "buffer": bytearray(rng.randbytes(size // 2))}


def check_whole(store, keys):
    found = 0
    for key_index in range(keys):
        hit, value = store.lookup(f"k{key_index}")
        if hit:
            found += 1
            assert value == expected_value(key_index, value["seed"]), key_index
            assert value["key"] == key_index
    return found


def writer_loop(tmp_path, backend, seed, keys, rounds=None):
    """Save self-checking values under `keys` keys forever (or `rounds` times)."""
    rng = random.Random(seed)
    with open_backend(tmp_path, backend, max_bytes=2_000_000) as store:
        count = 0
        while rounds is None or count < rounds:
            key_index = rng.randrange(keys)
            if rng.random() < 0.3:
                hit, value = store.lookup(f"k{key_index}")
                assert not hit or value == expected_value(key_index, value["seed"])
            else:
                store.save(f"k{key_index}", expected_value(key_index, rng.randrange(10**9)))
            count += 1


def in_child(body):
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child leaves through _exit
        status = 1
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                body()
            status = 0
        finally:
            os._exit(status)
    return pid


def test_killed_writer_leaves_only_whole_entries(tmp_path, backend):
    rng = random.Random(7)
    open_backend(tmp_path, backend).close()
    deadline = time.monotonic() + 15
    iterations = 0
    while iterations < 40 and time.monotonic() < deadline:
        seed = rng.random()
        pid = in_child(lambda: writer_loop(tmp_path, backend, seed, keys=12))
        time.sleep(rng.uniform(0.005, 0.08))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        with store_warnings() as caught, open_backend(tmp_path, backend) as store:
            check_whole(store, 12)
        assert caught == [], [str(w.message) for w in caught]
        iterations += 1
    with open_backend(tmp_path, backend) as store:
        assert check_whole(store, 12) > 0
    assert iterations >= 10


def test_two_processes_share_a_store_without_corruption_or_deadlock(tmp_path, backend):
    open_backend(tmp_path, backend).close()
    children = [in_child(lambda seed=seed: writer_loop(tmp_path, backend, seed, keys=8, rounds=300))
                for seed in (1, 2)]
    deadline = time.monotonic() + 60
    statuses = []
    for pid in children:
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
            if time.monotonic() > deadline:
                for other in children:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(other, signal.SIGKILL)
                pytest.fail("the writers did not finish: a deadlock")
            time.sleep(0.02)
        statuses.append(os.waitstatus_to_exitcode(done[1]))
    assert statuses == [0, 0]
    with no_warnings(), open_backend(tmp_path, backend) as store:
        assert check_whole(store, 8) > 0
        assert store.info().bytes <= 2_000_000


def test_forked_child_saves_large_values_after_its_parent_did(tmp_path, backend):
    array = blob(16_000_000)  # checksummed on worker threads, which fork does not copy
    with open_backend(tmp_path, backend) as store:
        store.save("parent", array)

    def child():
        with open_backend(tmp_path, backend) as store:
            store.save("child", array)
            assert store.lookup("parent") == (True, array)

    pid = in_child(child)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            pytest.fail("the child hung")
        time.sleep(0.02)
    assert os.waitstatus_to_exitcode(done[1]) == 0
    with open_backend(tmp_path, backend) as store:
        assert store.lookup("child") == (True, array)


def test_orphan_files_of_a_killed_writer_are_swept(tmp_path, monkeypatch):
    with SQLiteStore(tmp_path / "store.db") as store:
        store.save("k", blob(800_000))
    orphan = tmp_path / "store.db-blobs" / "0123abcd"
    orphan.write_bytes(b"half a value")
    os.utime(orphan, (time.time() - 7200,) * 2)
    monkeypatch.setattr(movra._store_sqlite, "SWEEP_EVERY", 0.0)
    with SQLiteStore(tmp_path / "store.db") as store:
        assert store.lookup("k")[0]
    assert not orphan.exists()


def test_small_sqlite_values_are_written_together_yet_seen_at_once(tmp_path):
    path = tmp_path / "store.db"
    with SQLiteStore(path) as writer, SQLiteStore(path) as reader:
        writer.save("a", [1, 2])
        assert writer.lookup("a") == (True, [1, 2]) and writer.contains("a")
        assert reader.lookup("a") == (False, None)  # held back until the writer flushes
        writer.flush()
        assert reader.lookup("a") == (True, [1, 2])
        writer.save("b", 3)
    with SQLiteStore(path) as again:  # closing flushes too
        assert again.lookup("b") == (True, 3)


# --- attacks by another local user --------------------------------------------------------------
# Each attack ends with the owner's process looking up a key for which the
# attacker planted a forged value: it must get the owner's value, a miss or a
# refusal to open, never the forged one.  The attacker's steps run in a child
# process under a throwaway user's uid.

FORGED = "forged value"


@pytest.fixture(scope="module")
def attacker():
    """(uid, gid) of a throwaway unprivileged user, removed afterwards."""
    if os.geteuid() != 0:
        pytest.skip("ATTACK SUITE NOT RUN: it needs root to create a second user "
                    "(CI runs the suite as root); as an unprivileged user it cannot attack")
    name = f"mvatk{os.getpid() % 100000}"
    # Not the test run's LD_PRELOAD: a sanitizer would report the tools' own leaks.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    made = subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                          capture_output=True, text=True, env=env)
    if made.returncode not in (0, 9):  # 9: left by an earlier run that was killed
        pytest.fail(f"useradd failed: {made.stderr}")
    import pwd
    entry = pwd.getpwnam(name)
    yield entry.pw_uid, entry.pw_gid
    subprocess.run(["userdel", name], capture_output=True, env=env)


def as_attacker(attacker, script, **paths):
    """Run `script` (Python, with `paths` as str variables) in a child process
    that drops to the attacker's uid and gid first."""
    import shutil
    uid, gid = attacker
    names = {"os": os, "shutil": shutil, **{name: str(path) for name, path in paths.items()}}
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child leaves through _exit
        status = 1
        try:
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
            exec(script, names)
            status = 0
        except BaseException:
            import traceback
            traceback.print_exc()
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the attacker's steps failed"


@pytest.fixture
def arena():
    """A folder every user can reach and add to (tmp_path is private to root)."""
    import shutil
    import tempfile
    root = tempfile.mkdtemp(prefix="movra-attack-")
    os.chmod(root, 0o1777)  # shared like /tmp: the attacker can make folders in it
    yield __import__("pathlib").Path(root)
    shutil.rmtree(root, ignore_errors=True)


def forged_copy(folder, backend, key):
    """A store holding FORGED under `key`, made privately: what an attacker would plant."""
    folder.mkdir(mode=0o700, exist_ok=True)
    with open_backend(folder, backend) as store:
        store.save(key, FORGED)
        store.save(key + "-large", FORGED * 100_000)
    return store_path(folder, backend)


def owner_sees(open_store_there, keys):
    """What the owner loads for `keys`, or 'refused' when opening is refused."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", StoreWarning)
            with open_store_there() as store:
                return [store.lookup(key) for key in keys]
    except ValueError as error:
        assert "refusing the store" in str(error) or "cannot keep a store" in str(error)
        return "refused"


def test_symlinked_database_and_its_log_in_a_shared_folder(arena, attacker):
    shared = arena / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    private = arena / "private"
    private.mkdir(mode=0o700)
    (private / "cache.db").symlink_to(shared / "cache.db")
    forged = forged_copy(arena / "forge", "sqlite", "k")
    forged.chmod(0o644)  # so that the attacker can copy it
    (arena / "forge").chmod(0o755)
    # The owner's database really lives in the shared folder; the attacker
    # plants a log (and, for good measure, the database) beside the target.
    with sqlite3.connect(shared / "cache.db") as conn:
        conn.execute("CREATE TABLE t (x)")
    as_attacker(attacker, "shutil.copy(forged, target + '-wal')\n"
                          "open(target + '-shm', 'wb').close()", forged=forged,
                target=shared / "cache.db")
    assert owner_sees(lambda: SQLiteStore(private / "cache.db"), ["k", "k-large"]) == "refused"
    (shared / "cache.db").unlink()
    for suffix in ("-wal", "-shm"):
        (shared / ("cache.db" + suffix)).unlink()
    as_attacker(attacker, "shutil.copy(forged, target)", forged=forged, target=shared / "cache.db")
    assert owner_sees(lambda: SQLiteStore(private / "cache.db"), ["k", "k-large"]) == "refused"


@pytest.mark.parametrize("parent", ["owned by the attacker", "writable by everyone"])
def test_store_under_a_folder_another_user_controls_is_refused(arena, attacker, backend, parent):
    folder = arena / "parent"
    if parent == "owned by the attacker":
        as_attacker(attacker, "os.mkdir(folder, 0o777)\nos.chmod(folder, 0o777)", folder=folder)
    else:
        folder.mkdir()
        folder.chmod(0o777)
    forged = forged_copy(arena / "forge", backend, "k")
    os.system(f"chmod -R go+rX {arena / 'forge'}")
    as_attacker(attacker, "copy = shutil.copytree if os.path.isdir(forged) else shutil.copy\n"
                          "copy(forged, os.path.join(folder, os.path.basename(forged)))",
                forged=forged, folder=folder)
    seen = owner_sees(lambda: open_backend(folder, backend), ["k", "k-large"])
    assert seen == "refused"
    with pytest.raises(ValueError, match="owned by another user|writable by other users"):
        open_store(str(folder / "deeper" / "mv") + "/")


def test_rename_and_plant_after_open_is_not_read(arena, attacker, backend):
    parent = arena / "parent"
    parent.mkdir(mode=0o700)
    forged = forged_copy(arena / "forge", backend, "k")
    os.system(f"chmod -R go+rX {arena / 'forge'}")
    with open_backend(parent, backend) as store:
        store.save("k", "owner's value")
        store.save("k-large", blob(100_000))
        store.flush() if hasattr(store, "flush") else None
        parent.chmod(0o777)  # a lapse, after the store was opened and checked
        name = os.path.basename(store_path(parent, backend))
        as_attacker(attacker, """
for suffix in ['', '-blobs', '-wal', '-shm']:
    if os.path.lexists(os.path.join(parent, name + suffix)):
        os.rename(os.path.join(parent, name + suffix), os.path.join(parent, 'moved' + suffix))
copy = shutil.copytree if os.path.isdir(forged) else shutil.copy
copy(forged, os.path.join(parent, name))
if os.path.isdir(forged + '-blobs'):
    shutil.copytree(forged + '-blobs', os.path.join(parent, name + '-blobs'))
""", parent=parent, forged=forged, name=name)
        assert store.lookup("k") in [(True, "owner's value"), (False, None)]
        assert store.lookup("k-large") in [(True, blob(100_000)), (False, None)]
    assert owner_sees(lambda: open_backend(parent, backend), ["k", "k-large"]) == "refused"


@pytest.mark.parametrize("flip", ["key index", "row keys"])
def test_swapped_sqlite_entries_are_not_served(tmp_path, flip):
    with SQLiteStore(tmp_path / "store.db") as store:
        store.save("negated", -2)
        store.save("tripled", 3)
        store.save("big-a", blob(100_000, 1))
        store.save("big-b", blob(100_000, 2))
    with contextlib.closing(sqlite3.connect(tmp_path / "store.db")) as conn, conn:
        for a, b in [("negated", "tripled"), ("big-a", "big-b")]:
            conn.execute("UPDATE movra_entries SET key=key||'~' WHERE key=?", (a,))
            conn.execute("UPDATE movra_entries SET key=? WHERE key=?", (a, b))
            conn.execute("UPDATE movra_entries SET key=? WHERE key=?", (b, a + "~"))
    with store_warnings(), SQLiteStore(tmp_path / "store.db") as store:
        for key in ("negated", "tripled", "big-a", "big-b"):
            assert store.lookup(key) == (False, None)


# --- bit flips everywhere -----------------------------------------------------------------------

SWEPT = {f"k{i}": (-i if i % 2 else i * 3, "x" * (i % 7)) for i in range(150)}
SWEPT_LARGE = {"large": blob(40_000, 3)}


def flip_sweep(path, check, flips):
    """Flip one bit at about `flips` bytes evenly spread over the file at `path`
    (restored after each flip), and `check()` the store each time."""
    pristine = path.read_bytes()
    step = max(1, len(pristine) // flips)
    for offset in range(step // 2, len(pristine), step):
        spoiled = bytearray(pristine)
        spoiled[offset] ^= 1 << (offset % 8)
        path.write_bytes(spoiled)
        check()
    path.write_bytes(pristine)
    return len(range(step // 2, len(pristine), step))


def check_values(tmp_path, backend, save=False):
    """Open the store, look every key up: a miss or the very value, never an error."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", StoreWarning)
        with open_backend(tmp_path, backend) as store:
            for key, value in {**SWEPT, **SWEPT_LARGE}.items():
                hit, found = store.lookup(key)
                assert not hit or found == value, (key, found)
            if save:  # and it keeps working (not every time: a commit syncs the disk)
                store.save("after", 1)
                assert store.lookup("after") in [(True, 1), (False, None)]


def test_one_bit_flipped_anywhere_never_gives_a_wrong_value(tmp_path, backend):
    with open_backend(tmp_path, backend) as store:
        for key, value in {**SWEPT, **SWEPT_LARGE}.items():
            store.save(key, value)
    files = entry_files(tmp_path, backend)
    if backend == "sqlite":
        # Every page of the database (the key index's and the table's) gets flips.
        plan = [(store_path(tmp_path, backend), 400), *[(f, 40) for f in files]]
    else:
        plan = [(f, 10) for f in files[::8]] + [(f, 40) for f in files if f.stat().st_size > 30_000]
    checks = iter(range(10**6))
    flips = sum(flip_sweep(path, lambda: check_values(tmp_path, backend, next(checks) % 16 == 0),
                           count) for path, count in plan)
    assert flips >= 200


# --- what the review found, each a case ---------------------------------------------------------

def test_files_and_folders_are_private_to_their_owner(tmp_path, backend):
    old = os.umask(0o022)
    try:
        with open_backend(tmp_path / "new", backend) as store:
            store.save("small", 1)
            store.save("large", blob(100_000))
            store.flush() if backend == "sqlite" else None
            made = [p for p in (tmp_path / "new").rglob("*")]
    finally:
        os.umask(old)
    assert made and {oct(p.stat().st_mode & 0o777) for p in made if p.is_file()} == {"0o600"}
    assert {oct(p.stat().st_mode & 0o777) for p in made if p.is_dir()} == {"0o700"}
    if backend == "sqlite":  # the log and shared memory exist while a store is open
        assert {p.name for p in made} >= {"store.db", "store.db-wal", "store.db-shm"}


def test_a_small_value_saved_earlier_never_overrides_a_later_large_one(tmp_path):
    with SQLiteStore(tmp_path / "store.db") as store:
        store.save("k", "small")
        store.save("k", blob(100_000))
        assert store.lookup("k") == (True, blob(100_000))
    with SQLiteStore(tmp_path / "store.db") as store:
        assert store.lookup("k") == (True, blob(100_000))


def test_dropped_entries_leave_the_bound_exact(tmp_path):
    with SQLiteStore(tmp_path / "store.db", max_bytes=40_000) as store:
        for i in range(100):
            store.save(f"k{i}", i)
    with contextlib.closing(sqlite3.connect(tmp_path / "store.db")) as conn, conn:
        conn.execute("UPDATE movra_entries SET crc=crc+1")  # every entry damaged
    with store_warnings(), SQLiteStore(tmp_path / "store.db", max_bytes=40_000) as store:
        assert not any(store.lookup(f"k{i}")[0] for i in range(100))
        assert store.info().bytes == 0
        for i in range(100):
            store.save(f"n{i}", i)
        assert sum(store.lookup(f"n{i}")[0] for i in range(100)) > 50


@pytest.mark.parametrize("value", [1, bytes(5000)], ids=["tiny", "5 kB"])
def test_the_bound_counts_what_the_disk_holds(tmp_path, backend, value):
    bound = 400_000
    with open_backend(tmp_path, backend, max_bytes=bound) as store:
        for i in range(3000):
            store.save(f"k{i}", value)
        counted = store.info().bytes
    on_disk = sum(p.stat().st_blocks * 512 for p in tmp_path.rglob("*") if p.is_file())
    assert counted <= bound and on_disk <= 1.3 * bound + 64 * 1024, (counted, on_disk)


def test_opening_a_damaged_database_warns_instead_of_raising(tmp_path):
    with SQLiteStore(tmp_path / "store.db") as store:
        for i in range(50):
            store.save(f"k{i}", i)
    data = bytearray((tmp_path / "store.db").read_bytes())
    data[100:4096] = random.Random(1).randbytes(3996)  # the schema page
    (tmp_path / "store.db").write_bytes(data)
    with store_warnings() as caught, SQLiteStore(tmp_path / "store.db") as store:
        assert store.lookup("k1") == (False, None)
        store.save("k1", 1)
    assert len(caught) == 1 and "damaged" in str(caught[0].message)


@pytest.mark.parametrize("spec", ["notes.txt/x.db", "notes.txt/deeper/x.db", "notes.txt/x/"])
def test_a_path_that_cannot_be_a_store_is_one_clear_error(tmp_path, spec):
    (tmp_path / "notes.txt").write_text("notes\n")
    path = str(tmp_path / spec) + ("/" if spec.endswith("/") else "")
    with pytest.raises(ValueError) as raised:
        open_store(path)
    assert str(raised.value) == f"cannot keep a store at {path!r}: " \
                                f"{str(tmp_path / 'notes.txt')!r} is not a folder"
    assert (tmp_path / "notes.txt").read_text() == "notes\n"


def test_a_database_directly_in_a_shared_folder_is_refused_without_chmod_advice(tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    with pytest.raises(ValueError, match="it is a shared folder: keep the store in a folder of "
                                         "your own inside it") as raised:
        SQLiteStore(shared / "cache.db")
    assert "chmod" not in str(raised.value) and not (shared / "cache.db").exists()


def test_symbolic_links_are_resolved_and_their_targets_checked(tmp_path, backend):
    real = tmp_path / "real"
    real.mkdir(mode=0o700)
    link = tmp_path / "link"
    link.symlink_to(real)
    with open_backend(link, backend) as store:
        store.save("k", "v")
    with open_backend(real, backend) as store:
        assert store.lookup("k") == (True, "v")
    real.chmod(0o777)
    with pytest.raises(ValueError, match="writable by other users"):
        open_backend(link, backend)


def test_many_processes_opening_a_new_directory_store_all_use_it(tmp_path):
    """Several processes make the same new store at once; none finds it foreign."""
    script = ("import sys, warnings\nfrom movra.store import DirectoryStore\n"
              "warnings.simplefilter('error')\n"
              "for path in sys.argv[1:]:\n"
              "    with DirectoryStore(path) as store:\n"
              "        store.save(path, 1)\n")
    paths = [str(tmp_path / f"s{i}") for i in range(100)]
    children = [subprocess.Popen([sys.executable, "-c", script, *paths], stderr=subprocess.PIPE)
                for _ in range(4)]
    errors = [child.communicate(timeout=120)[1].decode() for child in children]
    assert [child.returncode for child in children] == [0] * 4, errors


@needs_numpy
def test_a_network_filesystem_reads_large_entries_into_memory(tmp_path, monkeypatch):
    monkeypatch.setattr(movra._store_dir, "_local_filesystem", lambda path: False)
    array = np.arange(500_000, dtype=np.float64)
    with DirectoryStore(tmp_path / "store") as store:
        store.save("a", array)
        found, loaded = store.lookup("a")
    assert found and np.array_equal(loaded, array) and loaded.flags.writeable


def test_a_store_of_the_previous_format_is_emptied_quietly_and_used(tmp_path, backend):
    with open_backend(tmp_path, backend) as store:
        store.save("k", "value")
        store.save("big", blob(100_000))
    if backend == "sqlite":
        with contextlib.closing(sqlite3.connect(store_path(tmp_path, backend))) as conn, conn:
            conn.execute("UPDATE movra_meta SET value='movra store 1' WHERE name='format'")
    else:
        for path in entry_files(tmp_path, backend):
            data = bytearray(path.read_bytes())
            data[:4] = b"mvE1"
            path.write_bytes(data)
    with no_warnings(), open_backend(tmp_path, backend) as store:
        assert store.lookup("k") == (False, None) and store.lookup("big") == (False, None)
        store.save("k", "new")
        assert store.lookup("k") == (True, "new")


@pytest.mark.parametrize("backend_name", BACKENDS)
def test_a_bounded_store_counts_exactly_whatever_is_saved_dropped_or_evicted(tmp_path, backend_name):
    from hypothesis import HealthCheck, given, settings, strategies as st

    operation = st.tuples(st.sampled_from(["save", "lookup", "spoil", "reopen"]),
                          st.integers(0, 7), st.sampled_from([1, 3000, 40_000, 70_000]))

    @settings(max_examples=20, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.lists(operation, max_size=25))
    def run(operations):
        folder = tmp_path / f"case{next(cases)}"
        folder.mkdir(mode=0o700)
        bound = 100_000
        store = open_backend(folder, backend_name, max_bytes=bound)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", StoreWarning)
                for what, key, size in operations:
                    if what == "save":
                        store.save(f"k{key}", bytes(size))
                    elif what == "lookup":  # a value once saved under the key, or a miss
                        hit, value = store.lookup(f"k{key}")
                        assert not hit or (type(value) is bytes and not any(value)
                                           and len(value) in (1, 3000, 40_000, 70_000))
                    elif what == "spoil":
                        store.flush() if hasattr(store, "flush") else None
                        files = entry_files(folder, backend_name)
                        if files:
                            data = bytearray(files[key % len(files)].read_bytes())
                            data[-1] ^= 1
                            files[key % len(files)].write_bytes(data)
                    else:
                        store.close()
                        store = open_backend(folder, backend_name, max_bytes=bound)
                info = store.info()
                assert info.bytes <= bound
                if backend_name == "sqlite":
                    with contextlib.closing(sqlite3.connect(store_path(folder, backend_name))) as conn:
                        [(counted,)] = conn.execute("SELECT value FROM movra_meta WHERE name='bytes'")
                        [(summed,)] = conn.execute("SELECT COALESCE(SUM(size), 0) FROM movra_entries")
                    assert counted == summed == info.bytes
        finally:
            store.close()

    cases = iter(range(10**6))
    run()
