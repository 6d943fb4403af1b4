"""The tables of a market database and the one routine that writes a complete database file."""

from __future__ import annotations

import datetime as _dt
import os
import uuid
from pathlib import Path

import duckdb

from .infra import atomic_path

SCHEMA_VERSION = "4"

TABLES = {
    "meta": """
        key VARCHAR PRIMARY KEY,
        value VARCHAR NOT NULL""",
    "instruments": """
        order_book_id VARCHAR PRIMARY KEY,
        symbol VARCHAR,
        type VARCHAR NOT NULL,
        listed_date DATE NOT NULL,
        de_listed_date DATE,
        exchange VARCHAR,
        industry_sw VARCHAR,
        industry_citics VARCHAR""",
    "industries": """
        source VARCHAR NOT NULL,
        code VARCHAR NOT NULL,
        name VARCHAR,
        PRIMARY KEY (source, code)""",
    # Point-in-time industry membership: `code` holds from `start_date` (inclusive) until `end_date`
    # (exclusive; NULL while current). One row per stock and period under each classification scheme.
    "industry_history": """
        source VARCHAR NOT NULL,
        order_book_id VARCHAR NOT NULL,
        code VARCHAR NOT NULL,
        start_date DATE NOT NULL,
        end_date DATE,
        PRIMARY KEY (source, order_book_id, start_date)""",
    "trading_dates": """
        date DATE PRIMARY KEY""",
    "price_change_rate": """
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        rate DOUBLE NOT NULL""",
    "index_weights": """
        index_id VARCHAR NOT NULL,
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        weight DOUBLE NOT NULL""",
    "stock_daily": """
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        market_cap DOUBLE,
        float_market_cap DOUBLE,
        turnover DOUBLE""",
    "fundamentals": """
        order_book_id VARCHAR NOT NULL,
        report_date DATE NOT NULL,
        announce_date DATE NOT NULL,
        book_value DOUBLE,
        earnings DOUBLE,
        sales DOUBLE,
        total_debt DOUBLE""",
    # Special-treatment periods: the stock is marked ST from `start_date` (inclusive) until `end_date`
    # (exclusive; NULL while current).
    "st_status": """
        order_book_id VARCHAR NOT NULL,
        start_date DATE NOT NULL,
        end_date DATE,
        PRIMARY KEY (order_book_id, start_date)""",
    # Per stock and trading day: suspended all day, closed at the upper / lower daily price limit.
    "daily_flags": """
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        suspended BOOLEAN NOT NULL,
        limit_up BOOLEAN NOT NULL,
        limit_down BOOLEAN NOT NULL""",
    # Daily bars of the days a stock traded (a suspended day has none): the unadjusted open and close, the
    # shares traded and their value (currency units), and the adjustment factor: close * adj_factor is the
    # price on one scale across splits, bonus shares and dividends, so that the ratio of two days' adjusted
    # closes is the total return between them.
    "daily_bars": """
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        open DOUBLE,
        close DOUBLE NOT NULL,
        volume DOUBLE,
        value DOUBLE,
        adj_factor DOUBLE NOT NULL""",
    # A user's own risk model, one set per date: exposures (long), the factor covariance and the specific
    # variances, in units of one trading day.
    "custom_exposures": """
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        factor VARCHAR NOT NULL,
        exposure DOUBLE NOT NULL""",
    "custom_factor_cov": """
        date DATE NOT NULL,
        factor_1 VARCHAR NOT NULL,
        factor_2 VARCHAR NOT NULL,
        cov DOUBLE NOT NULL""",
    "custom_specific_var": """
        date DATE NOT NULL,
        order_book_id VARCHAR NOT NULL,
        specific_var DOUBLE NOT NULL""",
}

#: Keys the importer enforces (the long tables carry no index: a key on 25 million rows costs more memory
#: than the whole import may use).
KEYS = {
    "instruments": ("order_book_id",),
    "industries": ("source", "code"),
    "industry_history": ("source", "order_book_id", "start_date"),
    "trading_dates": ("date",),
    "price_change_rate": ("date", "order_book_id"),
    "index_weights": ("index_id", "date", "order_book_id"),
    "stock_daily": ("date", "order_book_id"),
    "fundamentals": ("order_book_id", "report_date", "announce_date"),
    "st_status": ("order_book_id", "start_date"),
    "daily_flags": ("date", "order_book_id"),
    "daily_bars": ("date", "order_book_id"),
    "custom_exposures": ("date", "order_book_id", "factor"),
    "custom_factor_cov": ("date", "factor_1", "factor_2"),
    "custom_specific_var": ("date", "order_book_id"),
}

#: Order in which each table's rows are written (the readers rely on date-sorted long tables).
SORT = {
    "instruments": "order_book_id",
    "industries": "source, code",
    "industry_history": "source, order_book_id, start_date",
    "trading_dates": "date",
    "price_change_rate": "date, order_book_id",
    "index_weights": "index_id, date, order_book_id",
    "stock_daily": "date, order_book_id",
    "fundamentals": "announce_date, order_book_id, report_date",
    "st_status": "order_book_id, start_date",
    "daily_flags": "date, order_book_id",
    "daily_bars": "date, order_book_id",
    "custom_exposures": "date, order_book_id, factor",
    "custom_factor_cov": "date, factor_1, factor_2",
    "custom_specific_var": "date, order_book_id",
}


def columns(table: str) -> list[str]:
    """The column names of one of `TABLES`, in order."""
    return [c.split()[0] for c in TABLES[table].strip().splitlines() if not c.strip().startswith("PRIMARY")]


def new_data_version() -> str:
    """A fresh value for the ``data_version`` meta key, written by every writer of a store on every write."""
    return uuid.uuid4().hex


def write_database(out: str | os.PathLike, tables: dict, meta: dict, extra_tables: dict | None = None,
                   presorted: tuple = ()) -> Path:
    """Write a complete database to `out`: into a temporary file beside it, renamed over `out` at the end.

    `tables` maps the names of `TABLES` to pandas DataFrames or arrow tables holding their columns;
    `extra_tables` adds tables created from the given frames as they are; tables named in `presorted` are
    already in `SORT` order and are written as given. A failure leaves `out` untouched. The meta key
    ``data_version`` gets a fresh value (unless `meta` names one).
    """
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    with atomic_path(out) as tmp:
        con = duckdb.connect(str(tmp))
        try:
            con.execute("SET preserve_insertion_order = true")
            for name, cols in TABLES.items():
                con.execute(f"CREATE TABLE {name} ({cols})")
            meta = {"schema_version": SCHEMA_VERSION,
                    "created_at": _dt.datetime.now(_dt.UTC).isoformat(timespec="seconds"),
                    "data_version": new_data_version(), **meta}
            con.executemany("INSERT INTO meta VALUES (?, ?)", [(k, str(v)) for k, v in meta.items()])
            for name, data in tables.items():
                if name not in TABLES or name == "meta":
                    raise ValueError(f"unknown table {name!r}")
                con.register("_src", data)
                collist = ", ".join(columns(name))
                order = f" ORDER BY {SORT[name]}" if name in SORT and name not in presorted else ""
                con.execute(f"INSERT INTO {name} ({collist}) SELECT {collist} FROM _src{order}")
                con.unregister("_src")
            for name, data in (extra_tables or {}).items():
                con.register("_src", data)
                con.execute(f"CREATE TABLE {name} AS SELECT * FROM _src")
                con.unregister("_src")
            con.execute("CHECKPOINT")
        finally:
            con.close()
    return out
