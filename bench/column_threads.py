"""Where a second thread starts to pay in the column kernels.

    python bench/column_threads.py
    python bench/column_threads.py --threads 4 --json out.json

Calls the native kernels (quillmarrow_engine._bulk.tier_columns and
score_columns) straight, so that the thread count is exactly the one asked
for, over inputs of 1,000 to 512,000 rows (the rows of bench/columns.py),
with 1 thread and with N (default 2) in turn, and prints the median
wall-clock time of each and their ratio. Starting a thread and waiting for it
costs a fixed time per call; the row count where the ratio passes 1 is where
threads begin to pay, and quillmarrow_engine.columns.MIN_ROWS_PER_THREAD is
set from it (each thread of a call gets at least that many rows).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time

import numpy as np

from quillmarrow_engine import _bulk
from quillmarrow_engine.columns import MIN_ROWS_PER_THREAD

from columns import FIELDS, make_columns

SIZES = (1_000, 2_000, 4_000, 8_000, 16_000, 32_000, 64_000, 128_000, 256_000, 512_000)


def medians(calls: dict, budget: float) -> dict[str, float]:
    """Median seconds of each call, taking turns, for about `budget` seconds."""
    for call in calls.values():
        call()
    samples: dict[str, list[float]] = {name: [] for name in calls}
    deadline = time.perf_counter() + budget
    while time.perf_counter() < deadline or len(samples[next(iter(calls))]) < 15:
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--budget", type=float, default=1.0, help="seconds of timing per size and function")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    n = args.threads
    cols = make_columns(max(SIZES))
    results = []
    print(f"1 thread against {n}, median wall-clock microseconds; MIN_ROWS_PER_THREAD = {MIN_ROWS_PER_THREAD:,}")
    print(f"{'rows':>9} {'tier 1':>9} {f'tier {n}':>9} {'ratio':>6} {'score 1':>9} {f'score {n}':>9} {'ratio':>6}")
    for rows in SIZES:
        numbers = [np.ascontiguousarray(cols[name][:rows]) for name in FIELDS[:4]]
        flags = [np.ascontiguousarray(cols[name][:rows]) for name in FIELDS[4:]]
        tier_out = (np.empty(rows), np.empty(rows, np.uint8), np.empty(rows, np.uint8))
        score_out = (np.empty(rows), np.empty(rows), np.empty(rows))
        times = medians({
            "tier 1": lambda: _bulk.tier_columns(*numbers, *flags, *tier_out, 1),
            f"tier {n}": lambda: _bulk.tier_columns(*numbers, *flags, *tier_out, n),
            "score 1": lambda: _bulk.score_columns(*numbers, *score_out, 1),
            f"score {n}": lambda: _bulk.score_columns(*numbers, *score_out, n),
        }, args.budget)
        tier_ratio = times["tier 1"] / times[f"tier {n}"]
        score_ratio = times["score 1"] / times[f"score {n}"]
        print(f"{rows:9,} {times['tier 1'] * 1e6:9.1f} {times[f'tier {n}'] * 1e6:9.1f} {tier_ratio:6.2f} "
              f"{times['score 1'] * 1e6:9.1f} {times[f'score {n}'] * 1e6:9.1f} {score_ratio:6.2f}")
        results.append({"rows": rows, "seconds": times, "tier_ratio": tier_ratio, "score_ratio": score_ratio})
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"threads": n, "sizes": results}, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
