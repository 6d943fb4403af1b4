"""BacktestResult: the daily path of a backtest, its rebalances, summary statistics, Parquet files, plot."""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

__all__ = ["BacktestResult", "YEAR", "unfilled_frame"]

#: Trading days per year, for annualising daily statistics.
YEAR = 252
_FORMAT = 2
#: Columns of ``BacktestResult.unfilled``.
UNFILLED_COLUMNS = ("date", "order_book_id", "reason", "weight", "value")


def unfilled_frame(rows) -> pd.DataFrame:
    """The long table of unfilled trades from ``(date, id, reason, weight, value)`` rows."""
    rows = list(rows)
    frame = pd.DataFrame({
        "date": pd.DatetimeIndex([r[0] for r in rows], dtype="datetime64[ns]") if rows
        else pd.Series([], dtype="datetime64[ns]"),
        "order_book_id": pd.Series([r[1] for r in rows], dtype=object),
        "reason": pd.Series([r[2] for r in rows], dtype=object),
        "weight": pd.Series([r[3] for r in rows], dtype=np.float64),
        "value": pd.Series([r[4] for r in rows], dtype=np.float64)})
    return frame


def _date_index(values) -> pd.DatetimeIndex:
    return pd.DatetimeIndex(pd.to_datetime(values).astype("datetime64[ns]"), name="date")


def _ids_as_objects(frame: pd.DataFrame) -> pd.DataFrame:
    # Parquet readers may hand back ids as a string dtype; results keep them as Python str objects.
    frame.columns = pd.Index(list(frame.columns), dtype=object, name=frame.columns.name)
    return frame


