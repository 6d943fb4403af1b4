"""to_orders on the session market: lots and the STAR rule, rounding within a lot of the target, the cash and
its buffer, suspended stocks, and the input errors."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zorvata
from velquor.exception import InvalidArgument
from velquor.trading import board_lots, to_orders

from .trading_support import flagged_market

DATE = "2026-06-01"
CAPITAL = 5e7


@pytest.fixture(scope="module")
def listed(market_db):
    """Every stock with a bar on the day before DATE, and its close there."""
    prev = zorvata.get_previous_trading_date(DATE)
    bars = zorvata.get_daily_bars(prev, prev, ["close"])
    return bars.set_index("order_book_id")["close"]


@pytest.fixture(scope="module")
def target(listed):
    rng = np.random.default_rng(3)
    w = pd.Series(rng.random(len(listed)) ** 3, index=listed.index)
    return w / w.sum() * 0.97


def _held(listed, rng, n=40):
    """Random holdings, odd lots among them."""
    ids = rng.choice(listed.index.to_numpy(), n, replace=False)
    return pd.Series(rng.integers(1, 30, n) * 100 + np.where(rng.random(n) < 0.3, rng.integers(1, 99, n), 0),
                     index=ids)


class TestRounding:
    @pytest.mark.parametrize("seed", [0, 1])
    def test_orders_are_whole_lots_and_land_within_a_lot_of_the_target(self, listed, target, seed):
        held = _held(listed, np.random.default_rng(seed))
        res = to_orders(target, DATE, CAPITAL, held, tracking_error=False)
        o = res.orders.set_index("order_book_id")
        assert (o["shares"] > 0).all() and set(o["side"]) <= {"buy", "sell"}
        first, step = board_lots(o.index)
        star = o.index.str.startswith("688")
        buys = o["side"] == "buy"
        h = held.reindex(o.index, fill_value=0).to_numpy()
        whole_sale = (~buys) & (o["shares"].to_numpy() == h)
        # buys: lots of 100; on the STAR market at least 200, then any number
        assert (o.loc[buys & ~star, "shares"] % 100 == 0).all()
        assert (o.loc[buys & star, "shares"] >= 200).all() and star.any()
        # sales: lots too, unless they sell the whole position (the only way an odd lot goes)
        assert (o.loc[~buys & ~star & ~whole_sale, "shares"] % 100 == 0).all()
        assert (o.loc[~buys & star & ~whole_sale, "shares"] >= 200).all()
        odd = held[held % 100 != 0]
        assert any(i in o.index and o.loc[i, "side"] == "sell" for i in odd.index)
        # the shares after are the holdings plus the orders; each within one lot (STAR: its minimum) of the target
        after = held.reindex(res.shares.index, fill_value=0) + o["shares"].where(buys, -o["shares"]).reindex(
            res.shares.index, fill_value=0)
        assert (after == res.shares).all()
        first_all, _ = board_lots(res.shares.index)
        price = listed.reindex(res.shares.index).to_numpy()
        gap = np.abs(res.weights - target.reindex(res.weights.index, fill_value=0)).to_numpy() * CAPITAL
        assert (gap <= first_all * price + 1e-6).all()
        assert np.allclose(o["value"], o["shares"] * o["price"])
        assert np.allclose(o["price"], listed.reindex(o.index))
        # money adds up: what is held after plus the cash is the capital
        assert res.cash >= 0 and abs((res.shares * price).sum() + res.cash - CAPITAL) < 1e-4
        assert res.tracking_error != res.tracking_error and 0 < res.weight_gap < 0.01

    def test_cash_buffer_and_minimum_trade_value(self, listed, target):
        held = _held(listed, np.random.default_rng(5))
        res = to_orders(target / target.sum(), DATE, CAPITAL, held, cash_buffer=0.02, min_trade_value=50_000,
                        tracking_error=False)
        assert res.cash >= 0.02 * CAPITAL - 1e-6 and res.weights.sum() <= 0.98 + 1e-12
        small = res.orders["value"] < 50_000
        # only whole sales of positions the target drops go below the minimum
        dropped = set(held.index) - set(target.index[target > 0])
        assert set(res.orders.loc[small, "order_book_id"]) <= dropped
        assert res.not_traded  # the trades the minimum held back are named

    def test_a_full_target_never_overspends(self, listed):
        # every stock rounded up would cost more than the capital: the rounded-up buys come down first
        w = pd.Series(1.0 / len(listed), index=listed.index)
        res = to_orders(w, DATE, 3e6, tracking_error=False)
        assert res.cash >= -1e-6 and res.weights.sum() <= 1.0
        assert res.cash < (listed * 100).max()  # and not much is left idle

    def test_capital_defaults_to_the_holdings_and_cash(self, listed, target):
        held = _held(listed, np.random.default_rng(2))
        value = float((held * listed.reindex(held.index)).sum())
        res = to_orders(target, DATE, None, held, cash=1e6, tracking_error=False)
        assert abs((res.shares * listed.reindex(res.shares.index)).sum() + res.cash - value - 1e6) < 1e-4

    def test_past_the_data_and_after_a_suspension_the_last_close_counts(self, listed, target):
        last = zorvata.data_end()
        later = zorvata.get_next_trading_date(zorvata.get_next_trading_date(last))
        closes = zorvata.get_daily_bars(last, last, ["close"]).set_index("order_book_id")["close"]
        res = to_orders(target.reindex(closes.index).dropna(), later, CAPITAL, tracking_error=False)
        assert np.allclose(res.orders.set_index("order_book_id")["price"], closes.reindex(res.orders["order_book_id"]))
        # a stock suspended the day before: its close before the suspension
        flags = zorvata.get_daily_flags("2025-01-01", DATE, ["suspended"])
        flags = flags[flags["suspended"]]
        stops = set(zip(flags["order_book_id"], flags["date"].dt.date))
        sid, day = next((i, d.date()) for i, d in zip(flags["order_book_id"][::-1], flags["date"][::-1])
                        if (i, zorvata.get_next_trading_date(d)) not in stops)  # trades again the next day
        before = zorvata.get_daily_bars("2025-01-01", day, ["close"], [sid])["close"].iloc[-1]
        res = to_orders({sid: 0.5}, zorvata.get_next_trading_date(day), 1e7, tracking_error=False)
        assert res.orders["price"].tolist() == [before]

    def test_cost_model_estimate_is_paid_from_the_cash(self, listed, target):
        seen = {}

        class Flat:
            def estimate(self, trades, date):
                seen["date"], seen["n"] = date, len(trades)
                return pd.DataFrame({"total": np.abs(trades) * 0.001})

        free = to_orders(target, DATE, CAPITAL, tracking_error=False)
        paid = to_orders(target, DATE, CAPITAL, cost_model=Flat(), tracking_error=False)
        assert paid.cost == pytest.approx(0.001 * free.orders["value"].sum(), rel=0.02)
        assert abs((paid.shares * listed.reindex(paid.shares.index)).sum() + paid.cash + paid.cost - CAPITAL) < 1e-4
        assert str(seen["date"]) == DATE and seen["n"] == len(paid.orders)

    def test_tracking_error_is_the_risk_models(self, listed, target):
        from velquor.helper import OptimizeHelper

        res = to_orders(target, DATE, 2e6)
        d = (res.weights - target.reindex(res.weights.index, fill_value=0)).to_numpy()
        cov = OptimizeHelper(list(res.weights.index), DATE, None, "daily", "v1", 1.0, 1.0).get_cov_matrix()
        assert res.tracking_error == pytest.approx(np.sqrt(252 * d @ np.asarray(cov) @ d), rel=1e-6)
        assert res.tracking_error > 0


def test_suspended_stocks_get_no_order(market_db, tmp_path, listed, target):
    held = _held(listed, np.random.default_rng(4), n=10)
    stop = [held.index[0], target.index[target.argmax()]]
    flags = [(DATE, i, True, False, False) for i in stop]
    with flagged_market(market_db, tmp_path, flags=flags):
        res = to_orders(target, DATE, CAPITAL, held, tracking_error=False)
    assert not set(stop) & set(res.orders["order_book_id"])
    assert res.shares[stop[0]] == held[stop[0]] and res.shares[stop[1]] == 0
    assert set(stop) <= set(res.not_traded)
    # the demo's own suspensions: a stock suspended that day keeps what it holds
    f = zorvata.get_daily_flags(DATE, DATE, ["suspended"])
    if len(f[f["suspended"]]):
        sid = f.loc[f["suspended"], "order_book_id"].iloc[0]
        res = to_orders(pd.Series({sid: 0.5}), DATE, CAPITAL, pd.Series({sid: 300}), tracking_error=False)
        assert res.orders.empty and res.shares[sid] == 300


@pytest.mark.parametrize("kwargs, message", [
    (dict(target_weights={"600000.XSHG": 0.7, "000001.XSHE": 0.6}), "target_weights sum to 1.3, more than 1"),
    (dict(target_weights={"000001.XSHE": -0.1}), "target_weights: '000001.XSHE' has weight -0.1, outside [0, 1]"),
    (dict(target_weights=[0.5]), "target_weights must be a pandas Series or a dict by order_book_id, got list"),
    (dict(target_weights={"000001.XSHE": "x"}), "target_weights: '000001.XSHE' has 'x', not a finite number"),
    (dict(date="2026-05-31"), "date 2026-05-31 is not a trading date"),
    (dict(current_shares={"000001.XSHE": -100}),
     "current_shares: '000001.XSHE' holds -100.0 shares; short positions are not supported"),
    (dict(cash_buffer=1.0), "cash_buffer must be a number in [0, 1), got 1.0"),
    (dict(lot=0), "lot must be a whole number of shares >= 1, got 0"),
    (dict(capital=None), "capital must be above 0 (nothing held and no cash)"),
    (dict(target_weights={"999999.XSHG": 0.5}),
     "no price for 999999.XSHG on or before 2026-05-29 (not listed yet?); pass price= for them"),
])
def test_bad_input_is_named(market_db, kwargs, message):
    args = dict(target_weights={"000001.XSHE": 0.5}, date=DATE, capital=1e6, tracking_error=False) | kwargs
    with pytest.raises(InvalidArgument) as e:
        to_orders(**args)
    assert str(e.value) == message
