"""History pieces handed from workers to the client by file, where both run on one machine.

A piece holds two arrays of days by stocks (30 MB on a market of 3,000 stocks over 600 days). Sent back
through a pool's pipe, they were pickled, copied through the pipe 64 KB at a time, unpickled, and then
copied once more into the history's arrays: about 0.1 s of the client's CPU per piece and as much again
in fresh pages, with the client's rebalances waiting for the last piece. Workers on the client's machine
instead write their rows straight into one file per array of the history, in shared memory, which the
client maps as the history's array: one copy in all.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

__all__ = ["SPILL_BYTES", "Spilled", "spill_dir", "remove_spill", "spilled", "joined"]

#: Arrays of a piece at least this large go back through a spill directory.
SPILL_BYTES = 1 << 20


@dataclass(frozen=True)
class Spilled:
    """Rows ``rows`` (first, end) of an array of a history, which a worker wrote into the history's file
    ``path`` (raw, C order; ``shape`` and ``dtype`` are the piece's)."""

    path: str
    rows: tuple[int, int]
    shape: tuple[int, ...]
    dtype: str


def spill_dir() -> str | None:
    """A new directory in shared memory (``/dev/shm``) for pieces handed back by file, or None where the
    machine has none; the caller removes it (:func:`remove_spill`)."""
    import tempfile

    base = "/dev/shm"
    if not (os.path.isdir(base) and os.access(base, os.W_OK | os.X_OK)):
        return None
    try:
        return tempfile.mkdtemp(prefix="velquor-pieces-", dir=base)
    except OSError:
        return None


def remove_spill(directory: str | None) -> None:
    """Removes a spill directory and its files (arrays mapped from them stay valid)."""
    if directory is not None:
        import shutil

        shutil.rmtree(directory, ignore_errors=True)


def spilled(piece: dict, directory: str, start: int) -> dict:
    """``piece`` with its large arrays written into the files of its history in ``directory`` (the history
    starts at position ``start``); as it is when they cannot be (no room: a shared-memory file system is
    often small)."""
    import numpy as np

    lo, days = piece["start"], piece["stop"] - piece["start"]
    out = dict(piece)
    try:
        for key, value in piece.items():
            if not (isinstance(value, np.ndarray) and value.nbytes >= SPILL_BYTES and len(value) == days):
                continue
            a = np.ascontiguousarray(value)
            path = os.path.join(directory, f"{start}-{key}.bin")
            data = memoryview(a).cast("B")
            at = (lo - start) * a.strides[0]
            fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o600)
            try:
                done = 0
                while done < len(data):
                    done += os.pwrite(fd, data[done:], at + done)
            finally:
                os.close(fd)
            out[key] = Spilled(path, (lo - start, lo - start + days), a.shape, a.dtype.str)
    except OSError:
        return piece
    return out


def joined(pieces: list[dict], key: str):
    """The arrays ``key`` of a history's pieces (in order, consecutive) as one: the history's file mapped
    (read-only) where every piece left its rows there, else a new array of them."""
    import numpy as np

    parts = [d[key] for d in pieces]
    if all(isinstance(m, Spilled) for m in parts) and len({m.path for m in parts}) == 1:
        end = parts[-1].rows[1]
        if parts[0].rows[0] == 0 and all(a.rows[1] == b.rows[0] for a, b in zip(parts, parts[1:])):
            shape = (end,) + tuple(parts[0].shape[1:])
            return np.asarray(np.memmap(parts[0].path, dtype=parts[0].dtype, mode="r", shape=shape))
    arrays = []
    for m in parts:
        if isinstance(m, Spilled):
            row = int(np.prod(m.shape[1:], dtype=np.int64)) * np.dtype(m.dtype).itemsize
            m = np.fromfile(m.path, dtype=m.dtype, count=int(np.prod(m.shape, dtype=np.int64)),
                            offset=m.rows[0] * row).reshape(m.shape)
        arrays.append(m)
    return np.concatenate(arrays)
