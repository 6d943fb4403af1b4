"""Properties of the numerical building blocks, on small synthetic inputs."""

from __future__ import annotations

import numpy as np
import pytest

from velquor.riskmodel.kernels import (
    clip_psd,
    combine_vol_corr,
    constrained_wls,
    ewma_weights,
    newey_west_cov,
    shrink_correlation,
    shrink_to_groups,
    windowed_sum,
)


def _corr(c):
    d = np.sqrt(np.diag(c))
    return c / np.outer(d, d)


def _random_cov(rng, k, spread=100.0):
    q, _ = np.linalg.qr(rng.standard_normal((k, k)))
    vals = np.geomspace(1.0, 1.0 / spread, k) * 1e-4
    return (q * vals) @ q.T


class TestWindowedSum:
    @pytest.mark.parametrize("halflife", [None, 5.0, 40.0])
    @pytest.mark.parametrize("window,origin", [(17, 0), (150, 0), (150, 37), (64, 100)])
    def test_matches_direct_sum_and_skips_nan(self, halflife, window, origin):
        rng = np.random.default_rng(1)
        x = rng.standard_normal((300, 4))
        x[rng.random(x.shape) < 0.2] = np.nan
        lam = 1.0 if halflife is None else 0.5 ** (1 / halflife)
        got = windowed_sum(x, halflife, window, origin)
        for t in range(len(x)):
            lo = max(0, t - window + 1)
            w = lam ** np.arange(t - lo, -1, -1)
            np.testing.assert_allclose(got[t], np.nansum(w[:, None] * x[lo:t + 1], axis=0), atol=1e-11)

    @pytest.mark.parametrize("halflife", [None, 20.0])
    def test_value_does_not_depend_on_rows_outside_the_window(self, halflife):
        # started on a block boundary, a day's sum is the same computation whatever came before
        rng = np.random.default_rng(2)
        x = rng.standard_normal((400, 3))
        a = windowed_sum(x, halflife, 100, origin=0)
        b = windowed_sum(x[128:], halflife, 100, origin=128)
        np.testing.assert_array_equal(a[227:], b[99:])
        y = x.copy()
        y[:100] = 1e3 * rng.standard_normal((100, 3))
        np.testing.assert_allclose(a[199:], windowed_sum(y, halflife, 100)[199:], rtol=1e-9, atol=1e-12)


class TestNeweyWest:
    def test_zero_lags_is_the_plain_ewma_covariance(self):
        rng = np.random.default_rng(3)
        f = rng.standard_normal((250, 5)) * 0.01
        w = ewma_weights(60, 250)
        expected = sum(wi * np.outer(fi, fi) for wi, fi in zip(w, f)) / w.sum()
        np.testing.assert_allclose(newey_west_cov(f, w, 0), expected, rtol=1e-12)

    def test_missing_days_are_left_out(self):
        rng = np.random.default_rng(4)
        f = rng.standard_normal((100, 3))
        w = ewma_weights(30, 100)
        g = f.copy()
        g[[10, 50]] = np.nan
        keep = np.ones(100, bool)
        keep[[10, 50]] = False
        np.testing.assert_allclose(newey_west_cov(g, w, 0), newey_west_cov(f[keep], w[keep], 0), rtol=1e-12)

    def test_lags_raise_the_variance_of_positively_autocorrelated_returns(self):
        rng = np.random.default_rng(5)
        e = rng.standard_normal((20000, 1))
        f = e.copy()
        for t in range(1, len(f)):
            f[t] = 0.4 * f[t - 1] + e[t]
        w = np.ones(len(f))
        plain, nw = newey_west_cov(f, w, 0)[0, 0], newey_west_cov(f, w, 5)[0, 0]
        # variance of a sum of returns per day: (1 + rho) / (1 - rho) times the daily variance for an AR(1)
        assert nw > 1.6 * plain

    def test_combined_vol_and_corr_is_psd_with_the_vol_diagonal(self):
        rng = np.random.default_rng(6)
        f = rng.standard_normal((80, 12)) * 0.01  # fewer days than factors squared: noisy correlations
        vol = newey_west_cov(f, ewma_weights(10, 80), 3)
        corr = newey_west_cov(f, ewma_weights(40, 80), 3)
        cov = combine_vol_corr(vol, corr)
        assert np.linalg.eigvalsh(cov).min() >= -1e-15
        np.testing.assert_allclose(np.diag(cov), np.diag(vol), rtol=1e-10)


