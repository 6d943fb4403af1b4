"""Every engine computes the same bits; run_many keeps its results in order."""

from __future__ import annotations

import os
import shutil

import numpy as np
import pytest

from .backtest_support import basic_backtest, cap_by_holdings


def _same(a, b) -> None:
    assert a.weights.equals(b.weights)
    assert a.holdings.equals(b.holdings)
    assert np.array_equal(a.nav.to_numpy(), b.nav.to_numpy())
    assert a.status.equals(b.status)
    assert a.turnover.equals(b.turnover)


@pytest.mark.slow
class TestEngines:
    def test_dask_local_cluster_matches_serial_bit_for_bit(self, basic):
        bt, serial = basic
        _same(serial, bt.run(engine="dask", workers=2, progress=False))

    def test_dask_with_a_client_of_the_caller(self, basic):
        import distributed

        bt, serial = basic
        # dashboard on a free port: a busy 8787 would otherwise warn (an error in this suite)
        with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                      dashboard_address="127.0.0.1:0", silence_logs=50) as cluster, distributed.Client(cluster) as client:
            _same(serial, bt.run(engine="dask", client=client, progress=False))
            assert client.status == "running"  # the caller's client stays usable

    def test_runners_on_the_callers_cluster_serve_its_next_runs_until_its_workers_change(self):
        import time

        import distributed

        from velquor.backtest.engines import DaskEngine, _kept_runners

        def runners(client, abort=False):
            eng = DaskEngine(None, client)
            try:
                assert eng.result(eng.submit(time.time, first=False)) > 0
                return [f.key for _, f, _ in eng._runners()]
            finally:
                eng.close(abort)

        with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                      dashboard_address="127.0.0.1:0", silence_logs=50) as cluster, \
                distributed.Client(cluster) as client:
            first = runners(client)
            assert len(first) == 1 and runners(client) == first
            cluster.scale(2)
            client.wait_for_workers(2, timeout=60)
            again = runners(client)
            assert len(again) == 2 and first[0] not in again
            # a stopped run leaves none: the dates it left on them would go before the next run's
            assert runners(client, abort=True) == again and client not in _kept_runners
            assert not set(runners(client)) & set(again)
        # a closed client's runners are dropped by the next run on any cluster
        with distributed.Client(processes=False, n_workers=1, threads_per_worker=1,
                                dashboard_address=None) as other:
            runners(other)
        assert client not in _kept_runners

    def test_tasks_sent_together_reach_the_scheduler_in_one_message_and_come_back_in_order(self):
        import operator

        import distributed

        from velquor.backtest.engines import DaskEngine, Engine

        calls = [(2, k) for k in range(5)]
        assert [Engine().result(f) for f in Engine().submit_all(operator.pow, calls)] == [1, 2, 4, 8, 16]
        with distributed.Client(processes=False, n_workers=2, threads_per_worker=1, dashboard_address=None) as client:
            ops: list = []
            send = client._send_to_scheduler
            client._send_to_scheduler = lambda msg: (ops.append(msg["op"]), send(msg))[1]
            eng = DaskEngine(None, client)
            try:
                assert eng.submit_all(operator.pow, []) == []
                futs = eng.submit_all(operator.pow, calls)
                assert [eng.result(f) for f in futs] == [1, 2, 4, 8, 16]
                # sent one by one, the client's batching held the second back by its 10 ms interval
                assert ops.count("update-graph") == 1
            finally:
                eng.close()

    def test_process_pool_runs_many_in_order_with_a_path_dependent_one(self, basic):
        from velquor.backtest import run_many

        bt, serial = basic
        dependent = basic_backtest(cons=cap_by_holdings, bnds=None)
        alone = dependent.run(progress=False)
        got = run_many([dependent, bt], engine="process", workers=2, progress=False)
        _same(alone, got[0])
        _same(serial, got[1])
        assert alone.weights.max(axis=1).iloc[0] <= 0.3 + 1e-6
        assert (alone.weights.max(axis=1).iloc[1:] <= 0.25 + 1e-6).all()

    @pytest.mark.parametrize("limit", [0.05, 0.5])
    def test_turnover_limited_chains_match_serial(self, limit):
        # 0.5 holds back no date, so the workers solve the dates ahead; 0.05 holds some back
        bt = basic_backtest(turnover_limit=limit)
        _same(bt.run(progress=False), bt.run(engine="process", workers=2, progress=False))


