"""Mean-variance objectives: the return scale, the risk factor, the fallback, the write-back, transaction
costs, non-finite returns and the warnings' stack level."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import velquor.objective as obj
import zorvata
from velquor.exception import InvalidArgument, OptimizerWarning

from .objective_fakes import (PREV, FakeBenchmark, FakeHelper, install_driver, objective_expr, value_at,
                             variable)

IDS = ["A", "B", "C", "D"]
COV = np.diag([0.04, 0.09, 0.01, 0.16]) + 0.01


def expected(mu, cov, coefficient=1.0, rtn=None):
    """-mu'w + coefficient * rtn / risk * w'Σw, as a function of w."""
    n = len(mu)
    eq = np.repeat(1 / n, n)
    risk = eq @ cov @ eq
    if rtn is None:
        rtn = mu[mu > 0].mean()
    return lambda w: -mu @ w + coefficient * rtn / risk * (w @ cov @ w)


class Market:
    """Records the market-data calls; daily rates are fixed per id."""

    def __init__(self, monkeypatch, daily):
        self.calls = []
        self.daily = daily
        monkeypatch.setattr(zorvata, "trading_date_offset", self.trading_date_offset, raising=False)
        monkeypatch.setattr(zorvata, "get_price_change_rate", self.get_price_change_rate, raising=False)

    def trading_date_offset(self, date, n):
        self.calls.append(("trading_date_offset", date, n))
        return "start"

    def get_price_change_rate(self, ids, start, end):
        self.calls.append(("get_price_change_rate", list(ids), start, end))
        return pd.DataFrame({i: [self.daily[i], self.daily[i]] for i in ids if i in self.daily})


class TestReturnScale:
    @pytest.mark.parametrize("mu, rtn", [
        ([0.1, -0.2, 0.3, 0.0], 0.2),                      # mean of the positive entries
        ([-0.05, -0.04, -0.03, -0.02, -0.01], 0.015),      # none positive: |mean| of the largest ceil(n/4)
        ([-0.4, -0.3, -0.2], 0.2),
    ])
    def test_rtn(self, mu, rtn):
        mu = np.array(mu)
        ids = [f"S{i}" for i in range(len(mu))]
        cov = np.diag(np.linspace(0.01, 0.05, len(mu)))
        g = variable(len(mu))
        mv = obj.MeanVariance(expected_returns=dict(zip(ids, mu)))
        expr = mv.get_objective_expr(g, 1.0, FakeHelper(ids, cov=cov))
        w = np.linspace(1, 2, len(mu)) / np.linspace(1, 2, len(mu)).sum()
        assert value_at(expr, g, w) == pytest.approx(expected(mu, cov, rtn=rtn)(w))

    def test_coefficient_scales_only_the_risk_term(self):
        mu = pd.Series([0.1, 0.2], index=["B", "A"])   # aligned by label, not position
        g = variable(2)
        helper = FakeHelper(["A", "B"], cov=COV[:2, :2])
        values = [value_at(obj.MeanVariance(expected_returns=mu, risk_aversion_coefficient=c)
                           .get_objective_expr(g, 1.0, helper), g, [0.5, 0.5]) for c in (0, 1, 2)]
        linear = -(0.2 * 0.5 + 0.1 * 0.5)
        assert values[0] == pytest.approx(linear)
        assert values[2] - linear == pytest.approx(2 * (values[1] - linear))

    def test_ids_missing_from_the_series_get_zero(self):
        g = variable(4)
        expr = obj.MeanVariance(expected_returns={"A": 0.1, "C": 0.3, "Z": 9.0}).get_objective_expr(
            g, 1.0, FakeHelper(IDS, cov=COV))
        w = np.array([0.1, 0.2, 0.3, 0.4])
        assert value_at(expr, g, w) == pytest.approx(expected(np.array([0.1, 0, 0.3, 0]), COV)(w))


class TestConstruction:
    def test_negative_coefficient_after_the_series_check(self):
        with pytest.raises(InvalidArgument) as excinfo:
            obj.MeanVariance(risk_aversion_coefficient=-1)
        assert str(excinfo.value) == "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：-1"
        with pytest.raises(InvalidArgument) as excinfo:
            obj.ActiveMeanVariance(expected_active_returns=pd.DataFrame({"a": [1]}),
                                   risk_aversion_coefficient=-1)
        assert str(excinfo.value).startswith("expected_active_returns: ")


class Penalty:
    def __init__(self):
        self.calls = 0

    def get_penalty(self, g, helper):
        self.calls += 1
        return 0.5


class TestAllZeroFallback:
    def test_mean_variance_keeps_the_transaction_cost(self):
        g, cost = variable(3), Penalty()
        helper = FakeHelper(IDS[:3], cov=COV[:3, :3])
        mv = obj.MeanVariance(expected_returns={"A": 0.0}, transaction_cost_model=cost)
        with pytest.warns(OptimizerWarning) as w:
            expr = objective_expr(mv, g, 1.0, helper)
        assert [str(x.message) for x in w] == ["MeanVariance: expected_returns 全部为 0，退化为 MinVariance"]
        assert w[0].filename == __file__
        x = np.array([0.2, 0.3, 0.5])
        assert value_at(expr, g, x) == pytest.approx(x @ COV[:3, :3] @ x + 0.5) and cost.calls == 1

    def test_active_mean_variance_skips_the_transaction_cost(self):
        g, cost = variable(2), Penalty()
        b = np.array([0.3, 0.3, 0.4])
        helper = FakeHelper(["A", "B"], union=["C"], benchmark_weight=b, union_cov=COV[:3, :3])
        amv = obj.ActiveMeanVariance(expected_active_returns={"A": 0.0, "C": 0.0},
                                     transaction_cost_model=cost)
        with pytest.warns(OptimizerWarning) as w:
            expr = objective_expr(amv, g, 1.0, helper)
        assert str(w[0].message) == "ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance"
        assert w[0].filename == __file__
        active = np.array([0.6, 0.4, 0.0]) - b
        assert value_at(expr, g, [0.6, 0.4]) == pytest.approx(active @ COV[:3, :3] @ active)
        assert cost.calls == 0


class TestEstimates:
    def test_estimate_serves_later_requests_with_another_pool_at_their_own_values(self, monkeypatch):
        market = Market(monkeypatch, {"A": 0.001, "B": -0.002, "C": 0.003})
        mv = obj.MeanVariance(window=100)
        mv.get_objective_expr(variable(2), 1.0, FakeHelper(["A", "B"], cov=COV[:2, :2]))
        assert market.calls == [("trading_date_offset", PREV, -100),
                                ("get_price_change_rate", ["A", "B"], "start", PREV)]
        g3 = variable(3)
        expr = mv.get_objective_expr(g3, 1.0, FakeHelper(["A", "B", "C"], cov=COV[:3, :3]))
        # The new pool is estimated again (C gets its own return, not 0) and the latest estimate is stored.
        assert [c[1] for c in market.calls if c[0] == "get_price_change_rate"] == [["A", "B"], ["A", "B", "C"]]
        assert mv._expected_returns.to_dict() == pytest.approx({"A": 0.252, "B": -0.504, "C": 0.756})
        w = np.array([0.2, 0.3, 0.5])
        want = expected(np.array([0.252, -0.504, 0.756]), COV[:3, :3])(w)
        assert value_at(expr, g3, w) == pytest.approx(want)

    def test_estimate_is_stored_before_a_later_failure(self, monkeypatch):
        Market(monkeypatch, {"A": 0.001, "B": 0.002})

        class Broken:
            def get_penalty(self, g, helper):
                raise RuntimeError("penalty")

        mv = obj.MeanVariance(transaction_cost_model=Broken())
        with pytest.raises(RuntimeError):
            mv.get_objective_expr(variable(2), 1.0, FakeHelper(["A", "B"]))
        assert mv._expected_returns is not None

    def test_active_mean_variance_estimates_every_time_over_the_union(self, monkeypatch):
        market = Market(monkeypatch, {"A": 0.001, "B": 0.002, "C": 0.0})
        bench = FakeBenchmark(0.1)
        amv = obj.ActiveMeanVariance(window=50)
        b = np.array([0.3, 0.3, 0.4])
        helper = FakeHelper(["A", "B"], union=["C"], benchmark_weight=b, union_cov=COV[:3, :3],
                            benchmark=bench)
        g = variable(2)
        for _ in range(2):
            expr = amv.get_objective_expr(g, 1.0, helper)
        assert len(market.calls) == 4 and market.calls[1][1] == ["A", "B", "C"]
        assert bench.calls == [(helper.date, 50)] * 2 and amv._expected_active_returns is None
        mu = np.array([0.252, 0.504, 0.0]) - 0.1
        active = np.array([0.5, 0.5, 0.0]) - b
        eq = np.repeat(1 / 3, 3)
        want = -mu @ active + mu[mu > 0].mean() / (eq @ COV[:3, :3] @ eq) * (active @ COV[:3, :3] @ active)
        assert value_at(expr, g, [0.5, 0.5]) == pytest.approx(want)


class TestNonFiniteReturns:
    def test_treated_as_absent_with_a_warning(self):
        g = variable(3)
        mv = obj.MeanVariance(expected_returns={"A": 0.1, "B": np.nan, "C": np.inf})
        with pytest.warns(OptimizerWarning) as w:
            expr = objective_expr(mv, g, 1.0, FakeHelper(IDS[:3], cov=COV[:3, :3]))
        assert str(w[0].message) == "MeanVariance: expected_returns 中有 2 个值不是有限数，按 0 处理：['B', 'C']"
        assert w[0].filename == __file__
        x = np.array([0.2, 0.3, 0.5])
        assert value_at(expr, g, x) == pytest.approx(expected(np.array([0.1, 0, 0]), COV[:3, :3])(x))


def test_fallback_warning_through_the_driver_names_its_caller(monkeypatch):
    # The driver and the objective are both C++ function objects without frames of their own; level 3 must
    # still land on the line that called portfolio_optimize.
    opt = install_driver(monkeypatch, COV[:2, :2])
    with pytest.warns(OptimizerWarning) as w:
        weights = opt.portfolio_optimize(["A", "B"], "2026-06-03",
                                         obj.MeanVariance(expected_returns={"A": 0}))
    assert [str(x.message) for x in w] == ["MeanVariance: expected_returns 全部为 0，退化为 MinVariance"]
    assert w[0].filename == __file__
    assert weights.to_dict() == pytest.approx({"A": 9 / 13, "B": 4 / 13}, abs=1e-3)  # min variance
