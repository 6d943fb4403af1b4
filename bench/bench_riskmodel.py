"""Risk-model timings on the demo market: one date from scratch, helper construction plus the covariance
for 300 and 3,000 stocks once the date is built, and (with --full) the whole history.

Run: .venv/bin/python bench/bench_riskmodel.py [--db market.duckdb] [--full]
Estimates go to a temporary directory, so the store beside the database is left alone.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import zorvata

from timing import median_seconds




def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market)")
    ap.add_argument("--full", action="store_true", help="also build the whole history (all six variants)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["VELQUOR_RISKMODEL_DIR"] = tmp
        from velquor.const import ESTIMATED_RISK_MODELS, CovModel, RiskModel
        from velquor.helper import OptimizeHelper
        from velquor.riskmodel import service

        ctx = service.context()
        uni = ctx.universe
        date = zorvata.get_next_trading_date(ctx.date(uni.last - 40))
        pos = service.resolve_asof(ctx, date)
        rows = []
        service.ON_DEMAND_AHEAD = 0  # time exactly one date
        # Every variant from scratch, daily-v1 first: the others are also given as a ratio to it, which
        # stays comparable on a loaded machine where the absolute seconds do not.
        ref = None
        for cm in CovModel:
            for rm in ESTIMATED_RISK_MODELS:
                t, c = time.perf_counter(), time.process_time()
                service.get_model(ctx, pos, cm, rm)
                wall, cpu = time.perf_counter() - t, time.process_time() - c
                ref = ref or wall
                rows.append((f"build one date from scratch ({cm.value}-{rm.value}, {date}; cpu {cpu:.2f} s, "
                             f"{wall / ref:.2f} x daily-v1)", wall, 5.0))
        live = sorted(zorvata.all_instruments("CS", ctx.date(pos))["order_book_id"])
        live = [i for i in live if i in service.get_model(ctx, pos, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1).position]
        for n, target in ((300, 0.030), (3000, 0.500)):
            pool = live[:n]
            for label, cold in (("first request of the process", True), ("repeated", False)):
                def run():
                    if cold:
                        service._models.clear()
                    OptimizeHelper(pool, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0) \
                        .get_cov_matrix()
                rows.append((f"helper + get_cov_matrix, {len(pool):,} stocks ({label})", median_seconds(run), target))
        if args.full:
            t = time.perf_counter()
            n = service.build(ctx.date(0), ctx.date(uni.last + 1) if uni.last + 1 < len(uni.dates) else
                              ctx.date(uni.last), list(CovModel), list(ESTIMATED_RISK_MODELS), workers=args.workers)
            rows.append((f"whole history, {n:,} dates x 6 variants, {args.workers} workers",
                         time.perf_counter() - t, 300.0))
    width = max(len(r[0]) for r in rows)
    print(f"{'operation':<{width}}  {'seconds':>9}  {'target':>7}  {'ratio':>6}")
    for name, sec, target in rows:
        print(f"{name:<{width}}  {sec:>9.4f}  {target:>7.3f}  {sec / target:>6.2f}")


if __name__ == "__main__":
    main()
