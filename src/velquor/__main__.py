"""`python -m velquor`: the `velquor` command line (see velquor.cli)."""

import os
import signal
import sys

try:
    from zorvata.infra import interrupts_deferred

    with interrupts_deferred():  # no extension module initialises with a Ctrl-C raised half way through it
        from ._interrupt import exit_with
        from .cli import main
except KeyboardInterrupt:  # Ctrl-C while the command line itself loads (exit_with may not be loaded yet)
    print("velquor: error: interrupted", file=sys.stderr)
    sys.stderr.flush()
    os._exit(130)


def run() -> int:
    """Runs the command line and returns its exit status (:func:`entry` ends the process with it)."""
    status = 130
    try:
        status = main()
    except KeyboardInterrupt:  # one that landed after the command had answered (main reports its own)
        pass
    finally:
        # The exit status is decided: a Ctrl-C from here on, or one a library below left pending, must not
        # end the process by the signal instead (an ignored signal's pending handler never runs). Changing
        # the handler first runs the handler of a signal still pending: taken, and tried again.
        while True:
            try:
                signal.signal(signal.SIGINT, signal.SIG_IGN)
                break
            except KeyboardInterrupt:
                continue
    return status


def entry() -> None:
    """The `velquor` command (its console script and `python -m velquor`): runs the command line and ends the
    process with its status; after a Ctrl-C, with 130 whatever the interpreter's exit would make of it."""
    exit_with(run())


if __name__ == "__main__":
    entry()
