"""Benchmark of tier-parquet at scale: rows per second for each engine.

    pip install '.[dask,spark]'          # and a Java runtime (17 or later) for Spark
    python bench/scale.py                # 10,000,000 rows in 8 files
    python bench/scale.py --rows 1000000 --repeat 1     # a quick look
    python bench/scale.py --json scale.json

One run of the whole job, read, tier and write, over the same generated
dataset (examples/make_parquet.py) for each engine: local (this process),
Dask with 1 and 2 worker processes, Spark local[1] and local[2]. Clusters and
Spark sessions are started before the clock starts; their start-up time is
reported on its own. Each engine's time is the best of --repeat runs, and
each rate is also given as a ratio to the local engine's in the same run.

For comparison, the same formula written as Spark SQL built-in expressions
(no Python workers at all), run on local[2] the same way; and a count of the
rows whose retention (bit for bit) and tier differ between it and the engine:
the JVM's exp and log are not the C library's.

Then, in one warm local[2] session with tier-parquet's settings, the Spark
roads side by side on the same rows, read from Parquet and written to Parquet
(or to Spark's "noop" sink, which computes every column and writes nothing):
Spark's own formula, tier_dataframe, tier_dataframe through mapInArrow (the
road of pyspark before 4.1), and tier_dataframe counting tiers and actions
for tier-parquet's summary; and, as the other way to count, a read of the
written tier and action columns grouped. Each road runs once untimed, then
--repeat rounds in turn; the wall-clock time and the CPU time of Spark's JVM
and Python workers are reported as best and median.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

import make_parquet  # noqa: E402

from quillmarrow_engine import parquet  # noqa: E402

warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas")


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as info:
            kib = int(info.readline().split()[1])
            memory = f", {kib / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return f"{os.cpu_count()} cores of {model}{memory}, CPython {platform.python_version()}"


def best_of(repeat: int, scratch: Path, data: Path, job: Callable[[parquet.Job], object]) -> float:
    """The shortest wall-clock time of `repeat` runs of job writing a new OUTPUT."""
    times = []
    for attempt in range(repeat):
        out = scratch / f"out-{time.monotonic_ns()}"
        planned = parquet.plan(str(data), str(out))
        start = time.perf_counter()
        job(planned)
        times.append(time.perf_counter() - start)
        shutil.rmtree(out)
    return min(times)


def spark_session(cores: int):
    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    session = (
        SparkSession.builder.master(f"local[{cores}]")
        .appName("quillmarrow-engine bench")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "4g")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    return session


def sql_formula(frame):
    """retention, tier and action as Spark SQL built-in expressions, in the
    engine's order of operations (see the README's formula)."""
    from pyspark.sql import functions as F

    D = F.col("days_since_recall").cast("double")
    R = F.col("retrieval_count").cast("double")
    I = F.col("importance").cast("double")
    Q = F.col("frequency").cast("double")
    r = F.when(R > 0, R).otherwise(F.lit(0.0))
    d = F.when(D > 0, D).otherwise(F.lit(0.0))
    stability = F.greatest(F.log(r + F.lit(1.0)), F.lit(0.001))
    decay = F.exp(-d / stability)
    i = F.least(F.greatest(I, F.lit(0.0)), F.lit(1.0))
    f = F.least(F.greatest(Q, F.lit(0.0)), F.lit(1.0))
    boost = ((F.lit(0.45) * r + F.lit(1.0)) + F.lit(0.3) * i) + F.lit(0.25) * f
    # S as a column of its own, so that Spark computes it once per row
    # rather than once for each test of the chain that reads it.
    frame = frame.withColumn("__retention", F.least(boost * decay, F.lit(10.0)))
    S = F.col("__retention")
    keep = F.coalesce(F.col("keep_forever"), F.lit(False))
    procedural = F.coalesce(F.col("is_procedural"), F.lit(False))
    chain = [
        (keep, "warm_semantic", "keep_forever_tag"),
        ((D <= 7) & (R > 0), "hot", "inject_to_prompt"),
        ((R >= 3) & procedural, "warm_procedural", "keep_procedural"),
        (S >= 0.8, "warm_semantic", "long_term_semantic"),
        ((D <= 30) & (S >= 0.65), "warm_episodic", "spaced_repetition"),
        ((D >= 180) | (S < 0.4), "cold", "archive_on_demand"),
    ]
    tier = action = None
    for test, tier_name, action_name in chain:
        tier = (F.when(test, tier_name) if tier is None else tier.when(test, tier_name))
        action = (F.when(test, action_name) if action is None else action.when(test, action_name))
    return frame.select(
        "*",
        F.when(keep, F.lit(1.0)).otherwise(S).alias("retention"),
        tier.otherwise("warm_episodic").alias("tier"),
        action.otherwise("maintain_warm").alias("action"),
    ).drop("__retention")


def sql_differences(session, data: Path) -> dict[str, int]:
    """Rows whose retention (bit for bit), tier or action from the SQL formula
    differ from the engine's, both computed on the same rows in one pass."""
    from pyspark.sql import functions as F

    from quillmarrow_engine.spark import tier_dataframe

    engine = tier_dataframe(session.read.parquet(str(data)))
    for name in ("retention", "tier", "action"):
        engine = engine.withColumnRenamed(name, f"engine_{name}")
    both = sql_formula(engine)
    row = both.agg(
        F.count(F.lit(1)).alias("rows"),
        *[
            F.sum((F.col(name) != F.col(f"engine_{name}")).cast("long")).alias(name)
            for name in ("retention", "tier", "action")
        ],
    ).collect()[0]
    return row.asDict()