@pytest.mark.slow
def test_cold_estimates_built_in_parallel_are_those_built_serially(tmp_path, monkeypatch):
    """With no estimate stored, the process pool computes the factor history in pieces and this process
    writes the estimates: the files and the results equal a serial cold run's."""
    from velquor.backtest import _estimates, _spill, backtest as module

    bt = basic_backtest(end="2025-07-31", cov_model="monthly")
    runs, files = {}, {}
    spills: list[str | None] = []

    def spill_dir():
        spills.append(_spill.spill_dir())
        return spills[-1]

    monkeypatch.setattr(module, "spill_dir", spill_dir)
    try:
        for engine in ("serial", "process"):
            store = tmp_path / engine
            monkeypatch.setenv("VELQUOR_RISKMODEL_DIR", str(store))
            _estimates.forget()
            runs[engine] = bt.run(engine=engine, workers=2, progress=False) if engine != "serial" else \
                bt.run(progress=False)
            files[engine] = {p.relative_to(store).as_posix(): dict(np.load(p)) for p in sorted(store.rglob("*.npz"))}
    finally:
        monkeypatch.undo()
        _estimates.forget()
    _same(runs["serial"], runs["process"])
    # the workers' pieces came back by file in shared memory (where the machine has it), all removed
    assert len(spills) == 1 and not (spills[0] and os.path.exists(spills[0]))
    # the cold runs used the models before their files were written: a run reading the files agrees
    monkeypatch.setenv("VELQUOR_RISKMODEL_DIR", str(tmp_path / "serial"))
    _estimates.forget()
    try:
        _same(runs["serial"], bt.run(progress=False))
    finally:
        monkeypatch.undo()
        _estimates.forget()
    assert len(files["serial"]) == 6 and files["serial"].keys() == files["process"].keys()
    for name, arrays in files["serial"].items():
        for key, value in arrays.items():
            assert np.array_equal(value, files["process"][name][key]), (name, key)


@pytest.mark.slow
def test_dask_shows_its_own_progress_and_progress_false_silences_it(basic, capfd, monkeypatch):
    import distributed

    from velquor.backtest import backtest as module

    bt = basic_backtest(end="2025-06-30")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0", silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        capfd.readouterr()
        quiet = bt.run(engine="dask", client=client, progress=False)
        assert capfd.readouterr() == ("", "")
        shown = bt.run(engine="dask", client=client, progress=True)
        out, err = capfd.readouterr()
        monkeypatch.setattr(module, "DASK_WAVE", 1)
        waves = bt.run(engine="dask", client=client, progress=True)
        _, wave_err = capfd.readouterr()
    _same(quiet, shown)
    _same(quiet, waves)
    # the scheduler-fed bar over the dates sent to the cluster, not a bar drawn by this process
    assert "rebalances: [" in err and "2/2" in err
    assert "%|" not in err and out == ""
    assert "1/1" in wave_err and "2/2" not in wave_err  # one display per wave of dates


@pytest.mark.slow
def test_own_local_cluster_runs_without_the_workers_profiler():
    """The profiler samples every task's stack a hundred times a second; nobody reads the dashboard of the
    cluster a run starts for itself. Its nanny's settings for the worker (one BLAS thread, glibc's heap
    trimmed) stay out of this process's environment."""
    import os

    from velquor.backtest.engines import DaskEngine

    keys = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "MALLOC_TRIM_THRESHOLD_")
    before = {k: os.environ.get(k) for k in keys}
    eng = DaskEngine(1)
    try:
        fut = eng.submit(lambda: "profile" in __import__("distributed").get_worker().periodic_callbacks)
        assert eng.result(fut) is False
        assert eng.result(eng.submit(os.getenv, "MALLOC_TRIM_THRESHOLD_")) is not None  # the worker's
    finally:
        eng.close()
    assert {k: os.environ.get(k) for k in keys} == before


