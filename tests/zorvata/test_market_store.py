"""Configuration, per-process caches, concurrent readers and the demo market's build-once lock."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import zorvata
from zorvata import demo

READER = """
import sys, zorvata
w = zorvata.index_weights("000300.XSHG", "2025-06-03")
r = zorvata.get_price_change_rate(list(w.index), "2025-01-02", "2025-06-30")
print(repr(float(r.sum().sum())), repr(float(w.sum())), len(zorvata.instruments(list(w.index))))
"""


def test_two_processes_read_the_same_file(market_db):
    env = {**os.environ, "ZORVATA_DB": str(market_db)}
    procs = [subprocess.Popen([sys.executable, "-c", READER], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for _ in range(2)]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], [o[1] for o in outs]
    w = zorvata.index_weights("000300.XSHG", "2025-06-03")
    r = zorvata.get_price_change_rate(list(w.index), "2025-01-02", "2025-06-30")
    expect = f"{float(r.sum().sum())!r} {float(w.sum())!r} {len(w)}"
    assert [o[0].strip() for o in outs] == [expect, expect]


class TestConfiguration:
    def test_env_var_names_the_file(self, market_db, monkeypatch, tmp_path):
        zorvata.reset()
        try:
            monkeypatch.setenv("ZORVATA_DB", str(tmp_path / "missing.duckdb"))
            with pytest.raises(zorvata.DataError, match="does not exist"):
                zorvata.instruments("000300.XSHG")
            monkeypatch.setenv("ZORVATA_DB", str(market_db))
            assert zorvata.db_path() == market_db.resolve()
            assert zorvata.instruments("000300.XSHG").type == "INDX"
        finally:
            zorvata.configure(market_db)

    def test_rewritten_file_is_reread(self, switch_db, tmp_path):
        path = tmp_path / "m.duckdb"
        demo.build_demo(path, n_stocks=30, start="2025-01-02", end="2025-06-30", seed=1, n_industries=4)
        switch_db(path)
        symbols = lambda: {r.order_book_id: r.symbol  # noqa: E731
                           for r in zorvata.instruments(zorvata.all_instruments().order_book_id)}
        before = symbols()
        w1 = zorvata.index_weights("000985.XSHG", "2025-06-02")
        demo.build_demo(path, n_stocks=40, start="2025-01-02", end="2025-06-30", seed=2, n_industries=4)
        after = symbols()
        assert before != after and len(after) == 40 + 7
        assert not zorvata.index_weights("000985.XSHG", "2025-06-02").equals(w1)

    def test_demo_is_deterministic(self, tmp_path):
        kw = dict(n_stocks=25, start="2025-01-02", end="2025-04-30", seed=3, n_industries=3)
        a, b = demo.build_demo(tmp_path / "a.duckdb", **kw), demo.build_demo(tmp_path / "b.duckdb", **kw)
        import duckdb

        q = "SELECT sum(rate * hash(order_book_id) % 1000), count(*) FROM price_change_rate"
        got = [duckdb.connect(str(p), read_only=True).execute(q).fetchone() for p in (a, b)]
        assert got[0] == got[1]


def test_concurrent_first_users_build_the_demo_once(tmp_path, monkeypatch):
    calls = []

    def slow_build(path, **kw):
        calls.append(path)
        time.sleep(0.3)
        path.write_bytes(b"built")

    monkeypatch.setattr(demo, "build_demo", slow_build)
    target = tmp_path / "cache" / "demo.duckdb"
    threads = [threading.Thread(target=demo.ensure_demo, args=(target,)) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert calls == [target] and target.read_bytes() == b"built"


def test_failed_build_leaves_no_file(tmp_path, monkeypatch):
    from zorvata import _schema

    bad = {"price_change_rate": {"not": "a frame"}}
    with pytest.raises(Exception):
        _schema.write_database(tmp_path / "x.duckdb", bad, {})
    assert os.listdir(tmp_path) == []


def test_rates_cover_the_truth_factor_model(market_db):
    # the stored returns are r = X f + specific noise: the truth exposures and factor returns explain them
    con = zorvata.connect().cursor()
    day = con.execute("SELECT min(date) FROM demo_truth_exposures "
                      "WHERE date > DATE '2025-01-01'").fetchone()[0]
    x = con.execute("SELECT * FROM demo_truth_exposures WHERE date = ? ORDER BY order_book_id", [day]).df()
    f = con.execute("SELECT factor, value FROM demo_truth_factor_returns WHERE date = ?", [day]).df()
    f = dict(zip(f.factor, f.value))
    r = zorvata.get_price_change_rate(list(x.order_book_id), day, day).iloc[0]
    styles = [c for c in x.columns if c not in ("date", "order_book_id", "industry", "specific_vol")]
    fitted = (f["country"] + x.industry.map(f).to_numpy()
              + x[styles].to_numpy() @ np.array([f[s] for s in styles]))
    resid = r.reindex(x.order_book_id).to_numpy() - fitted
    ok = np.isfinite(resid)
    mult = con.execute("SELECT specific_var_mult FROM demo_truth_regime WHERE date = ?", [day]).fetchone()[0]
    z = resid[ok] / (x.specific_vol.to_numpy()[ok] * np.sqrt(mult))
    assert 0.6 < z.std() < 1.5 and abs(z.mean()) < 0.5


@pytest.mark.skipif(not hasattr(os, "fork"), reason="POSIX only")
def test_forked_child_gets_an_error_not_a_crash(market_db):
    import warnings

    zorvata.instruments("000300.XSHG")  # the parent has the file open
    r, w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            zorvata.get_price_change_rate("000300.XSHG", "2025-01-02", "2025-01-31")
            msg = b"no error"
        except zorvata.DataError as e:
            msg = str(e).encode()
        os.write(w, msg)
        os._exit(0)
    os.close(w)
    _, status = os.waitpid(pid, 0)
    got = os.read(r, 4096).decode()
    os.close(r)
    assert status == 0 and "forked" in got and "spawn" in got
