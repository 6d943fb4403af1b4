"""`make fuzz`: runs the fuzz targets until the package's functions have been called `--calls` times in all,
with fresh random seeds, and prints the number of calls per function. Any undocumented exception stops the run
with the failing input; a crash or a sanitizer report ends the process with a non-zero status.

    python tests/fuzz/run.py [--calls 100000] [--seed N]
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from pathlib import Path

# the fuzz targets live in the test package (they share the driver tests' fakes): import them from the root
sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from tests.fuzz import fuzz_api  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--batch", type=int, default=200, help="examples per target and round (times its weight)")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    weights = {name: w for name, (_, w) in fuzz_api.TARGETS.items()}
    total_weight = sum(weights.values())
    start = time.perf_counter()
    rounds = 0
    while sum(fuzz_api.calls.values()) < args.calls:
        rounds += 1
        for fn, weight in fuzz_api.TARGETS.values():
            examples = max(1, args.batch * weight // total_weight * 3)
            fuzz_api.run_target(fn, examples, seed=rng.getrandbits(64))
        done = sum(fuzz_api.calls.values())
        print(f"round {rounds}: {done} calls, {time.perf_counter() - start:.0f} s", flush=True)
    print(f"\n{sum(fuzz_api.calls.values())} calls in {time.perf_counter() - start:.0f} s, no crash, "
          "no undocumented exception")
    for name, count in sorted(fuzz_api.calls.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"{count:>8}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
