"""The importer's plausibility and cross-table rules (all reported in one run), the point-in-time tables, and
the atomic append of a day's files."""

import hashlib
import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

import zorvata
from zorvata import _store
from zorvata.importer import append_files, import_files

from .test_market_importer import DAILY, DATES, FUNDAMENTALS, INSTRUMENTS, PRICES, WEIGHTS

INDUSTRIES = """source,code,name
sw,SW01,Banks
sw,SW02,Media
citics,CI01,Finance
citics,CI02,Tech
sw_split_financials,SF01,Banks
"""
HISTORY = """source,order_book_id,code,start_date,end_date
sw,600001.XSHG,SW02,2020-01-02,2024-01-04
sw,600001.XSHG,SW01,2024-01-04,
citics,600001.XSHG,CI01,2020-01-02,
sw_split_financials,600001.XSHG,SF01,2020-01-02,
"""
ST = """order_book_id,start_date,end_date
600002.XSHG,2023-05-04,2024-01-04
600001.XSHG,2024-01-05,
"""
FLAGS = """date,order_book_id,suspended,limit_up,limit_down
2024-01-03,600002.XSHG,true,false,false
2024-01-04,000001.XSHE,false,true,false
"""


@pytest.fixture
def files(tmp_path):
    texts = {
        "instruments": INSTRUMENTS,
        "prices": PRICES,
        "trading_dates": DATES,
        "index_weights": WEIGHTS,
        "stock_daily": DAILY,
        "fundamentals": FUNDAMENTALS,
        "industries": INDUSTRIES,
        "industry_history": HISTORY,
        "st_status": ST,
        "daily_flags": FLAGS,
    }
    out = {}
    for name, text in texts.items():
        out[name] = tmp_path / f"{name}.csv"
        out[name].write_text(text)
    return out


def _append_row(path, row):
    path.write_text(path.read_text() + row + "\n")


def _digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_every_broken_rule_is_reported_in_one_run(files, tmp_path):
    _append_row(files["prices"], "2024-01-08,600001.XSHG,5.0")  # 5% written as 5.0
    _append_row(files["prices"], "2024-01-08,600001.XSHG,0.01")  # duplicate key
    _append_row(files["instruments"], "600003.XSHG,Delta,cs,2020-01-02,,XSHG,,")  # lower-case type
    _append_row(files["stock_daily"], "2024-01-03,600001.XSHG,1e308,5e9,0.01")  # absurd cap
    _append_row(files["stock_daily"], "2024-01-04,600001.XSHG,1e10,2e10,0.01")  # float above total
    _append_row(files["stock_daily"], "2024-01-05,600001.XSHG,1e10,5e9,5000")  # turnover of 500,000%
    _append_row(files["stock_daily"], "2024-01-02,000001.XSHE,1e10,5e9,0.01")  # before listing
    _append_row(files["stock_daily"], "2024-01-05,600002.XSHG,1e10,5e9,0.01")  # on the delisting day
    _append_row(files["stock_daily"], "2024-01-06,600001.XSHG,1e10,5e9,0.01")  # a Saturday
    _append_row(files["stock_daily"], "2024-01-08,000300.XSHG,1e10,5e9,0.01")  # an index
    _append_row(files["index_weights"], "000300.XSHG,2024-01-08,600002.XSHG,1.0")  # delisted constituent
    _append_row(files["industry_history"], "sw,600001.XSHG,SW02,2023-06-01,")  # overlaps
    _append_row(files["st_status"], "600001.XSHG,2024-02-01,2024-01-20")  # ends before it starts
    _append_row(files["daily_flags"], "2024-01-05,600001.XSHG,false,true,true")
    out = tmp_path / "bad.duckdb"
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(out, **files)
    text = str(e.value)
    expected = [
        ("prices", 12, "rate 5.0 is a gain above +100%"),
        ("prices", 13, "duplicate date, order_book_id ('2024-01-08', '600001.XSHG') (first seen in row 12)"),
        ("instruments", 5, "type 'cs' is not one of CS, INDX, ETF, LOF"),
        ("stock_daily", 3, "market_cap 1e+308 is not a plausible market cap"),
        ("stock_daily", 4, "float_market_cap 20000000000.0 is above market_cap 10000000000.0"),
        ("stock_daily", 5, "turnover 5000.0 is outside 0 .. 1"),
        ("stock_daily", 6, "row dated 2024-01-02 before the instrument's listed_date 2024-01-03"),
        ("stock_daily", 7, "row dated 2024-01-05 on or after the instrument's de_listed_date 2024-01-05"),
        ("stock_daily", 8, "date 2024-01-06 is not a trading date"),
        ("stock_daily", 9, "'000300.XSHG' is of type INDX, not a stock"),
        ("index_weights", 5, "constituent '600002.XSHG' is not listed on 2024-01-08"),
        # rows 2 and 5 both overlap the one before them by start date; row 2 comes first in the file
        (
            "industry_history",
            2,
            "period from 2024-01-04 of sw, 600001.XSHG overlaps the period from 2023-06-01",
        ),
        ("st_status", 3, "end_date 2024-01-20 is not after start_date 2024-02-01"),
        ("st_status", 3, "period from 2024-02-01 of 600001.XSHG overlaps the period from 2024-01-05"),
        ("daily_flags", 3, "both limit_up and limit_down"),
    ]
    for kind, row, message in expected:
        assert f"{files[kind]}: row {row} (line {row + 1}): {message}" in text
    assert len(e.value.problems) == len(expected)
    assert not out.exists()
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_counts_and_first_rows_of_a_rule(files, tmp_path):
    for d in ("2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08"):
        _append_row(files["stock_daily"], f"{d},600001.XSHG,1e10,5e9,1.5")
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(tmp_path / "x.duckdb", **files)
    (p,) = e.value.problems
    assert (p.count, p.rows) == (4, [3, 4, 5])
    assert "[4 rows in all; also rows 4, 5]" in str(e.value)


