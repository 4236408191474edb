"""`SQLiteStore`: an index and small values in SQLite, large values in files beside it.

Layout: the database `PATH` (WAL mode) has one row per entry; a value whose
frame is larger than `inline_limit` lives in a file under `PATH-blobs/` named by
a random token, and its row holds that name.  A large value is written to a
temporary file and renamed into place before its row is committed, so a row
never names a file that is not whole; a file whose row was never committed (the
writer died in between) is an orphan, swept later.  Every row keeps a CRC-32
over its key and its frame, checked before a value is unpickled, so neither a
damaged frame nor a row found under another key (a damaged index) is served.

Large values are not kept in the database because it is much slower: on this
machine an 80 MB array goes through a BLOB column at about 0.2 GB/s written and
0.4 GB/s read, and through a file (preallocated, written in one pass, mapped
copy-on-write when read) at over 1 GB/s both ways.
"""
from __future__ import annotations

import atexit
import mmap
import os
import re
import secrets
import sqlite3
import stat
import threading
import time
import weakref
from collections.abc import Callable
from typing import Any, TypeVar
from urllib.parse import quote

from ._store_base import (
    BaseStore, DamagedFrame, EntryInfo, StoreInfo, check_ancestors, check_max_bytes,
    check_private, checksum_started, decode, disk_bytes, entry_checksum, open_directory, resolve,
    surely_cheap, worth_storing, write_file_atomically,
)

__all__ = ["SQLiteStore"]

T = TypeVar("T")
FORMAT = "movra store 2"
OLD_FORMATS = {"movra store 1"}  # checksums without the key: emptied when opened
# Measured: up to about 32 KiB a row is faster to save and load than a file of
# its own; at 64 KiB a file is twice as fast to save and no slower to load.
INLINE_LIMIT = 32 * 1024
# The disk an entry takes besides its frame: its row's and index entries'
# share of database pages (measured with tiny values: tests/test_store.py
# checks that a bound full of them keeps the database within it).
ROW_OVERHEAD = 160
TOUCH_BATCH = 256  # access times kept in memory before they are written
TOUCH_SECONDS = 5.0
# Small values saved but not written yet: one transaction per value would cost
# a WAL commit each, so they are written together, at the latest FLUSH_SECONDS
# after the first of them was saved (by a timer thread if no save comes), and
# at `flush`, which a flow calls after each run, and at exit.  A crash loses at
# most the small values that finished in the last FLUSH_SECONDS.
FLUSH_SECONDS = 0.1
PENDING_ROWS = 256
PENDING_BYTES = 4 << 20
BUSY_RETRIES = 4
ORPHAN_AGE = 600.0  # seconds: a younger unreferenced file may be a write in flight
SWEEP_EVERY = 600.0
MISS = (False, None)
BLOB_NAME = re.compile(r"[0-9a-f]{32}")

SCHEMA = """
CREATE TABLE IF NOT EXISTS movra_entries (
    key TEXT PRIMARY KEY,
    size INTEGER NOT NULL,
    crc INTEGER NOT NULL,
    data BLOB,
    file TEXT,
    accessed REAL NOT NULL,
    node TEXT,
    version TEXT,
    seconds REAL
);
CREATE INDEX IF NOT EXISTS movra_entries_accessed ON movra_entries(accessed);
CREATE TABLE IF NOT EXISTS movra_meta (name TEXT PRIMARY KEY, value);
"""
SELECT_ENTRY = "SELECT crc, data, file FROM movra_entries WHERE key=?"
DAMAGED = {"SQLITE_CORRUPT", "SQLITE_NOTADB"}
BUSY = {"SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_BUSY_SNAPSHOT", "SQLITE_BUSY_RECOVERY"}


class _Foreign(Exception):
    """The database holds tables that are not a store's."""


class _Pending:
    __slots__ = ("charge", "crc", "data", "node", "version", "seconds", "at")

    def __init__(self, charge: int, crc: int, data: bytes, node: str | None,
                 version: str | None, seconds: float | None) -> None:
        self.charge, self.crc, self.data = charge, crc, data
        self.node, self.version, self.seconds = node, version, seconds
        self.at = time.time()


