"""The extension modules' Python collaborators, imported in Python before an extension initialises.

The C++ modules (velquor.optimize, .objective, .constraint, .benchmark) look up pandas, cvxpy, zorvata, the
helper and the like while they initialise. Anything raised there, a Ctrl-C during the second it takes to
import cvxpy, a broken installation, memory running out, reached the user as the extension binding's
``ImportError: Encountered an error while initializing the extension.``, its real cause buried in the
chain. Importing the collaborators first, here in plain Python, lets such a failure surface as itself (a
KeyboardInterrupt stays one) and leaves the extensions' initialisation to look up modules already loaded.
"""

from __future__ import annotations

import importlib
import importlib.abc
import sys

__all__ = ["EXTENSIONS", "COLLABORATORS", "install"]

#: The extension modules of the package.
EXTENSIONS = frozenset({"velquor.optimize", "velquor.objective", "velquor.constraint", "velquor.benchmark"})
#: What they import while they initialise (the C++ sources' ``import_`` calls), in a workable order.
COLLABORATORS = ("abc", "inspect", "numbers", "typing", "enum", "warnings", "numpy", "pandas", "scipy.linalg.lapack",
                 "cvxpy", "dateutil.parser", "zorvata", "velquor.exception", "velquor.const", "velquor.helper",
                 "velquor.trading.market")


class _Preload(importlib.abc.MetaPathFinder):
    """Finds nothing itself: on the way to an extension module it imports the collaborators first."""

    busy = False

    def find_spec(self, fullname, path=None, target=None):
        if fullname in EXTENSIONS and not _Preload.busy:
            _Preload.busy = True  # a collaborator importing an extension goes the ordinary way
            try:
                from zorvata.infra import interrupts_deferred

                with interrupts_deferred():
                    for name in COLLABORATORS:
                        if name not in sys.modules:
                            importlib.import_module(name)
            finally:
                _Preload.busy = False
        return None


def install() -> None:
    """Put the finder in front of the import system (once)."""
    if not any(isinstance(f, _Preload) for f in sys.meta_path):
        sys.meta_path.insert(0, _Preload())
