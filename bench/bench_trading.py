"""The README's monthly backtest of 000300.XSHG (MinTrackingError against the index, turnover limit 0.3) with the
exchange's rules, whole lots on a capital of 100 million and the cost model, against the same without them
(a flat 15 bp cost, trades filled as wanted): time ratio, NAV difference, unfilled trades, cash drag.

Run: .venv/bin/python bench/bench_trading.py [--db market.duckdb] [--start 2025-01-01] [--end 2026-11-30]

With --sweep it also runs the turnover-limit sweep of docs/backtest.md (000905.XSHG, limits 0.1, 0.2, 0.3 and
none, 2025-01-01 .. 2026-11-30) and prints each one's status counts: no date may fail (the index reshuffle of
2025-06 used to make every later date infeasible under a tight limit).

Both runs are serial and in this process, after a first run that builds the risk-model estimates both read.
Times are CPU seconds of this process (the better of two runs of each, interleaved), so other work on the
machine slows both alike; the ratio is what the rules, lots and costs add. Target: at most 1.3.
"""

from __future__ import annotations

import argparse
import os
import time

import zorvata

INDEX = "000300.XSHG"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market)")
    ap.add_argument("--start", default="2025-01-01")
    ap.add_argument("--end", default="2026-11-30")
    ap.add_argument("--sweep", action="store_true", help="also the turnover-limit sweep on 000905.XSHG")
    ap.add_argument("--limit", type=float, default=0.3, help="one-way turnover limit (0: none)")
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    from velquor.backtest import Backtest
    from velquor.objective import MinTrackingError
    from velquor.trading import CostModel

    common = dict(universe=INDEX, start=args.start, end=args.end, rebalance="monthly",
                  objective=MinTrackingError(), benchmark=INDEX, turnover_limit=args.limit or None)
    plain = Backtest(**common, cost=0.0015, exchange_rules=False)
    trading = Backtest(**common, cost=CostModel(), capital=1e8, exchange_rules=True)
    print(f"market: {zorvata.db_path()}; {INDEX} monthly {args.start} .. {args.end}, turnover limit "
          f"{args.limit or None}; "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)
    plain.run(progress=False)  # the risk-model estimates, once

    def timed(bt):
        t = time.process_time()
        result = bt.run(progress=False)
        return time.process_time() - t, result

    times = {"plain": [], "trading": []}
    results = {}
    for _ in range(2):
        for name, bt in (("plain", plain), ("trading", trading)):
            sec, results[name] = timed(bt)
            times[name].append(sec)
    a, b = min(times["plain"]), min(times["trading"])
    p, t = results["plain"], results["trading"]
    sp, st = p.summary(), t.summary()
    print(f"{'':24s} {'plain':>12s} {'trading':>12s}")
    print(f"{'CPU seconds':24s} {a:12.2f} {b:12.2f}")
    print(f"{'time ratio':24s} {'':12s} {b / a:12.2f}   (target <= 1.3)")
    print(f"{'final NAV':24s} {p.nav.iloc[-1]:12.4f} {t.nav.iloc[-1]:12.4f}")
    print(f"{'NAV difference':24s} {'':12s} {t.nav.iloc[-1] - p.nav.iloc[-1]:12.4f}   "
          f"(largest daily gap {(t.nav - p.nav).abs().max():.4f})")
    print(f"{'annualised return':24s} {sp['annualised_return']:12.2%} {st['annualised_return']:12.2%}")
    print(f"{'total costs':24s} {sp['total_costs']:12.4%} {st['total_costs']:12.4%}")
    print(f"{'mean cash':24s} {sp['mean_cash']:12.4%} {st['mean_cash']:12.4%}")
    print(f"{'unfilled trades':24s} {sp['unfilled_trades']:12d} {st['unfilled_trades']:12d}")
    print(f"{'unfilled weight':24s} {sp['unfilled_weight']:12.4f} {st['unfilled_weight']:12.4f}")
    if len(t.unfilled):
        print("unfilled trades by reason:", t.unfilled["reason"].value_counts().to_dict())
        print("unfilled value (money):", f"{t.unfilled['value'].abs().sum():,.0f}")
    print("status:", "plain", p.status.value_counts().to_dict(), "trading", t.status.value_counts().to_dict())
    return sweep(args) if args.sweep else 0


def sweep(args) -> int:
    from velquor.backtest import Backtest, run_many
    from velquor.objective import MinTrackingError

    limits = [0.1, 0.2, 0.3, None]
    results = run_many([Backtest("000905.XSHG", args.start, args.end, objective=MinTrackingError(),
                                 benchmark="000905.XSHG", turnover_limit=x) for x in limits], progress=False)
    bad = 0
    for x, r in zip(limits, results):
        counts = r.status.value_counts().to_dict()
        bad += sum(n for k, n in counts.items() if k.startswith("failed"))
        print(f"turnover limit {x}: {counts}  tracking error {r.summary()['tracking_error']:.4f}  "
              f"mean turnover {r.summary()['mean_turnover']:.4f}")
    print("sweep:", "no failed date" if not bad else f"{bad} failed dates")
    return 1 if bad else 0


if __name__ == "__main__":
    raise SystemExit(main())
