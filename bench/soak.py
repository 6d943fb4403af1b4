"""Soak: 2,000 portfolio_optimize calls in one process, memory sampled along the way.

Cycles through the driver's paths, the failing ones included (a reference the C++ side forgets to drop
shows up as steady growth): the default objective, a text benchmark with tracking error, risk parity,
the maximum Sharpe ratio with bounds, a soft constraint dropped after an infeasible first solve, an
infeasible request that fails, a rejected argument and a pool of one. Prints the resident memory and the
number of live Python objects every 200 calls and the growth after the warm-up.

    python bench/soak.py [--calls 2000] [--pool 40] [--fakes]

With --fakes the market data and the risk model are replaced by small stand-ins (no database needed).
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
import types
import warnings

WARMUP = 200


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


def install_fakes(opt, n):
    """Stand-ins for the market-data client and the risk model: n listed stocks and one index."""
    import numpy as np
    import pandas as pd
    import zorvata

    ids = [f"{i:06d}.XSHE" for i in range(1, n + 1)]
    records = {i: types.SimpleNamespace(order_book_id=i, type="CS", listed_date="2010-01-04",
                                        de_listed_date="0000-00-00") for i in ids}
    records["000300.XSHG"] = types.SimpleNamespace(order_book_id="000300.XSHG", type="INDX",
                                                   listed_date="2005-04-08", de_listed_date="0000-00-00")
    rng = np.random.default_rng(1)
    x = rng.normal(size=(n, 5)) * 0.3
    cov = x @ np.diag([4e-4, 1e-4, 1e-4, 5e-5, 5e-5]) @ x.T + np.diag(rng.uniform(1e-4, 9e-4, n))
    position = {i: k for k, i in enumerate(ids)}
    bench = pd.Series(1.0 / 20, index=ids[:20])
    mu = rng.normal(0.05, 0.1, n)

    def instruments(q):
        return records.get(q) if isinstance(q, str) else [records[i] for i in q if i in records]

    class Helper:
        def __init__(self, pool, date, benchmark, *args):
            self.order_book_ids, self.date, self.benchmark = pool, date, benchmark
            self.prev_trading_date = date
            extra = [] if benchmark is None else [i for i in bench.index if i not in set(pool)]
            self.union_components = list(pool) + extra
            w = bench if benchmark is not None else pd.Series(dtype=float)
            self.benchmark_weight = w.reindex(self.union_components, fill_value=0.0)

        def get_cov_matrix(self):
            rows = [position[i] for i in self.order_book_ids]
            return cov[np.ix_(rows, rows)]

        def get_union_cov_matrix(self):
            rows = [position[i] for i in self.union_components]
            return cov[np.ix_(rows, rows)]

    zorvata.instruments = instruments
    zorvata.index_weights = lambda index_id, date: bench
    zorvata.index_weights_ex = None
    zorvata.trading_date_offset = lambda date, k: date
    # built from plain arrays: a lazy copy of a long-lived Series would leave pandas' own reference
    # bookkeeping on that Series growing, which is not what this soak looks for
    zorvata.get_price_change_rate = lambda q, start, end: pd.DataFrame(
        [mu[[position[i] for i in q]] / 252], columns=list(q))
    opt.OptimizeHelper = Helper
    return "2024-06-03", ids


def real_market(pool):
    import zorvata

    date = zorvata.data_end()
    ids = list(zorvata.index_weights("000300.XSHG", date).index)
    return date, ids[: max(pool, 2)]


class SoftCap:
    """A caller's constraint object: a soft cap no portfolio can meet."""

    hard = False

    def to_constraints(self, g, zeta, helper):
        return [g[0] >= 2 * zeta]


class Impossible:
    hard = True

    def to_constraints(self, g, zeta, helper):
        return [g[0] >= 2 * zeta]


def cases(opt, date, pool):
    from velquor.exception import InvalidArgument, OptimizationFailed
    from velquor.objective import MaxSharpeRatio, MinTrackingError, RiskParity

    def expect(error, **kwargs):
        def run():
            try:
                opt.portfolio_optimize(pool, date, **kwargs)
            except error:
                return
            raise AssertionError(f"{error.__name__} expected")
        return run

    return [
        lambda: opt.portfolio_optimize(pool, date),
        lambda: opt.portfolio_optimize(pool, date, MinTrackingError(), benchmark="000300.XSHG"),
        lambda: opt.portfolio_optimize(pool, date, RiskParity()),
        lambda: opt.portfolio_optimize(pool, date, MaxSharpeRatio(), bnds={"*": (0.0, 0.2)}),
        lambda: opt.portfolio_optimize(pool, date, cons=[SoftCap()]),
        expect(OptimizationFailed, cons=[Impossible()]),
        expect(InvalidArgument, objective=None),
        lambda: opt.portfolio_optimize(pool[:1], date),
    ]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--pool", type=int, default=40)
    parser.add_argument("--fakes", action="store_true")
    args = parser.parse_args(argv)
    import velquor.optimize as opt

    # after the import, which puts its "always" filter for OptimizerWarning in front
    warnings.simplefilter("ignore")

    date, pool = install_fakes(opt, args.pool) if args.fakes else real_market(args.pool)
    runs = cases(opt, date, pool)
    print(f"{'fakes' if args.fakes else 'demo market'}, pool of {len(pool)}, {len(runs)} kinds of call in turn")
    print(f"{'calls':>6} {'RSS MB':>8} {'objects':>9} {'s/call':>7}")
    samples = []
    t = time.perf_counter()
    for k in range(1, args.calls + 1):
        runs[k % len(runs)]()
        if k % 200 == 0 or k == WARMUP:
            gc.collect()
            samples.append((k, rss_mb(), len(gc.get_objects())))
            if k % 200 == 0:
                print(f"{k:>6} {samples[-1][1]:8.1f} {samples[-1][2]:9d} {(time.perf_counter() - t) / k:7.3f}")
    base = next(s for s in samples if s[0] == WARMUP)
    last = samples[-1]
    print(f"growth from call {WARMUP} to {last[0]}: {last[1] - base[1]:+.1f} MB RSS, {last[2] - base[2]:+d} objects "
          f"({(last[1] - base[1]) * 1024 / (last[0] - WARMUP):+.2f} KB per call)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
