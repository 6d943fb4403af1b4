"""Plots of a risk report, a frontier and a backtest, drawn with matplotlib.

Every function returns a ``matplotlib.figure.Figure`` built without pyplot, so nothing depends on a display
or on the global backend (PNG, SVG and PDF output go through matplotlib's Agg-based canvases), and saves it to
`path` when one is given. Pass `ax` to draw into an axes of your own figure instead.
"""

from __future__ import annotations

from functools import lru_cache

import numpy as np
import pandas as pd

from ..exception import InvalidArgument

__all__ = ["plot_report", "plot_industry_weights", "plot_risk_contributions", "plot_style_exposures",
           "plot_frontier", "plot_backtest"]

_PORTFOLIO, _BENCHMARK, _ACTIVE = "#1f77b4", "#b0b0b0", "#d62728"


def _percent_axis(axis) -> None:
    from matplotlib.ticker import PercentFormatter

    axis.set_major_formatter(PercentFormatter(1.0))


def _new(ax, size=(8, 5)):
    if ax is not None:
        return ax.figure, ax
    from matplotlib.figure import Figure

    fig = Figure(figsize=size, layout="constrained")
    return fig, fig.add_subplot()


def _finish(fig, path):
    if path is not None:
        fig.savefig(path, dpi=110)
    return fig


@lru_cache(maxsize=1)
def _cjk_family() -> str | None:
    """A font family with Chinese glyphs, when the system has one (industry names are Chinese)."""
    from matplotlib import font_manager

    wanted = ("Noto Sans CJK SC", "Noto Sans SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
              "SimHei", "Microsoft YaHei", "PingFang SC", "Heiti SC", "AR PL UMing CN", "Droid Sans Fallback")
    have = {f.name for f in font_manager.fontManager.ttflist}
    return next((name for name in wanted if name in have), None)


#: English names of the industries (for figures drawn where no font has Chinese glyphs).
_INDUSTRY_ENGLISH = {
    "农林牧渔": "agriculture", "非银金融": "non-bank finance", "钢铁": "steel", "有色金属": "non-ferrous metals",
    "电子": "electronics", "家用电器": "home appliances", "食品饮料": "food & beverage", "纺织服饰": "textiles & apparel",
    "轻工制造": "light industry", "医药生物": "pharma & biotech", "公用事业": "utilities", "交通运输": "transport",
    "房地产": "real estate", "商贸零售": "retail", "社会服务": "social services", "综合": "conglomerates",
    "建筑材料": "building materials", "建筑装饰": "construction", "电力设备": "power equipment",
    "国防军工": "defence", "计算机": "computers", "传媒": "media", "通信": "telecoms", "银行": "banks",
    "基础化工": "chemicals", "汽车": "autos", "机械设备": "machinery", "煤炭": "coal", "石油石化": "oil & petrochemicals",
    "环保": "environmental", "美容护理": "beauty & care", "证券": "brokers", "保险": "insurance",
    "多元金融": "diversified finance",
}


def _industry_labels(table: pd.DataFrame) -> tuple[list[str], dict]:
    """Tick labels "code name": the name as stored where a font has Chinese glyphs, else its English name (the
    code alone for a name without one); and the text properties."""
    family = _cjk_family()
    if family is None:
        return [f"{c} {_INDUSTRY_ENGLISH[n]}" if n in _INDUSTRY_ENGLISH else str(c)
                for c, n in zip(table.index, table["name"])], {}
    return [f"{c} {n}" for c, n in zip(table.index, table["name"])], {"family": [family, "sans-serif"]}


def _title(report, text: str, against: bool = True) -> str:
    bench = f" vs {report.benchmark}" if report.benchmark and against else ""
    return f"{text}{bench}, {report.date.isoformat()}"


def plot_industry_weights(report, source: str | None = None, top: int | None = 20, ax=None, path=None):
    """Portfolio against benchmark weight by industry (`source`: "sw", "citics", "sw_split_financials"),
    the `top` industries by larger weight, with the active weight marked."""
    table = report.industry_contributions(source)
    order = table[["weight", "benchmark_weight"]].abs().max(axis=1).sort_values(ascending=False).index
    table = table.loc[order[:top] if top else order].iloc[::-1]
    fig, ax = _new(ax, (8, max(3.5, 0.32 * len(table) + 1.5)))
    y = np.arange(len(table))
    h = 0.4 if report.benchmark else 0.7
    ax.barh(y + (h / 2 if report.benchmark else 0), table["weight"], height=h, color=_PORTFOLIO, label="portfolio")
    if report.benchmark:
        ax.barh(y - h / 2, table["benchmark_weight"], height=h, color=_BENCHMARK, label="benchmark")
        ax.scatter(table["active_weight"], y, marker="D", s=18, color=_ACTIVE, zorder=3, label="active")
        ax.axvline(0, color="black", linewidth=0.6)
    labels, font = _industry_labels(table)
    ax.set_yticks(y, labels, fontsize=8, **font)
    _percent_axis(ax.xaxis)
    ax.set_xlabel("weight (% of portfolio)")
    ax.set_ylabel(f"industry ({source or report.industry_source})")
    ax.set_title(_title(report, "Weights by industry"))
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(axis="x", alpha=0.3)
    return _finish(fig, path)


