"""Where the work units run: in this process, in a local pool of spawned processes, or on Dask.

All three offer the same small interface (submit, wait for any, result, close), so the scheduler that walks
the backtests over their dates is the same whatever runs the work. Two more questions let the scheduler keep
this process busy while workers start: ``capacity()`` (how many tasks the engine wants in flight now) and
``helps`` (whether this process may run queued tasks itself meanwhile).
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures as cf
import concurrent.futures.process  # noqa: F401 - BrokenProcessPool
import contextlib
import os
import sys
import threading
import uuid
from typing import Any, Callable

from ..exception import InvalidArgument
from ._tasks import WORKER_ENV, Runner, TaskInterrupted, init_worker, prepare, unpacked

__all__ = ["ENGINES", "Engine", "LazyEngine", "check_engine", "make_engine", "Bar", "close_pools"]

ENGINES = ("serial", "process", "dask")

#: What "no limit" on tasks in flight means (a Dask scheduler queues them itself).
UNLIMITED = 1 << 30
#: Dask priority of a task that goes before the others this process orders (each later one a step lower).
ORDERED_FIRST = 1 << 40


class Engine:
    """Runs work units; ``parallel`` tells the scheduler whether submitting ahead pays."""

    name = "serial"
    parallel = False
    workers = 1
    helps = True

    def capacity(self) -> int:
        """Tasks to keep in flight on the engine now; the rest this process runs itself when it ``helps``."""
        return 0

    def submit(self, fn: Callable, *args, first: bool | None = None) -> Any:
        """Runs ``fn(*args)``. ``first`` is None where the engine may place and order the task as it likes (a
        cluster balancing a wave of independent dates); a bool where this process keeps a few tasks in flight
        and orders them itself, True for one that goes before those already waiting (a date the others wait
        for)."""
        fut: cf.Future = cf.Future()
        try:
            fut.set_result(fn(*args))
        except TaskInterrupted:
            raise KeyboardInterrupt() from None
        except Exception as e:  # noqa: BLE001 - surfaces through result() like a worker's error
            fut.set_exception(e)
        return fut

    def submit_all(self, fn: Callable, calls: list[tuple]) -> list:
        """``submit(fn, *args)`` for each ``args`` of ``calls``, unordered (``first`` None), sent together."""
        return [self.submit(fn, *args) for args in calls]

    def wait_any(self, pending: list) -> list:
        done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
        return list(done)

    def result(self, fut) -> Any:
        return _result(fut)

    def bar(self, progress: bool, total: int, desc: str, unit: str) -> "Bar":
        return Bar(progress, total, desc, unit)

    def close(self, abort: bool = False) -> None:
        """Ends the run; ``abort`` when it was interrupted or failed (work still running is stopped)."""


def _result(fut, fetch: Callable[[], Any] | None = None) -> Any:
    """A task's result (``fetch``: how to get it, else ``fut.result()``); a task stopped by Ctrl-C in its
    worker raises KeyboardInterrupt here."""
    try:
        return fut.result() if fetch is None else fetch()
    except TaskInterrupted:
        raise KeyboardInterrupt() from None


class Bar:
    """A progress bar in this process (tqdm); ``track`` is for engines whose own display follows futures."""

    def __init__(self, progress: bool, total: int, desc: str, unit: str) -> None:
        from tqdm import tqdm

        self._bar = tqdm(total=total, desc=desc, unit=unit, disable=not progress or total == 0, leave=False)

    def update(self, n: int = 1) -> None:
        self._bar.update(n)

    def track(self, futures: list) -> None:
        pass

    def close(self) -> None:
        self._bar.close()


@contextlib.contextmanager
def _environ_restored(keys, values: dict[str, str] | None = None):
    """Runs the block with ``values`` set in this process's environment; after it, the variables ``keys``
    are as they were before (set, or not set)."""
    saved = {k: os.environ.get(k) for k in keys}
    os.environ.update(values or {})
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def _worker_environment():
    """Spawned processes inherit the environment: one BLAS/OpenMP thread each, set before numpy loads."""
    return _environ_restored(WORKER_ENV, WORKER_ENV)


class _Pool:
    """A pool of worker processes started with the spawn method (DuckDB and BLAS threads never fork), shared
    by the runs of this process that use as many workers."""

    def __init__(self, workers: int) -> None:
        self.workers = workers
        self._lock = threading.Lock()
        self._executor = self._new()

    def _new(self) -> cf.ProcessPoolExecutor:
        from zorvata.infra import spawn_context

        # Workers end with this process: the kernel's parent-death signal when the thread spawning them is
        # the main one (it lives as long as the process), a watch on the parent's pid in any case.
        main = threading.current_thread() is threading.main_thread()
        return cf.ProcessPoolExecutor(self.workers, mp_context=spawn_context(),
                                      initializer=init_worker, initargs=(os.getpid(), main))

    def submit(self, fn, *args) -> cf.Future:
        with self._lock, _worker_environment(), _sigint_blocked():
            try:
                return self._executor.submit(fn, *args)
            except cf.process.BrokenProcessPool:
                # A worker died (its tasks fail with the reason); what follows gets a fresh pool.
                self._executor.shutdown(wait=False, cancel_futures=True)
                self._executor = self._new()
                return self._executor.submit(fn, *args)

    def shutdown(self) -> None:
        self._executor.shutdown(wait=True, cancel_futures=True)

    def kill(self) -> None:
        """Ends the workers at once (their running tasks are abandoned)."""
        procs = list((getattr(self._executor, "_processes", None) or {}).values())
        self._executor.shutdown(wait=False, cancel_futures=True)
        for proc in procs:
            with contextlib.suppress(Exception):
                proc.kill()
        for proc in procs:
            with contextlib.suppress(Exception):
                proc.join(5)


@contextlib.contextmanager
def _sigint_blocked():
    """SIGINT held back in this thread while it may spawn workers: they inherit the mask and never see
    Ctrl-C (this process stops them), and a Ctrl-C meanwhile is delivered here once the spawn is over."""
    import signal

    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


_POOLS: dict[int, _Pool] = {}
_POOLS_LOCK = threading.Lock()


def _pool(workers: int) -> _Pool:
    with _POOLS_LOCK:
        pool = _POOLS.get(workers)
        if pool is None:
            if not _POOLS:
                import atexit

                atexit.register(close_pools)
            pool = _POOLS[workers] = _Pool(workers)
        return pool


def _kill_pool(workers: int) -> None:
    with _POOLS_LOCK:
        pool = _POOLS.pop(workers, None)
    if pool is not None:
        pool.kill()


def close_pools() -> None:
    """Shuts down the worker processes the process engine keeps between runs (the next run starts new
    ones)."""
    with _POOLS_LOCK:
        pools = list(_POOLS.values())
        _POOLS.clear()
    for pool in pools:
        pool.shutdown()


class ProcessEngine(Engine):
    """One run on the local pool of ``workers`` spawned processes.

    The pool spawns a process when a task finds no idle one, up to ``workers``, and never waits for it to
    start: the first tasks queue while the workers import, and this process works through the queue too.
    The pool lives on from run to run in this process (a sweep of backtests pays the start-up once);
    :func:`close_pools` ends it, as does the interpreter's exit.
    """

    name = "process"
    parallel = True

    def __init__(self, workers: int) -> None:
        self.workers = workers
        self._pool = _pool(workers)
        self._mine: list[cf.Future] = []

    def capacity(self) -> int:
        return 2 * self.workers  # one running and one waiting on each worker

    def submit(self, fn, *args, first=None):
        # the pool's queue is first come, first served (two tasks per worker at most)
        fut = self._pool.submit(fn, *args)
        self._mine = [f for f in self._mine if not f.done()]
        self._mine.append(fut)
        return fut

    def close(self, abort: bool = False) -> None:
        """Ends the run: its tasks still queued are cancelled; the workers stay for the next run, unless the
        run was interrupted (their running tasks are not waited for: the workers are ended)."""
        for fut in self._mine:
            fut.cancel()
        running = any(not f.done() for f in self._mine)
        self._mine.clear()
        if abort and running:
            _kill_pool(self.workers)


class DaskEngine(Engine):
    """A ``distributed.Client``: the caller's, or one on a LocalCluster started (and stopped) here.

    A LocalCluster starts in a background thread; until it is up, ``capacity()`` is 0 and this process
    runs queued tasks itself. On the caller's cluster everything goes to the cluster.
    """

    name = "dask"
    parallel = True

    def __init__(self, workers: int | None, client=None) -> None:
        import queue

        self._done: queue.Queue = queue.Queue()
        self._cluster = None
        self._client = client
        self._error: BaseException | None = None
        self._mine: list = []
        self._sent = 0  # tasks sent in an order of this process's (see `submit`)
        # the Runner actors that run them ([actor, its future, alive]; [] where there are none: see `_runners`)
        self._runner_list: list | None = None
        self._threads: dict | None = None  # the caller's cluster's workers and their threads, as the run found
        self._runner_of: dict = {}  # a call whose result is not taken yet -> the number of its runner
        self._quiet = _quiet_logs()
        self.helps = client is None
        self._direct: bool | None = True if client is None else _direct_gather(client)
        if client is None:
            self.workers = workers or max(os.cpu_count() or 1, 1)
            self._starter: threading.Thread | None = threading.Thread(
                target=self._start, name="velquor-dask-start", daemon=True)
            self._starter.start()
        else:
            self._starter = None
            self._threads = client.nthreads()
            self.workers = max(sum(self._threads.values()), 1)

    def _start(self) -> None:
        import distributed

        try:
            # Nobody reads this cluster's dashboard: its workers' sampling profiler would only take the
            # interpreter from short rebalance tasks (about a tenth of their CPU on the bench).
            with _environ_kept():
                self._cluster = distributed.LocalCluster(
                    n_workers=self.workers, threads_per_worker=1, processes=True,
                    dashboard_address="127.0.0.1:0", silence_logs=50, env=dict(WORKER_ENV),
                    config={"distributed.worker.profile.enabled": False})
            self._client = distributed.Client(self._cluster, set_as_default=False)
            # ready once the workers have imported what the tasks need (this process works meanwhile)
            self._client.run(prepare)
        except BaseException as e:  # noqa: BLE001 - raised in the run's thread by _ready
            self._error = e

    def _ready(self) -> bool:
        if self._starter is not None and self._starter.is_alive():
            return False
        if self._error is not None:
            raise self._error
        return True

    def _wait_started(self):
        if self._starter is not None:
            self._starter.join()
        self._ready()
        return self._client

    def capacity(self) -> int:
        return UNLIMITED if self._ready() else 0

    def submit(self, fn, *args, first=None):
        client = self._wait_started()  # distributed imported whole (by the thread that starts a cluster)
        from distributed.protocol.pickle import dumps

        blob = dumps(args)  # pickled here and now, for a task as for a runner's call
        priority = 0
        if first is not None:
            call = self._call(fn, blob, first)
            if call is not None:
                return call
            # The scheduler and the workers run what they hold by priority: those sent first, but a date
            # the others wait for before them (by its own, tasks sent within 0.1 s of each other would run
            # in any order).
            self._sent += 1
            priority = (ORDERED_FIRST if first else 0) - self._sent
        fut = client.submit(unpacked, fn, blob, key=f"{fn.__name__}-{uuid.uuid4().hex}", pure=False,
                            priority=priority)
        self._track([fut])
        return fut

    def submit_all(self, fn, calls):
        # In one message: the client sends what it is given within 10 ms in one batch and the next batch
        # 10 ms later, so tasks submitted one by one reached their workers up to 20 ms apart (the second
        # history piece, on the path of every cold run).
        if not calls:
            return []
        client = self._wait_started()
        from distributed.protocol.pickle import dumps

        futs = client.map(unpacked, [fn] * len(calls), [dumps(args) for args in calls], pure=False,
                          key=[f"{fn.__name__}-{uuid.uuid4().hex}" for _ in calls])
        self._track(futs)
        return futs

    def _track(self, futs: list) -> None:
        for fut in futs:
            fut.add_done_callback(self._done.put)
        self._mine = [f for f in self._mine if not f.done()]
        self._mine.extend(futs)

    def _runners(self) -> list:
        """A Runner actor on each worker where every worker runs one task at a time (an actor runs its calls in
        a thread of its own: on a worker of several threads it would run one of this process's tasks at a
        time); [] elsewhere, or when they could not be made in RUNNER_WAIT seconds."""
        if self._runner_list is None:
            self._runner_list = []
            client = self._client
            futs: list = []
            try:
                threads = self._threads or client.nthreads()
                workers = sorted(threads)
                for c in [c for c in _kept_runners if c.status in ("closing", "closed")]:
                    del _kept_runners[c]
                kept = _kept_runners.get(client) if self._starter is None else None
                if kept is not None and kept[0] == workers and all(f.status == "finished" for _, f in kept[1]):
                    self._runner_list = [[actor, f, True] for actor, f in kept[1]]
                elif threads and all(n == 1 for n in threads.values()):
                    futs = [client.submit(Runner, actor=True, workers=[a], pure=False,
                                          key=f"velquor-runner-{uuid.uuid4().hex}") for a in workers]
                    with client.as_current():  # the actor proxies find this client (it may not be the default)
                        self._runner_list = [[f.result(timeout=RUNNER_WAIT), f, True] for f in futs]
                    if self._starter is None:  # the caller's cluster: the next run on it uses them too
                        _kept_runners[client] = (workers, [(actor, f) for actor, f, _ in self._runner_list])
            except Exception:  # noqa: BLE001 - the tasks go through the scheduler instead
                with contextlib.suppress(Exception):
                    client.cancel(futs)
                self._runner_list = []
        return self._runner_list

    def _call(self, fn, blob: bytes, first: bool) -> cf.Future | None:
        """``fn`` on the arguments pickled in ``blob``, on the runner with the fewest calls in flight; one
        ``first`` on the runner whose running call was sent the earliest (likely to end the soonest: it goes
        before the calls waiting there). None: no runner."""
        runners = [k for k, r in enumerate(self._runners()) if r[2]]
        if not runners:
            return None
        flying = [(f, k) for f, k in self._runner_of.items() if not f.done()]
        if first:
            oldest = {}
            for n, (_, k) in enumerate(flying):  # in the order sent
                oldest.setdefault(k, n)
            k = min(runners, key=lambda j: oldest.get(j, -1))
        else:
            load = collections.Counter(k for _, k in flying)
            k = min(runners, key=lambda j: load[j])
        actor, held, _ = self._runner_list[k]
        fut = asyncio.run_coroutine_threadsafe(_awaited(actor.run(first, unpacked, fn, blob), held),
                                               self._client.loop.asyncio_loop)
        self._runner_of[fut] = k
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
        k = self._runner_of.pop(fut, None)
        if k is not None:
            try:
                return _result(fut)
            except (OSError, RunnerLost) as e:  # its worker is gone: the next calls go to the others
                self._runner_list[k][2] = False
                _kept_runners.pop(self._client, None)  # the next run makes them anew
                with contextlib.suppress(Exception):
                    self._client.cancel([self._runner_list[k][1]])
                raise cf.CancelledError(f"the worker of this task was lost ({type(e).__name__}: {e})") from None
        # Straight from the worker that holds it where the workers can be reached: through the scheduler, a
        # history piece (several MB) costs the scheduler about as much CPU as a rebalance task costs a worker.
        return _result(fut, lambda: self._client.gather(fut, direct=self._direct))

    def bar(self, progress, total, desc, unit):
        return DaskBar(self, progress, desc)

    def close(self, abort: bool = False) -> None:
        try:
            # The runners of a cluster this run started end with it; those on the caller's cluster stay for
            # its next run, unless this one was stopped: the dates it left waiting on them would go first (a
            # call still running ends with its date).
            if self._runner_list and (self._starter is not None or abort):
                _kept_runners.pop(self._client, None)
                with contextlib.suppress(Exception):
                    self._client.cancel([r[1] for r in self._runner_list])
            self._runner_list, self._runner_of = None, {}
            if abort and self._client is not None and self._mine:
                # the caller's cluster stops this run's tasks; one of ours is closed below anyway
                with contextlib.suppress(Exception):
                    self._client.cancel(self._mine, force=True)
            self._mine.clear()
            if self._starter is not None:
                self._starter.join()
                with contextlib.suppress(Exception):
                    if self._client is not None:
                        self._client.close()
                with contextlib.suppress(Exception), _environ_kept():  # (a nanny restarting its worker)
                    if self._cluster is not None:
                        self._cluster.close()
        finally:
            for logger, level in self._quiet:
                logger.setLevel(level)


@contextlib.contextmanager
def _environ_kept():
    """Keeps this process's environment variables that a Dask nanny sets in it before it spawns its worker
    (one thread per BLAS and OpenMP pool, glibc's heap trimmed: meant for the worker, but a nanny of a
    cluster started here sets them in this very process, for good). Left there, the user's own work
    after a run would run its native kernels and BLAS on one thread and this process would count as a
    worker (see `zorvata.infra.steady_heap`): a later run on a running cluster took 0.2 s more."""
    import dask

    keys = set(dask.config.get("distributed.nanny.pre-spawn-environ", None) or {}) | set(WORKER_ENV)
    with _environ_restored(keys):
        yield


#: Runner actors on a caller's cluster, by its client, kept for the next run: (the workers they were made
#: for, [(actor, its future)]). A run uses them when the cluster has the same workers and all of them are
#: still there (a few tens of ms saved per run); a closed client's are dropped by the next run.
_kept_runners: dict = {}

#: Seconds to wait for the Runner actors of a run (else its tasks go through the scheduler).
RUNNER_WAIT = 30


class RunnerLost(Exception):
    """The worker of a Runner actor left the cluster while a call of this process was on it."""


async def _awaited(call, held):
    """The result of the actor call ``call``; RunnerLost when the actor's future ``held`` stops being
    finished meanwhile (its worker died: the call would wait for the actor to come back, and it does not)."""
    task = asyncio.ensure_future(call)
    while True:
        done, _ = await asyncio.wait({task}, timeout=RUNNER_CHECK)
        if done:
            return task.result()
        if held.status != "finished":
            task.cancel()
            raise RunnerLost(f"status of its actor: {held.status}")


#: Seconds between checks that the worker of a call in flight is still there.
RUNNER_CHECK = 0.5


def _direct_gather(client) -> bool | None:
    """How results come back from the caller's cluster: as the client was told (``direct_to_workers``), else
    straight from the workers when its scheduler is on this machine's loopback (so are its workers), else
    through the scheduler, Dask's default (workers elsewhere may not be reachable from here)."""
    if client.direct_to_workers is not None:
        return client.direct_to_workers
    from urllib.parse import urlsplit

    try:
        host = urlsplit(client.scheduler.address).hostname or ""
    except (AttributeError, ValueError):
        return None
    return True if host in ("localhost", "::1") or host.startswith("127.") else None


