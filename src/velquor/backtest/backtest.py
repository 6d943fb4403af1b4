"""Backtest and run_many: rebalancing a portfolio over dates with the optimiser, on one of three engines."""

from __future__ import annotations

import collections
import copy
import dataclasses
import datetime as _dt
import hashlib
import json
import math
import numbers
import os
import pickle
import re
import threading
import types
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

import numpy as np
import pandas as pd

from .._interrupt import reraise_interrupt
from ..const import HELD_WEIGHT, CovModel, RiskModel
from ..exception import BacktestFailed, InvalidArgument
from ..coerce import to_date, to_enum
from . import _estimates
from ._checkpoint import Checkpoint, input_keys
from ._simulate import DayRules, Simulator, board_lots
from ._spill import remove_spill, spill_dir
from ._tasks import (MarketRef, RebalanceOutcome, RebalanceJob, check_market, history_task, is_lost_worker,
                     is_transient, rebalance_task)
from .engines import Bar, Engine, LazyEngine, check_engine
from .result import BacktestResult, unfilled_frame

__all__ = ["Backtest", "run_many", "FREQUENCIES"]

FREQUENCIES = ("daily", "weekly", "monthly", "quarterly")
#: Rebalance tasks sent to a Dask cluster at a time.
DASK_WAVE = 256
#: Rebalance tasks in flight per worker where this process drives the dates (a chain, a process pool).
IN_FLIGHT = 2
#: Times a date whose worker was lost is sent again (alone, to a fresh pool) before it counts as failed.
LOST_WORKER_RETRIES = 1
#: A rebalance whose target turnover is this close to its limit counts as held back by it: the next date of
#: the chain is then solved with the limit at once, without trying it free first.
AT_LIMIT = 1e-6


def _real(value, name: str, lo: float, hi: float, lo_open: bool = False) -> float:
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value) \
        and (value > lo if lo_open else value >= lo) and value <= hi
    if not ok:
        left = "(" if lo_open else "["
        raise InvalidArgument(f"{name} must be a number in {left}{lo}, {hi}], got {value!r}")
    return float(value)


class Backtest:
    """A rebalanced portfolio over a date range.

    Parameters
    ----------
    universe : an index id (its constituents on each rebalance date), a list of ids, or ``callable(date) ->
        ids``.
    start, end : the date range; the daily path runs from the first rebalance date to ``end`` (or the last
        date with market data).
    rebalance : "daily", "weekly", "monthly", "quarterly" (the first trading day of each period) or a list of
        trading dates.
    objective : an objective instance, ``callable(date) -> objective``, or None for the optimiser's default.
    benchmark : an index id or an ``OptimizeBenchmark`` instance (optimiser benchmark, benchmark NAV and
        tracking error), or None.
    bnds, cons : as for ``portfolio_optimize``; ``cons`` may also be ``callable(date, holdings) -> list`` with
        the drifted holdings (a Series of weights) before the date's trade.
    turnover_limit : one-way turnover allowed per rebalance against the drifted holdings (a hard
        constraint); the first rebalance, from cash, is exempt. Holdings that left the universe stay in the
        problem as names that can only be sold, so the limit can always be met.
    cost : one-way cost rate charged on the traded weight, or a ``velquor.trading.CostModel``; taken off the
        NAV on the rebalance day.
    capital : the portfolio's starting value in money, or None. With it, trades are whole board lots at the
        previous close, costs are paid out of the cash, and the cash left is reported.
    exchange_rules : True (default) fills trades as the exchange allows on the rebalance day: a suspended
        stock is not traded, a buy at the upper price limit or a sale at the lower one does not fill.
    cov_model, risk_model, solver_options : passed to ``portfolio_optimize``.
    """

    def __init__(self, universe, start, end, rebalance="monthly", objective=None, benchmark=None, bnds=None,
                 cons=None, turnover_limit=None, cost=0.0015, cov_model="daily", risk_model="v1",
                 capital=None, exchange_rules=True, **solver_options) -> None:
        from ..benchmark import OptimizeBenchmark
        from ..objective import OptimizationObjective

        if isinstance(universe, str):
            pass
        elif callable(universe):
            pass
        elif isinstance(universe, Iterable) and not isinstance(universe, (bytes, dict)):
            universe = list(universe)
            if not universe or not all(isinstance(i, str) for i in universe):
                raise InvalidArgument("universe must be an index id, a non-empty list of ids or a callable")
        else:
            raise InvalidArgument(f"universe must be an index id, a list of ids or a callable, "
                                  f"got {universe!r}")
        self.universe = universe
        self.start = to_date(start, "start")
        self.end = to_date(end, "end")
        if self.start > self.end:
            raise InvalidArgument(f"start {self.start} is after end {self.end}")
        if isinstance(rebalance, str):
            if rebalance not in FREQUENCIES:
                raise InvalidArgument(f"rebalance must be one of {list(FREQUENCIES)} or a list of dates, "
                                      f"got {rebalance!r}")
        elif isinstance(rebalance, Iterable):
            rebalance = sorted({to_date(d, "rebalance date") for d in rebalance})
            if not rebalance:
                raise InvalidArgument("rebalance lists no date")
        else:
            raise InvalidArgument(f"rebalance must be a frequency or a list of dates, got {rebalance!r}")
        self.rebalance = rebalance
        if objective is not None and not isinstance(objective, OptimizationObjective) \
                and not callable(objective):
            raise InvalidArgument(f"objective must be an OptimizationObjective or a callable, "
                                  f"got {objective!r}")
        self.objective = objective
        if benchmark is not None and not isinstance(benchmark, (str, OptimizeBenchmark)):
            raise InvalidArgument(f"benchmark must be an index id or an OptimizeBenchmark, got {benchmark!r}")
        self.benchmark = benchmark
        if bnds is not None and not isinstance(bnds, dict):
            raise InvalidArgument(f"bnds must be a dict or None, got {type(bnds).__name__}")
        self.bnds = bnds
        if cons is not None and not callable(cons):
            if not isinstance(cons, Iterable):
                raise InvalidArgument(f"cons must be a list, a callable or None, got {cons!r}")
            cons = list(cons)
        self.cons = cons
        self.turnover_limit = None if turnover_limit is None else \
            _real(turnover_limit, "turnover_limit", 0.0, 1.0, lo_open=True)
        from ..trading import CostModel

        self.cost = cost if isinstance(cost, CostModel) else _real(cost, "cost", 0.0, 0.5)
        self.capital = None if capital is None else _real(capital, "capital", 0.0, 1e15, lo_open=True)
        self.exchange_rules = bool(exchange_rules)
        self.cov_model = to_enum(cov_model, CovModel, "cov_model")
        self.risk_model = to_enum(risk_model, RiskModel, "risk_model")
        self.solver_options = dict(solver_options)

    @property
    def path_dependent(self) -> bool:
        """True when a rebalance depends on the holdings it starts from, so the dates run in order."""
        return self.turnover_limit is not None or callable(self.cons) or _cost_aware(self.objective)

    def run(self, engine: str = "serial", workers: int | None = None, client=None, progress: bool = True,
            checkpoint: str | os.PathLike | None = None) -> BacktestResult:
        """Runs the backtest; see :func:`run_many` for the engines, progress and checkpoints."""
        return _run([self], engine, workers, client, progress,
                    [None if checkpoint is None else Path(checkpoint)])[0]

    def describe(self) -> dict:
        """A plain (JSON-ready) description of the configuration."""
        def name(obj):
            if obj is None or isinstance(obj, (str, int, float)):
                return obj
            return getattr(obj, "__qualname__", None) or type(obj).__name__

        return {
            "universe": self.universe if isinstance(self.universe, (str, list)) else name(self.universe),
            "start": self.start.isoformat(), "end": self.end.isoformat(),
            "rebalance": self.rebalance if isinstance(self.rebalance, str)
            else [d.isoformat() for d in self.rebalance],
            "objective": name(self.objective), "benchmark": name(self.benchmark),
            "bnds": repr(self.bnds) if self.bnds is not None else None,
            "cons": name(self.cons) if callable(self.cons) else [name(c) for c in self.cons or []],
            "turnover_limit": self.turnover_limit,
            "cost": self.cost if isinstance(self.cost, float) else repr(self.cost),
            "capital": self.capital, "exchange_rules": self.exchange_rules,
            "cov_model": self.cov_model.value, "risk_model": self.risk_model.value,
            "solver_options": {k: repr(v) for k, v in self.solver_options.items()},
        }


