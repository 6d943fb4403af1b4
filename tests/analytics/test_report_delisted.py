"""A book holding a stock the risk model has no data for (delisted): warned, held as cash, said in the report."""

from __future__ import annotations

import pandas as pd
import pytest
import zorvata

from velquor.analytics import render_report, risk_report
from velquor.exception import OptimizerWarning

from .analytics_support import DATE, INDEX


@pytest.fixture(scope="module")
def delisted(market_db):
    frame = zorvata.all_instruments("CS")
    gone = frame[[d is not None and "1990" < str(d) < DATE for d in frame["de_listed_date"]]]
    return str(gone["order_book_id"].iloc[0])


def test_delisted_holding_is_cash_in_the_report(weights, delisted):
    book = pd.concat([weights * 0.95, pd.Series({delisted: 0.05})])
    with pytest.warns(OptimizerWarning, match=f"no risk model data for {delisted} .*5.0000% is held as cash"):
        report = risk_report(book, DATE, INDEX)
    plain = risk_report(weights * 0.95, DATE, INDEX)
    assert report.summary["cash_without_model_data"] == pytest.approx(0.05)
    assert report.summary["without_model_data"] == delisted
    assert delisted not in report.stocks.index
    assert report.summary["total_risk"] == pytest.approx(plain.summary["total_risk"], rel=1e-12)
    assert report.summary["tracking_error"] == pytest.approx(plain.summary["tracking_error"], rel=1e-12)
    text = render_report(report, {}, "md")
    assert f"| held as cash (no risk-model data) | 5.00%: {delisted} |" in text


def test_only_delisted_stocks_is_refused(market_db, delisted):
    from velquor.exception import InvalidArgument

    with pytest.raises(InvalidArgument, match="no stock of the portfolio has risk model data"):
        risk_report(pd.Series({delisted: 1.0}), DATE)
