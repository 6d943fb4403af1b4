"""Load a user's own CSV or Parquet files (long formats, see docs/market-data.md) into a new market database.

Every file is validated before anything is written; the first problem found is raised as a
`ValidationError` naming the file and the data row (1-based, header not counted). The database is built in a
temporary file and renamed over the output only when complete.
"""

from __future__ import annotations

import datetime as _dt
import os
from pathlib import Path

import numpy as np
import pandas as pd

from ._errors import ValidationError
from ._schema import write_database

__all__ = ["FORMATS", "import_files"]

# table -> (required columns, optional columns, date columns, numeric columns, key)
FORMATS = {
    "instruments": (["order_book_id", "type", "listed_date"],
                    ["symbol", "de_listed_date", "exchange", "industry_sw", "industry_citics"],
                    ["listed_date", "de_listed_date"], [], ["order_book_id"]),
    "trading_dates": (["date"], [], ["date"], [], ["date"]),
    "prices": (["date", "order_book_id", "rate"], [], ["date"], ["rate"], ["date", "order_book_id"]),
    "index_weights": (["index_id", "date", "order_book_id", "weight"], [], ["date"], ["weight"],
                      ["index_id", "date", "order_book_id"]),
    "stock_daily": (["date", "order_book_id"], ["market_cap", "float_market_cap", "turnover"], ["date"],
                    ["market_cap", "float_market_cap", "turnover"], ["date", "order_book_id"]),
    "fundamentals": (["order_book_id", "report_date", "announce_date"],
                     ["book_value", "earnings", "sales", "total_debt"], ["report_date", "announce_date"],
                     ["book_value", "earnings", "sales", "total_debt"],
                     ["order_book_id", "report_date", "announce_date"]),
    "industries": (["source", "code"], ["name"], [], [], ["source", "code"]),
}
_TABLE_OF = {"prices": "price_change_rate"}
_NOT_DELISTED = {"", "0000-00-00"}
_WEIGHT_SUM_TOL = 1e-4


class _File:
    """One input file and its rows, with row-numbered rejections."""

    def __init__(self, kind: str, path):
        self.kind, self.path = kind, Path(path)
        self.csv = self.path.suffix.lower() not in (".parquet", ".pq")
        if not self.path.exists():
            raise ValidationError(f"{kind} file {str(self.path)!r} does not exist", self.path)
        try:
            if self.csv:
                self.df = pd.read_csv(self.path, dtype=str, keep_default_na=False, na_values=[])
            else:
                self.df = pd.read_parquet(self.path)
        except Exception as e:  # any reader failure is a bad file, reported as such
            raise ValidationError(f"{self.path}: cannot read the {kind} file: {e}", self.path) from e
        self.df = self.df.reset_index(drop=True)

    def reject(self, bad: np.ndarray, what: str):
        bad = np.asarray(bad, dtype=bool)
        if not bad.any():
            return
        rows = np.flatnonzero(bad)
        r = int(rows[0]) + 1
        where = f"row {r}" + (f" (line {r + 1})" if self.csv else "")
        more = f" (and {len(rows) - 1} more rows)" if len(rows) > 1 else ""
        raise ValidationError(f"{self.path}: {where}: {what}{more}", self.path, r)

    def value(self, col: str, i: int):
        return self.df[col].iloc[i] if i < len(self.df) else None


def _blank(s: pd.Series) -> np.ndarray:
    if s.dtype == object or pd.api.types.is_string_dtype(s):
        return (s.isna() | (s.astype(str).str.strip() == "")).to_numpy()
    return s.isna().to_numpy()


def _check_columns(f: _File):
    req, opt, *_ = FORMATS[f.kind]
    cols = list(f.df.columns)
    missing = [c for c in req if c not in cols]
    if missing:
        raise ValidationError(f"{f.path}: missing column(s) {missing}; a {f.kind} file has columns "
                              f"{req} and optionally {opt}", f.path)
    unknown = [c for c in cols if c not in req + opt]
    if unknown:
        raise ValidationError(f"{f.path}: unknown column(s) {unknown}; a {f.kind} file has columns "
                              f"{req} and optionally {opt}", f.path)
    for c in opt:
        if c not in cols:
            f.df[c] = None


