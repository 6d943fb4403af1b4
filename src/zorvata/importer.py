"""Load a user's own CSV or Parquet files (long formats, see docs/market-data.md) into a market database, or
append a day's files to an existing one.

Everything happens inside DuckDB: the files are read by its CSV and Parquet readers, every rule is a SQL
query, and the tables are written straight from the files, so memory stays bounded (``memory_limit``, spilling
to a scratch directory beside the output) whatever the input size. All rules run before anything is written;
every broken rule is reported at once (its count and first rows, file and line named) in one
`ValidationError`, and then nothing is written.

A new database is built in a temporary file beside the output and renamed over it when complete. An append
works on a copy of the existing database, renamed over it when complete: readers see the old file or the new
one, never a half-written one. A killed run leaves only hidden ``.<name>.*.tmp`` files, removed by the next
reader or writer that opens the database (`zorvata._store.clean_leftovers`).
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import datetime as _dt
import hashlib
import json
import os
import shutil
from pathlib import Path

import duckdb

from . import _store
from ._errors import AccessError, ValidationError, access_error
from .infra import atomic_path, file_lock, real_path
import numpy as np

from ._schema import KEYS, SORT, TABLES, columns, new_data_version

_log = logging.getLogger(__name__)

__all__ = ["FORMATS", "INSTRUMENT_TYPES", "INDUSTRY_SCHEMES", "Problem", "import_files", "append_files"]

#: The instrument types a store knows (stocks, indices, exchange-traded and listed open-ended funds).
INSTRUMENT_TYPES = ("CS", "INDX", "ETF", "LOF")
#: The industry classification schemes (see `zorvata.INDUSTRY_SOURCES`).
INDUSTRY_SCHEMES = ("sw", "citics", "sw_split_financials")
#: Plausibility bounds: a market cap (in currency units) at or above this is taken for a unit error.
MAX_CAP = 1e14
#: Tolerance of the sum of an index's weights on a date.
WEIGHT_SUM_TOL = 1e-4
#: Stocks reporting on a date from which fundamentals in one fixed proportion are refused as collinear.
PROPORTIONAL_MIN_STOCKS = 5
#: A bar's average traded price (value / volume) must lie within this factor of its close: beyond it, volume
#: or value is in other units (lots of 100 shares, thousands of currency units).
BAR_PRICE_FACTOR = 3
#: Rows named per broken rule.
SAMPLES = 3
#: DuckDB's memory limit for an import (it spills to a scratch directory beyond it); env override.
ENV_MEMORY = "ZORVATA_IMPORT_MEMORY"
DEFAULT_MEMORY = "1GB"


@dataclasses.dataclass(frozen=True)
class _Format:
    table: str
    required: tuple[tuple[str, str], ...]  # (column, type): text, date, number, bool
    optional: tuple[tuple[str, str], ...] = ()
    upsert: bool = False  # an append replaces the rows of the keys it brings

    @property
    def cols(self) -> dict[str, str]:
        return dict(self.required + self.optional)


#: kind -> file format. The key of each kind is that of its table (`zorvata._schema.KEYS`).
FORMATS: dict[str, _Format] = {
    "instruments": _Format(
        "instruments",
        (("order_book_id", "text"), ("type", "text"), ("listed_date", "date")),
        (
            ("symbol", "text"),
            ("de_listed_date", "date"),
            ("exchange", "text"),
            ("industry_sw", "text"),
            ("industry_citics", "text"),
        ),
        upsert=True,
    ),
    "trading_dates": _Format("trading_dates", (("date", "date"),), upsert=True),
    "prices": _Format("price_change_rate", (("date", "date"), ("order_book_id", "text"), ("rate", "number"))),
    "index_weights": _Format(
        "index_weights",
        (("index_id", "text"), ("date", "date"), ("order_book_id", "text"), ("weight", "number")),
    ),
    "stock_daily": _Format(
        "stock_daily",
        (("date", "date"), ("order_book_id", "text")),
        (("market_cap", "number"), ("float_market_cap", "number"), ("turnover", "number")),
    ),
    "fundamentals": _Format(
        "fundamentals",
        (("order_book_id", "text"), ("report_date", "date"), ("announce_date", "date")),
        (("book_value", "number"), ("earnings", "number"), ("sales", "number"), ("total_debt", "number")),
    ),
    "industries": _Format(
        "industries", (("source", "text"), ("code", "text")), (("name", "text"),), upsert=True
    ),
    "industry_history": _Format(
        "industry_history",
        (("source", "text"), ("order_book_id", "text"), ("code", "text"), ("start_date", "date")),
        (("end_date", "date"),),
        upsert=True,
    ),
    "st_status": _Format(
        "st_status", (("order_book_id", "text"), ("start_date", "date")), (("end_date", "date"),), upsert=True
    ),
    "daily_flags": _Format(
        "daily_flags",
        (("date", "date"), ("order_book_id", "text")),
        (("suspended", "bool"), ("limit_up", "bool"), ("limit_down", "bool")),
    ),
    "daily_bars": _Format(
        "daily_bars",
        (("date", "date"), ("order_book_id", "text"), ("close", "number"), ("adj_factor", "number")),
        (("open", "number"), ("volume", "number"), ("value", "number")),
    ),
    "custom_exposures": _Format(
        "custom_exposures",
        (("date", "date"), ("order_book_id", "text"), ("factor", "text"), ("exposure", "number")),
    ),
    "custom_factor_cov": _Format(
        "custom_factor_cov", (("date", "date"), ("factor_1", "text"), ("factor_2", "text"), ("cov", "number"))
    ),
    "custom_specific_var": _Format(
        "custom_specific_var", (("date", "date"), ("order_book_id", "text"), ("specific_var", "number"))
    ),
}
#: Kinds in the order they are checked and written (the instruments and the calendar first: the others are
#: checked against them).
KINDS = tuple(FORMATS)
_NOT_DELISTED = "0000-00-00"
_OPEN_END = {"de_listed_date", "end_date"}  # blank = still live / current


@dataclasses.dataclass
class Problem:
    """One broken rule: the file, the rule's text for the first row, how many rows break it, their rows."""

    path: Path
    message: str
    count: int = 0
    rows: list = dataclasses.field(default_factory=list)  # 1-based data rows (first few)
    csv: bool = True

    def where(self, row) -> str:
        return f"row {row}" + (f" (line {row + 1})" if self.csv else "")

    def __str__(self) -> str:
        if not self.rows:
            return f"{self.path}: {self.message}"
        text = f"{self.path}: {self.where(self.rows[0])}: {self.message}"
        if self.count > 1:
            more = ", ".join(str(r) for r in self.rows[1:])
            text += (
                f" [{self.count:,} rows in all"
                + (f"; also row{'s' if len(self.rows) > 2 else ''} {more}" if more else "")
                + "]"
            )
        return text


