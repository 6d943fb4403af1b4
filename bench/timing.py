"""Timing helpers shared by the benchmark scripts (imported from the scripts' own directory)."""

from __future__ import annotations

import statistics
import time


def median_seconds(fn, repeat: int = 7) -> float:
    """Median wall time of `repeat` calls of `fn`, in seconds."""
    runs = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        runs.append(time.perf_counter() - t)
    return statistics.median(runs)


def first_and_median(fn, repeat: int = 7) -> tuple[float, float]:
    """(first call, median of the `repeat` following calls) in seconds: the first call pays for what the
    later ones find cached."""
    t = time.perf_counter()
    fn()
    first = time.perf_counter() - t
    return first, median_seconds(fn, repeat)
