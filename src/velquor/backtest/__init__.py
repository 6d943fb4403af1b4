"""Backtests: a portfolio rebalanced with ``portfolio_optimize`` over dates, run serially, on a local process
pool or on Dask, with costs, drift, checkpoints and results saved to Parquet. See docs/backtest.md."""

from .backtest import Backtest, run_many
from .engines import close_pools
from .result import BacktestResult

__all__ = ["Backtest", "BacktestResult", "close_pools", "run_many"]
