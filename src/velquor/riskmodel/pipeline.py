"""The estimation pipeline: exposures, daily factor returns and, for each date, the factor covariance and
specific variances of every requested model variant.

A model as of trading day p uses data up to the close of p only. Every window is finite and truncated only
at the start of the store, so an estimate depends on its own window of data and not on the range it was
built in (up to rounding).
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, field
from typing import Callable, Iterable

import numpy as np

from zorvata.infra import single_threaded_blas

from ..const import CovModel, RiskModel
from . import native
from .data import Universe, load_panel
from .exposures import row_median, style_exposures
from .kernels import (
    BLOCK,
    clip_psd,
    combine_vol_corr,
    constrained_wls,
    apply_eigen_bias,
    decay,
    estimator_grams,
    ewma_weights,
    fade,
    newey_west_cov,
    ratio_multiplier,
    geometric_multiplier,
    shrink_correlation,
    shrink_to_groups,
    simulated_eigen_bias,
    weighted_lstsq,
    windowed_sum,
)
from .requirements import check_requirements
from .params import (
    EIGEN_REFRESH,
    EIGEN_SCALE,
    EIGEN_SIMULATIONS,
    EXPOSURE_LOOKBACK,
    FIRST_ASOF_INDEX,
    FIRST_REGRESSION_INDEX,
    HORIZONS,
    MIN_LISTED_DAYS,
    REGIME_NOISE_CORRECTION,
    V1_FACTOR_REGIME,
    VOL_NOISE_LIFT_V1,
    VOL_NOISE_LIFT_V2,
    Horizon,
    factor_count,
)

__all__ = ["Estimate", "FactorHistory", "estimate_range", "factor_history", "estimate_asof", "MIN_LISTED_DAYS"]

#: Specific-risk history below which the structural model takes over completely.
MIN_SPECIFIC_OBS = 21
#: Returns are capped at this many robust standard deviations about the day's median in the regression...
REGRESSION_CAP_MADS = 5.0
#: ... and specific returns at this many in the specific-risk estimate.
SPECIFIC_CAP_MADS = 8.0
#: Lowest specific volatility, as a fraction of the day's median over stocks with enough history.
SPECIFIC_FLOOR = 0.25


@dataclass
class Estimate:
    """One model variant as of one date. Rows are the stocks trading that day (universe positions)."""

    asof: int  # calendar position of the as-of date
    rows: np.ndarray  # universe positions of the covered stocks, ascending
    style: np.ndarray  # (n, styles) float32
    industry: np.ndarray  # (n,) industry numbers as of the date (NO_INDUSTRY: none)
    cap: np.ndarray  # (n,)
    factor_cov: np.ndarray  # (K, K), in units of the horizon
    specific_var: np.ndarray  # (n,), in units of the horizon


@dataclass
class FactorHistory:
    """Daily factor returns and specific returns over calendar positions ``start .. stop - 1``.

    Row i holds the returns of day ``start + i`` explained by the exposures as of the day before; days before
    the first regression are NaN.
    """

    start: int
    stop: int
    factor_returns: np.ndarray  # (T, K)
    specific: np.ndarray  # (T, N)
    exposures: np.ndarray  # (T, N, styles) float32, as of each day's close
    cap: np.ndarray  # (T, N)
    industry: np.ndarray | None = None  # (T, N) int16, as of each day's close (None: read from the universe)
    eigen_bias: dict = field(default_factory=dict)  # (anchor position, horizon) -> simulated bias


def robust_cap(x: np.ndarray, mask: np.ndarray, mads: float) -> np.ndarray:
    """``x`` clipped to the median +- ``mads`` robust standard deviations (1.4826 MAD) of ``x[mask]``."""
    ref = x[mask & np.isfinite(x)]
    if ref.size == 0:
        return x
    med = np.median(ref)
    band = mads * 1.4826 * np.median(np.abs(ref - med))
    if not band > 0:
        return x
    return np.clip(x, med - band, med + band)


def factor_history(con, uni: Universe, start: int, stop: int,
                   progress: Callable[[int], None] | None = None) -> FactorHistory:
    """Exposures and regressions for calendar positions ``start .. stop - 1``.

    The regression of day t explains the one-day returns of day t by the exposures and industries as of
    the close of day t - 1, over the estimation universe: stocks listed at least MIN_LISTED_DAYS days
    before, trading on both days (a return after a suspension spans several days and is left out) and
    classified in an industry. Returns are capped at REGRESSION_CAP_MADS robust standard deviations about
    the day's median first, so one wild print cannot move the factor returns. Specific returns are kept
    for every stock with a one-day return, capped the same way at SPECIFIC_CAP_MADS.
    """
    pstart = max(0, start - 1 - EXPOSURE_LOOKBACK - 2)
    pstart -= pstart % BLOCK  # windowed sums are assembled from whole blocks
    panel = load_panel(con, uni, pstart, stop)
    off = start - pstart
    # exposures from the day before `start` on: row i of `expo` is calendar position start - 1 + i
    e0 = max(off - 1, 0)
    expo = style_exposures(panel, uni, e0)
    if native.enabled():  # read by nothing after the styles: freed now, they serve the outputs still to come
        panel.ret = panel.turnover = panel.book = panel.earnings = panel.sales = panel.debt = panel.growth = None
    n_days, n = stop - start, len(uni.ids)
    k = factor_count(uni)
    n_ind = len(uni.industry_names)
    fr = np.full((n_days, k), np.nan)
    listed_pos = np.searchsorted(uni.dates, uni.listed)
    if native.enabled():
        resid = _native_regressions(panel, expo, off, e0, start, n_days, listed_pos, n_ind, fr)
        if progress is not None:
            progress(n_days)
    else:
        resid = np.full((n_days, n), np.nan)
        for i in range(n_days):
            t = start + i
            if t >= FIRST_REGRESSION_INDEX and off + i - 1 >= 0:
                _regress_day(panel, expo[off + i - 1 - e0], off + i, t, listed_pos, n_ind, k, fr[i], resid[i])
            if progress is not None:
                progress(1)
    return FactorHistory(start=start, stop=stop, factor_returns=fr, specific=resid,
                         exposures=expo[off - e0:], cap=panel.cap[off:], industry=panel.industry[off:])


def _regress_day(panel, x: np.ndarray, row: int, t: int, listed_pos: np.ndarray, n_ind: int, k: int,
                 fr: np.ndarray, resid: np.ndarray) -> None:
    """The regression of calendar position ``t`` (panel row ``row``) on the exposures ``x`` of the day before,
    written into ``fr`` and ``resid`` (left NaN when too few stocks qualify)."""
    ind = panel.industry[row - 1].astype(np.int64)
    cap_prev = panel.cap[row - 1]
    y = panel.ret_clean[row]
    has = np.isfinite(cap_prev) & np.isfinite(y)
    est = has & (t - 1 - listed_pos >= MIN_LISTED_DAYS) & (ind >= 0)
    if est.sum() <= k:
        return
    idx = np.flatnonzero(est)
    yc = robust_cap(y, est, REGRESSION_CAP_MADS)
    f = constrained_wls(yc[idx], x[idx].astype(np.float64), ind[idx], n_ind, np.sqrt(cap_prev[idx]), cap_prev[idx])
    fr[:] = f
    hidx = np.flatnonzero(has)
    xs = x[hidx].astype(np.float64)
    ih = ind[hidx]
    fitted = f[0] + np.where(ih >= 0, f[1 + ih], 0.0) + xs @ f[1 + n_ind:]
    u = np.full(len(y), np.nan)
    u[hidx] = y[hidx] - fitted
    resid[:] = robust_cap(u, est, SPECIFIC_CAP_MADS)


def _native_regressions(panel, expo: np.ndarray, off: int, e0: int, start: int, n_days: int,
                        listed_pos: np.ndarray, n_ind: int, fr: np.ndarray) -> np.ndarray:
    """Every day's regression at once in the native kernel (days side by side on the cores), factor returns
    written into ``fr``; returns the specific returns. A day whose normal equations are singular is solved by
    ``_regress_day``."""
    i0 = max(0, 1 - off)  # the first day with a panel row before it
    n = panel.cap.shape[1]
    if i0 >= n_days:
        return np.full((n_days, n), np.nan)
    prev = slice(off + i0 - 1, off + n_days - 1)
    y = panel.ret_clean[off + i0:off + n_days]
    cap = panel.cap[prev]
    ind = panel.industry[prev]
    t = start + np.arange(i0, n_days)
    has = np.isfinite(cap) & np.isfinite(y)
    est = has & (listed_pos[None, :] <= (t - 1 - MIN_LISTED_DAYS)[:, None]) & (ind >= 0)
    x = expo[off + i0 - 1 - e0:off + n_days - 1 - e0]
    f, u, failed = native.regressions(y, x, ind, cap, est, has, t >= FIRST_REGRESSION_INDEX, n_ind,
                                      REGRESSION_CAP_MADS, SPECIFIC_CAP_MADS)
    fr[i0:] = f
    resid = u if i0 == 0 else np.concatenate([np.full((i0, n), np.nan), u])
    for j in np.flatnonzero(failed):
        _regress_day(panel, x[j], off + i0 + j, int(t[j]), listed_pos, n_ind, fr.shape[1], fr[i0 + j], resid[i0 + j])
    return resid


def _ewma_series(x: np.ndarray, halflife: float, window: int, origin: int) -> tuple[np.ndarray, np.ndarray]:
    """Windowed EWMA mean of x over its finite entries, and the count of finite entries in the window
    (row 0 of x is calendar position ``origin``)."""
    ok = np.isfinite(x)
    num = windowed_sum(np.where(ok, x, 0.0), halflife, window, origin)
    den = windowed_sum(ok.astype(float), halflife, window, origin)
    cnt = windowed_sum(ok.astype(float), None, window, origin)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(cnt > 0, num / den, np.nan), cnt


def _ewma_mean(x: np.ndarray, halflife: float, window: int, origin: int) -> np.ndarray:
    """The mean of ``_ewma_series`` alone, without the count. One observation in the window weighs at
    least decay**(window - 1); a weight sum below half of that is rounding left by the window's
    subtraction, i.e. no observation."""
    ok = np.isfinite(x)
    num = windowed_sum(np.where(ok, x, 0.0), halflife, window, origin)
    den = windowed_sum(ok.astype(float), halflife, window, origin)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(den > 0.5 * decay(halflife) ** (window - 1), num / den, np.nan)


def _lagged(x: np.ndarray, lag: int) -> np.ndarray:
    out = np.full_like(x, np.nan)
    out[lag:] = x[:-lag]
    return out


def _specific_var_series(u: np.ndarray, hz: Horizon, origin: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Daily specific variance (plain EWMA), its Newey-West version and the observation count, per day."""
    v0, cnt = _ewma_series(u * u, hz.spec_halflife, hz.spec_window, origin)
    v = v0.copy()
    for lag in range(1, hz.spec_nw_lags + 1):
        c = _ewma_mean(u * _lagged(u, lag), hz.spec_halflife, hz.spec_window, origin)
        v = v + (1.0 - lag / (hz.spec_nw_lags + 1.0)) * 2.0 * np.nan_to_num(c)
    # Lag terms can only correct the daily variance, never wipe it out.
    v = np.maximum(v, 0.5 * v0)
    # A stock that (nearly) makes up its industry on its own leaves a residual of almost nothing: its
    # specific risk sits in the industry factor's return. A floor at a fraction of the day's typical
    # specific volatility keeps optimisers from reading such a stock as riskless, and keeps it from blowing
    # up the regime statistic through a vanishing denominator.
    typical = row_median(np.where(cnt >= MIN_SPECIFIC_OBS, np.sqrt(v0), np.nan))
    floor = (SPECIFIC_FLOOR * np.nan_to_num(typical, nan=0.0)) ** 2
    return np.maximum(v0, floor), np.maximum(v, floor), cnt


