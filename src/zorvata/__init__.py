"""zorvata: the local market-data client over an embedded DuckDB database.

``ZORVATA_DB`` names the database file; unset, the synthetic demo market is built on first use into the
cache directory. `configure(path)` switches a process to another file. Every function takes its arguments
positionally as documented in docs/market-data.md.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
from collections.abc import Iterable

from .infra import interrupts_deferred

with interrupts_deferred():  # extension modules that cannot take a Ctrl-C half way (DuckDB's aborts the process)
    import duckdb  # noqa: F401
    import numpy as np
    import pandas as pd
    import pyarrow as pa

from . import _store
from ._errors import AccessError, DataError, DateOutOfRange, UnknownInstrument, ValidationError
from ._store import close, configure, connect, db_path, reset
from .calendar import (data_end, get_next_trading_date, get_previous_trading_date, get_trading_dates,
                       is_trading_date, to_date, trading_date_offset)

from .infra import LRUCache, package_version

__version__ = package_version()

__all__ = [
    "Instrument", "DataError", "DateOutOfRange", "UnknownInstrument", "ValidationError", "AccessError",
    "configure", "reset", "close", "connect", "db_path", "meta",
    "instruments", "all_instruments", "get_industry", "get_industry_names", "INDUSTRY_SOURCES",
    "to_date", "get_trading_dates", "trading_date_offset", "get_previous_trading_date",
    "get_next_trading_date", "is_trading_date", "data_end",
    "get_price_change_rate", "get_returns_panel", "index_weights", "index_weights_ex",
    "get_index_rebalance_dates",
    "get_stock_daily", "get_fundamentals", "get_latest_fundamentals", "get_st_status", "get_daily_flags",
    "get_daily_bars", "BAR_FIELDS",
]

_NOT_DELISTED = "0000-00-00"


@dataclasses.dataclass(frozen=True, slots=True)
class Instrument:
    """One instrument record. Dates are texts YYYY-MM-DD; `de_listed_date` is "0000-00-00" while listed."""

    order_book_id: str
    symbol: str
    type: str
    listed_date: str
    de_listed_date: str
    exchange: str
    industry_sw: str | None
    industry_citics: str | None

    @property
    def listed(self) -> _dt.date:
        return _dt.date.fromisoformat(self.listed_date)

    @property
    def de_listed(self) -> _dt.date | None:
        return None if self.de_listed_date == _NOT_DELISTED else _dt.date.fromisoformat(self.de_listed_date)

    def is_listed_on(self, date) -> bool:
        """Traded on `date`: listed on or before it and not yet delisted."""
        d = to_date(date).isoformat()
        return self.listed_date <= d and (self.de_listed_date == _NOT_DELISTED or d < self.de_listed_date)


class _InstrumentTable:
    __slots__ = ("by_id", "_frame")

    def __init__(self, con):
        rows = con.execute(
            "SELECT order_book_id, symbol, type, strftime(listed_date, '%Y-%m-%d'), "
            f"coalesce(strftime(de_listed_date, '%Y-%m-%d'), '{_NOT_DELISTED}'), exchange, "
            "industry_sw, industry_citics FROM instruments ORDER BY order_book_id").fetchall()
        self.by_id = {row[0]: Instrument(*row) for row in rows}
        self._frame = None

    @property
    def frame(self) -> pd.DataFrame:
        if self._frame is None:
            cols = [f.name for f in dataclasses.fields(Instrument)]
            recs = list(self.by_id.values())
            self._frame = pd.DataFrame({c: pd.Series([getattr(r, c) for r in recs], dtype=object)
                                        for c in cols})
        return self._frame


def _table() -> _InstrumentTable:
    return _store.cached("instruments", _InstrumentTable)


def meta() -> dict[str, str]:
    """The store's `meta` table (label, schema version, data range, ...)."""
    return _store.cached("meta", lambda con: dict(con.execute("SELECT key, value FROM meta").fetchall()))


# ----------------------------------------------------------------------------------------------- instruments

