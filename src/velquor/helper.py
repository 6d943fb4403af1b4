"""OptimizeHelper: the covariances, factor exposures and benchmark data of one optimisation request."""

from __future__ import annotations

import datetime as _dt
import math
import numbers
import warnings
from functools import cached_property

import numpy as np
import pandas as pd
import zorvata

from ._interrupt import guard_scs
from .coerce import to_date, to_enum
from .const import STYLE_FACTORS, CovModel, IndustryClassification, RiskModel
from .exception import InvalidArgument, OptimizerWarning
from .riskmodel import custom, service

__all__ = ["OptimizeHelper", "FactorCovariance", "without_model_data"]

guard_scs()  # every optimisation builds a helper first: a solve stopped by Ctrl-C raises KeyboardInterrupt


class FactorCovariance(np.ndarray):
    """A covariance matrix that also carries its factor decomposition,
    ``matrix == factor_root @ factor_root.T + np.diag(specific_variance)``.

    For every other purpose it is the plain float64 n x n matrix. The objectives use the decomposition to hand
    the quadratic form to the solver in factor form (an (n + k)-row problem instead of a dense n x n one).
    Arrays derived from it (slices, copies, arithmetic results) no longer carry the decomposition.
    """

    factor_root: np.ndarray | None
    specific_variance: np.ndarray | None

    def __new__(cls, matrix: np.ndarray, factor_root: np.ndarray, specific_variance: np.ndarray):
        obj = np.asarray(matrix, dtype=np.float64).view(cls)
        obj.factor_root = np.ascontiguousarray(factor_root, dtype=np.float64)
        obj.specific_variance = np.ascontiguousarray(specific_variance, dtype=np.float64)
        return obj

    def __array_finalize__(self, obj) -> None:
        # Anything made from the matrix is a new matrix: its decomposition is unknown.
        self.factor_root = None
        self.specific_variance = None

    def __reduce__(self):
        # Pickles (and copies across processes) as the plain matrix.
        return np.asarray(self).copy().__reduce__()


def _aversion(value, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) or value < 0:
        raise InvalidArgument(f"{name} must be a finite number >= 0, got {value!r}")
    return float(value)


def without_model_data(order_book_ids, date, cov_model, risk_model) -> list:
    """The ids the risk model for ``date`` has no data for (not trading yet on its as-of day, or no
    longer)."""
    model = OptimizeHelper([], date, None, cov_model, risk_model, 1.0, 1.0)._model
    return [i for i in order_book_ids if i not in model.position]


