"""Ctrl-C wherever it lands: in a solve, an import, a DuckDB read or a worker, it ends as KeyboardInterrupt.

Some of the libraries underneath catch SIGINT themselves and report it as their own failure: SCS installs
its own handler for the length of a solve and returns the status "interrupted" (which the modelling layer
turns into a solver error), DuckDB raises its ``InterruptException`` (or, interrupted while it fetches a
result, a plain ``RuntimeError("Query interrupted")``), and an extension module whose
initialisation was interrupted raises ``ImportError`` with the interrupt as its cause. These helpers put the
interrupt back in its own shape, so no caller records it as a failed computation (``is_interrupt`` and
``exit_with`` live in ``zorvata.infra``, which zorvata's own command line uses too).
"""

from __future__ import annotations

import functools
import sys

from zorvata.infra import exit_with, is_interrupt

__all__ = ["is_interrupt", "reraise_interrupt", "guard_scs", "exit_with"]

#: SCS's status value of a solve stopped by SIGINT.
SCS_SIGINT = -5


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
