"""Work units of a backtest: module-level functions that run in the client or in any worker process.

Each function takes only picklable values (ids, dates, objective and constraint instances, stored models)
and returns plain data. Every one runs its numerical work with the BLAS thread pool pinned to one thread, in
the client as in a worker, so a rebalance computes the same bits whichever engine runs it.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import heapq
import itertools
import math
import os
import sys
import threading
import time
import traceback
import warnings
from dataclasses import dataclass, field
from typing import Any

from zorvata.infra import steady_heap, worker_heap

from ._spill import spilled

#: Environment of worker processes the backtest starts itself, set before they import numpy: one thread
#: per BLAS/OpenMP pool (the engines parallelise over dates instead).
WORKER_ENV = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}

#: Warning text of the optimiser when it drops the soft constraints of an infeasible problem.
_SOFT_DROPPED = "约束无法满足，放弃所有软约束重试"
#: Trading days per year, for annualising horizons.
YEAR = 252
_HORIZON_DAYS = {"daily": 1, "monthly": 21, "quarterly": 63}


class TaskInterrupted(Exception):
    """A task stopped by Ctrl-C. Sent back as an ordinary error (a Dask worker would end itself on a
    KeyboardInterrupt); the engine raises KeyboardInterrupt in the client when it receives it."""


def init_worker(parent: int | None = None, death_signal: bool = False) -> None:
    """Initialiser of the process-pool workers (the environment is set by the pool before the start).

    The worker ends when its parent ``parent`` does, however that ends (SIGKILL included): the kernel sends it
    SIGKILL when ``death_signal`` (the parent's spawning thread lives as long as the parent), and a thread
    watching the parent's pid ends it otherwise.
    """
    for k, v in WORKER_ENV.items():
        os.environ.setdefault(k, v)
    worker_heap()
    if parent is None:
        return
    if death_signal and sys.platform.startswith("linux"):
        import ctypes  # noqa: TID251 - prctl, not the BLAS threads
        import signal

        with contextlib.suppress(OSError, AttributeError):
            pr_set_pdeathsig = 1
            ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, int(signal.SIGKILL), 0, 0, 0)
    if os.getppid() != parent:  # the parent ended before this worker came up
        os._exit(1)
    import threading

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(PARENT_POLL)
        os._exit(1)

    threading.Thread(target=watch, name="velquor-parent-watch", daemon=True).start()


#: Seconds between a worker's checks that its parent is alive.
PARENT_POLL = 0.5


def is_lost_worker(e: BaseException) -> bool:
    """Whether a task failed because its worker was lost (it died, or its pool or cluster broke), not by
    anything the task did."""
    import concurrent.futures.process

    if isinstance(e, (concurrent.futures.process.BrokenProcessPool, concurrent.futures.CancelledError)):
        return True
    return type(e).__module__.startswith("distributed") and type(e).__name__ in (
        "KilledWorker", "CommClosedError", "FutureCancelledError")


def is_transient(e: BaseException) -> bool:
    """Whether a failure says nothing about the date itself (I/O, memory, a lost worker): a resumed run
    computes the date again instead of replaying the failure."""
    if isinstance(e, (OSError, MemoryError, EOFError, TaskInterrupted)) or is_lost_worker(e):
        return True
    # the market database's own I/O and memory errors
    return type(e).__module__.startswith(("duckdb", "_duckdb")) and \
        type(e).__name__ in ("IOException", "OutOfMemoryException")


def unpacked(fn, blob: bytes):
    """``fn`` on the arguments pickled in ``blob``: how the Dask engine sends a task's arguments. A scheduler
    passes bytes on as they are, where it would unpickle a task's own arguments (a rebalance's model, its
    pool and holdings) and pickle them again for the worker: about 6 ms of its CPU per rebalance."""
    from distributed.protocol.pickle import loads

    return fn(*loads(blob))


class Runner:
    """Runs this process's ordered tasks on a Dask worker, held there as an actor: a call goes to its worker
    and back without becoming a task of the scheduler's (see the Dask engine).

    The calls run one at a time on a thread of the runner's, in the order they came, except that a call
    marked ``first`` (a date the others wait for) runs before those still waiting. The thread ends when
    nothing waits (the next call starts another), so a runner left behind holds none."""

    def __init__(self) -> None:
        self._waiting: list = []  # heap of (rank, arrival, fn, args, future, its loop)
        self._lock = threading.Lock()
        self._arrivals = itertools.count()
        self._serving = False

    async def run(self, first: bool, fn, *args):
        import asyncio

        loop = asyncio.get_running_loop()
        done = loop.create_future()
        with self._lock:
            heapq.heappush(self._waiting, (0 if first else 1, next(self._arrivals), fn, args, done, loop))
            if not self._serving:
                self._serving = True
                threading.Thread(target=self._serve, name="velquor-runner", daemon=True).start()
        return await done

    def _serve(self) -> None:
        while True:
            with self._lock:
                if not self._waiting:
                    self._serving = False
                    return
                *_, fn, args, done, loop = heapq.heappop(self._waiting)
            try:
                value, failed = fn(*args), False
            except BaseException as e:  # noqa: BLE001 - goes back to the caller
                value, failed = e, True
            with contextlib.suppress(RuntimeError):  # the worker's loop closed: nobody waits
                loop.call_soon_threadsafe(_settled, done, value, failed)


def _settled(done, value, failed: bool) -> None:
    if not done.done():  # not cancelled meanwhile
        if failed:
            done.set_exception(value)
        else:
            done.set_result(value)


def prepare() -> None:
    """Imports in a worker what the tasks of a run need (history pieces, then rebalances: a chain of
    turnover-limited dates sends its dates ahead too), so that they do not pay for it."""
    from .. import optimize  # noqa: F401 - the optimiser, cvxpy and its solvers
    from . import _estimates  # noqa: F401 - the risk model's pipeline and the market client


@dataclass
class MarketRef:
    """How a worker finds the client's market database and checks it is the same data."""

    db_path: str
    fingerprint: str | None  # None: not known yet (see `_attach`)
    force_path: bool = True  # False on a cluster the caller runs: the workers' own ZORVATA_DB wins


