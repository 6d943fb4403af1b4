"""Reads the market database into dense date x stock panels for the estimation pipeline.

Everything a panel row holds is known after the close of that row's day: returns and caps of the day,
the industry each stock belongs to on that day, and of the financial reports announced by then the latest
one, in the version last announced by then (a restatement announced later changes later rows only).
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from . import native

__all__ = ["Universe", "Panel", "load_universe", "load_panel", "INDUSTRY_SCHEME", "NO_INDUSTRY"]

#: The classification scheme whose industries are the model's industry factors.
INDUSTRY_SCHEME = "sw"
#: Industry number of a stock that has no code of the scheme on a day.
NO_INDUSTRY = -1


@dataclass
class Universe:
    """The store's calendar, every common stock it has ever held (in a fixed order) and the industries of
    the classification scheme."""

    dates: np.ndarray  # datetime64[D], ascending
    ids: np.ndarray  # order_book_id strings, ascending
    industry_names: list[str]  # every code of the scheme: the industry factors, whoever is listed
    listed: np.ndarray  # datetime64[D]
    last: int  # calendar position of the last day with price data (the calendar may run further)
    # membership periods: stock column, industry number, first and end (exclusive) calendar positions
    periods: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray] | None = field(repr=False, default=None)
    position: dict = field(repr=False, default_factory=dict)  # order_book_id -> column

    def date_index(self, day: np.datetime64) -> int:
        """Position of the last trading date on or before ``day`` (-1 if none)."""
        return int(np.searchsorted(self.dates, day, side="right")) - 1

    def industry_panel(self, start: int, stop: int) -> np.ndarray:
        """Industry number of every stock on calendar positions ``start .. stop - 1`` (NO_INDUSTRY: none)."""
        out = np.full((stop - start, len(self.ids)), NO_INDUSTRY, dtype=np.int16)
        col, code, first, end = self.periods
        lo = np.clip(first - start, 0, stop - start)
        hi = np.clip(end - start, 0, stop - start)
        for c, k, a, b in zip(col[hi > lo], code[hi > lo], lo[hi > lo], hi[hi > lo]):
            out[a:b, c] = k
        return out

    def industry_at(self, pos: int) -> np.ndarray:
        return self.industry_panel(pos, pos + 1)[0]


def _industry_periods(con, ids: np.ndarray, dates: np.ndarray, position: dict):
    """The scheme's codes (sorted) and its membership periods in calendar positions; a store without
    industry history has one period per stock from listing under its instrument record's code."""
    tables = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
    names = []
    if "industries" in tables:
        names = [r[0] for r in con.execute("SELECT code FROM industries WHERE source = ? ORDER BY code",
                                           [INDUSTRY_SCHEME]).fetchall()]
    hist = None
    if "industry_history" in tables:
        hist = con.execute("SELECT order_book_id, code, start_date, end_date FROM industry_history "
                           "WHERE source = ? ORDER BY order_book_id, start_date", [INDUSTRY_SCHEME]).df()
    if hist is None or hist.empty:
        hist = con.execute("SELECT order_book_id, industry_sw AS code, listed_date AS start_date, "
                           "NULL::DATE AS end_date FROM instruments WHERE type = 'CS' AND industry_sw IS NOT NULL "
                           "ORDER BY order_book_id").df()
    if not names:  # a store without the scheme's code list: the codes in use
        names = sorted(set(hist["code"].dropna().astype(str)))
    # the rows of the universe's stocks under a code of the scheme (a lookup each: `isin` on the text
    # columns cost more than the whole rest of the universe's loading)
    where = hist["order_book_id"].map(position)
    code = pd.Index(names).get_indexer(hist["code"])
    keep = where.notna().to_numpy() & (code >= 0)
    hist = hist[keep]
    col = where[keep].to_numpy(dtype=np.int64)
    code = code[keep].astype(np.int16)
    first = np.searchsorted(dates, pd.to_datetime(hist["start_date"]).to_numpy(dtype="datetime64[D]"))
    end_d = pd.to_datetime(hist["end_date"]).to_numpy(dtype="datetime64[D]")
    end = np.where(np.isnat(end_d), len(dates), np.searchsorted(dates, end_d))
    return names, (col, code, first.astype(np.int64), end.astype(np.int64))


