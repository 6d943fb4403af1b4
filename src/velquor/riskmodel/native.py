"""The native kernels of the estimation (``velquor._rmkernels``) and the switch between them and the numpy
reference they reproduce.

The numpy code in ``kernels``, ``exposures`` and ``pipeline`` stays the reference: setting the environment
variable ``VELQUOR_RISKMODEL_REFERENCE=1`` (or running inside ``reference()``) makes the pipeline use it
throughout. The native kernels give the same numbers up to rounding (the windowed sums bit for bit).
"""

from __future__ import annotations

import contextlib
import os
from typing import Iterable, Iterator

import numpy as np

try:
    from .. import _rmkernels as _rmk
except ImportError:  # pragma: no cover - a source tree without the built extension
    _rmk = None

__all__ = ["ENV_REFERENCE", "enabled", "reference", "spare_blocks", "threads", "fingerprint", "windowed_sum",
           "market_return", "descriptors", "descriptor_rows", "row_median", "standardise", "orthogonalise",
           "fill_industry", "styles", "styles_over", "scatter", "scatter_batches", "fill_states", "specific_series",
           "specific_regime", "regressions", "eigen_bias_sums", "nw_grams"]

#: Environment variable selecting the numpy reference pipeline (any value but "" and "0").
ENV_REFERENCE = "VELQUOR_RISKMODEL_REFERENCE"
_forced: list[bool] = []


def enabled() -> bool:
    """Whether the pipeline runs the native kernels now."""
    if _rmk is None:
        return False
    if _forced:
        return not _forced[-1]
    return os.environ.get(ENV_REFERENCE, "") in ("", "0")


@contextlib.contextmanager
def reference(on: bool = True) -> Iterator[None]:
    """Run the body with the numpy reference pipeline (``on=False``: with the native kernels, if built)."""
    _forced.append(on)
    try:
        yield
    finally:
        _forced.pop()


@contextlib.contextmanager
def spare_blocks() -> Iterator[None]:
    """Inside the body, large native outputs that are freed are kept for later native outputs rather than
    given back to the system (bounded; freed when the last such body ends): a build's panels it no longer
    reads then serve its later results without fresh pages. Without the extension it does nothing."""
    if _rmk is None:
        yield
        return
    _rmk.spare_blocks(True)
    try:
        yield
    finally:
        _rmk.spare_blocks(False)


def threads() -> int:
    """Threads a native kernel spreads its rows or columns over: up to four, and no more than
    ``OMP_NUM_THREADS`` where that is set. Worker processes of a backtest or a cluster build get it set to 1
    (Dask's nanny does the same): there the work is spread over the processes, and two threads per worker on
    as many cores as workers would only take turns. Every count gives the same bits."""
    n = max(1, min(os.cpu_count() or 1, 4))
    cap = os.environ.get("OMP_NUM_THREADS", "")
    return min(n, int(cap)) if cap.isdigit() and int(cap) > 0 else n


def fingerprint() -> str:
    """What of the kernels decides persisted numbers: the native kernels' version, or the reference."""
    return f"native-{_rmk.KERNELS_VERSION}" if enabled() else "reference"


def _f64(x) -> np.ndarray:
    return np.ascontiguousarray(x, dtype=np.float64)


def windowed_sum(x: np.ndarray, lam: float, unit: bool, window: int, origin: int) -> np.ndarray:
    """``kernels.windowed_sum`` of a 1-D or 2-D array (columns in parallel), bit for bit."""
    x = _f64(x)
    flat = x.reshape(len(x), -1) if x.ndim != 2 else x
    out = _rmk.windowed_sum(flat, lam, unit, window, origin, threads())
    return out.reshape(x.shape)


def market_return(ret_clean: np.ndarray, cap: np.ndarray) -> np.ndarray:
    return _rmk.market_return(_f64(ret_clean), _f64(cap))


#: The descriptors of ``descriptor_rows`` in the order of their interleaved rows.
_DESCRIPTORS = ("beta", "hsigma", "dastd", "mom", "liq")


def descriptor_rows(ret, clean, turnover, mkt, r0: int, origin: int, beta_lam: float, beta_window: int,
                    beta_min_obs: int, mom_window: int, mom_lag: int, mom_min_obs: int) -> np.ndarray:
    """The descriptors of ``exposures._descriptors`` interleaved by row: (rows, 5, stocks) float64, the five in
    the order of ``_DESCRIPTORS``. A row is as long as a row of the styles, which ``styles_over`` writes in
    their place."""
    return _rmk.descriptors(_f64(ret), _f64(clean), _f64(turnover), _f64(mkt).reshape(-1), r0, origin, beta_lam,
                            beta_window, beta_min_obs, mom_window, mom_lag, mom_min_obs, threads())


