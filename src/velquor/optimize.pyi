"""Type stubs of the optimize extension module."""

__all__ = ["portfolio_optimize", "prepare_request"]


import datetime as datetime
import logging as logging
import os as os
import time as time
import warnings as warnings
from enum import Enum
from types import SimpleNamespace
from typing import Any, Iterable as Iterable, Mapping, Sequence, TypeVar

import cvxpy as cp
import numpy as np
import numpy.typing as npt
import pandas as pd
import zorvata as zorvata
from dateutil.parser import parse as parse_datetime

from .benchmark import IndexBenchmark as IndexBenchmark, OptimizeBenchmark as OptimizeBenchmark
from .const import (
    ESTIMATED_RISK_MODELS as ESTIMATED_RISK_MODELS,
    STYLE_FACTORS as STYLE_FACTORS,
    CovModel as CovModel,
    RiskModel as RiskModel,
)
from .exception import (
    InvalidArgument as InvalidArgument,
    OptimizationFailed as OptimizationFailed,
    OptimizerWarning as OptimizerWarning,
)
from .helper import OptimizeHelper as OptimizeHelper
from .objective import (
    ActiveMeanVariance as ActiveMeanVariance,
    MaxInformationRatio as MaxInformationRatio,
    MaxSharpeRatio as MaxSharpeRatio,
    MinActiveVariance as MinActiveVariance,
    MinTrackingError as MinTrackingError,
    MinVariance as MinVariance,
    OptimizationObjective as OptimizationObjective,
    RiskParity as RiskParity,
)

_E = TypeVar("_E", bound=Enum)
DateLike = datetime.date | datetime.datetime | str

# --- input functions --------------------------------------------------------------------------------------

def to_enum(v: Any, enum_type: type[_E]) -> _E: ...
def to_date(dt: DateLike) -> datetime.date: ...
def ensure_date_str(date: DateLike) -> str: ...
def ensure_order_book_ids(order_book_ids: Iterable[str] | str, date: DateLike) -> list[str]: ...
def ensure_bound(v: float | str | None) -> float | None: ...
def parse_bnds(
    bnds: Mapping[str, tuple[float | None, float | None]], order_book_ids: Sequence[str]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

# --- driver: module constants and the entry point ---------------------------------------------------------

DEBUG: bool
DEFAULT_OBJECTIVE: MinVariance

def portfolio_optimize(
    order_book_ids: Iterable[str] | str,
    date: DateLike,
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
) -> pd.Series: ...

# --- the request read as portfolio_optimize reads it, without solving --------------------------------------

def prepare_request(
    order_book_ids: Iterable[str] | str,
    date: DateLike,
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
) -> SimpleNamespace: ...
