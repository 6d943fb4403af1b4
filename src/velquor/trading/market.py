"""What trading reads from the market data: the exchange's flags, ST periods, traded values and volatility.

Every reader says as of which data it answers, so that the optimiser never sees the day it trades on:

- ``request_flags(ids, date)``: the rules of a request for ``date``: suspended *on* ``date`` (suspensions
  are announced before the open), closed at the upper / lower price limit on the *previous* trading day, and
  under special treatment on ``date`` (announced in advance).
- ``day_flags(ids, days)``: the flags of each day itself, for the simulator, which knows the day it fills on.
- ``liquidity(ids, date, window)``: average daily traded value and daily volatility over the ``window``
  trading days that end on the previous trading day.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import zorvata

__all__ = ["request_flags", "day_flags", "liquidity", "FLAGS"]

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


def liquidity(ids, date, window: int = 20) -> pd.DataFrame:
    """Per id (the index, in order): ``adv``, the mean traded value (money) over the days it traded among
    the ``window`` trading days ending on the trading day before ``date``, and ``volatility``, the standard
    deviation of its daily price change rate over the same days. NaN where the window has no trade (two for
    the volatility)."""
    ids = _ids(ids)
    index = pd.Index(ids, dtype=object, name="order_book_id")
    if not ids:
        return pd.DataFrame({"adv": [], "volatility": []}, index=index, dtype=np.float64)
    end = zorvata.get_previous_trading_date(zorvata.to_date(date))
    start = zorvata.trading_date_offset(end, -(int(window) - 1))
    bars = zorvata.get_daily_bars(start, end, ["value"], ids)
    traded = bars[bars["value"] > 0]
    adv = traded.groupby("order_book_id")["value"].mean().reindex(index)
    rates = zorvata.get_price_change_rate(ids, start, end).reindex(columns=index)
    vol = rates.std(ddof=1)
    return pd.DataFrame({"adv": adv.to_numpy(dtype=np.float64), "volatility": vol.to_numpy(dtype=np.float64)},
                        index=index)
