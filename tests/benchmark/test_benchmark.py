"""The benchmark interface and the index benchmark."""

import abc
import types

import pandas as pd
import pytest

import velquor.benchmark as bm
from velquor.benchmark import IndexBenchmark, OptimizeBenchmark
from velquor.exception import InvalidArgument

INDEX = "000300.XSHG"
WEIGHTS = pd.Series([0.6, 0.4], index=["A", "B"], name="weight")


class Client:
    """The market-data client as the index benchmark calls it; records every call."""

    def __init__(self, **extra):
        self.calls = []
        self.__dict__.update(extra)

    def instruments(self, oid):
        self.calls.append(("instruments", oid))
        t = {INDEX: "INDX", "A": "CS"}.get(oid)
        return None if t is None else types.SimpleNamespace(order_book_id="record-id", type=t)

    def index_weights(self, oid, date):
        self.calls.append(("index_weights", oid, date))
        return WEIGHTS

    def trading_date_offset(self, date, n):
        self.calls.append(("trading_date_offset", date, n))
        return "start"

    def get_price_change_rate(self, oid, start, end):
        self.calls.append(("get_price_change_rate", oid, start, end))
        return pd.DataFrame({oid: [0.01, None, 0.03], "other": [1.0, 1.0, 1.0]})


@pytest.fixture
def client(monkeypatch):
    c = Client()
    monkeypatch.setattr(bm, "zorvata", c)
    return c


class TestInterface:
    def test_class(self):
        assert type(OptimizeBenchmark) is type and OptimizeBenchmark.__bases__ == (object,)
        assert OptimizeBenchmark.__doc__ == "自定义基准抽象类"
        assert [k for k in vars(OptimizeBenchmark) if k.startswith("get_")] == ["get_weight", "get_expected_returns"]
        assert OptimizeBenchmark.get_weight.__isabstractmethod__ is True
        assert OptimizeBenchmark.get_expected_returns.__isabstractmethod__ is True
        assert [k for k in vars(bm) if not k.startswith("__")] == [
            "abstractmethod", "zorvata", "InvalidArgument", "OptimizeBenchmark", "IndexBenchmark"]
        assert bm.abstractmethod is abc.abstractmethod

    def test_docstrings(self):
        assert OptimizeBenchmark.get_weight.__doc__.split("\n") == [
            "", "        获取 date 日期的持仓权重。此函数必需实现。", "",
            "        :param date: datetime.date", "        :return: pd.Series, index 为order_book_id", "        "]
        assert OptimizeBenchmark.get_expected_returns.__doc__.split("\n") == [
            "", "        获得 date 日期的年化期望收益。",
            "        仅当使用 :class:`MaxInformationRatio` / :class:`ActiveMeanVariance` 目标函数，",
            "        且不指定 `expected_active_returns` 时需要实现此函数", "",
            "        :param date: datetime.date", "        :param window: 回溯窗口大小", "        :return: float",
            "        "]

    def test_user_subclass_overriding_one_operation(self):
        class Fixed(OptimizeBenchmark):
            def get_weight(self, date):
                return WEIGHTS

        b = Fixed()
        assert isinstance(b, OptimizeBenchmark) and b.get_weight(None) is WEIGHTS
        for call in (lambda: b.get_expected_returns("2024-01-02", window=60),
                     lambda: OptimizeBenchmark().get_weight("2024-01-02")):
            with pytest.raises(NotImplementedError) as excinfo:
                call()
            assert excinfo.value.args == ()


class TestIndexBenchmark:
    def test_construction(self, client):
        b = IndexBenchmark(order_book_id=INDEX)
        assert isinstance(b, OptimizeBenchmark)
        assert vars(b) == {"_order_book_id": INDEX}  # the argument, not the record's identifier
        assert client.calls == [("instruments", INDEX)]
        assert IndexBenchmark.__doc__ is None

    @pytest.mark.parametrize("oid, text", [
        ("A", "仅支持指数类型的 benchmark, 传入的 benchmark 是 CS 类型"),
        ("nope", "无效的 benchmark: nope"),
        (None, "无效的 benchmark: None"),
    ])
    def test_rejected(self, client, oid, text):
        with pytest.raises(InvalidArgument) as excinfo:
            IndexBenchmark(oid)
        assert str(excinfo.value) == text

    @pytest.mark.parametrize("extended", [
        None, lambda oid, date: None, lambda oid, date: 1 / 0, lambda oid, date: {}[oid],
    ])
    def test_weight_falls_back_to_index_weights(self, monkeypatch, extended):
        c = Client() if extended is None else Client(index_weights_ex=extended)
        monkeypatch.setattr(bm, "zorvata", c)
        assert IndexBenchmark(INDEX).get_weight("d") is WEIGHTS
        assert c.calls[-1] == ("index_weights", INDEX, "d")

    def test_extended_answer_wins_and_is_looked_up_each_call(self, client):
        b = IndexBenchmark(INDEX)
        assert b.get_weight("d") is WEIGHTS
        seen = []
        client.index_weights_ex = lambda oid, date: seen.append((oid, date)) or "fresh"
        assert b.get_weight(date="d") == "fresh"
        assert seen == [(INDEX, "d")] and client.calls[-1][0] == "index_weights"  # not called again

    def test_interrupt_in_extended_is_not_swallowed(self, monkeypatch):
        def extended(oid, date):
            raise KeyboardInterrupt

        monkeypatch.setattr(bm, "zorvata", Client(index_weights_ex=extended))
        with pytest.raises(KeyboardInterrupt):
            IndexBenchmark(INDEX).get_weight("d")

    @pytest.mark.parametrize("kwargs, offset", [({}, -252), ({"window": 60}, -60)])
    def test_expected_returns(self, client, kwargs, offset):
        # mean of 0.01 and 0.03 (the missing day skipped), always times 252
        assert IndexBenchmark(INDEX).get_expected_returns("end", **kwargs) == pytest.approx(0.02 * 252)
        assert client.calls[1:] == [("trading_date_offset", "end", offset),
                                    ("get_price_change_rate", INDEX, "start", "end")]

    def test_subclass_override_is_honoured(self, client):
        class Flat(IndexBenchmark):
            def get_expected_returns(self, date, window=252):
                return 0.05

        assert Flat(INDEX).get_expected_returns("end") == 0.05 and Flat(INDEX).get_weight("d") is WEIGHTS

    def test_real_store(self, market_db):
        import zorvata

        b = IndexBenchmark(zorvata.all_instruments(type="INDX")["order_book_id"].iloc[0])
        date = pd.Timestamp("2026-06-01").date()
        assert b.get_weight(date).sum() == pytest.approx(1.0)
        assert isinstance(b.get_expected_returns(date, 20), float)
