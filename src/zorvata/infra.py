"""Small pieces of infrastructure shared by zorvata and velquor, each written once: files replaced atomically,
advisory file locks, a thread-safe LRU cache, the BLAS thread pool pinned for a block of code, glibc's
heap of a worker process kept for its next task (:func:`steady_heap`), and a Ctrl-C recognised wherever it
lands and turned into a command's exit status 130 (:func:`is_interrupt`, :func:`exit_with`), or held back
while an extension module initialises (:func:`interrupts_deferred`).

Why here: zorvata is the lower of the two packages (velquor imports zorvata, never the reverse), and both
need these. A module of zorvata imported by its public name serves both without a third top-level package to
install and version beside them; nothing in it knows about market data.

Conventions the callers rely on:

- A file written through :func:`atomic_write` or :func:`atomic_path` is built under a hidden temporary name
  beside its target (``.<name>.<random>.tmp``) and renamed over the target only when the block succeeds, so
  readers see the old file or the new one, never a half-written one; a failure removes the temporary file
  (and DuckDB's ``.wal`` of it). :func:`zorvata._store.clean_leftovers` finds what a killed writer left by
  that pattern.
- :func:`file_lock` locks ``<target>.lock`` beside the target, so a lock names the file it serialises.
- All three resolve a target through symbolic links first (:func:`real_path`), so a writer through a link and
  one on the real path take the same lock and replace the same file, and the link stays a link; a replaced
  file keeps the mode, owner and group of the one it replaces, never wider (:func:`keep_access`).
- Worker processes are spawned (:func:`spawn_context`), never forked: DuckDB connections and BLAS thread pools
  do not survive a fork (a forked child of a process that had the market database open gets a clear error
  from zorvata instead of a hang). The one exception, with its reason, is the risk model's estimate_range,
  whose workers are forked to inherit the factor history and never touch DuckDB.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import stat
import sys
import tempfile
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterator
from pathlib import Path
from typing import IO, Any, Generic, TypeVar

__all__ = ["package_version", "temp_name", "real_path", "keep_access", "atomic_path", "atomic_write", "file_lock",
           "LRUCache", "single_threaded_blas", "spawn_context", "steady_heap",
           "worker_heap", "is_interrupt", "exit_with", "interrupts_deferred"]

T = TypeVar("T")


# -------------------------------------------------------------------------------------------------- version

def package_version() -> str:
    """The version of the distribution that ships zorvata and velquor, written once, in pyproject.toml: read
    from the installed metadata, or, in a source tree run in place (no metadata installed), from the
    pyproject.toml above ``src/``."""
    import importlib.metadata

    try:
        return importlib.metadata.version("velquor")
    except importlib.metadata.PackageNotFoundError:
        pass
    import tomllib

    with open(Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as fh:
        return str(tomllib.load(fh)["project"]["version"])


# ----------------------------------------------------------------------------------------------- atomic files

def temp_name(target: Path) -> Path:
    """A fresh hidden name beside `target` (``.<name>.<random>.tmp``) with no file behind it."""
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    os.close(fd)
    os.unlink(tmp)  # callers such as DuckDB want to create the file themselves
    return Path(tmp)


def _remove(path: Path) -> None:
    for p in (path, path.with_name(path.name + ".wal")):
        if p.is_dir() and not p.is_symlink():
            shutil.rmtree(p, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                p.unlink()


def real_path(path: str | os.PathLike) -> Path:
    """`path` absolute with every symbolic link resolved (also one to a file not there yet).

    Writers resolve a target once and lock, write and replace that: replacing a link by a regular file would
    leave the file it points to behind, and a writer through the link and one on the real path would take
    different locks.
    """
    return Path(os.path.realpath(os.fspath(path)))


def keep_access(path: str | os.PathLike | int, like: os.stat_result, mask: int = 0o7777,
                directory: bool = False) -> None:
    """Give `path` (or an open descriptor) the mode (within `mask`), owner and group of the file `like`
    describes, never anything wider: where the group cannot be kept (not a member), the group's permission
    bits are dropped; where the owner cannot be (only root may give a file away), the file stays ours. A
    `directory` gets search permission wherever it gets read permission."""
    mode = stat.S_IMODE(like.st_mode) & mask
    if directory:
        mode |= (mode & 0o444) >> 2
    st = os.stat(path) if not isinstance(path, int) else os.fstat(path)
    if (st.st_uid, st.st_gid) != (like.st_uid, like.st_gid):
        for uid in (like.st_uid, -1):
            try:
                os.chown(path, uid, like.st_gid)
                break
            except OSError:
                continue
        else:
            mode &= ~0o070
    os.chmod(path, mode)


def _like(target: Path, like: str | os.PathLike | os.stat_result | None) -> os.stat_result | None:
    if isinstance(like, os.stat_result):
        return like
    try:
        return os.stat(like if like is not None else target)
    except FileNotFoundError:
        return None


@contextlib.contextmanager
def atomic_path(target: str | os.PathLike, *, like: str | os.PathLike | os.stat_result | None = None
                ) -> Iterator[Path]:
    """Yields a temporary path beside `target` for the block to create (a database, say); renamed over
    `target` when the block returns, removed (with its ``.wal``) whatever happens.

    `target` is resolved through symbolic links first (`real_path`). The new file takes the mode, owner and
    group of the file it replaces (or of `like`), never wider (`keep_access`).
    """
    target = real_path(target)
    tmp = temp_name(target)
    try:
        yield tmp
        st = _like(target, like)
        if st is not None and tmp.exists():
            keep_access(tmp, st)
        os.replace(tmp, target)
    finally:
        _remove(tmp)


@contextlib.contextmanager
def atomic_write(target: str | os.PathLike, mode: str = "wb", *, permissions: int | None = None,
                 like: str | os.PathLike | os.stat_result | None = None,
                 make_parents: bool = False) -> Iterator[IO[Any]]:
    """Yields a file opened with `mode` ("wb" or "w") under a temporary name beside `target`, renamed over
    `target` (resolved through symbolic links) when the block returns. The file takes the mode, owner and
    group of `like` (a file or its `os.stat_result`; else the file it replaces), within `permissions` when given; without either it is
    created 0600 (or `permissions`). `make_parents` creates the target's directory first."""
    target = real_path(target)
    if make_parents:
        target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        st = _like(target, like)
        if st is not None:
            keep_access(fd, st, 0o7777 if permissions is None else permissions)
        elif permissions is not None:
            os.fchmod(fd, permissions)
        with os.fdopen(fd, mode) as fh:
            yield fh
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