def tree_cpu_seconds() -> float:
    """CPU seconds used so far by this process's descendants (Spark's JVM and
    its Python workers), reaped children included; Linux only."""
    tick = os.sysconf("SC_CLK_TCK")
    parents: dict[int, int] = {}
    used: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        used[int(entry)] = sum(int(value) for value in fields[11:15])  # utime stime cutime cstime
    total, todo = 0, [os.getpid()]
    while todo:
        parent = todo.pop()
        for pid, ppid in parents.items():
            if ppid == parent:
                total += used[pid]
                todo.append(pid)
    return total / tick


def spark_roads(session, data: Path, scratch: Path, repeat: int, batch_rows: int) -> dict[str, dict[str, float]]:
    """The Spark roads on the same rows in one warm session (see the module's
    docstring): per road and sink, wall-clock and CPU seconds, best and median."""
    from quillmarrow_engine.frames.vocabulary import vocabulary
    from quillmarrow_engine.parquet.on_spark import job_settings, settings
    from quillmarrow_engine.spark import _tier, new_counts, tier_counted, tier_dataframe

    def parquet_sink(frame) -> None:
        out = scratch / f"road-{time.monotonic_ns()}"
        frame.write.parquet("file://" + str(out))
        shutil.rmtree(out)

    def noop_sink(frame) -> None:
        frame.write.format("noop").mode("overwrite").save()

    roads = {
        "Spark's formula, Parquet": (sql_formula, parquet_sink),
        "tier_dataframe, Parquet": (tier_dataframe, parquet_sink),
        "tier_dataframe by mapInArrow, Parquet": (lambda f: _tier(f, vocabulary(), arrow_udf=False), parquet_sink),
        "tier_dataframe counting, Parquet": (lambda f: tier_counted(f, vocabulary(), new_counts(session)),
                                             parquet_sink),
        "Spark's formula, noop": (sql_formula, noop_sink),
        "tier_dataframe, noop": (tier_dataframe, noop_sink),
    }
    samples: dict[str, list[tuple[float, float]]] = {name: [] for name in roads}
    with settings(session, job_settings(batch_rows)):
        for round_ in range(repeat + 1):
            for name, (road, sink) in roads.items():
                cpu = tree_cpu_seconds()
                start = time.perf_counter()
                sink(road(session.read.parquet(str(data))))
                wall = time.perf_counter() - start
                if round_:  # the first round warms the JVM up
                    samples[name].append((wall, tree_cpu_seconds() - cpu))
        # The other way to count for the summary: the written columns, read back and grouped.
        out = scratch / "counted"
        tier_dataframe(session.read.parquet(str(data))).write.parquet("file://" + str(out))
        counting = []
        for _ in range(repeat):
            start = time.perf_counter()
            session.read.parquet("file://" + str(out)).groupBy("tier", "action").count().collect()
            counting.append(time.perf_counter() - start)
        shutil.rmtree(out)
    results = {}
    for name, values in samples.items():
        walls, cpus = [w for w, _ in values], [c for _, c in values]
        results[name] = {
            "wall_best": min(walls), "wall_median": statistics.median(walls),
            "cpu_best": min(cpus), "cpu_median": statistics.median(cpus),
        }
    results["summary by reading the written tier and action back"] = {
        "wall_best": min(counting), "wall_median": statistics.median(counting),
    }
    return results


