"""CostModel: its formula part by part, the same cost in the optimiser's penalty and the backtest's fractions."""

from __future__ import annotations

import math
import pickle

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
import zorvata
from velquor.exception import InvalidArgument
from velquor.objective import ActiveMeanVariance, MeanVariance
from velquor.trading import CostModel, market

from .trading_support import DATE, INDEX, TOL, fake_bars, pool_of


class TestFormula:
    def test_each_part_by_hand(self):
        m = CostModel(commission=0.001, stamp_duty=0.0005, spread=0.002, impact=0.5)
        parts = m.money([1e6, -2e6, 0.0], [0.02, 0.03, 0.01], [1e8, 4e8, 1e8])
        np.testing.assert_allclose(parts["commission"], [1000, 2000, 0])
        np.testing.assert_allclose(parts["stamp_duty"], [0, 1000, 0])  # sales only
        np.testing.assert_allclose(parts["spread"], [1000, 2000, 0])  # half the spread
        np.testing.assert_allclose(parts["impact"], [0.5 * 0.02 * 1e9 / 1e4,
                                                     0.5 * 0.03 * (2e6) ** 1.5 / 2e4, 0])

    def test_missing_liquidity_is_the_least_liquid_and_median_volatility(self):
        m = CostModel()
        got = m.money([1e6, 1e6, 1e6], [0.02, np.nan, 0.04], [1e8, np.nan, 4e8])["impact"]
        assert got[1] == pytest.approx(1.0 * 0.03 * 1e9 / 1e4)

    def test_fractions_are_money_over_capital_and_leave_impact_out_without_one(self):
        m = CostModel()
        x, vol, adv = np.array([0.05, -0.02]), np.array([0.02, 0.02]), np.array([1e7, 1e7])
        parts = m.money(x * 1e8, vol, adv)
        np.testing.assert_allclose(m.fractions(x, vol, adv, 1e8), sum(parts.values()) / 1e8)
        flat = m.fractions(x, vol, adv, None)
        np.testing.assert_allclose(flat, (parts["commission"] + parts["stamp_duty"] + parts["spread"]) / 1e8)
        # the cost per unit traded grows with the portfolio
        assert m.fractions(x, vol, adv, 1e9).sum() > m.fractions(x, vol, adv, 1e8).sum()

    @pytest.mark.parametrize("kw, message", [
        ({"commission": -0.001}, "commission"), ({"stamp_duty": 2.0}, "stamp_duty"), ({"spread": math.nan}, "spread"),
        ({"impact": True}, "impact"), ({"window": 1}, "window"), ({"window": 5.0}, "window"),
        ({"capital": 0}, "capital"), ({"current_holdings": {"a": -0.1}}, "current_holdings"),
    ])
    def test_bad_arguments(self, kw, message):
        with pytest.raises(InvalidArgument, match=message):
            CostModel(**kw)

    def test_copies_and_pickles(self):
        m = CostModel(capital=1e8)
        h = m.with_holdings({"000001.XSHE": 0.4}, capital=2e8)
        assert (m.current_holdings, m.capital, h.capital) == (None, 1e8, 2e8)
        back = pickle.loads(pickle.dumps(h))
        assert back.current_holdings.equals(h.current_holdings) and repr(back) == repr(h)


@pytest.fixture
def bars(monkeypatch, market_db):
    """Traded value: 1e7 a day for stocks whose id ends in an even digit, 1e9 for the others."""
    def value(i):
        return 1e7 if int(i[5]) % 2 == 0 else 1e9
    monkeypatch.setattr(zorvata, "get_daily_bars", fake_bars(value))
    return value


@pytest.fixture(scope="module")
def pool(market_db):
    return pool_of(30)


class TestInTheOptimiser:
    def test_penalty_equals_the_backtest_fractions(self, bars, pool):
        from velquor.const import CovModel, RiskModel
        from velquor.helper import OptimizeHelper

        held = pd.Series(1 / 10, index=pool[:10])
        m = CostModel(capital=5e8, current_holdings=held, aversion=2.0)
        h = OptimizeHelper(pool, opt.to_date(DATE), None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
        g = cp.Variable(len(pool))
        expr = m.get_penalty(g, h)
        assert expr.is_convex()
        w = np.full(len(pool), 1 / len(pool))
        g.value = w
        liq = market.liquidity(pool, DATE, m.window)
        want = m.fractions(w - held.reindex(pool, fill_value=0).to_numpy(), liq["volatility"].to_numpy(),
                           liq["adv"].to_numpy(), 5e8).sum()
        assert expr.value == pytest.approx(2.0 * want, rel=1e-9)

    @pytest.mark.parametrize("objective", [MeanVariance, ActiveMeanVariance], ids=lambda c: c.__name__)
    def test_costs_pull_towards_the_holdings(self, bars, pool, objective):
        held = pd.Series(1 / 10, index=pool[:10])
        kw = {"benchmark": INDEX}

        def moved(model):
            w = opt.portfolio_optimize(pool, DATE, objective(transaction_cost_model=model), **kw)
            return float(np.abs(w.reindex(pool, fill_value=0) - held.reindex(pool, fill_value=0)).sum())

        free = moved(None)
        some = moved(CostModel(capital=1e9, current_holdings=held))
        prohibitive = moved(CostModel(capital=1e9, current_holdings=held, aversion=1e4))
        assert free > some + 0.05
        assert prohibitive < 2 * TOL


class TestEstimate:
    def test_estimate_in_money_by_stock(self, bars, pool):
        trades = pd.Series({pool[0]: 2e6, pool[1]: -5e5})
        got = CostModel().estimate(trades, DATE)
        assert list(got.columns) == ["commission", "stamp_duty", "spread", "impact", "total"]
        assert list(got.index) == list(trades.index)
        np.testing.assert_allclose(got["total"], got.drop(columns="total").sum(axis=1))
        assert got.loc[pool[0], "stamp_duty"] == 0 and got.loc[pool[1], "stamp_duty"] == pytest.approx(250.0)
        liq = market.liquidity(list(trades.index), DATE, 20)
        assert liq.loc[pool[0], "adv"] == bars(pool[0])
        assert got.loc[pool[0], "impact"] == pytest.approx(liq.loc[pool[0], "volatility"] * 2e6 ** 1.5
                                                           / math.sqrt(bars(pool[0])))
