"""Benchmark of the scoring functions inside the databases, in one run.

    python bench/in_database.py                  # 1,000,000 rows, 5 rounds
    python bench/in_database.py --rows 200000 --rounds 3 --json out.json

1. PostgreSQL (a throwaway server, tests/python/postgres_server.py, with the
   extension installed: scripts/install_postgres_extension.sh): over a table
   of 1,000,000 rows, in one session, SELECT sum(quillmarrow_retention(...))
   against the same formula written as a plain SQL expression (exp, ln,
   greatest, least; exp guarded against underflow, which PostgreSQL raises
   as an error), and sum((quillmarrow_tier(...)).retention) against
   quillmarrow_retention. The rows whose plain-SQL retention differs in any
   bit from the engine's are counted. Parallel workers are off, so each
   query runs on one core in every round.
2. SQLite (Python's sqlite3, functions registered by
   quillmarrow_engine.sqlite): rows/s of SELECT sum(quillmarrow_retention(...))
   and count(quillmarrow_tier(...)) over 1,000,000 rows of an in-memory
   table, against sum(d + r + i + f), the cost of the scan alone.
3. DuckDB (quillmarrow_engine.duckdb): the same two queries.

Each time is the median of rounds in which the queries compared take turns,
so that they share the machine's load; the process's CPU time of the SQLite
and DuckDB queries is reported beside the wall-clock time (the server's is
not visible from here).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from typing import Any, Callable

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import in_database_rows  # noqa: E402
import postgres_server  # noqa: E402
from postgres_copy import copy_columns  # noqa: E402

# The retention formula as plain SQL over d, r, i, f: the engine's steps in
# its order; exp of anything below -708 is taken as 0, since PostgreSQL
# raises "value out of range: underflow" where exp's result leaves the
# normal doubles.
PLAIN_SQL = """
least(greatest(
  CASE WHEN x < -708 THEN 0.0 ELSE exp(x) END
  * (((c * 0.45 + 1.0) + least(greatest(i, 0.0), 1.0) * 0.3) + least(greatest(f, 0.0), 1.0) * 0.25),
  0.0), 10.0)
"""
PLAIN_FROM = """
FROM bench, LATERAL (SELECT greatest(r, 0.0) AS c) AS k,
     LATERAL (SELECT -greatest(d, 0.0) / greatest(ln(k.c + 1.0), 0.001) AS x) AS e
