"""Odd input files: glob characters in names, time-zone-aware dates, ids the stores cannot hold, files the
readers choke on. Each is read as exactly the file named, or refused in one line naming it."""

import hashlib
import json
import os
import subprocess
import sys

import duckdb
import pandas as pd
import pytest

import zorvata
from zorvata.importer import append_files, import_files

from .test_market_importer import DATES, INSTRUMENTS, PRICES


def _rows(db, sql):
    con = duckdb.connect(str(db), read_only=True)
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def _prices_frame():
    p = pd.read_csv(pd.io.common.StringIO(PRICES))
    p["date"] = pd.to_datetime(p["date"])
    return p


@pytest.fixture
def base(tmp_path):
    (tmp_path / "instruments.csv").write_text(INSTRUMENTS)
    (tmp_path / "dates.csv").write_text(DATES)
    return tmp_path


class TestGlobCharacters:
    """DuckDB's readers expand globs; a file whose name holds glob characters is read alone."""

    def test_parquet_star_reads_only_itself(self, base):
        mine = _prices_frame()
        mine.to_parquet(base / "prices*.parquet")
        stale = pd.concat([mine, mine.assign(date=pd.Timestamp("2024-01-08"))])
        stale.to_parquet(base / "prices_stale.parquet")
        out = import_files(base / "m.duckdb", instruments=base / "instruments.csv",
                           prices=base / "prices*.parquet", trading_dates=base / "dates.csv")
        assert _rows(out, "SELECT count(*), max(date)::VARCHAR FROM price_change_rate") == [(len(mine), "2024-01-05")]
        assert json.loads(zorvata_meta(out)["source_files"])["prices"] == {
            "path": str((base / "prices*.parquet").resolve()),
            "sha256": hashlib.sha256((base / "prices*.parquet").read_bytes()).hexdigest(),
        }

    @pytest.mark.parametrize("name, other", [("fund[1].csv", "fund1.csv"), ("fund?.csv", "fundX.csv"),
                                              ("{fund}.csv", "fund.csv")])
    def test_csv_pattern_reads_only_itself(self, base, name, other):
        header = "order_book_id,report_date,announce_date,book_value,earnings,sales,total_debt\n"
        (base / name).write_text(header + "600001.XSHG,2023-09-30,2023-10-28,4e9,5e8,3e9,1e9\n")
        (base / other).write_text(header + "600002.XSHG,2023-06-30,2023-08-28,1e9,1e8,1e9,1e9\n")
        (base / "prices.csv").write_text(PRICES)
        out = import_files(base / "m.duckdb", instruments=base / "instruments.csv", prices=base / "prices.csv",
                           fundamentals=base / name)
        assert _rows(out, "SELECT order_book_id FROM fundamentals") == [("600001.XSHG",)]

    def test_append_records_its_files_and_checksums(self, base):
        (base / "prices.csv").write_text(PRICES)
        out = import_files(base / "m.duckdb", instruments=base / "instruments.csv", prices=base / "prices.csv",
                           trading_dates=base / "dates.csv")
        day = base / "day[8].csv"
        day.write_text("date,order_book_id,rate\n2024-01-08,600001.XSHG,0.02\n")
        (base / "day8.csv").write_text("date,order_book_id,rate\n2024-01-08,000001.XSHE,0.02\n")
        append_files(out, prices=day)
        assert _rows(out, "SELECT order_book_id FROM price_change_rate WHERE date = '2024-01-08'") == [
            ("600001.XSHG",)]
        got = json.loads(zorvata_meta(out)["last_append_files"])
        assert got["prices"]["sha256"] == hashlib.sha256(day.read_bytes()).hexdigest()


def zorvata_meta(db) -> dict:
    return dict(_rows(db, "SELECT key, value FROM meta"))


