"""Trading on the exchange: orders in board lots, costs, liquidity and the exchange's rules (suspensions, price
limits, ST)."""

from .costs import CostModel
from .orders import OrderResult, board_lots, to_orders

__all__ = ["CostModel", "OrderResult", "board_lots", "to_orders"]
