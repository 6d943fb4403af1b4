"""Checkpoints: one small JSON file per finished rebalance date, written atomically.

A run given a checkpoint directory records every date as it finishes; the same call later reads them back and
computes only the rest. Weights are stored as JSON numbers, which round-trip floats exactly, so a resumed run
reproduces the uninterrupted one bit for bit.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

from zorvata.infra import atomic_write

from ..exception import InvalidArgument

__all__ = ["Checkpoint"]


class Checkpoint:
    def __init__(self, path: str | os.PathLike, fingerprint: str) -> None:
        self.root = Path(path)
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

    def load(self, day: str) -> dict | None:
        path = self._path(day)
        try:
            return json.loads(path.read_text())
        except FileNotFoundError:
            return None
        except ValueError:  # a torn file cannot exist (atomic rename), but a hand-edited one can
            return None
