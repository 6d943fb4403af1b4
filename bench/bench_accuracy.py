"""How far portfolio_optimize's default solve lands from a high-accuracy solve, and what it costs against the
settings the driver used before (SCS at cvxpy's default tolerance of 1e-5, the objective as it is).

Every objective x {no caps, caps 0 to 5 %} x pool sizes x horizons, on the demo market's last date, plus two
requests through a caller's own helper: four stocks with a diagonal covariance of daily size (1e-4), and a
pool whose covariances are plain dense matrices. Each request is solved through portfolio_optimize

* as a caller does by default (SCS, the driver's settings),
* with the former defaults, passed as explicit options (eps_abs = eps_rel = 1e-5: a caller's tolerance
  switches the driver's own choice off),
* with CLARABEL as the driver calls it by default, and at CLARABEL's own default tolerances (1e-8),
* with CLARABEL at gap and feasibility tolerances of 1e-10 on the objective divided by its value at equal
  weights: the reference. (Unscaled, a daily variance of 1e-5 against an absolute gap of 1e-10 leaves
  tracking problems over the whole market, whose optimum is far below that, 7e-5 from their optimum; the
  scaled reference agrees with SCS at 1e-9 to 1e-7.)

Printed per request: the largest absolute weight difference (L-inf) and the L1 distance to the reference,
and the CPU time of the default solve as a ratio to the former default's (same process, the better of
`--repeat` runs each). Pools are drawn from the stocks listed for at least a year (seeded); the active
objectives use 000300.XSHG; expected returns are estimated once per pool and given to every solve.

    python bench/bench_accuracy.py [--sizes 30 300 all] [--horizons daily monthly] [--caps 0 0.05]
                                   [--objectives MinVariance ...] [--no-extra] [--repeat 1] [--markdown]

The whole market (`all`, about 2,700 stocks) takes several minutes per horizon on two loaded cores.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings

import numpy as np

INDEX = "000300.XSHG"
REFERENCE = dict(solver="CLARABEL", tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10, max_iter=500)
FORMER_DEFAULTS = dict(eps_abs=1e-5, eps_rel=1e-5)
CLARABEL_OWN_DEFAULTS = dict(solver="CLARABEL", tol_gap_abs=1e-8, tol_gap_rel=1e-8, tol_feas=1e-8)
CAP = 0.05


def objectives(pool, date):
    """(name, factory, needs benchmark) for every objective; factories build fresh objects per solve."""
    import pandas as pd
    import zorvata

    import velquor.objective as ob
    from velquor.const import STYLE_FACTORS

    prev = zorvata.get_previous_trading_date(date)
    start = zorvata.trading_date_offset(prev, -252)
    members = list(zorvata.index_weights(INDEX, date).index)
    union = sorted(set(pool) | set(members))
    mu = zorvata.get_price_change_rate(union, start, prev).mean().fillna(0.0) * 252
    bench_mu = float(mu.reindex(members).fillna(0).mean())
    rng = np.random.default_rng(11)
    score = pd.Series(rng.normal(size=len(pool)), index=pool)
    target = pd.Series(0.0, index=STYLE_FACTORS)
    target["size"], target["momentum"] = 0.5, 0.3
    return [
        ("MinVariance", lambda: ob.MinVariance(), False),
        ("MinActiveVariance", lambda: ob.MinActiveVariance(), True),
        ("MinTrackingError", lambda: ob.MinTrackingError(), True),
        ("MeanVariance", lambda: ob.MeanVariance(expected_returns=mu), False),
        ("ActiveMeanVariance", lambda: ob.ActiveMeanVariance(expected_active_returns=mu - bench_mu), True),
        ("RiskParity", lambda: ob.RiskParity(), False),
        ("MaxSharpeRatio", lambda: ob.MaxSharpeRatio(expected_returns=mu), False),
        ("MaxInformationRatio", lambda: ob.MaxInformationRatio(expected_active_returns=mu - bench_mu), True),
        ("MaxIndicator", lambda: ob.MaxIndicator(score), False),
        ("MinStyleDeviation", lambda: ob.MinStyleDeviation(target), False),
    ]


def scaled(objective):
    """The same objective divided by its value at equal weights (a subclass, so the driver treats it as the
    original: budget, benchmark, internal constraints)."""
    import cvxpy as cp

    base = type(objective)

    def get_objective_expr(self, g, zeta, helper):
        expr = base.get_objective_expr(self, g, zeta, helper)
        variable = isinstance(zeta, cp.Variable)
        if variable:
            zeta.value = 1.0
        g.value = np.full(g.shape[0], (1.0 if variable else float(zeta)) / g.shape[0])
        value = abs(float(expr.value))
        g.value = None
        if variable:
            zeta.value = None
        return expr / value if np.isfinite(value) and value > 0 else expr

    cls = type(base.__name__, (base,), {"get_objective_expr": get_objective_expr})
    copy = cls.__new__(cls)
    copy.__dict__.update(objective.__dict__)
    return copy


def solve(pool, date, factory, benchmark, cap, horizon, repeat=1, reference=False, **options):
    """The weights in pool order and the best CPU time of `repeat` solves."""
    import velquor.optimize as opt

    best = float("inf")
    for _ in range(repeat):
        objective = scaled(factory()) if reference else factory()
        t = time.process_time()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            w = opt.portfolio_optimize(pool, date, objective, bnds={"*": (0, cap)} if cap else None,
                                       benchmark=INDEX if benchmark else None, cov_model=horizon, **options)
        best = min(best, time.process_time() - t)
    return w.reindex(pool).to_numpy(), best


def compare(label, pool, date, factory, bench, cap, horizon, repeat):
    """One row: (label, stocks, horizon, cap, gaps of default / former / CLARABEL default / CLARABEL own,
    default time, time ratio)."""
    from velquor.exception import OptimizationFailed

    try:
        ref, _ = solve(pool, date, factory, bench, cap, horizon, reference=True, **REFERENCE)
    except OptimizationFailed as e:
        print(f"{label} at {len(pool)}: reference failed ({e})", file=sys.stderr)
        return None
    gaps, times = [], []
    for options in ({}, FORMER_DEFAULTS, dict(solver="CLARABEL"), CLARABEL_OWN_DEFAULTS):
        try:
            w, t = solve(pool, date, factory, bench, cap, horizon, repeat if len(times) < 2 else 1, **options)
            gaps.append((np.abs(w - ref).max(), np.abs(w - ref).sum()))
        except OptimizationFailed as e:
            gaps.append((float("nan"), float("nan")))
            t = float("nan")
            print(f"{label} at {len(pool)} with {options}: failed ({e})", file=sys.stderr)
        times.append(t)
    row = (label, len(pool), horizon, cap, *gaps, times[0], times[0] / times[1])
    print(f"{label:20s} {len(pool):5d} {horizon:9s} cap {cap:4.2f}  default {gaps[0][0]:.1e}/{gaps[0][1]:.1e}  "
          f"former {gaps[1][0]:.1e}/{gaps[1][1]:.1e}  CLARABEL {gaps[2][0]:.1e}  own {gaps[3][0]:.1e}  "
          f"time {times[0]:.2f} s x{row[-1]:.2f}", file=sys.stderr, flush=True)
    return row


def caller_helpers():
    """Two helpers a caller might pass in place of velquor's (by replacing optimize.OptimizeHelper): plain
    dense covariances, and a four-stock diagonal covariance of daily size."""
    import velquor.helper as vh

    class DenseHelper(vh.OptimizeHelper):
        def get_cov_matrix(self):
            return np.array(super().get_cov_matrix())

        def get_union_cov_matrix(self):
            return np.array(super().get_union_cov_matrix())

        def get_union_model_cov_matrix(self):
            return np.array(super().get_union_model_cov_matrix())

    class DiagonalHelper(vh.OptimizeHelper):
        def get_cov_matrix(self):
            return np.diag(np.linspace(0.8e-4, 1.2e-4, len(self.order_book_ids)))

    return DenseHelper, DiagonalHelper


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", nargs="+", default=["30", "300", "all"], help="pool sizes; 'all': the market")
    p.add_argument("--horizons", nargs="+", default=["daily", "monthly"])
    p.add_argument("--caps", type=float, nargs="+", default=[0.0, CAP], help="0: no caps")
    p.add_argument("--objectives", nargs="+")
    p.add_argument("--no-extra", action="store_true", help="skip the caller-helper requests")
    p.add_argument("--repeat", type=int, default=1, help="timed solves per setting (the best counts)")
    p.add_argument("--markdown", action="store_true", help="print a Markdown table (for the docs)")
    args = p.parse_args(argv)

    import zorvata

    import velquor.objective as ob
    import velquor.optimize as opt

    date = zorvata.data_end()
    listed = sorted(zorvata.all_instruments("CS", date)["order_book_id"])
    # stocks listed at least a year: the risk model and the return estimates cover them fully
    listed = [i for i in listed if zorvata.instruments(i).listed_date < "2025-11-01"]
    rows = []
    for size in args.sizes:
        n = len(listed) if size == "all" else min(int(size), len(listed))
        pool = sorted(np.random.default_rng(n).choice(listed, size=n, replace=False))
        for name, factory, bench in objectives(pool, date):
            if args.objectives and name not in args.objectives:
                continue
            for horizon in args.horizons:
                for cap in args.caps:
                    rows.append(compare(name, pool, date, factory, bench, cap, horizon, args.repeat))
    if not args.no_extra:
        dense, diagonal = caller_helpers()
        own = opt.OptimizeHelper
        try:
            opt.OptimizeHelper = diagonal
            rows.append(compare("4 stocks, diagonal 1e-4", listed[:4], date, ob.MinVariance, False, 0.0,
                                "daily", args.repeat))
            opt.OptimizeHelper = dense
            pool = sorted(np.random.default_rng(300).choice(listed, size=300, replace=False))
            for name, factory, bench in objectives(pool, date):
                if args.objectives and name not in args.objectives:
                    continue
                for cap in args.caps:
                    rows.append(compare(f"{name} (dense)", pool, date, factory, bench, cap, "daily", args.repeat))
        finally:
            opt.OptimizeHelper = own
    rows = [r for r in rows if r is not None]
    if args.markdown:
        print("| request | stocks | horizon | caps | default: max gap | L1 | former default: max gap | L1 "
              "| CLARABEL default: max gap | CLARABEL at 1e-8: max gap | default time (s) | vs former |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for r in rows:
            cap = f"0-{r[3]:.0%}" if r[3] else "none"
            print(f"| {r[0]} | {r[1]:,} | {r[2]} | {cap} | {r[4][0]:.1e} | {r[4][1]:.1e} | {r[5][0]:.1e} "
                  f"| {r[5][1]:.1e} | {r[6][0]:.1e} | {r[7][0]:.1e} | {r[8]:.2f} | {r[9]:.2f} |")
    worst = max((r[4][0] for r in rows), default=float("nan"))
    worst_l1 = max((r[4][1] for r in rows), default=float("nan"))
    ratio = sum(r[8] for r in rows) / max(sum(r[8] / r[9] for r in rows), 1e-12)
    print(f"largest gap at the defaults {worst:.1e}, largest L1 {worst_l1:.1e}; total CPU time against the "
          f"former defaults x{ratio:.2f} ({len(rows)} requests)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
