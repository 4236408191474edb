"""Persistent stores of computed values, keyed by what determines them.

A store maps a key (`make_key`: a node's name, its code version and the
content hashes of the values it was computed from) to a value.  Two backends
honour the `Store` contract: `SQLiteStore` (one database file, the default) and
`DirectoryStore` (one file per entry, for shared filesystems); `open_store`
turns a path into one of them.

Trust: a store holds pickles, and loading a pickle runs whatever code it
names.  Open only stores that you (or code you trust) wrote; opening refuses a
location that another user can write, redirect or rename, and files are then
read relative to folders held open.  A store never reads a file it did not
write as anything but a miss: damaged, truncated, misplaced or foreign data is
detected (checksums over each entry's key and value, headers) and skipped with
a `StoreWarning`.
"""
from __future__ import annotations

import argparse
import hashlib
import inspect
import os
import sqlite3
import stat
import struct
import sys
import time
import warnings
from collections.abc import Sequence
from typing import Any, Protocol, runtime_checkable
from urllib.parse import quote

from . import _store_dir, _store_sqlite
from ._store_base import EntryInfo, StoreInfo, StoreWarning
from ._store_dir import DirectoryStore
from ._store_sqlite import SQLiteStore

__all__ = ["Store", "StoreInfo", "EntryInfo", "StoreWarning", "SQLiteStore", "DirectoryStore",
           "open_store", "make_key", "save_value", "main"]


@runtime_checkable
class Store(Protocol):
    """The contract of a store of computed values; every backend honours it.

    Methods may be called from several threads; each call is atomic with
    respect to the others on the same object.  A store shared by several
    processes stays consistent: each entry is written whole or not at all.

    Faults are not errors: a store is a cache, and a run that cannot use it
    recomputes.  `lookup` and `save` never raise for damaged data or I/O
    faults; they emit a `StoreWarning` (once per store and kind of fault) and
    carry on.  Calling any method but `close` on a closed store raises
    ValueError.

    A store may also have a `flush()` method: a flow calls it after each run,
    so that a store may hold back small writes and make them together.
    """

    def lookup(self, key: str) -> tuple[bool, Any]:
        """`(True, value)` if `key` holds a value, else `(False, None)`.

        A damaged, truncated or foreign entry, one whose checksum does not
        match, or one that no longer unpickles (its class was renamed) is a
        miss; the store warns once and drops the entry where it can.
        """
        ...

    def save(self, key: str, value: Any) -> None:
        """Store `value` under `key`, whole or not at all, replacing what was there.

        Past `max_bytes`, the least recently used entries are evicted; a value
        larger than the bound is not stored.  An I/O fault (a full disk, a
        read-only location) warns once and stores nothing; a value that does
        not pickle warns once per type and is skipped.

        A store may accept three keyword arguments more, which a run passes
        when the store's `save` declares them (see `save_value`): `seconds`,
        how long the call that computed the value took (the built-in stores
        do not store a value that was cheaper to compute than to load), and
        `node` and `version`, the node's name and code version (kept for
        `python -m movra store info`).
        """
        ...

    def contains(self, key: str) -> bool:
        """Whether `key` holds an entry, without loading it (a later lookup can
        still miss if the entry turns out damaged or is evicted meanwhile)."""
        ...

    def info(self) -> StoreInfo:
        """How many entries the store holds and how many bytes they take."""
        ...

    def clear(self) -> None:
        """Remove every entry."""
        ...

    def close(self) -> None:
        """Write what is pending (access times) and release the store; idempotent."""
        ...

    def __enter__(self) -> Store: ...

    def __exit__(self, *exc_info: Any) -> None: ...


def open_store(spec: Store | str | os.PathLike[str], **options: Any) -> Store:
    """`spec` if it is a store; else a store at the path `spec`, made with `options`.

    A path names a `DirectoryStore` if it is an existing directory or ends
    with a separator, and an `SQLiteStore` (a database file) otherwise.  A
    path that cannot be a store (a file on the way to it) is a ValueError that
    names it; so is a location another user could change (see the classes).
    """
    if isinstance(spec, (str, os.PathLike)):
        path = os.fspath(spec)
        if not isinstance(path, str):
            raise TypeError(f"a store path must be a str, not {type(path).__name__}")
        if _is_directory_path(path):
            return DirectoryStore(path, **options)
        return SQLiteStore(path, **options)
    if isinstance(spec, Store):
        return spec
    raise TypeError(f"a store must be a path or a Store, not {type(spec).__name__}")


def _is_directory_path(path: str) -> bool:
    return path.endswith(os.sep) or bool(os.altsep and path.endswith(os.altsep)) \
        or os.path.isdir(path)


_EXTRAS = ("seconds", "node", "version")
_takes_extras: dict[type, bool] = {}


def save_value(store: Any, key: str, value: Any, *, seconds: float | None,
               node: str | None, version: str | None) -> None:
    """`store.save(key, value, ...)` with what a run knows about the value: how
    long its call took (`seconds`), its node's name and code version, passed
    only to a `save` that declares them, so that stores written for the plain
    `save(key, value)` keep working."""
    kind = type(store)
    takes = _takes_extras.get(kind)
    if takes is None:
        try:
            parameters = dict(inspect.signature(store.save).parameters)
        except (TypeError, ValueError):
            parameters = {}
        takes = all(name in parameters for name in _EXTRAS) or any(
            p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters.values())
        _takes_extras[kind] = takes
    if takes:
        store.save(key, value, seconds=seconds, node=node, version=version)
    else:
        store.save(key, value)


