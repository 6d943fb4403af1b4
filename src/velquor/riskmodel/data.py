"""Reads the market database into dense date x stock panels for the estimation pipeline."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np
import pandas as pd


__all__ = ["Universe", "Panel", "load_universe", "load_panel"]


@dataclass
class Universe:
    """The store's calendar and every common stock it has ever held, in a fixed order."""

    dates: np.ndarray  # datetime64[D], ascending
    ids: np.ndarray  # order_book_id strings, ascending
    industry: np.ndarray  # industry number per stock
    industry_names: list[str]
    listed: np.ndarray  # datetime64[D]
    last: int  # calendar position of the last day with price data (the calendar may run further)
    position: dict = field(repr=False, default_factory=dict)  # order_book_id -> column

    def date_index(self, day: np.datetime64) -> int:
        """Position of the last trading date on or before ``day`` (-1 if none)."""
        return int(np.searchsorted(self.dates, day, side="right")) - 1


def load_universe(con) -> Universe:
    dates = con.execute("SELECT date FROM trading_dates ORDER BY date").fetchnumpy()["date"]
    inst = con.execute(
        "SELECT order_book_id, industry_sw, listed_date FROM instruments WHERE type = 'CS' "
        "ORDER BY order_book_id").df()
    ids = inst["order_book_id"].to_numpy(dtype=str)
    ind = inst["industry_sw"].fillna("unknown").astype(str)
    names = sorted(ind.unique())
    industry = pd.Index(names).get_indexer(ind).astype(np.int64)
    listed = pd.to_datetime(inst["listed_date"]).to_numpy(dtype="datetime64[D]")
    dates = np.asarray(dates, dtype="datetime64[D]")
    ((end,),) = con.execute("SELECT max(date) FROM price_change_rate").fetchall()
    last = -1 if end is None else int(np.searchsorted(dates, np.datetime64(end, "D"), side="right")) - 1
    return Universe(dates=dates, ids=ids, industry=industry, industry_names=names, listed=listed, last=last,
                    position={k: i for i, k in enumerate(ids)})


@dataclass
class Panel:
    """Dense data over calendar positions ``start .. stop - 1`` of a ``Universe`` (rows) and its stocks."""

    start: int
    stop: int
    ret: np.ndarray  # daily price change rate, NaN = no trade
    cap: np.ndarray  # total market cap, NaN = not trading in the store on that day
    turnover: np.ndarray
    book: np.ndarray  # point-in-time fundamentals, as known after each day's close
    earnings: np.ndarray
    sales: np.ndarray
    debt: np.ndarray
    growth: np.ndarray  # year-on-year sales growth of the latest report


def _register_ids(con, uni: Universe) -> None:
    con.register("_velquor_rm_ids", pd.DataFrame({"order_book_id": uni.ids,
                                                  "col": np.arange(len(uni.ids), dtype=np.int64)}))


def _scatter(con, table: str, cols: list[str], uni: Universe, start: int, stop: int) -> list[np.ndarray]:
    t, n = stop - start, len(uni.ids)
    out = [np.full((t, n), np.nan) for _ in cols]
    d0, d1 = (pd.Timestamp(uni.dates[start]).date(), pd.Timestamp(uni.dates[stop - 1]).date())
    collist = ", ".join(f"s.{c}" for c in cols)
    data = con.execute(f"SELECT s.date, i.col, {collist} FROM {table} s JOIN _velquor_rm_ids i "
                       f"USING (order_book_id) WHERE s.date BETWEEN ? AND ?", [d0, d1]).fetchnumpy()
    if len(data["date"]) == 0:
        return out
    day = np.asarray(data["date"], dtype="datetime64[D]")
    row = np.searchsorted(uni.dates[start:stop], day)
    col = np.asarray(data["col"], dtype=np.int64)
    ok = row < t
    ok[ok] &= uni.dates[start:stop][row[ok]] == day[ok]
    for arr, c in zip(out, cols):
        vals = np.asarray(data[c], dtype=np.float64)
        arr[row[ok], col[ok]] = vals[ok]
    return out