class DaskBar(Bar):
    """Dask's own progress display over the futures a stage sends to the cluster: the scheduler feeds it, a
    text bar on stderr draws it. Work this process runs itself is not shown."""

    def __init__(self, engine: DaskEngine, progress: bool, desc: str) -> None:
        self._engine, self._on, self._desc = engine, progress, desc
        self._keys: list = []
        self._runs: list = []

    def update(self, n: int = 1) -> None:
        pass

    def track(self, futures: list) -> None:
        if not self._on or not futures:
            return
        import asyncio

        from distributed.diagnostics.progressbar import TextProgressBar

        # The text display, also in a notebook: it listens on the client's own event loop, while a widget
        # would wait for the kernel's, which the running backtest holds.
        client = self._engine._wait_started()
        desc = self._desc

        class _Text(TextProgressBar):
            def _draw_bar(self, remaining, all, **kwargs):
                frac = (1 - remaining / all) if all else 1.0
                with contextlib.suppress(ValueError):
                    sys.stderr.write(f"\r{desc}: [{'#' * int(self.width * frac):<{self.width}}] "
                                     f"{all - remaining}/{all} | {self.elapsed:.1f}s")
                    sys.stderr.flush()

            def _draw_stop(self, **kwargs):
                with contextlib.suppress(ValueError):
                    sys.stderr.write("\33[2K\r")
                    sys.stderr.flush()

        bar = _Text(futures, scheduler=client.scheduler.address, loop=client.loop, start=False)
        # The futures are held until the display ends: the scheduler waits for every key it is to follow
        # to exist, so a key released before it set up would keep it waiting.
        self._keys.extend(futures)
        self._runs.append(asyncio.run_coroutine_threadsafe(bar.listen(), client.loop.asyncio_loop))

    def close(self) -> None:
        # Each display stops by itself once its futures are done (an interrupted stage does not wait: its
        # futures are released, which stops the display too).
        finished = all(f.done() for f in self._keys)
        for run in self._runs if finished else ():
            with contextlib.suppress(Exception):
                run.result(timeout=30)
        self._runs.clear()
        self._keys.clear()


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
    """An engine started by ``start()`` or its first task: a run that finds everything done (or runs here)
    starts none."""

    def __init__(self, engine: str, workers: int | None, client) -> None:
        self._args = (engine, workers, client)
        self._engine: Engine | None = None
        self.name = engine
        self.parallel = engine != "serial"
        self.helps = client is None
        if client is not None:
            self.workers = max(sum(client.nthreads().values()), 1)
        else:
            self.workers = 1 if engine == "serial" else workers or max(os.cpu_count() or 1, 1)

    def start(self) -> Engine:
        if self._engine is None:
            self._engine = make_engine(*self._args)
        return self._engine

    def capacity(self) -> int:
        return self.start().capacity()

    def submit(self, fn, *args, first=None):
        return self.start().submit(fn, *args, first=first)

    def submit_all(self, fn, calls):
        return self.start().submit_all(fn, calls)

    def wait_any(self, pending):
        assert self._engine is not None
        return self._engine.wait_any(pending)

    def result(self, fut):
        assert self._engine is not None
        return self._engine.result(fut)

    def bar(self, progress, total, desc, unit):
        if self.name == "dask":
            return self.start().bar(progress, total, desc, unit)
        return Bar(progress, total, desc, unit)

    def close(self, abort: bool = False) -> None:
        if self._engine is not None:
            self._engine.close(abort)


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
