"""Enumerations and constants shared by the optimiser and the risk model."""

from enum import Enum

__all__ = ["CovModel", "RiskModel", "ESTIMATED_RISK_MODELS", "STYLE_FACTORS", "IndustryClassification",
           "HELD_WEIGHT"]

#: A position counts as held when its weight exceeds this. The solver leaves positions it drives out of the
#: portfolio at 1e-12 .. 1e-8 rather than at zero; every count of held stocks (the command line's, a risk
#: report's) uses this threshold, and `velquor optimize` writes zeros below it.
HELD_WEIGHT = 1e-6


class CovModel(Enum):
    """Forecast horizon of the factor covariance model."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"


class RiskModel(Enum):
    """Version of the risk model: v2 adds eigenfactor and volatility-regime adjustments; custom is the user's own
    model imported into the market data (see velquor.riskmodel.custom)."""

    V1 = "v1"
    V2 = "v2"
    CUSTOM = "custom"


#: The risk-model versions the package estimates itself (every member but the imported one).
ESTIMATED_RISK_MODELS = (RiskModel.V1, RiskModel.V2)


#: Style factors estimated by the risk model, in the order of its exposure columns.
STYLE_FACTORS = [
    "size",
    "beta",
    "momentum",
    "residual_volatility",
    "non_linear_size",
    "book_to_price",
    "liquidity",
    "earnings_yield",
    "growth",
    "leverage",
]


class IndustryClassification(Enum):
    """Industry classification scheme of the market data, for the industry constraints."""

    SW = "sw"
    CITICS = "citics"
    #: the first scheme with non-bank financials split into securities, insurance and diversified financials
    SW_SPLIT_FINANCIALS = "sw_split_financials"
