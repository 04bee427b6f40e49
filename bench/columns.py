"""Benchmark of the column functions against the roads a user has without them.

    python bench/columns.py                 # 1,000,000 rows
    python bench/columns.py --rows 200000 --rounds 3
    python bench/columns.py --threads 4 --json out.json

Needs the engine with NumPy, pandas, pyarrow, Polars and orjson
(pip install '.[bench]'). Measured in one run, one process:

1. tier_arrays over 1,000,000 rows of contiguous float64 columns (and the
   same rows as int64 counts), with the default thread count (the cores this
   process may use), against NumPy's vectorised formula over the same arrays
   (np.log, np.exp, np.where, np.select in the engine's order). The NumPy
   answers are compared with the exact ones: rows whose retention differs in
   any bit, and rows whose action differs, are counted.
2. Threads: tier_arrays, score_arrays and tier_table (pandas and Arrow) with
   threads=1 against threads=N (default 2), on 1,000,000 rows and on 1,000
   rows (where the functions stay on one thread), with NumPy's formula over
   the same rows, and the cores each threaded call had (its CPU time over its
   wall-clock time: near 1 means that the second thread found no free core).
   Always wall-clock time: process CPU time adds up the threads' times and
   would hide what threads gain.
3. tier_table on a 1,000,000-row pandas DataFrame and the same Arrow table
   (an id and a text column beside the record's fields), against the JSON
   road: the rows to a "tier-batch" payload with orjson, run, orjson parse of
   the answer, and the decisions back into columns of the same kind.
4. Conversion cost: tier_table on the 1,000,000-row pandas DataFrame and
   the same rows as a Polars DataFrame (the same kind out), against
   tier_arrays on the same float64 arrays, in the same rounds, all on one
   thread (the conversion itself is serial, so on two threads it is a larger
   share of a shorter call): at most 1.25x. When narwhals is installed, the
   same job written over narwhals' common API is timed beside them (the
   package does not use it).
5. The peak of traced memory (tracemalloc, which sees NumPy's buffers) of
   one tier_arrays and one pandas tier_table call, against the size of the
   outputs (8 + 1 + 1 bytes a row).

Timings are medians of rounds in which the implementations compared take
turns, so that they share the machine's load; a round of a small call times
a loop of calls. --timer cpu measures process CPU time instead of wall-clock
time, except for the thread comparison.
"""

from __future__ import annotations

import argparse
import gc
import json
import platform
import statistics
import sys
import time
import tracemalloc

import numpy as np
import orjson
import pandas as pd
import polars as pl
import pyarrow as pa

import quillmarrow_engine as qe
from quillmarrow_engine.frames import kernels as kernels_module
from quillmarrow_engine_native import run

from baseline_numpy import retention_and_chain

FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency", "is_procedural", "keep_forever")
ACTION_ORDER = (0, 1, 2, 3, 4, 6)  # the decision chain's actions by code; the default is maintain_warm (5)


def make_columns(rows: int, seed: int = 12) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    days = np.where(rng.random(rows) < 0.3, rng.integers(0, 400, rows), rng.uniform(0, 400, rows))
    return {
        "days_since_recall": days.astype(np.float64),
        "retrieval_count": rng.integers(0, 40, rows).astype(np.float64),
        "importance": rng.uniform(0, 1, rows),
        "frequency": rng.uniform(0, 1, rows),
        "is_procedural": rng.random(rows) < 0.2,
        "keep_forever": rng.random(rows) < 0.02,
    }


def numpy_tier(d, r, imp, freq, procedural, pinned):
    """The engine's formula and decision chain, vectorised with NumPy."""
    s, chain = retention_and_chain(d, r, imp, freq, procedural, pinned)
    action = np.select(
        chain, np.array(ACTION_ORDER, dtype=np.uint8), default=np.uint8(5),
    ).astype(np.uint8)
    tier = np.array([qe.TIERS.index(t) for t in _ACTION_TIERS], dtype=np.uint8)[action]
    return np.where(pinned, 1.0, s), tier, action


_ACTION_TIERS = ("warm_semantic", "hot", "warm_procedural", "warm_semantic", "warm_episodic",
                 "warm_episodic", "cold")


def json_road_pandas(frame: pd.DataFrame) -> pd.DataFrame:
    items = list(zip(*(frame[name].tolist() for name in FIELDS)))
    answer = run("tier-batch", orjson.dumps({"items": items}).decode())
    decisions = orjson.loads(answer)["result"]["decisions"]
    return frame.assign(
        retention=np.array([d["retention"] for d in decisions], dtype=np.float64),
        tier=pd.Categorical([d["tier"] for d in decisions], categories=qe.TIERS),
        action=pd.Categorical([d["action"] for d in decisions], categories=qe.ACTIONS),
    )


