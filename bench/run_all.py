"""Runs every benchmark script in turn (`make bench`); each prints its own table of ratios to its targets."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

SCRIPTS = [
    "bench_market_data.py",
    "bench_objective.py",
    "bench_constraint.py",
    "bench_request.py",
    "bench_psd_check.py",
    "bench_calls.py",
    "bench_riskmodel.py",
    "bench_end_to_end.py",
    "bench_backtest.py",
    "bench_accuracy.py",
    "soak.py",
]


def main() -> int:
    here = Path(__file__).parent
    failed = []
    for name in SCRIPTS:
        print(f"\n=== {name} ===", flush=True)
        if subprocess.call([sys.executable, str(here / name)]) != 0:
            failed.append(name)
    if failed:
        print("failed:", ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
