"""`DirectoryStore`: one file per entry, for a shared filesystem.

Layout: `ROOT/movra-store` marks the directory as a store; an entry lives in
`ROOT/<2 hex digits>/<32 hex digits>`, named by a hash of its key.  A file is
written under a temporary name in the same directory and renamed into place,
which replaces it atomically on local filesystems and NFS alike, so a reader
sees a previous entry or a whole new one.  Each file starts with a header: the
frame's CRC-32 and length, and the key itself, so a file copied over another
one's name is not mistaken for it.  The last access time is the file's mtime.
"""
from __future__ import annotations

import errno
import hashlib
import mmap
import os
import secrets
import struct
import time
from collections.abc import Callable
from typing import Any

from ._store_base import (
    BaseStore, DamagedFrame, StoreInfo, check_max_bytes, check_private, checksum_started, decode,
    write_file_atomically,
)

__all__ = ["DirectoryStore"]

MARKER = "movra-store"
MARKER_TEXT = b"movra directory store 1\n"
ENTRY_MAGIC = b"mvE1"
_ENTRY_HEAD = struct.Struct("<4sIQI")  # magic, crc, frame length, key length
TOUCH_BATCH = 256
TOUCH_SECONDS = 5.0
RESCAN_EVERY = 64  # saves between scans when a bound is set: other processes write too
STALE_TEMPORARY = 600.0
LARGE = 1 << 20  # bytes from which an entry is read into its own memory
# Pages made present at once are filled faster than pages faulted in one by one.
ANONYMOUS = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_POPULATE", 0)
MISS = (False, None)


