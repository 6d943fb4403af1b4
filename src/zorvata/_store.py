"""Where the market database lives, read-only connections to it, and the per-process caches keyed on it."""

from __future__ import annotations

import contextlib
import logging
import os
import threading
from pathlib import Path

import duckdb

from .infra import file_lock

__all__ = ["ENV_DB", "ENV_CACHE_DIR", "configure", "reset", "close", "db_path", "connect", "cached",
           "demo_path", "file_lock", "clean_leftovers"]

#: Environment variable naming the database file; unset means the demo market.
ENV_DB = "ZORVATA_DB"
#: Environment variable overriding the directory the demo market is cached in.
ENV_CACHE_DIR = "ZORVATA_CACHE_DIR"

_log = logging.getLogger(__name__)
_lock = threading.RLock()
_configured: Path | None = None
# path -> (file signature, connection); one read-only connection per database file per process
_connections: dict[str, tuple[tuple, duckdb.DuckDBPyConnection]] = {}
# (name, path, signature) -> value; dropped when the file changes
_cache: dict[tuple, object] = {}


def configure(path: str | os.PathLike | None) -> None:
    """Point this process at the database file `path` (None: back to ``ZORVATA_DB`` or the demo market).

    Drops every cached connection and table, so the next call reads the new file.
    """
    global _configured
    with _lock:
        _configured = None if path is None else Path(path).expanduser().resolve()
        _drop_all()


def reset() -> None:
    """Forget `configure` and every cached connection and table (the environment decides again)."""
    configure(None)


def close() -> None:
    """Close this process's cached read-only connections (a writer needs the file to itself)."""
    with _lock:
        _drop_all()


def _drop_all() -> None:
    for _, con in _connections.values():
        with contextlib.suppress(Exception):
            con.close()
    _connections.clear()
    _cache.clear()


_cleaned: set[str] = set()  # files whose leftovers this process has looked for
_forked_from_reader = False
_inherited: list = []


def _forget_after_fork() -> None:
    # DuckDB is not fork-safe: a child of a process that had the database open crashes or hangs on its first
    # query (inherited connection or a new one alike), so it gets a clear error instead
    global _lock, _forked_from_reader
    _lock = threading.RLock()
    _forked_from_reader = _forked_from_reader or bool(_connections)
    _inherited.extend(_connections.values())  # never closed here: closing them in the child crashes too
    _connections.clear()
    _cache.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_after_fork)


def demo_path() -> Path:
    """The cache file of the demo market for this generator version."""
    from .demo import DEMO_VERSION

    base = os.environ.get(ENV_CACHE_DIR)
    if not base:
        xdg = os.environ.get("XDG_CACHE_HOME")
        base = os.path.join(xdg if xdg else os.path.join(os.path.expanduser("~"), ".cache"), "zorvata")
    return Path(base) / f"demo-{DEMO_VERSION}.duckdb"


def db_path() -> Path:
    """The configured database file; builds the demo market on first use when nothing is configured."""
    if _configured is not None:
        return _configured
    env = os.environ.get(ENV_DB)
    if env:
        return Path(env).expanduser().resolve()
    path = demo_path()
    if not path.exists():
        from .demo import ensure_demo

        ensure_demo(path)
    return path


def _signature(path: Path) -> tuple:
    try:
        st = path.stat()
    except FileNotFoundError:
        from ._errors import DataError

        raise DataError(f"market database {str(path)!r} does not exist (set {ENV_DB} or run "
                        f"`python -m zorvata build-demo`)") from None
    return (st.st_ino, st.st_mtime_ns, st.st_size)


def connect() -> duckdb.DuckDBPyConnection:
    """A read-only connection to the configured database, shared within the process.

    The connection is reopened when the file was replaced or rewritten since it was opened. Callers on other
    threads should take ``.cursor()`` of it.
    """
    path = db_path()
    return _connection(path, _signature(path))


def _connection(path: Path, sig: tuple) -> duckdb.DuckDBPyConnection:
    if _forked_from_reader:
        from ._errors import DataError

        raise DataError("this process was forked from one that had the market database open, and DuckDB "
                        "cannot be used across fork; start worker processes with the 'spawn' or "
                        "'forkserver' method (multiprocessing.get_context('spawn'))")
    key = str(path)
    with _lock:
        hit = _connections.get(key)
        if hit is not None and hit[0] == sig:
            return hit[1]
        if hit is not None:
            with contextlib.suppress(Exception):
                hit[1].close()
            for k in [k for k in _cache if k[1] == key]:
                del _cache[k]
        if key not in _cleaned:
            _cleaned.add(key)
            clean_leftovers(path)
        con = duckdb.connect(key, read_only=True)
        _connections[key] = (sig, con)
        return con


def cached(name: str, build):
    """`build(con)` computed once per database file version (path, inode, mtime, size) and process."""
    path = db_path()
    sig = _signature(path)
    key = (name, str(path), sig)
    try:
        return _cache[key]
    except KeyError:
        pass
    con = _connection(path, sig)
    with _lock:
        if key not in _cache:
            _cache[key] = build(con.cursor())
        return _cache[key]


def _leftovers(target: Path) -> list[Path]:
    prefix = f".{target.name}."
    try:
        names = os.listdir(target.parent)
    except OSError:
        return []
    return [target.parent / n for n in names
            if n.startswith(prefix) and n.endswith((".tmp", ".tmp.wal"))]


def clean_leftovers(target: Path, locked: bool = False) -> list[Path]:
    """Remove what a killed writer of `target` left beside it (hidden ``.<name>.*.tmp`` files and
    directories and their ``.wal``); returns the removed paths.

    Writers hold `file_lock` while they write, so only files nobody is writing any more are removed: without
    `locked` (the caller holds the lock already) the lock is tried without waiting, and a busy lock means a
    writer is at work and nothing is touched.
    """
    import shutil

    target = Path(target)
    found = _leftovers(target)
    if not found:
        return []
    if not locked:
        with file_lock(target, wait=False) as held:
            return clean_leftovers(target, locked=True) if held else []
    removed: list[Path] = []
    for p in _leftovers(target):
        try:
            if p.is_dir():
                shutil.rmtree(p)
            else:
                p.unlink()
            removed.append(p)
        except FileNotFoundError:
            pass
        except OSError:
            continue
    if removed:
        _log.info("removed %d file(s) an interrupted writer of %s left behind", len(removed), target)
    return removed
