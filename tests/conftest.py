"""Fixtures shared by the whole suite: a small market database built once per session."""

from __future__ import annotations

import pytest

#: the fixture market: ~100 stocks over three and a half years ending 2026-11-30 (more than a year of
#: history before any date a test optimises on)
MARKET_KW = dict(n_stocks=100, start="2023-06-01", end="2026-11-30", seed=7, n_industries=10)


@pytest.fixture(scope="session", autouse=True)
def _zorvata_isolated(tmp_path_factory):
    """Keep the suite off the user's demo-market cache and off a ZORVATA_DB set in the shell."""
    import zorvata

    mp = pytest.MonkeyPatch()
    mp.setenv("ZORVATA_CACHE_DIR", str(tmp_path_factory.mktemp("zorvata-cache")))
    mp.delenv("ZORVATA_DB", raising=False)
    zorvata.reset()
    yield
    mp.undo()
    zorvata.reset()


@pytest.fixture(scope="session")
def market_db(tmp_path_factory, _zorvata_isolated):
    """Path of the small demo market; zorvata (and subprocesses, through ZORVATA_DB) read it."""
    import zorvata
    from zorvata.demo import build_demo

    path = tmp_path_factory.mktemp("market") / "market.duckdb"
    build_demo(path, **MARKET_KW)
    mp = pytest.MonkeyPatch()
    mp.setenv("ZORVATA_DB", str(path))
    zorvata.configure(path)
    yield path
    mp.undo()
    zorvata.reset()


@pytest.fixture
def switch_db(market_db):
    """`switch_db(path)` points zorvata at another database for one test; restored to `market_db` after."""
    import zorvata

    yield zorvata.configure
    zorvata.configure(market_db)
