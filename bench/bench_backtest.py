"""Backtest timings on the demo market: 24 monthly rebalances of the 500 constituents of 000905.XSHG with
MinTrackingError against that index and a one-way turnover limit, cold (no risk-model estimate stored) and
warm, on the serial engine and on the process and Dask engines with 2 workers each.

Run: .venv/bin/python bench/bench_backtest.py [--db market.duckdb] [--workers 2] [--months 24]
Estimates go to temporary directories (one per cold run), so the store beside the database is left alone.
Ratios are speed-ups against the serial run of the same phase in this process; worker start-up (spawned
processes, a LocalCluster) counts, as it does for a user.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import zorvata

INDEX = "000905.XSHG"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market)")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--months", type=int, default=24)
    ap.add_argument("--limit", type=float, default=0.3, help="one-way turnover limit (0: none, so the "
                                                              "rebalances run in parallel too)")
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    from velquor.backtest import Backtest, _estimates
    from velquor.objective import MinTrackingError

    end = zorvata.data_end()
    start = (np.datetime64(end, "M") - np.timedelta64(args.months - 1, "M")).astype("datetime64[D]").item()
    bt = Backtest(INDEX, start, end, objective=MinTrackingError(), benchmark=INDEX,
                  turnover_limit=args.limit or None, cost=0.0015)
    print(f"market: {zorvata.db_path()}  ({len(zorvata.index_weights(INDEX, end))} stocks in {INDEX}); "
          f"{start} .. {end}, monthly; {os.cpu_count()} CPUs (a shared machine: other work competes)",
          flush=True)
    engines = [("serial", None), ("process", args.workers), ("dask", args.workers)]
    timings: dict[tuple[str, str], float] = {}
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        warm_dir = None
        for phase in ("cold", "warm"):
            for name, workers in engines:
                if phase == "cold":
                    store = os.path.join(tmp, name)
                    warm_dir = warm_dir or store
                else:
                    store = warm_dir
                os.environ["VELQUOR_RISKMODEL_DIR"] = store
                _estimates.forget()
                t = time.perf_counter()
                res = bt.run(engine=name, workers=workers, progress=False)
                timings[(phase, name)] = time.perf_counter() - t
                results[(phase, name)] = res
                print(f"  {phase:4} {name:7} {timings[(phase, name)]:7.1f} s  "
                      f"{res.status.value_counts().to_dict()}", flush=True)
    ref = results[("cold", "serial")]
    same = all(r.weights.equals(ref.weights) and np.array_equal(r.nav.to_numpy(), ref.nav.to_numpy())
               for r in results.values())
    n = len(ref.status)
    print(f"\n{n} rebalances; weights and NAV bit-identical across engines and phases: {same}")
    print(f"turnover after the first rebalance: max {ref.turnover.iloc[1:].max():.4f} "
          f"(limit {args.limit or 'none'})\n")
    print(f"{'phase':5} {'engine':8} {'seconds':>8} {'s/rebal':>8} {'speed-up':>9} {'target':>10}")
    ok = same
    for (phase, name), sec in timings.items():
        speed = timings[(phase, "serial")] / sec
        if phase == "warm" and name == "serial":
            target, met = "< 0.5 s/r", sec / n < 0.5
        elif phase == "cold" and name != "serial":
            target, met = ">= 1.6x", speed >= 1.6
        else:
            target, met = "", True
        ok &= met
        flag = "" if met else "MISSED"
        print(f"{phase:5} {name:8} {sec:8.1f} {sec / n:8.2f} {speed:8.2f}x {target:>10} {flag}")
    print("\nsummary of the serial run:")
    print(ref.summary().to_string())
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