def load_universe(con) -> Universe:
    dates = con.execute("SELECT date FROM trading_dates ORDER BY date").fetchnumpy()["date"]
    inst = con.execute(
        "SELECT order_book_id, listed_date FROM instruments WHERE type = 'CS' ORDER BY order_book_id").df()
    ids = inst["order_book_id"].to_numpy(dtype=str)
    listed = pd.to_datetime(inst["listed_date"]).to_numpy(dtype="datetime64[D]")
    dates = np.asarray(dates, dtype="datetime64[D]")
    position = {k: i for i, k in enumerate(ids)}
    names, periods = _industry_periods(con, ids, dates, position)
    ((end,),) = con.execute("SELECT max(date) FROM price_change_rate").fetchall()
    last = -1 if end is None else int(np.searchsorted(dates, np.datetime64(end, "D"), side="right")) - 1
    return Universe(dates=dates, ids=ids, industry_names=names, listed=listed, last=last, periods=periods,
                    position=position)


@dataclass
class Panel:
    """Dense data over calendar positions ``start .. stop - 1`` of a ``Universe`` (rows) and its stocks.

    The native pipeline's factor history sets the panels only the styles read (returns, turnover and the
    fundamentals) to None once it has the styles."""

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
    industry: np.ndarray | None = None  # (T, N) int16 industry numbers of each day, NO_INDUSTRY = none
    ret_clean: np.ndarray | None = None  # ret without the returns that span several days (after a suspension)


def one_day_returns(ret: np.ndarray, listed_pos: np.ndarray, start: int) -> np.ndarray:
    """``ret`` (rows: calendar positions ``start ..``) without the returns that span several trading days.

    A stock listed before the previous day that has no return on it (suspended, or missing from the data)
    earns its next return over all the days since its last one; counted as one day's return it would
    inflate every volatility read from it, so it is left out. The first return after listing is kept.
    """
    out = ret.copy()
    if len(ret) < 2:
        return out
    prev_pos = np.arange(start, start + len(ret) - 1)[:, None]
    gap = np.isnan(ret[:-1]) & (prev_pos > listed_pos[None, :])
    out[1:][gap] = np.nan
    return out


def _register_ids(con, uni: Universe) -> None:
    con.register("_velquor_rm_ids", pd.DataFrame({"order_book_id": uni.ids,
                                                  "col": np.arange(len(uni.ids), dtype=np.int64)}))


def _records(con, table: str, cols: list[str], dates: np.ndarray) -> tuple[dict, np.ndarray]:
    """The records of ``table`` over ``dates`` (days since the first date and the stock's column come out as
    plain integers), and the lookup from those days to panel rows (-1: a day off the calendar). A NULL value
    reads as 0 (the fetch's masked arrays hold 0 under the mask). The native pipeline streams the same query
    as Arrow batches instead (``_scatter_streamed``)."""
    sql, params, row_of_day = _record_query(table, cols, dates)
    return con.execute(sql, params).fetchnumpy(), row_of_day


def _record_query(table: str, cols: list[str], dates: np.ndarray) -> tuple[str, list, np.ndarray]:
    """The query of ``_records``, its parameters and the lookup from its days to panel rows."""
    d0, d1 = (pd.Timestamp(dates[0]).date(), pd.Timestamp(dates[-1]).date())
    collist = ", ".join(f"s.{c}" for c in cols)
    sql = (f"SELECT (s.date - ?::DATE)::INTEGER AS day, i.col::INTEGER AS col, {collist} "
           f"FROM {table} s JOIN _velquor_rm_ids i USING (order_book_id) WHERE s.date BETWEEN ? AND ?")
    row_of_day = np.full(int((dates[-1] - dates[0]).astype(np.int64)) + 1, -1, dtype=np.int64)
    row_of_day[(dates - dates[0]).astype(np.int64)] = np.arange(len(dates))
    return sql, [d0, d0, d1], row_of_day


