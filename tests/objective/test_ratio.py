"""Ratio objectives: the common steps on the return vector, the estimates and the Sharpe write-back."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.objective as obj
from velquor.exception import OptimizerWarning

from .objective_fakes import PREV, FakeBenchmark, FakeHelper, internal_constraints, variable
from .test_mean_variance import Market


def constraint_vector(constraint, n):
    """The coefficients c of `g @ c == 1`, read back by evaluating the left side on unit vectors."""
    (g,) = constraint.variables()
    coefficients = []
    for i in range(n):
        g.value = np.eye(n)[i]
        coefficients.append(float(constraint.args[0].value))
    return np.array(coefficients)


class TestCommonSteps:
    @pytest.mark.parametrize("returns, used", [
        ({"A": -0.02, "B": -0.01, "C": 0.0}, [-0.01, 0.0, 0.01]),   # negative mean is subtracted
        ({"A": -0.01, "B": 0.01, "C": 0.0}, [-0.01, 0.01, 0.0]),    # mean exactly 0: unchanged
        ({"A": 0.05, "B": 0.05, "C": 0.05}, [1.0, 1.0, 1.0]),       # constant: all ones
        ({"A": 0.0, "C": 0.0}, [1.0, 1.0, 1.0]),                    # missing ids are 0.0 and join the test
        ({"C": 0.03, "A": 0.01}, [0.01, 0.0, 0.03]),                # aligned by label
    ])
    @pytest.mark.parametrize("make", [lambda r: obj.MaxSharpeRatio(expected_returns=r),
                                      lambda r: obj.MaxInformationRatio(expected_active_returns=r)])
    def test_vector_used_in_the_constraint(self, make, returns, used):
        g = variable(3)
        zeta = cp.Variable(nonneg=True)
        constraints = make(returns).get_internal_constraints(g, zeta, FakeHelper(["A", "B", "C"]))
        assert len(constraints) == 1
        (con,) = constraints
        assert isinstance(con, cp.constraints.Equality)
        assert constraint_vector(con, 3) == pytest.approx(used)
        assert con.args[1].value == 1

    def test_constant_returns_solve_the_min_variance_problem(self):
        cov = np.array([[0.04, 0.01], [0.01, 0.09]])
        helper = FakeHelper(["A", "B"], cov=cov)
        sharpe = obj.MaxSharpeRatio(expected_returns=pd.Series([0.05, 0.05], index=["A", "B"]))
        g, zeta = variable(2), cp.Variable(nonneg=True)
        cons = [cp.sum(g) - zeta == 0, *sharpe.get_internal_constraints(g, zeta, helper)]
        cp.Problem(cp.Minimize(sharpe.get_objective_expr(g, zeta, helper)), cons).solve(solver=cp.CLARABEL)
        assert zeta.value == pytest.approx(1.0, abs=1e-7)
        # Minimum variance of two assets: w_A = (s_B - c) / (s_A + s_B - 2c).
        assert g.value[0] == pytest.approx((0.09 - 0.01) / (0.04 + 0.09 - 0.02), abs=1e-6)

    def test_non_finite_returns_are_zero_with_a_warning(self):
        g = variable(2)
        sharpe = obj.MaxSharpeRatio(expected_returns={"A": np.nan, "B": 0.02})
        with pytest.warns(OptimizerWarning) as w:
            (con,) = internal_constraints(sharpe, g, None, FakeHelper(["A", "B"]))
        assert str(w[0].message) == "MaxSharpeRatio: expected_returns 中有 1 个值不是有限数，按 0 处理：['A']"
        assert w[0].filename == __file__
        assert constraint_vector(con, 2) == pytest.approx([0.0, 0.02])


class TestEstimates:
    def test_sharpe_estimates_once_for_every_later_request(self, monkeypatch):
        market = Market(monkeypatch, {"A": 0.001, "B": 0.002, "C": 0.004})
        sharpe = obj.MaxSharpeRatio(window=100)
        sharpe.get_internal_constraints(variable(2), None, FakeHelper(["A", "B"]))
        assert market.calls == [("trading_date_offset", PREV, -100),
                                ("get_price_change_rate", ["A", "B"], "start", PREV)]
        market.calls.clear()
        (con,) = sharpe.get_internal_constraints(variable(3), None, FakeHelper(["A", "B", "C"]))
        assert market.calls == []
        assert constraint_vector(con, 3) == pytest.approx([0.252, 0.504, 0.0])

    def test_information_ratio_estimates_every_time_and_stores_nothing(self, monkeypatch):
        market = Market(monkeypatch, {"A": 0.001, "B": 0.002, "D": 0.5})
        bench = FakeBenchmark(0.5)
        ir = obj.MaxInformationRatio()
        helper = FakeHelper(["A", "B"], union=["D"], benchmark=bench)
        for _ in range(2):
            (con,) = ir.get_internal_constraints(variable(2), None, helper)
        # The history covers the pool only; the benchmark is asked for the request date.
        assert [c[1] for c in market.calls if c[0] == "get_price_change_rate"] == [["A", "B"]] * 2
        assert bench.calls == [(helper.date, 252)] * 2 and ir._expected_active_returns is None
        mu = np.array([0.252, 0.504]) - 0.5  # mean below 0: shifted
        assert constraint_vector(con, 2) == pytest.approx(mu - mu.mean())
