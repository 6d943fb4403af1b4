"""The daily bookkeeping of a backtest: trades on rebalance dates, fills, lots, costs, drift, suspensions and
delistings.

Conventions (the user guide repeats them): a rebalance on day D trades at D's opening weights, which are the
previous close's (weights for D use data up to that close), pays its cost out of the NAV and earns D's return
from then on. Between rebalances holdings drift with the daily returns; a suspended day (no price change) is a
zero return; a stock's weight turns to cash at its last price once it is delisted.

With the exchange's rules, D's own flags decide what fills: a suspended stock is not traded, a buy of a stock
that closed at its upper limit and a sale of one at its lower limit do not fill. What did not fill stays as it
was; buys that the cash of the filled sales cannot pay for are cut pro rata. With a capital, trades are whole
board lots at the previous close and costs are paid out of the cash; without one, the weights are traded as
they are and the cost is taken off the NAV pro rata.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ..trading.orders import board_lots

__all__ = ["Simulator", "DayRules", "Fill", "UNFILLED_REASONS", "board_lots"]

#: Trades smaller than this (a weight) are not reported as unfilled.
NOISE = 1e-6
#: Why a trade did not fill, in the order the rules are tried.
UNFILLED_REASONS = ("suspended", "limit_up", "limit_down", "no_price")


@dataclass
class DayRules:
    """What the simulator knows of one rebalance day: its flags, prices and the cost model's inputs."""

    suspended: np.ndarray | None = None  # bool per id
    limit_up: np.ndarray | None = None
    limit_down: np.ndarray | None = None
    price: np.ndarray | None = None  # previous close per id (lots); NaN: no price
    volatility: np.ndarray | None = None  # for a cost model
    adv: np.ndarray | None = None


@dataclass
class Fill:
    """How one rebalance went: the weights held after it, turnover, cost (fraction of NAV), cash left, and
    the trades that did not fill (positions, reasons, traded weight wanted)."""

    weights: np.ndarray
    turnover: float
    cost: float
    cash: float
    unfilled: list[tuple[int, str, float]] = field(default_factory=list)


class Simulator:
    """Walks a portfolio day by day over ``returns`` (days x ids, NaN where a stock did not trade).

    ``cost`` is a rate on the traded weight or a :class:`velquor.trading.CostModel`; ``capital`` (money)
    makes the trades whole lots and is the portfolio's value the cost model's impact reads; ``lots`` the
    (smallest buy, step) in shares per id."""

    def __init__(self, returns: np.ndarray, delisted_from: np.ndarray, cost, capital: float | None = None,
                 lots: tuple[np.ndarray, np.ndarray] | None = None) -> None:
        self._ret = np.nan_to_num(returns, nan=0.0)
        self._gone = delisted_from  # per id: first day index on which it is no longer listed
        self._cost = cost
        self._capital = capital
        self._lots = lots
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

    def _costs(self, trade: np.ndarray, rules: DayRules) -> np.ndarray:
        if isinstance(self._cost, float):
            return self._cost * np.abs(trade)
        capital = None if self._capital is None else self._capital * self.value
        n = len(trade)
        vol = rules.volatility if rules.volatility is not None else np.full(n, np.nan)
        adv = rules.adv if rules.adv is not None else np.full(n, np.nan)
        return self._cost.fractions(trade, vol, adv, capital)

    def trade(self, target: np.ndarray | None, rules: DayRules | None = None) -> Fill:
        """Rebalances at the start of the next day towards ``target`` (None keeps the drifted holdings)."""
        h = self.drifted()
        if target is None:
            return Fill(h, 0.0, 0.0, 1.0 - float(h.sum()))
        rules = rules or DayRules()
        w = np.asarray(target, dtype=np.float64).copy()
        d = w - h
        blocked = np.zeros(len(w), dtype=np.int64) - 1  # reason number per id, -1: fills
        checks = [(rules.suspended, d != 0), (rules.limit_up, d > 0), (rules.limit_down, d < 0)]
        if self._capital is not None and rules.price is not None:
            checks.append((~(np.isfinite(rules.price) & (rules.price > 0)), d != 0))
        for k, (flag, side) in enumerate(checks):
            if flag is not None:
                blocked[(blocked < 0) & flag & side] = k
        stuck = np.flatnonzero(blocked >= 0)
        # Solver noise around a held weight is no order; it stays unfilled all the same.
        unfilled = [(int(j), UNFILLED_REASONS[blocked[j]], float(d[j])) for j in stuck if abs(d[j]) > NOISE]
        w[stuck] = h[stuck]
        if self._capital is not None:
            w = self._in_lots(h, w, rules.price)
        # The buys are paid by the cash and the filled sales (and, with a capital, the cost).
        cost = float(self._costs(w - h, rules).sum())
        room = 1.0 - (cost if self._capital is not None else 0.0)
        if float(w.sum()) > room + 1e-12:
            buys = np.maximum(w - h, 0.0)
            total = float(buys.sum())
            keep = max(0.0, (total - (float(w.sum()) - room)) / total) if total > 0 else 0.0
            w = np.minimum(w, h) + buys * keep
            if self._capital is not None:
                w = self._in_lots(h, w, rules.price)
            cost = float(self._costs(w - h, rules).sum())
        traded = float(np.abs(w - h).sum())
        turnover = 0.5 * (traded + abs(float(h.sum()) - float(w.sum())))
        self.value *= 1.0 - cost
        # Without a capital the cost comes off every position pro rata; with one, out of the cash.
        self.h = w / (1.0 - cost) if self._capital is not None and cost < 1.0 else w.copy()
        return Fill(self.h.copy(), turnover, cost, 1.0 - float(self.h.sum()), unfilled)

    def _in_lots(self, h: np.ndarray, w: np.ndarray, price: np.ndarray | None) -> np.ndarray:
        """``w`` with every trade from ``h`` a whole number of lots: buys rounded down, sales rounded down in
        size unless they close the position. A target below half the smallest lot closes the position (the
        optimiser's residue on a stock it drops would otherwise leave an odd lot behind for good)."""
        if price is None:
            return w
        money = self._capital * self.value
        first, step = self._lots if self._lots is not None else board_lots([""] * len(w))
        ok = np.isfinite(price) & (price > 0)
        p = np.where(ok, price, 1.0)
        shares = (w - h) * money / p
        closing = (h > 0) & (shares < 0) & (w * money / p < 0.5 * first)
        buy = shares > 0
        # A buy: at least the first lot, then steps.
        whole = np.where(buy, np.where(shares >= first, first + np.floor((shares - first) / step + 1e-9) * step,
                                       0.0), 0.0)
        sell = (shares < 0) & ~closing
        whole = np.where(sell, -np.floor(-shares / step + 1e-9) * step, whole)
        out = np.where(closing, 0.0, h + whole * p / money)
        return np.where(ok, out, w)

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
