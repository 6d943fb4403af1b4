"""Exceptions and warning categories raised by velquor."""

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning", "BacktestFailed"]


class InvalidArgument(Exception):
    """An argument was rejected. Raised with one argument, the message text.

    Deliberately derives from neither ``KeyError`` nor ``TypeError``: bound parsing tells those apart from
    its own rejections.
    """


class OptimizationFailed(Exception):
    """The solver did not reach an optimal solution. The argument is "failed", the solver status or the
    value the solve returned."""


class BacktestFailed(OptimizationFailed):
    """Every rebalance date of a backtest run failed: there is no result to show. The argument says how
    many and why the first failed."""


class OptimizerWarning(UserWarning):
    """Dropped input, degenerate data or solver trouble."""
