"""Risk-model timings on the demo market: one date from scratch per variant and a span of history (all six
variants), each with the native kernels and with the numpy reference pipeline in the same process, compared
by CPU time (this process and its workers); then helper construction plus the covariance for 300 and 3,000
stocks once the date is built.

Run: .venv/bin/python bench/bench_riskmodel.py [--db market.duckdb] [--history-days N | --history-days all]
     [--workers N] [--repeat N]
Estimates go to temporary directories (one per pipeline), so the store beside the database is left alone.
On a loaded 2-core machine the whole history takes many minutes per pipeline: --history-days picks the span
(the last N request dates; 0 skips it).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import resource
import tempfile
import time

import zorvata

from timing import median_seconds


def cpu_seconds() -> float:
    """CPU time of this process and of its waited-for children (forked build workers)."""
    me, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + kids.ru_utime + kids.ru_stime


def peak_mib() -> float:
    """Peak resident memory of this process image. Not getrusage's maxrss: on Linux that survives exec, so a
    child started from a large process would report its parent's resident size at the fork."""
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


@contextlib.contextmanager
def pipeline(reference: bool, root: str):
    """Estimates of one pipeline in their own directory, from a fresh context (nothing cached)."""
    from velquor.riskmodel import native, service

    old = os.environ.get("VELQUOR_RISKMODEL_DIR")
    os.environ["VELQUOR_RISKMODEL_DIR"] = root
    service.forget()
    try:
        with native.reference(reference):
            yield service.context()
    finally:
        service.forget()
        if old is None:
            os.environ.pop("VELQUOR_RISKMODEL_DIR", None)
        else:
            os.environ["VELQUOR_RISKMODEL_DIR"] = old