# ------------------------------------------------------------------------------------------------ file lock

@contextlib.contextmanager
def file_lock(target: str | os.PathLike, *, wait: bool = True) -> Iterator[bool]:
    """An exclusive advisory lock on ``<target>.lock``, serialising the writers of `target` across processes.

    Yields True while the lock is held. With ``wait=False`` a lock held elsewhere (or a lock file that cannot
    be opened) yields False at once, and the block runs without it. The lock file is opened read-only where
    the directory is another user's: flock needs no write access. Where the platform has no flock, writers
    are not serialised.
    """
    target = real_path(target)
    lock_path = target.with_name(target.name + ".lock")
    try:
        import fcntl
    except ImportError:  # pragma: no cover - not POSIX
        yield True
        return
    fh: IO[bytes] | None = None
    try:
        if wait:
            lock_path.parent.mkdir(parents=True, exist_ok=True)
        try:
            fh = open(lock_path, "a+b")
        except PermissionError:
            fh = open(lock_path, "rb")
        fcntl.flock(fh.fileno(), fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except OSError:
        if fh is not None:
            fh.close()
        if wait:
            raise
        yield False
        return
    with fh:
        try:
            yield True
        finally:
            fcntl.flock(fh.fileno(), fcntl.LOCK_UN)


# ------------------------------------------------------------------------------------------------------ LRU

class LRUCache(Generic[T]):
    """A mapping of at most `size` entries that forgets the least recently used one; safe across threads.

    `get_or_make(key, make)` runs `make()` outside the lock, so a slow load does not block readers of other
    keys (two threads missing the same key may both make it; the later one's value is kept).
    """

    def __init__(self, size: int) -> None:
        self.size = size
        self._data: OrderedDict[Hashable, T] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable) -> T | None:
        with self._lock:
            value = self._data.get(key)
            if value is not None:
                self._data.move_to_end(key)
            return value

    def put(self, key: Hashable, value: T) -> None:
        with self._lock:
            self._data[key] = value
            self._data.move_to_end(key)
            while len(self._data) > self.size:
                self._data.popitem(last=False)

    def get_or_make(self, key: Hashable, make: Callable[[], T]) -> T:
        value = self.get(key)
        if value is None:
            value = make()
            self.put(key, value)
        return value

    def clear(self) -> None:
        with self._lock:
            self._data.clear()

    def __len__(self) -> int:
        return len(self._data)


# ------------------------------------------------------------------------------------------------ processes

def spawn_context():
    """The multiprocessing context every pool of worker processes starts from (see the module's notes)."""
    import multiprocessing

    return multiprocessing.get_context("spawn")


