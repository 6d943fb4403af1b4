"""TrackingErrorLimit and TurnoverLimit: the homogenised formulas, and the bounds in solved portfolios."""

from __future__ import annotations

import math

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
from velquor.const import CovModel
from velquor.constraint import OptimizationConstraint, TrackingErrorLimit, TurnoverLimit
from velquor.exception import InvalidArgument
from velquor.objective import MaxSharpeRatio, MinTrackingError, MinVariance, RiskParity

from .constraint_support import DATE, INDEX, TOL, helper, tracking_error, turnover


OBJECTIVES = [MinVariance, MaxSharpeRatio, MinTrackingError, RiskParity]


def value_at(expr, g, values, zeta=None, zeta_value=None):
    g.value = np.asarray(values, dtype=float)
    if zeta is not None:
        zeta.value = zeta_value
    return expr.value


class TestTrackingErrorFormula:
    @pytest.mark.parametrize("cov_model", list(CovModel))
    def test_cone_is_the_annualised_tracking_error_scaled_by_zeta(self, pool, cov_model):
        h = helper(pool, cov_model=cov_model)
        w = pd.Series(np.linspace(1, 2, len(pool)), index=pool)
        w /= w.sum()
        for zeta_value in (1.0, 2.5):
            g, zeta = cp.Variable(len(pool), nonneg=True), cp.Variable(nonneg=True)
            [soc] = TrackingErrorLimit(0.05).to_constraints(g, zeta, h)
            assert isinstance(soc, cp.constraints.SOC)
            t, x = soc.args
            norm = np.linalg.norm(value_at(x, g, zeta_value * w.to_numpy(), zeta, zeta_value))
            assert norm == pytest.approx(zeta_value * tracking_error(w, h), rel=1e-9)
            assert t.value.item() == pytest.approx(0.05 * zeta_value)

    def test_factor_form_when_offered_and_dense_otherwise(self, pool, monkeypatch):
        h = helper(pool)
        g = cp.Variable(len(pool), nonneg=True)
        w = np.full(len(pool), 1 / len(pool))
        cov = h.get_union_model_cov_matrix()
        m, k = len(h.union_components), cov.factor_root.shape[1]
        [factor] = TrackingErrorLimit(0.05).to_constraints(g, 1.0, h)
        assert factor.args[1].shape == (k + m,)
        monkeypatch.setattr(h, "get_union_model_cov_matrix", lambda: np.asarray(cov).copy())
        [dense] = TrackingErrorLimit(0.05).to_constraints(g, 1.0, h)
        assert dense.args[1].shape == (m,)
        assert np.linalg.norm(value_at(dense.args[1], g, w)) == pytest.approx(
            np.linalg.norm(value_at(factor.args[1], g, w)), rel=1e-9)

    def test_aversions_do_not_change_the_measure(self, pool):
        from velquor.benchmark import IndexBenchmark
        from velquor.const import RiskModel
        from velquor.helper import OptimizeHelper

        g = cp.Variable(len(pool), nonneg=True)
        w = np.full(len(pool), 1 / len(pool))
        norms = []
        for fa, sa in ((1.0, 1.0), (3.0, 0.5)):
            h = OptimizeHelper(pool, opt.to_date(DATE), IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY,
                               RiskModel.V1, fa, sa)
            [soc] = TrackingErrorLimit(0.05).to_constraints(g, 1.0, h)
            norms.append(np.linalg.norm(value_at(soc.args[1], g, w)))
        assert norms[0] == pytest.approx(norms[1], rel=1e-9)

    def test_needs_a_benchmark(self, pool):
        with pytest.raises(InvalidArgument) as e:
            opt.portfolio_optimize(pool, DATE, cons=[TrackingErrorLimit(0.05)])
        assert str(e.value) == "TrackingErrorLimit needs a benchmark: pass benchmark= to portfolio_optimize"