def test_parquet_rows_are_named_without_lines(files, tmp_path):
    pq = tmp_path / "prices.parquet"
    p = pd.read_csv(files["prices"])
    p["date"] = pd.to_datetime(p["date"]).dt.date
    p.loc[3, "rate"] = -1.0
    p.to_parquet(pq)
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(tmp_path / "x.duckdb", **{**files, "prices": pq})
    assert f"{pq}: row 4: rate -1.0 is a loss of 100% or more" in str(e.value)


def test_point_in_time_tables(files, tmp_path, switch_db):
    text = files["instruments"].read_text()
    files["instruments"].write_text(text.replace("XSHG,SW01,CI01", "XSHG,,", 1))  # 600001: codes from history
    out = import_files(tmp_path / "m.duckdb", **files)
    switch_db(out)
    assert (
        zorvata.instruments("600001.XSHG").industry_sw,
        zorvata.instruments("600001.XSHG").industry_citics,
    ) == ("SW01", "CI01")
    assert zorvata.get_industry(["600001.XSHG"], "sw", "2024-01-03").to_dict() == {"600001.XSHG": "SW02"}
    assert zorvata.get_industry(["600001.XSHG"], "sw", "2024-01-04").to_dict() == {"600001.XSHG": "SW01"}
    assert zorvata.get_industry(None, "sw_split_financials").to_dict() == {"600001.XSHG": "SF01"}
    assert zorvata.get_industry_names("citics").to_dict() == {"CI01": "Finance", "CI02": "Tech"}
    st = zorvata.get_st_status(["600001.XSHG", "600002.XSHG", "nope"], "2024-01-02", "2024-01-08")
    assert st["600002.XSHG"].tolist() == [True, True, False, False, False]
    assert st["600001.XSHG"].tolist() == [False, False, False, True, True]
    assert not st["nope"].any()
    flags = zorvata.get_daily_flags("2024-01-01", "2024-01-31")
    assert flags[["order_book_id", "suspended", "limit_up"]].values.tolist() == [
        ["600002.XSHG", True, False],
        ["000001.XSHE", False, True],
    ]
    assert len(zorvata.meta()["data_version"]) == 32


def test_industry_codes_must_be_known(files, tmp_path):
    _append_row(files["industry_history"], "citics,600002.XSHG,CI09,2020-01-02,")
    _append_row(files["industries"], "gics,10,Energy")
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(tmp_path / "x.duckdb", **files)
    assert "row 5 (line 6): industry code 'CI09' of citics is not in the industries file" in str(e.value)
    assert "row 6 (line 7): source 'gics' is not one of sw, citics, sw_split_financials" in str(e.value)


# ------------------------------------------------------------------------------------------------ appending


@pytest.fixture
def store(files, tmp_path):
    return import_files(tmp_path / "store.duckdb", **files)


def _day_files(tmp_path, prices, daily=None, **more):
    d = tmp_path / "day"
    d.mkdir(parents=True, exist_ok=True)
    out = {"prices": d / "prices.csv"}
    out["prices"].write_text("date,order_book_id,rate\n" + prices)
    if daily is not None:
        out["stock_daily"] = d / "daily.csv"
        out["stock_daily"].write_text("date,order_book_id,market_cap,float_market_cap,turnover\n" + daily)
    for k, text in more.items():
        out[k] = d / f"{k}.csv"
        out[k].write_text(text)
    return out


