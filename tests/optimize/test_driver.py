"""portfolio_optimize: its surface, the order of its checks, the problem it assembles and how it solves.

The market-data client and the risk-model helper are replaced by the stand-ins of driver_fakes, so the
covariance, the pool and every call the driver makes are pinned.
"""

from __future__ import annotations

import datetime as dt
import inspect
import logging
import os
import subprocess
import sys

import cvxpy as cp
import numpy as np
import pytest

import velquor.optimize as opt
from velquor.const import CovModel, RiskModel
from velquor.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from velquor.objective import (MaxInformationRatio, MaxSharpeRatio, MinActiveVariance, MinTrackingError,
                               MinVariance, OptimizationObjective, RiskParity)

from .driver_fakes import (DATE, Constraint, FakeHelper, Spy, StaticBenchmark, covariance, cvxpy_with,
                          install_market, recording, recording_problem, scripted_problem)

POOL = ["A", "B", "C"]
RETRY = "约束无法满足，放弃所有软约束重试"
INACCURATE = "达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"
INVALID_BENCHMARK = ("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；对于自定义基准，"
                     "请传入一个 OptimizeBenchmark 的对象")


@pytest.fixture
def market(monkeypatch):
    return install_market(monkeypatch)


@pytest.fixture
def spy(monkeypatch, market):
    """Records every problem the driver builds and every solve's keyword arguments (real cvxpy solves)."""
    s = Spy()
    monkeypatch.setattr(opt, "cp", cvxpy_with(Problem=recording_problem(s)))
    return s


def script(monkeypatch, spy, steps):
    monkeypatch.setattr(opt, "cp", cvxpy_with(Problem=scripted_problem(spy, list(steps))))


def min_variance_weights(ids, lower=None, upper=None):
    """The same minimum-variance problem solved independently to high accuracy."""
    w = cp.Variable(len(ids), nonneg=True)
    cons = [cp.sum(w) == 1]
    if lower is not None:
        cons += [w >= lower, w <= upper]
    cp.Problem(cp.Minimize(cp.quad_form(w, covariance(ids))), cons).solve(solver=cp.CLARABEL)
    return w.value


