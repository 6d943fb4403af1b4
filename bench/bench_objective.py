"""Build and compile time of the objectives' quadratic forms, with and without marking the matrix PSD.

The helper's covariance matrices are positive semidefinite by construction (factor model X F X' + D), so the
eigenvalue check cvxpy runs on an unmarked matrix is redundant. This prints, per pool size, the time to build
a minimum-variance problem and compile it for SCS both ways, and the ratio.

    .venv/bin/python bench/bench_objective.py [--repeat 3] [--sizes 300 1000 2000]
"""

from __future__ import annotations

import argparse
import signal
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


class TimeLimit(Exception):
    pass


def _expired(signum, frame):
    raise TimeLimit


def best_of(repeat: int, cov: np.ndarray, assume_psd: bool | None, limit: int) -> tuple[float, float] | str:
    """Best build and compile times over `repeat` runs, or why there are none: "fails" when cvxpy's own PSD
    check gives up, "> {limit}s" when a run exceeds the time limit."""
    # cvxpy's eigenvalue search is driven from Python, so the alarm interrupts it between iterations.
    previous = signal.signal(signal.SIGALRM, _expired)
    signal.alarm(limit)
    try:
        runs = [build_and_compile(cov, assume_psd) for _ in range(repeat)]
    except ArpackNoConvergence:
        # The eigenvalue search cvxpy runs to certify an unmarked matrix does not always converge on a
        # factor-structured covariance (many tiny eigenvalues): the check fails, not just slows down.
        return "fails"
    except TimeLimit:
        return f"> {limit}s"
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    return min(r[0] for r in runs), min(r[1] for r in runs)


def cell(value: float | str, width: int) -> str:
    return f"{value:>{width}}" if isinstance(value, str) else f"{value:>{width - 1}.3f}s"


def ratio(a: float | str, b: float | str) -> str:
    return f"{'-':>6}" if isinstance(a, str) or isinstance(b, str) else f"{a / b:>6.1f}"


def timings(repeat: int, cov: np.ndarray, assume_psd: bool | None, limit: int):
    """(build, compile, total), each a number of seconds; the reason there is none stands in the compile
    column, where cvxpy checks the matrix."""
    result = best_of(repeat, cov, assume_psd, limit)
    if isinstance(result, str):
        return "-", result, result
    return result[0], result[1], result[0] + result[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 2000])
    parser.add_argument("--limit", type=int, default=300, help="seconds allowed per variant and size")
    args = parser.parse_args()

    header = (f"{'n':>6} | {'build check':>11} {'build PSD':>10} {'ratio':>6} | {'compile check':>13} "
              f"{'compile PSD':>11} {'ratio':>6} | {'total ratio':>11} | {'MinVariance':>11}")
    print(f"best of {args.repeat}; 'check': cvxpy certifies the matrix, 'PSD': assume_PSD=True; "
          f"MinVariance: the objective's build + compile")
    print(header)
    print("-" * len(header))
    for n in args.sizes:
        cov = factor_covariance(n)
        b0, c0, total0 = timings(args.repeat, cov, False, args.limit)
        b1, c1, total1 = timings(args.repeat, cov, True, args.limit)
        _, _, total_m = timings(args.repeat, cov, None, args.limit)
        print(f"{n:>6} | {cell(b0, 11)} {cell(b1, 10)} {ratio(b0, b1)} | {cell(c0, 13)} {cell(c1, 11)} "
              f"{ratio(c0, c1)} | {ratio(total0, total1):>11} | {cell(total_m, 11)}")


if __name__ == "__main__":
    main()
