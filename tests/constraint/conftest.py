"""Fixtures of the constraint tests: the pool of the session market and the tracking error it can reach."""

from __future__ import annotations

import pytest

import velquor.optimize as opt
from velquor.objective import MinTrackingError

from .constraint_support import DATE, INDEX, helper, make_pool, tracking_error


@pytest.fixture(scope="module")
def pool(market_db):
    return make_pool()


@pytest.fixture(scope="module")
def min_te(pool):
    """The smallest tracking error the pool can reach."""
    w = opt.portfolio_optimize(pool, DATE, MinTrackingError(), benchmark=INDEX)
    return tracking_error(w, helper(pool))
