"""Every objective solved through portfolio_optimize (SCS) against the same mathematics written out here and
solved independently to high accuracy (Clarabel), on the stand-in helper's covariance."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
from velquor.objective import (ActiveMeanVariance, MaxIndicator, MaxInformationRatio, MaxSharpeRatio,
                               MeanVariance, MinActiveVariance, MinStyleDeviation, MinTrackingError, MinVariance,
                               RiskParity)

from .driver_fakes import DATE, StaticBenchmark, covariance, exposures, install_market

POOL = ["A", "B", "C", "D", "E"]
#: benchmark with one constituent in the pool and two outside it
BENCH = {"A": 0.3, "F": 0.5, "G": 0.2}
UNION = POOL + ["F", "G"]
#: SCS stops at its default accuracy; weights agree with a high-accuracy solve to about this much
ATOL = 1e-3


@pytest.fixture(autouse=True)
def market(monkeypatch):
    return install_market(monkeypatch, ids=POOL + ["F", "G"])


def clarabel(objective, constraints):
    problem = cp.Problem(cp.Minimize(objective), constraints)
    problem.solve(solver=cp.CLARABEL)
    assert problem.status == cp.OPTIMAL
    return problem


def budget_problem(objective_of, lower=0.0, upper=1.0):
    """min objective_of(w) over w >= 0, sum(w) = 1, lower <= w <= upper."""
    w = cp.Variable(len(POOL), nonneg=True)
    clarabel(objective_of(w), [cp.sum(w) == 1, w >= lower, w <= upper])
    return w.value


def active(w):
    b = pd.Series(BENCH).reindex(UNION, fill_value=0.0).values
    return cp.hstack([w, np.zeros(len(UNION) - len(POOL))]) - b


def scaled_risk(mu, cov):
    """The risk scale of the mean-variance objectives: positive-mean return over equal-weight variance."""
    eq = np.repeat(1 / len(mu), len(mu))
    rtn = mu[mu > 0].mean() if (mu > 0).any() else abs(np.sort(mu)[-len(mu) // 4:].mean())
    return rtn / (eq @ cov @ eq)


def ratio_weights(mu, variance_of, lower=0.0, upper=1.0):
    """The homogenised ratio problem: mu'g = 1, sum(g) = zeta, zeta * lower <= g <= zeta * upper."""
    g, zeta = cp.Variable(len(POOL), nonneg=True), cp.Variable(nonneg=True)
    clarabel(variance_of(g, zeta), [g @ mu == 1, cp.sum(g) == zeta, g >= zeta * lower, g <= zeta * upper])
    return g.value / g.value.sum()


def check(result, expected):
    assert list(result.index) == POOL
    assert result.sum() == pytest.approx(1.0, abs=1e-12)
    assert (result.values >= 0).all()
    np.testing.assert_allclose(result.values, expected, atol=ATOL)


class TestVariance:
    def test_min_variance(self):
        cov = covariance(POOL)
        check(opt.portfolio_optimize(POOL, DATE), budget_problem(lambda w: cp.quad_form(w, cov)))

    def test_min_variance_with_bounds(self):
        cov = covariance(POOL)
        result = opt.portfolio_optimize(POOL, DATE, bnds={"*": (0.1, 0.3), "A": (0.25, None)})
        lower = np.array([0.25, 0.1, 0.1, 0.1, 0.1])
        upper = np.array([1.0, 0.3, 0.3, 0.3, 0.3])
        check(result, budget_problem(lambda w: cp.quad_form(w, cov), lower, upper))

    @pytest.mark.parametrize("cls", [MinActiveVariance, MinTrackingError])
    def test_active_variance(self, cls):
        cov = covariance(UNION)
        result = opt.portfolio_optimize(POOL, DATE, cls(), benchmark=StaticBenchmark(BENCH))
        check(result, budget_problem(lambda w: cp.quad_form(active(w), cov)))


class TestMeanVariance:
    MU = pd.Series({"E": 0.02, "A": 0.12, "B": -0.05, "C": 0.2, "X": 5.0})

    @pytest.mark.parametrize("aversion", [1, 3])
    def test_mean_variance(self, aversion):
        cov = covariance(POOL)
        mu = self.MU.reindex(POOL, fill_value=0.0).values
        factor = aversion * scaled_risk(mu, cov)
        result = opt.portfolio_optimize(POOL, DATE, MeanVariance(expected_returns=self.MU,
                                                                 risk_aversion_coefficient=aversion))
        check(result, budget_problem(lambda w: -(w @ mu) + factor * cp.quad_form(w, cov)))

    def test_active_mean_variance(self):
        cov = covariance(UNION)
        mu = self.MU.reindex(UNION, fill_value=0.0).values
        factor = scaled_risk(mu, cov)
        result = opt.portfolio_optimize(POOL, DATE, ActiveMeanVariance(expected_active_returns=self.MU),
                                        benchmark=StaticBenchmark(BENCH))
        check(result, budget_problem(lambda w: -(active(w) @ mu) + factor * cp.quad_form(active(w), cov)))