_TZ_SCRIPT = """
import sys, duckdb
from zorvata.importer import import_files
out = import_files(sys.argv[1], instruments=sys.argv[2], prices=sys.argv[3])
con = duckdb.connect(str(out), read_only=True)
print(con.execute("SELECT list(date::VARCHAR || ' ' || order_book_id || ' ' || rate::VARCHAR ORDER BY date, "
                  "order_book_id) FROM price_change_rate").fetchone()[0])
print(con.execute("SELECT list(date::VARCHAR ORDER BY date) FROM trading_dates").fetchone()[0])
"""


def test_tz_aware_dates_are_exchange_days_whatever_tz(base):
    """Shanghai midnights (what pandas writes after tz_localize) and the same instants written as UTC text
    import to the same exchange days under any TZ of the process."""
    p = _prices_frame()
    aware = p.assign(date=p["date"].dt.tz_localize("Asia/Shanghai"))
    aware.to_parquet(base / "aware.parquet")
    text = aware.assign(date=aware["date"].dt.tz_convert("UTC").astype(str))  # 2024-01-01 16:00:00+00:00
    text.to_csv(base / "aware.csv", index=False)
    expect = sorted(f"{d:%Y-%m-%d} {i} {r}" for d, i, r in zip(p["date"], p["order_book_id"], p["rate"]))
    seen = []
    for tz in ("UTC", "Asia/Shanghai", "America/New_York"):
        for src in ("aware.parquet", "aware.csv"):
            env = {**os.environ, "TZ": tz}
            run = subprocess.run([sys.executable, "-c", _TZ_SCRIPT, str(base / f"{tz.replace('/', '_')}-{src}.duckdb"),
                                  str(base / "instruments.csv"), str(base / src)],
                                 capture_output=True, text=True, env=env, timeout=120)
            assert run.returncode == 0, run.stderr
            seen.append(run.stdout)
    assert len(set(seen)) == 1
    got = eval(seen[0].splitlines()[0])  # noqa: S307 - a list literal printed above
    assert sorted(got) == sorted(e.replace(" 0.0", " 0.0") for e in expect)
    assert "2024-01-02" in seen[0].splitlines()[1] and "2024-01-01" not in seen[0]


class TestIds:
    @pytest.mark.parametrize("bad", ['"600003\n.XSHG"', "600003 .XSHG", '"600003.\tXSHG"',
                                     "600003", "600003.XSHG.X", "6000/3.XSHG"])
    def test_malformed_id_refused_by_row(self, base, bad):
        (base / "instruments.csv").write_text(INSTRUMENTS + f"{bad},Delta,CS,2020-01-02,,XSHG,SW01,CI01\n")
        (base / "prices.csv").write_text(PRICES)
        with pytest.raises(zorvata.ValidationError) as e:
            import_files(base / "m.duckdb", instruments=base / "instruments.csv", prices=base / "prices.csv")
        msg = str(e.value)
        assert "row 5 (line 6): order_book_id" in msg and "is not an id" in msg
        assert e.value.path == base / "instruments.csv"
        assert not (base / "m.duckdb").exists()

    def test_control_character_in_other_text_refused(self, base):
        (base / "prices.csv").write_text(PRICES)
        (base / "ind.csv").write_text('source,code,name\nsw,"SW\n01",Banks\n')
        with pytest.raises(zorvata.ValidationError, match="code 'SW\\\\n01' holds a line break"):
            import_files(base / "m.duckdb", instruments=base / "instruments.csv", prices=base / "prices.csv",
                         industries=base / "ind.csv")

    def test_usual_ids_accepted(self, base):
        (base / "instruments.csv").write_text(INSTRUMENTS + "ABC-1_X.US,Delta,CS,2020-01-02,,,,\n")
        (base / "prices.csv").write_text(PRICES)
        import_files(base / "m.duckdb", instruments=base / "instruments.csv", prices=base / "prices.csv")


