"""Fixtures of the backtest tests: one small monthly backtest on the session market, run once."""

from __future__ import annotations

import pytest

from .backtest_support import basic_backtest


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
