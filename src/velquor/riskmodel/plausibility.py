"""Checks an estimate passes before it is stored: degenerate data shows here first.

Two style factors whose exposures move together across the whole cross-section (earnings a fixed fraction of
book value for every stock makes book-to-price and earnings yield the same column) leave the day's
regression without a unique answer: the factor returns, and the variances built from them, explode. An
estimate is therefore refused when a variance leaves the plausible range, naming the factors and, when there
are any, the collinear pairs behind it; collinear exposures alone are warned about.
"""

from __future__ import annotations

import warnings

import numpy as np

from ..exception import OptimizerWarning
from .params import STYLE_FACTORS

__all__ = ["MAX_DAILY_VARIANCE", "COLLINEAR_CORRELATION", "ImplausibleEstimate", "collinear_styles",
           "check_estimate", "factor_variance"]

#: Largest plausible daily variance of a factor, a stock's specific return or a stock's total return: a
#: daily volatility of 50%, far beyond what daily price limits allow (a healthy market's stocks sit near
#: 3e-4, factors below 1e-3).
MAX_DAILY_VARIANCE = 0.25
#: Absolute cross-sectional correlation from which two style exposures count as the same column.
COLLINEAR_CORRELATION = 0.9999


class ImplausibleEstimate(ValueError):
    """An estimate whose variances lie outside the plausible range (see ``MAX_DAILY_VARIANCE``)."""


def collinear_styles(style: np.ndarray, cap: np.ndarray | None = None) -> list[tuple[str, str, float]]:
    """Pairs of style factors whose exposures over the stocks (rows of ``style``) are collinear:
    ``(name, name, correlation)``, cap-weighted when ``cap`` is given."""
    x = np.asarray(style, dtype=np.float64)
    ok = np.isfinite(x).all(axis=1)
    if cap is not None:
        ok &= np.isfinite(cap) & (cap > 0)
    x = x[ok]
    if len(x) < 3:
        return []
    w = np.ones(len(x)) if cap is None else np.asarray(cap, dtype=np.float64)[ok]
    w = w / w.sum()
    xc = x - w @ x
    cov = (xc * w[:, None]).T @ xc
    sd = np.sqrt(np.diag(cov))
    out = []
    for a in range(len(sd)):
        for b in range(a + 1, len(sd)):
            if sd[a] > 0 and sd[b] > 0:
                r = float(cov[a, b] / (sd[a] * sd[b]))
                if abs(r) >= COLLINEAR_CORRELATION:
                    out.append((STYLE_FACTORS[a], STYLE_FACTORS[b], r))
    return out


def factor_variance(style: np.ndarray, industry: np.ndarray, cov: np.ndarray) -> np.ndarray:
    """x' cov x of every stock's exposure row x = [1, its industry's dummy, its styles] (no dummy when the
    industry is negative), without building the rows: the dummies pick entries of ``cov``."""
    n_styles = style.shape[1]
    k = len(cov)
    s = np.asarray(style, dtype=np.float64)
    ind = np.asarray(industry, dtype=np.int64)
    has = ind >= 0
    col = np.where(has, 1 + ind, 0)
    sty = slice(k - n_styles, k)
    # country and industry entries, then their cross terms with the styles, then the styles' quadratic form
    out = cov[0, 0] + np.where(has, 2.0 * cov[0, col] + cov[col, col], 0.0)
    cross = cov[0, sty] + np.where(has[:, None], cov[col, sty], 0.0)
    out = out + 2.0 * (s * cross).sum(axis=1)
    return out + ((s @ cov[sty, sty]) * s).sum(axis=1)


def check_estimate(day: str, factor_names: list[str], ids: list[str], style: np.ndarray, cap: np.ndarray,
                   factor_cov: np.ndarray, specific_var: np.ndarray, design: np.ndarray | None, days: int,
                   pairs: list[tuple[str, str, float]] | None = None,
                   industry: np.ndarray | None = None) -> None:
    """Refuse (`ImplausibleEstimate`) an estimate as of ``day`` whose daily factor variances (horizon units
    divided by ``days``) are not finite, negative or above ``MAX_DAILY_VARIANCE``, or whose specific variances
    are not finite or not positive; warn (`OptimizerWarning`) about stocks whose specific or total variance
    lies above ``MAX_DAILY_VARIANCE`` (a short or wild history on a small market gives a few such stocks: the
    rest of the model is sound, so the request goes on) and about collinear style exposures. ``design`` holds
    the stocks' full exposure rows; without it, ``industry`` gives their industries (the rows are rebuilt from
    those and the styles, see ``factor_variance``). ``pairs``, when given, is ``collinear_styles(style, cap)``."""
    if pairs is None:
        pairs = collinear_styles(style, cap)
    cause = ""
    if pairs:
        names = "; ".join(f"{a} and {b} (correlation {r:+.6f})" for a, b, r in pairs)
        cause = (f"style factors with collinear exposures: {names}; their descriptors are proportional "
                 "across the market (check the fundamentals they come from)")
    fvar = np.diag(factor_cov) / days
    svar = np.asarray(specific_var, dtype=np.float64) / days
    bad = []
    wild = [i for i, v in enumerate(fvar) if not (np.isfinite(v) and 0 <= v <= MAX_DAILY_VARIANCE)]
    wild.sort(key=lambda i: -fvar[i] if np.isfinite(fvar[i]) else -np.inf)  # the worst first
    if wild:
        bad.append("factor variance " + ", ".join(f"{factor_names[i]} {fvar[i]:.3g}" for i in wild[:5])
                   + (f" and {len(wild) - 5} more" if len(wild) > 5 else ""))
    wrong = np.flatnonzero(~(np.isfinite(svar) & (svar > 0)))
    if len(wrong):
        bad.append(f"specific variance of {len(wrong)} stock(s), e.g. {ids[wrong[0]]} {svar[wrong[0]]:.3g}")
    high = np.array([], dtype=np.intp)
    if not wild and not len(wrong) and np.isfinite(factor_cov).all():
        if design is None:
            total = factor_variance(style, industry, factor_cov / days) + svar
        else:
            total = ((design @ (factor_cov / days)) * design).sum(axis=1) + svar
        high = np.flatnonzero(~(total <= MAX_DAILY_VARIANCE))
    if bad:
        raise ImplausibleEstimate(
            f"the risk model as of {day} is implausible: daily {'; '.join(bad)} (plausible: above 0 and at "
            f"most {MAX_DAILY_VARIANCE:g}, a volatility of 50% a day)" + (f"; {cause}" if cause else ""))
    if len(high):
        warnings.warn(f"risk model as of {day}: daily variance of {len(high)} stock(s) above "
                      f"{MAX_DAILY_VARIANCE:g} (a volatility of 50% a day), e.g. {ids[high[0]]} "
                      f"{total[high[0]]:.3g}", OptimizerWarning, stacklevel=3)
    if pairs:
        warnings.warn(f"risk model: {cause}; the regression cannot tell them apart", OptimizerWarning,
                      stacklevel=3)
