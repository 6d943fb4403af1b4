"""Out-of-sample validation of the risk model on the demo market, against the truth it was drawn from.

Bias statistic: for a portfolio held over one forecast horizon, z = realised return / predicted volatility;
the bias statistic is sqrt(mean z^2) over non-overlapping windows, with its standard error in brackets (from
the spread of the windows' z^2). A model that forecasts risk correctly gives 1. Portfolios: 20 random
long-only portfolios of 100 stocks per window, the fully invested minimum-variance portfolio of the 300
largest stocks (built with the model it is scored by), the cap-weighted market, an active portfolio (100
random stocks equally weighted minus the market) and three style portfolios (equally weighted top minus
bottom quintile of size, momentum and residual volatility exposure). Only as-of dates from --start on are
scored: the model's parameters were set on the history before it.

Truth comparison (daily models): predicted factor volatilities and specific volatilities against the
generator's next-day values (its covariance and specific volatilities times its volatility regime).

Model against the truth (the default): per horizon, version and portfolio kind (market, 100 random stocks
equally weighted minus the market, top-minus-bottom quintiles of size, momentum and residual volatility, one
random long-only portfolio of 100 stocks), z = realised return / predicted volatility of the model and of
the generator's own forecast (``zorvata.demo.truth_forecast``: its covariance and specific variances times
its volatility regime, which no model can know) on the same windows. The truth the target is judged against
is limit-aware: the variance of the returns the market produces, each stock's return clipped to its price
limits (``TruthForecast.limited_variance``); the truth without the limits is shown beside it (its bias
statistic and the model's QLIKE ratio against it). Per sample (every window; for daily
models also every third day at offsets 0, 1 and 2; each half of the period): the bias statistic (standard
deviation of z) of both, the root mean square beside it, and the mean QLIKE loss z^2 - log z^2 of both (the
loss of a variance forecast up to terms the two forecasts share, smallest at z^2 = 1), with moving-block
bootstrap standard errors (blocks of about the cube root of the sample's windows). Daily target: the model's
bias within 0.05 of the truth's and its QLIKE within 5% of the truth's, on every sample.

Run: .venv/bin/python bench/validate_riskmodel.py [--db file] [--start 2017-01-01] [--model daily] [--markdown]
     [--classic]
Builds the scored dates that are missing first.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
import pandas as pd

import zorvata


def _portfolio_var(model, rows, w):
    x = model.design(rows)
    e = x.T @ w
    return float(e @ model.factor_cov @ e + (w * w) @ model.specific_var[rows])


class _Oracle:
    """The generator's own forecast: its covariance and specific volatilities of the window's month, times
    the sum of its (in reality unknowable) volatility regime over the window's days."""

    def __init__(self, ctx):
        from velquor.const import STYLE_FACTORS

        con = zorvata.connect().cursor()
        tables = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
        self.ok = "demo_truth_factor_cov" in tables
        if not self.ok:
            con.close()
            return
        tcov = con.execute("SELECT date, factor_1, factor_2, cov FROM demo_truth_factor_cov").df()
        reg = con.execute("SELECT date, factor_var_mult, specific_var_mult FROM demo_truth_regime ORDER BY date").df()
        expo = con.execute("SELECT * FROM demo_truth_exposures").df()
        con.close()
        uni = ctx.universe
        self.names = ["country", *uni.industry_names, *STYLE_FACTORS]
        n_ind = len(uni.industry_names)
        tcov["date"] = pd.to_datetime(tcov["date"]).to_numpy().astype("datetime64[D]")
        expo["date"] = pd.to_datetime(expo["date"]).to_numpy().astype("datetime64[D]")
        self.months = np.sort(tcov["date"].unique())
        self.cov = {d: g.pivot(index="factor_1", columns="factor_2", values="cov")
                    .reindex(index=self.names, columns=self.names).to_numpy() for d, g in tcov.groupby("date")}
        ind_pos = {n: i for i, n in enumerate(uni.industry_names)}
        # per month: exposures and specific volatility over the universe's stocks (NaN rows: unknown)
        self.x, self.svol = {}, {}
        for d, g in expo.groupby("date"):
            col = np.array([uni.position[i] for i in g["order_book_id"]])
            x = np.full((len(uni.ids), len(self.names)), np.nan)
            x[col, 0] = 1.0
            x[col, 1:1 + n_ind] = 0.0
            x[col, 1 + g["industry"].map(ind_pos).to_numpy()] = 1.0
            x[col, 1 + n_ind:] = g[STYLE_FACTORS].to_numpy()
            sv = np.full(len(uni.ids), np.nan)
            sv[col] = g["specific_vol"].to_numpy()
            self.x[d], self.svol[d] = x, sv
        rd = pd.to_datetime(reg["date"]).to_numpy().astype("datetime64[D]")
        self.day_pos = {d: i for i, d in enumerate(rd)}
        self.cf = np.r_[0.0, np.cumsum(reg["factor_var_mult"].to_numpy())]
        self.cs = np.r_[0.0, np.cumsum(reg["specific_var_mult"].to_numpy())]

    def window(self, days):
        """(month, factor regime sum, specific regime sum) of a window of days."""
        month = self.months[np.searchsorted(self.months, days[0], side="right") - 1]
        a, b = self.day_pos[days[0]], self.day_pos[days[-1]] + 1
        return month, self.cf[b] - self.cf[a], self.cs[b] - self.cs[a]

    def known(self, win, cols):
        return np.isfinite(self.svol[win[0]][cols])

    def variance(self, win, cols, w):
        month, vf, vs = win
        x = self.x[month][cols]
        ex = x.T @ w
        return float(ex @ self.cov[month] @ ex * vf + (w * w) @ self.svol[month][cols] ** 2 * vs)


