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
