"""The backtest's one point of contact with the risk model's internals.

Everything the backtest needs from the estimation pipeline and the estimate store goes through here: which
as-of dates a run needs and which of them are stored, the factor history split into pieces of trading days
that workers compute from the market file alone (they write nothing), the estimates the client derives from
the assembled history in the background and writes to the store (on a thread of its own, while they
already serve the rebalances), and handing a model to a worker so that it never estimates or reads the
store on its own.

The split depends only on the dates needed, never on the engine or the number of workers, and every piece
and estimate runs with single-threaded BLAS: each engine stores the same bits.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Callable, Iterable

import numpy as np

from zorvata.infra import single_threaded_blas

from ..const import CovModel, RiskModel
from ..riskmodel import service
from ..riskmodel.params import HORIZONS, variant_name
from ..riskmodel.pipeline import FactorHistory, estimate_asof, factor_history, history_span, horizon_series
from ..riskmodel.native import threads as native_threads
from ..riskmodel.store import estimate_base
from ._spill import joined

__all__ = ["single_threaded_blas", "market_fingerprint", "asof_day", "missing", "none_stored", "Cluster",
           "clusters", "history_piece", "Estimates", "Writer", "load", "install", "forget"]

Variant = tuple[CovModel, RiskModel]

#: Trading days of factor history one piece covers, about (a span of days has as many pieces as it holds
#: PIECE_DAYS, at least one; see :func:`_cuts`). Each piece also reads a year of data before it for the
#: exposures, so pieces much shorter cost more in total.
PIECE_DAYS = 500


def market_fingerprint() -> str:
    """Identifies the configured market database's contents (the same file gives the same anywhere)."""
    return service.context().store.root.name


def asof_day(date: _dt.date) -> tuple[int, str]:
    """Calendar position and day text of the model a request for ``date`` uses; InvalidArgument when the
    market data cannot support a model for it."""
    ctx = service.context()
    pos = service.resolve_asof(ctx, date)
    return pos, ctx.day(pos)


def missing(needed: Iterable[tuple[int, Variant]]) -> list[tuple[int, Variant]]:
    """The (as-of position, variant) pairs the store has no readable estimate for, sorted (unreadable ones
    counted as rebuilt)."""
    ctx = service.context()
    # read whole: a file damaged anywhere is built again rather than failing its rebalance later
    out = sorted({(p, v) for p, v in needed if ctx.store.read(ctx.day(p), *v) is None}, key=_order)
    damaged = sum(ctx.store.damaged(ctx.day(p), *v) or ctx.store.has(ctx.day(p), *v) for p, v in out)
    if damaged:
        service.note_rebuilt(damaged, f"{damaged} stored risk-model estimate(s) could not be read; the backtest "
                                      "builds them again")
    return out


def _order(pv: tuple[int, Variant]) -> tuple:
    return pv[0], pv[1][0].value, pv[1][1].value


def none_stored(needed: Iterable[tuple[int, Variant]]) -> list[tuple[int, Variant]] | None:
    """All of ``needed``, sorted as :func:`missing` sorts, when no estimate directory of the market holds a file
    of their days (for any data keys): then :func:`missing` would say the same. None when one might: only the
    data keys, a pass over every input table, can tell. A cold run's workers thus start before the keys are
    read."""
    needed = list(needed)
    ctx = service.context()
    base = estimate_base(ctx.db_path)
    names = {variant_name(*v) for _, v in needed} | {"exposure"}
    days = {f"{ctx.day(p)}.npz" for p, _ in needed}
    try:
        for d in (base.iterdir() if base.is_dir() else ()):
            for name in names:
                sub = d / name
                if sub.is_dir() and not days.isdisjoint(os.listdir(sub)):
                    return None
    except OSError:
        return None
    return sorted(set(needed), key=_order)


@dataclass
class Cluster:
    """As-of dates estimated from one factor history, computed in pieces of consecutive days."""

    start: int
    stop: int
    todo: list[tuple[int, Variant]]
    pieces: list[tuple[int, int]]


