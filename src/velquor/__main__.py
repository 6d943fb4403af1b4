"""`python -m velquor`: the `velquor` command line (see velquor.cli)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
