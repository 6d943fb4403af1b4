"""End-to-end time of portfolio_optimize on the demo market, with its breakdown, and peak memory.

For pools of 300, 1,000 and 2,000 stocks drawn from the stocks listed on the last date of the demo market,
with the default objective and solver, prints the median end-to-end time and where it goes: screening the
pool, the risk-model helper (construction and covariance), building the objective expression and the
problem, cvxpy's compilation, SCS's setup (factorisation) and SCS's iterations, and the rest (driver,
solution retrieval, result). Then the peak resident memory of one optimisation of 3,000 stocks, measured
in a fresh process.

    python bench/bench_end_to_end.py [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import subprocess
import sys
import time
import types
import warnings

TARGETS = {300: 0.3, 1000: 1.5, 2000: 4.0}
MEMORY_POOL = 3000
MEMORY_TARGET_MB = 1024.0
STAGES = ["screening", "helper", "expression", "compilation", "scs setup", "scs iterations", "other"]


def _universe():
    import zorvata

    date = zorvata.data_end()
    listed = zorvata.all_instruments("CS", date)
    return date, sorted(listed["order_book_id"])


class Probe:
    """Times the stages of one call by wrapping the collaborators the driver looks up in its namespace."""

    def __init__(self, opt):
        import cvxpy as cp

        self.opt = opt
        self.times = {}
        self.problem = None
        probe = self
        real_screen = opt.ensure_order_book_ids
        real_helper = opt.OptimizeHelper

        def ensure_order_book_ids(ids, date):
            t = time.perf_counter()
            try:
                return real_screen(ids, date)
            finally:
                probe.add("screening", time.perf_counter() - t)

        class TimedHelper(real_helper):
            def __init__(self, *args):
                t = time.perf_counter()
                super().__init__(*args)
                probe.add("helper", time.perf_counter() - t)

            def get_cov_matrix(self):
                t = time.perf_counter()
                try:
                    return super().get_cov_matrix()
                finally:
                    probe.add("helper", time.perf_counter() - t)
                    probe.add("cov", time.perf_counter() - t)

        class RecordedProblem(cp.Problem):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                probe.problem = self

        objective = opt.DEFAULT_OBJECTIVE
        real_expr = type(objective).get_objective_expr

        def get_objective_expr(g, zeta, helper):
            t = time.perf_counter()
            try:
                return real_expr(objective, g, zeta, helper)
            finally:
                probe.add("expression", time.perf_counter() - t)

        self.patches = [
            (opt, "ensure_order_book_ids", ensure_order_book_ids),
            (opt, "OptimizeHelper", TimedHelper),
            (opt, "cp", types.SimpleNamespace(**{**{k: getattr(cp, k) for k in dir(cp) if not k.startswith("__")},
                                                 "Problem": RecordedProblem})),
            (objective, "get_objective_expr", get_objective_expr),
        ]

    def add(self, stage, seconds):
        self.times[stage] = self.times.get(stage, 0.0) + seconds

    def __enter__(self):
        self.saved = [(obj, name, obj.__dict__.get(name)) for obj, name, _ in self.patches]
        for obj, name, value in self.patches:
            setattr(obj, name, value)
        return self

    def __exit__(self, *exc):
        for obj, name, value in self.saved:
            if value is None:
                delattr(obj, name)
            else:
                setattr(obj, name, value)

    def run(self, pool, date):
        self.times, self.problem = {}, None
        t = time.perf_counter()
        weights = self.opt.portfolio_optimize(pool, date)
        total = time.perf_counter() - t
        stats = self.problem.solver_stats
        # the expression timer also covers the covariance the objective asks the helper for
        self.times["expression"] = self.times.get("expression", 0.0) - self.times.pop("cov", 0.0)
        self.times["compilation"] = self.problem.compilation_time
        self.times["scs setup"] = stats.setup_time
        self.times["scs iterations"] = stats.solve_time
        self.times["other"] = total - sum(v for k, v in self.times.items() if k != "other")
        assert abs(weights.sum() - 1) < 1e-9
        return total, dict(self.times), stats.num_iters


def bench_times(repeat):
    import numpy as np

    import velquor.optimize as opt

    warnings.simplefilter("ignore")  # after the import, which puts "always" in front for its own warnings
    date, universe = _universe()
    rng = np.random.default_rng(20261130)
    rows = []
    with Probe(opt) as probe:
        probe.run(universe[:50], date)  # loads the risk model
        for n in TARGETS:
            pool = sorted(rng.choice(universe, n, replace=False))
            runs = [probe.run(pool, date) for _ in range(repeat)]
            totals = [r[0] for r in runs]
            k = totals.index(sorted(totals)[len(totals) // 2])  # the median run's breakdown
            rows.append((n, statistics.median(totals), runs[k][1], runs[k][2]))
    return date, rows


def _peak_rss_mb():
    """This process's peak resident set (VmHWM: unlike ru_maxrss, not inherited from the parent)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _memory_child(n):
    """One optimisation of `n` stocks in this process; prints peak RSS before and after, in MB."""
    import numpy as np

    import velquor.optimize as opt

    warnings.simplefilter("ignore")  # after the import, which puts "always" in front for its own warnings
    date, universe = _universe()
    opt.portfolio_optimize(universe[:50], date)
    before = _peak_rss_mb()
    if n <= len(universe):
        pool = universe[:n] if n else universe
    else:
        # More stocks than the demo market lists on one date: the same factor structure, scaled up, handed
        # over as the risk model hands its own (the matrix with its decomposition).
        from velquor.helper import FactorCovariance

        pool = [f"S{i:05d}" for i in range(n)]
        rng = np.random.default_rng(3)
        x = rng.normal(size=(n, 40)) * 0.3
        x[:, 0] = 1.0
        root = x * np.sqrt(rng.uniform(1e-5, 1e-4, 40))
        specific = rng.uniform(1e-4, 9e-4, n)
        cov = FactorCovariance(root @ root.T + np.diag(specific), root, specific)

        class Helper:
            def __init__(self, ids, *args):
                self.order_book_ids = ids

            def get_cov_matrix(self):
                return cov

        opt.ensure_order_book_ids = lambda ids, date: sorted(ids)
        opt.OptimizeHelper = Helper
    t = time.perf_counter()
    weights = opt.portfolio_optimize(pool, date)
    elapsed = time.perf_counter() - t
    after = _peak_rss_mb()
    print(json.dumps({"n": len(weights), "before": before, "peak": after, "seconds": elapsed}))