class TestTrackingErrorInPortfolios:
    @pytest.mark.parametrize("objective", OBJECTIVES, ids=lambda c: c.__name__)
    def test_limit_holds_and_binds(self, pool, min_te, objective):
        free = opt.portfolio_optimize(pool, DATE, objective(), benchmark=INDEX)
        limit = min_te + 0.02
        result = opt.portfolio_optimize(pool, DATE, objective(), cons=[TrackingErrorLimit(limit)], benchmark=INDEX)
        assert result.sum() == pytest.approx(1.0) and (result >= 0).all()
        te = tracking_error(result, helper(pool))
        assert te <= limit + TOL
        if tracking_error(free, helper(pool)) > limit + 0.01:
            # The unconstrained portfolio breaks the limit: the constrained one sits on it.
            assert te == pytest.approx(limit, abs=TOL)
        else:
            assert objective is MinTrackingError


class TestTurnoverFormula:
    @pytest.mark.parametrize("zeta_value", [1.0, 3.0])
    def test_rows_measure_turnover_minus_limit(self, pool, zeta_value):
        # Holdings: two pool stocks, one stock outside the pool (sold) and 20% cash (invested).
        holdings = pd.Series({pool[0]: 0.3, pool[1]: 0.2, "OUTSIDE.XSHE": 0.3})
        w = pd.Series(0.0, index=pool)
        w[pool[0]], w[pool[2]] = 0.5, 0.5
        g, zeta = cp.Variable(len(pool), nonneg=True), cp.Variable(nonneg=True)
        [row] = TurnoverLimit(holdings, 0.4).to_constraints(g, zeta, helper(pool))
        gap = value_at(row.args[0] - row.args[1], g, zeta_value * w.to_numpy(), zeta, zeta_value)
        assert turnover(w, holdings) == pytest.approx(0.5 * (0.2 + 0.2 + 0.5 + 0.3 + 0.2))
        assert gap == pytest.approx(zeta_value * (turnover(w, holdings) - 0.4), abs=1e-12)

    def test_from_cash_everything_is_turnover(self, pool):
        g = cp.Variable(len(pool), nonneg=True)
        [row] = TurnoverLimit({}, 1.0).to_constraints(g, 1.0, helper(pool))
        assert value_at(row.args[0] - row.args[1], g, np.full(len(pool), 1 / len(pool))) == pytest.approx(0.0)


class TestTurnoverInPortfolios:
    @pytest.mark.parametrize("objective", OBJECTIVES, ids=lambda c: c.__name__)
    def test_limit_holds_and_binds(self, pool, objective):
        holdings = pd.Series(1 / 20, index=pool[:20])
        free = opt.portfolio_optimize(pool, DATE, objective(), benchmark=INDEX)
        assert turnover(free, holdings) > 0.3
        result = opt.portfolio_optimize(pool, DATE, objective(), cons=[TurnoverLimit(holdings, 0.15)],
                                        benchmark=INDEX)
        assert turnover(result, holdings) == pytest.approx(0.15, abs=TOL)

    def test_zero_limit_keeps_the_holdings(self, pool):
        holdings = pd.Series([0.5, 0.3, 0.2], index=pool[3:6])
        result = opt.portfolio_optimize(pool, DATE, cons=[TurnoverLimit(holdings, 0.0)])
        np.testing.assert_allclose(result.reindex(pool[3:6]).values, holdings.values, atol=TOL)

    def test_selling_everything_outside_the_pool_is_a_turnover_of_one(self, pool):
        holdings = pd.Series({"OUTSIDE.XSHE": 1.0})
        result = opt.portfolio_optimize(pool, DATE, cons=[TurnoverLimit(holdings, 1.0)])
        assert turnover(result, holdings) == pytest.approx(1.0)


