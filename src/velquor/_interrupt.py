"""Ctrl-C wherever it lands: in a solve, an import, a DuckDB read or a worker, it ends as KeyboardInterrupt.

Some of the libraries underneath catch SIGINT themselves and report it as their own failure: SCS installs
its own handler for the length of a solve and returns the status "interrupted" (which the modelling layer
turns into a solver error), DuckDB raises its ``InterruptException`` (or, interrupted while it fetches a
result, a plain ``RuntimeError("Query interrupted")``), and an extension module whose
initialisation was interrupted raises ``ImportError`` with the interrupt as its cause. These helpers put the
interrupt back in its own shape, so no caller records it as a failed computation.
"""

from __future__ import annotations

import functools
import os
import sys

__all__ = ["is_interrupt", "reraise_interrupt", "guard_scs", "exit_with"]

#: SCS's status value of a solve stopped by SIGINT.
SCS_SIGINT = -5
#: What DuckDB's RuntimeError says when SIGINT stopped a query while its result was fetched.
DUCKDB_INTERRUPTED = "Query interrupted"


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


def reraise_interrupt(e: BaseException) -> None:
    """Raises KeyboardInterrupt (from ``e``) when ``e`` stands for one; returns otherwise."""
    if isinstance(e, KeyboardInterrupt):
        raise e
    if is_interrupt(e):
        raise KeyboardInterrupt() from e


def guard_scs() -> None:
    """Makes a solve SCS stopped on SIGINT raise KeyboardInterrupt instead of returning "interrupted" (once
    per process; a no-op without SCS)."""
    scs = sys.modules.get("scs")
    if scs is None:
        try:
            import scs
        except ImportError:
            return
    solve = scs.solve
    if getattr(solve, "_velquor_guarded", False):
        return

    @functools.wraps(solve)
    def guarded(*args, **kwargs):
        result = guarded._velquor_original(*args, **kwargs)  # type: ignore[attr-defined]
        info = result.get("info", {}) if isinstance(result, dict) else {}
        if info.get("status_val", info.get("statusVal")) == SCS_SIGINT:
            raise KeyboardInterrupt("the solver was interrupted")
        return result

    guarded._velquor_guarded = True  # type: ignore[attr-defined]
    guarded._velquor_original = solve  # type: ignore[attr-defined]
    scs.solve = guarded


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