class TestCorrelationShrinkage:
    def test_keeps_variances_and_moves_every_correlation_eigenvalue_towards_one(self):
        rng = np.random.default_rng(11)
        f = rng.standard_normal((60, 15)) * np.geomspace(0.02, 0.002, 15)  # short sample: tiny eigenvalues
        cov = np.zeros((16, 16))
        cov[1:, 1:] = newey_west_cov(f, ewma_weights(30, 60), 0)  # factor 0: no members, zero variance
        w = 0.2
        out = shrink_correlation(cov, w)
        np.testing.assert_array_equal(np.diag(out), np.diag(cov))
        assert not out[0].any() and not out[:, 0].any()
        before = np.linalg.eigvalsh(_corr(cov[1:, 1:]))
        after = np.linalg.eigvalsh(_corr(out[1:, 1:]))
        np.testing.assert_allclose(after, (1 - w) * before + w, atol=1e-12)
        np.testing.assert_array_equal(out, out.T)
        assert shrink_correlation(cov, 0.0) is cov
        for bad in (-0.1, 1.5):
            with pytest.raises(ValueError):
                shrink_correlation(cov, bad)

    def test_reduces_the_understatement_of_minimum_variance_risk(self):
        rng = np.random.default_rng(12)
        k, t = 20, 120
        true = _random_cov(rng, k, spread=30.0)
        raw, shrunk = [], []
        for _ in range(30):
            est = newey_west_cov(rng.multivariate_normal(np.zeros(k), true, size=t), np.ones(t), 0)
            for c, out in ((est, raw), (shrink_correlation(est, 0.1), shrunk)):
                h = np.linalg.solve(c, np.ones(k))
                h /= h.sum()
                out.append((h @ true @ h) / (h @ c @ h))
        assert np.mean(raw) > 1.1
        assert abs(np.mean(shrunk) - 1.0) < abs(np.mean(raw) - 1.0) / 2


class TestConstrainedRegression:
    def _cross_section(self, rng, n=400, n_ind=6, n_style=3):
        industry = rng.integers(0, n_ind, n)
        industry[:n_ind] = np.arange(n_ind)
        style = rng.standard_normal((n, n_style))
        cap = np.exp(rng.normal(0, 1, n))
        return industry, style, cap

    def test_cap_weighted_industry_returns_sum_to_zero(self):
        rng = np.random.default_rng(11)
        industry, style, cap = self._cross_section(rng)
        y = rng.standard_normal(len(cap)) * 0.02
        f = constrained_wls(y, style, industry, 6, np.sqrt(cap), cap)
        ind_cap = np.bincount(industry, weights=cap, minlength=6)
        assert abs(ind_cap @ f[1:7]) < 1e-14 * ind_cap.sum()

    def test_recovers_the_factor_returns_of_noiseless_data(self):
        rng = np.random.default_rng(12)
        industry, style, cap = self._cross_section(rng)
        ind_cap = np.bincount(industry, weights=cap, minlength=6)
        f_ind = rng.standard_normal(6) * 0.01
        f_ind -= (ind_cap @ f_ind) / ind_cap[2] * (np.arange(6) == 2)
        true = np.r_[0.003, f_ind, [0.002, -0.001, 0.0005]]
        y = true[0] + f_ind[industry] + style @ true[7:]
        np.testing.assert_allclose(constrained_wls(y, style, industry, 6, np.sqrt(cap), cap), true, atol=1e-13)

    def test_industry_without_members_gets_zero(self):
        rng = np.random.default_rng(13)
        industry, style, cap = self._cross_section(rng)
        industry[industry == 4] = 0
        f = constrained_wls(rng.standard_normal(len(cap)), style, industry, 6, np.sqrt(cap), cap)
        assert f[1 + 4] == 0.0 and np.isfinite(f).all()


