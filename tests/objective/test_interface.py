"""The module's surface: names and order, ensure_series, the base class, constructors, the budget check,
the preferred solver and subclassing from Python."""

from __future__ import annotations

import inspect
import sys
import types

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.objective as obj
from velquor.exception import InvalidArgument

from .objective_fakes import FakeHelper, install_driver, value_at, variable

CLASSES = ["MinVariance", "MinActiveVariance", "MeanVariance", "ActiveMeanVariance", "RiskParity",
           "MinTrackingError", "MaxInformationRatio", "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation"]

# One constructible instance of each class.
INSTANCES = {
    "MinVariance": lambda: obj.MinVariance(),
    "MinActiveVariance": lambda: obj.MinActiveVariance(),
    "MeanVariance": lambda: obj.MeanVariance(expected_returns={"A": 0.1}),
    "ActiveMeanVariance": lambda: obj.ActiveMeanVariance(expected_active_returns={"A": 0.1}),
    "RiskParity": lambda: obj.RiskParity(),
    "MinTrackingError": lambda: obj.MinTrackingError(),
    "MaxInformationRatio": lambda: obj.MaxInformationRatio(expected_active_returns={"A": 0.1}),
    "MaxSharpeRatio": lambda: obj.MaxSharpeRatio(expected_returns={"A": 0.1}),
    "MaxIndicator": lambda: obj.MaxIndicator({"A": 1.0, "B": 2.0}),
    "MinStyleDeviation": lambda: obj.MinStyleDeviation({"size": 0.1}),
}


def test_module_binds_its_names_in_order():
    names = [n for n in vars(obj) if not n.startswith("__")]
    assert names == ["ABCMeta", "warnings", "cp", "np", "pd", "zorvata", "InvalidArgument",
                     "OptimizerWarning",
                     "STYLE_FACTORS", "ensure_series", "OptimizationObjective", *CLASSES]


class TestEnsureSeries:
    def test_series_is_returned_itself(self):
        s = pd.Series([1, 2], index=["b", "a"], dtype="int8")
        assert obj.ensure_series(s, "x") is s

    @pytest.mark.parametrize("value, index", [([0.1, 0.2], [0, 1]), ({"a": 1}, ["a"])])
    def test_other_values_become_series(self, value, index):
        assert list(obj.ensure_series(value, "x").index) == index

    def test_rejected_value_names_the_parameter_and_keeps_the_cause(self):
        with pytest.raises(InvalidArgument) as excinfo:
            obj.ensure_series(pd.DataFrame({"a": [1]}), "expected_returns")
        assert str(excinfo.value) == "expected_returns: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"
        assert excinfo.value.__context__ is not None
        assert not isinstance(excinfo.value.__context__, InvalidArgument)

    def test_patched_ensure_series_is_used_by_constructors(self, monkeypatch):
        seen = []
        monkeypatch.setattr(obj, "ensure_series", lambda value, name: seen.append(name) or pd.Series(value))
        obj.MaxIndicator([1.0])
        obj.MinStyleDeviation({"size": 1.0}, priority={"size": 3})
        assert seen == ["indicator_series", "target_style", "priority"]


class TestBaseClass:
    def test_is_an_abc_with_no_doc_and_instantiable(self):
        assert type(obj.OptimizationObjective) is obj.ABCMeta
        assert obj.OptimizationObjective.__doc__ is None
        base = obj.OptimizationObjective()
        for call in (lambda: base.get_objective_expr(1, 1.0, None),
                     lambda: base.get_internal_constraints(g=1, zeta=1.0, helper=None),
                     base.get_preferred_solver):
            with pytest.raises(NotImplementedError) as excinfo:
                call()
            assert excinfo.value.args == ()

class TestConstructors:
    @pytest.mark.parametrize("name, signature", [
        ("MeanVariance", "(*, expected_returns=None, window=252, risk_aversion_coefficient=1, "
                         "transaction_cost_model=None)"),
        ("ActiveMeanVariance", "(*, expected_active_returns=None, window=252, risk_aversion_coefficient=1, "
                               "transaction_cost_model=None)"),
        ("MaxInformationRatio", "(*, expected_active_returns=None, window=252)"),
        ("MaxSharpeRatio", "(*, expected_returns=None, window=252)"),
        ("MaxIndicator", "(indicator_series)"),
        ("MinStyleDeviation", "(target_style, *, relative=False, priority=None)"),
        ("MinVariance", "()"),
    ])
    def test_signature(self, name, signature):
        assert str(inspect.signature(getattr(obj, name))) == signature

    @pytest.mark.parametrize("call", [
        lambda: obj.MeanVariance(None), lambda: obj.MaxSharpeRatio(0.1), lambda: obj.ActiveMeanVariance(None),
        lambda: obj.MaxInformationRatio(None), lambda: obj.MinStyleDeviation({"size": 1}, True),
        lambda: obj.MaxIndicator(), lambda: obj.MinVariance(1), lambda: obj.MeanVariance(windows=3),
    ])
    def test_argument_errors(self, call):
        with pytest.raises(TypeError):
            call()

    @pytest.mark.parametrize("name, title, params", [
        ("MaxIndicator", "指标最大化", [":param indicator_series: 指标序列", ":type indicator_series: pd.Series"]),
        ("MaxSharpeRatio", "最大化夏普比率", [
            ":param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。",
            ":type expected_returns: None | pd.Series",
            ":param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年"]),
    ])
    def test_long_doc_layout(self, name, title, params):
        lines = ["", title, "", *params]
        assert getattr(obj, name).__doc__ == "\n".join(("    " + x) if x else x for x in lines) + "\n    "

    @pytest.mark.parametrize("name, doc", [("MinVariance", "风险最小化"), ("RiskParity", "风险平价")])
    def test_short_doc_is_the_title_alone(self, name, doc):
        assert getattr(obj, name).__doc__ == doc


