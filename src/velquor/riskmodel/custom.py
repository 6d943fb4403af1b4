"""A user's own risk model (one bought from a vendor, say), imported into the market data and served by the
helper like the estimated ones (``risk_model="custom"``).

The store holds per date: exposures per stock and factor (``custom_exposures``), the factor covariance
(``custom_factor_cov``, either triangle or both; entries not given are 0) and specific variances
(``custom_specific_var``), all in units of one trading day. The importer checks them (keys, a variance and
exposures for every factor, a specific variance for every stock with exposures, symmetry, positive
semi-definiteness). A request for date d uses the latest set dated on or before the trading day before d,
like the estimated model's point-in-time rule; the helper scales it to the horizon of ``cov_model`` (21 or 63
trading days).

Factors are in alphabetical order. Factors named like the estimated model's styles (`STYLE_FACTORS`) are the
model's styles for `OptimizeHelper.get_benchmark_style` (0 where the model has no such factor).
"""

from __future__ import annotations

import datetime as _dt

import numpy as np
import pandas as pd

import zorvata
from zorvata.calendar import calendar
from zorvata.infra import LRUCache

from ..const import STYLE_FACTORS, CovModel
from ..exception import InvalidArgument
from .params import HORIZONS
from .service import previous_close
from .store import psd_root

__all__ = ["CustomModel", "model_for"]

_cache: LRUCache[CustomModel] = LRUCache(8)


class CustomModel:
    """One date's imported model, scaled to a horizon, in the shape the helper reads."""

    def __init__(
        self,
        asof: _dt.date,
        ids: list[str],
        factors: list[str],
        exposures: np.ndarray,
        factor_cov: np.ndarray,
        specific_var: np.ndarray,
    ):
        self.asof = asof
        self.ids = ids
        self.factor_names = factors
        self.exposures = exposures  # (n, K)
        self.factor_cov = factor_cov  # (K, K)
        self.specific_var = specific_var  # (n,)
        self.position = {k: i for i, k in enumerate(ids)}
        cols = {f: i for i, f in enumerate(factors)}
        self.style = np.zeros((len(ids), len(STYLE_FACTORS)))
        for j, s in enumerate(STYLE_FACTORS):
            if s in cols:
                self.style[:, j] = exposures[:, cols[s]]
        self.cov_root = psd_root(factor_cov)

    def design(self, rows: np.ndarray) -> np.ndarray:
        return self.exposures[rows]

    def exposure_frame(self, rows: np.ndarray, index) -> pd.DataFrame:
        return pd.DataFrame(
            self.exposures[rows], index=pd.Index(index, dtype=object), columns=list(self.factor_names)
        )


def _previous_trading_date(date: _dt.date) -> _dt.date:
    # the calendar and the end of the prices as the market-data client reads them
    cal = calendar()
    last = int(np.searchsorted(cal.dates, cal.data_end, side="right")) - 1
    return cal.dates[previous_close(cal.dates, last, date)].item()


def model_for(date: _dt.date, cov_model: CovModel) -> tuple[_dt.date, CustomModel]:
    """(the trading day before `date`, the imported model in force then, scaled to `cov_model`'s horizon)."""
    prev = _previous_trading_date(date)
    con = zorvata.connect().cursor()
    try:
        has = con.execute(
            "SELECT count(*) FROM duckdb_tables() WHERE table_name = 'custom_factor_cov'"
        ).fetchone()[0]
        (asof,) = (
            con.execute("SELECT max(date) FROM custom_factor_cov WHERE date <= ?", [prev]).fetchone()
            if has
            else (None,)
        )
        if asof is None:
            raise InvalidArgument(
                f"the market data has no custom risk model dated on or before {prev.isoformat()} "
                "(import one with "
                "`python -m zorvata import --append --custom-exposures ... --custom-factor-cov ... "
                "--custom-specific-var ...`)"
            )
        key = (str(zorvata.db_path()), zorvata.meta().get("data_version"), asof)
        daily = _cache.get_or_make(key, lambda: _load(con, asof))
    finally:
        con.close()
    days = HORIZONS[cov_model].days
    if days == 1:
        return prev, daily
    return prev, CustomModel(
        daily.asof,
        daily.ids,
        daily.factor_names,
        daily.exposures,
        daily.factor_cov * days,
        daily.specific_var * days,
    )


def _load(con, asof: _dt.date) -> CustomModel:
    ex = con.execute(
        "SELECT order_book_id, factor, exposure FROM custom_exposures WHERE date = ?", [asof]
    ).df()
    cov = con.execute("SELECT factor_1, factor_2, cov FROM custom_factor_cov WHERE date = ?", [asof]).df()
    sv = con.execute(
        "SELECT order_book_id, specific_var FROM custom_specific_var WHERE date = ? ORDER BY order_book_id",
        [asof],
    ).df()
    factors = sorted(set(cov["factor_1"]) | set(cov["factor_2"]) | set(ex["factor"]))
    ids = sv["order_book_id"].tolist()
    f_pos = {f: i for i, f in enumerate(factors)}
    i_pos = {k: i for i, k in enumerate(ids)}
    x = np.zeros((len(ids), len(factors)))
    rows = ex["order_book_id"].map(i_pos)
    if rows.isna().any():  # the importer refuses this; a store written otherwise gets a clear error
        raise InvalidArgument(
            f"custom risk model of {asof.isoformat()}: {ex['order_book_id'][rows.isna()].iloc[0]} "
            "has exposures but no specific variance"
        )
    x[rows.to_numpy(dtype=np.intp), ex["factor"].map(f_pos).to_numpy(dtype=np.intp)] = ex[
        "exposure"
    ].to_numpy()
    f = np.zeros((len(factors), len(factors)))
    a = cov["factor_1"].map(f_pos).to_numpy(dtype=np.intp)
    b = cov["factor_2"].map(f_pos).to_numpy(dtype=np.intp)
    f[a, b] = cov["cov"].to_numpy()
    f[b, a] = cov["cov"].to_numpy()
    return CustomModel(asof, ids, factors, x, f, sv["specific_var"].to_numpy(dtype=np.float64))
