"""Numerical building blocks: windowed EWMA, Newey-West covariance, eigenfactor and regime adjustments,
the constrained cross-sectional regression and the specific-risk shrinkage."""

from __future__ import annotations

import numpy as np

from . import native

__all__ = [
    "decay",
    "ewma_weights",
    "windowed_sum",
    "newey_west_cov",
    "combine_vol_corr",
    "shrink_correlation",
    "clip_psd",
    "apply_eigen_bias",
    "weighted_lstsq",
    "ratio_multiplier",
    "geometric_multiplier",
    "fade",
    "estimator_grams",
    "simulated_eigen_bias",
    "constrained_wls",
    "shrink_to_groups",
]


def decay(halflife: float) -> float:
    return 0.5 ** (1.0 / halflife)


def ewma_weights(halflife: float, window: int) -> np.ndarray:
    """Weights of the last ``window`` observations, oldest first, the newest weighing 1."""
    return decay(halflife) ** np.arange(window - 1, -1, -1, dtype=np.float64)


#: Rows of the blocks windowed sums are assembled from; block boundaries sit at multiples of it in calendar
#: positions, so the sum of a day is the same computation whatever range it is computed in.
BLOCK = 64


def windowed_sum(x: np.ndarray, halflife: float | None, window: int, origin: int = 0) -> np.ndarray:
    """S[t] = sum over j < window of lam**j * x[t - j] along axis 0; NaN counts as 0.

    ``halflife=None`` gives equal weights. The window is truncated at the start of ``x``; S[t] depends only on
    x[t - window + 1 .. t], whatever precedes it. ``origin`` is the calendar position of row 0: sums run
    within blocks of BLOCK calendar positions and combine whole blocks, so as long as ``x`` starts on a block
    boundary (or before the first row that matters), S[t] is bit for bit the same for any ``x`` that holds
    the same window, however long.
    """
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    if n == 0:
        return x.copy()
    lam = 1.0 if halflife is None else decay(halflife)
    if native.enabled():
        return native.windowed_sum(x, lam, halflife is None, window, origin)
    lead = origin % BLOCK
    nb = -(-(lead + n) // BLOCK)
    local = np.zeros((nb * BLOCK,) + x.shape[1:])
    local[lead:lead + n] = x
    np.nan_to_num(local, copy=False, nan=0.0)
    blocks = local.reshape((nb, BLOCK) + x.shape[1:])
    for r in range(1, BLOCK):  # all blocks side by side, in place: sums within each block up to each row
        if halflife is None:
            blocks[:, r] += blocks[:, r - 1]
        else:
            blocks[:, r] += lam * blocks[:, r - 1]
    totals = local[BLOCK - 1::BLOCK]
    t = np.arange(lead, lead + n)
    k = t // BLOCK
    s0 = np.maximum(t - window + 1, 0)
    d = k - s0 // BLOCK  # blocks before t's own that the window reaches into
    # S[t] = local[t] + lam**(t - end of block k-1) * C[k, d] - lam**(t - s0 + 1) * local[s0 - 1], where
    # C[k, d] sums the d whole blocks before block k (weighted to the end of block k - 1) and the last term
    # takes off the part of the first block before the window. C is summed in a fixed order per block.
    # Rows of one block share k, and those with the same d are contiguous (d falls as t grows).
    lam_b = lam**BLOCK
    extra = (slice(None),) + (None,) * (x.ndim - 1)
    out = local[lead:lead + n].copy()
    for dd in np.unique(d[d > 0]):
        c = np.zeros_like(totals)
        for j in range(dd, 0, -1):  # oldest block first
            c[j:] = c[j:] * lam_b + totals[:nb - j] if j < nb else c[j:]
        rows = np.flatnonzero(d == dd)
        coef = lam ** (t[rows] - k[rows] * BLOCK + 1.0)
        edges = np.flatnonzero(np.diff(k[rows]) != 0) + 1
        for seg in np.split(np.arange(len(rows)), edges):
            r0, r1 = rows[seg[0]], rows[seg[-1]] + 1  # contiguous rows of one block
            out[r0:r1] += coef[seg][extra] * c[k[r0]]
    first = int(np.searchsorted(s0, 1))  # rows from here on have s0 > 0, and s0 - 1 = t - window
    if first < n:
        cut = (s0[first:] % BLOCK != 0)[extra]
        term = (lam ** (t[first:] - s0[first:] + 1.0))[extra] * local[t[first] - window:t[-1] - window + 1]
        np.subtract(out[first:], term, out=out[first:], where=cut)
    return out


def newey_west_cov(f: np.ndarray, weights: np.ndarray, lags: int) -> np.ndarray:
    """EWMA covariance (zero mean) of the rows of ``f`` (oldest first) with Bartlett-weighted lag terms.

    ``weights`` align with the rows of ``f``. Rows with NaN are treated as missing days. With ``lags=0``
    this is the plain EWMA covariance.
    """
    f = np.asarray(f, dtype=np.float64)
    valid = ~np.isnan(f).any(axis=1)
    w = np.where(valid, weights, 0.0)
    fz = np.where(valid[:, None], f, 0.0)
    total = w.sum()
    if total <= 0:
        raise ValueError("no observations in the window")
    cov = (fz * w[:, None]).T @ fz / total
    for lag in range(1, lags + 1):
        if lag >= len(f):
            break
        wl = w[lag:] * valid[:-lag]
        if wl.sum() <= 0:
            continue
        c = (fz[lag:] * wl[:, None]).T @ fz[:-lag] / wl.sum()
        cov += (1.0 - lag / (lags + 1.0)) * (c + c.T)
    return 0.5 * (cov + cov.T)


def clip_psd(a: np.ndarray, floor: float = 0.0) -> np.ndarray:
    """The symmetric matrix with ``a``'s eigenvectors and its eigenvalues raised to at least ``floor``."""
    a = 0.5 * (a + a.T)
    if native.enabled():
        # a Cholesky factor exists only when every eigenvalue exceeds the floor: then nothing moves, and the
        # decomposition (ten times the work) is spared
        try:
            if np.isfinite(np.linalg.cholesky(a - floor * np.eye(len(a)))).all():  # NaN passes unnoticed
                return a
        except np.linalg.LinAlgError:
            pass
    vals, vecs = np.linalg.eigh(a)
    if vals[0] >= floor:
        return a
    vals = np.maximum(vals, floor)
    out = (vecs * vals) @ vecs.T
    return 0.5 * (out + out.T)


def combine_vol_corr(vol_cov: np.ndarray, corr_cov: np.ndarray) -> np.ndarray:
    """Covariance with the variances of ``vol_cov`` and the correlations of ``corr_cov``."""
    sd_corr = np.sqrt(np.maximum(np.diag(corr_cov), 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        inv = np.where(sd_corr > 0, 1.0 / sd_corr, 0.0)
    corr = corr_cov * np.outer(inv, inv)
    np.fill_diagonal(corr, np.where(sd_corr > 0, 1.0, 0.0))
    corr = clip_psd(corr)
    sd = np.sqrt(np.maximum(np.diag(vol_cov), 0.0))
    return corr * np.outer(sd, sd)


def shrink_correlation(cov: np.ndarray, weight: float) -> np.ndarray:
    """Covariance with the variances of ``cov`` and the correlations ``(1 - weight) C + weight I``.

    A convex combination of two correlation matrices: it stays positive semidefinite, every eigenvalue of
    the correlation matrix moves ``weight`` of the way towards 1 (the smallest rise), and the variance of
    any single factor is unchanged.
    """
    if weight == 0:
        return cov
    if not 0.0 <= weight <= 1.0:
        raise ValueError(f"shrinkage weight {weight} outside [0, 1]")
    out = (1.0 - weight) * cov  # off the diagonal: (1 - weight) C_ij sd_i sd_j
    out[np.diag_indices_from(out)] = np.diag(cov)
    return 0.5 * (out + out.T)


def apply_eigen_bias(cov: np.ndarray, bias: np.ndarray, scale: float) -> np.ndarray:
    """Scale eigenvalue k (ascending) of ``cov`` by (scale * (bias_k - 1) + 1)**2; eigenvectors stay."""
    vals, vecs = np.linalg.eigh(0.5 * (cov + cov.T))
    vals = np.maximum(vals, 0.0)
    gamma = scale * (bias - 1.0) + 1.0
    gamma = np.where(vals > 0, np.maximum(gamma, 1e-3), 1.0)
    adj = (vecs * (gamma**2 * vals)) @ vecs.T
    return 0.5 * (adj + adj.T)


def ratio_multiplier(num: np.ndarray, den: np.ndarray, halflife: float, noise_correction: bool = False) -> float:
    """Regime multiplier as a ratio of EWMA means: realised squared returns ``num`` over the variances
    forecast for them ``den`` (per day, oldest first, already summed over factors or stocks).

    A mean of ratios (realised over forecast, day by day) is inflated by the noise of the forecasts it
    divides by (1 / x is convex), by as much as the forecasts are noisy; the ratio of means is not.

    The multiplier itself is an estimate, and a forecast divided by a noisy multiplier m is understated on
    average: E[1 / m] ~ (1 + cv^2) / E[m] for a relative sampling variance cv^2 of m. With
    ``noise_correction`` the multiplier is raised by that factor, cv^2 measured from the scatter of the
    days' realised sums about m times their forecasts (the usual variance of a ratio estimator).
    """
    num, den = np.asarray(num, dtype=np.float64), np.asarray(den, dtype=np.float64)
    ok = np.isfinite(num) & np.isfinite(den) & (den > 0)
    if not ok.any():
        return 1.0
    w = ewma_weights(halflife, len(num))[ok]
    wd = (w * den[ok]).sum()
    m = float((w * num[ok]).sum() / wd)
    if noise_correction and m > 0:
        cv2 = float((w * w * (num[ok] - m * den[ok]) ** 2).sum()) / (wd * m) ** 2
        m *= 1.0 + cv2
    return m


def geometric_multiplier(num: np.ndarray, den: np.ndarray, halflife: float, level_halflife: float,
                         noise_correction: bool = False, anchor: tuple[np.ndarray, np.ndarray] | None = None,
                         beta: float = 0.0, anchor_halflife: float = 1.0) -> float:
    """Regime multiplier as a geometric mean of the daily ratios ``num / den`` (per day, oldest first, as for
    ``ratio_multiplier``), its level set by how its own forecasts fared.

    Readings that share one fat-tailed shock a day are heavy-tailed however many series they pool, and an
    arithmetic mean of them jumps with every extreme day. The EWMA of their logs (over ``4 * halflife`` days)
    is far steadier, but a geometric mean sits below the arithmetic one by a factor the tails set. That
    factor is measured: the EWMA (``level_halflife``, over ``4 * level_halflife`` days) of each day's ratio
    over the geometric mean as of the day before, as a ratio of means. The history must reach back both
    windows; without a reading the ratio multiplier stands in.

    With ``noise_correction`` the multiplier is raised by exp(s^2), s^2 the sampling variance of the EWMA of
    the logs (their scatter about the previous day's mean over the level window, times the short weights'
    sum of squares over their squared sum): for a lognormal m, E[1 / m] = exp(s^2) / E[m].

    ``anchor``: daily readings of a second, far less noisy series whose log moves with ``beta`` times this
    one's (``(num, den)`` of the same days). The multiplier then follows the anchor's own geometric mean
    (``anchor_halflife``) times ``beta``, and only the part of the readings the anchor does not explain,
    ``log y - beta log a``, is averaged over ``halflife``: that part moves more slowly than the regime
    itself, so the same averaging leaves less of the readings' noise for less lag. Without a reading of the
    anchor over its last ``4 * anchor_halflife`` days the readings go alone.
    """
    y = _readings(num, den)
    k = int(4 * halflife)
    with np.errstate(invalid="ignore", divide="ignore"):
        logs = np.log(y)
    g = None
    if anchor is not None and beta:
        with np.errstate(invalid="ignore", divide="ignore"):
            a = np.log(_readings(*anchor))
        level = _ewma_logs(a, anchor_halflife)
        if np.isfinite(level[-1]):  # else no reading of the anchor lately: the readings alone
            logs = logs - beta * a
            g = np.exp(_ewma_logs(logs, halflife) + beta * level)
    if g is None:
        g = np.exp(_ewma_logs(logs, halflife))
    n = int(4 * level_halflife)
    prior, realised = g[:-1][-n:], y[1:][-n:]
    ok = np.isfinite(prior) & np.isfinite(realised)
    if not (ok.any() and np.isfinite(g[-1])):
        return ratio_multiplier(num, den, halflife)
    wl = ewma_weights(level_halflife, len(prior))[ok]
    m = float(g[-1] * (wl * realised[ok]).sum() / (wl * prior[ok]).sum())
    if noise_correction:
        scatter = float((wl * (np.log(realised[ok]) - np.log(prior[ok])) ** 2).sum() / wl.sum())
        ws = ewma_weights(halflife, k)[max(k - len(y), 0):][np.isfinite(logs[-k:])]
        m *= float(np.exp(scatter * (ws * ws).sum() / ws.sum() ** 2))
    return m


def _readings(num: np.ndarray, den: np.ndarray) -> np.ndarray:
    """Daily ratios ``num / den``; NaN where either is missing or not positive."""
    num, den = np.asarray(num, dtype=np.float64), np.asarray(den, dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(np.isfinite(num) & np.isfinite(den) & (den > 0) & (num > 0), num / den, np.nan)


def _ewma_logs(logs: np.ndarray, halflife: float) -> np.ndarray:
    """Each day's EWMA (``halflife``, over ``4 * halflife`` days up to it) of ``logs``, NaN readings left out."""
    k = int(4 * halflife)
    idx = np.arange(len(logs))[:, None] + np.arange(1 - k, 1)[None, :]
    win = np.where(idx >= 0, logs[np.maximum(idx, 0)], np.nan)
    w = np.where(np.isfinite(win), ewma_weights(halflife, k)[None, :], 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (w * np.nan_to_num(win)).sum(axis=1) / w.sum(axis=1)


def fade(m: float, halflife: float, horizon: int) -> float:
    """A regime multiplier over a horizon of several days, expected to fade at the rate of ``halflife``."""
    if horizon <= 1:
        return m
    rho = decay(halflife)
    return 1.0 + (m - 1.0) * (1.0 - rho**horizon) / (horizon * (1.0 - rho))


_GRAMS: dict[tuple, tuple[np.ndarray, np.ndarray]] = {}


def _nw_gram(z: np.ndarray, w: np.ndarray, lags: int) -> np.ndarray:
    """Newey-West weighted second moments of every draw in ``z`` (draws, T, k), weights ``w`` (T,)."""
    g = (z * w[None, :, None]).transpose(0, 2, 1) @ z / w.sum()
    for lag in range(1, lags + 1):
        wl = w[lag:]
        c = (z[:, lag:] * wl[None, :, None]).transpose(0, 2, 1) @ z[:, :-lag] / wl.sum()
        g += (1.0 - lag / (lags + 1.0)) * (c + c.transpose(0, 2, 1))
    return g


def _nw_coefficients(w: np.ndarray, lags: int) -> np.ndarray:
    """The coefficients of ``_nw_gram_folded``'s y: 1 / (2 W), then each lag's Bartlett weight over its weight sum."""
    return np.array([0.5 / w.sum()] + [(1.0 - lag / (lags + 1.0)) / w[lag:].sum() for lag in range(1, lags + 1)])


def _nw_gram_folded(z: np.ndarray, w: np.ndarray, lags: int, diagonal: bool = False) -> np.ndarray:
    """``_nw_gram`` in one product per draw: with b_l the Bartlett weight of lag l over the lag's weight sum,
    sum_l b_l (C_l + C_l') = B + B' for B = sum_t w_t z_t (z_t / (2 W) + sum_l b_l z_{t-l})'.

    ``diagonal``: only the diagonal of every draw's matrix, (draws, k): 2 sum_t w_t z_ti y_ti, without the
    product."""
    y = z * (0.5 / w.sum())
    for lag in range(1, lags + 1):
        y[:, lag:] += ((1.0 - lag / (lags + 1.0)) / w[lag:].sum()) * z[:, :-lag]
    if diagonal:
        y *= z
        return 2.0 * (y.transpose(0, 2, 1) @ w)
    b = (z * w[None, :, None]).transpose(0, 2, 1) @ y
    return b + b.transpose(0, 2, 1)


def estimator_grams(n_sims: int, k: int, vol: tuple[float, int], corr: tuple[float, int], lags: int,
                    seed: int = 20150105) -> tuple[np.ndarray, np.ndarray]:
    """Second moments the covariance estimator would measure on ``n_sims`` histories of k independent
    unit-variance normal factor returns: with the volatility weights ``vol`` = (half-life, window) and the
    correlation weights ``corr``, Newey-West ``lags``. Seeded and cached: the same draws serve every date,
    so the adjustment is a deterministic function of the estimate. Rotation invariant, so they serve any
    covariance after scaling in its eigenbasis.

    The native pipeline computes them in a kernel (``native.nw_grams``: the lags folded as in
    ``_nw_gram_folded``, one pass over each draw) and keeps of the volatility moments only their diagonal,
    (n_sims, k): all that ``simulated_eigen_bias`` reads of them."""
    folded = native.enabled()
    gram = _nw_gram_folded if folded else _nw_gram
    key = (n_sims, k, vol, corr, lags, seed, folded)
    hit = _GRAMS.get(key)
    if hit is None:
        rng = np.random.default_rng(seed)
        t = max(vol[1], corr[1])
        w_vol = np.zeros(t)
        w_vol[t - vol[1]:] = ewma_weights(vol[0], vol[1])
        w_corr = np.zeros(t)
        w_corr[t - corr[1]:] = ewma_weights(corr[0], corr[1])
        g_vol, g_corr = np.empty((n_sims, k) if folded else (n_sims, k, k)), np.empty((n_sims, k, k))
        for a in range(0, n_sims, 32):
            z = rng.standard_normal((min(32, n_sims - a), t, k))
            if folded:
                g_vol[a:a + len(z)], g_corr[a:a + len(z)] = native.nw_grams(
                    z, w_vol[t - vol[1]:], _nw_coefficients(w_vol[t - vol[1]:], lags), w_corr[t - corr[1]:],
                    _nw_coefficients(w_corr[t - corr[1]:], lags))
                continue
            g_vol[a:a + len(z)] = gram(z[:, t - vol[1]:], w_vol[t - vol[1]:], lags)
            g_corr[a:a + len(z)] = gram(z[:, t - corr[1]:], w_corr[t - corr[1]:], lags)
        if len(_GRAMS) > 8:
            _GRAMS.clear()
        hit = _GRAMS[key] = (g_vol, g_corr)
    return hit


def simulated_eigen_bias(cov: np.ndarray, grams: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    """Volatility bias of the eigenportfolios of ``cov`` (ascending eigenvalues) under the estimator that
    produced it: histories drawn from ``cov`` are estimated as the model does (variances from the volatility
    weights, correlations from the correlation weights), and per eigenvalue rank the bias is
    sqrt(mean true variance / mean estimated variance) of the simulated eigenportfolios.

    The native pipeline decomposes the simulated matrices in a kernel (``native.eigen_bias_sums``; numpy's
    solver when one of them fails to converge there)."""
    sym = 0.5 * (cov + cov.T)
    vals = np.linalg.eigvalsh(sym) if native.enabled() else np.linalg.eigh(sym)[0]
    vals = np.maximum(vals, 0.0)
    g_vol, g_corr = grams
    if native.enabled():
        sums = native.eigen_bias_sums(vals, g_vol, g_corr)
        if sums is not None:
            est, true = sums[0] / len(g_corr), sums[1] / len(g_corr)
            with np.errstate(divide="ignore", invalid="ignore"):
                return np.sqrt(np.where((est > 0) & (true > 0), true / est, 1.0))
    root = np.sqrt(vals)
    outer = np.outer(root, root)
    sim_corr = g_corr * outer
    vol_diag = g_vol if g_vol.ndim == 2 else np.einsum("mii->mi", g_vol)  # estimator_grams' diagonal form
    sim_sd = np.sqrt(vol_diag * vals)
    corr_sd = np.sqrt(np.einsum("mii->mi", sim_corr))
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(corr_sd > 0, sim_sd / corr_sd, 0.0)
    sim = sim_corr * scale[:, :, None] * scale[:, None, :]
    sim_vals, sim_vecs = np.linalg.eigh(sim)
    true_vals = np.einsum("mik,i,mik->mk", sim_vecs, vals, sim_vecs)
    est = np.maximum(sim_vals, 0.0).mean(axis=0)
    true = true_vals.mean(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.sqrt(np.where((est > 0) & (true > 0), true / est, 1.0))


def constrained_wls(y: np.ndarray, style: np.ndarray, industry: np.ndarray, n_industries: int,
                    weight: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Factor returns [country, industries..., styles...] of one cross-section.

    Weighted least squares of ``y`` on a country column, industry dummies and the style exposures, with the
    industry factor returns constrained to a zero sum weighted by each industry's market cap. Industries
    without members get a zero return. All inputs cover the estimation universe only.
    """
    n_style = style.shape[1]
    ind_cap = np.bincount(industry, weights=cap, minlength=n_industries)
    present = np.flatnonzero(ind_cap > 0)
    ref = present[np.argmax(ind_cap[present])]
    others = present[present != ref]
    # Industry i != ref enters as D_i - (c_i / c_ref) D_ref, which makes sum_i c_i f_i = 0 hold exactly.
    dummies = (industry[:, None] == others[None, :]).astype(np.float64)
    dummies -= (industry == ref)[:, None] * (ind_cap[others] / ind_cap[ref])[None, :]
    design = np.hstack([np.ones((len(y), 1)), dummies, style])
    coef = weighted_lstsq(design, y, weight)
    out = np.zeros(1 + n_industries + n_style)
    out[0] = coef[0]
    out[1 + others] = coef[1:1 + len(others)]
    out[1 + ref] = -(ind_cap[others] @ coef[1:1 + len(others)]) / ind_cap[ref]
    out[1 + n_industries:] = coef[1 + len(others):]
    return out


def weighted_lstsq(design: np.ndarray, y: np.ndarray, weight: np.ndarray) -> np.ndarray:
    """argmin_b sum_i weight_i (y_i - design_i b)^2 by the normal equations (SVD if they are singular)."""
    dw = design * weight[:, None]
    try:
        return np.linalg.solve(dw.T @ design, dw.T @ y)
    except np.linalg.LinAlgError:
        sw = np.sqrt(weight)
        return np.linalg.lstsq(design * sw[:, None], y * sw, rcond=None)[0]


def shrink_to_groups(sigma: np.ndarray, cap: np.ndarray, intensity: float, n_groups: int = 10) -> np.ndarray:
    """Bayesian shrinkage of volatilities towards the cap-weighted mean of their size group.

    Groups are the ``n_groups`` quantiles of ``cap``. A stock far from its group's mean, relative to the
    group's dispersion, is pulled harder; ``intensity=0`` returns ``sigma`` unchanged.
    """
    sigma = np.asarray(sigma, dtype=np.float64)
    if intensity == 0 or len(sigma) == 0:
        return sigma.copy()
    order = np.argsort(cap, kind="stable")
    group = np.empty(len(sigma), dtype=np.int64)
    group[order] = np.arange(len(sigma)) * n_groups // len(sigma)
    g_cap = np.bincount(group, weights=cap, minlength=n_groups)
    g_mean = np.bincount(group, weights=cap * sigma, minlength=n_groups) / np.where(g_cap > 0, g_cap, 1.0)
    dev = sigma - g_mean[group]
    g_n = np.bincount(group, minlength=n_groups)
    g_disp = np.sqrt(np.bincount(group, weights=dev**2, minlength=n_groups) / np.maximum(g_n, 1))
    pull = intensity * np.abs(dev)
    denom = g_disp[group] + pull
    with np.errstate(divide="ignore", invalid="ignore"):
        v = np.where(denom > 0, pull / denom, 0.0)
    return v * g_mean[group] + (1.0 - v) * sigma