def _factor_var_series(fr: np.ndarray, hz: Horizon, origin: int) -> tuple[np.ndarray, np.ndarray]:
    """Each day's EWMA factor variance forecast (volatility half-life) and the observations it rests on."""
    return _ewma_series(fr * fr, hz.vol_halflife, hz.vol_window, origin)


def _regime_window(i: int, lo: int, halflife: int) -> slice:
    return slice(max(lo, i - 4 * halflife + 1), i + 1)


def _factor_regime(hist: FactorHistory, series: dict, i: int, lo: int, hz: Horizon) -> float:
    """How much larger factor returns have lately been than forecast the day before, as of row ``i``.

    Every factor counts alike: each is measured in units of its variance forecast as of ``i``.
    """
    win = _regime_window(i, lo, hz.regime_halflife + (hz.regime_level_halflife or 0))
    if win.start == 0:
        win = slice(1, win.stop)
    f2 = hist.factor_returns[win] ** 2
    prev = series["fvar"][win.start - 1:win.stop - 1]
    pcnt = series["fcnt"][win.start - 1:win.stop - 1]
    norm = series["fvar"][i]
    ok = np.isfinite(f2) & np.isfinite(prev) & (pcnt >= MIN_SPECIFIC_OBS) & (prev > 0) & (norm > 0)
    with np.errstate(invalid="ignore", divide="ignore"):
        num = np.where(ok, f2 / norm, 0.0).sum(axis=1)
        den = np.where(ok, prev / norm, 0.0).sum(axis=1)
    num = np.where(ok.any(axis=1), num, np.nan)
    if hz.regime_level_halflife:
        anchor = _specific_sums(hist, series, i, win) if hz.regime_specific_beta else None
        return geometric_multiplier(num, den, hz.regime_halflife, hz.regime_level_halflife, REGIME_NOISE_CORRECTION,
                                    anchor, hz.regime_specific_beta, hz.regime_anchor_halflife)
    return ratio_multiplier(num, den, hz.regime_halflife, REGIME_NOISE_CORRECTION)


