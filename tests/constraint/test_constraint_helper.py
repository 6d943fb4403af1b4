"""What the helper offers the constraints: the model covariance without aversions, the annualisation,
union style exposures and industries."""

from __future__ import annotations

import numpy as np
import pytest

import velquor.optimize as opt
from velquor.benchmark import IndexBenchmark
from velquor.const import STYLE_FACTORS, CovModel, RiskModel
from velquor.exception import InvalidArgument
from velquor.helper import OptimizeHelper

from .constraint_support import DATE, INDEX


def make(pool, cov_model=CovModel.FACTOR_MODEL_DAILY, fa=1.0, sa=1.0, benchmark=INDEX):
    bm = None if benchmark is None else IndexBenchmark(benchmark)
    return OptimizeHelper(pool, opt.to_date(DATE), bm, cov_model, RiskModel.V1, fa, sa)


@pytest.mark.parametrize("cov_model, periods", [(CovModel.FACTOR_MODEL_DAILY, 252),
                                                (CovModel.FACTOR_MODEL_MONTHLY, 12),
                                                (CovModel.FACTOR_MODEL_QUARTERLY, 4)])
def test_annualization_factor(pool, cov_model, periods):
    assert make(pool, cov_model).annualization_factor == periods


def test_model_covariance_ignores_the_aversions(pool):
    plain, averse = make(pool), make(pool, fa=2.0, sa=0.5)
    np.testing.assert_allclose(averse.get_union_model_cov_matrix(), plain.get_union_cov_matrix(), rtol=1e-12)
    cov = averse.get_union_model_cov_matrix()
    np.testing.assert_allclose(cov.factor_root @ cov.factor_root.T + np.diag(cov.specific_variance), cov,
                               atol=1e-14)
    # The request's own covariance still carries them.
    assert not np.allclose(averse.get_union_cov_matrix(), cov)


def test_union_style_exposure_extends_the_pool_rows(pool):
    h = make(pool)
    union = h.get_union_style_exposure()
    assert list(union.index) == h.union_components and list(union.columns) == STYLE_FACTORS
    assert len(h.union_components) > len(pool)
    np.testing.assert_allclose(union.iloc[: len(pool)].to_numpy(), h.get_factor_exposure()[STYLE_FACTORS].to_numpy())


def test_union_industry(pool):
    h = make(pool, benchmark=None)
    codes = h.get_union_industry("sw")
    assert list(codes.index) == pool and codes.map(lambda c: c is None or c.startswith("SW")).all()
    with pytest.raises(InvalidArgument, match="classification must be one of"):
        h.get_union_industry("gics")