def _q(path) -> str:
    return "'" + str(path).replace("'", "''") + "'"


#: The characters an id (order_book_id, index_id) may hold: a code of letters and digits (inner ``-`` and
#: ``_`` allowed), a dot, an exchange suffix of letters and digits ("600000.XSHG"); nothing else, no whitespace
#: or control characters (the estimate files and the command line's pool files are line based).
ID_PATTERN = r"^[A-Za-z0-9]+([_-][A-Za-z0-9]+)*\.[A-Za-z0-9]+$"
_ID_COLUMNS = ("order_book_id", "index_id")
#: A date given as a timestamp with a UTC offset ("2024-01-01 16:00:00+00:00"): its day is taken in the
#: exchange's time zone, like that of a time-zone-aware Parquet timestamp.
_OFFSET_TEXT = r"\d[T ]\d\d:\d\d.*(Z|[+-]\d\d(:?\d\d)?)$"
#: The exchange's time zone: the calendar day of a time-zone-aware timestamp is its day there.
EXCHANGE_TZ = "Asia/Shanghai"
#: Longest text of a DuckDB reason quoted in a message.
_REASON_CHARS = 400


def duckdb_reason(e: BaseException) -> str:
    """DuckDB's error text on one line: its reason kept, the quoted input line, the reader's option dump,
    the query echo and the hints on reader options the importer does not expose dropped."""
    keep = []
    for line in str(e).splitlines():
        text = line.strip()
        if (
            not text
            or line.startswith((" ", "\t"))
            or text.startswith(("Original Line:", "Possible Solution:", "LINE ", "^"))
        ):
            continue
        keep.append(text[:_REASON_CHARS] + ("..." if len(text) > _REASON_CHARS else ""))
    return "; ".join(keep) or type(e).__name__


def file_digest(path: Path) -> tuple[str, int, bool]:
    """(sha256 hex digest, size in bytes, whether the file holds nothing but whitespace) of `path`."""
    h = hashlib.sha256()
    size, blank = 0, True
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
            blank = blank and not chunk.strip()
    return h.hexdigest(), size, blank


class _Input:
    """One input file as a typed view ``_t_<kind>`` (column ``_row`` = 1-based data row), plus ``_raw_<col>``
    text columns where the file's values are parsed from text.

    DuckDB's readers expand glob characters (``*``, ``?``, ``[...]``) in the paths they are given, so they
    never see the user's path: they read a link to the file under a plain name in the run's private
    directory, and a file really named ``prices*.parquet`` is read alone.
    """

    def __init__(self, run: "_Run", kind: str, path):
        self.run, self.kind, self.path = run, kind, Path(path)
        self.fmt = FORMATS[kind]
        self.csv = self.path.suffix.lower() not in (".parquet", ".pq")
        self.ok = False
        self.view = f"_t_{kind}"
        self.digest: str | None = None
        con = run.con
        if not self.path.exists():
            run.fail(self, f"the {kind} file does not exist")
            return
        if not self.path.is_file():
            run.fail(self, f"the {kind} file is not a regular file (a directory?); name the file itself")
            return
        try:
            self.digest, size, blank = file_digest(self.path)
        except OSError as e:
            run.fail(self, f"cannot read the {kind} file: {e.strerror or e}")
            return
        if blank:
            run.fail(self, f"the {kind} file is empty ({size} bytes, not even a header line)")
            return
        source = run.link(self.path, kind)
        try:
            if self.csv:
                raw = f"scratch._raw_{kind}"
                con.execute(
                    f"CREATE TABLE {raw} AS SELECT * FROM read_csv({_q(source)}, all_varchar = true, "
                    "header = true)"
                )
                src = f"(SELECT rowid + 1 AS _row, * FROM {raw})"
            else:
                src = (
                    f"(SELECT file_row_number + 1 AS _row, * EXCLUDE (file_row_number) "
                    f"FROM read_parquet({_q(source)}, file_row_number = true))"
                )
            types = {r[0]: r[1] for r in con.execute(f"DESCRIBE SELECT * FROM {src}").fetchall()}
        except duckdb.Error as e:
            run.fail(self, f"cannot read the {kind} file: {duckdb_reason(e)}")
            return
        types.pop("_row", None)
        req = [c for c, _ in self.fmt.required]
        opt = [c for c, _ in self.fmt.optional]
        missing = [c for c in req if c not in types]
        unknown = [c for c in types if c not in req + opt]
        if missing or unknown:
            what = "; ".join(
                p
                for p in (
                    f"missing column(s) {missing}" if missing else "",
                    f"unknown column(s) {unknown}" if unknown else "",
                )
                if p
            )
            run.fail(self, f"{what}; a {kind} file has columns {req} and optionally {opt}")
            return
        self.present = set(types)
        sel = ["_row"]
        self.parsed: dict[str, str] = {}  # column -> SQL test over alias t: "the value is blank"
        self.unparsed: dict[str, str] = {}  # column -> SQL test over alias t: "present but not readable"
        for c, typ in self.fmt.cols.items():
            if c not in types:
                sel.append(f"{'false' if typ == 'bool' else 'NULL'}::{_SQL_TYPE[typ]} AS {c}")
                continue
            src_type = types[c].upper()
            text_src = src_type == "VARCHAR"
            text = f"NULLIF(trim(CAST({c} AS VARCHAR)), '')"
            if c in _OPEN_END:
                text = f"NULLIF({text}, '{_NOT_DELISTED}')"
            if typ == "text":
                sel.append(f"{text} AS {c}")
                self.parsed[c] = f"t.{c} IS NULL"
                continue
            value = f"TRY_CAST({text if text_src else c} AS {_SQL_TYPE[typ]})"
            if typ == "date" and text_src:
                # a text timestamp with an offset names an instant: its day on the exchange's calendar
                value = (
                    f"CASE WHEN regexp_matches({text}, '{_OFFSET_TEXT}') "
                    f"THEN TRY_CAST(TRY_CAST({text} AS TIMESTAMPTZ) AS DATE) ELSE {value} END"
                )
            sel.append(f"{value} AS {c}")
            sel.append(f"{text if text_src else f'CAST({c} AS VARCHAR)'} AS _raw_{c}")
            self.parsed[c] = f"t._raw_{c} IS NULL"
            self.unparsed[c] = f"t._raw_{c} IS NOT NULL AND t.{c} IS NULL"
        try:
            con.execute(f"CREATE TEMP VIEW {self.view} AS SELECT {', '.join(sel)} FROM {src}")
        except duckdb.Error as e:  # pragma: no cover - a column type DuckDB cannot cast at all
            run.fail(self, f"cannot read the {kind} file: {duckdb_reason(e)}")
            return
        try:
            empty = not con.execute(f"SELECT count(*) FROM (SELECT 1 FROM {self.view} LIMIT 1)").fetchone()[0]
        except duckdb.Error as e:
            run.fail(self, f"cannot read the {kind} file: {duckdb_reason(e)}")
            return
        if empty and not run.append and kind in ("instruments", "prices"):
            # without rows every other file's ids and dates would be blamed instead
            run.fail(self, f"the {kind} file has a header but no data rows; a new database needs them")
            return
        self.ok = True


