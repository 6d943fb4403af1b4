"""Persistence, on-demand builds across processes, the build command and the absence of look-ahead."""

from __future__ import annotations

import datetime as dt
import os
import subprocess
import sys
import textwrap

import duckdb
import numpy as np
import pytest
import zorvata

from velquor.const import STYLE_FACTORS, CovModel, RiskModel
from velquor.exception import OptimizerWarning
from velquor.helper import OptimizeHelper
from velquor.riskmodel import pipeline, service

from .riskmodel_support import DATE, FakeBenchmark

DAILY, QUARTERLY = CovModel.FACTOR_MODEL_DAILY, CovModel.FACTOR_MODEL_QUARTERLY


def _pool(n=30):
    prev = zorvata.get_previous_trading_date(DATE)
    return sorted(set(zorvata.all_instruments("CS", prev)["order_book_id"]))[:n]


def _snapshot(pool, cov_model, risk_model, bench=None):
    h = OptimizeHelper(pool, DATE, bench, cov_model, risk_model, 1.0, 1.0)
    return {"cov": h.get_cov_matrix(), "union_cov": h.get_union_cov_matrix(),
            "expo": h.get_factor_exposure()[STYLE_FACTORS].to_numpy(),
            "style": None if bench is None else h.get_benchmark_style().to_numpy()}


def _assert_same(a, b):
    for key in a:
        if a[key] is not None:
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)


class TestNoLookAhead:
    """Two stores that agree up to the day before DATE and differ from DATE on give the same model."""

    @staticmethod
    def _alter(path, first_day):
        con = duckdb.connect(str(path))
        try:
            con.execute("UPDATE price_change_rate SET rate = rate * 3 + 0.01 WHERE date >= ?", [first_day])
            con.execute("UPDATE stock_daily SET market_cap = market_cap * 1.7, turnover = turnover * 5 "
                        "WHERE date >= ?", [first_day])
            con.execute("UPDATE fundamentals SET book_value = book_value * 4, earnings = -earnings, "
                        "sales = sales * 9 WHERE announce_date >= ?", [first_day])
            con.execute("UPDATE index_weights SET weight = weight WHERE date >= ?", [first_day])
            con.execute("CHECKPOINT")
        finally:
            con.close()

    @pytest.mark.parametrize("cov_model,risk_model", [(DAILY, RiskModel.V1), (QUARTERLY, RiskModel.V2)],
                             ids=["daily-v1", "quarterly-v2"])
    def test_data_from_the_request_date_on_changes_nothing(self, market_copy, switch_db, cov_model, risk_model):
        base, changed = market_copy("base"), market_copy("changed")
        self._alter(changed, DATE)
        pool = _pool()
        bench = FakeBenchmark(zorvata.index_weights("000300.XSHG", DATE))
        switch_db(base)
        a = _snapshot(pool, cov_model, risk_model, bench)
        rates = zorvata.get_price_change_rate(pool, DATE, DATE).to_numpy()
        switch_db(changed)
        b = _snapshot(pool, cov_model, risk_model, bench)
        # the altered store really differs on DATE
        np.testing.assert_allclose(zorvata.get_price_change_rate(pool, DATE, DATE).to_numpy(), rates * 3 + 0.01)
        _assert_same(a, b)

    def test_data_of_the_previous_day_does_change_the_model(self, market_copy, switch_db):
        # the control: the comparison above is able to see a difference
        base, changed = market_copy("base"), market_copy("changed")
        self._alter(changed, zorvata.get_previous_trading_date(DATE))
        pool = _pool()
        switch_db(base)
        a = _snapshot(pool, DAILY, RiskModel.V1)
        switch_db(changed)
        b = _snapshot(pool, DAILY, RiskModel.V1)
        assert not np.allclose(a["cov"], b["cov"])
        assert not np.allclose(a["expo"], b["expo"])


