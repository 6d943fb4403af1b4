"""Persisted estimates: directories of per-date files beside the market database.

Layout: ``<db>.riskmodel/<cutoff>-<key>/exposure/<YYYY-MM-DD>.npz`` (exposures as of that date's close,
shared by every variant) and ``<db>.riskmodel/<cutoff>-<key>/<horizon>-<version>/<YYYY-MM-DD>.npz`` (factor
covariance and specific variances). Files are written to a temporary name and renamed into place, so readers
in any process see a complete file or none; they take the database's group and permissions (at most 0644), so
nobody reads estimates of a database they cannot read. A file that cannot be read counts as missing and is
built again.

A directory holds estimates as of dates up to its cutoff (the last date with prices when it was made), and
its key names what they were computed from: a checksum of every row of every input table known by the
cutoff (a price or a cap of a day up to it, a report announced by it, an industry period started by it,
...) and a hash of the estimation code and its parameters. An estimate as of a date reads only rows known by
that date, so the directory stays valid for as long as the rows known by its cutoff are unchanged: adding
later days (an append) leaves it in use, while any change to a row it covers, an in-place ``UPDATE``
included, retires it. New estimates go to the directory of the current cutoff; older valid directories are
read as well. Each directory records the databases it belongs to in ``SOURCE``; ``prune`` removes the
directories no database can use any more.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import os
import re
import shutil
import time
import zipfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from zorvata._errors import AccessError, access_error
from zorvata.infra import atomic_write, file_lock, keep_access

from ..const import CovModel, RiskModel
from .params import COUNTRY, MODEL_VERSION, STYLE_FACTORS, variant_name

__all__ = ["ENV_DIR", "Store", "Model", "DataKeys", "data_keys", "tables_present", "database_keys",
           "code_fingerprint", "estimate_base", "prune", "psd_root", "bad_id"]

#: Environment variable that moves the estimate directory away from the database file.
ENV_DIR = "VELQUOR_RISKMODEL_DIR"


#: Per input table: the column dating each row (from that day on an estimate may read it; None: every row
#: counts from the start) and the columns the estimates read, whose checksums make up the data key.
INPUT_COLUMNS = {
    "trading_dates": ("date", "date"),
    "instruments": ("listed_date", "order_book_id, type, listed_date, industry_sw"),
    "industries": (None, "source, code"),
    "price_change_rate": ("date", "date, order_book_id, rate"),
    "stock_daily": ("date", "date, order_book_id, market_cap, turnover"),
    "fundamentals": ("announce_date",
                     "order_book_id, report_date, announce_date, book_value, earnings, sales, total_debt"),
}
#: An industry period counts from its start without its end, and with its end from then on.
_PERIOD = "source, order_book_id, code, start_date"
_EPOCH = "DATE '0001-01-01'"
#: The modules whose code decides the estimates.
_CODE_MODULES = ("data.py", "exposures.py", "kernels.py", "native.py", "params.py", "pipeline.py")
_code_hash: dict[str, str] = {}


def code_fingerprint() -> str:
    """Hash of the estimation code, the model version and the kernels in use (native or reference)."""
    from . import native

    mode = native.fingerprint()
    if mode not in _code_hash:
        h = hashlib.sha256(MODEL_VERSION.encode() + b"\0" + mode.encode())
        here = Path(__file__).parent
        for name in _CODE_MODULES:
            h.update(name.encode() + b"\0" + (here / name).read_bytes())
        _code_hash[mode] = h.hexdigest()
    return _code_hash[mode]


def _events(table: str, present: set[str]) -> list[str]:
    """Queries of (day, rows, hash sum) by the day rows of ``table`` become known."""
    if table not in present:
        return []
    if table == "industry_history":
        return [f"SELECT start_date AS d, count(*) AS n, sum(hash({_PERIOD}, NULL::DATE)) AS h FROM {table} "
                "GROUP BY d",
                f"SELECT end_date AS d, 0 AS n, sum(hash({_PERIOD}, end_date)) - sum(hash({_PERIOD}, NULL::DATE)) "
                f"AS h FROM {table} WHERE end_date IS NOT NULL GROUP BY d"]
    col, cols = INPUT_COLUMNS[table]
    day = _EPOCH if col is None else f"coalesce({col}, {_EPOCH})"
    return [f"SELECT {day} AS d, count(*) AS n, sum(hash({cols})) AS h FROM {table} GROUP BY d"]


@dataclass
class DataKeys:
    """Running checksums of the input tables by the day their rows become known: ``name(day)`` names the
    estimate directory of the data known by ``day`` (with the current code)."""

    running: dict[str, tuple[np.ndarray, list[tuple[int, str]]]]  # table -> (days, (rows, hash sum) by then)
    extra: str = ""  # what else decides the estimates (the industry factors)

    def known_by(self, day) -> list:
        day = np.datetime64(day, "D")
        out = []
        for t in sorted(self.running):
            days, sums = self.running[t]
            i = int(np.searchsorted(days, day, side="right")) - 1
            out.append((t, sums[i] if i >= 0 else (0, "0")))
        return out

    def name(self, day) -> str:
        """Directory name of the estimates as of dates up to ``day``: the day and a key of the data known by
        then, the extra inputs and the code."""
        day = np.datetime64(day, "D")
        text = repr(self.known_by(day)) + "|" + self.extra + "|" + code_fingerprint()
        return f"{day}-{hashlib.sha256(text.encode()).hexdigest()[:16]}"

    def valid(self, dirname: str) -> bool:
        """Whether a directory name (``<day>-<key>``) matches the current data known by its day."""
        day = dirname[:10]
        try:
            np.datetime64(day, "D")
        except ValueError:
            return False
        return len(dirname) == 27 and dirname[10] == "-" and self.name(day) == dirname


def tables_present(con) -> set[str]:
    """Names of the tables of the database behind ``con``."""
    return {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}


def data_keys(con, extra: str = "", more: dict[str, list[str]] | None = None) -> DataKeys:
    """The running checksums of the input tables behind ``con`` (one pass over each); ``more`` adds named
    event queries of other inputs (each giving day ``d``, rows ``n`` and hash sum ``h``)."""
    present = tables_present(con)
    events = {t: _events(t, present) for t in [*INPUT_COLUMNS, "industry_history"]}
    events.update(more or {})
    tables = list(events)
    parts = [f"SELECT '{t}' AS t, * FROM ({q})" for t in tables for q in events[t]]
    running = {t: (np.array([], dtype="datetime64[D]"), []) for t in tables}
    if parts:
        rows = con.execute(
            "SELECT t, d, sum(sum(n)) OVER w AS n, (sum(sum(h)) OVER w)::VARCHAR AS h FROM ("
            + " UNION ALL ".join(parts)
            + ") GROUP BY t, d WINDOW w AS (PARTITION BY t ORDER BY d) ORDER BY t, d").fetchall()
        by: dict[str, list] = {}
        for t, d, n, h in rows:
            by.setdefault(t, []).append((d, int(n), h))
        for t, got in by.items():
            running[t] = (np.array([g[0] for g in got], dtype="datetime64[D]"), [(g[1], g[2]) for g in got])
    return DataKeys(running=running, extra=extra)


def psd_root(cov: np.ndarray) -> np.ndarray:
    """G with G G' the positive semidefinite part of `cov` (symmetric), C-contiguous: X F X' is then the Gram
    matrix of X G. The one eigen-root of the risk models (estimated and imported alike)."""
    vals, vecs = np.linalg.eigh(cov)
    return np.ascontiguousarray(vecs * np.sqrt(np.maximum(vals, 0.0)))


@dataclass
class Model:
    """One persisted model variant as of one date."""

    ids: list[str]
    style: np.ndarray  # (n, styles) float32
    industry: np.ndarray  # (n,) industry numbers
    industry_names: list[str]
    cap: np.ndarray
    factor_cov: np.ndarray  # (K, K)
    specific_var: np.ndarray  # (n,)
    position: dict = field(default_factory=dict, repr=False)  # order_book_id -> row
    _root: np.ndarray | None = field(default=None, repr=False)

    @property
    def factor_names(self) -> list[str]:
        return [COUNTRY, *self.industry_names, *STYLE_FACTORS]

    @property
    def cov_root(self) -> np.ndarray:
        """G with G G' = factor_cov, so X F X' is the Gram matrix of X G."""
        if self._root is None:
            self._root = psd_root(self.factor_cov)
        return self._root

    def design(self, rows: np.ndarray) -> np.ndarray:
        """Full exposure rows [country, industry dummies, styles] of the given model rows."""
        n_ind = len(self.industry_names)
        x = np.zeros((len(rows), 1 + n_ind + len(STYLE_FACTORS)))
        x[:, 0] = 1.0
        ind = self.industry[rows]
        has = ind >= 0  # a stock without an industry on the date has no industry exposure
        x[np.flatnonzero(has), 1 + ind[has]] = 1.0
        x[:, 1 + n_ind:] = self.style[rows]
        return x


def bad_id(ids) -> str | None:
    """The first id a file listing ids one a line cannot hold (empty, white space or a control character)."""
    ids = ids if isinstance(ids, list) else list(ids)
    # all of them at once, in C: a day's few thousand ids one by one took 20 ms, once per stored date
    joined = "".join(ids)
    if all(ids) and joined.isprintable() and not _SPACE.search(joined):
        return None
    return next((i for i in ids if not i or not i.isprintable() or _SPACE.search(i)), None)


def _ids_key(ids_text: str) -> int:
    return zlib.crc32(ids_text.encode())


#: Errors that make an estimate file count as missing.
_SPACE = re.compile(r"\s")  # what str.isspace() calls white space
_UNREADABLE = (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile)
_VARIANT_MEMBERS = {"factor_cov", "specific_var", "key"}
_EXPOSURE_MEMBERS = {"ids", "style", "industry", "industry_names", "cap", "key"}
SOURCE_FILE = "SOURCE"
FILE_MODE = 0o644


_KEYS: dict[tuple, int | None] = {}  # (path, inode, mtime, size) -> key: the variants of a day share an exposure file


def _archive_key(path: Path, members: set[str]) -> int | None:
    """The key of an estimate file whose archive directory lists `members`; None when it cannot be read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    sig = (str(path), st.st_ino, st.st_mtime_ns, st.st_size)
    if sig in _KEYS:
        return _KEYS[sig]
    try:
        with open(path, "rb") as fh, np.load(fh) as z:
            key = int(z["key"]) if set(z.files) >= members else None
    except _UNREADABLE:
        key = None
    if time.time_ns() - st.st_mtime_ns > 2_000_000_000:  # a file rewritten in place within one clock tick
        if len(_KEYS) > 100_000:                         # keeps its signature: only settled files are kept
            _KEYS.clear()
        _KEYS[sig] = key
    return key


