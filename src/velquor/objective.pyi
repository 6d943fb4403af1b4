"""Type stubs of the objective extension module."""

__all__ = ["OptimizationObjective", "MinVariance", "MinActiveVariance", "MeanVariance", "ActiveMeanVariance",
    "RiskParity", "MinTrackingError", "MaxInformationRatio", "MaxSharpeRatio", "MaxIndicator",
    "MinStyleDeviation"]


import warnings as warnings
from abc import ABCMeta as ABCMeta
from typing import Any, ClassVar, Protocol

import cvxpy as cp
import numpy as np
import pandas as pd
import zorvata as zorvata

from .const import STYLE_FACTORS as STYLE_FACTORS
from .exception import InvalidArgument as InvalidArgument
from .exception import OptimizerWarning as OptimizerWarning
from .helper import OptimizeHelper

class _TransactionCostModel(Protocol):
    def get_penalty(self, g: cp.Variable, helper: OptimizeHelper) -> cp.Expression | float: ...

_Zeta = float | int | cp.Variable
_SeriesLike = pd.Series | dict[Any, Any] | list[Any] | np.ndarray

def ensure_series(obj: object, name: str) -> pd.Series: ...

class OptimizationObjective(metaclass=ABCMeta):
    def get_objective_expr(
        self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper
    ) -> cp.Expression | int: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MinVariance(OptimizationObjective):
    """风险最小化"""

class MinActiveVariance(OptimizationObjective):
    """主动风险最小化"""

class MeanVariance(OptimizationObjective):
    """收益/风险优化"""

    _expected_returns: pd.Series | None
    _estimate: tuple[tuple[Any, Any, tuple[str, ...]], pd.Series]
    _window: int
    _risk_aversion_coefficient: float
    _transaction_cost_model: _TransactionCostModel | None

    def __init__(
        self,
        *,
        expected_returns: _SeriesLike | None = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
        transaction_cost_model: _TransactionCostModel | None = None,
    ) -> None: ...

class ActiveMeanVariance(OptimizationObjective):
    """主动收益/主动风险优化"""

    _expected_active_returns: pd.Series | None
    _window: int
    _risk_aversion_coefficient: float
    _transaction_cost_model: _TransactionCostModel | None

    def __init__(
        self,
        *,
        expected_active_returns: _SeriesLike | None = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
        transaction_cost_model: _TransactionCostModel | None = None,
    ) -> None: ...

class RiskParity(OptimizationObjective):
    """风险平价"""

class MinTrackingError(OptimizationObjective):
    """最小追踪误差"""

class MaxInformationRatio(OptimizationObjective):
    """最大信息比率"""

    _expected_active_returns: pd.Series | None
    _window: int

    def __init__(self, *, expected_active_returns: _SeriesLike | None = None, window: int = 252) -> None: ...

class MaxSharpeRatio(OptimizationObjective):
    """最大化夏普比率"""

    _expected_returns: pd.Series | None
    _estimate: tuple[tuple[Any, Any, tuple[str, ...]], pd.Series]
    _window: int

    def __init__(self, *, expected_returns: _SeriesLike | None = None, window: int = 252) -> None: ...

class MaxIndicator(OptimizationObjective):
    """指标最大化"""

    _indicator_series: pd.Series

    def __init__(self, indicator_series: _SeriesLike) -> None: ...

class MinStyleDeviation(OptimizationObjective):
    """风格偏离最小化"""

    PRIORITY_ADJUST_FACTOR: ClassVar[list[int]]
    _target_style: pd.Series
    _relative: object
    _priority: pd.Series | None

    def __init__(
        self, target_style: _SeriesLike, *, relative: bool = False, priority: _SeriesLike | None = None
    ) -> None: ...
