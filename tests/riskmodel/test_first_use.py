"""The first minute: what is built on first use is said in one line; data too small is one line too."""

from __future__ import annotations

import re

import pytest

import zorvata

from velquor.riskmodel import __main__ as cli, service


def test_on_demand_estimate_is_announced_once(market_db, tmp_path, monkeypatch, capsys):
    from velquor.optimize import portfolio_optimize

    monkeypatch.setenv("VELQUOR_RISKMODEL_DIR", str(tmp_path / "estimates"))
    with service._lock:
        service._contexts.clear()
        service._models.clear()
    try:
        pool = list(zorvata.index_weights("000905.XSHG", "2026-03-02").index[:8])
        capsys.readouterr()
        portfolio_optimize(pool, "2026-03-02")
        first = capsys.readouterr().err
        portfolio_optimize(pool, "2026-03-03")  # built with the first (the dates after it come along)
        again = capsys.readouterr().err
    finally:
        with service._lock:
            service._contexts.clear()
            service._models.clear()
    lines = [x for x in first.splitlines() if x.startswith("velquor:")]
    assert lines == [lines[0]] and lines[0].startswith(
        "velquor: estimating the daily-v1 risk model as of 2026-02-27 .. ")
    assert "velquor:" not in again


def test_demo_market_build_is_announced(tmp_path, monkeypatch, capsys):
    from zorvata import demo

    monkeypatch.setattr(demo, "build_demo", lambda path: path.write_bytes(b""))
    demo.ensure_demo(tmp_path / "demo.duckdb")
    demo.ensure_demo(tmp_path / "demo.duckdb")  # there already: silent
    err = capsys.readouterr().err
    assert err == (f"zorvata: building the synthetic demo market at {tmp_path / 'demo.duckdb'} "
                   f"(once; about half a minute)\n")


@pytest.mark.parametrize("argv, message", [
    (["build", "--start", "2026-10-01", "--end", "2026-11-30"],
     r"the risk model needs \d+ trading days of market data before the request date; the data starts on "
     r"2026-06-01, so the first supported date is beyond its end \(got 2026-11-30\)"),
    (["build", "--start", "2026-10-01", "--end", "2026-13-01"], None),
])
def test_riskmodel_command_on_too_little_data_says_so_in_one_line(tmp_path, switch_db, monkeypatch, capsys,
                                                                  argv, message):
    from zorvata.demo import build_demo

    path = build_demo(tmp_path / "tiny.duckdb", n_stocks=30, start="2026-06-01", end="2026-11-30")
    monkeypatch.setenv("VELQUOR_RISKMODEL_DIR", str(tmp_path / "estimates"))
    switch_db(path)
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and err.startswith("python -m velquor.riskmodel: error: ")
    if message is not None:
        assert re.fullmatch(f"python -m velquor.riskmodel: error: {message}\n", err)
