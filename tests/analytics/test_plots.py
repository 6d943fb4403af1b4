"""Every plot writes a non-blank image with the labels a reader needs."""

from __future__ import annotations

import types

import numpy as np
import pandas as pd
import pytest

from .analytics_support import DATE, INDEX
from velquor.analytics import (efficient_frontier, plot_backtest, plot_frontier, plot_industry_weights, plot_report,
                               plot_risk_contributions, plot_style_exposures, risk_report)
from velquor.exception import InvalidArgument

#: a blank or nearly blank image has almost no variance in its pixels
PIXEL_STD_FLOOR = 0.05


def assert_drawn(fig, path):
    import matplotlib.image

    assert path.stat().st_size > 5_000
    pixels = matplotlib.image.imread(path)[..., :3]
    assert pixels.std() > PIXEL_STD_FLOOR
    # not one flat colour with a speck: a good share of the pixels is not background
    assert (pixels.mean(axis=2) < 0.9).mean() > 0.02


def labels(fig):
    return [(ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) for ax in fig.axes]


@pytest.fixture(scope="module")
def report(weights):
    return risk_report(weights, DATE, INDEX)


class TestReportPlots:
    def test_industry_weights(self, report, tmp_path):
        fig = plot_industry_weights(report, "citics", path=tmp_path / "i.png")
        assert_drawn(fig, tmp_path / "i.png")
        (x, y, title), = labels(fig)
        assert x == "weight (% of portfolio)" and y == "industry (citics)"
        assert title == f"Weights by industry vs {INDEX}, {DATE}"
        assert {t.get_text() for t in fig.axes[0].get_legend().get_texts()} == {"portfolio", "benchmark", "active"}
        # industries by name (in English where no font has the Chinese glyphs), not by code alone
        ticks = [t.get_text() for t in plot_industry_weights(report).axes[0].get_yticklabels()]
        assert ticks and all(len(t.split(" ", 1)) == 2 for t in ticks if t != "unclassified")

    @pytest.mark.parametrize("by", ["group", "factor", "stock", "industry"])
    def test_risk_contributions(self, report, tmp_path, by):
        fig = plot_risk_contributions(report, by=by, path=tmp_path / "c.png")
        assert_drawn(fig, tmp_path / "c.png")
        (x, y, title), = labels(fig)
        assert x.startswith("contribution to annualised tracking error (percentage points; total ")
        assert y == by and title.startswith(f"Contributions to tracking error by {by}")

    def test_total_risk_contributions_without_benchmark(self, weights, tmp_path):
        fig = plot_risk_contributions(risk_report(weights, DATE), by="factor", path=tmp_path / "c.png")
        assert_drawn(fig, tmp_path / "c.png")
        assert labels(fig)[0][0].startswith("contribution to annualised total risk")
        with pytest.raises(InvalidArgument, match="active contributions need a report with a benchmark"):
            plot_risk_contributions(risk_report(weights, DATE), active=True)

    def test_style_exposures(self, report, tmp_path):
        fig = plot_style_exposures(report, path=tmp_path / "s.svg")
        assert (tmp_path / "s.svg").read_text().count("<path") > 20
        fig.savefig(tmp_path / "s.png")
        assert_drawn(fig, tmp_path / "s.png")
        (x, y, _), = labels(fig)
        assert x == "exposure (cross-sectional standard deviations)" and y == "style"

    def test_overview_and_report_plot(self, report, tmp_path):
        fig = plot_report(report, path=tmp_path / "o.png")
        assert_drawn(fig, tmp_path / "o.png")
        assert len(fig.axes) == 3
        assert fig.get_suptitle().startswith(f"{DATE}, daily-v1 model: total risk ")
        assert report.plot("style").axes[0].get_ylabel() == "style"
        with pytest.raises(InvalidArgument):
            report.plot("pie")

    def test_draws_into_a_given_axes(self, report):
        from matplotlib.figure import Figure

        fig = Figure()
        ax = fig.add_subplot()
        assert plot_style_exposures(report, ax=ax) is fig and ax.get_ylabel() == "style"


def test_frontier_plot(pool, tmp_path):
    frontier = efficient_frontier(pool[:10], DATE, 5, bnds={"*": (0, 0.2)})
    fig = plot_frontier(frontier, path=tmp_path / "f.png", portfolios={"equal weight": (0.2, 0.1)})
    assert_drawn(fig, tmp_path / "f.png")
    (x, y, title), = labels(fig)
    assert (x, y) == ("risk (annualised volatility)", "expected return (annualised)")
    assert title == f"Efficient frontier, {DATE} (10 stocks)"
    legend = [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    assert legend == ["efficient frontier", "minimum variance", "maximum return", "equal weight"]


def test_backtest_plot(tmp_path):
    days = pd.bdate_range("2025-01-01", periods=250)
    rng = np.random.default_rng(1)
    nav = pd.Series(np.cumprod(1 + rng.normal(0.0004, 0.01, len(days))), index=days)
    bench = pd.Series(np.cumprod(1 + rng.normal(0.0002, 0.01, len(days))), index=days)
    turnover = pd.Series(rng.uniform(0.05, 0.4, 12), index=days[::21][:12])
    result = types.SimpleNamespace(nav=nav, benchmark_nav=bench, turnover=turnover)
    fig = plot_backtest(result, path=tmp_path / "b.png")
    assert_drawn(fig, tmp_path / "b.png")
    assert [ax.get_ylabel() for ax in fig.axes] == ["net asset value", "drawdown",
                                                    "turnover (one-way,\nafter the first)"]
    # the turnover panel leaves out the first rebalance (from cash)
    assert len(fig.axes[2].patches) == len(turnover) - 1
    assert fig.axes[-1].get_xlabel() == "date"
    with pytest.raises(InvalidArgument, match="plot_backtest needs a result with a non-empty nav Series"):
        plot_backtest(types.SimpleNamespace(nav=pd.Series(dtype=float)))