def test_append_a_good_day(store, tmp_path, switch_db):
    switch_db(store)
    version = zorvata.meta()["data_version"]
    day = _day_files(
        tmp_path,
        "2024-01-08,600001.XSHG,0.02\n2024-01-08,000001.XSHE,-0.01\n",
        "2024-01-08,600001.XSHG,1.1e10,5e9,0.02\n",
        instruments="order_book_id,type,listed_date\n600009.XSHG,CS,2024-01-08\n",
        st_status="order_book_id,start_date,end_date\n600001.XSHG,2024-01-05,2024-01-08\n",
        industry_history="source,order_book_id,code,start_date\nsw,600009.XSHG,SW02,2024-01-08\n",
        # the report of 2023-09-30 restated
        fundamentals="order_book_id,report_date,announce_date,book_value\n600001.XSHG,2023-09-30,2024-01-08,3e9\n",
    )
    append_files(store, **day)
    assert zorvata.data_end().isoformat() == "2024-01-08"
    r = zorvata.get_price_change_rate(["600001.XSHG", "000001.XSHE"], "2024-01-05", "2024-01-08")
    assert r.loc["2024-01-08"].tolist() == [0.02, -0.01]
    assert zorvata.instruments("600009.XSHG").listed_date == "2024-01-08"
    assert zorvata.get_st_status("600001.XSHG", "2024-01-05", "2024-01-08")["600001.XSHG"].tolist() == [
        True,
        False,
    ]
    assert zorvata.meta()["data_version"] != version
    assert zorvata.get_industry(["600009.XSHG"], "sw", "2024-01-08").to_dict() == {"600009.XSHG": "SW02"}
    assert zorvata.get_latest_fundamentals("2024-01-07", ["book_value"], ["600001.XSHG"]).book_value.item() == 4e9
    assert zorvata.get_latest_fundamentals("2024-01-08", ["book_value"], ["600001.XSHG"]).book_value.item() == 3e9
    # the calendar grows with days past its end when no calendar file comes along
    append_files(store, **_day_files(tmp_path, "2024-01-09,600001.XSHG,0.01\n"))
    assert zorvata.is_trading_date("2024-01-09")


def test_append_a_bad_day_leaves_the_store_unchanged(store, tmp_path):
    before = _digest(store), store.stat().st_ino
    day = _day_files(
        tmp_path,
        "2024-01-05,600001.XSHG,0.02\n2024-01-08,600001.XSHG,7\n2024-01-08,600099.XSHG,0\n",
        "2024-01-08,600001.XSHG,1.1e10,5e9,0.02\n2024-01-02,600001.XSHG,1e10,5e9,0.01\n",
    )
    with pytest.raises(zorvata.ValidationError) as e:
        append_files(store, **day)
    text = str(e.value)
    assert (
        "row 1 (line 2): date, order_book_id ('2024-01-05', '600001.XSHG') is already in the database" in text
    )
    assert "row 2 (line 3): rate 7.0 is a gain above +100%" in text
    assert "row 3 (line 4): unknown order_book_id '600099.XSHG'" in text
    assert (
        "row 2 (line 3): date, order_book_id ('2024-01-02', '600001.XSHG') is already in the database" in text
    )
    assert (_digest(store), store.stat().st_ino) == before
    assert not [p for p in store.parent.iterdir() if p.name.startswith(".")]


KILLED = """
import os, signal, sys
import zorvata.importer as imp
real = imp._run
def run_then_die(*a, **k):
    real(*a, **k)
    os.kill(os.getpid(), signal.SIGKILL)  # the copy is complete but not yet renamed over the store
imp._run = run_then_die
imp.append_files(sys.argv[1], prices=sys.argv[2])
"""


def test_killed_append_changes_nothing_and_its_leftovers_go(store, tmp_path, switch_db):
    before = _digest(store)
    day = _day_files(tmp_path, "2024-01-08,600001.XSHG,0.02\n")
    p = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(KILLED), str(store), str(day["prices"])],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert p.returncode == -9, p.stderr
    assert _digest(store) == before
    left = [q for q in store.parent.iterdir() if q.name.startswith(f".{store.name}.")]
    assert left  # the killed run's copy
    _store._cleaned.discard(str(store))
    switch_db(store)
    assert zorvata.data_end().isoformat() == "2024-01-05"
    assert not [q for q in store.parent.iterdir() if q.name.startswith(f".{store.name}.")]
    # a writer running on the same file keeps its files: leftovers are only removed under the writers' lock
    stray = store.with_name(f".{store.name}.busy.tmp")
    stray.write_bytes(b"")
    with _store.file_lock(store):
        assert _store.clean_leftovers(store) == []
    assert _store.clean_leftovers(store) == [stray]


