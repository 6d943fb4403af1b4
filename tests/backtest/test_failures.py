"""A failing date is recorded and the run goes on; a bad configuration raises before any work."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pytest

from velquor.exception import InvalidArgument

from .backtest_support import COST, basic_backtest, replay


def _pool_missing_in_july(date):
    import zorvata

    if date.month == 7:
        return ["NOPE.XSHG"]
    return list(zorvata.index_weights("000985.XSHG", date).index)


class TestFailedDate:
    def test_failure_is_recorded_and_holdings_are_kept(self, basic):
        _, ok = basic
        bt = basic_backtest(universe=_pool_missing_in_july)
        res = bt.run(progress=False)
        july = res.status.index[res.status.index.month == 7][0]
        assert res.status[july] == "failed: InvalidArgument: 经过剔除后，股票池为空"
        assert res.notes[july].endswith("velquor.exception.InvalidArgument: 经过剔除后，股票池为空")
        assert (res.status.drop(july) == "optimal").all()
        # the date keeps the drifted holdings: no trade, no cost
        assert res.turnover[july] == 0 and res.costs[july] == 0
        prev_day = res.holdings.index[res.holdings.index.get_loc(july) - 1]
        np.testing.assert_array_equal(res.weights.loc[july].to_numpy(), res.holdings.loc[prev_day].to_numpy())
        nav, _, _ = replay(res, COST)
        np.testing.assert_allclose(res.nav.to_numpy(), nav.to_numpy(), rtol=0, atol=1e-12)
        # the dates before it are those of the clean run
        assert res.weights.loc[:july].iloc[:-1].equals(ok.weights.loc[:july].iloc[:-1].reindex(
            columns=res.weights.columns, fill_value=0.0))
        assert res.summary()["failed"] == 1

    def test_failing_callable_objective_fails_its_date_only(self):
        from velquor.objective import MinTrackingError

        def objective(date):
            if date.month == 6:
                raise RuntimeError("no view for June")
            return MinTrackingError()

        res = basic_backtest(objective=objective).run(progress=False)
        june = res.status.index[res.status.index.month == 6][0]
        assert res.status[june] == "failed: RuntimeError: no view for June"
        assert (res.status.drop(june) == "optimal").all()


def _local():
    class L:
        hard = True

    return L


def _Local():  # noqa: N802 - reads as the class it makes
    return _local()()


class TestConfiguration:
    @pytest.mark.parametrize("kw, message", [
        (dict(start="2025-11-01", end="2025-10-01"), "start 2025-11-01 is after end 2025-10-01"),
        (dict(rebalance="yearly"), "rebalance must be one of ['daily', 'weekly', 'monthly', 'quarterly'] or a "
                                   "list of dates, got 'yearly'"),
        (dict(cost=-0.1), "cost must be a number in [0.0, 0.5], got -0.1"),
        (dict(cost=float("nan")), "cost must be a number in [0.0, 0.5], got nan"),
        (dict(turnover_limit=0), "turnover_limit must be a number in (0.0, 1.0], got 0"),
        (dict(cov_model="weekly"), "cov_model must be one of ['daily', 'monthly', 'quarterly'], got 'weekly'"),
        (dict(universe=[]), "universe must be an index id, a non-empty list of ids or a callable"),
        (dict(universe=42), "universe must be an index id, a list of ids or a callable, got 42"),
        (dict(benchmark=3), "benchmark must be an index id or an OptimizeBenchmark, got 3"),
    ])
    def test_rejected_when_built(self, kw, message):
        with pytest.raises(InvalidArgument) as e:
            basic_backtest(**kw)
        assert str(e.value) == message

    @pytest.mark.parametrize("kw, run_kw, message", [
        (dict(universe="NOPE.XSHG"), {}, "universe 'NOPE.XSHG' is not an index with constituent weights in the "
                                         "market data"),
        (dict(rebalance=[dt.date(2025, 5, 3)]), {}, "rebalance dates must be trading dates from 2025-05-01 to "
                                                    "2025-10-31; not: 2025-05-03"),
        (dict(start="2023-07-01", end="2023-09-30"), {}, None),
        ({}, dict(engine="threads"), "engine must be one of ['serial', 'process', 'dask'], got 'threads'"),
        ({}, dict(engine="process", workers=0), "workers must be a positive int or None, got 0"),
        ({}, dict(engine="serial", client=object()), "client is only used by the dask engine, not by 'serial'"),
        # the pickling error's own text varies with the Python version
        (dict(cons=[_Local()]), dict(engine="process"), "the process engine cannot send cons to its workers: *"),
    ])
    def test_rejected_before_any_work(self, kw, run_kw, message, monkeypatch):
        from velquor.backtest import backtest as module

        def no_work(*a, **k):
            raise AssertionError("work started")

        monkeypatch.setattr(module, "history_task", no_work)
        monkeypatch.setattr(module, "rebalance_task", no_work)
        with pytest.raises(InvalidArgument) as e:
            basic_backtest(**kw).run(progress=False, **run_kw)
        if message is not None and message.endswith("*"):
            assert str(e.value).startswith(message[:-1])
        elif message is not None:
            assert str(e.value) == message


@pytest.mark.slow
def test_a_worker_that_dies_fails_its_dates_and_the_run_goes_on():
    import os

    from .backtest_support import CrashingTrackingError

    res = basic_backtest(objective=CrashingTrackingError(6, os.getpid())).run(engine="process", workers=1,
                                                                              progress=False)
    june = res.status.index[res.status.index.month == 6][0]
    assert res.status[june].startswith("failed: worker: BrokenProcessPool: ")
    assert res.turnover[june] == 0
    failed = res.status[res.status != "optimal"]
    assert failed.str.startswith("failed: worker: BrokenProcessPool: ").all()
    assert res.status.iloc[-1] == "optimal"  # later dates run on a fresh pool


def _impossible_in_june(date, holdings):
    # all weight in the benchmark's stocks, but the lower bound of DELISTED (outside it) keeps 2% elsewhere
    from velquor.constraint import BenchmarkComponentWeightLimit

    return [BenchmarkComponentWeightLimit(1.0, hard=False)] if date.month == 6 else []


def test_date_solved_without_its_soft_constraints_is_a_fallback():
    res = basic_backtest(cons=_impossible_in_june, end="2025-07-31").run(progress=False)
    assert list(res.status) == ["optimal", "fallback", "optimal"]
    assert "约束无法满足，放弃所有软约束重试" in res.notes.iloc[1]
    assert res.summary()[["optimal", "fallback", "failed"]].tolist() == [2, 1, 0]