@pytest.mark.slow
def test_dask_runs_the_tasks_this_process_orders_in_its_order_the_first_before_them():
    """Through the scheduler (workers of several threads): tasks sent within a fraction of a second of each
    other would otherwise run in any order; a date the others wait for (first=True) goes before those still
    waiting there."""
    import time

    from velquor.backtest.engines import DaskEngine

    eng = DaskEngine(1)
    try:
        eng.result(eng.submit(time.time))  # the worker is up
        eng._runner_list = []  # as on workers of several threads: no runner
        busy = eng.submit(time.sleep, 1.0, first=False)
        waiting = [eng.submit(time.time, first=False) for _ in range(6)]
        urgent = eng.submit(time.time, first=True)
        eng.result(busy)
        ran = [eng.result(f) for f in waiting]
        # in order; the first one before them all but the one the worker holds already (its next task)
        assert ran == sorted(ran) and sum(t < eng.result(urgent) for t in ran) <= 1
    finally:
        eng.close()


def test_a_runner_runs_its_calls_in_order_a_first_one_before_those_waiting_and_holds_no_thread_after():
    import asyncio
    import threading
    import time

    from velquor.backtest._tasks import Runner

    ran = []

    def job(name, pause=0.0):
        time.sleep(pause)
        ran.append(name)
        if name == "bad":
            raise ValueError("bad date")
        return name

    async def calls():
        runner = Runner()
        busy = asyncio.ensure_future(runner.run(False, job, "busy", 0.3))
        await asyncio.sleep(0.05)  # running now; the calls below wait
        waiting = [asyncio.ensure_future(runner.run(first, job, name)) for first, name in
                   [(False, "a"), (False, "bad"), (True, "urgent"), (False, "b")]]
        return await asyncio.gather(busy, *waiting, return_exceptions=True)

    got = asyncio.run(calls())
    assert ran == ["busy", "urgent", "a", "bad", "b"]
    assert got[:2] == ["busy", "a"] and isinstance(got[2], ValueError) and got[3:] == ["urgent", "b"]
    deadline = time.time() + 5
    while any(t.name == "velquor-runner" for t in threading.enumerate()) and time.time() < deadline:
        time.sleep(0.01)
    assert not any(t.name == "velquor-runner" for t in threading.enumerate())


def _exit_in_worker(pid: int) -> None:
    import os

    if os.getpid() != pid:
        os._exit(3)


@pytest.mark.slow
def test_dask_runs_ordered_tasks_on_its_runners_and_goes_on_without_a_lost_one():
    """Single-threaded workers run this process's ordered tasks as calls of a Runner actor each (no task of
    the scheduler's), on the least busy one; a call whose worker dies is reported as a lost worker (never
    waited for), and the calls after it go to the runners left."""
    import concurrent.futures as cf
    import os
    import time

    from velquor.backtest._tasks import is_lost_worker
    from velquor.backtest.engines import DaskEngine

    eng = DaskEngine(2)
    try:
        eng.result(eng.submit(time.time))
        tasks = eng._client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))
        busy = eng.submit(time.sleep, 1.0, first=False)
        t0 = time.time()
        other = eng.submit(time.time, first=False)
        while not (busy.done() and other.done()):
            time.sleep(0.05)
        late = eng.submit(time.time, first=False)  # sent before the two results are taken
        assert eng.result(other) - t0 < 0.8  # on the other worker, not behind the busy one
        assert eng.result(busy) is None and eng.result(late) > t0
        assert len(eng._runners()) == 2 and all(alive for *_, alive in eng._runners())
        # the two runners are all the scheduler has seen besides the first task
        assert eng._client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) <= tasks + 2
        lost = eng.submit(_exit_in_worker, os.getpid(), first=False)
        with pytest.raises(cf.CancelledError) as e:
            eng.result(lost)
        assert is_lost_worker(e.value)
        assert [alive for *_, alive in eng._runners()].count(True) == 1
        assert eng.result(eng.submit(time.time, first=False)) > t0
    finally:
        eng.close()


