"""risk_report: the parts add up, and agree with risk computed directly from the helper's matrices."""

from __future__ import annotations

import json
import math

import numpy as np
import pandas as pd
import pytest
import zorvata

from velquor.analytics import risk_report
from velquor.benchmark import IndexBenchmark
from velquor.const import CovModel, RiskModel
from velquor.exception import InvalidArgument
from velquor.helper import OptimizeHelper

from .analytics_support import DATE, INDEX


def direct_variance(ids, vector, cov_model="daily"):
    h = OptimizeHelper(list(ids), DATE, None, CovModel(cov_model), RiskModel.V1, 1.0, 1.0)
    cov = np.asarray(h.get_cov_matrix())
    return float(vector @ cov @ vector), h


@pytest.fixture(scope="module")
def active_report(weights):
    return risk_report(weights, DATE, INDEX)


class TestTotalRisk:
    @pytest.mark.parametrize("cov_model, periods", [("daily", 252), ("monthly", 12), ("quarterly", 4)])
    def test_annualised_with_the_horizon(self, weights, cov_model, periods):
        report = risk_report(weights, DATE, cov_model=cov_model)
        var, _ = direct_variance(weights.index, weights.to_numpy(), cov_model)
        assert report.summary["total_risk"] == pytest.approx(math.sqrt(var * periods), rel=1e-10)
        assert report.periods_per_year == periods

    def test_factor_and_specific_variance_make_the_total(self, weights):
        s = risk_report(weights, DATE).summary
        assert s["factor_risk"] ** 2 + s["specific_risk"] ** 2 == pytest.approx(s["total_risk"] ** 2, rel=1e-12)
        assert 0 < s["specific_risk"] < s["factor_risk"]

    def test_contributions_sum_to_the_risk(self, weights):
        report = risk_report(weights, DATE)
        total = report.summary["total_risk"]
        assert report.stocks["contribution"].sum() == pytest.approx(total, rel=1e-10)
        assert report.stocks["percent"].sum() == pytest.approx(1.0, rel=1e-10)
        assert report.factors["contribution"].sum() == pytest.approx(total, rel=1e-10)
        assert report.groups["contribution"].sum() == pytest.approx(total, rel=1e-10)
        assert list(report.groups.index) == ["country", "industry", "style", "specific"]
        for source in zorvata.INDUSTRY_SOURCES:
            table = report.industry_contributions(source)
            assert table["contribution"].sum() == pytest.approx(total, rel=1e-10)
            assert table["weight"].sum() == pytest.approx(1.0, rel=1e-12)

    def test_marginal_is_the_derivative_of_the_risk(self, weights):
        report = risk_report(weights, DATE)
        i, eps = 3, 1e-6
        bumped = weights.copy()
        bumped.iloc[i] += eps
        up = risk_report(bumped, DATE).summary["total_risk"]
        bumped.iloc[i] -= 2 * eps
        down = risk_report(bumped, DATE).summary["total_risk"]
        assert report.stocks["marginal"].iloc[i] == pytest.approx((up - down) / (2 * eps), rel=1e-5)

    def test_weights_are_used_as_given(self, weights):
        # Half the money in cash halves the risk; the order and container of the weights do not matter.
        half = risk_report(dict(weights[::-1] / 2), DATE).summary
        assert half["total_risk"] == pytest.approx(risk_report(weights, DATE).summary["total_risk"] / 2, rel=1e-12)
        assert half["weight_sum"] == pytest.approx(0.5)


