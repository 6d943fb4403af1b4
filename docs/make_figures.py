"""Draws the figures of the docs pages from the demo market (or ZORVATA_DB) and checks each is not blank.

    python docs/make_figures.py [--out docs/figures]

CI runs it, so a figure that fails to draw, or draws blank, fails the build instead of going stale. Every
figure is written to a temporary name, checked (a floor on the pixel variance and on the share of
non-background pixels), then moved into place.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from pathlib import Path

DATE = "2026-11-30"
INDEX = "000300.XSHG"
#: below this standard deviation of the pixel values (0..1) an image counts as blank
PIXEL_STD_FLOOR = 0.05
#: and at least this share of the pixels must differ from the white background
INK_FLOOR = 0.02


def check(path: Path) -> None:
    import matplotlib.image
    import numpy as np

    pixels = matplotlib.image.imread(path)[..., :3]
    std = float(pixels.std())
    ink = float((pixels.mean(axis=2) < 0.9).mean())
    if std < PIXEL_STD_FLOOR or ink < INK_FLOOR or not np.isfinite(pixels).all():
        raise SystemExit(f"make_figures: {path.name} looks blank (pixel std {std:.3f}, ink {ink:.3f})")


def save(fig, out: Path, name: str, written: list) -> None:
    tmp = out / f".{name}.tmp.png"
    fig.savefig(tmp, dpi=100)
    check(tmp)
    os.replace(tmp, out / f"{name}.png")
    written.append(name)
    print(f"  {name}.png", file=sys.stderr)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--out", default=str(Path(__file__).parent / "figures"))
    args = p.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    import pandas as pd
    import zorvata

    from velquor.analytics import efficient_frontier, plot_frontier, risk_report
    from velquor.objective import MinTrackingError
    from velquor.optimize import portfolio_optimize

    t = time.perf_counter()
    print(f"make_figures: market {zorvata.db_path()}", file=sys.stderr)
    written: list[str] = []
    pool = sorted(zorvata.index_weights(INDEX, DATE).index)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # first optimisation: minimum variance with a 5 % cap against the index it was drawn from
        w = portfolio_optimize(pool, DATE, bnds={"*": (0, 0.05)})
        report = risk_report(w, DATE, INDEX)
        save(report.plot("industry", top=15), out, "first-min-variance-industries", written)

        # analytics: a tracking portfolio of 80 stocks
        w80 = portfolio_optimize(pool[::3][:80], DATE, MinTrackingError(), benchmark=INDEX,
                                 bnds={"*": (0, 0.05)})
        report = risk_report(w80, DATE, INDEX, expected_returns="historical")
        save(report.plot(), out, "report-overview", written)
        save(report.plot("contributions", by="stock"), out, "report-contributions-stock", written)
        save(report.plot("contributions", by="factor", active=False), out, "report-contributions-factor", written)
        save(report.plot("style"), out, "report-styles", written)

        frontier = efficient_frontier(pool[:120], DATE, 20, bnds={"*": (0, 0.1)})
        eq = pd.Series(1 / 120, index=pool[:120])
        eq_report = risk_report(eq, DATE, expected_returns="historical")
        marks = {"equal weight": (eq_report.summary["total_risk"], eq_report.summary["expected_return"])}
        save(plot_frontier(frontier, portfolios=marks), out, "frontier", written)

        backtest_figure(out, pool, written)
        save(cost_curve(pool), out, "trading-cost-curve", written)
    print(f"make_figures: {len(written)} figures in {out} ({time.perf_counter() - t:.0f} s)", file=sys.stderr)
    return 0


def backtest_figure(out: Path, pool: list, written: list) -> None:
    """The backtest page's figure, when the backtest module is part of this installation."""
    try:
        from velquor import backtest  # noqa: F401
    except ImportError:
        print("  (no velquor.backtest: backtest figure skipped)", file=sys.stderr)
        return
    from velquor.analytics import plot_backtest

    result = run_backtest(pool)
    if result is not None:
        save(plot_backtest(result, title=f"Minimum tracking error, 5 % cap, monthly, against {INDEX}"), out,
             "backtest", written)


def cost_curve(pool):
    """The default cost model's cost per traded value against the trade's size, for a sale of the index's
    median stock (its traded value and volatility as of DATE)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    import numpy as np

    from velquor.trading import CostModel, market

    model = CostModel()
    liq = market.liquidity(pool, DATE, model.window).median()
    share = np.geomspace(0.001, 0.3, 120)  # the trade as a share of the average daily traded value
    parts = model.money(-share * liq["adv"], np.full(len(share), liq["volatility"]), np.full(len(share), liq["adv"]))
    fig, ax = plt.subplots(figsize=(8, 4.5))
    bottom = np.zeros(len(share))
    for name in ("commission", "stamp_duty", "spread", "impact"):
        bp = parts[name] / (share * liq["adv"]) * 1e4
        ax.fill_between(share * 100, bottom, bottom + bp, label=name.replace("_", " "), alpha=0.75)
        bottom += bp
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    ax.set_xlabel("sale as % of the average daily traded value")
    ax.set_ylabel("cost, bp of the traded value")
    ax.set_title(f"CostModel() defaults: a sale of the median {INDEX} stock\n"
                 f"(average daily traded value {liq['adv'] / 1e6:.0f} m, daily volatility {liq['volatility']:.1%})",
                 fontsize=10)
    ax.legend(loc="upper left")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    return fig


def run_backtest(pool):
    """A monthly minimum-tracking-error backtest of the index over the demo market's last half year."""
    from velquor import backtest
    from velquor.objective import MinTrackingError

    bt = backtest.Backtest(INDEX, "2026-06-01", DATE, rebalance="monthly", objective=MinTrackingError(),
                           benchmark=INDEX, bnds={"*": (0, 0.05)})
    return bt.run(progress=False)


if __name__ == "__main__":
    sys.exit(main())