def make_key(name: str, code_version: str, dep_hashes: Sequence[int]) -> str:
    """The key of a node's value: a hex BLAKE2b-128 digest of the node's name,
    its code version and its dependencies' 64-bit content hashes, in order."""
    digest = hashlib.blake2b(digest_size=16, person=b"movra-store-key")
    for text in (name, code_version):
        data = text.encode("utf-8", "surrogatepass")
        digest.update(struct.pack("<Q", len(data)))
        digest.update(data)
    digest.update(struct.pack(f"<Q{len(dep_hashes)}Q", len(dep_hashes), *dep_hashes))
    return digest.hexdigest()


def _size(count: float) -> str:
    unit = "B"
    for larger in ("KiB", "MiB", "GiB"):
        if count < 1024:
            break
        count, unit = count / 1024, larger
    return f"{count:.0f} B" if unit == "B" else f"{count:.1f} {unit}"


def _entries(count: int) -> str:
    return f"{count} entr{'y' if count == 1 else 'ies'}"


class _NotAStore(Exception):
    """The path holds something that is not a movra store."""


def _check_is_store(path: str) -> None:
    """Raise _NotAStore unless `path` holds a movra store; changes nothing."""
    if os.path.isdir(path):
        marker = os.path.join(path, _store_dir.MARKER)
        try:
            with open(marker, "rb") as file:
                found = file.read(len(_store_dir.MARKER_TEXT) + 1)
        except OSError:
            raise _NotAStore("a folder without a movra store's marker file") from None
        if found != _store_dir.MARKER_TEXT:
            raise _NotAStore("a folder whose marker file is not a movra store's")
        return
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)  # a FIFO must not block
        try:
            head = os.read(fd, 16) if stat.S_ISREG(os.fstat(fd).st_mode) else b""
        finally:
            os.close(fd)
    except OSError as error:
        raise _NotAStore(f"it cannot be read ({error.strerror})") from None
    if head != b"SQLite format 3\0":
        raise _NotAStore("neither a database nor a folder")
    try:
        conn = sqlite3.connect(f"file:{quote(os.path.abspath(path))}?mode=ro", uri=True)
        try:
            (found,) = conn.execute("SELECT value FROM movra_meta WHERE name='format'").fetchone()
        finally:
            conn.close()
    except Exception:
        raise _NotAStore("a database that is not a movra store, or a damaged one") from None
    if found != _store_sqlite.FORMAT and found not in _store_sqlite.OLD_FORMATS:
        raise _NotAStore(f"a database of another format ({found!r})")


def _duration(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def _when(seconds: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))


def _info(store: Any, path: str, totals_only: bool) -> None:
    info = store.info()
    line = f"{path}: {_entries(info.entries)}, {_size(info.bytes)}"
    if info.max_bytes is not None:
        line += f" of {_size(info.max_bytes)}"
    if info.orphan_bytes:
        line += f"; {_size(info.orphan_bytes)} in orphaned files (`gc` removes them)"
    print(line)
    entries = [] if totals_only else store.entries()
    if not entries:
        return
    rows = [("node", "code version", "size", "last used", "call")]
    rows += [(entry.node or "?", (entry.version or "?")[:16], _size(entry.bytes),
              _when(entry.last_used),
              "?" if entry.seconds is None else _duration(entry.seconds)) for entry in entries]
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    for row in rows:
        print("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def main(argv: list[str]) -> int:
    """`info`, `clear` and `gc` of a store (the arguments after `movra store`); an exit status."""
    parser = argparse.ArgumentParser(
        prog="python -m movra store",
        description="Show, clear or tidy a store of computed values. A path that does not "
        "hold a movra store is left untouched (exit status 1).")
    actions = parser.add_subparsers(dest="action", metavar="ACTION", required=True)
    where = "a database file, or the folder of a directory store"
    info = actions.add_parser("info", help="list the entries (node, code version, size, last "
                              "use) and their totals")
    info.add_argument("path", help=where)
    info.add_argument("--totals", action="store_true", help="only the count and size of the entries")
    actions.add_parser("clear", help="remove every entry").add_argument("path", help=where)
    gc = actions.add_parser("gc", help="remove orphaned files: values no entry names and "
                            "temporary files of writers that died")
    gc.add_argument("path", help=where)
    gc.add_argument("--min-age", type=float, default=60.0, metavar="SECONDS",
                    help="keep files younger than this, which may be writes in flight "
                    "(default: 60)")
    args = parser.parse_args(argv)
    path = args.path
    if not os.path.exists(path):
        print(f"no store at {path}", file=sys.stderr)
        return 1
    try:
        _check_is_store(path)
    except _NotAStore as error:
        print(f"{path} is not a movra store: {error}; left untouched", file=sys.stderr)
        return 1
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", StoreWarning)
        try:
            store: Any = open_store(path)  # a built-in store: it has entries() and collect()
        except ValueError as error:
            print(error, file=sys.stderr)
            return 1
        with store:
            failed = [str(w.message) for w in caught if issubclass(w.category, StoreWarning)]
            if failed:
                print(failed[0], file=sys.stderr)
                return 1
            if args.action == "info":
                _info(store, path, args.totals)
            elif args.action == "gc":
                count, removed = store.collect(args.min_age)
                print(f"{path}: removed {count} orphaned files ({_size(removed)})")
            else:
                before = store.info()
                store.clear()
                after = store.info()
                print(f"{path}: removed {_entries(before.entries - after.entries)} "
                      f"({_size(before.bytes - after.bytes)}), {after.entries} left")
                if after.entries:
                    return 1
            failed = [str(w.message) for w in caught if issubclass(w.category, StoreWarning)]
    if failed:
        print(failed[0], file=sys.stderr)
        return 1
    return 0
