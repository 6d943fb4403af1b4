"""Where the work units run: in this process, in a local pool of spawned processes, or on Dask.

All three offer the same small interface (submit, wait for any, result, close), so the scheduler that walks
the backtests over their dates is the same whatever runs the work.
"""

from __future__ import annotations

import concurrent.futures as cf
import concurrent.futures.process  # noqa: F401 - BrokenProcessPool
import contextlib
import os
from typing import Any, Callable

from ..exception import InvalidArgument
from ._tasks import WORKER_ENV, init_worker

__all__ = ["ENGINES", "Engine", "LazyEngine", "check_engine", "make_engine"]

ENGINES = ("serial", "process", "dask")


class Engine:
    """Runs work units; ``parallel`` tells the scheduler whether submitting ahead pays."""

    name = "serial"
    parallel = False
    workers = 1

    def submit(self, fn: Callable, *args) -> Any:
        fut: cf.Future = cf.Future()
        try:
            fut.set_result(fn(*args))
        except Exception as e:  # noqa: BLE001 - surfaces through result() like a worker's error
            fut.set_exception(e)
        return fut

    def wait_any(self, pending: list) -> list:
        done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
        return list(done)

    def result(self, fut) -> Any:
        return fut.result()

    def close(self) -> None:
        pass


class ProcessEngine(Engine):
    """A pool of worker processes started with the spawn method (DuckDB and BLAS threads never fork)."""

    name = "process"
    parallel = True

    def __init__(self, workers: int) -> None:
        self.workers = workers
        self._pool = self._start()

    def _start(self) -> cf.ProcessPoolExecutor:
        import multiprocessing

        # Workers inherit the environment at spawn: one BLAS/OpenMP thread each, set before numpy loads.
        saved = {k: os.environ.get(k) for k in WORKER_ENV}
        os.environ.update(WORKER_ENV)
        try:
            pool = cf.ProcessPoolExecutor(self.workers, mp_context=multiprocessing.get_context("spawn"),
                                          initializer=init_worker)
            # Start the workers now, while the environment is set.
            list(pool.map(int, range(self.workers)))
            return pool
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v

    def submit(self, fn, *args):
        try:
            return self._pool.submit(fn, *args)
        except cf.process.BrokenProcessPool:
            # A worker died (its tasks fail with the reason); the rest of the run gets a fresh pool.
            self._pool.shutdown(wait=False, cancel_futures=True)
            self._pool = self._start()
            return self._pool.submit(fn, *args)

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)


class DaskEngine(Engine):
    """A ``distributed.Client``: the caller's, or one on a LocalCluster started (and stopped) here."""

    name = "dask"
    parallel = True

    def __init__(self, workers: int | None, client=None) -> None:
        import distributed

        import queue

        self._done: queue.Queue = queue.Queue()
        self._cluster = None
        self._quiet = _quiet_logs()
        if client is None:
            self._cluster = distributed.LocalCluster(
                n_workers=workers or max(os.cpu_count() or 1, 1), threads_per_worker=1, processes=True,
                dashboard_address="127.0.0.1:0", silence_logs=50, env=dict(WORKER_ENV))
            client = distributed.Client(self._cluster, set_as_default=False)
        self._client = client
        self.workers = max(sum(client.nthreads().values()), 1)

    def submit(self, fn, *args):
        fut = self._client.submit(fn, *args, pure=False)
        fut.add_done_callback(self._done.put)
        return fut

    def wait_any(self, pending):
        # Futures report themselves through the queue when they finish (callbacks run on the client's thread).
        wanted = set(pending)
        while True:
            fut = self._done.get()
            if fut in wanted:
                break
        done = [fut]
        while not self._done.empty():
            f = self._done.get_nowait()
            if f in wanted and f not in done:
                done.append(f)
        return done

    def result(self, fut):
        return fut.result()

    def close(self) -> None:
        try:
            if self._cluster is not None:
                with contextlib.suppress(Exception):
                    self._client.close()
                with contextlib.suppress(Exception):
                    self._cluster.close()
        finally:
            for logger, level in self._quiet:
                logger.setLevel(level)


def _quiet_logs() -> list:
    """Raises Dask's loggers to ERROR while a cluster of ours starts, runs and stops (its info records would
    otherwise reach any handler on the root logger); returns what to restore."""
    import logging

    saved = []
    for name in ("distributed", "distributed.scheduler", "distributed.nanny", "distributed.core",
                 "distributed.worker", "distributed.http.proxy"):
        logger = logging.getLogger(name)
        saved.append((logger, logger.level))
        logger.setLevel(logging.ERROR)
    return saved


class LazyEngine(Engine):
    """An engine started on its first task: a run that finds everything done (or runs here) starts none."""

    def __init__(self, engine: str, workers: int | None, client) -> None:
        self._args = (engine, workers, client)
        self._engine: Engine | None = None
        self.name = engine
        self.parallel = engine != "serial"
        if client is not None:
            self.workers = max(sum(client.nthreads().values()), 1)
        else:
            self.workers = 1 if engine == "serial" else workers or max(os.cpu_count() or 1, 1)

    def submit(self, fn, *args):
        if self._engine is None:
            self._engine = make_engine(*self._args)
        return self._engine.submit(fn, *args)

    def wait_any(self, pending):
        assert self._engine is not None
        return self._engine.wait_any(pending)

    def result(self, fut):
        assert self._engine is not None
        return self._engine.result(fut)

    def close(self) -> None:
        if self._engine is not None:
            self._engine.close()


def make_engine(engine: str, workers: int | None, client) -> Engine:
    if engine == "serial":
        return Engine()
    if engine == "process":
        return ProcessEngine(workers or max(os.cpu_count() or 1, 1))
    return DaskEngine(workers, client)


def check_engine(engine, workers, client) -> None:
    """Bad engine settings raise InvalidArgument before any work starts."""
    if engine not in ENGINES:
        raise InvalidArgument(f"engine must be one of {list(ENGINES)}, got {engine!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise InvalidArgument(f"workers must be a positive int or None, got {workers!r}")
    if client is not None and engine != "dask":
        raise InvalidArgument(f"client is only used by the dask engine, not by {engine!r}")
    if client is not None and workers is not None:
        raise InvalidArgument("workers and client exclude each other: the client's cluster has its workers")