_SQL_TYPE = {"text": "VARCHAR", "date": "DATE", "number": "DOUBLE", "bool": "BOOLEAN"}


@dataclasses.dataclass
class _Rule:
    message: str  # str.format template over the sample fields
    where: str  # SQL predicate over t (the file) and the joins of its kind
    fields: dict  # sample field -> SQL expression


def _r(message, where, **fields) -> _Rule:
    return _Rule(message, where, fields)


_LIVE = "(t.{d} >= i.listed_date AND (i.de_listed_date IS NULL OR t.{d} < i.de_listed_date))"
_UNKNOWN_ID = _r(
    "unknown order_book_id {id!r} (not in the instruments file)",
    "t.order_book_id IS NOT NULL AND i.order_book_id IS NULL",
    id="t.order_book_id",
)
_OFF_CALENDAR = _r(
    "date {d} is not a trading date (not in the trading calendar)",
    "t.date IS NOT NULL AND c.date IS NULL",
    d="t.date",
)
_BEFORE_LISTING = _r(
    "row dated {d} before the instrument's listed_date {l}",
    "t.date < i.listed_date",
    d="t.date",
    l="i.listed_date",
)
_AFTER_DELISTING = _r(
    "row dated {d} on or after the instrument's de_listed_date {l}",
    "t.date >= i.de_listed_date",
    d="t.date",
    l="i.de_listed_date",
)
_NOT_STOCK = _r(
    "{id!r} is of type {ty}, not a stock (CS)", "i.type <> 'CS'", id="t.order_book_id", ty="i.type"
)
_PERIOD = _r(
    "end_date {e} is not after start_date {s}", "t.end_date <= t.start_date", e="t.end_date", s="t.start_date"
)

#: The rules of a row about one stock on one trading day inside its listing window.
_STOCK_DAY = [_UNKNOWN_ID, _NOT_STOCK, _BEFORE_LISTING, _AFTER_DELISTING, _OFF_CALENDAR]


def _cap_rule(col):
    return _r(
        f"{col} {{v}} is not a plausible market cap (it must be above 0 and below {MAX_CAP:g})",
        f"t.{col} <= 0 OR t.{col} >= {MAX_CAP}",
        v=f"t.{col}",
    )


