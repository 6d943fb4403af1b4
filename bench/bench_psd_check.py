"""Cost of certifying a dense covariance matrix before it is marked PSD, against a whole dense request.

A matrix without a factor decomposition is checked (symmetry, one Cholesky factorisation) before cvxpy is told
it is PSD. This prints, for a dense 2,000-stock covariance, the time to build the minimum-variance objective
through MinVariance (check included) and directly with `assume_PSD=True` (no check), the time of the request
itself (build, compile and SCS solve), and the check's share of the request. Target: under 10%.

    .venv/bin/python bench/bench_psd_check.py [--n 2000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import time

import cvxpy as cp

import velquor.objective as objective
from bench_objective import Helper, factor_covariance


def best_of(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    cov = factor_covariance(args.n)
    helper = Helper(cov)
    g = cp.Variable(args.n, nonneg=True)
    checked = best_of(args.repeat, lambda: objective.MinVariance().get_objective_expr(g, 1.0, helper))
    direct = best_of(args.repeat, lambda: cp.quad_form(g, cov, assume_PSD=True))

    def request() -> None:
        x = cp.Variable(args.n, nonneg=True)
        problem = cp.Problem(cp.Minimize(objective.MinVariance().get_objective_expr(x, 1.0, helper)),
                             [cp.sum(x) - 1.0 == 0])
        problem.solve(solver=cp.SCS, max_iters=10000)

    whole = best_of(1, request)
    check = max(checked - direct, 0.0)
    print(f"n = {args.n}: build with check {checked:.3f} s, without {direct:.3f} s, check {check:.3f} s")
    print(f"dense request (build, compile, SCS solve) {whole:.2f} s")
    print(f"check / request = {check / whole:.1%}  (target < 10%)")


if __name__ == "__main__":
    main()
