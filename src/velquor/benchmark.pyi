"""Type stubs of the benchmark extension module."""

__all__ = ["OptimizeBenchmark", "IndexBenchmark"]


import datetime
from abc import abstractmethod as abstractmethod

import pandas as pd
import zorvata as zorvata

from .exception import InvalidArgument as InvalidArgument

class OptimizeBenchmark:
    """自定义基准抽象类"""

    @abstractmethod
    def get_weight(self, date: datetime.date) -> pd.Series: ...
    @abstractmethod
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float: ...

class IndexBenchmark(OptimizeBenchmark):
    _order_book_id: str

    def __init__(self, order_book_id: str) -> None: ...
    def get_weight(self, date: datetime.date) -> pd.Series: ...
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float: ...
