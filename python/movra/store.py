"""Persistent stores of computed values, keyed by what determines them.

A store maps a key (`make_key`: a node's name, its code version and the
content hashes of the values it was computed from) to a value.  Two backends
honour the `Store` contract: `SQLiteStore` (one database file, the default) and
`DirectoryStore` (one file per entry, for shared filesystems); `open_store`
turns a path into one of them.

Trust: a store holds pickles, and loading a pickle runs whatever code it
names.  Open only stores that you (or code you trust) wrote; opening refuses a
location that another user can write.  A store never reads a file it did not
write as anything but a miss: damaged, truncated or foreign data is detected
(checksums, headers) and skipped with a `StoreWarning`.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import struct
import sys
from collections.abc import Sequence
from typing import Any, Protocol, runtime_checkable

from ._store_base import StoreInfo, StoreWarning
from ._store_dir import DirectoryStore
from ._store_sqlite import SQLiteStore

__all__ = ["Store", "StoreInfo", "StoreWarning", "SQLiteStore", "DirectoryStore",
           "open_store", "make_key", "main"]


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


def open_store(spec: Store | str | os.PathLike[str]) -> Store:
    """`spec` if it is a store; else a store at the path `spec`.

    A path names a `DirectoryStore` if it is an existing directory or ends
    with a separator, and an `SQLiteStore` (a database file) otherwise.
    """
    if isinstance(spec, (str, os.PathLike)):
        path = os.fspath(spec)
        if not isinstance(path, str):
            raise TypeError(f"a store path must be a str, not {type(path).__name__}")
        if path.endswith(os.sep) or (os.altsep and path.endswith(os.altsep)) \
                or os.path.isdir(path):
            return DirectoryStore(path)
        return SQLiteStore(path)
    if isinstance(spec, Store):
        return spec
    raise TypeError(f"a store must be a path or a Store, not {type(spec).__name__}")


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


def main(argv: list[str]) -> int:
    """`info PATH` and `clear PATH` (the arguments after `movra store`); an exit status."""
    parser = argparse.ArgumentParser(prog="python -m movra store",
                                     description="Show or clear a store of computed values.")
    parser.add_argument("action", choices=["info", "clear"])
    parser.add_argument("path", help="a database file, or a directory for a directory store")
    args = parser.parse_args(argv)
    if not os.path.exists(args.path):
        print(f"no store at {args.path}", file=sys.stderr)
        return 1
    try:
        store = open_store(args.path)
    except ValueError as error:
        print(error, file=sys.stderr)
        return 1
    with store:
        before = store.info()
        if args.action == "info":
            print(f"{before.path}: {before.entries} entries, {_size(before.bytes)}")
            return 0
        store.clear()
        after = store.info()
        print(f"{after.path}: removed {before.entries - after.entries} entries "
              f"({_size(before.bytes - after.bytes)}), {after.entries} left")
        return 0 if after.entries == 0 else 1