class TestShrinkage:
    def test_zero_intensity_is_a_no_op(self):
        rng = np.random.default_rng(14)
        sigma, cap = rng.uniform(0.01, 0.05, 200), np.exp(rng.normal(0, 1, 200))
        np.testing.assert_array_equal(shrink_to_groups(sigma, cap, 0.0), sigma)

    def test_pulls_towards_the_size_group_mean_without_overshooting(self):
        rng = np.random.default_rng(15)
        n = 500
        cap = np.exp(rng.normal(0, 1, n))
        sigma = rng.uniform(0.01, 0.05, n)
        out = shrink_to_groups(sigma, cap, 0.5, n_groups=10)
        order = np.argsort(cap, kind="stable")
        group = np.empty(n, int)
        group[order] = np.arange(n) * 10 // n
        for g in range(10):
            m = group == g
            mean = (cap[m] @ sigma[m]) / cap[m].sum()
            before, after = sigma[m] - mean, out[m] - mean
            assert np.all(np.abs(after) <= np.abs(before) + 1e-15)
            assert np.all(np.sign(after) * np.sign(before) >= 0)
        assert not np.allclose(out, sigma)


class TestClipPsd:
    def test_negative_eigenvalues_are_lifted_and_psd_input_is_untouched(self):
        a = np.array([[1.0, 0.9, 0.9], [0.9, 1.0, -0.9], [0.9, -0.9, 1.0]])
        assert np.linalg.eigvalsh(a).min() < 0
        assert np.linalg.eigvalsh(clip_psd(a)).min() >= -1e-15
        b = np.eye(3) * 2.0
        assert clip_psd(b) is not None and np.array_equal(clip_psd(b), b)


class TestSpecificFloor:
    def test_a_stock_with_vanishing_residuals_keeps_a_floor(self):
        from velquor.const import CovModel
        from velquor.riskmodel.params import HORIZONS
        from velquor.riskmodel.pipeline import SPECIFIC_FLOOR, _specific_var_series

        rng = np.random.default_rng(16)
        u = rng.standard_normal((300, 40)) * 0.02
        u[:, 0] *= 1e-9  # alone in its industry: the industry factor absorbed its return
        for cm in (CovModel.FACTOR_MODEL_DAILY, CovModel.FACTOR_MODEL_QUARTERLY):
            v0, v, cnt = _specific_var_series(u, HORIZONS[cm], 0)
            typical = np.median(np.sqrt(v0[-1, 1:]))
            assert np.sqrt(v0[-1, 0]) == pytest.approx(SPECIFIC_FLOOR * typical, rel=0.05)
            assert np.sqrt(v[-1, 0]) >= np.sqrt(v0[-1, 0]) * (1 - 1e-12)
            np.testing.assert_array_equal(v0[-1, 1:] >= (SPECIFIC_FLOOR * typical) ** 2 * 0.99, True)


