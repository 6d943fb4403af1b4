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

from .constraint_support import DATE, INDEX, helper, tracking_error, turnover

INDUSTRY_GAP, STYLE_GAP, COMPONENT_CAP = 0.12, 0.5, 0.12


class Reference:
    """Minimum variance under the five kinds' mathematics, with the limits that are given."""

    def __init__(self, pool, holdings):
        h = self.h = helper(pool)
        self.n, m = len(pool), len(h.union_components)
        self.b = h.benchmark_weight.to_numpy()
        self.bp = self.b / self.b.sum()
        self.codes = h.get_union_industry().to_numpy(dtype=object)
        self.x = h.get_union_style_exposure()[STYLE_FACTORS].to_numpy()
        self.te_cov = np.asarray(h.get_union_model_cov_matrix())
        self.cov = np.asarray(h.get_cov_matrix())
        self.hp = holdings.reindex(pool, fill_value=0.0).to_numpy()
        self.extra = m - self.n

    def solve(self, minimise="variance", te=None, one_way=None):
        w = cp.Variable(self.n, nonneg=True)
        wu = cp.hstack([w, np.zeros(self.extra)])
        te_sq = self.h.annualization_factor * cp.quad_form(wu - self.b, self.te_cov, assume_PSD=True)
        trade = 0.5 * (cp.norm1(w - self.hp) + 1 - self.hp.sum())
        rows = [cp.sum(w) == 1,
                cp.abs(self.x.T @ (wu - self.bp)) <= STYLE_GAP,
                w[self.codes[: self.n] == "SW05"] <= COMPONENT_CAP]
        for code in {c for c in self.codes if c is not None}:
            rows.append(cp.abs((self.codes == code).astype(float) @ (wu - self.bp)) <= INDUSTRY_GAP)
        if te is not None:
            rows.append(te_sq <= te ** 2)
        if one_way is not None:
            rows.append(trade <= one_way)
        goal = {"variance": cp.quad_form(w, self.cov, assume_PSD=True), "te": te_sq, "turnover": trade}[minimise]
        problem = cp.Problem(cp.Minimize(goal), rows)
        problem.solve(solver=cp.CLARABEL)
        assert problem.status == cp.OPTIMAL
        return pd.Series(w.value, index=self.h.order_book_ids)


def test_five_kinds_together_match_the_reference(pool):
    holdings = pd.Series(0.1, index=pool[:10])
    ref = Reference(pool, holdings)
    # Limits halfway between what the other constraints allow at best and what the objective would choose:
    # feasible, and binding.
    free = ref.solve()
    te_limit = (tracking_error(ref.solve("te"), ref.h) + tracking_error(free, ref.h)) / 2
    within = ref.solve(te=te_limit)
    one_way = (turnover(ref.solve("turnover", te=te_limit), holdings) + turnover(within, holdings)) / 2
    expected = ref.solve(te=te_limit, one_way=one_way)
    assert tracking_error(expected, ref.h) == pytest.approx(te_limit, abs=1e-4)
    assert turnover(expected, holdings) == pytest.approx(one_way, abs=1e-4)

    cons = [TrackingErrorLimit(te_limit), TurnoverLimit(holdings, one_way),
            WildcardIndustryConstraint(-INDUSTRY_GAP, INDUSTRY_GAP, relative=True),
            WildcardStyleConstraint(-STYLE_GAP, STYLE_GAP, relative=True),
            IndustryComponentLimit("SW05", upper_limit=COMPONENT_CAP)]
    result = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=cons, benchmark=INDEX)
    assert tracking_error(result, ref.h) == pytest.approx(te_limit, abs=2e-3)
    assert turnover(result, holdings) == pytest.approx(one_way, abs=2e-3)
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), atol=5e-3)
