"""What every store backend shares: warnings, the trust check, the frame format.

A value is stored as a *frame*: a small header, the value's pickle (protocol 5)
and its out-of-band buffers (the raw memory of arrays and the like), each
buffer aligned to 64 bytes so that it can be used in place from a mapped file.
A CRC-32 of the whole frame is kept with it and checked before anything is
unpickled, so a torn or damaged frame is dropped instead of loaded.
"""
from __future__ import annotations

import errno
import os
import pickle
import stat
import struct
import tempfile
import threading
import warnings
import zlib
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

__all__ = ["StoreWarning", "StoreInfo", "EntryInfo"]


class StoreWarning(UserWarning):
    """A store could not read or write an entry and carried on without it.

    The run that saw it recomputes what it could not load, or keeps the value
    only in memory when it could not save it; no wrong value is ever returned.
    """


@dataclass(frozen=True)
class StoreInfo:
    """What a store holds: `entries` values taking `bytes` bytes of disk, at
    `path`; `orphan_bytes` more are taken by files no entry names (left by
    writers that died), which the store sweeps."""

    entries: int
    bytes: int
    max_bytes: int | None
    path: str
    orphan_bytes: int = 0


@dataclass(frozen=True)
class EntryInfo:
    """One entry of a store, as `python -m movra store info` lists it: the node
    and code version it was computed by (None when not recorded), the disk bytes
    it takes, when it was last used (seconds since the epoch) and how long its
    call took."""

    node: str | None
    version: str | None
    bytes: int
    last_used: float
    seconds: float | None


# --- the trust check -------------------------------------------------------------

def _trusted(uid: int) -> bool:
    """Whether files owned by `uid` may be trusted: this user's, or root's (who
    can change anything anyway)."""
    return uid in (os.geteuid(), 0)


def _shared_folder(path: str, info: os.stat_result) -> bool:
    return bool(info.st_mode & stat.S_ISVTX) or path == os.path.realpath(tempfile.gettempdir())


def _refuse(path: str, problem: str) -> ValueError:
    return ValueError(f"refusing the store at {path!r}: {problem}; a store holds pickled "
                      f"data, which runs code when loaded, so keep it where only you can write")


def check_private(path: str, what: str, *, info: os.stat_result | None = None,
                  store: str | None = None) -> None:
    """Refuse `path`, part of the store at `store` (by default `path` itself),
    if a user other than this one (or root) can change it, or if it is a
    symbolic link.

    A store holds pickles, and loading a pickle runs code it names: whoever can
    write the store's files can make this process run anything.  Missing paths
    pass (they will be created private).
    """
    if info is None:
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            return
    store = path if store is None else store
    named = f"the {what}" if store == path else f"the {what} {path!r}"
    if stat.S_ISLNK(info.st_mode):
        raise _refuse(store, f"{named} is a symbolic link, which another user may redirect")
    if not _trusted(info.st_uid):
        raise _refuse(store, f"{named} is owned by another user (uid {info.st_uid})")
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        if stat.S_ISDIR(info.st_mode) and _shared_folder(path, info):
            advice = ("it is a shared folder: keep the store in a folder of your own "
                      "inside it (mkdir -m 700)")
        else:
            advice = f"run `chmod go-w {path}` or choose a private location"
        raise ValueError(
            f"refusing the store at {store!r}: {named} is writable by other users "
            f"(mode {stat.filemode(info.st_mode)}); a store holds pickled data, which "
            f"runs code when loaded: {advice}")


