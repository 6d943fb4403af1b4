"""Finding, loading and (on demand) building the persisted model of a request date."""

from __future__ import annotations

import datetime as _dt
import logging
import threading
import warnings
from pathlib import Path
from typing import Iterable

import zorvata  # first: it loads DuckDB with Ctrl-C held back (zorvata.infra.interrupts_deferred)
import duckdb
import numpy as np
import pandas as pd
from zorvata.infra import LRUCache

from ..const import CovModel, RiskModel
from ..exception import InvalidArgument, OptimizerWarning
from .data import Universe, load_universe
from .params import COUNTRY, FIRST_ASOF_INDEX, HORIZONS, STYLE_FACTORS, variant_name
from .plausibility import check_estimate, collinear_styles
from .pipeline import Estimate, estimate_range, history_span
from .store import Model, Store, bad_id, database_keys, estimate_base
from . import store as _store

__all__ = ["Context", "context", "resolve_asof", "get_model", "build", "build_piece", "estimate_date", "store_estimate",
           "store_day", "check_stored", "write_estimate", "stored_model", "prune", "ON_DEMAND_AHEAD", "remember",
           "forget", "previous_close", "Built", "note_rebuilt"]

#: An on-demand build also estimates this many following dates: requests tend to walk forward in time.
ON_DEMAND_AHEAD = 20
_MODEL_CACHE_SIZE = 8

_log = logging.getLogger(__name__)
_lock = threading.RLock()
_contexts: dict[str, tuple[tuple, "Context"]] = {}
_models: LRUCache[Model] = LRUCache(_MODEL_CACHE_SIZE)


class Context:
    """The configured market database as the risk model sees it.

    Its trading calendar and universe are read at once; its estimate store, named by the data keys (a pass
    over every input table), on first use: a backtest starts its workers on the factor history of a store
    that cannot hold any of its dates before it needs the keys (see ``velquor.backtest``).
    """

    def __init__(self, db_path: Path, universe: Universe, store: Store | None = None, con=None) -> None:
        self.db_path = db_path
        self.universe = universe
        self._store = store
        self._con = con  # the connection the universe was read from: the keys are read from the same
        self._store_lock = threading.Lock()

    @property
    def store(self) -> Store:
        if self._store is None:
            with self._store_lock:
                if self._store is None:
                    try:
                        con = (self._con or zorvata.connect()).cursor()
                    except duckdb.ConnectionException:  # closed since: the file changed, reopened by zorvata
                        con = zorvata.connect().cursor()
                    try:
                        keys = database_keys(con, self.universe.industry_names)
                    finally:
                        con.close()
                    uni = self.universe
                    # estimates go to the directory of the last day with prices: no estimate reads a later row
                    cutoff = uni.dates[uni.last] if uni.last >= 0 else np.datetime64("0001-01-01", "D")
                    self._store = Store.for_database(self.db_path, keys, cutoff)
        return self._store

    def day(self, pos: int) -> str:
        return str(self.universe.dates[pos])

    def date(self, pos: int) -> _dt.date:
        return pd.Timestamp(self.universe.dates[pos]).date()


def context() -> Context:
    """The context of the database ``zorvata`` is configured to, reloaded when that file changes."""
    path = Path(zorvata.db_path())
    zorvata.connect()  # a clear error when the file is missing
    st = path.stat()
    wal = Path(str(path) + ".wal")
    wst = wal.stat() if wal.exists() else None
    # Any write changes the file (or its write-ahead log); the data keys then check the content.
    sig = (st.st_ino, st.st_mtime_ns, st.st_size, wst and (wst.st_mtime_ns, wst.st_size))
    with _lock:
        hit = _contexts.get(str(path))
        if hit is not None and hit[0] == sig:
            return hit[1]
        shared = zorvata.connect()
        con = shared.cursor()
        try:
            ctx = Context(db_path=path, universe=load_universe(con), con=shared)
        finally:
            con.close()
        _contexts[str(path)] = (sig, ctx)
        return ctx


def _day_text(d) -> str:
    return d.isoformat() if isinstance(d, _dt.date) else str(d)


