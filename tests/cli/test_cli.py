"""The `velquor` command on the session market: outputs, exit statuses 0/1/2, one-line errors, --debug."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pandas as pd
import pytest
import zorvata

import velquor.optimize as opt
from velquor import cli
from velquor.exception import OptimizationFailed

DATE = "2026-06-01"
INDEX = "000300.XSHG"


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def weights_file(market_db, tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "w.csv"
    assert cli.main(["optimize", INDEX, "--date", DATE, "--bounds", "*=0:0.2", "--out", str(path)]) == 0
    return path


class TestOptimize:
    def test_index_pool_with_bounds_to_csv(self, weights_file):
        frame = pd.read_csv(weights_file, dtype={"order_book_id": str})
        assert list(frame.columns) == ["date", "order_book_id", "weight"]
        assert set(frame["date"]) == {DATE}
        assert sorted(frame["order_book_id"]) == sorted(zorvata.index_weights(INDEX, DATE).index)
        assert frame["weight"].sum() == pytest.approx(1.0, abs=1e-9)
        assert frame["weight"].max() <= 0.2 + 1e-4

    @pytest.mark.parametrize("suffix", [".parquet", ".json"])
    def test_other_formats_read_back_by_report(self, capsys, tmp_path, suffix):
        out = tmp_path / f"w{suffix}"
        ids = ",".join(sorted(zorvata.index_weights(INDEX, DATE).index)[:6])
        status, _, err = run(capsys, "optimize", ids, "--date", DATE, "--objective", "risk_parity", "--out", out)
        assert status == 0 and f"wrote {out}" in err
        weights, date = cli.read_weights(str(out), None)
        assert date == DATE and len(weights) == 6 and weights.sum() == pytest.approx(1.0)

    def test_stdout_objective_params_and_pool_file(self, capsys, tmp_path):
        ids = sorted(zorvata.index_weights(INDEX, DATE).index)[:8]
        (tmp_path / "pool.txt").write_text("# my pool\n" + "\n".join(ids) + "\n")
        mu = tmp_path / "mu.csv"
        pd.DataFrame({"order_book_id": ids, "value": [0.1 * i for i in range(8)]}).to_csv(mu, index=False)
        status, out, _ = run(capsys, "optimize", tmp_path / "pool.txt", "--date", DATE, "--objective",
                             "mean_variance", "--param", f"expected_returns={mu}", "--param",
                             "risk_aversion_coefficient=0.5", "--bounds", "*=0:0.3")
        assert status == 0
        frame = pd.read_csv(pd.io.common.StringIO(out), dtype={"order_book_id": str})
        assert list(frame["order_book_id"]) == ids
        # the best expected return is held at its cap
        assert frame.set_index("order_book_id")["weight"][ids[-1]] == pytest.approx(0.3, abs=2e-3)

    def test_unknown_ids_are_reported(self, capsys):
        status, out, err = run(capsys, "optimize", "000001.XSHE,000002.XSHE,999999.XSHG", "--date", DATE)
        assert status == 0
        assert err == "velquor: warning: not in the market data, left out: 999999.XSHG\n"
        assert out.count("\n") == 3


class TestErrors:
    @pytest.mark.parametrize("argv, message", [
        (["optimize", INDEX, "--date", "2026-13-01"], "--date: '2026-13-01' is not a date (month must be in 1..12)"),
        (["optimize", INDEX, "--date", DATE, "--objective", "max_return"],
         "unknown objective 'max_return'; choose one of min_variance, min_active_variance, min_tracking_error, "
         "mean_variance, active_mean_variance, risk_parity, max_sharpe_ratio, max_information_ratio, "
         "max_indicator, min_style_deviation"),
        (["optimize", INDEX, "--date", DATE, "--bounds", "*=:0.05"],
         "under '*' both bounds must be numbers, got '*=:0.05'"),
        (["optimize", INDEX, "--date", DATE, "--bounds", "*=0-0.05"],
         "bounds must look like 'ID=LOWER:UPPER' or '*=0:0.05', got '*=0-0.05'"),
        (["optimize", INDEX, "--date", DATE, "--bounds", "*=0:0.01"], "上限之和小于1"),
        (["optimize", INDEX, "--date", DATE, "--bounds", "*=0:5"], "合约 * 的上限 5.0 无效"),
        (["optimize", "missing/pool.csv", "--date", DATE], "no such file: missing/pool.csv"),
        (["optimize", INDEX, "--date", DATE, "--objective", "min_tracking_error"],
         "对于目标函数 MinTrackingError，必须传入 benchmark 参数"),
        (["optimize", INDEX], "optimize: the following arguments are required: --date (see --help)"),
        (["optimise"], "argument COMMAND: invalid choice: 'optimise' (choose from 'optimize', 'report', "
                       "'frontier', 'orders', 'backtest') (see --help)"),
        (["report", "nothing.csv"], "no such file: nothing.csv"),
        (["frontier", INDEX, "--date", DATE, "--points", "1"], "points must be an integer >= 2, got 1"),
        (["optimize", INDEX, "--date", DATE, "--out", "w.xlsx"], "output must end in .csv, .parquet or .json, "
                                                                 "got w.xlsx"),
    ])
    def test_bad_input_exits_2_with_one_line(self, capsys, market_db, argv, message):
        status, out, err = run(capsys, *argv)
        assert (status, out) == (2, "")
        assert err == f"velquor: error: {message}\n"

    def test_failed_optimisation_exits_1(self, capsys, market_db, monkeypatch):
        def failing(*args, **kwargs):
            raise OptimizationFailed("infeasible")

        monkeypatch.setattr(opt, "portfolio_optimize", failing)
        status, out, err = run(capsys, "optimize", INDEX, "--date", DATE)
        assert (status, out, err) == (1, "", "velquor: error: optimisation failed: infeasible\n")

    def test_unexpected_error_one_line_and_traceback_with_debug(self, capsys, market_db, monkeypatch):
        def broken(*args, **kwargs):
            raise ZeroDivisionError("division by zero")

        monkeypatch.setattr(opt, "portfolio_optimize", broken)
        status, _, err = run(capsys, "optimize", INDEX, "--date", DATE)
        assert (status, err) == (1, "velquor: error: ZeroDivisionError: division by zero "
                                    "(--debug shows the traceback)\n")
        for argv in (["--debug", "optimize"], ["optimize", "--debug"]):
            status, _, err = run(capsys, *argv, INDEX, "--date", DATE)
            assert status == 1
            assert err.startswith("Traceback (most recent call last):")
            assert "in broken" in err and err.endswith("velquor: error: ZeroDivisionError: division by zero\n")

    def test_report_needs_a_date(self, capsys, tmp_path):
        path = tmp_path / "w.csv"
        pd.DataFrame({"order_book_id": ["000001.XSHE"], "weight": [1.0]}).to_csv(path, index=False)
        status, _, err = run(capsys, "report", path)
        assert (status, err) == (2, f"velquor: error: {path} has no date column; give the date with --date\n")


class TestReport:
    def test_markdown_with_figures(self, capsys, weights_file, tmp_path):
        out = tmp_path / "rep" / "report.md"
        status, _, err = run(capsys, "report", weights_file, "--benchmark", INDEX, "--industry-source", "citics",
                             "--expected-returns", "historical", "--out", out)
        assert status == 0, err
        text = out.read_text()
        assert text.startswith(f"# Risk report, {DATE}, against {INDEX}\n")
        for section in ("## Summary", "## Contributions by factor group", "## Industries (citics)",
                        "## Style exposures", "| tracking error (annualised) |", "| expected return (annualised) |"):
            assert section in text
        for name in ("overview", "industry", "contributions", "style"):
            assert f"(report_files/{name}.png)" in text
            assert (out.parent / "report_files" / f"{name}.png").stat().st_size > 5_000

    def test_html_and_stdout(self, capsys, weights_file, tmp_path):
        out = tmp_path / "r.html"
        assert run(capsys, "report", weights_file, "--out", out, "--figures", tmp_path / "figs")[0] == 0
        html = out.read_text()
        # one file: the figures are inside (and also written where --figures says)
        assert html.startswith("<!DOCTYPE html>") and html.count("<img src='data:image/png;base64,") == 4
        assert (tmp_path / "figs" / "overview.png").stat().st_size > 10_000
        status, text, _ = run(capsys, "report", weights_file, "--cov-model", "monthly")
        assert status == 0 and "| model | monthly-v1 (estimated to the close of 2026-05-29) |" in text


def test_frontier(capsys, tmp_path):
    status, out, _ = run(capsys, "frontier", INDEX, "--date", DATE, "--points", 4, "--bounds", "*=0:0.3",
                         "--out", tmp_path / "f.csv", "--figure", tmp_path / "f.png")
    assert status == 0
    assert out.splitlines()[0].split() == ["return", "risk", "sharpe"]
    assert len(pd.read_csv(tmp_path / "f.csv")) == 4 and (tmp_path / "f.png").stat().st_size > 5_000


class TestEntryPoints:
    def run_module(self, *argv):
        env = dict(os.environ)
        return subprocess.run([sys.executable, "-m", "velquor", *argv], capture_output=True, text=True, env=env,
                              timeout=300)

    def test_help_has_examples(self):
        done = self.run_module("--help")
        assert done.returncode == 0 and "examples:\n  velquor optimize 000300.XSHG" in done.stdout
        done = self.run_module("optimize", "--help")
        assert done.returncode == 0 and "--bounds ID=LO:HI" in done.stdout and "examples:" in done.stdout

    def test_module_exit_status(self, market_db, tmp_path):
        done = self.run_module("optimize", INDEX, "--date", "not-a-date")
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
        done = self.run_module("optimize", "000001.XSHE,000002.XSHE", "--date", DATE, "--out", tmp_path / "w.json")
        assert done.returncode == 0
        assert json.loads((tmp_path / "w.json").read_text())["date"] == DATE

    def test_console_script_declared(self):
        import tomllib
        from pathlib import Path

        meta = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())
        # the same entry as `python -m velquor`, which keeps a late Ctrl-C from replacing the exit status
        assert meta["project"]["scripts"]["velquor"] == "velquor.__main__:entry"


class TestConstraintsFile:
    def write(self, tmp_path, text):
        path = tmp_path / "cons.toml"
        path.write_text(text)
        return path

    def test_constraints_bind(self, capsys, tmp_path):
        from velquor.analytics import risk_report

        holdings = tmp_path / "holdings.csv"
        pd.DataFrame({"order_book_id": ["000001.XSHE"], "weight": [1.0]}).to_csv(holdings, index=False)
        cons = self.write(tmp_path, '[[constraints]]\ntype = "TrackingErrorLimit"\nupper_limit = 0.03\n\n'
                                    '[[constraints]]\ntype = "turnover_limit"\ncurrent_holdings = "holdings.csv"\n'
                                    'upper_limit = 1.0\nhard = false\n')
        out = tmp_path / "w.csv"
        status, _, err = run(capsys, "optimize", INDEX, "--date", DATE, "--benchmark", INDEX, "--constraints", cons,
                             "--bounds", "*=0:0.3", "--out", out)
        assert status == 0, err
        weights, _ = cli.read_weights(str(out), None)
        assert risk_report(weights, DATE, INDEX).summary["tracking_error"] <= 0.03 + 1e-4

    @pytest.mark.parametrize("text, message", [
        ('[[constraints]]\ntype = "Nope"\n', "constraint 1: unknown type 'Nope'; choose one of "
         "BenchmarkComponentWeightLimit, IndustryComponentLimit, IndustryConstraint, LiquidityLimit, "
         "StyleConstraint, TrackingErrorLimit, TradabilityConstraint, TurnoverLimit, WildcardIndustryConstraint, "
         "WildcardStyleConstraint"),
        ('[[constraints]]\nupper_limit = 0.1\n', 'constraint 1 needs a type, e.g. type = "TrackingErrorLimit"'),
        ('constraints = 3\n', "'constraints' must be an array of tables ([[constraints]])"),
        ('[objective]\nname = "x"\n', "unknown key 'objective'; a constraints file holds [[constraints]] tables"),
        ('[[constraints]\n', "not valid TOML: Expected ']]' at the end of an array declaration (at line 1, "
                            "column 14)"),
    ])
    def test_bad_files_exit_2(self, capsys, market_db, tmp_path, text, message):
        cons = self.write(tmp_path, text)
        status, _, err = run(capsys, "optimize", INDEX, "--date", DATE, "--constraints", cons)
        assert (status, err) == (2, f"velquor: error: {cons}: {message}\n")


class TestBacktest:
    CONFIG = """