class TestRiskParity:
    def test_unconstrained(self):
        cov = covariance(POOL)
        g = cp.Variable(len(POOL))
        clarabel(cp.quad_form(g, cov) - cp.sum(cp.log(g)), [])
        result = opt.portfolio_optimize(POOL, DATE, RiskParity())
        check(result, g.value / g.value.sum())
        contributions = result.values * (cov @ result.values)
        np.testing.assert_allclose(contributions / contributions.sum(), 0.2, atol=ATOL)

    def test_with_bounds_budget_is_n(self):
        cov = covariance(POOL)
        n = len(POOL)
        g = cp.Variable(n, nonneg=True)
        clarabel(cp.quad_form(g, cov) - cp.sum(cp.log(g)), [cp.sum(g) == n, g <= 0.25 * n])
        result = opt.portfolio_optimize(POOL, DATE, RiskParity(), bnds={"*": (0, 0.25)})
        check(result, g.value / n)


class TestRatios:
    MU = pd.Series({"A": 0.10, "B": 0.04, "C": 0.15, "D": 0.06, "E": -0.02})

    @pytest.mark.parametrize("bnds, lower, upper", [(None, 0.0, 1.0), ({"*": (0.05, 0.4)}, 0.05, 0.4)])
    def test_max_sharpe_ratio(self, bnds, lower, upper):
        cov = covariance(POOL)
        mu = self.MU.reindex(POOL).values
        result = opt.portfolio_optimize(POOL, DATE, MaxSharpeRatio(expected_returns=self.MU), bnds=bnds)
        check(result, ratio_weights(mu, lambda g, zeta: cp.quad_form(g, cov), lower, upper))

    def test_constant_returns_reduce_to_min_variance(self):
        cov = covariance(POOL)
        result = opt.portfolio_optimize(POOL, DATE, MaxSharpeRatio(expected_returns=pd.Series(0.05, POOL)))
        check(result, budget_problem(lambda w: cp.quad_form(w, cov)))

    def test_max_information_ratio(self):
        cov = covariance(UNION)
        b = pd.Series(BENCH).reindex(UNION, fill_value=0.0).values
        mu = self.MU.reindex(POOL).values

        def active_variance(g, zeta):
            return cp.quad_form(cp.hstack([g, np.zeros(len(UNION) - len(POOL))]) - zeta * b, cov)

        result = opt.portfolio_optimize(POOL, DATE, MaxInformationRatio(expected_active_returns=self.MU),
                                        benchmark=StaticBenchmark(BENCH))
        check(result, ratio_weights(mu, active_variance))


    def test_one_stock_beating_the_benchmark_is_enough(self):
        # Only C has a positive expected active return; the mean is negative. Used as given, the best
        # information ratio holds C and earns +0.005; shifted by the mean it held half A and lost 0.0025.
        cov = covariance(UNION)
        b = pd.Series(BENCH).reindex(UNION, fill_value=0.0).values
        mu = pd.Series({"A": -0.01, "B": -0.03, "C": 0.005, "D": -0.05, "E": -0.02})

        def active_variance(g, zeta):
            return cp.quad_form(cp.hstack([g, np.zeros(len(UNION) - len(POOL))]) - zeta * b, cov)

        result = opt.portfolio_optimize(POOL, DATE, MaxInformationRatio(expected_active_returns=mu),
                                        benchmark=StaticBenchmark(BENCH))
        check(result, ratio_weights(mu.reindex(POOL).values, active_variance))
        assert result.values @ mu.reindex(POOL).values > 0


class TestIndicatorAndStyle:
    def test_max_indicator(self):
        indicator = pd.Series({"A": 2.0, "B": -1.0, "C": 5.0, "D": 0.5, "E": 3.0, "Z": 100.0})
        result = opt.portfolio_optimize(POOL, DATE, MaxIndicator(indicator), bnds={"*": (0.0, 0.4)})
        check(result, [0.2, 0.0, 0.4, 0.0, 0.4])

    def test_min_style_deviation(self):
        # Two targets over five stocks leave a family of exact solutions: compare the deviation reached.
        x = exposures(POOL)
        target = pd.Series({"size": 0.8, "beta": -0.3})
        priority = pd.Series({"size": 9})
        result = opt.portfolio_optimize(POOL, DATE, MinStyleDeviation(target, priority=priority))

        def deviation(w):
            return 45 * (w @ x["size"].values - 0.8) ** 2 + 25 * (w @ x["beta"].values + 0.3) ** 2

        w = cp.Variable(len(POOL), nonneg=True)
        optimum = clarabel(deviation(w), [cp.sum(w) == 1]).value
        assert result.sum() == pytest.approx(1.0, abs=1e-12)
        assert deviation(result.values) == pytest.approx(optimum, abs=1e-3)


def test_min_variance_subclass_override(monkeypatch):
    """A caller's subclass of MinVariance whose expression adds a penalty on A: the driver solves it."""

    class AvoidA(MinVariance):
        def get_objective_expr(self, g, zeta, helper):
            return super().get_objective_expr(g, zeta, helper) + 0.05 * g[0]

    cov = covariance(POOL)
    result = opt.portfolio_optimize(POOL, DATE, AvoidA())
    check(result, budget_problem(lambda w: cp.quad_form(w, cov) + 0.05 * w[0]))