def _specific_window(i: int, lo: int, hz: Horizon) -> slice:
    win = _regime_window(i, lo, hz.spec_regime)
    return slice(1, win.stop) if win.start == 0 else win


def _specific_regime_sums(hist: FactorHistory, series: dict, rows: list[int], lo: int, hz: Horizon) -> dict:
    """The native daily sums of ``_specific_regime`` as of each history row of ``rows``, in one pass over the
    rows their windows cover: {row: (num, den)}."""
    wins = [_specific_window(i, lo, hz) for i in rows]
    r0, r1 = min(w.start for w in wins), max(w.stop for w in wins)
    num, den = native.specific_regime(hist.specific, series["var0"], series["cnt"], hist.cap, r0, r1, rows,
                                      MIN_SPECIFIC_OBS)
    return {i: (num[d, w.start - r0:w.stop - r0], den[d, w.start - r0:w.stop - r0])
            for d, (i, w) in enumerate(zip(rows, wins))}


def _specific_regime(hist: FactorHistory, series: dict, i: int, lo: int, hz: Horizon,
                     sums: dict | None = None) -> float:
    """The same for specific returns, stocks weighted by their previous day's cap. ``sums``: the native
    pipeline's daily sums of a batch of dates (``_specific_regime_sums``)."""
    if native.enabled() and sums:
        num, den = sums[i]
    else:
        num, den = _specific_sums(hist, series, i, _specific_window(i, lo, hz))
    return ratio_multiplier(num, den, hz.spec_regime, REGIME_NOISE_CORRECTION)