class SQLiteStore(BaseStore):
    """A store in one SQLite database file, safe for several processes at once.

    `max_bytes` bounds the disk the entries take (their frames, their rows'
    share of the database, their files' whole blocks); past it, the least
    recently used entries are evicted.  Only a bounded store records reads, in
    batches: an entry read by another process in the last few seconds, or read
    while the store was opened without a bound, counts as used when written.

    With `fsync`, a large value's file is flushed to disk before its row is
    committed; without it (the default: writes take about a third less time),
    a power loss can leave a row whose file is incomplete, which its checksum
    catches: it is dropped, never returned.  Values up to `inline_limit` bytes
    live in the database itself, written in batches at most `FLUSH_SECONDS`
    (0.1 s) after they were saved.

    A value whose call took less time than loading it would (see `save`) is
    not stored; `min_seconds` replaces that estimate (0 stores every value).

    The database and its files are trusted data: loading a value unpickles it,
    and unpickling runs code.  Opening refuses (ValueError) a location that
    another user can write or redirect: the database, its log, its shared
    memory and its folder of values must be this user's and private, and so
    must every folder above them (a shared, sticky folder such as /tmp may be
    above, not hold the database).  Symbolic links are resolved first, and the
    files the database really lives beside are the ones checked.  The database
    must be on a local filesystem (WAL mode needs shared memory);
    `DirectoryStore` serves a shared one.
    """

    def __init__(self, path: str | os.PathLike[str], max_bytes: int | None = None, *,
                 inline_limit: int = INLINE_LIMIT, fsync: bool = False,
                 timeout: float = 10.0, min_seconds: float | None = None) -> None:
        super().__init__()
        self.path = os.path.abspath(os.fspath(path))
        self.max_bytes = check_max_bytes(max_bytes)
        self.min_seconds = min_seconds
        self.inline_limit = inline_limit
        self.fsync = fsync
        self._timeout = timeout
        self._real = resolve(os.fspath(path))
        self._blobs = self._real + "-blobs"
        self._blobs_fd: int | None = None
        self._conn: sqlite3.Connection | None = None  # None while the store is unusable
        self._writable = False
        self._touched: dict[str, float] = {}
        self._pending: dict[str, _Pending] = {}
        self._pending_bytes = 0
        self._timer: threading.Timer | None = None
        self._timer_pid = 0
        self._flushed_at = time.monotonic()
        folder = os.path.dirname(self._real)
        try:
            os.makedirs(folder, mode=0o700, exist_ok=True)
        except OSError:
            pass  # the store is read-only or unusable: _open says so
        self._check(folder)
        atexit.register(_flush_at_exit, weakref.ref(self))
        _open_stores.add(self)
        self._open()

    def _check(self, folder: str) -> None:
        check_private(folder, "directory", store=self.path)
        for name, what in [("", "database"), ("-wal", "database's log"),
                           ("-shm", "database's shared memory"), ("-blobs", "value directory")]:
            check_private(self._real + name, what, store=self.path)
        check_ancestors(folder, self.path)

    # --- opening -------------------------------------------------------------------

    def _create_private(self) -> None:
        """Create the database file readable by this user only (SQLite gives its
        log and shared memory the database's mode), and make an existing one so."""
        fd = os.open(self._real, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            check_private(self._real, "database", info=os.fstat(fd), store=self.path)
            if os.fstat(fd).st_mode & 0o077:
                os.fchmod(fd, 0o600)
        finally:
            os.close(fd)
        for suffix in ("-wal", "-shm"):
            try:
                if os.lstat(self._real + suffix).st_mode & 0o077:
                    os.chmod(self._real + suffix, 0o600, follow_symlinks=False)
            except OSError:
                pass

    def _open(self) -> None:
        """Connect read-write, or read-only where the location allows no more."""
        try:
            self._create_private()
            self._conn = self._connect(self._real, uri=False)
            self._transaction(self._prepare)  # first: a foreign database stays untouched
            self._conn.execute("PRAGMA journal_mode=WAL")
            self._writable = True
            self._blobs_dir(create=True)  # held from now on
        except _Foreign:
            self._disable("is not a movra store (it holds other tables); leaving it alone")
            return
        except (sqlite3.OperationalError, OSError) as error:
            if self._is_damaged(error):
                self._disable(f"the database is damaged ({error}); remove it to start afresh")
                return
            self._open_read_only(error)
            return
        except Exception as error:  # a damaged database fails in many ways
            self._disable(f"the database is damaged ({error!r}); remove it to start afresh")
            return
        try:
            self._sweep_now_and_then()
        except Exception as error:
            self._fault(error, "sweep the value directory")

    def _connect(self, target: str, uri: bool) -> sqlite3.Connection:
        conn = sqlite3.connect(target, timeout=self._timeout, isolation_level=None,
                               check_same_thread=False, uri=uri)
        conn.execute("PRAGMA synchronous=NORMAL")
        return conn

    def _prepare(self, conn: sqlite3.Connection) -> None:
        tables = {name for (name,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type='table'")}
        if tables and "movra_meta" not in tables:
            raise _Foreign
        if not tables:
            for statement in SCHEMA.split(";"):
                conn.execute(statement)
        found = conn.execute("SELECT value FROM movra_meta WHERE name='format'").fetchone()
        if found is not None and found[0] in OLD_FORMATS:
            conn.execute("DROP TABLE IF EXISTS movra_entries")  # its files become orphans
            for statement in SCHEMA.split(";"):
                conn.execute(statement)
            conn.execute("DELETE FROM movra_meta WHERE name IN ('format', 'bytes')")
            found = None
        if found is None:
            conn.execute("INSERT INTO movra_meta VALUES ('format', ?)", (FORMAT,))
        elif found[0] != FORMAT:
            raise _Foreign
        conn.execute("INSERT OR IGNORE INTO movra_meta VALUES ('bytes', 0)")
        conn.execute("INSERT OR IGNORE INTO movra_meta VALUES ('swept', 0)")

    def _open_read_only(self, error: BaseException) -> None:
        self._close_connection()
        self._warn("io", f"cannot write here ({error}); values are loaded but not saved")
        if not os.path.exists(self._real):
            return
        # Without write access to the directory SQLite cannot make the WAL's shared
        # memory; `immutable` reads without it.  Should another process still write
        # the file meanwhile, a row read half-changed fails its checksum.
        for options in ("mode=ro", "mode=ro&immutable=1"):
            try:
                self._conn = self._connect(f"file:{quote(self._real)}?{options}", uri=True)
                (found,) = self._conn.execute(
                    "SELECT value FROM movra_meta WHERE name='format'").fetchone()
                if found == FORMAT:
                    self._blobs_dir(create=False)
                    return
                self._close_connection()
                return
            except Exception:
                self._close_connection()

    def _disable(self, message: str) -> None:
        self._close_connection()
        self._writable = False
        self._pending.clear()
        self._warn("damaged-database", message)

    def _close_connection(self) -> None:
        if self._conn is not None:
            try:
                self._conn.close()
            except sqlite3.Error:
                pass
            self._conn = None

    @staticmethod
    def _is_damaged(error: BaseException) -> bool:
        return getattr(error, "sqlite_errorname", "") in DAMAGED

    def _blobs_dir(self, create: bool) -> int | None:
        """The descriptor of the folder of large values, held open: values are
        read and written relative to it, never through a path someone could
        redirect.  None if it does not exist (and `create` is false)."""
        if self._blobs_fd is None:
            try:
                if create:
                    try:
                        os.mkdir(self._blobs, 0o700)
                    except FileExistsError:
                        pass
                self._blobs_fd = open_directory(self._blobs)
            except FileNotFoundError:
                return None
            except ValueError as error:  # replaced since the store was opened
                self._warn("trust", str(error))
                return None
        return self._blobs_fd

    # --- transactions and faults ---------------------------------------------------------

    def _transaction(self, body: Callable[[sqlite3.Connection], T]) -> T:
        """Run `body` in a write transaction, retrying while another writer holds the lock."""
        conn = self._conn
        assert conn is not None
        for attempt in range(BUSY_RETRIES):
            try:
                conn.execute("BEGIN IMMEDIATE")
            except sqlite3.OperationalError as error:
                if getattr(error, "sqlite_errorname", "") in BUSY and attempt + 1 < BUSY_RETRIES:
                    time.sleep(0.05 * 2**attempt)
                    continue
                raise
            try:
                result = body(conn)
                conn.execute("COMMIT")
                return result
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                raise
        raise AssertionError("unreachable")

    def _fault(self, error: BaseException, doing: str) -> None:
        """Carry on after `error`: disable a damaged database, warn about the rest."""
        if self._is_damaged(error) or not isinstance(error, (sqlite3.OperationalError, OSError)):
            self._disable(f"the database is damaged ({error!r}); remove it to start afresh")
        else:
            self._warn("io", f"could not {doing} ({error}); carrying on without it")

    # --- the Store protocol -------------------------------------------------------------

    def lookup(self, key: str) -> tuple[bool, Any]:
        with self._lock:
            if self._closed:
                self._require_open()
            encoded_key = key.encode("utf-8", "surrogatepass")
            if self._pending:
                pending = self._pending.get(key)
                if pending is not None:
                    try:
                        return True, decode(pending.data, pending.crc, True, encoded_key)
                    except DamagedFrame as error:  # its class was renamed meanwhile
                        self._warn("damaged-entry", f"dropped a damaged entry ({error!r})")
                        del self._pending[key]
                        return MISS
            for _ in range(2):  # a second try if a writer replaced the file under us
                conn = self._conn
                if conn is None:
                    return MISS
                try:
                    row = conn.execute(SELECT_ENTRY, (key,)).fetchone()
                except Exception as error:  # damaged pages fail in many ways
                    self._fault(error, "read an entry")
                    return MISS
                if row is None:
                    return MISS
                crc, data, name = row
                try:
                    if type(crc) is not int or (data is None) == (name is None):
                        raise DamagedFrame("a malformed row")
                    if name is None:
                        value = decode(data, crc, True, encoded_key)
                    else:
                        value = self._load(name, crc, encoded_key)
                except FileNotFoundError:
                    continue
                except Exception as error:
                    self._drop(key, error)
                    return MISS
                if self.max_bytes is not None:
                    self._touch(key)
                return True, value
            self._drop(key, FileNotFoundError(name))
            return MISS

    def _load(self, name: Any, crc: int, key: bytes) -> Any:
        if not isinstance(name, str) or not BLOB_NAME.fullmatch(name):
            raise DamagedFrame(f"a malformed file name {name!r}")
        folder = self._blobs_dir(create=False)
        if folder is None:
            raise FileNotFoundError(name)
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=folder)
        try:
            # A private mapping reads the page cache in place, and the arrays built
            # on it are writable (copy on write) without touching the file.
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise DamagedFrame("not a file")
            mapped = mmap.mmap(fd, 0, access=mmap.ACCESS_COPY)
        finally:
            os.close(fd)
        return decode(mapped, crc, False, key)

    def _drop(self, key: str, error: BaseException) -> None:
        """Drop `key`'s damaged entry, and its bytes from the bound's count."""
        self._warn("damaged-entry", f"dropped a damaged entry ({error!r})")
        if not self._writable or self._conn is None:
            return

        def delete(conn: sqlite3.Connection) -> list[str]:
            rows = conn.execute("DELETE FROM movra_entries WHERE key=? RETURNING size, file",
                                (key,)).fetchall()
            size = sum(row[0] for row in rows if isinstance(row[0], int))
            conn.execute("UPDATE movra_meta SET value=max(0, value-?) WHERE name='bytes'",
                         (size,))
            return [row[1] for row in rows if isinstance(row[1], str)]

        try:
            names = self._transaction(delete)
        except Exception as error:
            self._fault(error, "drop a damaged entry")
            return  # another process may drop it; a lookup misses it meanwhile
        self._unlink(names)

    def _touch(self, key: str) -> None:
        if self.max_bytes is None:
            return  # only eviction reads access times, and they cost a write
        self._touched[key] = time.time()
        if len(self._touched) >= TOUCH_BATCH or \
                time.monotonic() - self._flushed_at > TOUCH_SECONDS:
            self._flush_touches()

    def _flush_touches(self) -> None:
        if not self._touched or not self._writable or self._conn is None:
            self._touched.clear()
            return
        try:
            self._transaction(self._write_touches)
        except sqlite3.Error:
            pass  # access times are advisory; a busy database keeps them for later
        self._flushed_at = time.monotonic()

    def _write_touches(self, conn: sqlite3.Connection) -> None:
        conn.executemany("UPDATE movra_entries SET accessed=? WHERE key=?",
                         [(at, key) for key, at in self._touched.items()])
        self._touched.clear()

    def contains(self, key: str) -> bool:
        with self._lock:
            self._require_open()
            if key in self._pending:
                return True
            if self._conn is None:
                return False
            try:
                return self._conn.execute("SELECT 1 FROM movra_entries WHERE key=?",
                                          (key,)).fetchone() is not None
            except Exception as error:
                self._fault(error, "read an entry")
                return False

    def save(self, key: str, value: Any, *, seconds: float | None = None,
             node: str | None = None, version: str | None = None) -> None:
        """Store `value` under `key` (see `Store.save`).

        `seconds`, how long the call that computed `value` took, decides whether
        it is worth storing: it is not when loading it back would take longer,
        estimated as `LOOKUP_SECONDS` plus its pickled size at `LOAD_RATE` (or
        `min_seconds` if given).  `node` and `version` (the node's name and code
        version) are kept with the entry for `python -m movra store info`."""
        with self._lock:
            self._require_open()
            if not self._writable or self._conn is None or surely_cheap(seconds, self.min_seconds):
                return
            encoded = self._encode(value)
            if encoded is None:
                return
            parts, length = encoded
            if not worth_storing(seconds, length, self.min_seconds):
                return
            encoded_key = key.encode("utf-8", "surrogatepass")
            crc_of = checksum_started(parts, length)  # computed while the file is written
            overhead = len(encoded_key) + ROW_OVERHEAD
            if length <= self.inline_limit:
                data = b"".join(parts)
                old = self._pending.pop(key, None)
                self._pending_bytes -= old.charge if old is not None else 0
                self._pending[key] = _Pending(length + overhead,
                                              entry_checksum(encoded_key, crc_of()), data,
                                              node, version, seconds)
                self._pending_bytes += length + overhead
                if len(self._pending) >= PENDING_ROWS or self._pending_bytes >= PENDING_BYTES or \
                        time.monotonic() - self._flushed_at > FLUSH_SECONDS:
                    self._flush_pending()
                else:
                    self._flush_later()
                return
            # A small value saved earlier under this key is older: it must not be
            # written over this one.
            old = self._pending.pop(key, None)
            self._pending_bytes -= old.charge if old is not None else 0
            name = None
            try:
                name = self._write_file(parts, length)
                crc = entry_checksum(encoded_key, crc_of())
                obsolete = self._transaction(lambda conn: self._insert(
                    conn, key, disk_bytes(length) + overhead, crc, None, name,
                    node, version, seconds))
            except Exception as error:
                if name is not None:
                    self._unlink([name])
                self._fault(error, "save a value")
                return
            self._unlink(obsolete)

    def _flush_later(self) -> None:
        """Make sure the pending values are written within FLUSH_SECONDS, even if
        no other save or flush comes."""
        if self._timer is not None and self._timer_pid == os.getpid():
            return
        self._timer = threading.Timer(FLUSH_SECONDS, _flush_on_timer, (weakref.ref(self),))
        self._timer.daemon = True
        self._timer_pid = os.getpid()
        self._timer.start()

    def flush(self) -> None:
        """Writes the small values saved since the last flush, and access times."""
        with self._lock:
            if not self._closed:
                self._flush_pending()
                self._flush_touches()

    def _flush_pending(self) -> None:
        pending, self._pending, self._pending_bytes = self._pending, {}, 0
        self._flushed_at = time.monotonic()
        if self._timer is not None and self._timer_pid == os.getpid():
            self._timer.cancel()
        self._timer = None
        if not pending or not self._writable or self._conn is None:
            return

        def insert_all(conn: sqlite3.Connection) -> list[str]:
            obsolete = []
            for key, entry in pending.items():
                obsolete += self._insert(conn, key, entry.charge, entry.crc, entry.data, None,
                                         entry.node, entry.version, entry.seconds, entry.at)
            return obsolete

        try:
            obsolete = self._transaction(insert_all)
        except Exception as error:
            self._fault(error, "save values")
            return
        self._unlink(obsolete)

    def _write_file(self, parts: list[Any], length: int) -> str:
        folder = self._blobs_dir(create=True)
        if folder is None:
            raise OSError(f"cannot use the folder {self._blobs}")
        name = secrets.token_hex(16)
        write_file_atomically(folder, name + ".tmp", name, parts, fsync=self.fsync,
                              preallocate=length)
        return name

    def _insert(self, conn: sqlite3.Connection, key: str, charge: int, crc: int,
                data: bytes | None, name: str | None, node: str | None, version: str | None,
                seconds: float | None, at: float | None = None) -> list[str]:
        """Replace `key`'s row, evict past `max_bytes`; the files no row names any more."""
        old = conn.execute("SELECT size, file FROM movra_entries WHERE key=?", (key,)).fetchone()
        conn.execute("INSERT OR REPLACE INTO movra_entries VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     (key, charge, crc, data, name, time.time() if at is None else at, node,
                      version, seconds))
        delta = charge - (old[0] if old and isinstance(old[0], int) else 0)
        [(total,)] = conn.execute("UPDATE movra_meta SET value=value+? WHERE name='bytes' "
                                  "RETURNING value", (delta,)).fetchall()
        self._write_touches(conn)
        obsolete = [old[1]] if old and isinstance(old[1], str) else []
        if self.max_bytes is not None and total > self.max_bytes:
            obsolete += self._evict(conn, total, key)
        return obsolete

    def _evict(self, conn: sqlite3.Connection, total: int, keep: str) -> list[str]:
        """Delete the least recently used rows until `total` fits: each found
        through the index of access times, in O(log n)."""
        assert self.max_bytes is not None
        files = []
        while total > self.max_bytes:
            oldest = conn.execute("SELECT key, size, file FROM movra_entries WHERE key != ? "
                                  "ORDER BY accessed LIMIT 64", (keep,)).fetchall()
            if not oldest:
                break
            for key, size, name in oldest:
                if total <= self.max_bytes:
                    break
                conn.execute("DELETE FROM movra_entries WHERE key=?", (key,))
                total -= size if isinstance(size, int) else 0
                if isinstance(name, str):
                    files.append(name)
        conn.execute("UPDATE movra_meta SET value=? WHERE name='bytes'", (max(total, 0),))
        return files

    def _unlink(self, names: list[str]) -> None:
        folder = self._blobs_dir(create=False) if names else None
        if folder is None:
            return
        for name in names:
            if not BLOB_NAME.fullmatch(name):
                continue
            try:
                os.unlink(name, dir_fd=folder)
            except OSError:
                pass  # already gone, or swept later

    def info(self) -> StoreInfo:
        with self._lock:
            self._require_open()
            entries, size, orphans = 0, 0, 0
            if self._conn is not None:
                self._flush_pending()
                self._flush_touches()
                try:
                    entries, size = self._conn.execute(
                        "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM movra_entries").fetchone()
                    orphans = sum(size for _, size, _ in self._orphans())
                except Exception as error:
                    self._fault(error, "read the index")
            return StoreInfo(entries, size, self.max_bytes, self.path, orphans)

    def entries(self) -> list[EntryInfo]:
        """Every entry, most recently used first."""
        with self._lock:
            self._require_open()
            if self._conn is None:
                return []
            self._flush_pending()
            self._flush_touches()
            try:
                rows = self._conn.execute("SELECT node, version, size, accessed, seconds "
                                          "FROM movra_entries ORDER BY accessed DESC").fetchall()
            except Exception as error:
                self._fault(error, "read the index")
                return []
            return [EntryInfo(*row) for row in rows]

    def _orphans(self) -> list[tuple[str, int, float]]:
        """The files of the value folder that no row names: (name, disk bytes, age)."""
        assert self._conn is not None
        folder = self._blobs_dir(create=False)
        if folder is None:
            return []
        with os.scandir(folder) as found:
            files = [(entry.name, entry.stat(follow_symlinks=False)) for entry in found]
        named = {name for (name,) in self._conn.execute(
            "SELECT file FROM movra_entries WHERE file IS NOT NULL")}
        now = time.time()
        return [(name, info.st_blocks * 512, now - info.st_mtime) for name, info in files
                if name not in named]

    def clear(self) -> None:
        with self._lock:
            self._require_open()
            if not self._writable or self._conn is None:
                self._warn("clear", "cannot be cleared here; remove its files by hand")
                return
            self._touched.clear()
            self._pending, self._pending_bytes = {}, 0
            try:
                names = self._transaction(self._delete_all)
            except Exception as error:
                self._fault(error, "clear the store")
                return
            self._unlink(names)
            self.collect(ORPHAN_AGE)
            try:
                self._conn.execute("VACUUM")  # give the space back
            except sqlite3.Error:
                pass  # another process is reading; the pages are reused anyway

    def _delete_all(self, conn: sqlite3.Connection) -> list[str]:
        names = [name for (name,) in conn.execute(
            "SELECT file FROM movra_entries WHERE file IS NOT NULL")]
        conn.execute("DELETE FROM movra_entries")
        conn.execute("UPDATE movra_meta SET value=0 WHERE name='bytes'")
        return names

    def _sweep_now_and_then(self) -> None:
        assert self._conn is not None
        (swept,) = self._conn.execute("SELECT value FROM movra_meta WHERE name='swept'").fetchone()
        if not isinstance(swept, (int, float)) or time.time() - swept > SWEEP_EVERY:
            self.collect(ORPHAN_AGE)

    def collect(self, min_age: float = ORPHAN_AGE) -> tuple[int, int]:
        """Delete the files that no entry names and that are older than `min_age`
        seconds (younger ones may be writes in flight), and recount the bytes
        the entries take; how many files and bytes were removed."""
        with self._lock:
            self._require_open()
            if not self._writable or self._conn is None:
                return 0, 0

            def recount(conn: sqlite3.Connection) -> None:
                conn.execute("UPDATE movra_meta SET value=? WHERE name='swept'", (time.time(),))
                conn.execute("UPDATE movra_meta SET value=(SELECT COALESCE(SUM(size), 0) "
                             "FROM movra_entries) WHERE name='bytes'")

            try:
                self._flush_pending()
                self._transaction(recount)
                orphans = [(name, size) for name, size, age in self._orphans() if age > min_age]
            except (OSError, sqlite3.Error):
                return 0, 0
            folder = self._blobs_dir(create=False)
            removed = 0
            for name, size in orphans:
                try:
                    os.unlink(name, dir_fd=folder)
                    removed += size
                except OSError:
                    pass
            return len(orphans), removed

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._flush_pending()
            self._flush_touches()
            self._close_connection()
            if self._blobs_fd is not None:
                os.close(self._blobs_fd)
                self._blobs_fd = None
            super().close()


_open_stores: weakref.WeakSet[SQLiteStore] = weakref.WeakSet()


def _after_fork() -> None:
    """A forked child has none of its parent's threads: a lock the flush timer
    held would never be released, and the timer is gone."""
    for store in list(_open_stores):
        store._lock = threading.RLock()
        store._timer = None


os.register_at_fork(after_in_child=_after_fork)


def _flush_on_timer(store: weakref.ref[SQLiteStore]) -> None:
    alive = store()
    if alive is not None:
        try:
            with alive._lock:
                alive._timer = None
                if not alive._closed:
                    alive._flush_pending()
        except Exception:
            pass  # the next save or flush writes them, or warns


def _flush_at_exit(store: weakref.ref[SQLiteStore]) -> None:
    alive = store()
    if alive is not None:
        try:
            alive.flush()
        except Exception:
            pass  # a cache that cannot be written at exit is only a colder start
