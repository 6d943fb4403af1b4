"""What trading reads from the market data: the exchange's flags, ST periods, traded values and volatility.

Every reader says as of which data it answers, so that the optimiser never sees the day it trades on:

- ``request_flags(ids, date)``: the rules of a request for ``date``: suspended *on* ``date`` (suspensions
  are announced before the open), closed at the upper / lower price limit on the *previous* trading day, and
  under special treatment on ``date`` (announced in advance).
- ``day_flags(ids, days)``: the flags of each day itself, for the simulator, which knows the day it fills on.
- ``liquidity(ids, date, window)``: average daily traded value and daily volatility over the ``window``
  trading days that end on the previous trading day.
- ``before_dates(ids, dates, window)``: the same for many dates in one read, with the last close before each
  date, the price a rebalance trades lots at.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import zorvata

__all__ = ["request_flags", "day_flags", "liquidity", "before_dates", "FLAGS"]

#: The per-day flags of the market data, in the order of ``day_flags``' arrays.
FLAGS = ("suspended", "limit_up", "limit_down")


def _ids(ids) -> list[str]:
    return [ids] if isinstance(ids, str) else [str(i) for i in ids]


def day_flags(ids, days) -> dict[str, np.ndarray]:
    """The flags of ``days`` (trading dates, ascending) for ``ids``: one bool array (days x ids) per name
    of :data:`FLAGS`; a stock and day the store has no row for has no flag set."""
    ids = _ids(ids)
    index = pd.DatetimeIndex(pd.to_datetime(list(days))).astype("datetime64[ns]")
    out = {f: np.zeros((len(index), len(ids)), dtype=bool) for f in FLAGS}
    if not len(index) or not ids:
        return out
    got = zorvata.get_daily_flags(index[0], index[-1], list(FLAGS), ids)
    if got.empty:
        return out
    rows = index.get_indexer(pd.DatetimeIndex(got["date"]))
    cols = pd.Index(ids).get_indexer(got["order_book_id"])
    keep = (rows >= 0) & (cols >= 0)
    for f in FLAGS:
        out[f][rows[keep], cols[keep]] = got[f].to_numpy(dtype=bool)[keep]
    return out


def request_flags(ids, date) -> pd.DataFrame:
    """Per id (the index, in order): ``suspended`` on ``date``, ``limit_up`` / ``limit_down`` at the
    previous trading day's close, ``st`` on ``date``."""
    ids = _ids(ids)
    day = zorvata.to_date(date)
    prev = zorvata.get_previous_trading_date(day)
    today = day_flags(ids, [day])
    before = day_flags(ids, [prev])
    st = zorvata.get_st_status(ids, day, day) if ids else pd.DataFrame(columns=ids)
    st_now = st.to_numpy(dtype=bool)[0] if len(st) else np.zeros(len(ids), dtype=bool)
    return pd.DataFrame({"suspended": today["suspended"][0], "limit_up": before["limit_up"][0],
                         "limit_down": before["limit_down"][0], "st": st_now},
                        index=pd.Index(ids, dtype=object, name="order_book_id"))


def _panel(frame: pd.DataFrame, field: str, days: pd.DatetimeIndex, ids: list[str]) -> np.ndarray:
    """A long [date, order_book_id, field] frame as an array of days x ids (NaN where it has no row)."""
    out = np.full((len(days), len(ids)), np.nan)
    if len(frame):
        rows = days.get_indexer(pd.DatetimeIndex(frame["date"]))
        cols = pd.Index(ids).get_indexer(frame["order_book_id"])
        keep = (rows >= 0) & (cols >= 0)
        out[rows[keep], cols[keep]] = frame[field].to_numpy(dtype=np.float64)[keep]
    return out


def _window_stats(x: np.ndarray, ends: np.ndarray, window: int) -> tuple[np.ndarray, np.ndarray]:
    """Mean and sample standard deviation of the non-NaN values of each column over the ``window`` rows
    ending at each of ``ends``: NaN below one value (the mean) or two (the deviation)."""
    mean = np.full((len(ends), x.shape[1]), np.nan)
    std = mean.copy()
    for k, e in enumerate(ends):
        part = x[max(e - window + 1, 0):e + 1]
        seen = ~np.isnan(part)
        n = seen.sum(axis=0)
        total = np.where(seen, part, 0.0).sum(axis=0)
        m = np.divide(total, n, out=np.full(len(n), np.nan), where=n > 0)
        squares = np.where(seen, (part - m) ** 2, 0.0).sum(axis=0)
        mean[k] = m
        std[k] = np.sqrt(np.divide(squares, n - 1, out=np.full(len(n), np.nan), where=n > 1))
    return mean, std


def _days(start, end) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(pd.to_datetime(zorvata.get_trading_dates(start, end))).astype("datetime64[ns]")


def before_dates(ids, dates, window: int = 20, closes: bool = True, liquidity: bool = True) -> dict:
    """What trades on each of ``dates`` read from the days before it, with one read of the bars for all of
    them: arrays of ``dates`` x ``ids`` named ``close`` (the last unadjusted close before the date: on the
    previous trading day, or for a stock suspended then its last close since ``window`` trading days before
    the first date), ``adv`` and ``volatility`` (as :func:`liquidity`)."""
    ids = _ids(ids)
    ends = [zorvata.get_previous_trading_date(zorvata.to_date(d)) for d in dates]
    if not ids or not ends:
        empty = np.full((len(ends), len(ids)), np.nan)
        return {"close": empty, "adv": empty.copy(), "volatility": empty.copy()}
    start = zorvata.trading_date_offset(min(ends), -(int(window) - 1))
    days = _days(start, max(ends))
    at = days.get_indexer(pd.DatetimeIndex(pd.to_datetime(ends)))
    fields = (["close"] if closes else []) + (["value"] if liquidity else [])
    bars = zorvata.get_daily_bars(start, max(ends), fields, ids) if fields else None
    out = {}
    if closes:
        out["close"] = pd.DataFrame(_panel(bars, "close", days, ids)).ffill().to_numpy()[at]
    if liquidity:
        value = _panel(bars, "value", days, ids)
        value[~(value > 0)] = np.nan  # a day without a trade is not a day of zero liquidity
        rates = zorvata.get_price_change_rate(ids, start, max(ends)).reindex(
            index=days, columns=pd.Index(ids, dtype=object)).to_numpy(dtype=np.float64)
        out["adv"] = _window_stats(value, at, int(window))[0]
        out["volatility"] = _window_stats(rates, at, int(window))[1]
    return out


def liquidity(ids, date, window: int = 20) -> pd.DataFrame:
    """Per id (the index, in order): ``adv``, the mean traded value (money) over the days it traded among
    the ``window`` trading days ending on the trading day before ``date``, and ``volatility``, the standard
    deviation of its daily price change rate over the same days. NaN where the window has no trade (two for
    the volatility)."""
    ids = _ids(ids)
    got = before_dates(ids, [date], window, closes=False)
    return pd.DataFrame({"adv": got["adv"][0], "volatility": got["volatility"][0]},
                        index=pd.Index(ids, dtype=object, name="order_book_id"))