def _parse_dates(f: _File, col: str, allow_blank: bool = False):
    s = f.df[col]
    if pd.api.types.is_datetime64_any_dtype(s):
        parsed = s.dt.normalize()
        blank = s.isna().to_numpy()
    elif s.notna().any() and isinstance(s[s.notna()].iloc[0], _dt.date):  # Parquet date columns
        blank = s.isna().to_numpy()
        parsed = pd.to_datetime(s, errors="coerce")
    else:
        text = s.astype(object).where(s.notna(), "").astype(str).str.strip()
        blank = text.isin(_NOT_DELISTED if allow_blank else {""}).to_numpy()
        parsed = pd.to_datetime(text.where(~blank, None), format="%Y-%m-%d", errors="coerce")
    if not allow_blank:
        f.reject(blank, f"missing {col}")
    bad = parsed.isna().to_numpy() & ~blank
    f.reject(bad, f"unparseable {col} {f.value(col, _first(bad))!r} (expected YYYY-MM-DD)")
    f.df[col] = pd.Series(parsed.to_numpy(dtype="datetime64[ns]"), index=f.df.index)  # NaT where blank


def _first(mask: np.ndarray) -> int:
    idx = np.flatnonzero(mask)
    return int(idx[0]) if len(idx) else 0


def _parse_numbers(f: _File, col: str, required: bool):
    s = f.df[col]
    blank = _blank(s)
    num = pd.to_numeric(s.where(~blank, None), errors="coerce").astype(float)
    bad = num.isna().to_numpy() & ~blank
    f.reject(bad, f"{col} {f.value(col, _first(bad))!r} is not a number")
    bad = ~np.isfinite(num.to_numpy()) & ~num.isna().to_numpy()
    f.reject(bad, f"{col} is not finite")
    if required:
        f.reject(blank, f"missing {col}" + (" (leave days without a trade out)" if col == "rate" else ""))
    f.df[col] = num


def _check_text(f: _File, cols):
    for c in cols:
        f.reject(_blank(f.df[c]), f"missing {c}")
        f.df[c] = f.df[c].astype(str).str.strip()


def _check_duplicates(f: _File):
    key = FORMATS[f.kind][4]
    dup = f.df.duplicated(key, keep="first").to_numpy()
    if dup.any():
        i = _first(dup)
        first = int(np.flatnonzero((f.df[key] == f.df[key].iloc[i]).all(axis=1).to_numpy())[0]) + 1
        f.reject(dup, f"duplicate {', '.join(key)} {tuple(f.df[key].iloc[i])} (first seen in row {first})")


def _load(kind: str, path) -> _File:
    f = _File(kind, path)
    _check_columns(f)
    req, opt, dates, nums, key = FORMATS[kind]
    text = [c for c in req if c not in dates and c not in nums]
    _check_text(f, text)
    for c in dates:
        _parse_dates(f, c, allow_blank=(c == "de_listed_date"))
    for c in nums:
        _parse_numbers(f, c, required=c in req)
    for c in opt:
        if c not in dates and c not in nums:
            f.df[c] = f.df[c].where(~_blank(f.df[c]), None)
    _check_duplicates(f)
    return f


def _unknown_ids(f: _File, col: str, known: set, what="order_book_id"):
    bad = ~f.df[col].isin(known).to_numpy()
    f.reject(bad, f"unknown {what} {f.value(col, _first(bad))!r} (not in the instruments file)")