def _fundamentals(con, uni: Universe, start: int, stop: int) -> list[np.ndarray]:
    end = uni.dates[stop - 1]
    f = con.execute(
        "SELECT i.col, f.report_date, f.announce_date, f.book_value, f.earnings, f.sales, f.total_debt "
        "FROM fundamentals f JOIN _velquor_rm_ids i USING (order_book_id) WHERE f.announce_date <= ? "
        "ORDER BY i.col, f.announce_date, f.report_date", [pd.Timestamp(end).date()]).df()
    t, n = stop - start, len(uni.ids)
    names = ["book_value", "earnings", "sales", "total_debt", "growth"]
    out = [np.full((t, n), np.nan) for _ in names]
    if f.empty:
        return out
    rep = pd.to_datetime(f["report_date"])
    # Year-on-year sales growth: the report of the same quarter one year earlier.
    key = pd.MultiIndex.from_arrays([f["col"], rep])
    sales = pd.Series(f["sales"].to_numpy(), index=key)
    sales = sales[~sales.index.duplicated(keep="last")]
    prev = sales.reindex(pd.MultiIndex.from_arrays([f["col"], rep - pd.DateOffset(years=1)])).to_numpy()
    with np.errstate(divide="ignore", invalid="ignore"):
        f["growth"] = np.where(np.abs(prev) > 0, f["sales"].to_numpy() / np.abs(prev) - 1.0, np.nan)
    # A report announced after a newer one (a late restatement of an old quarter) does not replace it.
    f["rep"] = rep
    f = f[f["rep"] >= f.groupby("col")["rep"].cummax()]
    # Known after the close of the first trading day on or after the announcement.
    avail = np.searchsorted(uni.dates, pd.to_datetime(f["announce_date"]).to_numpy(dtype="datetime64[D]"))
    row = avail - start
    cols = f["col"].to_numpy()
    row = np.clip(row, 0, t - 1)
    for arr, name in zip(out, names):
        vals = f[name].to_numpy(dtype=np.float64)
        # Rows are in announcement order, so for each (row, stock) the last assignment is the latest report;
        # everything announced before the panel starts lands on its first row.
        _assign_last(arr, row, cols, vals)
    for i, arr in enumerate(out):
        out[i] = pd.DataFrame(arr).ffill().to_numpy()
    return out


def _assign_last(arr: np.ndarray, row: np.ndarray, col: np.ndarray, vals: np.ndarray) -> None:
    flat = row * arr.shape[1] + col
    # keep the last occurrence of every flat position
    rev = flat[::-1]
    _, first = np.unique(rev, return_index=True)
    keep = len(flat) - 1 - first
    arr.reshape(-1)[flat[keep]] = vals[keep]


def load_panel(con, uni: Universe, start: int, stop: int) -> Panel:
    """Panels for calendar positions ``start .. stop - 1``; the three reads run side by side, each on its
    own cursor (DuckDB releases the GIL while it scans)."""

    def read(fn, *args):
        cur = con.cursor()
        try:
            _register_ids(cur, uni)
            return fn(cur, *args)
        finally:
            cur.close()

    with ThreadPoolExecutor(max_workers=3) as pool:
        ret_f = pool.submit(read, _scatter, "price_change_rate", ["rate"], uni, start, stop)
        daily_f = pool.submit(read, _scatter, "stock_daily", ["market_cap", "turnover"], uni, start, stop)
        fund_f = pool.submit(read, _fundamentals, uni, start, stop)
        (ret,), (cap, turnover) = ret_f.result(), daily_f.result()
        book, earnings, sales, debt, growth = fund_f.result()
    cap[~(cap > 0)] = np.nan
    return Panel(start=start, stop=stop, ret=ret, cap=cap, turnover=turnover, book=book, earnings=earnings,
                 sales=sales, debt=debt, growth=growth)
