"""Command line: ``python -m zorvata {info,build-demo,import}``."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path


def _info(args) -> int:
    import zorvata

    if args.db:
        zorvata.configure(args.db)
    con = zorvata.connect()
    print(f"database: {zorvata.db_path()}")
    for k, v in sorted(zorvata.meta().items()):
        print(f"  {k}: {v}")
    for (name,) in con.execute("SELECT table_name FROM duckdb_tables() ORDER BY table_name").fetchall():
        n = con.execute(f'SELECT count(*) FROM "{name}"').fetchone()[0]
        print(f"  table {name}: {n:,} rows")
    return 0


def _build_demo(args) -> int:
    from ._store import demo_path
    from .infra import file_lock

    if args.files:
        from .fullsize import build_files

        if not args.out:
            print("--files needs --out DIR", file=sys.stderr)
            return 1
        kw = {k: v for k, v in (("n_stocks", args.n_stocks), ("seed", args.seed), ("start", args.start),
                                ("end", args.end), ("n_industries", args.n_industries)) if v is not None}
        t = time.perf_counter()
        paths = build_files(args.out, **kw)
        print(f"wrote {len(paths)} Parquet files into {args.out} in {time.perf_counter() - t:.1f} s; "
              "import them with\n"
              f"  python -m zorvata import --out market.duckdb "
              + " ".join(f"--{k.replace('_', '-')} {p}" for k, p in paths.items()))
        return 0
    from .demo import build_demo

    out = Path(args.out) if args.out else demo_path()
    if out.exists() and not args.force:
        print(f"{out} exists (use --force to rebuild)", file=sys.stderr)
        return 1
    kw = {k: v for k, v in (("n_stocks", args.n_stocks), ("seed", args.seed), ("start", args.start),
                            ("end", args.end), ("n_industries", args.n_industries)) if v is not None}
    t = time.perf_counter()
    with file_lock(out):
        build_demo(out, **kw)
    print(f"built {out} in {time.perf_counter() - t:.1f} s")
    return 0


def _import(args) -> int:
    from ._errors import DataError, ValidationError
    from .importer import FORMATS, append_files, import_files

    files = {k: getattr(args, k) for k in FORMATS}
    log = (lambda text: print(text, file=sys.stderr, flush=True)) if args.verbose else None
    t = time.perf_counter()
    try:
        if args.append:
            if not (args.db or args.out):
                print("import --append needs the database to add to: --out FILE (or --db FILE)",
                      file=sys.stderr)
                return 1
            given = {k: v for k, v in files.items() if v is not None}
            out = append_files(args.db or args.out, label=args.label, log=log, **given)
        else:
            if not args.out:
                print("import needs --out (or --append --db FILE)", file=sys.stderr)
                return 1
            missing = [f"--{k.replace('_', '-')}" for k in ("instruments", "prices") if files[k] is None]
            if missing:
                print(f"a new database needs {' and '.join(missing)}", file=sys.stderr)
                return 1
            out = import_files(args.out, label=args.label, overwrite=args.force, log=log, **files)
    except ValidationError as e:
        print(f"rejected: {e}", file=sys.stderr)
        return 2
    except DataError as e:  # the file system's refusal (AccessError), one line
        print(f"error: {e}", file=sys.stderr)
        return 2
    verb = "appended to" if args.append else "wrote"
    print(f"{verb} {out} in {time.perf_counter() - t:.1f} s")
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m zorvata", description="The local market database.")
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("info", help="show the configured database's label and tables")
    s.add_argument("--db", help="database file (default: $ZORVATA_DB or the demo market)")
    s.set_defaults(func=_info)
    s = sub.add_parser("build-demo", help="build the synthetic demo market")
    s.add_argument("--out", help="output file (default: the demo market's cache file)")
    s.add_argument("--n-stocks", type=int)
    s.add_argument("--n-industries", type=int)
    s.add_argument("--seed", type=int)
    s.add_argument("--start")
    s.add_argument("--end")
    s.add_argument("--force", action="store_true", help="rebuild an existing file")
    s.add_argument("--files", action="store_true",
                   help="write the importer's Parquet files into the directory --out instead, streamed year by "
                        "year (any size: --n-stocks 5000 --start 2006-01-04 is a full market of 20 years)")
    s.set_defaults(func=_build_demo)
    s = sub.add_parser("import", help="import CSV/Parquet files into a new database, or append to one")
    s.add_argument("--out", help="the database to write (with --append: the database to add to)")
    s.add_argument("--append", action="store_true",
                   help="add the files to the existing database --out (or --db) atomically")
    s.add_argument("--db", help="with --append: the database to add to")
    s.add_argument("--instruments")
    s.add_argument("--prices", help="date, order_book_id, rate: the day's total return adjusted for splits "
                                     "and dividends, as a fraction (0.01 = +1%%)")
    for kind in ("trading_dates", "index_weights", "stock_daily", "fundamentals", "industries",
                 "industry_history", "st_status", "daily_flags", "daily_bars", "custom_exposures", "custom_factor_cov",
                 "custom_specific_var"):
        s.add_argument(f"--{kind.replace('_', '-')}", dest=kind)
    s.add_argument("--label", help="text stored as the database's label")
    s.add_argument("--force", action="store_true", help="replace an existing output file")
    s.add_argument("--verbose", "-v", action="store_true", help="report each step and its time on stderr")
    s.set_defaults(func=_import)
    args = p.parse_args(argv)
    return args.func(args)


def entry(argv=None) -> None:
    """The `zorvata` command (its console script and `python -m zorvata`): a Ctrl-C anywhere ends it with one
    line and exit status 130."""
    from .infra import exit_with, is_interrupt

    try:
        status = main(argv)
    except BaseException as e:
        if not is_interrupt(e):
            raise
        print("zorvata: error: interrupted", file=sys.stderr)
        status = 130
    exit_with(status)


if __name__ == "__main__":
    entry()