class TestActiveRisk:
    def test_tracking_error_equals_the_active_risk_computed_directly(self, weights, active_report):
        h = OptimizeHelper(list(weights.index), DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY,
                           RiskModel.V1, 1.0, 1.0)
        union = h.union_components
        active = weights.reindex(union, fill_value=0.0).to_numpy() - h.benchmark_weight.to_numpy()
        cov = np.asarray(h.get_union_cov_matrix())
        te = math.sqrt(active @ cov @ active * 252)
        assert active_report.summary["tracking_error"] == pytest.approx(te, rel=1e-10)
        assert list(active_report.stocks.index) == list(union)

    def test_active_parts_add_up(self, active_report):
        s = active_report.summary
        te = s["tracking_error"]
        assert s["active_factor_risk"] ** 2 + s["active_specific_risk"] ** 2 == pytest.approx(te ** 2, rel=1e-12)
        assert active_report.stocks["active_contribution"].sum() == pytest.approx(te, rel=1e-10)
        assert active_report.factors["active_contribution"].sum() == pytest.approx(te, rel=1e-10)
        assert active_report.groups["active_percent"].sum() == pytest.approx(1.0, rel=1e-10)
        assert active_report.industry_contributions("citics")["active_contribution"].sum() == pytest.approx(te)

    def test_active_exposures_and_weights(self, weights, active_report):
        styles = active_report.styles
        h = OptimizeHelper(list(weights.index), DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY,
                           RiskModel.V1, 1.0, 1.0)
        np.testing.assert_allclose(styles["benchmark_exposure"], h.get_benchmark_style()[styles.index], atol=1e-12)
        x = h.get_factor_exposure()
        np.testing.assert_allclose(styles["exposure"], weights.to_numpy() @ x[list(styles.index)].to_numpy(),
                                   atol=1e-12)
        ind = active_report.industry_contributions("sw")
        assert ind["active_weight"].sum() == pytest.approx(0.0, abs=1e-12)
        assert ind["benchmark_weight"].sum() == pytest.approx(1.0, rel=1e-9)

    def test_the_benchmark_itself_has_no_active_risk(self, active_report):
        bench = active_report.stocks["benchmark_weight"]
        report = risk_report(bench[bench > 0], DATE, INDEX)
        assert report.summary["tracking_error"] == pytest.approx(0.0, abs=1e-9)
        assert report.stocks["active_contribution"].abs().max() == 0.0


class TestExpectedReturns:
    def test_given_returns_missing_stocks_count_as_zero(self, weights):
        mu = {weights.index[0]: 0.2, weights.index[1]: -0.1}
        s = risk_report(weights, DATE, INDEX, expected_returns=mu).summary
        assert s["expected_return"] == pytest.approx(0.2 * weights.iloc[0] - 0.1 * weights.iloc[1])
        assert not math.isnan(s["expected_active_return"])

    def test_historical_estimate_is_the_annualised_mean(self, weights):
        s = risk_report(weights, DATE, expected_returns="historical").summary
        prev = zorvata.get_previous_trading_date(DATE)
        start = zorvata.trading_date_offset(prev, -252)
        mu = zorvata.get_price_change_rate(list(weights.index), start, prev).mean() * 252
        assert s["expected_return"] == pytest.approx(float(mu.reindex(weights.index).fillna(0) @ weights))

    def test_absent_without_returns(self, weights):
        assert math.isnan(risk_report(weights, DATE).summary["expected_return"])


class TestExport:
    def test_to_dict_is_json_and_to_frame_one_row(self, active_report):
        d = json.loads(json.dumps(active_report.to_dict()))
        assert d["summary"]["tracking_error"] == pytest.approx(active_report.summary["tracking_error"])
        assert len(d["stocks"]) == len(active_report.stocks)
        assert {"factor", "contribution"} <= set(d["factors"][0])
        frame = active_report.to_frame()
        assert frame.shape[0] == 1 and frame.index[0].isoformat() == DATE
        assert "RiskReport(2026-06-01" in repr(active_report)


class TestRejected:
    @pytest.mark.parametrize("weights, message", [
        ({}, "weights hold no stock with a nonzero weight"),
        ({"000001.XSHE": 0.0}, "weights hold no stock with a nonzero weight"),
        ({"000001.XSHE": float("nan")}, "weights must be finite numbers; not for 000001.XSHE"),
        (pd.Series([0.5, 0.5], index=["000001.XSHE", "000001.XSHE"]), "weights name a stock more than once: 000001.XSHE"),
    ])
    def test_bad_weights(self, market_db, weights, message):
        with pytest.raises(InvalidArgument) as e:
            risk_report(weights, DATE)
        assert str(e.value) == message

    def test_bad_model_and_source(self, weights):
        with pytest.raises(InvalidArgument, match="cov_model must be one of"):
            risk_report(weights, DATE, cov_model="weekly")
        with pytest.raises(InvalidArgument, match="industry source must be one of"):
            risk_report(weights, DATE).industry_contributions("gics")


@pytest.mark.parametrize("factor_aversion, specific_aversion", [(1.0, 1.0), (2.5, 0.5)])
def test_helper_factor_covariance_rebuilds_the_matrix(pool, factor_aversion, specific_aversion):
    h = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2, factor_aversion,
                       specific_aversion)
    x = h.get_factor_exposure()
    f = h.get_factor_covariance()
    assert list(f.index) == list(f.columns) == list(x.columns)
    cov = h.get_cov_matrix()
    rebuilt = x.to_numpy() @ f.to_numpy() @ x.to_numpy().T + np.diag(cov.specific_variance)
    np.testing.assert_allclose(rebuilt, np.asarray(cov), rtol=1e-10, atol=1e-14)
