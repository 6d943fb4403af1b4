"""tools/check_import_cycles.py, the CI check that keeps the packages free of import circles."""

from __future__ import annotations

import importlib.util
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def checker():
    loader_spec = importlib.util.spec_from_file_location("check_import_cycles", ROOT / "tools" / "check_import_cycles.py")
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def _tree(tmp_path, files: dict[str, str]) -> Path:
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return tmp_path


BASE = {
    "pkg/__init__.py": "from . import a, b\n",  # a package importing its submodules is no circle
    "pkg/a.py": "from .b import helper\n",
    "pkg/b.py": "import os\n\ndef helper():\n    return os.sep\n",
    "pkg/sub/__init__.py": "",
    "pkg/sub/c.py": "from ..a import helper\nfrom pkg import b\n",
    "pkg/ext.pyi": "def f() -> int: ...\n",
    "other/__init__.py": "import pkg.sub.c\n",
}


class TestImportCircles:
    def test_the_tree_has_none(self, checker, capsys):
        assert checker.main(["x", str(ROOT / "src")]) == 0

    def test_a_tree_without_circles_passes(self, checker, tmp_path):
        assert checker.main(["x", str(_tree(tmp_path, BASE))]) == 0

    @pytest.mark.parametrize("planted, members", [
        # deferred imports inside functions count
        ({"pkg/b.py": "def helper():\n    from .sub import c\n    return c\n"}, {"pkg.a", "pkg.b", "pkg.sub.c"}),
        # `from pkg import mod` is an import of the module pkg.mod
        ({"pkg/b.py": "from pkg.sub import c\n\ndef helper():\n    return c\n"}, {"pkg.a", "pkg.b", "pkg.sub.c"}),
        # across packages, through an extension module's stub
        ({"pkg/ext.pyi": "import other\n", "other/__init__.py": "from pkg import ext\n"}, {"other", "pkg.ext"}),
    ])
    def test_a_planted_circle_fails_and_is_named(self, checker, tmp_path, capsys, planted, members):
        root = _tree(tmp_path, {**BASE, **planted})
        assert checker.main(["x", str(root)]) == 1
        err = capsys.readouterr().err
        assert err.startswith("import circle among " + ", ".join(sorted(members)) + ":")

    def test_imports_for_type_checking_only_do_not_count(self, checker, tmp_path):
        planted = {"pkg/b.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .sub import c\n"
                               "else:\n    import os\n\ndef helper():\n    return 1\n"}
        assert checker.main(["x", str(_tree(tmp_path, {**BASE, **planted}))]) == 0