def instruments(order_book_ids):
    """Instrument records.

    A str gives one `Instrument`, or None when the store does not know it. A list, tuple, set (or any other
    iterable of ids) gives a list of the records of the known ids, in the order given, unknown ids left out.
    """
    by_id = _table().by_id
    if isinstance(order_book_ids, str):
        return by_id.get(order_book_ids)
    if not isinstance(order_book_ids, Iterable):
        raise DataError(f"order_book_ids must be a str or an iterable of str, got "
                        f"{type(order_book_ids).__name__}")
    get = by_id.get
    return [r for r in map(get, order_book_ids) if r is not None]


def all_instruments(type=None, date=None) -> pd.DataFrame:  # noqa: A002 - the documented parameter name
    """All instrument records as a DataFrame; only those of `type` ("CS", "INDX", "ETF") and/or those
    traded on `date` (listed on or before it, not yet delisted) when given."""
    df = _table().frame
    keep = np.ones(len(df), dtype=bool)
    if type is not None:
        keep &= (df["type"] == type).to_numpy()
    if date is not None:
        d = to_date(date).isoformat()
        de = df["de_listed_date"]
        keep &= ((df["listed_date"] <= d) & ((de == _NOT_DELISTED) | (de > d))).to_numpy()
    return df[keep].reset_index(drop=True)


#: The industry classification schemes the store carries. "sw_split_financials" is "sw" with the non-bank
#: financials split into securities, insurance and diversified financials.
INDUSTRY_SOURCES = ("sw", "citics", "sw_split_financials")
_LEGACY_COLUMNS = {"sw": "industry_sw", "citics": "industry_citics"}


def _industry_source(source) -> str:
    src = getattr(source, "value", source)  # an enum member whose value is the scheme's text
    if src not in INDUSTRY_SOURCES:
        raise DataError(f"unknown industry classification {source!r}; expected one of "
                        f"{list(INDUSTRY_SOURCES)}")
    return src


class _IndustryHistory:
    """One scheme's membership periods as sorted arrays: ids, codes, start and end days (int days since the
    epoch; no end is the largest int)."""

    __slots__ = ("ids", "codes", "start", "end")

    def __init__(self, con, source: str):
        rows = None
        has_table = con.execute("SELECT count(*) FROM information_schema.tables "
                                "WHERE table_name = 'industry_history'").fetchone()[0]
        if has_table:
            rows = con.execute(
                "SELECT order_book_id, code, (start_date - DATE '1970-01-01') AS s, "
                "coalesce(end_date - DATE '1970-01-01', 2147483647) AS e FROM industry_history "
                "WHERE source = ? ORDER BY order_book_id, start_date", [source]).fetchnumpy()
        if (rows is None or len(rows["s"]) == 0) and source in _LEGACY_COLUMNS:
            # a store written before industry history was kept: today's code, valid since listing
            col = _LEGACY_COLUMNS[source]
            rows = con.execute(
                f"SELECT order_book_id, {col} AS code, (listed_date - DATE '1970-01-01') AS s, "
                f"2147483647 AS e FROM instruments WHERE type = 'CS' AND {col} IS NOT NULL "
                "ORDER BY order_book_id").fetchnumpy()
        if rows is None:
            rows = {"order_book_id": np.array([], dtype=object), "code": np.array([], dtype=object),
                    "s": np.array([], dtype=np.int64), "e": np.array([], dtype=np.int64)}
        self.ids = np.asarray(rows["order_book_id"], dtype=object)
        self.codes = np.asarray(rows["code"], dtype=object)
        self.start = np.asarray(rows["s"], dtype=np.int64)
        self.end = np.asarray(rows["e"], dtype=np.int64)

    def as_of(self, day: int | None) -> pd.Series:
        if day is None:  # the latest period of each stock
            last = np.r_[self.ids[1:] != self.ids[:-1], True] if len(self.ids) else np.array([], bool)
            keep = last
        else:
            keep = (self.start <= day) & (day < self.end)
        return pd.Series(self.codes[keep], index=pd.Index(self.ids[keep], name="order_book_id"), dtype=object)