class OptimizeHelper:
    """Risk-model view of one request: the pool, the date, the benchmark and the chosen model variant.

    Covariances are ``factor_risk_aversion * X F X' + specific_risk_aversion * D`` in units of the chosen
    horizon (one trading day, 21 or 63), from the model estimated with data up to the close of
    ``prev_trading_date``.
    """

    def __init__(self, order_book_ids, date, benchmark, cov_model, risk_model, factor_risk_aversion,
                 specific_risk_aversion):
        ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
        self._order_book_ids = ids
        self._date = to_date(date)
        self._benchmark = benchmark
        self._cov_model = to_enum(cov_model, CovModel, "cov_model")
        self._risk_model = to_enum(risk_model, RiskModel, "risk_model")
        self._factor_risk_aversion = _aversion(factor_risk_aversion, "factor_risk_aversion")
        self._specific_risk_aversion = _aversion(specific_risk_aversion, "specific_risk_aversion")
        if self._risk_model is RiskModel.CUSTOM:
            self._prev_trading_date, self._model = custom.model_for(self._date, self._cov_model)
        else:
            ctx = service.context()
            pos = service.resolve_asof(ctx, self._date)
            self._prev_trading_date = ctx.date(pos)
            self._model = service.get_model(ctx, pos, self._cov_model, self._risk_model)
        position = self._model.position
        missing = [i for i in ids if i not in position]
        if missing:
            raise InvalidArgument(
                f"no risk model data for {', '.join(map(str, missing))} as of "
                f"{self._prev_trading_date.isoformat()} (not trading in the market data yet, or no longer)")
        self._rows = np.fromiter((position[i] for i in ids), dtype=np.intp, count=len(ids))

    # ---- request data
    @property
    def order_book_ids(self) -> list:
        return self._order_book_ids

    @property
    def date(self) -> _dt.date:
        return self._date

    @property
    def prev_trading_date(self) -> _dt.date:
        return self._prev_trading_date

    @property
    def benchmark(self):
        return self._benchmark

    # ---- benchmark
    @cached_property
    def _benchmark_parts(self) -> tuple[list, pd.Series, np.ndarray]:
        pool = self._order_book_ids
        if self._benchmark is None:
            return list(pool), pd.Series(0.0, index=pd.Index(pool, dtype=object)), self._rows
        raw = self._benchmark.get_weight(self._date)
        weights = pd.Series(raw, dtype=np.float64) if not isinstance(raw, pd.Series) else raw.astype(np.float64)
        weights = weights[weights.notna() & (weights != 0)]
        weights = weights.groupby(level=0, sort=False).sum()
        in_pool = set(pool)
        position = self._model.position
        # tolist() first: iterating an Arrow-backed index yields its items one Python call at a time
        others = sorted(str(i) for i in weights.index.tolist() if i not in in_pool)
        dropped = [i for i in others if i not in position]
        if dropped:
            kept_total = weights.drop(dropped).sum()
            total = weights.sum()
            warnings.warn(
                f"benchmark constituents without risk model data as of {self._prev_trading_date.isoformat()} "
                f"left out, weights of the others rescaled: {', '.join(dropped)}",
                # 4: past this method, cached_property.__get__ and the member that was read
                category=OptimizerWarning, stacklevel=4)
            weights = weights.drop(dropped)
            if kept_total != 0:
                weights = weights * (total / kept_total)
            others = [i for i in others if i in position]
        union = list(pool) + others
        bw = weights.reindex(pd.Index(union, dtype=object), fill_value=0.0)
        rows = np.concatenate([self._rows, np.fromiter((position[i] for i in others), dtype=np.intp,
                                                       count=len(others))])
        return union, bw, rows

    @property
    def union_components(self) -> list:
        return self._benchmark_parts[0]

    @property
    def benchmark_weight(self) -> pd.Series:
        return self._benchmark_parts[1]

    # ---- covariances and exposures
    def _cov(self, rows: np.ndarray, factor_risk_aversion: float | None = None,
             specific_risk_aversion: float | None = None) -> np.ndarray:
        # The aversions default to the request's; the constraints ask for the model's own scale (1, 1).
        fa = self._factor_risk_aversion if factor_risk_aversion is None else factor_risk_aversion
        sa = self._specific_risk_aversion if specific_risk_aversion is None else specific_risk_aversion
        model = self._model
        b = model.design(rows) @ model.cov_root
        cov = b @ b.T
        cov *= fa
        cov += cov.T
        cov *= 0.5
        specific = sa * model.specific_var[rows]
        cov[np.diag_indices_from(cov)] += specific
        return FactorCovariance(np.ascontiguousarray(cov, dtype=np.float64), b * math.sqrt(fa), specific)

    def get_cov_matrix(self) -> np.ndarray:
        """Covariance of the pool, n x n in pool order."""
        return self._cov(self._rows)

    def get_union_cov_matrix(self) -> np.ndarray:
        """Covariance over ``union_components``, m x m."""
        return self._cov(self._benchmark_parts[2])

    def _exposure_frame(self, rows: np.ndarray, index) -> pd.DataFrame:
        model = self._model
        if isinstance(model, custom.CustomModel):
            return model.exposure_frame(rows, index)
        x = model.design(rows)
        return pd.DataFrame(x[:, [*range(1 + len(model.industry_names), x.shape[1]), *range(1 + len(model.industry_names))]],
                            index=pd.Index(index, dtype=object),
                            columns=[*STYLE_FACTORS, *model.factor_names[:1 + len(model.industry_names)]])

    def get_factor_exposure(self) -> pd.DataFrame:
        """Exposures of the pool (rows in pool order): the styles, then the country and industry columns."""
        return self._exposure_frame(self._rows, self._order_book_ids)

    def get_factor_covariance(self) -> pd.DataFrame:
        """Factor covariance ``factor_risk_aversion * F``, labelled and ordered like the columns of
        ``get_factor_exposure()``, so that ``X F X' + diag(get_cov_matrix().specific_variance)`` is the pool's
        covariance (same units)."""
        model = self._model
        k_ind = 1 + len(model.industry_names)
        order = [*range(k_ind, len(model.factor_names)), *range(k_ind)]
        cov = np.asarray(model.factor_cov, dtype=np.float64)[np.ix_(order, order)] * self._factor_risk_aversion
        names = [*STYLE_FACTORS, *model.factor_names[:k_ind]]
        return pd.DataFrame(cov, index=pd.Index(names, dtype=object), columns=pd.Index(names, dtype=object))

    def get_specific_variance(self) -> pd.Series:
        """Specific variances of the pool (pool order), ``specific_risk_aversion * D``: with
        ``get_factor_exposure()`` and ``get_factor_covariance()`` the pool's covariance without forming the
        n x n matrix."""
        var = self._specific_risk_aversion * np.asarray(self._model.specific_var, dtype=np.float64)[self._rows]
        return pd.Series(var, index=pd.Index(self._order_book_ids, dtype=object), name="specific_variance")

    def get_benchmark_style(self) -> pd.Series:
        """Weighted style exposures of the benchmark, by style name."""
        if self._benchmark is None:
            raise InvalidArgument("get_benchmark_style needs a benchmark")
        union, bw, rows = self._benchmark_parts
        w = bw.to_numpy(dtype=np.float64)
        total = w.sum()
        style = self._model.style[rows].astype(np.float64)
        values = (w @ style) / total if total != 0 else np.zeros(len(STYLE_FACTORS))
        return pd.Series(values, index=pd.Index(STYLE_FACTORS, dtype=object), dtype=np.float64)

    # ---- what the constraint library reads (velquor.constraint)
    #: periods of the covariance horizon in a year: one trading day, 21 or 63 trading days
    _PERIODS_PER_YEAR = {CovModel.FACTOR_MODEL_DAILY: 252, CovModel.FACTOR_MODEL_MONTHLY: 12,
                         CovModel.FACTOR_MODEL_QUARTERLY: 4}

    @property
    def annualization_factor(self) -> int:
        """Periods of the covariance horizon in a year (252, 12 or 4): a variance times this is annual."""
        return self._PERIODS_PER_YEAR[self._cov_model]

    def get_union_model_cov_matrix(self) -> np.ndarray:
        """The risk model's covariance over ``union_components`` without the two risk-aversion scalings,
        in units of the horizon (m x m, carrying its factor decomposition like the other covariances)."""
        return self._cov(self._benchmark_parts[2], 1.0, 1.0)

    def get_union_style_exposure(self) -> pd.DataFrame:
        """Style exposures over ``union_components`` (rows in union order, columns ``STYLE_FACTORS``)."""
        union, _, rows = self._benchmark_parts
        return pd.DataFrame(self._model.style[rows].astype(np.float64), index=pd.Index(union, dtype=object),
                            columns=list(STYLE_FACTORS))

    def get_union_industry(self, classification="sw") -> pd.Series:
        """Industry code of each member of ``union_components`` under ``classification`` (an
        ``IndustryClassification`` or its text) as of the request date; None where the market data has no
        code for the stock on that date."""
        scheme = to_enum(classification, IndustryClassification, "classification")
        union = self._benchmark_parts[0]
        codes = zorvata.get_industry(union, source=scheme.value, date=self._date)
        codes = codes.reindex(pd.Index(union, dtype=object))
        return pd.Series([c if isinstance(c, str) else None for c in codes], index=codes.index, dtype=object,
                         name=codes.name)
