"""Ex-ante risk report of a portfolio: total and active risk, their factor/specific split and contributions."""

from __future__ import annotations

import datetime as _dt
import math
import numbers
import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..const import HELD_WEIGHT, STYLE_FACTORS, CovModel, RiskModel
from ..exception import InvalidArgument, OptimizerWarning
from ..coerce import to_enum
from ..helper import OptimizeHelper, without_model_data

__all__ = ["RiskReport", "risk_report", "PERIODS_PER_YEAR", "as_benchmark", "as_weights"]

#: periods of each forecast horizon in a year: a horizon variance times this is an annual variance
PERIODS_PER_YEAR = {CovModel.FACTOR_MODEL_DAILY: 252, CovModel.FACTOR_MODEL_MONTHLY: 12,
                    CovModel.FACTOR_MODEL_QUARTERLY: 4}

#: label of stocks that have no code under a classification on the report's date
UNCLASSIFIED = "unclassified"


def as_weights(weights, name: str = "weights") -> pd.Series:
    """Weights as a float Series by order_book_id: finite values, unique labels, zeros dropped."""
    if isinstance(weights, pd.DataFrame):
        if weights.shape[1] != 1:
            raise InvalidArgument(f"{name} must be a Series (or a one-column table), got {weights.shape[1]} columns")
        weights = weights.iloc[:, 0]
    try:
        s = pd.Series(weights, dtype=np.float64) if not isinstance(weights, pd.Series) else weights.astype(np.float64)
    except (TypeError, ValueError) as e:
        raise InvalidArgument(f"{name} must map order_book_ids to numbers: {e}") from None
    s.index = s.index.map(str)
    if s.index.has_duplicates:
        dup = sorted(set(s.index[s.index.duplicated()]))
        raise InvalidArgument(f"{name} name a stock more than once: {', '.join(dup[:5])}")
    if not np.isfinite(s.to_numpy()).all():
        bad = list(s.index[~np.isfinite(s.to_numpy())])
        raise InvalidArgument(f"{name} must be finite numbers; not for {', '.join(bad[:5])}")
    s = s[s != 0]
    if s.empty:
        raise InvalidArgument(f"{name} hold no stock with a nonzero weight")
    return s.sort_index()


def as_benchmark(benchmark):
    """None, an index id (text) as an IndexBenchmark, or the caller's benchmark object unchanged."""
    if benchmark is None or not isinstance(benchmark, str):
        return benchmark
    from ..benchmark import IndexBenchmark

    return IndexBenchmark(benchmark)


def _benchmark_name(benchmark) -> str | None:
    if benchmark is None:
        return None
    oid = getattr(benchmark, "_order_book_id", None)
    return str(oid) if oid is not None else type(benchmark).__name__


def _expected(expected_returns, ids: list[str], prev: _dt.date, window: int) -> np.ndarray | None:
    """Annualised expected returns over `ids`: given (0 where missing) or the trailing mean daily return x 252."""
    if expected_returns is None:
        return None
    if isinstance(expected_returns, str):
        if expected_returns != "historical":
            raise InvalidArgument(f'expected_returns must be a Series, a dict, "historical" or None, '
                                  f'got {expected_returns!r}')
        import zorvata

        start = zorvata.trading_date_offset(prev, -window)
        mean = zorvata.get_price_change_rate(ids, start, prev).mean() * 252
        return mean.reindex(ids).fillna(0.0).to_numpy(dtype=np.float64)
    mu = expected_returns if isinstance(expected_returns, pd.Series) else pd.Series(expected_returns)
    try:
        mu = mu.astype(np.float64)
    except (TypeError, ValueError) as e:
        raise InvalidArgument(f"expected_returns must map order_book_ids to numbers: {e}") from None
    mu.index = mu.index.map(str)
    return mu.reindex(ids, fill_value=0.0).fillna(0.0).to_numpy(dtype=np.float64)


@dataclass
class _Risk:
    """Decomposition of one weight vector's annualised variance."""

    variance: float
    factor_variance: float
    specific_variance: float
    marginal: np.ndarray  # d risk / d w_i per stock
    factor_contrib: np.ndarray  # contribution of each factor to the risk
    specific_contrib: np.ndarray  # contribution of each stock's specific variance to the risk

    @property
    def risk(self) -> float:
        return math.sqrt(max(self.variance, 0.0))


