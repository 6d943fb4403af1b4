"""Indicator maximisation and style deviation: alignment, scaling, degenerate indicators, priorities,
clipping and relative targets."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import velquor.objective as obj
from velquor.const import STYLE_FACTORS
from velquor.exception import InvalidArgument

from .objective_fakes import FakeBenchmark, FakeHelper, value_at, variable


def invalid(call):
    with pytest.raises(InvalidArgument) as excinfo:
        call()
    return str(excinfo.value)


class TestMaxIndicator:
    @pytest.mark.parametrize("indicator", [{"A": 2.0, "B": -1.0, "C": 5.0},
                                           pd.Series([5.0, -1.0, 2.0], index=["C", "B", "A"])])
    def test_rescaled_to_mean_absolute_ten_by_label(self, indicator):
        g = variable(2)
        expr = obj.MaxIndicator(indicator).get_objective_expr(g, 3.0, FakeHelper(["A", "B"]))
        assert value_at(expr, g, [0.25, 0.75]) == pytest.approx(-(40 / 3 * 0.25 - 20 / 3 * 0.75))

    def test_missing_pool_id(self):
        assert invalid(lambda: obj.MaxIndicator({"A": 1.0, "C": 2.0}).get_objective_expr(
            variable(2), 1.0, FakeHelper(["A", "B"]))) == "传入股票池中的股票有部分在 indicator_series 中找不到值"

    @pytest.mark.parametrize("indicator, message", [
        ({"A": 0.0, "B": 0, "C": 4.0}, "indicator_series 在股票池中的值全部为 0，无法按指标优化"),
        ({"A": np.nan, "B": 1.0}, "indicator_series 中以下股票的值不是有限数：['A']"),
        ({"A": 0.0, "B": np.inf}, "indicator_series 中以下股票的值不是有限数：['B']"),
        ({"A": "high", "B": None}, "indicator_series 中以下股票的值不是有限数：['A', 'B']"),
    ])
    def test_degenerate_values_are_rejected_before_the_division(self, indicator, message):
        assert invalid(lambda: obj.MaxIndicator(indicator).get_objective_expr(
            variable(2), 1.0, FakeHelper(["A", "B"]))) == message


EXPOSURE = pd.DataFrame({"size": [1.0, -1.0, 0.5], "beta": [0.2, 0.4, 1.5], "growth": [0.0, 1.0, 2.0]},
                        index=["A", "B", "C"])
W = np.array([0.2, 0.3, 0.5])


def style_value(target, weights, benchmark_style=None):
    return sum(p * (W @ EXPOSURE[s].values - target[s] - (benchmark_style or {}).get(s, 0.0)) ** 2
               for s, p in weights.items())


class TestMinStyleDeviation:
    def test_invalid_style_names_the_label_and_the_choices(self):
        assert invalid(lambda: obj.MinStyleDeviation({"size": 1.0, "x": 1.0, "y": 2.0})) == \
            f"目标风格值 x 非法，请从 {STYLE_FACTORS} 中选取"

    @pytest.mark.parametrize("priority, weights", [
        (None, {"size": 1, "beta": 1}),
        ({"size": 9}, {"size": 45, "beta": 25}),
        ({"beta": 12, "size": -3, "growth": 1}, {"size": 1, "beta": 45}),
        ({"size": 7.8, "beta": 0}, {"size": 35, "beta": 1}),
    ])
    def test_priorities(self, priority, weights):
        target = {"size": 0.1, "beta": 0.6}
        g = variable(3)
        expr = obj.MinStyleDeviation(target, priority=priority).get_objective_expr(
            g, 1.0, FakeHelper(["A", "B", "C"], exposure=EXPOSURE))
        assert value_at(expr, g, W) == pytest.approx(style_value(target, weights))

    def test_priority_table_is_read_through_the_object(self):
        class Flat(obj.MinStyleDeviation):
            PRIORITY_ADJUST_FACTOR = [3] * 10

        target = {"size": 0.1, "beta": 0.6}
        g, helper = variable(3), FakeHelper(["A", "B", "C"], exposure=EXPOSURE)
        flat = Flat(target, priority={"size": 9})
        assert value_at(flat.get_objective_expr(g, 1.0, helper), g, W) == pytest.approx(
            style_value(target, {"size": 3, "beta": 3}))
        flat.PRIORITY_ADJUST_FACTOR = list(range(10))
        assert value_at(flat.get_objective_expr(g, 1.0, helper), g, W) == pytest.approx(
            style_value(target, {"size": 9, "beta": 5}))

    def test_relative_targets_add_the_benchmark_exposure_read_first(self):
        target = {"size": 0.2, "growth": -0.1}
        bench_style = {"size": 0.5, "growth": 1.0}
        helper = FakeHelper(["A", "B", "C"], exposure=EXPOSURE, benchmark=FakeBenchmark(0.0),
                            benchmark_style=pd.Series(bench_style))
        g = variable(3)
        expr = obj.MinStyleDeviation(target, relative=True).get_objective_expr(g, 1.0, helper)
        assert helper.calls == ["get_benchmark_style", "get_factor_exposure"]
        want = style_value(target, {"size": 1, "growth": 1}, bench_style)
        assert value_at(expr, g, W) == pytest.approx(want)

    def test_absolute_mode_never_reads_the_benchmark_style(self):
        helper = FakeHelper(["A", "B", "C"], exposure=EXPOSURE, benchmark=FakeBenchmark(0.0))
        obj.MinStyleDeviation({"size": 0.2}).get_objective_expr(variable(3), 1.0, helper)
        assert helper.calls == ["get_factor_exposure"]

    def test_relative_without_benchmark(self):
        assert invalid(lambda: obj.MinStyleDeviation({"size": 0.2}, relative=True).get_objective_expr(
            variable(3), 1.0, FakeHelper(["A", "B", "C"], exposure=EXPOSURE))) == \
            "在使用相对风格偏移时，必须指定 benchmark 参数"

    def test_empty_target_is_the_constant_zero(self):
        expr = obj.MinStyleDeviation(pd.Series([], dtype=float)).get_objective_expr(
            variable(3), 1.0, FakeHelper(["A", "B", "C"], exposure=EXPOSURE))
        assert expr == 0 and type(expr) is int
