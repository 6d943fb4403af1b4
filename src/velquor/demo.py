"""`python -m velquor.demo`: a few optimisations on the synthetic demo market, start to finish.

A pool of stocks is drawn from the large-cap index on the last trading date of the market data and
optimised three ways: with the default objective (minimum variance), against the index as a text
benchmark (minimum tracking error), and for the maximum Sharpe ratio with a 10% cap per stock. The
weights of each run are printed side by side with their sums.

The demo market (``ZORVATA_DB`` unset) and the day's risk model are built the first time they are needed
and cached; the first run says so while it waits.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velquor.demo", description=__doc__.splitlines()[0])
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