def _pids(engine, n: int) -> set:
    import os

    return {engine.result(f) for f in [engine.submit(os.getpid) for _ in range(n)]}


@pytest.mark.slow
def test_process_workers_live_on_between_runs_until_closed():
    import os
    import time

    from velquor.backtest import close_pools
    from velquor.backtest.engines import ProcessEngine

    first = ProcessEngine(1)
    pids = _pids(first, 3)
    # a run that ends with work still queued cancels it and leaves the pool to the next run; the pool hands
    # up to three calls to its one worker at once (one running, two in its queue), and those can't be cancelled
    queued = [first.submit(time.sleep, 0.5) for _ in range(8)]
    first.close()
    assert any(f.cancelled() for f in queued)
    second = ProcessEngine(1)
    assert _pids(second, 2) == pids and os.getpid() not in pids
    close_pools()
    assert _pids(ProcessEngine(1), 1).isdisjoint(pids)
    close_pools()


@pytest.mark.slow
def test_max_sharpe_ratio_estimates_are_the_same_on_every_engine():
    """The serial engine reuses one objective for every date, the process engine ships it to its workers:
    each date estimates its own returns, so both compute the same bits."""
    from velquor.objective import MaxSharpeRatio

    # One fresh objective each: an estimate the serial run stored must not reach the process run.
    serial = basic_backtest(objective=MaxSharpeRatio(), end="2025-08-31").run(progress=False)
    process = basic_backtest(objective=MaxSharpeRatio(), end="2025-08-31")
    _same(serial, process.run(engine="process", workers=2, progress=False))
    assert serial.weights.shape[0] == 4 and (serial.status == "optimal").all()


