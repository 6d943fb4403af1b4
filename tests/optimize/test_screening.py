"""Screening of the stock pool: ensure_order_book_ids against the market-data client's records."""

import datetime as dt
import types
import warnings

import pytest

import velquor.optimize as opt
from velquor.exception import InvalidArgument, OptimizerWarning

DATE = "2019-01-02"


def record(oid, type_="CS", listed="2010-01-04", delisted="0000-00-00"):
    return types.SimpleNamespace(order_book_id=oid, type=type_, listed_date=listed, de_listed_date=delisted)


RECORDS = {r.order_book_id: r for r in [
    record("A"), record("B"), record("C"), record("IDX", "INDX"), record("NEW", listed="2019-01-03"),
    record("TODAY", listed=DATE), record("GONE", delisted=DATE), record("GOING", delisted="2019-01-03"),
    record("ALL", "INDX", listed="2020-01-01", delisted="2018-01-01"),
]}


class Client:
    """instruments() as the client answers: a record (or None) for one text, a list of the known otherwise."""

    def __init__(self, answer=None):
        self.calls = []
        self.answer = answer

    def instruments(self, ids):
        self.calls.append(ids)
        if self.answer is not None:
            return self.answer
        return RECORDS.get(ids) if isinstance(ids, str) else [RECORDS[i] for i in ids if i in RECORDS]


@pytest.fixture
def client(monkeypatch):
    c = Client()
    monkeypatch.setattr(opt, "zorvata", c)
    return c


def screen(pool, date=DATE):
    # Stands where portfolio_optimize stands: level 3 of the drop warnings names the code calling us.
    return opt.ensure_order_book_ids(pool, date)


def texts(w):
    return [str(x.message) for x in w]


class TestResult:
    @pytest.mark.parametrize("pool, result", [
        ("A", ["A"]), (["C", "A", "B"], ["A", "B", "C"]), ({"B", "A"}, ["A", "B"]), (iter(["B", "A"]), ["A", "B"]),
        (["A", "unknown"], ["A"]), ("unknown", []),  # None for a single unknown identifier: an empty pool
        (["GOING"], ["GOING"]),
    ])
    def test_pool(self, client, pool, result):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert opt.ensure_order_book_ids(pool, DATE) == result
        assert client.calls == [pool]  # the caller's object, unchanged, once

    @pytest.mark.parametrize("answer, result", [
        (type("Records", (list,), {})([RECORDS["B"], RECORDS["A"]]), ["A", "B"]),  # a list subclass is a list
        ([None, RECORDS["A"]], ["A"]),  # a None in the list is no record either
    ])
    def test_client_answers(self, monkeypatch, answer, result):
        monkeypatch.setattr(opt, "zorvata", Client(answer))
        assert opt.ensure_order_book_ids(["A", "B"], DATE) == result

    def test_patching_the_real_client_module(self, monkeypatch):
        import zorvata

        monkeypatch.setattr(opt, "zorvata", zorvata)
        monkeypatch.setattr(zorvata, "instruments", lambda ids: [RECORDS["C"]])
        assert opt.ensure_order_book_ids(["C"], DATE) == ["C"]

    def test_real_store(self, market_db):
        import zorvata

        stocks = zorvata.all_instruments(type="CS", date="2025-06-02")["order_book_id"].tolist()[:5]
        assert opt.ensure_order_book_ids(stocks[::-1], dt.date(2025, 6, 2)) == sorted(stocks)


class TestWarnings:
    @pytest.mark.parametrize("pool, messages", [
        (["A", "IDX"], ["IDX 不是股票，被剔除"]),
        (["NEW"], ["NEW 在 2019-01-02 尚未上市，被剔除"]),
        (["TODAY"], ["TODAY 在 2019-01-02 当天上市，被剔除"]),
        (["GONE"], ["GONE 在 2019-01-02 时已退市，被剔除"]),
        (["ALL"], ["ALL 不是股票，被剔除"]),  # first failing test only
        (["IDX", "A", "IDX"], ["IDX 不是股票，被剔除"] * 2),  # dropped ids are reported each time, not as duplicates
    ])
    def test_drops(self, client, pool, messages):
        with pytest.warns(OptimizerWarning) as w:
            screen(pool)
        assert texts(w) == messages
        assert {x.category for x in w} == {OptimizerWarning}
        assert {x.filename for x in w} == {__file__}

    def test_datetime_shown_as_date_text(self, client):
        with pytest.warns(OptimizerWarning) as w:
            screen(["TODAY"], dt.datetime(2019, 1, 2, 15, 30))
        assert texts(w) == ["TODAY 在 2019-01-02 当天上市，被剔除"]

    def test_duplicate(self, client):
        with pytest.warns(UserWarning) as w:
            assert screen(["B", "A", "B"]) == ["A", "B"]
        assert texts(w) == ["重复的 order_book_id: B, 仅保留一个"]
        assert w[0].category is UserWarning
        # default level: the warning belongs to the screening itself, not to its caller
        assert w[0].filename == opt.__file__

    def test_duplicate_follows_the_ordinary_filters(self, client):
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("ignore", UserWarning)
            warnings.simplefilter("always", OptimizerWarning)
            screen(["B", "B", "IDX"])
        assert texts(w) == ["IDX 不是股票，被剔除"]

    def test_through_portfolio_optimize(self, client, monkeypatch):
        # The driver calls the screening from C++: neither has a frame, yet level 3 must still name the code
        # that called portfolio_optimize.
        class Stop(Exception):
            pass

        def helper(*args):
            raise Stop

        monkeypatch.setattr(opt, "OptimizeHelper", helper)
        with pytest.warns(UserWarning) as w, pytest.raises(Stop):
            opt.portfolio_optimize(["B", "A", "B", "IDX"], DATE)
        assert texts(w) == ["重复的 order_book_id: B, 仅保留一个", "IDX 不是股票，被剔除"]
        assert [x.filename for x in w] == [opt.__file__, __file__]


class TestFailures:
    @pytest.mark.parametrize("pool", [5, None])
    def test_pool_not_iterable_before_the_date(self, client, pool):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.ensure_order_book_ids(pool, "not a date")
        assert str(excinfo.value) == "order_book_ids 非法"
        assert client.calls == []

    def test_bad_date_before_the_client(self, client):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.ensure_order_book_ids(["A"], 20190102)
        assert str(excinfo.value) == "expect a datetime like object, got <class 'int'>(20190102)"
        assert client.calls == []

    @pytest.mark.parametrize("bad", [
        types.SimpleNamespace(order_book_id="B"),              # no type
        types.SimpleNamespace(order_book_id=["B"], type="CS"),  # unhashable identifier
        record("B", listed=None),                               # does not compare with text
        record(1),                                              # does not sort with text
        (RECORDS["A"],),                                        # a tuple is one record, not a list
    ])
    def test_odd_records_raise(self, monkeypatch, bad):
        monkeypatch.setattr(opt, "zorvata", Client([RECORDS["A"], bad]))
        with pytest.raises((AttributeError, TypeError)):
            opt.ensure_order_book_ids(["A"], DATE)
