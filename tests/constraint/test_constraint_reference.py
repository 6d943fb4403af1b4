"""The constraint library against an independent high-accuracy solve (Clarabel) of the same mathematics,
written here from the helper's data with plain numpy and cvxpy."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
from velquor.const import STYLE_FACTORS
from velquor.constraint import (
    IndustryComponentLimit,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    WildcardStyleConstraint,
)
from velquor.objective import MinVariance

from constraint_support import DATE, INDEX, helper, make_pool, tracking_error, turnover


@pytest.fixture(scope="module")
def pool(market_db):
    return make_pool()


def test_five_kinds_together_match_the_reference(pool):
    h = helper(pool)
    holdings = pd.Series(0.1, index=pool[:10])
    cons = [TrackingErrorLimit(0.165), TurnoverLimit(holdings, 0.8),
            WildcardIndustryConstraint(-0.12, 0.12, relative=True), WildcardStyleConstraint(-0.5, 0.5, relative=True),
            IndustryComponentLimit("SW05", upper_limit=0.12)]
    result = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=cons, benchmark=INDEX)

    n, m = len(pool), len(h.union_components)
    b = h.benchmark_weight.to_numpy()
    bp = b / b.sum()
    codes = h.get_union_industry().to_numpy(dtype=object)
    x = h.get_union_style_exposure()[STYLE_FACTORS].to_numpy()
    te_cov = np.asarray(h.get_union_model_cov_matrix())
    w = cp.Variable(n, nonneg=True)
    wu = cp.hstack([w, np.zeros(m - n)])
    active = wu - b
    hp = holdings.reindex(pool, fill_value=0.0).to_numpy()
    rows = [cp.sum(w) == 1,
            h.annualization_factor * cp.quad_form(active, te_cov, assume_PSD=True) <= 0.165 ** 2,
            0.5 * (cp.norm1(w - hp) + 1 - hp.sum()) <= 0.8,
            cp.abs(x.T @ (wu - bp)) <= 0.5,
            w[codes[:n] == "SW05"] <= 0.12]
    for code in {c for c in codes if c is not None}:
        member = (codes == code).astype(float)
        rows.append(cp.abs(member @ (wu - bp)) <= 0.12)
    reference = cp.Problem(cp.Minimize(cp.quad_form(w, np.asarray(h.get_cov_matrix()), assume_PSD=True)), rows)
    reference.solve(solver=cp.CLARABEL)
    assert reference.status == cp.OPTIMAL

    # The tracking error and the turnover bind, in both solutions.
    expected = pd.Series(w.value, index=pool)
    assert tracking_error(expected, h) == pytest.approx(0.165, abs=1e-6)
    assert turnover(expected, holdings) == pytest.approx(0.8, abs=1e-4)
    assert tracking_error(result, h) == pytest.approx(tracking_error(expected, h), abs=2e-3)
    assert turnover(result, holdings) == pytest.approx(turnover(expected, holdings), abs=2e-3)
    np.testing.assert_allclose(result.to_numpy(), w.value, atol=5e-3)