def _specific_sums(hist: FactorHistory, series: dict, i: int, win: slice) -> tuple[np.ndarray, np.ndarray]:
    """Each day of ``win`` (which starts at row 1 or later): the cap-weighted squared specific returns and
    the variances forecast for them the day before, every stock in units of its variance as of row ``i``."""
    if native.enabled():
        num, den = native.specific_regime(hist.specific, series["var0"], series["cnt"], hist.cap, win.start,
                                          win.stop, [i], MIN_SPECIFIC_OBS)
        return num[0], den[0]
    u2 = hist.specific[win] ** 2
    prev = series["var0"][win.start - 1:win.stop - 1]
    pcnt = series["cnt"][win.start - 1:win.stop - 1]
    cap = hist.cap[win.start - 1:win.stop - 1]
    norm = series["var0"][i]
    ok = np.isfinite(u2) & np.isfinite(prev) & (pcnt >= MIN_SPECIFIC_OBS) & np.isfinite(cap) & (norm > 0)
    with np.errstate(invalid="ignore", divide="ignore"):
        w = np.where(ok, cap / norm, 0.0)
        num = np.where(ok.any(axis=1), (w * np.where(ok, u2, 0.0)).sum(axis=1), np.nan)
        den = (w * np.where(ok, prev, 0.0)).sum(axis=1)
    return num, den


