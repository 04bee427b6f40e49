"""Re-tiering a live PostgreSQL memory store, night after night: `retier` against an earlier build.

    python bench/retier_stores.py --baseline build/venv-baseline/bin/python
    python bench/retier_stores.py --rows 20000 --days 3          # a quick look

The store is what an assistant keeps: a uuid key, a user id, about 1.5 KB of
text, a 384-value `real[]` embedding, the time of the last recall
(`timestamptz`), counts, flags, and tier, action and retention columns, in a
schema other than public; autovacuum on (checking every second, so that a
"day" between two runs gives it time to work). Two identical copies are
made, one for each build. Each run is the command itself in a fresh process,
`retier --recalled-at recalled_at --now DAY`, timed from start to end:

1. the first fill (tier and action still NULL), then the size of each table;
2. a run a day later, and so on for --days days (default 9): wall time, rows
   written (the server's own count of updated rows) against the rows whose
   tier or action changed, updates made in place (HOT), WAL written, and the
   table's size at the end (with its TOAST table and indexes);
3. a run while an application records recalls (one UPDATE every 10 ms) and
   new memories (one INSERT every 100 ms): the longest any of its statements
   waited, and the recalls that a run overwrote with a decision computed from
   the values before the recall (must be none);
4. a run while another session sits idle in a transaction that has updated
   one row: the time the run takes (the earlier build is stopped after
   --held-cap seconds) and the row skipped.

The earlier build is any Python where another quillmarrow-engine wheel is
installed (--baseline PYTHON); without it only this build is measured;
--also NAME=PYTHON adds another build beside them. --in-database runs this
build a second time with `retier --in-database` (the server's extension
quillmarrow, installed on the server: scripts/install_postgres_extension.sh)
on a table of its own, and counts, after each night, the rows whose
decision differs from the client-side run's. The server is a throwaway one
(tests/python/postgres_server.py). Needs numpy and psycopg.

    python bench/retier_stores.py --baseline build/venv-baseline/bin/python --in-database
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NOW = 1_750_000_000
DAY = 86_400
SCHEMA = "assistant"
TABLE = "memories"

CREATE = """
CREATE TABLE {table} (
    id              uuid PRIMARY KEY,
    user_id         bigint NOT NULL,
    text            text NOT NULL,
    embedding       real[] NOT NULL,
    recalled_at     timestamptz NOT NULL,
    retrieval_count integer NOT NULL,
    importance      double precision NOT NULL,
    frequency       double precision NOT NULL,
    is_procedural   boolean NOT NULL,
    keep_forever    boolean NOT NULL,
    created_at      timestamptz NOT NULL,
    tier            text,
    action          text,
    retention       double precision
)
"""

# Rows made by the server itself, the same for every run of the benchmark:
# recall ages mostly of days to weeks, a long tail of months.
FILL = """
INSERT INTO {table}
SELECT md5('memory ' || i)::uuid,
       1 + (i * 7919) %% 5000,
       (%(texts)s::text[])[1 + (i * 104729) %% %(n_texts)s] || ' #' || i,
       ARRAY(SELECT (random() * 2 - 1)::real FROM generate_series(1, 384) WHERE i > 0),
       to_timestamp(%(now)s - 86400 * CASE WHEN random() < 0.8 THEN -ln(1 - random()) * 12
                                           ELSE random() * 400 END),
       floor(-ln(1 - random()) * 6)::int,
       round(random()::numeric, 3)::float8,
       round(random()::numeric, 3)::float8,
       random() < 0.15,
       random() < 0.02,
       to_timestamp(%(now)s - 86400 * 500)