class TestEstimatorConsistency:
    """Pieces of the pipeline that must agree with what the estimator actually does."""

    def test_regime_multiplier_ignores_forecast_noise_but_follows_the_regime(self):
        from velquor.riskmodel.kernels import ratio_multiplier

        rng = np.random.default_rng(11)
        days, k, hl = 252, 40, 63
        prev = rng.chisquare(20, (days, k)) / 20  # forecasts with 20 observations' worth of noise
        f2 = rng.chisquare(1, (days, k))  # realised squares of unit-variance returns
        # one ratio per factor and day would be inflated by the forecasts' noise (E[1/prev] = 20/18)
        assert np.mean(f2 / prev) > 1.05
        assert abs(ratio_multiplier(f2.sum(axis=1), prev.sum(axis=1), hl) - 1.0) < 0.05
        # returns running twice as large as forecast over the last half-life lift it well above 1
        f2[-hl:] *= 4.0
        assert ratio_multiplier(f2.sum(axis=1), prev.sum(axis=1), hl) > 1.8

    def test_noise_correction_makes_the_inverse_multiplier_unbiased(self):
        # Many short-half-life multipliers of a constant regime: 1 / m is too large on average by the noise of
        # m; the corrected multiplier takes that off and leaves a quiet history alone.
        from velquor.riskmodel.kernels import ratio_multiplier

        rng = np.random.default_rng(13)
        days, hl, trials = 40, 5, 2000
        den = np.full(days, 42.0)
        raw, corrected = np.empty(trials), np.empty(trials)
        for j in range(trials):
            num = rng.chisquare(1, (days, 42)).sum(axis=1) * rng.gamma(3.0, 1 / 3.0, days)  # shared daily shock
            raw[j] = ratio_multiplier(num, den, hl)
            corrected[j] = ratio_multiplier(num, den, hl, noise_correction=True)
        assert np.mean(1.0 / raw) > 1.02
        assert abs(np.mean(1.0 / corrected) - 1.0) < 0.3 * (np.mean(1.0 / raw) - 1.0)
        assert ratio_multiplier(den * 1.5, den, hl, noise_correction=True) == pytest.approx(1.5, rel=1e-12)

    def test_geometric_multiplier_is_steadier_and_keeps_the_level(self):
        # Daily readings with a shared fat-tailed shock (Student-t mixing): over many histories of a constant
        # regime the geometric multiplier averages 1 (its level is measured, not assumed), 1 / m stays within a
        # few percent of 1 with the noise correction, and it scatters less than the ratio of means of the same
        # half-life. A regime that has doubled shows up in full; a history too short for any reading falls
        # back to the ratio multiplier.
        from velquor.riskmodel.kernels import geometric_multiplier, ratio_multiplier

        rng = np.random.default_rng(19)
        hl, level, trials = 5, 63, 400
        days = 4 * (hl + level)
        den = np.ones(days)
        geo, ratio = np.empty(trials), np.empty(trials)
        for j in range(trials):
            num = 4.0 / rng.chisquare(6, days) * rng.chisquare(25, days) / 25
            geo[j] = geometric_multiplier(num, den, hl, level, noise_correction=True)
            ratio[j] = ratio_multiplier(num, den, hl, noise_correction=True)
        assert abs(np.mean(geo) - 1.0) < 0.06
        assert abs(np.mean(1.0 / geo) - 1.0) < 0.04
        assert np.std(geo) < 0.9 * np.std(ratio)
        num = 4.0 / rng.chisquare(6, days) * rng.chisquare(25, days) / 25
        num[-3 * hl:] *= 2.0
        assert geometric_multiplier(num, den, hl, level) > 1.5
        assert geometric_multiplier(den * 1.5, den, hl, level, noise_correction=True) == pytest.approx(1.5, rel=1e-12)
        few = np.array([np.nan, np.nan, 2.0])
        assert geometric_multiplier(few, np.ones(3), hl, level) == ratio_multiplier(few, np.ones(3), hl)

    def test_an_anchor_that_moves_with_the_readings_makes_the_multiplier_steadier_and_quicker(self):
        # The demo's law in small: a log-variance regime h (AR(1)), factor readings exp(h) times a shared
        # fat-tailed shock, and specific readings that read 0.8 h plus a regime of their own almost without
        # noise. Against the regime of the next day, the anchored multiplier's mean of x - 1 - log x (x = true
        # over forecast, the QLIKE excess) is clearly below the plain one's. A flat anchor explains nothing
        # and leaves the multiplier as it was, as does one without a reading lately; a step of the regime on
        # the last day shows at once.
        from velquor.riskmodel.kernels import geometric_multiplier

        rng = np.random.default_rng(23)
        hl, level, beta, days = 5, 63, 0.8, 4 * (5 + 63)

        def path(n):
            h = np.zeros(n)
            for t in range(1, n):
                h[t] = 0.98 * h[t - 1] + 0.14 * rng.standard_normal()
            return h

        n = 3000
        h = path(n)
        hs = 0.6 * path(n) + 0.8 * h
        num = np.exp(h) * 4.0 / rng.chisquare(6, n) * rng.chisquare(25, n) / 25
        specific = np.exp(hs + 0.05 * rng.standard_normal(n))
        den = np.ones(n)
        loss = {False: [], True: []}
        for t in range(days, n - 1, 3):
            win = slice(t - days + 1, t + 1)
            for anchored in (False, True):
                m = geometric_multiplier(num[win], den[win], hl, level, True,
                                         (specific[win], den[win]) if anchored else None, beta)
                x = np.exp(h[t + 1]) / m
                loss[anchored].append(x - 1 - np.log(x))
        assert np.mean(loss[True]) < 0.85 * np.mean(loss[False])

        win = slice(n - days, n)
        plain = geometric_multiplier(num[win], den[win], hl, level, True)
        assert geometric_multiplier(num[win], den[win], hl, level, True, (den[win], den[win]), beta) == plain
        silent = np.where(np.arange(days) < days - 4, specific[win], np.nan)  # no anchor reading lately
        assert geometric_multiplier(num[win], den[win], hl, level, True, (silent, den[win]), beta) == plain
        storm = num[win].copy(), specific[win].copy()
        storm[0][-1] *= 4.0
        storm[1][-1] *= 4.0 ** (1 / beta)
        jump = (geometric_multiplier(storm[0], den[win], hl, level, False, (storm[1], den[win]), beta)
                / geometric_multiplier(num[win], den[win], hl, level, False, (specific[win], den[win]), beta))
        slow = geometric_multiplier(storm[0], den[win], hl, level) / geometric_multiplier(num[win], den[win], hl, level)
        assert jump > 1.5 * slow > 1.5

    def test_vol_noise_is_the_sampling_variance_of_the_ewma_variance(self):
        # Over many histories, the spread of a factor's EWMA variance estimate is what _vol_noise reports;
        # fatter tails give more of it, and a missing day (NaN row) leaves it finite.
        from velquor.const import CovModel
        from velquor.riskmodel import params
        from velquor.riskmodel.kernels import ewma_weights
        from velquor.riskmodel.pipeline import FactorHistory, _vol_noise

        hz = params.HORIZONS[CovModel.FACTOR_MODEL_DAILY]
        rng = np.random.default_rng(14)
        t = hz.vol_window
        w = ewma_weights(hz.vol_halflife, t)
        f = rng.standard_normal((400, t, 2))
        f[:, :, 1] *= np.sqrt(rng.gamma(2.0, 0.5, (400, t)))  # a fatter-tailed factor
        est = np.einsum("t,mtk->mk", w, f * f) / w.sum()
        spread = est.var(axis=0) / est.mean(axis=0) ** 2
        noise = np.array([_vol_noise(FactorHistory(0, t, f[m], np.zeros((t, 1)), np.zeros((t, 1, 1)),
                                                   np.zeros((t, 1))), t - 1, 0, hz) for m in range(400)])
        np.testing.assert_allclose(noise.mean(axis=0), spread, rtol=0.2)
        assert noise.mean(axis=0)[1] > 1.5 * noise.mean(axis=0)[0]
        g = f[0].copy()
        g[-3] = np.nan
        assert np.isfinite(_vol_noise(FactorHistory(0, t, g, np.zeros((t, 1)), np.zeros((t, 1, 1)),
                                                    np.zeros((t, 1))), t - 1, 0, hz)).all()

    @staticmethod
    def _regime_history(storm: float, spec_storm: float = 1.0):
        """A daily history whose factor returns turn ``storm`` times as variable over the last weeks (its
        specific returns ``spec_storm`` times), the universe it needs and the last as-of date."""
        from types import SimpleNamespace

        from velquor.const import CovModel
        from velquor.riskmodel import params, pipeline

        hz = params.HORIZONS[CovModel.FACTOR_MODEL_DAILY]
        rng = np.random.default_rng(17)
        n_ind, n = 3, 40
        k = 1 + n_ind + len(params.STYLE_FACTORS)
        t = hz.lookback + 30
        fr = rng.standard_normal((t, k)) * 0.01
        fr[-2 * hz.regime_halflife:] *= np.sqrt(storm)
        specific = rng.standard_normal((t, n)) * 0.02
        specific[-2 * hz.regime_halflife:] *= np.sqrt(spec_storm)
        hist = pipeline.FactorHistory(
            start=params.FIRST_REGRESSION_INDEX, stop=params.FIRST_REGRESSION_INDEX + t, factor_returns=fr,
            specific=specific,
            exposures=rng.standard_normal((t, n, len(params.STYLE_FACTORS))).astype(np.float32),
            cap=np.full((t, n), 1e9), industry=np.tile(np.arange(n) % n_ind, (t, 1)).astype(np.int16))
        uni = SimpleNamespace(industry_names=[f"I{j}" for j in range(n_ind)])
        return hz, hist, uni, hist.stop - 1

    @pytest.mark.parametrize("storm", [4.0, 0.25])
    def test_both_versions_scale_their_factor_covariance_by_the_volatility_regime(self, storm, monkeypatch):
        # A history whose factor returns turn four times as variable (or a quarter) over the last weeks: V1 and
        # V2 lift (or lower) every factor variance by the same pooled multiplier; without the regime V1's
        # covariance is the plain one.
        from velquor.const import CovModel, RiskModel
        from velquor.riskmodel import params, pipeline

        hz, hist, uni, p = self._regime_history(storm)
        series = pipeline.horizon_series(hist, hz)

        def cov(rm):
            return pipeline.estimate_asof(uni, hist, p, CovModel.FACTOR_MODEL_DAILY, rm, series).factor_cov

        v1, v2 = cov(RiskModel.V1), cov(RiskModel.V2)
        monkeypatch.setattr(pipeline, "V1_FACTOR_REGIME", False)
        ratio = np.diag(v1) / np.diag(cov(RiskModel.V1))
        np.testing.assert_allclose(ratio, ratio[0], rtol=1e-12)  # one multiplier for every factor
        assert ratio[0] > 2.0 if storm > 1 else ratio[0] < 0.75
        lo = max(params.FIRST_REGRESSION_INDEX - hist.start, 0)
        mult = pipeline.fade(pipeline._factor_multiplier(hist, series, p - hist.start, lo, hz), hz.regime_halflife,
                             1)
        assert ratio[0] == pytest.approx(mult, rel=1e-12)
        assert np.trace(v2) / np.trace(v1) == pytest.approx(1.0, abs=0.3)  # V2 rides the same regime

    def test_factor_regime_takes_its_share_of_the_specific_regime(self, monkeypatch):
        # Factor returns calm, specific returns four times as variable over the last weeks: with a share s
        # both versions scale their factor covariance by (1 - s) m_factor + s m_specific, computed alike with
        # and without the batch's daily specific sums; a share of 0 leaves the factor multiplier alone.
        import dataclasses

        from velquor.const import CovModel, RiskModel
        from velquor.riskmodel import params, pipeline

        hz0, hist, uni, p = self._regime_history(1.0, spec_storm=4.0)
        i, lo = p - hist.start, max(params.FIRST_REGRESSION_INDEX - hist.start, 0)
        series = pipeline.horizon_series(hist, hz0)
        m_f = pipeline._factor_regime(hist, series, i, lo, hz0)
        m_s = pipeline._specific_regime(hist, series, i, lo, hz0)
        assert m_s > 2.0 > 1.5 > m_f

        def cov(rm, share, sums=None):
            hz = dataclasses.replace(hz0, regime_specific_share=share)
            monkeypatch.setitem(pipeline.HORIZONS, CovModel.FACTOR_MODEL_DAILY, hz)
            if sums:
                sums = pipeline._specific_regime_sums(hist, series, [i, i - 3], lo, hz)
            return pipeline.estimate_variants(uni, hist, p, CovModel.FACTOR_MODEL_DAILY, [rm], series,
                                              sums)[0].factor_cov

        for rm in (RiskModel.V1, RiskModel.V2):
            plain = cov(rm, 0.0)
            for share in (0.25, 0.5):
                ratio = np.diag(cov(rm, share)) / np.diag(plain)
                np.testing.assert_allclose(ratio, ((1 - share) * m_f + share * m_s) / m_f, rtol=1e-9)
                np.testing.assert_allclose(cov(rm, share, sums=True), cov(rm, share), rtol=1e-12)

    def test_each_version_lifts_its_factor_variances_by_its_own_share_of_the_noise(self, monkeypatch):
        # The noise lift multiplies factor k's variance by 1 + share * cv2_k, with V1's and V2's shares set
        # apart; a share of 0 leaves the covariance as it was.
        from velquor.const import CovModel, RiskModel
        from velquor.riskmodel import pipeline

        hz, hist, uni, p = self._regime_history(4.0)
        series = pipeline.horizon_series(hist, hz)
        noise = pipeline._vol_noise(hist, p - hist.start, 0, hz)
        assert (noise > 0).all()

        def cov(rm, v1_share, v2_share):
            monkeypatch.setattr(pipeline, "VOL_NOISE_LIFT_V1", v1_share)
            monkeypatch.setattr(pipeline, "VOL_NOISE_LIFT_V2", v2_share)
            return pipeline.estimate_asof(uni, hist, p, CovModel.FACTOR_MODEL_DAILY, rm, series).factor_cov

        # V2's eigenfactor adjustment acts on the lifted covariance and mixes the factors a little
        for rm, own, rtol in ((RiskModel.V1, (0.5, 0.0), 1e-9), (RiskModel.V2, (0.0, 0.5), 1e-2)):
            plain, lifted = cov(rm, 0.0, 0.0), cov(rm, *own)
            np.testing.assert_allclose(np.diag(lifted) / np.diag(plain), 1.0 + 0.5 * noise, rtol=rtol)
            np.testing.assert_array_equal(cov(rm, *own[::-1]), plain)  # the other version's share is not its own

    def test_ewma_mean_without_count_matches_the_full_series(self):
        from velquor.riskmodel.pipeline import _ewma_mean, _ewma_series

        rng = np.random.default_rng(12)
        x = rng.standard_normal((400, 5)) * 1e3
        x[100:300, 0] = np.nan  # windows with no observation at all
        x[rng.random(x.shape) < 0.3] = np.nan
        ref, _ = _ewma_series(x, 20.0, 80, 37)
        np.testing.assert_array_equal(_ewma_mean(x, 20.0, 80, 37), ref)
        assert np.isnan(ref[200:300, 0]).all()

    def test_eigen_simulation_draws_histories_as_short_as_the_estimate(self):
        # Early in the store the windows are truncated: the simulated bias must reflect the short sample
        # the estimate rests on, not the full window it will have later.
        from velquor.const import CovModel
        from velquor.riskmodel import kernels, params
        from velquor.riskmodel.pipeline import FactorHistory, _base_factor_cov, _eigen_bias_at

        hz = params.HORIZONS[CovModel.FACTOR_MODEL_DAILY]
        rng = np.random.default_rng(13)
        k, n = 8, hz.corr_window + params.MIN_FACTOR_OBS
        f = rng.multivariate_normal(np.zeros(k), _random_cov(rng, k, 30.0), size=n)
        start = params.FIRST_REGRESSION_INDEX
        hist = FactorHistory(start=start, stop=start + n, factor_returns=f, specific=np.empty((n, 0)),
                             exposures=np.empty((n, 0, 0), np.float32), cap=np.empty((n, 0)))
        early = params.FIRST_ASOF_INDEX - params.FIRST_ASOF_INDEX % params.EIGEN_REFRESH + params.EIGEN_REFRESH
        cov, _ = _base_factor_cov(hist, early - start, 0, hz)
        full = kernels.estimator_grams(params.EIGEN_SIMULATIONS, k, (hz.vol_halflife, hz.vol_window),
                                       (hz.corr_halflife, hz.corr_window), hz.nw_lags)
        short = _eigen_bias_at(hist, early, hz)
        assert short[0] > kernels.simulated_eigen_bias(cov, full)[0] + 0.02
        # once the windows are full the two agree
        late = start + n - 1 - (start + n - 1) % params.EIGEN_REFRESH
        cov, _ = _base_factor_cov(hist, late - start, 0, hz)
        np.testing.assert_allclose(_eigen_bias_at(hist, late, hz), kernels.simulated_eigen_bias(cov, full))
