"""How far SCS at its default tolerances (as portfolio_optimize calls it) leaves the weights from a
high-accuracy solve, for every objective at 300, 1,000 and about 3,000 stocks.

For each objective and pool size the same request is solved three times through portfolio_optimize: SCS as
the driver calls it by default, SCS with eps_abs = eps_rel = 1e-7, and CLARABEL at tight tolerances (the
reference). Printed: the largest absolute weight difference (L-inf) and the L1 distance to the reference,
and each solve's time as a ratio to the default SCS solve of the same request. Pools are drawn from the
stocks listed on the last date of the market (seeded); bounds 0 to 5 % per stock (0 to 1 % at 3,000 would
be slack anyway: 5 % keeps the bound active at every size); benchmark 000300.XSHG for the active
objectives. Expected returns are estimated once per pool and given to every solve, so all three solve the
same problem.

    python bench/bench_accuracy.py [--sizes 300 1000 3000] [--objectives MinVariance ...] [--markdown]
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings

import numpy as np

INDEX = "000300.XSHG"
CAP = 0.05
REFERENCE = dict(solver="CLARABEL", tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10, max_iter=500)
TIGHT_SCS = dict(solver="SCS", eps_abs=1e-7, eps_rel=1e-7, max_iters=100_000)


def objectives(pool, date):
    """(name, factory, needs benchmark) for every objective; factories build fresh objects per solve."""
    import pandas as pd
    import zorvata

    import velquor.objective as ob
    from velquor.const import STYLE_FACTORS

    prev = zorvata.get_previous_trading_date(date)
    start = zorvata.trading_date_offset(prev, -252)
    union = sorted(set(pool) | set(zorvata.index_weights(INDEX, date).index))
    mu = zorvata.get_price_change_rate(union, start, prev).mean().fillna(0.0) * 252
    bench_mu = float(mu.reindex(list(zorvata.index_weights(INDEX, date).index)).fillna(0).mean())
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


def solve(pool, date, factory, benchmark, **options):
    import velquor.optimize as opt

    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        w = opt.portfolio_optimize(pool, date, factory(), bnds={"*": (0, CAP)},
                                   benchmark=INDEX if benchmark else None, **options)
    return w.reindex(pool).to_numpy(), time.perf_counter() - t


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 3000])
    p.add_argument("--objectives", nargs="+")
    p.add_argument("--markdown", action="store_true", help="print a Markdown table (for the docs)")
    args = p.parse_args(argv)

    import zorvata

    from velquor.exception import OptimizationFailed

    date = zorvata.data_end()
    listed = sorted(zorvata.all_instruments("CS", date)["order_book_id"])
    # stocks listed at least a year: the risk model and the return estimates cover them fully
    listed = [i for i in listed if zorvata.instruments(i).listed_date < "2025-11-01"]
    rows = []
    for size in args.sizes:
        rng = np.random.default_rng(size)
        pool = sorted(rng.choice(listed, size=min(size, len(listed)), replace=False))
        for name, factory, bench in objectives(pool, date):
            if args.objectives and name not in args.objectives:
                continue
            try:
                w_ref, t_ref = solve(pool, date, factory, bench, **REFERENCE)
                w_scs, t_scs = solve(pool, date, factory, bench)
                w_tight, t_tight = solve(pool, date, factory, bench, **TIGHT_SCS)
            except OptimizationFailed as e:
                print(f"{name} at {len(pool)}: failed ({e})", file=sys.stderr)
                continue
            row = (name, len(pool), np.abs(w_scs - w_ref).max(), np.abs(w_scs - w_ref).sum(),
                   np.abs(w_tight - w_ref).max(), t_scs, t_tight / t_scs, t_ref / t_scs)
            rows.append(row)
            print(f"{name:20s} {len(pool):5d}  default SCS L-inf {row[2]:.1e} L1 {row[3]:.1e}   "
                  f"SCS 1e-7 L-inf {row[4]:.1e}   time {t_scs:6.2f} s, tight x{row[6]:.1f}, "
                  f"CLARABEL x{row[7]:.1f}", file=sys.stderr, flush=True)
    if args.markdown:
        print("| objective | stocks | default SCS: max abs. weight error | L1 error | SCS eps 1e-7: max abs. error "
              "| default SCS time (s) | SCS eps 1e-7 time (ratio) | CLARABEL time (ratio) |")
        print("|---|---|---|---|---|---|---|---|")
        for r in rows:
            print(f"| {r[0]} | {r[1]:,} | {r[2]:.1e} | {r[3]:.1e} | {r[4]:.1e} | {r[5]:.2f} | {r[6]:.1f} | {r[7]:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
