"""diagnose: the elastic relaxation of an infeasible request names the constraints that must give."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pytest

import velquor.optimize as opt
from velquor.constraint import (
    IndustryConstraint,
    OptimizationConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    diagnose,
)
from velquor.exception import InvalidArgument, OptimizerWarning
from velquor.objective import MaxSharpeRatio, MinTrackingError

from .constraint_support import DATE, INDEX, TOL

COLUMNS = ["constraint", "kind", "hard", "relaxation", "rows", "alone"]


class TestFeasible:
    def test_empty_frame(self, pool):
        frame = diagnose(pool, DATE, MaxSharpeRatio(), bnds={"*": (0, 0.1)},
                         cons=[WildcardIndustryConstraint(upper_limit=0.3), TurnoverLimit({}, 1.0)])
        assert list(frame.columns) == COLUMNS and frame.empty and frame.index.name == "item"

    def test_pool_of_one_is_never_infeasible(self, pool):
        frame = diagnose(pool[:1], DATE, cons=[IndustryConstraint("SW05", lower_limit=1.0)])
        assert frame.empty


class TestInfeasible:
    def test_tracking_error_needs_the_gap_to_the_minimum(self, pool, min_te):
        limit = min_te / 2
        frame = diagnose(pool, DATE, MinTrackingError(), benchmark=INDEX, cons=[TrackingErrorLimit(limit)])
        assert list(frame.index) == [0]
        row = frame.loc[0]
        assert (row["kind"], row["hard"], row["rows"]) == ("TrackingErrorLimit", True, 1)
        assert row["constraint"] == f"TrackingErrorLimit(upper_limit={limit!r}, hard=True)"
        assert row["relaxation"] == pytest.approx(min_te - limit, abs=TOL)
        # Relaxed by what diagnose reports, the request solves.
        result = opt.portfolio_optimize(pool, DATE, MinTrackingError(), benchmark=INDEX,
                                        cons=[TrackingErrorLimit(limit + row["relaxation"] + 1e-3)])
        assert result.sum() == pytest.approx(1.0)

    def test_items_sorted_largest_first_soft_ones_included(self, pool):
        # Selling a full position held outside the pool is a turnover of 1: the 0.6 limit gives 0.4.
        cons = [
            StyleConstraint("beta", -0.5, 0.5),
            IndustryConstraint(["SW05", "SW03"], lower_limit=0.6, hard=False),
            TurnoverLimit({"OUTSIDE.XSHE": 1.0}, 0.6),
        ]
        frame = diagnose(pool, DATE, bnds={"*": (0, 0.05)}, cons=cons)
        assert list(frame["relaxation"]) == sorted(frame["relaxation"], reverse=True)
        assert 0 not in frame.index
        assert frame.loc[2, "relaxation"] == pytest.approx(0.4, abs=1e-6)
        assert not frame.loc[1, "hard"] and frame.loc[2, "hard"]
        assert frame.loc[1, "kind"] == "IndustryConstraint" and frame.loc[1, "rows"] >= 1

    def test_bounds_are_an_item(self, pool):
        # 21 stocks at most 5% each cannot fill an industry floor of 90%.
        frame = diagnose(pool, DATE, bnds={"*": (0, 0.05)}, cons=[IndustryConstraint("SW05", lower_limit=0.9)])
        assert set(frame.index) <= {"bnds", 0} and len(frame) >= 1
        assert frame.loc[:, "kind"].isin(["bnds", "IndustryConstraint"]).all()

    def test_python_constraint_and_equality_rows(self, pool):
        class FirstTwoEqual(OptimizationConstraint):
            def to_constraints(self, g, zeta, helper):
                return [g[0] == 0.7 * zeta, g[1] == 0.7 * zeta]

        frame = diagnose(pool, DATE, cons=[FirstTwoEqual()])
        # 0.7 + 0.7 exceeds the budget by 0.4, shared between the two rows in some way.
        assert list(frame["kind"]) == ["FirstTwoEqual"]
        assert 0.2 - 1e-6 <= frame.iloc[0]["relaxation"] <= 0.4 + 1e-6


class Scaled(OptimizationConstraint):
    """`inner` measured in `k` times its units: every row multiplied by k."""

    def __init__(self, inner, k):
        self.inner, self.k = inner, k

    def to_constraints(self, g, zeta, helper):
        rows = self.inner.to_constraints(g, zeta, helper)
        assert all(isinstance(r, cp.constraints.Inequality) for r in rows)
        return [self.k * r.expr <= 0 for r in rows]


class TestOwnUnits:
    def test_alone_is_the_gap_for_either_side(self, pool):
        cons = [IndustryConstraint("SW05", upper_limit=0.2), IndustryConstraint("SW05", lower_limit=0.3)]
        frame = diagnose(pool, DATE, cons=cons)
        assert sorted(frame.index) == [0, 1]
        assert frame["alone"].to_numpy() == pytest.approx([0.1, 0.1], abs=1e-6)
        # Together they give the gap once, shared in some way.
        assert frame["relaxation"].sum() == pytest.approx(0.1, abs=1e-6)

    def test_alone_is_nan_when_that_constraint_cannot_restore_feasibility(self, pool):
        # Two stocks at 60% each overfill the budget whatever the cap on a third does.
        class AtLeast(OptimizationConstraint):
            def __init__(self, k, share):
                self.k, self.share = k, share

            def to_constraints(self, g, zeta, helper):
                return [g[self.k] >= self.share * zeta]

        frame = diagnose(pool, DATE, cons=[AtLeast(0, 0.6), AtLeast(1, 0.6), AtLeast(2, 0.1)])
        assert list(frame.index) == [0, 1] and frame["alone"].to_numpy() == pytest.approx([0.3, 0.3], abs=1e-6)
        # Three floors of 60%: no one of them can give enough, together they give 0.8.
        frame = diagnose(pool, DATE, cons=[AtLeast(k, 0.6) for k in range(3)])
        assert sorted(frame.index) == [0, 1, 2] and frame["alone"].isna().all()
        assert frame["relaxation"].sum() == pytest.approx(0.8, abs=1e-6)

    def test_joint_relaxation_does_not_depend_on_a_constraints_units(self, pool):
        def run(k):
            cons = [Scaled(IndustryConstraint("SW05", lower_limit=0.9), k), StyleConstraint("beta", upper_limit=0.0)]
            return diagnose(pool, DATE, bnds={"*": (0, 0.05)}, cons=cons).sort_index(key=lambda i: i.map(str))

        base, scaled = run(1.0), run(100.0)
        assert list(base.index) == list(scaled.index) and 0 in base.index
        for column in ("relaxation", "alone"):
            unit = np.where(base.index == 0, 100.0, 1.0)
            np.testing.assert_allclose(scaled[column].to_numpy(), base[column].to_numpy() * unit, rtol=1e-4,
                                       atol=1e-6)
        assert list(base["rows"]) == list(scaled["rows"])


class TestArguments:
    def test_benchmark_rule_of_the_driver(self, pool):
        with pytest.raises(InvalidArgument) as e:
            diagnose(pool, DATE, MinTrackingError())
        assert str(e.value) == "对于目标函数 MinTrackingError，必须传入 benchmark 参数"

    def test_screening_warning_points_at_the_caller(self, pool):
        with pytest.warns(OptimizerWarning) as w:
            diagnose(pool + [INDEX], DATE)
        assert [str(x.message) for x in w] == [f"{INDEX} 不是股票，被剔除"]
        assert w[0].filename == __file__

    def test_signature_mirrors_portfolio_optimize(self):
        import inspect

        mine = inspect.signature(diagnose).parameters
        theirs = inspect.signature(opt.portfolio_optimize).parameters
        assert list(mine) == list(theirs)
        assert mine["objective"].default is theirs["objective"].default
