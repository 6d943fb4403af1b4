"""OptimizeHelper on the session market: shapes, units, ordering, benchmark data and rejected requests."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
import pytest
import zorvata

from velquor.const import ESTIMATED_RISK_MODELS, STYLE_FACTORS, CovModel, RiskModel
from velquor.exception import InvalidArgument
from velquor.helper import OptimizeHelper
from velquor.riskmodel import service

from .riskmodel_support import DATE, FakeBenchmark

VARIANTS = [(cm, rm) for cm in CovModel for rm in ESTIMATED_RISK_MODELS]


@pytest.fixture(scope="module")
def live(market_db):
    """Stocks trading on DATE and on the day before it, in ascending order."""
    prev = zorvata.get_previous_trading_date(DATE)
    ids = set(zorvata.all_instruments("CS", prev)["order_book_id"]) & \
        set(zorvata.all_instruments("CS", DATE)["order_book_id"])
    return sorted(ids)


@pytest.fixture(scope="module")
def index_weights(market_db):
    return zorvata.index_weights("000300.XSHG", DATE)


def helper(ids, benchmark=None, cov_model=CovModel.FACTOR_MODEL_DAILY, risk_model=RiskModel.V1, fra=1.0, sra=1.0,
           date=DATE):
    return OptimizeHelper(ids, date, benchmark, cov_model, risk_model, fra, sra)


class TestCovariance:
    @pytest.mark.parametrize("cov_model,risk_model", VARIANTS, ids=lambda v: v.value)
    def test_symmetric_psd_float64_c_contiguous(self, live, cov_model, risk_model):
        cov = helper(live[:40], cov_model=cov_model, risk_model=risk_model).get_cov_matrix()
        assert cov.shape == (40, 40) and cov.dtype == np.float64 and cov.flags.c_contiguous
        assert np.array_equal(cov, cov.T)
        assert np.isfinite(cov).all()
        vals = np.linalg.eigvalsh(cov)
        assert vals.min() > 0  # the specific part makes it positive definite
        assert vals.min() >= -1e-12 * vals.max()

    def test_aversions_scale_the_factor_and_specific_parts(self, live):
        ids = live[:25]
        factor = helper(ids, fra=1.0, sra=0.0).get_cov_matrix()
        specific = helper(ids, fra=0.0, sra=1.0).get_cov_matrix()
        np.testing.assert_allclose(helper(ids, fra=2.5, sra=0.4).get_cov_matrix(), 2.5 * factor + 0.4 * specific,
                                   rtol=1e-12, atol=1e-18)
        assert np.count_nonzero(specific - np.diag(np.diag(specific))) == 0 and (np.diag(specific) > 0).all()
        assert np.linalg.matrix_rank(factor, tol=1e-12 * np.abs(factor).max()) <= 1 + 10 + len(STYLE_FACTORS)

    def test_horizons_are_in_units_of_their_days(self, live):
        ids = live[:30]
        var = {cm: np.diag(helper(ids, cov_model=cm).get_cov_matrix()).mean() for cm in CovModel}
        daily = var[CovModel.FACTOR_MODEL_DAILY]
        assert 10 < var[CovModel.FACTOR_MODEL_MONTHLY] / daily < 40
        assert 30 < var[CovModel.FACTOR_MODEL_QUARTERLY] / daily < 120
        # a typical stock of the demo market: 30 % to 80 % annualised volatility
        assert 0.3 < np.sqrt(daily * 252) < 0.8

    def test_rows_follow_the_pool_order(self, live):
        ids = live[:12]
        cov = helper(ids).get_cov_matrix()
        rev = helper(ids[::-1]).get_cov_matrix()
        # the reversed pool is a differently ordered BLAS product: equal to rounding, not bit for bit
        np.testing.assert_allclose(rev, cov[::-1, ::-1], rtol=1e-12, atol=1e-18)


class TestUnionAndBenchmark:
    def test_union_is_pool_in_pool_order_then_sorted_constituents(self, live, index_weights):
        members = list(index_weights.index)
        outside = [i for i in live if i not in index_weights.index][:3]
        pool = [members[2], outside[1], members[0], outside[0]]  # not sorted on purpose
        bench = FakeBenchmark(index_weights)
        h = helper(pool, bench)
        union = h.union_components
        assert union[:4] == pool
        assert union[4:] == sorted(set(members) - set(pool))
        assert bench.calls == [DATE]
        bw = h.benchmark_weight
        assert list(bw.index) == union
        np.testing.assert_array_equal(bw.values, index_weights.reindex(union, fill_value=0.0).values)
        assert bw[outside[0]] == 0.0 and bw[outside[1]] == 0.0

    def test_union_covariance_extends_the_pool_covariance(self, live, index_weights):
        pool = [i for i in live if i not in index_weights.index][:5] + list(index_weights.index[:2])
        h = helper(pool, FakeBenchmark(index_weights))
        union_cov = h.get_union_cov_matrix()
        m = len(h.union_components)
        assert union_cov.shape == (m, m) and m == len(pool) + len(index_weights) - 2
        np.testing.assert_allclose(union_cov[:7, :7], h.get_cov_matrix(), rtol=1e-13, atol=0)
        assert np.array_equal(union_cov, union_cov.T) and union_cov.flags.c_contiguous

    def test_without_benchmark_the_union_is_the_pool_with_zero_weights(self, live):
        pool = live[5:1:-1]
        h = helper(pool)
        assert h.benchmark is None
        assert h.union_components == pool
        assert list(h.benchmark_weight.index) == pool and (h.benchmark_weight.values == 0).all()
        np.testing.assert_array_equal(h.get_union_cov_matrix(), h.get_cov_matrix())

    def test_benchmark_style_is_the_weighted_exposure_of_its_constituents(self, live, index_weights):
        pool = live[:3]
        h = helper(pool, FakeBenchmark(index_weights))
        members = list(index_weights.index)
        expo = helper(members).get_factor_exposure()
        expected = (expo[STYLE_FACTORS].T @ index_weights.reindex(members)) / index_weights.sum()
        style = h.get_benchmark_style()
        assert list(style.index) == STYLE_FACTORS
        np.testing.assert_allclose(style.values, expected.values, rtol=1e-6, atol=1e-7)

    def test_factor_exposure_rows_follow_the_pool(self, live):
        pool = [live[7], live[1], live[4]]
        expo = helper(pool).get_factor_exposure()
        assert list(expo.index) == pool
        assert set(STYLE_FACTORS) <= set(expo.columns)
        single = helper([live[1]]).get_factor_exposure()
        np.testing.assert_array_equal(expo.loc[live[1]].values, single.iloc[0].values)

    def test_members_the_objectives_read(self, live):
        h = helper(live[:3], date=dt.datetime(2025, 6, 2, 15, 30))
        assert h.date == DATE
        assert h.prev_trading_date == dt.date(2025, 5, 30)
        assert h.order_book_ids == live[:3]


class TestStandardisedExposures:
    def test_cap_weighted_mean_zero_and_unit_std_over_the_universe(self, market_db):
        ctx = service.context()
        pos = service.resolve_asof(ctx, DATE)
        model = service.get_model(ctx, pos, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)
        style = model.style.astype(np.float64)
        w = model.cap / model.cap.sum()
        # size is standardised before any fill; the filled styles keep a cap-weighted mean near zero
        np.testing.assert_allclose(w @ style[:, 0], 0.0, atol=1e-6)
        assert style[:, 0].std() == pytest.approx(1.0, rel=1e-5)
        assert np.all(np.abs(w @ style) < 0.2)
        assert np.isfinite(style).all()


class TestRejectedRequests:
    def test_stock_without_data_is_named(self, live):
        listed_later = zorvata.all_instruments("CS").query("listed_date > '2025-06-02'")["order_book_id"]
        late = sorted(listed_later)[:2]
        with pytest.raises(InvalidArgument) as excinfo:
            helper([live[0], late[0], live[1], late[1]])
        assert str(excinfo.value) == (f"no risk model data for {late[0]}, {late[1]} as of 2025-05-30 "
                                      "(not trading in the market data yet, or no longer)")

    def test_unknown_stock_is_named(self, live):
        with pytest.raises(InvalidArgument, match=r"no risk model data for 999999\.XSHG as of"):
            helper([live[0], "999999.XSHG"])

    def test_date_before_the_history_allows(self, market_db):
        with pytest.raises(InvalidArgument) as excinfo:
            helper(["000001.XSHE"], date=dt.date(2023, 9, 1))
        text = str(excinfo.value)
        assert text.startswith("the risk model needs 189 trading days of market data before the request date; "
                               "the data starts on 2023-06-01, so the first supported date is ")
        assert text.endswith("(got 2023-09-01)")

    def test_date_before_the_market_data(self, market_db):
        with pytest.raises(InvalidArgument, match=r"^no trading date before 2020-01-01 in the market data"):
            helper(["000001.XSHE"], date="2020-01-01")

    @pytest.mark.parametrize("date", ["2026-12-02", "2031-01-06"])
    def test_date_after_the_market_data(self, live, date):
        with pytest.raises(InvalidArgument, match=r"^the market data ends on 2026-11-30: no risk model for "):
            helper(live[:2], date=date)

    def test_last_date_with_data_serves_the_next_trading_day(self, live):
        pool = [i for i in live if i in set(zorvata.all_instruments("CS", "2026-11-30")["order_book_id"])][:2]
        assert helper(pool, date="2026-12-01").prev_trading_date == dt.date(2026, 11, 30)

    @pytest.mark.parametrize("fra,sra", [(-1.0, 1.0), (1.0, float("nan")), (float("inf"), 1.0), ("1", 1.0),
                                         (True, 1.0)])
    def test_aversion_must_be_a_finite_nonnegative_number(self, live, fra, sra):
        with pytest.raises(InvalidArgument, match=r"_risk_aversion must be a finite number >= 0, got "):
            helper(live[:2], fra=fra, sra=sra)

    def test_models_are_members_or_their_values(self, live):
        a = helper(live[:3], cov_model="monthly", risk_model="v2").get_cov_matrix()
        b = helper(live[:3], cov_model=CovModel.FACTOR_MODEL_MONTHLY, risk_model=RiskModel.V2).get_cov_matrix()
        np.testing.assert_array_equal(a, b)
        with pytest.raises(InvalidArgument, match=r"^cov_model must be one of \['daily', 'monthly', 'quarterly'\]"):
            helper(live[:3], cov_model="weekly")

    def test_benchmark_constituent_without_data_is_dropped_with_a_warning(self, live, index_weights):
        from velquor.exception import OptimizerWarning

        weights = pd.concat([index_weights * 0.9, pd.Series({"999999.XSHG": 0.1})])
        h = helper(live[:2], FakeBenchmark(weights))
        with pytest.warns(OptimizerWarning, match="999999.XSHG") as record:
            union = h.union_components
        assert record[0].filename == __file__
        assert "999999.XSHG" not in union
        assert h.benchmark_weight.sum() == pytest.approx(1.0)
