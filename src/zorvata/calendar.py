"""Dates: coercion of date-like values and the store's trading calendar."""

from __future__ import annotations

import datetime as _dt
import functools
import operator

import numpy as np

from . import _store
from ._errors import DataError, DateOutOfRange

__all__ = ["to_date", "get_trading_dates", "trading_date_offset", "get_previous_trading_date",
           "get_next_trading_date", "is_trading_date", "data_end"]


@functools.lru_cache(maxsize=4096)
def _parse(text: str) -> _dt.date:
    from dateutil.parser import parse

    try:
        return parse(text).date()
    except (ValueError, OverflowError) as e:
        raise DataError(f"cannot read {text!r} as a date") from e


def to_date(value) -> _dt.date:
    """A `datetime.date` from a date, a datetime (or pandas Timestamp), a numpy datetime64 or a date text."""
    if isinstance(value, _dt.datetime):
        if value != value:  # pandas NaT is a datetime subclass and unequal to itself
            raise DataError("NaT is not a date")
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, str):
        return _parse(value)
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise DataError("NaT is not a date")
        return value.astype("datetime64[D]").item()
    raise DataError(f"expected a date, a datetime or a date text, got {type(value).__name__}: {value!r}")


def _d64(value) -> np.datetime64:
    return np.datetime64(to_date(value), "D")


class _Calendar:
    __slots__ = ("dates", "data_end")

    def __init__(self, dates: np.ndarray, data_end: np.datetime64):
        self.dates = dates
        self.data_end = data_end


def _load(con) -> _Calendar:
    dates = con.execute("SELECT date FROM trading_dates ORDER BY date").fetchnumpy()["date"]
    dates = np.asarray(dates, dtype="datetime64[D]")
    row = con.execute("SELECT value FROM meta WHERE key = 'data_end'").fetchone()
    if row is not None:
        end = np.datetime64(row[0], "D")
    else:
        row = con.execute("SELECT max(date) FROM price_change_rate").fetchone()
        has = row is not None and row[0] is not None
        end = np.datetime64(row[0], "D") if has else (dates[-1] if len(dates) else None)
    if not len(dates):
        raise DataError("the market database has no trading dates")
    return _Calendar(dates, end)


def calendar() -> _Calendar:
    """The trading calendar of the configured store (cached per process and file version)."""
    return _store.cached("calendar", _load)


def data_end() -> _dt.date:
    """The last trading date with price data in the store."""
    return calendar().data_end.item()


def _check_in_calendar(cal: _Calendar, d: np.datetime64, what: str = "date") -> None:
    if d < cal.dates[0] or d > cal.dates[-1]:
        raise DateOutOfRange(f"{what} {d} lies outside the store's trading calendar "
                             f"({cal.dates[0]} to {cal.dates[-1]})")


def get_trading_dates(start, end) -> list[_dt.date]:
    """The trading dates from `start` to `end`, both inclusive, as `datetime.date`."""
    cal = calendar()
    s, e = _d64(start), _d64(end)
    _check_in_calendar(cal, s, "start")
    _check_in_calendar(cal, e, "end")
    i, j = np.searchsorted(cal.dates, s, "left"), np.searchsorted(cal.dates, e, "right")
    return cal.dates[i:j].tolist()


def is_trading_date(date) -> bool:
    cal = calendar()
    d = _d64(date)
    _check_in_calendar(cal, d)
    i = np.searchsorted(cal.dates, d)
    return bool(i < len(cal.dates) and cal.dates[i] == d)


def trading_date_offset(date, n) -> _dt.date:
    """The trading date `n` trading days after `date` (n < 0: before).

    From a non-trading date, n = -1 is the last trading date before it and n = 1 the first after it; n = 0
    is `date` itself when it is a trading date, else the last trading date before it.
    """
    n = operator.index(n)
    cal = calendar()
    d = _d64(date)
    _check_in_calendar(cal, d)
    i = int(np.searchsorted(cal.dates, d, "left"))
    on = i < len(cal.dates) and cal.dates[i] == d
    if on or n < 0:
        k = i + n  # i is the first trading date after a non-trading `date`
    elif n > 0:
        k = i + n - 1
    else:
        k = i - 1
    if k < 0 or k >= len(cal.dates):
        raise DateOutOfRange(f"{n} trading days from {d} lies outside the store's trading calendar "
                             f"({cal.dates[0]} to {cal.dates[-1]})")
    return cal.dates[k].item()


def get_previous_trading_date(date) -> _dt.date:
    """The last trading date strictly before `date`."""
    return trading_date_offset(date, -1)


def get_next_trading_date(date) -> _dt.date:
    """The first trading date strictly after `date`."""
    return trading_date_offset(date, 1)
