"""Variance objectives and risk parity: expression values against numpy, the union extension, solutions."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pytest

import velquor.objective as obj

from .objective_fakes import FakeHelper, value_at, variable

COV = np.array([[0.04, 0.01, 0.0], [0.01, 0.09, 0.02], [0.0, 0.02, 0.16]])
UNION_COV = np.diag([0.04, 0.09, 0.16, 0.01, 0.25]) + 0.005
W = np.array([0.5, 0.3, 0.2])


def test_min_variance_is_the_quadratic_form():
    g = variable(3)
    helper = FakeHelper(["A", "B", "C"], cov=COV)
    expr = obj.MinVariance().get_objective_expr(g, 1.0, helper)
    assert value_at(expr, g, W) == pytest.approx(W @ COV @ W)
    assert helper.calls == ["get_cov_matrix"]


class TestActiveVariance:
    @pytest.mark.parametrize("cls", [obj.MinActiveVariance, obj.MinTrackingError])
    def test_constituents_outside_the_pool_enter_as_zeros_after_the_pool(self, cls):
        b = np.array([0.1, 0.2, 0.3, 0.15, 0.25])
        helper = FakeHelper(["A", "B", "C"], union=["D", "E"], benchmark_weight=b, union_cov=UNION_COV)
        g = variable(3)
        active = np.concatenate([W, [0.0, 0.0]]) - b
        expr = cls().get_objective_expr(g, 1.0, helper)
        assert value_at(expr, g, W) == pytest.approx(active @ UNION_COV @ active)
        assert helper.calls == ["get_union_cov_matrix"]

    @pytest.mark.parametrize("cls", [obj.MinActiveVariance, obj.MinTrackingError])
    def test_pool_equal_to_union_appends_nothing(self, cls):
        b = np.array([0.2, 0.3, 0.5])
        helper = FakeHelper(["A", "B", "C"], benchmark_weight=b, union_cov=COV)
        g = variable(3)
        expr = cls().get_objective_expr(g, 1.0, helper)
        assert value_at(expr, g, W) == pytest.approx((W - b) @ COV @ (W - b))

    def test_information_ratio_scales_the_benchmark_by_the_budget_variable(self):
        b = np.array([0.1, 0.2, 0.3, 0.15, 0.25])
        helper = FakeHelper(["A", "B", "C"], union=["D", "E"], benchmark_weight=b, union_cov=UNION_COV)
        g, zeta = variable(3), cp.Variable(nonneg=True)
        zeta.value = 2.0
        expr = obj.MaxInformationRatio(expected_active_returns={"A": 1.0}).get_objective_expr(g, zeta, helper)
        active = np.concatenate([2 * W, [0.0, 0.0]]) - 2.0 * b
        assert value_at(expr, g, 2 * W) == pytest.approx(active @ UNION_COV @ active)


def test_new_empty_constraint_list_per_call():
    mv = obj.MinVariance()
    first, second = (mv.get_internal_constraints(None, None, None) for _ in range(2))
    assert first == [] and second == [] and first is not second


class TestRiskParity:
    def test_expression_and_no_budget_check(self):
        g = variable(3)
        expr = obj.RiskParity().get_objective_expr(g, 5, FakeHelper(["A", "B", "C"], cov=COV))
        assert value_at(expr, g, W) == pytest.approx(W @ COV @ W - np.log(W).sum())

    @pytest.mark.parametrize("sigma", [(0.1, 0.2), (0.15, 0.3, 0.05)])
    def test_diagonal_covariance_gives_inverse_volatility(self, sigma):
        sigma = np.array(sigma)
        g = variable(len(sigma))
        expr = obj.RiskParity().get_objective_expr(g, len(sigma), FakeHelper(list("ABC")[:len(sigma)],
                                                                              cov=np.diag(sigma**2)))
        problem = cp.Problem(cp.Minimize(expr))
        problem.solve(solver=cp.CLARABEL, tol_gap_abs=1e-12, tol_gap_rel=1e-12, tol_feas=1e-12)
        assert problem.status == cp.OPTIMAL
        assert g.value == pytest.approx(1 / (sigma * np.sqrt(2)), rel=1e-6)
        weights = g.value / g.value.sum()
        assert weights == pytest.approx((1 / sigma) / (1 / sigma).sum(), rel=1e-6)
