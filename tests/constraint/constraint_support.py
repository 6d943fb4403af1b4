"""Shared pieces of the constraint tests: the request on the fixture market and independent measurements of
the quantities the constraints bound, computed from the helper's data with plain numpy."""

from __future__ import annotations

import numpy as np
import pandas as pd
import zorvata

import velquor.optimize as opt
from velquor.benchmark import IndexBenchmark
from velquor.const import STYLE_FACTORS, CovModel, RiskModel
from velquor.helper import OptimizeHelper

DATE = "2026-06-01"
INDEX = "000300.XSHG"
#: how far SCS at its default accuracy may leave a bound (weights, exposures, annualised tracking error)
TOL = 2e-3


def make_pool() -> list[str]:
    """Half of the index's constituents and forty stocks outside it: the index's other half stays outside
    the pool, so the tracking error cannot reach 0."""
    members = sorted(zorvata.index_weights(INDEX, DATE).index)
    listed = sorted(zorvata.all_instruments("CS", "2026-05-29")["order_book_id"])
    others = [i for i in listed if i not in set(members)]
    return sorted(members[::2] + others[:40])


def helper(pool, benchmark=INDEX, cov_model=CovModel.FACTOR_MODEL_DAILY) -> OptimizeHelper:
    bm = IndexBenchmark(benchmark) if isinstance(benchmark, str) else benchmark
    return OptimizeHelper(pool, opt.to_date(DATE), bm, cov_model, RiskModel.V1, 1.0, 1.0)


def union_active(w: pd.Series, h: OptimizeHelper) -> np.ndarray:
    """Active weights over the union (constituents outside the pool weigh 0) against the raw benchmark."""
    extra = len(h.union_components) - len(h.order_book_ids)
    return np.concatenate([w.reindex(h.order_book_ids).to_numpy(), np.zeros(extra)]) - h.benchmark_weight.to_numpy()


def tracking_error(w: pd.Series, h: OptimizeHelper) -> float:
    """Annualised ex-ante tracking error with the model's covariance, dense."""
    a = union_active(w, h)
    cov = np.asarray(h.get_union_model_cov_matrix())
    return float(np.sqrt(h.annualization_factor * a @ cov @ a))


def turnover(w: pd.Series, holdings: pd.Series) -> float:
    """One-way turnover: half the traded weight over pool and holdings plus the cash invested."""
    ids = sorted(set(w.index) | set(holdings.index))
    new = w.reindex(ids, fill_value=0.0)
    old = holdings.reindex(ids, fill_value=0.0)
    return 0.5 * (float((new - old).abs().sum()) + (1.0 - float(holdings.sum())))


def benchmark_portfolio(h: OptimizeHelper) -> pd.Series:
    b = h.benchmark_weight
    return b / b.sum()


def industry_weights(w: pd.Series, h: OptimizeHelper, classification="sw", relative=False) -> pd.Series:
    """Weight per industry code over the union; relative: minus the benchmark's."""
    codes = h.get_union_industry(classification)
    mine = w.reindex(h.union_components, fill_value=0.0).groupby(codes.to_numpy()).sum()
    if not relative:
        return mine
    theirs = benchmark_portfolio(h).groupby(codes.to_numpy()).sum()
    return mine.sub(theirs, fill_value=0.0)


def style_exposure(w: pd.Series, h: OptimizeHelper, relative=False) -> pd.Series:
    x = h.get_union_style_exposure()
    mine = x.T @ w.reindex(h.union_components, fill_value=0.0)
    if relative:
        mine = mine - x.T @ benchmark_portfolio(h)
    return mine[STYLE_FACTORS]