def _industry_history(source: str) -> _IndustryHistory:
    return _store.cached(f"industry_history:{source}", lambda con: _IndustryHistory(con, source))


def get_industry(order_book_ids=None, source="sw", date=None) -> pd.Series:
    """Industry code per stock (type "CS") under classification `source` ("sw", "citics" or
    "sw_split_financials"), indexed by order_book_id, as of `date` (None: each stock's latest code).

    A stock has a code from its listing date on; on a date outside every period of a stock (before its
    listing, say) it is left out, as are unknown ids.
    """
    src = _industry_source(source)
    day = None if date is None else (to_date(date) - _dt.date(1970, 1, 1)).days
    s = _industry_history(src).as_of(day)
    s.name = f"industry_{src}"
    if order_book_ids is not None:
        ids = _id_list(order_book_ids)
        s = s.reindex([i for i in ids if i in s.index])
    return s


def get_industry_names(source="sw") -> pd.Series:
    """Industry name per code under classification `source`."""
    src = _industry_source(source)
    rows = _store.cached("industries", lambda con: con.execute(
        "SELECT source, code, name FROM industries ORDER BY source, code").fetchall())
    sel = [(c, n) for s, c, n in rows if s == src]
    return pd.Series([n for _, n in sel], index=pd.Index([c for c, _ in sel], name="code"), name="name",
                     dtype=object)


# ------------------------------------------------------------------------------------------------- returns

def _id_list(order_book_ids) -> list[str]:
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    if isinstance(order_book_ids, (set, frozenset)):
        return sorted(order_book_ids)
    if not isinstance(order_book_ids, Iterable):
        raise DataError(f"order_book_ids must be a str or an iterable of str, got "
                        f"{type(order_book_ids).__name__}")
    ids = list(dict.fromkeys(order_book_ids))
    bad = [i for i in ids if not isinstance(i, str)]
    if bad:
        raise DataError(f"order_book_ids must be strings, got {bad[0]!r}")
    return ids


def _price_range(start, end):
    """Trading dates of [start, end], cut at the last date with data."""
    from .calendar import _check_in_calendar, _d64, calendar

    cal = calendar()
    s, e = _d64(start), _d64(end)
    if s > e:
        raise DataError(f"start {s} is after end {e}")
    _check_in_calendar(cal, s, "start")
    if s > cal.data_end:
        raise DateOutOfRange(f"start {s} is after the last date with data ({cal.data_end})")
    e = min(e, cal.data_end)
    i, j = np.searchsorted(cal.dates, s, "left"), np.searchsorted(cal.dates, e, "right")
    return cal.dates[i:j]


def _frame(dates: np.ndarray, ids: list[str]) -> pd.DataFrame:
    """date x id DataFrame of price change rates for `ids` over the trading dates `dates`."""
    index = pd.DatetimeIndex(dates.astype("datetime64[ns]"), name="date")
    if not len(ids) or not len(dates):
        return pd.DataFrame(index=index, columns=pd.Index([], dtype=object), dtype=float)
    con = connect().cursor()
    try:
        con.register("_ids", pa.table({"order_book_id": pa.array(ids, pa.string()),
                                       "pos": pa.array(np.arange(len(ids), dtype=np.int32))}))
        got = con.sql("SELECT (date - $s)::INTEGER AS day, pos, rate FROM price_change_rate "
                      "JOIN _ids USING (order_book_id) WHERE date BETWEEN $s AND $e",
                      params={"s": dates[0].item(), "e": dates[-1].item()}).fetchnumpy()
    finally:
        con.close()
    pos = np.asarray(got["pos"])
    # a flat cell index per row: the row of the day (days -> rows through a lookup), times the width, + pos
    cell_of_day = np.full(int((dates[-1] - dates[0]).astype(int)) + 1, -1, dtype=np.int64)
    cell_of_day[(dates - dates[0]).astype(np.int64)] = np.arange(len(dates), dtype=np.int64) * len(ids)
    out = np.full((len(dates), len(ids)), np.nan)
    out.reshape(-1)[cell_of_day[np.asarray(got["day"])] + pos] = np.asarray(got["rate"], dtype=float)
    present = np.bincount(pos, minlength=len(ids)) > 0
    if not present.all():
        out = out[:, present]
        ids = [i for i, p in zip(ids, present) if p]
    return pd.DataFrame(out, index=index, columns=pd.Index(ids, dtype=object))


