"""Trading on the exchange: costs, liquidity and the exchange's rules (suspensions, price limits, ST)."""

from .costs import CostModel

__all__ = ["CostModel"]