#: Row rules per kind, and the joins they need: i = the instrument of order_book_id, c = the calendar date
#: of `date`, x = the instrument of index_id, n = the industry of (source, code).
RULES: dict[str, tuple[str, list[_Rule]]] = {
    "instruments": (
        "",
        [
            _r(
                "type {ty!r} is not one of " + ", ".join(INSTRUMENT_TYPES) + " (upper case)",
                "t.type NOT IN (" + ", ".join(f"'{x}'" for x in INSTRUMENT_TYPES) + ")",
                ty="t.type",
            ),
            _r(
                "de_listed_date is not after listed_date ({l} .. {d})",
                "t.de_listed_date <= t.listed_date",
                l="t.listed_date",
                d="t.de_listed_date",
            ),
        ],
    ),
    "trading_dates": ("", []),
    "prices": (
        "ic",
        [
            _r("rate {v!r} is a loss of 100% or more", "t.rate <= -1", v="t.rate"),
            _r(
                "rate {v!r} is a gain above +100% (rate is the day's total return as a fraction, adjusted for "
                "splits and dividends: 0.05 = +5%)",
                "t.rate > 1",
                v="t.rate",
            ),
            _UNKNOWN_ID,
            _BEFORE_LISTING,
            _AFTER_DELISTING,
            _OFF_CALENDAR,
        ],
    ),
    "index_weights": (
        "icx",
        [
            _r(
                "unknown index_id {id!r} (not in the instruments file)",
                "t.index_id IS NOT NULL AND x.order_book_id IS NULL",
                id="t.index_id",
            ),
            _r(
                "index_id {id!r} is of type {ty}, not an index (INDX)",
                "x.type <> 'INDX'",
                id="t.index_id",
                ty="x.type",
            ),
            _UNKNOWN_ID,
            _NOT_STOCK,
            _r(
                "constituent {id!r} is not listed on {d} (listed {l} .. {e})",
                "NOT " + _LIVE.format(d="date"),
                id="t.order_book_id",
                d="t.date",
                l="i.listed_date",
                e="coalesce(CAST(i.de_listed_date AS VARCHAR), '')",
            ),
            _r("weight {w!r} is outside 0 .. 1", "t.weight < 0 OR t.weight > 1", w="t.weight"),
            _OFF_CALENDAR,
        ],
    ),
    "stock_daily": (
        "ic",
        [
            _UNKNOWN_ID,
            _NOT_STOCK,
            _cap_rule("market_cap"),
            _cap_rule("float_market_cap"),
            _r(
                "float_market_cap {f!r} is above market_cap {m!r}",
                "t.float_market_cap > t.market_cap * (1 + 1e-9)",
                f="t.float_market_cap",
                m="t.market_cap",
            ),
            _r(
                "turnover {v!r} is outside 0 .. 1 (the day's traded value as a fraction of the float cap)",
                "t.turnover < 0 OR t.turnover > 1",
                v="t.turnover",
            ),
            _BEFORE_LISTING,
            _AFTER_DELISTING,
            _OFF_CALENDAR,
        ],
    ),
    "fundamentals": (
        "i",
        [
            _UNKNOWN_ID,
            _r(
                "announce_date {a} before report_date {r}",
                "t.announce_date < t.report_date",
                a="t.announce_date",
                r="t.report_date",
            ),
            _r("negative sales {v!r}", "t.sales < 0", v="t.sales"),
            _r("negative total_debt {v!r}", "t.total_debt < 0", v="t.total_debt"),
        ],
    ),
    "industries": (
        "",
        [
            _r(
                "source {s!r} is not one of " + ", ".join(INDUSTRY_SCHEMES),
                "t.source NOT IN (" + ", ".join(f"'{x}'" for x in INDUSTRY_SCHEMES) + ")",
                s="t.source",
            ),
        ],
    ),
    "industry_history": (
        "in",
        [
            _r(
                "source {s!r} is not one of " + ", ".join(INDUSTRY_SCHEMES),
                "t.source NOT IN (" + ", ".join(f"'{x}'" for x in INDUSTRY_SCHEMES) + ")",
                s="t.source",
            ),
            _UNKNOWN_ID,
            _NOT_STOCK,
            _PERIOD,
            _r(
                "industry code {c!r} of {s} is not in the industries file",
                "t.code IS NOT NULL AND n.code IS NULL",
                c="t.code",
                s="t.source",
            ),
        ],
    ),
    "st_status": ("i", [_UNKNOWN_ID, _NOT_STOCK, _PERIOD]),
    "daily_flags": (
        "ic",
        [
            *_STOCK_DAY,
            _r("both limit_up and limit_down", "t.limit_up AND t.limit_down"),
            _r("suspended and at a price limit", "t.suspended AND (t.limit_up OR t.limit_down)"),
        ],
    ),
    "daily_bars": (
        "ic",
        [
            *_STOCK_DAY,
            _r("close {v!r} is not a price above 0", "t.close <= 0", v="t.close"),
            _r("open {v!r} is not a price above 0", "t.open <= 0", v="t.open"),
            _r(
                "adj_factor {v!r} is not above 0 (close * adj_factor is the adjusted price)",
                "t.adj_factor <= 0",
                v="t.adj_factor",
            ),
            _r("negative volume {v!r}", "t.volume < 0", v="t.volume"),
            _r("negative value {v!r}", "t.value < 0", v="t.value"),
            _r(
                f"value / volume = {{p!r}} lies more than a factor {BAR_PRICE_FACTOR} from close {{c!r}} "
                "(volume counts shares, value is in currency units)",
                f"t.volume > 0 AND t.value > 0 AND t.close > 0 AND (t.value / t.volume > t.close * "
                f"{BAR_PRICE_FACTOR} OR t.value / t.volume * {BAR_PRICE_FACTOR} < t.close)",
                p="round(t.value / t.volume, 4)",
                c="t.close",
            ),
            _r("value {v!r} with no volume", "t.volume = 0 AND t.value > 0", v="t.value"),
        ],
    ),
    "custom_exposures": ("ic", [_UNKNOWN_ID, _NOT_STOCK, _OFF_CALENDAR, _BEFORE_LISTING, _AFTER_DELISTING]),
    "custom_factor_cov": (
        "c",
        [
            _OFF_CALENDAR,
            _r(
                "variance {v!r} of factor {f!r} is not positive",
                "t.factor_1 = t.factor_2 AND t.cov <= 0",
                v="t.cov",
                f="t.factor_1",
            ),
        ],
    ),
    "custom_specific_var": (
        "ic",
        [
            _UNKNOWN_ID,
            _NOT_STOCK,
            _OFF_CALENDAR,
            _r("specific_var {v!r} is not positive", "t.specific_var <= 0", v="t.specific_var"),
        ],
    ),
}
_JOINS = {
    "i": "LEFT JOIN _inst i ON i.order_book_id = t.order_book_id",
    "c": "LEFT JOIN _cal c ON c.date = t.date",
    "x": "LEFT JOIN _inst x ON x.order_book_id = t.index_id",
    "n": "LEFT JOIN _ind n ON n.source = t.source AND n.code = t.code",
}