#: Records per Arrow batch of the native panel load: the batches stream through the scatter kernel one by one,
#: so a few MiB of the allocator's memory serve them all (a whole fetched table was 40 to 60 MiB of fresh pages
#: per read, grown by reallocation and copied as it grew).
_STREAM_BATCH = 1 << 17


def _scatter_streamed(con, table: str, cols: list[str], dates: np.ndarray, n: int) -> list[np.ndarray]:
    import pyarrow.compute as pc

    sql, params, row_of_day = _record_query(table, cols, dates)
    reader = con.sql(sql, params=params).to_arrow_reader(_STREAM_BATCH)
    batches = ((b.column("day").to_numpy(), b.column("col").to_numpy(),
                [pc.fill_null(b.column(c), 0.0).to_numpy() for c in cols]) for b in reader)
    return native.scatter_batches(batches, row_of_day, len(dates), n, len(cols))


def _scatter(con, table: str, cols: list[str], uni: Universe, start: int, stop: int) -> list[np.ndarray]:
    t, n = stop - start, len(uni.ids)
    if native.enabled():  # placed by a kernel batch by batch as they are fetched, without index temporaries
        return _scatter_streamed(con, table, cols, uni.dates[start:stop], n)
    data, row_of_day = _records(con, table, cols, uni.dates[start:stop])
    out = [np.full((t, n), np.nan) for _ in cols]
    day = np.asarray(data["day"], dtype=np.int64)
    if len(day) == 0:
        return out
    row = row_of_day[day]
    flat = row * n + np.asarray(data["col"], dtype=np.int64)
    ok = row >= 0
    if not ok.all():
        flat = flat[ok]
    for arr, c in zip(out, cols):
        vals = np.asarray(data[c], dtype=np.float64)
        arr.reshape(-1)[flat] = vals if ok.all() else vals[ok]
    return out


_FUNDAMENTALS = ["book_value", "earnings", "sales", "total_debt"]


