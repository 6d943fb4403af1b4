"""Fuzz targets over the public API of the C++ modules, shared by the test suite (a bounded number of
examples) and `make fuzz` (run.py: many calls against the sanitizer build).

Every target calls one public function or method with odd inputs: None, NaN, infinities, huge integers, text
with NUL characters and lone surrogates, nested lists, dict subclasses, objects whose `__eq__`, `__float__`,
`__len__`, `__iter__` or `__bool__` raise, callbacks that patch the module in the middle of a call, and call
cycles. Only documented exceptions may escape: the package's own, the interpreter's argument and value errors
for what Python would refuse too, and whatever the hostile objects themselves raise. Anything else (a
SystemError, a UnicodeError, a C++ exception surfacing as RuntimeError) fails the target, and a crash fails
the whole run.
"""

from __future__ import annotations

import collections
import contextlib
import datetime as dt
import math
import types
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velquor.benchmark as bm
import velquor.constraint as co
import velquor.objective as ob
import velquor.optimize as opt
from velquor.const import CovModel, RiskModel
from velquor.exception import InvalidArgument, OptimizationFailed

from ..optimize.driver_fakes import FakeHelper, Market, StaticBenchmark, record

#: calls made per target (the run's closing note)
calls: collections.Counter[str] = collections.Counter()


class Boom(Exception):
    """Raised by the hostile objects below: it must travel through the package unchanged."""


# ---------------------------------------------------------------------------------------------------------
# Hostile values


class RaisingEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__
    __hash__ = object.__hash__


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")

    def __lt__(self, other):
        return False

    __gt__ = __lt__


class RaisingLen(list):
    def __len__(self):
        raise Boom("__len__")


class RaisingIter:
    def __iter__(self):
        raise Boom("__iter__")


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class MissingDict(dict):
    def __missing__(self, key):
        return (0.0, 1.0)


class BoomDict(dict):
    def __missing__(self, key):
        raise Boom("__missing__")


class Patcher:
    """Compared with anything, it rebinds `to_date` to `ensure_date_str` (a call cycle) for the rest of the
    comparison's caller, then puts it back."""

    def __eq__(self, other):
        original = vars(opt)["to_date"]
        opt.to_date = opt.ensure_date_str
        try:
            return opt.ensure_date_str("2024-01-02") == other
        finally:
            opt.to_date = original

    __hash__ = object.__hash__


HOSTILE = [RaisingEq(), RaisingFloat(), RaisingLen([1, 2]), RaisingIter(), RaisingBool(), MissingDict(),
           BoomDict(), Patcher()]

ODD_TEXT = st.text(alphabet=st.sampled_from(["a", "A", "-", "0", "1", "\x00", "\udcff", "\ud800", "é", " ", "*"]),
                   max_size=12)
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 3), st.integers(min_value=10**30, max_value=10**80),
    st.floats(allow_nan=True, allow_infinity=True), ODD_TEXT,
    st.sampled_from(["2024-01-02", "20240102", "daily", "v1", "quarterly", "*", "A", "IDX"]),
    st.dates(), st.datetimes(), st.binary(max_size=4),
    st.sampled_from(list(CovModel) + list(RiskModel) + [CovModel, RiskModel, object, int]),
    st.sampled_from(HOSTILE),
)
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                                                       st.dictionaries(ODD_TEXT, inner, max_size=3)),
                      max_leaves=8)


def keywords(names):
    """Keyword arguments: the parameters' own names and odd ones (NUL inside, surrogates, near misses)."""
    key = st.one_of(st.sampled_from(list(names)), ODD_TEXT, st.sampled_from([n + "\x00x" for n in names]))
    return st.dictionaries(key, VALUES, max_size=3)


# ---------------------------------------------------------------------------------------------------------
# Exceptions that may escape

DOCUMENTED = (InvalidArgument, OptimizationFailed, Boom, TypeError, ValueError, KeyError, IndexError,
              AttributeError, ArithmeticError, RecursionError, AssertionError, NotImplementedError,
              cp.error.DCPError, cp.error.SolverError, NameError, LookupError)
#: never legitimately raised by the package for any input
UNDOCUMENTED = (SystemError, UnicodeError, MemoryError)


def call(name, fn, *args, **kwargs):
    """Calls one target; an escaping exception must be documented."""
    calls[name] += 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn(*args, **kwargs)
    except Exception as e:
        # checked first: UnicodeError is a ValueError, a bare RuntimeError the mark of a C++ exception
        if isinstance(e, UNDOCUMENTED) or type(e) is RuntimeError or not isinstance(e, DOCUMENTED):
            raise AssertionError(f"{name}: undocumented {type(e).__name__}: {e!r}") from e
        return None