def descriptors(ret, clean, turnover, mkt, r0: int, origin: int, beta_lam: float, beta_window: int,
                beta_min_obs: int, mom_window: int, mom_lag: int, mom_min_obs: int) -> dict[str, np.ndarray]:
    """``descriptor_rows`` as a dict of (rows, stocks) views, like ``exposures._descriptors``."""
    rows = descriptor_rows(ret, clean, turnover, mkt, r0, origin, beta_lam, beta_window, beta_min_obs, mom_window,
                           mom_lag, mom_min_obs)
    return {k: rows[:, i] for i, k in enumerate(_DESCRIPTORS)}


def row_median(x: np.ndarray) -> np.ndarray:
    """Median of the finite entries of every row, as a column (like ``exposures.row_median``)."""
    return _rmk.row_median(_f64(x), threads())[:, None]


def standardise(x: np.ndarray, cap: np.ndarray, mads: float) -> np.ndarray:
    return _rmk.standardise(_f64(x), _f64(cap), mads, threads())


def orthogonalise(y: np.ndarray, xs: list[np.ndarray], cap: np.ndarray) -> np.ndarray:
    return _rmk.orthogonalise(_f64(y), [_f64(x) for x in xs], _f64(cap), threads())


def fill_industry(x: np.ndarray, cap: np.ndarray, industry: np.ndarray, n_ind: int, out: np.ndarray, k: int) -> None:
    """Style ``k`` of ``out`` (days, stocks, styles; float32) filled in place."""
    _rmk.fill_industry(_f64(x), _f64(cap), np.ascontiguousarray(industry, dtype=np.int16), n_ind, out, k, threads())


def scatter(day, col, row_of_day: np.ndarray, values, rows: int, cols: int) -> list[np.ndarray]:
    """Dense (rows, cols) panels of records, NaN where none lands: record i at row ``row_of_day[day[i]]`` (none
    when negative) and column ``col[i]``, one panel per array of ``values`` (``data._scatter``). The records may
    come in batches: ``day`` and ``col`` lists of arrays and ``values`` a list (per batch) of lists (per field),
    so that fetched columns reach the kernel without being joined into one array first."""
    if isinstance(day, np.ndarray):
        day, col, values = [day], [col], [values]
    return _rmk.scatter([np.ascontiguousarray(d, dtype=np.int32) for d in day],
                        [np.ascontiguousarray(c, dtype=np.int32) for c in col],
                        np.ascontiguousarray(row_of_day, dtype=np.int64), [[_f64(v) for v in vs] for vs in values],
                        rows, cols)


def scatter_batches(batches: Iterable[tuple[np.ndarray, np.ndarray, list[np.ndarray]]], row_of_day: np.ndarray,
                    rows: int, cols: int, fields: int) -> list[np.ndarray]:
    """``scatter`` of records that arrive batch by batch, (day, col, [values per field]): each batch is placed
    as it comes and can be dropped before the next one is fetched."""
    panels = _rmk.nan_panels(rows, cols, fields)
    row_of_day = np.ascontiguousarray(row_of_day, dtype=np.int64)
    for day, col, values in batches:
        _rmk.scatter_into(np.ascontiguousarray(day, dtype=np.int32), np.ascontiguousarray(col, dtype=np.int32),
                          row_of_day, [_f64(v) for v in values], panels)
    return panels


def fill_states(row: np.ndarray, col: np.ndarray, values: list[np.ndarray], rows: int, cols: int) -> list[np.ndarray]:
    """Point-in-time (rows, cols) panels of report states (``data._fundamentals``): state i of stock ``col[i]``
    known from panel row ``row[i]`` on (ascending), one panel per array of ``values``; a cell holds of each
    field the latest value that is not NaN among its stock's states up to its row, a later state of a stock on
    the same row replacing an earlier one."""
    return _rmk.fill_states(np.ascontiguousarray(row, dtype=np.int64), np.ascontiguousarray(col, dtype=np.int64),
                            [_f64(v) for v in values], rows, cols)


def specific_series(u: np.ndarray, first: int, origin: int, lam: float, window: int, lags: int, threshold: float,
                    min_obs: float, floor_share: float) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """``pipeline._specific_var_series`` and the mean absolute specific return of ``pipeline.horizon_series`` of
    the rows of ``u`` from ``first`` on (row ``first`` is calendar position ``origin``; earlier rows NaN): the
    floored Newey-West and plain specific variances, the observation counts and the mean absolute return."""
    return _rmk.specific_series(_f64(u), first, origin, lam, window, lags, threshold, min_obs, floor_share, threads())


