"""`SQLiteStore`: an index and small values in SQLite, large values in files beside it.

Layout: the database `PATH` (WAL mode) has one row per entry; a value whose
frame is larger than `inline_limit` lives in a file under `PATH-blobs/` named by
a random token, and its row holds that name.  A large value is written to a
temporary file and renamed into place before its row is committed, so a row
never names a file that is not whole; a file whose row was never committed (the
writer died in between) is an orphan, swept later.  Every row keeps the frame's
CRC-32, checked before a value is unpickled.

Large values are not kept in the database because it is much slower: on this
machine an 80 MB array goes through a BLOB column at about 0.2 GB/s written and
0.4 GB/s read, and through a file (preallocated, written in one pass, mapped
copy-on-write when read) at over 1 GB/s both ways.
"""
from __future__ import annotations

import atexit
import mmap
import os
import secrets
import sqlite3
import time
import weakref
from collections.abc import Callable
from typing import Any, TypeVar
from urllib.parse import quote

from ._store_base import (
    BaseStore, DamagedFrame, StoreInfo, check_max_bytes, check_private, checksum_started, decode,
    write_file_atomically,
)

__all__ = ["SQLiteStore"]

T = TypeVar("T")
FORMAT = "movra store 1"
# Measured: up to about 32 KiB a row is faster to save and load than a file of
# its own; at 64 KiB a file is twice as fast to save and no slower to load.
INLINE_LIMIT = 32 * 1024
TOUCH_BATCH = 256  # access times kept in memory before they are written
TOUCH_SECONDS = 5.0
# Small values saved but not written yet: one transaction per value would cost
# a WAL commit each, so they are written together (and at `flush`, which a
# flow calls after each run, and at exit).
PENDING_ROWS = 256
PENDING_BYTES = 4 << 20
BUSY_RETRIES = 4
ORPHAN_AGE = 600.0  # seconds: a younger unreferenced file may be a write in flight
SWEEP_EVERY = 3600.0
MISS = (False, None)

SCHEMA = """
CREATE TABLE IF NOT EXISTS movra_entries (
    key TEXT PRIMARY KEY,
    size INTEGER NOT NULL,
    crc INTEGER NOT NULL,
    data BLOB,
    file TEXT,
    accessed REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS movra_entries_accessed ON movra_entries(accessed);
CREATE TABLE IF NOT EXISTS movra_meta (name TEXT PRIMARY KEY, value);
"""
DAMAGED = {"SQLITE_CORRUPT", "SQLITE_NOTADB"}
BUSY = {"SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_BUSY_SNAPSHOT", "SQLITE_BUSY_RECOVERY"}


class _Foreign(Exception):
    """The database holds tables that are not a store's."""