@contextlib.contextmanager
def fake_market():
    """The driver's market-data client and helper replaced by deterministic stand-ins (no database)."""
    market = Market([record(i) for i in "ABCDEF"] + [record("IDX", type_="INDX"), record("FUND", type_="ETF"),
                                                     record("NEW", listed="2030-01-01")],
                    index_weights={"IDX": pd.Series({"A": 0.3, "F": 0.7})})
    client = types.SimpleNamespace(instruments=market.instruments, index_weights=market.index_weights,
                                   index_weights_ex=None)
    saved = {(m, n): vars(m)[n] for m in (opt, bm) for n in ("zorvata",)}
    saved[(opt, "OptimizeHelper")] = opt.OptimizeHelper
    opt.zorvata = client
    bm.zorvata = client
    opt.OptimizeHelper = FakeHelper
    FakeHelper.instances = []
    try:
        yield
    finally:
        for (m, n), v in saved.items():
            setattr(m, n, v)


FUZZ = settings(deadline=None, database=None, max_examples=25, derandomize=True,
                suppress_health_check=list(HealthCheck))


# ---------------------------------------------------------------------------------------------------------
# Targets: each a hypothesis test of its own, made afresh for every run (run.py sets the number of examples)

STRATEGIES: dict = {}


def target(*strategies):
    def record_strategies(body):
        STRATEGIES[body] = strategies
        return body

    return record_strategies



@target(VALUES, keywords(["dt"]))
def fuzz_input_functions(value, kwargs):
    call("to_date", opt.to_date, value)
    call("ensure_date_str", opt.ensure_date_str, value)
    call("ensure_bound", opt.ensure_bound, value)
    call("to_enum", opt.to_enum, value, CovModel)
    call("to_enum", opt.to_enum, value, value)
    call("to_date", opt.to_date, **kwargs)


@target(VALUES, VALUES, st.lists(st.sampled_from(["A", "B", "C", "*", ""]), max_size=4))
def fuzz_parse_bnds(bnds, pair, pool):
    call("parse_bnds", opt.parse_bnds, bnds, pool)
    call("parse_bnds", opt.parse_bnds, {"A": pair, "*": (0.0, 1.0)}, pool)
    call("parse_bnds", opt.parse_bnds, MissingDict(A=pair), pool)
    call("parse_bnds", opt.parse_bnds, BoomDict(B=pair), pool)


@target(st.one_of(VALUES, st.lists(st.sampled_from(["A", "B", "IDX", "FUND", "NEW", "X", "A"]), max_size=6)),
       VALUES)
def fuzz_screening(pool, date):
    with fake_market():
        call("ensure_order_book_ids", opt.ensure_order_book_ids, pool, "2024-06-03")
        call("ensure_order_book_ids", opt.ensure_order_book_ids, pool, date)


OBJECTIVES = st.one_of(
    st.builds(ob.MinVariance), st.builds(ob.RiskParity), st.builds(ob.MinTrackingError),
    st.builds(lambda r: ob.MeanVariance(expected_returns=pd.Series(r, index=list("ABCDEF")[: len(r)])),
              st.lists(st.floats(-1, 1), min_size=1, max_size=6)),
    st.builds(lambda r: ob.MaxSharpeRatio(expected_returns=pd.Series(r, index=list("ABCDEF")[: len(r)])),
              st.lists(st.floats(-1, 1), min_size=1, max_size=6)),
    VALUES,
)


@target(st.lists(st.sampled_from(["A", "B", "C", "D", "E", "F", "IDX", "X"]), max_size=6), OBJECTIVES,
       st.one_of(st.none(), VALUES, st.builds(lambda lo: {"A": (lo, 0.6), "*": (0.0, 0.5)}, st.floats(0, 0.3))),
       st.one_of(st.none(), st.just("IDX"), st.builds(lambda: StaticBenchmark(pd.Series({"A": 0.5, "B": 0.5}))),
                 VALUES),
       st.one_of(st.just(CovModel.FACTOR_MODEL_DAILY), VALUES), keywords(["objective", "bnds", "solver"]))
def fuzz_portfolio_optimize(pool, objective, bnds, benchmark, cov_model, options):
    options = {k: v for k, v in options.items() if k not in ("objective", "bnds", "solver")}
    # odd solver options only: SCS refuses what it does not know, and that is the solver's error
    options = {k: v for k, v in options.items() if not k.isidentifier()}
    with fake_market():
        call("portfolio_optimize", opt.portfolio_optimize, pool, dt.date(2024, 6, 3), objective, bnds, None,
             benchmark, cov_model, **options)


@target(keywords(["expected_returns", "window", "risk_aversion_coefficient", "transaction_cost_model",
                 "expected_active_returns", "indicator_series", "target_style", "relative", "priority"]),
       st.lists(VALUES, max_size=2))
