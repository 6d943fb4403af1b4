"""Every public module says what it exports; the extension modules export their own names, not their imports."""

from __future__ import annotations

import importlib
import pkgutil

import pytest

import velquor
import zorvata


def _public_modules() -> list[str]:
    names = [zorvata.__name__]  # velquor's top holds one lazy attribute, its version, and no __all__
    for package in (velquor, zorvata):
        for info in pkgutil.walk_packages(package.__path__, package.__name__ + "."):
            if not any(part.startswith("_") for part in info.name.split(".")):
                names.append(info.name)
    return names


@pytest.mark.parametrize("name", _public_modules())
def test_module_declares_all(name):
    module = importlib.import_module(name)
    assert isinstance(getattr(module, "__all__", None), (list, tuple)), f"{name} has no __all__"
    missing = [n for n in module.__all__ if not hasattr(module, n)]
    assert not missing, f"{name}.__all__ names what it lacks: {missing}"


@pytest.mark.parametrize("name", ["velquor.optimize", "velquor.objective", "velquor.benchmark",
                                  "velquor.constraint"])
def test_star_import_of_an_extension_module_takes_no_imports(name):
    ns: dict = {}
    exec(f"from {name} import *", ns)
    assert not {"cp", "np", "pd", "zorvata", "warnings", "InvalidArgument"} & set(ns)