def _decompose(p: np.ndarray, x: np.ndarray, f: np.ndarray, d: np.ndarray, annual: float) -> _Risk:
    xp = x.T @ p  # portfolio exposures
    fx = f @ xp
    factor_var = float(xp @ fx) * annual
    specific_var = float(p * p @ d) * annual
    var = factor_var + specific_var
    sigma = math.sqrt(max(var, 0.0))
    grad = (x @ fx + d * p) * annual  # d var / d p / 2
    if sigma > 0:
        marginal = grad / sigma
        factor_contrib = xp * fx * annual / sigma
        specific_contrib = p * p * d * annual / sigma
    else:
        marginal = np.full_like(p, np.nan)
        factor_contrib = np.zeros_like(xp)
        specific_contrib = np.zeros_like(p)
    return _Risk(var, factor_var, specific_var, marginal, factor_contrib, specific_contrib)


def _group_of(factor: str) -> str:
    if factor in STYLE_FACTORS:
        return "style"
    return "country" if factor == "country" else "industry"


@dataclass
class RiskReport:
    """Ex-ante risk of a portfolio on one date from the factor risk model, annualised.

    Risks are standard deviations of annual returns (the horizon's variance times its periods per year: 252,
    12 or 4). Variances add up: ``factor_risk**2 + specific_risk**2 == total_risk**2``, and the absolute
    contributions in every table sum to the risk they decompose. Against a benchmark the same holds for the
    active weights (portfolio minus benchmark) and the tracking error.

    Tables (DataFrames):

    - ``stocks``: by stock over the portfolio and the benchmark's constituents: ``weight``,
      ``benchmark_weight``, ``active_weight``, ``marginal`` (d risk / d weight), ``contribution`` (weight x
      marginal), ``percent`` (contribution / risk) and, with a benchmark, the same three for the tracking
      error (``active_marginal``, ``active_contribution``, ``active_percent``).
    - ``factors``: by risk-model factor (styles, country, industries) plus a ``specific`` row: ``group``,
      ``exposure``, ``benchmark_exposure``, ``active_exposure``, ``contribution``, ``percent``,
      ``active_contribution``, ``active_percent``.
    - ``groups``: ``factors`` summed by group (country, industry, style, specific).
    - ``styles``: style exposures of portfolio, benchmark and their difference.
    - ``industry_contributions(source)``: by industry under any classification scheme of the market data.
    """

    date: _dt.date
    prev_trading_date: _dt.date
    cov_model: CovModel
    risk_model: RiskModel
    benchmark: str | None
    periods_per_year: int
    summary: pd.Series
    stocks: pd.DataFrame
    factors: pd.DataFrame
    industry_source: str = "sw"
    _industries: dict = field(default_factory=dict, repr=False)

    # ---- derived tables
    @property
    def groups(self) -> pd.DataFrame:
        cols = [c for c in ("contribution", "percent", "active_contribution", "active_percent")
                if c in self.factors]
        g = self.factors.groupby("group", sort=False)[cols].sum()
        return g.reindex([k for k in ("country", "industry", "style", "specific") if k in g.index])

    @property
    def styles(self) -> pd.DataFrame:
        f = self.factors
        return f.loc[[s for s in STYLE_FACTORS if s in f.index],
                     ["exposure", "benchmark_exposure", "active_exposure"]].copy()

    def industry_contributions(self, source: str | None = None) -> pd.DataFrame:
        """Weights, active weights and risk contributions summed by industry under `source` ("sw",
        "citics" or "sw_split_financials"; default: the report's), codes as index, with their names."""
        import zorvata

        src = self.industry_source if source is None else source
        if src not in zorvata.INDUSTRY_SOURCES:
            raise InvalidArgument(f"industry source must be one of {list(zorvata.INDUSTRY_SOURCES)}, got {src!r}")
        if src not in self._industries:
            st = self.stocks
            codes = zorvata.get_industry(list(st.index), src, self.prev_trading_date)
            code = codes.reindex(st.index).fillna(UNCLASSIFIED)
            cols = [c for c in ("weight", "benchmark_weight", "active_weight", "contribution", "percent",
                                "active_contribution", "active_percent") if c in st]
            table = st[cols].groupby(code.to_numpy()).sum()
            table.index.name = "industry"
            names = zorvata.get_industry_names(src)
            table.insert(0, "name", [names.get(c, c) for c in table.index])
            self._industries[src] = table.sort_values("weight", ascending=False)
        return self._industries[src].copy()

    # ---- export
    def to_frame(self) -> pd.DataFrame:
        """The summary as a one-row DataFrame indexed by date (reports of several dates concatenate)."""
        return pd.DataFrame([self.summary.to_dict()], index=pd.Index([self.date], name="date"))

    def to_dict(self) -> dict[str, Any]:
        """Everything as plain Python values (JSON-serialisable): summary and the tables as records."""

        def records(df: pd.DataFrame, key: str) -> list[dict]:
            out = df.reset_index().rename(columns={df.index.name or "index": key})
            return [{k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in row.items()}
                    for row in out.to_dict("records")]

        return {
            "date": self.date.isoformat(),
            "prev_trading_date": self.prev_trading_date.isoformat(),
            "cov_model": self.cov_model.value,
            "risk_model": self.risk_model.value,
            "benchmark": self.benchmark,
            "periods_per_year": self.periods_per_year,
            "summary": {k: (None if isinstance(v, float) and math.isnan(v) else v)
                        for k, v in self.summary.items()},
            "stocks": records(self.stocks, "order_book_id"),
            "factors": records(self.factors, "factor"),
            "industries": records(self.industry_contributions(), "industry"),
        }

    def plot(self, kind: str = "overview", path=None, **kwargs):
        """A matplotlib Figure: "overview" (three panels), "industry", "contributions" or "style";
        saved to `path` when given. Keywords go to the plot function (see velquor.analytics.plots)."""
        from . import plots

        funcs = {"overview": plots.plot_report, "industry": plots.plot_industry_weights,
                 "contributions": plots.plot_risk_contributions, "style": plots.plot_style_exposures}
        if kind not in funcs:
            raise InvalidArgument(f"kind must be one of {list(funcs)}, got {kind!r}")
        return funcs[kind](self, path=path, **kwargs)

    def __repr__(self) -> str:
        s = self.summary
        parts = [f"RiskReport({self.date.isoformat()}, {self.cov_model.value}-{self.risk_model.value}",
                 f"total_risk={s['total_risk']:.2%}"]
        if self.benchmark is not None:
            parts.append(f"tracking_error={s['tracking_error']:.2%} vs {self.benchmark}")
        return ", ".join(parts) + ")"