def get_price_change_rate(order_book_ids, start_date, end_date) -> pd.DataFrame:
    """Daily price change rates: index = the trading dates from start to end (DatetimeIndex ``date``, ending
    at the store's last date with data), one column per requested id that has data in the range, NaN where
    an id did not trade (suspended, not yet listed, delisted). A str gives a one-column frame."""
    return _frame(_price_range(start_date, end_date), _id_list(order_book_ids))


def get_returns_panel(start_date, end_date, order_book_ids=None) -> pd.DataFrame:
    """`get_price_change_rate` for `order_book_ids`, or for every stock (type "CS") when None."""
    if order_book_ids is None:
        df = _table().frame
        order_book_ids = df.loc[df["type"] == "CS", "order_book_id"].tolist()
    return get_price_change_rate(order_book_ids, start_date, end_date)


# ------------------------------------------------------------------------------------------------- indices

def _rebalance_dates(con) -> dict[str, np.ndarray]:
    rows = con.execute("SELECT DISTINCT index_id, date FROM index_weights "
                       "ORDER BY index_id, date").fetchnumpy()
    out: dict[str, np.ndarray] = {}
    ids, dates = rows["index_id"], np.asarray(rows["date"], dtype="datetime64[D]")
    for iid in dict.fromkeys(ids.tolist() if hasattr(ids, "tolist") else list(ids)):
        out[iid] = dates[ids == iid]
    return out


def get_index_rebalance_dates(index_id) -> list[_dt.date]:
    """The dates on which the store has a constituent weight set for `index_id`."""
    sets = _store.cached("rebalance_dates", _rebalance_dates)
    return sets.get(index_id, np.array([], "datetime64[D]")).tolist()


#: Index weight sets kept in memory (per database file version).
INDEX_SETS_KEPT = 64


def _weights(index_id, date, strict: bool):
    from .calendar import _check_in_calendar, _d64, calendar

    if not isinstance(index_id, str):
        raise DataError(f"index_id must be a str, got {type(index_id).__name__}")
    d = _d64(date)
    cal = calendar()
    if d > cal.dates[-1]:
        raise DateOutOfRange(f"date {d} lies after the store's trading calendar (ends {cal.dates[-1]})")
    sets = _store.cached("rebalance_dates", _rebalance_dates).get(index_id)
    if sets is None:
        if not strict:
            return None
        rec = instruments(index_id)
        if rec is None:
            raise UnknownInstrument(f"unknown index {index_id!r}")
        raise DataError(f"the store has no constituent weights for {index_id!r} (type {rec.type})")
    k = int(np.searchsorted(sets, d, "right")) - 1
    if k < 0:
        if not strict:
            return None
        _check_in_calendar(cal, d)
        raise DateOutOfRange(f"the store has no weights for {index_id!r} on or before {d} "
                             f"(the first set is dated {sets[0]})")
    def read() -> pd.Series:
        rows = connect().cursor().execute(
            "SELECT order_book_id, weight FROM index_weights WHERE index_id = ? AND date = ? "
            "ORDER BY order_book_id",
            [index_id, sets[k].item()]).fetchnumpy()
        return pd.Series(np.asarray(rows["weight"], dtype=float),
                         index=pd.Index(np.asarray(rows["order_book_id"], dtype=object), name="order_book_id"),
                         name="weight")

    # a backtest reads the same set several times a date: recent sets are kept (per file version), and
    # each caller gets its own copy
    recent = _store.cached("index_weight_sets", lambda con: LRUCache(INDEX_SETS_KEPT))
    return recent.get_or_make((index_id, sets[k].item()), read).copy()