def check_ancestors(path: str, store: str | None = None) -> None:
    """Refuse `path` (a resolved path) if another user could rename or replace
    it or any folder above it.

    A folder above may be shared (world-writable) only with the sticky bit set,
    which keeps others from renaming what they do not own, and then the entry
    inside it on the way to `path` must be this user's (or root's).  Messages
    name `store` (by default `path`)."""
    store = path if store is None else store
    child, parent = path, os.path.dirname(path)
    while parent != child:
        try:
            info = os.stat(parent)
        except FileNotFoundError:  # to be created, private
            child, parent = parent, os.path.dirname(parent)
            continue
        if not _trusted(info.st_uid):
            raise _refuse(store, f"the folder {parent!r} above it is owned by another user "
                                f"(uid {info.st_uid})")
        if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            if not info.st_mode & stat.S_ISVTX:
                raise ValueError(
                    f"refusing the store at {store!r}: the folder {parent!r} above it is "
                    f"writable by other users (mode {stat.filemode(info.st_mode)}), who could "
                    f"replace what is in it; a store holds pickled data, which runs code when "
                    f"loaded: run `chmod go-w {parent}` or choose a private location")
            try:
                owner = os.lstat(child).st_uid
            except FileNotFoundError:
                owner = os.geteuid()  # created by this process, and checked again then
            if not _trusted(owner):
                raise _refuse(store, f"{child!r}, in the shared folder {parent!r}, is owned by "
                                    f"another user (uid {owner})")
        child, parent = parent, os.path.dirname(parent)


def resolve(path: str) -> str:
    """The real path of the store at `path`: symbolic links resolved, so that every
    check sees the folders the files really live in.  A path that cannot be a
    store at all (a file on the way to it) is a ValueError naming it."""
    real = os.path.realpath(path)
    above = os.path.dirname(real)
    while not os.path.exists(above):
        above = os.path.dirname(above)
    if not os.path.isdir(above):
        raise ValueError(f"cannot keep a store at {path!r}: {above!r} is not a folder")
    return real