def previous_close(dates: np.ndarray, last: int, date: _dt.date) -> int:
    """Position in the trading calendar ``dates`` of the trading day before ``date``: the last close a model
    for ``date`` (estimated or imported) may use. ``last`` is the position of the last day with prices.
    InvalidArgument when the calendar has no day before ``date`` or the prices end before it."""
    pos = int(np.searchsorted(dates, np.datetime64(date, "D"), side="left")) - 1
    if pos < 0 or len(dates) == 0:
        first = str(dates[0]) if len(dates) else "no date"
        raise InvalidArgument(f"no trading date before {_day_text(date)} in the market data (it starts on {first})")
    beyond = pos == len(dates) - 1 and np.datetime64(date, "D") > dates[-1] + np.timedelta64(1, "D")
    if pos > last or beyond:
        end = str(dates[last]) if last >= 0 else "no date"
        raise InvalidArgument(f"the market data ends on {end}: no risk model for {_day_text(date)}")
    return pos


def resolve_asof(ctx: Context, date: _dt.date) -> int:
    """Calendar position of the trading day before ``date``: the last close a model for ``date`` may use."""
    uni = ctx.universe
    pos = previous_close(uni.dates, uni.last, date)
    if pos < FIRST_ASOF_INDEX:
        first = ctx.date(FIRST_ASOF_INDEX + 1) if FIRST_ASOF_INDEX + 1 < len(uni.dates) else None
        raise InvalidArgument(
            f"the risk model needs {FIRST_ASOF_INDEX + 1} trading days of market data before the request date; "
            f"the data starts on {ctx.day(0)}, so the first supported date is "
            f"{first.isoformat() if first else 'beyond its end'} (got {_day_text(date)})")
    return pos


def store_estimate(ctx: Context, est: Estimate, cov_model: CovModel, risk_model: RiskModel) -> None:
    """Persist an estimate (as computed by ``estimate_date`` or a build) in the context's store, where
    ``get_model`` finds it. Safe to call from any process: files are written whole and renamed. An estimate
    with implausible variances is refused (`plausibility.ImplausibleEstimate`), never stored."""
    check_stored(ctx, est, cov_model)
    write_estimate(ctx, est, cov_model, risk_model)


def check_stored(ctx: Context, est: Estimate, cov_model: CovModel) -> None:
    """The checks ``store_estimate`` makes before it writes (`plausibility.ImplausibleEstimate`)."""
    uni = ctx.universe
    ids = list(uni.ids[est.rows])
    # the design rows [country, industry dummies, styles] of the covered stocks, as a reader rebuilds them
    design = Model(ids=ids, style=est.style, industry=est.industry, industry_names=uni.industry_names, cap=est.cap,
                   factor_cov=est.factor_cov, specific_var=est.specific_var).design(np.arange(len(ids)))
    check_estimate(ctx.day(est.asof), [COUNTRY, *uni.industry_names, *STYLE_FACTORS], ids, est.style, est.cap,
                   est.factor_cov, est.specific_var, design, HORIZONS[cov_model].days)


def write_estimate(ctx: Context, est: Estimate, cov_model: CovModel, risk_model: RiskModel) -> None:
    """``store_estimate`` without its checks (made already by ``check_stored``)."""
    uni = ctx.universe
    ctx.store.write(ctx.day(est.asof), cov_model, risk_model, list(uni.ids[est.rows]), est.style, est.industry,
                    uni.industry_names, est.cap, est.factor_cov, est.specific_var)


def stored_model(ctx: Context, est: Estimate) -> Model:
    """The model ``get_model`` reads back once ``est`` is stored (the same bits), without the files."""
    uni = ctx.universe
    return Store.as_stored(list(uni.ids[est.rows]), est.style, est.industry, uni.industry_names, est.cap,
                           est.factor_cov, est.specific_var)


def store_day(ctx: Context, done: list[tuple[Estimate, CovModel, RiskModel]], ids_checked: bool = False) -> None:
    """``store_estimate`` of the variants of one date (their stocks, exposures and caps are the same): what
    they share is checked and written once."""
    uni = ctx.universe
    est = done[0][0]
    ids = list(uni.ids[est.rows])
    pairs = collinear_styles(est.style, est.cap)
    names = [COUNTRY, *uni.industry_names, *STYLE_FACTORS]
    for e, cm, _ in done:
        check_estimate(ctx.day(e.asof), names, ids, e.style, e.cap, e.factor_cov, e.specific_var, None,
                       HORIZONS[cm].days, pairs=pairs, industry=e.industry)
    ctx.store.write_day(ctx.day(est.asof), ids, est.style, est.industry, uni.industry_names, est.cap,
                        [(cm, rm, e.factor_cov, e.specific_var) for e, cm, rm in done], ids_checked, in_one=True)


