"""`DirectoryStore`: one file per entry, for a shared filesystem.

Layout: `ROOT/movra-store` marks the directory as a store; an entry lives in
`ROOT/<2 hex digits>/<32 hex digits>`, named by a hash of its key.  A file is
written under a temporary name in the same directory and renamed into place,
which replaces it atomically on local filesystems and NFS alike, so a reader
sees a previous entry or a whole new one.  Each file starts with a header: a
CRC-32 over the key, the entry's description and the frame, the frame's length,
then the key itself and the description (node, code version, call time), so a
file copied over another one's name is not mistaken for it.  The last access
time is the file's mtime.  Every file is opened relative to a descriptor of
ROOT taken when the store was opened, never through a symbolic link.
"""
from __future__ import annotations

import errno
import hashlib
import heapq
import json
import mmap
import os
import secrets
import stat
import struct
import time
from collections.abc import Callable
from typing import Any

from ._store_base import (
    BaseStore, DamagedFrame, EntryInfo, StoreInfo, check_ancestors, check_max_bytes, check_private,
    checksum_started, decode, disk_bytes, entry_checksum, open_directory, resolve, surely_cheap,
    worth_storing, write_file_atomically,
)

__all__ = ["DirectoryStore"]

MARKER = "movra-store"
MARKER_TEXT = b"movra directory store 1\n"
ENTRY_MAGIC = b"mvE2"
OLD_MAGIC = b"mvE1"  # checksums without the key: a quiet miss, replaced when saved again
_ENTRY_HEAD = struct.Struct("<4sIQII")  # magic, crc, frame length, key length, about length
TOUCH_BATCH = 256
TOUCH_SECONDS = 5.0
# Saves between scans when a bound is set (other processes write too): at
# least this many, and at least as many as there are entries, so that a scan
# costs O(1) per save however large the store.
RESCAN_EVERY = 64
STALE_TEMPORARY = 600.0
SWEPT = ".movra-swept"  # its mtime: when temporary files were last swept
SWEEP_EVERY = 600.0
LARGE = 1 << 20  # bytes from which an entry is read into its own memory
# Pages made present at once are filled faster than pages faulted in one by one.
ANONYMOUS = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_POPULATE", 0)
MISS = (False, None)
OPEN_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK  # a FIFO never blocks