class _Run:
    """One import or append: the connection to the database being written, and the problems found."""

    def __init__(self, con, append: bool, links: Path):
        self.con, self.append, self.links = con, append, links
        self.problems: list[Problem] = []
        self.inputs: dict[str, _Input] = {}

    def link(self, path: Path, kind: str) -> Path:
        """A name for `path` free of glob characters: a link in the run's private directory (DuckDB's
        readers expand globs in every path they are given)."""
        self.links.mkdir(exist_ok=True)
        suffixes = "".join(path.suffixes[-2:]) if len(path.suffixes) > 1 else path.suffix
        safe = "".join(ch if ch.isalnum() or ch in "._-" else "_" for ch in suffixes)
        link = self.links / f"{kind}{safe}"
        os.symlink(path.absolute(), link)
        return link

    def fail(self, f: _Input, message: str, count: int = 0, rows=()) -> None:
        self.problems.append(Problem(f.path, message, count, list(rows), f.csv))

    # ---- generic checks
    def check_values(self, f: _Input) -> None:
        """Missing, unparseable and non-finite values, and the row rules of the file's kind."""
        checks: list[_Rule] = []
        for c, typ in f.fmt.cols.items():
            if (c, typ) in f.fmt.required:
                hint = " (leave days without a trade out)" if c == "rate" else ""
                checks.append(_r(f"missing {c}{hint}", f.parsed[c]))
            if c in f.unparsed:
                text = {
                    "date": "unparseable {c} {{v!r}} (expected YYYY-MM-DD)",
                    "number": "{c} {{v!r}} is not a number",
                    "bool": "unparseable {c} {{v!r}} (expected true/false)",
                }[typ].format(c=c)
                checks.append(_r(text, f.unparsed[c], v=f"t._raw_{c}"))
            if typ == "number":
                checks.append(_r(f"{c} is not finite", f"NOT isfinite(t.{c})"))
            if c in _ID_COLUMNS:
                checks.append(
                    _r(
                        f"{c} {{v!r}} is not an id: a code, a dot and an exchange suffix (600000.XSHG), letters "
                        "and digits only, no whitespace or control characters",
                        f"NOT regexp_matches(t.{c}, '{ID_PATTERN}')",
                        v=f"t.{c}",
                    )
                )
            elif typ == "text":
                checks.append(
                    _r(
                        f"{c} {{v!r}} holds a line break or another control character",
                        f"regexp_matches(t.{c}, '[[:cntrl:]]')",
                        v=f"t.{c}",
                    )
                )
        joins, rules = RULES[f.kind]
        for j in joins:
            if not self.has_join(j):
                rules = [r for r in rules if not _uses(r, j)]
        checks += rules
        frm = f"{f.view} t " + " ".join(_JOINS[j] for j in joins if self.has_join(j))
        self.count_and_report(f, checks, frm)

    def count_and_report(self, f: _Input, checks: list[_Rule], frm: str) -> None:
        if not checks:
            return
        counts = self.con.execute(
            "SELECT " + ", ".join(f"count(*) FILTER (WHERE {r.where})" for r in checks) + f" FROM {frm}"
        ).fetchone()
        for rule, n in zip(checks, counts):
            if n:
                self.report(f, rule, n, frm)

    def report(self, f: _Input, rule: _Rule, n: int, frm: str) -> None:
        names = list(rule.fields)
        exprs = ", ".join(["t._row"] + [f"{e} AS {k}" for k, e in rule.fields.items()])
        rows = self.con.execute(
            f"SELECT {exprs} FROM {frm} WHERE {rule.where} ORDER BY t._row LIMIT {SAMPLES}"
        ).fetchall()
        vals = dict(zip(names, rows[0][1:])) if rows else {}
        vals = {k: (v.isoformat() if isinstance(v, _dt.date) else v) for k, v in vals.items()}
        self.fail(f, rule.message.format(**vals), n, [r[0] for r in rows])

    def grouped(self, f: _Input, sql: str, message) -> None:
        """A rule over groups of rows: `sql` yields (_row, detail...) per offending row, `message(row)`
        words the first one."""
        n = self.con.execute(f"SELECT count(*) FROM ({sql})").fetchone()[0]
        if n:
            rows = self.con.execute(f"SELECT * FROM ({sql}) ORDER BY 1 LIMIT {SAMPLES}").fetchall()
            self.fail(f, message(rows[0]), n, [r[0] for r in rows])

    def check_key(self, f: _Input) -> None:
        key = KEYS[f.fmt.table]
        k = ", ".join(key)
        not_null = " AND ".join(f"{c} IS NOT NULL" for c in key)
        # counting first (a plain aggregate), naming rows only when there are duplicates
        self.con.execute(
            f"CREATE OR REPLACE TEMP TABLE _dups AS SELECT {k}, count(*) - 1 AS n FROM {f.view} "
            f"WHERE {not_null} GROUP BY {k} HAVING count(*) > 1"
        )
        n = self.con.execute("SELECT coalesce(sum(n), 0) FROM _dups").fetchone()[0]
        if n:
            rows = self.con.execute(
                f"SELECT _row, first, {k} FROM (SELECT _row, {k}, min(_row) OVER (PARTITION BY {k}) AS first "
                f"FROM {f.view} t SEMI JOIN _dups d ON {_key_eq(key, 't', 'd')}) WHERE _row > first "
                f"ORDER BY _row LIMIT {SAMPLES}"
            ).fetchall()
            r = rows[0]
            self.fail(
                f, f"duplicate {k} {_fmt_key(r[2:])} (first seen in row {r[1]})", int(n), [x[0] for x in rows]
            )
        if self.append and not f.fmt.upsert:
            sql = (
                f"SELECT t._row, {', '.join('t.' + c for c in key)} FROM {f.view} t JOIN main.{f.fmt.table} s "
                f"ON {_key_eq(key, 's', 't')}"
            )
            self.grouped(f, sql, lambda r: f"{k} {_fmt_key(r[1:])} is already in the database")

    # ---- the tables the cross-file rules join
    def has_join(self, j: str) -> bool:
        return {"i": "_inst", "x": "_inst", "c": "_cal", "n": "_ind"}[j] in self.views

    def build_joins(self) -> None:
        """Views of the instruments, calendar and industries the other files are checked against: the files'
        own (their first row per key), merged over the database's in an append."""
        self.views: set[str] = set()
        con = self.con

        def merged(kind: str, cols: str, key: str, table: str) -> str | None:
            f = self.inputs.get(kind)
            parts = []
            if f is not None and f.ok:
                parts.append(f"SELECT DISTINCT ON ({key}) {cols} FROM {f.view} ORDER BY {key}, _row")
            elif f is not None:
                return None  # the file itself is broken: rules against it would only repeat that
            if self.append:
                keep = (
                    f"WHERE NOT EXISTS (SELECT 1 FROM {f.view} v WHERE {_key_eq(key.split(', '), 's', 'v')})"
                    if f is not None
                    else ""
                )
                parts.append(f"SELECT {cols} FROM main.{table} s {keep}")
            if not parts:
                return None
            return " UNION ALL ".join(f"({p})" for p in parts)

        inst = merged(
            "instruments", "order_book_id, type, listed_date, de_listed_date", "order_book_id", "instruments"
        )
        if inst is not None:
            con.execute(f"CREATE TEMP TABLE _inst AS {inst}")
            self.views.add("_inst")
        cal = merged("trading_dates", "date", "date", "trading_dates")
        prices = self.inputs.get("prices")
        if self.append and "trading_dates" not in self.inputs and prices is not None and prices.ok:
            # without a calendar file, an append's new price dates after the calendar extend it
            cal = (
                f"({cal}) UNION (SELECT DISTINCT date FROM {prices.view} WHERE date > "
                "(SELECT max(date) FROM main.trading_dates))"
            )
        if cal is None and "trading_dates" not in self.inputs and prices is not None and prices.ok:
            cal = f"SELECT DISTINCT date FROM {prices.view} WHERE date IS NOT NULL"
        if cal is not None:
            con.execute(f"CREATE TEMP TABLE _cal AS SELECT DISTINCT date FROM ({cal}) WHERE date IS NOT NULL")
            self.views.add("_cal")
        ind = merged("industries", "source, code", "source, code", "industries")
        if ind is not None:
            con.execute(f"CREATE TEMP TABLE _ind AS SELECT DISTINCT * FROM ({ind})")
            if con.execute("SELECT count(*) FROM _ind").fetchone()[0]:
                self.views.add("_ind")

    # ---- rules over groups and across files
    def check_groups(self) -> None:
        inst = self.inputs.get("instruments")
        if self.append and inst is not None and inst.ok:
            # a changed listing window must still hold the store's own daily rows
            for table in ("price_change_rate", "stock_daily", "daily_flags", "daily_bars"):
                sql = (
                    f"SELECT t._row, t.order_book_id, min(s.date), max(s.date) FROM {inst.view} t "
                    f"JOIN main.{table} s ON s.order_book_id = t.order_book_id "
                    "WHERE s.date < t.listed_date OR s.date >= t.de_listed_date GROUP BY ALL"
                )
                self.grouped(
                    inst,
                    sql,
                    lambda r, table=table: f"the listing window of {r[1]!r} leaves out its {table} rows of the "
                    f"database ({r[2]} .. {r[3]})",
                )
        w = self.inputs.get("index_weights")
        if w is not None and w.ok:
            sql = (
                f"SELECT min(_row), index_id, date, sum(weight) AS total FROM {w.view} "
                "WHERE weight IS NOT NULL "
                f"AND index_id IS NOT NULL AND date IS NOT NULL GROUP BY index_id, date "
                f"HAVING abs(sum(weight) - 1) > {WEIGHT_SUM_TOL}"
            )
            self.grouped(w, sql, lambda r: f"the weights of {r[1]} on {r[2]} sum to {r[3]:.6g}, not 1")
        self.check_proportional()
        bars, flags = self.inputs.get("daily_bars"), self.inputs.get("daily_flags")
        if bars is not None and flags is not None and bars.ok and flags.ok:
            # a suspended day has no trade, hence no bar
            sql = (
                f"SELECT b._row, b.order_book_id, b.date FROM {bars.view} b JOIN {flags.view} f "
                "USING (date, order_book_id) WHERE f.suspended"
            )
            self.grouped(bars, sql, lambda r: f"a bar of {r[1]!r} on {r[2]}, a day the flags file has it suspended")
        for kind, part in (("industry_history", "source, order_book_id"), ("st_status", "order_book_id")):
            f = self.inputs.get(kind)
            if f is None or not f.ok:
                continue
            rows = f"SELECT _row, {part}, start_date, end_date FROM {f.view}"
            if self.append:
                on = " AND ".join(f"s.{c} = t.{c}" for c in KEYS[f.fmt.table])
                rows += (
                    f" UNION ALL SELECT NULL, {part}, start_date, end_date FROM main.{kind} s WHERE NOT EXISTS "
                    f"(SELECT 1 FROM {f.view} t WHERE {on})"
                )
            sql = (
                f"SELECT _row, {part}, start_date, prev_start FROM "
                "(SELECT *, lag(end_date) OVER w AS prev_end, "
                f"lag(start_date) OVER w AS prev_start, row_number() OVER w AS k FROM ({rows}) "
                f"WHERE start_date IS NOT NULL WINDOW w AS (PARTITION BY {part} ORDER BY start_date)) "
                f"WHERE k > 1 AND (prev_end IS NULL OR prev_end > start_date) AND _row IS NOT NULL"
            )
            self.grouped(
                f,
                sql,
                lambda r: (
                    f"period from {r[-2]} of {', '.join(map(str, r[1:-2]))} overlaps the period from {r[-1]}"
                ),
            )
        self.check_custom()

    def check_proportional(self) -> None:
        """Two fundamentals columns in one fixed proportion for every stock reporting on a date (earnings
        exactly a tenth of book value, say): generated or mis-joined data, and the ratios built from them
        would be the same factor twice."""
        f = self.inputs.get("fundamentals")
        if f is None or not f.ok:
            return
        cols = [c for c, typ in f.fmt.optional if typ == "number" and c in f.present]
        for i, a in enumerate(cols):
            for b in cols[i + 1:]:
                sql = (
                    f"SELECT min(_row), report_date, count(DISTINCT order_book_id), min({a} / {b}) FROM {f.view} "
                    f"WHERE {a} <> 0 AND {b} <> 0 AND isfinite({a} / {b}) AND report_date IS NOT NULL "
                    f"GROUP BY report_date HAVING count(DISTINCT order_book_id) >= {PROPORTIONAL_MIN_STOCKS} "
                    f"AND max({a} / {b}) - min({a} / {b}) <= 1e-9 * abs(max({a} / {b}))"
                )
                self.grouped(
                    f,
                    sql,
                    lambda r, a=a, b=b: (
                        f"{a} is exactly {r[3]:.6g} times {b} for all {r[2]} stocks reporting on {r[1]}: "
                        f"the two are one column (collinear style factors); check how the file was made"
                    ),
                )

    def check_custom(self) -> None:
        ex, cov, sv = (
            self.inputs.get(k) for k in ("custom_exposures", "custom_factor_cov", "custom_specific_var")
        )
        given = [f for f in (ex, cov, sv) if f is not None]
        if not given:
            return
        if len(given) < 3:
            for f in given:
                self.fail(
                    f,
                    "a custom risk model needs all three files: custom exposures, factor covariance and "
                    "specific variances",
                )
            return
        if not all(f.ok for f in given):
            return
        # every stock with exposures has a specific variance on that date, and vice versa
        self.grouped(
            ex,
            f"SELECT min(t._row), t.order_book_id, t.date FROM {ex.view} t ANTI JOIN {sv.view} s "
            f"USING (date, order_book_id) GROUP BY ALL",
            lambda r: f"{r[1]} has exposures on {r[2]} but no specific variance",
        )
        self.grouped(
            sv,
            f"SELECT s._row, s.order_book_id, s.date FROM {sv.view} s ANTI JOIN {ex.view} t "
            f"USING (date, order_book_id)",
            lambda r: f"{r[1]} has a specific variance on {r[2]} but no exposures",
        )
        # every factor of a date's exposures has a variance that date, and every covariance entry's factors
        # appear in the exposures
        self.grouped(
            ex,
            f"SELECT min(t._row), t.factor, t.date FROM {ex.view} t ANTI JOIN (SELECT date, factor_1 AS "
            f"factor FROM {cov.view} WHERE factor_1 = factor_2) c USING (date, factor) GROUP BY ALL",
            lambda r: f"factor {r[1]!r} has exposures on {r[2]} but no variance in the covariance file",
        )
        self.grouped(
            cov,
            f"SELECT c._row, c.factor_1, c.factor_2, c.date FROM {cov.view} c WHERE NOT EXISTS "
            f"(SELECT 1 FROM {ex.view} t WHERE t.date = c.date AND t.factor = c.factor_1) OR NOT EXISTS "
            f"(SELECT 1 FROM {ex.view} t WHERE t.date = c.date AND t.factor = c.factor_2)",
            lambda r: f"covariance of {r[1]!r} and {r[2]!r} on {r[3]} names a factor without exposures",
        )
        # both triangles, where given, agree
        self.grouped(
            cov,
            f"SELECT a._row, a.factor_1, a.factor_2, a.date, a.cov, b.cov FROM {cov.view} a JOIN "
            f"{cov.view} b ON a.date = b.date AND a.factor_1 = b.factor_2 AND a.factor_2 = b.factor_1 "
            f"WHERE a.factor_1 < a.factor_2 AND abs(a.cov - b.cov) > 1e-12 + 1e-9 * abs(a.cov)",
            lambda r: (
                f"covariance of {r[1]!r} and {r[2]!r} on {r[3]} is {r[4]!r} one way and {r[5]!r} the other"
            ),
        )
        # each date's matrix is positive semi-definite
        bad = _nonpsd_dates(self.con, cov.view)
        if bad:
            self.fail(
                cov,
                f"the factor covariance is not positive semi-definite on {bad[0][1]} (smallest "
                f"eigenvalue {bad[0][2]:.3g})",
                len(bad),
                [r for r, _, _ in bad[:SAMPLES]],
            )

    # ---- writing
    def write(self, kind: str) -> None:
        f = self.inputs[kind]
        table = f.fmt.table
        cols = columns(table)
        key = KEYS[table]
        if self.append and f.fmt.upsert:
            self.con.execute(
                f"DELETE FROM main.{table} s WHERE EXISTS (SELECT 1 FROM {f.view} v "
                f"WHERE {_key_eq(key, 's', 'v')})"
            )
        order = SORT.get(table)
        sel = ", ".join(cols)
        self.con.execute(
            f"INSERT INTO main.{table} ({sel}) SELECT {sel} FROM {f.view}"
            + (f" ORDER BY {order}" if order else "")
        )