def bench_memory(n):
    out = subprocess.run([sys.executable, __file__, "--memory-child", str(n)], capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    if args.memory_child is not None:
        _memory_child(args.memory_child)
        return 0

    import cvxpy
    import scs

    print(f"cvxpy {cvxpy.__version__}, SCS {scs.__version__} (as cvxpy calls it: its default linear solver)")
    date, rows = bench_times(args.repeat)
    print(f"demo market, {date}, default objective and solver, median of {args.repeat} runs, seconds\n")
    header = f"{'pool':>6} {'total':>7} {'target':>7} {'ratio':>6}  " + " ".join(f"{s:>14}" for s in STAGES)
    print(header + f" {'iters':>6}")
    for n, total, parts, iters in rows:
        print(f"{n:>6} {total:7.3f} {TARGETS[n]:7.2f} {total / TARGETS[n]:6.2f}  "
              + " ".join(f"{parts.get(s, 0.0):14.3f}" for s in STAGES) + f" {iters:>6}")

    print("\npeak RSS of one optimisation in a fresh process (after a 50-stock warm-up that loads the model)")
    print(f"{'stocks':>6} {'peak MB':>8} {'target':>7} {'ratio':>6} {'above warm-up':>14} {'seconds':>8}")
    # every stock the demo market lists on the date, then the size of the target with a stand-in covariance
    for n in (0, MEMORY_POOL):
        mem = bench_memory(n)
        print(f"{mem['n']:>6} {mem['peak']:8.0f} {MEMORY_TARGET_MB:7.0f} {mem['peak'] / MEMORY_TARGET_MB:6.2f} "
              f"{mem['peak'] - mem['before']:14.0f} {mem['seconds']:8.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
