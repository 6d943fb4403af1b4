"""Estimates under damaged files and degenerate data: every consumer rebuilds an unreadable estimate and
counts it; collinear fundamentals never turn into a stored model with exploding variances."""

from __future__ import annotations

import warnings

import duckdb
import numpy as np
import pytest

from velquor.const import STYLE_FACTORS, CovModel, RiskModel
from velquor.exception import OptimizerWarning
from velquor.riskmodel import plausibility, service

from .riskmodel_support import DATE

DAILY = CovModel.FACTOR_MODEL_DAILY
V1 = RiskModel.V1


def _damage(path, how):
    data = path.read_bytes()
    if how == "truncated":
        path.write_bytes(data[: len(data) // 2])
    elif how == "empty":
        path.write_bytes(b"")
    elif how == "zeroed":
        path.write_bytes(bytes(len(data)))
    elif how == "inside":  # the archive's directory intact, a member's bytes not
        i = len(data) // 3
        path.write_bytes(data[:i] + bytes(64) + data[i + 64:])


def _three_days(ctx):
    pos = service.resolve_asof(ctx, DATE)
    return [ctx.day(p) for p in range(pos, pos + 3)], pos


class TestUnreadableEstimates:
    def test_bulk_build_rebuilds_and_counts(self, market_copy, switch_db):
        switch_db(market_copy("m"))
        ctx = service.context()
        days, _ = _three_days(ctx)
        assert service.build(DATE, "2025-06-05", [DAILY], [V1]) == 3
        st = ctx.store
        _damage(st.variant_path(days[0], DAILY, V1), "truncated")
        _damage(st.exposure_path(days[1]), "empty")
        _damage(st.variant_path(days[2], DAILY, V1), "zeroed")
        assert not any(st.has(d, DAILY, V1) for d in days) and all(st.damaged(d, DAILY, V1) for d in days)
        before = service.rebuilt_count
        with pytest.warns(OptimizerWarning, match="3 date.* could not be read"):
            got = service.build(DATE, "2025-06-05", [DAILY], [V1])
        assert (got, got.rebuilt, service.rebuilt_count - before) == (3, 3, 3)
        assert all(st.read(d, DAILY, V1) is not None for d in days)
        assert service.build(DATE, "2025-06-05", [DAILY], [V1]) == 0  # nothing left to do

    @pytest.mark.parametrize("how", ["truncated", "inside"])
    def test_request_and_backtest_rebuild_what_they_cannot_read(self, market_copy, switch_db, how):
        from velquor.backtest import _estimates

        switch_db(market_copy("m"))
        ctx = service.context()
        days, pos = _three_days(ctx)
        service.build(DATE, DATE, [DAILY], [V1])
        good = ctx.store.read(days[0], DAILY, V1)
        _damage(ctx.store.exposure_path(days[0]), how)
        assert ctx.store.read(days[0], DAILY, V1) is None
        # the backtest's list of estimates to build holds it, counted
        with pytest.warns(OptimizerWarning, match="1 stored risk-model estimate"):
            assert _estimates.missing([(pos, (DAILY, V1))]) == [(pos, (DAILY, V1))]
        # a request rebuilds it in place
        service.forget()
        with pytest.warns(OptimizerWarning, match=f"as of {days[0]} .* was rebuilt"):
            model = service.get_model(service.context(), pos, DAILY, V1)
        np.testing.assert_allclose(model.factor_cov, good.factor_cov, rtol=1e-12)
        assert model.ids == good.ids and ctx.store.read(days[0], DAILY, V1) is not None


class TestDegenerateData:
    def test_collinear_fundamentals_refused_naming_the_factors(self, market_copy, switch_db):
        path = market_copy("collinear")
        con = duckdb.connect(str(path))
        con.execute("UPDATE fundamentals SET earnings = 0.1 * book_value")  # past the importer's checks
        con.close()
        switch_db(path)
        with pytest.raises(plausibility.ImplausibleEstimate) as e:
            service.build(DATE, DATE, [DAILY], [V1])
        msg = str(e.value)
        assert "book_to_price and earnings_yield" in msg and "above 0 and at most 0.25" in msg
        assert not service.context().store.has(service.context().day(service.resolve_asof(service.context(), DATE)),
                                               DAILY, V1)

    def _estimate(self, style, fvar=1e-4, svar=3e-4):
        n = len(style)
        k = 1 + len(STYLE_FACTORS)
        design = np.hstack([np.ones((n, 1)), style])
        names = ["country", *STYLE_FACTORS]
        return dict(day="2025-05-30", factor_names=names, ids=[f"{i:06d}.XSHG" for i in range(n)], style=style,
                    cap=np.linspace(1e9, 5e10, n), factor_cov=np.eye(k) * fvar, specific_var=np.full(n, svar),
                    design=design, days=1)

    def test_collinear_exposures_warned_implausible_variances_refused(self):
        rng = np.random.default_rng(1)
        style = rng.standard_normal((50, len(STYLE_FACTORS)))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            plausibility.check_estimate(**self._estimate(style))  # healthy: silent
        b, e = STYLE_FACTORS.index("book_to_price"), STYLE_FACTORS.index("earnings_yield")
        style[:, e] = 2 * style[:, b] + 0.5
        with pytest.warns(OptimizerWarning, match="book_to_price and earnings_yield"):
            plausibility.check_estimate(**self._estimate(style))
        for bad in (dict(fvar=3.0), dict(svar=np.nan), dict(svar=0.0)):
            with pytest.raises(plausibility.ImplausibleEstimate, match="implausible"):
                plausibility.check_estimate(**self._estimate(style, **bad))
        wild_stock = np.full(len(style), 3e-4)
        wild_stock[7] = 0.5  # one stock's specific variance out of bounds: warned, the model kept
        with pytest.warns(OptimizerWarning, match=r"daily variance of 1 stock\(s\) above 0.25.*000007.XSHG"):
            plausibility.check_estimate(**self._estimate(rng.standard_normal(style.shape), svar=wild_stock))


class TestEstimateFileAccess:
    def test_estimates_take_the_databases_mode_and_group(self, market_copy, switch_db):
        import os
        import stat

        path = market_copy("private")
        os.chmod(path, 0o640)
        if os.geteuid() == 0:
            os.chown(path, -1, 1)  # group daemon
        switch_db(path)
        ctx = service.context()
        service.build(DATE, DATE, [DAILY], [V1])
        base = ctx.store.root.parent
        files = [p for p in base.rglob("*") if p.is_file() and not p.name.endswith(".lock")]
        dirs = [base, *(p for p in base.rglob("*") if p.is_dir())]
        assert files and {stat.S_IMODE(p.stat().st_mode) for p in files} == {0o640}
        assert {stat.S_IMODE(p.stat().st_mode) for p in dirs} == {0o750}
        assert {p.stat().st_gid for p in files + dirs} == {path.stat().st_gid}

    def test_read_only_estimate_directory_named_in_one_line(self, market_db, tmp_path):
        import os
        import shutil
        import subprocess
        import sys
        import tempfile
        import textwrap

        if os.geteuid() != 0:
            pytest.skip("the check runs as another user, which needs root here")
        d = tempfile.mkdtemp(prefix="velquor-ro-", dir="/tmp")
        try:
            os.chmod(d, 0o755)
            db = shutil.copyfile(market_db, os.path.join(d, "m.duckdb"))
            os.chmod(db, 0o644)
            script = textwrap.dedent(f"""
                import os, sys, zorvata
                from velquor.const import CovModel, RiskModel
                from velquor.riskmodel import service
                zorvata.configure({db!r})
                service.context()
                os.setgroups([]); os.setgid(65534); os.setuid(65534)
                try:
                    service.build({DATE.isoformat()!r}, {DATE.isoformat()!r}, [CovModel.FACTOR_MODEL_DAILY],
                                  [RiskModel.V1])
                except zorvata.AccessError as e:
                    print(e)
                    sys.exit(2)
            """)
            run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                                 env={**os.environ, "VELQUOR_RISKMODEL_DIR": ""}, cwd="/")
            assert run.returncode == 2, run.stderr
            assert run.stdout.count("\n") == 1 and f"{db}.riskmodel" in run.stdout
            assert "VELQUOR_RISKMODEL_DIR" in run.stdout and "permission denied" in run.stdout
        finally:
            shutil.rmtree(d, ignore_errors=True)
