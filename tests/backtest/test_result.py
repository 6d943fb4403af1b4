"""Results: an exact Parquet round trip, a checkpointed run resumed after an interrupt or a kill, the plot."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

from velquor.backtest import BacktestResult
from velquor.exception import InvalidArgument

from .backtest_support import basic_backtest


def _assert_same(a: BacktestResult, b: BacktestResult) -> None:
    for name in ("weights", "holdings"):
        pd.testing.assert_frame_equal(getattr(a, name), getattr(b, name), check_exact=True, check_freq=True)
    for name in ("nav", "benchmark_nav", "turnover", "costs", "status", "ex_ante_te", "notes", "cash"):
        pd.testing.assert_series_equal(getattr(a, name), getattr(b, name), check_exact=True, check_freq=True)
    pd.testing.assert_frame_equal(a.unfilled, b.unfilled, check_exact=True)


class TestParquet:
    def test_round_trip_is_exact(self, basic, tmp_path):
        _, res = basic
        back = BacktestResult.from_parquet(res.to_parquet(tmp_path / "run"))
        _assert_same(res, back)
        assert back.nav.index.dtype == res.nav.index.dtype == "datetime64[ns]"
        assert back.weights.columns.name == "order_book_id"
        assert back.config == res.config
        pd.testing.assert_series_equal(back.summary(), res.summary())

    def test_round_trip_without_benchmark(self, tmp_path):
        res = basic_backtest(benchmark=None, objective=None, end="2025-06-30").run(progress=False)
        assert res.benchmark_nav is None and res.ex_ante_te.isna().all()
        back = BacktestResult.from_parquet(res.to_parquet(tmp_path / "run"))
        assert back.benchmark_nav is None
        pd.testing.assert_series_equal(back.nav, res.nav, check_exact=True)


class Interrupting:
    """Holdings-dependent constraints (none) that stand for Ctrl-C in the month set on the class."""

    month: int | None = None

    def __call__(self, date, holdings):
        if date.month == Interrupting.month:
            raise KeyboardInterrupt
        return []


class TestCheckpoint:
    def test_interrupted_run_resumes_to_the_same_result(self, tmp_path, monkeypatch):
        import velquor.backtest.backtest as module

        cp = tmp_path / "cp"
        bt = basic_backtest(cons=Interrupting())
        fresh = bt.run(progress=False)
        Interrupting.month = 8
        try:
            with pytest.raises(KeyboardInterrupt):
                bt.run(progress=False, checkpoint=cp)
        finally:
            Interrupting.month = None
        assert sorted(p.name for p in cp.glob("2025-*.json")) == ["2025-05-06.json", "2025-06-03.json",
                                                                  "2025-07-01.json"]
        ran = []
        task = module.rebalance_task
        monkeypatch.setattr(module, "rebalance_task", lambda market, job: ran.append(job.date) or task(market, job))
        _assert_same(fresh, bt.run(progress=False, checkpoint=cp))
        assert [d.month for d in ran] == [8, 9, 10]  # only the dates the checkpoint lacked

    def test_checkpoint_of_another_backtest_is_refused(self, tmp_path):
        cp = tmp_path / "cp"
        basic_backtest(end="2025-05-31").run(progress=False, checkpoint=cp)
        with pytest.raises(InvalidArgument) as e:
            basic_backtest(end="2025-05-31", cost=0.01).run(progress=False, checkpoint=cp)
        assert str(e.value) == (f"checkpoint {cp} belongs to a different backtest (its configuration, dates or "
                                f"universe differ); use another directory")

    @pytest.mark.slow
    def test_killed_run_resumes_from_its_checkpoint(self, basic, market_db, tmp_path):
        _, fresh = basic
        cp = tmp_path / "cp"
        script = (
            "import sys, time, zorvata\n"
            f"sys.path.insert(0, {str(Path(__file__).parents[2])!r})\n"
            f"zorvata.configure({str(market_db)!r})\n"
            "from tests.backtest.backtest_support import basic_backtest\n"
            "import velquor.backtest._tasks as t\n"
            "run = t.rebalance_task\n"
            "def slow(*a):\n"
            "    time.sleep(0.5)\n"
            "    return run(*a)\n"
            "import velquor.backtest.backtest as b\n"
            "b.rebalance_task = slow\n"
            f"basic_backtest().run(progress=False, checkpoint={str(cp)!r})\n"
        )
        proc = subprocess.Popen([sys.executable, "-c", script], env=dict(os.environ, ZORVATA_DB=str(market_db)))
        try:
            deadline = time.monotonic() + 120
            while len(list(cp.glob("2025-*.json"))) < 2 and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.05)
            proc.send_signal(signal.SIGKILL)
        finally:
            proc.wait()
        done = len(list(cp.glob("2025-*.json")))
        assert 2 <= done < 6
        _assert_same(fresh, basic_backtest().run(progress=False, checkpoint=cp))


class TestPlot:
    def test_plot_draws_nav_drawdown_and_turnover(self, basic, tmp_path):
        from matplotlib.ticker import PercentFormatter

        _, res = basic
        fig = res.plot(tmp_path / "bt.png")
        top, mid, bottom = fig.axes
        assert [line.get_label() for line in top.get_lines()] == ["portfolio", "benchmark"]
        assert top.get_title()
        assert all(isinstance(ax.yaxis.get_major_formatter(), PercentFormatter) for ax in (mid, bottom))
        # the first rebalance (from cash) is written apart, the bars are the later ones
        assert [t.get_text() for t in bottom.texts] == [f"first rebalance (from cash): {res.turnover.iloc[0]:.0%}"]
        assert len(bottom.patches) == len(res.turnover) - 1
        assert (tmp_path / "bt.png").stat().st_size > 10_000

    def test_plots_leave_no_figure_open_and_the_backend_alone(self, basic):
        import matplotlib
        import matplotlib.pyplot as plt

        from velquor.analytics import plot_backtest

        _, res = basic
        backend, before = matplotlib.get_backend(), plt.get_fignums()
        figs = [res.plot() for _ in range(10)] + [plot_backtest(res) for _ in range(10)]
        assert plt.get_fignums() == before and matplotlib.get_backend() == backend
        assert all(isinstance(f, matplotlib.figure.Figure) for f in figs)


def test_demo_backtest_prints_its_summary(capsys, tmp_path):
    from velquor import demo

    assert demo.main(["backtest", "--months", "2", "--plot", str(tmp_path / "demo.png")]) == 0
    out = capsys.readouterr().out
    assert "Summary:" in out and "information_ratio" in out and "optimal" in out
    assert (tmp_path / "demo.png").exists()
