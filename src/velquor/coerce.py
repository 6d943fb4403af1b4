"""Argument values read the one way the Python side of the package reads them: dates and enum members.

A rejected value raises :class:`velquor.exception.InvalidArgument` naming the argument. Dates are read by the
market-data client's own rule (:func:`zorvata.to_date`), so a request and the store agree on what a date is.
"""

from __future__ import annotations

import datetime as _dt
from enum import Enum
from typing import TypeVar

from .exception import InvalidArgument

__all__ = ["to_date", "to_enum"]

E = TypeVar("E", bound=Enum)


def to_date(value, name: str = "date") -> _dt.date:
    """A `datetime.date` from a date, a datetime or Timestamp, a numpy datetime64 or a date text."""
    from zorvata import DataError
    from zorvata.calendar import to_date as read_date

    try:
        return read_date(value)
    except DataError as e:
        raise InvalidArgument(f"{name} must be a date, got {value!r}") from e


def to_enum(value, enum_cls: type[E], name: str) -> E:
    """A member of `enum_cls` from itself, its value or its name (text, either case)."""
    if isinstance(value, enum_cls):
        return value
    for member in enum_cls:
        if isinstance(value, str) and value.lower() in (member.value, member.name.lower()):
            return member
    raise InvalidArgument(f"{name} must be one of {[m.value for m in enum_cls]}, got {value!r}")
