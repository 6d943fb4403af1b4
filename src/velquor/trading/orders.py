"""Share orders from target weights: board lots, a price, a minimum trade value and a cash buffer."""

from __future__ import annotations

import dataclasses

import pandas as pd

__all__ = ["OrderResult", "to_orders"]


@dataclasses.dataclass(frozen=True)
class OrderResult:
    """What `to_orders` returns."""

    orders: pd.DataFrame
    weights: pd.Series
    cash: float
    tracking_error: float


def to_orders(target_weights, date, capital=None, current_shares=None, **options) -> OrderResult:
    """Share orders that bring `current_shares` to `target_weights` on `date` (being written)."""
    raise NotImplementedError
