"""Stand-ins that pin the driver's behaviour: a market of instrument records, a risk-model helper with a
deterministic factor covariance, recording objectives and constraints, and a scriptable problem."""

from __future__ import annotations

import datetime as dt
import types
import zlib

import cvxpy as cp
import numpy as np
import pandas as pd

from velquor.benchmark import OptimizeBenchmark
from velquor.const import STYLE_FACTORS
from velquor.objective import OptimizationObjective

DATE = dt.date(2024, 6, 3)


def record(oid, type_="CS", listed="2010-01-04", delisted="0000-00-00"):
    return types.SimpleNamespace(order_book_id=oid, type=type_, listed_date=listed, de_listed_date=delisted,
                                 symbol=oid)


class Market:
    """The market-data client's instrument and index-weight look-ups over fixed tables."""

    def __init__(self, records, index_weights=None):
        self.records = {r.order_book_id: r for r in records}
        self.weights = index_weights or {}

    def instruments(self, ids):
        if isinstance(ids, str):
            return self.records.get(ids)
        return [self.records[i] for i in ids if i in self.records]

    def index_weights(self, order_book_id, date):
        return self.weights[order_book_id].copy()


def _rng(oid, salt=0):
    return np.random.default_rng(zlib.crc32(oid.encode()) + salt)


def covariance(ids):
    """A factor-structured covariance that depends only on the labels, so the union's covariance restricted
    to the pool equals the pool's covariance."""
    loadings = np.array([_rng(i).normal(1.0, 0.4, 3) * [1.0, 0.5, 0.3] for i in ids])
    factor_var = np.array([0.02, 0.01, 0.005])
    specific = np.array([_rng(i, 1).uniform(0.01, 0.05) for i in ids])
    return loadings @ np.diag(factor_var) @ loadings.T + np.diag(specific)


def exposures(ids):
    return pd.DataFrame([_rng(i, 2).normal(0.0, 1.0, len(STYLE_FACTORS)) for i in ids], index=list(ids),
                        columns=STYLE_FACTORS)


class FakeHelper:
    """The risk-model helper: records its construction; covariances and exposures from the labels."""

    instances: list = []

    def __init__(self, order_book_ids, date, benchmark, cov_model, risk_model, factor_risk_aversion,
                 specific_risk_aversion):
        self.args = (order_book_ids, date, benchmark, cov_model, risk_model, factor_risk_aversion,
                     specific_risk_aversion)
        self.order_book_ids = order_book_ids
        self.date = date
        self.prev_trading_date = date - dt.timedelta(days=1)
        self.benchmark = benchmark
        weights = benchmark.get_weight(date) if benchmark is not None else pd.Series(dtype=float)
        pool = set(order_book_ids)
        self.union_components = list(order_book_ids) + sorted(i for i in weights.index if i not in pool)
        self.benchmark_weight = weights.reindex(self.union_components, fill_value=0.0)
        FakeHelper.instances.append(self)

    def get_cov_matrix(self):
        return covariance(self.order_book_ids)

    def get_union_cov_matrix(self):
        return covariance(self.union_components)

    def get_factor_exposure(self):
        return exposures(self.order_book_ids)


class StaticBenchmark(OptimizeBenchmark):
    """A caller's own benchmark with fixed weights."""

    def __init__(self, weights, expected_return=0.05):
        self.weights = pd.Series(weights, dtype=float)
        self.expected_return = expected_return

    def get_weight(self, date):
        return self.weights

    def get_expected_returns(self, date, window=252):
        return self.expected_return


class Spy:
    """What the objectives and the problem saw during one call."""

    def __init__(self):
        self.events = []
        self.g = None
        self.zeta = None
        self.internal = []
        self.problems = []
        self.solves = []


def recording(base=OptimizationObjective, spy=None, internal=None, solver=cp.SCS, expr=None):
    """A subclass of `base` whose three operations record their calls: the expression is g's variance (or
    `expr(g, zeta, helper)`), the internal constraints come from `internal(g, zeta)`."""
    spy = spy if spy is not None else Spy()

    def get_internal_constraints(self, g, zeta, helper):
        spy.events.append("internal")
        spy.g, spy.zeta = g, zeta
        spy.internal = list(internal(g, zeta)) if internal else []
        return list(spy.internal)

    def get_objective_expr(self, g, zeta, helper):
        spy.events.append("expr")
        spy.g, spy.zeta = g, zeta
        if expr is not None:
            return expr(g, zeta, helper)
        return cp.quad_form(g, helper.get_cov_matrix())

    def get_preferred_solver(self):
        spy.events.append("solver")
        return solver

    cls = type("Recording" + base.__name__, (base,), dict(
        get_internal_constraints=get_internal_constraints, get_objective_expr=get_objective_expr,
        get_preferred_solver=get_preferred_solver))
    obj = cls.__new__(cls)  # skips the base's constructor: its parameters play no part here
    obj.spy = spy
    return obj


class Constraint:
    """A caller's constraint object: `hard` and `to_constraints` are all the driver may use."""

    def __init__(self, hard, build, log=None):
        self._hard = hard
        self.build = build
        self.log = log if log is not None else []

    @property
    def hard(self):
        self.log.append("hard")
        return self._hard

    def to_constraints(self, g, zeta, helper):
        self.log.append("to_constraints")
        return self.build(g, zeta)


def cvxpy_with(**overrides):
    """A stand-in for the cvxpy module: the real names, some replaced."""
    ns = types.SimpleNamespace(**{k: getattr(cp, k) for k in dir(cp) if not k.startswith("__")})
    for k, v in overrides.items():
        setattr(ns, k, v)
    return ns


def recording_problem(spy):
    """cp.Problem that records each problem built and the keyword arguments of each solve."""

    class RecordingProblem(cp.Problem):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            spy.problems.append(self)

        def solve(self, *args, **kwargs):
            spy.solves.append(kwargs)
            return super().solve(*args, **kwargs)

    return RecordingProblem


def scripted_problem(spy, script):
    """A problem whose solves follow `script`: each step is an exception to raise or a tuple
    (status, return value, g's values, zeta's value or None)."""

    class ScriptedProblem:
        def __init__(self, objective, constraints=()):
            self.objective = objective
            self.constraints = list(constraints)
            self.status = None
            spy.problems.append(self)

        def solve(self, **kwargs):
            spy.solves.append(kwargs)
            step = script.pop(0)
            if isinstance(step, BaseException):
                raise step
            self.status, result, g_value, zeta_value = step
            spy.g.save_value(None if g_value is None else np.asarray(g_value, dtype=float))
            if zeta_value is not None:
                spy.zeta.save_value(np.float64(zeta_value))
            return result

    return ScriptedProblem


def install_market(monkeypatch, ids=("A", "B", "C", "D", "F"), index_weights=None):
    """Points the market-data client and the driver's helper at the stand-ins for one test."""
    import velquor.optimize as opt
    import zorvata

    m = Market([record(i) for i in ids] + [record("IDX", type_="INDX"), record("FUND", type_="ETF")],
               index_weights=index_weights or {"IDX": pd.Series({"A": 0.3, "F": 0.7})})
    monkeypatch.setattr(zorvata, "instruments", m.instruments)
    monkeypatch.setattr(zorvata, "index_weights", m.index_weights, raising=False)
    monkeypatch.setattr(zorvata, "index_weights_ex", None, raising=False)
    monkeypatch.setattr(FakeHelper, "instances", [])
    monkeypatch.setattr(opt, "OptimizeHelper", FakeHelper)
    return m
