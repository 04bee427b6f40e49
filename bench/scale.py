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
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=2, help="runs per engine; the best counts")
    parser.add_argument("--data", type=Path, help="reuse (or create) the dataset here")
    parser.add_argument("--skip", action="append", default=[], choices=["dask", "spark"])
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
