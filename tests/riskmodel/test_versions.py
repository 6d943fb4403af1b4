"""What separates the model versions on a real estimate: V1's factor correlations are shrunk towards the
identity with its variances kept, and that setting leaves V2 alone."""

from __future__ import annotations

import dataclasses

import numpy as np
import zorvata

from velquor.const import CovModel, RiskModel
from velquor.riskmodel import params, pipeline, service
from velquor.riskmodel.kernels import shrink_correlation

from .riskmodel_support import DATE

DAILY = CovModel.FACTOR_MODEL_DAILY
VARIANTS = [(DAILY, RiskModel.V1), (DAILY, RiskModel.V2)]


def _estimates(ctx, pos):
    out = {}
    con = zorvata.connect().cursor()
    try:
        pipeline.estimate_range(con, ctx.universe, pos, pos, VARIANTS, lambda est, cm, rm: out.__setitem__(rm, est))
    finally:
        con.close()
    return out


def _smallest_corr_eigenvalue(cov):
    sd = np.sqrt(np.diag(cov))
    keep = sd > 0
    return np.linalg.eigvalsh(cov[np.ix_(keep, keep)] / np.outer(sd[keep], sd[keep]))[0]


def test_v1_correlation_shrinkage_keeps_variances_lifts_small_eigenvalues_and_spares_v2(market_db, monkeypatch):
    ctx = service.context()
    pos = service.resolve_asof(ctx, DATE)
    w = params.HORIZONS[DAILY].v1_corr_shrinkage
    assert 0 < w < 0.5
    shrunk = _estimates(ctx, pos)
    monkeypatch.setitem(params.HORIZONS, DAILY, dataclasses.replace(params.HORIZONS[DAILY], v1_corr_shrinkage=0.0))
    plain = _estimates(ctx, pos)

    v1, v1_plain = shrunk[RiskModel.V1].factor_cov, plain[RiskModel.V1].factor_cov
    np.testing.assert_allclose(np.diag(v1), np.diag(v1_plain), rtol=1e-12)
    np.testing.assert_allclose(v1, shrink_correlation(v1_plain, w), rtol=1e-10, atol=1e-16)
    assert _smallest_corr_eigenvalue(v1) > _smallest_corr_eigenvalue(v1_plain) + 0.5 * w
    np.testing.assert_array_equal(shrunk[RiskModel.V1].specific_var, plain[RiskModel.V1].specific_var)
    for name in ("factor_cov", "specific_var"):
        np.testing.assert_array_equal(getattr(shrunk[RiskModel.V2], name), getattr(plain[RiskModel.V2], name))