def print_roads(results: dict[str, dict[str, float]]) -> None:
    print()
    print("| Road, sink | Wall best (s) | Wall median (s) | CPU median (s) | Speed vs Spark's formula (median wall) |")
    print("|---|---|---|---|---|")
    for name, r in results.items():
        base = results.get(f"Spark's formula, {name.rpartition(', ')[2]}")
        ratio = f"{base['wall_median'] / r['wall_median']:.2f}" if base and "cpu_median" in r else ""
        cpu = f"{r['cpu_median']:.2f}" if "cpu_median" in r else ""
        print(f"| {name} | {r['wall_best']:.2f} | {r['wall_median']:.2f} | {cpu} | {ratio} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=2, help="runs per engine; the best counts")
    parser.add_argument("--data", type=Path, help="reuse (or create) the dataset here")
    parser.add_argument("--skip", action="append", default=[], choices=["dask", "spark", "roads"])
    parser.add_argument("--batch-size", type=int, default=parquet.DEFAULT_BATCH_ROWS,
                        help="rows per Arrow batch of the Spark roads (tier-parquet's --batch-size)")
    parser.add_argument("--json", type=Path, help="also write the results here")
    args = parser.parse_args()

    scratch = Path(tempfile.mkdtemp(prefix="qm-bench-scale-"))
    try:
        data = args.data or scratch / "memories"
        if not data.exists():
            start = time.perf_counter()
            make_parquet.write_dataset(data, args.rows, args.files)
            print(f"generated {args.rows:,} rows in {args.files} files in {time.perf_counter() - start:.1f} s")
        rows = sum(_rows(p) for p in sorted(data.glob("*.parquet")))
        results: dict[str, dict[str, float]] = {}

        def record(name: str, seconds: float, startup: float | None = None) -> None:
            results[name] = {"seconds": seconds, "rows_per_s": rows / seconds}
            if startup is not None:
                results[name]["startup_s"] = startup
            print(f"  {name:<28} {seconds:7.2f} s  {rows / seconds:>12,.0f} rows/s", flush=True)

        print(f"{rows:,} rows; {machine()}; load average {os.getloadavg()[0]:.1f} at the start")
        record("local", best_of(args.repeat, scratch, data, parquet.run_local))

        if "dask" not in args.skip:
            import logging

            from distributed import Client, LocalCluster

            for workers in (1, 2):
                start = time.perf_counter()
                with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  silence_logs=logging.ERROR) as cluster, Client(cluster):
                    startup = time.perf_counter() - start
                    address = cluster.scheduler_address
                    seconds = best_of(args.repeat, scratch, data,
                                      lambda job: parquet.run_dask(job, scheduler=address))
                record(f"dask, {workers} worker{'s' if workers > 1 else ''}", seconds, startup)

        if "spark" not in args.skip:
            for cores in (1, 2):
                start = time.perf_counter()
                session = spark_session(cores)
                startup = time.perf_counter() - start
                try:
                    seconds = best_of(args.repeat, scratch, data,
                                      lambda job: parquet.run_spark(job, session=session))
                    record(f"spark local[{cores}]", seconds, startup)
                    if cores == 2:
                        def sql_job(job: parquet.Job) -> None:
                            frame = sql_formula(session.read.parquet(str(data)))
                            frame.write.parquet("file://" + job.staging)
                            os.rename(job.staging, job.out_path)

                        record("spark local[2], SQL formula", best_of(args.repeat, scratch, data, sql_job))
                        differences = sql_differences(session, data)
                        results["sql_differences"] = differences
                        print(f"  SQL formula vs engine over {differences['rows']:,} rows: retention differs "
                              f"in {differences['retention']:,}, tier in {differences['tier']:,}, "
                              f"action in {differences['action']:,}")
                        if "roads" not in args.skip:
                            roads = spark_roads(session, data, scratch, args.repeat, args.batch_size)
                            results["spark_roads"] = roads
                finally:
                    session.stop()

        base = results["local"]["rows_per_s"]
        # On a shared machine the load says how far to trust the numbers.
        print(f"load average {os.getloadavg()[0]:.1f} at the end")
        print()
        print(f"| Engine | Time (s) | Rows/s | vs local |")
        print("|---|---|---|---|")
        for name, result in results.items():
            if "rows_per_s" in result:
                print(f"| {name} | {result['seconds']:.2f} | {result['rows_per_s']:,.0f} "
                      f"| {result['rows_per_s'] / base:.2f} |")
        if "spark_roads" in results:
            print_roads(results["spark_roads"])
        if args.json:
            args.json.write_text(json.dumps(
                {"machine": machine(), "rows": rows, "load_average": os.getloadavg()[0], "results": results},
                indent=2,
            ))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _rows(path: Path) -> int:
    import pyarrow.parquet as pq

    return pq.ParquetFile(path).metadata.num_rows


if __name__ == "__main__":
    main()