def open_directory(path: str) -> int:
    """A descriptor of the folder `path`, never through a symbolic link, after
    checking that it is private; every file of the store is then opened
    relative to it, so renaming the folder away cannot redirect a read."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        check_private(path, "directory", info=os.fstat(fd))
    except BaseException:
        os.close(fd)
        raise
    return fd


# --- frames ------------------------------------------------------------------------

FRAME_MAGIC = b"mvF1"
_FRAME_HEAD = struct.Struct("<4sIQ")  # magic, buffer count, pickle length
_LENGTH = struct.Struct("<Q")
ALIGN = 64


def _padding(offset: int) -> bytes:
    return b"\0" * (-offset % ALIGN)


class UnpicklableValue(Exception):
    """The value handed to `save` does not pickle."""


def encode(value: Any) -> tuple[list[Any], int]:
    """The parts of `value`'s frame (bytes and buffer views, in order) and its length.

    Out-of-band buffers are views of the value's own memory: nothing large is
    copied until the parts are written.
    """
    buffers: list[pickle.PickleBuffer] = []
    try:
        payload = pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
    except Exception as error:  # pickling raises many classes of error
        raise UnpicklableValue(error) from error
    views = [buffer.raw() for buffer in buffers]
    head = _FRAME_HEAD.pack(FRAME_MAGIC, len(views), len(payload))
    head += b"".join(_LENGTH.pack(view.nbytes) for view in views)
    parts: list[Any] = [head, payload]
    length = len(head) + len(payload)
    for view in views:
        pad = _padding(length)
        parts += [pad, view]
        length += len(pad) + view.nbytes
    return parts, length


# Checksums of large frames are CRC-32s of 8 MiB chunks, computed on a few
# threads (zlib releases the interpreter lock), then combined: one CRC pass is
# otherwise slower than writing or reading the frame.
CHUNK = 8 << 20
_workers: ThreadPoolExecutor | None = None
_workers_lock = threading.Lock()


def _forget_workers() -> None:
    global _workers, _workers_lock
    _workers, _workers_lock = None, threading.Lock()  # the threads did not survive fork


os.register_at_fork(after_in_child=_forget_workers)


def _pool() -> ThreadPoolExecutor:
    global _workers
    with _workers_lock:
        if _workers is None:
            _workers = ThreadPoolExecutor(min(4, os.cpu_count() or 1), "movra-checksum")
        return _workers


def _crc(segments: list[Any]) -> int:
    crc = 0
    for segment in segments:
        crc = zlib.crc32(segment, crc)
    return crc


def _chunks(parts: list[Any]) -> list[list[memoryview]]:
    """The frame made of `parts`, cut into CHUNK-sized runs of views."""
    chunks: list[list[memoryview]] = [[]]
    room = CHUNK
    for part in parts:
        view = memoryview(part).cast("B")
        while view.nbytes:
            if room == 0:
                chunks.append([])
                room = CHUNK
            piece = view[:room]
            chunks[-1].append(piece)
            room -= piece.nbytes
            view = view[piece.nbytes:]
    return chunks


def checksum_started(parts: list[Any], length: int) -> Callable[[], int]:
    """Start the checksum of the frame made of `parts`; call the result for its value.

    The caller can write the frame meanwhile."""
    if length <= CHUNK:
        crc = _crc(parts)
        return lambda: crc
    pending = [_pool().submit(_crc, chunk) for chunk in _chunks(parts)]
    return lambda: zlib.crc32(b"".join(p.result().to_bytes(4, "little") for p in pending))


def checksum(frame: Any) -> int:
    """The checksum of a whole frame held in one buffer."""
    if len(frame) <= CHUNK:  # bytes, an mmap, or a memoryview of bytes
        return zlib.crc32(frame)
    return checksum_started([frame], len(frame))()


class DamagedFrame(Exception):
    """A frame that fails its checks or no longer unpickles."""


def entry_checksum(key: bytes, frame_crc: int) -> int:
    """The checksum kept with an entry: a CRC-32 over its key and its frame's CRC,
    so an entry found under another key (a damaged index, a file copied over
    another one) fails it like a damaged frame does."""
    return zlib.crc32(frame_crc.to_bytes(4, "little"), zlib.crc32(key))


def decode(frame: Any, crc: int, copy_buffers: bool, key: bytes) -> Any:
    """The value in `frame` (a bytes-like object) after checking it and `key`
    against `crc` (an `entry_checksum`).

    With `copy_buffers`, out-of-band buffers are copied into bytearrays, so that
    values built on them (arrays) are writable even if `frame` is read-only.
    Raises DamagedFrame for any fault, including an unpickling error.
    """
    if type(frame) is bytes and len(frame) <= CHUNK:  # a small value: the quick way
        if zlib.crc32(zlib.crc32(frame).to_bytes(4, "little"), zlib.crc32(key)) != crc:
            raise DamagedFrame("checksum mismatch")
        if frame[4:8] == b"\0\0\0\0" and frame[:4] == FRAME_MAGIC:  # no buffers
            if _FRAME_HEAD.size + int.from_bytes(frame[8:16], "little") != len(frame):
                raise DamagedFrame("frame length mismatch")
            try:
                return pickle.loads(memoryview(frame)[_FRAME_HEAD.size:])
            except Exception as error:  # a renamed class, a missing module, ...
                raise DamagedFrame(f"the value no longer unpickles: {error!r}") from error
    elif entry_checksum(key, checksum(frame)) != crc:
        raise DamagedFrame("checksum mismatch")
    view = memoryview(frame)  # bytes, an mmap or a view of either: bytes already
    try:
        magic, count, payload_length = _FRAME_HEAD.unpack_from(view)
        if magic != FRAME_MAGIC:
            raise DamagedFrame("not a frame")
        offset = _FRAME_HEAD.size + count * _LENGTH.size
        payload = view[offset:offset + payload_length]
        offset += payload_length
        buffers = []
        for i in range(count):
            (length,) = _LENGTH.unpack_from(view, _FRAME_HEAD.size + i * _LENGTH.size)
            offset += -offset % ALIGN
            buffer = view[offset:offset + length]
            buffers.append(bytearray(buffer) if copy_buffers else buffer)
            offset += length
        if offset != len(view) or len(payload) != payload_length:
            raise DamagedFrame("frame length mismatch")
    except struct.error as error:
        raise DamagedFrame(f"truncated frame: {error}") from error
    try:
        return pickle.loads(payload, buffers=buffers)
    except Exception as error:  # a renamed class, a missing module, ...
        raise DamagedFrame(f"the value no longer unpickles: {error!r}") from error


# --- the shared skeleton of a backend ----------------------------------------------

class BaseStore:
    """Warnings raised once, locking, the context manager."""

    path: str
    max_bytes: int | None

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._warned: set[str] = set()
        self._closed = False

    def _warn(self, category: str, message: str) -> None:
        """Warn about `category` only the first time this store meets it."""
        if category in self._warned:
            return
        self._warned.add(category)
        warnings.warn(f"store {self.path}: {message}", StoreWarning, stacklevel=4)

    min_seconds: float | None = None

    def _encode(self, value: Any) -> tuple[list[Any], int] | None:
        """The pickled parts of `value` and their length, or None for a value not
        to store: one that does not pickle, or one larger than `max_bytes`
        (it would evict everything and then itself)."""
        try:
            parts, length = encode(value)
        except UnpicklableValue as error:
            kind = type(value).__qualname__
            self._warn(f"pickle:{type(value).__module__}.{kind}",
                       f"a value of type {kind} does not pickle, so it is not stored "
                       f"({error.args[0]!r})")
            return None
        too_large = self.max_bytes is not None and length > self.max_bytes
        return None if too_large else (parts, length)

    def _require_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed store")

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        self._closed = True

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.path!r}, max_bytes={self.max_bytes!r})"


def check_max_bytes(max_bytes: int | None) -> int | None:
    if max_bytes is None:
        return None
    if isinstance(max_bytes, bool) or not isinstance(max_bytes, int):
        raise TypeError(f"max_bytes must be an int or None, not {type(max_bytes).__name__}")
    if max_bytes <= 0:
        raise ValueError(f"max_bytes must be positive, not {max_bytes}")
    return max_bytes


def write_all(fd: int, parts: list[Any]) -> None:
    """Write every part to `fd`, however many calls the kernel needs."""
    for part in parts:
        view = memoryview(part).cast("B")
        while view.nbytes:
            view = view[os.write(fd, view):]



def write_file_atomically(dir_fd: int, temporary: str, final: str, parts: list[Any], *,
                          fsync: bool, preallocate: int = 0,
                          finish: Callable[[int], None] | None = None) -> None:
    """Writes `parts` to `final` whole or not at all, through `temporary`, both
    relative to the folder `dir_fd`; the file is private to this user.

    `preallocate` bytes are reserved first (writing into allocated blocks is
    faster; only a full disk is an error there); `finish(fd)` runs after the
    parts are written, before the file is synced and renamed into place."""
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                 0o600, dir_fd=dir_fd)
    try:
        if preallocate:
            try:
                os.posix_fallocate(fd, 0, preallocate)
            except OSError as error:
                if error.errno == errno.ENOSPC:
                    raise
        write_all(fd, parts)
        if finish is not None:
            finish(fd)
        if fsync:
            os.fsync(fd)
    except BaseException:
        os.close(fd)
        os.unlink(temporary, dir_fd=dir_fd)
        raise
    os.close(fd)
    os.replace(temporary, final, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)


def disk_bytes(length: int) -> int:
    """The disk space a file of `length` bytes takes: whole blocks."""
    return -(-length // BLOCK) * BLOCK


BLOCK = 4096


# What a load costs, to decide which values are worth storing: a value whose
# call took less than loading it back would is not stored (a warm start then
# never costs more than recomputing).  Measured on a laptop-class machine
# (benchmarks/store.py): a lookup that hits costs about LOOKUP_SECONDS besides
# unpickling, and reading and checking a frame runs at about LOAD_RATE.
LOOKUP_SECONDS = 50e-6
LOAD_RATE = 1e9


def surely_cheap(seconds: float | None, min_seconds: float | None) -> bool:
    """Whether a call of `seconds` was cheaper than any load: its value need not
    even be pickled to know that it is not worth storing."""
    return seconds is not None and seconds < (LOOKUP_SECONDS if min_seconds is None
                                              else min_seconds)


def worth_storing(seconds: float | None, length: int, min_seconds: float | None) -> bool:
    """Whether a value whose call took `seconds` and whose frame is `length` bytes
    is worth storing: it is when loading it costs less than the call did.
    `min_seconds` overrides the estimate of a load (0 stores everything); an
    unknown call time stores."""
    if seconds is None:
        return True
    cost = LOOKUP_SECONDS + length / LOAD_RATE if min_seconds is None else min_seconds
    return seconds >= cost