class _Sink:
    """Where a build hands its estimates: one at a time, or (``day``) all variants of a date at once."""

    def __init__(self, ctx: Context) -> None:
        self.ctx = ctx
        self.ids_ok = bad_id(ctx.universe.ids) is None  # every id storable: no check per date

    def __call__(self, est: Estimate, cov_model: CovModel, risk_model: RiskModel) -> None:
        store_estimate(self.ctx, est, cov_model, risk_model)

    def day(self, done: list[tuple[Estimate, CovModel, RiskModel]]) -> None:
        store_day(self.ctx, done, self.ids_ok)


def _sink(ctx: Context) -> _Sink:
    return _Sink(ctx)


def estimate_date(ctx: Context, pos: int, cov_model: CovModel, risk_model: RiskModel) -> Estimate:
    """Compute the model variant as of calendar position ``pos`` (see ``resolve_asof``) without writing
    anything. Reads only data up to the close of ``pos``; the result is the estimate a build of that date
    persists. Pair with ``store_estimate`` to persist it elsewhere (another process, say)."""
    if pos < FIRST_ASOF_INDEX or pos > ctx.universe.last:
        raise InvalidArgument(f"no risk model can be estimated as of calendar position {pos}")
    out: list[Estimate] = []
    con = zorvata.connect().cursor()
    try:
        estimate_range(con, ctx.universe, pos, pos, [(cov_model, risk_model)], lambda est, cm, rm: out.append(est))
    finally:
        con.close()
    return out[0]


def _build_missing(ctx: Context, pos: int, cov_model: CovModel, risk_model: RiskModel) -> None:
    """Estimate and persist ``pos`` and the following dates nobody has built yet (up to ON_DEMAND_AHEAD)."""
    hi = pos
    uni = ctx.universe
    while hi + 1 <= min(uni.last, pos + ON_DEMAND_AHEAD) and \
            not ctx.store.has(ctx.day(hi + 1), cov_model, risk_model):
        hi += 1
    _log.info("estimating the %s risk model as of %s to %s into %s", variant_name(cov_model, risk_model),
              ctx.day(pos), ctx.day(hi), ctx.store.root)
    start, stop = history_span(pos, hi, {cov_model})
    dates = f"{ctx.day(pos)}" + (f" .. {ctx.day(hi)}" if hi > pos else "")
    # the first request of a date range pays for its estimation: said, with a bar when it lasts
    notice(f"estimating the {variant_name(cov_model, risk_model)} risk model as of {dates} "
           f"(once; later requests read it)")
    bar = progress_bar(stop - start + hi - pos + 1, "risk model", "step")
    con = zorvata.connect().cursor()
    try:
        estimate_range(con, uni, pos, hi, [(cov_model, risk_model)], _sink(ctx), bar.update)
    finally:
        con.close()
        bar.close()


def notice(text: str) -> None:
    """One line on stderr about work a user would otherwise wait for in silence."""
    import sys

    print(f"velquor: {text}", file=sys.stderr, flush=True)


def progress_bar(total: int, desc: str, unit: str):
    """A bar on stderr that shows itself once the work has taken two seconds (and not off a terminal)."""
    from tqdm import tqdm

    return tqdm(total=total, desc=desc, unit=unit, delay=2.0, disable=None, leave=False)


def _model_key(ctx: Context, pos: int, cov_model: CovModel, risk_model: RiskModel) -> tuple:
    return (str(ctx.store.root), pos, cov_model, risk_model)


def remember(ctx: Context, pos: int, cov_model: CovModel, risk_model: RiskModel, model: Model) -> None:
    """Makes `model` the one `get_model` serves in this process for ``pos`` and the variant (a model handed
    over by another process, say)."""
    _models.put(_model_key(ctx, pos, cov_model, risk_model), model)


