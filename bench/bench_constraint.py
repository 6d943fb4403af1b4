"""Cost of the constraint library on a 1,000-stock tracking-error request, against the same request without
constraints, in one process.

The pool holds the constituents of 000300.XSHG and other listed stocks up to 1,000, on the last date of
the demo market. The constrained request adds a tracking-error limit, a one-way turnover limit (0.45) from an
equal-weight holding of 200 pool stocks, a wildcard industry constraint (relative, +-3%) and a wildcard
style constraint (relative, +-0.3). Prints the median end-to-end times, the ratio (target under 3x),
the time spent building the constraints, and the realised tracking error, turnover and largest
industry and style deviations of the constrained result.

    python bench/bench_constraint.py [--repeat 5] [--size 1000]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np
import pandas as pd

TARGET_RATIO = 3.0
INDEX = "000300.XSHG"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--size", type=int, default=1000)
    args = parser.parse_args()

    import zorvata

    import velquor.optimize as opt
    from velquor.benchmark import IndexBenchmark
    from velquor.const import CovModel, RiskModel
    from velquor.constraint import (
        TrackingErrorLimit,
        TurnoverLimit,
        WildcardIndustryConstraint,
        WildcardStyleConstraint,
    )
    from velquor.helper import OptimizeHelper, without_model_data
    from velquor.objective import MinTrackingError

    date = zorvata.data_end()
    listed = sorted(zorvata.all_instruments("CS", zorvata.get_previous_trading_date(date))["order_book_id"])
    # stocks the model has data for (a constituent delisted by the date is screened out of the request)
    members = set(zorvata.index_weights(INDEX, date).index)
    gone = set(without_model_data(sorted(members | set(listed)), date, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1))
    listed = [i for i in listed if i not in gone]
    members -= gone
    others = [i for i in listed if i not in members]
    rng = np.random.default_rng(0)
    pool = sorted(members | set(rng.choice(others, size=args.size - len(members), replace=False)))
    holdings = pd.Series(1 / 200, index=list(rng.choice(pool, size=200, replace=False)))
    cons = [
        TrackingErrorLimit(0.04),
        TurnoverLimit(holdings, 0.45),
        WildcardIndustryConstraint(-0.03, 0.03, relative=True),
        WildcardStyleConstraint(-0.3, 0.3, relative=True),
    ]

    def run(constraints):
        t = time.perf_counter()
        result = opt.portfolio_optimize(pool, date, MinTrackingError(), cons=constraints, benchmark=INDEX)
        return time.perf_counter() - t, result

    run(None)  # the risk model for the date, built or read once
    plain, constrained, results = [], [], None
    for _ in range(args.repeat):
        plain.append(run(None)[0])
        seconds, results = run(cons)
        constrained.append(seconds)

    helper = OptimizeHelper(pool, opt.to_date(date), IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY,
                            RiskModel.V1, 1.0, 1.0)
    import cvxpy as cp

    g = cp.Variable(len(pool), nonneg=True)
    t = time.perf_counter()
    for c in cons:
        c.to_constraints(g, 1.0, helper)
    build = time.perf_counter() - t

    # What the constrained portfolio realises.
    w = results.reindex(helper.union_components, fill_value=0.0).to_numpy()
    b = helper.benchmark_weight.to_numpy()
    cov = np.asarray(helper.get_union_model_cov_matrix())
    te = float(np.sqrt(helper.annualization_factor * (w - b) @ cov @ (w - b)))
    ids = sorted(set(pool) | set(holdings.index))
    turnover = 0.5 * (float((results.reindex(ids, fill_value=0) - holdings.reindex(ids, fill_value=0)).abs().sum())
                      + 1 - holdings.sum())
    codes = helper.get_union_industry().to_numpy()
    bp = b / b.sum()
    industry_gap = (pd.Series(w).groupby(codes).sum() - pd.Series(bp).groupby(codes).sum()).abs().max()
    x = helper.get_union_style_exposure().to_numpy()
    style_gap = float(np.abs(x.T @ (w - bp)).max())

    p, c = statistics.median(plain), statistics.median(constrained)
    ratio = c / p
    print(f"pool {len(pool)} stocks, union {len(helper.union_components)}, {args.repeat} runs, date {date}")
    print(f"{'request':<28}{'median s':>10}")
    print(f"{'MinTrackingError':<28}{p:>10.3f}")
    print(f"{'  + four constraints':<28}{c:>10.3f}")
    print(f"ratio {ratio:.2f}x (target < {TARGET_RATIO:.0f}x): {'ok' if ratio < TARGET_RATIO else 'MISSED'}")
    print(f"building the four constraints: {build:.3f} s")
    print(f"realised: tracking error {te:.4f} (limit 0.04), turnover {turnover:.4f} (limit 0.45), "
          f"industry gap {industry_gap:.4f} (0.03), style gap {style_gap:.4f} (0.3)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
