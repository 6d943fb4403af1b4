"""Industry, style and benchmark-component constraints: bounds in solved portfolios, the benchmark's side of
the relative kinds, industry classifications as of the request date, and the constructors' checks."""

from __future__ import annotations

import math

import cvxpy as cp
import numpy as np
import pytest
import zorvata

import velquor.optimize as opt
from velquor.const import STYLE_FACTORS, IndustryClassification
from velquor.constraint import (
    BenchmarkComponentWeightLimit,
    IndustryComponentLimit,
    IndustryConstraint,
    StyleConstraint,
    WildcardIndustryConstraint,
    WildcardStyleConstraint,
)
from velquor.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from velquor.objective import MaxSharpeRatio, MinTrackingError, MinVariance, RiskParity

from .constraint_support import (
    DATE,
    INDEX,
    TOL,
    benchmark_portfolio,
    helper,
    industry_weights,
    style_exposure,
)

OBJECTIVES = [MinVariance, MaxSharpeRatio, MinTrackingError]


@pytest.fixture(scope="module")
def h(pool):
    return helper(pool)


@pytest.fixture(scope="module")
def free(pool):
    """Unconstrained portfolios by objective class."""
    return {o: opt.portfolio_optimize(pool, DATE, o(), benchmark=INDEX) for o in OBJECTIVES}


def solve(pool, objective, *cons, benchmark=INDEX):
    return opt.portfolio_optimize(pool, DATE, objective(), cons=list(cons), benchmark=benchmark)


@pytest.mark.parametrize("objective", OBJECTIVES, ids=lambda c: c.__name__)
class TestBoundsHoldAndBind:
    def test_industry_cap(self, pool, h, free, objective):
        before = industry_weights(free[objective], h)
        top = before.idxmax()
        assert before[top] > 0.2
        result = solve(pool, objective, IndustryConstraint(top, upper_limit=0.1))
        assert industry_weights(result, h)[top] == pytest.approx(0.1, abs=TOL)

    def test_wildcard_industry_relative(self, pool, h, free, objective):
        assert industry_weights(free[objective], h, relative=True).abs().max() > 0.05
        result = solve(pool, objective, WildcardIndustryConstraint(-0.03, 0.03, relative=True))
        # Every industry of the union, those held only by the benchmark included.
        gaps = industry_weights(result, h, relative=True)
        assert len(gaps) == len(set(h.get_union_industry()))
        assert gaps.abs().max() == pytest.approx(0.03, abs=TOL)

    def test_style_relative(self, pool, h, free, objective):
        assert style_exposure(free[objective], h, relative=True).abs().max() > 0.4
        result = solve(pool, objective, WildcardStyleConstraint(-0.3, 0.3, relative=True))
        assert style_exposure(result, h, relative=True).abs().max() == pytest.approx(0.3, abs=TOL)

    def test_style_floor(self, pool, h, free, objective):
        floor = style_exposure(free[objective], h)["size"] + 0.3
        result = solve(pool, objective, StyleConstraint("size", lower_limit=floor))
        assert style_exposure(result, h)["size"] == pytest.approx(floor, abs=TOL)

    def test_component_cap(self, pool, h, free, objective):
        codes = h.get_union_industry()[: len(pool)]
        top = codes[free[objective].idxmax()]
        in_top = codes.to_numpy() == top
        result = solve(pool, objective, IndustryComponentLimit([top], upper_limit=0.02))
        assert free[objective][in_top].max() > 0.05
        assert result[in_top].max() == pytest.approx(0.02, abs=TOL)

    def test_benchmark_component_floor(self, pool, h, free, objective):
        members = h.benchmark_weight.iloc[: len(pool)].to_numpy() > 0
        share = free[objective][members].sum()
        floor = min(share + 0.3, 0.95)
        result = solve(pool, objective, BenchmarkComponentWeightLimit(floor))
        assert result[members].sum() == pytest.approx(floor, abs=TOL)


