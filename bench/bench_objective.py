"""Build and compile time of the objectives' quadratic forms, with and without telling cvxpy the matrix is PSD.

The helper's covariance matrices are positive semidefinite by construction (factor model X F X' + D), so the
eigenvalue check cvxpy runs on an unmarked matrix is redundant. This prints, per pool size, the time to build
a minimum-variance problem and compile it for SCS both ways, and the ratio.

    .venv/bin/python bench/bench_objective.py [--repeat 3] [--sizes 300 1000 2000]
"""

from __future__ import annotations

import argparse
import time

import cvxpy as cp
import numpy as np
from scipy.sparse.linalg import ArpackNoConvergence

import velquor.objective as objective


def factor_covariance(n: int, k: int = 40, seed: int = 0) -> np.ndarray:
    """A covariance with the risk model's structure: exposures X (n x k), factor covariance F, specific D."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    a = rng.normal(size=(k, k)) * 0.01
    f = a @ a.T + np.eye(k) * 1e-4
    d = rng.uniform(0.01, 0.05, size=n) ** 2
    cov = x @ f @ x.T + np.diag(d)
    return (cov + cov.T) / 2


class Helper:
    """The members of the optimisation helper that MinVariance reads."""

    def __init__(self, cov: np.ndarray) -> None:
        self.order_book_ids = [f"S{i:05d}" for i in range(cov.shape[0])]
        self._cov = cov

    def get_cov_matrix(self) -> np.ndarray:
        return self._cov


def build_and_compile(cov: np.ndarray, assume_psd: bool | None) -> tuple[float, float]:
    """Seconds to build the objective expression and to compile the problem for SCS.

    `assume_psd` None builds through MinVariance (what the package does); True/False call cvxpy directly."""
    n = cov.shape[0]
    g = cp.Variable(n, nonneg=True)
    start = time.perf_counter()
    if assume_psd is None:
        expr = objective.MinVariance().get_objective_expr(g, 1.0, Helper(cov))
    else:
        expr = cp.quad_form(g, cov, assume_PSD=assume_psd)
    problem = cp.Problem(cp.Minimize(expr), [cp.sum(g) - 1.0 == 0])
    built = time.perf_counter()
    problem.get_problem_data(cp.SCS)
    done = time.perf_counter()
    return built - start, done - built


def best_of(repeat: int, cov: np.ndarray, assume_psd: bool | None) -> tuple[float, float] | None:
    """Best build and compile times over `repeat` runs; None when cvxpy's own PSD check gives up."""
    try:
        runs = [build_and_compile(cov, assume_psd) for _ in range(repeat)]
    except ArpackNoConvergence:
        # The eigenvalue search cvxpy runs to certify an unmarked matrix does not always converge on a
        # factor-structured covariance (many tiny eigenvalues): the check fails, not just slows down.
        return None
    return min(r[0] for r in runs), min(r[1] for r in runs)


def cell(value: float | None, width: int) -> str:
    return f"{'fails':>{width}}" if value is None else f"{value:>{width - 1}.3f}s"


def ratio(a: float | None, b: float | None) -> str:
    return f"{'-':>6}" if a is None or b is None else f"{a / b:>6.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 2000])
    args = parser.parse_args()

    header = (f"{'n':>6} | {'build check':>11} {'build PSD':>10} {'ratio':>6} | {'compile check':>13} "
              f"{'compile PSD':>11} {'ratio':>6} | {'total ratio':>11} | {'MinVariance':>11}")
    print(header)
    print("-" * len(header))
    for n in args.sizes:
        cov = factor_covariance(n)
        b0, c0 = best_of(args.repeat, cov, False) or (None, None)
        b1, c1 = best_of(args.repeat, cov, True) or (None, None)
        bm, cm = best_of(args.repeat, cov, None) or (None, None)
        total0 = None if b0 is None else b0 + c0
        total1 = None if b1 is None else b1 + c1
        total_m = None if bm is None else bm + cm
        print(f"{n:>6} | {cell(b0, 11)} {cell(b1, 10)} {ratio(b0, b1)} | {cell(c0, 13)} {cell(c1, 11)} "
              f"{ratio(c0, c1)} | {ratio(total0, total1):>11} | {cell(total_m, 11)}")


if __name__ == "__main__":
    main()
