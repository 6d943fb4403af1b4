"""The backtest's one point of contact with the risk model's internals.

Everything the backtest needs from the estimation pipeline and the estimate store goes through the functions
here: which as-of dates a run needs and which of them are stored, estimating a run of dates in a worker (which
only reads the market file) and writing the results in the client, and handing a stored model to a worker so
that it never estimates or reads the store on its own.
"""

from __future__ import annotations

import datetime as _dt
from typing import Iterable

from ..const import CovModel, RiskModel
from ..riskmodel import service
from ..riskmodel._blas import single_threaded_blas
from ..riskmodel.pipeline import estimate_range

__all__ = ["single_threaded_blas", "market_fingerprint", "asof_day", "missing", "compute", "persist",
           "load", "install"]

Variant = tuple[CovModel, RiskModel]


def market_fingerprint() -> str:
    """Identifies the configured market database's contents (the same file on every machine gives the same)."""
    return service.context().store.root.name


def asof_day(date: _dt.date) -> tuple[int, str]:
    """Calendar position and day text of the model a request for ``date`` uses; InvalidArgument when the
    market data cannot support a model for it."""
    ctx = service.context()
    pos = service.resolve_asof(ctx, date)
    return pos, ctx.day(pos)


def missing(positions: Iterable[int], variants: Iterable[Variant]) -> dict[int, list[Variant]]:
    """The as-of positions (with their variants) the store has no estimate for."""
    ctx = service.context()
    out: dict[int, list[Variant]] = {}
    for p in sorted(set(positions)):
        need = [v for v in variants if not ctx.store.has(ctx.day(p), *v)]
        if need:
            out[p] = need
    return out


def compute(lo: int, hi: int, variants: list[Variant]) -> list:
    """Estimates of ``variants`` for as-of positions ``lo .. hi`` from the market file, nothing written.

    Returns ``(estimate, cov_model, risk_model)`` triples ready for :func:`persist`.
    """
    import zorvata

    ctx = service.context()
    out: list = []
    con = zorvata.connect().cursor()
    try:
        with single_threaded_blas():
            estimate_range(con, ctx.universe, lo, hi, variants, lambda est, cm, rm: out.append((est, cm, rm)))
    finally:
        con.close()
    return out


def persist(estimates: list) -> None:
    """Writes estimates computed by :func:`compute` (in any process on the same market data) to the store."""
    ctx = service.context()
    uni = ctx.universe
    for est, cm, rm in estimates:
        ctx.store.write(ctx.day(est.asof), cm, rm, list(uni.ids[est.rows]), est.style, uni.industry[est.rows],
                        uni.industry_names, est.cap, est.factor_cov, est.specific_var)


def load(pos: int, variant: Variant):
    """The stored model as of ``pos`` (an opaque, picklable object for :func:`install`), or None."""
    ctx = service.context()
    model = ctx.store.read(ctx.day(pos), *variant)
    return None if model is None else (pos, variant, model)


def install(payload) -> None:
    """Makes a model from :func:`load` the one this process's optimisations use for its date and variant."""
    pos, (cm, rm), model = payload
    ctx = service.context()
    service._cache_put((str(ctx.store.root), pos, cm, rm), model)
