"""Errors inside the bound checks travel as they are: only a value's refusal to be a float means "no NaN"."""

import pytest

import velquor.optimize as opt


class FlakyFloat:
    """Compares like 0.5; the first float() conversion runs out of memory."""

    def __init__(self):
        self.calls = 0

    def __float__(self):
        self.calls += 1
        if self.calls == 1:
            raise MemoryError("first conversion")
        return 0.5

    def __lt__(self, other):
        return 0.5 < other

    def __gt__(self, other):
        return 0.5 > other


def test_memory_error_of_the_nan_check_propagates():
    with pytest.raises(MemoryError, match="first conversion"):
        opt.parse_bnds({"A": (FlakyFloat(), 0.9)}, ["A", "B"])


def test_a_value_that_is_no_number_is_still_reported_as_a_bad_pair():
    class NotANumber:
        def __lt__(self, other):
            return False

        __gt__ = __lt__

    with pytest.raises(opt.InvalidArgument, match=r"\(lower, upper\)"):
        opt.parse_bnds({"A": (NotANumber(), 0.9)}, ["A", "B"])
