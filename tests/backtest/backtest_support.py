"""Shared pieces of the backtest tests: an independent replay of the bookkeeping, a picklable constraint."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd

import zorvata

#: rebalance dates fall on the first trading day of each month, here 2025-05 .. 2025-10
START, END = "2025-05-01", "2025-10-31"
COST = 0.002


def basic_backtest(**kw):
    from velquor.backtest import Backtest
    from velquor.objective import MinTrackingError

    args = dict(universe="000985.XSHG", start=START, end=END, objective=MinTrackingError(),
                benchmark="000905.XSHG", bnds={DELISTED: (0.02, 0.1), "*": (0.0, 0.1)}, cost=COST)
    args.update(kw)
    return Backtest(**args)


#: a stock of the test market delisted in the middle of the runs below
DELISTED = "300013.XSHE"
DELISTED_ON = pd.Timestamp("2025-07-17")


def replay(result, cost: float):
    """NAV, turnover and costs recomputed from the result's weights and holdings and the market's returns,
    with the conventions written out once more (suspended = zero return, delisted = cash)."""
    days = result.nav.index
    ids = list(result.holdings.columns)
    rates = zorvata.get_price_change_rate(ids, days[0], days[-1]).reindex(index=days, columns=ids)
    r = rates.fillna(0.0).to_numpy()
    gone = {rec.order_book_id: pd.Timestamp(rec.de_listed) for rec in zorvata.instruments(ids) if rec.de_listed}
    hold = result.holdings.to_numpy()
    nav, turnover, costs = [], {}, {}
    value = 1.0
    prev = np.zeros(len(ids))
    for t, day in enumerate(days):
        h = prev.copy()
        for j, i in enumerate(ids):
            if i in gone and gone[i] <= day:
                h[j] = 0.0
        if day in result.weights.index:
            w = result.weights.loc[day].to_numpy()
            traded = np.abs(w - h).sum()
            turnover[day] = 0.5 * (traded + abs(h.sum() - w.sum()))
            costs[day] = cost * traded
            value *= 1.0 - costs[day]
            h = w
        value *= 1.0 + h @ r[t]
        nav.append(value)
        prev = hold[t]
    return pd.Series(nav, index=days), pd.Series(turnover), pd.Series(costs)


class MaxWeight:
    """A hard cap on every weight (a minimal constraint object of the optimiser's protocol)."""

    hard = True

    def __init__(self, cap: float) -> None:
        self.cap = cap

    def to_constraints(self, g, zeta, helper):
        return [g <= self.cap * zeta]


def cap_by_holdings(date, holdings: pd.Series):
    """Holdings-dependent constraints: the cap tightens once anything is held."""
    return [MaxWeight(0.3 if holdings.empty else 0.25)]


def zero_cvxpy() -> None:  # keeps cvxpy imported for the constraint above (used in workers)
    cp.Constant(0)


def _crashing_objective_class():
    from velquor.objective import MinTrackingError

    class CrashingTrackingError(MinTrackingError):
        """MinTrackingError whose worker process dies on the dates of one month (never in the client)."""

        def __init__(self, month: int, client_pid: int) -> None:
            super().__init__()
            self.month, self.client_pid = month, client_pid

        def get_objective_expr(self, g, zeta, helper):
            import os

            if helper.date.month == self.month and os.getpid() != self.client_pid:
                os._exit(3)
            return super().get_objective_expr(g, zeta, helper)

    return CrashingTrackingError


CrashingTrackingError = _crashing_objective_class()
CrashingTrackingError.__qualname__ = "CrashingTrackingError"


def _arm_interrupted_solve() -> None:
    """The next SCS solve of this process reports what SCS reports when Ctrl-C reaches it mid-solve."""
    import scs

    guarded = scs.solve
    real = guarded._velquor_original

    def once(*args, **kwargs):
        guarded._velquor_original = real
        result = real(*args, **kwargs)
        result["info"].update(status_val=-5, status="interrupted")
        return result

    guarded._velquor_original = once


def _interrupting_objective_class():
    from velquor.objective import MinTrackingError

    class InterruptingTrackingError(MinTrackingError):
        """MinTrackingError that stands for Ctrl-C once (while the file ``trigger`` exists) on a date of
        ``month``: inside the solver (``how="solver"``, in whichever process solves) or as SIGINT sent to
        the client process (``how="signal"``)."""

        def __init__(self, trigger: str, month: int, how: str, client_pid: int) -> None:
            super().__init__()
            self.trigger, self.month, self.how, self.client_pid = trigger, month, how, client_pid

        def get_objective_expr(self, g, zeta, helper):
            import os
            import signal

            if helper.date.month == self.month and os.path.exists(self.trigger):
                os.unlink(self.trigger)
                if self.how == "signal":
                    os.kill(self.client_pid, signal.SIGINT)
                else:
                    _arm_interrupted_solve()
            return super().get_objective_expr(g, zeta, helper)

    return InterruptingTrackingError


InterruptingTrackingError = _interrupting_objective_class()
InterruptingTrackingError.__qualname__ = "InterruptingTrackingError"