class TestSemantics:
    def test_name_and_code_give_the_same_rows(self, pool, h):
        names = zorvata.get_industry_names("sw")
        g = cp.Variable(len(pool), nonneg=True)
        g.value = np.linspace(0, 1, len(pool))
        by_code = IndustryConstraint(["SW05", "SW02"], 0.05, 0.2).to_constraints(g, 1.0, h)
        by_name = IndustryConstraint([names["SW05"], "SW02"], 0.05, 0.2).to_constraints(g, 1.0, h)
        for a, b in zip(by_code, by_name, strict=True):
            np.testing.assert_array_equal((a.args[0] - a.args[1]).value, (b.args[0] - b.args[1]).value)

    def test_split_financials_scheme(self, pool, h):
        c = IndustryConstraint(["SWF1", "保险"], upper_limit=0.1, classification=IndustryClassification.SW_SPLIT_FINANCIALS)
        assert c.classification is IndustryClassification.SW_SPLIT_FINANCIALS
        split = h.get_union_industry("sw_split_financials")
        merged = h.get_union_industry("sw")
        # The split scheme refines non-bank financials and agrees everywhere else.
        assert set(split[merged == "SW02"].dropna()) <= {"SWF1", "SWF2", "SWF3"}
        assert (split[merged != "SW02"] == merged[merged != "SW02"]).all()
        result = opt.portfolio_optimize(pool, DATE, MinVariance(), cons=[c])
        weights = industry_weights(result, h, "sw_split_financials")
        assert weights.reindex(["SWF1", "SWF2"], fill_value=0.0).max() <= 0.1 + TOL

    def test_industries_are_read_as_of_the_request_date(self, h, monkeypatch):
        calls = []
        real = zorvata.get_industry

        def recording(order_book_ids=None, source="sw", date=None):
            calls.append((source, date))
            return real(order_book_ids, source=source, date=date)

        monkeypatch.setattr(zorvata, "get_industry", recording)
        codes = h.get_union_industry(IndustryClassification.CITICS)
        assert calls == [("citics", h.date)]
        assert list(codes.index) == h.union_components

    def test_relative_offsets_are_the_benchmark_portfolio(self, pool, h):
        g = cp.Variable(len(pool), nonneg=True)
        g.value = np.zeros(len(pool))
        [lower] = StyleConstraint(list(STYLE_FACTORS), lower_limit=0.0, relative=True).to_constraints(g, 1.0, h)
        # `exposure >= zeta * (benchmark + 0)`: the right-hand side is the helper's own benchmark style.
        np.testing.assert_allclose(lower.args[0].value, h.get_benchmark_style().to_numpy(), rtol=1e-9)
        [row] = IndustryComponentLimit("SW05", upper_limit=0.0, relative=True).to_constraints(g, 2.0, h)
        codes = h.get_union_industry()[: len(pool)]
        expected = 2.0 * benchmark_portfolio(h).iloc[: len(pool)][codes.to_numpy() == "SW05"]
        np.testing.assert_allclose(np.asarray(row.args[1].value).ravel(), expected.to_numpy())

    def test_wildcard_exclude_frees_that_industry(self, pool, h):
        c = WildcardIndustryConstraint(upper_limit=0.12, exclude=["SW05"])
        result = opt.portfolio_optimize(pool, DATE, MaxSharpeRatio(), cons=[c])
        weights = industry_weights(result, h)
        assert weights.drop("SW05").max() <= 0.12 + TOL
        assert weights["SW05"] > 0.12 + 0.05

    def test_risk_parity_scale(self, pool, h):
        result = opt.portfolio_optimize(pool, DATE, RiskParity(), cons=[WildcardIndustryConstraint(upper_limit=0.15)])
        assert industry_weights(result, h).max() <= 0.15 + TOL

    @pytest.mark.parametrize("constraint", [
        IndustryConstraint("SW05", -0.1, 0.1, relative=True), WildcardIndustryConstraint(-0.1, 0.1, relative=True),
        IndustryComponentLimit("SW05", upper_limit=0.01, relative=True), StyleConstraint("beta", 0, relative=True),
        WildcardStyleConstraint(-1, 1, relative=True), BenchmarkComponentWeightLimit(0.5),
    ], ids=lambda c: type(c).__name__)
    def test_benchmark_kinds_need_one(self, pool, constraint):
        with pytest.raises(InvalidArgument) as e:
            opt.portfolio_optimize(pool, DATE, cons=[constraint])
        assert str(e.value) == f"{type(constraint).__name__} needs a benchmark: pass benchmark= to portfolio_optimize"

    def test_absolute_kinds_work_without_a_benchmark(self, pool, h):
        result = opt.portfolio_optimize(pool, DATE, cons=[WildcardIndustryConstraint(upper_limit=0.2),
                                                          StyleConstraint("beta", -0.5, 0.5)])
        assert industry_weights(result, h).max() <= 0.2 + TOL

    def test_wildcard_with_everything_excluded_adds_nothing(self, pool, h):
        codes = sorted(set(h.get_union_industry().dropna()))
        g = cp.Variable(len(pool), nonneg=True)
        assert WildcardIndustryConstraint(upper_limit=0.1, exclude=codes).to_constraints(g, 1.0, h) == []


VALID_STYLES = ", ".join(STYLE_FACTORS)