class TestPersistence:
    def test_second_request_reads_the_persisted_estimate(self, market_copy, switch_db, monkeypatch):
        path = market_copy("persist")
        switch_db(path)
        pool = _pool(10)
        first = _snapshot(pool, DAILY, RiskModel.V2)
        ctx = service.context()
        day = ctx.day(service.resolve_asof(ctx, DATE))
        assert ctx.store.root.parent == path.with_name(path.name + ".riskmodel")
        assert ctx.store.variant_path(day, DAILY, RiskModel.V2).exists()
        # the build also covered the following dates
        next_day = ctx.day(service.resolve_asof(ctx, DATE) + 5)
        assert ctx.store.variant_path(next_day, DAILY, RiskModel.V2).exists()

        def no_build(*args, **kwargs):
            raise AssertionError("estimated again")

        monkeypatch.setattr(service, "estimate_range", no_build)
        service._models.clear()
        _assert_same(first, _snapshot(pool, DAILY, RiskModel.V2))

    def test_damaged_pair_of_files_is_rebuilt(self, market_copy, switch_db):
        path = market_copy("damaged")
        switch_db(path)
        pool = _pool(10)
        first = _snapshot(pool, DAILY, RiskModel.V1)
        ctx = service.context()
        day = ctx.day(service.resolve_asof(ctx, DATE))
        vpath = ctx.store.variant_path(day, DAILY, RiskModel.V1)
        with np.load(vpath) as z:
            arrays = dict(z)
        arrays["key"] = np.int64(arrays["key"] + 1)  # no longer matches its exposure file
        np.savez(vpath, **arrays)
        service._models.clear()
        with pytest.warns(OptimizerWarning, match="could not be read and was rebuilt"):
            _assert_same(first, _snapshot(pool, DAILY, RiskModel.V1))
        with np.load(vpath) as z:
            assert int(z["key"]) == int(arrays["key"]) - 1

    def test_concurrent_processes_build_one_date_once_and_agree(self, market_copy, tmp_path):
        path = market_copy("concurrent")
        script = textwrap.dedent(f"""
            import sys, numpy as np, zorvata
            from velquor.helper import OptimizeHelper
            from velquor.riskmodel import service
            calls = []
            real = service.estimate_range
            service.estimate_range = lambda *a, **k: (calls.append(1), real(*a, **k))
            ids = sorted(zorvata.all_instruments("CS", "2025-05-30")["order_book_id"])[:20]
            h = OptimizeHelper(ids, "{DATE}", None, "quarterly", "v2", 1.0, 1.0)
            np.save(sys.argv[1], h.get_cov_matrix())
            print(len(calls))
        """)
        env = dict(os.environ, ZORVATA_DB=str(path))
        procs = [subprocess.Popen([sys.executable, "-c", script, str(tmp_path / f"cov{i}.npy")], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for i in range(2)]
        outs = [p.communicate(timeout=300) for p in procs]
        assert [p.returncode for p in procs] == [0, 0], [o[1] for o in outs]
        assert sorted(int(o[0]) for o in outs) == [0, 1]
        np.testing.assert_array_equal(np.load(tmp_path / "cov0.npy"), np.load(tmp_path / "cov1.npy"))


class TestBuildCommand:
    def test_builds_every_date_and_agrees_with_on_demand_estimates(self, market_copy, switch_db):
        bulk, lazy = market_copy("bulk"), market_copy("lazy")
        end = dt.date(2025, 6, 6)
        env = dict(os.environ, ZORVATA_DB=str(bulk))
        run = subprocess.run([sys.executable, "-m", "velquor.riskmodel", "build", "--start", "2025-05-26",
                              "--end", str(end), "--model", "monthly", "--version", "v2", "--workers", "2"],
                             env=env, capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        assert "risk model" in run.stderr and "100%" in run.stderr  # the progress bar
        switch_db(bulk)
        ctx = service.context()
        days = [d for d in zorvata.get_trading_dates("2025-05-23", "2025-06-05")]
        for d in days:
            assert ctx.store.has(d.isoformat(), CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2), d
        assert not ctx.store.has("2025-06-06", CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2)
        pool = _pool(25)
        a = _snapshot(pool, CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2)
        switch_db(lazy)
        b = _snapshot(pool, CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2)
        # a range pass and a single-date pass compute every number of the date the same way
        _assert_same(a, b)

    def test_range_before_the_history_allows_is_skipped(self, market_copy, switch_db):
        path = market_copy("early")
        switch_db(path)
        assert service.build("2023-06-01", "2023-12-29", [DAILY], [RiskModel.V1]) == 0
        first = service.context().day(pipeline.FIRST_ASOF_INDEX)
        assert service.build("2023-06-01", first, [DAILY], [RiskModel.V1]) == 0
        assert service.build("2023-06-01", dt.date.fromisoformat(first) + dt.timedelta(days=1), [DAILY],
                             [RiskModel.V1]) == 1


class TestDataKeys:
    """The key of the data known by a day moves with a row known by then and with nothing later."""

    D, later = dt.date(2024, 3, 1), dt.date(2024, 3, 5)

    @pytest.fixture
    def con(self):
        con = duckdb.connect()
        con.execute("CREATE TABLE price_change_rate (date DATE, order_book_id VARCHAR, rate DOUBLE)")
        con.execute("CREATE TABLE instruments (order_book_id VARCHAR, type VARCHAR, listed_date DATE, "
                    "industry_sw VARCHAR)")
        con.execute("CREATE TABLE industry_history (source VARCHAR, order_book_id VARCHAR, code VARCHAR, "
                    "start_date DATE, end_date DATE)")
        con.execute("INSERT INTO price_change_rate VALUES (?, 'A', 0.01), (?, 'A', 0.02)",
                    [self.D - dt.timedelta(days=1), self.D])
        con.execute("INSERT INTO instruments VALUES ('A', 'CS', '2020-01-02', 'x')")
        con.execute("INSERT INTO industry_history VALUES ('sw', 'A', 'x', '2020-01-02', NULL)")
        yield con
        con.close()

    def _names(self, con, days):
        from velquor.riskmodel.store import data_keys

        keys = data_keys(con)
        return [keys.name(d) for d in days]

    @pytest.mark.parametrize("change,moves_d", [
        ("INSERT INTO price_change_rate VALUES ('2024-03-04', 'A', 0.03)", False),  # a new day
        ("INSERT INTO instruments VALUES ('B', 'CS', '2024-03-04', 'x')", False),  # a new listing
        ("UPDATE industry_history SET end_date = '2024-03-04'", False),  # a period closed later ...
        ("UPDATE industry_history SET end_date = '2024-02-01'", True),  # ... and by the day
        ("UPDATE price_change_rate SET rate = 0.5 WHERE date = '2024-03-01'", True),  # a row of the day
        ("UPDATE instruments SET industry_sw = 'y'", True),
    ])
    def test_only_rows_known_by_the_day_count(self, con, change, moves_d):
        d, before_d = self.D, self.D - dt.timedelta(days=1)
        old = self._names(con, [before_d, d, self.later])
        con.execute(change)
        new = self._names(con, [before_d, d, self.later])
        assert (old[1] != new[1]) == moves_d
        assert old[2] != new[2]  # the later day knows every change
        assert new[1].startswith("2024-03-01-")


@pytest.mark.parametrize("bad", ["", "600000 .XSHG", "600000.XSHG\n", "60\t0000.XSHG", "600000.\x00XSHG",
                                 "600000.XSHG\u00a0", "600000.\u2028XSHG"])
def test_an_id_the_file_cannot_list_one_a_line_is_refused_by_name(tmp_path, bad):
    from velquor.riskmodel.store import Store

    ids = ["000001.XSHE", bad, "600001.XSHG"]
    with pytest.raises(ValueError, match="whitespace or a control character") as info:
        Store(tmp_path).write("2025-06-03", CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, ids,
                              np.zeros((3, len(STYLE_FACTORS)), np.float32), np.zeros(3, np.int16), ["a"],
                              np.ones(3), np.eye(2), np.ones(3))
    assert repr(bad) in str(info.value)
    assert not any(tmp_path.rglob("*.npz"))  # nothing written