def run_many(backtests: Sequence[Backtest], engine: str = "serial", workers: int | None = None, client=None,
             progress: bool = True, checkpoint: str | os.PathLike | None = None) -> list[BacktestResult]:
    """Runs several backtests side by side and returns their results in order.

    engine : "serial" (this process), "process" (a pool of ``workers`` spawned processes) or "dask" (the
        ``distributed.Client`` given as ``client``, or a LocalCluster of ``workers`` processes started and
        stopped here). Every engine gives bit-identical results.
    progress : a bar over the risk-model dates it estimates and one over the rebalance dates.
    checkpoint : a directory; every finished date is recorded there (one subdirectory per backtest) and the
        same call resumes from it.

    Risk-model estimates missing from the store are computed first, in parallel over dates, and written by
    this process alone. Rebalances run in parallel unless a backtest is path dependent (a turnover limit or a
    callable ``cons``); those run in date order, side by side with the other backtests.
    """
    backtests = list(backtests)
    if not all(isinstance(b, Backtest) for b in backtests):
        raise InvalidArgument("run_many takes a list of Backtest")
    cps = [None if checkpoint is None else Path(checkpoint) / f"backtest-{i:03d}"
           for i in range(len(backtests))]
    return _run(backtests, engine, workers, client, progress, cps)


# ------------------------------------------------------------------------------------------------ planning