def index_weights(index_id, date) -> pd.Series:
    """Constituent weights of `index_id` from its latest weight set on or before `date`: a Series named
    "weight" indexed by order_book_id. Raises `UnknownInstrument` for an unknown index and `DateOutOfRange`
    when the store has no set on or before `date` or `date` lies beyond its calendar."""
    return _weights(index_id, date, True)


def index_weights_ex(index_id, date) -> pd.Series | None:
    """`index_weights`, or None when the store has no weights for `index_id` on or before `date`."""
    return _weights(index_id, date, False)


# ---------------------------------------------------------------------------------------------- daily data

_DAILY_FIELDS = ("market_cap", "float_market_cap", "turnover")
_FLAG_FIELDS = ("suspended", "limit_up", "limit_down")
_FUND_FIELDS = ("book_value", "earnings", "sales", "total_debt")
#: The fields of `get_daily_bars`.
BAR_FIELDS = ("open", "close", "volume", "value", "adj_factor")


def _fields(fields, allowed) -> list[str]:
    if fields is None:
        return list(allowed)
    fields = [fields] if isinstance(fields, str) else list(fields)
    bad = [f for f in fields if f not in allowed]
    if bad:
        raise DataError(f"unknown field(s) {bad}; expected some of {list(allowed)}")
    return fields


def _long_query(table, date_col, start, end, fields, order_book_ids, keys, order):
    s, e = to_date(start), to_date(end)
    if s > e:
        raise DataError(f"start {s} is after end {e}")
    con = connect().cursor()
    sql = f"SELECT {', '.join(keys + fields)} FROM {table} WHERE {date_col} BETWEEN ? AND ?"
    params: list = [s, e]
    if order_book_ids is not None:
        ids = _id_list(order_book_ids)
        con.register("_ids", pa.table({"order_book_id": pa.array(ids, pa.string())}))
        sql += " AND order_book_id IN (SELECT order_book_id FROM _ids)"
    try:
        df = con.execute(sql + f" ORDER BY {order}", params).df()
    finally:
        con.close()
    for c in keys:
        if c.endswith("date"):
            df[c] = df[c].astype("datetime64[ns]")
    return df


def get_stock_daily(start_date, end_date, fields=None, order_book_ids=None) -> pd.DataFrame:
    """Long DataFrame [date, order_book_id, *fields] of the per-stock daily data in [start, end]; fields out
    of market_cap, float_market_cap, turnover (all when None)."""
    return _long_query("stock_daily", "date", start_date, end_date, _fields(fields, _DAILY_FIELDS),
                       order_book_ids, ["date", "order_book_id"], "date, order_book_id")


def get_fundamentals(start_date, end_date, fields=None, order_book_ids=None) -> pd.DataFrame:
    """Long DataFrame [announce_date, report_date, order_book_id, *fields] of the reports announced in
    [start, end]; fields out of book_value, earnings, sales, total_debt (all when None)."""
    return _long_query("fundamentals", "announce_date", start_date, end_date, _fields(fields, _FUND_FIELDS),
                       order_book_ids, ["announce_date", "report_date", "order_book_id"],
                       "announce_date, order_book_id, report_date")


def get_latest_fundamentals(date, fields=None, order_book_ids=None) -> pd.DataFrame:
    """Point in time: for each stock, its report with the latest report date among those announced on or
    before `date` (of a report restated, the latest announcement). DataFrame indexed by order_book_id with
    columns report_date, announce_date, *fields."""
    fields = _fields(fields, _FUND_FIELDS)
    d = to_date(date)
    con = connect().cursor()
    # one whole row per stock: the fields of a restatement never mix with those of the report it replaces
    sql = ("SELECT order_book_id, report_date, announce_date, " + ", ".join(fields)
           + " FROM fundamentals WHERE announce_date <= ?")
    if order_book_ids is not None:
        con.register("_ids", pa.table({"order_book_id": pa.array(_id_list(order_book_ids), pa.string())}))
        sql += " AND order_book_id IN (SELECT order_book_id FROM _ids)"
    sql += (" QUALIFY row_number() OVER (PARTITION BY order_book_id ORDER BY report_date DESC, "
            "announce_date DESC) = 1 ORDER BY order_book_id")
    try:
        df = con.execute(sql, [d]).df()
    finally:
        con.close()
    for c in ("report_date", "announce_date"):
        df[c] = df[c].astype("datetime64[ns]")
    return df.set_index("order_book_id")


