"""A failure while an extension module's Python collaborators load surfaces as itself, not as the binding's
generic "Encountered an error while initializing the extension." ImportError."""

import subprocess
import sys

import pytest

_SCRIPT = """
import sys

class Fail:
    def find_spec(self, name, path=None, target=None):
        if name == "cvxpy":
            raise {exc}
        return None

sys.meta_path.insert(0, Fail())
import velquor.{module}
"""


@pytest.mark.parametrize("module", ["optimize", "constraint"])
@pytest.mark.parametrize("exc, last", [("KeyboardInterrupt()", "KeyboardInterrupt"),
                                       ("RuntimeError('no room to load a library')",
                                        "RuntimeError: no room to load a library")])
def test_collaborator_failure_surfaces_as_itself(module, exc, last):
    run = subprocess.run([sys.executable, "-c", _SCRIPT.format(exc=exc, module=module)], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode != 0
    assert run.stderr.strip().splitlines()[-1] == last, run.stderr
    assert "Encountered an error while initializing" not in run.stderr


_INTERRUPTED_IN_DUCKDB = """
import os, signal, sys

class Interrupt:
    # a Ctrl-C that arrives while DuckDB's extension module is being loaded
    def find_spec(self, name, path=None, target=None):
        if name == "_duckdb":
            os.kill(os.getpid(), signal.SIGINT)
        return None

sys.meta_path.insert(0, Interrupt())
try:
    import zorvata
except KeyboardInterrupt:
    print(" ".join(m for m in ("duckdb", "numpy", "pandas", "pyarrow") if m in sys.modules))
    print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)
"""


def test_ctrl_c_waits_for_the_extensions_to_load():
    # DuckDB's initialisation aborts the process when KeyboardInterrupt lands in it: the interrupt is held back
    # until the libraries are loaded, then raised, and Python's own handler is back in place
    run = subprocess.run([sys.executable, "-c", _INTERRUPTED_IN_DUCKDB], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:2] == ["duckdb numpy pandas pyarrow", "True"]
