"""Daily bars through the importer: the good file read back by get_daily_bars, every broken rule named."""

import pytest

import zorvata
from zorvata.importer import append_files, import_files

from .test_market_import_rules import FLAGS
from .test_market_importer import DATES, INSTRUMENTS, PRICES

BARS = """date,order_book_id,open,close,volume,value,adj_factor
2024-01-02,600001.XSHG,10.00,10.10,120000,1212000,1.0
2024-01-03,600001.XSHG,10.12,10.15,90000,913500,1.0
2024-01-04,000001.XSHE,20.00,22.00,5000,105000,1
2024-01-04,600001.XSHG,5.02,5.02,300000,1506000,2.0
"""


@pytest.fixture
def files(tmp_path):
    out = {}
    for name, text in (("instruments", INSTRUMENTS), ("prices", PRICES), ("trading_dates", DATES),
                       ("daily_flags", FLAGS), ("daily_bars", BARS)):
        out[name] = tmp_path / f"{name}.csv"
        out[name].write_text(text)
    return out


def test_bars_read_back_and_append(files, tmp_path, switch_db):
    out = import_files(tmp_path / "m.duckdb", **files)
    (tmp_path / "more.csv").write_text("date,order_book_id,close,adj_factor\n2024-01-05,600001.XSHG,5.02,2.0\n")
    append_files(out, daily_bars=tmp_path / "more.csv")
    switch_db(out)
    bars = zorvata.get_daily_bars("2024-01-03", "2024-01-05", ["close", "adj_factor", "volume"], ["600001.XSHG"])
    assert bars["date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-01-03", "2024-01-04", "2024-01-05"]
    assert bars[["close", "adj_factor"]].values.tolist() == [[10.15, 1.0], [5.02, 2.0], [5.02, 2.0]]
    assert bars["volume"].isna().tolist() == [False, False, True]  # optional columns may be left out
    assert list(zorvata.get_daily_bars("2024-01-02", "2024-01-08").columns) == [
        "date", "order_book_id", "open", "close", "volume", "value", "adj_factor"]
    with pytest.raises(zorvata.DataError, match=r"unknown field\(s\) \['high'\]"):
        zorvata.get_daily_bars("2024-01-02", "2024-01-08", ["high"])


def test_every_broken_bar_is_named(files, tmp_path):
    rows = [
        "2024-01-05,600001.XSHG,10,0,100,1000,1",  # close 0
        "2024-01-08,600001.XSHG,10,10,100,1000,0",  # adj_factor 0
        "2024-01-02,000001.XSHE,10,10,100,1000,1",  # before the listing
        "2024-01-05,000001.XSHE,10,10,-5,1000,1",  # negative volume
        "2024-01-08,000001.XSHE,10,10,1200,120,1",  # value in thousands: 0.1 a share
        "2024-01-03,600002.XSHG,10,10,100,1000,1",  # on a day the flags file has it suspended
        "2024-01-02,000300.XSHG,10,10,100,1000,1",  # an index
        "2024-01-02,600002.XSHG,10,10,0,1000,1",  # value with no volume
        "2024-01-04,600002.XSHG,10,10,100,1000,",  # no adjustment factor
    ]
    files["daily_bars"].write_text(BARS + "\n".join(rows) + "\n")
    with pytest.raises(zorvata.ValidationError) as e:
        import_files(tmp_path / "bad.duckdb", **files)
    expected = [
        (5, "close 0.0 is not a price above 0"),
        (6, "adj_factor 0.0 is not above 0 (close * adj_factor is the adjusted price)"),
        (7, "row dated 2024-01-02 before the instrument's listed_date 2024-01-03"),
        (8, "negative volume -5.0"),
        (9, "value / volume = 0.1 lies more than a factor 3 from close 10.0 (volume counts shares, value is "
            "in currency units)"),
        (10, "a bar of '600002.XSHG' on 2024-01-03, a day the flags file has it suspended"),
        (11, "'000300.XSHG' is of type INDX, not a stock (CS)"),
        (12, "value 1000.0 with no volume"),
        (13, "missing adj_factor"),
    ]
    text = str(e.value)
    for row, message in expected:
        assert f"{files['daily_bars']}: row {row} (line {row + 1}): {message}" in text
    assert len(e.value.problems) == len(expected)