def _has_table(name: str) -> bool:
    """Whether the store has table `name` (stores written before it existed do not)."""
    tables = _store.cached("tables", lambda con: {r[0] for r in con.execute(
        "SELECT table_name FROM duckdb_tables()").fetchall()})
    return name in tables


def _long_table(table, allowed, dtype, start_date, end_date, fields, order_book_ids) -> pd.DataFrame:
    """`_long_query` over a per-stock daily table, or an empty frame of its columns for a store written
    before the table existed."""
    fields = _fields(fields, allowed)
    if not _has_table(table):
        return pd.DataFrame({"date": pd.Series([], dtype="datetime64[ns]"),
                             "order_book_id": pd.Series([], dtype=object),
                             **{f: pd.Series([], dtype=dtype) for f in fields}})
    return _long_query(table, "date", start_date, end_date, fields, order_book_ids,
                       ["date", "order_book_id"], "date, order_book_id")


def get_daily_flags(start_date, end_date, fields=None, order_book_ids=None) -> pd.DataFrame:
    """Long DataFrame [date, order_book_id, *fields] of the per-stock daily flags in [start, end]: fields out of
    suspended (no trade all day), limit_up, limit_down (closed at the day's upper / lower price limit), all when
    None. Only the rows the store has: a stock and day without a row has no flag set."""
    return _long_table("daily_flags", _FLAG_FIELDS, bool, start_date, end_date, fields, order_book_ids)


def get_daily_bars(start_date, end_date, fields=None, order_book_ids=None) -> pd.DataFrame:
    """Long DataFrame [date, order_book_id, *fields] of the daily bars in [start, end], sorted by date and id:
    fields out of open, close (unadjusted prices), volume (shares), value (traded value, currency units) and
    adj_factor (close * adj_factor is the adjusted price: the ratio of two days' adjusted closes is the total
    return between them), all when None. A stock has a bar only on the days it traded: none while suspended."""
    return _long_table("daily_bars", BAR_FIELDS, float, start_date, end_date, fields, order_book_ids)


def get_st_status(order_book_ids, start_date, end_date) -> pd.DataFrame:
    """Whether each stock was under special treatment (ST) on each trading date of [start, end]: a bool
    DataFrame indexed by the trading dates (DatetimeIndex ``date``), one column per requested id in the given
    order (False for ids the store has no ST period for, unknown ids included)."""
    from .calendar import _d64, calendar

    ids = _id_list(order_book_ids)
    s, e = _d64(start_date), _d64(end_date)
    if s > e:
        raise DataError(f"start {s} is after end {e}")
    dates = calendar().dates
    dates = dates[(dates >= s) & (dates <= e)]
    out = np.zeros((len(dates), len(ids)), dtype=bool)
    if len(ids) and len(dates) and _has_table("st_status"):
        con = connect().cursor()
        try:
            con.register("_ids", pa.table({"order_book_id": pa.array(ids, pa.string()),
                                           "pos": pa.array(np.arange(len(ids), dtype=np.int32))}))
            got = con.execute("SELECT pos, start_date, end_date FROM st_status JOIN _ids USING (order_book_id) "
                              "WHERE start_date <= ? AND (end_date IS NULL OR end_date > ?)",
                              [e.item(), s.item()]).df()
        finally:
            con.close()
        lo = pd.to_datetime(got["start_date"]).to_numpy(dtype="datetime64[D]")
        hi = pd.to_datetime(got["end_date"]).to_numpy(dtype="datetime64[D]")
        for p, a, b in zip(got["pos"].to_numpy(dtype=np.int64), lo, hi):
            out[:, p] |= (dates >= a) & (np.isnat(b) | (dates < b))
    index = pd.DatetimeIndex(dates.astype("datetime64[ns]"), name="date")
    return pd.DataFrame(out, index=index, columns=pd.Index(ids, dtype=object))
