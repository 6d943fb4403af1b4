"""TradabilityConstraint and LiquidityLimit: which data each rule reads, and that each holds and binds."""

from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
import zorvata
from velquor.constraint import LiquidityLimit, TradabilityConstraint
from velquor.exception import InvalidArgument
from velquor.objective import MinTrackingError, MinVariance
from velquor.trading import market

from .trading_support import DATE, INDEX, TOL, fake_bars, pool_of, flagged_market, weights_of


@pytest.fixture(scope="module")
def pool(market_db):
    return pool_of(30)


@pytest.fixture(scope="module")
def free(pool):
    """The minimum-variance weights without trading rules."""
    return opt.portfolio_optimize(pool, DATE, MinVariance())


@pytest.fixture(scope="module")
def case(pool, free, market_db, tmp_path_factory):
    """Holdings and flags chosen so that every rule must move the free solution: a held stock suspended on
    the date, a bought one at its upper limit the day before, a held one the free solution cuts at its lower
    limit the day before, a bought one under ST, and a bought one at its upper limit on the date itself
    (which a request for the date cannot know)."""
    prev = zorvata.get_previous_trading_date(DATE)
    bought = [i for i in free.sort_values(ascending=False).index if free[i] > 0.02]
    cut = [i for i in pool if free[i] < 0.005]
    roles = {"suspended": cut[0], "limit_down": cut[1], "limit_up": bought[0], "st": bought[1],
             "today_up": bought[2]}
    other = next(i for i in pool if i not in roles.values())
    held = pd.Series({roles["suspended"]: 0.06, roles["limit_down"]: 0.08, other: 0.1})
    flags = [(DATE, roles["suspended"], True, False, False), (prev, roles["limit_down"], False, False, True),
             (prev, roles["limit_up"], False, True, False), (DATE, roles["today_up"], False, True, False)]
    st = [(roles["st"], "2026-03-02", None)]
    with flagged_market(market_db, tmp_path_factory.mktemp("flags"), flags, st):
        yield roles, held


class TestWhatTheRulesRead:
    def test_request_flags_use_the_date_for_suspensions_and_st_and_the_day_before_for_limits(self, case):
        roles, _ = case
        got = market.request_flags(list(roles.values()), DATE)
        assert got.loc[roles["suspended"], "suspended"] and got.loc[roles["st"], "st"]
        assert got.loc[roles["limit_up"], "limit_up"] and got.loc[roles["limit_down"], "limit_down"]
        assert not got.loc[roles["today_up"]].any()
        assert got.sum().sum() == 4

    def test_st_period_ends_before_its_end_date(self, case, market_db):
        roles, _ = case
        assert market.request_flags([roles["st"]], "2026-03-02")["st"].iloc[0]
        assert not market.request_flags([roles["st"]], "2026-02-27")["st"].iloc[0]


