"""to_orders on every stock of the market (about 3,000 on the demo market): share orders in board lots from
random target weights against random holdings (odd lots among them), with a cash buffer, a minimum trade value
and the cost model's estimate.

Run: .venv/bin/python bench/bench_orders.py [--db market.duckdb] [--date 2026-11-30] [--capital 1e9]

Times are the median CPU seconds of this process over repeated calls, after a first call that opens the
store. Printed: the call without the tracking error (the rounding alone), with it (the default; the risk model's
estimate for the date built by a first call), and with the cost model's estimate as well (it reads 20 days of
bars and returns); each as a ratio to the plain reading of the day's bars that every call starts with.
Target: under 0.2 s with the defaults.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

import zorvata
from timing import median_seconds


def cpu_median(fn) -> float:
    return median_seconds(fn, clock=time.process_time)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market)")
    ap.add_argument("--date", default="2026-11-30")
    ap.add_argument("--capital", type=float, default=1e9)
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    from velquor.trading import CostModel, to_orders

    prev = zorvata.get_previous_trading_date(args.date)
    ids = zorvata.get_daily_bars(prev, prev, ["close"])["order_book_id"].tolist()
    rng = np.random.default_rng(1)
    target = pd.Series(rng.random(len(ids)) ** 2, index=ids)
    target = target / target.sum() * 0.99
    held_ids = rng.choice(ids, len(ids) // 2, replace=False)
    held = pd.Series(rng.integers(1, 50, len(held_ids)) * 100 + np.where(rng.random(len(held_ids)) < 0.2, 37, 0),
                     index=held_ids)
    kw = dict(capital=args.capital, current_shares=held, cash_buffer=0.005, min_trade_value=5_000)

    def read():
        zorvata.get_daily_bars(prev, prev, ["close"], ids)

    def plain():
        return to_orders(target, args.date, tracking_error=False, **kw)

    def default():
        return to_orders(target, args.date, **kw)

    def full():
        return to_orders(target, args.date, cost_model=CostModel(), **kw)

    res = plain()  # opens the store
    t = time.process_time()
    full()
    first_full = time.process_time() - t
    base = cpu_median(read)
    rows = [("read the day's bars (reference)", base), ("to_orders, rounding only", cpu_median(plain)),
            ("  + tracking error (the default)", cpu_median(default)),
            ("  + CostModel estimate", cpu_median(full))]
    print(f"to_orders on {len(ids):,} stocks, {args.date}, capital {args.capital:,.0f}: {len(res.orders):,} orders, "
          f"cash left {res.cash:,.0f}, weight gap {res.weight_gap:.2e}")
    print(f"{'step':<36}{'CPU s':>9}{'ratio':>8}")
    for name, sec in rows:
        print(f"{name:<36}{sec:>9.4f}{sec / base:>8.1f}")
    print(f"first call with the tracking error (builds the date's risk model when not yet stored): "
          f"{first_full:.2f} s CPU")
    print(f"against the 0.2 s target: rounding only {rows[1][1] / 0.2:.2f}, default {rows[2][1] / 0.2:.2f}, "
          f"with the cost estimate {rows[3][1] / 0.2:.2f} of it")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