def fuzz_objective_constructors(kwargs, args):
    for cls in (ob.MinVariance, ob.MinActiveVariance, ob.MeanVariance, ob.ActiveMeanVariance, ob.RiskParity,
                ob.MinTrackingError, ob.MaxInformationRatio, ob.MaxSharpeRatio, ob.MaxIndicator,
                ob.MinStyleDeviation):
        call(cls.__name__, cls, *args, **kwargs)
    call("ensure_series", ob.ensure_series, *(args + [None, None])[:2])


@target(st.sampled_from(["MinVariance", "MinActiveVariance", "RiskParity", "MinTrackingError", "MeanVariance",
                        "MaxSharpeRatio"]),
       st.one_of(st.just(1.0), VALUES), st.one_of(st.just("helper"), VALUES),
       st.lists(st.one_of(st.floats(-0.1, 0.1), st.sampled_from([math.nan, math.inf])), min_size=3, max_size=3))
def fuzz_objective_methods(name, zeta, helper, cov_noise):
    ids = ["A", "B", "C"]
    cov = np.eye(3) * 0.04 + np.asarray(cov_noise)  # not always symmetric, not always PSD, maybe NaN
    if isinstance(helper, str) and helper == "helper":
        helper = FakeHelper(ids, dt.date(2024, 6, 3), None, None, None, 1.0, 1.0)
        helper.get_cov_matrix = lambda: cov
    kwargs = {"expected_returns": pd.Series([0.1, 0.2, -0.1], index=ids)} if name in ("MeanVariance",
                                                                                      "MaxSharpeRatio") else {}
    objective = getattr(ob, name)(**kwargs)
    g = cp.Variable(3, nonneg=True)
    for method in ("get_objective_expr", "get_internal_constraints"):
        call(f"{name}.{method}", getattr(objective, method), g, zeta, helper)
    call(f"{name}.get_preferred_solver", objective.get_preferred_solver)


@target(VALUES, VALUES, VALUES)
def fuzz_benchmarks(order_book_id, date, window):
    with fake_market():
        b = call("IndexBenchmark", bm.IndexBenchmark, order_book_id)
        b = b if b is not None else call("IndexBenchmark", bm.IndexBenchmark, "IDX")
        if b is not None:
            call("IndexBenchmark.get_weight", b.get_weight, date)
            call("IndexBenchmark.get_expected_returns", b.get_expected_returns, date, window)
        call("OptimizeBenchmark.get_weight", bm.OptimizeBenchmark.get_weight, b, date)


CONSTRAINTS = [getattr(co, n) for n in ("TrackingErrorLimit", "TurnoverLimit", "BenchmarkComponentWeightLimit",
                                        "IndustryConstraint", "WildcardIndustryConstraint", "StyleConstraint",
                                        "WildcardStyleConstraint", "IndustryComponentLimit", "TradabilityConstraint",
                                        "LiquidityLimit") if hasattr(co, n)]


@target(st.lists(VALUES, max_size=3), keywords(["upper_limit", "lower_limit", "hard", "industries", "styles",
                                               "classification", "relative", "current_holding", "capital",
                                               "exclude_st", "window"]))
def fuzz_constraint_constructors(args, kwargs):
    for cls in CONSTRAINTS:
        c = call(cls.__name__, cls, *args, **kwargs)
        if c is not None:
            call(f"{cls.__name__}.__repr__", repr, c)


@target(st.sampled_from(["to_date", "ensure_date_str"]), VALUES)
def fuzz_call_cycles(name, value):
    # A call cycle between two functions of the package: the recursion guard must answer, never the stack.
    original = vars(opt)["to_date"]
    opt.to_date = opt.ensure_date_str
    try:
        call("cycle", getattr(opt, name), value)
    finally:
        opt.to_date = original


TARGETS = {
    "input functions": (fuzz_input_functions, 30),
    "parse_bnds": (fuzz_parse_bnds, 15),
    "screening": (fuzz_screening, 10),
    "portfolio_optimize": (fuzz_portfolio_optimize, 1),
    "objective constructors": (fuzz_objective_constructors, 10),
    "objective methods": (fuzz_objective_methods, 3),
    "benchmarks": (fuzz_benchmarks, 10),
    "constraint constructors": (fuzz_constraint_constructors, 6),
    "call cycles": (fuzz_call_cycles, 1),
}


def run_target(fn, examples: int, seed: int | None = None) -> None:
    """Runs one target for `examples` examples (derandomised unless a seed is given)."""
    s = settings(FUZZ, max_examples=examples, derandomize=seed is None)
    inner = s(given(*STRATEGIES[fn])(fn))
    if seed is not None:
        from hypothesis import seed as with_seed

        inner = with_seed(seed)(inner)
    inner()