# ------------------------------------------------------------------------------------------------------ BLAS

@contextlib.contextmanager
def single_threaded_blas() -> Iterator[None]:
    """Runs the block with every loaded BLAS on one thread, restoring the previous counts after.

    Many small matrix products (thousands of stocks by ~40 factors) gain nothing from a multi-threaded BLAS,
    and on a busy machine its spinning threads make them many times slower. Only the BLAS pools are limited:
    OpenMP pools of other libraries keep their size.
    """
    with _blas_controller().limit(limits=1):
        yield


_blas: tuple[int, Any] | None = None


def _blas_controller():
    """The loaded BLAS libraries' thread controls. Finding them walks every shared object of the process (a
    few ms, once per rebalance of a backtest before this was kept), so the list is kept until a module is
    imported: a new BLAS only arrives with a new import."""
    global _blas
    n = len(sys.modules)
    if _blas is None or _blas[0] != n:
        from threadpoolctl import ThreadpoolController

        _blas = (len(sys.modules), ThreadpoolController().select(user_api="blas"))
    return _blas[1]


# ------------------------------------------------------------------------------------------------------ heap

#: glibc's mallopt parameters, and the largest mmap threshold its own adaptive rule reaches on a 64-bit system
#: (the trim threshold it pairs with is twice that).
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_ADAPTIVE_MMAP_MAX = 32 << 20
_GLIBC_MMAP_DEFAULT = 128 << 10

#: Free heap a worker process keeps while it computes: a history piece of the risk model frees and allocates
#: again several hundred MiB of panels and kernel buffers, which the heap then hands out again instead of the
#: kernel mapping and zero-filling them afresh.
HELD_HEAP = 1 << 30
#: Seconds a worker keeps that heap after its last block ends (the next task of a run comes well within it);
#: then the free heap goes back to the system and the worker's own settings are back.
HELD_HEAP_IDLE = 2.0

_heap_lock = threading.Condition()
_heap_users = 0
_heap_worker = False  # this process is a compute worker (a pool worker, or a Dask worker started by a nanny)
_heap_held = False  # the worker's heap is held (inside a block, or within HELD_HEAP_IDLE of the last one)
_heap_last_exit = 0.0
_heap_thread: threading.Thread | None = None
_libc: Any = None


def _fixed_heap_settings() -> tuple[int, int] | None:
    """(trim threshold, mmap threshold) the process started with when its environment fixed glibc's trim
    threshold and left the mmap threshold to glibc, as a Dask nanny does for its workers; None otherwise."""
    trim = os.environ.get("MALLOC_TRIM_THRESHOLD_")
    if trim is None or "MALLOC_MMAP_THRESHOLD_" in os.environ or not sys.platform.startswith("linux"):
        return None
    try:
        return int(trim), _GLIBC_MMAP_DEFAULT
    except ValueError:
        return None


def _mallopt():
    global _libc
    if _libc is None:
        import ctypes

        try:
            lib = ctypes.CDLL(None)
            _libc = lib if hasattr(lib, "mallopt") and hasattr(lib, "gnu_get_libc_version") else False
        except OSError:
            _libc = False
    return _libc.mallopt if _libc else None


def worker_heap() -> None:
    """Marks this process as a compute worker: inside :func:`steady_heap` its heap is held (see there). A
    process-pool worker calls it once when it starts; the user's own process is never marked."""
    global _heap_worker
    if sys.platform.startswith("linux") and "MALLOC_MMAP_THRESHOLD_" not in os.environ \
            and "MALLOC_TRIM_THRESHOLD_" not in os.environ:
        _heap_worker = True


def _restore_after_idle() -> None:
    """The heap thread of a worker: once no block has run for HELD_HEAP_IDLE seconds, the free heap goes back
    to the system and the process's own settings are back."""
    global _heap_thread
    with _heap_lock:
        while True:
            if _heap_users == 0:
                left = _heap_last_exit + HELD_HEAP_IDLE - time.monotonic()
                if left <= 0:
                    break
                _heap_lock.wait(left)
            else:
                _heap_lock.wait()
        _release_heap()
        _heap_thread = None


def _release_heap() -> None:
    global _heap_held
    mallopt = _mallopt()
    fixed = _fixed_heap_settings()
    if fixed is not None:  # the nanny's settings
        mallopt(_M_TRIM_THRESHOLD, fixed[0])
        mallopt(_M_MMAP_THRESHOLD, fixed[1])
    else:  # where glibc's adaptive rule settles
        mallopt(_M_TRIM_THRESHOLD, 2 * _ADAPTIVE_MMAP_MAX)
    _libc.malloc_trim(0)
    _heap_held = False


