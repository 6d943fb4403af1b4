"""Trading: turning target weights into share orders an exchange accepts."""

from __future__ import annotations

from .orders import OrderResult, to_orders

__all__ = ["OrderResult", "to_orders"]
