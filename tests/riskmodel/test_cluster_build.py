"""A risk-model build spread over a Dask cluster writes the same files, bit for bit, as a local build."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from velquor.const import ESTIMATED_RISK_MODELS, CovModel
from velquor.riskmodel import service
from velquor.riskmodel.store import ENV_DIR


def _files(root: Path) -> dict[str, dict[str, np.ndarray]]:
    out = {}
    for f in sorted(root.rglob("*.npz")):
        with np.load(f) as z:
            out[str(f.relative_to(root))] = {k: z[k] for k in z.files}
    return out


def _build(monkeypatch, where: Path, start, end, client=None) -> tuple[int, Path]:
    monkeypatch.setenv(ENV_DIR, str(where))
    service.forget()
    n = service.build(start, end, list(CovModel), list(ESTIMATED_RISK_MODELS), client=client)
    return n, service.context().store.root


def test_cluster_build_writes_the_files_of_a_local_build(market_copy, switch_db, tmp_path, monkeypatch):
    import distributed

    switch_db(market_copy("cluster"))
    ctx = service.context()
    last = ctx.universe.last
    start, end = ctx.date(last - 44), ctx.date(last)  # two pieces of about 20 dates on two workers
    n_local, local = _build(monkeypatch, tmp_path / "local", start, end)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0", silence_logs=50) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        n_cluster, remote = _build(monkeypatch, tmp_path / "cluster", start, end, client)
        assert client.status == "running"
        # nothing left to do: a second cluster build finds every date
        assert service.build(start, end, list(CovModel), list(ESTIMATED_RISK_MODELS), client=client) == 0
    assert n_local == n_cluster == 45
    a, b = _files(local), _files(remote)
    assert a.keys() == b.keys() and len(a) == 45 * 7  # six variants and the exposures per date
    for name in a:
        for k in a[name]:
            np.testing.assert_array_equal(a[name][k], b[name][k], err_msg=f"{name}:{k}")


def test_pieces_cover_the_runs_once():
    runs = [(100, 199), (300, 305)]
    pieces = service._pieces(runs, 4)
    dates = [p for a, b in pieces for p in range(a, b + 1)]
    assert dates == list(range(100, 200)) + list(range(300, 306))
    assert [b - a + 1 for a, b in pieces] == [25, 25, 25, 25, 6]  # a short run stays whole


def test_a_worker_seeing_other_data_refuses_to_write(market_copy, switch_db, tmp_path):
    switch_db(market_copy("other"))
    ctx = service.context()
    with pytest.raises(RuntimeError, match="other market data"):
        service.build_piece(str(ctx.db_path), str(tmp_path / "2026-01-01-0123456789abcdef"), ctx.universe.last,
                            ctx.universe.last, [("daily", "v1")], False)
