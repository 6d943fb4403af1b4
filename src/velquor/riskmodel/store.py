"""Persisted estimates: a directory of per-date files beside the market database.

Layout: ``<db>.riskmodel/<fingerprint>/exposure/<YYYY-MM-DD>.npz`` (exposures as of that date's close,
shared by every variant) and ``<db>.riskmodel/<fingerprint>/<horizon>-<version>/<YYYY-MM-DD>.npz`` (factor
covariance and specific variances). Files are written to a temporary name and renamed into place, so readers
in any process see a complete file or none; they are readable by everyone (0644), so one user can build an
estimate directory that others read. A file that cannot be read counts as missing and is built again.

The fingerprint names what the estimates were computed from: a checksum of every row of every input table
(so any write to the data, an in-place ``UPDATE`` included, gives a fresh directory) and a hash of the
estimation code and its parameters. Each directory records the database it belongs to in ``SOURCE``;
``prune`` removes the directories no database refers to any more.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import shutil
import tempfile
import zipfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from ..const import CovModel, RiskModel
from .params import COUNTRY, MODEL_VERSION, STYLE_FACTORS, variant_name

__all__ = ["ENV_DIR", "Store", "Model", "fingerprint", "code_fingerprint", "data_checksums", "estimate_base", "prune"]

#: Environment variable that moves the estimate directory away from the database file.
ENV_DIR = "VELQUOR_RISKMODEL_DIR"


#: The columns each estimate reads, per input table; their checksums make up the data fingerprint.
INPUT_COLUMNS = {
    "trading_dates": "date",
    "instruments": "order_book_id, type, listed_date, industry_sw",
    "industries": "source, code",
    "industry_history": "source, order_book_id, code, start_date, end_date",
    "price_change_rate": "date, order_book_id, rate",
    "stock_daily": "date, order_book_id, market_cap, turnover",
    "fundamentals": "order_book_id, report_date, announce_date, book_value, earnings, sales, total_debt",
}
#: The modules whose code decides the estimates.
_CODE_MODULES = ("data.py", "exposures.py", "kernels.py", "params.py", "pipeline.py")
_code_hash: str | None = None


def code_fingerprint() -> str:
    """Hash of the estimation code and the model version."""
    global _code_hash
    if _code_hash is None:
        h = hashlib.sha256(MODEL_VERSION.encode())
        here = Path(__file__).parent
        for name in _CODE_MODULES:
            h.update(name.encode() + b"\0" + (here / name).read_bytes())
        _code_hash = h.hexdigest()
    return _code_hash


def data_checksums(con) -> dict[str, tuple]:
    """Row count and order-independent sum of row hashes of every input table (None: table absent)."""
    present = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
    parts = [f"SELECT '{t}' AS t, count(*) AS n, sum(hash({cols}))::VARCHAR AS h FROM {t}"
             for t, cols in INPUT_COLUMNS.items() if t in present]
    rows = con.execute(" UNION ALL ".join(parts)).fetchall() if parts else []
    out = {t: None for t in INPUT_COLUMNS}
    out.update({t: (int(n), h) for t, n, h in rows})
    return out


def fingerprint(con) -> str:
    """The name of the estimate directory for the data behind ``con`` and the current code."""
    text = repr(sorted(data_checksums(con).items())) + "|" + code_fingerprint()
    return hashlib.sha256(text.encode()).hexdigest()[:16]


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
            vals, vecs = np.linalg.eigh(self.factor_cov)
            self._root = np.ascontiguousarray(vecs * np.sqrt(np.maximum(vals, 0.0)))
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


def _ids_key(ids_text: str) -> int:
    return zlib.crc32(ids_text.encode())


#: Errors that make an estimate file count as missing.
_UNREADABLE = (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile)
SOURCE_FILE = "SOURCE"
FILE_MODE = 0o644


def estimate_base(db_path: Path) -> Path:
    """The directory holding the fingerprint directories of a database's estimates."""
    base = os.environ.get(ENV_DIR)
    return Path(base) if base else Path(str(db_path) + ".riskmodel")


