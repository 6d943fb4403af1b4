"""The client's contract on the fixture market: records, calendar, price change rates, index weights."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import zorvata

pytestmark = pytest.mark.usefixtures("market_db")


def _sql(query, *params):
    return zorvata.connect().cursor().execute(query, list(params)).df()


@pytest.fixture(scope="module")
def stocks():
    return zorvata.all_instruments("CS")


class TestInstruments:
    def test_single_string_gives_one_record(self, stocks):
        oid = stocks.order_book_id[0]
        rec = zorvata.instruments(oid)
        assert isinstance(rec, zorvata.Instrument)
        assert (rec.order_book_id, rec.type) == (oid, "CS")
        assert len(rec.listed_date) == 10 and rec.listed_date[4] == "-"

    def test_unknown_string_gives_none(self):
        assert zorvata.instruments("999999.XSHG") is None

    @pytest.mark.parametrize("kind", [list, tuple, set])
    def test_collection_gives_known_records_only(self, stocks, kind):
        ids = list(stocks.order_book_id[:3])
        got = zorvata.instruments(kind(ids + ["999999.XSHG"]))
        assert isinstance(got, list)
        assert sorted(r.order_book_id for r in got) == sorted(ids)

    def test_list_keeps_order_and_repeats(self, stocks):
        a, b = stocks.order_book_id[:2]
        assert [r.order_book_id for r in zorvata.instruments([b, a, b])] == [b, a, b]

    def test_empty_list(self):
        assert zorvata.instruments([]) == []

    def test_not_iterable_is_a_clear_error(self):
        with pytest.raises(zorvata.DataError, match="order_book_ids must be"):
            zorvata.instruments(5)

    def test_live_and_delisted_dates(self, stocks):
        live = stocks[stocks.de_listed_date == "0000-00-00"].order_book_id[0]
        assert zorvata.instruments(live).de_listed is None
        gone = stocks[stocks.de_listed_date != "0000-00-00"]
        assert len(gone), "the fixture market has delistings"
        rec = zorvata.instruments(gone.order_book_id.iloc[0])
        assert rec.de_listed_date > rec.listed_date
        assert not rec.is_listed_on(rec.de_listed_date) and rec.is_listed_on(rec.listed_date)
        # nothing trades on or after the delisting day
        rows = _sql("SELECT count(*) AS n FROM price_change_rate WHERE order_book_id = ? AND date >= ?",
                    rec.order_book_id, rec.de_listed)
        assert rows.n[0] == 0

    def test_indices_and_etfs(self):
        for iid in ("000300.XSHG", "000905.XSHG", "000985.XSHG"):
            assert zorvata.instruments(iid).type == "INDX"
        assert set(zorvata.all_instruments("ETF").order_book_id) >= {"510300.XSHG"}

    def test_all_instruments_on_a_date(self, stocks):
        day = "2025-03-03"
        got = set(zorvata.all_instruments("CS", day).order_book_id)
        recs = zorvata.instruments(list(stocks.order_book_id))
        expect = {r.order_book_id for r in recs if r.is_listed_on(day)}
        assert got == expect and 0 < len(got) < len(stocks)

    def test_industries_under_two_schemes(self, stocks):
        sw, ci = zorvata.get_industry(source="sw"), zorvata.get_industry(source="citics")
        assert sw.index.equals(ci.index) and len(sw) == len(stocks)
        assert set(sw) <= set(zorvata.get_industry_names("sw").index)
        assert (sw.str[2:] != ci.str[2:]).any()
        with pytest.raises(zorvata.DataError, match="unknown industry classification"):
            zorvata.get_industry(source="gics")

    def test_industry_as_of_a_date(self, stocks):
        day = "2016-06-01"
        sw = zorvata.get_industry(source="sw", date=day)
        listed = {r.order_book_id for r in zorvata.instruments(list(stocks.order_book_id)) if r.listed_date <= day}
        assert set(sw.index) == listed  # a stock has a code from its listing on
        split = zorvata.get_industry(source="sw_split_financials", date=day)
        names = zorvata.get_industry_names("sw_split_financials")
        assert set(split) <= set(names.index) and {"证券", "保险", "多元金融"} <= set(names)
        assert "非银金融" not in set(names)
        same = split[~split.str.startswith("SWF")]
        assert (same == sw[same.index]).all()
        picked = zorvata.get_industry(["nope", sw.index[1], sw.index[0]], source="citics", date=day)
        assert list(picked.index) == [sw.index[1], sw.index[0]]

    def test_labelled_synthetic(self):
        assert "synthetic" in zorvata.meta()["label"]


class TestCalendar:
    @pytest.mark.parametrize("date, n, expected", [
        ("2024-02-08", 1, "2024-02-19"),    # Spring Festival: closed 9 to 18 February 2024
        ("2024-02-19", -1, "2024-02-08"),
        ("2024-02-12", -1, "2024-02-08"),   # from inside the holiday
        ("2024-02-12", 1, "2024-02-19"),
        ("2024-02-12", 0, "2024-02-08"),
        ("2024-09-30", 1, "2024-10-08"),    # National Day
        ("2024-10-08", -2, "2024-09-27"),
        ("2024-10-09", 0, "2024-10-09"),
    ])
    def test_offsets_across_holidays(self, date, n, expected):
        assert zorvata.trading_date_offset(date, n) == dt.date.fromisoformat(expected)

    @pytest.mark.parametrize("value", ["2024-10-08", "20241008", dt.date(2024, 10, 8),
                                       dt.datetime(2024, 10, 8, 23, 59), pd.Timestamp("2024-10-08"),
                                       np.datetime64("2024-10-08")])
    def test_date_forms(self, value):
        assert zorvata.get_previous_trading_date(value) == dt.date(2024, 9, 30)

    def test_window_matches_trading_dates(self):
        end = dt.date(2025, 6, 30)
        start = zorvata.trading_date_offset(end, -252)
        days = zorvata.get_trading_dates(start, end)
        assert len(days) == 253 and days[0] == start and days[-1] == end
        assert all(isinstance(d, dt.date) for d in days)

    @pytest.mark.parametrize("call", [
        lambda: zorvata.trading_date_offset("2023-06-01", -1),
        lambda: zorvata.trading_date_offset("2020-01-02", 5),
        lambda: zorvata.trading_date_offset("2030-01-02", -5),
        lambda: zorvata.get_trading_dates("2020-01-01", "2024-01-01"),
    ])
    def test_outside_the_calendar(self, call):
        with pytest.raises(zorvata.DateOutOfRange):
            call()

    @pytest.mark.parametrize("bad", ["not a date", 20240102, None])
    def test_bad_dates(self, bad):
        with pytest.raises(zorvata.DataError):
            zorvata.trading_date_offset(bad, 1)


class TestPriceChangeRate:
    def test_frame_shape_and_values(self, stocks):
        ids = list(stocks.order_book_id[:5])
        df = zorvata.get_price_change_rate(ids, "2025-01-02", "2025-03-31")
        assert isinstance(df.index, pd.DatetimeIndex)
        assert [d.date() for d in df.index] == zorvata.get_trading_dates("2025-01-02", "2025-03-31")
        raw = _sql("SELECT date, order_book_id, rate FROM price_change_rate WHERE date BETWEEN ? AND ?",
                   dt.date(2025, 1, 2), dt.date(2025, 3, 31))
        expect = raw.pivot(index="date", columns="order_book_id", values="rate")
        expect = expect.reindex(index=df.index, columns=df.columns)
        np.testing.assert_array_equal(df.to_numpy(), expect.to_numpy())

    def test_single_string_is_one_selectable_column(self):
        df = zorvata.get_price_change_rate("000300.XSHG", "2025-01-02", "2025-12-31")
        assert list(df.columns) == ["000300.XSHG"]
        assert np.isfinite(df["000300.XSHG"].mean())

    def test_suspended_days_are_nan(self):
        # a traded-but-suspended day in stock_daily (listed, turnover 0) has no price row
        sus = _sql("SELECT date, order_book_id FROM stock_daily WHERE turnover = 0 AND date > "
                   "(SELECT min(date) FROM trading_dates) + 30 ORDER BY date LIMIT 1")
        assert len(sus), "the fixture market has suspensions"
        day, oid = sus.date[0], sus.order_book_id[0]
        df = zorvata.get_price_change_rate([oid], day - pd.Timedelta(days=40), day)
        assert np.isnan(df.loc[day, oid])
        assert df[oid].notna().any()

    def test_unknown_and_dataless_ids_have_no_column(self, stocks):
        later = stocks[stocks.listed_date > "2026-01-01"].order_book_id
        assert len(later)
        oid = stocks.order_book_id[0]
        df = zorvata.get_price_change_rate([oid, "999999.XSHG", later.iloc[0]], "2025-01-02", "2025-01-31")
        assert list(df.columns) == [oid]

    def test_empty_list_keeps_the_date_index(self):
        df = zorvata.get_price_change_rate([], "2025-01-02", "2025-01-10")
        assert df.shape == (len(zorvata.get_trading_dates("2025-01-02", "2025-01-10")), 0)

    def test_end_after_the_data_stops_at_the_last_day(self):
        df = zorvata.get_price_change_rate("000300.XSHG", "2026-11-20", "2026-12-15")
        assert df.index[-1] == pd.Timestamp(zorvata.data_end()) == pd.Timestamp("2026-11-30")

    @pytest.mark.parametrize("start, end, exc", [
        ("2025-02-01", "2025-01-01", zorvata.DataError),
        ("2026-12-02", "2026-12-10", zorvata.DateOutOfRange),
        ("2020-01-01", "2025-01-01", zorvata.DateOutOfRange),
    ])
    def test_bad_ranges(self, start, end, exc):
        with pytest.raises(exc):
            zorvata.get_price_change_rate("000300.XSHG", start, end)

    def test_returns_panel_covers_the_traded_stocks(self, stocks):
        df = zorvata.get_returns_panel("2025-06-02", "2025-06-30")
        traded = set(zorvata.all_instruments("CS", "2025-06-02").order_book_id)
        assert set(df.columns) <= set(stocks.order_book_id)
        assert len(traded - set(df.columns)) <= 2  # only stocks suspended all month are missing


class TestIndexWeights:
    def test_rebalance_set(self):
        d = zorvata.get_index_rebalance_dates("000300.XSHG")[5]
        w = zorvata.index_weights("000300.XSHG", d)
        assert w.name == "weight" and w.index.name == "order_book_id"
        assert w.sum() == pytest.approx(1.0) and (w > 0).all()
        assert {r.type for r in zorvata.instruments(list(w.index))} == {"CS"}

    def test_non_rebalance_date_uses_the_previous_set(self):
        dates = zorvata.get_index_rebalance_dates("000905.XSHG")
        d0, d1 = dates[3], dates[4]
        between = zorvata.trading_date_offset(d1, -1)
        assert d0 < between < d1
        pd.testing.assert_series_equal(zorvata.index_weights("000905.XSHG", between),
                                       zorvata.index_weights("000905.XSHG", d0))
        assert not zorvata.index_weights("000905.XSHG", d1).equals(zorvata.index_weights("000905.XSHG", d0))

    def test_a_caller_changing_its_series_changes_no_later_answer(self):
        w = zorvata.index_weights("000300.XSHG", "2025-06-03")
        first = w.copy()
        w.iloc[:] = 0.0
        w.index.name = "x"
        pd.testing.assert_series_equal(zorvata.index_weights("000300.XSHG", "2025-06-03"), first)

    def test_ex_is_the_same_series(self):
        pd.testing.assert_series_equal(zorvata.index_weights_ex("000985.XSHG", "2025-05-06"),
                                       zorvata.index_weights("000985.XSHG", "2025-05-06"))

    @pytest.mark.parametrize("index_id, date, exc", [
        ("999999.XSHG", "2025-05-06", zorvata.UnknownInstrument),
        ("510300.XSHG", "2025-05-06", zorvata.DataError),      # an ETF has no constituents
        ("000300.XSHG", "2023-05-01", zorvata.DateOutOfRange),  # before the first set
        ("000300.XSHG", "2031-01-01", zorvata.DateOutOfRange),  # beyond the calendar
    ])
    def test_nothing_to_return(self, index_id, date, exc):
        with pytest.raises(exc):
            zorvata.index_weights(index_id, date)
        if exc is not zorvata.DateOutOfRange or date < "2030":
            assert zorvata.index_weights_ex(index_id, date) is None

    def test_index_return_is_the_weighted_constituent_return(self):
        # on a weight date the weights are those of the previous close, so the day's index return is the
        # weighted return of the constituents (a suspended constituent contributes 0)
        d = zorvata.get_index_rebalance_dates("000300.XSHG")[7]
        w = zorvata.index_weights("000300.XSHG", d)
        r = zorvata.get_price_change_rate(list(w.index) + ["000300.XSHG"], d, d)
        idx = r.pop("000300.XSHG").iloc[0]
        assert idx == pytest.approx((r.iloc[0].reindex(w.index).fillna(0.0) * w).sum(), abs=1e-12)

    def test_large_and_mid_caps_do_not_overlap(self):
        d = "2025-07-01"
        large, mid = zorvata.index_weights("000300.XSHG", d), zorvata.index_weights("000905.XSHG", d)
        assert not set(large.index) & set(mid.index)
        assert set(large.index) | set(mid.index) <= set(zorvata.index_weights("000985.XSHG", d).index)


class TestReaders:
    def test_stock_daily(self, stocks):
        ids = list(stocks.order_book_id[:4])
        df = zorvata.get_stock_daily("2025-01-02", "2025-01-10", ["market_cap", "turnover"], ids)
        assert list(df.columns) == ["date", "order_book_id", "market_cap", "turnover"]
        assert set(df.order_book_id) <= set(ids) and (df.market_cap > 0).all()
        with pytest.raises(zorvata.DataError, match="unknown field"):
            zorvata.get_stock_daily("2025-01-02", "2025-01-10", ["price"])

    def test_latest_fundamentals_are_point_in_time(self, stocks):
        oid = stocks.order_book_id[0]
        allf = zorvata.get_fundamentals("2020-01-01", "2026-11-30", order_book_ids=[oid])
        cut = allf.announce_date.iloc[len(allf) // 2]
        got = zorvata.get_latest_fundamentals(cut, ["book_value"], [oid]).loc[oid]
        seen = allf[allf.announce_date <= cut]
        best = seen.loc[seen.report_date.idxmax()]
        assert got.report_date == best.report_date and got.book_value == best.book_value