def plot_risk_contributions(report, by: str = "group", active: bool | None = None, top: int = 15, ax=None,
                            path=None):
    """Contributions to annualised risk: `by` "group" (country, industry, style, specific), "factor",
    "stock" (the `top` largest) or "industry". `active` (default: when there is a benchmark) decomposes the
    tracking error instead of the total risk."""
    active = bool(report.benchmark) if active is None else active
    if active and not report.benchmark:
        raise InvalidArgument("active contributions need a report with a benchmark")
    col = "active_contribution" if active else "contribution"
    if by == "group":
        series = report.groups[col]
    elif by == "factor":
        series = report.factors[col]
    elif by == "stock":
        series = report.stocks[col]
    elif by == "industry":
        series = report.industry_contributions()[col]
    else:
        raise InvalidArgument(f'by must be "group", "factor", "stock" or "industry", got {by!r}')
    if by != "group":
        series = series.reindex(series.abs().sort_values(ascending=False).index[:top])
    series = series.iloc[::-1]
    fig, ax = _new(ax, (8, max(3.0, 0.32 * len(series) + 1.5)))
    colors = [_ACTIVE if v < 0 else _PORTFOLIO for v in series]
    ax.barh(np.arange(len(series)), series.to_numpy(dtype=float), color=colors)
    ax.set_yticks(np.arange(len(series)), [str(i) for i in series.index], fontsize=8)
    ax.axvline(0, color="black", linewidth=0.6)
    _percent_axis(ax.xaxis)
    total = report.summary["tracking_error" if active else "total_risk"]
    what = "tracking error" if active else "total risk"
    ax.set_xlabel(f"contribution to annualised {what} (percentage points; total {total:.2%})")
    ax.set_ylabel(by)
    ax.set_title(_title(report, f"Contributions to {what} by {by}", against=active))
    ax.grid(axis="x", alpha=0.3)
    return _finish(fig, path)


def plot_style_exposures(report, ax=None, path=None):
    """Style exposures (in cross-sectional standard deviations) of the portfolio against the benchmark."""
    styles = report.styles
    fig, ax = _new(ax, (8, 4.5))
    y = np.arange(len(styles))[::-1]
    h = 0.4 if report.benchmark else 0.7
    ax.barh(y + (h / 2 if report.benchmark else 0), styles["exposure"], height=h, color=_PORTFOLIO,
            label="portfolio")
    if report.benchmark:
        ax.barh(y - h / 2, styles["benchmark_exposure"], height=h, color=_BENCHMARK, label="benchmark")
        ax.scatter(styles["active_exposure"], y, marker="D", s=18, color=_ACTIVE, zorder=3, label="active")
    ax.set_yticks(y, list(styles.index), fontsize=8)
    ax.axvline(0, color="black", linewidth=0.6)
    ax.set_xlabel("exposure (cross-sectional standard deviations)")
    ax.set_ylabel("style")
    ax.set_title(_title(report, "Style exposures"))
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(axis="x", alpha=0.3)
    return _finish(fig, path)


