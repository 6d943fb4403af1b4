"""Per-call time of the package's C++ functions against pure-Python functions with the same body.

Each C++ function is timed next to a Python function written line for line like its implementation, calling
the same collaborators, in the same process and run: `to_date` on a date and on a datetime, `to_enum` on a
member and on a value, and `portfolio_optimize` on 60 stocks of the demo market (minimum variance, SCS). The
ratio C++ / Python is what the function objects cost over a Python function's call. Target: within 1.5x.
`portfolio_optimize` is timed twice: with SCS at 1e-5 passed on both sides (the call and the C++ side's
check of the answer), and at the defaults, where the C++ side also solves more accurately than the Python
body (the driver's tolerances and scaling, bench/bench_accuracy.py).

    .venv/bin/python bench/bench_calls.py [--repeat 5] [--stocks 60]
"""

from __future__ import annotations

import argparse
import datetime
import functools
import time
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
from dateutil.parser import parse as parse_datetime

import velquor.optimize as opt
from velquor.const import CovModel, RiskModel
from velquor.exception import InvalidArgument, OptimizationFailed
from velquor.objective import MaxInformationRatio, MaxSharpeRatio, RiskParity

# --- the same bodies in Python --------------------------------------------------------------------------


def to_date(dt):
    if isinstance(dt, datetime.datetime):
        return dt.date()
    if isinstance(dt, datetime.date):
        return dt
    if isinstance(dt, str):
        return parse_datetime(dt).date()
    raise InvalidArgument("expect a datetime like object, got {!r}({!r})".format(type(dt), dt))


def to_enum(v, enum_type):
    if isinstance(v, enum_type):
        return v
    for _name, member in enum_type.__members__.items():
        if v == member or v == member.value:
            return member
    raise InvalidArgument("invalid value {} for {}".format(v, enum_type.__name__))


def portfolio_optimize(order_book_ids, date, objective=opt.DEFAULT_OBJECTIVE, bnds=None, cons=None,
                       benchmark=None, cov_model=CovModel.FACTOR_MODEL_DAILY, factor_risk_aversion=1.0,
                       specific_risk_aversion=1.0, solver=None, risk_model=RiskModel.V1, **solver_options):
    # The minimum-variance path of the driver: the same collaborators, in the same order.
    date = opt.to_date(date)
    order_book_ids = opt.ensure_order_book_ids(order_book_ids, date)
    if not order_book_ids:
        raise InvalidArgument("经过剔除后，股票池为空")
    n = len(order_book_ids)
    if n < 2:
        return pd.Series({order_book_ids[0]: 1.0})
    if not isinstance(objective, opt.OptimizationObjective):
        raise InvalidArgument("非法的目标函数")
    cov_model = opt.to_enum(cov_model, CovModel)
    risk_model = opt.to_enum(risk_model, RiskModel)
    helper = opt.OptimizeHelper(order_book_ids, date, benchmark, cov_model, risk_model, factor_risk_aversion,
                                specific_risk_aversion)
    g = cp.Variable(n, nonneg=True)
    if isinstance(objective, (MaxInformationRatio, MaxSharpeRatio)):
        zeta = cp.Variable(nonneg=True)
    elif isinstance(objective, RiskParity):
        zeta = n
    else:
        zeta = 1.0
    hard_cons = [cp.sum(g) - zeta == 0]
    hard_cons.extend(objective.get_internal_constraints(g, zeta, helper))
    problem = cp.Problem(cp.Minimize(objective.get_objective_expr(g, zeta, helper)), hard_cons)
    solver = solver or objective.get_preferred_solver()
    solver_options = dict(solver_options)
    if solver == cp.SCS and "max_iters" not in solver_options:
        solver_options["max_iters"] = 10000
    start = time.perf_counter()
    result = problem.solve(solver=solver, verbose=opt.DEBUG, **solver_options)
    import logging

    logging.info("solve time: %f, optimization result = %f", time.perf_counter() - start, result)  # noqa: LOG015 - as the reference driver logs
    if problem.status not in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE) or g.value is None:
        raise OptimizationFailed(problem.status)
    clipped = np.maximum(g.value, 0.0)
    return pd.Series(clipped / clipped.sum(), index=order_book_ids)


# --- timing ---------------------------------------------------------------------------------------------


def per_call(fn, args, repeat: int, number: int) -> float:
    """Best time per call over `repeat` runs of `number` calls, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn(*args)
        best = min(best, (time.perf_counter() - start) / number)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--stocks", type=int, default=60)
    args = parser.parse_args()

    cases = [
        ("to_date(date)", opt.to_date, to_date, (datetime.date(2024, 1, 2),), 200_000),
        ("to_date(datetime)", opt.to_date, to_date, (datetime.datetime(2024, 1, 2, 9, 30),), 200_000),
        ("to_enum(member)", opt.to_enum, to_enum, (CovModel.FACTOR_MODEL_DAILY, CovModel), 200_000),
        ("to_enum(value)", opt.to_enum, to_enum, ("quarterly", CovModel), 50_000),
    ]
    import zorvata

    date = zorvata.data_end()
    pool = sorted(zorvata.all_instruments("CS", date)["order_book_id"])[: args.stocks]
    # The same solver settings on both sides (a caller's tolerance turns the driver's own choice off): what
    # remains is the call and the certificate. The default call also pays for the driver's tighter solve.
    former = dict(eps_abs=1e-5, eps_rel=1e-5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours, theirs = opt.portfolio_optimize(pool, date, **former), portfolio_optimize(pool, date, **former)
    assert np.allclose(ours.values, theirs.values, atol=1e-6), "the two drivers disagree"
    cases.append((f"portfolio_optimize({args.stocks}, eps 1e-5)", functools.partial(opt.portfolio_optimize, **former),
                  functools.partial(portfolio_optimize, **former), (pool, date), 3))
    cases.append((f"portfolio_optimize({args.stocks}) default", opt.portfolio_optimize, portfolio_optimize,
                  (pool, date), 3))

    print(f"{'call':<36}{'C++ (us)':>12}{'Python (us)':>14}{'ratio':>8}   target <= 1.5")
    worst = 0.0
    for name, ours_fn, python_fn, call_args, number in cases:
        # interleaved, so that drifting machine load touches both alike
        t_ours = t_python = float("inf")
        for _ in range(args.repeat):
            t_ours = min(t_ours, per_call(ours_fn, call_args, 1, number))
            t_python = min(t_python, per_call(python_fn, call_args, 1, number))
        ratio = t_ours / t_python
        worst = max(worst, ratio)
        print(f"{name:<36}{t_ours * 1e6:>12.3f}{t_python * 1e6:>14.3f}{ratio:>8.2f}")
    print(f"worst ratio {worst:.2f}")


if __name__ == "__main__":
    main()
