"""Command line: ``python -m velquor.riskmodel build --start 2016-01-01 --end 2026-11-30`` estimates a range
of dates ahead of time; ``python -m velquor.riskmodel prune`` removes estimate directories that no database
refers to any more."""

from __future__ import annotations

import argparse
import os
import sys
import time

import pandas as pd

from ..const import ESTIMATED_RISK_MODELS, CovModel, RiskModel


PROG = "python -m velquor.riskmodel"


def main(argv: list[str] | None = None) -> int:
    """Runs the command; data it cannot work with (too short, say) and Ctrl-C end in one line."""
    import zorvata

    from .._interrupt import is_interrupt
    from ..exception import InvalidArgument

    try:
        return _main(argv)
    except (InvalidArgument, ValueError, zorvata.DataError, FileNotFoundError) as e:
        print(f"{PROG}: error: {str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__}",
              file=sys.stderr)
        return 2
    except BaseException as e:
        if not is_interrupt(e):
            raise
        print(f"{PROG}: error: interrupted", file=sys.stderr)
        return 130


def _main(argv: list[str] | None) -> int:
    parser = argparse.ArgumentParser(prog=PROG,
                                     description="Estimate and persist the factor risk model.")
    sub = parser.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build", help="build the model for every trading date in a range")
    b.add_argument("--start", required=True, help="first request date (YYYY-MM-DD)")
    b.add_argument("--end", required=True, help="last request date (YYYY-MM-DD)")
    b.add_argument("--model", choices=[m.value for m in CovModel] + ["all"], default="all",
                   help="forecast horizon (default: all three)")
    b.add_argument("--version", choices=[v.value for v in ESTIMATED_RISK_MODELS] + ["all"], default="all",
                   help="model version (default: both)")
    b.add_argument("--force", action="store_true", help="re-estimate dates that are already built")
    b.add_argument("--chunk", type=int, default=1500, help="dates estimated per pass over the history")
    b.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="processes estimating dates in parallel (default: one per core)")
    b.add_argument("--scheduler", metavar="ADDRESS",
                   help="build on the Dask cluster of this scheduler (e.g. tcp://host:8786); its workers must "
                        "see the same database file and estimate directory")
    pr = sub.add_parser("prune", help="remove estimate directories no database refers to")
    pr.add_argument("--dry-run", action="store_true", help="only list what would be removed")
    args = parser.parse_args(argv)

    from . import service

    if args.command == "prune":
        removed = service.prune(dry_run=args.dry_run)
        for d in removed:
            print(("would remove " if args.dry_run else "removed ") + str(d))
        print(f"{len(removed)} estimate director{'y' if len(removed) == 1 else 'ies'} "
              f"{'to remove' if args.dry_run else 'removed'}", file=sys.stderr)
        return 0

    models = list(CovModel) if args.model == "all" else [CovModel(args.model)]
    versions = list(ESTIMATED_RISK_MODELS) if args.version == "all" else [RiskModel(args.version)]
    # a range with no date the data can support says why (too little history, or past the data's end)
    ctx = service.context()
    import zorvata

    service.resolve_asof(ctx, min(pd.Timestamp(args.end).date(), zorvata.data_end()))
    t = time.perf_counter()
    client = None
    if args.scheduler:
        import distributed

        try:
            client = distributed.Client(args.scheduler, timeout=30, set_as_default=False)
        except (OSError, TimeoutError) as e:
            print(f"cannot reach the Dask scheduler at {args.scheduler}: {e}", file=sys.stderr)
            return 2
    try:
        n = service.build(args.start, args.end, models, versions, force=args.force, chunk=args.chunk,
                          progress=True, workers=max(1, args.workers), client=client)
    finally:
        if client is not None:
            client.close()
    ctx = service.context()
    rebuilt = f" ({n.rebuilt} rebuilt: their files could not be read)" if n.rebuilt else ""
    print(f"{n} dates{rebuilt} x {len(models) * len(versions)} variants in {time.perf_counter() - t:.1f} s -> "
          f"{ctx.store.root}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    from .._interrupt import exit_with

    exit_with(main())