def test_append_checks_against_the_store(store, tmp_path):
    day = _day_files(
        tmp_path,
        "2024-01-08,600002.XSHG,0.02\n",
        index_weights="index_id,date,order_book_id,weight\n000300.XSHG,2024-01-08,600002.XSHG,1\n",
    )
    with pytest.raises(zorvata.ValidationError) as e:
        append_files(store, **day)
    assert (
        "row 1 (line 2): row dated 2024-01-08 on or after the instrument's de_listed_date 2024-01-05"
        in str(e.value)
    )
    assert "constituent '600002.XSHG' is not listed on 2024-01-08" in str(e.value)


def test_append_cannot_cut_the_stores_rows_out_of_a_listing_window(store, tmp_path):
    d = tmp_path / "inst.csv"
    d.write_text("order_book_id,type,listed_date,de_listed_date\n600001.XSHG,CS,2020-01-02,2024-01-04\n")
    with pytest.raises(zorvata.ValidationError) as e:
        append_files(store, instruments=d)
    assert str(e.value).endswith(
        "row 1 (line 2): the listing window of '600001.XSHG' leaves out its price_change_rate rows of the "
        "database (2024-01-04 .. 2024-01-05)"
    )


def test_command_line_append(store, tmp_path):
    day = _day_files(tmp_path, "2024-01-08,600001.XSHG,0.02\n")
    args = [
        sys.executable,
        "-m",
        "zorvata",
        "import",
        "--append",
        "--out",
        str(store),
        "--prices",
        str(day["prices"]),
    ]
    ok = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert ok.returncode == 0, ok.stderr
    bad = subprocess.run(args, capture_output=True, text=True, timeout=120)  # the same day again
    assert bad.returncode == 2 and "is already in the database" in bad.stderr
    assert os.path.exists(store)


READER_LOOP = """
import os, sys, zorvata
zorvata.configure(sys.argv[1])
seen = set()
def read():
    con = zorvata.connect()  # reopened whenever the file was replaced
    seen.add(con.execute("SELECT CAST(max(date) AS VARCHAR), count(*) FROM price_change_rate").fetchone())
read()
print("ready", flush=True)
while not os.path.exists(sys.argv[2]):
    read()
read()
print(sorted(seen))
"""


def test_readers_see_whole_appends_only(store, tmp_path):
    done = tmp_path / "done"
    reader = subprocess.Popen(
        [sys.executable, "-c", READER_LOOP, str(store), str(done)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert reader.stdout.readline().strip() == "ready"
    states = {("2024-01-05", 11)}
    day = pd.Timestamp("2024-01-08")
    for k in range(4):
        d = (day + pd.offsets.BDay(k)).date().isoformat()
        append_files(store, **_day_files(tmp_path / str(k), f"{d},600001.XSHG,0.01\n{d},000001.XSHE,0.02\n"))
        states.add((d, 13 + 2 * k))
    done.write_text("")
    out, err = reader.communicate(timeout=120)
    assert reader.returncode == 0, err
    seen = set(eval(out))  # noqa: S307 - our own subprocess's repr of a list of tuples
    assert seen <= states  # every read saw a whole store: before or after an append, never half of one
    assert {("2024-01-05", 11), (max(states)[0], 19)} <= seen


def test_generated_market_imports_from_the_command_line(tmp_path):
    d = tmp_path / "files"
    gen = subprocess.run(
        [
            sys.executable,
            "-m",
            "zorvata",
            "build-demo",
            "--files",
            "--n-stocks",
            "40",
            "--start",
            "2024-01-02",
            "--end",
            "2024-04-30",
            "--n-industries",
            "4",
            "--out",
            str(d),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert gen.returncode == 0, gen.stderr
    command = gen.stdout.splitlines()[-1].split()  # the import command it prints
    assert command[:3] == ["python", "-m", "zorvata"]
    db = tmp_path / "market.duckdb"
    command[command.index("--out") + 1] = str(db)
    imp = subprocess.run([sys.executable, *command[1:], "-v"], capture_output=True, text=True, timeout=300)
    assert imp.returncode == 0, imp.stderr
    assert "wrote price_change_rate" in imp.stderr
    info = subprocess.run(
        [sys.executable, "-m", "zorvata", "info", "--db", str(db)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    counts = dict(line.split(": ") for line in info.stdout.splitlines() if line.strip().startswith("table "))
    for table in ("price_change_rate", "stock_daily", "index_weights", "fundamentals", "industry_history"):
        assert int(counts[f"  table {table}"].split()[0].replace(",", "")) > 0, table
