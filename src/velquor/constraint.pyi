"""Type stubs of the constraint extension module."""

__all__ = ["OptimizationConstraint", "TrackingErrorLimit", "TurnoverLimit", "BenchmarkComponentWeightLimit",
    "IndustryConstraint", "WildcardIndustryConstraint", "StyleConstraint", "WildcardStyleConstraint",
    "IndustryComponentLimit", "TradabilityConstraint", "LiquidityLimit", "diagnose"]


import datetime
import warnings as warnings
from abc import ABCMeta as ABCMeta, abstractmethod
from collections.abc import Iterable, Mapping
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import zorvata as zorvata

from . import optimize as optimize
from .benchmark import OptimizeBenchmark
from .const import STYLE_FACTORS as STYLE_FACTORS
from .const import CovModel
from .const import RiskModel
from .const import IndustryClassification as IndustryClassification
from .exception import InvalidArgument as InvalidArgument
from .exception import OptimizationFailed as OptimizationFailed
from .exception import OptimizerWarning as OptimizerWarning
from .helper import OptimizeHelper
from .objective import OptimizationObjective
from .trading import market as market

_Zeta = float | int | cp.Variable

class OptimizationConstraint(metaclass=ABCMeta):
    hard: object
    def __init__(self, hard: object = True) -> None: ...
    @abstractmethod
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class TrackingErrorLimit(OptimizationConstraint):
    upper_limit: float
    def __init__(self, upper_limit: float, hard: object = True) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class TurnoverLimit(OptimizationConstraint):
    current_holdings: pd.Series
    upper_limit: float
    def __init__(
        self, current_holdings: pd.Series | Mapping[str, float], upper_limit: float, hard: object = True
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class BenchmarkComponentWeightLimit(OptimizationConstraint):
    lower_limit: float
    def __init__(self, lower_limit: float, hard: object = True) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

_Names = str | Iterable[str]
_Classification = IndustryClassification | str

class IndustryConstraint(OptimizationConstraint):
    industries: list[str]
    lower_limit: float | None
    upper_limit: float | None
    relative: object
    classification: IndustryClassification
    def __init__(
        self,
        industries: _Names,
        lower_limit: float | None = None,
        upper_limit: float | None = None,
        relative: object = False,
        classification: _Classification = "sw",
        hard: object = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class WildcardIndustryConstraint(OptimizationConstraint):
    lower_limit: float | None
    upper_limit: float | None
    relative: object
    classification: IndustryClassification
    exclude: list[str]
    def __init__(
        self,
        lower_limit: float | None = None,
        upper_limit: float | None = None,
        relative: object = False,
        classification: _Classification = "sw",
        exclude: _Names = (),
        hard: object = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class StyleConstraint(OptimizationConstraint):
    styles: list[str]
    lower_limit: float | None
    upper_limit: float | None
    relative: object
    def __init__(
        self,
        styles: _Names,
        lower_limit: float | None = None,
        upper_limit: float | None = None,
        relative: object = False,
        hard: object = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class WildcardStyleConstraint(OptimizationConstraint):
    lower_limit: float | None
    upper_limit: float | None
    relative: object
    exclude: list[str]
    def __init__(
        self,
        lower_limit: float | None = None,
        upper_limit: float | None = None,
        relative: object = False,
        exclude: _Names = (),
        hard: object = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class IndustryComponentLimit(OptimizationConstraint):
    industries: list[str]
    lower_limit: float | None
    upper_limit: float | None
    relative: object
    classification: IndustryClassification
    def __init__(
        self,
        industries: _Names,
        lower_limit: float | None = None,
        upper_limit: float | None = None,
        relative: object = False,
        classification: _Classification = "sw",
        hard: object = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class TradabilityConstraint(OptimizationConstraint):
    current_holdings: pd.Series
    exclude_st: bool
    def __init__(
        self, current_holdings: pd.Series | Mapping[str, float], exclude_st: object = False, hard: object = True
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

class LiquidityLimit(OptimizationConstraint):
    capital: float
    upper_limit: float
    current_holdings: pd.Series | None
    window: int
    def __init__(
        self,
        capital: float,
        upper_limit: float = 0.1,
        current_holdings: pd.Series | Mapping[str, float] | None = None,
        window: int = 20,
        hard: object = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: OptimizeHelper) -> list[cp.Constraint]: ...

def diagnose(
    order_book_ids: Iterable[str] | str,
    date: datetime.date | datetime.datetime | str,
    objective: OptimizationObjective = ...,
    bnds: Mapping[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: OptimizeBenchmark | str | None = None,
    cov_model: CovModel | str = ...,
    factor_risk_aversion: float = 1.0,
    specific_risk_aversion: float = 1.0,
    solver: str | None = None,
    risk_model: RiskModel | str = ...,
    **solver_options: Any,
) -> pd.DataFrame: ...
