"""Point-in-time report states and one-day returns, on hand-made inputs."""

from __future__ import annotations

import duckdb
import numpy as np
import pandas as pd

from velquor.riskmodel.data import Universe, _fundamentals, _register_ids, one_day_returns, report_states


def _reports(rows):
    f = pd.DataFrame(rows, columns=["col", "report_date", "announce_date", "sales"])
    for c in ("report_date", "announce_date"):
        f[c] = pd.to_datetime(f[c])
    f["book_value"] = f["earnings"] = f["total_debt"] = f["sales"]
    return f


def test_each_announcement_sees_the_versions_known_then():
    st = report_states(_reports([
        (0, "2023-12-31", "2024-03-20", 100.0),
        (0, "2024-12-31", "2025-03-20", 150.0),   # +50 % on the first version of last year
        (0, "2023-12-31", "2025-05-10", 200.0),   # last year restated: growth falls to -25 %
        (0, "2024-12-31", "2025-06-01", 180.0),   # the latest report restated: -10 % against 200
        (1, "2024-12-31", "2025-03-21", 50.0),    # another stock without a year-earlier report
    ]))
    st = st.sort_values("announce_date", kind="stable").reset_index(drop=True)
    mine = st[st["col"] == 0]
    # the restatement of an older year never makes it the latest report: the values stay 2024's
    np.testing.assert_allclose(mine["sales"], [100.0, 150.0, 150.0, 180.0])
    np.testing.assert_allclose(mine["growth"].iloc[1:], [0.5, 150 / 200 - 1, 180 / 200 - 1])
    assert np.isnan(st.loc[st["col"] == 1, "growth"]).all()


def test_a_return_after_days_without_one_is_left_out():
    nan = np.nan
    ret = np.array([[0.01, nan, 0.02],
                    [nan, nan, 0.01],
                    [0.03, nan, nan],
                    [0.02, 0.05, 0.04],
                    [0.01, 0.02, 0.03]])
    # column 1 lists on calendar position 12 (row 2): its first return (row 3) is kept
    out = one_day_returns(ret, np.array([0, 12, 0]), start=10)
    expected = ret.copy()
    expected[2, 0] = nan  # after the day without a return
    expected[3, 2] = nan
    np.testing.assert_array_equal(out, expected)


def test_fundamentals_panel_holds_each_days_latest_known_values():
    nan = np.nan
    dates = pd.bdate_range("2024-01-01", periods=8).to_numpy(dtype="datetime64[D]")
    uni = Universe(dates=dates, ids=np.array(["A", "B", "C"]), industry_names=[], listed=dates[:3], last=7)
    con = duckdb.connect()
    con.execute("CREATE TABLE fundamentals (order_book_id VARCHAR, report_date DATE, announce_date DATE, "
                "book_value DOUBLE, earnings DOUBLE, sales DOUBLE, total_debt DOUBLE)")
    con.executemany("INSERT INTO fundamentals VALUES (?, ?, ?, ?, ?, 1.0, 1.0)", [
        ("A", "2023-09-30", "2023-10-30", 1.0, 10.0),  # before the panel: on its first row
        ("A", "2023-12-31", "2024-01-03", 2.0, 20.0),
        ("A", "2024-03-31", "2024-01-04", 3.0, None),  # no earnings: the last known ones stay
        ("A", "2023-12-31", "2024-01-05", 2.5, 25.0),  # an older report restated: not the latest
        ("B", "2023-09-30", "2024-01-06", 4.0, 40.0),  # a Saturday: known from Monday's close ...
        ("B", "2023-12-31", "2024-01-06", 5.0, 50.0),  # ... with the later report of the day
        ("C", "2023-12-31", "2024-01-11", 7.0, 70.0),  # after the panel's last day
    ])
    _register_ids(con, uni)
    book, earnings = _fundamentals(con, uni, 1, 6)[:2]  # panel rows: calendar positions 1 .. 5
    np.testing.assert_array_equal(book, [[1, nan, nan], [2, nan, nan], [3, nan, nan], [3, nan, nan],
                                         [3, 5, nan]])
    np.testing.assert_array_equal(earnings[:, 0], [10, 20, 20, 20, 20])


def test_fundamentals_panel_does_not_depend_on_how_much_history_precedes_it():
    # Ten years of quarterly reports with restatements (some of old reports, announced just before the late
    # panel starts): the late panel's rows equal the same rows of a panel that starts at the beginning.
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2014-01-01", "2024-12-31").to_numpy(dtype="datetime64[D]")
    ids = np.array([f"S{i}" for i in range(6)])
    uni = Universe(dates=dates, ids=ids, industry_names=[], listed=np.repeat(dates[0], len(ids)),
                   last=len(dates) - 1)
    rows = []
    for oid in ids:
        for q in pd.date_range("2013-03-31", "2024-09-30", freq="QE"):
            ann = q + pd.Timedelta(days=int(rng.integers(20, 80)))
            rows.append((oid, q.date(), ann.date(), *rng.uniform(1, 10, 4)))
            if rng.random() < 0.3:  # restated later, sometimes years later
                late = ann + pd.Timedelta(days=int(rng.integers(30, 1500)))
                rows.append((oid, q.date(), late.date(), *rng.uniform(1, 10, 4)))
    con = duckdb.connect()
    con.execute("CREATE TABLE fundamentals (order_book_id VARCHAR, report_date DATE, announce_date DATE, "
                "book_value DOUBLE, earnings DOUBLE, sales DOUBLE, total_debt DOUBLE)")
    con.executemany("INSERT INTO fundamentals VALUES (?, ?, ?, ?, ?, ?, ?)", rows)
    _register_ids(con, uni)
    stop = len(dates)
    full = _fundamentals(con, uni, 0, stop)
    late = int(np.searchsorted(dates, np.datetime64("2022-06-15")))
    for whole, part in zip(full, _fundamentals(con, uni, late, stop)):
        np.testing.assert_array_equal(part, whole[late:])
    assert np.isfinite(full[-1][late:]).all()  # growth is known throughout: the year-earlier reports were read
