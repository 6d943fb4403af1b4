"""Weight bounds: ensure_bound and parse_bnds."""

from collections import defaultdict
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import velquor.optimize as opt
from velquor.exception import InvalidArgument

POOL = ["A", "B", "C", "D"]
PAIR_FORM = "上下限应该以 (lower, upper) 的形式指定"
NOT_DICT = "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"


class TestEnsureBound:
    @pytest.mark.parametrize("value, result", [(None, None), ("0.25", 0.25), (1, 1.0), (Decimal("0.5"), 0.5)])
    def test_converted(self, value, result):
        out = opt.ensure_bound(value)
        assert out == result and (out is None or type(out) is float)

    @pytest.mark.parametrize("value", ["x", "nan", float("nan")])  # NaN: a bound that bounds nothing
    def test_rejected(self, value):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.ensure_bound(value)
        assert str(excinfo.value) == f"约束的上限或下限非法: {value}"

    @pytest.mark.parametrize("value, error", [([0.1], TypeError), (10 ** 400, OverflowError)])
    def test_other_errors_propagate(self, value, error):
        with pytest.raises(error):
            opt.ensure_bound(value)


def bounds_error(bnds, pool=POOL):
    with pytest.raises(InvalidArgument) as excinfo:
        opt.parse_bnds(bnds, pool)
    return str(excinfo.value)


class TestParseBnds:
    @pytest.mark.parametrize("bnds, lower, upper", [
        ({}, [0.0] * 4, [1.0] * 4),
        ({"*": (0.0, 0.3)}, [0.0] * 4, [0.3] * 4),
        ({"*": (0.25, 0.25)}, [0.25] * 4, [0.25] * 4),  # sums of exactly 1 pass
        ({"*": ("0", "0.5")}, [0.0] * 4, [0.5] * 4),  # the default pair is converted
        ({"*": (0, 1)}, [0.0] * 4, [1.0] * 4),  # ... and checked like a named pair: 0 and 1 are valid
        # label, not position; keys outside the pool ignored; None stands for 0 and 1
        ({"C": (0.1, 0.2), "A": (None, 0.5), "Z": (0.9, 1.0), "B": (0.2, None)}, [0, 0.2, 0.1, 0], [0.5, 1, 0.2, 1]),
        ({"*": (0.1, 0.3), "D": (Fraction(1, 4), Decimal("0.5"))}, [0.1, 0.1, 0.1, 0.25], [0.3, 0.3, 0.3, 0.5]),
        (defaultdict(lambda: (0.0, 0.4)), [0.0] * 4, [0.4] * 4),  # __missing__ is honoured
    ])
    def test_bounds(self, bnds, lower, upper):
        lo, up = opt.parse_bnds(bnds, POOL)
        assert lo.dtype == up.dtype == np.float64
        assert lo.tolist() == lower and up.tolist() == upper

    @pytest.mark.parametrize("bnds, pool, text", [
        ({"*": (0.0, 0.3)}, POOL[:3], "上限之和小于1"),
        ({"*": (0.6, 1.0)}, POOL[:2], "下限之和大于1"),
        # the default pair is checked like a named one, "*" in place of the identifier, before the sums
        ({"*": (0.6, 0.1)}, POOL[:2], "合约 * 的上限 0.1 小于下限 0.6"),
        ({"*": (0, 5)}, POOL, "合约 * 的上限 5.0 无效"),
        ({"*": (-0.1, 0.5)}, POOL, "合约 * 的下限 -0.1 无效"),
        ({"*": ("1.5", "0.2")}, POOL, "合约 * 的下限 1.5 无效"),
        ({}, [], "上限之和小于1"),
        ({"A": (0.5, 0.2)}, POOL, "合约 A 的上限 0.2 小于下限 0.5"),
        ({"A": (-0.1, 0.5)}, POOL, "合约 A 的下限 -0.1 无效"),
        ({"A": (0.1, 1.5)}, POOL, "合约 A 的上限 1.5 无效"),
        ({"A": (1.5, 0.2)}, POOL, "合约 A 的下限 1.5 无效"),  # range tests before the order test
        ({"A": (0.5, -0.2)}, POOL, "合约 A 的上限 -0.2 无效"),
        ({"D": (2, 3), "B": (-1, 0)}, POOL, "合约 B 的下限 -1 无效"),  # first in pool order
        ({"A": (10 ** 100, 1)}, POOL, f"合约 A 的下限 {10 ** 100} 无效"),
        # NaN passes every comparison: rejected as out of range instead of reaching the solver
        ({"A": (float("nan"), 0.5)}, POOL, "合约 A 的下限 nan 无效"),
        ({"A": (0.1, np.float32("nan"))}, POOL, "合约 A 的上限 nan 无效"),
        ({"*": (float("nan"), 1.0)}, POOL, "合约 * 的下限 nan 无效"),
        ({"*": (0.0, "nan")}, POOL, "合约 * 的上限 nan 无效"),
        ([("A", (0, 1))], POOL, NOT_DICT),
        (None, POOL, NOT_DICT),
    ])
    def test_rejected(self, bnds, pool, text):
        assert bounds_error(bnds, pool) == text

    @pytest.mark.parametrize("value", [0.5, ("0", "0.5"), (0.1, "x"), None, (object(), 0.5)])
    def test_not_a_pair_of_numbers(self, value):
        with pytest.raises(InvalidArgument) as excinfo:
            opt.parse_bnds({"A": value}, POOL)
        assert str(excinfo.value) == PAIR_FORM
        assert isinstance(excinfo.value.__context__, TypeError)

    def test_unhashable_identifier(self):
        assert bounds_error({}, [["A"]]) == PAIR_FORM

    @pytest.mark.parametrize("key, value", [("*", 0.5), ("*", (0.1,)), ("*", (0.1, 0.2, 0.3)),
                                            ("A", (0.1,)), ("A", (0.1, 0.2, 0.3))])
    def test_unpacking_errors_are_the_interpreters(self, key, value):
        with pytest.raises((TypeError, ValueError)) as ours:
            opt.parse_bnds({key: value}, POOL)
        with pytest.raises(type(ours.value)) as python:
            lower, upper = value
        assert str(ours.value) == str(python.value)

    def test_key_error_keeps_the_default_other_errors_pass(self):
        class Strict(dict):
            def __missing__(self, key):
                raise KeyError(key)

        class Odd(float):
            def __lt__(self, other):
                raise ArithmeticError("lt")

        assert opt.parse_bnds(Strict(), POOL)[1].tolist() == [1.0] * 4
        with pytest.raises(ArithmeticError, match="lt"):
            opt.parse_bnds({"A": (Odd(0.1), 0.5)}, POOL)
