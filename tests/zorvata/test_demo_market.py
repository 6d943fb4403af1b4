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


class TestLimitAwareTruth:
    """The truth of the returns the market produces: each stock's return clipped to its price limits."""

    @pytest.mark.parametrize("m, s, lower, upper", [
        (0.0, 0.02, -0.1, 0.1),  # barely clipped
        (0.085, 0.03, -0.1, 0.1),  # the systematic move near the limit
        (-0.2, 0.05, -0.1, 0.1),  # beyond the lower limit: mostly at it
        (0.01, 0.02, -np.inf, np.inf),  # no limits
        (0.3, 0.0, -0.1, 0.1),  # no noise: the clipped move itself
    ])
    def test_clipped_moments_of_a_student_t_return(self, m, s, lower, upper):
        from scipy import integrate, stats
        from zorvata.demo import _clipped_moments

        mean, var = _clipped_moments(np.array([m]), np.array([s]), np.array([lower]), np.array([upper]))
        if s == 0:
            assert mean[0] == np.clip(m, lower, upper) and var[0] == 0
            return
        scale = s / np.sqrt(5 / 3)

        a, b = (lower - m) / scale, (upper - m) / scale

        def moment(k):  # at the limits with their probabilities, between them by quadrature
            inside = integrate.quad(lambda t: (m + scale * t) ** k * stats.t.pdf(t, 5), a, b, limit=200)[0]
            at_limits = [lim ** k * p for lim, p in ((lower, stats.t.cdf(a, 5)), (upper, stats.t.sf(b, 5)))
                         if np.isfinite(lim)]
            return inside + sum(at_limits)

        m1 = moment(1)
        assert mean[0] == pytest.approx(m1, abs=1e-10)
        assert var[0] == pytest.approx(moment(2) - m1 * m1, rel=1e-7)

    def _market(self, seed=3, n=60, k=5):
        rng = np.random.default_rng(seed)
        x = np.c_[np.ones(n), rng.standard_normal((n, k - 1))]
        a = rng.standard_normal((k, k)) * 0.01
        cov = a @ a.T
        cov[0, 0] += 0.03 ** 2  # a crash-like market: the limits bind often
        sv = (0.02 * np.exp(0.3 * rng.standard_normal(n))) ** 2
        lower, upper = np.full(n, -0.1), np.full(n, 0.1)
        lower[:5], upper[:5] = -0.05, 0.05
        mu = np.zeros(k)
        mu[0] = -0.006
        w = np.vstack([np.full(n, 1 / n), rng.dirichlet(np.ones(n)),
                       np.r_[np.full(n // 2, 2 / n), np.full(n - n // 2, -2 / n)]])
        return x, cov, sv, mu, lower, upper, w

    def test_matches_a_simulation_of_the_generators_draw(self):
        from zorvata.demo import _FACTOR_TAIL_DOF, limited_variance

        x, cov, sv, mu, lower, upper, w = self._market()
        rng = np.random.default_rng(11)
        chol = np.linalg.cholesky(cov)
        sims = []
        for _ in range(8):
            m = 100_000
            tail = np.sqrt((_FACTOR_TAIL_DOF - 2) / rng.chisquare(_FACTOR_TAIL_DOF, m))
            f = (rng.standard_normal((m, len(mu))) @ chol.T) * tail[:, None] + mu
            r = f @ x.T + rng.standard_t(5, (m, len(sv))) / np.sqrt(5 / 3) * np.sqrt(sv)
            sims.append(np.clip(r, lower, upper) @ w.T)
        simulated = np.vstack(sims).var(axis=0)
        e = w @ x
        plain = np.einsum("pk,kl,pl->p", e, cov, e) + (w * w) @ sv
        assert (plain > 1.15 * simulated).all()  # the limits matter here
        forecast = np.mean([limited_variance(x, cov, sv, mu, lower, upper, w, seed=s) for s in range(8)], axis=0)
        np.testing.assert_allclose(forecast, simulated, rtol=0.04)

    def test_without_limits_it_is_the_plain_variance_and_a_seed_repeats_it(self):
        from zorvata.demo import limited_variance

        x, cov, sv, mu, lower, upper, w = self._market()
        e = w @ x
        plain = np.einsum("pk,kl,pl->p", e, cov, e) + (w * w) @ sv
        inf = np.full(len(sv), np.inf)
        np.testing.assert_allclose(limited_variance(x, cov, sv, mu, -inf, inf, w), plain, rtol=1e-12)
        every = limited_variance(x, cov, sv, mu, lower, upper, w, seed=5)
        assert np.array_equal(every, limited_variance(x, cov, sv, mu, lower, upper, w, seed=5))
        one = limited_variance(x, cov, sv, mu, lower, upper, w[0], seed=5)
        assert np.ndim(one) == 0 and one == pytest.approx(every[0], rel=1e-12)

    def test_bounds_are_each_days_board_and_special_treatment_limits(self, market_db, bars):
        from zorvata.demo import TruthLaw, truth_forecast

        con = zorvata.connect()
        law = TruthLaw(con)
        days = sorted(bars["date"].unique())
        for day in days[5::97]:
            b = bars[bars["date"] == day]
            lower, upper = law.bounds(day, b["order_book_id"])
            expect = np.where(b["age"] < 5, np.inf, b["limit"])
            np.testing.assert_array_equal(upper, np.minimum(expect, 1.0))
            np.testing.assert_array_equal(lower, np.maximum(-expect, -0.5))
        # the truth of a crash day: drifting down, and the limits take a share of its variance
        crash = con.execute("SELECT min(date) FROM demo_truth_regime WHERE crash").fetchone()[0]
        t = truth_forecast(crash, con, law)
        assert t.factor_mean[0] < -0.005 and t.factor_mean[t.factor_names.index("size")] < 0
        w = np.full(len(t.specific_var), 1.0 / len(t.specific_var))
        e = t.exposures.to_numpy().T @ w
        assert t.limited_variance(w) < 0.99 * (e @ t.factor_cov @ e + w * w @ t.specific_var.to_numpy())


@pytest.mark.slow
def test_ctrl_c_during_a_demo_build_exits_130_with_one_line_and_leaves_no_file(tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    out = tmp_path / "demo.duckdb"
    proc = subprocess.Popen([sys.executable, "-m", "zorvata", "build-demo", "--out", str(out), "--n-stocks", "3000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={k: v for k, v in os.environ.items() if k != "ZORVATA_DB"})
    time.sleep(5.0)  # past the package's imports (Python's own, before the command runs): in the simulation
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    if proc.returncode == 0:
        pytest.skip("the build finished before the interrupt")
    assert proc.returncode == 130, err
    assert err.splitlines()[-1] == "zorvata: error: interrupted" and "Traceback" not in err, err
    assert not out.exists() and not [p for p in tmp_path.iterdir() if p.name.startswith(".demo")], list(tmp_path.iterdir())