FROM generate_series(1::bigint, %(rows)s::bigint) AS i
"""

WORDS = ("user prefers tea coffee meeting project deadline garden lisbon kyoto trip book "
         "sister brother doctor appointment recipe pasta running marathon guitar piano "
         "python rust database migration release review budget invoice flight hotel "
         "birthday anniversary allergy peanuts vegetarian morning evening weekend").split()


def texts(count: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        words: list[str] = []
        while sum(len(w) + 1 for w in words) < 1_500:
            words.append(rng.choice(WORDS))
        out.append(" ".join(words).capitalize() + ".")
    return out


# -- the server and the two tables --------------------------------------------------------


def start_server():
    sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
    import postgres_server

    server, why = postgres_server.start()
    if server is None:
        raise SystemExit(f"no PostgreSQL server: {why}")
    return server


def connect(url: str):
    import psycopg

    return psycopg.connect(url, autocommit=True)


def build_tables(url: str, rows: int, names: list[str]) -> None:
    with connect(url) as conn:
        conn.execute("ALTER SYSTEM SET autovacuum_naptime = '1s'")
        conn.execute("SELECT pg_reload_conf()")
        conn.execute(f"CREATE SCHEMA {SCHEMA}")
        first = f"{SCHEMA}.{names[0]}"
        conn.execute(CREATE.format(table=first))
        conn.execute("SET max_parallel_workers_per_gather = 0")  # one backend: one random sequence
        conn.execute("SELECT setseed(0.25)")
        pool = texts(500)
        conn.execute(FILL.format(table=first), {"texts": pool, "n_texts": len(pool), "now": NOW,
                                                "rows": rows})
        conn.execute(f"CREATE INDEX ON {first} (user_id)")
        for name in names[1:]:
            conn.execute(CREATE.format(table=f"{SCHEMA}.{name}"))
            conn.execute(f"INSERT INTO {SCHEMA}.{name} SELECT * FROM {first}")
            conn.execute(f"CREATE INDEX ON {SCHEMA}.{name} (user_id)")
        for name in names:
            conn.execute(f"VACUUM ANALYZE {SCHEMA}.{name}")


def table_size(conn, name: str) -> int:
    return conn.execute(f"SELECT pg_total_relation_size('{SCHEMA}.{name}')").fetchone()[0]


def stats(conn, name: str) -> dict:
    conn.execute("SELECT pg_stat_clear_snapshot()")
    upd, hot, dead, live = conn.execute(
        "SELECT n_tup_upd, n_tup_hot_upd, n_dead_tup, n_live_tup FROM pg_stat_user_tables"
        " WHERE schemaname = %s AND relname = %s", (SCHEMA, name)).fetchone()
    return {"updated": upd, "hot": hot, "dead": dead, "live": live}


def wal(conn) -> int:
    return int(conn.execute("SELECT pg_current_wal_lsn() - '0/0'::pg_lsn").fetchone()[0])


def let_autovacuum_work(conn, names: list[str], cap: float = 120.0) -> None:
    """Waits, as a day between two runs would, until autovacuum has nothing left to do."""
    deadline = time.monotonic() + cap
    time.sleep(2)
    while time.monotonic() < deadline:
        busy = conn.execute("SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'autovacuum worker'"
                            ).fetchone()[0]
        due = [n for n in names if (s := stats(conn, n))["dead"] > 50 + 0.2 * s["live"]]
        if not busy and not due:
            return
        time.sleep(1)


# -- one run --------------------------------------------------------------------------------


def run_retier(python: str, url: str, name: str, now: float, timeout: float | None = None,
               extra: tuple[str, ...] = ()) -> dict:
    """The command in a fresh process; wall time from start to end, and its CPU time."""
    args = [python, "-m", "quillmarrow_engine.cli", "retier", url, "--table", f"{SCHEMA}.{name}",
            "--recalled-at", "recalled_at", "--now", repr(now), "-q", *extra]
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)  # each build from its own environment
    start = time.perf_counter()
    cpu = _children_cpu()
    try:
        done = subprocess.run(args, capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"seconds": time.perf_counter() - start, "finished": False}
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(args)} failed:\n{done.stderr}")
    return {"seconds": time.perf_counter() - start, "finished": True, "cpu": _children_cpu() - cpu}


def _children_cpu() -> float:
    import resource

    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def server_cpu(directory: str, backends: int | None = None) -> tuple[float, int]:
    """CPU seconds of the server's processes, live and reaped, and how many
    client backends it has; with `backends`, first waits (up to 5 s) until it
    has no more than that many, so that a run's ended backend is counted."""
    tick = os.sysconf("SC_CLK_TCK")
    with open(os.path.join(directory, "data", "postmaster.pid")) as f:
        postmaster = int(f.readline())
    for _ in range(100):
        children = _read(f"/proc/{postmaster}/task/{postmaster}/children").split()
        clients = sum("postgres: postgres" in _read(f"/proc/{pid}/cmdline") for pid in children)
        if backends is None or clients <= backends:
            break
        time.sleep(0.05)
    total = 0
    for pid in [str(postmaster), *children]:
        fields = _read(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()
        if len(fields) > 14:
            total += int(fields[11]) + int(fields[12])  # utime, stime
            if pid == str(postmaster):
                total += int(fields[13]) + int(fields[14])  # of the children it reaped
    return total / tick, clients


def _read(path: str) -> str:
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace").replace("\0", " ")
    except OSError:
        return ""


def measured_run(build: tuple, url: str, name: str, now: float, directory: str) -> dict:
    python, extra = build
    with connect(url) as conn:
        before, wal_before = stats(conn, name), wal(conn)
        decisions_before = decisions(conn, name)
        cpu_before, backends = server_cpu(directory)
        result = run_retier(python, url, name, now, extra=extra)
        result["server_cpu"] = server_cpu(directory, backends)[0] - cpu_before
        time.sleep(1.2)  # the ended backend's counts reach the statistics
        after = stats(conn, name)
        result["wal"] = wal(conn) - wal_before
        result["written"] = after["updated"] - before["updated"]
        result["hot"] = after["hot"] - before["hot"]
        decisions_after = decisions(conn, name)
        result["changed"] = sum(decisions_before[k] != v for k, v in decisions_after.items())
        result["size"] = table_size(conn, name)
    return result


def decisions(conn, name: str) -> dict:
    return {k: (t, a) for k, t, a in conn.execute(f"SELECT id, tier, action FROM {SCHEMA}.{name}")}


# -- the application beside a run ---------------------------------------------------------


class Application(threading.Thread):
    """Recalls a random memory every 10 ms and adds one every 100 ms, timing each statement."""

    def __init__(self, url: str, name: str, ids: list, now: float) -> None:
        super().__init__(daemon=True)
        self.conn = connect(url)
        self.table = f"{SCHEMA}.{name}"
        self.ids = ids
        self.now = now
        self.stop = threading.Event()
        self.waits: list[float] = []
        self.recalled: set = set()
        self.versions: set[int] = set()  # xmin of every row version the application wrote
        self.rng = random.Random(11)
        self.embedding = [0.5] * 384
        self.text = texts(1, seed=3)[0]

    def run(self) -> None:
        from datetime import datetime, timezone

        recalled_at = datetime.fromtimestamp(self.now, timezone.utc)
        n = 0
        while not self.stop.is_set():
            key = self.rng.choice(self.ids)
            self._timed("UPDATE {} SET recalled_at = %s, retrieval_count = retrieval_count + 1"
                        " WHERE id = %s RETURNING xmin::text::bigint", (recalled_at, key))
            self.recalled.add(key)
            n += 1
            if n % 10 == 0:
                self._timed("INSERT INTO {} (id, user_id, text, embedding, recalled_at, retrieval_count,"
                            " importance, frequency, is_procedural, keep_forever, created_at)"
                            " VALUES (gen_random_uuid(), 1, %s, %s, %s, 1, 0.5, 0.5, false, false, %s)",
                            (self.text, self.embedding, recalled_at, recalled_at))
            time.sleep(0.01)
        self.conn.close()

    def _timed(self, statement: str, params: tuple) -> None:
        start = time.perf_counter()
        cur = self.conn.execute(statement.format(self.table), params)
        self.waits.append(time.perf_counter() - start)
        if cur.description is not None:
            self.versions.update(xmin for (xmin,) in cur.fetchall())


def inputs(conn, name: str) -> dict:
    """id -> the inputs and the stored decision."""
    return {row[0]: row[1:] for row in conn.execute(
        "SELECT id, extract(epoch FROM recalled_at)::float8, retrieval_count, importance, frequency,"
        f" is_procedural, keep_forever, tier, action FROM {SCHEMA}.{name}")}


def decide(rows: dict, now: float) -> dict:
    """id -> (tier, action) as tier_arrays gives them as of now."""
    import numpy as np

    import quillmarrow_engine as qe

    keys = list(rows)
    cols = list(zip(*rows.values()))
    out = qe.tier_arrays((now - np.array(cols[0])) / DAY, np.array(cols[1]), np.array(cols[2]),
                         np.array(cols[3]), is_procedural=np.array(cols[4]),
                         keep_forever=np.array(cols[5]))
    tiers = [qe.TIERS[t] for t in out.tier.tolist()]
    actions = [qe.ACTIONS[a] for a in out.action.tolist()]
    return dict(zip(keys, zip(tiers, actions)))


def run_beside_application(build: tuple, url: str, name: str, now: float) -> dict:
    python, extra = build
    with connect(url) as conn:
        before = inputs(conn, name)
        app = Application(url, name, list(before), now)
        app.start()
        time.sleep(0.5)
        result = run_retier(python, url, name, now, extra=extra)
        app.stop.set()
        app.join()
        after = inputs(conn, name)
        last_writer = dict(conn.execute(f"SELECT id, xmin::text::bigint FROM {SCHEMA}.{name}"))
    # A recalled row that the run wrote last must hold the decision of its
    # values after the recall; one the application wrote last is the next
    # run's to re-tier.
    new = decide({k: after[k] for k in before}, now)
    stale = sum(1 for k in app.recalled
                if last_writer[k] not in app.versions and after[k][6:] != new[k])
    result.update(statements=len(app.waits), longest_wait=max(app.waits),
                  recalled=len(app.recalled), stale_overwrites=stale)
    return result


def run_beside_held_row(build: tuple, url: str, name: str, now: float, cap: float) -> dict:
    python, extra = build
    """A session idle in a transaction that updated one row whose decision is due to change."""
    with connect(url) as conn:
        key = conn.execute(f"SELECT id FROM {SCHEMA}.{name} WHERE tier = 'hot' ORDER BY id LIMIT 1"
                           ).fetchone()[0]
        conn.execute(f"UPDATE {SCHEMA}.{name} SET recalled_at = recalled_at - interval '30 days'"
                     " WHERE id = %s", (key,))
        import psycopg

        holder = psycopg.connect(url)
        holder.execute(f"UPDATE {SCHEMA}.{name} SET importance = importance WHERE id = %s", (key,))
        try:
            result = run_retier(python, url, name, now, timeout=cap, extra=extra)
        finally:
            holder.rollback()
            holder.close()
        time.sleep(1)
        result["row_written"] = conn.execute(
            f"SELECT tier <> 'hot' FROM {SCHEMA}.{name} WHERE id = %s", (key,)).fetchone()[0]
    return result


# -- the report -----------------------------------------------------------------------------


def mib(size: int) -> str:
    return f"{size / 2**20:,.0f} MiB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--days", type=int, default=9, help="daily runs after the first fill")
    parser.add_argument("--baseline", metavar="PYTHON",
                        help="a Python with the earlier build installed, run beside this one")
    parser.add_argument("--also", metavar="NAME=PYTHON", action="append", default=[],
                        help="another build to run beside them, on a table of its own (repeatable)")
    parser.add_argument("--held-cap", type=float, default=30.0,
                        help="seconds before a run waiting on a held row is stopped")
    parser.add_argument("--in-database", action="store_true",
                        help="also run this build with --in-database (the server's extension), on a"
                        " table of its own, and compare its decisions with the client-side run's")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    builds: dict[str, tuple[str, tuple[str, ...]]] = {"this": (sys.executable, ())}
    if args.in_database:
        builds["in-database"] = (sys.executable, ("--in-database",))
    for also in args.also:
        name, _, python = also.partition("=")
        builds = {name: (python, ()), **builds}
    if args.baseline:
        builds = {"earlier": (args.baseline, ()), **builds}
    names = {build: f"{TABLE}_{build}".replace("-", "_") for build in builds}
    server = start_server()
    report: dict = {"rows": args.rows, "builds": builds, "days": []}
    try:
        start = time.perf_counter()
        build_tables(server.url, args.rows, list(names.values()))
        if args.in_database:
            with connect(server.url) as conn:
                conn.execute("CREATE EXTENSION quillmarrow")
        print(f"built {len(builds)} tables of {args.rows:,} rows in {time.perf_counter() - start:.0f} s",
              flush=True)
        with connect(server.url) as conn:
            report["loaded"] = {b: table_size(conn, n) for b, n in names.items()}
        for day in range(args.days + 1):
            now = float(NOW + day * DAY)
            runs = {b: measured_run(build, server.url, names[b], now, server.directory)
                    for b, build in builds.items()}
            if args.in_database:
                with connect(server.url) as conn:
                    theirs = decisions(conn, names["in-database"])
                    runs["in-database"]["differing"] = sum(
                        theirs[k] != v for k, v in decisions(conn, names["this"]).items())
            report["days"].append(runs)
            print(f"day {day}: " + "; ".join(
                f"{b} {r['seconds']:.2f} s (CPU {r['cpu']:.2f} + server {r['server_cpu']:.2f}), wrote {r['written']:,} for {r['changed']:,} changed,"
                f" HOT {r['hot']:,}, WAL {mib(r['wal'])}, size {mib(r['size'])}" for b, r in runs.items()),
                flush=True)
            with connect(server.url) as conn:
                let_autovacuum_work(conn, list(names.values()))
        day = args.days + 1
        report["application"] = {
            b: run_beside_application(build, server.url, names[b], float(NOW + day * DAY))
            for b, build in builds.items()}
        print("beside the application: " + "; ".join(
            f"{b} {r['seconds']:.2f} s, {r['statements']:,} statements, longest wait "
            f"{r['longest_wait']:.3f} s, {r['recalled']:,} recalls, {r['stale_overwrites']} overwritten"
            for b, r in report["application"].items()), flush=True)
        report["held"] = {
            b: run_beside_held_row(build, server.url, names[b], float(NOW + (day + 1) * DAY), args.held_cap)
            for b, build in builds.items()}
        print("beside a held row: " + "; ".join(
            f"{b} {r['seconds']:.2f} s" + ("" if r["finished"] else " (stopped: still waiting)")
            + (", row written" if r["row_written"] else ", row not written")
            for b, r in report["held"].items()), flush=True)
    finally:
        server.stop()
    summarise(report)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)


