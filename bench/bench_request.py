"""What reading a request costs in diagnose and the frontier, as ratios to one portfolio_optimize of it.

On the demo market (2026-11-30), 50 constituents of 000300.XSHG: `diagnose` of an infeasible request with
three constraints (it solves once per constraint for `alone` and once for the joint relaxation) and
`efficient_frontier` with 10 points, each against one `portfolio_optimize` of the same pool solved with the
same solver (CLARABEL), in CPU seconds (`time.process_time`, median of the runs) in the same process.

    .venv/bin/python bench/bench_request.py [--repeat 3]
"""

from __future__ import annotations

import argparse
import time
import warnings

import zorvata

import velquor.optimize as opt
from velquor.analytics import efficient_frontier
from velquor.constraint import IndustryConstraint, TurnoverLimit, diagnose

from timing import median_seconds

DATE = "2026-11-30"


def cpu_seconds(fn, repeat: int) -> float:
    return median_seconds(fn, repeat, clock=time.process_time)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    pool = sorted(zorvata.index_weights("000300.XSHG", DATE).index)[:50]
    cons = [IndustryConstraint("SW05", upper_limit=0.2), IndustryConstraint("SW05", lower_limit=0.3),
            TurnoverLimit({}, 0.5)]
    feasible = [IndustryConstraint("SW05", upper_limit=0.2), TurnoverLimit({}, 1.0)]

    def optimize():
        opt.portfolio_optimize(pool, DATE, cons=feasible, solver="CLARABEL")

    optimize()  # warms the risk model's caches for both
    reference = cpu_seconds(optimize, args.repeat)
    rows = [("portfolio_optimize (reference)", reference),
            ("diagnose, 3 constraints", cpu_seconds(lambda: diagnose(pool, DATE, cons=cons), args.repeat)),
            ("efficient_frontier, 10 points",
             cpu_seconds(lambda: efficient_frontier(pool, DATE, points=10), args.repeat))]
    print(f"{'call':34}{'CPU (s)':>10}{'ratio':>8}")
    for name, seconds in rows:
        print(f"{name:34}{seconds:10.3f}{seconds / reference:8.1f}")


if __name__ == "__main__":
    main()