def specific_regime(u: np.ndarray, var0: np.ndarray, cnt: np.ndarray, cap: np.ndarray, r0: int, r1: int,
                    at: list[int], min_obs: float) -> tuple[np.ndarray, np.ndarray]:
    """The daily sums of ``pipeline._specific_regime`` over rows ``r0 .. r1 - 1`` as of each row of ``at`` (one
    row of each result per as-of row): realised and forecast (NaN realised on a day without a usable stock)."""
    return _rmk.specific_regime(_f64(u), _f64(var0), _f64(cnt), _f64(cap), r0, r1,
                                np.asarray(at, dtype=np.int64), min_obs)


#: The styles of ``styles`` in the order of the kernel's output positions.
_STYLE_ORDER = ("size", "beta", "momentum", "residual_volatility", "non_linear_size", "book_to_price", "liquidity",
                "earnings_yield", "growth", "leverage")


def styles(d: dict[str, np.ndarray], cap: np.ndarray, industry: np.ndarray, n_ind: int, mads: float,
           names: list[str]) -> np.ndarray:
    """Every style of every row (``exposures._styles``) in one pass: (days, stocks, styles) float32, styles in
    the order of ``names``. ``d`` holds the descriptors (beta, hsigma, dastd, mom, liq) and fundamentals
    (book, earnings, debt, growth) of the rows."""
    arrays = [_f64(d[k]) for k in ("beta", "hsigma", "dastd", "mom", "liq", "book", "earnings", "debt", "growth")]
    slot = [names.index(name) for name in _STYLE_ORDER]
    return _rmk.styles(arrays, _f64(cap), np.ascontiguousarray(industry, dtype=np.int16), n_ind, mads, slot,
                       threads())


def styles_over(desc: np.ndarray, fundamentals: dict[str, np.ndarray], cap: np.ndarray, industry: np.ndarray,
                n_ind: int, mads: float, names: list[str]) -> np.ndarray:
    """``styles`` of the descriptors of ``descriptor_rows``, written over them: returns the (days, stocks,
    styles) float32 view of ``desc``'s memory, which no longer holds the descriptors. ``fundamentals`` holds
    book, earnings, debt and growth. The exposures take no memory of their own this way: a row of ten float32
    styles is as long as a row of five float64 descriptors."""
    slot = [names.index(name) for name in _STYLE_ORDER]
    if desc.dtype != np.float64 or not desc.flags.c_contiguous or desc.ndim != 3 or len(names) != 2 * desc.shape[1]:
        raise ValueError("the descriptors must be a C-contiguous (rows, 5, stocks) float64 array")
    _rmk.styles_over(desc, [_f64(fundamentals[k]) for k in ("book", "earnings", "debt", "growth")], _f64(cap),
                     np.ascontiguousarray(industry, dtype=np.int16), n_ind, mads, slot, threads())
    rows, _, n = desc.shape
    return desc.reshape(rows, -1).view(np.float32).reshape(rows, n, len(names))


def regressions(y, x, industry, cap, est, has, active, n_ind: int, regression_mads: float,
                specific_mads: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Factor returns, capped specific returns and the days whose normal equations were singular."""
    return _rmk.regressions(_f64(y), np.ascontiguousarray(x, dtype=np.float32),
                            np.ascontiguousarray(industry, dtype=np.int16), _f64(cap),
                            np.ascontiguousarray(est, dtype=bool), np.ascontiguousarray(has, dtype=bool),
                            np.ascontiguousarray(active, dtype=bool), n_ind, regression_mads, specific_mads,
                            threads())


def eigen_bias_sums(vals: np.ndarray, g_vol: np.ndarray, g_corr: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """The sums over the draws of ``kernels.simulated_eigen_bias``: per rank of the ascending eigenvalues of the
    simulated matrices, their eigenvalues (negative ones as 0) and their eigenvectors' variances under the
    eigenvalues ``vals`` (none negative). ``g_vol``: the volatility moments' diagonals (draws, k) or the moments
    (draws, k, k). None when a draw's eigenvalues fail to converge."""
    g_vol = np.asarray(g_vol)
    if g_vol.ndim == 3:
        g_vol = np.einsum("mii->mi", g_vol)
    return _rmk.eigen_bias_sums(_f64(vals), _f64(g_vol), _f64(g_corr), threads())


def nw_grams(z: np.ndarray, w_vol: np.ndarray, c_vol: np.ndarray, w_corr: np.ndarray,
             c_corr: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """``kernels._nw_gram_folded`` of every draw of ``z`` (draws, t, k) over its last ``len(w_vol)`` rows, the
    diagonal only (draws, k), and over its last ``len(w_corr)`` rows (draws, k, k); ``c_vol`` and ``c_corr``
    are the folded coefficients (``kernels._nw_coefficients``)."""
    return _rmk.nw_grams(_f64(z), _f64(w_vol), _f64(c_vol), _f64(w_corr), _f64(c_corr), threads())
