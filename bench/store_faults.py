"""Store faults: imports and appends killed (SIGKILL) at random moments, appends through a symbolic link,
two appends at once, and a reader polling the store while days are appended.

Checks, on a small generated market (30 stocks, two years), that the store is never mixed: after every kill
it is the previous complete store or the new one (an import: absent or complete; an append: the day wholly
there or wholly absent), and a reader never sees part of a day. Prints the counts and exits 1 on a violation.

    python bench/store_faults.py [--imports 16] [--appends 36] [--days 10] [--dir DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import duckdb
import pandas as pd

DAILY_KINDS = ("prices", "stock_daily", "daily_flags", "index_weights")
READER = """
import json, sys, time, duckdb, zorvata
expect = {d: n for d, n in json.load(open(sys.argv[1])).items()}
stop = sys.argv[2]
reads = partial = 0
import os
while not os.path.exists(stop):
    try:
        con = zorvata.connect()
        last, n = con.execute("SELECT max(date)::VARCHAR, count(*) FILTER (WHERE date = (SELECT max(date) "
                              "FROM price_change_rate)) FROM price_change_rate").fetchone()
    except (duckdb.Error, zorvata.DataError):
        continue  # the file was being replaced under the open: the next read sees the new one
    reads += 1
    if last in expect and n != expect[last]:
        partial += 1
print(json.dumps({"reads": reads, "partial": partial}))
"""


def _cli(*args: str) -> list[str]:
    return [sys.executable, "-m", "zorvata", "import", *args]


def _kill_after(cmd: list[str], delay: float) -> bool:
    """Runs `cmd`, SIGKILLs it after `delay` seconds; whether it was still running then."""
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    running = p.poll() is None
    p.send_signal(signal.SIGKILL)
    p.wait()
    return running


def _state(db: Path) -> tuple[str | None, int]:
    if not db.exists():
        return None, 0
    con = duckdb.connect(str(db), read_only=True)
    try:
        last, n = con.execute("SELECT max(date)::VARCHAR, count(*) FROM price_change_rate").fetchone()
        return last, n
    finally:
        con.close()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--imports", type=int, default=16)
    ap.add_argument("--appends", type=int, default=36)
    ap.add_argument("--days", type=int, default=10)
    ap.add_argument("--dir")
    args = ap.parse_args()
    from zorvata.fullsize import build_files

    work = Path(args.dir or tempfile.mkdtemp(prefix="store-faults-"))
    files = build_files(work / "files", n_stocks=30, start="2024-01-02", end="2025-12-31", seed=11)
    prices = pd.read_parquet(files["prices"])
    dates = sorted(prices["date"].unique())
    cut = dates[-args.days - 1]
    hist, days = work / "hist", work / "days"
    hist.mkdir(exist_ok=True)
    days.mkdir(exist_ok=True)
    base = {}
    for kind, path in files.items():
        df = pd.read_parquet(path)
        if kind in DAILY_KINDS:
            df[df["date"] <= cut].to_parquet(hist / f"{kind}.parquet", index=False)
            base[kind] = hist / f"{kind}.parquet"
        else:
            base[kind] = path
    per_day = []
    for d in dates[-args.days:]:
        dd = days / str(pd.Timestamp(d).date())
        dd.mkdir(exist_ok=True)
        for kind in DAILY_KINDS:
            df = pd.read_parquet(files[kind])
            part = df[df["date"] == d]
            if len(part):
                part.to_parquet(dd / f"{kind}.parquet", index=False)
        per_day.append(dd)
    counts = {str(pd.Timestamp(d).date()): int((prices["date"] == d).sum()) for d in dates}
    full_hist = int((prices["date"] <= cut).sum())
    import_args = [a for k, p in base.items() for a in (f"--{k.replace('_', '-')}", str(p))]
    bad = []
    rng = random.Random(5)

    # 1. killed imports: the output is absent or complete
    out = work / "imported.duckdb"
    t0 = time.perf_counter()
    subprocess.run(_cli("--out", str(out), "--force", *import_args), check=True, capture_output=True)
    full = time.perf_counter() - t0
    out.unlink()
    killed = 0
    for _ in range(args.imports):
        killed += _kill_after(_cli("--out", str(out), "--force", *import_args), rng.uniform(0, full * 1.1))
        last, n = _state(out)
        if last is not None and n != full_hist:
            bad.append(f"import left {n} price rows (complete: {full_hist})")
    print(f"killed imports: {args.imports} runs, {killed} killed mid-way, mixed stores: "
          f"{sum('import' in b for b in bad)}")

    # 2. killed appends through a link, a reader polling all the while
    real = work / "market-2024.duckdb"
    subprocess.run(_cli("--out", str(real), "--force", *import_args), check=True, capture_output=True)
    os.chmod(real, 0o600)
    link = work / "market.duckdb"
    link.unlink(missing_ok=True)
    link.symlink_to(real.name)
    (work / "expect.json").write_text(json.dumps(counts))
    stop = work / "stop"
    stop.unlink(missing_ok=True)
    reader = subprocess.Popen([sys.executable, "-c", READER, str(work / "expect.json"), str(stop)],
                              env={**os.environ, "ZORVATA_DB": str(link)}, stdout=subprocess.PIPE, text=True)
    t0 = time.perf_counter()
    subprocess.run(_cli("--append", "--out", str(link), "--prices", str(per_day[0] / "prices.parquet")),
                   check=True, capture_output=True)
    one = time.perf_counter() - t0
    day_i, kills, appended = 1, 0, 1
    expected = full_hist + counts[per_day[0].name]
    for _ in range(args.appends):
        if day_i >= len(per_day) - 2:  # the last two go in at once, below
            break
        dd = per_day[day_i]
        extra = [a for k in DAILY_KINDS if (dd / f"{k}.parquet").exists()
                 for a in (f"--{k.replace('_', '-')}", str(dd / f"{k}.parquet"))]
        kills += _kill_after(_cli("--append", "--out", str(link), *extra), rng.uniform(0, one * 1.2))
        last, n = _state(real)
        if last == dd.name:
            expected += counts[dd.name]
            day_i += 1
            appended += 1
        if n != expected:
            bad.append(f"append left {n} price rows (expected {expected}) at {last}")
    # the rest unkilled, two at a time (each waits for the other's lock, both kept)
    while day_i < len(per_day):
        pair = per_day[day_i:day_i + 2]
        procs = [subprocess.Popen(_cli("--append", "--out", str(real if k else link), "--prices",
                                       str(dd / "prices.parquet")), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True) for k, dd in enumerate(pair)]
        for pr in procs:
            pr.wait()
        expected += sum(counts[dd.name] for dd in pair)
        day_i += len(pair)
    last, n = _state(real)
    if n != expected or last != per_day[-1].name:
        bad.append(f"after the concurrent appends: {n} rows to {last}, expected {expected} to {per_day[-1].name}")
    if not link.is_symlink() or (real.stat().st_mode & 0o777) != 0o600:
        bad.append("the link was replaced or the store's mode widened")
    stop.write_text("")
    got = json.loads(reader.communicate(timeout=120)[0])
    if got["partial"]:
        bad.append(f"the reader saw a partial day {got['partial']} times")
    print(f"killed appends through a link: {args.appends} runs, {kills} killed mid-way, {appended} days landed "
          f"before the unkilled pairs; store ends {last} with {n} rows (expected {expected}); link kept, mode "
          f"{oct(real.stat().st_mode & 0o777)}")
    print(f"reader: {got['reads']} reads during the appends, partial days seen: {got['partial']}")
    for b in bad:
        print("VIOLATION:", b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
