"""A user's own market data and risk model through the helper: the imported model reproduced in factor form,
its checks, and the clear errors of a store too small for the estimated model."""

import warnings

import numpy as np
import pandas as pd
import pytest

import zorvata
from velquor.exception import InvalidArgument, OptimizerWarning
from velquor.helper import OptimizeHelper
from velquor.riskmodel.requirements import RiskModelDataError
from zorvata.fullsize import build_files
from zorvata.importer import append_files, import_files

FACTORS = ["country", "size", "value"]


def _market(tmp_path, name, drop=(), **kw):
    files = build_files(tmp_path / f"{name}-files", **kw)
    files = {k: v for k, v in files.items() if k not in drop}
    return import_files(tmp_path / f"{name}.duckdb", **files)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    return _market(
        tmp_path_factory.mktemp("small"),
        "small",
        n_stocks=30,
        start="2024-01-02",
        end="2024-12-31",
        n_industries=3,
        seed=5,
    )


def _custom_files(tmp_path, ids, dates, cov=None, drop_specific=0):
    rng = np.random.default_rng(3)
    ex, fc, sv = [], [], []
    truth = {}
    for d in dates:
        x = np.c_[np.ones(len(ids)), rng.standard_normal((len(ids), 2))]
        a = rng.standard_normal((3, 3)) * 0.01
        f = a @ a.T + np.diag([1e-4, 4e-5, 2e-5]) if cov is None else cov
        s = rng.uniform(1e-4, 9e-4, len(ids))
        truth[d] = (x, f, s)
        ex += [(d, i, FACTORS[k], x[r, k]) for r, i in enumerate(ids) for k in range(3)]
        fc += [(d, FACTORS[p], FACTORS[q], f[p, q]) for p in range(3) for q in range(p + 1)]  # one triangle
        sv += [(d, i, s[r]) for r, i in enumerate(ids[drop_specific:])]
    out = {}
    for kind, rows, cols in (
        ("custom_exposures", ex, ["date", "order_book_id", "factor", "exposure"]),
        ("custom_factor_cov", fc, ["date", "factor_1", "factor_2", "cov"]),
        ("custom_specific_var", sv, ["date", "order_book_id", "specific_var"]),
    ):
        out[kind] = tmp_path / f"{kind}.csv"
        pd.DataFrame(rows, columns=cols).to_csv(out[kind], index=False)
    return out, truth


def _live_ids(date, n):
    return zorvata.all_instruments("CS", date).order_book_id[:n].tolist()


def test_custom_model_round_trip(small, tmp_path, switch_db):
    switch_db(small)
    ids = _live_ids("2024-06-03", 12)
    files, truth = _custom_files(tmp_path, ids, ["2024-06-03", "2024-06-28"])
    append_files(small, **files)
    switch_db(small)
    pool = ids[:8]
    h = OptimizeHelper(pool, "2024-06-05", None, "daily", "custom", 1.0, 1.0)  # uses the set of 06-03
    x, f, s = truth["2024-06-03"]
    expect = x[:8] @ f @ x[:8].T + np.diag(s[:8])
    cov = h.get_cov_matrix()
    np.testing.assert_allclose(cov, expect, rtol=1e-9, atol=1e-14)
    np.testing.assert_allclose(
        cov.factor_root @ cov.factor_root.T + np.diag(cov.specific_variance), expect, rtol=1e-9, atol=1e-14
    )
    np.testing.assert_allclose(h.get_factor_exposure()[FACTORS].to_numpy(), x[:8])
    # the horizon scales it; a later request date reads the later set
    m = OptimizeHelper(pool, "2024-06-05", None, "monthly", "custom", 2.0, 1.0).get_cov_matrix()
    np.testing.assert_allclose(m, 21 * (2 * x[:8] @ f @ x[:8].T + np.diag(s[:8])), rtol=1e-9, atol=1e-14)
    x2, f2, s2 = truth["2024-06-28"]
    later = OptimizeHelper(pool, "2024-07-10", None, "daily", "custom", 1.0, 1.0).get_cov_matrix()
    np.testing.assert_allclose(later, x2[:8] @ f2 @ x2[:8].T + np.diag(s2[:8]), rtol=1e-9, atol=1e-14)
    # the set dated on the request date itself is not known yet: point in time
    np.testing.assert_allclose(
        OptimizeHelper(pool, "2024-06-28", None, "daily", "custom", 1, 1).get_cov_matrix(), cov, rtol=1e-12
    )
    with pytest.raises(InvalidArgument, match="no custom risk model dated on or before 2024-05-31"):
        OptimizeHelper(pool, "2024-06-03", None, "daily", "custom", 1.0, 1.0)
    outside = [i for i in _live_ids("2024-06-03", 30) if i not in ids][:1]
    with pytest.raises(InvalidArgument, match="no risk model data for"):
        OptimizeHelper(pool + outside, "2024-06-05", None, "daily", "custom", 1.0, 1.0)
    # dates outside the market data are refused in the estimated model's words (one as-of rule for both)
    with pytest.raises(InvalidArgument, match=r"^no trading date before 2023-12-29 in the market data"):
        OptimizeHelper(pool, "2023-12-29", None, "daily", "custom", 1.0, 1.0)
    for late in ("2025-01-02", "2031-01-06"):
        with pytest.raises(InvalidArgument, match=r"^the market data ends on 2024-12-31: no risk model for "):
            OptimizeHelper(pool, late, None, "daily", "custom", 1.0, 1.0)