class TestTradabilityInPortfolios:
    @pytest.mark.parametrize("objective", [MinVariance, MinTrackingError], ids=lambda c: c.__name__)
    def test_every_rule_holds_and_binds(self, case, pool, free, objective):
        roles, held = case
        w = opt.portfolio_optimize(pool, DATE, objective(), benchmark=INDEX,
                                   cons=[TradabilityConstraint(held, exclude_st=True)])
        assert w[roles["suspended"]] == pytest.approx(held[roles["suspended"]], abs=TOL)
        assert w[roles["limit_up"]] <= TOL
        assert w[roles["limit_down"]] >= held[roles["limit_down"]] - TOL
        assert w[roles["st"]] <= TOL

    def test_without_the_st_option_st_stocks_are_bought(self, case, pool, free):
        roles, held = case
        w = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=[TradabilityConstraint(held)])
        assert w[roles["st"]] > 0.01
        assert w[roles["today_up"]] > 0.01

    def test_soft_rules_give_way_to_hard_bounds(self, case, pool):
        roles, held = case
        with pytest.warns(Warning, match="约束无法满足"):
            w = opt.portfolio_optimize(pool, DATE, MinVariance(), bnds={roles["suspended"]: (0, 0.03)},
                                       cons=[TradabilityConstraint(held, hard=False)])
        assert w[roles["suspended"]] <= 0.03 + TOL

    def test_rows_are_scaled_by_zeta(self, case, pool):
        import cvxpy as cp

        from velquor.const import CovModel, RiskModel
        from velquor.helper import OptimizeHelper

        roles, held = case
        h = OptimizeHelper(pool, opt.to_date(DATE), None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
        g, zeta = cp.Variable(len(pool)), cp.Variable()
        rows = TradabilityConstraint(held).to_constraints(g, zeta, h)
        assert [type(r).__name__ for r in rows] == ["Equality", "Inequality", "Inequality"]
        # w = g / zeta at the holdings satisfies every row, for any zeta
        g.value, zeta.value = 3.0 * held.reindex(pool, fill_value=0.0).to_numpy(), 3.0
        assert all(np.abs(r.violation()).max() < 1e-12 for r in rows)
        g.value[pool.index(roles["limit_up"])] = 0.3
        assert rows[1].violation().max() == pytest.approx(0.3)


@pytest.fixture
def liquid(monkeypatch, pool):
    """Traded value 1e6 a day for the first ten stocks of the pool, 1e9 for the others."""
    few = set(pool[:10])
    monkeypatch.setattr(zorvata, "get_daily_bars", fake_bars(lambda i: 1e6 if i in few else 1e9))
    return few


class TestLiquidityLimit:
    def test_traded_value_holds_and_binds(self, liquid, pool, free):
        capital, limit = 1e8, 0.2
        held = pd.Series(0.02, index=pool[:10])
        w = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=[LiquidityLimit(capital, limit, held)])
        traded = np.abs(weights_of(w, pool[:10]) - held.to_numpy()) * capital
        # the limit is 0.002 of the portfolio per stock; the free solution moves them far more
        assert np.abs(weights_of(free, pool[:10]) - held.to_numpy()).max() * capital > 10 * limit * 1e6
        assert traded.max() == pytest.approx(limit * 1e6, rel=0.05)

    def test_a_stock_without_trades_in_the_window_keeps_its_weight(self, monkeypatch, pool):
        monkeypatch.setattr(zorvata, "get_daily_bars", fake_bars(lambda i: 0.0 if i == pool[0] else 1e9))
        held = pd.Series({pool[0]: 0.07})
        w = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=[LiquidityLimit(1e8, 0.1, held)])
        assert w[pool[0]] == pytest.approx(0.07, abs=TOL)

    def test_window_ends_the_day_before(self, monkeypatch, pool):
        seen = []

        def bars(start, end, fields=None, ids=None):
            seen.append((start, end))
            return fake_bars(lambda i: 1e9)(start, end, fields, ids)

        monkeypatch.setattr(zorvata, "get_daily_bars", bars)
        market.liquidity(pool[:3], DATE, 5)
        start, end = seen[0]
        assert zorvata.to_date(end) == zorvata.get_previous_trading_date(DATE)
        assert len(zorvata.get_trading_dates(start, end)) == 5


class TestConstructors:
    @pytest.mark.parametrize("args, message", [
        ((0,), "capital must be above 0"), ((-5.0,), "capital must be a finite number"),
        ((1e8, 0), "upper_limit must be above 0"), ((1e8, 0.1, None, 0), "window must be an integer"),
        ((1e8, 0.1, None, 2.5), "window must be an integer"), ((1e8, 0.1, {"a": -1}), "nonnegative"),
    ])
    def test_liquidity_arguments(self, args, message):
        with pytest.raises(InvalidArgument, match=message):
            LiquidityLimit(*args)

    def test_tradability_holdings_are_checked(self):
        with pytest.raises(InvalidArgument, match="TradabilityConstraint: current_holdings sum to"):
            TradabilityConstraint({"a": 0.7, "b": 0.7})

    def test_defaults_repr_and_pickle(self):
        t = TradabilityConstraint({"000001.XSHE": 0.5})
        assert (t.exclude_st, t.hard) == (False, True)
        lim = LiquidityLimit(1e8)
        assert (lim.upper_limit, lim.current_holdings, lim.window) == (0.1, None, 20)
        assert repr(lim).startswith("LiquidityLimit(capital=100000000.0, upper_limit=0.1")
        back = pickle.loads(pickle.dumps(t))
        assert back.current_holdings.equals(t.current_holdings)


class TestLiquidityOnTheStore:
    def test_holds_and_binds_with_the_stores_traded_values(self, pool):
        held = pd.Series(0.1, index=pool[:10])
        capital, limit = 1e11, 0.05
        w = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=[LiquidityLimit(capital, limit, held)])
        adv = market.liquidity(pool, DATE, 20)["adv"].to_numpy()
        share = np.abs(weights_of(w, pool) - held.reindex(pool, fill_value=0.0).to_numpy()) * capital / adv
        assert np.isfinite(adv).all()
        assert share.max() <= limit * 1.001
        assert share.max() == pytest.approx(limit, rel=1e-3)