def _attach(market: MarketRef) -> str:
    """Points this process at the client's market database and returns its fingerprint, checked against the
    client's when that is known (the history pieces of a cold run leave before the client has it: the client
    checks what they send back)."""
    import zorvata

    from . import _estimates

    if market.force_path or not os.environ.get("ZORVATA_DB"):
        if str(zorvata.db_path()) != market.db_path:
            zorvata.configure(market.db_path)
    fp = _estimates.market_fingerprint()
    if market.fingerprint is not None:
        check_market(market, fp)
    return fp


def check_market(market: MarketRef, fp: str) -> None:
    """RuntimeError when the fingerprint ``fp`` of a worker's market data is not the client's."""
    import zorvata

    if fp != market.fingerprint:
        raise RuntimeError(f"the worker's market database {zorvata.db_path()} holds other data than the "
                           f"client's {market.db_path} (fingerprint {fp} != {market.fingerprint})")


def history_task(market: MarketRef, lo: int, hi: int, keep: list[int], progress=None,
                 spill: tuple[str, int] | None = None) -> dict:
    """One piece of the risk model's factor history (returned, never written); ``progress(1)`` after each
    day when it runs in the client. ``spill``: the client's directory in shared memory and the first
    position of the piece's history, where a worker that sees the directory (one on the client's machine:
    the name is the client's random one) leaves the piece's large arrays (see :func:`spill_dir`)."""
    from . import _estimates

    try:
        fp = _attach(market)
        with steady_heap():
            piece = _estimates.history_piece(lo, hi, keep, progress)
        piece["fingerprint"] = fp
        if spill is not None and os.path.isdir(spill[0]):
            piece = spilled(piece, spill[0], spill[1])
        return piece
    except BaseException as e:
        _raise_interrupt(e)
        raise


def _raise_interrupt(e: BaseException) -> None:
    """A task's interrupt (or a library's own report of one) goes back as TaskInterrupted."""
    from .._interrupt import is_interrupt

    if is_interrupt(e) and not isinstance(e, TaskInterrupted):
        raise TaskInterrupted("interrupted") from None


