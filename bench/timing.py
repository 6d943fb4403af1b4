"""Timing helpers shared by the benchmark scripts (imported from the scripts' own directory)."""

from __future__ import annotations

import statistics
import time


def median_seconds(fn, repeat: int = 7, clock=time.perf_counter) -> float:
    """Median time of `repeat` calls of `fn`, in seconds: wall time, or CPU time with `clock=time.process_time`."""
    runs = []
    for _ in range(repeat):
        t = clock()
        fn()
        runs.append(clock() - t)
    return statistics.median(runs)


def first_and_median(fn, repeat: int = 7) -> tuple[float, float]:
    """(first call, median of the `repeat` following calls) in seconds: the first call pays for what the
    later ones find cached."""
    t = time.perf_counter()
    fn()
    first = time.perf_counter() - t
    return first, median_seconds(fn, repeat)