def _structural(sigma: np.ndarray, full: np.ndarray, style: np.ndarray, industry: np.ndarray,
                n_ind: int, cap: np.ndarray) -> np.ndarray:
    """Specific volatility predicted from exposures, fitted on the stocks with a full history."""
    dummies = np.zeros((len(sigma), n_ind))
    dummies[industry >= 0, industry[industry >= 0]] = 1.0
    design = np.hstack([dummies, style.astype(np.float64)])
    fit = full & (sigma > 0)
    if fit.sum() <= design.shape[1]:
        ref = sigma[fit]
        return np.full(len(sigma), np.sqrt(np.mean(ref**2)) if ref.size else np.nan)
    coef = weighted_lstsq(design[fit], np.log(sigma[fit]), np.sqrt(cap[fit]))
    pred = np.exp(design @ coef)
    scale = np.sum(cap[fit] * sigma[fit] / pred[fit]) / np.sum(cap[fit])  # undoes the log-fit's bias
    return scale * pred


def _base_factor_cov(hist: FactorHistory, i: int, lo: int, hz: Horizon) -> tuple[np.ndarray, np.ndarray]:
    """Newey-West factor covariance from history row ``i`` back, with its correlation weights."""
    fr = hist.factor_returns
    f_vol = fr[max(lo, i - hz.vol_window + 1):i + 1]
    f_corr = fr[max(lo, i - hz.corr_window + 1):i + 1]
    w_vol = ewma_weights(hz.vol_halflife, len(f_vol))
    w_corr = ewma_weights(hz.corr_halflife, len(f_corr))
    return combine_vol_corr(newey_west_cov(f_vol, w_vol, hz.nw_lags),
                            newey_west_cov(f_corr, w_corr, hz.nw_lags)), w_corr


def _vol_noise(hist: FactorHistory, i: int, lo: int, hz: Horizon) -> np.ndarray:
    """Relative sampling variance of each factor's EWMA variance as of history row ``i``: the weighted scatter
    of the squared returns about the estimate, over the squared estimate."""
    f = hist.factor_returns[max(lo, i - hz.vol_window + 1):i + 1]
    valid = ~np.isnan(f).any(axis=1)
    w = np.where(valid, ewma_weights(hz.vol_halflife, len(f)), 0.0)
    f2 = np.where(valid[:, None], f * f, 0.0)
    total = w.sum()
    var = (w[:, None] * f2).sum(axis=0) / total
    with np.errstate(invalid="ignore", divide="ignore"):
        cv2 = (w[:, None] ** 2 * (f2 - var) ** 2).sum(axis=0) / (total * var) ** 2
    return np.where(np.isfinite(cv2), cv2, 0.0)


def eigen_anchor(p: int) -> int:
    """The date whose estimate sets the eigenfactor bias used as of ``p``: the spectrum moves slowly, so
    the simulation is refreshed every EIGEN_REFRESH trading days (never from a date after ``p``)."""
    return max(p - p % EIGEN_REFRESH, FIRST_ASOF_INDEX)


def _eigen_bias_at(hist: FactorHistory, p: int, hz: Horizon) -> np.ndarray:
    anchor = eigen_anchor(p)
    bias = hist.eigen_bias.get((anchor, hz))
    if bias is None:
        lo = max(FIRST_REGRESSION_INDEX - hist.start, 0)
        i = anchor - hist.start
        cov, _ = _base_factor_cov(hist, i, lo, hz)
        # Early in the store the windows are truncated: the simulation draws histories as long as the ones
        # the estimate rests on, or it would understate the noise of exactly those estimates.
        n_vol, n_corr = min(hz.vol_window, i - lo + 1), min(hz.corr_window, i - lo + 1)
        grams = estimator_grams(EIGEN_SIMULATIONS, len(cov), (hz.vol_halflife, n_vol),
                                (hz.corr_halflife, n_corr), hz.nw_lags)
        bias = hist.eigen_bias[(anchor, hz)] = simulated_eigen_bias(cov, grams)
    return bias


def _factor_cov(hist: FactorHistory, i: int, lo: int, hz: Horizon) -> tuple[np.ndarray, np.ndarray]:
    """The factor covariance as of history row ``i`` before the variant's own steps (both variants share it),
    and the relative sampling variance of each factor's variance (``_vol_noise``)."""
    cov, _ = _base_factor_cov(hist, i, lo, hz)
    return cov, _vol_noise(hist, i, lo, hz)


