"""The demo market's events: reclassifications, restatements, the crash and the boards' price limits."""

from __future__ import annotations

import numpy as np
import pytest
import pandas as pd
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


def test_daily_returns_respect_the_board_limits(market_db):
    r = _query("SELECT p.date, p.order_book_id, p.rate, i.listed_date FROM price_change_rate p "
               "JOIN instruments i USING (order_book_id) WHERE i.type = 'CS'")
    r["prev"] = r.groupby("order_book_id")["date"].shift()
    days = pd.Series([d.date() for d in pd.to_datetime(_query("SELECT date FROM trading_dates ORDER BY date")["date"])])
    pos = {d: i for i, d in enumerate(days)}
    day_pos = r["date"].map(lambda d: pos[pd.Timestamp(d).date()])
    prev_pos = r["prev"].map(lambda d: pos.get(pd.Timestamp(d).date(), -9) if pd.notna(d) else -9)
    listed = pd.Series(np.searchsorted(pd.to_datetime(days).to_numpy(), pd.to_datetime(r["listed_date"]).to_numpy()))
    one_day = (day_pos - prev_pos == 1) & (day_pos - listed >= 5)
    board = r["order_book_id"].str[:3]
    wide = (board == "688") | ((board == "300") & (pd.to_datetime(r["date"]) >= "2020-08-24"))
    limit = np.where(wide, 0.2, 0.1)
    # a one-day return moves the price by at most the limit of the stock's board
    assert (np.abs(r["rate"][one_day]) <= limit[one_day] + 1e-12).all()
    assert (np.abs(r["rate"][one_day]) > 0.0999).any()  # limits are hit


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
