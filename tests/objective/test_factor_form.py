"""Covariances that carry their factor decomposition: same values and solutions as the dense matrix."""

from __future__ import annotations

import pickle

import cvxpy as cp
import numpy as np
import pytest

import velquor.objective as obj
from velquor.helper import FactorCovariance

from .objective_fakes import FakeHelper, value_at, variable


def factor_cov(n, k=3, seed=0):
    rng = np.random.default_rng(seed)
    root = rng.normal(0, 0.1, (n, k))
    specific = rng.uniform(0.01, 0.05, n)
    dense = root @ root.T + np.diag(specific)
    return FactorCovariance(dense, root, specific), dense


class TestFactorCovariance:
    def test_is_the_dense_matrix_and_derived_arrays_drop_the_decomposition(self):
        cov, dense = factor_cov(5)
        np.testing.assert_array_equal(cov, dense)
        assert cov.factor_root.shape == (5, 3)
        for derived in (cov[:3, :3], cov * 2.0, cov.copy(), cov + 0.0):
            assert derived.factor_root is None and derived.specific_variance is None
        restored = pickle.loads(pickle.dumps(cov))
        assert type(restored) is np.ndarray
        np.testing.assert_array_equal(restored, dense)


class TestObjectivesUseTheFactorForm:
    def test_min_variance_value_equals_the_quadratic_form(self):
        cov, dense = factor_cov(6)
        g = variable(6)
        w = np.linspace(0.05, 0.3, 6)
        expr = obj.MinVariance().get_objective_expr(g, 1.0, FakeHelper(list("ABCDEF"), cov=cov))
        assert not any(isinstance(a, cp.atoms.QuadForm) for a in expr.atoms())
        assert value_at(expr, g, w) == pytest.approx(w @ dense @ w, rel=1e-12)

    def test_active_variance_value_over_the_union(self):
        union_cov, dense = factor_cov(5, seed=1)
        b = np.array([0.1, 0.2, 0.3, 0.15, 0.25])
        helper = FakeHelper(["A", "B", "C"], union=["D", "E"], benchmark_weight=b, union_cov=union_cov)
        g = variable(3)
        w = np.array([0.5, 0.3, 0.2])
        expr = obj.MinActiveVariance().get_objective_expr(g, 1.0, helper)
        active = np.concatenate([w, [0.0, 0.0]]) - b
        assert value_at(expr, g, w) == pytest.approx(active @ dense @ active, rel=1e-12)

    @pytest.mark.parametrize("objective", [obj.MinVariance(), obj.RiskParity()], ids=["min-var", "risk-parity"])
    def test_solution_matches_the_dense_problem(self, objective):
        cov, dense = factor_cov(8, seed=2)
        ids = [f"S{i}" for i in range(8)]
        solutions = []
        for matrix in (cov, dense):
            g = cp.Variable(8, nonneg=True)
            zeta = 8 if isinstance(objective, obj.RiskParity) else 1.0
            expr = objective.get_objective_expr(g, zeta, FakeHelper(ids, cov=matrix))
            cons = [] if isinstance(objective, obj.RiskParity) else [cp.sum(g) == 1]
            cp.Problem(cp.Minimize(expr), cons).solve(solver=cp.CLARABEL)
            solutions.append(g.value / g.value.sum())
        np.testing.assert_allclose(solutions[0], solutions[1], atol=1e-6)