def plot_report(report, path=None):
    """Three panels: weights by industry, contributions to risk by factor group, style exposures."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=(15, 6.5), layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=[1, 1.1])
    plot_industry_weights(report, top=15, ax=fig.add_subplot(grid[:, 0]))
    plot_risk_contributions(report, by="group", ax=fig.add_subplot(grid[0, 1]))
    plot_style_exposures(report, ax=fig.add_subplot(grid[1, 1]))
    s = report.summary
    text = f"total risk {s['total_risk']:.2%} (factor {s['factor_risk']:.2%}, specific {s['specific_risk']:.2%})"
    if report.benchmark:
        text += f"; tracking error {s['tracking_error']:.2%}"
    fig.suptitle(f"{report.date.isoformat()}, {report.cov_model.value}-{report.risk_model.value} model: {text}")
    return _finish(fig, path)


def plot_frontier(frontier: pd.DataFrame, ax=None, path=None, portfolios: dict | None = None):
    """Annualised expected return against annualised risk along a frontier from ``efficient_frontier``,
    end points labelled; `portfolios` maps names to (risk, return) pairs to mark as well."""
    if not {"return", "risk"} <= set(frontier.columns) or len(frontier) < 2:
        raise InvalidArgument("plot_frontier needs a frontier frame with return and risk columns and two rows")
    fig, ax = _new(ax, (7, 5))
    ax.plot(frontier["risk"], frontier["return"], "-o", markersize=3.5, color=_PORTFOLIO, label="efficient frontier")
    first, last = frontier.iloc[0], frontier.iloc[-1]
    ax.scatter([first["risk"]], [first["return"]], s=60, color="green", zorder=3, label="minimum variance")
    ax.scatter([last["risk"]], [last["return"]], s=60, color=_ACTIVE, zorder=3, label="maximum return")
    for name, (risk, ret) in (portfolios or {}).items():
        ax.scatter([risk], [ret], s=50, marker="s", zorder=3, label=name)
    _percent_axis(ax.xaxis)
    _percent_axis(ax.yaxis)
    ax.set_xlabel("risk (annualised volatility)")
    ax.set_ylabel("expected return (annualised)")
    when = frontier.attrs.get("date")
    ax.set_title("Efficient frontier" + (f", {when}" if when else "") + f" ({frontier.shape[1] - 3} stocks)")
    ax.legend(fontsize=8, loc="lower right")
    ax.grid(alpha=0.3)
    return _finish(fig, path)


def plot_backtest(result, path=None, title: str | None = None):
    """A backtest's NAV against its benchmark's (top), the drawdown of the NAV (middle) and the turnover at
    each rebalance (bottom). `result` has ``nav`` (and optionally ``benchmark_nav`` and ``turnover``) as
    Series indexed by date."""
    from matplotlib.figure import Figure

    nav = getattr(result, "nav", None)
    if not isinstance(nav, pd.Series) or nav.empty:
        raise InvalidArgument("plot_backtest needs a result with a non-empty nav Series")
    bench = getattr(result, "benchmark_nav", None)
    turnover = getattr(result, "turnover", None)
    fig = Figure(figsize=(10, 7.5), layout="constrained")
    top, mid, bottom = fig.subplots(3, 1, sharex=True, height_ratios=[3, 1.3, 1.3])
    x = pd.to_datetime(nav.index)
    top.plot(x, nav.to_numpy(dtype=float), color=_PORTFOLIO, label="portfolio")
    if isinstance(bench, pd.Series) and not bench.empty:
        top.plot(pd.to_datetime(bench.index), bench.to_numpy(dtype=float), color="grey", label="benchmark")
    top.set_ylabel("net asset value")
    top.legend(fontsize=8, loc="upper left")
    top.grid(alpha=0.3)
    top.set_title(title or "Backtest: net asset value, drawdown and turnover")
    values = nav.to_numpy(dtype=float)
    # the NAV starts from 1 before the first day shown, so a first-day loss is already a drawdown
    drawdown = values / np.maximum(np.maximum.accumulate(values), 1.0) - 1.0
    mid.fill_between(x, drawdown, 0.0, color=_ACTIVE, alpha=0.4, step="post")
    mid.set_ylabel("drawdown")
    _percent_axis(mid.yaxis)
    mid.grid(alpha=0.3)
    label = "turnover (one-way)"
    if isinstance(turnover, pd.Series) and not turnover.empty:
        if len(turnover) > 1:
            # the first rebalance buys from cash (turnover 1) and would flatten every later bar: its value
            # is written apart
            first = turnover.iloc[0]
            turnover = turnover.iloc[1:]
            label = "turnover (one-way,\nafter the first)"
            bottom.text(0.01, 0.95, f"first rebalance (from cash): {first:.0%}", transform=bottom.transAxes,
                        fontsize=8, va="top")
        bottom.bar(pd.to_datetime(turnover.index), turnover.to_numpy(dtype=float), width=3.0, color=_PORTFOLIO)
    status = getattr(result, "status", None)
    if isinstance(status, pd.Series):
        failed = status[status.astype(str).str.startswith("failed")]
        for k, d in enumerate(pd.to_datetime(failed.index)):
            bottom.axvline(d, color=_ACTIVE, lw=0.8, label="failed date" if k == 0 else None)
        if len(failed):
            bottom.legend(fontsize=8, loc="upper right")
    bottom.set_ylabel(label)
    _percent_axis(bottom.yaxis)
    bottom.set_xlabel("date")
    bottom.grid(alpha=0.3)
    return _finish(fig, path)
