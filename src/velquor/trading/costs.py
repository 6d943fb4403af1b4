"""The cost of trading a stock: commission, stamp duty, half the spread and square-root market impact.

One model serves three callers: the optimiser (``MeanVariance(transaction_cost_model=CostModel(...))``, through
:meth:`CostModel.get_penalty`), the backtest (``Backtest(cost=CostModel(...))``, through
:meth:`CostModel.fractions`) and the order list's estimate (:meth:`CostModel.estimate`). For a trade of value
``V`` (money, positive to buy, negative to sell) in a stock whose average daily traded value is ``A`` and
whose daily price change rate has standard deviation ``s``, the cost in money is::

    commission * |V| + stamp_duty * max(-V, 0) + spread / 2 * |V| + impact * s * |V| ** 1.5 / sqrt(A)

The last term is the square-root law of market impact: the price moves against the trade by ``impact * s *
sqrt(|V| / A)`` on average over the trade. ``A`` and ``s`` come from the ``window`` trading days that end the
day before the trade (:func:`velquor.trading.market.liquidity`).
"""

from __future__ import annotations

import copy
import math
import numbers

import numpy as np
import pandas as pd

from ..exception import InvalidArgument
from . import market

__all__ = ["CostModel"]

_PARTS = ("commission", "stamp_duty", "spread", "impact")


def _rate(value, name: str, hi: float = 1.0) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) \
            or not 0.0 <= value <= hi:
        raise InvalidArgument(f"CostModel: {name} must be a number in [0, {hi}], got {value!r}")
    return float(value)