def test_custom_model_checks(small, tmp_path, switch_db):
    switch_db(small)
    ids = _live_ids("2024-06-03", 5)
    bad = np.array([[1e-4, 2e-4, 0], [2e-4, 1e-4, 0], [0, 0, 1e-4]])  # not positive semi-definite
    files, _ = _custom_files(tmp_path, ids, ["2024-06-04"], cov=bad, drop_specific=1)
    with pytest.raises(zorvata.ValidationError) as e:
        append_files(small, **files)
    text = str(e.value)
    assert "factor covariance is not positive semi-definite on 2024-06-04" in text
    assert f"{ids[0]} has exposures on 2024-06-04 but no specific variance" in text
    with pytest.raises(zorvata.ValidationError, match="needs all three files"):
        append_files(small, custom_exposures=files["custom_exposures"])


def test_too_few_stocks_for_the_factors(tmp_path, switch_db):
    db = _market(tmp_path, "tiny", n_stocks=12, start="2023-01-03", end="2024-06-28", n_industries=4, seed=2)
    switch_db(db)
    ids = _live_ids("2024-06-03", 3)
    with pytest.raises(
        RiskModelDataError,
        match=r"estimates 15 factors \(country, 4 industries, 10 styles\).*needs "
        r"more than 15 stocks",
    ) as e:
        OptimizeHelper(ids, "2024-06-03", None, "daily", "v1", 1.0, 1.0)
    assert isinstance(e.value, zorvata.DataError) and "risk_model='custom'" in str(e.value)


def test_missing_tables_are_named(tmp_path, switch_db):
    db = _market(
        tmp_path,
        "nodaily",
        drop=("stock_daily",),
        n_stocks=40,
        start="2023-01-03",
        end="2024-06-28",
        n_industries=3,
        seed=4,
    )
    switch_db(db)
    with pytest.raises(RiskModelDataError, match="needs market caps: the stock_daily table has no positive"):
        OptimizeHelper(_live_ids("2024-06-03", 3), "2024-06-03", None, "daily", "v1", 1.0, 1.0)


def test_styles_without_inputs_warn(tmp_path, switch_db):
    db = _market(
        tmp_path,
        "nofund",
        drop=("fundamentals",),
        n_stocks=60,
        start="2023-01-03",
        end="2024-06-28",
        n_industries=3,
        seed=6,
    )
    switch_db(db)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        OptimizeHelper(_live_ids("2024-06-03", 3), "2024-06-03", None, "daily", "v1", 1.0, 1.0)
    texts = [str(w.message) for w in caught if issubclass(w.category, OptimizerWarning)]
    assert any(
        "book_to_price, earnings_yield, growth, leverage are zero for every stock" in t
        and "fundamentals.book_value" in t
        for t in texts
    ), texts
