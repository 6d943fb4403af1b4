"""`python -m velquor`: the `velquor` command line (see velquor.cli)."""

import sys

from .cli import main

sys.exit(main())