class TestConstructorChecks:
    @pytest.mark.parametrize("limit, text", [
        (math.nan, "nan"), (math.inf, "inf"), (-0.01, "-0.01"), ("0.05", "'0.05'"), (True, "True"), (None, "None"),
    ])
    def test_tracking_error_limit(self, limit, text):
        with pytest.raises(InvalidArgument) as e:
            TrackingErrorLimit(limit)
        assert str(e.value) == f"TrackingErrorLimit: upper_limit must be a finite number >= 0, got {text}"

    @pytest.mark.parametrize("limit", [-0.1, 1.5, math.nan, None])
    def test_turnover_limit_range(self, limit):
        with pytest.raises(InvalidArgument, match=r"TurnoverLimit: upper_limit must be a finite number in \[0, 1\]"):
            TurnoverLimit({}, limit)

    @pytest.mark.parametrize("holdings, message", [
        ({"A": 0.5, "B": -0.1}, "TurnoverLimit: current_holdings must be nonnegative, got [-0.1] for ['B']"),
        ({"A": 0.7, "B": 0.4}, "TurnoverLimit: current_holdings sum to 1.1, above 1"),
        ({"A": math.nan}, "TurnoverLimit: current_holdings must be finite, got [nan] for ['A']"),
        (pd.Series([0.1, 0.2], index=["A", "A"]),
         "TurnoverLimit: current_holdings name an order_book_id more than once: ['A']"),
        ({"A": "half"}, "TurnoverLimit: current_holdings must be a Series of weights by order_book_id"),
    ])
    def test_holdings(self, holdings, message):
        with pytest.raises(InvalidArgument) as e:
            TurnoverLimit(holdings, 0.2)
        assert str(e.value) == message

    def test_keywords_defaults_and_repr(self):
        c = TurnoverLimit(upper_limit=0.25, current_holdings={"A": 0.5})
        assert c.hard is True and c.upper_limit == 0.25
        assert repr(c) == "TurnoverLimit(current_holdings=<Series of 1 entries>, upper_limit=0.25, hard=True)"
        assert repr(TrackingErrorLimit(0.04, hard=False)) == "TrackingErrorLimit(upper_limit=0.04, hard=False)"
        # sums a hair above 1 come from rounding, not from leverage
        TurnoverLimit({"A": 0.1 + 0.2, "B": 0.7}, 0.1)


class TestInterface:
    def test_instances_pickle_for_worker_processes(self, market_db):
        import pickle

        from velquor.constraint import IndustryConstraint, WildcardStyleConstraint

        for c in (TrackingErrorLimit(0.05, hard=False), TurnoverLimit({"A": 0.5}, 0.2),
                  IndustryConstraint("SW05", upper_limit=0.15, classification="sw_split_financials"),
                  WildcardStyleConstraint(-0.3, 0.3, relative=True, exclude="size")):
            copy = pickle.loads(pickle.dumps(c))
            assert type(copy) is type(c) and repr(copy) == repr(c) and vars(copy).keys() == vars(c).keys()

    def test_base_is_abstract_and_subclasses_must_build_constraints(self):
        with pytest.raises(TypeError, match="abstract"):
            OptimizationConstraint()

        class Incomplete(OptimizationConstraint):
            pass

        with pytest.raises(TypeError, match="to_constraints"):
            Incomplete()
        assert isinstance(TurnoverLimit({}, 0.5), OptimizationConstraint)

    def test_python_subclass_through_the_driver(self, pool):
        class FirstAtMost(OptimizationConstraint):
            def __init__(self, cap, hard=True):
                super().__init__(hard)
                self.cap = cap

            def to_constraints(self, g, zeta, helper):
                return [g[0] <= self.cap * zeta]

        c = FirstAtMost(0.01)
        assert repr(c) == "FirstAtMost(cap=0.01, hard=True)"
        for objective in (MinVariance(), MaxSharpeRatio()):
            result = opt.portfolio_optimize(pool[:10], DATE, objective, cons=[c])
            assert result.iloc[0] <= 0.01 + TOL
