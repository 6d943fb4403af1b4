"""What the estimated risk model needs from the market data, checked before an estimation starts.

A store that lacks something the estimation cannot do without (market caps, enough history, enough stocks
for the factors) gets a `RiskModelDataError` that names the missing piece and what would fix it, instead of a
numerical failure deep in the pipeline. A style whose inputs are missing altogether (turnover, fundamentals)
would come out zero for every stock: that is estimable, but worth an `OptimizerWarning`.

The minimums, for a model as of trading day p:

- ``stock_daily`` with a positive ``market_cap`` (the regression weights and the size style);
- price data for ``FIRST_ASOF_INDEX + 1`` trading days up to p (a year of exposures and a quarter of factor
  returns);
- on some day of the estimation window, more stocks with a price, a market cap on the day before and
  ``MIN_LISTED_DAYS`` trading days since listing than the model has factors (country + industries + styles).
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
from zorvata import DataError

from ..exception import InvalidArgument, OptimizerWarning
from .params import FIRST_ASOF_INDEX, MIN_LISTED_DAYS, STYLE_FACTORS, factor_count

__all__ = ["RiskModelDataError", "check_requirements", "STYLE_INPUTS"]

#: The columns each style is computed from (beyond returns and market caps, which every style needs).
STYLE_INPUTS = {
    "liquidity": [("stock_daily", "turnover")],
    "book_to_price": [("fundamentals", "book_value")],
    "earnings_yield": [("fundamentals", "earnings")],
    "growth": [("fundamentals", "sales")],
    "leverage": [("fundamentals", "total_debt"), ("fundamentals", "book_value")],
}
#: Calendar days that stand in for the trading days a stock must have been listed to enter the regression.
_LISTED_CALENDAR_DAYS = 91


class RiskModelDataError(InvalidArgument, DataError):
    """The market data lacks something the estimated risk model needs; the message names it.

    Both a velquor `InvalidArgument` (the request cannot be served) and a zorvata `DataError` (the store
    cannot answer it).
    """


def _day(d) -> str:
    return pd.Timestamp(d).date().isoformat()


def check_requirements(con, uni, asof_lo: int, asof_hi: int, start: int) -> None:
    """Raise `RiskModelDataError` when estimates as of calendar positions ``asof_lo .. asof_hi`` (from a
    factor history starting at position ``start``) cannot be made; warn about styles that would be all zero."""
    k = factor_count(uni)
    lo_day, hi_day = uni.dates[max(start, 0)], uni.dates[asof_hi]
    if len(uni.ids) == 0:
        raise RiskModelDataError(
            "the risk model needs common stocks (type 'CS') in the instruments table; the "
            "market data has none"
        )
    if not _exists(con, "stock_daily", "market_cap > 0 AND date <= ?", [pd.Timestamp(hi_day).date()]):
        raise RiskModelDataError(
            "the risk model needs market caps: the stock_daily table has no positive market_cap up to "
            f"{_day(hi_day)}. Import a stock_daily file (date, order_book_id, market_cap, float_market_cap, "
            "turnover), or use your own risk model (risk_model='custom')."
        )
    (first,) = con.execute("SELECT min(date) FROM price_change_rate").fetchone()
    n_days = 0 if first is None else asof_lo - int(np.searchsorted(uni.dates, np.datetime64(first, "D"))) + 1
    if n_days < FIRST_ASOF_INDEX + 1:
        raise RiskModelDataError(
            f"the risk model needs {FIRST_ASOF_INDEX + 1} trading days of prices up to the as-of date "
            f"{_day(uni.dates[asof_lo])}; the market data has {max(n_days, 0)}"
        )
    # stocks that can enter the regression: a price that day, a cap the trading day before, listed for about
    # MIN_LISTED_DAYS trading days. The last as-of day nearly always has enough; the whole window is counted
    # only when it does not.
    best = _regression_stocks(con, uni.dates[max(asof_hi - 1, 0)], hi_day)
    if best[0] <= k:
        best = _regression_stocks(con, lo_day, hi_day)
    if best[0] <= k:
        where = f" (the most: {best[0]} on {_day(best[1])})" if best[1] is not None else ""
        raise RiskModelDataError(
            f"the risk model estimates {k} factors (country, {len(uni.industry_names)} industries, "
            f"{len(STYLE_FACTORS)} styles) by a regression across stocks, and needs more than {k} stocks "
            f"with a price, a market cap on the day before and {MIN_LISTED_DAYS} trading days since listing "
            "on some day "
            f"between {_day(lo_day)} and {_day(hi_day)}; the market data has no such day{where}. Import more "
            "stocks, or use your own risk model (risk_model='custom')."
        )
    _warn_empty_styles(con, hi_day)


def _exists(con, table: str, where: str, params) -> bool:
    return con.execute(f"SELECT 1 FROM {table} WHERE {where} LIMIT 1", params).fetchone() is not None


def _regression_stocks(con, lo_day, hi_day) -> tuple:
    """(the largest number of stocks that can enter a regression on a day of lo_day .. hi_day, that day)."""
    return con.execute(
        "WITH cal AS (SELECT date, lag(date) OVER (ORDER BY date) AS prev FROM trading_dates "
        "             WHERE date BETWEEN ? AND ?) "
        "SELECT coalesce(max(n), 0), arg_max(date, n) FROM (SELECT p.date, count(*) AS n "
        "FROM price_change_rate p JOIN cal c ON c.date = p.date "
        "JOIN stock_daily s ON s.date = c.prev AND s.order_book_id = p.order_book_id AND s.market_cap > 0 "
        "JOIN instruments i ON i.order_book_id = p.order_book_id AND i.type = 'CS' "
        f"AND i.listed_date <= p.date - INTERVAL {_LISTED_CALENDAR_DAYS} DAY "
        "WHERE p.date BETWEEN ? AND ? GROUP BY p.date)",
        [pd.Timestamp(lo_day).date(), pd.Timestamp(hi_day).date()] * 2,
    ).fetchone()


def _warn_empty_styles(con, hi_day) -> None:
    d = pd.Timestamp(hi_day).date()
    have = {("stock_daily", "turnover"): _exists(con, "stock_daily", "turnover > 0 AND date <= ?", [d])}
    for c in ("book_value", "earnings", "sales", "total_debt"):
        have[("fundamentals", c)] = _exists(
            con, "fundamentals", f"{c} IS NOT NULL AND announce_date <= ?", [d]
        )
    empty = [s for s, needs in STYLE_INPUTS.items() if any(not have[x] for x in needs)]
    if empty:
        lacking = sorted({f"{t}.{c}" for s in empty for t, c in STYLE_INPUTS[s] if not have[(t, c)]})
        warnings.warn(
            f"the risk model's style(s) {', '.join(empty)} are zero for every stock: the market data has "
            f"no {', '.join(lacking)} up to {d.isoformat()}",
            OptimizerWarning,
            stacklevel=2,
        )
