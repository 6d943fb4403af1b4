"""A scaling model of the backtest engines, built from CPU times measured here and checked against runs with
1 and 2 workers.

Run: .venv/bin/python bench/bench_scaling.py [--db market.duckdb] [--months 6] [--limit 0.3] [--cores 2]

One cold serial run of bench_backtest's backtest (monthly MinTrackingError on 000905.XSHG) is timed task by
task in CPU seconds: the factor-history pieces (the part the engines spread over workers), the estimates made
from them and stored by the client, each rebalance, and the rest of the client's work. A process pool's
start-up (spawning a worker and its imports, until it answers) is timed the same way. From these the model
predicts the wall time of a run with w workers on a machine with c cores:

  T(w) = max(S(w) + makespan(history pieces over the workers and the client), P, S(w) + (H + P) / c)
         + R(w, E) + O - P

where S is the start-up the run waits for (none once the pool is kept), H the history pieces' CPU, P the
client's plans and data keys (made while the workers compute the history), O the client's work, and R
the rebalances: their makespan over the workers, each starting once the client has made its date's estimate
(E: the estimates, made in date order two at a time while the rebalances run), except in a chain (a turnover
limit: each date starts from the last one's holdings). There each date is tried without its limit first, in
parallel, and the chain walks the dates in order: a date whose trial is taken waits for that trial only, a date
the limit holds back (or with holdings outside its pool) is solved again with its limit, in order. Running more
processes than cores stretches each by the ratio. CPU seconds are what the tasks cost on
an idle core; under load from other work, wall times stretch and only the CPU columns stay comparable.
"""

from __future__ import annotations

import argparse
import heapq
import os
import sys
import tempfile
import time

import numpy as np

import zorvata
from bench_backtest import tracking_backtest


def makespan(tasks: list[float], procs: float, start: list[float] | None = None) -> float:
    """Greedy longest-first schedule of ``tasks`` on ``procs`` processors (free from ``start``)."""
    free = list(start) if start else [0.0] * max(int(procs), 1)
    heapq.heapify(free)
    end = 0.0
    for t in sorted(tasks, reverse=True):
        at = heapq.heappop(free)
        heapq.heappush(free, at + t)
        end = max(end, at + t)
    return end


def predict(m: dict, workers: int, cores: int, chained: bool, startup: bool) -> float:
    """Wall seconds of a run with ``workers`` processes besides the client on ``cores`` cores."""
    procs = workers + 1  # the client works through the history queue too
    stretch = max(1.0, procs / cores)
    s = m["startup"] if startup else 0.0
    ready = released(m)
    if workers == 0:
        return sum(m["history"]) + chain_time(m["rebalance"], 1, 1.0, ready, True) + m["other"]
    # workers join after their start-up; the client makes its plans meanwhile (no sooner than the cores can
    # take both), and takes pieces too only where there are more than the workers hold (two each)
    if len(m["history"]) <= 2 * workers:
        pieces = makespan([h * max(1.0, workers / cores) for h in m["history"]], workers, [s] * workers)
    else:
        pieces = makespan([h * stretch for h in m["history"]], procs, [0.0] + [s] * workers)
    hist = max(pieces, m["planning"], s + (sum(m["history"]) + m["planning"]) / cores)
    rebal = chain_time(m["rebalance"], workers, min(stretch, max(1.0, workers / cores)), ready, chained)
    return hist + rebal + m["other"] - m["planning"]


