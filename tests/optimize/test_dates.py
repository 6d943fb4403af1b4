"""Dates and enumeration values: to_date, ensure_date_str, to_enum."""

import datetime as dt
import enum

import dateutil.parser
import numpy as np
import pandas as pd
import pytest

import velquor.optimize as opt
from velquor.const import CovModel, RiskModel
from velquor.exception import InvalidArgument

EXPECT = "expect a datetime like object, got "


class TestToDate:
    @pytest.mark.parametrize("value", [
        dt.datetime(2019, 1, 2, 23, 59),
        # the zone is dropped, not converted: 23:59 at UTC+8 is still 2 January
        dt.datetime(2019, 1, 2, 23, 59, tzinfo=dt.timezone(dt.timedelta(hours=8))),
        pd.Timestamp("2019-01-02 23:59", tz="Asia/Shanghai"),
        "2019-1-2", "2 Jan 2019", "20190102",
    ])
    def test_date_like(self, value):
        result = opt.to_date(value)
        assert type(result) is dt.date and result == dt.date(2019, 1, 2)

    def test_date_is_returned_itself(self):
        d = dt.date(2019, 1, 2)
        assert opt.to_date(d) is d

    @pytest.mark.parametrize("value, shown", [
        (20190102, "<class 'int'>(20190102)"),
        (None, "<class 'NoneType'>(None)"),
        (np.datetime64("2019-01-02"), "<class 'numpy.datetime64'>(np.datetime64('2019-01-02'))"),
    ])
    def test_not_date_like(self, value, shown):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.to_date(value)
        assert excinfo.value.args == (EXPECT + shown,)

    def test_parser_error_is_not_wrapped(self):
        with pytest.raises(dateutil.parser.ParserError) as excinfo:
            opt.to_date("not a date")
        assert not isinstance(excinfo.value, InvalidArgument)

    def test_collaborators_looked_up_at_call_time(self, monkeypatch):
        monkeypatch.setattr(opt, "parse_datetime", lambda text: dt.datetime(2000, 5, 6, 7, 8))
        assert opt.to_date("whatever") == dt.date(2000, 5, 6)
        monkeypatch.setattr(opt, "to_date", lambda value: dt.date(1, 2, 3))
        assert opt.ensure_date_str("ignored") == "0001-02-03"


@pytest.mark.parametrize("value, text", [
    ("2019-1-2", "2019-01-02"), (dt.date(999, 1, 1), "0999-01-01"), (dt.datetime(2019, 12, 31, 23, 59), "2019-12-31"),
])
def test_ensure_date_str(value, text):
    assert opt.ensure_date_str(value) == text


class Colour(enum.Enum):
    RED = "red"
    CRIMSON = "red"  # alias: the walk meets RED first
    GREEN = "GREEN"
    BLUE = "blue"
    second = "BLUE_"
    first = "second"  # another member's name as a value: matched through the value only


class TestToEnum:
    @pytest.mark.parametrize("value, member", [
        (CovModel.FACTOR_MODEL_MONTHLY, CovModel.FACTOR_MODEL_MONTHLY), ("daily", CovModel.FACTOR_MODEL_DAILY),
        ("v2", RiskModel.V2), ("red", Colour.RED), ("GREEN", Colour.GREEN), ("second", Colour.first),
    ])
    def test_match(self, value, member):
        assert opt.to_enum(value, type(member)) is member

    @pytest.mark.parametrize("value, enum_type, text", [
        ("BLUE", Colour, "invalid value BLUE for Colour"),  # a name only
        ("DAILY", CovModel, "invalid value DAILY for CovModel"),
        (None, CovModel, "invalid value None for CovModel"),
        (RiskModel.V1, CovModel, "invalid value RiskModel.V1 for CovModel"),
        # the member's own NaN: `==` is False, there is no identity shortcut
        (float("nan"), enum.Enum("NanEnum", {"X": float("nan")}), "invalid value nan for NanEnum"),
    ])
    def test_no_match(self, value, enum_type, text):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.to_enum(value, enum_type)
        assert str(excinfo.value) == text

    def test_same_nan_object(self):
        nan = float("nan")
        with pytest.raises(InvalidArgument):
            opt.to_enum(nan, enum.Enum("NanEnum", {"X": nan}))

    def test_equality_error_propagates(self):
        class Angry:
            def __eq__(self, other):
                raise ZeroDivisionError("eq")

            __hash__ = object.__hash__

        with pytest.raises(ZeroDivisionError, match="eq"):
            opt.to_enum(Angry(), CovModel)