def _nonpsd_dates(con, view: str) -> list[tuple]:
    """(first row, date, smallest eigenvalue) of each date whose covariance matrix (entries not given are 0;
    one triangle or both) is not positive semi-definite."""
    got = con.execute(
        f"SELECT date, factor_1, factor_2, cov, _row FROM {view} WHERE date IS NOT NULL AND "
        "factor_1 IS NOT NULL AND factor_2 IS NOT NULL AND isfinite(cov) ORDER BY date, _row"
    ).fetchnumpy()
    dates = np.asarray(got["date"], dtype="datetime64[D]")
    if not len(dates):
        return []
    f1, f2 = np.asarray(got["factor_1"], dtype=object), np.asarray(got["factor_2"], dtype=object)
    cov, rows = np.asarray(got["cov"], dtype=float), np.asarray(got["_row"], dtype=np.int64)
    cuts = np.flatnonzero(dates[1:] != dates[:-1]) + 1
    bad = []
    for a, b in zip(np.r_[0, cuts], np.r_[cuts, len(dates)]):
        names = {n: i for i, n in enumerate(dict.fromkeys([*f1[a:b], *f2[a:b]]))}
        i = np.fromiter((names[x] for x in f1[a:b]), np.intp, b - a)
        j = np.fromiter((names[x] for x in f2[a:b]), np.intp, b - a)
        m = np.zeros((len(names), len(names)))
        m[i, j] = cov[a:b]
        m[j, i] = cov[a:b]
        low = float(np.linalg.eigvalsh(m)[0])
        if low < -1e-10 * max(float(np.abs(np.diag(m)).max()), 1e-300):
            bad.append((int(rows[a:b].min()), str(dates[a]), low))
    return bad


