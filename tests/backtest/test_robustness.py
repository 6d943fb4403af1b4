"""Nothing fails quietly: interrupts, lost workers, transient faults and changed data around a checkpoint."""

from __future__ import annotations

import datetime as dt
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import duckdb
import numpy as np
import pytest

import zorvata

from velquor.exception import BacktestFailed, InvalidArgument, OptimizerWarning

from .backtest_support import InterruptingTrackingError, basic_backtest

#: May .. August 2025: four rebalance dates
SHORT_END = "2025-08-31"


def _same(a, b) -> None:
    assert a.weights.equals(b.weights)
    assert np.array_equal(a.nav.to_numpy(), b.nav.to_numpy())
    assert a.status.equals(b.status)


def _recorded(cp: Path) -> list[int]:
    return sorted(int(p.name[5:7]) for p in cp.rglob("2025-*.json"))


def _ran(monkeypatch) -> list:
    """Months of the rebalances this process sends to the optimiser from now on (serial engine)."""
    import velquor.backtest.backtest as module

    ran = []
    task = module.rebalance_task
    monkeypatch.setattr(module, "rebalance_task", lambda market, job: ran.append(job.date.month) or task(market, job))
    return ran


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    """A never-triggered interrupting backtest and its serial result (the reference of every resume)."""
    trigger = tmp_path_factory.mktemp("trigger") / "armed"
    bt = basic_backtest(end=SHORT_END, objective=InterruptingTrackingError(str(trigger), 7, "solver", os.getpid()))
    return bt, trigger, bt.run(progress=False)


class TestInterrupt:
    """Ctrl-C inside a solve stops the run with KeyboardInterrupt; the checkpoint keeps finished dates only
    and the resumed run is the uninterrupted one, on every engine."""

    @pytest.fixture(autouse=True)
    def _sigint_raises(self):
        # a suite started in the background inherits SIGINT ignored, and Python then raises nothing on it
        old = signal.signal(signal.SIGINT, signal.default_int_handler)
        yield
        signal.signal(signal.SIGINT, old)

    @pytest.mark.parametrize("engine, how", [
        ("serial", "solver"), ("serial", "signal"),
        pytest.param("process", "solver", marks=pytest.mark.slow),
        pytest.param("process", "signal", marks=pytest.mark.slow),
        pytest.param("dask", "solver", marks=pytest.mark.slow),
    ])
    def test_interrupt_in_a_solve_resumes_to_the_same_result(self, uninterrupted, tmp_path, engine, how):
        _, trigger, fresh = uninterrupted
        bt = basic_backtest(end=SHORT_END,
                            objective=InterruptingTrackingError(str(trigger), 7, how, os.getpid()))
        cp = tmp_path / "cp"
        trigger.write_text("")
        try:
            with pytest.raises(KeyboardInterrupt):
                bt.run(engine=engine, workers=None if engine == "serial" else 2, progress=False, checkpoint=cp)
        finally:
            trigger.unlink(missing_ok=True)
        done = _recorded(cp)
        assert 7 not in done
        if engine == "serial":
            assert done == [5, 6]
        for path in cp.rglob("2025-*.json"):
            assert json.loads(path.read_text())["status"] == "optimal"
        _same(fresh, bt.run(progress=False, checkpoint=cp))

    @pytest.mark.slow
    @pytest.mark.parametrize("engine", ["process", "dask"])
    def test_turnover_limited_chain_solved_ahead_resumes_to_the_same_result(self, tmp_path, engine):
        # the workers solve the dates ahead (Dask's on its runners): the interrupt arrives from a date not
        # yet booked
        trigger = tmp_path / "armed"
        bt = basic_backtest(end=SHORT_END, turnover_limit=0.5,
                            objective=InterruptingTrackingError(str(trigger), 7, "solver", os.getpid()))
        fresh = bt.run(progress=False)
        cp = tmp_path / "cp"
        trigger.write_text("")
        try:
            with pytest.raises(KeyboardInterrupt):
                bt.run(engine=engine, workers=2, progress=False, checkpoint=cp)
        finally:
            trigger.unlink(missing_ok=True)
        assert set(_recorded(cp)) <= {5, 6}
        _same(fresh, bt.run(engine=engine, workers=2, progress=False, checkpoint=cp))

    def test_scs_interrupt_raises_in_a_plain_optimisation(self):
        from velquor.optimize import portfolio_optimize

        from .backtest_support import _arm_interrupted_solve

        pool = list(zorvata.index_weights("000905.XSHG", "2025-06-03").index[:10])
        _arm_interrupted_solve()
        with pytest.raises(KeyboardInterrupt):
            portfolio_optimize(pool, "2025-06-03")


