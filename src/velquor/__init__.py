"""velquor: long-only equity portfolio optimisation.

The entry point is :func:`velquor.optimize.portfolio_optimize`; objectives live in :mod:`velquor.objective`,
benchmarks in :mod:`velquor.benchmark`, the factor risk model behind :class:`velquor.helper.OptimizeHelper`.
"""

__all__ = ["__version__"]

__version__ = "0.1.0"