def _key_eq(key, a: str, b: str) -> str:
    return " AND ".join(f"{a}.{c} = {b}.{c}" for c in key)


def _uses(rule: _Rule, join: str) -> bool:
    text = rule.where + " ".join(rule.fields.values())
    return f"{join}." in text


def _fmt_key(values) -> str:
    vals = [v.isoformat() if isinstance(v, _dt.date) else v for v in values]
    return repr(tuple(vals)) if len(vals) > 1 else repr(vals[0])


def _configure(con, spill: Path) -> None:
    con.execute(f"SET memory_limit = '{os.environ.get(ENV_MEMORY, DEFAULT_MEMORY)}'")
    con.execute(f"SET temp_directory = {_q(spill)}")
    con.execute("SET preserve_insertion_order = true")
    # a time-zone-aware timestamp's day is its day on the exchange's calendar, whatever the process's TZ
    con.execute(f"SET TimeZone = '{EXCHANGE_TZ}'")
    con.execute("SET enable_progress_bar = false")


def _run(target: Path, files: dict, append: bool, label: str | None, log=None) -> None:
    """Check `files` and write them into the database file `target` (new, or a copy of the existing one);
    `log(text)`, when given, hears of each step as it ends."""
    import time

    t0 = [time.perf_counter()]

    def step(text: str) -> None:
        now = time.perf_counter()
        line = f"{text} ({now - t0[0]:.1f} s)"
        t0[0] = now
        _log.info("%s: %s", target.name, line)
        if log is not None:
            log(line)

    tag = target.name  # `target` is a temporary name: `.<out>.<random>.tmp`
    scratch = target.with_name(tag[: -len(".tmp")] + ".scratch.tmp")
    spill = target.with_name(tag[: -len(".tmp")] + ".spill.tmp")
    links = target.with_name(tag[: -len(".tmp")] + ".inputs.tmp")
    con = duckdb.connect(str(target))
    try:
        _configure(con, spill)
        con.execute(f"ATTACH {_q(scratch)} AS scratch")
        if not append:
            for name, cols in TABLES.items():
                con.execute(f"CREATE TABLE {name} ({cols})")
        else:
            for name, cols in TABLES.items():  # a store written before these tables existed
                con.execute(f"CREATE TABLE IF NOT EXISTS {name} ({cols})")
        run = _Run(con, append, links)
        for kind in KINDS:
            if files.get(kind) is not None:
                run.inputs[kind] = _Input(run, kind, files[kind])
        run.build_joins()
        for f in run.inputs.values():
            if f.ok:
                run.check_values(f)
                step(f"checked the values of {f.path.name}")
                run.check_key(f)
                step(f"checked the keys of {f.path.name}")
        run.check_groups()
        step("checked the rules across rows and files")
        if run.problems:
            raise _rejection(run.problems)
        for kind in run.inputs:
            run.write(kind)
            step(f"wrote {FORMATS[kind].table}")
        if "_cal" in run.views and (not append or "trading_dates" not in run.inputs):
            # a new store's calendar, or the price dates an append adds past the store's calendar
            con.execute(
                "INSERT INTO trading_dates SELECT date FROM _cal WHERE date NOT IN "
                "(SELECT date FROM trading_dates) ORDER BY date"
            )
        if "industry_history" in run.inputs:
            # instruments without today's code take it from the history (what readers of the two columns see)
            for col, src in (("industry_sw", "sw"), ("industry_citics", "citics")):
                con.execute(
                    f"UPDATE instruments SET {col} = h.code FROM (SELECT order_book_id, "
                    f"arg_max(code, start_date) AS code FROM industry_history WHERE source = '{src}' "
                    f"GROUP BY order_book_id) h WHERE instruments.order_book_id = h.order_book_id "
                    f"AND instruments.{col} IS NULL AND instruments.type = 'CS'"
                )
        lo, hi = con.execute("SELECT min(date), max(date) FROM price_change_rate").fetchone()
        meta = {"data_version": new_data_version(), "data_end": str(hi)}
        now = _dt.datetime.now(_dt.UTC).isoformat(timespec="seconds")
        # each file as read: its path and the checksum of its bytes
        sources = json.dumps(
            {k: {"path": str(f.path.resolve()), "sha256": f.digest} for k, f in run.inputs.items()}
        )
        if append:
            meta.update(updated_at=now, last_append_files=sources)
        else:
            from ._schema import SCHEMA_VERSION

            meta.update(
                schema_version=SCHEMA_VERSION,
                created_at=now,
                label=label or "imported market data",
                generator="zorvata.importer",
                data_start=str(lo),
                source_files=sources,
            )
        if label and append:
            meta["label"] = label
        con.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)", list(meta.items()))
        con.execute("DETACH scratch")
        con.execute("CHECKPOINT")
        step("checkpoint")
    finally:
        con.close()
        _remove(scratch, spill, links)


