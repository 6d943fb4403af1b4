"""The backtest trades as the exchange allows: fills on the day's flags, cash, lots, costs of the cost model, and
no turnover deadlock after the universe changes."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zorvata
from velquor.backtest import Backtest
from velquor.trading import CostModel, market

from .trading_support import fake_bars, flagged_market

START, END = "2025-05-01", "2025-08-31"


@pytest.fixture(scope="module", autouse=True)
def _pools_closed():
    """The process engine keeps its workers between runs; they end with this module."""
    yield
    from velquor.backtest import close_pools

    close_pools()


@pytest.fixture(scope="module")
def universe(market_db):
    listed = zorvata.all_instruments("CS", "2025-04-30")
    alive = listed[listed["de_listed_date"].isin(["0000-00-00"]) | (listed["de_listed_date"] > END)]
    return sorted(alive["order_book_id"])[:30]


def run(universe, **kw):
    return Backtest(universe, START, END, bnds={"*": (0, 0.15)}, **kw).run(progress=False)


def drifted_before(result, day) -> pd.Series:
    """The holdings at the close before ``day`` (zero on the first rebalance)."""
    before = result.holdings.index[result.holdings.index < day]
    return result.holdings.loc[before[-1]] if len(before) else result.holdings.iloc[0] * 0.0


@pytest.fixture(scope="module")
def flagged(universe, market_db, tmp_path_factory):
    """A run without the flags, the flags that would change its second rebalance (a held stock it trades
    suspended, a stock it buys at the upper limit, a stock it sells at the lower limit, all on that day) and
    the run on the market with them."""
    plain = run(universe)
    day = plain.weights.index[1]
    h, w = drifted_before(plain, day), plain.weights.loc[day]
    d = (w - h).reindex(universe, fill_value=0.0)
    held = h.reindex(universe, fill_value=0.0)
    sold = d[(d < -0.01) & (held > 0.02)].index
    bought = d[d > 0.01].index
    roles = {"suspended": sold[0], "limit_down": sold[1], "limit_up": bought[0]}
    when = day.date()
    flags = [(when, roles["suspended"], True, False, False), (when, roles["limit_down"], False, False, True),
             (when, roles["limit_up"], False, True, False)]
    with flagged_market(market_db, tmp_path_factory.mktemp("bt-flags"), flags):
        return plain, roles, day, run(universe), run(universe, exchange_rules=False)


class TestFills:
    def test_blocked_trades_keep_the_drifted_weight_and_are_reported(self, flagged):
        plain, roles, day, result, _ = flagged
        h = drifted_before(result, day)
        for i in roles.values():
            assert result.weights.loc[day, i] == h[i]
        got = result.unfilled[result.unfilled["date"] == day].set_index("order_book_id")
        assert {i: got.loc[i, "reason"] for i in roles.values()} == {v: k for k, v in roles.items()}
        wanted = plain.weights.loc[day] - drifted_before(plain, day)
        for i in roles.values():
            assert got.loc[i, "weight"] == pytest.approx(wanted[i], abs=1e-9)
        assert result.summary()["unfilled_trades"] == len(result.unfilled)

    def test_the_rest_of_the_trade_goes_through_and_cash_covers_the_buys(self, flagged):
        plain, roles, day, result, _ = flagged
        others = [i for i in plain.weights.columns if i not in roles.values()]
        w, target = result.weights.loc[day], plain.weights.loc[day]
        # unfilled sales leave less cash for buys: buys are cut pro rata, sales go through as planned
        h = drifted_before(result, day)
        sells = [i for i in others if target[i] < h.get(i, 0.0)]
        np.testing.assert_allclose(w[sells], target[sells], atol=1e-12)
        assert w.sum() <= 1.0 + 1e-12
        assert result.cash.loc[day] == pytest.approx(1.0 - w.sum(), abs=1e-12)

    def test_the_day_flags_are_the_simulators_own(self, flagged):
        _, roles, day, result, ignored = flagged
        assert ignored.unfilled.empty
        assert ignored.weights.loc[day, roles["limit_up"]] > 0.01

    def test_no_rebalance_ever_trades_a_suspended_stock(self, flagged, universe):
        _, _, _, result, _ = flagged
        flags = market.day_flags(universe, list(result.weights.index.date))["suspended"]
        for k, day in enumerate(result.weights.index):
            h = drifted_before(result, day).reindex(universe, fill_value=0.0)
            w = result.weights.loc[day].reindex(universe, fill_value=0.0)
            stopped = flags[k]
            np.testing.assert_array_equal(w[stopped], h[stopped])


@pytest.fixture(scope="module")
def in_money(market_db):
    """A weekly run over every stock of the market with a capital of 1e8 and the cost model: its own flags,
    prices and traded values."""
    ids = sorted(zorvata.all_instruments("CS", "2025-04-30")["order_book_id"])
    model = CostModel(impact=2.0)
    result = Backtest(ids, START, "2025-10-31", rebalance="weekly", bnds={"*": (0, 0.05)}, capital=1e8,
                      cost=model).run(progress=False)
    return model, ids, result


def money_before(result, day) -> float:
    prev = result.nav[result.nav.index < day]
    return 1e8 * (prev.iloc[-1] if len(prev) else 1.0)


class TestOnTheStore:
    def test_flagged_trades_do_not_fill(self, in_money):
        _, ids, result = in_money
        days = list(result.weights.index)
        flags = market.day_flags(ids, [d.date() for d in days])
        for k, day in enumerate(days):
            h = drifted_before(result, day).reindex(ids, fill_value=0.0).to_numpy()
            w = result.weights.loc[day].reindex(ids, fill_value=0.0).to_numpy() * (1 - result.costs.loc[day])
            s, up, down = (flags[f][k] for f in market.FLAGS)
            np.testing.assert_allclose(w[s], h[s], rtol=1e-12)
            assert (w[up & ~s] <= h[up & ~s] * (1 + 1e-12)).all()
            assert (w[down & ~s] >= h[down & ~s] * (1 - 1e-12)).all()
        # the market's own flags met wanted trades (the fixture market above plants each kind)
        got = result.unfilled
        assert set(got["reason"]) & {"limit_up", "limit_down"}
        assert (got.loc[got["reason"] == "limit_up", "weight"] > 0).all()
        assert (got.loc[got["reason"] == "limit_down", "weight"] < 0).all()
        assert (result.unfilled["value"] == result.unfilled["weight"]
                * result.unfilled["date"].map(lambda d: money_before(result, d))).all()

    def test_trades_are_whole_lots_at_the_last_close(self, in_money):
        from velquor.trading import board_lots

        _, ids, result = in_money
        first, step = board_lots(ids)
        closes = market.before_dates(ids, list(result.weights.index.date), liquidity=False)["close"]
        for day, price in zip(result.weights.index, closes):
            w = result.weights.loc[day].reindex(ids, fill_value=0.0) * (1 - result.costs.loc[day])
            h = drifted_before(result, day).reindex(ids, fill_value=0.0)
            shares = ((w - h) * money_before(result, day)).to_numpy() / price
            trading = ~((w == 0) & (h > 0)).to_numpy() & (np.abs(shares) > 1e-6)
            steps = (np.abs(shares) - np.where(shares > 0, first, 0.0)) / step
            np.testing.assert_allclose(steps[trading], np.round(steps[trading]), atol=1e-6)
            assert (shares[trading & (shares > 0)] >= first[trading & (shares > 0)] - 1e-6).all()

    def test_costs_charged_are_the_models_formula(self, in_money):
        model, ids, result = in_money
        for day in result.weights.index:
            cost = result.costs.loc[day]
            w = result.weights.loc[day].reindex(ids, fill_value=0.0) * (1 - cost)
            h = drifted_before(result, day).reindex(ids, fill_value=0.0)
            liq = market.liquidity(ids, day, model.window)
            want = model.fractions((w - h).to_numpy(), liq["volatility"].to_numpy(), liq["adv"].to_numpy(),
                                   money_before(result, day)).sum()
            assert cost == pytest.approx(want, rel=1e-9)
            assert result.cash.loc[day] >= 0
        assert result.summary()["mean_cash"] == pytest.approx(result.cash.mean())


class TestNoTurnoverDeadlock:
    def test_names_leaving_the_universe_are_sold_down_within_the_limit(self, universe):
        cut = pd.Timestamp("2025-06-15").date()

        def shrinking(d):
            return universe if d < cut else universe[10:]

        result = Backtest(shrinking, START, END, bnds={"*": (0, 0.15)}, turnover_limit=0.05).run(progress=False)
        assert (result.status == "optimal").all(), result.status.to_dict()
        assert (result.turnover.iloc[1:] <= 0.05 + 2e-3).all()
        left = [i for i in universe[:10] if i in result.weights.columns]
        for day in result.weights.index[result.weights.index.date > cut]:
            h = drifted_before(result, day).reindex(left, fill_value=0.0)
            assert (result.weights.loc[day, left] <= h + 1e-4).all()  # the solver leaves bounds by a little
        assert result.weights.loc[result.weights.index[-1], left].sum() > 0  # not all sold at once


class TestCostAwareObjective:
    def test_the_objectives_model_trades_from_each_dates_holdings(self, universe, monkeypatch):
        from velquor.objective import MeanVariance

        monkeypatch.setattr(zorvata, "get_daily_bars", fake_bars(lambda i: 1e8))
        returns = pd.Series(np.linspace(-0.1, 0.2, len(universe)), index=universe)

        def turnover(model):
            bt = Backtest(universe, START, END, bnds={"*": (0, 0.15)},
                          objective=MeanVariance(expected_returns=returns, transaction_cost_model=model))
            assert bt.path_dependent == (model is not None)
            return bt.run(progress=False).turnover.iloc[1:]

        free, held = turnover(None), turnover(CostModel(capital=1e8, aversion=1e3))
        assert free.max() > 0.01
        assert held.max() < 1e-3  # the prohibitive cost of leaving the holdings keeps them


@pytest.mark.slow
def test_engines_agree_to_the_bit_with_fills_lots_and_costs(market_db):
    ids = sorted(zorvata.all_instruments("CS", "2025-04-30")["order_book_id"])
    bt = Backtest(ids, START, END, rebalance="weekly", bnds={"*": (0, 0.05)}, capital=1e8, cost=CostModel())
    serial, pooled = bt.run(progress=False), bt.run(engine="process", workers=2, progress=False)
    pd.testing.assert_series_equal(serial.nav, pooled.nav, check_exact=True)
    pd.testing.assert_frame_equal(serial.unfilled, pooled.unfilled, check_exact=True)
    assert len(serial.unfilled) > 0


class TestConfiguration:
    def test_toml_cost_table_capital_and_rules(self, tmp_path):
        from velquor.config import BadInput, backtest_from_config

        path = tmp_path / "bt.toml"
        path.write_text('universe = ["000001.XSHE"]\nstart = "2025-05-01"\nend = "2025-06-30"\n'
                        'capital = 5e7\nexchange_rules = false\n[cost]\ncommission = 0.001\nimpact = 0.5\n')
        bt, _, _ = backtest_from_config(path)
        assert (bt.capital, bt.exchange_rules, bt.cost.commission, bt.cost.impact) == (5e7, False, 0.001, 0.5)
        path.write_text('universe = ["000001.XSHE"]\nstart = "2025-05-01"\nend = "2025-06-30"\n'
                        '[cost]\nfee = 1\n')
        with pytest.raises(BadInput, match="cost: .*fee"):
            backtest_from_config(path)
