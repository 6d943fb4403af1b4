"""Every engine computes the same bits; run_many keeps its results in order."""

from __future__ import annotations

import numpy as np
import pytest

from backtest_support import cap_by_holdings
from conftest import basic_backtest


def _same(a, b) -> None:
    assert a.weights.equals(b.weights)
    assert a.holdings.equals(b.holdings)
    assert np.array_equal(a.nav.to_numpy(), b.nav.to_numpy())
    assert a.status.equals(b.status)
    assert a.turnover.equals(b.turnover)


@pytest.mark.slow
class TestEngines:
    def test_process_pool_matches_serial_bit_for_bit(self, basic):
        bt, serial = basic
        _same(serial, bt.run(engine="process", workers=2, progress=False))

    def test_dask_local_cluster_matches_serial_bit_for_bit(self, basic):
        bt, serial = basic
        _same(serial, bt.run(engine="dask", workers=2, progress=False))

    def test_dask_with_a_client_of_the_caller(self, basic):
        import distributed

        bt, serial = basic
        with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=50) as cluster, distributed.Client(cluster) as client:
            _same(serial, bt.run(engine="dask", client=client, progress=False))
            assert client.status == "running"  # the caller's client stays usable

    def test_run_many_in_order_with_a_path_dependent_backtest(self, basic):
        from velquor.backtest import run_many

        bt, serial = basic
        dependent = basic_backtest(cons=cap_by_holdings, bnds=None)
        alone = dependent.run(progress=False)
        got = run_many([dependent, bt], engine="process", workers=2, progress=False)
        _same(alone, got[0])
        _same(serial, got[1])
        assert alone.weights.max(axis=1).iloc[0] <= 0.3 + 1e-6
        assert (alone.weights.max(axis=1).iloc[1:] <= 0.25 + 1e-6).all()
