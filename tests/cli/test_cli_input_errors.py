"""Every input error of the command line: exit status 2 and one line naming the argument, the bad value and
what it takes; and one threshold for a held position in everything the commands count."""

from __future__ import annotations

import pandas as pd
import pytest

import zorvata

from velquor.const import HELD_WEIGHT

from .test_cli import DATE, INDEX, run


@pytest.mark.parametrize("extra, message", [
    (["--solver", "NOSUCH"], "--solver: unknown or uninstalled solver 'NOSUCH'; installed: "),
    (["--solver-option", "eps_abs=abc"], "--solver-option: eps_abs='abc' is not a float, which SCS's eps_abs takes"),
    (["--solver-option", "max_iters=1.5"], "--solver-option: max_iters=1.5 is not an int, which SCS's max_iters takes"),
    (["--solver-option", "foo=1"], "--solver-option: SCS has no option 'foo'; it takes "),
    (["--solver", "clarabel", "--solver-option", "max_iters=10"], "--solver-option: CLARABEL has no option 'max_iters'"),
    (["--date", "01/06/2026"], "--date: '01/06/2026' is not a date in the form YYYY-MM-DD"),
    (["--date", "2026-02-30"], "--date: '2026-02-30' is not a date (day is out of range for month)"),
    (["--date", "2026-05-31"], "--date: 2026-05-31 (Sunday) is not a trading date; the nearest are 2026-05-29 and "
                               "2026-06-01"),
    (["--min-weight", "1.5"], "--min-weight: 1.5 is not a weight in [0, 1)"),
    (["--min-weight", "abc"], "optimize: argument --min-weight: invalid float value: 'abc' (see --help)"),
])
def test_bad_optimize_argument_exits_2_with_one_line(capsys, market_db, extra, message):
    argv = ["optimize", INDEX, "--date", DATE, *extra]
    if "--date" in extra:
        argv = ["optimize", INDEX, *extra]
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith(f"velquor: error: {message}") and err.count("\n") == 1


def test_misspelt_index_names_the_closest(capsys, market_db):
    status, _, err = run(capsys, "optimize", "000300.XSHX", "--date", DATE)
    assert status == 2
    assert err == "velquor: error: pool: unknown index or id '000300.XSHX'; did you mean 000300.XSHG?\n"


@pytest.mark.parametrize("table, message", [
    ('type = "IndustryConstraint"\nindustries = "SW01"\nupper_limt = 0.2',
     "constraint 1 (IndustryConstraint): unknown key 'upper_limt'; did you mean upper_limit? (IndustryConstraint "
     "takes "),
    ('type = "TrackingErrorLimit"', "constraint 1 (TrackingErrorLimit): missing key "),
])
def test_constraints_file_keys_checked_against_the_constraint(capsys, market_db, tmp_path, table, message):
    path = tmp_path / "c.toml"
    path.write_text(f"[[constraints]]\n{table}\n")
    status, _, err = run(capsys, "optimize", INDEX, "--date", DATE, "--constraints", path)
    assert status == 2
    assert err.startswith(f"velquor: error: {path}: {message}") and err.count("\n") == 1


class TestHeldThreshold:
    def test_optimize_writes_zeros_and_every_count_agrees(self, capsys, market_db, tmp_path):
        from velquor.analytics import risk_report
        from velquor.optimize import portfolio_optimize

        out = tmp_path / "w.csv"
        status, _, err = run(capsys, "optimize", INDEX, "--date", DATE, "--bounds", "*=0:0.2", "--out", out)
        assert status == 0
        written = pd.read_csv(out, dtype={"order_book_id": str}).set_index("order_book_id")["weight"]
        solved = portfolio_optimize(list(zorvata.index_weights(INDEX, DATE).index), DATE, bnds={"*": (0, 0.2)})
        # the API returns what was solved (dust included); the file has exact zeros below the threshold
        assert (solved.abs() <= HELD_WEIGHT).sum() > 0
        assert ((written == 0) | (written > HELD_WEIGHT)).all()
        assert written.sum() == pytest.approx(1.0, abs=1e-9)
        held = int((written > 0).sum())
        assert f", {held} held," in err
        assert risk_report(solved, DATE).summary["n_stocks"] == held
        status, report, _ = run(capsys, "report", out)
        assert status == 0 and f"| stocks held | {held} |" in report

    def test_min_weight_drops_small_positions_and_renormalises(self, capsys, market_db, tmp_path):
        out = tmp_path / "w.csv"
        status, _, _ = run(capsys, "optimize", INDEX, "--date", DATE, "--min-weight", "0.01", "--out", out)
        assert status == 0
        w = pd.read_csv(out)["weight"]
        assert w.sum() == pytest.approx(1.0, abs=1e-9)
        assert ((w == 0) | (w > 0.01)).all() and (w > 0).sum() >= 2