def _factor_multiplier(hist: FactorHistory, series: dict, i: int, lo: int, hz: Horizon,
                       sums: dict | None = None) -> float:
    """The factor regime multiplier as of row ``i``: the factor returns' own, blended with the specific
    returns' by the horizon's ``regime_specific_share``."""
    m = _factor_regime(hist, series, i, lo, hz)
    share = hz.regime_specific_share
    if share:
        m = (1.0 - share) * m + share * _specific_regime(hist, series, i, lo, hz, sums)
    return m


def _variant_factor_cov(hist: FactorHistory, series: dict, shared: tuple[np.ndarray, np.ndarray], p: int, i: int,
                        lo: int, hz: Horizon, risk_model: RiskModel, multiplier: Callable[[], float]) -> np.ndarray:
    """A variant's factor covariance, in units of the horizon, from the shared one (``_factor_cov``);
    ``multiplier`` gives the factor regime multiplier (computed once for the variants of a date)."""
    cov, noise = shared
    share = VOL_NOISE_LIFT_V2 if risk_model is RiskModel.V2 else VOL_NOISE_LIFT_V1
    if share:
        lift = np.sqrt(1.0 + share * noise)
        cov = cov * np.outer(lift, lift)
    if risk_model is RiskModel.V2:
        cov = apply_eigen_bias(cov, _eigen_bias_at(hist, p, hz), EIGEN_SCALE)
    else:
        cov = shrink_correlation(cov, hz.v1_corr_shrinkage)
    if risk_model is RiskModel.V2 or V1_FACTOR_REGIME:
        cov = cov * fade(multiplier(), hz.regime_halflife, hz.days)
    return clip_psd(cov) * hz.days


def _specific_vol(uni: Universe, hist: FactorHistory, series: dict, p: int, i: int, hz: Horizon) -> tuple:
    """The stocks of row ``i`` (rows, style, industry, cap) and their specific volatility before V2's regime
    multiplier (both variants share it)."""
    live = np.isfinite(hist.cap[i])
    rows = np.flatnonzero(live)
    style = hist.exposures[i, rows]
    industry = (uni.industry_at(p)[rows] if hist.industry is None else hist.industry[i, rows]).astype(np.int64)
    cap = hist.cap[i, rows]
    var = series["var"][i, rows]
    cnt = np.nan_to_num(series["cnt"][i, rows])
    sigma = np.sqrt(np.where(np.isfinite(var), var, 0.0))
    full_obs = 2 * hz.spec_halflife
    gamma = np.clip((cnt - MIN_SPECIFIC_OBS) / (full_obs - MIN_SPECIFIC_OBS), 0.0, 1.0)
    gamma = np.where(sigma > 0, gamma, 0.0)
    # Fat tails: a history whose standard deviation far exceeds its robust counterpart (from the mean
    # absolute deviation) rests on a few extreme days; the structural model then takes a larger share.
    robust = np.sqrt(np.pi / 2.0) * series["absdev"][i, rows]
    sd = np.sqrt(series["var0"][i, rows])
    with np.errstate(invalid="ignore", divide="ignore"):
        tail = np.abs(sd / robust - 1.0)
    gamma = gamma * np.where(np.isfinite(tail), np.clip(np.exp(1.0 - tail), 0.0, 1.0), 1.0)
    n_ind = len(uni.industry_names)
    if (gamma < 1).any():
        fit = gamma >= 1
        if fit.sum() <= n_ind + style.shape[1]:
            # early in the store nobody has a full history yet: fit on every stock with a usable one
            fit = (sigma > 0) & (cnt >= MIN_SPECIFIC_OBS)
        structural = _structural(sigma, fit, style, industry, n_ind, cap)
        sigma = gamma * sigma + (1.0 - gamma) * structural
    sigma = shrink_to_groups(sigma, cap, hz.shrinkage)
    return rows, np.ascontiguousarray(style), industry, cap, sigma


def _variant_specific_var(hist: FactorHistory, series: dict, sigma: np.ndarray, i: int, lo: int, hz: Horizon,
                          risk_model: RiskModel, sums: dict | None = None) -> np.ndarray:
    svar = sigma**2
    if risk_model is RiskModel.V2:
        svar = svar * fade(_specific_regime(hist, series, i, lo, hz, sums), hz.spec_regime, hz.days)
    return svar * hz.days