"""


def timed(run: Callable[[], Any]) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def rounds(queries: dict[str, Callable[[], Any]], count: int) -> dict[str, tuple[float, float]]:
    """Median wall and CPU seconds of each query, the queries taking turns."""
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in queries}
    for name, run in queries.items():  # warm-up
        run()
    for _ in range(count):
        for name, run in queries.items():
            times[name].append(timed(run))
    return {
        name: (statistics.median(t[0] for t in got), statistics.median(t[1] for t in got))
        for name, got in times.items()
    }


def bench_postgres(rows: dict[str, np.ndarray], count: int) -> dict[str, Any]:
    import psycopg

    server, why = postgres_server.start()
    if server is None:
        return {"skipped": why}
    try:
        with psycopg.connect(server.url, autocommit=True) as conn:
            if conn.execute("SELECT 1 FROM pg_available_extensions WHERE name = 'quillmarrow'").fetchone() is None:
                return {"skipped": "extension not installed: scripts/install_postgres_extension.sh"}
            conn.execute("CREATE EXTENSION quillmarrow")
            conn.execute("SET max_parallel_workers_per_gather = 0")
            conn.execute("CREATE TABLE bench (d float8, r float8, i float8, f float8, p boolean, k boolean)")
            with conn.cursor() as cursor:
                copy_columns(cursor, "bench", {
                    "d": rows["days_since_recall"], "r": rows["retrieval_count"], "i": rows["importance"],
                    "f": rows["frequency"], "p": rows["is_procedural"], "k": rows["keep_forever"],
                })
            conn.execute("VACUUM ANALYZE bench")
            sql = {
                "plain SQL": f"SELECT sum({PLAIN_SQL}) {PLAIN_FROM}",
                "quillmarrow_retention": "SELECT sum(quillmarrow_retention(d, r, i, f)) FROM bench",
                "quillmarrow_tier": "SELECT sum((quillmarrow_tier(d, r, i, f, p, k)).retention) FROM bench",
                "scan alone": "SELECT sum(d + r + i + f) FROM bench",
            }
            got = rounds({name: (lambda q=q: conn.execute(q).fetchall()) for name, q in sql.items()}, count)
            differing = conn.execute(
                f"SELECT count(*) {PLAIN_FROM} WHERE float8send({PLAIN_SQL}) <> float8send(quillmarrow_retention(d, r, i, f))"
            ).fetchone()[0]
            version = conn.execute("SHOW server_version").fetchone()[0]
    finally:
        server.stop()
    n = len(rows["importance"])
    wall = {name: t[0] for name, t in got.items()}
    return {
        "server": version,
        "seconds": wall,
        "rows_per_second": {name: n / t for name, t in wall.items()},
        "plain_sql_over_retention": wall["plain SQL"] / wall["quillmarrow_retention"],
        "tier_over_retention": wall["quillmarrow_tier"] / wall["quillmarrow_retention"],
        "plain_sql_rows_differing": differing,
    }


def bench_embedded(name: str, rows: dict[str, np.ndarray], count: int) -> dict[str, Any]:
    if name == "sqlite":
        import sqlite3

        from quillmarrow_engine import sqlite as functions

        conn: Any = sqlite3.connect(":memory:")
        functions.register(conn)
        conn.execute("CREATE TABLE bench (d REAL, r REAL, i REAL, f REAL, p INTEGER, k INTEGER)")
        conn.executemany("INSERT INTO bench VALUES (?, ?, ?, ?, ?, ?)", zip(
            *(rows[f].tolist() for f in in_database_rows.NUMBERS),
            *(rows[f].astype(int).tolist() for f in in_database_rows.FLAGS)))
        version = sqlite3.sqlite_version
    else:
        import duckdb
        import pyarrow as pa

        from quillmarrow_engine import duckdb as functions

        conn = duckdb.connect()
        functions.register(conn)
        conn.register("source", pa.table({
            "d": rows["days_since_recall"], "r": rows["retrieval_count"], "i": rows["importance"],
            "f": rows["frequency"], "p": rows["is_procedural"], "k": rows["keep_forever"],
        }))
        conn.execute("CREATE TABLE bench AS SELECT * FROM source")
        version = duckdb.__version__
    field = ".retention" if name == "duckdb" else ""
    sql = {
        "quillmarrow_retention": "SELECT sum(quillmarrow_retention(d, r, i, f)) FROM bench",
        "quillmarrow_tier": f"SELECT count(quillmarrow_tier(d, r, i, f, p, k){field}) FROM bench",
        "scan alone": "SELECT sum(d + r + i + f) FROM bench",
    }
    got = rounds({q: (lambda s=s: conn.execute(s).fetchall()) for q, s in sql.items()}, count)
    conn.close()
    n = len(rows["importance"])
    return {
        "version": version,
        "seconds": {q: t[0] for q, t in got.items()},
        "cpu_seconds": {q: t[1] for q, t in got.items()},
        "rows_per_second": {q: n / t[0] for q, t in got.items()},
        "rows_per_cpu_second": {q: n / t[1] for q, t in got.items()},
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()
    rows = in_database_rows.random_rows(args.rows)
    results = {
        "rows": args.rows,
        "load_average": os.getloadavg(),
        "postgres": bench_postgres(rows, args.rounds),
        "sqlite": bench_embedded("sqlite", rows, args.rounds),
        "duckdb": bench_embedded("duckdb", rows, args.rounds),
    }
    pg = results["postgres"]
    print(f"{args.rows:,} rows, {args.rounds} rounds, load average {results['load_average'][0]:.1f}")
    if "skipped" in pg:
        print(f"PostgreSQL: skipped ({pg['skipped']})")
    else:
        print(f"PostgreSQL {pg['server']}:")
        for q, rate in pg["rows_per_second"].items():
            print(f"  {q:24s} {pg['seconds'][q]:7.3f} s  {rate / 1e6:6.2f} M rows/s")
        print(f"  plain SQL / quillmarrow_retention: {pg['plain_sql_over_retention']:.2f}x the time")
        print(f"  quillmarrow_tier / quillmarrow_retention: {pg['tier_over_retention']:.2f}x the time")
        print(f"  plain SQL retention differs in some bit on {pg['plain_sql_rows_differing']:,} rows")
    for name in ("sqlite", "duckdb"):
        r = results[name]
        print(f"{'SQLite' if name == 'sqlite' else 'DuckDB'} {r['version']}:")
        for q in r["seconds"]:
            print(f"  {q:24s} {r['seconds'][q]:7.3f} s  {r['rows_per_second'][q] / 1e6:6.2f} M rows/s"
                  f"  (CPU {r['cpu_seconds'][q]:.3f} s, {r['rows_per_cpu_second'][q] / 1e6:6.2f} M rows/CPU-s)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
