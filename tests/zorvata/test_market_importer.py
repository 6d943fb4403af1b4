"""The importer: a valid set of files becomes a working database; bad rows are rejected by file and row."""

import re
import subprocess
import sys

import pandas as pd
import pytest

import zorvata
from zorvata.importer import import_files

INSTRUMENTS = """order_book_id,symbol,type,listed_date,de_listed_date,exchange,industry_sw,industry_citics
600001.XSHG,Alpha,CS,2020-01-02,0000-00-00,XSHG,SW01,CI01
600002.XSHG,Beta,CS,2020-01-02,2024-01-05,XSHG,SW02,CI01
000001.XSHE,Gamma,CS,2024-01-03,,XSHE,SW01,CI02
000300.XSHG,Index,INDX,2005-04-08,,XSHG,,
"""
PRICES = """date,order_book_id,rate
2024-01-02,600001.XSHG,0.01
2024-01-02,600002.XSHG,-0.02
2024-01-02,000300.XSHG,0.004
2024-01-03,600001.XSHG,0.005
2024-01-03,000300.XSHG,0.001
2024-01-04,600001.XSHG,-0.01
2024-01-04,000001.XSHE,0.1
2024-01-04,000300.XSHG,-0.002
2024-01-05,600001.XSHG,0.0
2024-01-05,000001.XSHE,-0.03
2024-01-05,000300.XSHG,0.003
"""
DATES = "date\n2024-01-02\n2024-01-03\n2024-01-04\n2024-01-05\n2024-01-08\n"
WEIGHTS = """index_id,date,order_book_id,weight
000300.XSHG,2024-01-02,600001.XSHG,0.6
000300.XSHG,2024-01-02,600002.XSHG,0.4
000300.XSHG,2024-01-05,600001.XSHG,0.7
000300.XSHG,2024-01-05,000001.XSHE,0.3
"""
DAILY = """date,order_book_id,market_cap,float_market_cap,turnover
2024-01-02,600001.XSHG,1e10,5e9,0.01
2024-01-02,600002.XSHG,2e9,1e9,0.02
"""
FUNDAMENTALS = """order_book_id,report_date,announce_date,book_value,earnings,sales,total_debt
600001.XSHG,2023-09-30,2023-10-28,4e9,5e8,3e9,1e9
"""


@pytest.fixture
def files(tmp_path):
    texts = {"instruments": INSTRUMENTS, "prices": PRICES, "trading_dates": DATES, "index_weights": WEIGHTS,
             "stock_daily": DAILY, "fundamentals": FUNDAMENTALS}
    out = {}
    for name, text in texts.items():
        out[name] = tmp_path / f"{name}.csv"
        out[name].write_text(text)
    return out


def test_valid_files_make_a_working_database(files, tmp_path, switch_db):
    out = import_files(tmp_path / "mine.duckdb", **files, label="my data")
    switch_db(out)
    assert zorvata.meta()["label"] == "my data"
    assert zorvata.instruments("600002.XSHG").de_listed_date == "2024-01-05"
    assert zorvata.instruments("000001.XSHE").de_listed_date == "0000-00-00"
    ids = ["600001.XSHG", "600002.XSHG", "000001.XSHE"]
    df = zorvata.get_price_change_rate(ids, "2024-01-02", "2024-01-08")
    assert df.index[-1] == pd.Timestamp("2024-01-05")  # the last day with data
    assert df.loc["2024-01-03", "600002.XSHG"] != df.loc["2024-01-03", "600002.XSHG"]  # no row: NaN
    assert df.loc["2024-01-04", "000001.XSHE"] == 0.1
    assert zorvata.index_weights("000300.XSHG", "2024-01-04").to_dict() == {"600001.XSHG": 0.6,
                                                                            "600002.XSHG": 0.4}
    assert zorvata.trading_date_offset("2024-01-05", 1).isoformat() == "2024-01-08"


def test_parquet_input(files, tmp_path, switch_db):
    pq = tmp_path / "prices.parquet"
    p = pd.read_csv(files["prices"])
    p["date"] = pd.to_datetime(p["date"]).dt.date
    p.to_parquet(pq)
    out = import_files(tmp_path / "pq.duckdb", instruments=files["instruments"], prices=pq)
    switch_db(out)
    assert zorvata.get_price_change_rate("600001.XSHG", "2024-01-02", "2024-01-05").shape == (4, 1)


def _edit(path, old, new):
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


