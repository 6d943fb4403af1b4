"""Ratio objectives: the common steps on the return vector, the estimates and the Sharpe write-back."""

from __future__ import annotations

import datetime as dt

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
        ({"A": -0.05, "B": -0.04, "C": 0.01}, [-0.05, -0.04, 0.01]),  # one positive entry: used as given
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

    @pytest.mark.parametrize("make, text", [
        (lambda r: obj.MaxSharpeRatio(expected_returns=r),
         "MaxSharpeRatio: no stock has a positive expected return; the expected returns are used minus their mean"),
        (lambda r: obj.MaxInformationRatio(expected_active_returns=r),
         "MaxInformationRatio: no stock has a positive expected active return; "
         "the expected active returns are used minus their mean"),
    ])
    def test_no_positive_entry_is_shifted_by_the_mean_with_a_warning(self, make, text):
        with pytest.warns(OptimizerWarning) as w:
            (con,) = internal_constraints(make({"A": -0.02, "B": -0.01, "C": 0.0}), variable(3),
                                          cp.Variable(nonneg=True), FakeHelper(["A", "B", "C"]))
        assert [str(x.message) for x in w] == [text] and w[0].filename == __file__
        assert constraint_vector(con, 3) == pytest.approx([-0.01, 0.0, 0.01])

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


def _sharpe_constraints(objective, helper):
    return objective.get_internal_constraints(variable(len(helper.order_book_ids)), None, helper)


def _mean_variance_expr(objective, helper):
    return objective.get_objective_expr(variable(len(helper.order_book_ids)), 1.0, helper)


@pytest.mark.parametrize("make, use", [(obj.MaxSharpeRatio, _sharpe_constraints),
                                       (obj.MeanVariance, _mean_variance_expr)], ids=["sharpe", "mean_variance"])
class TestEstimatesPerRequest:
    """An estimate serves the request it was made for (previous trading date, window, pool) and no other."""

    def test_same_request_estimates_once(self, monkeypatch, make, use):
        market = Market(monkeypatch, {"A": 0.001, "B": 0.002})
        objective = make(window=100)
        for _ in range(2):
            use(objective, FakeHelper(["A", "B"]))
        assert market.calls == [("trading_date_offset", PREV, -100),
                                ("get_price_change_rate", ["A", "B"], "start", PREV)]

    def test_another_date_or_pool_estimates_again_and_keeps_the_latest(self, monkeypatch, make, use):
        market = Market(monkeypatch, {"A": 0.001, "B": 0.002, "C": 0.004})
        objective = make()
        use(objective, FakeHelper(["A", "B"]))
        later = FakeHelper(["A", "B"])
        later.prev_trading_date = PREV + dt.timedelta(days=1)
        use(objective, later)
        use(objective, FakeHelper(["A", "B", "C"]))
        assert [c[1:] for c in market.calls if c[0] == "trading_date_offset"] == [
            (PREV, -252), (later.prev_trading_date, -252), (PREV, -252)]
        assert objective._expected_returns.to_dict() == pytest.approx({"A": 0.252, "B": 0.504, "C": 1.008})

    def test_caller_returns_are_never_replaced(self, monkeypatch, make, use):
        market = Market(monkeypatch, {"A": 0.001, "B": 0.002, "C": 0.004})
        given = make(expected_returns={"A": 0.1, "B": 0.2})
        use(given, FakeHelper(["A", "B", "C"]))
        # A series assigned after an estimate is the caller's too.
        assigned = make()
        use(assigned, FakeHelper(["A", "B"]))
        mine = pd.Series({"A": 0.3, "C": 0.1})
        assigned._expected_returns = mine
        use(assigned, FakeHelper(["A", "C"]))
        assert len(market.calls) == 2 and assigned._expected_returns is mine
        assert given._expected_returns.to_dict() == {"A": 0.1, "B": 0.2}


class TestInformationRatioEstimates:
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
        # B beats the benchmark: the vector is used as given although its mean is negative.
        assert constraint_vector(con, 2) == pytest.approx(np.array([0.252, 0.504]) - 0.5)
