"""The daily bookkeeping: NAV, turnover, costs, drift, delistings and the benchmark, checked by replay."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zorvata

from .backtest_support import COST, DELISTED, DELISTED_ON, basic_backtest, replay


class TestReplay:
    def test_nav_turnover_and_costs_match_an_independent_replay(self, basic):
        _, res = basic
        nav, turnover, costs = replay(res, COST)
        np.testing.assert_allclose(res.nav.to_numpy(), nav.to_numpy(), rtol=0, atol=1e-12)
        np.testing.assert_allclose(res.turnover.to_numpy(), turnover.to_numpy(), rtol=0, atol=1e-12)
        np.testing.assert_allclose(res.costs.to_numpy(), costs.to_numpy(), rtol=0, atol=1e-15)

    def test_first_rebalance_from_cash_counts_one(self, basic):
        _, res = basic
        assert res.turnover.iloc[0] == pytest.approx(1.0, abs=1e-12)
        assert res.costs.iloc[0] == pytest.approx(COST, abs=1e-15)
        assert (res.turnover.iloc[1:] < 1.0).all()

    def test_series_are_dated_by_close_from_the_first_rebalance(self, basic):
        _, res = basic
        days = pd.DatetimeIndex(pd.to_datetime(zorvata.get_trading_dates("2025-05-01", "2025-10-31")))
        assert list(res.nav.index) == list(days)
        assert list(res.holdings.index) == list(days)
        assert list(res.weights.index) == [days[days.to_period("M") == m][0] for m in days.to_period("M").unique()]
        assert res.nav.index.dtype == "datetime64[ns]"
        # weights held after each trade are the targets, fully invested but for the trades of suspended
        # stocks that did not fill (the market has suspensions): those dates keep some cash
        np.testing.assert_allclose(res.weights.sum(axis=1) + res.cash, 1.0, atol=1e-9)
        short = res.weights.index[res.weights.sum(axis=1) < 1 - 1e-9]
        assert set(short) <= set(pd.DatetimeIndex(res.unfilled["date"]))
        assert (res.status == "optimal").all()

    def test_holdings_drift_with_returns_between_rebalances(self, basic):
        _, res = basic
        day = res.nav.index[res.nav.index.get_loc(res.weights.index[1]) + 3]
        prev = res.nav.index[res.nav.index.get_loc(day) - 1]
        ids = list(res.holdings.columns)
        r = zorvata.get_price_change_rate(ids, day, day).reindex(columns=ids).fillna(0.0).iloc[0].to_numpy()
        h = res.holdings.loc[prev].to_numpy()
        expected = h * (1 + r) / (1 + h @ r)
        np.testing.assert_allclose(res.holdings.loc[day].to_numpy(), expected, atol=1e-14)


class TestDelisting:
    def test_weight_turns_to_cash_and_nav_does_not_jump(self, basic):
        _, res = basic
        july = res.weights.index[res.weights.index.month == 7][0]
        assert res.weights.loc[july, DELISTED] >= 0.02 - 1e-6  # held by its lower bound
        before = res.holdings.index[res.holdings.index < DELISTED_ON][-1]
        assert res.holdings.loc[before, DELISTED] > 0
        after = res.holdings.loc[DELISTED_ON:, DELISTED]
        assert (after == 0).all()
        cash = 1.0 - res.holdings.sum(axis=1)
        aug = res.weights.index[res.weights.index.month == 8][0]
        held = cash.loc[DELISTED_ON:aug - pd.Timedelta(days=1)]
        assert (held > 0.01).all()
        # the cash earns nothing until the next rebalance: its weight only drifts with the NAV
        value = held * res.nav.loc[held.index]
        np.testing.assert_allclose(value.to_numpy(), value.iloc[0], rtol=1e-9)
        assert cash.loc[before] == pytest.approx(0.0, abs=1e-9)
        # the stock's last weight is cash from the delisting day on, drifting down with the portfolio's return
        day_return = res.nav.loc[DELISTED_ON] / res.nav.loc[before]
        assert cash.loc[DELISTED_ON] == pytest.approx(res.holdings.loc[before, DELISTED] / day_return, abs=1e-12)


class TestBenchmark:
    def test_benchmark_nav_follows_index_weights(self, basic):
        _, res = basic
        day0 = res.nav.index[0]
        w = zorvata.index_weights("000905.XSHG", day0)
        r = zorvata.get_price_change_rate(list(w.index), day0, day0).reindex(columns=w.index).fillna(0.0)
        assert res.benchmark_nav.iloc[0] == pytest.approx(1.0 + (w / w.sum()) @ r.iloc[0], abs=1e-14)
        assert res.benchmark_nav.index.equals(res.nav.index)

    def test_summary_statistics(self, basic):
        _, res = basic
        s = res.summary()
        r = res.nav.pct_change().fillna(res.nav.iloc[0] - 1.0)
        assert s["annualised_return"] == pytest.approx(res.nav.iloc[-1] ** (252 / len(r)) - 1.0)
        assert s["volatility"] == pytest.approx(r.std() * np.sqrt(252))
        assert s["max_drawdown"] == pytest.approx(float(-(res.nav / res.nav.cummax().clip(lower=1) - 1).min()))
        assert s["mean_turnover"] == pytest.approx(res.turnover.iloc[1:].mean())
        active = r - res.benchmark_nav.pct_change().fillna(res.benchmark_nav.iloc[0] - 1.0)
        assert s["tracking_error"] == pytest.approx(active.std() * np.sqrt(252))
        assert 0 < s["tracking_error_ex_ante"] < 1
        assert (s["rebalances"], s["optimal"], s["failed"]) == (6, 6, 0)


class TestTurnoverLimit:
    def test_limit_holds_on_every_date_after_the_first(self, basic):
        _, free = basic
        res = basic_backtest(turnover_limit=0.05).run(progress=False)
        assert (res.status == "optimal").all(), res.notes.to_dict()
        assert res.turnover.iloc[0] == pytest.approx(1.0, abs=1e-12)  # from cash: exempt
        assert (res.turnover.iloc[1:] <= 0.05 + 1e-4).all(), res.turnover
        assert free.turnover.iloc[1:].max() > 0.06  # the limit binds somewhere
        nav, turnover, _ = replay(res, COST)
        np.testing.assert_allclose(res.nav.to_numpy(), nav.to_numpy(), rtol=0, atol=1e-12)
        np.testing.assert_allclose(res.turnover.to_numpy(), turnover.to_numpy(), rtol=0, atol=1e-12)


    def test_dates_the_limit_does_not_hold_back_are_the_unlimited_answers(self):
        # With the limit never reached (one-way turnover is at most 1), every date after the first is the
        # optimum of its problem without the limit: the same bits as the backtest without one.
        pool = zorvata.index_weights("000905.XSHG", "2025-04-30").index[:60].tolist()
        free = basic_backtest(universe=pool, bnds=None).run(progress=False)
        loose = basic_backtest(universe=pool, bnds=None, turnover_limit=1.0).run(progress=False)
        assert loose.weights.equals(free.weights)
        assert np.array_equal(loose.nav.to_numpy(), free.nav.to_numpy())

    def test_a_binding_limit_is_solved_with_it_and_the_next_date_at_once(self, monkeypatch):
        from velquor.backtest import backtest as bmod

        pool = zorvata.index_weights("000905.XSHG", "2025-04-30").index[:60].tolist()
        tried = []
        real = bmod._free_fits
        monkeypatch.setattr(bmod, "_free_fits", lambda p, o: tried.append((o.key[1], real(p, o))) or tried[-1][1])
        res = basic_backtest(universe=pool, bnds=None, turnover_limit=0.01).run(progress=False)
        assert (res.status == "optimal").all(), res.notes.to_dict()
        assert (res.turnover.iloc[1:] <= 0.01 + 1e-6).all(), res.turnover
        # the second date is tried free and refused (a 1% limit binds); after a date at its limit the next
        # is solved with the limit without a trial
        assert tried == [(1, False)]


class TestSchedule:
    @pytest.mark.parametrize("freq, period",
                             [("daily", "D"), ("weekly", "W"), ("monthly", "M"), ("quarterly", "Q")])
    def test_first_trading_day_of_each_period(self, freq, period):
        from velquor.backtest.backtest import _schedule

        dates, days = _schedule(basic_backtest(rebalance=freq, start="2025-03-29", end="2025-12-31"))
        trading = pd.DatetimeIndex(zorvata.get_trading_dates("2025-03-29", "2025-12-31"))
        expected = trading.to_series().groupby(trading.to_period(period)).min()
        assert [pd.Timestamp(d) for d in dates] == list(expected)
        assert days[0] == dates[0] and days[-1] == trading[-1].date()

    def test_listed_dates_are_kept_and_days_run_to_the_end(self):
        import datetime as dt

        from velquor.backtest.backtest import _schedule

        picked = [dt.date(2025, 9, 1), dt.date(2025, 6, 3)]
        dates, days = _schedule(basic_backtest(rebalance=picked))
        assert dates == sorted(picked)
        assert days[0] == dt.date(2025, 6, 3) and days[-1] == dt.date(2025, 10, 31)