def estimate_asof(uni: Universe, hist: FactorHistory, p: int, cov_model: CovModel,
                  risk_model: RiskModel, series: dict | None = None) -> Estimate:
    """The model variant as of calendar position ``p`` from a history that covers its window."""
    return estimate_variants(uni, hist, p, cov_model, [risk_model], series)[0]


def estimate_variants(uni: Universe, hist: FactorHistory, p: int, cov_model: CovModel,
                      risk_models: list[RiskModel], series: dict | None = None,
                      sums: dict | None = None) -> list[Estimate]:
    """The variants ``risk_models`` of one horizon as of ``p``, computing what they share once (``sums``: see
    ``_specific_regime``)."""
    hz = HORIZONS[cov_model]
    series = series if series is not None else horizon_series(hist, hz)
    i = p - hist.start
    lo = max(FIRST_REGRESSION_INDEX - hist.start, 0)
    shared = _factor_cov(hist, i, lo, hz)
    multiplier = functools.cache(lambda: _factor_multiplier(hist, series, i, lo, hz, sums))
    rows, style, industry, cap, sigma = _specific_vol(uni, hist, series, p, i, hz)
    return [Estimate(asof=p, rows=rows, style=style, industry=industry, cap=cap,
                     factor_cov=np.ascontiguousarray(
                         _variant_factor_cov(hist, series, shared, p, i, lo, hz, rm, multiplier)),
                     specific_var=_variant_specific_var(hist, series, sigma, i, lo, hz, rm, sums))
            for rm in risk_models]


def horizon_series(hist: FactorHistory, hz: Horizon, first_asof: int | None = None) -> dict:
    """Day-by-day statistics of one horizon that the per-date estimates slice.

    With ``first_asof`` the specific-return statistics skip the rows no estimate from that date on reads
    (they stay NaN there).
    """
    a = 0
    if first_asof is not None:
        a = max(0, first_asof - hist.start - hz.regime_window - hz.spec_window - hz.spec_nw_lags - 2)
        a -= (hist.start + a) % BLOCK
        a = max(a, 0)
    if native.enabled():  # the same numbers, rows before `a` NaN, without padding copies
        lam = decay(hz.spec_halflife)
        v, v0, cnt, absu = native.specific_series(hist.specific, a, hist.start + a, lam, hz.spec_window,
                                                  hz.spec_nw_lags, 0.5 * lam ** (hz.spec_window - 1),
                                                  MIN_SPECIFIC_OBS, SPECIFIC_FLOOR)
        fvar, fcnt = _factor_var_series(hist.factor_returns, hz, hist.start)
        return {"var": v, "var0": v0, "cnt": cnt, "absdev": absu, "fvar": fvar, "fcnt": fcnt}
    v0, v, cnt = _specific_var_series(hist.specific[a:], hz, hist.start + a)
    absu = _ewma_mean(np.abs(hist.specific[a:]), hz.spec_halflife, hz.spec_window, hist.start + a)
    fvar, fcnt = _factor_var_series(hist.factor_returns, hz, hist.start)

    def pad(x):
        return x if a == 0 else np.concatenate([np.full((a,) + x.shape[1:], np.nan), x])

    return {"var": pad(v), "var0": pad(v0), "cnt": pad(cnt), "absdev": pad(absu), "fvar": fvar, "fcnt": fcnt}


def history_span(asof_lo: int, asof_hi: int, cov_models: Iterable[CovModel]) -> tuple[int, int]:
    """Calendar positions of the factor history that estimates for ``asof_lo .. asof_hi`` need."""
    need = 0
    for cm in cov_models:
        hz = HORIZONS[cm]
        need = max(need,
                   max(hz.vol_window, hz.corr_window) + hz.nw_lags,
                   hz.vol_window + hz.regime_window + 1,
                   hz.spec_window + hz.spec_nw_lags + hz.regime_window + 1)
    first = max(FIRST_REGRESSION_INDEX, eigen_anchor(asof_lo) - need)
    return first - first % BLOCK, asof_hi + 1  # windowed sums are assembled from whole blocks


_SHARED: tuple | None = None  # what forked workers of estimate_range read (inherited, never pickled)


