"""Pins the BLAS thread pool to one thread while the estimation pipeline runs.

The pipeline multiplies many small matrices (thousands of stocks by ~40 factors). A multi-threaded BLAS
gains nothing on those and, on a busy machine, its spinning threads make them tens of times slower.
"""

from __future__ import annotations

import contextlib
import ctypes

_PREFIXES = ("scipy_openblas", "openblas")
_SUFFIXES = ("64_", "_64_", "")


def _libraries() -> list[tuple]:
    found = []
    try:
        with open("/proc/self/maps") as fh:
            paths = {line.split()[-1] for line in fh if "openblas" in line and "/" in line}
    except OSError:
        return found
    for path in sorted(paths):
        try:
            lib = ctypes.CDLL(path)
        except OSError:
            continue
        for prefix in _PREFIXES:
            for suffix in _SUFFIXES:
                get = getattr(lib, f"{prefix}_get_num_threads{suffix}", None)
                put = getattr(lib, f"{prefix}_set_num_threads{suffix}", None)
                if get is not None and put is not None:
                    get.restype = ctypes.c_int
                    found.append((get, put))
                    break
            else:
                continue
            break
    return found


@contextlib.contextmanager
def single_threaded_blas():
    """Run the body with every loaded OpenBLAS on one thread; restores the previous counts."""
    libs = _libraries()
    saved = [get() for get, _ in libs]
    for _, put in libs:
        put(ctypes.c_int(1))
    try:
        yield
    finally:
        for (_, put), n in zip(libs, saved):
            put(ctypes.c_int(n))
