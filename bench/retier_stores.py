"""Re-tiering a memory store in place: `quillmarrow_engine.retier` against today's way.

    python bench/retier_stores.py                    # 1,000,000 rows, SQLite and PostgreSQL
    python bench/retier_stores.py --rows 100000 --only sqlite

Today's way is what a user writes without `retier` (the old
examples/sqlite_store.py): select the rows, turn them into a "tier-batch" JSON
payload, call `run`, parse the JSON answer and `executemany` one UPDATE per
row, committed once. Both ways start from two identical copies of the same
table (tier, action and retention still NULL), each in a fresh process, and
the whole job is timed: read, score, write back, commit. The two copies must
end equal, row for row. Each process also reports its peak resident memory
above what it held once connected, to show that `retier` keeps to its batch.

PostgreSQL runs on a throwaway server (tests/python/postgres_server.py);
needs numpy and psycopg (pip install numpy 'psycopg[binary]').
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NOW = 1_750_000_000
DAY = 86_400.0
SEED = 20_260_512
# The first run fills tier, action and retention; the second re-tiers a day later.
RUNS = (("first", float(NOW)), ("next day", float(NOW + DAY)))

SQLITE_SCHEMA = """
CREATE TABLE memories (
    id               TEXT PRIMARY KEY,
    last_recalled_at INTEGER NOT NULL,
    retrieval_count  INTEGER NOT NULL,
    importance       REAL NOT NULL,
    frequency        REAL NOT NULL,
    is_procedural    INTEGER NOT NULL,
    keep_forever     INTEGER NOT NULL,
    tier             TEXT,
    action           TEXT,
    retention        REAL
)
"""

POSTGRES_SCHEMA = """
CREATE TABLE {name} (
    id               text PRIMARY KEY,
    last_recalled_at timestamptz NOT NULL,
    retrieval_count  integer NOT NULL,
    importance       double precision NOT NULL,
    frequency        double precision NOT NULL,
    is_procedural    boolean NOT NULL,
    keep_forever     boolean NOT NULL,
    tier             text,
    action           text,
    retention        double precision
)
"""


# -- the data ----------------------------------------------------------------


def make_rows(n: int) -> list[tuple]:
    """Deterministic rows in the shape of the example store; whole-second recall times."""
    import numpy as np

    rng = np.random.default_rng(SEED)
    days = rng.choice([0.5, 3.0, 20.0, 90.0, 400.0], n) * rng.random(n) * 2
    recalled = NOW - np.round(days * DAY).astype(np.int64)
    count = rng.integers(0, 40, n)
    importance = np.round(rng.random(n), 3)
    frequency = np.round(rng.random(n), 3)
    procedural = (rng.random(n) < 0.15).astype(np.int64)
    pinned = (rng.random(n) < 0.02).astype(np.int64)
    ids = [f"mem-{i:07d}" for i in range(n)]
    order = rng.permutation(n)  # rows arrive in no particular key order
    ids = [ids[i] for i in order.tolist()]
    return list(zip(ids, recalled.tolist(), count.tolist(), importance.tolist(),
                    frequency.tolist(), procedural.tolist(), pinned.tolist()))


def expected(rows: list[tuple], now: float) -> dict:
    """id -> (tier, action, retention) as tier_arrays gives them for the rows."""
    import numpy as np

    import quillmarrow_engine

    ids, recalled, count, importance, frequency, procedural, pinned = zip(*rows)
    out = quillmarrow_engine.tier_arrays(
        (now - np.array(recalled, dtype=np.float64)) / DAY, np.array(count), np.array(importance),
        np.array(frequency), is_procedural=np.array(procedural), keep_forever=np.array(pinned),
    )
    tiers = np.array(quillmarrow_engine.TIERS, dtype=object)[out.tier].tolist()
    actions = np.array(quillmarrow_engine.ACTIONS, dtype=object)[out.action].tolist()
    return dict(zip(ids, zip(tiers, actions, out.retention.tolist())))


def compare(want: dict, retier_rows: list[tuple], today_rows: list[tuple]) -> dict:
    """Rows where retier misses tier_arrays (must be none), and where the JSON road differs."""
    got = {r[0]: tuple(r[1:]) for r in retier_rows}
    today = {r[0]: tuple(r[1:]) for r in today_rows}
    return {
        "retier_wrong": sum(got.get(k) != v for k, v in want.items()),
        "today_tier_or_action_differs": sum(today[k][:2] != v[:2] for k, v in want.items()),
        "today_retention_differs": sum(today[k][2] != v[2] for k, v in want.items()),
    }


# -- today's way -------------------------------------------------------------


def today_sqlite(path: str, now: float) -> int:
    from quillmarrow_engine_native import run

    conn = sqlite3.connect(path)
    rows = conn.execute(
        "SELECT id, last_recalled_at, retrieval_count, importance, frequency,"
        " is_procedural, keep_forever FROM memories"
    ).fetchall()
    updates = []
    for start in range(0, len(rows), 10_000):
        chunk = rows[start : start + 10_000]
        items = [[(now - t) / DAY, c, i, f, bool(p), bool(k)] for _, t, c, i, f, p, k in chunk]
        decisions = json.loads(run("tier-batch", json.dumps({"items": items})))["result"]["decisions"]
        updates += [(d["tier"], d["action"], d["retention"], r[0]) for d, r in zip(decisions, chunk)]
    with conn:
        conn.executemany("UPDATE memories SET tier = ?, action = ?, retention = ? WHERE id = ?", updates)
    conn.close()
    return len(updates)


def today_postgres(url: str, table: str, now: float) -> int:
    import psycopg
    from quillmarrow_engine_native import run

    with psycopg.connect(url) as conn:
        rows = conn.execute(
            f"SELECT id, extract(epoch FROM last_recalled_at)::float8, retrieval_count,"
            f" importance, frequency, is_procedural, keep_forever FROM {table}"
        ).fetchall()
        updates = []
        for start in range(0, len(rows), 10_000):
            chunk = rows[start : start + 10_000]
            items = [[(now - t) / DAY, c, i, f, p, k] for _, t, c, i, f, p, k in chunk]
            decisions = json.loads(run("tier-batch", json.dumps({"items": items})))["result"]["decisions"]
            updates += [(d["tier"], d["action"], d["retention"], r[0]) for d, r in zip(decisions, chunk)]
        with conn.cursor() as cur:
            cur.executemany(
                f"UPDATE {table} SET tier = %s, action = %s, retention = %s WHERE id = %s", updates
            )
    return len(updates)


def new_way(database: str, table: str, batch_size: int, now: float) -> int:
    import quillmarrow_engine

    result = quillmarrow_engine.retier(
        database, table, recalled_at="last_recalled_at", now=now, batch_size=batch_size
    )
    return result.written


# -- one measured job per process ----------------------------------------------


def child(method: str, database: str, table: str, batch_size: int, now: float) -> None:
    import numpy  # noqa: F401  (imported before the baseline mark, as the engine's own are)

    import quillmarrow_engine  # noqa: F401
    import quillmarrow_engine_native  # noqa: F401

    if database.startswith("postgresql"):
        import psycopg  # noqa: F401
    mark = _rss_kib()
    _reset_peak()
    start = time.perf_counter()
    cpu = time.process_time()
    if method == "today":
        if database.startswith("postgresql"):
            rows = today_postgres(database, table, now)
        else:
            rows = today_sqlite(database, now)
    else:
        rows = new_way(database, table, batch_size, now)
    seconds = time.perf_counter() - start
    cpu = time.process_time() - cpu
    print(json.dumps({"rows": rows, "seconds": seconds, "cpu": cpu,
                      "peak_growth_mib": (_peak_kib() - mark) / 1024}))


def _rss_kib() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def _reset_peak() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def _peak_kib() -> int:
    try:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    except (OSError, StopIteration):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def measure(method: str, database: str, table: str, batch_size: int, now: float,
            server: object = None) -> dict:
    """One job in a fresh process; with a server, its CPU time is added to the client's."""
    before = _server_cpu(server) if server is not None else 0.0
    done = subprocess.run(
        [sys.executable, __file__, "--child", method, "--database", database, "--table", table,
         "--batch-size", str(batch_size), "--now", repr(now)],
        capture_output=True, text=True, check=False,
    )
    if done.returncode != 0:
        raise SystemExit(f"{method} on {database} failed:\n{done.stderr}")
    result = json.loads(done.stdout)
    if server is not None:
        result["server_cpu"] = _server_cpu(server, settle=True) - before
        result["cpu"] += result["server_cpu"]
    return result


