"""Checkpoints: one small JSON file per finished rebalance date, written atomically.

A run given a checkpoint directory records every date as it finishes; the same call later reads them back and
computes only the rest. Weights are stored as JSON numbers, which round-trip floats exactly, so a resumed run
reproduces the uninterrupted one bit for bit.

The directory's tag holds the backtest's configuration; each date's file also holds a key of what the date
read: every input of the market database known by that day (prices, calendar, instruments and delistings,
industries, fundamentals, index weights, trading flags, special treatment; see :func:`input_keys`), its pool
and its objective. A date whose inputs changed since (a corrected index weight, say) is computed again; data
appended after it leaves its key as it was.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

from zorvata.infra import atomic_write

from ..exception import InvalidArgument

__all__ = ["Checkpoint", "input_keys"]


def _backtest_events(present: set[str]) -> dict[str, list[str]]:
    """Event queries (day, rows, hash sum) of the inputs a backtest reads beyond the risk model's."""
    out = {}
    if "index_weights" in present:
        out["index_weights"] = ["SELECT date AS d, count(*) AS n, sum(hash(index_id, order_book_id, weight)) AS h "
                                "FROM index_weights GROUP BY d"]
    if "daily_flags" in present:
        out["daily_flags"] = ["SELECT date AS d, count(*) AS n, sum(hash(order_book_id, suspended, limit_up, "
                              "limit_down)) AS h FROM daily_flags GROUP BY d"]
    if "st_status" in present:  # a period counts from its start, its end from then on
        out["st_status"] = ["SELECT start_date AS d, count(*) AS n, sum(hash(order_book_id, start_date)) AS h "
                            "FROM st_status GROUP BY d",
                            "SELECT end_date AS d, 0 AS n, sum(hash(order_book_id, start_date, end_date)) AS h "
                            "FROM st_status WHERE end_date IS NOT NULL GROUP BY d"]
    if "instruments" in present:
        out["delistings"] = ["SELECT de_listed_date AS d, count(*) AS n, sum(hash(order_book_id, de_listed_date)) "
                             "AS h FROM instruments WHERE de_listed_date IS NOT NULL GROUP BY d"]
    return out


def input_keys():
    """Running checksums of every input of the configured market database a backtest reads
    (``.name(day)`` keys what is known by ``day``)."""
    import zorvata

    from ..riskmodel.store import data_keys, tables_present

    con = zorvata.connect().cursor()
    try:
        return data_keys(con, more=_backtest_events(tables_present(con)))
    finally:
        con.close()


class Checkpoint:
    def __init__(self, path: str | os.PathLike, fingerprint: str) -> None:
        self.root = Path(path)
        self.stale: list[str] = []
        self.root.mkdir(parents=True, exist_ok=True)
        tag = self.root / "backtest.json"
        if tag.exists():
            try:
                known = json.loads(tag.read_text()).get("fingerprint")
            except (OSError, ValueError) as e:
                raise InvalidArgument(f"checkpoint {self.root} is unreadable: {e}") from None
            if known != fingerprint:
                raise InvalidArgument(f"checkpoint {self.root} belongs to a different backtest "
                                      f"(its configuration, dates or universe differ); use another directory")
        else:
            self._write(tag, {"fingerprint": fingerprint})

    @staticmethod
    def _write(path: Path, data: dict) -> None:
        with atomic_write(path, "w") as fh:
            json.dump(data, fh)

    def _path(self, day: str) -> Path:
        return self.root / f"{day}.json"

    def record(self, day: str, outcome: dict) -> None:
        self._write(self._path(day), outcome)

    def load(self, day: str, inputs: str) -> dict | None:
        """The outcome recorded for ``day`` from the same ``inputs``; None when there is none (or it was
        recorded from other inputs: ``stale`` counts those)."""
        path = self._path(day)
        try:
            rec = json.loads(path.read_text())
        except (FileNotFoundError, ValueError):  # a torn file cannot exist (atomic rename), a hand-edited can
            return None
        if not isinstance(rec, dict) or rec.get("inputs") != inputs:
            self.stale.append(day)
            return None
        return rec
