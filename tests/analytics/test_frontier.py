"""efficient_frontier: monotone, and its end points are the minimum-variance and maximum-return portfolios."""

from __future__ import annotations

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

from .analytics_support import DATE
from velquor.analytics import efficient_frontier
from velquor.const import CovModel, RiskModel
from velquor.exception import InvalidArgument
from velquor.helper import OptimizeHelper

CAP = 0.1


@pytest.fixture(scope="module")
def mu(pool):
    # Distinct made-up returns so the maximum-return portfolio is unique: the ten best stocks at the cap.
    return pd.Series(np.linspace(-0.05, 0.25, len(pool))[::-1], index=pool)


@pytest.fixture(scope="module")
def frontier(pool, mu):
    return efficient_frontier(pool, DATE, 8, expected_returns=mu, bnds={"*": (0, CAP)})


def test_shape_and_weights(frontier, pool):
    assert list(frontier.columns[:3]) == ["return", "risk", "sharpe"]
    assert list(frontier.columns[3:]) == pool
    w = frontier[pool].to_numpy()
    np.testing.assert_allclose(w.sum(axis=1), 1.0, atol=1e-9)
    assert w.min() >= -1e-7 and w.max() <= CAP + 1e-6
    assert frontier.attrs["date"] == DATE


def test_monotone(frontier):
    assert np.all(np.diff(frontier["return"]) > 0)
    assert np.all(np.diff(frontier["risk"]) >= -1e-7)


def test_end_points(frontier, pool, mu):
    h = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    cov = np.asarray(h.get_cov_matrix())
    w = cp.Variable(len(pool), nonneg=True)
    cp.Problem(cp.Minimize(cp.quad_form(w, cov / cov.mean())), [cp.sum(w) == 1, w <= CAP]).solve(solver=cp.CLARABEL)
    np.testing.assert_allclose(frontier[pool].iloc[0].to_numpy(), w.value, atol=1e-4)
    assert frontier["risk"].iloc[0] == pytest.approx(np.sqrt(w.value @ cov @ w.value * 252), rel=1e-5)
    best = mu.sort_values(ascending=False)
    assert frontier["return"].iloc[-1] == pytest.approx(best.iloc[:10].sum() * CAP, rel=1e-6)
    top = frontier[pool].iloc[-1]
    assert set(top[top > 1e-4].index) == set(best.index[:10])


def test_historical_returns_by_default(pool):
    f = efficient_frontier(pool[:12], DATE, 3)
    assert f["return"].iloc[0] < f["return"].iloc[-1]


@pytest.mark.parametrize("points", [1, 2.5, True])
def test_rejects_too_few_points(pool, points):
    with pytest.raises(InvalidArgument) as e:
        efficient_frontier(pool, DATE, points)
    assert str(e.value) == f"points must be an integer >= 2, got {points!r}"
