"""Shared pieces of the trading tests: a copy of the session market with flags and ST periods of our choosing,
and daily bars whose traded values are known."""

from __future__ import annotations

import shutil
from contextlib import contextmanager

import duckdb
import numpy as np
import pandas as pd
import pytest

import zorvata

DATE = "2026-06-01"
INDEX = "000300.XSHG"
#: how far SCS at its default accuracy may leave a bound
TOL = 2e-3


@contextmanager
def flagged_market(market_db, directory, flags=(), st=()):
    """zorvata on a copy of ``market_db`` whose ``daily_flags`` hold ``flags`` (rows date, id, suspended,
    limit_up, limit_down) in place of its own rows for those stocks and days, and ``st_status`` the periods
    ``st`` (id, start, end); the risk-model estimates are the session market's."""
    from velquor.riskmodel.store import ENV_DIR, estimate_base

    zorvata.close()
    path = directory / "flagged.duckdb"
    shutil.copyfile(market_db, path)
    with duckdb.connect(str(path)) as con:
        for d, i, *values in flags:
            con.execute("DELETE FROM daily_flags WHERE date = ? AND order_book_id = ?", [d, i])
            con.execute("INSERT INTO daily_flags VALUES (?, ?, ?, ?, ?)", [d, i, *values])
        for i, start, end in st:
            con.execute("DELETE FROM st_status WHERE order_book_id = ?", [i])
            con.execute("INSERT INTO st_status VALUES (?, ?, ?)", [i, start, end])
    mp = pytest.MonkeyPatch()
    mp.setenv(ENV_DIR, str(estimate_base(market_db)))
    mp.setenv("ZORVATA_DB", str(path))
    zorvata.configure(path)
    try:
        yield path
    finally:
        mp.undo()
        zorvata.configure(market_db)


def fake_bars(value_of):
    """A ``zorvata.get_daily_bars`` whose traded value of stock ``i`` on every day is ``value_of(i)``."""
    def get_daily_bars(start_date, end_date, fields=None, order_book_ids=None):
        days = zorvata.get_trading_dates(start_date, end_date)
        ids = list(order_book_ids)
        rows = [(pd.Timestamp(d), i, value_of(i), 10.0) for d in days for i in ids]
        frame = pd.DataFrame(rows, columns=["date", "order_book_id", "value", "close"])
        return frame[["date", "order_book_id", *(fields or ["value", "close"])]]
    return get_daily_bars


def pool_of(n: int) -> list[str]:
    """The index's constituents on DATE and other stocks listed then, ``n`` in all (sorted)."""
    members = sorted(zorvata.index_weights(INDEX, DATE).index)
    listed = sorted(zorvata.all_instruments("CS", zorvata.get_previous_trading_date(DATE))["order_book_id"])
    return sorted((members + [i for i in listed if i not in set(members)])[:n])


def weights_of(w: pd.Series, ids) -> np.ndarray:
    return w.reindex(list(ids), fill_value=0.0).to_numpy()