def _server_cpu(server: object, settle: bool = False) -> float:
    """CPU seconds of a PostgreSQL server: its live processes plus the ended ones it reaped."""
    tick = os.sysconf("SC_CLK_TCK")
    with open(os.path.join(server.directory, "data", "postmaster.pid")) as f:  # type: ignore[attr-defined]
        postmaster = int(f.readline())
    for _ in range(100):  # wait for the job's backend to end and be reaped
        children = _children(postmaster)
        if not settle or all("postgres: postgres" not in _cmdline(pid) for pid in children):
            break
        time.sleep(0.05)
    total = 0
    for pid in [postmaster, *children]:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])  # utime, stime
        if pid == postmaster:
            total += int(fields[13]) + int(fields[14])  # cutime, cstime of reaped children
    return total / tick


def _children(pid: int) -> list[int]:
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def _cmdline(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


# -- the two databases ---------------------------------------------------------


def bench_sqlite(rows: list[tuple], batch_size: int, workdir: str) -> dict:
    template = os.path.join(workdir, "template.db")
    conn = sqlite3.connect(template)
    conn.execute(SQLITE_SCHEMA)
    with conn:
        conn.executemany("INSERT INTO memories VALUES (?, ?, ?, ?, ?, ?, ?, NULL, NULL, NULL)", rows)
    conn.close()
    paths = {}
    for method in ("today", "retier"):
        paths[method] = os.path.join(workdir, f"{method}.db")
        shutil.copyfile(template, paths[method])
    results = {}
    for run, now in RUNS:
        results[run] = {m: measure(m, paths[m], "memories", batch_size, now) for m in ("today", "retier")}
        query = "SELECT id, tier, action, retention FROM memories"
        found = [sqlite3.connect(paths[m]).execute(query).fetchall() for m in ("retier", "today")]
        results[run]["check"] = compare(expected(rows, now), *found)
    return results


def bench_postgres(rows: list[tuple], batch_size: int) -> dict:
    sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
    import postgres_server
    import psycopg

    server, why = postgres_server.start()
    if server is None:
        return {"skipped": why}
    try:
        with psycopg.connect(server.url, autocommit=True) as conn:
            for table in ("today_memories", "retier_memories"):
                conn.execute(POSTGRES_SCHEMA.format(name=table))
                with conn.cursor() as cur, cur.copy(
                    f"COPY {table} (id, last_recalled_at, retrieval_count, importance, frequency,"
                    " is_procedural, keep_forever) FROM STDIN"
                ) as copy:
                    for r in rows:
                        copy.write_row((r[0], _timestamp(r[1]), r[2], r[3], r[4], bool(r[5]), bool(r[6])))
                conn.execute(f"VACUUM ANALYZE {table}")
        results = {}
        for run, now in RUNS:
            results[run] = {
                m: measure(m, server.url, f"{m}_memories", batch_size, now, server)
                for m in ("today", "retier")
            }
            with psycopg.connect(server.url, autocommit=True) as conn:
                found = [
                    conn.execute(f"SELECT id, tier, action, retention FROM {m}_memories").fetchall()
                    for m in ("retier", "today")
                ]
                results[run]["check"] = compare(expected(rows, now), *found)
                # As autovacuum would between two nightly runs.
                conn.execute("VACUUM ANALYZE today_memories")
                conn.execute("VACUUM ANALYZE retier_memories")
        return results
    finally:
        server.stop()


def _timestamp(seconds: int):
    from datetime import datetime, timezone

    return datetime.fromtimestamp(seconds, timezone.utc)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--batch-size", type=int, default=10_000)
    parser.add_argument("--only", choices=("sqlite", "postgres"))
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--database", help=argparse.SUPPRESS)
    parser.add_argument("--table", help=argparse.SUPPRESS)
    parser.add_argument("--now", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.database, args.table, args.batch_size, args.now)
        return
    rows = make_rows(args.rows)
    report: dict = {"rows": args.rows, "batch_size": args.batch_size}
    with tempfile.TemporaryDirectory(prefix="qm-bench-") as workdir:
        if args.only in (None, "sqlite"):
            report["sqlite"] = bench_sqlite(rows, args.batch_size, workdir)
        if args.only in (None, "postgres"):
            report["postgres"] = bench_postgres(rows, args.batch_size)
    failed = False
    print(f"re-tiering {args.rows:,} rows end to end (read, score, write back, commit), "
          f"batch {args.batch_size:,}")
    print(f"{'database':<10} {'run':<9} {'way':<7} {'wall s':>7} {'rows/s':>9} {'CPU s':>7}"
          f" {'rows/CPU s':>10} {'peak MiB':>8}  {'speed-up wall':>13}  {'CPU':>5}")
    for name in ("sqlite", "postgres"):
        result = report.get(name)
        if result is None:
            continue
        if "skipped" in result:
            print(f"{name:<10} skipped: {result['skipped']}")
            continue
        for run, _ in RUNS:
            base = result[run]["today"]
            for way in ("today", "retier"):
                r = result[run][way]
                print(f"{name:<10} {run:<9} {way:<7} {r['seconds']:>7.2f} {args.rows / r['seconds']:>9,.0f}"
                      f" {r['cpu']:>7.2f} {args.rows / r['cpu']:>10,.0f} {r['peak_growth_mib']:>8.1f}"
                      f"  {base['seconds'] / r['seconds']:>12.1f}x  {base['cpu'] / r['cpu']:>4.1f}x")
            check = result[run]["check"]
            print(f"{'':<10} {run:<9} rows where retier differs from tier_arrays: {check['retier_wrong']};"
                  f" where the JSON road differs: tier or action {check['today_tier_or_action_differs']},"
                  f" retention {check['today_retention_differs']}")
            failed |= check["retier_wrong"] != 0
    print("target: retier at least 5x today's way (CPU time includes the PostgreSQL server's)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
