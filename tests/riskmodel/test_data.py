"""Point-in-time report states and one-day returns, on hand-made inputs."""

from __future__ import annotations

import numpy as np
import pandas as pd

from velquor.riskmodel.data import one_day_returns, report_states


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