def clusters(todo: list[tuple[int, Variant]]) -> list[Cluster]:
    """Groups missing estimates into histories: dates further apart than a history's reach get their own."""
    out: list[Cluster] = []
    group: list[tuple[int, Variant]] = []

    def close():
        if not group:
            return
        start, stop = history_span(group[0][0], group[-1][0], {v[0] for _, v in group})
        cuts = _cuts(start, stop, max(1, (stop - start) // PIECE_DAYS))
        out.append(Cluster(start, stop, list(group), list(zip(cuts[:-1], cuts[1:]))))
        group.clear()

    for p, v in todo:
        if group:
            start, _ = history_span(p, p, {v[0]})
            if start > group[-1][0]:  # no overlap with the history the group needs
                close()
        group.append((p, v))
    close()
    return out


def _cuts(start: int, stop: int, n: int) -> list[int]:
    """Bounds of ``n`` pieces of the calendar positions ``start .. stop - 1`` that take about the same time:
    a day's regressions cost about as much as the stocks listed by then, so the cuts fall at equal sums of
    those (in a growing market the later pieces have fewer days). Pieces of equal days kept the worker of
    the earliest waiting for the other a tenth of a second and more. The cuts change no number: each day
    of the history is computed the same in any piece."""
    n = min(n, stop - start)
    if n <= 1:
        return [start, stop]
    uni = service.context().universe
    days = uni.dates[start:stop]
    if len(days) != stop - start:  # not the store's calendar: days of equal weight
        return [start + (stop - start) * k // n for k in range(n + 1)]
    weight = np.searchsorted(np.sort(uni.listed), days, side="right") + 1.0
    total = np.concatenate(([0.0], np.cumsum(weight)))
    cuts = [start, *(start + int(k) for k in np.searchsorted(total, total[-1] * np.arange(1, n) / n)), stop]
    for k in range(1, n):  # every piece keeps a day at least
        cuts[k] = min(max(cuts[k], cuts[k - 1] + 1), stop - (n - k))
    return cuts


def history_piece(lo: int, hi: int, keep: list[int], progress: Callable[[int], None] | None = None) -> dict:
    """Regressions of calendar positions ``lo .. hi - 1`` from the market file (nothing is written), with the
    exposures of the as-of positions in ``keep`` only; ``progress(1)`` after each day."""
    import zorvata

    ctx = service.context()
    con = zorvata.connect().cursor()
    try:
        with single_threaded_blas():
            h = factor_history(con, ctx.universe, lo, hi, progress)
    finally:
        con.close()
    mine = [p for p in keep if lo <= p < hi]
    return {"start": lo, "stop": hi, "factor_returns": h.factor_returns, "specific": h.specific, "cap": h.cap,
            "exposures": {p: np.ascontiguousarray(h.exposures[p - lo]) for p in mine},
            "industry": {p: np.ascontiguousarray(h.industry[p - lo]) for p in mine}}


class _Rows:
    """Exposures or industries of a history kept at its as-of rows only (all the estimates read)."""

    def __init__(self, start: int, rows: dict) -> None:
        self._start, self._rows = start, rows

    def __getitem__(self, key):
        # h[i] or h[i, cols], as the estimates index the full (days, stocks, ...) array
        if isinstance(key, tuple):
            i, cols = key
            return self._rows[self._start + i][cols]
        return self._rows[self._start + key]


class Estimates:
    """A cluster's estimates, made from its computed pieces in date order on the kernels' threads, in the
    background, each checked as the store checks what it writes. Each goes to ``writer`` as soon as it is
    made: :func:`load` serves it from then on, and waits for it when asked before, so the rebalances of the
    first dates run while the later ones are being estimated. A date whose estimate fails (an implausible
    one, say) fails alone: :func:`load` raises its error. ``progress(1)`` after each; ``done()`` after the
    last.

    BLAS runs on one thread from its making until :meth:`close`, for the estimates and for whatever the
    caller's thread does meanwhile: BLAS counts are the process's, and a count one thread lowered another
    cannot always raise again, so the caller's thread sets and restores it (close them in reverse order)."""

    def __init__(self, cluster: Cluster, pieces: list[dict], writer: "Writer",
                 progress: Callable[[int], None] | None = None, done: Callable[[], None] | None = None) -> None:
        ctx = service.context()
        root = str(ctx.store.root)
        self._keys = [(root, pos, v) for pos, v in cluster.todo]
        self._stop = threading.Event()
        self._blas = contextlib.ExitStack()
        self._blas.enter_context(single_threaded_blas())
        with _staged_lock:
            for key in self._keys:
                _making[key] = Future()
        self._thread = threading.Thread(target=self._make, args=(ctx, cluster, pieces, writer, progress, done),
                                        name="velquor-estimates", daemon=True)
        self._thread.start()

    def _make(self, ctx, cluster: Cluster, pieces: list[dict], writer: "Writer",
              progress: Callable[[int], None] | None, done: Callable[[], None] | None) -> None:
        try:
            # one cluster at a time: each takes the kernels' threads
            with _estimating:
                self._made(ctx, cluster, pieces, writer, progress)
        except BaseException as e:  # noqa: BLE001 - the dates not made fail with it
            for key in self._keys:
                _settle(key, error=e)
        finally:
            if done is not None:
                done()

    def _made(self, ctx, cluster: Cluster, pieces: list[dict], writer: "Writer",
              progress: Callable[[int], None] | None) -> None:
        pieces = sorted(pieces, key=lambda d: d["start"])
        rows: dict = {}
        industry: dict = {}
        for d in pieces:
            rows.update(d["exposures"])
            industry.update(d["industry"])
        # the days-by-stocks arrays: the file the workers wrote them into, mapped, where they could
        hist = FactorHistory(start=cluster.start, stop=cluster.stop,
                             factor_returns=joined(pieces, "factor_returns"), specific=joined(pieces, "specific"),
                             exposures=_Rows(cluster.start, rows),  # type: ignore[arg-type]
                             cap=joined(pieces, "cap"),
                             industry=_Rows(cluster.start, industry))  # type: ignore[arg-type]
        first = cluster.todo[0][0]

        def one(item: tuple[int, Variant]) -> tuple:
            p, (cm, rm) = item
            est = estimate_asof(ctx.universe, hist, p, cm, rm, series[cm])
            service.check_stored(ctx, est, cm)
            return est, cm, rm, service.stored_model(ctx, est)

        # The dates are independent: on the kernels' threads (their numerical work lets go of the
        # interpreter), beside whatever this process does meanwhile.
        with ThreadPoolExecutor(max(1, min(native_threads(), 2))) as pool:
            series = {cm: horizon_series(hist, HORIZONS[cm], first) for cm in {v[0] for _, v in cluster.todo}}
            made = [pool.submit(one, item) for item in cluster.todo]
            for key, fut in zip(self._keys, made):
                if self._stop.is_set():
                    for f in made:
                        f.cancel()
                    raise _Stopped("the run ended before this estimate was made")
                try:
                    got = fut.result()
                except Exception as e:  # noqa: BLE001 - this date fails, the others go on
                    _settle(key, error=e)
                else:
                    writer.submit([got], ctx)
                    _settle(key, model=got[3])
                if progress is not None:
                    progress(1)

    def close(self) -> None:
        """Stops making estimates (those in the making are finished) and forgets the failed ones."""
        self._stop.set()
        self._thread.join()
        self._blas.close()
        with _staged_lock:
            for key in self._keys:
                _making.pop(key, None)


class _Stopped(Exception):
    pass


def _settle(key: tuple, model=None, error: BaseException | None = None) -> None:
    """Ends the wait for the estimate ``key``: a model made (staged already, so no longer waited for) or its
    failure (kept for the loads that ask after it, until its :class:`Estimates` closes)."""
    with _staged_lock:
        fut = _making.get(key)
        if fut is None or fut.done():
            return
        if error is None:
            del _making[key]
            fut.set_result(model)
        else:
            fut.set_exception(error)


#: Estimates being made by an :class:`Estimates`, by (store directory, as-of position, variant).
_making: dict[tuple[str, int, Variant], Future] = {}
#: One cluster's estimates at a time.
_estimating = threading.Lock()


#: Models of estimates a Writer has not stored yet, by (store directory, as-of position, variant).
_staged: dict[tuple[str, int, Variant], object] = {}
_staged_lock = threading.Lock()


#: Models a Writer keeps serving after their files are written, until it closes (beyond: read back from the
#: store): about 250 KB each on a market of 3,000 stocks.
KEEP_MODELS = 400


class Writer:
    """Stores a run's estimates on a thread of its own. The models of what it is given serve :func:`load` in
    this process at once, as they will read back from the files (the same bits), so the rebalances neither
    wait for the writes nor read the files; the first KEEP_MODELS stay until the writer closes, later ones
    only until their files are written."""

    def __init__(self) -> None:
        self._pool: ThreadPoolExecutor | None = None
        self._futures: list[Future] = []
        self._keys: list[tuple] = []

    def submit(self, estimates: list, ctx) -> None:
        """Stores ``estimates``, checked ``(estimate, cov_model, risk_model, model)`` as :class:`Estimates`
        makes them, in the database's context ``ctx``; any thread may."""
        root = str(ctx.store.root)
        staged = [((root, est.asof, (cm, rm)), est, cm, rm) for est, cm, rm, _ in estimates]
        models = [model for *_, model in estimates]
        with _staged_lock:
            for (key, *_), model in zip(staged, models):
                _staged[key] = model
            keep = len(self._keys) + len(staged) <= KEEP_MODELS
            self._keys += [key for key, *_ in staged]
            if self._pool is None:
                self._pool = ThreadPoolExecutor(1, thread_name_prefix="velquor-store")
            self._futures.append(self._pool.submit(_write, ctx, staged, keep))

    def close(self) -> list[BaseException]:
        """Waits for the writes and returns their failures; drops every model it staged."""
        errors = [e for e in (f.exception() for f in self._futures) if e is not None]
        if self._pool is not None:
            self._pool.shutdown()
        with _staged_lock:
            for key in self._keys:
                _staged.pop(key, None)
        return errors


def _write(ctx, staged: list, keep: bool) -> None:
    for key, est, cm, rm in staged:
        service.write_estimate(ctx, est, cm, rm)
        if not keep:
            with _staged_lock:  # written whole (renamed into place): a load now reads it
                _staged.pop(key, None)


def load(pos: int, variant: Variant):
    """The model as of ``pos`` (an opaque, picklable object for :func:`install`): one a Writer has yet to
    store, else the stored one; None when there is neither."""
    ctx = service.context()
    key = (str(ctx.store.root), pos, variant)
    with _staged_lock:
        model = _staged.get(key)
        making = _making.get(key)
    if model is None and making is not None:
        model = making.result()  # made by now, or its failure raised
    if model is None:
        model = ctx.store.read(ctx.day(pos), *variant)
    return None if model is None else (pos, variant, model)


def install(payload) -> None:
    """Makes a model from :func:`load` the one this process's optimisations use for its date and variant."""
    pos, (cm, rm), model = payload
    ctx = service.context()
    service.remember(ctx, pos, cm, rm, model)


def forget() -> None:
    """Drops this process's cached contexts and models (after the estimate directory was moved)."""
    service.forget()
