"""The multi-factor equity risk model behind ``velquor.helper.OptimizeHelper``."""

from .service import build, context, get_model

__all__ = ["build", "context", "get_model"]
