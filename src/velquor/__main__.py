"""`python -m velquor`: the `velquor` command line (see velquor.cli)."""

import sys

try:
    from .cli import main
except KeyboardInterrupt:  # Ctrl-C while the command line itself loads
    print("velquor: error: interrupted", file=sys.stderr)
    sys.exit(130)

if __name__ == "__main__":
    sys.exit(main())
