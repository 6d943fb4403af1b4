"""Calibration harness: the risk model's knobs judged against the demo generator's truth, cheaply.

The expensive part of an estimate (exposures, daily factor and specific returns over the whole history) does
not depend on the knobs of the per-date step (half-lives, Newey-West lags, the eigenfactor scale, the regime
adjustment, the specific-risk shrinkage). This script computes it once per database and caches it beside the
database (``<db>.<start>.calib2.npz``), together with every scored window's realised returns, portfolios and
the truth's variance of each, without and with the price limits (the truth forecast and the portfolios do not
depend on the knobs either). The target is judged against the limit-aware truth; columns ``bias t0`` and
``qlike t0`` show the truth without the limits and the model's QLIKE ratio against it. Each candidate
setting then only re-runs ``pipeline.estimate_asof`` for the scored dates and prints the same table as
``validate_riskmodel.py`` (bias statistic = standard deviation of z and mean QLIKE of model and truth per
sample, with block-bootstrap standard errors), plus the truth-over-model ratio of the factor and the specific
part of each portfolio's forecast variance (mean of truth over model: what inflates z^2), which says which
estimation step is off.

Calibrate on independent draws of the demo market, never on the default demo's validation windows. A draw is
the default market with another seed and nothing else changed (3,000 stocks from 2015-01-05, the same
scored period): fewer stocks make noisier factor returns and a later start moves the crash and the growth
board's wider limits within the scored period, so such a draw is a different market. Use several seeds
together: one draw's subsamples alone lead astray.

    python -c "from zorvata.demo import build_demo; build_demo('draw.duckdb', seed=777)"
    python bench/calibrate_riskmodel.py --db draw.duckdb \\
        --set daily.regime_halflife=42 --set EIGEN_SCALE=0.7

``--set NAME=VALUE`` sets a module constant of ``velquor.riskmodel.params`` (upper case, e.g. EIGEN_SCALE) or
a field of a horizon (``daily.vol_halflife``, ``monthly.shrinkage``, ...) for this run only; several ``--set``
run together, and ``--grid`` (a file of lines, each a list of ``NAME=VALUE`` separated by blanks) scores
several settings in one process. The knobs' homes stay the params module; this only patches it in memory.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

import zorvata

sys.path.insert(0, str(Path(__file__).resolve().parent))
from validate_riskmodel import TRUTH_KINDS, _Truth, _samples, _stats, _window_portfolios  # noqa: E402

class _View:
    """What portfolio construction reads of a date (ids, caps, style exposures of the known stocks)."""

    def __init__(self, ids, cap, style):
        self.ids, self.cap, self.style = ids, cap, style


def prepare(ctx, start_pos: int, end_pos: int, cms, cache: Path):
    """Factor history and the knob-independent part of every scored window, computed once and cached."""
    from velquor.riskmodel.params import HORIZONS
    from velquor.riskmodel.pipeline import FactorHistory, factor_history, history_span

    if cache.exists():
        d = np.load(cache, allow_pickle=True)
        hist = FactorHistory(start=int(d["start"]), stop=int(d["stop"]), factor_returns=d["fr"],
                             specific=d["specific"], exposures=d["expo"], cap=d["cap"], industry=d["industry"])
        return hist, d["windows"].item()
    uni = ctx.universe
    first, stop = history_span(start_pos, end_pos, cms)
    t = time.process_time()
    con = zorvata.connect().cursor()
    from zorvata.infra import single_threaded_blas

    with single_threaded_blas():
        hist = factor_history(con, uni, first, stop)
    con.close()
    print(f"  factor history {first}..{stop}: {time.process_time() - t:.0f} s CPU", flush=True)
    returns = zorvata.get_returns_panel(ctx.date(start_pos), ctx.date(uni.last))
    cols = {k: i for i, k in enumerate(returns.columns)}
    cum = np.vstack([np.zeros(returns.shape[1]), np.nancumsum(returns.to_numpy(), axis=0)])
    pos_of = {d: i for i, d in enumerate(returns.index.to_numpy().astype("datetime64[D]"))}
    truth = _Truth()
    windows = {}
    for cm in cms:
        h = HORIZONS[cm].days
        rows_out = []
        for p in range(start_pos, end_pos - h + 1, h):
            i = p - hist.start
            live = np.flatnonzero(np.isfinite(hist.cap[i]))
            ids = np.asarray(uni.ids)[live]
            days = uni.dates[p + 1:p + 1 + h]
            present = set(truth.month(days[0])[0].index)
            known = np.flatnonzero([x in present for x in ids])
            kid = [str(x) for x in ids[known]]
            r0 = pos_of[uni.dates[p]]
            cidx = np.array([cols.get(x, -1) for x in kid])
            real = np.where(cidx >= 0, cum[r0 + 1 + h, cidx] - cum[r0 + 1, cidx], 0.0)
            view = _View(kid, hist.cap[i, live[known]], hist.exposures[i, live[known]])
            ws = np.array([w for _, w in _window_portfolios(view, np.random.default_rng(p))])
            tf, ts, tl = truth.variances(days, kid, ws)
            rows_out.append({"p": p, "known": known, "w": ws, "ret": ws @ real, "tf": tf, "ts": ts, "tl": tl})
        windows[cm.value] = rows_out
        print(f"  {cm.value}: {len(rows_out)} windows prepared", flush=True)
    np.savez(cache, start=hist.start, stop=hist.stop, fr=hist.factor_returns, specific=hist.specific,
             expo=hist.exposures, cap=hist.cap, industry=hist.industry, windows=np.array(windows, dtype=object))
    return hist, windows


def apply_settings(settings: dict[str, str]) -> None:
    """Patch params (and the names pipeline imported from it) for this process."""
    from velquor.const import CovModel
    from velquor.riskmodel import params, pipeline

    for key, val in settings.items():
        if "." in key:
            hname, field = key.split(".", 1)
            cm = CovModel(hname)
            hz = params.HORIZONS[cm]
            cur = getattr(hz, field)
            typ = int if cur is None else type(cur)
            params.HORIZONS[cm] = dataclasses.replace(hz, **{field: typ(val)})
        else:
            cur = getattr(params, key)
            new = val.lower() in ("1", "true", "yes") if isinstance(cur, bool) else type(cur)(val)
            setattr(params, key, new)
            if hasattr(pipeline, key):
                setattr(pipeline, key, new)


def evaluate(ctx, hist, windows, cms):
    """z of model and truth per (version, kind), and the factor / specific variance parts of both."""
    from velquor.const import ESTIMATED_RISK_MODELS
    from velquor.riskmodel.params import HORIZONS
    from velquor.riskmodel.pipeline import estimate_asof, horizon_series
    from zorvata.infra import single_threaded_blas

    uni = ctx.universe
    n_ind = len(uni.industry_names)
    out = {}
    with single_threaded_blas():
        for cm in cms:
            hz = HORIZONS[cm]
            wins = windows[cm.value]
            series = horizon_series(hist, hz, wins[0]["p"])
            res = {rm: {"mf": [], "ms": []} for rm in ESTIMATED_RISK_MODELS}
            for win in wins:
                for rm in ESTIMATED_RISK_MODELS:
                    est = estimate_asof(uni, hist, win["p"], cm, rm, series)
                    k = win["known"]
                    x = np.zeros((len(k), est.factor_cov.shape[0]))
                    x[:, 0] = 1.0
                    ind = est.industry[k]
                    has = ind >= 0
                    x[np.flatnonzero(has), 1 + ind[has]] = 1.0
                    x[:, 1 + n_ind:] = est.style[k]
                    e = win["w"] @ x
                    res[rm]["mf"].append(np.einsum("pk,kl,pl->p", e, est.factor_cov, e))
                    res[rm]["ms"].append((win["w"] ** 2) @ est.specific_var[k])
            ret = np.array([w["ret"] for w in wins])
            tv = np.array([w["tf"] + w["ts"] for w in wins])
            out[cm] = {"ret": ret, "tf": np.array([w["tf"] for w in wins]), "ts": np.array([w["ts"] for w in wins]),
                       "zt": ret / np.sqrt(np.array([w["tl"] for w in wins])), "zp": ret / np.sqrt(tv),
                       **{rm: {"mf": np.array(r["mf"]), "ms": np.array(r["ms"]),
                               "z": ret / np.sqrt(np.array(r["mf"]) + np.array(r["ms"]))} for rm, r in res.items()}}
    return out


def tables(res, cms, detail: bool, out=None):
    from velquor.const import ESTIMATED_RISK_MODELS
    from velquor.riskmodel.params import HORIZONS

    summary = []
    for cm in cms:
        r = res[cm]
        n = len(r["ret"])
        h = HORIZONS[cm].days
        rng = np.random.default_rng(7)
        rows = []
        for sname, idx in _samples(n, h > 1).items():
            for rm in ESTIMATED_RISK_MODELS:
                for j, kind in enumerate(TRUTH_KINDS):
                    a, b = r[rm]["z"][idx, j], r["zt"][idx, j]
                    est, se = _stats(a, b, max(2, int(round(len(idx) ** (1 / 3)))), rng)
                    ok = abs(est[2]) <= 0.05 and abs(est[7] - 1.0) <= 0.05
                    plain, _ = _stats(a, r["zp"][idx, j], 2, rng, bootstrap=False)
                    rows.append({"sample": sname, "version": rm.value, "portfolio": kind,
                                 "bias m": round(est[0], 3), "bias t": round(est[1], 3),
                                 "bias t0": round(plain[1], 3), "qlike t0": round(plain[7], 3),
                                 "diff": f"{est[2]:+.3f} ({se[2]:.3f})", "qlike ratio": f"{est[7]:.3f} ({se[7]:.3f})",
                                 "fvar t/m": round(float(np.mean(r["tf"][idx, j] / r[rm]["mf"][idx, j])), 3),
                                 "svar t/m": round(float(np.mean(r["ts"][idx, j] / r[rm]["ms"][idx, j])), 3),
                                 "target": ("met" if ok else "MISSED") if h == 1 else "-",
                                 "_d": est[2], "_q": est[7]})
        df = pd.DataFrame(rows)
        text = f"\n{cm.value}\n" + df.drop(columns=["_d", "_q"]).to_string(index=False)
        if detail:
            print(text)
        if out is not None:
            with open(out, "a") as fh:
                fh.write(text + "\n")
        if h == 1:
            for rm in ESTIMATED_RISK_MODELS:
                d = df[df.version == rm.value]
                summary.append(f"{cm.value}-{rm.value}: missed {int((d.target == 'MISSED').sum())}/{len(d)}, "
                               f"max |diff| {d._d.abs().max():.3f}, max |qlike-1| {(d._q - 1).abs().max():.3f}, "
                               f"sum|diff| {d._d.abs().sum():.2f}, mean qlike {d._q.mean():.4f}")
    print("\n".join(summary), flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--db", required=True, help="an independent demo draw (zorvata.demo.build_demo)")
    ap.add_argument("--start", default="2017-01-01", help="first as-of date scored (the default: the validation's)")
    ap.add_argument("--model", choices=["daily", "monthly", "quarterly", "all"], default="daily")
    ap.add_argument("--set", action="append", default=[], metavar="NAME=VALUE")
    ap.add_argument("--grid", help="file: one setting per line (NAME=VALUE items separated by blanks)")
    ap.add_argument("--brief", action="store_true", help="only the summary lines")
    ap.add_argument("--out", help="directory to write each setting's full table to")
    args = ap.parse_args(argv)
    zorvata.configure(args.db)
    from velquor.const import CovModel
    from velquor.riskmodel import service

    ctx = service.context()
    uni = ctx.universe
    cms = list(CovModel) if args.model == "all" else [CovModel(args.model)]
    start_pos = int(np.searchsorted(uni.dates, np.datetime64(args.start, "D")))
    hist, windows = prepare(ctx, start_pos, uni.last - 1, list(CovModel),
                            Path(str(args.db) + f".{args.start}.calib2.npz"))
    base = dict(s.split("=", 1) for s in args.set)
    grid = [""]
    if args.grid:
        grid = [ln.strip() for ln in Path(args.grid).read_text().splitlines() if ln.strip()]
    import importlib

    from velquor.riskmodel import kernels, params, pipeline

    for line in grid:
        for module in (kernels, params, pipeline):  # a fresh copy of the knobs for every setting
            importlib.reload(module)
        settings = {**base, **dict(s.split("=", 1) for s in line.split())}
        apply_settings(settings)
        t = time.process_time()
        res = evaluate(ctx, hist, windows, cms)
        print(f"\n== {settings or 'current knobs'} ({time.process_time() - t:.0f} s CPU)", flush=True)
        out = None
        if args.out:
            name = "_".join(f"{k}={v}" for k, v in settings.items()) or "current"
            out = Path(args.out) / f"{name}.txt"
            out.unlink(missing_ok=True)
        tables(res, cms, not args.brief, out)


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