class TestTransientFailures:
    def test_unreadable_estimate_fails_its_date_and_is_retried_on_resume(self, uninterrupted, tmp_path,
                                                                          monkeypatch):
        from velquor.backtest import _estimates

        bt, _, fresh = uninterrupted
        cp = tmp_path / "cp"
        load = _estimates.load
        june = _estimates.asof_day(fresh.status.index[1].date())[0]

        def flaky(pos, variant):
            if pos == june:
                raise OSError(28, "No space left on device")
            return load(pos, variant)

        with monkeypatch.context() as m:
            m.setattr(_estimates, "load", flaky)
            res = bt.run(progress=False, checkpoint=cp)
        assert res.status.iloc[1] == "failed: risk model: OSError: [Errno 28] No space left on device"
        assert _recorded(cp) == [5, 7, 8]  # the failure is not kept
        ran = _ran(monkeypatch)
        _same(fresh, bt.run(progress=False, checkpoint=cp))
        assert ran == [6]

    def test_a_run_where_every_date_failed_raises(self):
        with pytest.raises(BacktestFailed) as e:
            basic_backtest(end="2025-06-30", universe=["NOPE.XSHG"]).run(progress=False)
        assert str(e.value).startswith("every rebalance date failed (2); the first, 2025-05-06: failed: ")


class TestChangedData:
    """A checkpoint keys each date by what it read: a correction recomputes the dates that read it, an
    append after the run's end changes nothing."""

    @pytest.fixture
    def copy(self, market_db, tmp_path, switch_db, monkeypatch):
        from velquor.backtest import _estimates

        path = tmp_path / "market.duckdb"
        shutil.copyfile(market_db, path)
        # the estimates of the session market serve the copy (the same data)
        monkeypatch.setenv("VELQUOR_RISKMODEL_DIR", str(market_db) + ".riskmodel")
        _estimates.forget()
        switch_db(path)
        yield path
        _estimates.forget()

    @staticmethod
    def _edit(path, *sql) -> None:
        zorvata.close()
        con = duckdb.connect(str(path))
        try:
            for q in sql:
                con.execute(*q)
            con.execute("CHECKPOINT")
        finally:
            con.close()
        zorvata.configure(path)

    def test_corrected_index_weight_recomputes_the_dates_that_read_it(self, uninterrupted, copy, tmp_path,
                                                                       monkeypatch):
        bt, _, fresh = uninterrupted
        cp = tmp_path / "cp"
        before = bt.run(progress=False, checkpoint=cp)
        _same(fresh, before)
        july = fresh.status.index[2].date()
        (day,), = duckdb.connect(str(copy), read_only=True).execute(
            "SELECT max(date) FROM index_weights WHERE index_id = '000905.XSHG' AND date <= ?", [july]).fetchall()
        self._edit(copy, ("UPDATE index_weights SET weight = weight * (1 + 0.5 * (hash(order_book_id) % 2)) "
                          "WHERE index_id = '000905.XSHG' AND date = ?", [day]))
        ran = _ran(monkeypatch)
        with pytest.warns(OptimizerWarning, match="changed since they were recorded"):
            after = bt.run(progress=False, checkpoint=cp)
        expected = [d.month for d in fresh.status.index if d.date() >= day]
        assert ran == expected and 5 not in ran
        assert not after.weights.loc[f"2025-{expected[0]:02d}"].equals(before.weights.loc[f"2025-{expected[0]:02d}"])

    def test_append_after_the_run_is_accepted_as_it_is(self, uninterrupted, copy, tmp_path, monkeypatch):
        bt, _, fresh = uninterrupted
        cp = tmp_path / "cp"
        bt.run(progress=False, checkpoint=cp)
        last = zorvata.data_end()
        new = last + dt.timedelta(days=1)
        self._edit(copy, ("INSERT INTO trading_dates SELECT ?::DATE WHERE NOT EXISTS "
                          "(SELECT 1 FROM trading_dates WHERE date = ?::DATE)", [str(new), str(new)]),
                   ("INSERT INTO price_change_rate SELECT ?::DATE, order_book_id, 0.001 FROM price_change_rate "
                    "WHERE date = ?", [str(new), last]),
                   ("UPDATE meta SET value = ? WHERE key = 'data_end'", [str(new)]))
        assert zorvata.data_end() > last
        ran = _ran(monkeypatch)
        _same(fresh, bt.run(progress=False, checkpoint=cp))
        assert ran == []