universe = "000300.XSHG"
start = "2026-03-02"
end = "2026-06-30"
rebalance = "monthly"
benchmark = "000300.XSHG"

[objective]
name = "min_tracking_error"

[bounds]
"*" = [0, 0.3]

[[constraints]]
type = "TrackingErrorLimit"
upper_limit = 0.2

[output]
result = "result"
figure = "nav.png"
"""

    def test_config_runs_and_writes(self, capsys, market_db, tmp_path):
        pytest.importorskip("velquor.backtest")
        (tmp_path / "bt.toml").write_text(self.CONFIG)
        status, out, err = run(capsys, "backtest", tmp_path / "bt.toml", "--quiet")
        assert status == 0, err
        lines = dict(line.split(None, 1) for line in out.splitlines())
        assert lines["rebalances"] == "4" and lines["failed"] == "0"
        assert (tmp_path / "nav.png").stat().st_size > 5_000 and (tmp_path / "result").exists()

    @pytest.mark.parametrize("text, message", [
        ('universe = "000300.XSHG"\nstart = "2026-03-02"\n', "end is required"),
        ('universe = "000300.XSHG"\nstart = "2026-03-02"\nend = "2026-06-30"\nspeed = 1\n',
         "unknown key 'speed'; known: benchmark, bounds, capital, constraints, cost, cov_model, end, "
         "exchange_rules, objective, output, rebalance, risk_model, run, solver, solver_options, start, "
         "turnover_limit, universe"),
        ('universe = "000300.XSHG"\nstart = "2026-03-02"\nend = "2026-06-30"\nobjective = "best"\n',
         None),
    ])
    def test_bad_config_exits_2(self, capsys, market_db, tmp_path, text, message):
        pytest.importorskip("velquor.backtest")
        (tmp_path / "bt.toml").write_text(text)
        status, out, err = run(capsys, "backtest", tmp_path / "bt.toml", "--quiet")
        assert (status, out) == (2, "")
        if message is not None:
            assert err == f"velquor: error: {tmp_path / 'bt.toml'}: {message}\n"
        else:
            assert err.startswith("velquor: error: unknown objective 'best'")
