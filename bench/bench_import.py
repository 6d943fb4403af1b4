"""A full-size market through the importer: generate it, import it from Parquet, append its last day, then
time the client's look-ups and one risk-model date from scratch on it.

Each heavy step runs in a fresh process, so its peak memory (max RSS) is its own. Prints each step's time and
peak against its target; a ratio below 1 meets the target.

Run: .venv/bin/python bench/bench_import.py [--n-stocks 5000] [--start 2006-01-04] [--keep DIR]
With ``--reuse DIR`` (a directory an earlier ``--keep DIR`` run left) the generation, import and append are
skipped: only the look-ups and the risk-model date are timed, on the store already there.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

from timing import median_seconds

HERE = Path(__file__).resolve().parent

# kind -> the date column that splits the last day off (None: the whole file goes with the history)
SPLIT = {
    "prices": "date",
    "stock_daily": "date",
    "daily_flags": "date",
    "index_weights": "date",
    "fundamentals": "announce_date",
}

CHILD = """
import json, resource, sys, time
t = time.perf_counter()
{body}
ru = resource.getrusage(resource.RUSAGE_SELF)
print("RESULT " + json.dumps({{"seconds": time.perf_counter() - t, "cpu": ru.ru_utime + ru.ru_stime,
                               "peak_mb": ru.ru_maxrss / 1024}}))
"""


def _child(body: str, env=None) -> dict:
    code = CHILD.format(body=textwrap.dedent(body))
    p = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env={**os.environ, **(env or {})}
    )
    if p.returncode != 0:
        raise SystemExit(f"step failed:\n{p.stdout}\n{p.stderr}")
    line = [ln for ln in p.stdout.splitlines() if ln.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT ") :])


def _split(files: Path, hist: Path, day: Path) -> str:
    """Copy the files into `hist` without the last trading day and that day's rows into `day`."""
    import duckdb

    hist.mkdir(exist_ok=True)
    day.mkdir(exist_ok=True)
    con = duckdb.connect()
    (last,) = con.execute(f"SELECT max(date) FROM '{files / 'prices.parquet'}'").fetchone()
    for f in files.glob("*.parquet"):
        kind = f.stem
        col = SPLIT.get(kind)
        if col is None:
            con.execute(f"COPY (SELECT * FROM '{f}') TO '{hist / f.name}' (FORMAT parquet)")
            continue
        con.execute(
            f"COPY (SELECT * FROM '{f}' WHERE {col} < ?) TO '{hist / f.name}' (FORMAT parquet)", [last]
        )
        n = con.execute(f"SELECT count(*) FROM '{f}' WHERE {col} = ?", [last]).fetchone()[0]
        if n:
            con.execute(
                f"COPY (SELECT * FROM '{f}' WHERE {col} = ?) TO '{day / f.name}' (FORMAT parquet)", [last]
            )
    con.close()
    return str(last)


def _timed(fn, repeat=7):
    """Median of `repeat` calls after one warm-up call."""
    fn()
    return median_seconds(fn, repeat)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n-stocks", type=int, default=5000)
    ap.add_argument("--start", default="2006-01-04")
    ap.add_argument("--end", help="default: 20 years after --start")
    ap.add_argument("--keep", help="work in this directory (kept) instead of a temporary one")
    ap.add_argument("--reuse", metavar="DIR",
                    help="time only the look-ups and the risk-model date on the store a --keep DIR run left")
    args = ap.parse_args(argv)
    rows = []  # (step, seconds, seconds target, peak MB, MB target)
    cpu = {}  # step -> CPU seconds of its process (user + system): what a busy machine does not inflate
    tmp_ctx = tempfile.TemporaryDirectory() if not (args.keep or args.reuse) else None
    work = Path(args.reuse or args.keep or tmp_ctx.name)
    work.mkdir(parents=True, exist_ok=True)
    try:
        files, hist, day, db = work / "files", work / "hist", work / "day", work / "market.duckdb"
        if args.reuse:
            if not db.exists():
                raise SystemExit(f"{db} is missing: run with --keep {work} first")
            _lookups_and_model(args, db, work, rows, cpu)
            return _print(rows, cpu, db)
        r = _child(f"""
            from zorvata.fullsize import build_files
            build_files({str(files)!r}, n_stocks={args.n_stocks}, start={args.start!r}, end={args.end!r})
            """)
        cpu[len(rows)] = r["cpu"]
        rows.append(
            (
                f"generate {args.n_stocks:,} stocks from {args.start} (Parquet)",
                r["seconds"],
                None,
                r["peak_mb"],
                None,
            )
        )
        last = _split(files, hist, day)
        hist_files = {p.stem: str(p) for p in hist.glob("*.parquet")}
        day_files = {p.stem: str(p) for p in day.glob("*.parquet")}
        r = _child(f"""
            from zorvata.importer import import_files
            import_files({str(db)!r}, overwrite=True, **{hist_files!r})
            """)
        cpu[len(rows)] = r["cpu"]
        rows.append(("import from Parquet (all but the last day)", r["seconds"], 180.0, r["peak_mb"], 2048.0))
        r = _child(f"""
            from zorvata.importer import append_files
            append_files({str(db)!r}, **{day_files!r})
            """)
        cpu[len(rows)] = r["cpu"]
        rows.append((f"append one day ({last})", r["seconds"], 10.0, r["peak_mb"], None))

        _lookups_and_model(args, db, work, rows, cpu)
        return _print(rows, cpu, db)
    finally:
        if tmp_ctx is not None:
            tmp_ctx.cleanup()