class CostModel:
    """Trading costs of A-share stocks.

    Parameters
    ----------
    commission : rate on the traded value, both sides (default 0.00025, 2.5 bp).
    stamp_duty : rate on the sold value (default 0.0005, the 0.05% on sales).
    spread : bid-ask spread as a fraction of the price; a trade pays half of it (default 0.001).
    impact : the coefficient of the square-root market impact (default 1.0; 0 turns it off).
    window : trading days of the traded value and volatility the impact reads (default 20).
    capital : the portfolio's value in money. The optimiser's penalty and a backtest without a capital of
        its own need it for the impact (a cost in fractions of the portfolio grows with its size); without
        any, the impact is left out of those two. The estimate of an order list works in money and does not.
    current_holdings : weights held before the trade (a Series or mapping by id; none: all cash), for the
        optimiser's penalty; :meth:`with_holdings` gives a copy with other ones.
    aversion : multiplies the optimiser's penalty (default 1.0). The mean-variance objectives weigh annual
        expected returns; a cost paid once weighs the same as a year's return at 1.0.

    A stock without a traded value in the window (suspended throughout, just listed) is charged the impact
    of the least liquid stock of the same call; one without a volatility, the median volatility of the others.
    """

    def __init__(self, commission: float = 0.00025, stamp_duty: float = 0.0005, spread: float = 0.001,
                 impact: float = 1.0, window: int = 20, capital: float | None = None,
                 current_holdings=None, aversion: float = 1.0) -> None:
        self.commission = _rate(commission, "commission")
        self.stamp_duty = _rate(stamp_duty, "stamp_duty")
        self.spread = _rate(spread, "spread")
        self.impact = _rate(impact, "impact", hi=100.0)
        if isinstance(window, bool) or not isinstance(window, numbers.Integral) or window < 2:
            raise InvalidArgument(f"CostModel: window must be an integer >= 2, got {window!r}")
        self.window = int(window)
        if capital is not None:
            if isinstance(capital, bool) or not isinstance(capital, numbers.Real) or not math.isfinite(capital) \
                    or capital <= 0:
                raise InvalidArgument(f"CostModel: capital must be a positive number, got {capital!r}")
            capital = float(capital)
        self.capital = capital
        self.current_holdings = None if current_holdings is None else _holdings(current_holdings)
        self.aversion = _rate(aversion, "aversion", hi=1e6)

    def __repr__(self) -> str:
        held = None if self.current_holdings is None else f"<{len(self.current_holdings)} holdings>"
        return (f"CostModel(commission={self.commission}, stamp_duty={self.stamp_duty}, spread={self.spread}, "
                f"impact={self.impact}, window={self.window}, capital={self.capital}, current_holdings={held}, "
                f"aversion={self.aversion})")

    def with_holdings(self, current_holdings, capital: float | None = None) -> "CostModel":
        """A copy trading from ``current_holdings`` (and with ``capital`` when given)."""
        out = copy.copy(self)
        out.current_holdings = None if current_holdings is None else _holdings(current_holdings)
        if capital is not None:
            out.capital = CostModel(capital=capital).capital
        return out

    # ---------------------------------------------------------------------------------------------- money
    def money(self, trades: np.ndarray, volatility: np.ndarray, adv: np.ndarray) -> dict[str, np.ndarray]:
        """The cost of each trade in money, part by part (``commission``, ``stamp_duty``, ``spread``,
        ``impact``): ``trades`` in money (buys positive), ``volatility`` and ``adv`` per stock as
        :func:`~velquor.trading.market.liquidity` gives them."""
        v = np.asarray(trades, dtype=np.float64)
        size = np.abs(v)
        out = {"commission": self.commission * size, "stamp_duty": self.stamp_duty * np.maximum(-v, 0.0),
               "spread": 0.5 * self.spread * size}
        out["impact"] = self.impact * _filled_vol(volatility) * size ** 1.5 / np.sqrt(_filled_adv(adv)) \
            if self.impact else np.zeros_like(v)
        out["impact"] = np.nan_to_num(out["impact"], nan=0.0)
        return out

    def fractions(self, trades: np.ndarray, volatility: np.ndarray, adv: np.ndarray,
                  capital: float | None) -> np.ndarray:
        """The cost of each trade as a fraction of the portfolio: ``trades`` in fractions of a portfolio
        worth ``capital`` (None: the model's own; none at all: no impact)."""
        capital = self.capital if capital is None else capital
        if capital is None:
            parts = self.money(trades, volatility, adv)
            parts["impact"][:] = 0.0
            return sum(parts[p] for p in _PARTS)
        parts = self.money(np.asarray(trades, dtype=np.float64) * capital, volatility, adv)
        return sum(parts[p] for p in _PARTS) / capital

    def estimate(self, trades, date) -> pd.DataFrame:
        """The cost of trading ``trades`` (money by id, buys positive) on ``date``: a DataFrame by id with
        the columns ``commission``, ``stamp_duty``, ``spread``, ``impact`` and ``total``, in money."""
        trades = pd.Series(trades, dtype=np.float64)
        liq = market.liquidity(list(trades.index), date, self.window)
        parts = self.money(trades.to_numpy(), liq["volatility"].to_numpy(), liq["adv"].to_numpy())
        out = pd.DataFrame(parts, index=pd.Index(list(trades.index), dtype=object, name="order_book_id"))
        out["total"] = out[list(_PARTS)].sum(axis=1)
        return out

    # ---------------------------------------------------------------------------------------- optimiser
    def get_penalty(self, g, helper):
        """The cost of moving from ``current_holdings`` to the weights ``g`` of the request's pool, as a
        convex cvxpy expression in fractions of the portfolio, times ``aversion``: the hook of
        ``MeanVariance`` and ``ActiveMeanVariance`` (``transaction_cost_model=``).

        Holdings outside the pool are sold whatever the weights; their cost is a constant and left out."""
        import cvxpy as cp

        ids = list(helper.order_book_ids)
        held = np.zeros(len(ids)) if self.current_holdings is None else \
            self.current_holdings.reindex(ids, fill_value=0.0).to_numpy(dtype=np.float64)
        t = g - held
        linear = (self.commission + 0.5 * self.spread) * cp.norm1(t) + self.stamp_duty * cp.sum(cp.neg(t))
        expr = linear
        if self.impact and self.capital is not None:
            liq = market.liquidity(ids, helper.date, self.window)
            coef = self.impact * _filled_vol(liq["volatility"].to_numpy()) \
                * np.sqrt(self.capital / _filled_adv(liq["adv"].to_numpy()))
            coef = np.nan_to_num(coef, nan=0.0)
            if coef.any():
                expr = expr + coef @ cp.power(cp.abs(t), 1.5)
        return self.aversion * expr


def _holdings(value) -> pd.Series:
    try:
        s = pd.Series(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise InvalidArgument("CostModel: current_holdings must be weights by order_book_id") from None
    if not np.isfinite(s.to_numpy()).all() or (s < 0).any():
        raise InvalidArgument("CostModel: current_holdings must be finite and nonnegative")
    if s.index.has_duplicates:
        raise InvalidArgument("CostModel: current_holdings name an order_book_id more than once")
    s.index = pd.Index([str(i) for i in s.index], dtype=object)
    return s


def _filled_adv(adv) -> np.ndarray:
    a = np.asarray(adv, dtype=np.float64).copy()
    bad = ~(np.isfinite(a) & (a > 0))
    if bad.any():
        a[bad] = a[~bad].min() if (~bad).any() else np.nan
    return a


def _filled_vol(vol) -> np.ndarray:
    v = np.asarray(vol, dtype=np.float64).copy()
    bad = ~np.isfinite(v)
    if bad.any():
        v[bad] = np.median(v[~bad]) if (~bad).any() else 0.0
    return v
