"""`python -m velquor.demo`: a few optimisations on the synthetic demo market, start to finish.

A pool of stocks is drawn from the large-cap index on the last trading date of the market data and
optimised three ways: with the default objective (minimum variance), against the index as a text
benchmark (minimum tracking error), and for the maximum Sharpe ratio with a 10% cap per stock. The
weights of each run are printed side by side with their sums.

The demo market (``ZORVATA_DB`` unset) and the day's risk model are built the first time they are needed
and cached; the first run says so while it waits.

``python -m velquor.demo backtest`` runs a short backtest instead (monthly rebalances tracking the index,
with a turnover limit and costs) and prints its summary; ``--plot file.png`` saves its figure.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

__all__ = ["main", "backtest"]

INDEX = "000300.XSHG"


def _say(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def _open_market():
    """The market-data client, pointed at its database; builds the demo market on first use."""
    import zorvata

    if not os.environ.get("ZORVATA_DB"):
        _say("Opening the synthetic demo market (built on first use, which can take a minute) ...")
    t = time.perf_counter()
    path = zorvata.db_path()
    elapsed = time.perf_counter() - t
    _say(f"Market data: {path}" + (f" (ready after {elapsed:.0f} s)" if elapsed >= 1 else ""))
    return zorvata


def _ensure_risk_model(date) -> None:
    """Estimates the risk model the request needs, with a progress bar, unless it is cached already."""
    from velquor.const import CovModel, RiskModel
    from velquor.riskmodel import service

    ctx = service.context()
    day = ctx.day(service.resolve_asof(ctx, date))
    if ctx.store.has(day, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1):
        return
    _say(f"Estimating the factor risk model as of {day} (first use; cached afterwards) ...")
    t = time.perf_counter()
    service.build(date, date, [CovModel.FACTOR_MODEL_DAILY], [RiskModel.V1], progress=True)
    _say(f"Risk model ready after {time.perf_counter() - t:.0f} s")


def backtest(argv: list[str]) -> int:
    """`python -m velquor.demo backtest`: a short monthly backtest tracking the index, summary printed."""
    parser = argparse.ArgumentParser(prog="python -m velquor.demo backtest",
                                     description="a short backtest on the demo market, its summary printed")
    parser.add_argument("--months", type=int, default=6,
                        help="months of monthly rebalances, up to the data's end")
    parser.add_argument("--engine", default="serial", choices=["serial", "process", "dask"])
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--turnover-limit", type=float, default=0.3)
    parser.add_argument("--plot", help="save the figure (NAV, drawdown, turnover) to this file")
    args = parser.parse_args(argv)

    import pandas as pd

    zorvata = _open_market()
    end = zorvata.data_end()
    first = (pd.Timestamp(end).to_period("M") - (args.months - 1)).start_time.date()
    from velquor.backtest import Backtest
    from velquor.objective import MinTrackingError

    bt = Backtest(INDEX, first, end, rebalance="monthly", objective=MinTrackingError(), benchmark=INDEX,
                  turnover_limit=args.turnover_limit, cost=0.0015)
    _say(f"Backtest: {INDEX} constituents, tracking {INDEX}, monthly from {first} to {end}, one-way turnover "
         f"limit {args.turnover_limit:.0%}, costs 15 bp (risk-model dates not built yet are estimated first)")
    t = time.perf_counter()
    result = bt.run(engine=args.engine, workers=args.workers, progress=True)
    _say(f"Done in {time.perf_counter() - t:.0f} s")
    with pd.option_context("display.width", 120, "display.float_format", "{:.4f}".format):
        print("\nRebalances:\n")
        print(pd.DataFrame({"status": result.status, "turnover": result.turnover, "costs": result.costs,
                            "ex-ante TE": result.ex_ante_te}).to_string())
        print(f"\nNAV on {result.nav.index[-1].date()}: {result.nav.iloc[-1]:.4f} "
              f"(benchmark {result.benchmark_nav.iloc[-1]:.4f})\n\nSummary:\n")
        print(result.summary().to_string())
    if args.plot:
        result.plot(args.plot)
        _say(f"Figure saved to {args.plot}")
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["backtest"]:
        return backtest(argv[1:])
    parser = argparse.ArgumentParser(prog="python -m velquor.demo", description=__doc__.splitlines()[0],
                                     epilog="python -m velquor.demo backtest --help: the backtest demo")
    parser.add_argument("--pool", type=int, default=50, help="number of index constituents in the pool")
    parser.add_argument("--seed", type=int, default=7, help="seed of the draw from the index")
    args = parser.parse_args(argv)

    import numpy as np
    import pandas as pd

    zorvata = _open_market()
    date = zorvata.data_end()
    constituents = zorvata.index_weights(INDEX, date).index
    size = min(args.pool, len(constituents))
    pool = sorted(np.random.default_rng(args.seed).choice(np.asarray(constituents), size, replace=False))
    _say(f"Pool: {size} of the {len(constituents)} constituents of {INDEX} on {date}")
    _ensure_risk_model(date)

    from velquor.objective import MaxSharpeRatio, MinTrackingError
    from velquor.optimize import portfolio_optimize

    runs = {
        "min variance": lambda: portfolio_optimize(pool, date),
        f"tracking {INDEX}": lambda: portfolio_optimize(pool, date, MinTrackingError(), benchmark=INDEX),
        "max Sharpe, cap 10%": lambda: portfolio_optimize(pool, date, MaxSharpeRatio(), bnds={"*": (0.0, 0.1)}),
    }
    results = {}
    for name, run in runs.items():
        t = time.perf_counter()
        results[name] = run()
        _say(f"  {name}: solved in {time.perf_counter() - t:.2f} s")

    table = pd.DataFrame(results)
    held = table[(table > 5e-4).any(axis=1)]
    with pd.option_context("display.max_rows", None, "display.width", 120, "display.float_format", "{:.4f}".format):
        print(f"\nWeights on {date} (stocks held by at least one portfolio; "
              f"{len(table) - len(held)} of {len(table)} held by none):\n")
        print(held.to_string())
        print("\nsum of weights:")
        print(table.sum().to_string())
    return 0


if __name__ == "__main__":
    sys.exit(main())