def _lookups_and_model(args, db: Path, work: Path, rows: list, cpu: dict) -> None:
    """Time the client's look-ups in this process and one risk-model date from scratch in a fresh one."""
    import zorvata

    zorvata.configure(db)
    ids = zorvata.all_instruments().order_book_id.tolist()
    pool = (ids + [f"{i:06d}.XSHE" for i in range(800000, 805000)])[:5000]
    rows.append(("instruments, 5,000 ids", _timed(lambda: zorvata.instruments(pool)), 0.050, None, None))
    end = zorvata.data_end()
    stocks = zorvata.all_instruments("CS", end).order_book_id.tolist()[:3000]
    start = zorvata.trading_date_offset(end, -251)
    rows.append(
        (
            "get_price_change_rate, 3,000 ids x 252 days",
            _timed(lambda: zorvata.get_price_change_rate(stocks, start, end)),
            0.150,
            None,
            None,
        )
    )
    zorvata.reset()
    with tempfile.TemporaryDirectory(dir=work) as estimates:  # from scratch: nothing estimated before
        r = _child(
            f"""
            import zorvata
            from velquor.helper import OptimizeHelper
            zorvata.configure({str(db)!r})
            import datetime as dt
            end = zorvata.data_end()
            req = end + dt.timedelta(days=1)  # the model as of the last day with data
            ids = zorvata.all_instruments("CS", end).order_book_id.tolist()
            h = OptimizeHelper(ids, req, None, "daily", "v2", 1.0, 1.0)
            h.get_cov_matrix()
            """,
            env={"VELQUOR_RISKMODEL_DIR": estimates},
        )
    cpu[len(rows)] = r["cpu"]
    rows.append(
        (
            f"one risk-model date from scratch ({args.n_stocks:,} stocks, daily v2)",
            r["seconds"],
            10.0,
            r["peak_mb"],
            3072.0,
        )
    )


def _print(rows: list, cpu: dict, db: Path) -> int:
    import duckdb

    con = duckdb.connect(str(db), read_only=True)
    n_prices = con.execute("SELECT count(*) FROM price_change_rate").fetchone()[0]
    n_daily = con.execute("SELECT count(*) FROM stock_daily").fetchone()[0]
    con.close()
    print(f"price rows {n_prices:,}, stock_daily rows {n_daily:,}")
    print(
        f"{'step':<66} {'time':>9} {'target':>8} {'ratio':>6} {'peak':>9} {'target':>8} {'ratio':>6} {'cpu':>8}"
    )
    for k, (name, t, tt, m, mt) in enumerate(rows):
        ts = f"{t * 1e3:7.1f}ms" if t < 1 else f"{t:8.1f}s"
        tts = "" if tt is None else (f"{tt * 1e3:6.0f}ms" if tt < 1 else f"{tt:7.0f}s")
        tr = "" if tt is None else f"{t / tt:6.2f}"
        ms = "" if m is None else f"{m:7.0f}MB"
        mts = "" if mt is None else f"{mt:6.0f}MB"
        mr = "" if mt is None else f"{m / mt:6.2f}"
        cs = f"{cpu[k]:7.1f}s" if k in cpu else ""
        print(f"{name:<66} {ts:>9} {tts:>8} {tr:>6} {ms:>9} {mts:>8} {mr:>6} {cs:>8}")
    print(
        "ratio = measured / target; below 1 meets the target (peak = the step's process max RSS; cpu = its "
        "user + system CPU time, for a machine shared with other work)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
