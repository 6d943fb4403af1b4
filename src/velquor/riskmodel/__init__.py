"""The multi-factor equity risk model behind ``velquor.helper.OptimizeHelper``.

``get_model`` serves the persisted model of a date (building it on first use); ``build`` persists a range
of dates ahead of time; ``estimate_date`` computes one date's estimate without writing and
``store_estimate`` persists a given estimate (the two halves of a build, for callers that compute in one
process and write in another); ``prune`` removes estimate directories no database refers to.
"""

from .service import build, context, estimate_date, get_model, prune, store_estimate

__all__ = ["build", "context", "estimate_date", "get_model", "prune", "store_estimate"]