@dataclass
class RebalanceJob:
    """Everything one rebalance needs, decided by the client."""

    key: Any  # (backtest number, date position) in the client's bookkeeping
    date: _dt.date
    pool: list[str]
    objective: Any
    bnds: dict | None
    cons: list
    benchmark: Any
    cov_model: str
    risk_model: str
    solver_options: dict
    models: list  # stored-model payloads of the date's variants
    turnover: tuple[float, dict[str, float]] | None = None  # (limit, drifted holdings) when limited


@dataclass
class RebalanceOutcome:
    key: Any
    weights: dict[str, float] | None
    status: str
    ex_ante_te: float = math.nan
    notes: list[str] = field(default_factory=list)
    seconds: float = 0.0
    #: the failure may not recur (I/O, a lost worker, a missing estimate): never kept by a checkpoint
    transient: bool = False


def _failure(e: BaseException) -> str:
    text = str(e).strip().splitlines()
    return f"failed: {type(e).__name__}: {text[0] if text else ''}".rstrip(": ").rstrip()


def _ex_ante_te(job: RebalanceJob, w) -> float:
    """Annualised ex-ante tracking error of ``w`` against the benchmark, from the date's risk model."""
    import numpy as np

    from ..benchmark import IndexBenchmark
    from ..helper import OptimizeHelper

    if job.benchmark is None:
        return math.nan
    bm = IndexBenchmark(job.benchmark) if isinstance(job.benchmark, str) else job.benchmark
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        h = OptimizeHelper(w.index.tolist(), job.date, bm, job.cov_model, job.risk_model, 1.0, 1.0)
        bw = h.benchmark_weight.to_numpy(dtype=np.float64)
        cov = h.get_union_cov_matrix()
    a = np.zeros(len(bw))
    a[:len(w)] = w.to_numpy(dtype=np.float64)
    a -= bw / bw.sum() if bw.sum() != 0 else 0.0
    var = float(a @ (np.asarray(cov) @ a))
    return math.sqrt(max(var, 0.0) * YEAR / _HORIZON_DAYS[job.cov_model])


def rebalance_task(market: MarketRef, job: RebalanceJob) -> RebalanceOutcome:
    """Optimises one rebalance date. Failures come back as a status, never as an exception."""

    with steady_heap():
        return _rebalance(market, job)


def _rebalance(market: MarketRef, job: RebalanceJob) -> RebalanceOutcome:
    from . import _estimates

    t0 = time.perf_counter()
    caught: list = []
    try:
        _attach(market)
        for payload in job.models:
            _estimates.install(payload)
        from ..optimize import portfolio_optimize

        cons = list(job.cons)
        if job.turnover is not None:
            import pandas as pd

            from ..constraint import TurnoverLimit

            limit, held = job.turnover
            cons.append(TurnoverLimit(pd.Series(held, dtype="float64"), limit, hard=True))
        with _estimates.single_threaded_blas(), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            objective = {} if job.objective is None else {"objective": job.objective}
            w = portfolio_optimize(job.pool, job.date, **objective, bnds=job.bnds, cons=cons or None,
                                   benchmark=job.benchmark, cov_model=job.cov_model,
                                   risk_model=job.risk_model, **job.solver_options)
            te = _ex_ante_te(job, w)
        status = "fallback" if any(_SOFT_DROPPED in str(c.message) for c in caught) else "optimal"
        weights = dict(zip(map(str, w.index.tolist()), w.to_numpy(dtype=float).tolist()))
        return RebalanceOutcome(job.key, weights, status, te, _notes(caught), time.perf_counter() - t0)
    except BaseException as e:  # noqa: BLE001 - a failed date is recorded and the run goes on
        _raise_interrupt(e)
        if not isinstance(e, Exception):
            raise
        notes = _notes(caught) + ["".join(traceback.format_exception_only(e)).strip()]
        return RebalanceOutcome(job.key, None, _failure(e), math.nan, notes, time.perf_counter() - t0,
                                transient=is_transient(e))


def _notes(caught: list) -> list[str]:
    return list(dict.fromkeys(f"{c.category.__name__}: {c.message}" for c in caught))
