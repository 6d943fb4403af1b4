"""What an estimate depends on: data known on its date only (restatements and reclassifications included),
the content of its input tables (an in-place change invalidates it), the classification scheme rather
than the instrument list; and estimate files that heal and can be shared."""

from __future__ import annotations

import datetime as dt
import os
import shutil

import duckdb
import numpy as np
import pandas as pd
import pytest
import zorvata

from velquor.const import STYLE_FACTORS, CovModel, RiskModel
from velquor.exception import OptimizerWarning
from velquor.riskmodel import pipeline as rm_pipeline, service, store as rm_store

from .riskmodel_support import DATE

DAILY, QUARTERLY = CovModel.FACTOR_MODEL_DAILY, CovModel.FACTOR_MODEL_QUARTERLY
GROWTH = STYLE_FACTORS.index("growth")


def _model(path, switch_db, cov_model=DAILY, risk_model=RiskModel.V1):
    switch_db(path)
    service._models.clear()
    ctx = service.context()
    return ctx, service.get_model(ctx, service.resolve_asof(ctx, DATE), cov_model, risk_model)


def _same(a, b):
    assert a.ids == b.ids
    for name in ("style", "industry", "cap", "factor_cov", "specific_var"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


def _edit(path, *sql):
    zorvata.close()  # this process may hold the file open read-only
    con = duckdb.connect(str(path))
    try:
        for q in sql:
            con.execute(*q) if isinstance(q, tuple) else con.execute(q)
        con.execute("CHECKPOINT")
    finally:
        con.close()


@pytest.fixture(scope="module")
def asof_day(market_db):
    return zorvata.get_previous_trading_date(DATE)


@pytest.fixture(scope="module")
def stock(market_db, asof_day):
    """A stock trading well before and after DATE with a report announced a few months before it."""
    f = zorvata.get_fundamentals(asof_day - dt.timedelta(days=200), asof_day, ["sales"])
    live = set(zorvata.all_instruments("CS", asof_day - dt.timedelta(days=400))["order_book_id"]) & \
        set(zorvata.all_instruments("CS", DATE + dt.timedelta(days=60))["order_book_id"])
    ids = sorted(set(f.reset_index()["order_book_id"]) & live)
    return ids[len(ids) // 2]


class TestRestatement:
    @staticmethod
    def _restate(path, sid, announce):
        # a tenfold restatement of the sales of the report a year before the latest one known on DATE
        con = duckdb.connect(str(path), read_only=True)
        try:
            (latest,) = con.execute("SELECT max(report_date) FROM fundamentals WHERE order_book_id = ? AND "
                                    "announce_date < ?", [sid, DATE]).fetchone()
        finally:
            con.close()
        prior = (pd.Timestamp(latest) - pd.DateOffset(years=1)).date()
        _edit(path, ("INSERT INTO fundamentals SELECT order_book_id, report_date, ?::DATE, book_value, earnings, "
                     "sales * 10, total_debt FROM fundamentals WHERE order_book_id = ? AND report_date = ? "
                     "ORDER BY announce_date DESC LIMIT 1", [announce, sid, prior]))

    @pytest.mark.parametrize("cov_model,risk_model", [(DAILY, RiskModel.V1), (QUARTERLY, RiskModel.V2)],
                             ids=["daily-v1", "quarterly-v2"])
    def test_announced_after_the_date_changes_nothing(self, market_copy, switch_db, stock, cov_model, risk_model):
        base, changed = market_copy("base"), market_copy("restated")
        self._restate(changed, stock, DATE + dt.timedelta(days=5))
        _, a = _model(base, switch_db, cov_model, risk_model)
        ctx, b = _model(changed, switch_db, cov_model, risk_model)
        _same(a, b)
        # the restatement is there: a model after its announcement sees it
        later = service.get_model(ctx, service.resolve_asof(ctx, DATE + dt.timedelta(days=12)), cov_model,
                                  risk_model)
        switch_db(base)
        ctx0 = service.context()
        later0 = service.get_model(ctx0, service.resolve_asof(ctx0, DATE + dt.timedelta(days=12)), cov_model,
                                   risk_model)
        i = later.position[stock]
        assert later.style[i, GROWTH] < later0.style[later0.position[stock], GROWTH] - 0.1

    def test_announced_before_the_date_is_seen(self, market_copy, switch_db, stock, asof_day):
        base, changed = market_copy("base"), market_copy("restated")
        self._restate(changed, stock, asof_day - dt.timedelta(days=3))
        _, a = _model(base, switch_db)
        _, b = _model(changed, switch_db)
        assert b.style[b.position[stock], GROWTH] < a.style[a.position[stock], GROWTH] - 0.1
        assert not np.array_equal(a.factor_cov, b.factor_cov)


class TestReclassification:
    @staticmethod
    def _move(path, sid, effective):
        con = duckdb.connect(str(path), read_only=True)
        try:
            (code,) = con.execute("SELECT code FROM industry_history WHERE source = 'sw' AND order_book_id = ? "
                                  "AND end_date IS NULL", [sid]).fetchone()
            other = con.execute("SELECT min(code) FROM industries WHERE source = 'sw' AND code <> ?",
                                [code]).fetchone()[0]
        finally:
            con.close()
        _edit(path, ("UPDATE industry_history SET end_date = ? WHERE source = 'sw' AND order_book_id = ? AND "
                     "end_date IS NULL", [effective, sid]),
              ("INSERT INTO industry_history VALUES ('sw', ?, ?, ?, NULL)", [sid, other, effective]))
        return code, other

    def test_effective_after_the_date_changes_nothing(self, market_copy, switch_db, stock):
        base, changed = market_copy("base"), market_copy("moved")
        self._move(changed, stock, DATE + dt.timedelta(days=3))
        _, a = _model(base, switch_db, risk_model=RiskModel.V2)
        _, b = _model(changed, switch_db, risk_model=RiskModel.V2)
        _same(a, b)

    def test_effective_before_the_date_is_seen(self, market_copy, switch_db, stock, asof_day):
        base, changed = market_copy("base"), market_copy("moved")
        old, new = self._move(changed, stock, asof_day - dt.timedelta(days=7))
        _, a = _model(base, switch_db)
        _, b = _model(changed, switch_db)
        assert a.industry_names[a.industry[a.position[stock]]] == old
        assert b.industry_names[b.industry[b.position[stock]]] == new
        assert not np.array_equal(a.factor_cov, b.factor_cov)


def test_industry_factors_are_the_schemes_codes_whoever_is_listed(market_copy, switch_db, asof_day):
    # a store whose every stock of one industry lists only after the date, and one without those stocks:
    # the factor set is the scheme's, so V2 (whose eigenfactor step sees every factor) agrees
    base, extra = market_copy("base"), market_copy("extra")
    sid, first = "699999.XSHG", DATE + dt.timedelta(days=30)
    con = duckdb.connect(str(extra))
    try:
        code = con.execute("SELECT max(code) FROM industries WHERE source = 'sw'").fetchone()[0]
        donor = con.execute("SELECT min(order_book_id) FROM instruments WHERE type = 'CS'").fetchone()[0]
        con.execute("INSERT INTO instruments SELECT ?, 'new', 'CS', ?, NULL, 'XSHG', ?, NULL", [sid, first, code])
        con.execute("INSERT INTO industry_history VALUES ('sw', ?, ?, ?, NULL)", [sid, code, first])
        for table, cols in (("price_change_rate", "rate"), ("stock_daily", "market_cap, float_market_cap, turnover")):
            con.execute(f"INSERT INTO {table} SELECT date, ?, {cols} FROM {table} WHERE order_book_id = ? AND "
                        f"date >= ?", [sid, donor, first])
        con.execute("CHECKPOINT")
    finally:
        con.close()
    for rm in RiskModel:
        _, a = _model(base, switch_db, QUARTERLY, rm)
        _, b = _model(extra, switch_db, QUARTERLY, rm)
        assert a.industry_names == b.industry_names and a.ids == b.ids
        np.testing.assert_allclose(b.factor_cov, a.factor_cov, rtol=1e-9, atol=1e-18)
        np.testing.assert_allclose(b.specific_var, a.specific_var, rtol=1e-9)


class TestEstimateFiles:
    def test_in_place_change_of_a_days_returns_invalidates_and_prune_removes_the_old(self, market_copy, switch_db,
                                                                                      asof_day):
        path, fresh = market_copy("inplace"), market_copy("fresh")
        _, before = _model(path, switch_db)
        old_root = service.context().store.root
        change = ("UPDATE price_change_rate SET rate = rate * 1.5 WHERE date = ?", [asof_day])
        _edit(path, change)
        _edit(fresh, change)
        ctx, after = _model(path, switch_db)
        assert ctx.store.root != old_root
        assert not np.allclose(before.factor_cov, after.factor_cov)
        _, expected = _model(fresh, switch_db)
        _same(after, expected)
        switch_db(path)
        assert service.prune(dry_run=True) == [old_root]
        assert old_root.exists()
        assert service.prune() == [old_root]
        assert not old_root.exists() and ctx.store.root.exists()
        assert service.prune() == []

    def test_new_days_keep_older_estimates_until_a_day_they_cover_changes(self, market_copy, switch_db, asof_day,
                                                                           monkeypatch):
        path, full = market_copy("append"), market_copy("full")
        cut = zorvata.trading_date_offset(asof_day, 10)
        later = ("price_change_rate", "date"), ("stock_daily", "date"), ("fundamentals", "announce_date")
        _edit(path, *[(f"DELETE FROM {t} WHERE {c} > ?", [cut]) for t, c in later])
        ctx, before = _model(path, switch_db)
        first_root = ctx.store.root
        assert first_root.name.startswith(f"{cut}-")
        builds = []
        real = service.estimate_range
        monkeypatch.setattr(service, "estimate_range", lambda *a, **k: builds.append(a[2]) or real(*a, **k))

        # the later days arrive: the estimate as of a covered date is read, not made again
        _edit(path, f"ATTACH '{full}' AS src (READ_ONLY)",
              *[(f"INSERT INTO {t} SELECT * FROM src.{t} WHERE {c} > ?", [cut]) for t, c in later])
        ctx, after = _model(path, switch_db)
        assert ctx.store.root != first_root and first_root in ctx.store.older and builds == []
        _same(before, after)
        # so after a change of a day past the first cutoff only
        _edit(path, ("UPDATE price_change_rate SET rate = rate * 1.5 WHERE date = ?",
                     [zorvata.trading_date_offset(cut, 2)]))
        ctx, after = _model(path, switch_db)
        assert first_root in ctx.store.older and builds == []
        # a change of a day the first directory covers (after the request date) retires it: the estimate is
        # made again, and comes out the same
        _edit(path, ("UPDATE price_change_rate SET rate = rate * 1.5 WHERE date = ?", [cut]))
        ctx, after = _model(path, switch_db)
        assert first_root not in ctx.store.older and len(builds) == 1
        np.testing.assert_allclose(after.factor_cov, before.factor_cov, rtol=1e-9, atol=1e-18)
        np.testing.assert_allclose(after.specific_var, before.specific_var, rtol=1e-9)
        switch_db(path)
        assert first_root in service.prune()

    @pytest.mark.parametrize("damage", ["garbage", "truncated", "empty"])
    def test_corrupt_file_is_rebuilt(self, market_copy, switch_db, damage):
        path = market_copy("corrupt")
        ctx, first = _model(path, switch_db)
        day = ctx.day(service.resolve_asof(ctx, DATE))
        for target in (ctx.store.variant_path(day, DAILY, RiskModel.V1), ctx.store.exposure_path(day)):
            data = target.read_bytes()
            target.write_bytes({"garbage": b"not an estimate" * 10, "truncated": data[: len(data) // 2],
                                "empty": b""}[damage])
            with pytest.warns(OptimizerWarning, match="could not be read and was rebuilt"):
                _, again = _model(path, switch_db)
            _same(first, again)
            assert ctx.store.read(day, DAILY, RiskModel.V1) is not None

    def test_files_are_readable_by_everyone(self, market_copy, switch_db):
        path = market_copy("modes")
        ctx, _ = _model(path, switch_db)
        files = [p for p in ctx.store.root.rglob("*") if p.is_file() and not p.name.endswith(".lock")]
        assert files and all(p.stat().st_mode & 0o777 == 0o644 for p in files), \
            {str(p): oct(p.stat().st_mode & 0o777) for p in files}
        assert (ctx.store.root / rm_store.SOURCE_FILE).read_text().strip() == str(path.resolve())

    def test_prune_drops_directories_of_a_removed_database(self, market_copy, switch_db, tmp_path, monkeypatch):
        shared = tmp_path / "shared"
        monkeypatch.setenv(rm_store.ENV_DIR, str(shared))
        keep, twin, gone = market_copy("keep"), market_copy("twin"), market_copy("gone")
        _edit(gone, "UPDATE stock_daily SET turnover = turnover * 2")
        ctx_k, _ = _model(keep, switch_db)
        ctx_t, _ = _model(twin, switch_db)
        ctx_g, _ = _model(gone, switch_db)
        # databases with the same content share their estimates; another content has its own
        assert ctx_k.store.root == ctx_t.store.root != ctx_g.store.root
        assert ctx_k.store.root.parent == ctx_g.store.root.parent == shared
        os.unlink(gone)
        os.unlink(keep)  # the twin still refers to the shared directory
        switch_db(twin)
        assert service.prune() == [ctx_g.store.root]
        assert ctx_k.store.root.exists()


class TestEstimateDate:
    def test_estimate_without_writing_then_store_it(self, market_copy, switch_db):
        path = market_copy("split")
        switch_db(path)
        ctx = service.context()
        pos = service.resolve_asof(ctx, DATE)
        est = service.estimate_date(ctx, pos, DAILY, RiskModel.V2)
        assert not ctx.store.root.exists() or not any(ctx.store.root.rglob("*.npz"))
        service.store_estimate(ctx, est, DAILY, RiskModel.V2)
        stored = ctx.store.read(ctx.day(pos), DAILY, RiskModel.V2)
        np.testing.assert_array_equal(stored.factor_cov, est.factor_cov)
        np.testing.assert_array_equal(stored.specific_var, est.specific_var)
        shutil.rmtree(ctx.store.root)
        service._models.clear()
        built = service.get_model(ctx, pos, DAILY, RiskModel.V2)
        np.testing.assert_allclose(built.factor_cov, est.factor_cov, rtol=1e-9)


def test_first_estimable_dates_have_finite_specific_risk(market_db):
    # on the first dates no stock has a full specific-return history yet; the structural model is fitted
    # on the shorter histories instead of leaving every specific variance NaN
    ctx = service.context()
    first = service.resolve_asof(ctx, ctx.date(rm_pipeline.FIRST_ASOF_INDEX + 1))
    est = service.estimate_date(ctx, first, DAILY, RiskModel.V2)
    assert np.isfinite(est.specific_var).all() and (est.specific_var > 0).all()
    assert np.isfinite(est.factor_cov).all()