@dataclass
class BacktestResult:
    """What a backtest did, day by day and rebalance by rebalance.

    - ``weights``: rebalance dates x ids, the weights held after each rebalance (the target weights as they
      filled: unfilled trades, lots and costs paid from cash included; the drifted holdings where the
      optimisation failed).
    - ``holdings``: trading days x ids, each day's weights at its close after that day's returns (the rest is
      cash).
    - ``nav``, ``benchmark_nav``: daily, each at that day's close after its return, starting from 1 before the
      first rebalance; ``benchmark_nav`` is None without a benchmark.
    - ``turnover`` (one-way), ``costs`` (fraction of NAV), ``status``, ``ex_ante_te`` (annualised, against
      the benchmark, from the date's risk model), ``notes`` (warnings and errors): per rebalance date.
    - ``config``: a plain description of the backtest.
    - ``cash``: per rebalance date, the NAV's fraction in cash after the trades (lots and unfilled buys
      leave cash); None in results written before it existed.
    - ``unfilled``: one row per trade that did not fill: ``date``, ``order_book_id``, ``reason``
      ("suspended", "limit_up", "limit_down", "no_price"), ``weight`` (the traded weight wanted, buys
      positive, a fraction of the NAV) and ``value`` (the same in money; NaN without a capital).
    """

    weights: pd.DataFrame
    holdings: pd.DataFrame
    nav: pd.Series
    benchmark_nav: pd.Series | None
    turnover: pd.Series
    costs: pd.Series
    status: pd.Series
    ex_ante_te: pd.Series
    notes: pd.Series
    config: dict = field(default_factory=dict)
    cash: pd.Series | None = None
    unfilled: pd.DataFrame = field(default_factory=lambda: unfilled_frame([]))

    # ------------------------------------------------------------------------------------------ statistics
    @property
    def returns(self) -> pd.Series:
        """Daily returns of the NAV (the first day's against the starting value 1)."""
        prev = self.nav.shift(1)
        prev.iloc[:1] = 1.0
        return (self.nav / prev - 1.0).rename("return")

    @property
    def benchmark_returns(self) -> pd.Series | None:
        if self.benchmark_nav is None:
            return None
        prev = self.benchmark_nav.shift(1)
        prev.iloc[:1] = 1.0
        return (self.benchmark_nav / prev - 1.0).rename("benchmark_return")

    def summary(self) -> pd.Series:
        """Annualised return, volatility, Sharpe ratio (no risk-free rate), ex-ante and realised tracking
        error, information ratio, maximum drawdown (a positive fraction), mean turnover (one-way, the first
        rebalance from cash left out), total costs, the mean cash after the rebalances, the unfilled trades
        (count and total weight) and the count of rebalances by outcome."""
        r = self.returns
        n = len(r)
        nan = math.nan
        ann_ret = float(self.nav.iloc[-1] ** (YEAR / n) - 1.0) if n else nan
        vol = float(r.std(ddof=1) * math.sqrt(YEAR)) if n > 1 else nan
        sharpe = float(r.mean() * YEAR / vol) if n > 1 and vol > 0 else nan
        te = ir = nan
        br = self.benchmark_returns
        if br is not None and n > 1:
            active = r - br
            te = float(active.std(ddof=1) * math.sqrt(YEAR))
            ir = float(active.mean() * YEAR / te) if te > 0 else nan
        dd = float(-(self.nav / np.maximum(self.nav.cummax(), 1.0) - 1.0).min()) if n else nan
        later = self.turnover.iloc[1:]
        ok = self.status == "optimal"
        fallback = self.status == "fallback"
        return pd.Series({
            "annualised_return": ann_ret,
            "volatility": vol,
            "sharpe": sharpe,
            "tracking_error_ex_ante": float(self.ex_ante_te.mean()) if self.ex_ante_te.notna().any() else nan,
            "tracking_error": te,
            "information_ratio": ir,
            "max_drawdown": max(dd, 0.0) if n else nan,
            "mean_turnover": float(later.mean()) if len(later) else nan,
            "total_costs": float(self.costs.sum()),
            "mean_cash": float(self.cash.mean()) if self.cash is not None and len(self.cash) else nan,
            "unfilled_trades": len(self.unfilled),
            "unfilled_weight": float(self.unfilled["weight"].abs().sum()),
            "rebalances": len(self.status),
            "optimal": int(ok.sum()),
            "fallback": int(fallback.sum()),
            "failed": int((~ok & ~fallback).sum()),
        }, dtype=object)

    # ----------------------------------------------------------------------------------------- persistence
    def to_parquet(self, path: str | os.PathLike) -> Path:
        """Writes the result into directory ``path`` (created); :meth:`from_parquet` reads it back exactly."""
        out = Path(path)
        out.mkdir(parents=True, exist_ok=True)
        self.weights.to_parquet(out / "weights.parquet")
        self.holdings.to_parquet(out / "holdings.parquet")
        daily = pd.DataFrame({"nav": self.nav})
        if self.benchmark_nav is not None:
            daily["benchmark_nav"] = self.benchmark_nav
        daily.to_parquet(out / "daily.parquet")
        rebalances = pd.DataFrame({"turnover": self.turnover, "costs": self.costs, "status": self.status,
                                   "ex_ante_te": self.ex_ante_te, "notes": self.notes})
        if self.cash is not None:
            rebalances["cash"] = self.cash
        self.unfilled.to_parquet(out / "unfilled.parquet")
        rebalances.to_parquet(out / "rebalances.parquet")
        (out / "result.json").write_text(json.dumps({"format": _FORMAT, "config": self.config}, indent=1))
        return out

    @classmethod
    def from_parquet(cls, path: str | os.PathLike) -> "BacktestResult":
        src = Path(path)
        meta = json.loads((src / "result.json").read_text())
        if meta.get("format") not in (1, _FORMAT):
            raise ValueError(f"{src} holds a backtest result of format {meta.get('format')!r}, not {_FORMAT}")
        daily = pd.read_parquet(src / "daily.parquet")
        reb = pd.read_parquet(src / "rebalances.parquet")
        return cls(weights=_ids_as_objects(pd.read_parquet(src / "weights.parquet")),
                   holdings=_ids_as_objects(pd.read_parquet(src / "holdings.parquet")),
                   nav=daily["nav"],
                   benchmark_nav=daily["benchmark_nav"] if "benchmark_nav" in daily else None,
                   turnover=reb["turnover"], costs=reb["costs"], status=reb["status"].astype(object),
                   ex_ante_te=reb["ex_ante_te"], notes=reb["notes"].astype(object), config=meta["config"],
                   cash=reb["cash"] if "cash" in reb else None,
                   unfilled=_unfilled_read(src / "unfilled.parquet"))

    # ---------------------------------------------------------------------------------------------- plots
    def plot(self, path: str | os.PathLike | None = None):
        """NAV against the benchmark, drawdown and turnover in one ``matplotlib.figure.Figure`` (returned;
        saved to ``path`` when given), with failed dates marked. Drawn without pyplot: no backend is
        switched and no figure is left open (see :func:`velquor.analytics.plot_backtest`)."""
        from ..analytics import plot_backtest

        return plot_backtest(self, path=path, title=self.config.get("title"))


def _unfilled_read(path: Path) -> pd.DataFrame:
    if not path.exists():
        return unfilled_frame([])
    got = pd.read_parquet(path)
    return unfilled_frame(zip(got["date"], got["order_book_id"].astype(str), got["reason"].astype(str),
                              got["weight"], got["value"]))
