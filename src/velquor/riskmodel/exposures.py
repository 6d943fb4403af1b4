"""Style exposures from prices, caps, turnover and point-in-time fundamentals.

Row t of every array uses data up to the close of day t only. Each style is winsorised (median +- 5 robust
standard deviations), standardised to a cap-weighted mean of 0 and an equal-weighted standard deviation of 1
over the stocks trading that day, and missing values are filled with the cap-weighted mean of the stock's
industry on that day.
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import native
from .data import Panel, Universe
from .kernels import decay, windowed_sum
from .params import STYLE_FACTORS

__all__ = ["style_exposures", "market_return", "standardise", "row_median"]

BETA_WINDOW, BETA_HALFLIFE, BETA_MIN_OBS = 252, 63, 63
MOM_WINDOW, MOM_LAG, MOM_MIN_OBS = 231, 21, 126
WINSOR_MADS = 5.0


def market_return(panel: Panel) -> np.ndarray:
    """Cap-weighted one-day return of the stocks trading each day, weighted by the previous day's cap."""
    if native.enabled():
        return native.market_return(panel.ret_clean, panel.cap)
    w = np.vstack([panel.cap[:1], panel.cap[:-1]])
    ok = np.isfinite(panel.ret_clean) & np.isfinite(w)
    ws = np.where(ok, w, 0.0)
    tot = ws.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        m = (ws * np.where(ok, panel.ret_clean, 0.0)).sum(axis=1) / tot
    return np.where(tot > 0, m, 0.0)