class TestColdStart:
    """A cold run's workers start on the factor history before this process reads the data keys, and its
    rebalances use the estimates before they are stored."""

    @pytest.fixture
    def cold(self, tmp_path, monkeypatch):
        from velquor.backtest import _estimates

        monkeypatch.setenv("VELQUOR_RISKMODEL_DIR", str(tmp_path / "est"))
        _estimates.forget()
        yield tmp_path / "est"
        monkeypatch.undo()
        _estimates.forget()

    def test_only_a_store_without_a_file_of_the_dates_is_known_cold_without_its_keys(self, cold):
        from velquor.backtest import _estimates
        from velquor.const import CovModel, RiskModel

        v = (CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)
        pos = _estimates.asof_day(__import__("datetime").date(2025, 6, 3))[0]
        needed = {(pos + 1, v), (pos, v)}
        assert _estimates.none_stored(needed) == sorted(needed)
        day = _estimates.service.context().day(pos)
        other = cold / "2020-01-01-someotherdatakeys"  # any directory counts, whatever its keys
        (other / "exposure").mkdir(parents=True)
        assert _estimates.none_stored(needed) == sorted(needed)
        (other / "exposure" / f"{day}.npz").write_bytes(b"")
        assert _estimates.none_stored(needed) is None

    def test_a_piece_from_other_market_data_fails_its_dates(self, cold, monkeypatch):
        from velquor.backtest import backtest as module
        from velquor.exception import BacktestFailed

        task = module.history_task

        def elsewhere(*args, **kw):
            piece = task(*args, **kw)
            piece["fingerprint"] = "2026-11-30-0000000000000000"
            return piece

        monkeypatch.setattr(module, "history_task", elsewhere)
        with pytest.raises(BacktestFailed, match="holds other data than the client's"):
            basic_backtest(end="2025-06-30").run(progress=False)

    def test_estimates_the_store_refuses_serve_the_run_with_a_warning(self, cold, basic, monkeypatch):
        from velquor.exception import OptimizerWarning
        from velquor.riskmodel import service

        def full(*args, **kw):
            raise OSError(28, "No space left on device")

        bt, serial = basic
        monkeypatch.setattr(service, "write_estimate", full)
        with pytest.warns(OptimizerWarning, match=r"could not be stored \(OSError.*used them as computed"):
            got = bt.run(progress=False)
        _same(serial, got)
        assert not list(cold.rglob("*.npz"))


    def test_rebalances_start_before_the_last_estimate_and_an_implausible_one_fails_its_date_alone(
            self, cold, monkeypatch):
        import threading

        from velquor.backtest import _estimates, backtest as module
        from velquor.riskmodel import plausibility, service

        bt = basic_backtest(end="2025-08-31")
        dates = module._schedule(bt)[0]
        asof = [_estimates.asof_day(d)[0] for d in (dates[1], dates[-1])]
        solving, waited = threading.Event(), []
        check, task = service.check_stored, module.rebalance_task

        def checked(ctx, est, cm):
            if est.asof == asof[0]:
                raise plausibility.ImplausibleEstimate("implausible for the test")
            if est.asof == asof[1]:  # the last date's estimate waits for a rebalance to start
                waited.append(solving.wait(30))
            check(ctx, est, cm)

        def solve(market, job):
            solving.set()
            return task(market, job)

        monkeypatch.setattr(service, "check_stored", checked)
        with monkeypatch.context() as m:
            m.setattr(module, "rebalance_task", solve)
            got = {"serial": bt.run(progress=False)}
        assert waited == [True]
        _estimates.forget()
        shutil.rmtree(cold)
        got["process"] = bt.run(engine="process", workers=2, progress=False)
        for res in got.values():
            assert res.status.tolist() == ["optimal", "failed: risk model: ImplausibleEstimate: implausible for "
                                           "the test", "optimal", "optimal"]
        _same(got["serial"], got["process"])


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_a_model_as_stored_is_the_model_read_back(tmp_path, layout):
    from velquor.const import CovModel, RiskModel
    from velquor.riskmodel.store import Store

    rng = np.random.default_rng(3)
    n, k = 7, 1 + 2 + 10

    def arr(shape):
        a = rng.standard_normal(shape)
        if layout == "F":
            return np.asfortranarray(a)
        if layout == "strided":
            return np.repeat(a, 2, axis=-1)[..., ::2]
        return a

    ids = list(np.array([f"{600000 + i}.XSHG" for i in range(n)]))  # numpy's text, as a universe holds them
    parts = dict(style=arr((n, 10)), industry=np.arange(n) % 2, industry_names=["Banks", "Steel"],
                 cap=np.abs(arr((n, 2))[:, 0]), factor_cov=arr((k, k)), specific_var=np.abs(arr((n, 2))[:, 1]))
    store = Store(tmp_path)
    v = (CovModel.FACTOR_MODEL_DAILY, RiskModel.V1)
    store.write("2025-06-03", *v, ids, **parts)
    back = store.read("2025-06-03", *v)
    mine = Store.as_stored(ids, **parts)
    assert mine.ids == back.ids and mine.industry_names == back.industry_names and mine.position == back.position
    assert {type(k) for k in mine.ids} == {type(k) for k in back.ids} == {str}
    for name in ("style", "industry", "cap", "factor_cov", "specific_var"):
        a, b = getattr(mine, name), getattr(back, name)
        assert a.dtype == b.dtype and a.flags.c_contiguous == b.flags.c_contiguous, name
        assert a.flags.f_contiguous == b.flags.f_contiguous and np.array_equal(a, b), name


def test_results_come_straight_from_workers_only_where_they_can_be_reached():
    from types import SimpleNamespace

    from velquor.backtest.engines import _direct_gather

    def client(address, direct=None):
        return SimpleNamespace(direct_to_workers=direct, scheduler=SimpleNamespace(address=address))

    # a scheduler on this machine's loopback has its workers here: no detour through it
    assert _direct_gather(client("tcp://127.0.0.1:8786")) is True
    assert _direct_gather(client("tls://localhost:8786")) is True
    assert _direct_gather(client("tcp://[::1]:8786")) is True
    # elsewhere the workers may be behind the scheduler: Dask's default, through it
    assert _direct_gather(client("tcp://10.1.2.3:8786")) is None
    assert _direct_gather(client("inproc://10.1.2.3/1/1")) is None
    # the caller's own choice holds either way
    assert _direct_gather(client("tcp://127.0.0.1:8786", direct=False)) is False
    assert _direct_gather(client("tcp://10.1.2.3:8786", direct=True)) is True