@pytest.mark.parametrize("file, old, new, row, message", [
    ("prices", "2024-01-03,600001.XSHG,0.005", "2024-01-02,600001.XSHG,0.005", 4,
     "duplicate date, order_book_id"),
    ("prices", "2024-01-03,600001.XSHG", "2024-13-03,600001.XSHG", 4, "unparseable date '2024-13-03'"),
    ("prices", "2024-01-04,600001.XSHG,-0.01", "2024-01-04,600001.XSHG,-1.5", 6, "loss of 100% or more"),
    ("prices", "2024-01-04,600001.XSHG,-0.01", "2024-01-04,600001.XSHG,", 6, "missing rate"),
    ("prices", "2024-01-04,600001.XSHG,-0.01", "2024-01-04,600001.XSHG,abc", 6, "'abc' is not a number"),
    ("prices", "2024-01-04,600001.XSHG", "2024-01-04,600009.XSHG", 6, "unknown order_book_id '600009.XSHG'"),
    ("prices", "2024-01-05,000001.XSHE", "2024-01-02,000001.XSHE", 10, "before the instrument's listed_date"),
    ("prices", "2024-01-03,600001.XSHG", "2024-01-06,600001.XSHG", 4, "is not a trading date"),
    ("stock_daily", "1e9,0.02", "-1e9,0.02", 2, "float_market_cap -1000000000.0 is not a plausible market cap"),
    ("stock_daily", "600002.XSHG,2e9", "600002.XSHG,-2e9", 2, "market_cap -2000000000.0 is not a plausible"),
    ("index_weights", "600002.XSHG,0.4", "600002.XSHG,0.5", 1, "sum to 1.1, not 1"),
    ("index_weights", "000300.XSHG,2024-01-05,000001", "000301.XSHG,2024-01-05,000001", 4,
     "unknown index_id"),
    ("instruments", "600002.XSHG,Beta,CS,2020-01-02", "600002.XSHG,Beta,CS,2020-02-30", 2,
     "unparseable listed_date '2020-02-30'"),
    ("instruments", "600002.XSHG,Beta,CS,2020-01-02,2024-01-05",
     "600002.XSHG,Beta,CS,2020-01-02,2019-01-05", 2,
     "de_listed_date is not after listed_date"),
    ("instruments", "000001.XSHE,Gamma,CS", "600001.XSHG,Gamma,CS", 3, "duplicate order_book_id"),
    ("fundamentals", "2023-10-28", "2023-09-01", 1, "announce_date 2023-09-01 before report_date"),
])
def test_bad_rows_are_rejected(files, tmp_path, file, old, new, row, message):
    _edit(files[file], old, new)
    out = tmp_path / "bad.duckdb"
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(out, **files)
    assert message in str(e.value)
    assert f"row {row} (line {row + 1})" in str(e.value)
    assert (e.value.path, e.value.row) == (files[file], row)
    assert not out.exists() and sorted(p.name for p in tmp_path.iterdir() if p.suffix != ".lock") == sorted(
        p.name for p in files.values())


@pytest.mark.parametrize("header, message", [
    ("date,order_book_id", "missing column(s) ['rate']"),
    ("date,order_book_id,rate,volume", "unknown column(s) ['volume']"),
])
def test_bad_columns(files, tmp_path, header, message):
    text = files["prices"].read_text().splitlines()
    n = len(header.split(","))
    rows = [(r + ",1").split(",")[:n] for r in text[1:]]
    files["prices"].write_text("\n".join([header] + [",".join(r) for r in rows]))
    with pytest.raises(zorvata.ValidationError, match=re.escape(message)):
        import_files(tmp_path / "bad.duckdb", **files)


def test_existing_output_is_kept(files, tmp_path):
    out = tmp_path / "keep.duckdb"
    out.write_bytes(b"precious")
    with pytest.raises(zorvata.ValidationError, match="exists"):
        import_files(out, **files)
    _edit(files["prices"], "0.01\n", "-2\n")
    with pytest.raises(zorvata.ValidationError):
        import_files(out, **files, overwrite=True)
    assert out.read_bytes() == b"precious"


def test_command_line(files, tmp_path):
    out = tmp_path / "cli.duckdb"
    args = [sys.executable, "-m", "zorvata", "import", "--out", str(out),
            "--instruments", str(files["instruments"]), "--prices", str(files["prices"]),
            "--index-weights", str(files["index_weights"])]
    ok = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert ok.returncode == 0, ok.stderr
    assert out.exists()
    _edit(files["prices"], "2024-01-05,600001.XSHG,0.0", "2024-01-05,600001.XSHG,-1.2")
    bad = subprocess.run(args[:5] + [str(tmp_path / "cli2.duckdb")] + args[6:], capture_output=True,
                         text=True, timeout=120)
    assert bad.returncode == 2
    assert f"{files['prices']}: row 9 (line 10)" in bad.stderr
    assert not (tmp_path / "cli2.duckdb").exists()