class Store:
    """The estimate directory of one market database."""

    def __init__(self, root: Path, db_path: Path | None = None) -> None:
        self.root = Path(root)
        self.db_path = None if db_path is None else Path(db_path)
        self._marked = False

    @classmethod
    def for_database(cls, db_path: Path, fp: str) -> "Store":
        return cls(estimate_base(db_path) / fp, db_path)

    def _mark(self) -> None:
        """Record the database this directory belongs to (for ``prune``). Databases with the same content
        share a directory, so the file lists every database that has written to it."""
        if self._marked or self.db_path is None:
            return
        self.root.mkdir(parents=True, exist_ok=True)
        marker = self.root / SOURCE_FILE
        me = str(self.db_path.resolve())
        try:
            known = marker.read_text().splitlines()
        except OSError:
            known = []
        if me not in known:
            self._write_bytes(marker, "".join(line + "\n" for line in [*known, me]).encode())
        self._marked = True

    @staticmethod
    def _write_bytes(path: Path, data: bytes) -> None:
        fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
        try:
            os.fchmod(fd, FILE_MODE)
            with os.fdopen(fd, "wb") as fh:
                fh.write(data)
            os.replace(tmp, path)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise

    def exposure_path(self, day: str) -> Path:
        return self.root / "exposure" / f"{day}.npz"

    def variant_path(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> Path:
        return self.root / variant_name(cov_model, risk_model) / f"{day}.npz"

    def has(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> bool:
        return self.variant_path(day, cov_model, risk_model).exists() and self.exposure_path(day).exists()

    @staticmethod
    def _write(path: Path, **arrays) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
        try:
            os.fchmod(fd, FILE_MODE)  # mkstemp creates 0600; estimates are shared
            with os.fdopen(fd, "wb") as fh:
                np.savez(fh, **arrays)
            os.replace(tmp, path)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise

    def write(self, day: str, cov_model: CovModel, risk_model: RiskModel, ids: list[str], style: np.ndarray,
              industry: np.ndarray, industry_names: list[str], cap: np.ndarray, factor_cov: np.ndarray,
              specific_var: np.ndarray) -> None:
        self._mark()
        ids_text = "\n".join(ids)
        key = _ids_key(ids_text)
        epath = self.exposure_path(day)
        if not epath.exists() or self._exposure_key(epath) != key:
            self._write(epath, ids=np.array(ids_text), style=style.astype(np.float32),
                        industry=industry.astype(np.int16), industry_names=np.array("\n".join(industry_names)),
                        cap=cap.astype(np.float64), key=np.int64(key))
        self._write(self.variant_path(day, cov_model, risk_model), factor_cov=factor_cov,
                    specific_var=specific_var, key=np.int64(key))

    @staticmethod
    def _exposure_key(path: Path) -> int | None:
        try:
            with open(path, "rb") as fh, np.load(fh) as z:
                return int(z["key"])
        except _UNREADABLE:
            return None

    def read(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> Model | None:
        """The persisted model, or None when it is missing, unreadable or its two files do not belong
        together."""
        try:
            # the files are opened here, not by np.load, which leaves its handle open when a file is damaged
            with open(self.variant_path(day, cov_model, risk_model), "rb") as vf, \
                    open(self.exposure_path(day), "rb") as ef, np.load(vf) as v, np.load(ef) as e:
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
        with contextlib.suppress(OSError):  # a reader of someone else's directory may not write
            self._mark()
        return model

    @contextlib.contextmanager
    def lock(self, name: str):
        """Exclusive advisory lock serialising the builders of one variant across processes."""
        import fcntl

        self.root.mkdir(parents=True, exist_ok=True)
        path = self.root / f".{name}.lock"
        try:
            fh = open(path, "a+b")
        except PermissionError:  # another user's directory: flock needs no write access
            fh = open(path, "rb")
        with fh:
            fcntl.flock(fh.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(fh.fileno(), fcntl.LOCK_UN)


def _dbs_of(fp_dir: Path, base: Path) -> list[Path]:
    try:
        return [Path(line) for line in (fp_dir / SOURCE_FILE).read_text().splitlines() if line.strip()]
    except OSError:
        pass
    if base.name.endswith(".riskmodel"):  # the default place beside the database
        return [base.with_name(base.name[: -len(".riskmodel")])]
    return []


def prune(bases: list[Path], dry_run: bool = False) -> list[Path]:
    """Remove the fingerprint directories under ``bases`` that no database refers to: their database is
    gone, or its current data and the current code give another fingerprint. Directories whose database
    cannot be read now (locked by a writer, say) are kept. Returns the directories removed."""
    import duckdb

    removed = []
    current: dict[Path, str | None] = {}

    def fingerprint_of(db: Path) -> str | None:
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
                        current[db] = fingerprint(con)
                    finally:
                        con.close()
        return current[db]

    for base in bases:
        if not base.is_dir():
            continue
        for d in sorted(p for p in base.iterdir() if p.is_dir()):
            dbs = _dbs_of(d, base)
            if not dbs or any(fingerprint_of(db) in (None, d.name) for db in dbs):
                continue
            removed.append(d)
            if not dry_run:
                shutil.rmtree(d, ignore_errors=True)
    return removed