def estimate_base(db_path: Path) -> Path:
    """The directory holding the estimate directories of a database."""
    base = os.environ.get(ENV_DIR)
    return Path(base) if base else Path(str(db_path) + ".riskmodel")


def database_keys(con, industry_names: list[str] | None = None) -> DataKeys:
    """The data keys of the database behind ``con``, its industry factors (read when not given) included."""
    if industry_names is None:
        from .data import load_universe

        industry_names = load_universe(con).industry_names
    return data_keys(con, "\n".join(industry_names))


class Store:
    """The estimate directories of one market database: ``root``, that of the current cutoff, where new
    estimates go, and the ``older`` ones whose data is unchanged, newest first, read as well."""

    def __init__(self, root: Path, db_path: Path | None = None, older: list[Path] | tuple = ()) -> None:
        self.root = Path(root)
        self.older = [Path(p) for p in older]
        self.db_path = None if db_path is None else Path(db_path)
        self._marked: set[Path] = set()

    @classmethod
    def for_database(cls, db_path: Path, keys: DataKeys, cutoff) -> "Store":
        """The store of a database whose data keys are ``keys`` and whose last date with prices is
        ``cutoff``."""
        base = estimate_base(db_path)
        root = base / keys.name(cutoff)
        older = []
        if base.is_dir():
            older = sorted((d for d in base.iterdir() if d.is_dir() and d != root and keys.valid(d.name)),
                           key=lambda d: d.name, reverse=True)
        return cls(root, db_path, older)

    def _roots(self, day: str) -> list[Path]:
        """The directories that may hold an estimate as of ``day``: the current one first."""
        return [self.root, *(d for d in self.older if d.name[:10] >= day)]

    def _mark(self, root: Path | None = None) -> None:
        """Record the database a directory belongs to (for ``prune``). Databases with the same content
        share a directory, so the file lists every database that has written to or read from it."""
        root = self.root if root is None else root
        if root in self._marked or self.db_path is None:
            return
        self._make_dir(root)
        marker = root / SOURCE_FILE
        me = str(self.db_path.resolve())
        try:
            known = marker.read_text().splitlines()
        except OSError:
            known = []
        if me not in known:
            self._write_bytes(marker, "".join(line + "\n" for line in [*known, me]).encode())
        self._marked.add(root)

    def _like(self) -> os.stat_result | None:
        """The database file's status: estimates take its mode (at most FILE_MODE) and group."""
        if self.db_path is None:
            return None
        try:
            return os.stat(self.db_path)
        except OSError:
            return None

    def _make_dir(self, path: Path) -> None:
        """Create `path` and its missing parents, each with the database's group and permissions (search
        where read), so a directory lists its dates to no one who cannot read the database."""
        new = []
        p = path
        while not p.exists() and p != p.parent:
            new.append(p)
            p = p.parent
        path.mkdir(parents=True, exist_ok=True)
        like = self._like()
        if like is not None:
            for d in new:
                keep_access(d, like, FILE_MODE, directory=True)

    def _write_bytes(self, path: Path, data: bytes) -> None:
        with self._writing(path), atomic_write(path, permissions=FILE_MODE, like=self._like()) as fh:
            fh.write(data)

    def check_writable(self) -> None:
        """Raise `zorvata.AccessError` now, before any estimating, when no estimate could be written."""
        with self._writing(self.root):
            self._make_dir(self.root)
            if not os.access(self.root, os.W_OK | os.X_OK):
                raise PermissionError(13, "Permission denied", str(self.root))

    @contextlib.contextmanager
    def _writing(self, path: Path):
        """Failures of the file system as one line naming the file and what to do (`zorvata.AccessError`)."""
        try:
            yield
        except OSError as e:
            raise access_error(e, path, "write the risk-model estimate",
                               f"or set {ENV_DIR} to a writable directory for the estimates") from e

    def exposure_path(self, day: str, root: Path | None = None) -> Path:
        return (self.root if root is None else root) / "exposure" / f"{day}.npz"

    def variant_path(self, day: str, cov_model: CovModel, risk_model: RiskModel, root: Path | None = None) -> Path:
        return (self.root if root is None else root) / variant_name(cov_model, risk_model) / f"{day}.npz"

    def has(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> bool:
        """Whether an intact estimate is stored: both files readable as archives of the expected members,
        belonging together. A truncated, emptied or overwritten file counts as missing (``damaged``)."""
        return any(self._intact(r, day, cov_model, risk_model) for r in self._roots(day))

    def damaged(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> bool:
        """Whether no intact estimate is stored but a file of it is there, unreadable (or the two files do not
        belong together): a build of it is a rebuild."""
        if self.has(day, cov_model, risk_model):
            return False
        for r in self._roots(day):
            v, e = self.variant_path(day, cov_model, risk_model, r), self.exposure_path(day, r)
            keys = [_archive_key(p, m) for p, m in ((v, _VARIANT_MEMBERS), (e, _EXPOSURE_MEMBERS)) if p.exists()]
            if None in keys or len(keys) == 2:
                return True
        return False

    def _intact(self, root: Path, day: str, cov_model: CovModel, risk_model: RiskModel) -> bool:
        # the archives' directories and keys only (cheap enough for every date of a bulk build); a file
        # damaged inside passes here and fails `read`, which then rebuilds it
        v = _archive_key(self.variant_path(day, cov_model, risk_model, root), _VARIANT_MEMBERS)
        return v is not None and v == _archive_key(self.exposure_path(day, root), _EXPOSURE_MEMBERS)

    def _write(self, path: Path, in_one: bool = False, **arrays) -> None:
        """``in_one``: the archive is assembled in memory and written in one call (the archive writer's seeks
        and small writes on the file cost several times the assembly)."""
        with self._writing(path):
            self._make_dir(path.parent)
            # the database's mode and group, at most 0644: estimates reveal what the database holds
            with atomic_write(path, permissions=FILE_MODE, like=self._like()) as fh:
                if in_one:
                    buf = io.BytesIO()
                    np.savez(buf, **arrays)
                    fh.write(buf.getbuffer())
                else:
                    np.savez(fh, **arrays)

    def write(self, day: str, cov_model: CovModel, risk_model: RiskModel, ids: list[str], style: np.ndarray,
              industry: np.ndarray, industry_names: list[str], cap: np.ndarray, factor_cov: np.ndarray,
              specific_var: np.ndarray) -> None:
        self.write_day(day, ids, style, industry, industry_names, cap, [(cov_model, risk_model, factor_cov,
                                                                          specific_var)])

    def write_day(self, day: str, ids: list[str], style: np.ndarray, industry: np.ndarray, industry_names: list[str],
                  cap: np.ndarray, variants: list[tuple[CovModel, RiskModel, np.ndarray, np.ndarray]],
                  ids_checked: bool = False, in_one: bool = False) -> None:
        """Persist the variants ``(cov_model, risk_model, factor_cov, specific_var)`` of one day, which share
        its exposure file. ``ids_checked``: the caller has made sure every id can be stored; ``in_one``: each
        file is written in one call."""
        if not ids_checked:
            bad = bad_id(ids)
            if bad is not None:
                raise ValueError(f"id {bad!r} holds whitespace or a control character; it cannot be stored")
        with self._writing(self.root):
            self._mark()
        ids_text = "\n".join(ids)
        key = _ids_key(ids_text)
        epath = self.exposure_path(day)
        if not epath.exists() or self._exposure_key(epath) != key:
            self._write(epath, in_one, ids=np.array(ids_text), style=style.astype(np.float32),
                        industry=industry.astype(np.int16), industry_names=np.array("\n".join(industry_names)),
                        cap=cap.astype(np.float64), key=np.int64(key))
        for cov_model, risk_model, factor_cov, specific_var in variants:
            self._write(self.variant_path(day, cov_model, risk_model), in_one, factor_cov=factor_cov,
                        specific_var=specific_var, key=np.int64(key))

    @staticmethod
    def _exposure_key(path: Path) -> int | None:
        """The key of a wholly readable exposure file (every member read: a file damaged inside is rewritten)."""
        try:
            with open(path, "rb") as fh, np.load(fh) as z:
                for name in _EXPOSURE_MEMBERS:
                    z[name]
                return int(z["key"])
        except _UNREADABLE:
            return None

    def read(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> Model | None:
        """The persisted model, or None when it is missing, unreadable or its two files do not belong
        together (in every directory that may hold it)."""
        for root in self._roots(day):
            model = self._read_in(root, day, cov_model, risk_model)
            if model is not None:
                return model
        return None

    @staticmethod
    def as_stored(ids: list[str], style: np.ndarray, industry: np.ndarray, industry_names: list[str],
                  cap: np.ndarray, factor_cov: np.ndarray, specific_var: np.ndarray) -> Model:
        """The model :meth:`read` gives back for what :meth:`write_day` stores, without the files: the same
        values, types and memory layouts, so every computation on it gives the same bits."""

        def saved(a: np.ndarray, dtype=None) -> np.ndarray:
            # an archive keeps the dtype, and Fortran order only for arrays laid out that way alone
            a = np.asarray(a) if dtype is None else np.asarray(a).astype(dtype, copy=False)
            fortran = a.flags.f_contiguous and not a.flags.c_contiguous
            return np.array(a, order="F" if fortran else "C", copy=True)

        ids = [str(k) for k in ids]  # plain text, as read back (not numpy's: they pickle at a tenth of the speed)
        return Model(ids=ids, style=saved(style, np.float32), industry=saved(industry, np.int16).astype(np.intp),
                     industry_names=list(industry_names), cap=saved(cap, np.float64), factor_cov=saved(factor_cov),
                     specific_var=saved(specific_var), position={k: i for i, k in enumerate(ids)})

    def _read_in(self, root: Path, day: str, cov_model: CovModel, risk_model: RiskModel) -> Model | None:
        try:
            # the files are opened here, not by np.load, which leaves its handle open when a file is damaged
            with open(self.variant_path(day, cov_model, risk_model, root), "rb") as vf, \
                    open(self.exposure_path(day, root), "rb") as ef, np.load(vf) as v, np.load(ef) as e:
                if int(v["key"]) != int(e["key"]):
                    return None
                ids = str(e["ids"]).split("\n")
                names = str(e["industry_names"]).split("\n")
                model = Model(ids=ids, style=e["style"], industry=e["industry"].astype(np.intp),
                              industry_names=names, cap=e["cap"], factor_cov=v["factor_cov"],
                              specific_var=v["specific_var"], position={k: i for i, k in enumerate(ids)})
        except _UNREADABLE:
            return None
        n, k = len(model.ids), 1 + len(model.industry_names) + len(STYLE_FACTORS)
        if (model.style.shape != (n, len(STYLE_FACTORS)) or model.industry.shape != (n,)
                or model.cap.shape != (n,) or model.specific_var.shape != (n,) or model.factor_cov.shape != (k, k)):
            return None  # a file of another layout
        with contextlib.suppress(OSError, AccessError):  # a reader of someone else's directory may not write
            self._mark(root)
        return model

    @contextlib.contextmanager
    def lock(self, name: str):
        """Exclusive advisory lock (``.<name>.lock``) serialising the builders of one variant across
        processes."""
        with contextlib.ExitStack() as stack:
            with self._writing(self.root / f".{name}.lock"):
                self._make_dir(self.root)
                held = stack.enter_context(file_lock(self.root / f".{name}"))
            yield held


def _dbs_of(fp_dir: Path, base: Path) -> list[Path]:
    try:
        return [Path(line) for line in (fp_dir / SOURCE_FILE).read_text().splitlines() if line.strip()]
    except OSError:
        pass
    if base.name.endswith(".riskmodel"):  # the default place beside the database
        return [base.with_name(base.name[: -len(".riskmodel")])]
    return []


def prune(bases: list[Path], dry_run: bool = False) -> list[Path]:
    """Remove the estimate directories under ``bases`` that no database can use: every database listed is
    gone, or has changed the data known by the directory's cutoff, or the code has changed since. Directories
    whose database cannot be read now (locked by a writer, say) are kept. Returns the directories removed."""
    import duckdb

    removed = []
    current: dict[Path, DataKeys | str | None] = {}

    def keys_of(db: Path) -> DataKeys | str | None:
        if db not in current:
            if not db.exists():
                current[db] = ""
            else:
                try:
                    con = duckdb.connect(str(db), read_only=True)
                except duckdb.Error:
                    current[db] = None
                else:
                    try:
                        current[db] = database_keys(con)
                    finally:
                        con.close()
        return current[db]

    def used(d: Path, db: Path) -> bool:
        k = keys_of(db)
        return k is None or (isinstance(k, DataKeys) and k.valid(d.name))

    for base in bases:
        if not base.is_dir():
            continue
        for d in sorted(p for p in base.iterdir() if p.is_dir()):
            dbs = _dbs_of(d, base)
            if not dbs or any(used(d, db) for db in dbs):
                continue
            removed.append(d)
            if not dry_run:
                shutil.rmtree(d, ignore_errors=True)
    return removed