def _schedule(bt: Backtest) -> tuple[list[_dt.date], list[_dt.date]]:
    """(rebalance dates, trading days from the first rebalance to the end)."""
    import zorvata

    last = min(bt.end, zorvata.data_end())
    if bt.start > last:
        raise InvalidArgument(f"the market data ends on {zorvata.data_end()}, before start {bt.start}")
    try:
        days = zorvata.get_trading_dates(bt.start, last)
    except Exception as e:  # noqa: BLE001 - a range outside the calendar
        raise InvalidArgument(f"no trading calendar for {bt.start} .. {last}: {e}") from None
    if isinstance(bt.rebalance, list):
        known = set(days)
        outside = [d for d in bt.rebalance if d not in known]
        if outside:
            raise InvalidArgument(f"rebalance dates must be trading dates from {bt.start} to {last}; not: "
                                  + ", ".join(d.isoformat() for d in outside[:5]))
        dates = list(bt.rebalance)
    else:
        period = {"daily": lambda d: d, "weekly": lambda d: d.isocalendar()[:2],
                  "monthly": lambda d: (d.year, d.month), "quarterly": lambda d: (d.year, (d.month - 1) // 3)}
        key = period[bt.rebalance]
        dates, seen = [], set()
        for d in days:
            k = key(d)
            if k not in seen:
                seen.add(k)
                dates.append(d)
    if not dates:
        raise InvalidArgument(f"no rebalance date from {bt.start} to {last}")
    return dates, [d for d in days if d >= dates[0]]


def _strip(text: str) -> str:
    return re.sub(r" at 0x[0-9a-fA-F]+", "", text)


def _describe_obj(obj) -> str:
    if obj is None or isinstance(obj, (str, numbers.Number)):
        return repr(obj)
    if isinstance(obj, BaseException):
        return f"error {type(obj).__name__}: {obj}"
    if isinstance(obj, (types.FunctionType, types.BuiltinFunctionType, types.MethodType)):
        return f"{getattr(obj, '__module__', '')}.{getattr(obj, '__qualname__', repr(obj))}"
    state = getattr(obj, "__dict__", None)
    detail = sorted((k, repr(v)) for k, v in state.items()) if isinstance(state, dict) else repr(obj)
    return _strip(f"{type(obj).__module__}.{type(obj).__qualname__}{detail}")


@dataclass
class _Plan:
    """One backtest made concrete: dates, pools, objectives, market data, and its progress through a run."""

    index: int
    bt: Backtest
    dates: list[_dt.date]
    days: pd.DatetimeIndex
    day_of: list[int]  # day position of each rebalance date
    asof: list[int]
    pools: list
    objectives: list
    ids: list[str]
    returns: np.ndarray
    delisted_from: np.ndarray
    bench_resets: dict[int, np.ndarray]
    rules: list[DayRules]
    checkpoint: Checkpoint | None = None
    inputs: list[str] = field(default_factory=list)  # per date: key of its inputs (with a checkpoint)
    outcomes: dict[int, RebalanceOutcome] = field(default_factory=dict)
    applied: int = 0  # rebalances booked into the simulation so far
    submitted: int = 0
    sim: Simulator | None = None
    held: list = field(default_factory=list)
    turnover: list = field(default_factory=list)
    costs: list = field(default_factory=list)
    cash: list = field(default_factory=list)
    unfilled: list = field(default_factory=list)
    at_limit: list = field(default_factory=list)  # per booked rebalance: its turnover reached the limit
    covers: dict[int, bool] = field(default_factory=dict)  # per date: see _ahead_pays
    drifted_at: tuple[int, pd.Series] | None = None  # the last drifted_holdings() and where it was made

    def __post_init__(self) -> None:
        self.sim = Simulator(self.returns, self.delisted_from, self.bt.cost, self.bt.capital,
                             board_lots(self.ids))
        self.col = {k: i for i, k in enumerate(self.ids)}

    def fingerprint(self) -> str:
        """Key of the configuration (what the data makes of it, dates and pools, is keyed per date)."""
        bt = self.bt
        universe = bt.universe if isinstance(bt.universe, (str, list)) else _describe_obj(bt.universe)
        rebalance = bt.rebalance if isinstance(bt.rebalance, str) else [d.isoformat() for d in bt.rebalance]
        text = json.dumps([universe, bt.start.isoformat(), bt.end.isoformat(), rebalance,
            _describe_obj(bt.objective), _describe_obj(bt.benchmark), _strip(repr(bt.bnds)),
            _describe_obj(bt.cons) if callable(bt.cons) else [_describe_obj(c) for c in bt.cons or []],
            bt.turnover_limit, _describe_obj(bt.cost), bt.capital, bt.exchange_rules, bt.cov_model.value,
            bt.risk_model.value,
            _strip(repr(sorted(bt.solver_options.items())))])
        return hashlib.sha256(text.encode()).hexdigest()

    def inputs_key(self, i: int, keys) -> str:
        """Key of what rebalance ``i`` reads: the market data known by its day, its pool and objective."""
        pool = self.pools[i]
        text = json.dumps([keys.name(self.dates[i]), _describe_obj(pool) if isinstance(pool, BaseException)
                           else list(pool), _describe_obj(self.objectives[i])])
        return hashlib.sha256(text.encode()).hexdigest()

    def target(self, outcome: RebalanceOutcome) -> np.ndarray | None:
        if outcome.weights is None:
            return None
        w = np.zeros(len(self.ids))
        for k, v in outcome.weights.items():
            w[self.col[k]] = v
        return w

    def book_ready(self) -> None:
        """Books every rebalance whose outcome has arrived, in date order."""
        while self.applied < len(self.dates) and self.applied in self.outcomes:
            i = self.applied
            self.sim.run_to(self.day_of[i])
            money = None if self.bt.capital is None else self.bt.capital * self.sim.value
            target = self.target(self.outcomes[i])
            limit = self.bt.turnover_limit
            self.at_limit.append(i > 0 and limit is not None and target is not None
                                 and _one_way(target, self.sim.drifted()) >= limit - AT_LIMIT)
            fill = self.sim.trade(target, self.rules[i])
            self.held.append(fill.weights)
            self.turnover.append(fill.turnover)
            self.costs.append(fill.cost)
            self.cash.append(fill.cash)
            self.unfilled.extend((self.dates[i], self.ids[j], why, dw, np.nan if money is None else dw * money)
                                 for j, why, dw in fill.unfilled)
            self.applied += 1

    def drifted_holdings(self) -> pd.Series:
        """The holdings the next rebalance (``self.applied``) starts from: weights of the stocks held (made
        once per booked rebalance: a parallel engine asks at every task it gets back; not to be changed)."""
        if self.drifted_at is None or self.drifted_at[0] != self.applied:
            self.sim.run_to(self.day_of[self.applied])
            h = self.sim.drifted()
            nz = np.flatnonzero(h)
            self.drifted_at = (self.applied, pd.Series(h[nz], index=pd.Index([self.ids[j] for j in nz], dtype=object),
                                                       dtype=np.float64))
        return self.drifted_at[1]

    def result(self) -> BacktestResult:
        self.sim.run_to(len(self.days))
        reb = _date_index(self.dates)
        keep = np.flatnonzero((np.abs(np.asarray(self.held)).sum(axis=0) > 0)
                              | (np.abs(self.sim.holdings).sum(axis=0) > 0))
        cols = pd.Index([self.ids[j] for j in keep], dtype=object, name="order_book_id")
        weights = pd.DataFrame(np.asarray(self.held)[:, keep], index=reb, columns=cols)
        holdings = pd.DataFrame(self.sim.holdings[:, keep], index=self.days, columns=cols)
        nav = pd.Series(self.sim.nav, index=self.days, name="nav")
        bnav = None
        if self.bench_resets:
            bsim = Simulator(self.returns, self.delisted_from, 0.0)
            for t in range(len(self.days)):
                if t in self.bench_resets:
                    bsim.trade(self.bench_resets[t])
                bsim.step()
            bnav = pd.Series(bsim.nav, index=self.days, name="benchmark_nav")
        outs = [self.outcomes[i] for i in range(len(self.dates))]
        config = self.bt.describe()
        return BacktestResult(
            weights=weights, holdings=holdings, nav=nav, benchmark_nav=bnav,
            turnover=pd.Series(self.turnover, index=reb, name="turnover", dtype=np.float64),
            costs=pd.Series(self.costs, index=reb, name="costs", dtype=np.float64),
            status=pd.Series([o.status for o in outs], index=reb, name="status", dtype=object),
            ex_ante_te=pd.Series([o.ex_ante_te for o in outs], index=reb, name="ex_ante_te",
                                 dtype=np.float64),
            notes=pd.Series(["\n".join(o.notes) for o in outs], index=reb, name="notes", dtype=object),
            config=config,
            cash=pd.Series(self.cash, index=reb, name="cash", dtype=np.float64),
            unfilled=unfilled_frame(self.unfilled))


def _date_index(dates) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(np.asarray(dates, dtype="datetime64[D]").astype("datetime64[ns]"), name="date")


def _call(fn: Callable, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - recorded as the date's failure
        reraise_interrupt(e)
        return e


def _unguarded_script(engine: str, client) -> str | None:
    """The script this call runs from when it runs at the top level of a ``__main__`` script outside an
    ``if __name__ == "__main__":`` block and the engine spawns processes: each of them runs that script again
    (to find what it defines), so each would start the backtest again."""
    import ast
    import sys

    if engine == "serial" or (engine == "dask" and client is not None):
        return None
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if main is None or not path or not str(path).endswith(".py"):
        return None
    frame = sys._getframe(1)
    while frame is not None and not (frame.f_globals is vars(main) and frame.f_code.co_name == "<module>"):
        frame = frame.f_back
    if frame is None:  # not called from the script's top level (a thread, a notebook, an import)
        return None
    try:
        tree = ast.parse(Path(path).read_text())
    except (OSError, SyntaxError, ValueError):
        return None

    def guard(node) -> bool:
        t = node.test
        if not (isinstance(t, ast.Compare) and len(t.ops) == 1 and isinstance(t.ops[0], ast.Eq)):
            return False
        sides = [t.left, t.comparators[0]]
        return any(isinstance(x, ast.Name) and x.id == "__name__" for x in sides) and \
            any(isinstance(x, ast.Constant) and x.value == "__main__" for x in sides)

    line = frame.f_lineno
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and guard(node) and node.lineno <= line <= (node.end_lineno or node.lineno):
            return None
    return str(path)


def _pool_of(bt: Backtest, d: _dt.date):
    import zorvata

    if isinstance(bt.universe, str):
        return zorvata.index_weights(bt.universe, d).index.tolist()
    if callable(bt.universe):
        ids = bt.universe(d)
        ids = [ids] if isinstance(ids, str) else list(ids)
        if not all(isinstance(i, str) for i in ids):
            raise InvalidArgument(f"universe({d}) must return ids (str)")
        return ids
    return list(bt.universe)


def _bench_weights(bt: Backtest, d) -> pd.Series:
    import zorvata

    if isinstance(bt.benchmark, str):
        raw = zorvata.index_weights(bt.benchmark, d)
    else:
        raw = bt.benchmark.get_weight(d)
    s = pd.Series(raw, dtype=np.float64)
    s = s[s.notna() & (s != 0)]
    return s / s.sum()


def _frame(bt: Backtest) -> tuple[list[_dt.date], list[_dt.date], list[int]]:
    """The dates of a backtest: (rebalance dates, trading days from the first on, as-of position of each
    rebalance's risk model); a bad configuration raises InvalidArgument here."""
    import zorvata

    if isinstance(bt.universe, str) and not zorvata.get_index_rebalance_dates(bt.universe):
        raise InvalidArgument(f"universe {bt.universe!r} is not an index with constituent weights in the "
                              f"market data")
    if isinstance(bt.benchmark, str) and not zorvata.get_index_rebalance_dates(bt.benchmark):
        raise InvalidArgument(f"benchmark {bt.benchmark!r} is not an index with constituent weights in the "
                              f"market data")
    if bt.turnover_limit is not None:
        try:
            from ..constraint import TurnoverLimit  # noqa: F401
        except ImportError as e:
            raise InvalidArgument(f"turnover_limit needs velquor.constraint.TurnoverLimit: {e}") from None
    dates, days = _schedule(bt)
    asof = []
    for d in dates:
        try:
            asof.append(_estimates.asof_day(d)[0])
        except InvalidArgument as e:
            raise InvalidArgument(f"rebalance date {d}: {e}") from None
    return dates, days, asof


def _plan(index: int, bt: Backtest, engine: str, frame=None) -> _Plan:
    """Everything decided before work starts (``frame``: the backtest's ``_frame``, when already made); a
    bad configuration raises InvalidArgument here."""
    import zorvata

    dates, days, asof = _frame(bt) if frame is None else frame
    pools = [_call(_pool_of, bt, d) for d in dates]
    from ..objective import OptimizationObjective

    if bt.objective is not None and not isinstance(bt.objective, OptimizationObjective):
        objectives = [_call(bt.objective, d) for d in dates]
    else:
        objectives = [bt.objective] * len(dates)
    if engine == "process":
        # Spawned workers receive these by pickle: a lambda or a local class fails here, not on every date.
        sent = [o for o in objectives if not isinstance(o, BaseException)]
        for what, obj in (("objective", sent), ("benchmark", bt.benchmark), ("bnds", bt.bnds),
                          ("cons", None if callable(bt.cons) else bt.cons)):
            try:
                pickle.dumps(obj)
            except Exception as e:  # noqa: BLE001 - any pickling failure
                raise InvalidArgument(f"the process engine cannot send {what} to its workers: {e}") from None
    # benchmark weight sets and the dates they take effect (day positions)
    day_dates = list(days)
    bench_sets: dict[int, pd.Series] = {}
    if isinstance(bt.benchmark, str):
        sets = np.asarray(zorvata.get_index_rebalance_dates(bt.benchmark), dtype="datetime64[D]")
        dd = np.asarray(day_dates, dtype="datetime64[D]")
        k = np.searchsorted(sets, dd, "right") - 1
        for t in range(len(dd)):
            if k[t] >= 0 and (t == 0 or k[t] != k[t - 1]):
                bench_sets[t] = _bench_weights(bt, day_dates[t])
    elif bt.benchmark is not None:
        for d in dates:
            try:
                bench_sets[day_dates.index(d)] = _bench_weights(bt, d)
            except Exception as e:  # noqa: BLE001 - the benchmark NAV needs every date's weights
                raise InvalidArgument(f"benchmark.get_weight({d}) failed: {type(e).__name__}: {e}") from None
    ids = sorted({i for p in pools if not isinstance(p, BaseException) for i in p}
                 | {i for s in bench_sets.values() for i in s.index.tolist()})
    if ids:
        panel = zorvata.get_price_change_rate(ids, days[0], days[-1])
        panel = panel.reindex(index=_date_index(days), columns=pd.Index(ids, dtype=object))
        returns = panel.to_numpy(dtype=np.float64)
    else:
        returns = np.zeros((len(days), 0))
    col = {k: i for i, k in enumerate(ids)}
    gone = np.full(len(ids), len(days) + 1, dtype=np.int64)
    dd = np.asarray(day_dates, dtype="datetime64[D]")
    for rec in zorvata.instruments(ids):
        if rec.de_listed is not None:
            gone[col[rec.order_book_id]] = int(np.searchsorted(dd, np.datetime64(rec.de_listed, "D"), "left"))
    resets = {}
    for t, s in bench_sets.items():
        w = np.zeros(len(ids))
        for k, v in s.items():
            w[col[k]] = v
        resets[t] = w
    pos = {d: t for t, d in enumerate(day_dates)}
    return _Plan(index=index, bt=bt, dates=dates, days=_date_index(days), day_of=[pos[d] for d in dates],
                 asof=asof, pools=pools, objectives=objectives, ids=ids, returns=returns, delisted_from=gone,
                 bench_resets=resets, rules=_day_rules(bt, dates, ids))


def _day_rules(bt: Backtest, dates: list[_dt.date], ids: list[str]) -> list[DayRules]:
    """What the simulator needs of each rebalance day: its own flags, the previous close (lots) and the
    cost model's traded values and volatilities (as of the previous close)."""
    from ..trading import CostModel, market

    rules = [DayRules() for _ in dates]
    if not ids:
        return rules
    if bt.exchange_rules:
        flags = market.day_flags(ids, dates)
        for i, r in enumerate(rules):
            r.suspended, r.limit_up, r.limit_down = (flags[f][i] for f in market.FLAGS)
    closes = bt.capital is not None
    liquidity = isinstance(bt.cost, CostModel) and bt.cost.impact > 0
    if closes or liquidity:
        got = market.before_dates(ids, dates, bt.cost.window if liquidity else 20, closes, liquidity)
        for k, r in enumerate(rules):
            r.price = got["close"][k] if closes else None
            r.adv, r.volatility = (got["adv"][k], got["volatility"][k]) if liquidity else (None, None)
    return rules


# ---------------------------------------------------------------------------------------------- the run

def _outcome_dict(o: RebalanceOutcome) -> dict:
    return {"weights": o.weights, "status": o.status, "ex_ante_te": o.ex_ante_te, "notes": o.notes}


def _run(backtests: list[Backtest], engine: str, workers, client, progress: bool,
         checkpoints: list[Path | None]) -> list[BacktestResult]:
    check_engine(engine, workers, client)
    script = _unguarded_script(engine, client)
    if script is not None:
        raise InvalidArgument(
            f"the {engine} engine starts worker processes that run {script} again, and each would start this "
            f"backtest again: put the code that runs it under `if __name__ == \"__main__\":` (or use "
            f"engine=\"serial\")")
    try:
        frames = [_frame(bt) for bt in backtests]
        ahead = None
        if engine != "serial" and all(cp is None for cp in checkpoints):
            # Nothing recorded, so every date needs its risk model: the workers start on the factor history
            # while this process makes the plans (pools, returns, rules).
            needed = {(pos, (bt.cov_model, bt.risk_model)) for bt, f in zip(backtests, frames) for pos in f[2]}
            ahead = _History(LazyEngine(engine, workers, client), _market(client), needed, progress)
        try:
            plans = _resumed([_plan(i, bt, engine, f) for i, (bt, f) in enumerate(zip(backtests, frames))],
                             checkpoints)
        except BaseException:
            if ahead is not None:
                ahead.close()
                ahead.eng.close(abort=True)
            raise
        _compute(plans, engine, workers, client, progress, ahead)
        results = [p.result() for p in plans]
    except Exception as e:
        reraise_interrupt(e)  # Ctrl-C that a library below reported as its own error (a DuckDB read)
        raise
    failed = [(p.dates[i], o.status) for p in plans for i, o in sorted(p.outcomes.items())
              if o.weights is None]
    if failed and len(failed) == sum(len(p.dates) for p in plans):
        d, status = failed[0]
        raise BacktestFailed(f"every rebalance date failed ({len(failed)}); the first, {d}: {status}")
    return results


def _resumed(plans: list[_Plan], checkpoints: list[Path | None]) -> list[_Plan]:
    """Opens the checkpoints and takes the outcomes they hold of dates whose inputs are unchanged."""
    keys = input_keys() if any(cp is not None for cp in checkpoints) else None
    for p, cp in zip(plans, checkpoints):
        if cp is None:
            continue
        p.checkpoint = Checkpoint(cp, p.fingerprint())
        p.inputs = [p.inputs_key(i, keys) for i in range(len(p.dates))]
        for i, d in enumerate(p.dates):
            rec = p.checkpoint.load(d.isoformat(), p.inputs[i])
            if rec is not None:
                p.outcomes[i] = RebalanceOutcome((p.index, i), rec["weights"], rec["status"],
                                                 float(rec["ex_ante_te"]), list(rec["notes"]))
        if p.checkpoint.stale:
            import warnings

            from ..exception import OptimizerWarning

            warnings.warn(f"checkpoint {cp}: the inputs of {len(p.checkpoint.stale)} recorded date(s) changed "
                          f"since they were recorded (from {p.checkpoint.stale[0]} on); they are computed again",
                          OptimizerWarning, stacklevel=4)
    return plans


def _market(client) -> MarketRef:
    import zorvata

    # the fingerprint (the data keys) is read by _History, after it has given the workers their first pieces
    market = MarketRef(str(zorvata.db_path()), None)
    market.force_path = client is None
    return market


def _compute(plans: list[_Plan], engine: str, workers, client, progress: bool,
             ahead: "_History | None" = None) -> None:
    """Computes the outcomes the checkpoints did not hold, on the engine (``ahead``: the risk-model work
    already started on it)."""
    live = [p for p in plans if len(p.outcomes) < len(p.dates)]
    if ahead is not None:
        eng, market, history = ahead.eng, ahead.market, ahead
    else:
        eng = LazyEngine(engine, workers, client) if live else Engine()
        market = _market(client)
        history = None
    aborted = True
    try:
        if history is None:
            needed = {(pos, (p.bt.cov_model, p.bt.risk_model)) for p in live
                      for i, pos in enumerate(p.asof) if i not in p.outcomes}
            history = _History(eng, market, needed, progress)
        failed_asof = history.finish()
        # One chain of dates that depend on each other cannot use a second worker unless its dates can be
        # tried without their turnover limit: else it runs here, without a round trip per date (the same
        # computation, so the same bits).
        streams = sum(1 if p.bt.path_dependent else len(p.dates) - len(p.outcomes) for p in live)
        ahead = any(_free_candidate(p, i) for p in live for i in range(len(p.dates)) if i not in p.outcomes)
        _rebalance(eng if streams > 1 or ahead else Engine(), market, plans, failed_asof, progress)
        aborted = False
    finally:
        try:
            if history is not None:
                history.close()
                _unstored(history.writer.close())
        finally:
            eng.close(abort=aborted)


def _unstored(errors: list[BaseException]) -> None:
    """Warns of estimates the store refused: the run used them as computed; a later one estimates them
    again."""
    if errors:
        import warnings

        from ..exception import OptimizerWarning

        e = errors[0]
        warnings.warn(f"risk-model estimates could not be stored ({type(e).__name__}: {e}); this run used them "
                      f"as computed, and a later run estimates them again", OptimizerWarning, stacklevel=5)


class _History:
    """The missing risk-model estimates: the factor history in pieces on the engine, the estimates made from
    it here and stored from this process alone.

    Made, it hands the engine as many pieces as it takes now (a pool: two per worker, so that none waits for
    the next; a cluster still starting: none), so the workers can start while this process does other
    work; ``finish()`` then works through the rest of the queue (this process computing pieces too) and
    returns the (as-of, variant) pairs whose history failed. A cluster's estimates are made in the
    background from the moment its last piece is in, and the rebalances start meanwhile: each waits for
    its own date's estimate only (see `_estimates.load`), and one whose estimate failed fails alone.
    """

    def __init__(self, eng: Engine, market: MarketRef, needed: set, progress: bool) -> None:
        self.eng, self.market, self.progress = eng, market, progress
        # A store that holds no file of the run's dates needs no data keys to say what is missing, so the
        # pieces go out before this process reads them (a pass over every input table); what the workers
        # send back then carries their market's fingerprint, checked here on arrival.
        todo = _estimates.none_stored(needed) if market.fingerprint is None else None
        if todo is None:
            todo = _estimates.missing(needed)
        self.piece_market = dataclasses.replace(market)
        # the estimates go to the store on a thread of their own; the rebalances use them at once
        self.writer = _estimates.Writer()
        self.groups = _estimates.clusters(todo)
        self.failed: dict[tuple, str] = {}
        self.keep = {id(g): sorted({pos for pos, _ in g.todo}) for g in self.groups}
        self.queue = collections.deque((g, lo, hi) for g in self.groups for lo, hi in g.pieces)
        self.pending: dict[Any, tuple] = {}
        self.got: dict[int, list | None] = {id(g): [] for g in self.groups}
        self.bar: Bar | None = None
        self.making: list[_estimates.Estimates] = []
        self.estimating = 0  # clusters whose estimates are being made
        self.taken = False  # every piece is in
        self._lock = threading.Lock()
        # workers on this machine leave their pieces' large arrays in files here (removed by `close`)
        self.spill = spill_dir() if eng.parallel and self.queue else None
        self._send()
        if market.fingerprint is None:  # while the workers start (read already when `missing` needed them)
            market.fingerprint = _estimates.market_fingerprint()

    def _send(self) -> None:
        cap = self.eng.capacity() if self.eng.parallel and self.queue else 0
        items = [self.queue.popleft() for _ in range(min(len(self.queue), max(cap - len(self.pending), 0)))]
        if items:  # together: on a cluster, one message for all of them
            calls = [(self.piece_market, lo, hi, self.keep[id(g)], None,
                      None if self.spill is None else (self.spill, g.start)) for g, lo, hi in items]
            for fut, item in zip(self.eng.submit_all(history_task, calls), items):
                self.pending[fut] = item

    def _fail(self, g, e: BaseException) -> None:
        for pv in g.todo:
            self.failed[pv] = f"failed: risk model: {type(e).__name__}: {e}"

    def _take(self, item: tuple, compute: Callable[[], dict] | None) -> None:
        """Books a piece computed by the engine (``compute`` fetches it) or, with None, computes it here
        (the bar follows it day by day)."""
        g, lo, hi = item
        bar, market, keep, got = self.bar, self.market, self.keep[id(g)], self.got
        assert bar is not None
        shown = 0

        def here(n: int) -> None:
            nonlocal shown
            shown += n
            bar.update(n)

        try:
            try:
                piece = history_task(market, lo, hi, keep, here) if compute is None else compute()
            except Exception as e:  # noqa: BLE001 - sorted below
                reraise_interrupt(e)
                if not is_lost_worker(e):
                    raise
                # the worker was lost (not the piece's fault): this process computes it
                piece = history_task(market, lo, hi, keep, here)
            check_market(market, piece.pop("fingerprint"))
        except Exception as e:  # noqa: BLE001 - the dates that needed it fail, the run goes on
            reraise_interrupt(e)
            self._fail(g, e)
            if got[id(g)] is not None:
                bar.update(len(g.todo))  # no estimate of the group will be made
            got[id(g)] = None
        bar.update(hi - lo - shown)
        pieces = got[id(g)]
        if pieces is None:
            return
        pieces.append(piece)
        if len(pieces) == len(g.pieces):
            # made in the background: a rebalance waits for its own date's estimate only
            with self._lock:
                self.estimating += 1
            self.making.append(_estimates.Estimates(g, pieces, self.writer, bar.update, self._estimated))
            got[id(g)] = None

    def _estimated(self) -> None:
        """A cluster's estimates are made: the bar ends with the last, once every piece is in."""
        with self._lock:
            self.estimating -= 1
            last = self.estimating == 0 and self.taken
        if last and self.bar is not None:
            self.bar.close()

    def close(self) -> None:
        """Stops the estimates and removes what the run's pieces left in shared memory (when it ends,
        however)."""
        try:
            for made in reversed(self.making):
                made.close()
        finally:
            if self.bar is not None:
                self.bar.close()
            remove_spill(self.spill)
            self.spill = None

    def finish(self) -> dict:
        if not self.groups:
            return self.failed
        eng, pending, queue = self.eng, self.pending, self.queue
        # a bar of this process (days of factor history, then estimates), moved by pieces the engine returns
        # and day by day by those this process computes
        self.bar = Bar(self.progress, sum(g.stop - g.start + len(g.todo) for g in self.groups), "risk model",
                       "step")
        try:
            while queue or pending:
                for fut in [f for f in pending if f.done()]:
                    self._take(pending.pop(fut), lambda: eng.result(fut))  # noqa: B023 - called at once
                self._send()
                if queue and eng.helps:
                    self._take(queue.popleft(), None)
                    continue
                if pending:
                    for fut in eng.wait_any(list(pending)):
                        self._take(pending.pop(fut), lambda: eng.result(fut))  # noqa: B023 - called at once
        except BaseException:
            self.bar.close()
            raise
        with self._lock:
            self.taken = True
            last = self.estimating == 0
        if last:
            self.bar.close()
        return self.failed


def _job(p: _Plan, i: int, failed_asof: dict, free: bool = False) -> RebalanceJob | RebalanceOutcome:
    """The work unit of rebalance ``i``, or its outcome when it failed before reaching the optimiser; ``free``:
    the date's problem without its turnover limit (see :func:`_tries_free`), which needs no holdings."""
    bt = p.bt
    key = (p.index, i)
    v = (bt.cov_model, bt.risk_model)
    for value in (p.pools[i], p.objectives[i]):
        if isinstance(value, BaseException):
            return RebalanceOutcome(key, None, f"failed: {type(value).__name__}: {value}",
                                    transient=is_transient(value))
    # a risk model that could not be estimated or read now may be on the next run: never kept
    if (p.asof[i], v) in failed_asof:
        return RebalanceOutcome(key, None, failed_asof[(p.asof[i], v)], transient=True)
    cons = bt.cons or []
    turnover = None
    pool, bnds = list(p.pools[i]), bt.bnds
    if bt.path_dependent and not free:
        held = p.drifted_holdings()
        if callable(bt.cons):
            cons = _call(bt.cons, p.dates[i], held.copy())
            if isinstance(cons, BaseException):
                return RebalanceOutcome(key, None, f"failed: cons: {type(cons).__name__}: {cons}",
                                        transient=is_transient(cons))
            cons = [] if cons is None else list(cons)
        if bt.turnover_limit is not None and i > 0:
            turnover = (bt.turnover_limit, {str(k): float(x) for k, x in held.items()})
            pool, bnds = _sell_only(list(p.pools[i]), bt.bnds, held)
    model = _call(_estimates.load, p.asof[i], v)
    if isinstance(model, BaseException):
        return RebalanceOutcome(key, None, f"failed: risk model: {type(model).__name__}: {model}", transient=True)
    if model is None:
        return RebalanceOutcome(key, None, "failed: risk model: no estimate stored for "
                                f"{_estimates.asof_day(p.dates[i])[1]}", transient=True)
    solver_options = dict(bt.solver_options)
    objective = p.objectives[i]
    if bt.path_dependent and _cost_aware(objective):
        # The objective's cost model trades from the holdings of this date, at the portfolio's value.
        money = None if bt.capital is None else bt.capital * p.sim.value
        objective = copy.copy(objective)
        objective._transaction_cost_model = objective._transaction_cost_model.with_holdings(
            p.drifted_holdings(), capital=money)
    opts = {} if objective is None else {"objective": objective}
    return RebalanceJob(key=key, date=p.dates[i], pool=pool, objective=opts.get("objective"),
                         bnds=bnds, cons=list(cons), benchmark=bt.benchmark, cov_model=bt.cov_model.value,
                         risk_model=bt.risk_model.value, solver_options=solver_options, models=[model],
                         turnover=turnover)


def _one_way(target: np.ndarray, held: np.ndarray) -> float:
    """One-way turnover from ``held`` to ``target`` (weights over the same stocks), cash included: the
    measure of `TurnoverLimit`."""
    return 0.5 * (float(np.abs(target - held).sum()) + 1.0 - float(held.sum()))


def _free_candidate(p: _Plan, i: int) -> bool:
    """Whether rebalance ``i`` of ``p`` may be tried without its turnover limit, as far as the plan alone tells
    (its holdings are known only when the date before it is booked): the limit is all the date takes from
    the holdings (no callable ``cons``, no cost model trading from them) and its pool and objective exist."""
    bt = p.bt
    if i == 0 or bt.turnover_limit is None or callable(bt.cons):
        return False
    pool, objective = p.pools[i], p.objectives[i]
    return not (isinstance(pool, BaseException) or isinstance(objective, BaseException)
                or _cost_aware(objective))


def _ahead_pays(p: _Plan, i: int) -> bool:
    """Whether rebalance ``i`` is worth trying without its limit before the date before it is booked: every
    name of that date's pool that its own pool drops is delisted by then (held, it has turned to cash). Else
    (an index's reconstitution) the holdings date ``i`` starts from are likely to reach outside its pool, so
    it is solved with its limit only (:func:`_tries_free`) and the trial would be thrown away. Only what is
    tried ahead depends on this, never an answer."""
    if i not in p.covers:
        before, pool = p.pools[i - 1], p.pools[i]
        if isinstance(before, BaseException) or isinstance(pool, BaseException):
            p.covers[i] = True
        else:
            day = p.day_of[i]
            p.covers[i] = all(p.delisted_from[p.col[k]] <= day for k in set(before).difference(pool))
    return p.covers[i]


def _tries_free(p: _Plan, i: int, failed_asof: dict) -> bool:
    """Whether rebalance ``i`` (the next to book) is first solved without its turnover limit.

    A chain's dates wait for each other only through the limit. Where the optimum of the date's problem
    without the limit is within it, that optimum is also the optimum with the limit (the same problem, one
    constraint fewer, and its answer meets that one too), so that answer is taken; it does not depend on
    the holdings and a worker engine solves it ahead, in parallel. Tried when the holdings are all in the
    pool (else the limited problem has more names: those it may only sell; a solver's dust, positions of
    `HELD_WEIGHT` or less, does not count, the free answer sells it) and the date before did not reach its
    limit (a binding limit tends to bind again: solved with it at once). The rule depends on the path
    alone, never on the engine, so every engine gives the same answers."""
    if not _free_candidate(p, i) or (p.asof[i], (p.bt.cov_model, p.bt.risk_model)) in failed_asof:
        return False
    if p.at_limit[i - 1]:
        return False
    pool = set(p.pools[i])
    held = p.drifted_holdings()
    return all(k in pool for k in held.index[held.to_numpy() > HELD_WEIGHT])


def _free_fits(p: _Plan, o: RebalanceOutcome) -> bool:
    """Whether the answer of a date solved without its turnover limit is that date's answer: solved to
    optimality and within the limit from the holdings (the next to book)."""
    if o.weights is None or o.status != "optimal":
        return False
    p.sim.run_to(p.day_of[p.applied])
    return _one_way(p.target(o), p.sim.drifted()) <= p.bt.turnover_limit


def _cost_aware(objective) -> bool:
    """Whether ``objective`` carries a CostModel, which then needs each date's holdings."""
    from ..trading import CostModel

    return isinstance(getattr(objective, "_transaction_cost_model", None), CostModel)


def _sell_only(pool: list[str], bnds: dict | None, held: pd.Series) -> tuple[list[str], dict | None]:
    """The pool with the holdings outside it added as names that can only be sold (weight at most the
    drifted one): under a turnover limit, selling them all at once may be more than the limit allows."""
    inside = set(pool)
    extra = [k for k in held.index if k not in inside and held[k] > 0]
    if not extra:
        return pool, bnds
    out = dict(bnds or {})
    for k in extra:
        lo, hi = out.get(k, (0.0, None))
        out[k] = (0.0, float(held[k]) if hi is None else min(float(hi), float(held[k])))
    return pool + extra, out


def _rebalance(eng: Engine, market: MarketRef, plans: list[_Plan], failed_asof: dict, progress: bool) -> None:
    total = sum(len(p.dates) for p in plans)
    chained = any(p.bt.path_dependent for p in plans)
    # Independent dates go to a Dask scheduler in waves of DASK_WAVE (its display follows each wave; each
    # task carries its date's model, so not all at once); a chain of dates is driven from here, one by one,
    # and shown here.
    waves = eng.name == "dask" and not chained
    limit = DASK_WAVE if waves else max(IN_FLIGHT * eng.workers, 1)
    bar = Bar(progress, total, "rebalances", "date") if chained or not eng.parallel else \
        eng.bar(progress, total, "rebalances", "date")
    bar.update(sum(len(p.outcomes) for p in plans))
    # in flight: plan, date, job, and whether it is the date solved without its turnover limit (a trial)
    pending: dict[Any, tuple[_Plan, int, RebalanceJob, bool]] = {}
    # trials: (plan, date) -> in flight (True), or the outcome (None when it failed to run)
    trials: dict[tuple[int, int], RebalanceOutcome | bool | None] = {}

    retries: dict[tuple[int, int], int] = {}
    suspects: collections.deque = collections.deque()

    def finish(p: _Plan, o: RebalanceOutcome) -> None:
        i = o.key[1]
        p.outcomes[i] = o
        if p.checkpoint is not None and not o.transient:
            p.checkpoint.record(p.dates[i].isoformat(), {**_outcome_dict(o), "inputs": p.inputs[i]})
        bar.update(1)
        p.book_ready()

    def next_ready(p: _Plan) -> int | None:
        """The next date of ``p`` that can be submitted now."""
        while p.submitted < len(p.dates) and p.submitted in p.outcomes:
            p.submitted += 1
        if p.submitted >= len(p.dates):
            return None
        if p.bt.path_dependent and (p.applied < p.submitted
                                    or any(q is p and not t for q, _, _, t in pending.values())):
            return None
        return p.submitted

    def send(p: _Plan, i: int, job: RebalanceJob, trial: bool) -> Any:
        # a date solved with its limit holds up the dates after it: it goes before the trials queued (a
        # wave is the cluster's to place and order)
        fut = eng.submit(rebalance_task, market, job, first=None if waves else not trial)
        pending[fut] = (p, i, job, trial)
        if trial:
            trials[(p.index, i)] = True
        return fut

    def trial(p: _Plan, i: int) -> bool:
        """Sends date ``i`` of ``p`` without its turnover limit (False when it fails before the optimiser:
        the date then goes as it is)."""
        job = _job(p, i, failed_asof, free=True)
        if isinstance(job, RebalanceOutcome):
            trials[(p.index, i)] = None
            return False
        sent.append(send(p, i, job, True))
        return True

    try:
        for p in plans:
            p.book_ready()
        while True:
            # dates whose worker was lost go again one at a time, alone: one that kills its worker again
            # fails by itself, the others complete
            progressed = not (waves and pending) and not suspects
            sent: list = []
            if suspects and not pending:
                p, i, job = suspects.popleft()
                sent.append(send(p, i, job, False))
            while progressed and len(pending) < limit:
                progressed = False
                for p in plans:
                    if len(pending) >= limit:
                        break
                    i = next_ready(p)
                    if i is None:
                        continue
                    key = (p.index, i)
                    free = None
                    if p.bt.path_dependent and _tries_free(p, i, failed_asof):
                        if key not in trials and trial(p, i):
                            progressed = True
                            continue
                        free = trials[key]
                        if free is True:
                            continue  # its trial is still in flight
                    p.submitted += 1
                    if isinstance(free, RebalanceOutcome) and _free_fits(p, free):
                        finish(p, free)
                    else:
                        job = _job(p, i, failed_asof)
                        if isinstance(job, RebalanceOutcome):
                            finish(p, job)
                        else:
                            sent.append(send(p, i, job, False))
                    progressed = True
            if eng.parallel:
                # workers left idle by chains: the dates ahead, without their limit (taken where it holds)
                for p in plans:
                    for i in range(max(p.applied, 1), len(p.dates)):
                        if len(pending) >= limit - 1:
                            break
                        if (i not in p.outcomes and (p.index, i) not in trials and _free_candidate(p, i)
                                and _ahead_pays(p, i)):
                            trial(p, i)
            bar.track(sent)
            if not pending:
                break
            for fut in eng.wait_any(list(pending)):
                p, i, job, is_trial = pending.pop(fut)
                try:
                    o = eng.result(fut)
                except Exception as e:  # noqa: BLE001 - a worker that died or could not take the task
                    reraise_interrupt(e)
                    if is_trial:  # the date goes with its limit instead
                        trials[(p.index, i)] = None
                        continue
                    lost = is_lost_worker(e)
                    if lost and retries.get((p.index, i), 0) < LOST_WORKER_RETRIES:
                        # the worker may have died of another date's task
                        retries[(p.index, i)] = retries.get((p.index, i), 0) + 1
                        suspects.append((p, i, job))
                        continue
                    o = RebalanceOutcome((p.index, i), None, f"failed: worker: {type(e).__name__}: {e}",
                                         transient=lost or is_transient(e))
                if is_trial:
                    trials[(p.index, i)] = o
                    continue
                finish(p, o)
    finally:
        bar.close()
