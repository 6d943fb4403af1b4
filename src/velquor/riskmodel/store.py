"""Persisted estimates: a directory of per-date files beside the market database.

Layout: ``<db>.riskmodel/<fingerprint>/exposure/<YYYY-MM-DD>.npz`` (exposures as of that date's close,
shared by every variant) and ``<db>.riskmodel/<fingerprint>/<horizon>-<version>/<YYYY-MM-DD>.npz`` (factor
covariance and specific variances). Files are written to a temporary name and renamed into place, so readers
in any process see a complete file or none. The fingerprint hashes the database's ``meta`` table and the
model version: a rebuilt database or changed estimation code gets a fresh directory.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import tempfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from ..const import CovModel, RiskModel
from .params import COUNTRY, MODEL_VERSION, STYLE_FACTORS, variant_name

__all__ = ["ENV_DIR", "Store", "Model", "fingerprint"]

#: Environment variable that moves the estimate directory away from the database file.
ENV_DIR = "VELQUOR_RISKMODEL_DIR"


def fingerprint(con) -> str:
    rows = con.execute("SELECT key, value FROM meta ORDER BY key").fetchall()
    text = repr(rows) + "|" + MODEL_VERSION
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
        x[np.arange(len(rows)), 1 + self.industry[rows]] = 1.0
        x[:, 1 + n_ind:] = self.style[rows]
        return x


def _ids_key(ids_text: str) -> int:
    return zlib.crc32(ids_text.encode())


class Store:
    """The estimate directory of one market database."""

    def __init__(self, root: Path) -> None:
        self.root = Path(root)

    @classmethod
    def for_database(cls, db_path: Path, fp: str) -> "Store":
        base = os.environ.get(ENV_DIR)
        root = Path(base) if base else Path(str(db_path) + ".riskmodel")
        return cls(root / fp)

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
            with np.load(path) as z:
                return int(z["key"])
        except (OSError, KeyError, ValueError):
            return None

    def read(self, day: str, cov_model: CovModel, risk_model: RiskModel) -> Model | None:
        """The persisted model, or None when it is missing or its two files do not belong together."""
        try:
            with np.load(self.variant_path(day, cov_model, risk_model)) as v, np.load(self.exposure_path(day)) as e:
                if int(v["key"]) != int(e["key"]):
                    return None
                ids = str(e["ids"]).split("\n")
                names = str(e["industry_names"]).split("\n")
                return Model(ids=ids, style=e["style"], industry=e["industry"].astype(np.intp),
                             industry_names=names, cap=e["cap"], factor_cov=v["factor_cov"],
                             specific_var=v["specific_var"], position={k: i for i, k in enumerate(ids)})
        except FileNotFoundError:
            return None

    @contextlib.contextmanager
    def lock(self, name: str):
        """Exclusive advisory lock serialising the builders of one variant across processes."""
        self.root.mkdir(parents=True, exist_ok=True)
        with open(self.root / f".{name}.lock", "a+b") as fh:
            import fcntl

            fcntl.flock(fh.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(fh.fileno(), fcntl.LOCK_UN)