def _forget_heap_thread() -> None:  # a forked child has no heap thread, and no block of its parent runs in it
    global _heap_thread, _heap_users, _heap_lock
    _heap_lock = threading.Condition()
    _heap_thread, _heap_users = None, 0


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_heap_thread)


@contextlib.contextmanager
def steady_heap() -> Iterator[None]:
    """Runs the block with glibc's heap reusing freed memory; in a worker process, keeps it for the next block.

    Dask's nanny starts its workers with ``MALLOC_TRIM_THRESHOLD_`` set. Any such setting switches off glibc's
    adaptive mmap threshold, so every block of 128 KiB or more (a 500-stock factor exposure matrix, a
    covariance) is mapped fresh from the kernel, zero-filled page by page, and unmapped when freed. A
    backtest's rebalance allocates thousands of them: on two cores its tasks cost about 1.6 times the CPU of
    the same task in an ordinary process. And even glibc's adaptive rule gives back the top of the heap once
    64 MiB of it is free, which a history piece of the risk model does many times: two pieces on two busy
    cores cost about a third more CPU than with the heap kept.

    In a worker (a Dask nanny's, or a process marked by :func:`worker_heap`) blocks up to 32 MiB come from the
    heap inside the block, and up to HELD_HEAP of free heap is kept, inside and for HELD_HEAP_IDLE seconds
    after the last block ends; then the free heap is trimmed and the worker's own settings are back. The
    block's peak memory is unchanged; only what it freed stays a moment longer. Elsewhere (the user's own
    process, a worker whose environment set the mmap threshold, or not glibc) it does nothing.
    """
    global _heap_users, _heap_held, _heap_last_exit, _heap_thread
    worker = _heap_worker or _fixed_heap_settings() is not None
    mallopt = _mallopt() if worker else None
    if mallopt is None:
        yield
        return
    with _heap_lock:
        _heap_users += 1
        if not _heap_held:
            mallopt(_M_MMAP_THRESHOLD, _ADAPTIVE_MMAP_MAX)
            mallopt(_M_TRIM_THRESHOLD, HELD_HEAP)
            _heap_held = True
        _heap_lock.notify_all()
    try:
        yield
    finally:
        with _heap_lock:
            _heap_users -= 1
            if _heap_users == 0:
                _heap_last_exit = time.monotonic()
                if _heap_thread is None:
                    _heap_thread = threading.Thread(target=_restore_after_idle, name="velquor-heap", daemon=True)
                    _heap_thread.start()
                _heap_lock.notify_all()


# ------------------------------------------------------------------------------------------------- interrupts

#: What DuckDB's RuntimeError says when SIGINT stopped a query while its result was fetched.
DUCKDB_INTERRUPTED = "Query interrupted"


@contextlib.contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Holds a Ctrl-C back for the length of the block and raises it as KeyboardInterrupt when the block ends.

    For imports of extension modules that cannot take an exception half way through their initialisation:
    DuckDB's aborts the whole process ("Critical nanobind error") when KeyboardInterrupt lands while it
    registers its types, so a Ctrl-C in the first second of a command or a session killed it by SIGABRT.
    Acts only in the main thread and only while Python's own handler is installed: a program's handler, an
    ignored SIGINT and an enclosing block of this kind are left as they are."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    caught: list[int] = []
    signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        # a signal still pending runs the recorder on the way out, so it is counted, not lost
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if caught:
        raise KeyboardInterrupt


def is_interrupt(e: BaseException) -> bool:
    """Whether ``e`` is, or was caused by, a keyboard interrupt (DuckDB's own interrupt included)."""
    seen: set[int] = set()
    cur: BaseException | None = e
    while cur is not None and id(cur) not in seen:
        seen.add(id(cur))
        if isinstance(cur, KeyboardInterrupt):
            return True
        if type(cur).__name__ == "InterruptException" and type(cur).__module__.startswith(("duckdb", "_duckdb")):
            return True
        if type(cur) is RuntimeError and str(cur).strip() == DUCKDB_INTERRUPTED:
            return True
        cur = cur.__cause__ or cur.__context__
    return False


def exit_with(status: int) -> None:
    """Ends a command's process with ``status``. After a Ctrl-C (130) the interpreter's own exit can end the
    process by SIGINT instead, whatever status the program asked for (a parent then sees -2): it does so when
    the interrupt went through code run on a library's behalf. So then the streams are flushed and the
    process ends at once."""
    if status != 130:
        sys.exit(status)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(130)