def _row_std(x: np.ndarray) -> np.ndarray:
    """Population standard deviation of the finite entries of every row (NaN for a row without any).

    Written out rather than ``np.nanstd``: that one warns on empty rows, and silencing warnings is not
    thread-safe, while ``np.errstate`` is.
    """
    ok = np.isfinite(x)
    n = ok.sum(axis=1, keepdims=True)
    xz = np.where(ok, x, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = xz.sum(axis=1, keepdims=True) / n
        var = (np.where(ok, x - mean, 0.0) ** 2).sum(axis=1, keepdims=True) / n
    return np.where(n > 0, np.sqrt(var), np.nan)


def row_median(x: np.ndarray) -> np.ndarray:
    """Median of the finite entries of every row (NaN for a row without any), as a column.

    A selection per row (linear) rather than a sort of the whole array: the order statistics are the same.
    """
    if native.enabled():
        return native.row_median(x)
    ok = np.isfinite(x)
    out = np.full(x.shape[0], np.nan)
    for i in np.flatnonzero(ok.any(axis=1)):
        v = x[i][ok[i]]  # a copy, selected in place
        k = (len(v) - 1) // 2
        v.partition(k)
        out[i] = v[k] if len(v) % 2 else 0.5 * (v[k] + v[k + 1:].min())
    return out[:, None]


def standardise(x: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Winsorise and standardise every row over the entries where both ``x`` and ``cap`` are finite."""
    if native.enabled():
        return native.standardise(x, cap, WINSOR_MADS)
    ok = np.isfinite(cap) & np.isfinite(x)
    x = np.where(ok, x, np.nan)
    med = row_median(x)
    mad = 1.4826 * row_median(np.abs(x - med))
    band = mad * WINSOR_MADS
    flat = np.flatnonzero(~(mad[:, 0] > 0))
    if flat.size:  # a row whose robust spread vanishes falls back on its standard deviation
        band[flat] = _row_std(x[flat]) * WINSOR_MADS
    x = np.clip(x, med - band, med + band)
    w = np.where(ok, cap, 0.0)
    wsum = w.sum(axis=1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = (w * np.where(ok, x, 0.0)).sum(axis=1, keepdims=True) / wsum
        z = x - mean
        sd = _row_std(z)  # equal-weighted, about the plain mean
        return np.where(sd > 0, z / sd, 0.0 * z)


def _orthogonalise(y: np.ndarray, xs: list[np.ndarray], cap: np.ndarray) -> np.ndarray:
    """Residual of a cap-weighted regression, row by row, of ``y`` on a constant and ``xs``."""
    if native.enabled():
        return native.orthogonalise(y, xs, cap)
    z = [np.ones_like(y)] + xs
    ok = np.isfinite(y) & np.isfinite(cap)
    for x in xs:
        ok &= np.isfinite(x)
    w = np.where(ok, cap, 0.0)
    zz = [np.where(ok, x, 0.0) for x in z]
    yy = np.where(ok, y, 0.0)
    p = len(z)
    a = np.empty((y.shape[0], p, p))
    b = np.empty((y.shape[0], p))
    for i in range(p):
        wi = w * zz[i]
        b[:, i] = (wi * yy).sum(axis=1)
        for j in range(i, p):
            a[:, i, j] = a[:, j, i] = (wi * zz[j]).sum(axis=1)
    a += 1e-12 * np.eye(p)
    coef = np.linalg.solve(a, b[:, :, None])[:, :, 0]
    fitted = sum(coef[:, i:i + 1] * z[i] for i in range(p))
    return np.where(ok, y - fitted, np.nan)


def _industry_keys(industry: np.ndarray, n_ind: int) -> np.ndarray:
    """Bucket of every (day, stock): day * (n_ind + 1) + industry, a stock without one in the last bucket."""
    rows = np.arange(industry.shape[0], dtype=np.int64)[:, None] * (n_ind + 1)
    return (rows + np.where(industry >= 0, industry, n_ind)).ravel()


def _fill_industry(x: np.ndarray, cap: np.ndarray, keys: np.ndarray, n_ind: int) -> np.ndarray:
    """Missing values of live stocks filled with the cap-weighted mean of their industry on the day (0, the
    style's cap-weighted mean, for a stock without an industry or an industry without values).
    ``keys`` come from ``_industry_keys``."""
    live = np.isfinite(cap)
    ok = np.isfinite(x) & live
    w = np.where(ok, cap, 0.0)
    size = x.shape[0] * (n_ind + 1)
    num = np.bincount(keys, weights=(w * np.where(ok, x, 0.0)).ravel(), minlength=size)
    den = np.bincount(keys, weights=w.ravel(), minlength=size)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = np.where(den > 0, num / den, 0.0)
    means[n_ind::n_ind + 1] = 0.0  # no industry
    fill = means[keys].reshape(x.shape)
    return np.where(ok, x, np.where(live, fill, np.nan))


def _descriptors(ret: np.ndarray, clean: np.ndarray, turnover: np.ndarray, mkt: np.ndarray,
                 r0: int, origin: int) -> dict[str, np.ndarray]:
    """Time-series descriptors of a block of stock columns, rows ``r0 ..``. Beta and volatility read the
    one-day returns ``clean``; momentum reads every return ``ret`` (a return over several days included).
    ``origin`` is the calendar position of row 0."""
    valid = np.isfinite(clean)
    m = np.where(valid, mkt, 0.0)
    r = np.where(valid, clean, 0.0)
    hl, win = BETA_HALFLIFE, BETA_WINDOW
    sw = windowed_sum(valid.astype(float), hl, win, origin)
    sm, sr = windowed_sum(m, hl, win, origin), windowed_sum(r, hl, win, origin)
    smm, srm, srr = (windowed_sum(m * m, hl, win, origin), windowed_sum(r * m, hl, win, origin),
                     windowed_sum(r * r, hl, win, origin))
    nobs = windowed_sum(valid.astype(float), None, win, origin)
    with np.errstate(invalid="ignore", divide="ignore"):
        cov_rm = srm / sw - sr * sm / sw**2
        var_m = smm / sw - (sm / sw) ** 2
        var_r = srr / sw - (sr / sw) ** 2
        beta = cov_rm / var_m
        hsigma = np.sqrt(np.maximum(var_r - beta * cov_rm, 0.0))
        dastd = np.sqrt(np.maximum(var_r, 0.0))
    enough = nobs >= BETA_MIN_OBS
    beta, hsigma, dastd = (np.where(enough, v, np.nan)[r0:] for v in (beta, hsigma, dastd))

    traded = np.isfinite(ret)
    logret = np.where(traded, np.log1p(np.maximum(ret, -0.99)), 0.0)
    mom = windowed_sum(logret, None, MOM_WINDOW, origin)
    mobs = windowed_sum(traded.astype(float), None, MOM_WINDOW, origin)
    mom = np.vstack([np.full((MOM_LAG, mom.shape[1]), np.nan), mom[:-MOM_LAG]])
    mobs = np.vstack([np.zeros((MOM_LAG, mom.shape[1])), mobs[:-MOM_LAG]])
    mom = np.where(mobs >= MOM_MIN_OBS, mom, np.nan)[r0:]

    turn = np.nan_to_num(turnover, nan=0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        stom = np.log(windowed_sum(turn, None, 21, origin))
        stoq = np.log(windowed_sum(turn, None, 63, origin) / 3.0)
        stoa = np.log(windowed_sum(turn, None, 252, origin) / 12.0)
    liq = (0.35 * stom + 0.35 * stoq + 0.30 * stoa)[r0:]
    liq[~np.isfinite(liq)] = np.nan
    return {"beta": beta, "hsigma": hsigma, "dastd": dastd, "mom": mom, "liq": liq}


def _styles(d: dict[str, np.ndarray], cap: np.ndarray, industry: np.ndarray, n_ind: int) -> np.ndarray:
    """Standardised, orthogonalised and filled styles of a block of rows (all stocks)."""
    if native.enabled():
        return native.styles(d, cap, industry, n_ind, WINSOR_MADS, STYLE_FACTORS)
    with np.errstate(divide="ignore", invalid="ignore"):
        size_raw = np.log(cap)
        btop = d["book"] / cap
        ey = d["earnings"] / cap
        lev = d["debt"] / np.where(d["book"] > 0, d["book"], np.nan)
    size = standardise(size_raw, cap)
    beta_s = standardise(d["beta"], cap)
    nls = standardise(_orthogonalise(size**3, [size], cap), cap)
    rv = standardise(0.75 * d["dastd"] + 0.25 * d["hsigma"], cap)
    rv = standardise(_orthogonalise(rv, [beta_s, size], cap), cap)
    liq = standardise(_orthogonalise(standardise(d["liq"], cap), [size], cap), cap)
    styles = {
        "size": size,
        "beta": beta_s,
        "momentum": standardise(d["mom"], cap),
        "residual_volatility": rv,
        "non_linear_size": nls,
        "book_to_price": standardise(btop, cap),
        "liquidity": liq,
        "earnings_yield": standardise(ey, cap),
        "growth": standardise(d["growth"], cap),
        "leverage": standardise(lev, cap),
    }
    out = np.empty(cap.shape + (len(STYLE_FACTORS),), dtype=np.float32)
    keys = _industry_keys(industry, n_ind)
    for k, name in enumerate(STYLE_FACTORS):
        out[:, :, k] = _fill_industry(styles[name], cap, keys, n_ind)
    return out


def _blocks(n: int, parts: int) -> list[slice]:
    edges = np.linspace(0, n, parts + 1).astype(int)
    return [slice(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def style_exposures(panel: Panel, uni: Universe, first_row: int = 0, threads: int = 2) -> np.ndarray:
    """Exposures for panel rows ``first_row ..``, shape (days, stocks, styles) in the order of
    ``STYLE_FACTORS``; NaN off the universe. Earlier rows serve as look-back only.

    The time-series descriptors run on blocks of stocks and the cross-sectional steps on blocks of days in
    ``threads`` threads (numpy releases the GIL in its array loops); blocks depend only on the panel's shape.
    """
    r0 = first_row
    n_ind = len(uni.industry_names)
    if native.enabled():  # the kernels spread their rows or columns over threads themselves
        # the descriptors interleaved by row, the exposures then written over them (no panel of their own)
        desc = native.descriptor_rows(panel.ret, panel.ret_clean, panel.turnover, market_return(panel), r0,
                                      panel.start, decay(BETA_HALFLIFE), BETA_WINDOW, BETA_MIN_OBS, MOM_WINDOW,
                                      MOM_LAG, MOM_MIN_OBS)
        fund = {"book": panel.book[r0:], "earnings": panel.earnings[r0:], "debt": panel.debt[r0:],
                "growth": panel.growth[r0:]}
        return native.styles_over(desc, fund, panel.cap[r0:], panel.industry[r0:], n_ind, WINSOR_MADS, STYLE_FACTORS)
    mkt = market_return(panel)[:, None]
    with ThreadPoolExecutor(max_workers=max(1, threads)) as pool:
        cols = _blocks(panel.ret.shape[1], threads)
        parts = list(pool.map(lambda c: _descriptors(panel.ret[:, c], panel.ret_clean[:, c], panel.turnover[:, c],
                                                     mkt, r0, panel.start), cols))
        d = {k: np.hstack([p[k] for p in parts]) for k in parts[0]}
        d.update(book=panel.book[r0:], earnings=panel.earnings[r0:], debt=panel.debt[r0:],
                 growth=panel.growth[r0:])
        cap = panel.cap[r0:]
        ind = panel.industry[r0:]
        rows = _blocks(cap.shape[0], threads)
        parts = list(pool.map(lambda b: _styles({k: v[b] for k, v in d.items()}, cap[b], ind[b], n_ind), rows))
    return np.concatenate(parts, axis=0)