def json_road_arrow(table: pa.Table) -> pa.Table:
    items = list(zip(*(table.column(name).to_pylist() for name in FIELDS)))
    answer = run("tier-batch", orjson.dumps({"items": items}).decode())
    decisions = orjson.loads(answer)["result"]["decisions"]
    table = table.append_column("retention", pa.array([d["retention"] for d in decisions], pa.float64()))
    table = table.append_column("tier", pa.array([d["tier"] for d in decisions]).dictionary_encode())
    return table.append_column("action", pa.array([d["action"] for d in decisions]).dictionary_encode())


def narwhals_tier_table(native):
    """tier_table as it would be written over narwhals' common API: the
    columns to NumPy, tier_arrays, the results back as new columns."""
    import narwhals as nw

    frame = nw.from_native(native, eager_only=True)
    result = qe.tier_arrays(*(frame[name].to_numpy() for name in FIELDS), threads=1)
    backend = nw.get_native_namespace(frame)
    return frame.with_columns(
        nw.new_series("retention", result.retention, nw.Float64, backend=backend),
        nw.new_series("tier", np.take(qe.TIERS, result.tier), nw.Enum(qe.TIERS), backend=backend),
        nw.new_series("action", np.take(qe.ACTIONS, result.action), nw.Enum(qe.ACTIONS), backend=backend),
    ).to_native()


def timed(clock, fn, loops: int = 1) -> float:
    """Seconds of one call of fn, timed over `loops` calls in a row."""
    return timed_both(clock, fn, loops)[0]


def timed_both(clock, fn, loops: int = 1) -> tuple[float, float]:
    """Seconds of one call of fn by `clock` and in process CPU time, over
    `loops` calls in a row."""
    gc.collect()
    gc.disable()
    try:
        cpu_start = time.process_time_ns()
        start = clock()
        for _ in range(loops):
            fn()
        end = clock()
        return (end - start) / 1e9 / loops, (time.process_time_ns() - cpu_start) / 1e9 / loops
    finally:
        gc.enable()


def interleaved(clock, rounds: int, implementations: dict, loops: int = 1) -> dict[str, float]:
    """Median seconds of each implementation, sampled in turn round after round."""
    for fn in implementations.values():
        fn()  # warm-up
    samples: dict[str, list[float]] = {name: [] for name in implementations}
    for _ in range(rounds):
        for name, fn in implementations.items():
            samples[name].append(timed(clock, fn, loops))
    return {name: statistics.median(values) for name, values in samples.items()}