def released(m: dict, threads: int = 2) -> dict[int, float]:
    """When each date's estimate is made, from the end of the history: the client makes them in date
    order, ``threads`` at a time, while the rebalances of the dates made run."""
    dates = sorted({i for i, _, _ in m["rebalance"]})
    each = m["estimates"] / max(len(dates), 1)
    return {i: each * (k // threads + 1) for k, i in enumerate(dates)}


def chain_time(tasks: list[tuple[int, bool, float]], workers: int, stretch: float, ready: dict[int, float],
               chained: bool = True) -> float:
    """Seconds the rebalances take once the history is in: ``tasks`` are (date, solved without the limit, CPU
    s), each starting once its date's estimate is made (``ready``); the free solves run on the workers in
    date order, the limited ones (in a chain) in order after the date before and the date's trial."""
    free = {i: c * stretch for i, f, c in tasks if f or not chained}
    limited = {i: c * stretch for i, f, c in tasks if not f and chained}
    slots = [0.0] * max(workers, 1)
    done = {}
    for i in sorted(free):
        at = heapq.heappop(slots)
        done[i] = max(at, ready.get(i, 0.0)) + free[i]
        heapq.heappush(slots, done[i])
    t = 0.0
    for i in sorted(set(free) | set(limited)):
        t = max(t, done.get(i, 0.0))
        if i in limited:
            t = max(t, ready.get(i, 0.0)) + limited[i]
    return t


def measure(bt) -> dict:
    """CPU seconds of every task of a cold serial run (this process does all of it). The estimates are made
    on threads of their own while the rebalances run: those two are counted on the threads that run them
    (a rebalance's solve is single-threaded), the history pieces in the whole process (nothing else runs
    then)."""
    import threading

    from velquor.backtest import _estimates, backtest as module
    from velquor.riskmodel import service

    got = {"history": [], "rebalance": [], "estimates": 0.0, "planning": 0.0}
    rebalance = module.rebalance_task
    # (module, name, bucket, clock): the pieces, whose table reads and kernels use threads of their own, in
    # the whole process; what a worker engine's client does while the workers compute the history (the plans
    # and the data keys); what an estimate costs (the horizon series, the estimate, its checks and the model
    # the store reads back), on the estimates' threads
    wrapped = [(module, "history_task", "history", time.process_time),
               (module, "_plan", "planning", time.process_time),
               (_estimates, "market_fingerprint", "planning", time.process_time),
               *((mod, name, "estimates", time.thread_time) for mod, name in
                 [(_estimates, "horizon_series"), (_estimates, "estimate_asof"), (service, "check_stored"),
                  (service, "stored_model")])]
    saved = [getattr(mod, name) for mod, name, _, _ in wrapped]
    lock = threading.Lock()

    def timed(fn, bucket, clock):
        def run(*a, **k):
            c = clock()
            try:
                return fn(*a, **k)
            finally:
                spent = clock() - c
                with lock:
                    if isinstance(got[bucket], list):
                        got[bucket].append(spent)
                    else:
                        got[bucket] += spent
        return run

    def timed_rebalance(market, job):  # a rebalance's solve is single-threaded
        c = time.thread_time()
        try:
            return rebalance(market, job)
        finally:
            got["rebalance"].append((job.key[1], job.turnover is None, time.thread_time() - c))

    module.rebalance_task = timed_rebalance
    for (mod, name, bucket, clock), fn in zip(wrapped, saved):
        setattr(mod, name, timed(fn, bucket, clock))
    try:
        c, t = time.process_time(), time.perf_counter()
        res = bt.run(progress=False)
        total, wall = time.process_time() - c, time.perf_counter() - t
    finally:
        module.rebalance_task = rebalance
        for (mod, name, _, _), fn in zip(wrapped, saved):
            setattr(mod, name, fn)
    got["other"] = max(0.0, total - sum(got["history"]) - sum(c for _, _, c in got["rebalance"])
                       - got["estimates"])
    got["total"], got["wall"], got["result"] = total, wall, res
    return got


def pool_startup(workers: int) -> float:
    """Seconds from a fresh pool's first task to its answer: spawning, imports, the first attach."""
    from velquor.backtest import close_pools
    from velquor.backtest._tasks import prepare
    from velquor.backtest.engines import ProcessEngine

    close_pools()
    t = time.perf_counter()
    eng = ProcessEngine(workers)
    for f in [eng.submit(prepare) for _ in range(workers)]:
        f.result()
    return time.perf_counter() - t


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--db", help="database file (default: the configured one, i.e. the demo market)")
    ap.add_argument("--months", type=int, default=6)
    ap.add_argument("--limit", type=float, default=0.3, help="one-way turnover limit (0: none)")
    ap.add_argument("--cores", type=int, default=os.cpu_count() or 1, help="cores of this machine for the model")
    args = ap.parse_args(argv)
    if args.db:
        zorvata.configure(args.db)
    from velquor.backtest import _estimates, close_pools

    bt, start, end = tracking_backtest(args.months, args.limit)
    chained = bt.path_dependent
    load0 = os.getloadavg()
    print(f"market: {zorvata.db_path()}; {start} .. {end}, monthly, turnover limit {args.limit or 'none'}; "
          f"load average before {load0[0]:.2f}", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        def cold(name: str) -> None:
            os.environ["VELQUOR_RISKMODEL_DIR"] = os.path.join(tmp, name)
            _estimates.forget()

        cold("serial")
        m = measure(bt)
        m["startup"] = float(np.median([pool_startup(w) for w in (1, 2)]))
        measured, kept = {}, {}
        for w in (1, 2):
            close_pools()
            for fresh in (True, False):  # a first call, then a run on the pool it left
                cold(f"process-{w}-{fresh}")
                t, c = time.perf_counter(), time.process_time()
                bt.run(engine="process", workers=w, progress=False)
                (measured if fresh else kept)[w] = (time.perf_counter() - t, time.process_time() - c)
        close_pools()
    load1 = os.getloadavg()
    h, r = m["history"], [c for _, _, c in m["rebalance"]]
    held_back = [c for _, f, c in m["rebalance"] if not f]
    print(f"\nserial, cold: {m['wall']:.1f} s wall, {m['total']:.1f} s CPU of this process")
    print(f"  history pieces   {len(h):3d} x {np.mean(h):6.2f} s CPU = {sum(h):7.1f} s  (parallel)")
    print(f"  estimates            {m['estimates']:14.1f} s  (client, two threads, beside the rebalances)")
    print(f"  rebalances       {len(r):3d} x {np.mean(r):6.2f} s CPU = {sum(r):7.1f} s  (parallel"
          + (f"; {len(held_back)} solved again with the limit, in order: {sum(held_back):.1f} s)" if chained
             else ")"))
    print(f"  other client work    {m['other']:14.1f} s  (of which plans and data keys {m['planning']:.1f} s: "
          f"beside the history on a worker engine)")
    print(f"  pool start-up        {m['startup']:14.1f} s  (wall, to the first answer)")
    bound = m["total"] / 2
    print(f"two-core bound (serial CPU / 2): {bound:.1f} s")
    print(f"\n{'':7} {'first call':^36} {'pool kept':^24}")
    print(f"{'workers':>7} {'model (s)':>10} {'measured (s)':>13} {'client CPU':>11} {'model (s)':>10} "
          f"{'measured (s)':>13}")
    for w in (1, 2):
        print(f"{w:7d} {predict(m, w, args.cores, chained, True):10.1f} {measured[w][0]:13.1f} "
              f"{measured[w][1]:11.1f} {predict(m, w, args.cores, chained, False):10.1f} {kept[w][0]:13.1f}")
    print("\nmodel for larger machines (one core per worker and one for the client, pool started):")
    print(f"{'workers':>7} {'wall (s)':>9} {'speed-up':>9} {'pool kept':>10} {'speed-up':>9}")
    serial = predict(m, 0, 1, chained, False)
    for w in (1, 2, 4, 8, 16, 32, 64):
        first, kept = predict(m, w, w + 1, chained, True), predict(m, w, w + 1, chained, False)
        print(f"{w:7d} {first:9.1f} {serial / first:8.2f}x {kept:10.1f} {serial / kept:8.2f}x")
    print(f"limit as workers grow: {max(m['estimates'] / 2, sum(held_back) if chained else 0) + m['other'] - m['planning']:.1f} s "
          f"(the part no worker takes)")
    print(f"\nload average after: {load1[0]:.2f}")
    if max(load0[0], load1[0]) > 1.5:
        print("WARNING: the machine was busy: wall times (measured and the CPU-based model's alike) need an "
              "idle machine to compare; the CPU columns hold.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