def peak_of_one_date(reference: bool) -> float:
    """Peak resident memory (MiB) of a fresh process building one date (daily-v2) from scratch."""
    import subprocess
    import sys

    args = [sys.executable, __file__, "--peak-of", "reference" if reference else "native"]
    db = zorvata.db_path()
    out = subprocess.run(args + ["--db", str(db)], check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def _peak_child(mode: str) -> None:
    from velquor.const import CovModel, RiskModel
    from velquor.riskmodel import service

    service.ON_DEMAND_AHEAD = 0
    with tempfile.TemporaryDirectory() as tmp, pipeline(mode == "reference", tmp) as ctx:
        pos = ctx.universe.last - 41
        service.get_model(ctx, pos, CovModel.FACTOR_MODEL_DAILY, RiskModel.V2)
    print(f"{peak_mib():.1f}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--peak-of", choices=["reference", "native"], help=argparse.SUPPRESS)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market)")
    ap.add_argument("--history-days", default="60",
                    help="request dates of the history span built by both pipelines, counted back from the end "
                         "of the data ('all': the whole history; 0: skip)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="build processes for the history")
    ap.add_argument("--repeat", type=int, default=1,
                    help="builds of each date from scratch per pipeline (the least CPU counts)")
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    if args.peak_of:
        return _peak_child(args.peak_of)
    from velquor.const import ESTIMATED_RISK_MODELS, CovModel, RiskModel
    from velquor.helper import OptimizeHelper
    from velquor.riskmodel import native, service

    if not native.enabled():
        raise SystemExit("the native kernels are not built or VELQUOR_RISKMODEL_REFERENCE is set")
    service.ON_DEMAND_AHEAD = 0  # time exactly one date
    rows, ratios = [], []
    with tempfile.TemporaryDirectory() as tmp:
        with pipeline(False, os.path.join(tmp, "warm")) as ctx:  # first touches of memory and imports
            uni = ctx.universe
            date = zorvata.get_next_trading_date(ctx.date(uni.last - 40))
            pos = service.resolve_asof(ctx, date)
            service.get_model(ctx, pos, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)
        print(f"one date from scratch ({date}), CPU seconds:", flush=True)
        n = 0
        for cm in CovModel:
            for rm in ESTIMATED_RISK_MODELS:
                cpu = {}
                for reference in (True, False):
                    best = None
                    for _ in range(args.repeat):
                        n += 1
                        with pipeline(reference, os.path.join(tmp, f"d{n}")) as ctx:
                            c = cpu_seconds()
                            service.get_model(ctx, pos, cm, rm)
                            used = cpu_seconds() - c
                        best = used if best is None else min(best, used)
                    cpu["reference" if reference else "native"] = best
                ratio = cpu["native"] / cpu["reference"]
                ratios.append(ratio)
                rows.append((f"{cm.value}-{rm.value}", cpu["reference"], cpu["native"], ratio))
                print(f"  {rows[-1][0]:<14} reference {cpu['reference']:7.2f}  native {cpu['native']:7.2f}  "
                      f"ratio {ratio:.3f}", flush=True)
        span = args.history_days
        if span != "0":
            first = service.FIRST_ASOF_INDEX + 1 if span == "all" else max(uni.last + 1 - int(span),
                                                                             service.FIRST_ASOF_INDEX + 1)
            last = min(uni.last + 1, len(uni.dates) - 1)
            cpu = {}
            for reference in (True, False):
                with pipeline(reference, os.path.join(tmp, f"h{int(reference)}")) as ctx:
                    c, w = cpu_seconds(), time.perf_counter()
                    built = service.build(ctx.date(first), ctx.date(last), list(CovModel), list(ESTIMATED_RISK_MODELS),
                                          workers=args.workers)
                    cpu["reference" if reference else "native"] = cpu_seconds() - c
                    print(f"  history {'reference' if reference else 'native'}: {built} dates x 6 variants, "
                          f"CPU {cpu_seconds() - c:.1f} s, wall {time.perf_counter() - w:.1f} s", flush=True)
            label = "whole history" if span == "all" else f"last {built} dates"
            rows.append((f"{label} x 6 variants, {args.workers} workers", cpu["reference"], cpu["native"],
                         cpu["native"] / cpu["reference"]))
        print(f"peak resident memory, one date (daily-v2) from scratch in a fresh process: reference "
              f"{peak_of_one_date(True):.0f} MiB, native {peak_of_one_date(False):.0f} MiB")
        print()
        width = max(len(r[0]) for r in rows)
        print(f"{'build (CPU seconds)':<{width}}  {'reference':>9}  {'native':>9}  {'native/ref':>10}")
        for name, ref, nat, ratio in rows:
            print(f"{name:<{width}}  {ref:>9.2f}  {nat:>9.2f}  {ratio:>10.3f}")
        print(f"{'one date, worst variant':<{width}}  {'':>9}  {'':>9}  {max(ratios):>10.3f}  (target <= 0.333)")
        print()

        timings = []
        with pipeline(False, os.path.join(tmp, "helper")) as ctx:
            service.get_model(ctx, pos, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)
            live = sorted(zorvata.all_instruments("CS", ctx.date(pos))["order_book_id"])
            model = service.get_model(ctx, pos, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)
            live = [i for i in live if i in model.position]
            for n_stocks, target in ((300, 0.030), (3000, 0.500)):
                pool = live[:n_stocks]
                for label, cold in (("first request of the process", True), ("repeated", False)):
                    def run():
                        if cold:
                            service._models.clear()
                        OptimizeHelper(pool, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0) \
                            .get_cov_matrix()
                    timings.append((f"helper + get_cov_matrix, {len(pool):,} stocks ({label})", median_seconds(run),
                                    target))
    width = max(len(r[0]) for r in timings)
    print(f"{'operation':<{width}}  {'seconds':>9}  {'target':>7}  {'ratio':>6}")
    for name, sec, target in timings:
        print(f"{name:<{width}}  {sec:>9.4f}  {target:>7.3f}  {sec / target:>6.2f}")


if __name__ == "__main__":
    main()