def report_states(f: pd.DataFrame) -> pd.DataFrame:
    """What is known of each stock after each announcement.

    ``f`` holds one row per announced report version (``col``, ``report_date``, ``announce_date`` and the
    values), a restatement being a later row of the same report date. After each row (in announcement
    order) the state is the latest report date announced so far, with the values of its version last
    announced so far, and its year-on-year sales growth against the version of the report one year earlier
    last announced so far. Returns one state per row, in announcement order, with ``announce_date``.
    """
    f = f.sort_values(["announce_date", "col", "report_date"], kind="stable").reset_index(drop=True)
    f["rep"] = f["report_date"].to_numpy(dtype="datetime64[D]").astype(np.int64)
    f["ann"] = f["announce_date"].to_numpy(dtype="datetime64[D]").astype(np.int64)
    f["latest"] = f.groupby("col")["rep"].cummax()
    versions = f[["ann", "col", "rep", *_FUNDAMENTALS]]
    left = f[["ann", "col", "latest"]].rename(columns={"latest": "rep"})
    cur = pd.merge_asof(left, versions, on="ann", by=["col", "rep"], allow_exact_matches=True)
    prev_rep = (pd.to_datetime(f["latest"].to_numpy().astype("datetime64[D]")) - pd.DateOffset(years=1))
    left_prev = pd.DataFrame({"ann": f["ann"], "col": f["col"],
                              "rep": prev_rep.to_numpy(dtype="datetime64[D]").astype(np.int64)})
    prev = pd.merge_asof(left_prev, versions[["ann", "col", "rep", "sales"]], on="ann", by=["col", "rep"],
                         allow_exact_matches=True)["sales"].to_numpy(dtype=np.float64)
    sales = cur["sales"].to_numpy(dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        growth = np.where(np.abs(prev) > 0, sales / np.abs(prev) - 1.0, np.nan)
    out = cur[["col", *_FUNDAMENTALS]].copy()
    out["growth"] = growth
    out["announce_date"] = f["announce_date"].to_numpy()
    return out


def _fundamentals(con, uni: Universe, start: int, stop: int) -> list[np.ndarray]:
    end = uni.dates[stop - 1]
    # Everything announced up to the panel's first day collapses onto its first row, where a stock's state is
    # its latest report date B then known, with sales growth against the report a year before B; every later
    # state has a report date >= B. So reports dated more than a year before B cannot shape any panel cell
    # and are left in the store (two years are kept, for margin): the work no longer grows with the history.
    f = con.execute(
        "WITH f AS (SELECT i.col, f.report_date, f.announce_date, f.book_value, f.earnings, f.sales, "
        "                  f.total_debt "
        "           FROM fundamentals f JOIN _velquor_rm_ids i USING (order_book_id) WHERE f.announce_date <= ?), "
        "base AS (SELECT col, max(report_date) AS b FROM f WHERE announce_date <= ? GROUP BY col) "
        "SELECT f.* FROM f LEFT JOIN base USING (col) "
        "WHERE base.b IS NULL OR f.report_date >= base.b - INTERVAL 2 YEAR",
        [pd.Timestamp(end).date(), pd.Timestamp(uni.dates[start]).date()]).df()
    t, n = stop - start, len(uni.ids)
    names = [*_FUNDAMENTALS, "growth"]
    if f.empty:
        return [np.full((t, n), np.nan) for _ in names]
    st = report_states(f)
    # Known after the close of the first trading day on or after the announcement.
    avail = np.searchsorted(uni.dates, pd.to_datetime(st["announce_date"]).to_numpy(dtype="datetime64[D]"))
    row = np.clip(avail - start, 0, t - 1)
    if native.enabled():  # filled by a kernel walking the days (announcement order is row order already)
        order = np.argsort(row, kind="stable")
        return native.fill_states(row[order], st["col"].to_numpy(dtype=np.int64)[order],
                                  [st[name].to_numpy(dtype=np.float64)[order] for name in names], t, n)
    out = [np.full((t, n), np.nan) for _ in names]
    cols = st["col"].to_numpy()
    # States are in announcement order, so for each (row, stock) the last state is the day's final one;
    # everything announced before the panel starts lands on its first row.
    flat = row * n + cols
    _, first = np.unique(flat[::-1], return_index=True)
    keep = len(flat) - 1 - first
    # the kept states stock by stock, each stock's in row order; a panel cell takes the stock's latest state
    # on or before its row, and of each field the latest value that is not NaN
    order = np.lexsort((row[keep], cols[keep]))
    keep, kc = keep[order], cols[keep][order]
    pos = np.arange(len(keep))
    group_first = np.maximum.accumulate(np.where(np.r_[True, kc[1:] != kc[:-1]], pos, 0))
    idx = np.full((t, n), -1, dtype=np.int64)
    idx[row[keep], kc] = pos
    np.maximum.accumulate(idx, axis=0, out=idx)
    for i, name in enumerate(names):
        v = st[name].to_numpy(dtype=np.float64)[keep]
        src = np.maximum.accumulate(np.where(np.isnan(v), -1, pos))
        filled = np.append(np.where(src >= group_first, v[src], np.nan), np.nan)  # idx -1 reads the NaN
        out[i] = filled[idx]
    return out


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
        industry = uni.industry_panel(start, stop)
        (ret,), (cap, turnover) = ret_f.result(), daily_f.result()
        book, earnings, sales, debt, growth = fund_f.result()
    cap[~(cap > 0)] = np.nan
    clean = one_day_returns(ret, np.searchsorted(uni.dates, uni.listed), start)
    return Panel(start=start, stop=stop, ret=ret, cap=cap, turnover=turnover, book=book, earnings=earnings,
                 sales=sales, debt=debt, growth=growth, industry=industry, ret_clean=clean)