def _rejection(problems: list[Problem]) -> ValidationError:
    head = (
        f"{len(problems)} problems in the input files; nothing was written:"
        if len(problems) > 1
        else "the input files were rejected; nothing was written:"
    )
    err = ValidationError(
        "\n".join([head] + [f"  {p}" for p in problems]),
        problems[0].path,
        problems[0].rows[0] if problems[0].rows else None,
    )
    err.problems = problems
    return err


def _remove(*paths: Path) -> None:
    for p in paths:
        for q in (p, p.with_name(p.name + ".wal")):
            if q.is_dir():
                shutil.rmtree(q, ignore_errors=True)
            elif q.exists():
                q.unlink()


def import_files(
    out,
    *,
    instruments,
    prices,
    trading_dates=None,
    index_weights=None,
    stock_daily=None,
    fundamentals=None,
    industries=None,
    industry_history=None,
    st_status=None,
    daily_flags=None,
    daily_bars=None,
    custom_exposures=None,
    custom_factor_cov=None,
    custom_specific_var=None,
    label: str | None = None,
    overwrite: bool = False,
    log=None,
) -> Path:
    """Validate the given files and write them as a new market database at `out`.

    Raises `ValidationError` listing every broken rule (its ``problems``; ``path`` and ``row`` name the first);
    `out` is then left as it was. An existing `out` is replaced only with `overwrite=True`. `log(text)`, when
    given, hears of each step as it ends.
    """
    out = real_path(out)  # resolved once: the lock, the write and the replace act on the real file
    if out.is_dir():
        raise ValidationError(f"{out} is a directory; name the database file to write (--out DIR/market.duckdb)", out)
    if out.exists() and not overwrite:
        raise ValidationError(f"{out} exists (pass overwrite=True / --force to replace it)", out)
    files = dict(
        instruments=instruments,
        prices=prices,
        trading_dates=trading_dates,
        index_weights=index_weights,
        stock_daily=stock_daily,
        fundamentals=fundamentals,
        industries=industries,
        industry_history=industry_history,
        st_status=st_status,
        daily_flags=daily_flags,
        daily_bars=daily_bars,
        custom_exposures=custom_exposures,
        custom_factor_cov=custom_factor_cov,
        custom_specific_var=custom_specific_var,
    )
    with _writing(out):
        out.parent.mkdir(parents=True, exist_ok=True)
        _check_writable(out)
        with file_lock(out):
            _store.clean_leftovers(out, locked=True)
            with atomic_path(out) as tmp:
                _run(tmp, files, append=False, label=label, log=log)
    return out


def append_files(db, *, label: str | None = None, log=None, **files) -> Path:
    """Add the given files (any of the kinds of `import_files`) to the existing database `db`, atomically.

    The rows are checked like an import's, against the database's own instruments, calendar and keys: a row
    whose key the database already has is rejected, except in the instruments, trading dates, industries,
    industry history and ST files, whose rows replace those of the same key (a delisting, a closed period).
    The database is copied, the rows added to the copy, and the copy renamed over `db`; a rejection or a
    failure leaves `db` as it was.
    """
    db = real_path(db)  # resolved once: the lock, the copy and the replace act on the real file
    unknown = [k for k in files if k not in FORMATS]
    if unknown:
        raise TypeError(f"unknown file kind(s) {unknown}; expected some of {list(FORMATS)}")
    files = {k: v for k, v in files.items() if v is not None}
    if not db.exists():
        raise ValidationError(f"{db} does not exist (an append adds to an existing database)", db)
    if db.is_dir():
        raise ValidationError(f"{db} is a directory, not a market database", db)
    if not files:
        raise ValidationError("nothing to append: name at least one file", db)
    with _writing(db):
        _check_writable(db)
        with file_lock(db):
            _store.clean_leftovers(db, locked=True)
            with atomic_path(db) as tmp:
                shutil.copyfile(db, tmp)
                _run(tmp, files, append=True, label=label, log=log)
    return db


#: Words of DuckDB errors that are the file system's, not the data's.
_ACCESS_WORDS = ("No space left", "File too large", "Disk quota", "Permission denied", "Read-only file system")


def _check_writable(target: Path) -> None:
    """Before any work: the directory must take the temporary file the database is built in."""
    if not os.access(target.parent, os.W_OK | os.X_OK):
        raise AccessError(
            f"cannot write the database {target}: its directory {target.parent} is not writable (the database is "
            "built beside it and renamed into place); ask for write access or write elsewhere; nothing was changed",
            target,
        )


@contextlib.contextmanager
def _writing(target: Path):
    """Failures of the file system while a database is written, as one line naming the file and what to do
    (`AccessError`); the database is unchanged (only the temporary file, removed, was written)."""
    try:
        yield
    except OSError as e:
        lock = str(getattr(e, "filename", "") or "").endswith(".lock")
        raise access_error(e, f"{target}.lock" if lock else target, "lock" if lock else "write the database") from e
    except duckdb.Error as e:
        if not any(w in str(e) for w in _ACCESS_WORDS):
            raise
        raise access_error(e, target, "write the database") from e