class TestBudgetPrecondition:
    CHECKED = [("MinVariance", obj.MinVariance), ("MinActiveVariance", obj.MinActiveVariance),
               ("MinTrackingError", obj.MinTrackingError),
               ("MeanVariance", lambda: obj.MeanVariance(expected_returns={"A": 0.1})),
               ("ActiveMeanVariance", lambda: obj.ActiveMeanVariance(expected_active_returns={"A": 0.1})),
               ("MinStyleDeviation", lambda: obj.MinStyleDeviation({"size": 0.1}))]

    @pytest.mark.parametrize("name, make", CHECKED)
    def test_budget_other_than_one_fails_before_the_helper_is_read(self, name, make):
        helper = FakeHelper(["A", "B"])
        with pytest.raises(AssertionError) as excinfo:
            make().get_objective_expr(variable(2), 2.0, helper)
        assert excinfo.value.args == () and helper.calls == []

    def test_integer_one_passes(self):
        g = variable(2)
        assert value_at(obj.MinVariance().get_objective_expr(g, 1, FakeHelper(["A", "B"])), g, [1, 0]) == \
            pytest.approx(0.04)

    @pytest.mark.parametrize("name, make", CHECKED)
    def test_skipped_while_the_interpreter_runs_without_asserts(self, name, make, monkeypatch):
        # The flag is read on every call (as `python -O` would have it from the start).
        monkeypatch.setattr(sys, "flags", types.SimpleNamespace(optimize=1))
        g = variable(1)
        helper = FakeHelper(["A"], exposure=pd.DataFrame({"size": [1.0]}, index=["A"]))
        make().get_objective_expr(g, 2.0, helper)
        monkeypatch.undo()
        with pytest.raises(AssertionError):
            make().get_objective_expr(g, 2.0, helper)


@pytest.mark.parametrize("name", CLASSES)
def test_preferred_solver_is_read_at_call_time(name, monkeypatch):
    instance = INSTANCES[name]()
    assert instance.get_preferred_solver() == cp.SCS
    monkeypatch.setattr(obj, "cp", type("cp", (), {"SCS": "patched"}))
    assert instance.get_preferred_solver() == "patched"


class TestSubclassing:
    def test_override_of_get_objective_expr_is_used_and_can_call_up(self):
        class Penalised(obj.MinVariance):
            def get_objective_expr(self, g, zeta, helper):
                return super().get_objective_expr(g, zeta, helper) + cp.sum(g)

        g = variable(2)
        expr = Penalised().get_objective_expr(g, 1.0, FakeHelper(["A", "B"]))
        assert isinstance(Penalised(), obj.OptimizationObjective)
        assert value_at(expr, g, [0.5, 0.5]) == pytest.approx(0.02 + 1.0)

    def test_override_is_used_by_the_driver(self, monkeypatch):
        class Tilted(obj.MinVariance):
            """Minimum variance plus a linear preference for B."""

            def get_objective_expr(self, g, zeta, helper):
                return super().get_objective_expr(g, zeta, helper) - 0.02 * g[1]

        cov = np.diag([0.04, 0.04])
        opt = install_driver(monkeypatch, cov)
        weights = opt.portfolio_optimize(["A", "B"], "2026-06-03", Tilted())
        # min 0.04 (a^2 + b^2) - 0.02 b with a + b = 1: b = 0.625
        assert weights.to_dict() == pytest.approx({"A": 0.375, "B": 0.625}, abs=1e-3)

    def test_overridden_constructor_and_helper_method(self):
        class Fixed(obj.MaxSharpeRatio):
            def __init__(self):
                super().__init__(expected_returns={"A": 1.0, "B": 3.0})

        class Doubled(FakeHelper):
            def get_cov_matrix(self):
                return 2 * super().get_cov_matrix()

        g = variable(2)
        fixed = Fixed()
        helper = Doubled(["A", "B"])
        (con,) = fixed.get_internal_constraints(g, None, helper)
        assert value_at(fixed.get_objective_expr(g, None, helper), g, [1, 0]) == pytest.approx(0.08)
        g.value = np.array([1.0, 0.0])
        assert con.violation() == pytest.approx(0.0)


class Explosive:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __lt__(self, other):
        raise RuntimeError("lt")

    __hash__ = object.__hash__


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("args", [(None, 1.0, None), (1, 1.0, FakeHelper(["A", "B"])),
                                  (variable(2), Explosive(), FakeHelper(["A", "B"])), (None, None, None)])
def test_odd_operation_arguments_raise_ordinary_errors(name, args):
    instance = INSTANCES[name]()
    for op in (instance.get_internal_constraints, instance.get_objective_expr):
        try:
            op(*args)
        except Exception as exc:  # an ordinary Python error, never a SystemError from a broken C-level call
            assert not isinstance(exc, SystemError)


@pytest.mark.parametrize("call, error", [
    (lambda: obj.MeanVariance(risk_aversion_coefficient=None), TypeError),
    (lambda: obj.MeanVariance(risk_aversion_coefficient=Explosive()), RuntimeError),
    (lambda: obj.MinStyleDeviation({"size": 1}, priority={"size": None}), TypeError),
    (lambda: obj.MaxIndicator(pd.DataFrame({"a": [1.0]})), InvalidArgument),
])
def test_odd_constructor_arguments(call, error):
    with pytest.raises(error):
        call()