class TestUnreadableFiles:
    """Every refusal is one line naming the file, DuckDB's own reason kept."""

    def _refusal(self, base, **files) -> str:
        files = {"instruments": base / "instruments.csv", "prices": base / "prices.csv", **files}
        with pytest.raises(zorvata.ValidationError) as e:
            import_files(base / "m.duckdb", **files)
        problems = e.value.problems
        assert len(problems) == 1, [str(p) for p in problems]
        line = str(problems[0])
        assert "\n" not in line and len(line) < 1000
        assert not (base / "m.duckdb").exists()
        return line

    def test_non_utf8_byte(self, base):
        (base / "prices.csv").write_bytes(PRICES.encode().replace(b"600002", b"60000\xff"))
        line = self._refusal(base)
        assert line.startswith(f"{base / 'prices.csv'}: cannot read the prices file")
        assert "not utf-8 encoded" in line

    def test_overlong_line(self, base):
        (base / "prices.csv").write_text(PRICES + "x" * 3_000_000 + "\n")
        assert "Maximum line size" in self._refusal(base)

    @pytest.mark.parametrize("text", ["", "\n\n  \n"])
    def test_empty_file(self, base, text):
        (base / "prices.csv").write_text(PRICES)
        (base / "instruments.csv").write_text(text)
        assert "the instruments file is empty" in self._refusal(base)

    def test_header_only_prices_blamed_alone(self, base):
        (base / "prices.csv").write_text("date,order_book_id,rate\n")
        weights = "index_id,date,order_book_id,weight\n000300.XSHG,2024-01-02,600001.XSHG,1\n"
        (base / "w.csv").write_text(weights)
        line = self._refusal(base, index_weights=base / "w.csv")
        assert "prices.csv: the prices file has a header but no data rows" in line

    def test_empty_parquet(self, base):
        (base / "prices.parquet").write_bytes(b"")
        assert "the prices file is empty" in self._refusal(base, prices=base / "prices.parquet")

    def test_out_is_a_directory_checked_first(self, base):
        (base / "prices.csv").write_text(PRICES)
        (base / "db").mkdir()
        run = subprocess.run([sys.executable, "-m", "zorvata", "import", "--out", str(base / "db"),
                              "--instruments", str(base / "missing.csv"), "--prices", str(base / "prices.csv")],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 2
        assert run.stderr.count("\n") == 1 and "is a directory" in run.stderr


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """The importer's files of a small generated market (30 stocks, two years)."""
    from zorvata.fullsize import build_files

    return build_files(tmp_path_factory.mktemp("generated"), n_stocks=30, start="2024-01-02", end="2025-12-31",
                       seed=3)


def test_collinear_fundamentals_refused(generated, tmp_path):
    fund = pd.read_parquet(generated["fundamentals"])
    fund["earnings"] = 0.1 * fund["book_value"]  # every stock's earnings a tenth of its book value
    fund.to_parquet(tmp_path / "fund.parquet")
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(tmp_path / "m.duckdb", **{**generated, "fundamentals": tmp_path / "fund.parquet"})
    problems = e.value.problems
    assert {p.path for p in problems} == {tmp_path / "fund.parquet"}, [str(p) for p in problems]
    assert "book_value is exactly 10 times earnings for all" in str(problems[0])
    assert "collinear" in str(problems[0]) and problems[0].count >= 4  # one per report date


def test_generated_files_have_no_bar_on_a_suspended_day(tmp_path):
    """A stock suspended on its listing day used to get a bar that day, which the importer refuses (the
    docs' 300-stock market of 2024-2025 had one)."""
    from zorvata.fullsize import build_files

    files = build_files(tmp_path, n_stocks=300, start="2024-01-02", end="2025-12-31")
    bars = pd.read_parquet(files["daily_bars"], columns=["date", "order_book_id"])
    flags = pd.read_parquet(files["daily_flags"])
    suspended = flags.loc[flags["suspended"], ["date", "order_book_id"]]
    assert len(suspended) and bars.merge(suspended).empty