def forget() -> None:
    """Drops this process's cached contexts and models (after the estimate directory moved or was pruned)."""
    with _lock:
        _contexts.clear()
        _models.clear()


def get_model(ctx: Context, pos: int, cov_model: CovModel, risk_model: RiskModel) -> Model:
    """The persisted model as of calendar position ``pos``, built first when nobody has built it yet.

    The one place every request for a model passes: checks of the data a variant needs and models served
    from elsewhere than the estimation pipeline belong at its top.
    """
    key = _model_key(ctx, pos, cov_model, risk_model)
    model = _models.get(key)
    if model is not None:
        return model
    day = ctx.day(pos)
    model = ctx.store.read(day, cov_model, risk_model)
    if model is None:
        with ctx.store.lock(variant_name(cov_model, risk_model)):
            # Another process may have built it while we waited for the lock.
            model = ctx.store.read(day, cov_model, risk_model)
            if model is None:
                damaged = ctx.store.damaged(day, cov_model, risk_model) or ctx.store.has(day, cov_model, risk_model)
                _build_missing(ctx, pos, cov_model, risk_model)
                model = ctx.store.read(day, cov_model, risk_model)
                if damaged and model is not None:
                    note_rebuilt(1, f"the stored risk model as of {day} ({variant_name(cov_model, risk_model)}) "
                                     "could not be read and was rebuilt")
    if model is None:  # pragma: no cover - the build above writes it
        raise RuntimeError(f"risk model for {day} was not persisted")
    _models.put(key, model)
    return model


#: Estimates this process found unreadable and built again (bulk builds, backtests and requests alike).
rebuilt_count = 0


def note_rebuilt(n: int, message: str) -> None:
    """Count `n` estimates rebuilt because their files could not be read, and say so (`OptimizerWarning`)."""
    global rebuilt_count
    with _lock:
        rebuilt_count += n
    warnings.warn(message, OptimizerWarning, stacklevel=3)


class Built(int):
    """The number of dates a build estimated, with ``rebuilt``: how many of them replaced estimate files that
    could not be read (truncated, emptied, overwritten)."""

    rebuilt: int = 0


def build(start, end, cov_models: Iterable[CovModel], risk_models: Iterable[RiskModel], *,
          force: bool = False, chunk: int = 1500, progress: bool = False, workers: int = 1,
          client=None) -> Built:
    """Estimate and persist every variant for the request dates ``start .. end``; returns the dates built
    (`Built`, an int that also counts the dates whose unreadable files were built again).

    A request date's model is the one as of the trading day before it. Dates the store cannot support are
    skipped at the start and end of the range. Missing dates are estimated in contiguous runs of at most
    ``chunk`` dates, each sharing one pass over the factor history.

    With a ``distributed.Client`` the runs are cut into pieces (about two per worker thread) that the
    cluster's workers estimate side by side, each with its own pass over the history its dates need, writing
    into this store: the files are the same, bit for bit, as a local build's (an estimate depends only on
    its own window of data). The workers must see the same database file and estimate directory.
    """
    ctx = context()
    uni = ctx.universe
    variants = [(cm, rm) for cm in cov_models for rm in risk_models]
    lo = max(int(np.searchsorted(uni.dates, np.datetime64(pd.Timestamp(start).date(), "D"))) - 1, FIRST_ASOF_INDEX)
    hi = min(int(np.searchsorted(uni.dates, np.datetime64(pd.Timestamp(end).date(), "D"))) - 1, uni.last)
    todo = [p for p in range(lo, hi + 1)
            if force or not all(ctx.store.has(ctx.day(p), cm, rm) for cm, rm in variants)]
    done = Built(len(todo))
    done.rebuilt = 0 if force else sum(any(ctx.store.damaged(ctx.day(p), cm, rm) for cm, rm in variants)
                                       for p in todo)
    runs = []
    i = 0
    while i < len(todo):
        j = i
        while j + 1 < len(todo) and todo[j + 1] == todo[j] + 1 and j + 1 - i < chunk:
            j += 1
        runs.append((todo[i], todo[j]))
        i = j + 1
    if not runs:
        return done
    ctx.store.check_writable()
    if client is not None:
        _build_on_cluster(client, ctx, runs, variants, progress)
    else:
        _build_here(ctx, runs, variants, progress, workers)
    if done.rebuilt:
        note_rebuilt(done.rebuilt, f"{done.rebuilt} date(s) had stored risk-model estimates that could not be "
                                    "read; they were built again")
    return done


