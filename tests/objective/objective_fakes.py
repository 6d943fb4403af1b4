"""A hand-made optimisation helper and a stand-in driver frame for the objective tests."""

from __future__ import annotations

import datetime as dt
import types

import cvxpy as cp
import numpy as np
import pandas as pd

DATE = dt.date(2026, 6, 3)
PREV = dt.date(2026, 6, 2)


class FakeHelper:
    """The helper members objectives read, over fixed arrays; records the methods called, in order."""

    def __init__(self, ids, cov=None, union=None, benchmark_weight=None, union_cov=None, benchmark=None,
                 exposure=None, benchmark_style=None):
        self.order_book_ids = list(ids)
        self.union_components = self.order_book_ids + list(union or [])
        m = len(self.union_components)
        self._cov = np.eye(len(ids)) * 0.04 if cov is None else np.asarray(cov, dtype=float)
        self._union_cov = np.eye(m) * 0.04 if union_cov is None else np.asarray(union_cov, dtype=float)
        bw = np.repeat(1.0 / m, m) if benchmark_weight is None else benchmark_weight
        self.benchmark_weight = pd.Series(bw, index=self.union_components, dtype=float)
        self.benchmark = benchmark
        self.date = DATE
        self.prev_trading_date = PREV
        self._exposure = exposure
        self._benchmark_style = benchmark_style
        self.calls = []

    def get_cov_matrix(self):
        self.calls.append("get_cov_matrix")
        return self._cov

    def get_union_cov_matrix(self):
        self.calls.append("get_union_cov_matrix")
        return self._union_cov

    def get_factor_exposure(self):
        self.calls.append("get_factor_exposure")
        return self._exposure

    def get_benchmark_style(self):
        self.calls.append("get_benchmark_style")
        return self._benchmark_style


class FakeBenchmark:
    def __init__(self, expected_return):
        self.expected_return = expected_return
        self.calls = []

    def get_expected_returns(self, date, window=252):
        self.calls.append((date, window))
        return self.expected_return


def value_at(expr, g, weights):
    """The expression's value with `g` set to `weights`."""
    g.value = np.asarray(weights, dtype=float)
    return float(expr.value)


def variable(n):
    return cp.Variable(n, nonneg=True)


# The driver's frame between the caller and the objective: compiled under another file name, so a warning
# that names this test file skipped exactly that frame and the objective's own.
_DRIVER = compile(
    "def objective_expr(obj, g, zeta, helper):\n"
    "    return obj.get_objective_expr(g, zeta, helper)\n"
    "def internal_constraints(obj, g, zeta, helper):\n"
    "    return obj.get_internal_constraints(g, zeta, helper)\n",
    "<driver>", "exec")
_namespace: dict = {}
exec(_DRIVER, _namespace)
objective_expr = _namespace["objective_expr"]
internal_constraints = _namespace["internal_constraints"]


def install_driver(monkeypatch, cov):
    """Points `portfolio_optimize` at plain common stocks A, B, ... and a FakeHelper over `cov`; returns the
    driver module."""
    import velquor.optimize as opt
    import zorvata

    records = {i: types.SimpleNamespace(order_book_id=i, type="CS", listed_date="2010-01-04",
                                        de_listed_date="0000-00-00") for i in "ABCDEFGH"}
    monkeypatch.setattr(zorvata, "instruments",
                        lambda ids: records.get(ids) if isinstance(ids, str) else [records[i] for i in ids])
    monkeypatch.setattr(opt, "OptimizeHelper", lambda ids, *rest: FakeHelper(ids, cov=cov))
    return opt
