"""Market-data client timings on the full demo market: build, screening look-ups, return panels, weights.

Run: .venv/bin/python bench/bench_market_data.py [--db existing.duckdb]
(bench/bench_import.py measures the same look-ups on a full-size imported market.)
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import zorvata
from zorvata.demo import build_demo

from timing import first_and_median




def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--db", help="time against this database instead of building the demo market")
    args = ap.parse_args(argv)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        if args.db:
            path = Path(args.db)
        else:
            path = Path(tmp) / "demo.duckdb"
            t = time.perf_counter()
            build_demo(path)
            rows.append(("build the demo market (3,000 stocks, 2015-2026)", time.perf_counter() - t, None,
                         60.0))
        zorvata.configure(path)
        ids = zorvata.all_instruments().order_book_id.tolist()
        pool = (ids + [f"{i:06d}.XSHE" for i in range(800000, 805000)])[:5000]  # all ids, then unknown ones
        zorvata.configure(path)  # first call cold: opens the file and loads the instrument table
        first, warm = first_and_median(lambda: zorvata.instruments(pool))
        rows.append(("instruments, 5,000 ids", first, warm, 0.050))
        zorvata.configure(path)  # cold again: connection and caches dropped
        stocks = zorvata.all_instruments("CS", zorvata.data_end()).order_book_id.tolist()[:3000]
        rest = [i for i in zorvata.all_instruments("CS").order_book_id if i not in set(stocks)]
        stocks += rest[:3000 - len(stocks)]
        end = zorvata.data_end()
        start = zorvata.trading_date_offset(end, -251)
        first, warm = first_and_median(lambda: zorvata.get_price_change_rate(stocks, start, end))
        shape = zorvata.get_price_change_rate(stocks, start, end).shape
        rows.append((f"get_price_change_rate, {len(stocks):,} ids x 252 days -> {shape}", first, warm, 0.150))
        first, warm = first_and_median(lambda: zorvata.index_weights("000985.XSHG", end))
        rows.append(("index_weights (all-market index)", first, warm, 0.050))
        first, warm = first_and_median(lambda: zorvata.trading_date_offset(end, -252))
        rows.append(("trading_date_offset", first, warm, 0.001))
        zorvata.reset()

    print(f"{'operation':<62} {'first':>10} {'repeated':>10} {'target':>9} {'ratio':>7}")
    for name, first, warm, target in rows:
        t = warm if warm is not None else first
        w = f"{warm * 1e3:8.1f}ms" if warm is not None else f"{'':>10}"
        f = f"{first:9.2f}s" if warm is None else f"{first * 1e3:8.1f}ms"
        tgt = f"{target:7.0f}s" if target >= 1 else f"{target * 1e3:6.0f}ms"
        print(f"{name:<62} {f:>10} {w:>10} {tgt:>9} {t / target:7.2f}")
    print("ratio = repeated call (or the build) / target; below 1 meets the target")


if __name__ == "__main__":
    main()