def risk_report(weights, date, benchmark=None, cov_model="daily", risk_model="v1", *, expected_returns=None,
                window: int = 252, industry_source: str = "sw") -> RiskReport:
    """Ex-ante risk report of `weights` (a Series or dict by order_book_id, used as given: a portfolio
    whose weights sum to less than 1 holds the rest in riskless cash) on `date`.

    `benchmark` is an index id or an OptimizeBenchmark; `cov_model` (daily/monthly/quarterly) and
    `risk_model` (v1/v2) pick the risk model, whose horizon variances are annualised with 252, 12 or 4
    periods a year. `expected_returns` (annualised, by order_book_id; missing stocks count as 0, or
    "historical": the mean daily return over the `window` trading days before the date, times 252) adds the
    portfolio's expected return and, with a benchmark, its expected active return.
    """
    w = as_weights(weights)
    cm = to_enum(cov_model, CovModel, "cov_model")
    rm = to_enum(risk_model, RiskModel, "risk_model")
    if isinstance(window, bool) or not isinstance(window, numbers.Integral) or window < 2:
        raise InvalidArgument(f"window must be an integer >= 2, got {window!r}")
    bench = as_benchmark(benchmark)
    # stocks the risk model has no data for (delisted, say) are warned about and held as cash, as
    # portfolio_optimize drops them from a pool
    uncovered = without_model_data(list(w.index), date, cm, rm)
    uncovered_weight = float(w[uncovered].sum()) if uncovered else 0.0
    if uncovered:
        if len(uncovered) == len(w):
            raise InvalidArgument(f"no stock of the portfolio has risk model data on {date}: "
                                  f"{', '.join(map(str, uncovered))}")
        warnings.warn(f"no risk model data for {', '.join(map(str, uncovered))} (not trading on the model's "
                      f"day): their weight {uncovered_weight:.4%} is held as cash in the report",
                      OptimizerWarning, stacklevel=2)
        w = w.drop(uncovered)
    pool = list(w.index)
    helper = OptimizeHelper(pool, date, bench, cm, rm, 1.0, 1.0)
    union = list(helper.union_components)
    full = helper if len(union) == len(pool) else OptimizeHelper(union, date, None, cm, rm, 1.0, 1.0)
    exposure = full.get_factor_exposure()
    x = exposure.to_numpy(dtype=np.float64)
    f = full.get_factor_covariance().reindex(index=exposure.columns, columns=exposure.columns).to_numpy()
    d = np.asarray(full.get_cov_matrix().specific_variance, dtype=np.float64)
    annual = PERIODS_PER_YEAR[cm]

    wu = w.reindex(union, fill_value=0.0).to_numpy(dtype=np.float64)
    total = _decompose(wu, x, f, d, annual)
    stocks = pd.DataFrame({"weight": wu}, index=pd.Index(union, name="order_book_id"))
    factors = pd.DataFrame({"group": [_group_of(c) for c in exposure.columns], "exposure": x.T @ wu},
                           index=pd.Index(exposure.columns, name="factor"))
    summary = {"total_risk": total.risk, "factor_risk": math.sqrt(max(total.factor_variance, 0.0)),
               "specific_risk": math.sqrt(max(total.specific_variance, 0.0))}
    if bench is not None:
        bu = helper.benchmark_weight.reindex(union).to_numpy(dtype=np.float64)
        active = _decompose(wu - bu, x, f, d, annual)
        stocks["benchmark_weight"] = bu
        stocks["active_weight"] = wu - bu
        factors["benchmark_exposure"] = x.T @ bu
        factors["active_exposure"] = factors["exposure"] - factors["benchmark_exposure"]
        summary.update(tracking_error=active.risk,
                       active_factor_risk=math.sqrt(max(active.factor_variance, 0.0)),
                       active_specific_risk=math.sqrt(max(active.specific_variance, 0.0)))
    else:
        active = None
        stocks["benchmark_weight"] = 0.0
        stocks["active_weight"] = wu
        factors["benchmark_exposure"] = 0.0
        factors["active_exposure"] = factors["exposure"]
        summary.update(tracking_error=math.nan, active_factor_risk=math.nan, active_specific_risk=math.nan)

    def contributions(r: _Risk, p: np.ndarray, prefix: str) -> None:
        sigma = r.risk
        stocks[prefix + "marginal"] = r.marginal
        stocks[prefix + "contribution"] = p * np.nan_to_num(r.marginal)
        stocks[prefix + "percent"] = stocks[prefix + "contribution"] / sigma if sigma > 0 else 0.0
        contrib = np.append(r.factor_contrib, r.specific_contrib.sum())
        factors_ext[prefix + "contribution"] = contrib
        factors_ext[prefix + "percent"] = contrib / sigma if sigma > 0 else 0.0

    specific_row = pd.DataFrame({"group": ["specific"], "exposure": [math.nan], "benchmark_exposure": [math.nan],
                                 "active_exposure": [math.nan]}, index=pd.Index(["specific"], name="factor"))
    factors_ext = pd.concat([factors, specific_row])
    factors_ext.index.name = "factor"
    contributions(total, wu, "")
    if active is not None:
        contributions(active, wu - bu, "active_")

    mu = _expected(expected_returns, union, helper.prev_trading_date, int(window))
    summary["expected_return"] = float(mu @ wu) if mu is not None else math.nan
    summary["expected_active_return"] = (float(mu @ (wu - bu)) if mu is not None and bench is not None
                                         else math.nan)
    if mu is not None:
        stocks["expected_return"] = mu
    summary["weight_sum"] = float(wu.sum())
    summary["n_stocks"] = int((wu > HELD_WEIGHT).sum())
    summary["cash_without_model_data"] = uncovered_weight
    summary["without_model_data"] = ", ".join(map(str, uncovered))
    summary["n_benchmark"] = int((stocks["benchmark_weight"] != 0).sum())
    return RiskReport(date=helper.date, prev_trading_date=helper.prev_trading_date, cov_model=cm, risk_model=rm,
                      benchmark=_benchmark_name(bench), periods_per_year=annual,
                      summary=pd.Series(summary, dtype=object), stocks=stocks, factors=factors_ext,
                      industry_source=industry_source)