class TestConstructorChecks:
    @pytest.mark.parametrize("make, message", [
        (lambda: IndustryConstraint("SW01"), "IndustryConstraint: give lower_limit, upper_limit or both"),
        (lambda: StyleConstraint("beta", 0.5, 0.2), "StyleConstraint: lower_limit 0.5 is above upper_limit 0.2"),
        (lambda: IndustryConstraint("SW01", upper_limit=1.5),
         "IndustryConstraint: upper_limit must be a finite number in [0, 1] or None, got 1.5"),
        (lambda: IndustryComponentLimit("SW01", lower_limit=-0.1),
         "IndustryComponentLimit: lower_limit must be a finite number in [0, 1] or None, got -0.1"),
        (lambda: WildcardIndustryConstraint(lower_limit=-2, relative=True),
         "WildcardIndustryConstraint: lower_limit must be a finite number in [-1, 1] or None, got -2"),
        (lambda: WildcardStyleConstraint(upper_limit=math.inf),
         "WildcardStyleConstraint: upper_limit must be a finite number or None, got inf"),
        (lambda: BenchmarkComponentWeightLimit(None),
         "BenchmarkComponentWeightLimit: lower_limit must be a finite number in [0, 1], got None"),
        (lambda: StyleConstraint("momentun", 0.1), f"StyleConstraint: unknown style 'momentun'; valid styles: {VALID_STYLES}"),
        (lambda: WildcardStyleConstraint(0, 1, exclude=["beta", "Beta"]),
         f"WildcardStyleConstraint: unknown style 'Beta'; valid styles: {VALID_STYLES}"),
        (lambda: WildcardStyleConstraint(0, 1, exclude=STYLE_FACTORS),
         "WildcardStyleConstraint: exclude leaves no style to constrain"),
        (lambda: StyleConstraint([], 0.1), "StyleConstraint: styles must name at least one"),
        (lambda: IndustryConstraint(["SW01", 3], 0.1), "IndustryConstraint: industries must be a text or a list of texts, got 3 in it"),
        (lambda: IndustryConstraint(7, 0.1), "IndustryConstraint: industries must be a text or a list of texts, got 7"),
        (lambda: IndustryConstraint("SW01", 0.1, classification="gics"),
         "IndustryConstraint: classification must be one of ['sw', 'citics', 'sw_split_financials'], got 'gics'"),
    ])
    def test_message(self, market_db, make, message):
        with pytest.raises(InvalidArgument) as e:
            make()
        assert str(e.value) == message

    def test_unknown_industry_lists_the_scheme(self, market_db):
        with pytest.raises(InvalidArgument) as e:
            IndustryConstraint("SW02", 0.1, classification="sw_split_financials")
        names = zorvata.get_industry_names("sw_split_financials")
        listing = ", ".join(f"{c} ({n})" for c, n in names.items())
        assert str(e.value) == (f"IndustryConstraint: unknown industry 'SW02' under classification "
                                f"'sw_split_financials'; valid industries: {listing}")
        with pytest.raises(InvalidArgument, match="unknown industry 'nowhere'"):
            WildcardIndustryConstraint(upper_limit=0.1, exclude="nowhere")

    def test_accepted_forms(self, market_db):
        c = IndustryConstraint(industries="CI01", upper_limit=0.2, classification="CITICS", hard=False)
        assert c.industries == ["CI01"] and c.classification is IndustryClassification.CITICS and c.hard is False
        assert c.lower_limit is None and c.upper_limit == 0.2
        assert WildcardIndustryConstraint(-0.5, 0.5, relative=True).relative is True
        s = WildcardStyleConstraint(np.float32(-0.25), 0.25, exclude="size")
        assert s.exclude == ["size"] and s.lower_limit == -0.25
        assert repr(StyleConstraint(["beta", "size"], 0.1)) == (
            "StyleConstraint(styles=['beta', 'size'], lower_limit=0.1, upper_limit=None, relative=False, hard=True)")


def _infeasible(hard):
    """Per kind, a constraint the pool cannot meet (with the bounds it needs, if any)."""
    from velquor.constraint import TrackingErrorLimit, TurnoverLimit

    return [
        # Half the index is outside the pool: the tracking error cannot be 0.
        (TrackingErrorLimit(0.0, hard=hard), None),
        # Everything held outside the pool: selling it is a turnover of 1.
        (TurnoverLimit({"OUTSIDE.XSHE": 1.0}, 0.5, hard=hard), None),
        # Five constituents in the pool at 5% each reach 25% at most.
        (BenchmarkComponentWeightLimit(0.5, hard=hard), {"*": (0, 0.05)}),
        (IndustryConstraint(["SW05", "SW03"], lower_limit=0.6, hard=hard), None),
        (WildcardIndustryConstraint(lower_limit=0.2, hard=hard), None),
        (StyleConstraint("size", lower_limit=50, hard=hard), None),
        (WildcardStyleConstraint(upper_limit=-50, hard=hard), None),
        (IndustryComponentLimit("SW05", lower_limit=0.5, hard=hard), None),
    ]


class TestInfeasibleSets:
    @pytest.mark.parametrize("index", range(8), ids=lambda i: type(_infeasible(True)[i][0]).__name__)
    def test_hard_fails_soft_is_dropped_once(self, pool, index):
        hard, bnds = _infeasible(True)[index]
        with pytest.raises(OptimizationFailed) as e:
            opt.portfolio_optimize(pool, DATE, bnds=bnds, cons=[hard], benchmark=INDEX)
        assert e.value.args[0] in (cp.INFEASIBLE, cp.INFEASIBLE_INACCURATE)
        soft, _ = _infeasible(False)[index]
        plain = opt.portfolio_optimize(pool, DATE, bnds=bnds, benchmark=INDEX)
        with pytest.warns(OptimizerWarning) as w:
            result = opt.portfolio_optimize(pool, DATE, bnds=bnds, cons=[soft], benchmark=INDEX)
        assert [str(x.message) for x in w] == ["约束无法满足，放弃所有软约束重试"]
        assert w[0].filename == __file__
        np.testing.assert_allclose(result.to_numpy(), plain.to_numpy(), atol=TOL)
