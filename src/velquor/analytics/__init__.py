"""What a result means: ex-ante risk reports, the efficient frontier and their plots.

- :func:`risk_report` decomposes a portfolio's annualised risk (factor and specific parts, tracking error
  against a benchmark, contributions by stock, factor, factor group and industry, style exposures).
- :func:`efficient_frontier` traces the mean-variance frontier of a pool under bounds and constraints.
- :mod:`velquor.analytics.plots` draws them (and a backtest's NAV) with matplotlib; :func:`render_report` writes
  a report as Markdown or HTML.
"""

from .frontier import efficient_frontier
from .plots import (plot_backtest, plot_frontier, plot_industry_weights, plot_report, plot_risk_contributions,
                    plot_style_exposures)
from .render import render_report
from .report import PERIODS_PER_YEAR, RiskReport, risk_report

__all__ = ["risk_report", "RiskReport", "efficient_frontier", "PERIODS_PER_YEAR", "plot_report",
           "plot_industry_weights", "plot_risk_contributions", "plot_style_exposures", "plot_frontier",
           "plot_backtest", "render_report"]