def _run_batch(positions: list[int]) -> int:
    uni, hist, by_horizon, variants, sink = _SHARED
    with single_threaded_blas():
        if not native.enabled():
            for p in positions:
                for cm, rm in variants:
                    sink(estimate_asof(uni, hist, p, cm, rm, by_horizon[cm]), cm, rm)
            return len(positions)
        # the variants of a horizon share their covariance windows and specific risk; a sink that takes a
        # whole date writes what the date's variants share once
        by_cm: dict[CovModel, list[RiskModel]] = {}
        for cm, rm in variants:
            by_cm.setdefault(cm, []).append(rm)
        day = getattr(sink, "day", None)
        lo = max(FIRST_REGRESSION_INDEX - hist.start, 0)
        sums = {cm: _specific_regime_sums(hist, by_horizon[cm], [p - hist.start for p in positions], lo,
                                          HORIZONS[cm])
                for cm, rms in by_cm.items()
                if RiskModel.V2 in rms or (V1_FACTOR_REGIME and HORIZONS[cm].regime_specific_share)}
        for p in positions:
            done = [(est, cm, rm) for cm, rms in by_cm.items()
                    for est, rm in zip(estimate_variants(uni, hist, p, cm, rms, by_horizon[cm], sums.get(cm)), rms)]
            if day is not None:
                day(done)
            else:
                for est, cm, rm in done:
                    sink(est, cm, rm)
    return len(positions)


def _batches(positions: list[int]) -> list[list[int]]:
    """The positions in batches of about 8 a worker estimates in turn. The native pipeline cuts them at
    eigenfactor refreshes, so that no two workers simulate the same anchor."""
    if not native.enabled():
        return [positions[i:i + 8] for i in range(0, len(positions), 8)]
    out: list[list[int]] = []
    for p in positions:
        if out and (len(out[-1]) < 2 * EIGEN_REFRESH or eigen_anchor(p) == eigen_anchor(out[-1][-1])):
            out[-1].append(p)
        else:
            out.append([p])
    return out


def estimate_range(con, uni: Universe, asof_lo: int, asof_hi: int, variants: list[tuple[CovModel, RiskModel]],
                   sink: Callable[[Estimate, CovModel, RiskModel], None],
                   progress: Callable[[int], None] | None = None, workers: int = 1,
                   only: Iterable[int] | None = None) -> None:
    """Estimates of ``variants`` for every as-of position ``asof_lo .. asof_hi`` (with ``only``: those of
    its positions in that range), handed to ``sink``.

    With ``workers > 1`` the per-date estimates run in that many forked processes, each calling ``sink``
    itself (the shared factor history is inherited, not copied).

    Forked, not spawned like every other pool of the package (zorvata.infra): spawned workers would each
    receive a pickled copy of the factor history (hundreds of megabytes on a full market), which costs more
    than the estimates of a short range. Forking is safe here because the workers never use the parent's
    DuckDB connection or its threads (zorvata refuses a connection in a forked child): they only compute with
    numpy and write whole files. The DeprecationWarning Python gives on forking a process with threads is silenced for
    that reason.
    """
    global _SHARED
    if asof_lo < FIRST_ASOF_INDEX:
        raise ValueError("as-of date before the first estimable date")
    start, stop = history_span(asof_lo, asof_hi, {cm for cm, _ in variants})
    check_requirements(con, uni, asof_lo, asof_hi, start)
    with single_threaded_blas(), native.spare_blocks():
        hist = factor_history(con, uni, start, stop, progress)
        by_horizon = {cm: horizon_series(hist, HORIZONS[cm], asof_lo) for cm in {cm for cm, _ in variants}}
    positions = list(range(asof_lo, asof_hi + 1))
    if only is not None:
        keep = set(only)
        positions = [p for p in positions if p in keep]
    batches = _batches(positions)
    _SHARED = (uni, hist, by_horizon, variants, sink)
    try:
        if workers > 1 and len(batches) > workers:
            import multiprocessing
            import warnings

            with warnings.catch_warnings():
                # The workers only compute and write files; they touch no lock or thread of the parent.
                warnings.simplefilter("ignore", DeprecationWarning)
                with multiprocessing.get_context("fork").Pool(workers) as pool:
                    for n in pool.imap(_run_batch, batches):
                        if progress is not None:
                            progress(n)
        else:
            for batch in batches:
                n = _run_batch(batch)
                if progress is not None:
                    progress(n)
    finally:
        _SHARED = None
