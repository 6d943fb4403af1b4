"""Fixtures of the backtest tests: one small monthly backtest on the session market, run once."""

from __future__ import annotations

import pytest

#: rebalance dates fall on the first trading day of each month, here 2025-05 .. 2025-10
START, END = "2025-05-01", "2025-10-31"
COST = 0.002


def basic_backtest(**kw):
    from velquor.backtest import Backtest
    from velquor.objective import MinTrackingError

    from backtest_support import DELISTED

    args = dict(universe="000985.XSHG", start=START, end=END, objective=MinTrackingError(),
                benchmark="000905.XSHG", bnds={DELISTED: (0.02, 0.1), "*": (0.0, 0.1)}, cost=COST)
    args.update(kw)
    return Backtest(**args)


@pytest.fixture(scope="session")
def basic(market_db):
    """(backtest, its serial result)."""
    bt = basic_backtest()
    return bt, bt.run(progress=False)


@pytest.fixture(autouse=True)
def _on_the_test_market(market_db):
    """Every test here runs on the session market (never on the demo market)."""
    return market_db


@pytest.fixture(scope="session", autouse=True)
def _pools_closed():
    """The process engine keeps its workers between runs; they end with this directory's tests."""
    yield
    from velquor.backtest import close_pools

    close_pools()
