"""Quadratic forms over matrices without a factor decomposition: a certified PSD matrix is marked for cvxpy,
anything else reaches cvxpy unmarked so that cvxpy refuses it with its own error instead of solving a wrong
problem."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.objective as obj
from velquor.helper import FactorCovariance

from .objective_fakes import FakeHelper

NOT_PSD = np.array([[0.04, 0.05], [0.05, 0.04]])  # eigenvalues 0.09 and -0.01
NOT_SYMMETRIC = np.array([[0.04, 0.01], [0.02, 0.04]])


class Helper:
    order_book_ids = ["A", "B"]

    def __init__(self, cov):
        self.cov = cov

    def get_cov_matrix(self):
        return self.cov


def min_variance(cov):
    g = cp.Variable(len(cov), nonneg=True)
    expr = obj.MinVariance().get_objective_expr(g, 1.0, Helper(cov))
    return g, cp.Problem(cp.Minimize(expr), [cp.sum(g) == 1])


class TestRefusedByCvxpy:
    def test_indefinite_matrix_is_not_solved_as_optimal(self):
        # Marked PSD it used to solve to (0.5, 0.5), the point of *maximum* variance, reported optimal.
        _, problem = min_variance(NOT_PSD)
        assert not problem.is_dcp()
        with pytest.raises(cp.error.DCPError):
            problem.solve(solver=cp.SCS)

    def test_non_symmetric_matrix_is_cvxpys_value_error(self):
        with pytest.raises(ValueError, match="symmetric"):
            min_variance(NOT_SYMMETRIC)

    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    def test_non_finite_entries(self, bad):
        cov = np.array([[0.04, 0.01], [0.01, bad]])
        with pytest.raises(Exception):
            min_variance(cov)[1].solve(solver=cp.SCS)


class TestCertified:
    @pytest.mark.parametrize("cov", [np.array([[0.04, 0.01], [0.01, 0.04]]),
                                     pd.DataFrame([[0.04, 0.01], [0.01, 0.04]]),
                                     np.zeros((2, 2)),  # semidefinite: eigenvalue 0 within cvxpy's tolerance
                                     np.array([[1.0, 1.0], [1.0, 1.0]])])
    def test_psd_matrices_solve(self, cov):
        g, problem = min_variance(cov)
        assert problem.is_dcp()
        problem.solve(solver=cp.CLARABEL)
        assert problem.status == cp.OPTIMAL and g.value.sum() == pytest.approx(1.0)

    def test_large_factor_structured_matrix_without_the_decomposition(self):
        # Many eigenvalues near zero: cvxpy's own iterative check fails to converge at this size.
        rng = np.random.default_rng(3)
        n, k = 300, 10
        x = rng.normal(size=(n, k))
        cov = x @ np.diag(rng.uniform(1e-4, 4e-4, k)) @ x.T + np.diag(rng.uniform(1e-6, 1e-5, n))
        cov = (cov + cov.T) / 2
        g = cp.Variable(n, nonneg=True)
        expr = obj.MinVariance().get_objective_expr(g, 1.0, FakeHelper(range(n), cov=cov))
        assert expr.is_convex()

    def test_indefinite_matrix_with_a_decomposition_is_trusted_to_it(self):
        # The factor form is PSD by construction whatever the dense values say: the form is built from it.
        root = np.array([[0.1], [0.2]])
        specific = np.array([0.01, 0.02])
        cov = FactorCovariance(NOT_PSD, root, specific)
        g, problem = min_variance(cov)
        assert problem.is_dcp()
