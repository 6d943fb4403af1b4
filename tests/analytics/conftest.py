"""Fixtures of the analytics tests: a pool and portfolio on the session market."""

from __future__ import annotations

import pytest

from ..market_pools import half_index_and_outsiders
from .analytics_support import DATE, INDEX


@pytest.fixture(scope="package")
def pool(market_db):
    """Every other index constituent plus a few stocks outside the index."""
    return half_index_and_outsiders(INDEX, DATE, 8)


@pytest.fixture(scope="package")
def weights(pool):
    """An uneven long-only portfolio over the pool (deterministic), summing to 1."""
    import numpy as np
    import pandas as pd

    raw = np.linspace(1.0, 3.0, len(pool)) ** 2
    return pd.Series(raw / raw.sum(), index=pool)
