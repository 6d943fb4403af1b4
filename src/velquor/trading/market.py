"""What trading reads from the market data: the exchange's flags, ST periods, traded values and volatility.

Every reader says as of which data it answers, so that the optimiser never sees the day it trades on:

- ``request_flags(ids, date)``: the rules of a request for ``date``: suspended *on* ``date`` (suspensions
  are announced before the open), closed at the upper / lower price limit on the *previous* trading day, and
  under special treatment on ``date`` (announced in advance).
- ``day_flags(ids, days)``: the flags of each day itself, for the simulator, which knows the day it fills on.
- ``liquidity(ids, date, window)``: average daily traded value and daily volatility over the ``window``
  trading days that end on the previous trading day (``liquidity_panel`` for many dates in one read).
- ``last_closes(ids, dates)``: the last close before each date, the price a rebalance trades lots at.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import zorvata

__all__ = ["request_flags", "day_flags", "liquidity", "liquidity_panel", "last_closes", "FLAGS"]

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


def _panel(frame: pd.DataFrame, field: str, days: pd.DatetimeIndex, ids: list[str]) -> pd.DataFrame:
    """A long [date, order_book_id, field] frame as days x ids (NaN where it has no row)."""
    wide = frame.pivot(index="date", columns="order_book_id", values=field) if len(frame) else pd.DataFrame()
    return wide.reindex(index=days, columns=pd.Index(ids, dtype=object)).astype(np.float64)


def _days(start, end) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(pd.to_datetime(zorvata.get_trading_dates(start, end))).astype("datetime64[ns]")


def liquidity_panel(ids, dates, window: int = 20) -> tuple[np.ndarray, np.ndarray]:
    """:func:`liquidity` for several dates at once, with one read of the market data: (adv, volatility), each
    an array of ``dates`` x ``ids``."""
    ids = _ids(ids)
    ends = [zorvata.get_previous_trading_date(zorvata.to_date(d)) for d in dates]
    if not ids or not ends:
        return np.full((len(ends), len(ids)), np.nan), np.full((len(ends), len(ids)), np.nan)
    start = zorvata.trading_date_offset(min(ends), -(int(window) - 1))
    days = _days(start, max(ends))
    value = _panel(zorvata.get_daily_bars(start, max(ends), ["value"], ids), "value", days, ids)
    value = value.where(value > 0)  # a day without a trade is not a day of zero liquidity
    rates = zorvata.get_price_change_rate(ids, start, max(ends)).reindex(index=days, columns=value.columns)
    at = days.get_indexer(pd.DatetimeIndex(pd.to_datetime(ends)))
    adv = value.rolling(int(window), min_periods=1).mean().to_numpy()[at]
    vol = rates.astype(np.float64).rolling(int(window), min_periods=2).std(ddof=1).to_numpy()[at]
    return adv, vol


def liquidity(ids, date, window: int = 20) -> pd.DataFrame:
    """Per id (the index, in order): ``adv``, the mean traded value (money) over the days it traded among
    the ``window`` trading days ending on the trading day before ``date``, and ``volatility``, the standard
    deviation of its daily price change rate over the same days. NaN where the window has no trade (two for
    the volatility)."""
    ids = _ids(ids)
    adv, vol = liquidity_panel(ids, [date], window)
    return pd.DataFrame({"adv": adv[0], "volatility": vol[0]}, index=pd.Index(ids, dtype=object, name="order_book_id"))


def last_closes(ids, dates, lookback: int = 250) -> np.ndarray:
    """The last unadjusted close of each id before each of ``dates`` (on the previous trading day, or the
    last day it traded within ``lookback`` trading days before that): an array of ``dates`` x ``ids``, NaN
    where there is none."""
    ids = _ids(ids)
    ends = [zorvata.get_previous_trading_date(zorvata.to_date(d)) for d in dates]
    if not ids or not ends:
        return np.full((len(ends), len(ids)), np.nan)
    start = zorvata.trading_date_offset(min(ends), -int(lookback))
    days = _days(start, max(ends))
    close = _panel(zorvata.get_daily_bars(start, max(ends), ["close"], ids), "close", days, ids)
    filled = close.ffill(limit=int(lookback)).to_numpy()
    return filled[days.get_indexer(pd.DatetimeIndex(pd.to_datetime(ends)))]