def thread_comparison(cols: dict[str, np.ndarray], rows: int, threads: int, rounds: int) -> dict[str, float]:
    """Wall-clock medians of the column functions on 1 and on `threads`
    threads over the first `rows` rows, and of NumPy's formula. For each, also
    the cores it had: the process's CPU time over the wall-clock time, summed
    over the rounds (near 1 for a call on two threads means that the second
    thread found no free core)."""
    head = {name: np.ascontiguousarray(values[:rows]) for name, values in cols.items()}
    numbers = [head[name] for name in FIELDS[:4]]
    flags = [head[name] for name in FIELDS[4:]]
    frame = pd.DataFrame({"id": np.arange(rows), **head})
    table = pa.Table.from_pandas(frame, preserve_index=False)
    calls = {"numpy vectorised": lambda: numpy_tier(*numbers, *flags)}
    for n in (1, threads):
        calls[f"tier_arrays, {n}"] = lambda n=n: qe.tier_arrays(*numbers, *flags, threads=n)
        calls[f"score_arrays, {n}"] = lambda n=n: qe.score_arrays(*numbers, threads=n)
        calls[f"tier_table pandas, {n}"] = lambda n=n: qe.tier_table(frame, threads=n)
        calls[f"tier_table arrow, {n}"] = lambda n=n: qe.tier_table(table, threads=n)
    # About 20 ms a sample whatever the size, so small calls are timed in loops.
    loops = max(1, 200_000 // rows)
    for fn in calls.values():
        fn()  # warm-up
    wall: dict[str, list[float]] = {name: [] for name in calls}
    cpu = dict.fromkeys(calls, 0.0)
    for _ in range(rounds):
        for name, fn in calls.items():
            seconds, cpu_seconds = timed_both(time.perf_counter_ns, fn, loops)
            wall[name].append(seconds)
            cpu[name] += cpu_seconds
    result = {name: statistics.median(values) for name, values in wall.items()}
    result.update({f"{name} cores": cpu[name] / sum(wall[name]) for name in calls})
    return result


def traced_peak(fn) -> int:
    gc.collect()
    tracemalloc.start()
    try:
        result = fn()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del result
    return peak


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7, help="rounds of the fast implementations")
    parser.add_argument("--json-rounds", type=int, default=3, help="rounds that include the JSON road")
    parser.add_argument("--timer", choices=("wall", "cpu"), default="wall")
    parser.add_argument("--threads", type=int, default=2, help="threads to compare with one (default 2)")
    parser.add_argument("--small-rows", type=int, default=1_000, help="rows of the small thread comparison")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    args = parser.parse_args()
    clock = time.perf_counter_ns if args.timer == "wall" else time.process_time_ns
    rows = args.rows

    cols = make_columns(rows)
    numbers = [cols[name] for name in FIELDS[:4]]
    flags = [cols[name] for name in FIELDS[4:]]
    int_numbers = [numbers[0], numbers[1].astype(np.int64), numbers[2], numbers[3]]

    exact = qe.tier_arrays(*numbers, *flags)
    approx = numpy_tier(*numbers, *flags)
    retention_differs = int(np.count_nonzero(exact.retention.view(np.uint64) != approx[0].view(np.uint64)))
    action_differs = int(np.count_nonzero(exact.action != approx[2]))
    assert np.array_equal(qe.tier_arrays(*int_numbers, *flags).retention, exact.retention)
    one_thread = qe.tier_arrays(*numbers, *flags, threads=1)
    assert all(np.array_equal(a.view(np.uint8), b.view(np.uint8)) for a, b in zip(one_thread, exact))

    arrays = interleaved(clock, args.rounds, {
        "tier_arrays": lambda: qe.tier_arrays(*numbers, *flags),
        "tier_arrays (int64 counts)": lambda: qe.tier_arrays(*int_numbers, *flags),
        "score_arrays": lambda: qe.score_arrays(*numbers),
        "numpy vectorised": lambda: numpy_tier(*numbers, *flags),
    })
    n = args.threads
    threaded = {size: thread_comparison(cols, size, n, max(args.rounds, 9)) for size in (rows, args.small_rows)}

    frame = pd.DataFrame({"id": np.arange(rows), **cols, "text": ["memory"] * rows})
    table = pa.Table.from_pandas(frame, preserve_index=False)
    polars_frame = pl.from_arrow(table)
    assert np.array_equal(qe.tier_table(polars_frame)["retention"].to_numpy(), exact.retention)
    conversion_jobs = {
        "tier_arrays (float64, same rows)": lambda: qe.tier_arrays(*numbers, *flags, threads=1),
        "tier_table pandas -> pandas": lambda: qe.tier_table(frame, threads=1),
        "tier_table Polars -> Polars": lambda: qe.tier_table(polars_frame, threads=1),
    }
    try:
        import narwhals  # noqa: F401
    except ImportError:
        narwhals_version = None
    else:
        narwhals_version = narwhals.__version__
        conversion_jobs["narwhals road, pandas"] = lambda: narwhals_tier_table(frame)
        conversion_jobs["narwhals road, Polars"] = lambda: narwhals_tier_table(polars_frame)
    conversion = interleaved(clock, args.rounds, conversion_jobs)
    # The JSON road is not exact: the engine's reader may turn a 17-digit
    # literal into a neighbour of the double written, so its answers are
    # compared and the differences counted.
    via_json = json_road_pandas(frame)
    json_retention_differs = int(np.count_nonzero(
        via_json["retention"].to_numpy().view(np.uint64) != exact.retention.view(np.uint64)))
    json_action_differs = int(np.count_nonzero(via_json["action"].cat.codes.to_numpy() != exact.action))
    del via_json
    tables = interleaved(clock, args.json_rounds, {
        "tier_table pandas": lambda: qe.tier_table(frame),
        "tier_table arrow": lambda: qe.tier_table(table),
        "JSON road pandas": lambda: json_road_pandas(frame),
        "JSON road arrow": lambda: json_road_arrow(table),
    })

    outputs = rows * (8 + 1 + 1)
    memory = {
        "tier_arrays": traced_peak(lambda: qe.tier_arrays(*numbers, *flags)),
        "tier_table pandas": traced_peak(lambda: qe.tier_table(frame)),
    }

    times = {**arrays, **conversion, **tables}
    base = conversion["tier_arrays (float64, same rows)"]
    costs = {
        "tier_table pandas / tier_arrays": conversion["tier_table pandas -> pandas"] / base,
        "tier_table Polars / tier_arrays": conversion["tier_table Polars -> Polars"] / base,
    }
    cost_limit = 1.25
    big, small = threaded[rows], threaded[args.small_rows]
    ratios = {
        "tier_arrays vs numpy": arrays["numpy vectorised"] / arrays["tier_arrays"],
        f"tier_arrays, {n} threads vs 1": big["tier_arrays, 1"] / big[f"tier_arrays, {n}"],
        f"tier_arrays, {n} threads vs numpy": big["numpy vectorised"] / big[f"tier_arrays, {n}"],
        f"tier_table pandas, {n} threads vs 1": big["tier_table pandas, 1"] / big[f"tier_table pandas, {n}"],
        f"tier_table arrow, {n} threads vs 1": big["tier_table arrow, 1"] / big[f"tier_table arrow, {n}"],
        **{f"{name}, {n} vs 1 at {args.small_rows:,} rows": small[f"{name}, 1"] / small[f"{name}, {n}"]
           for name in ("tier_arrays", "score_arrays", "tier_table pandas", "tier_table arrow")},
        "tier_table pandas vs JSON road": tables["JSON road pandas"] / tables["tier_table pandas"],
        "tier_table arrow vs JSON road": tables["JSON road arrow"] / tables["tier_table arrow"],
    }
    # Below the threshold a call stays on one thread whatever it asks for:
    # the same code, so the same time within the noise of a shared machine.
    targets = {name: 0.95 for name in ratios if name.endswith(f"at {args.small_rows:,} rows")}
    targets.update({
        "tier_arrays vs numpy": 1.0,
        f"tier_arrays, {n} threads vs 1": 1.8,
        f"tier_arrays, {n} threads vs numpy": 2.0,
        f"tier_table pandas, {n} threads vs 1": 1.6,
        f"tier_table arrow, {n} threads vs 1": 1.6,
        "tier_table pandas vs JSON road": 20.0,
        "tier_table arrow vs JSON road": 20.0,
    })

    print(f"{rows:,} rows, Python {platform.python_version()}, NumPy {np.__version__}, "
          f"pandas {pd.__version__}, pyarrow {pa.__version__}, Polars {pl.__version__}, "
          f"narwhals {narwhals_version or 'not installed'}, timer {args.timer}, "
          f"default threads {kernels_module.usable_cores()}")
    print()
    print(f"{'implementation':34} {'ms':>9} {'M rows/s':>9}")
    for name, seconds in times.items():
        print(f"{name:34} {seconds * 1e3:9.1f} {rows / seconds / 1e6:9.2f}")
    print()
    print(f"threads, wall-clock:{'':14} {'1 thread':>10} {f'{n} threads':>10} {'speed-up':>9} "
          f"{'cores used':>10} {'NumPy':>10}")
    for size, results in threaded.items():
        unit, scale = ("ms", 1e3) if size >= 100_000 else ("us", 1e6)
        for name in ("tier_arrays", "score_arrays", "tier_table pandas", "tier_table arrow"):
            one, many = results[f"{name}, 1"], results[f"{name}, {n}"]
            numpy_time = f"{results['numpy vectorised'] * scale:7.1f} {unit}" if name == "tier_arrays" else ""
            print(f"{name:18} {size:>15,} {one * scale:7.1f} {unit} {many * scale:7.1f} {unit} "
                  f"{one / many:8.2f}x {results[f'{name}, {n} cores']:10.2f} {numpy_time:>10}")
    print(f"(cores used: CPU time over wall-clock time of the {n}-thread calls; below {n} the threads "
          "waited for a core)")
    print()
    print(f"NumPy's answers: retention differs in {retention_differs:,} rows "
          f"({100 * retention_differs / rows:.2f}%), action in {action_differs:,}")
    print(f"JSON road's answers: retention differs in {json_retention_differs:,} rows "
          f"({100 * json_retention_differs / rows:.2f}%), action in {json_action_differs:,}")
    print()
    for name, peak in memory.items():
        print(f"peak traced memory of {name}: {peak / 1e6:.1f} MB ({peak / outputs:.2f}x the outputs)")
    print()
    print(f"{'ratio':44} {'value':>9} {'target':>9}")
    for name, value in ratios.items():
        verdict = "PASS" if value >= targets[name] else "FAIL"
        print(f"{name:44} {value:8.2f}x {targets[name]:8.2f}x  {verdict}")

    print()
    print(f"{'conversion cost':34} {'value':>9} {'at most':>9}")
    for name, value in costs.items():
        verdict = "PASS" if value <= cost_limit else "FAIL"
        print(f"{name:34} {value:8.2f}x {cost_limit:8.2f}x  {verdict}")

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"rows": rows, "seconds": times, "ratios": ratios, "targets": targets,
                       "conversion_costs": costs, "conversion_cost_limit": cost_limit,
                       "threads": n, "thread_seconds": {str(size): r for size, r in threaded.items()},
                       "peak_bytes": memory, "output_bytes": outputs,
                       "numpy_retention_differs": retention_differs,
                       "numpy_action_differs": action_differs,
                       "json_road_retention_differs": json_retention_differs,
                       "json_road_action_differs": json_action_differs}, out, indent=2)
    passed = all(ratios[n] >= targets[n] for n in ratios) and all(v <= cost_limit for v in costs.values())
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
