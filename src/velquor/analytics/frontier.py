"""The mean-variance efficient frontier of a pool, solved point by point through portfolio_optimize."""

from __future__ import annotations

import math
import numbers

import cvxpy as cp
import numpy as np
import pandas as pd

from ..exception import InvalidArgument
from ..coerce import to_enum
from .report import PERIODS_PER_YEAR, _expected
from ..const import CovModel, RiskModel

__all__ = ["efficient_frontier"]


def _objectives():
    """The two objectives the frontier needs, subclasses of the package's objective interface."""
    from ..objective import MinVariance, OptimizationObjective

    class MinVarianceAtReturn(MinVariance):
        """Minimum variance among the portfolios whose expected return is at least `target`. The variance is
        divided by `scale`: daily variances are numbers near 1e-4, a solver's tolerances are calibrated for
        values near 1, and the scale does not move the minimiser."""

        def __init__(self, mu: pd.Series, target: float | None, scale: float):
            self._mu = mu
            self._target = target
            self._scale = scale

        def get_objective_expr(self, g, zeta, helper):
            return super().get_objective_expr(g, zeta, helper) / self._scale

        def get_internal_constraints(self, g, zeta, helper):
            if self._target is None:
                return []
            mu = self._mu.reindex(helper.order_book_ids).to_numpy(dtype=np.float64)
            return [mu @ g >= self._target * zeta]

        def get_preferred_solver(self):
            return cp.CLARABEL

    class MaxReturn(OptimizationObjective):
        """Maximum expected return (linear)."""

        def __init__(self, mu: pd.Series):
            self._mu = mu

        def get_objective_expr(self, g, zeta, helper):
            return -(self._mu.reindex(helper.order_book_ids).to_numpy(dtype=np.float64) @ g)

        def get_internal_constraints(self, g, zeta, helper):
            return []

        def get_preferred_solver(self):
            return cp.CLARABEL

    return MinVarianceAtReturn, MaxReturn


def efficient_frontier(order_book_ids, date, points: int = 20, *, expected_returns=None, window: int = 252,
                       bnds=None, cons=None, benchmark=None, cov_model="daily", risk_model="v1",
                       solver: str | None = None, **solver_options) -> pd.DataFrame:
    """The long-only mean-variance frontier of a pool on `date`, from the minimum-variance portfolio to the
    maximum-return one, as a DataFrame with one row per point: ``return`` (annualised expected return),
    ``risk`` (annualised volatility), ``sharpe`` (return / risk) and then one column of weights per stock.

    Every point is ``portfolio_optimize`` with a minimum-variance objective and the constraint "expected
    return at least the point's target", so bounds (`bnds`, e.g. ``{"*": (0, 0.05)}``) and constraint
    objects (`cons`) apply exactly as in an optimisation; `benchmark` only matters to constraints that read
    it. Targets are evenly spaced between the end points' returns. Expected returns are annualised, by
    order_book_id (missing stocks count as 0); None estimates them as the mean daily return over the `window`
    trading days before the date, times 252 (as ``MeanVariance`` does). The default solver is CLARABEL (a
    frontier needs accurate solves to be monotone); other keywords go to the solver.
    """
    from .. import optimize as opt

    if isinstance(points, bool) or not isinstance(points, numbers.Integral) or points < 2:
        raise InvalidArgument(f"points must be an integer >= 2, got {points!r}")
    if isinstance(window, bool) or not isinstance(window, numbers.Integral) or window < 2:
        raise InvalidArgument(f"window must be an integer >= 2, got {window!r}")
    cm = to_enum(cov_model, CovModel, "cov_model")
    rm = to_enum(risk_model, RiskModel, "risk_model")
    # Screened here, so that its warnings name the caller; the request reads the screened pool again
    # (silently) with the checks of portfolio_optimize: the benchmark rule, the helper and the bounds.
    screened = opt.ensure_order_book_ids(order_book_ids, date)
    if len(screened) < 2:
        raise InvalidArgument(f"a frontier needs at least two stocks in the pool, got {len(screened)}")
    request = opt.prepare_request(screened, date, bnds=bnds, cons=cons, benchmark=benchmark, cov_model=cm,
                                  risk_model=rm)
    pool, day, helper = request.order_book_ids, request.date, request.helper
    # Estimated for this date and pool only: nothing is kept between calls.
    mu = pd.Series(_expected("historical" if expected_returns is None else expected_returns, pool,
                             helper.prev_trading_date, int(window)), index=pd.Index(pool, dtype=object))
    cov = helper.get_cov_matrix()
    n = len(pool)
    scale = float(np.asarray(cov).sum()) / (n * n)
    scale = scale if scale > 0 else 1.0
    annual = PERIODS_PER_YEAR[cm]
    MinVarianceAtReturn, MaxReturn = _objectives()
    common = dict(bnds=bnds, cons=cons, benchmark=benchmark, cov_model=cm, risk_model=rm, solver=solver,
                  **solver_options)

    def solve(objective) -> np.ndarray:
        return opt.portfolio_optimize(pool, day, objective, **common).reindex(pool).to_numpy(dtype=np.float64)

    w_min = solve(MinVarianceAtReturn(mu, None, scale))
    r_lo = float(mu.to_numpy() @ w_min)
    r_hi = float(mu.to_numpy() @ solve(MaxReturn(mu)))
    # The maximum-return end is the least risky portfolio with (almost) that return: with ties in the
    # expected returns the linear problem has many solutions.
    slack = 1e-7 * max(abs(r_hi), 1e-12)
    targets = np.linspace(r_lo, r_hi, points)
    rows = [w_min]
    for t in targets[1:]:
        if t <= r_lo:
            rows.append(w_min)
            continue
        rows.append(solve(MinVarianceAtReturn(mu, t - slack, scale)))
    weights = np.vstack(rows)
    dense = np.asarray(cov)
    rets = weights @ mu.to_numpy()
    risks = np.sqrt(np.maximum(np.einsum("ij,jk,ik->i", weights, dense, weights), 0.0) * annual)
    frame = pd.DataFrame(weights, columns=pd.Index(pool, dtype=object))
    frame.insert(0, "sharpe", np.divide(rets, risks, out=np.full_like(rets, math.nan), where=risks > 0))
    frame.insert(0, "risk", risks)
    frame.insert(0, "return", rets)
    frame.index.name = "point"
    frame.attrs.update(date=day.isoformat(), cov_model=cm.value, risk_model=rm.value)
    return frame