class TestSurface:
    def test_signature_and_defaults(self):
        f = opt.portfolio_optimize
        defaults = (opt.DEFAULT_OBJECTIVE, None, None, None, CovModel.FACTOR_MODEL_DAILY, 1.0, 1.0, None,
                    RiskModel.V1)
        assert f.__defaults__ == defaults
        assert f.__defaults__[0] is opt.DEFAULT_OBJECTIVE
        assert f.__kwdefaults__ is None
        params = inspect.signature(f).parameters
        assert list(params) == ["order_book_ids", "date", "objective", "bnds", "cons", "benchmark", "cov_model",
                                "factor_risk_aversion", "specific_risk_aversion", "solver", "risk_model",
                                "solver_options"]
        assert params["solver_options"].kind is inspect.Parameter.VAR_KEYWORD
        assert [p.default for p in params.values()][2:11] == list(defaults)
        assert type(opt.DEFAULT_OBJECTIVE) is MinVariance

    def test_documentation_layout(self):
        doc = opt.portfolio_optimize.__doc__
        assert doc.startswith("\n") and doc.endswith("\n    ")
        lines = doc[1:-5].split("\n")
        assert len(lines) == 42
        indent = {i: len(line) - len(line.lstrip(" ")) for i, line in enumerate(lines, 1)}
        expected = {**{i: 4 for i in [1, 2, 13, *range(23, 28), *range(31, 43)]},
                    **{i: 8 for i in [*range(3, 13), *range(14, 22)]}, **{i: 17 for i in (28, 29, 30)}, 22: 0}
        assert indent == expected
        assert lines[20].strip() == "* :class:`IndustryComponentLimit: 行业内个股权重约束"
        assert lines[30].strip() == ':type bnds: {order_book_id | "*": (lower_limit, upper_limit)}'
        assert lines[0].strip() == "组合优化，根据给定的约束及目标函数计算最优组合权重。"
        assert lines[41].strip() == ":return: pd.Series 组合最优化权重"

    @pytest.mark.parametrize("args, kwargs, message", [
        ((POOL, DATE) + (None,) * 10, {}, "portfolio_optimize() takes at most 11 positional arguments (12 given)"),
        ((POOL,), {}, "portfolio_optimize() takes at least 2 positional arguments (1 given)"),
        ((), {}, "portfolio_optimize() takes at least 2 positional arguments (0 given)"),
        ((POOL, DATE, None), {"objective": None},
         "portfolio_optimize() got multiple values for keyword argument 'objective'"),
        ((POOL, DATE), {"order_book_ids": POOL},
         "portfolio_optimize() got multiple values for keyword argument 'order_book_ids'"),
    ])
    def test_argument_binding_errors(self, market, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            opt.portfolio_optimize(*args, **kwargs)
        assert str(excinfo.value) == message


class TestDefaultObjective:
    def test_calls_without_objective_share_one_object(self, spy, monkeypatch):
        seen = []
        default = opt.DEFAULT_OBJECTIVE
        real = type(default).get_objective_expr

        def watch(g, zeta, helper):
            seen.append(g)
            return real(default, g, zeta, helper)

        monkeypatch.setattr(default, "get_objective_expr", watch, raising=False)
        # Rebinding the module name does not change the default bound when the function was defined.
        monkeypatch.setattr(opt, "DEFAULT_OBJECTIVE", recording())
        opt.portfolio_optimize(POOL, DATE)
        opt.portfolio_optimize(["A", "B"], DATE)
        assert len(seen) == 2
        assert opt.DEFAULT_OBJECTIVE.spy.events == []


class TestValidation:
    def test_pool_screened_to_nothing(self, market):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.portfolio_optimize(["X", "Y"], DATE)
        assert str(excinfo.value) == "经过剔除后，股票池为空"

    @pytest.mark.parametrize("kwargs", [
        {"objective": None},
        {"objective": MinTrackingError()},
        {"bnds": "not a mapping", "cons": 5},
        {"cov_model": "unknown model", "risk_model": "v9"},
        {"benchmark": 3.5},
    ])
    def test_pool_of_one_returns_full_weight_without_looking_further(self, market, kwargs):
        w = opt.portfolio_optimize(["B", "X"], DATE, **kwargs)
        assert w.to_dict() == {"B": 1.0}
        assert FakeHelper.instances == []

    @pytest.mark.parametrize("objective", [None, 5, MinVariance])
    def test_objective_of_wrong_type(self, market, objective):
        # The objective is checked before the benchmark and the models.
        with pytest.raises(InvalidArgument) as excinfo:
            opt.portfolio_optimize(POOL, DATE, objective, benchmark=3.5, cov_model="unknown")
        assert str(excinfo.value) == "非法的目标函数"

    @pytest.mark.parametrize("cls", [MinTrackingError, MinActiveVariance, MaxInformationRatio,
                                     type("HedgedTracking", (MinTrackingError,), {})])
    def test_benchmark_bound_objective_without_benchmark(self, market, cls):
        # the message names the caller's own subclass, not the built-in class it derives from
        objective = cls()
        with pytest.raises(InvalidArgument) as excinfo:
            opt.portfolio_optimize(POOL, DATE, objective, cov_model="unknown")
        assert str(excinfo.value) == f"对于目标函数 {cls.__name__}，必须传入 benchmark 参数"

    @pytest.mark.parametrize("objective", [MinVariance(), MinTrackingError(), RiskParity()])
    @pytest.mark.parametrize("benchmark", [3.5, ["IDX"], object])
    def test_benchmark_of_wrong_type(self, market, objective, benchmark):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.portfolio_optimize(POOL, DATE, objective, benchmark=benchmark, cov_model="unknown")
        assert str(excinfo.value) == INVALID_BENCHMARK.format(benchmark)


class TestHelper:
    @pytest.mark.parametrize("objective", [MinVariance(), MaxSharpeRatio(expected_returns={"A": 0.1})])
    def test_text_benchmark_becomes_an_index_benchmark(self, spy, objective):
        opt.portfolio_optimize(POOL, DATE, objective, benchmark="IDX")
        benchmark = FakeHelper.instances[0].benchmark
        assert type(benchmark) is opt.IndexBenchmark
        assert benchmark._order_book_id == "IDX"

    def test_arguments_in_order(self, spy):
        bench = StaticBenchmark({"A": 1.0})
        opt.portfolio_optimize(("C", "A", "B"), "2024-06-03", MinVariance(), None, None, bench, "monthly", 0.5,
                               2, None, RiskModel.V2)
        (helper,) = FakeHelper.instances
        assert helper.args == (["A", "B", "C"], DATE, bench, CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2, 0.5, 2)
        assert type(helper.args[1]) is dt.date


def parity(g, zeta, helper):
    return cp.quad_form(g, helper.get_cov_matrix()) - cp.sum(cp.log(g))


def values(g, zeta, g_value, zeta_value=None):
    g.save_value(np.asarray(g_value, dtype=float))
    if zeta_value is not None:
        zeta.save_value(np.float64(zeta_value))


class TestAssembly:
    @pytest.mark.parametrize("base, kind", [
        (MinVariance, float), (OptimizationObjective, float), (MinTrackingError, float),
        (MaxSharpeRatio, cp.Variable), (MaxInformationRatio, cp.Variable), (RiskParity, int),
    ])
    def test_zeta_by_objective_class(self, spy, base, kind):
        # the ratio objectives fix the expected return of g; without it g = zeta = 0 is optimal
        internal = (lambda g, zeta: [cp.sum(g) * 0.1 == 1]) if kind is cp.Variable else None
        objective = recording(base, internal=internal, expr=parity if base is RiskParity else None)
        opt.portfolio_optimize(POOL, DATE, objective, benchmark=StaticBenchmark({"A": 1.0}))
        zeta = objective.spy.zeta
        assert type(zeta) is kind
        if kind is cp.Variable:
            assert zeta.shape == () and zeta.is_nonneg()
        else:
            assert zeta == {float: 1.0, int: 3}[kind]
        assert objective.spy.g.shape == (3,) and objective.spy.g.is_nonneg()

    def test_order_of_calls_and_constraints(self, spy):
        log = []
        objective = recording(internal=lambda g, zeta: [g[0] <= 0.9, g[1] <= 0.9])
        soft = Constraint(0, lambda g, zeta: [g[2] >= 0.01], log)
        hard = Constraint(True, lambda g, zeta: (c for c in [g[1] >= 0.01]), log)
        opt.portfolio_optimize(POOL, DATE, objective, bnds={}, cons=iter([soft, hard]))
        assert objective.spy.events[:2] == ["internal", "expr"]
        assert log == ["hard", "to_constraints"] * 2
        (problem,) = spy.problems
        constraints = problem.constraints
        # budget, internal (2), lower, upper, the hard constraint, then the soft one
        assert len(constraints) == 7
        assert constraints[1] is objective.spy.internal[0] and constraints[2] is objective.spy.internal[1]
        g = objective.spy.g
        values(g, None, [0.5, 0.005, 0.495])
        assert constraints[5].violation() > 0 and constraints[6].violation() == 0
        values(g, None, [0.5, 0.495, 0.005])
        assert constraints[5].violation() == 0 and constraints[6].violation() > 0

    def test_budget_and_bounds_scale_with_zeta(self, spy):
        objective = recording(MaxSharpeRatio, internal=lambda g, zeta: [g @ np.array([0.1, 0.2, 0.3]) == 1])
        opt.portfolio_optimize(POOL, DATE, objective, bnds={"A": (0.1, 0.3)})
        g, zeta = objective.spy.g, objective.spy.zeta
        budget, _, lower, upper = spy.problems[0].constraints
        values(g, zeta, [1.0, 2.0, 2.0], 5.0)
        assert budget.violation() == 0
        values(g, zeta, [1.0, 2.0, 2.0], 4.0)
        assert budget.violation() == pytest.approx(1.0)
        values(g, zeta, [0.5, 2.0, 2.5], 5.0)  # A at 0.1 * zeta and B, C at zero lower bounds
        assert np.max(lower.violation()) == 0 and np.max(upper.violation()) == 0
        values(g, zeta, [0.45, 2.0, 2.55], 5.0)
        assert lower.violation()[0] == pytest.approx(0.05)
        values(g, zeta, [1.55, 2.0, 1.45], 5.0)  # A above 0.3 * zeta
        assert upper.violation()[0] == pytest.approx(0.05)

    def test_empty_bounds_still_bound(self, spy):
        objective = recording()
        opt.portfolio_optimize(POOL, DATE, objective, bnds={})
        _, lower, upper = spy.problems[0].constraints
        values(objective.spy.g, None, [0.0, 0.0, 1.0])
        assert np.max(lower.violation()) == 0 and np.max(upper.violation()) == 0

    @pytest.mark.parametrize("kwargs", [{}, {"bnds": {}, "cons": []}, {"bnds": None, "cons": ()}])
    def test_risk_parity_without_bounds_or_constraints_is_unconstrained(self, spy, kwargs):
        objective = recording(RiskParity, internal=lambda g, zeta: [g[0] <= 100], expr=parity)
        w = opt.portfolio_optimize(POOL, DATE, objective, **kwargs)
        assert spy.problems[0].constraints == []
        assert "internal" in objective.spy.events
        assert w.sum() == pytest.approx(1.0)

    def test_risk_parity_with_constraints_carries_the_budget(self, spy):
        objective = recording(RiskParity, internal=lambda g, zeta: [g[0] <= 100], expr=parity)
        cons = [Constraint(True, lambda g, zeta: [g[0] >= 0.0])]
        opt.portfolio_optimize(POOL, DATE, objective, bnds={"A": (0, 0.5)}, cons=cons)
        budget, internal, lower, upper, caller = spy.problems[0].constraints
        g = objective.spy.g
        values(g, None, [1.0, 1.0, 1.0])
        assert budget.violation() == 0  # sum(g) - n == 0
        values(g, None, [1.0, 1.0, 0.5])
        assert budget.violation() == pytest.approx(0.5)
        values(g, None, [1.6, 0.7, 0.7])  # the bound scales with n: 0.5 * 3
        assert upper.violation()[0] == pytest.approx(0.1)

    def test_cons_none_and_empty_build_the_same_problem(self, spy):
        objective = recording()
        opt.portfolio_optimize(POOL, DATE, objective, cons=None)
        opt.portfolio_optimize(POOL, DATE, objective, cons=[])
        assert [len(p.constraints) for p in spy.problems] == [1, 1]


SCS_DEFAULTS = {"eps_abs": 1e-7, "eps_rel": 1e-7}
CLARABEL_DEFAULTS = {"tol_gap_abs": 1e-10, "tol_gap_rel": 1e-10, "tol_feas": 1e-9, "max_iter": 500}


class TestSolverChoice:
    def test_preferred_solver_with_default_iterations(self, spy):
        opt.portfolio_optimize(POOL, DATE, recording())
        assert spy.solves == [{"solver": "SCS", "verbose": False, **SCS_DEFAULTS, "max_iters": 10000}]

    @pytest.mark.parametrize("options", [dict(max_iters=500, eps_abs=1e-7), dict(eps=1e-3), dict(eps_rel=1e-4)])
    def test_callers_options_win(self, spy, options):
        # one tolerance of the caller's leaves the other at the solver's own default, as without the driver
        opt.portfolio_optimize(POOL, DATE, solver="SCS", **options)
        assert spy.solves == [{"solver": "SCS", "verbose": False, "max_iters": 10000, **options}]

    def test_clarabel_gets_tight_tolerances(self, spy):
        opt.portfolio_optimize(POOL, DATE, recording(), solver="CLARABEL")
        assert spy.solves == [{"solver": "CLARABEL", "verbose": False, **CLARABEL_DEFAULTS}]
        opt.portfolio_optimize(POOL, DATE, recording(), solver="CLARABEL", tol_feas=1e-7)
        assert spy.solves[1] == {"solver": "CLARABEL", "verbose": False, "tol_feas": 1e-7}

    def test_unknown_solver_gets_nothing_added(self, spy):
        opt.portfolio_optimize(POOL, DATE, recording(), solver="OSQP")
        assert spy.solves == [{"solver": "OSQP", "verbose": False}]

    def test_falsy_solver_means_preferred(self, spy):
        opt.portfolio_optimize(POOL, DATE, recording(solver="CLARABEL"), solver="")
        assert spy.solves == [{"solver": "CLARABEL", "verbose": False, **CLARABEL_DEFAULTS}]

    def test_options_are_fresh_per_call(self, spy):
        opt.portfolio_optimize(POOL, DATE)
        opt.portfolio_optimize(POOL, DATE, solver="CLARABEL")
        assert spy.solves[1] == {"solver": "CLARABEL", "verbose": False, **CLARABEL_DEFAULTS}

    def test_verbose_collides(self, spy):
        with pytest.raises(TypeError) as excinfo:
            opt.portfolio_optimize(POOL, DATE, verbose=True)
        assert str(excinfo.value) == (f"{Spy.__module__}.recording_problem.<locals>.RecordingProblem.solve() got "
                                      "multiple values for keyword argument 'verbose'")

    def test_debug_read_at_every_solve(self, spy, monkeypatch):
        opt.portfolio_optimize(POOL, DATE)
        monkeypatch.setattr(opt, "DEBUG", True)
        opt.portfolio_optimize(POOL, DATE)
        monkeypatch.setattr(opt, "DEBUG", False)
        opt.portfolio_optimize(POOL, DATE)
        assert [s["verbose"] for s in spy.solves] == [False, True, False]


class TestFallback:
    def test_soft_constraint_dropped_once(self, spy):
        soft = Constraint(False, lambda g, zeta: [g[0] >= 2])

        def caller():
            return opt.portfolio_optimize(POOL, DATE, recording(), bnds={"C": (0.0, 0.2)}, cons=[soft])

        with pytest.warns(OptimizerWarning) as w:
            result = caller()
        assert [str(x.message) for x in w] == [RETRY]
        # the line that called portfolio_optimize
        assert (w[0].filename, w[0].lineno) == (__file__, caller.__code__.co_firstlineno + 1)
        assert len(spy.solves) == 2
        first, second = spy.problems
        assert len(first.constraints) == 4 and len(second.constraints) == 3
        assert second.objective is first.objective
        np.testing.assert_allclose(result.values, min_variance_weights(POOL, 0, [1, 1, 0.2]), atol=2e-4)

    def test_hard_infeasible(self, spy):
        hard = Constraint(1, lambda g, zeta: [g[0] >= 2])
        with pytest.raises(OptimizationFailed) as excinfo:
            opt.portfolio_optimize(POOL, DATE, cons=[hard])
        assert excinfo.value.args == (cp.INFEASIBLE,) and str(excinfo.value) == "infeasible"
        assert len(spy.solves) == 1
        # The message stays the status; a note points to the function that names the culprit.
        assert excinfo.value.__notes__ == [
            "velquor.constraint.diagnose(...) with the same arguments lists the constraints that must give and "
            "by how much"]

    def test_still_infeasible_without_soft(self, spy):
        cons = [Constraint(False, lambda g, zeta: [g[1] >= 0.9]), Constraint(True, lambda g, zeta: [g[0] >= 2])]
        with pytest.warns(OptimizerWarning) as w, pytest.raises(OptimizationFailed) as excinfo:
            opt.portfolio_optimize(POOL, DATE, cons=cons)
        assert [str(x.message) for x in w] == [RETRY]
        assert excinfo.value.args == (cp.INFEASIBLE,)
        assert len(spy.solves) == 2


class TestStatuses:
    """Solver outcomes that a real solve reaches only by accident, scripted."""

    @pytest.fixture
    def obj(self, market):
        return recording()

    def test_inaccurate_returns_weights_with_warning(self, monkeypatch, obj):
        script(monkeypatch, obj.spy, [(cp.OPTIMAL_INACCURATE, 0.1, [0.2, 0.3, 0.5], None)])
        with pytest.warns(OptimizerWarning) as w:
            result = opt.portfolio_optimize(POOL, DATE, obj)
        assert [str(x.message) for x in w] == [INACCURATE]
        assert w[0].filename == __file__
        assert result.to_dict() == pytest.approx({"A": 0.2, "B": 0.3, "C": 0.5})

    def test_retry_ending_inaccurate_warns_twice(self, monkeypatch, obj):
        script(monkeypatch, obj.spy, [(cp.INFEASIBLE_INACCURATE, np.inf, None, None),
                                      (cp.OPTIMAL_INACCURATE, 0.1, [0.2, 0.3, 0.5], None)])
        soft = Constraint(False, lambda g, zeta: [g[0] >= 0.5])
        with pytest.warns(OptimizerWarning) as w:
            opt.portfolio_optimize(POOL, DATE, obj, cons=[soft])
        assert [str(x.message) for x in w] == [RETRY, INACCURATE]
        assert all(x.filename == __file__ for x in w)

    @pytest.mark.parametrize("status, result, argument", [
        (cp.UNBOUNDED, -np.inf, cp.UNBOUNDED),
        (cp.USER_LIMIT, 0.5, cp.USER_LIMIT),
        (cp.SOLVER_ERROR, None, None),
        (cp.INFEASIBLE, "no solution", "no solution"),
        (cp.INFEASIBLE_INACCURATE, np.float64(np.inf), cp.INFEASIBLE_INACCURATE),
    ])
    def test_failure_argument(self, monkeypatch, obj, status, result, argument):
        script(monkeypatch, obj.spy, [(status, result, None, None)])
        with pytest.raises(OptimizationFailed) as excinfo:
            opt.portfolio_optimize(POOL, DATE, obj)
        assert excinfo.value.args == (argument,)
        noted = argument in (cp.INFEASIBLE, cp.INFEASIBLE_INACCURATE)
        assert len(getattr(excinfo.value, "__notes__", [])) == noted

    def test_solver_error_becomes_failed_without_retry(self, monkeypatch, obj):
        error = cp.SolverError("back end crashed")
        script(monkeypatch, obj.spy, [error])
        soft = Constraint(False, lambda g, zeta: [g[0] >= 0.5])
        with pytest.raises(OptimizationFailed) as excinfo:
            opt.portfolio_optimize(POOL, DATE, obj, cons=[soft])
        assert excinfo.value.args == ("failed",)
        assert excinfo.value.__context__ is error
        assert len(obj.spy.solves) == 1

    def test_other_errors_propagate(self, monkeypatch, obj):
        error = ValueError("bad data")
        script(monkeypatch, obj.spy, [error])
        with pytest.raises(ValueError) as excinfo:
            opt.portfolio_optimize(POOL, DATE, obj)
        assert excinfo.value is error

    def test_residual_negatives_clipped(self, monkeypatch, obj):
        script(monkeypatch, obj.spy, [(cp.OPTIMAL, 0.1, [-1e-9, 0.4, 0.6], None)])
        result = opt.portfolio_optimize(POOL, DATE, obj)
        assert result["A"] == 0.0
        assert result.to_dict() == pytest.approx({"A": 0.0, "B": 0.4, "C": 0.6})

    @pytest.mark.parametrize("g_value", [[0.0, 0.0, 0.0], [np.nan, 0.5, 0.5], [np.inf, 0.5, 0.5],
                                         [-1e-9, -1e-9, 0.0], None])
    def test_unusable_solution_fails(self, monkeypatch, obj, g_value):
        script(monkeypatch, obj.spy, [(cp.OPTIMAL, 0.0, g_value, None)])
        with pytest.raises(OptimizationFailed) as excinfo:
            opt.portfolio_optimize(POOL, DATE, obj)
        assert excinfo.value.args == ("failed",)

    def test_ratio_weights_sum_to_one_and_log_zeta(self, monkeypatch, market, caplog):
        obj = recording(MaxSharpeRatio)
        script(monkeypatch, obj.spy, [(cp.OPTIMAL, 0.25, [0.5, 1.0, 1.0], 2.5)])
        with caplog.at_level(logging.DEBUG):
            result = opt.portfolio_optimize(["C", "B", "A"], DATE, obj)
        assert list(result.index) == POOL
        assert result.to_dict() == pytest.approx({"A": 0.2, "B": 0.4, "C": 0.4})
        assert caplog.records[-1].getMessage() == "g.value.sum() = 2.500000, zeta = 2.500000"


class TestLogging:
    def test_info_then_debug_on_the_root_logger(self, spy, caplog):
        with caplog.at_level(logging.DEBUG):
            weights = opt.portfolio_optimize(POOL, DATE).to_numpy()
        info, debug = caplog.records
        assert (info.name, info.levelno, info.msg) == ("root", logging.INFO,
                                                      "solve time: %f, optimization result = %f")
        elapsed, value = info.args
        assert 0 < elapsed < 10
        # the objective's own value: the driver's scaling of it is undone
        assert value == pytest.approx(weights @ covariance(POOL) @ weights, rel=1e-4)
        assert (debug.name, debug.levelno, debug.msg) == ("root", logging.DEBUG, "g.value.sum() = %f, zeta = %f")
        assert debug.args[0] == pytest.approx(1.0, abs=1e-4) and debug.args[1] == 1.0


class TestModuleSetUp:
    """Import-time behaviour, each case in a fresh interpreter (the processes run side by side)."""

    CODE = ("import warnings\n"
            "warnings.resetwarnings(); warnings.simplefilter('default')\n"
            "import velquor.optimize as o\n"
            "from velquor.exception import OptimizerWarning\n"
            "for _ in range(2):\n"
            "    warnings.warn('same place', OptimizerWarning)\n"
            "print(o.DEBUG, warnings.filters[0][:3] == ('always', None, OptimizerWarning))\n")

    def test_debug_switch_and_warning_filter(self):
        # a switch: 1/true/yes/on turn it on, 0/false/no/off/empty leave it off, anything else warns and
        # turns it on
        cases = {None: "False", "": "False", "0": "False", "False": "False", "yes": "True", "junk": "True"}
        procs = {}
        for value in cases:
            env = {k: v for k, v in os.environ.items() if k != "VELQUOR_DEBUG"}
            if value is not None:
                env["VELQUOR_DEBUG"] = value
            procs[value] = subprocess.Popen([sys.executable, "-c", self.CODE], env=env, text=True,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for value, proc in procs.items():
            out, err = proc.communicate(timeout=120)
            assert proc.returncode == 0, err
            # the "always" filter sits in front: the same warning from the same place shows twice
            assert out.split() == [cases[value], "True"]
            assert err.count("OptimizerWarning: same place") == 2
            assert err.count("VELQUOR_DEBUG='junk' is not a switch") == (value == "junk")


class TestPrepareRequest:
    """prepare_request and diagnose read a request through the code portfolio_optimize reads it with."""

    def test_reads_the_request_without_solving(self, spy):
        bench = StaticBenchmark({"A": 0.5, "Z": 0.5})
        request = opt.prepare_request(["C", "A", "B"], DATE, MinTrackingError(), bnds={"*": (0.0, 0.5)},
                                      benchmark=bench, cov_model="monthly")
        assert request.order_book_ids == POOL and request.date == DATE and request.benchmark is bench
        assert request.helper.args[:4] == (POOL, DATE, bench, CovModel.FACTOR_MODEL_MONTHLY)
        assert [b.tolist() for b in request.bounds] == [[0.0] * 3, [0.5] * 3]
        assert spy.solves == []
        alone = opt.prepare_request(["A"], DATE, None)  # a pool of one reads nothing else
        assert (alone.order_book_ids, alone.objective, alone.helper, alone.bounds) == (["A"], None, None, None)

    @pytest.mark.parametrize("kwargs, message", [
        (dict(objective=object()), "非法的目标函数"),
        (dict(objective=MaxInformationRatio()), "对于目标函数 MaxInformationRatio，必须传入 benchmark 参数"),
        (dict(bnds={"*": (0, 5)}), "合约 * 的上限 5.0 无效"),
    ])
    def test_same_messages_as_portfolio_optimize(self, market, kwargs, message):
        from velquor.constraint import diagnose

        for reader in (opt.prepare_request, opt.portfolio_optimize, diagnose):
            with pytest.raises(InvalidArgument) as excinfo:
                reader(POOL, DATE, **kwargs)
            assert str(excinfo.value) == message, reader

    def test_diagnose_reads_the_helper_bound_in_velquor_optimize(self, market, monkeypatch):
        from velquor.constraint import diagnose

        class Refused(Exception):
            pass

        def refuse(*args):
            raise Refused(args[0])

        monkeypatch.setattr(opt, "OptimizeHelper", refuse)
        with pytest.raises(Refused):
            diagnose(POOL, DATE)