STYLE_PORTFOLIOS = ("size", "momentum", "residual_volatility")


def _bias(vals):
    """Bias statistic sqrt(mean z^2) over windows and its standard error. ``vals`` holds (window, z) pairs;
    portfolios of one window are averaged first, so the error counts windows, not portfolios."""
    df = pd.DataFrame(vals, columns=["window", "z"])
    v = (df["z"] ** 2).groupby(df["window"]).mean().to_numpy()
    b = float(np.sqrt(v.mean()))
    se = float(v.std(ddof=1) / (2.0 * b * np.sqrt(len(v)))) if len(v) > 1 else np.nan
    return b, se


def _portfolios(model, real, rng, n_random, size):
    """(kind, rows, weights) of the scored portfolios of one window."""
    n = len(model.ids)
    size = min(size, n // 2)
    out = []
    for _ in range(n_random):
        rows = np.sort(rng.choice(n, size=size, replace=False))
        out.append(("random", rows, rng.dirichlet(np.ones(size))))
    rows = np.argsort(-model.cap)[:300]
    x = model.design(rows)
    cov = x @ model.factor_cov @ x.T + np.diag(model.specific_var[rows])
    w = np.linalg.solve(cov, np.ones(len(rows)))
    out.append(("min-var", rows, w / w.sum()))
    every = np.arange(n)
    market = model.cap / model.cap.sum()
    out.append(("market", every, market))
    # active: 100 random stocks, equally weighted, against the cap-weighted market
    pick = rng.choice(n, size=size, replace=False)
    active = -market.copy()
    active[pick] += 1.0 / size
    out.append(("active", every, active))
    # style: equally weighted top quintile minus bottom quintile of the exposure
    from velquor.const import STYLE_FACTORS

    for name in STYLE_PORTFOLIOS:
        e = model.style[:, STYLE_FACTORS.index(name)].astype(np.float64)
        lo, hi = np.quantile(e, [0.2, 0.8])
        top, bot = e >= hi, e <= lo
        w = np.where(top, 1.0 / top.sum(), 0.0) - np.where(bot, 1.0 / bot.sum(), 0.0)
        out.append((name, every, w))
    return out


KINDS = ("random", "min-var", "market", "active", *STYLE_PORTFOLIOS)


def _bias_table(ctx, start_pos, end_pos, returns, models, n_random=20, size=100):
    from velquor.const import ESTIMATED_RISK_MODELS, RiskModel
    from velquor.riskmodel.params import HORIZONS

    cols = {k: i for i, k in enumerate(returns.columns)}
    cum = np.vstack([np.zeros(returns.shape[1]), np.nancumsum(returns.to_numpy(), axis=0)])
    pos_of = {d: i for i, d in enumerate(returns.index.to_numpy().astype("datetime64[D]"))}
    oracle = _Oracle(ctx)
    out = []
    for cm in models:
        h = HORIZONS[cm].days
        for rm in ESTIMATED_RISK_MODELS:
            z = {k: [] for k in KINDS}
            zo = {"random": [], "market": []}
            for p in range(start_pos, end_pos - h + 1, h):
                model = ctx.store.read(ctx.day(p), cm, rm)
                if model is None:
                    raise SystemExit(f"missing estimate {ctx.day(p)} {cm.value}-{rm.value}: run the build first")
                r0 = pos_of[ctx.universe.dates[p]]
                cidx = np.array([cols.get(i, -1) for i in model.ids])
                ok = cidx >= 0
                real = np.where(ok, cum[r0 + 1 + h, cidx] - cum[r0 + 1, cidx], 0.0)
                rng = np.random.default_rng(p)
                score_oracle = oracle.ok and rm is RiskModel.V1  # the oracle does not depend on the version
                if score_oracle:
                    win = oracle.window(ctx.universe.dates[p + 1:p + 1 + h])
                    gcol = np.array([ctx.universe.position[i] for i in model.ids])
                for kind, rows, w in _portfolios(model, real, rng, n_random, size):
                    z[kind].append((p, real[rows] @ w / np.sqrt(_portfolio_var(model, rows, w))))
                    if score_oracle and kind == "random":
                        zo["random"].append(real[rows] @ w / np.sqrt(oracle.variance(win, gcol[rows], w)))
                    if score_oracle and kind == "market":
                        known = oracle.known(win, gcol)  # the generator's stocks at the window's start
                        wk = w[known] / w[known].sum()
                        zo["market"].append(real[known] @ wk / np.sqrt(oracle.variance(win, gcol[known], wk)))
            row = {"variant": f"{cm.value}-{rm.value}", "windows": len(z["market"])}
            for kind, vals in z.items():
                b, se = _bias(vals)
                row[kind] = f"{b:.3f} ({se:.3f})"
            row["truth: random"] = float(np.sqrt(np.nanmean(np.square(zo["random"])))) if zo["random"] else np.nan
            row["truth: market"] = float(np.sqrt(np.nanmean(np.square(zo["market"])))) if zo["market"] else np.nan
            out.append(row)
            print("  " + "  ".join(f"{k}: {v}" for k, v in row.items()), flush=True)
    return pd.DataFrame(out)


def _truth_table(ctx, start_pos, end_pos, step=21):
    from velquor.const import ESTIMATED_RISK_MODELS, CovModel

    con = zorvata.connect().cursor()
    tables = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
    if "demo_truth_factor_cov" not in tables:
        return None
    tcov = con.execute("SELECT date, factor_1, factor_2, cov FROM demo_truth_factor_cov").df()
    regime = con.execute("SELECT date, factor_var_mult, specific_var_mult FROM demo_truth_regime").df()
    regime = regime.set_index(pd.to_datetime(regime["date"]).to_numpy().astype("datetime64[D]"))
    expo = con.execute("SELECT date, order_book_id, specific_vol FROM demo_truth_exposures").df()
    con.close()
    tcov["date"] = pd.to_datetime(tcov["date"]).to_numpy().astype("datetime64[D]")
    expo["date"] = pd.to_datetime(expo["date"]).to_numpy().astype("datetime64[D]")
    cov_dates = np.sort(tcov["date"].unique())
    spec_dates = np.sort(expo["date"].unique())
    cov_by = {d: g.pivot(index="factor_1", columns="factor_2", values="cov") for d, g in tcov.groupby("date")}
    spec_by = {d: g.set_index("order_book_id")["specific_vol"] for d, g in expo.groupby("date")}
    rows = []
    for rm in ESTIMATED_RISK_MODELS:
        ratios, spec_ratio, spec_corr, corr_err = [], [], [], []
        for p in range(start_pos, end_pos, step):
            model = ctx.store.read(ctx.day(p), CovModel.FACTOR_MODEL_DAILY, rm)
            nxt = ctx.universe.dates[p + 1]
            truth = cov_by[cov_dates[np.searchsorted(cov_dates, nxt, side="right") - 1]]
            names = model.factor_names
            tc = truth.reindex(index=names, columns=names).to_numpy() * regime.loc[nxt, "factor_var_mult"]
            mv, tv = np.sqrt(np.diag(model.factor_cov)), np.sqrt(np.diag(tc))
            ratios.append(mv / tv)
            mc, tcn = model.factor_cov / np.outer(mv, mv), tc / np.outer(tv, tv)
            iu = np.triu_indices(len(names), 1)
            corr_err.append(np.abs(mc[iu] - tcn[iu]).mean())
            sv = spec_by[spec_dates[np.searchsorted(spec_dates, nxt, side="right") - 1]]
            sv = sv.reindex(model.ids).to_numpy() * np.sqrt(regime.loc[nxt, "specific_var_mult"])
            ok = np.isfinite(sv)
            mvol = np.sqrt(model.specific_var[ok])
            spec_ratio.append(np.median(mvol / sv[ok]))
            spec_corr.append(np.corrcoef(np.log(mvol), np.log(sv[ok]))[0, 1])
        r = np.array(ratios)
        n_ind = len(ctx.universe.industry_names)
        groups = {"country": r[:, :1], "industries": r[:, 1:1 + n_ind], "styles": r[:, 1 + n_ind:]}
        row = {"variant": f"daily-{rm.value}"}
        for g, v in groups.items():
            row[f"{g} vol ratio (median, 10-90%)"] = \
                f"{np.median(v):.2f} ({np.quantile(v, 0.1):.2f}-{np.quantile(v, 0.9):.2f})"
        row["mean |corr error|"] = f"{np.mean(corr_err):.3f}"
        row["specific vol ratio (median)"] = f"{np.median(spec_ratio):.2f}"
        row["specific log-vol corr"] = f"{np.mean(spec_corr):.2f}"
        rows.append(row)
    return pd.DataFrame(rows)


def _factor_return_table(ctx, start_pos, end_pos):
    """Daily factor returns of the regression against the generator's, per factor group."""
    from zorvata.infra import single_threaded_blas
    from velquor.riskmodel.pipeline import factor_history

    con = zorvata.connect().cursor()
    with single_threaded_blas():
        hist = factor_history(con, ctx.universe, start_pos, end_pos + 1)
    truth = con.execute("SELECT date, factor, value FROM demo_truth_factor_returns WHERE date BETWEEN ? AND ?",
                        [ctx.date(start_pos), ctx.date(end_pos)]).df()
    con.close()
    tf = truth.pivot(index="date", columns="factor", values="value")
    names = ["country", *ctx.universe.industry_names, *__import__("velquor.const").const.STYLE_FACTORS]
    tf = tf.reindex(columns=names).to_numpy()
    est = hist.factor_returns
    corr = np.array([np.corrcoef(est[:, k], tf[:, k])[0, 1] for k in range(len(names))])
    return pd.DataFrame({"factor": names, "corr(estimated, true) daily": np.round(corr, 3)})


# ------------------------------------------------------------------ model against the truth, on every sample

TRUTH_KINDS = ("market", "active", "size", "momentum", "residual_volatility", "random")
#: bootstrap resamples of the standard errors
BOOTSTRAP = 300
#: Monte Carlo draws of the factor returns per day for the limit-aware truth of a one-day window
LIMIT_DRAWS = 256


class _Truth:
    """``zorvata.demo.truth_forecast`` of every day, read once per month (the regime rescales it per day, the
    day's expected factor returns and price limits come from one ``TruthLaw``)."""

    def __init__(self):
        from zorvata.demo import TruthLaw, truth_forecast

        self._forecast = truth_forecast
        self._con = zorvata.connect().cursor()
        self.law = TruthLaw(self._con)
        reg = self._con.execute("SELECT date, factor_var_mult, specific_var_mult FROM demo_truth_regime").df()
        days = pd.to_datetime(reg["date"]).to_numpy().astype("datetime64[D]")
        self.mult = dict(zip(days, zip(reg["factor_var_mult"], reg["specific_var_mult"])))
        self._months: dict = {}

    def month(self, day):
        """(exposures, factor covariance, specific variances) forecast for ``day``; the month's parts are read
        once and the day's regime rescales them."""
        first = np.datetime64(pd.Timestamp(day).date(), "D")
        fm, sm = self.mult[first]
        mkey = (pd.Timestamp(day).year, pd.Timestamp(day).month)
        hit = self._months.get(mkey)
        if hit is None:
            t = self._forecast(pd.Timestamp(day).date(), self._con, self.law)
            hit = self._months[mkey] = (t.exposures, t.factor_cov / t.factor_var_mult,
                                        t.specific_var / t.specific_var_mult)
        x, f, s = hit
        return x, f * fm, s * sm

    def variances(self, days, ids, weights):
        """Truth variances of the portfolios ``weights`` (P, len(ids)) over ``days``: the factor part and the
        specific part without the price limits, and the total with them (``zorvata.demo.limited_variance``;
        fewer draws per day over a longer window, whose noise the days average out)."""
        from zorvata.demo import limited_variance

        fac, specific, lim = np.zeros(len(weights)), np.zeros(len(weights)), np.zeros(len(weights))
        draws = LIMIT_DRAWS if len(days) == 1 else LIMIT_DRAWS // 4
        for d in days:
            x, f, s = self.month(d)
            xt = np.nan_to_num(x.reindex(ids).to_numpy())
            st = np.nan_to_num(s.reindex(ids).to_numpy())
            e = weights @ xt
            fac += np.einsum("pk,kl,pl->p", e, f, e)
            specific += (weights * weights) @ st
            lower, upper = self.law.bounds(d, ids)
            lim += limited_variance(xt, f, st, self.law.factor_mean(d, list(x.columns)), lower, upper, weights,
                                    draws=draws, seed=int(np.datetime64(pd.Timestamp(d).date(), "D").astype(int)))
        return fac, specific, lim


def _window_portfolios(model, rng, size=100):
    """(kind, rows, weights) of the truth-scored portfolios of one window, over the model's stocks."""
    from velquor.const import STYLE_FACTORS

    n = len(model.ids)
    size = min(size, n // 2)
    market = model.cap / model.cap.sum()
    out = [("market", market)]
    pick = rng.choice(n, size=size, replace=False)
    active = -market.copy()
    active[pick] += 1.0 / size
    out.append(("active", active))
    for name in STYLE_PORTFOLIOS:
        e = model.style[:, STYLE_FACTORS.index(name)].astype(np.float64)
        lo, hi = np.quantile(e, [0.2, 0.8])
        top, bot = e >= hi, e <= lo
        out.append((name, np.where(top, 1.0 / top.sum(), 0.0) - np.where(bot, 1.0 / bot.sum(), 0.0)))
    rows = rng.choice(n, size=size, replace=False)
    w = np.zeros(n)
    w[rows] = rng.dirichlet(np.ones(size))
    out.append(("random", w))
    return out


def _qlike(z):
    z2 = np.maximum(np.square(z), 1e-300)
    return z2 - np.log(z2)


def _stats(z, zt, block, rng, bootstrap=True):
    """Bias statistic (sd of z), RMS and mean QLIKE of the model (z) and the truth (zt) on the same windows,
    with moving-block bootstrap standard errors of each and of the model-minus-truth bias and the QLIKE ratio
    (``bootstrap=False``: the estimates alone, errors NaN)."""
    n = len(z)

    def point(idx):
        a, b = z[idx], zt[idx]
        qa, qb = _qlike(a).mean(), _qlike(b).mean()
        return np.array([a.std(), b.std(), a.std() - b.std(), np.sqrt(np.mean(a * a)), np.sqrt(np.mean(b * b)),
                         qa, qb, qa / qb])

    est = point(np.arange(n))
    if not bootstrap:
        return est, np.full_like(est, np.nan)
    nb = -(-n // block)
    draws = []
    for _ in range(BOOTSTRAP):
        starts = rng.integers(0, max(n - block + 1, 1), nb)
        idx = (starts[:, None] + np.arange(block)[None, :]).ravel()[:n]
        draws.append(point(np.minimum(idx, n - 1)))
    return est, np.std(draws, axis=0)


def _samples(n, multi_day):
    out = {"every window": np.arange(n)}
    if not multi_day:
        for k in range(3):
            out[f"every 3rd day, offset {k}"] = np.arange(k, n, 3)
    out["first half"] = np.arange(n // 2)
    out["second half"] = np.arange(n // 2, n)
    return out


def _ensure_built(ctx, positions, cm):
    """Estimates of both versions for the scored as-of positions, built where missing (one history pass)."""
    from velquor.const import ESTIMATED_RISK_MODELS
    from velquor.riskmodel import service
    from velquor.riskmodel.pipeline import estimate_range

    variants = [(cm, rm) for rm in ESTIMATED_RISK_MODELS]
    todo = [p for p in positions if not all(ctx.store.has(ctx.day(p), c, r) for c, r in variants)]
    if not todo:
        return
    print(f"  building {len(todo)} missing {cm.value} dates ...", flush=True)
    con = zorvata.connect().cursor()
    try:
        estimate_range(con, ctx.universe, min(todo), max(todo), variants,
                       lambda e, c, r: service.store_estimate(ctx, e, c, r), workers=os.cpu_count() or 1, only=todo)
    finally:
        con.close()


def truth_tables(ctx, start_pos, end_pos, models, returns):
    """Per horizon: the model's and the truth's bias statistic and QLIKE per sample, version and portfolio."""
    from velquor.const import ESTIMATED_RISK_MODELS
    from velquor.riskmodel.params import HORIZONS

    truth = _Truth()
    cols = {k: i for i, k in enumerate(returns.columns)}
    cum = np.vstack([np.zeros(returns.shape[1]), np.nancumsum(returns.to_numpy(), axis=0)])
    pos_of = {d: i for i, d in enumerate(returns.index.to_numpy().astype("datetime64[D]"))}
    dates = ctx.universe.dates
    tables = {}
    for cm in models:
        h = HORIZONS[cm].days
        positions = list(range(start_pos, end_pos - h + 1, h))
        _ensure_built(ctx, positions, cm)
        z = {(rm, k): [] for rm in ESTIMATED_RISK_MODELS for k in TRUTH_KINDS}
        zt = {k: [] for k in TRUTH_KINDS}  # against the limit-aware truth
        zp = {k: [] for k in TRUTH_KINDS}  # against the truth that ignores the limits
        t0 = time.perf_counter()
        for p in positions:
            models_p = {rm: ctx.store.read(ctx.day(p), cm, rm) for rm in ESTIMATED_RISK_MODELS}
            m0 = models_p[ESTIMATED_RISK_MODELS[0]]
            days = dates[p + 1:p + 1 + h]
            present = set(truth.month(days[0])[0].index)  # (np.isin on object arrays: most of a second a window)
            known = np.flatnonzero([i in present for i in m0.ids])
            r0 = pos_of[dates[p]]
            cidx = np.array([cols.get(m0.ids[i], -1) for i in known])
            real = np.where(cidx >= 0, cum[r0 + 1 + h, cidx] - cum[r0 + 1, cidx], 0.0)
            ids = [m0.ids[i] for i in known]
            kinds, w = zip(*_window_portfolios(_Sub(m0, known), np.random.default_rng(p)))
            w = np.array(w)
            ret = w @ real
            fac, specific, lim = truth.variances(days, ids, w)
            for j, kind in enumerate(kinds):
                for rm, model in models_p.items():
                    z[(rm, kind)].append(ret[j] / np.sqrt(_portfolio_var(model, known, w[j])))
                zt[kind].append(ret[j] / np.sqrt(lim[j]))
                zp[kind].append(ret[j] / np.sqrt(fac[j] + specific[j]))
        print(f"  {cm.value}: {len(positions)} windows scored in {time.perf_counter() - t0:.0f} s", flush=True)
        rows = []
        samples = _samples(len(positions), h > 1)
        rng = np.random.default_rng(7)
        for sname, idx in samples.items():
            for rm in ESTIMATED_RISK_MODELS:
                for kind in TRUTH_KINDS:
                    a, b = np.asarray(z[(rm, kind)])[idx], np.asarray(zt[kind])[idx]
                    est, se = _stats(a, b, max(2, int(round(len(idx) ** (1 / 3)))), rng)
                    plain, _ = _stats(a, np.asarray(zp[kind])[idx], 2, rng, bootstrap=False)
                    ok = abs(est[2]) <= 0.05 and abs(est[7] - 1.0) <= 0.05
                    rows.append({"sample": sname, "version": rm.value, "portfolio": kind, "windows": len(idx),
                                 "bias model": f"{est[0]:.3f} ({se[0]:.3f})", "bias truth": f"{est[1]:.3f} ({se[1]:.3f})",
                                 "model - truth": f"{est[2]:+.3f} ({se[2]:.3f})",
                                 "RMS model / truth": f"{est[3]:.3f} / {est[4]:.3f}",
                                 "QLIKE model": f"{est[5]:.3f} ({se[5]:.3f})", "QLIKE truth": f"{est[6]:.3f} ({se[6]:.3f})",
                                 "QLIKE ratio": f"{est[7]:.3f} ({se[7]:.3f})",
                                 "target": ("met" if ok else "missed") if h == 1 else "-",
                                 "no limits: bias truth / QLIKE ratio": f"{plain[1]:.3f} / {plain[7]:.3f}"})
        tables[cm] = pd.DataFrame(rows)
    return tables


class _Sub:
    """The rows ``rows`` of a persisted model (what portfolio construction reads)."""

    def __init__(self, model, rows):
        self.ids = [model.ids[i] for i in rows]
        self.cap = model.cap[rows]
        self.style = model.style[rows]


def _markdown(df: pd.DataFrame) -> str:
    cells = [[f"{v:.3f}" if isinstance(v, float) else str(v) for v in row] for row in df.itertuples(index=False)]
    lines = ["| " + " | ".join(map(str, df.columns)) + " |", "|" + "---|" * len(df.columns)]
    lines += ["| " + " | ".join(r) + " |" for r in cells]
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market); the "
                    "calibration draws are zorvata.demo.build_demo(path, seed=...), the default market with "
                    "another seed, tuned with bench/calibrate_riskmodel.py")
    ap.add_argument("--start", default="2017-01-01", help="first as-of date scored")
    ap.add_argument("--end", help="last as-of date scored (default: the end of the data)")
    ap.add_argument("--model", choices=["daily", "monthly", "quarterly", "all"], default="all",
                    help="forecast horizons to score (default: all three)")
    ap.add_argument("--markdown", action="store_true", help="print the tables as markdown")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--classic", action="store_true",
                    help="the earlier tables instead (bias per portfolio kind, factor and specific volatility "
                         "ratios against the truth, factor-return correlations); builds every date first")
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    from velquor.const import ESTIMATED_RISK_MODELS, CovModel
    from velquor.riskmodel import service

    t = time.perf_counter()
    ctx = service.context()
    uni = ctx.universe
    models = list(CovModel) if args.model == "all" else [CovModel(args.model)]
    fmt = _markdown if args.markdown else (lambda d: d.to_string(index=False, float_format=lambda v: f"{v:.3f}"))
    if not args.classic:
        start_pos = int(np.searchsorted(uni.dates, np.datetime64(args.start, "D")))
        end_pos = uni.last - 1 if args.end is None else min(uni.last - 1,
                                                             uni.date_index(np.datetime64(args.end, "D")))
        returns = zorvata.get_returns_panel(ctx.date(start_pos), ctx.date(uni.last))
        print("model against the truth ...", flush=True)
        for cm, table in truth_tables(ctx, start_pos, end_pos, models, returns).items():
            print()
            print(f"{cm.value} ({'target: bias within 0.05 and QLIKE within 5% of the truth' if cm is CovModel.FACTOR_MODEL_DAILY else 'no target'})")
            print(fmt(table))
        return
    n = service.build(ctx.date(0), ctx.date(min(uni.last + 1, len(uni.dates) - 1)), models,
                      list(ESTIMATED_RISK_MODELS),
                      workers=args.workers, progress=True)
    print(f"built {n} missing dates in {time.perf_counter() - t:.0f} s")
    start_pos = int(np.searchsorted(uni.dates, np.datetime64(args.start, "D")))
    end_pos = uni.last - 1 if args.end is None else min(uni.last - 1, uni.date_index(np.datetime64(args.end, "D")))
    returns = zorvata.get_returns_panel(ctx.date(start_pos), ctx.date(uni.last))
    print("bias statistics ...", flush=True)
    bias = _bias_table(ctx, start_pos, end_pos, returns, models)
    truth = _truth_table(ctx, start_pos, end_pos) if CovModel.FACTOR_MODEL_DAILY in models else None
    fr = _factor_return_table(ctx, start_pos, end_pos) if truth is not None else None
    print()
    print(fmt(bias))
    if truth is not None:
        print()
        print(fmt(truth))
        print()
        print(fmt(fr))


if __name__ == "__main__":
    main()