def summarise(report: dict) -> None:
    builds = list(report["builds"])
    days = report["days"]
    print()
    for b in builds:
        first = days[0][b]["size"]
        nxt = days[1][b] if len(days) > 1 else days[0][b]
        print(f"{b}: first fill {days[0][b]['seconds']:.2f} s, table {mib(report['loaded'][b])} -> {mib(first)};"
              f" next day {nxt['seconds']:.2f} s, {nxt['written']:,} rows written for"
              f" {nxt['changed']:,} changed ({nxt['written'] / max(1, nxt['changed']):.2f}x),"
              f" HOT {nxt['hot'] / max(1, nxt['written']):.0%}, WAL {mib(nxt['wal'])};"
              f" after {len(days) - 1} days {mib(days[-1][b]['size'])}"
              f" ({days[-1][b]['size'] / first:.2f}x the first fill)")
    for b in (b for b in builds if b != "earlier"):
        if "earlier" not in builds or len(days) < 2:
            break
        ratios = sorted(day["earlier"]["seconds"] / day[b]["seconds"] for day in days[1:])
        first = days[1]["earlier"]["seconds"] / days[1][b]["seconds"]
        print(f"next-day run: {b} {first:.1f}x faster (wall) than the earlier build; over the"
              f" {len(ratios)} daily runs {ratios[0]:.1f}x to {ratios[-1]:.1f}x, median"
              f" {ratios[len(ratios) // 2]:.1f}x")

        def cpu(run: dict) -> float:
            return run["cpu"] + run["server_cpu"]

        cpus = sorted(cpu(day["earlier"]) / cpu(day[b]) for day in days[1:])
        print(f"  CPU time (the command's and the server's): next day {cpu(days[1]['earlier']):.2f} s"
              f" against {cpu(days[1][b]):.2f} s ({cpu(days[1]['earlier']) / cpu(days[1][b]):.1f}x);"
              f" over the daily runs {cpus[0]:.1f}x to {cpus[-1]:.1f}x, median {cpus[len(cpus) // 2]:.1f}x")
    if "in-database" in builds and len(days) > 1:
        ratios = sorted(day["this"]["seconds"] / day["in-database"]["seconds"] for day in days[1:])
        first = days[1]["this"]["seconds"] / days[1]["in-database"]["seconds"]
        differing = sum(day["in-database"]["differing"] for day in days)
        print(f"in the database: next-day run {first:.1f}x faster (wall) than the client-side online run"
              f" on the same store and day; over the daily runs {ratios[0]:.1f}x to {ratios[-1]:.1f}x,"
              f" median {ratios[len(ratios) // 2]:.1f}x; rows whose decision differs from the client-side"
              f" run's, over all days: {differing}")
    print("targets: written <= 1.05x changed; next day >= 5x faster; size <= 1.3x the first fill;"
          " no application statement waits > 1 s; no stale overwrite; a held row costs at most"
          " the lock timeout")


if __name__ == "__main__":
    main()
