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

Run: .venv/bin/python bench/validate_riskmodel.py [--db file] [--start 2017-01-01] [--markdown]
Builds whatever is missing first (``python -m velquor.riskmodel build``).
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


def _markdown(df: pd.DataFrame) -> str:
    cells = [[f"{v:.3f}" if isinstance(v, float) else str(v) for v in row] for row in df.itertuples(index=False)]
    lines = ["| " + " | ".join(map(str, df.columns)) + " |", "|" + "---|" * len(df.columns)]
    lines += ["| " + " | ".join(r) + " |" for r in cells]
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market); the "
                    "calibration draw is zorvata.demo.build_demo(path, seed=777)")
    ap.add_argument("--start", default="2017-01-01", help="first as-of date scored")
    ap.add_argument("--end", help="last as-of date scored (default: the end of the data)")
    ap.add_argument("--model", choices=["daily", "monthly", "quarterly", "all"], default="all",
                    help="forecast horizons to score (default: all three)")
    ap.add_argument("--markdown", action="store_true", help="print the tables as markdown")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    from velquor.const import ESTIMATED_RISK_MODELS, CovModel
    from velquor.riskmodel import service

    t = time.perf_counter()
    ctx = service.context()
    uni = ctx.universe
    models = list(CovModel) if args.model == "all" else [CovModel(args.model)]
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
    fmt = _markdown if args.markdown else (lambda d: d.to_string(index=False, float_format=lambda v: f"{v:.3f}"))
    print()
    print(fmt(bias))
    if truth is not None:
        print()
        print(fmt(truth))
        print()
        print(fmt(fr))


if __name__ == "__main__":
    main()
