"""Files the command line reads and writes: tables of ids and values (CSV, TSV, Parquet, JSON, or plain text
with one id per line), weights files, TOML configurations, and dates given as text.

Every reader turns a file it cannot use into :class:`BadInput` (exit status 2 of the command), with the file's
name in the message.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

__all__ = ["BadInput", "WEIGHT_SUFFIXES", "read_table", "id_column", "read_series", "read_toml", "read_weights",
           "write_weights", "write_frontier", "parse_date", "read_holdings", "write_orders"]

#: the formats a weights file may be written in
WEIGHT_SUFFIXES = (".csv", ".parquet", ".json")


class BadInput(Exception):
    """A command-line argument or an input file the command cannot use (exit status 2)."""


def read_table(path: Path, what: str | None = None):
    """The table in the file `path` (BadInput, prefixed with `what`, when there is no such file)."""
    import pandas as pd

    if not path.is_file():
        raise BadInput(f"{what + ': ' if what else ''}no such file: {path}")
    suffix = path.suffix.lower()
    try:
        if suffix == ".parquet":
            return pd.read_parquet(path)
        if suffix == ".json":
            data = json.loads(path.read_text())
            if isinstance(data, dict) and "weights" in data and isinstance(data["weights"], dict):
                frame = pd.DataFrame({"order_book_id": list(data["weights"]),
                                      "weight": list(data["weights"].values())})
                if "date" in data:
                    frame.insert(0, "date", data["date"])
                return frame
            if isinstance(data, dict):
                return pd.DataFrame({"order_book_id": list(data), "value": list(data.values())})
            if isinstance(data, list) and all(isinstance(v, str) for v in data):
                return pd.DataFrame({"order_book_id": data})
            return pd.DataFrame(data)
        if suffix in (".csv", ".tsv"):
            return pd.read_csv(path, sep="\t" if suffix == ".tsv" else ",", dtype={"order_book_id": str})
        # any other file: one id per line (blank lines and '#' comments skipped)
        ids = [ln.split("#", 1)[0].strip() for ln in path.read_text().splitlines()]
        return pd.DataFrame({"order_book_id": [i for i in ids if i]})
    except (OSError, ValueError, UnicodeDecodeError) as e:
        raise BadInput(f"cannot read {path}: {e}") from e


def id_column(frame, path) -> str:
    if "order_book_id" in frame.columns:
        return "order_book_id"
    if len(frame.columns) == 0:
        raise BadInput(f"{path} holds no columns")
    return frame.columns[0]


def read_series(path: str | Path, what: str):
    """A Series by order_book_id (or style name) from a file: CSV/TSV/Parquet with an id column and a value
    column, or a JSON object {id: value}."""
    import pandas as pd

    p = Path(path)
    frame = read_table(p, what)
    key = id_column(frame, p)
    values = [c for c in frame.columns if c not in (key, "date")]
    if not values:
        raise BadInput(f"{what}: {p} needs a value column next to {key}")
    col = "weight" if "weight" in values else "value" if "value" in values else values[0]
    try:
        return pd.Series(frame[col].to_numpy(dtype=float), index=frame[key].astype(str).to_numpy(), name=col)
    except (TypeError, ValueError) as e:
        raise BadInput(f"{what}: {p}: column {col} must hold numbers ({e})") from e


def read_toml(path: str | Path) -> dict:
    import tomllib

    p = Path(path)
    if not p.is_file():
        raise BadInput(f"no such file: {p}")
    try:
        return tomllib.loads(p.read_text())
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise BadInput(f"{p}: not valid TOML: {e}") from e


def parse_date(text: str, name: str = "--date"):
    """The date of a command: strictly YYYY-MM-DD, and a trading date of the market data; anything else is
    bad input naming the argument, the value and what it takes."""
    import datetime as dt
    import re

    import zorvata

    if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", str(text).strip()):
        raise BadInput(f"{name}: {text!r} is not a date in the form YYYY-MM-DD")
    try:
        date = dt.date.fromisoformat(str(text).strip())
    except ValueError as e:
        raise BadInput(f"{name}: {text!r} is not a date ({e})") from None
    try:
        trading = zorvata.is_trading_date(date)
    except zorvata.DataError:  # outside the calendar: the command's own check names the range
        return date
    if not trading:
        before = zorvata.get_previous_trading_date(date)
        after = zorvata.get_next_trading_date(date)
        raise BadInput(f"{name}: {date.isoformat()} ({date.strftime('%A')}) is not a trading date; the nearest "
                       f"are {before.isoformat()} and {after.isoformat()}")
    return date


def write_weights(weights, date, path: str | None) -> None:
    import pandas as pd

    frame = pd.DataFrame({"date": date.isoformat(), "order_book_id": weights.index.astype(str),
                          "weight": weights.to_numpy(dtype=float)})
    if path is None:
        frame.to_csv(sys.stdout, index=False, float_format="%.10g", lineterminator="\n")
        return
    _write_table(frame, path, lambda: json.dumps({"date": date.isoformat(),
                                                  "weights": {k: float(v) for k, v in weights.items()}}, indent=1))


def _write_table(frame, path: str, json_text) -> None:
    """`frame` as .csv or .parquet at `path`, or `json_text()` as .json; another suffix is bad input."""
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix not in WEIGHT_SUFFIXES:
        raise BadInput(f"output must end in .csv, .parquet or .json, got {p.name}")
    p.parent.mkdir(parents=True, exist_ok=True)
    if suffix == ".csv":
        frame.to_csv(p, index=False, float_format="%.10g")
    elif suffix == ".parquet":
        frame.to_parquet(p, index=False)
    else:
        p.write_text(json_text() + "\n")


def read_weights(path: str, date: str | None):
    """Weights and their date from a file written by `velquor optimize` (or any id/weight table)."""
    import pandas as pd

    p = Path(path)
    frame = read_table(p)
    if "date" in frame.columns:
        try:
            stamps = [parse_date(str(d)[:10], "the date column").isoformat() for d in frame["date"]]
        except BadInput as e:
            raise BadInput(f"{p}: {e}") from e
        days = sorted(set(stamps))
        if date is None:
            if len(days) != 1:
                raise BadInput(f"{p} holds weights of {len(days)} dates; pick one with --date")
            date = days[0]
        else:
            chosen = parse_date(date).isoformat()
            frame = frame[[d == chosen for d in stamps]]
            if frame.empty:
                raise BadInput(f"{p} holds no weights for {chosen}")
    elif date is None:
        raise BadInput(f"{p} has no date column; give the date with --date")
    key = id_column(frame, p)
    col = "weight" if "weight" in frame.columns else next((c for c in frame.columns if c not in (key, "date")), None)
    if col is None:
        raise BadInput(f"{p} needs a weight column")
    try:
        weights = pd.Series(frame[col].to_numpy(dtype=float), index=frame[key].astype(str).to_numpy())
    except (TypeError, ValueError) as e:
        raise BadInput(f"{p}: weights must be numbers ({e})") from e
    return weights, date


def write_frontier(frontier, path: str) -> None:
    """The frontier table (return, risk, sharpe, weights) as .csv or .parquet."""
    suffix = Path(path).suffix.lower()
    if suffix not in (".csv", ".parquet"):
        raise BadInput(f"output must end in .csv or .parquet, got {path}")
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    if suffix == ".parquet":
        frontier.to_parquet(path)
    else:
        frontier.to_csv(path, float_format="%.10g")


def read_holdings(path: str | Path):
    """Shares held by order_book_id from a file (an id column and a ``shares`` column, or the first value
    column), whole numbers at or above 0."""
    import numpy as np

    shares = read_series(path, "--holdings")
    bad = shares.index[~np.isfinite(shares.to_numpy()) | (shares.to_numpy() < 0)
                       | (shares.to_numpy() != np.round(shares.to_numpy()))]
    if len(bad):
        raise BadInput(f"--holdings: {path}: {bad[0]} holds {float(shares[bad[0]])!r} shares, not a whole number >= 0")
    if not shares.index.is_unique:
        raise BadInput(f"--holdings: {path}: {shares.index[shares.index.duplicated()][0]} appears twice")
    return shares


def write_orders(orders, date, path: str | None) -> None:
    """An order list (order_book_id, side, shares, price, value) as .csv, .parquet or .json; CSV on stdout
    without a path."""
    frame = orders.copy()
    frame.insert(0, "date", date.isoformat())
    if path is None:
        frame.to_csv(sys.stdout, index=False, float_format="%.10g", lineterminator="\n")
        return
    _write_table(frame, path, lambda: frame.to_json(orient="records", indent=1))