class TestWorkers:
    @pytest.mark.slow
    def test_no_worker_outlives_its_parent_killed(self, market_db):
        script = textwrap.dedent("""
            import multiprocessing.resource_tracker as rt, os, time
            from velquor.backtest.engines import ProcessEngine
            e = ProcessEngine(2)
            futs = [e.submit(time.sleep, 1.0) for _ in range(2)] + [e.submit(os.getpid) for _ in range(2)]
            pids = {e.result(f) for f in futs[2:]} | {p.pid for p in e._pool._executor._processes.values()}
            print(" ".join(map(str, sorted(pids | ({rt._resource_tracker._pid} - {None})))), flush=True)
            time.sleep(600)
        """)
        with subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True) as proc:
            try:
                pids = [int(x) for x in proc.stdout.readline().split()]
            finally:
                proc.kill()
        assert len(pids) >= 2

        def alive(pid: int) -> bool:
            try:
                state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
            except OSError:
                return False
            return state != "Z"

        deadline = time.monotonic() + 10
        while any(alive(p) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.2)
        assert not [p for p in pids if alive(p)]

    def test_lost_worker_is_retried_and_never_checkpointed(self, tmp_path):
        from .backtest_support import CrashingTrackingError

        cp = tmp_path / "cp"
        res = basic_backtest(end=SHORT_END, objective=CrashingTrackingError(6, os.getpid())).run(
            engine="process", workers=1, progress=False, checkpoint=cp)
        assert res.status.iloc[1].startswith("failed: worker: BrokenProcessPool: ")
        assert (res.status.drop(res.status.index[1]) == "optimal").all()  # the others got a fresh pool
        assert _recorded(cp) == [5, 7, 8]


class TestScriptWithoutMainGuard:
    @pytest.mark.parametrize("guarded", [False, pytest.param(True, marks=pytest.mark.slow)])
    def test_spawning_engines_refuse_a_script_without_guard(self, tmp_path, market_db, guarded):
        body = ("from velquor.backtest import Backtest\n"
                "Backtest('000985.XSHG', '2025-05-01', '2025-05-31').run(engine='process', progress=False)\n"
                "print('ran')\n")
        if guarded:
            body = "if __name__ == '__main__':\n" + textwrap.indent(body, "    ")
        script = tmp_path / "bt.py"
        script.write_text(body)
        out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=600,
                             env=dict(os.environ, ZORVATA_DB=str(market_db)))
        if guarded:
            assert out.returncode == 0 and out.stdout == "ran\n", out.stderr
        else:
            assert out.returncode == 1 and out.stdout == ""
            assert out.stderr.strip().splitlines()[-1] == (
                f"velquor.exception.InvalidArgument: the process engine starts worker processes that run {script} "
                f"again, and each would start this backtest again: put the code that runs it under "
                f"`if __name__ == \"__main__\":` (or use engine=\"serial\")")

    def test_interactive_and_guarded_callers_pass(self):
        from velquor.backtest.backtest import _unguarded_script

        # pytest's own __main__ calls this from a function, not from a script's top level
        assert _unguarded_script("process", None) is None
        assert _unguarded_script("serial", None) is None
        with pytest.raises(InvalidArgument, match="engine must be one of"):
            basic_backtest().run(engine="threads")
