"""The demo market's events: reclassifications, restatements, the crash, the bars and the boards' price limits."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
import zorvata


def _query(sql, params=()):
    con = zorvata.connect().cursor()
    try:
        return con.execute(sql, list(params)).df()
    finally:
        con.close()


def test_reclassifications_are_in_the_history_and_the_truth(market_db):
    ev = _query("SELECT * FROM demo_truth_events WHERE event = 'reclassification'")
    assert len(ev) > 0
    for row in ev.itertuples():
        old, new = row.detail.split(" -> ")
        day = pd.Timestamp(row.date).date()
        before = zorvata.get_industry([row.order_book_id], "sw", zorvata.get_previous_trading_date(day))
        assert before.tolist() == [old] and zorvata.get_industry([row.order_book_id], "sw", day).tolist() == [new]
        assert zorvata.get_industry([row.order_book_id], "citics", day).size == 1
        # the generator's exposures use the industry of each month
        truth = _query("SELECT date, industry FROM demo_truth_exposures WHERE order_book_id = ? ORDER BY date",
                       [row.order_book_id])
        after = pd.to_datetime(truth["date"]).dt.date >= day
        assert set(truth.loc[after, "industry"]) == {new}
        assert set(truth.loc[~after, "industry"]) <= {old}
    assert zorvata.instruments(ev.order_book_id.iloc[0]).industry_sw == ev.detail.iloc[0].split(" -> ")[1]


def test_restatements_are_later_versions_of_a_report(market_db):
    ev = _query("SELECT * FROM demo_truth_events WHERE event = 'restatement'")
    assert len(ev) > 0
    f = _query("SELECT order_book_id, report_date, announce_date, sales FROM fundamentals")
    f["report_date"] = pd.to_datetime(f["report_date"])
    versions = f.groupby(["order_book_id", "report_date"]).agg(n=("sales", "size"), first=("announce_date", "min"),
                                                                last=("announce_date", "max"))
    restated = versions[versions["n"] > 1]
    assert len(restated) == len(ev)
    assert (pd.to_datetime(restated["last"]) > pd.to_datetime(restated["first"])).all()


@pytest.fixture(scope="module")
def bars(market_db):
    """Every stock bar, with the previous bar's close in today's shares (the limits' reference), the
    sessions since listing, the day's limit by board and ST status, and the day's flags."""
    b = _query("SELECT b.*, i.listed_date FROM daily_bars b JOIN instruments i USING (order_book_id) "
               "ORDER BY order_book_id, date")
    days = pd.to_datetime(_query("SELECT date FROM trading_dates ORDER BY date")["date"]).to_numpy()
    b["date"] = pd.to_datetime(b["date"])
    pos = np.searchsorted(days, b["date"].to_numpy())
    b["age"] = pos - np.searchsorted(days, pd.to_datetime(b["listed_date"]).to_numpy())
    g = b.groupby("order_book_id")
    b["ref"] = g["close"].shift() * g["adj_factor"].shift() / b["adj_factor"]
    b["gap"] = pos - g["date"].shift().map(lambda d: np.searchsorted(days, d) if pd.notna(d) else -9)
    st = zorvata.get_st_status(sorted(b["order_book_id"].unique()), days[0], days[-1]).stack()
    b["st"] = st.reindex(pd.MultiIndex.from_frame(b[["date", "order_book_id"]])).to_numpy()
    board = b["order_book_id"].str[:3]
    wide = (board == "688") | ((board == "300") & (b["date"] >= "2020-08-24"))
    b["limit"] = np.where(wide, 0.2, np.where(b["st"], 0.05, 0.1))
    f = zorvata.get_daily_flags(days[0], days[-1])
    b = b.merge(f, on=["date", "order_book_id"], how="left")
    for c in ("suspended", "limit_up", "limit_down"):
        b[c] = b[c].fillna(False).astype(bool)
    return b


def _ticks(x):
    return np.floor(x * 100 + 0.5 + 1e-6) / 100


class TestBarsAndFlags:
    def test_closes_stay_within_the_limits_and_the_flags_say_when_they_reach_them(self, bars):
        limited = bars[bars["ref"].notna() & (bars["age"] >= 5)]
        up = _ticks(limited["ref"] * (1 + limited["limit"]))
        down = _ticks(limited["ref"] * (1 - limited["limit"]))
        close = limited["close"]
        assert ((close >= down - 1e-9) & (close <= up + 1e-9)).all()
        assert (limited["limit_up"] == np.isclose(close, up, rtol=0, atol=1e-9)).all()
        assert (limited["limit_down"] == np.isclose(close, down, rtol=0, atol=1e-9)).all()
        # limits of every kind are reached, ST stocks' 5% included; a stock's first sessions have none
        assert limited["limit_up"].sum() > 20 and limited["limit_down"].sum() > 20
        assert (limited["limit_up"] & limited["st"]).any() or (limited["limit_down"] & limited["st"]).any()
        fresh = bars[bars["ref"].notna() & (bars["age"] < 5)]
        assert not (fresh["limit_up"] | fresh["limit_down"]).any()
        # after a suspension the close moves at most the limit from the last close (it catches up later)
        assert (bars["gap"] > 1).sum() > 10

    def test_bars_agree_with_the_returns_and_the_suspensions(self, bars, market_db):
        r = zorvata.get_returns_panel("2023-06-01", "2026-11-30")
        r.columns.name = "order_book_id"
        rate = r.stack().rename("rate")
        got = bars.set_index(["date", "order_book_id"]).join(rate, how="outer")
        # a rate on every day with a bar but the listing day, and none without one
        assert got["close"].notna().sum() == len(bars)
        assert got.loc[got["close"].isna(), "rate"].isna().all()
        assert got.loc[got["close"].notna() & (got["age"] > 0), "rate"].notna().all()
        # the adjusted closes give the returns, across bonus issues too
        both = got.dropna(subset=["rate", "ref"])
        assert np.allclose(both["close"] / both["ref"] - 1, both["rate"], rtol=0, atol=1e-12)
        assert (bars["adj_factor"] > 1).any()
        # a suspended day has no bar: a flagged day never shows up among the bars
        flags = zorvata.get_daily_flags("2023-06-01", "2026-11-30")
        assert flags["suspended"].sum() > 0 and not bars["suspended"].any()
        # volumes in lots; the average price lies between the open and the close
        assert (bars["volume"] >= 100).all() and (bars["volume"] % 100 == 0).all()
        avg = bars["value"] / bars["volume"]
        assert ((avg >= np.minimum(bars["open"], bars["close"]) - 1e-9)
                & (avg <= np.maximum(bars["open"], bars["close"]) + 1e-9)).all()

    def test_traded_value_scales_with_the_float_cap(self, bars):
        d = zorvata.get_stock_daily("2026-11-02", "2026-11-30", ["float_market_cap", "turnover"])
        v = d.merge(bars[["date", "order_book_id", "value"]], on=["date", "order_book_id"])
        assert np.allclose(v["value"], v["turnover"] * v["float_market_cap"], rtol=1e-9)
        assert np.corrcoef(np.log(v["value"]), np.log(v["float_market_cap"]))[0, 1] > 0.5


def test_crash_is_a_stretch_of_high_volatility(market_db):
    reg = _query("SELECT * FROM demo_truth_regime ORDER BY date")
    crash = reg["crash"].to_numpy()
    assert 20 <= crash.sum() <= 60 and np.all(np.diff(np.flatnonzero(crash)) == 1)
    assert reg["factor_var_mult"][crash].mean() > 2 * reg["factor_var_mult"][~crash].mean()


class TestTruthForecast:
    def test_forecasts_the_realised_risk_of_the_market_and_of_single_stocks(self, market_db):
        from zorvata.demo import truth_forecast

        con = zorvata.connect()
        days = [d for (d,) in con.execute("SELECT date FROM trading_dates WHERE date BETWEEN '2025-01-01' AND "
                                          "'2025-12-31' ORDER BY date").fetchall()]
        rets = zorvata.get_returns_panel(days[0], days[-1])
        z_market, z_stock = [], []
        for d in days[::2]:
            t = truth_forecast(d, con)
            assert t.factor_cov.shape == (len(t.factor_names),) * 2 and np.allclose(t.factor_cov, t.factor_cov.T)
            r = rets.loc[pd.Timestamp(d)].reindex(t.exposures.index)
            ok = r.notna().to_numpy()
            x = t.exposures.to_numpy()[ok]
            w = np.full(ok.sum(), 1.0 / ok.sum())
            e = x.T @ w
            z_market.append(r[ok].to_numpy() @ w / np.sqrt(e @ t.factor_cov @ e + w**2 @ t.specific_var[ok]))
            var = np.einsum("ij,jk,ik->i", x, t.factor_cov, x) + t.specific_var[ok].to_numpy()
            z_stock.extend(r[ok].to_numpy() / np.sqrt(var))
        # the truth is unbiased up to sampling noise (and the price limits, which only shrink returns)
        assert 0.8 < np.std(z_market) < 1.2
        assert 0.9 < np.std(z_stock) < 1.05

    def test_a_day_outside_the_truth_is_refused(self, market_db):
        from zorvata.demo import truth_forecast

        with pytest.raises(LookupError):
            truth_forecast("2001-01-04", zorvata.connect())