class DirectoryStore(BaseStore):
    """A store of one file per entry under a directory; no database, no locks.

    Safe for several processes, on several machines when the directory is on a
    shared filesystem: writes are atomic renames, reads check each file's
    checksum.  `max_bytes` bounds the disk the entries take (whole blocks,
    temporary files of writes that died included); it is kept with an index in
    memory, so a save costs O(log n), and the directory is scanned again after
    as many saves as it has entries, so with several writers it is
    approximate between scans.  On a network filesystem loaded arrays are
    read into memory (never mapped), so another machine deleting an entry
    cannot fault this process; on a local one large entries are mapped.

    The files are trusted data: loading a value unpickles it, and unpickling
    runs code.  Opening refuses (ValueError) a directory that another user can
    write, or whose parent (or any folder above) lets another user rename or
    replace it; symbolic links are resolved first.  The directory is then held
    open, and every file is opened relative to it without following symbolic
    links, so renaming it away later cannot redirect a read.  A non-empty
    directory that is not a store is left alone.
    """

    def __init__(self, path: str | os.PathLike[str], max_bytes: int | None = None, *,
                 fsync: bool = False, min_seconds: float | None = None) -> None:
        super().__init__()
        self.path = os.path.abspath(os.fspath(path))
        self.max_bytes = check_max_bytes(max_bytes)
        self.min_seconds = min_seconds
        self.fsync = fsync
        self._real = resolve(os.fspath(path))
        self._fd: int | None = None
        self._local = _local_filesystem(self._real)
        self._usable = False
        self._touched: dict[str, int] = {}
        self._flushed_at = time.monotonic()
        # The bound's index: entry -> (mtime, disk bytes), a heap of (mtime, entry)
        # whose stale items are skipped, and their total; built by a scan.
        self._index: dict[str, tuple[int, int]] = {}
        self._heap: list[tuple[int, str]] = []
        self._total: int | None = None
        self._saves_since_scan = 0
        check_ancestors(self._real, self.path)
        check_private(self._real, "directory", store=self.path)
        self._open()

    def _open(self) -> None:
        try:
            os.makedirs(os.path.dirname(self._real), mode=0o700, exist_ok=True)
            try:
                os.mkdir(self._real, 0o700)
            except FileExistsError:
                pass
            check_ancestors(self._real, self.path)  # again, now that it exists
            self._fd = open_directory(self._real)
        except NotADirectoryError:
            raise ValueError(f"cannot keep a store at {self.path!r}: it is not a folder") from None
        except ValueError:
            raise
        except OSError as error:
            self._warn("io", f"cannot use the directory ({error}); carrying on without it")
            return
        try:
            check_private(os.path.join(self._real, MARKER), "marker file", info=os.stat(
                MARKER, dir_fd=self._fd, follow_symlinks=False), store=self.path)
        except FileNotFoundError:
            pass
        except ValueError:
            self.close()
            raise
        for _ in range(3):  # another process may be making the same new store
            try:
                fd = os.open(MARKER, OPEN_FLAGS, dir_fd=self._fd)
                with os.fdopen(fd, "rb") as file:
                    found = file.read(len(MARKER_TEXT) + 1)
            except FileNotFoundError:
                found = None
            except OSError as error:
                self._warn("io", f"cannot use the directory ({error}); carrying on without it")
                return
            if found is not None:
                break
            names = [name for name in os.listdir(self._fd) if not name.startswith(".")]
            if MARKER in names:
                continue  # made meanwhile: read it
            if names:
                self._warn("foreign", "is not a movra store (the directory holds other "
                           "files and no marker); leaving it alone")
                return
            try:
                write_file_atomically(self._fd, f".{MARKER}.{secrets.token_hex(8)}.tmp", MARKER,
                                      [MARKER_TEXT], fsync=self.fsync)
            except OSError as error:
                self._warn("io", f"cannot write here ({error}); carrying on without it")
                return
            found = MARKER_TEXT
            break
        if found != MARKER_TEXT:
            self._warn("foreign", "is not a movra store of this format; leaving it alone")
            return
        self._usable = True
        self._sweep_now_and_then()

    def _sweep_now_and_then(self) -> None:
        """Remove the temporary files of writers that died, at most every SWEEP_EVERY."""
        try:
            swept = os.stat(SWEPT, dir_fd=self._fd, follow_symlinks=False).st_mtime
        except FileNotFoundError:
            swept = 0.0
        except OSError:
            return
        if time.time() - swept < SWEEP_EVERY:
            return
        try:
            os.close(os.open(SWEPT, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                             dir_fd=self._fd))
            os.utime(SWEPT, dir_fd=self._fd, follow_symlinks=False)
        except OSError:
            return  # a read-only store: nothing to sweep either
        self.collect(STALE_TEMPORARY)

    # --- paths and files -----------------------------------------------------------

    @staticmethod
    def _entry_path(key: str) -> str:
        """The entry's path relative to the store's directory."""
        name = hashlib.blake2b(key.encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()
        return f"{name[:2]}/{name}"

    def _write_atomically(self, path: str, parts: list[Any],
                          head: Callable[[], bytes] | None = None) -> int:
        """Write `parts` to `path` whole or not at all; `head()` then overwrites the
        start.  The file's mtime in nanoseconds."""
        shard, name = path.split("/")
        now = time.time_ns()

        def finish(fd: int) -> None:
            if head is not None:
                os.pwrite(fd, head(), 0)
            # The file system's own timestamps can be a tick coarse: entries saved
            # in one tick would be equally old, and evicted in any order.
            os.utime(fd, ns=(now, now))

        assert self._fd is not None
        write_file_atomically(self._fd, f"{shard}/.{name}.{secrets.token_hex(8)}.tmp", path,
                              parts, fsync=self.fsync, finish=finish)
        return now

    def _scan(self) -> list[tuple[str, os.stat_result]]:
        """Every file under the shards, temporary ones included: (path, stat)."""
        found = []
        assert self._fd is not None
        for shard in os.listdir(self._fd):
            if len(shard) != 2:
                continue
            try:
                shard_fd = os.open(shard, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW,
                                   dir_fd=self._fd)
            except OSError:
                continue
            try:
                with os.scandir(shard_fd) as files:
                    for entry in files:
                        try:
                            found.append((f"{shard}/{entry.name}",
                                          entry.stat(follow_symlinks=False)))
                        except OSError:
                            pass  # removed meanwhile
            finally:
                os.close(shard_fd)
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
                if str(error) != "an entry of an older format":
                    self._warn("damaged-entry", f"dropped a damaged entry ({error})")
                self._remove(path)
                return MISS
            self._touch(path)
            return True, value

    def _read(self, path: str) -> Any:
        """The file's bytes.  A large file on a local filesystem is mapped privately
        (copy on write: the loaded arrays use the page cache in place, and are
        writable without touching the file; writers never change a file in
        place, they rename a new one over it).  On a network filesystem it is
        read into anonymous memory instead: a mapping could fault if another
        machine deleted the file."""
        fd = os.open(path, OPEN_FLAGS, dir_fd=self._fd)
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                raise DamagedFrame("not a file")
            size = info.st_size
            if size < LARGE:
                return os.read(fd, size + 1)  # one call (a file grown meanwhile is not whole)
            if self._local:
                return mmap.mmap(fd, 0, access=mmap.ACCESS_COPY)
            content = mmap.mmap(-1, size, flags=ANONYMOUS)
            view, done = memoryview(content), 0
            while done < size:
                read = os.preadv(fd, [view[done:]], done)
                if not read:
                    raise DamagedFrame("the entry shrank while it was read")
                done += read
            return content
        finally:
            os.close(fd)

    @staticmethod
    def _header(content: Any) -> tuple[int, int, int, int]:
        """The entry's checksum, frame length, and where its key and description end."""
        try:
            magic, crc, length, key_length, about_length = _ENTRY_HEAD.unpack_from(content)
        except struct.error as error:
            raise DamagedFrame("truncated entry header") from error
        if magic == OLD_MAGIC:
            raise DamagedFrame("an entry of an older format")
        key_end = _ENTRY_HEAD.size + key_length
        about_end = key_end + about_length
        if magic != ENTRY_MAGIC or len(content) != about_end + length:
            raise DamagedFrame("not a whole entry")
        return crc, length, key_end, about_end

    def _decode_entry(self, key: str, content: Any) -> Any:
        crc, _, key_end, about_end = self._header(content)
        encoded_key = key.encode("utf-8", "surrogatepass")
        if content[_ENTRY_HEAD.size:key_end] != encoded_key:
            raise DamagedFrame("the entry holds another key")
        covered = bytes(content[_ENTRY_HEAD.size:about_end])
        if isinstance(content, bytes):  # small: a copy of the frame is cheap, and quicker to check
            return decode(content[about_end:], crc, True, covered)
        return decode(memoryview(content)[about_end:], crc, False, covered)

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
                os.utime(path, ns=(at, at), dir_fd=self._fd, follow_symlinks=False)
            except OSError:
                continue  # evicted or replaced since; access times are advisory
            if path in self._index:
                self._index[path] = (at, self._index[path][1])
                heapq.heappush(self._heap, (at, path))
        self._touched.clear()
        self._flushed_at = time.monotonic()

    def contains(self, key: str) -> bool:
        with self._lock:
            self._require_open()
            if not self._usable:
                return False
            try:
                os.stat(self._entry_path(key), dir_fd=self._fd, follow_symlinks=False)
            except OSError:
                return False
            return True

    def save(self, key: str, value: Any, *, seconds: float | None = None,
             node: str | None = None, version: str | None = None) -> None:
        """Store `value` under `key` (see `Store.save`; `seconds`, `node` and
        `version` as for `SQLiteStore.save`)."""
        with self._lock:
            self._require_open()
            if not self._usable or surely_cheap(seconds, self.min_seconds):
                return
            encoded = self._encode(value)
            if encoded is None:
                return
            parts, length = encoded
            if not worth_storing(seconds, length, self.min_seconds):
                return
            encoded_key = key.encode("utf-8", "surrogatepass")
            about = json.dumps({"node": node, "version": version, "seconds": seconds}).encode()
            crc_of = checksum_started(parts, length)  # computed while the file is written
            path = self._entry_path(key)

            def head() -> bytes:
                crc = entry_checksum(encoded_key + about, crc_of())
                return _ENTRY_HEAD.pack(ENTRY_MAGIC, crc, length, len(encoded_key), len(about))

            try:
                try:
                    os.mkdir(path[:2], 0o700, dir_fd=self._fd)
                except FileExistsError:
                    pass
                written = self._write_atomically(
                    path, [bytes(_ENTRY_HEAD.size), encoded_key, about, *parts], head)
            except OSError as error:
                self._warn("io", f"could not save a value ({error}); carrying on without it")
                return
            self._touched.pop(path, None)
            if self.max_bytes is not None:
                size = _ENTRY_HEAD.size + len(encoded_key) + len(about) + length
                self._account(path, written, disk_bytes(size))

    def _account(self, path: str, written: int, size: int) -> None:
        """Record the entry just written and evict the least recently used ones
        past the bound."""
        assert self.max_bytes is not None
        self._saves_since_scan += 1
        if self._total is None or self._saves_since_scan >= max(RESCAN_EVERY, len(self._index)):
            self._rescan()
        else:
            old = self._index.get(path)
            self._total += size - (old[1] if old else 0)
            self._index[path] = (written, size)
            heapq.heappush(self._heap, (written, path))
        assert self._total is not None
        if self._total > self.max_bytes:
            self._flush_touches()  # reads since the last flush count
        kept = None
        while self._total > self.max_bytes and self._heap:
            at, oldest = heapq.heappop(self._heap)
            found = self._index.get(oldest)
            if found is None or found[0] != at:
                continue  # a stale item: the entry was touched, replaced or removed
            if oldest == path:
                kept = (at, oldest)  # the value just saved stays
                continue
            self._remove(oldest)  # or another process did
            del self._index[oldest]
            self._total -= found[1]
        if kept is not None:
            heapq.heappush(self._heap, kept)
        if len(self._heap) > 2 * len(self._index) + RESCAN_EVERY:
            self._heap = [(at, p) for p, (at, _) in self._index.items()]
            heapq.heapify(self._heap)

    def _rescan(self) -> None:
        """Rebuild the bound's index from the directory; remove stale temporaries."""
        self._flush_touches()
        self._saves_since_scan = 0
        index, total, now = {}, 0, time.time()
        try:
            found = self._scan()
        except OSError:
            found = []
        for path, info in found:
            size = info.st_blocks * 512
            if path.split("/")[1].startswith("."):
                if now - info.st_mtime > STALE_TEMPORARY and self._remove(path):
                    continue  # a write that died: swept
                total += size  # a write in flight: counted, not evictable
                continue
            index[path] = (info.st_mtime_ns, size)
            total += size
        self._index, self._total = index, total
        self._heap = [(at, p) for p, (at, _) in index.items()]
        heapq.heapify(self._heap)

    def _remove(self, path: str) -> bool:
        try:
            os.unlink(path, dir_fd=self._fd)
            return True
        except OSError:
            return False

    def info(self) -> StoreInfo:
        with self._lock:
            self._require_open()
            entries, size, orphans = 0, 0, 0
            if self._usable:
                for path, info in self._scan():
                    if path.split("/")[1].startswith("."):
                        orphans += info.st_blocks * 512
                    else:
                        size += info.st_blocks * 512
                        entries += 1
            return StoreInfo(entries, size, self.max_bytes, self.path, orphans)

    def entries(self) -> list[EntryInfo]:
        """Every entry, most recently used first (what its header says)."""
        with self._lock:
            self._require_open()
            found: list[EntryInfo] = []
            if not self._usable:
                return found
            for path, info in self._scan():
                if path.split("/")[1].startswith("."):
                    continue
                about: dict[str, Any] = {}
                try:
                    fd = os.open(path, OPEN_FLAGS, dir_fd=self._fd)
                    with open(fd, "rb", buffering=0) as file:
                        head = file.read(4096)
                    _, _, key_end, about_end = self._header(
                        head + bytes(max(0, info.st_size - len(head))))
                    about = json.loads(head[key_end:about_end])
                    if not isinstance(about, dict):
                        about = {}
                except (OSError, DamagedFrame, ValueError):
                    pass
                found.append(EntryInfo(_text(about.get("node")), _text(about.get("version")),
                                       info.st_blocks * 512, info.st_mtime,
                                       _number(about.get("seconds"))))
            found.sort(key=lambda entry: -entry.last_used)
            return found

    def clear(self) -> None:
        with self._lock:
            self._require_open()
            if not self._usable:
                self._warn("clear", "cannot be cleared here; remove its files by hand")
                return
            self._touched.clear()
            self.collect(STALE_TEMPORARY, entries_too=True)
            self._index, self._heap, self._total = {}, [], 0

    def collect(self, min_age: float = STALE_TEMPORARY, *, entries_too: bool = False) -> tuple[int, int]:
        """Delete temporary files older than `min_age` seconds (writes that died;
        younger ones may be in flight), and entries of an older format; with
        `entries_too`, every entry.  How many files and bytes were removed."""
        with self._lock:
            self._require_open()
            if not self._usable:
                return 0, 0
            now, count, removed = time.time(), 0, 0
            for path, info in self._scan():
                if path.split("/")[1].startswith("."):
                    doomed = now - info.st_mtime > min_age
                elif entries_too:
                    doomed = True
                else:
                    doomed = self._older_format(path)
                if not doomed:
                    continue
                try:
                    os.unlink(path, dir_fd=self._fd)
                except OSError as error:
                    if error.errno != errno.ENOENT:
                        self._warn("io", f"could not remove {path} ({error})")
                    continue
                count += 1
                removed += info.st_blocks * 512
            self._total = None  # rebuilt by the next bounded save
            return count, removed

    def _older_format(self, path: str) -> bool:
        try:
            fd = os.open(path, OPEN_FLAGS, dir_fd=self._fd)
            with open(fd, "rb", buffering=0) as file:
                return file.read(4) == OLD_MAGIC
        except OSError:
            return False

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            if self._fd is not None:
                self._flush_touches()
                os.close(self._fd)
                self._fd = None
            super().close()


LOCAL_FILESYSTEMS = {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "overlay", "zfs", "f2fs",
                     "jfs", "reiserfs", "bcachefs", "ramfs"}


def _local_filesystem(path: str) -> bool:
    """Whether `path` is on a local filesystem (by the type of the mount holding
    it); unknown counts as not local."""
    best, kind = "", None
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as table:
            for line in table:
                fields = line.split()
                try:
                    point = fields[4].encode().decode("unicode_escape")
                    fstype = fields[fields.index("-") + 1]
                except (IndexError, ValueError):
                    continue
                inside = path == point or path.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(best):
                    best, kind = point, fstype
    except OSError:
        return False
    return kind in LOCAL_FILESYSTEMS


def _text(value: Any) -> str | None:
    return value if isinstance(value, str) else None


def _number(value: Any) -> float | None:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None