def _build_here(ctx: Context, runs: list[tuple[int, int]], variants: list[tuple[CovModel, RiskModel]],
                progress: bool, workers: int) -> None:
    cms = {cm for cm, _ in variants}
    total = sum(b - a + 1 + (lambda s: s[1] - s[0])(history_span(a, b, cms)) for a, b in runs)
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=total, unit="day", desc="risk model")
    sink = _sink(ctx)
    con = zorvata.connect().cursor()
    try:
        for a, b in runs:
            estimate_range(con, ctx.universe, a, b, variants, sink, bar.update if bar is not None else None, workers)
    finally:
        con.close()
        if bar is not None:
            bar.close()


def _pieces(runs: list[tuple[int, int]], parts: int) -> list[tuple[int, int]]:
    """The runs cut into about ``parts`` pieces of similar length (none shorter than 20 dates, where the
    history each piece reads again would outweigh its dates)."""
    total = sum(b - a + 1 for a, b in runs)
    size = max(20, -(-total // max(parts, 1)))
    out = []
    for a, b in runs:
        n = b - a + 1
        k = max(1, round(n / size))
        edges = [a + (n * i) // k for i in range(k + 1)]
        out += [(lo, hi - 1) for lo, hi in zip(edges[:-1], edges[1:])]
    return out


def _build_on_cluster(client, ctx: Context, runs: list[tuple[int, int]],
                      variants: list[tuple[CovModel, RiskModel]], progress: bool) -> int:
    from . import native

    threads = max(sum(client.nthreads().values()), 1)
    pieces = _pieces(runs, 2 * threads)
    names = [(cm.value, rm.value) for cm, rm in variants]
    futures = [client.submit(build_piece, str(ctx.db_path), str(ctx.store.root), a, b, names, not native.enabled(),
                             pure=False) for a, b in pieces]
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=sum(b - a + 1 for a, b in pieces), unit="date", desc="risk model (cluster)")
    done = 0
    try:
        for fut in futures:  # in order: progress moves as the earlier pieces finish
            n = fut.result()
            done += n
            if bar is not None:
                bar.update(n)
    finally:
        for fut in futures:
            fut.cancel()
        if bar is not None:
            bar.close()
    return done


def build_piece(db_path: str, root: str, lo: int, hi: int, variants: list[tuple[str, str]], reference: bool) -> int:
    """Task of a cluster build: estimate the as-of positions ``lo .. hi`` of ``variants`` on the database at
    ``db_path`` into the estimate directory ``root`` (that of the client). Refuses to write when this worker
    sees other data or code than the client did (the directory's name is their key). Returns the dates."""
    from zorvata.infra import steady_heap

    from . import native

    if Path(zorvata.db_path()) != Path(db_path):
        zorvata.configure(db_path)
    with native.reference(reference), steady_heap():
        ctx = context()
        if ctx.store.root.name != Path(root).name:
            raise RuntimeError(f"this worker sees other market data or estimation code than the client "
                               f"({ctx.store.root.name} instead of {Path(root).name})")
        mine = Context(db_path=ctx.db_path, universe=ctx.universe, store=Store(Path(root), ctx.db_path))
        cms = [(CovModel(cm), RiskModel(rm)) for cm, rm in variants]
        con = zorvata.connect().cursor()
        try:
            estimate_range(con, mine.universe, lo, hi, cms, _sink(mine))
        finally:
            con.close()
    return hi - lo + 1


def prune(dry_run: bool = False) -> list[Path]:
    """Remove the estimate directories of the configured database's estimate location that no database
    refers to (built from data since changed or replaced, or by other code). Returns what was removed."""
    removed = _store.prune([estimate_base(Path(zorvata.db_path()))], dry_run=dry_run)
    if removed and not dry_run:
        _log.info("removed %d estimate director%s no database refers to", len(removed),
                  "y" if len(removed) == 1 else "ies")
    forget()
    return removed
