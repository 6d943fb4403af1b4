"""velquor: long-only equity portfolio optimisation.

The entry point is :func:`velquor.optimize.portfolio_optimize`; objectives live in :mod:`velquor.objective`,
benchmarks in :mod:`velquor.benchmark`, the factor risk model behind :class:`velquor.helper.OptimizeHelper`.
"""

from . import _preload

_preload.install()  # the extensions' Python collaborators load in Python first (see velquor._preload)


def __getattr__(name: str) -> str:
    # the version is read on first use (from the package metadata), so `import velquor` stays cheap
    if name == "__version__":
        from zorvata.infra import package_version

        return package_version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
