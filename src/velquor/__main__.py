"""`python -m velquor`: the `velquor` command line (see velquor.cli)."""

import signal
import sys

try:
    from .cli import main
except KeyboardInterrupt:  # Ctrl-C while the command line itself loads
    print("velquor: error: interrupted", file=sys.stderr)
    sys.exit(130)


def run() -> int:
    """Runs the command line and returns its exit status; the entry point of the `velquor` command."""
    status = 130
    try:
        status = main()
    except KeyboardInterrupt:  # one that landed after the command had answered (main reports its own)
        pass
    finally:
        # The exit status is decided: a Ctrl-C from here on, or one a library below left pending, must not
        # end the process by the signal instead (an ignored signal's pending handler never runs).
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return status


if __name__ == "__main__":
    sys.exit(run())