class DirectoryStore(BaseStore):
    """A store of one file per entry under a directory; no database, no locks.

    Safe for several processes, on several machines when the directory is on a
    shared filesystem: writes are atomic renames, reads check each file's
    checksum.  `max_bytes` is enforced by scanning the directory, so with
    several writers it is approximate between scans.  Loaded arrays are read
    into memory (never mapped), so another machine deleting an entry cannot
    fault this process.

    The files are trusted data: loading a value unpickles it, and unpickling
    runs code.  Opening refuses a directory that another user can write
    (ValueError), and leaves alone a non-empty directory that is not a store.
    """

    def __init__(self, path: str | os.PathLike[str], max_bytes: int | None = None, *,
                 fsync: bool = False) -> None:
        super().__init__()
        self.path = os.path.abspath(os.fspath(path))
        self.max_bytes = check_max_bytes(max_bytes)
        self.fsync = fsync
        check_private(self.path, "directory")
        check_private(os.path.join(self.path, MARKER), "marker file")
        self._usable = False
        self._touched: dict[str, int] = {}
        self._flushed_at = time.monotonic()
        self._approx_bytes: int | None = None  # set by the first scan
        self._saves_since_scan = 0
        self._open()

    def _open(self) -> None:
        marker = os.path.join(self.path, MARKER)
        try:
            os.makedirs(self.path, mode=0o700, exist_ok=True)
            with open(marker, "rb") as file:
                found = file.read(len(MARKER_TEXT) + 1)
        except FileNotFoundError:
            found = None
        except OSError as error:
            self._warn("io", f"cannot use the directory ({error}); carrying on without it")
            return
        if found is None:
            if any(not name.startswith(".") for name in os.listdir(self.path)):
                self._warn("foreign", "is not a movra store (the directory holds other "
                           "files and no marker); leaving it alone")
                return
            try:
                self._write_atomically(marker, [MARKER_TEXT])
            except OSError as error:
                self._warn("io", f"cannot write here ({error}); carrying on without it")
                return
        elif found != MARKER_TEXT:
            self._warn("foreign", "is not a movra store of this format; leaving it alone")
            return
        self._usable = True

    # --- paths and files -----------------------------------------------------------

    def _entry_path(self, key: str) -> str:
        name = hashlib.blake2b(key.encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()
        return os.path.join(self.path, name[:2], name)

    def _write_atomically(self, path: str, parts: list[Any],
                          head: Callable[[], bytes] | None = None) -> None:
        """Write `parts` to `path` whole or not at all; `head()` then overwrites the start."""
        temporary = os.path.join(os.path.dirname(path),
                                 f".{os.path.basename(path)}.{secrets.token_hex(8)}.tmp")

        def finish(fd: int) -> None:
            if head is not None:
                os.pwrite(fd, head(), 0)
            # The file system's own timestamps can be a tick coarse: entries saved
            # in one tick would be equally old, and evicted in any order.
            now = time.time_ns()
            os.utime(fd, ns=(now, now))

        write_file_atomically(temporary, path, parts, fsync=self.fsync, finish=finish)

    def _entries(self) -> list[os.DirEntry[str]]:
        found = []
        with os.scandir(self.path) as shards:
            for shard in shards:
                if len(shard.name) != 2 or not shard.is_dir(follow_symlinks=False):
                    continue
                with os.scandir(shard.path) as files:
                    found += [entry for entry in files if not entry.name.startswith(".")]
        return found

    # --- the Store protocol -------------------------------------------------------------

    def lookup(self, key: str) -> tuple[bool, Any]:
        with self._lock:
            self._require_open()
            if not self._usable:
                return MISS
            path = self._entry_path(key)
            try:
                value = self._decode_entry(key, self._read(path))
            except FileNotFoundError:
                return MISS
            except OSError as error:
                self._warn("io", f"could not read an entry ({error}); carrying on without it")
                return MISS
            except DamagedFrame as error:
                self._warn("damaged-entry", f"dropped a damaged entry ({error})")
                self._remove(path)
                return MISS
            self._touch(path)
            return True, value

    @staticmethod
    def _read(path: str) -> Any:
        """The file's bytes; a large file is read into anonymous memory, which the
        loaded arrays then use in place (a mapping of the file itself could fault
        if another machine deleted it)."""
        with open(path, "rb", buffering=0) as file:
            size = os.fstat(file.fileno()).st_size
            if size < LARGE:
                return file.read()
            content = mmap.mmap(-1, size, flags=ANONYMOUS)
            view, done = memoryview(content), 0
            while done < size:
                read = file.readinto(view[done:])
                if not read:
                    raise DamagedFrame("the entry shrank while it was read")
                done += read
            return content

    @staticmethod
    def _decode_entry(key: str, content: Any) -> Any:
        try:
            magic, crc, length, key_length = _ENTRY_HEAD.unpack_from(content)
        except struct.error as error:
            raise DamagedFrame("truncated entry header") from error
        start = _ENTRY_HEAD.size + key_length
        if magic != ENTRY_MAGIC or len(content) != start + length:
            raise DamagedFrame("not a whole entry")
        if content[_ENTRY_HEAD.size:start] != key.encode("utf-8", "surrogatepass"):
            raise DamagedFrame("the entry holds another key")
        return decode(memoryview(content)[start:], crc, isinstance(content, bytes))

    def _touch(self, path: str) -> None:
        if self.max_bytes is None:
            return  # only eviction reads access times, and they cost a system call
        self._touched[path] = time.time_ns()
        if len(self._touched) >= TOUCH_BATCH or \
                time.monotonic() - self._flushed_at > TOUCH_SECONDS:
            self._flush_touches()

    def _flush_touches(self) -> None:
        for path, at in self._touched.items():
            try:
                os.utime(path, ns=(at, at))
            except OSError:
                pass  # evicted or replaced since; access times are advisory
        self._touched.clear()
        self._flushed_at = time.monotonic()

    def contains(self, key: str) -> bool:
        with self._lock:
            self._require_open()
            return self._usable and os.path.exists(self._entry_path(key))

    def save(self, key: str, value: Any) -> None:
        with self._lock:
            self._require_open()
            if not self._usable:
                return
            encoded = self._encode(value)
            if encoded is None:
                return
            parts, length = encoded
            encoded_key = key.encode("utf-8", "surrogatepass")
            crc_of = checksum_started(parts, length)  # computed while the file is written
            path = self._entry_path(key)

            def head() -> bytes:
                return _ENTRY_HEAD.pack(ENTRY_MAGIC, crc_of(), length, len(encoded_key))

            try:
                os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
                self._write_atomically(path, [bytes(_ENTRY_HEAD.size), encoded_key, *parts], head)
            except OSError as error:
                self._warn("io", f"could not save a value ({error}); carrying on without it")
                return
            self._touched.pop(path, None)
            if self.max_bytes is not None:
                self._account(_ENTRY_HEAD.size + len(encoded_key) + length)

    def _account(self, written: int) -> None:
        """Evict the least recently used entries once the bound may be passed."""
        assert self.max_bytes is not None
        self._saves_since_scan += 1
        if self._approx_bytes is not None and self._saves_since_scan < RESCAN_EVERY:
            self._approx_bytes += written
            if self._approx_bytes <= self.max_bytes:
                return
        self._flush_touches()
        self._saves_since_scan = 0
        try:
            entries = sorted(((entry.stat(), entry.path) for entry in self._entries()),
                             key=lambda pair: pair[0].st_mtime_ns)
        except OSError:
            return
        total = sum(info.st_size for info, _ in entries)
        for info, path in entries:
            if total <= self.max_bytes:
                break
            if self._remove(path):
                total -= info.st_size
        self._approx_bytes = total

    def _remove(self, path: str) -> bool:
        try:
            os.unlink(path)
            return True
        except OSError:
            return False

    def info(self) -> StoreInfo:
        with self._lock:
            self._require_open()
            entries, size = 0, 0
            if self._usable:
                for entry in self._entries():
                    try:
                        size += entry.stat().st_size
                        entries += 1
                    except OSError:
                        pass  # removed while we counted
            return StoreInfo(entries, size, self.max_bytes, self.path)

    def clear(self) -> None:
        with self._lock:
            self._require_open()
            if not self._usable:
                self._warn("clear", "cannot be cleared here; remove its files by hand")
                return
            self._touched.clear()
            now = time.time()
            with os.scandir(self.path) as shards:
                for shard in shards:
                    if len(shard.name) == 2 and shard.is_dir(follow_symlinks=False):
                        self._clear_shard(shard.path, now)
            self._approx_bytes = 0

    def _clear_shard(self, shard: str, now: float) -> None:
        with os.scandir(shard) as files:
            for entry in files:
                temporary = entry.name.startswith(".")
                try:
                    # A young temporary file is another process's write in flight.
                    if not temporary or now - entry.stat().st_mtime > STALE_TEMPORARY:
                        os.unlink(entry.path)
                except OSError as error:
                    if error.errno != errno.ENOENT:
                        self._warn("io", f"could not remove {entry.path} ({error})")

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._flush_touches()
            super().close()