def import_files(out, *, instruments, prices, trading_dates=None, index_weights=None, stock_daily=None,
                 fundamentals=None, industries=None, label: str | None = None,
                 overwrite: bool = False) -> Path:
    """Validate the given files and write them as a new market database at `out`.

    Raises `ValidationError` (naming the file and row) on the first problem; `out` is then left as it was.
    An existing `out` is replaced only with `overwrite=True`.
    """
    out = Path(out)
    if out.exists() and not overwrite:
        raise ValidationError(f"{out} exists (pass overwrite=True / --force to replace it)", out)
    inst = _load("instruments", instruments)
    df = inst.df
    bad = df["de_listed_date"].notna().to_numpy() & (
        df["de_listed_date"].fillna(df["listed_date"]) <= df["listed_date"]).to_numpy()
    inst.reject(bad, "de_listed_date is not after listed_date")
    known = set(df["order_book_id"])
    lo = dict(zip(df["order_book_id"], df["listed_date"]))
    hi = dict(zip(df["order_book_id"], df["de_listed_date"]))

    pr = _load("prices", prices)
    _unknown_ids(pr, "order_book_id", known)
    if not len(pr.df):
        raise ValidationError(f"{pr.path}: no price rows", pr.path)
    rate = pr.df["rate"].to_numpy()
    pr.reject(rate <= -1.0, f"rate {pr.value('rate', _first(rate <= -1.0))!r} is a loss of 100% or more")
    d = pr.df["date"]
    listed = pr.df["order_book_id"].map(lo)
    delisted = pr.df["order_book_id"].map(hi)
    pr.reject((d < listed).to_numpy(), "price row dated before the instrument's listed_date")
    after = delisted.notna().to_numpy() & (d >= delisted.fillna(d.max())).to_numpy()
    pr.reject(after, "price row dated on or after the instrument's de_listed_date")

    if trading_dates is not None:
        td = _load("trading_dates", trading_dates)
        cal = td.df["date"].sort_values(ignore_index=True)
        bad = ~d.isin(cal).to_numpy()
        pr.reject(bad, f"date {d.iloc[_first(bad)]} is not in the trading dates file")
    else:
        cal = pd.Series(np.unique(d.to_numpy()), name="date")

    tables = {"instruments": df[["order_book_id", "symbol", "type", "listed_date", "de_listed_date",
                                 "exchange", "industry_sw", "industry_citics"]],
              "trading_dates": pd.DataFrame({"date": cal}),
              "price_change_rate": pr.df[["date", "order_book_id", "rate"]]}
    if index_weights is not None:
        w = _load("index_weights", index_weights)
        _unknown_ids(w, "index_id", known, "index_id")
        _unknown_ids(w, "order_book_id", known)
        wt = w.df["weight"].to_numpy()
        w.reject(wt < 0, "negative weight")
        sums = w.df.groupby(["index_id", "date"])["weight"].transform("sum").to_numpy()
        off = np.abs(sums - 1.0) > _WEIGHT_SUM_TOL
        total = sums[_first(off)] if off.any() else 1.0
        w.reject(off, f"the weights of this index and date sum to {total:.6g}, not 1")
        tables["index_weights"] = w.df
    if stock_daily is not None:
        sd = _load("stock_daily", stock_daily)
        _unknown_ids(sd, "order_book_id", known)
        for c in ("market_cap", "float_market_cap", "turnover"):
            v = sd.df[c].to_numpy()
            sd.reject(v < 0, f"negative {c}")
        tables["stock_daily"] = sd.df
    if fundamentals is not None:
        fu = _load("fundamentals", fundamentals)
        _unknown_ids(fu, "order_book_id", known)
        early = (fu.df["announce_date"] < fu.df["report_date"]).to_numpy()
        fu.reject(early, "announce_date before report_date")
        for c in ("sales", "total_debt"):
            fu.reject(fu.df[c].to_numpy() < 0, f"negative {c}")
        tables["fundamentals"] = fu.df
    if industries is not None:
        tables["industries"] = _load("industries", industries).df
    meta = {"label": label or "imported market data", "generator": "zorvata.importer",
            "data_start": str(d.min().date()), "data_end": str(d.max().date()),
            "source_files": os.pathsep.join(str(Path(p).resolve()) for p in
                                            (instruments, prices, trading_dates, index_weights, stock_daily,
                                             fundamentals, industries) if p is not None)}
    return write_database(out, tables, meta)