class SQLiteStore(BaseStore):
    """A store in one SQLite database file, safe for several processes at once.

    `max_bytes` bounds the size of the stored frames; past it, the least
    recently used entries are evicted.  Only a bounded store records reads, in
    batches: an entry read by another process in the last few seconds, or read
    while the store was opened without a bound, counts as used when written.

    With `fsync`, a large value's file is flushed to disk before its row is
    committed; without it (the default: writes take about a third less time),
    a power loss can leave a row whose file is incomplete, which its checksum
    catches: it is dropped, never returned.  Values up to `inline_limit` bytes
    live in the database itself.

    The database and its files are trusted data: loading a value unpickles it,
    and unpickling runs code.  Opening refuses a location that another user can
    write (ValueError).  The database must be on a local filesystem (WAL mode
    needs shared memory); `DirectoryStore` serves a shared one.
    """

    def __init__(self, path: str | os.PathLike[str], max_bytes: int | None = None, *,
                 inline_limit: int = INLINE_LIMIT, fsync: bool = False,
                 timeout: float = 10.0) -> None:
        super().__init__()
        self.path = os.path.abspath(os.fspath(path))
        self.max_bytes = check_max_bytes(max_bytes)
        self.inline_limit = inline_limit
        self.fsync = fsync
        self._timeout = timeout
        self._blobs = self.path + "-blobs"
        check_private(os.path.dirname(self.path), "directory")
        for name, what in [("", "database"), ("-wal", "database's log"),
                           ("-shm", "database's shared memory"), ("-blobs", "value directory")]:
            check_private(self.path + name, what)
        self._conn: sqlite3.Connection | None = None  # None while the store is unusable
        self._writable = False
        self._touched: dict[str, float] = {}
        self._pending: dict[str, tuple[int, int, bytes]] = {}  # key -> (length, crc, data)
        self._pending_bytes = 0
        atexit.register(_flush_at_exit, weakref.ref(self))
        self._flushed_at = time.monotonic()
        self._open()

    # --- opening -------------------------------------------------------------------

    def _open(self) -> None:
        """Connect read-write, or read-only where the location allows no more."""
        try:
            os.makedirs(os.path.dirname(self.path), mode=0o700, exist_ok=True)
            self._conn = self._connect(self.path, uri=False)
            self._transaction(self._prepare)  # first: a foreign database stays untouched
            self._conn.execute("PRAGMA journal_mode=WAL")
            self._writable = True
        except _Foreign:
            self._disable("is not a movra store (it holds other tables); leaving it alone")
            return
        except (sqlite3.Error, OSError) as error:
            if self._is_damaged(error):
                self._disable(f"the database is damaged ({error}); remove it to start afresh")
                return
            self._open_read_only(error)
            return
        self._sweep_now_and_then()

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
        conn.execute("INSERT OR IGNORE INTO movra_meta VALUES ('format', ?)", (FORMAT,))
        conn.execute("INSERT OR IGNORE INTO movra_meta VALUES ('bytes', 0)")
        conn.execute("INSERT OR IGNORE INTO movra_meta VALUES ('swept', 0)")
        (found,) = conn.execute("SELECT value FROM movra_meta WHERE name='format'").fetchone()
        if found != FORMAT:
            raise _Foreign

    def _open_read_only(self, error: BaseException) -> None:
        self._close_connection()
        self._warn("io", f"cannot write here ({error}); values are loaded but not saved")
        if not os.path.exists(self.path):
            return
        # Without write access to the directory SQLite cannot make the WAL's shared
        # memory; `immutable` reads without it.  Should another process still write
        # the file meanwhile, a row read half-changed fails its checksum.
        for options in ("mode=ro", "mode=ro&immutable=1"):
            try:
                self._conn = self._connect(f"file:{quote(self.path)}?{options}", uri=True)
                self._conn.execute("SELECT value FROM movra_meta WHERE name='format'").fetchone()
                return
            except sqlite3.Error:
                self._close_connection()

    def _disable(self, message: str) -> None:
        self._close_connection()
        self._writable = False
        self._warn("damaged-database", message)

    def _close_connection(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    @staticmethod
    def _is_damaged(error: BaseException) -> bool:
        return getattr(error, "sqlite_errorname", "") in DAMAGED

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
        if self._is_damaged(error):
            self._disable(f"the database is damaged ({error}); remove it to start afresh")
        else:
            self._warn("io", f"could not {doing} ({error}); carrying on without it")

    # --- the Store protocol -------------------------------------------------------------

    def lookup(self, key: str) -> tuple[bool, Any]:
        with self._lock:
            self._require_open()
            pending = self._pending.get(key)
            if pending is not None:
                return True, decode(pending[2], pending[1], True)
            for _ in range(2):  # a second try if a writer replaced the file under us
                conn = self._conn
                if conn is None:
                    return MISS
                try:
                    row = conn.execute("SELECT crc, data, file FROM movra_entries WHERE key=?",
                                       (key,)).fetchone()
                except sqlite3.Error as error:
                    self._fault(error, "read an entry")
                    return MISS
                if row is None:
                    return MISS
                crc, data, name = row
                try:
                    value = decode(data, crc, True) if name is None else self._load(name, crc)
                except FileNotFoundError:
                    continue
                except (DamagedFrame, OSError, ValueError, TypeError) as error:
                    self._drop(key, crc, name, error)
                    return MISS
                self._touch(key)
                return True, value
            self._drop(key, crc, name, FileNotFoundError(name))
            return MISS

    def _load(self, name: str, crc: int) -> Any:
        # A private mapping reads the page cache in place, and the arrays built on
        # it are writable (copy on write) without touching the file.
        with open(os.path.join(self._blobs, name), "rb") as file:
            mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_COPY)
        return decode(mapped, crc, False)

    def _drop(self, key: str, crc: int, name: str | None, error: BaseException) -> None:
        self._warn("damaged-entry", f"dropped a damaged entry ({error})")
        try:
            if self._writable and self._conn is not None:
                self._transaction(lambda conn: conn.execute(
                    "DELETE FROM movra_entries WHERE key=? AND crc=?", (key, crc)))
        except sqlite3.Error:
            return  # another process may drop it; a lookup misses it meanwhile
        if name is not None:
            self._unlink([name])

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
            except sqlite3.Error as error:
                self._fault(error, "read an entry")
                return False

    def save(self, key: str, value: Any) -> None:
        with self._lock:
            self._require_open()
            if not self._writable or self._conn is None:
                return
            encoded = self._encode(value)
            if encoded is None:
                return
            parts, length = encoded
            crc_of = checksum_started(parts, length)  # computed while the file is written
            if length <= self.inline_limit:
                data = b"".join(parts)
                self._pending[key] = (length, crc_of(), data)
                self._pending_bytes += length
                if len(self._pending) >= PENDING_ROWS or self._pending_bytes >= PENDING_BYTES:
                    self._flush_pending()
                return
            name = None
            try:
                name = self._write_file(parts, length)
                crc = crc_of()
                obsolete = self._transaction(lambda conn: self._insert(conn, key, length, crc, None, name))
            except (sqlite3.Error, OSError) as error:
                if name is not None:
                    self._unlink([name])
                self._fault(error, "save a value")
                return
            self._flushed_at = time.monotonic()
            self._unlink(obsolete)

    def flush(self) -> None:
        """Writes the small values saved since the last flush, and access times."""
        with self._lock:
            if not self._closed:
                self._flush_pending()
                self._flush_touches()

    def _flush_pending(self) -> None:
        pending, self._pending, self._pending_bytes = self._pending, {}, 0
        if not pending or not self._writable or self._conn is None:
            return

        def insert_all(conn: sqlite3.Connection) -> list[str]:
            obsolete = []
            for key, (length, crc, data) in pending.items():
                obsolete += self._insert(conn, key, length, crc, data, None)
            return obsolete

        try:
            obsolete = self._transaction(insert_all)
        except sqlite3.Error as error:
            self._fault(error, "save values")
            return
        self._flushed_at = time.monotonic()
        self._unlink(obsolete)

    def _write_file(self, parts: list[Any], length: int) -> str:
        os.makedirs(self._blobs, mode=0o700, exist_ok=True)
        name = secrets.token_hex(16)
        final = os.path.join(self._blobs, name)
        temporary = final + ".tmp"
        write_file_atomically(temporary, final, parts, fsync=self.fsync, preallocate=length)
        return name

    def _insert(self, conn: sqlite3.Connection, key: str, length: int, crc: int,
                data: bytes | None, name: str | None) -> list[str]:
        """Replace `key`'s row, evict past `max_bytes`; the files no row names any more."""
        old = conn.execute("SELECT size, file FROM movra_entries WHERE key=?", (key,)).fetchone()
        conn.execute("INSERT OR REPLACE INTO movra_entries VALUES (?, ?, ?, ?, ?, ?)",
                     (key, length, crc, data, name, time.time()))
        delta = length - (old[0] if old else 0)
        [(total,)] = conn.execute("UPDATE movra_meta SET value=value+? WHERE name='bytes' "
                                  "RETURNING value", (delta,)).fetchall()
        self._write_touches(conn)
        obsolete = [old[1]] if old and old[1] else []
        if self.max_bytes is not None and total > self.max_bytes:
            obsolete += self._evict(conn, total, key)
        return obsolete

    def _evict(self, conn: sqlite3.Connection, total: int, keep: str) -> list[str]:
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
                total -= size
                if name:
                    files.append(name)
        conn.execute("UPDATE movra_meta SET value=? WHERE name='bytes'", (total,))
        return files

    def _unlink(self, names: list[str]) -> None:
        for name in names:
            try:
                os.unlink(os.path.join(self._blobs, name))
            except OSError:
                pass  # already gone, or swept later

    def info(self) -> StoreInfo:
        with self._lock:
            self._require_open()
            entries, size = 0, 0
            if self._conn is not None:
                self._flush_pending()
                self._flush_touches()
                try:
                    entries, size = self._conn.execute(
                        "SELECT COUNT(*), COALESCE(SUM(size), 0) FROM movra_entries").fetchone()
                except sqlite3.Error as error:
                    self._fault(error, "read the index")
            return StoreInfo(entries, size, self.max_bytes, self.path)

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
            except sqlite3.Error as error:
                self._fault(error, "clear the store")
                return
            self._unlink(names)
            self._sweep(ORPHAN_AGE)
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
        if time.time() - swept > SWEEP_EVERY:
            self._sweep(ORPHAN_AGE)

    def _sweep(self, min_age: float) -> None:
        """Delete files in the value directory that no row names and no write is finishing."""
        assert self._conn is not None
        try:
            with os.scandir(self._blobs) as found:
                files = {entry.name: entry for entry in found if entry.is_file()}
            self._transaction(lambda conn: conn.execute(
                "UPDATE movra_meta SET value=? WHERE name='swept'", (time.time(),)))
            named = {name for (name,) in self._conn.execute(
                "SELECT file FROM movra_entries WHERE file IS NOT NULL")}
        except (OSError, sqlite3.Error):
            return
        now = time.time()
        self._unlink([name for name, entry in files.items()
                      if name not in named and now - entry.stat().st_mtime > min_age])

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._flush_pending()
            self._flush_touches()
            self._close_connection()
            super().close()


def _flush_at_exit(store: weakref.ref[SQLiteStore]) -> None:
    alive = store()
    if alive is not None:
        try:
            alive.flush()
        except Exception:
            pass  # a cache that cannot be written at exit is only a colder start