def test_pieces_handed_back_by_file_join_into_the_history(tmp_path):
    from velquor.backtest._spill import SPILL_BYTES, Spilled, joined, spilled

    rng = np.random.default_rng(1)
    n = SPILL_BYTES // 8 // 20 + 1  # columns: 20 rows of a piece are just over the threshold
    whole = rng.standard_normal((70, n))
    pieces = [{"start": 100 + lo, "stop": 100 + hi, "specific": whole[lo:hi], "factor_returns": whole[lo:hi, :3]}
              for lo, hi in ((0, 20), (20, 45), (45, 70))]
    # written by the workers in any order, each into its rows of one file
    written = [spilled(d, str(tmp_path), 100) for d in reversed(pieces)][::-1]
    assert all(isinstance(d["specific"], Spilled) for d in written)
    assert all(isinstance(d["factor_returns"], np.ndarray) for d in written)  # small: in the answer
    assert [p.name for p in tmp_path.iterdir()] == ["100-specific.bin"]
    assert np.array_equal(joined(written, "specific"), whole)
    assert np.array_equal(joined(written, "factor_returns"), whole[:, :3])
    # a piece that came back in the answer (its worker had no room, or this process computed it)
    assert np.array_equal(joined([written[0], pieces[1], written[2]], "specific"), whole)
    # no room for it (here: no directory): the arrays go back in the answer itself
    assert spilled(pieces[0], str(tmp_path / "gone"), 100) is pieces[0]


def test_history_pieces_share_the_work_and_any_cuts_give_the_same_history():
    """Pieces are cut at equal sums of listed stocks, so a growing market's later pieces are shorter; where
    the cuts fall changes no number of the history."""
    from velquor.backtest import _estimates
    from velquor.riskmodel import service

    uni = service.context().universe
    start, stop = len(uni.dates) - 400, len(uni.dates)
    weight = np.searchsorted(np.sort(uni.listed), uni.dates, side="right") + 1.0
    for n in (2, 3, 5):
        cuts = _estimates._cuts(start, stop, n)
        assert cuts[0] == start and cuts[-1] == stop and all(a < b for a, b in zip(cuts, cuts[1:]))
        work = [weight[a:b].sum() for a, b in zip(cuts, cuts[1:])]
        assert max(work) - min(work) <= 2 * weight[start:stop].max()
    assert _estimates._cuts(start, start + 2, 5) == [start, start + 1, start + 2]
    keep = [stop - 1]
    whole = _estimates.history_piece(stop - 40, stop, keep)
    parts = [_estimates.history_piece(a, b, keep) for a, b in ((stop - 40, stop - 27), (stop - 27, stop))]
    for key in ("factor_returns", "specific", "cap"):
        assert np.array_equal(np.concatenate([d[key] for d in parts]), whole[key], equal_nan=True), key
    assert np.array_equal(parts[1]["exposures"][stop - 1], whole["exposures"][stop - 1], equal_nan=True)


@pytest.mark.slow
def test_a_date_whose_pool_drops_names_of_the_date_before_is_not_tried_ahead(monkeypatch):
    # Its holdings reach outside its pool, so it is solved with its turnover limit only: a trial without the
    # limit, sent before the date before it is booked, would be thrown away.
    import zorvata
    from velquor.backtest import backtest as module

    pool = zorvata.index_weights("000905.XSHG", "2025-04-30").index[:60].tolist()
    tried: list[tuple[int, bool]] = []
    real = module._job

    def job(p, i, failed_asof, free=False):
        tried.append((i, free))
        return real(p, i, failed_asof, free)

    monkeypatch.setattr(module, "_job", job)
    bt = basic_backtest(universe=lambda d: pool[1:] if d.month == 7 else pool, bnds=None, turnover_limit=0.5)
    res = bt.run(engine="process", workers=2, progress=False)
    july = [i for i, d in enumerate(res.status.index) if d.month == 7]
    assert july and (res.status == "optimal").all()
    assert [free for i, free in tried if i == july[0]] == [False]  # solved once, with its limit
    assert any(free for i, free in tried if i > july[0])  # the dates after it are still tried ahead
