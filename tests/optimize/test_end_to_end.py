"""portfolio_optimize on the session's fixture market with the real risk model, index benchmark and
objectives, checked against the same problems solved independently (Clarabel) on the helper's data."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
from velquor.benchmark import IndexBenchmark
from velquor.const import CovModel, RiskModel
from velquor.exception import OptimizerWarning
from velquor.helper import OptimizeHelper
from velquor.objective import MaxSharpeRatio, MeanVariance, MinTrackingError, RiskParity

from ..market_pools import half_index_and_outsiders

DATE = "2026-06-01"
INDEX = "000300.XSHG"
#: weights of an SCS solve at its default accuracy against a high-accuracy one
ATOL = 2e-3


@pytest.fixture(scope="module")
def pool(market_db):
    """Half of the index's constituents and a few stocks outside it, in ascending order."""
    return half_index_and_outsiders(INDEX, DATE, 12)


def helper(pool, benchmark=None):
    return OptimizeHelper(pool, opt.to_date(DATE), benchmark, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)


def clarabel_min(expr_of, n, constraints_of=lambda w: []):
    w = cp.Variable(n, nonneg=True)
    problem = cp.Problem(cp.Minimize(expr_of(w)), [cp.sum(w) == 1, *constraints_of(w)])
    problem.solve(solver=cp.CLARABEL)
    assert problem.status == cp.OPTIMAL
    return w.value


def check(result, pool, expected):
    assert list(result.index) == pool
    assert result.sum() == pytest.approx(1.0, abs=1e-12)
    assert (result.values >= 0).all()
    np.testing.assert_allclose(result.values, expected, atol=ATOL)


def test_default_objective(pool):
    result = opt.portfolio_optimize(pool, DATE)
    # Daily variances are small numbers; the independent solve works on the same matrix, unscaled.
    cov = helper(pool).get_cov_matrix()
    check(result, pool, clarabel_min(lambda w: cp.quad_form(w, cov), len(pool)))


def test_text_benchmark_tracking(pool):
    result = opt.portfolio_optimize(pool, DATE, MinTrackingError(), benchmark=INDEX)
    h = helper(pool, IndexBenchmark(INDEX))
    cov, b = h.get_union_cov_matrix(), h.benchmark_weight.values
    extra = len(h.union_components) - len(pool)
    assert extra > 0
    check(result, pool, clarabel_min(lambda w: cp.quad_form(cp.hstack([w, np.zeros(extra)]) - b, cov), len(pool)))


def test_risk_parity_contributions_equal(pool):
    result = opt.portfolio_optimize(pool, DATE, RiskParity())
    cov = helper(pool).get_cov_matrix()
    share = result.values * (cov @ result.values)
    share /= share.sum()
    np.testing.assert_allclose(share, 1 / len(pool), rtol=0.05)


def test_bounds_and_soft_constraint_fallback(pool):
    class AtLeastHalfInFirst:
        hard = False

        def to_constraints(self, g, zeta, helper):
            return [g[0] >= 0.5 * zeta]

    bnds = {"*": (0.0, 0.1)}
    with pytest.warns(OptimizerWarning) as w:
        result = opt.portfolio_optimize(pool, DATE, bnds=bnds, cons=[AtLeastHalfInFirst()])
    assert [str(x.message) for x in w] == ["约束无法满足，放弃所有软约束重试"]
    assert w[0].filename == __file__
    cov = helper(pool).get_cov_matrix()
    check(result, pool, clarabel_min(lambda w: cp.quad_form(w, cov), len(pool), lambda w: [w <= 0.1]))


def test_screening_through_the_driver(pool):
    # The index itself is not a stock: dropped with a warning that points here, through the C++ driver.
    with pytest.warns(OptimizerWarning) as w:
        result = opt.portfolio_optimize(pool + [INDEX], DATE)
    assert [str(x.message) for x in w] == [f"{INDEX} 不是股票，被剔除"]
    assert w[0].filename == __file__
    assert list(result.index) == pool


def test_pool_of_one(pool):
    with pytest.warns(OptimizerWarning):
        result = opt.portfolio_optimize([pool[3], INDEX], DATE, None, benchmark=1)
    pd.testing.assert_series_equal(result, pd.Series({pool[3]: 1.0}))


class TestEstimatesPerDate:
    @pytest.mark.parametrize("make", [MaxSharpeRatio, MeanVariance])
    def test_reused_objective_at_a_later_date_equals_a_fresh_one(self, pool, make):
        later = "2026-09-01"
        reused = make()
        opt.portfolio_optimize(pool, DATE, reused)
        first = reused._expected_returns
        again = opt.portfolio_optimize(pool, later, reused)
        fresh = opt.portfolio_optimize(pool, later, make())
        # Same problem, same solver: the same weights; the stored estimate is the later date's.
        np.testing.assert_allclose(again.to_numpy(), fresh.to_numpy(), rtol=0, atol=1e-12)
        assert not reused._expected_returns.equals(first)
