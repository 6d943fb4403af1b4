"""The daily bookkeeping of a backtest: trades on rebalance dates, costs, drift, suspensions and delistings.

Conventions (the user guide repeats them): a rebalance on day D trades at D's opening weights, which are the
previous close's (weights for D use data up to that close), pays ``cost`` times the traded weight out of the
NAV and earns D's return from then on. Between rebalances holdings drift with the daily returns; a suspended
day (no price change) is a zero return; a stock's weight turns to cash at its last price once it is delisted.
"""

from __future__ import annotations

import numpy as np

__all__ = ["Simulator"]


class Simulator:
    """Walks a portfolio day by day over ``returns`` (days x ids, NaN where a stock did not trade)."""

    def __init__(self, returns: np.ndarray, delisted_from: np.ndarray, cost: float) -> None:
        self._ret = np.nan_to_num(returns, nan=0.0)
        self._gone = delisted_from  # per id: first day index on which it is no longer listed
        self._cost = cost
        n_days, n_ids = returns.shape
        self.day = 0  # next day to apply
        self.h = np.zeros(n_ids)  # weights at the last close (NaV fractions; the rest is cash)
        self.value = 1.0
        self.nav = np.full(n_days, np.nan)
        self.holdings = np.zeros((n_days, n_ids))

    def _delist(self) -> None:
        gone = self._gone <= self.day
        if gone.any():
            self.h[gone] = 0.0

    def drifted(self) -> np.ndarray:
        """Weights before the trades of the next day (delisted stocks already cash)."""
        self._delist()
        return self.h.copy()

    def trade(self, target: np.ndarray | None) -> tuple[np.ndarray, float, float]:
        """Rebalances at the start of the next day to ``target`` (None keeps the drifted holdings).

        Returns the weights held after the trade, the one-way turnover and the cost as a fraction of NAV.
        """
        h = self.drifted()
        w = h if target is None else np.asarray(target, dtype=np.float64)
        traded = float(np.abs(w - h).sum())
        turnover = 0.5 * (traded + abs(float(h.sum()) - float(w.sum())))
        cost = self._cost * traded
        self.value *= 1.0 - cost
        self.h = w.copy()
        return w, turnover, cost

    def step(self) -> None:
        """Applies the next day's returns."""
        self._delist()
        r = self._ret[self.day]
        grown = self.h * (1.0 + r)
        total = 1.0 + float(self.h @ r)
        self.value *= total
        self.h = grown / total if total > 0 else np.zeros_like(grown)
        self.nav[self.day] = self.value
        self.holdings[self.day] = self.h
        self.day += 1

    def run_to(self, day: int) -> None:
        """Applies the returns of every day before ``day``."""
        while self.day < day:
            self.step()
