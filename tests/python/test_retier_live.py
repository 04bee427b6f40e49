"""Re-tiering a table the application is using: recalls landing mid-run, rows
held by another transaction, a killed run, the locks a run takes, and keys
of the kinds people use.

The application's writes are made from a second connection at chosen points
inside the run (between a batch's read and its write, between batches), so
each case happens every time, on SQLite and on a real PostgreSQL server.
"""

import io
import json
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import struct
import threading
import uuid
from decimal import Decimal

import pytest

np = pytest.importorskip("numpy", reason="re-tiering needs numpy")
from quillmarrow_engine import RetierError, retier  # noqa: E402
from quillmarrow_engine.retiering.scoring import Scorer  # noqa: E402

from retier_tables import decided, expected, random_rows, run_cli, stored  # noqa: E402
from retier_tables import db, postgres_db, sqlite_db  # noqa: E402, F401  (fixtures)

LATER = 100  # days that pass between the first run and the run under test


def aged(rows, days=LATER):
    return [(r[0], r[1] + days, *r[2:]) for r in rows]


def recall(row):
    """The row after the application recalled it: just now, once more."""
    return (row[0], 0.0, row[2] + 1, *row[3:])


def store_aged(db, rows):
    """The table re-tiered once, then LATER days older."""
    db.create("memories", rows)
    retier(db.url, "memories")
    db.execute(f"UPDATE memories SET days_since_recall = days_since_recall + {LATER}")


def movers(rows, count, start):
    """Keys from `start` on whose decision moves with age and moves again when recalled."""
    before, old, hot = decided(rows), decided(aged(rows)), decided([recall(r) for r in aged(rows)])
    keys = [k for k in sorted(before) if k >= start and before[k] != old[k] != hot[k] != before[k]]
    return keys[:count]


def while_scoring(monkeypatch, action):
    """Calls action(batch, times) inside the run, between the read and the
    write of every batch; `times` counts the batches scored so far."""
    score = Scorer.score
    scored = []

    def scoring(self, batch, layout, now):
        scored.append(1)
        action(batch, len(scored))
        return score(self, batch, layout, now)

    monkeypatch.setattr(Scorer, "score", scoring)


def test_a_recall_landing_mid_run_is_never_overwritten(db, monkeypatch, tmp_path):
    rows = random_rows(1_000)
    store_aged(db, rows)
    before = stored(db)
    once, twice = movers(rows, 2, "m00400")
    app = db.__class__(db.kind, db.url, db._connect)
    seen = {once: 0, twice: 0}

    def recall_now(batch, _):
        for key in seen:
            if key in batch.keys:
                seen[key] += 1
                # `once` is recalled while its batch is scored; `twice` then
                # again while it is read a second time at the end of the run.
                if key == once and seen[key] == 1 or key == twice and seen[key] <= 2:
                    app.execute("UPDATE memories SET days_since_recall = 0,"
                                " retrieval_count = retrieval_count + 1 WHERE id = ?", (key,))

    while_scoring(monkeypatch, recall_now)
    report = tmp_path / "report.jsonl"
    result = retier(db.url, "memories", batch_size=100, report=report)
    app.close()
    want = decided(aged(rows))
    want[once] = decided([recall(r) for r in aged(rows) if r[0] == once])[once]
    want[twice] = before[twice]  # left for the next run, not overwritten
    assert stored(db) == want and want[once][0] == "hot"
    assert (result.retried, result.skipped_changed, result.skipped_locked) == (2, 1, 0)
    assert result.rows == len(rows) and result.written == result.changed - 1
    lines = {entry["key"]: entry for entry in map(json.loads, report.read_text().splitlines())}
    assert lines[once]["retried"] is True and lines[once]["new_tier"] == "hot"
    assert lines[twice]["skipped"] == "changed"
    assert sum("retried" in e or "skipped" in e for e in lines.values()) == 2
    # The next run finishes the job.
    again = retier(db.url, "memories")
    assert (again.written, again.skipped_changed) == (1, 0)


def test_a_row_held_by_another_transaction_is_skipped_after_the_lock_timeout(postgres_db, tmp_path,
                                                                            monkeypatch):
    db = postgres_db
    import psycopg

    rows = random_rows(600)
    store_aged(db, rows)
    before = stored(db)
    (held,) = movers(rows, 1, "m00250")
    holder = psycopg.connect(db.url)  # idle in a transaction that holds one row
    holder.execute("UPDATE memories SET importance = importance WHERE id = %s", (held,))
    report = tmp_path / "report.jsonl"
    result = retier(db.url, "memories", batch_size=100, lock_timeout=0.3, report=report)
    want = decided(aged(rows))
    assert stored(db) == {**want, held: before[held]}
    assert (result.skipped_locked, result.retried, result.skipped_changed) == (1, 1, 0)
    skipped = [json.loads(line) for line in report.read_text().splitlines() if "skipped" in line]
    assert [(e["key"], e["skipped"]) for e in skipped] == [(held, "locked")]
    done = run_cli("retier", db.url, "--table", "memories", "--lock-timeout", "0.2")
    assert done.returncode == 0 and "skipped: 1 row held by another transaction" in done.stderr
    holder.rollback()
    assert retier(db.url, "memories").written == 1 and stored(db) == want
    # A row released while the run waits for it is written.
    db.execute("UPDATE memories SET days_since_recall = days_since_recall + 300")
    db.execute("UPDATE memories SET tier = NULL WHERE id = %s", (held,))  # to be written
    holder.execute("UPDATE memories SET importance = importance WHERE id = %s", (held,))
    release = threading.Timer(0.3, holder.commit)
    reads = []

    def release_while_waited_for(batch, _):
        reads.extend(k for k in batch.keys if k == held)
        if len(reads) == 3:  # read in the scan, again at the end, and before the wait
            release.start()

    while_scoring(monkeypatch, release_while_waited_for)
    result = retier(db.url, "memories", batch_size=100, lock_timeout=30)
    release.join()
    holder.close()
    assert (result.skipped_locked, result.retried) == (0, 1)
    assert stored(db) == decided(aged(rows, LATER + 300))


def test_a_sqlite_writer_holding_the_database_beyond_the_lock_timeout(sqlite_db):
    db = sqlite_db
    rows = random_rows(600)
    store_aged(db, rows)
    holder = sqlite3.connect(db.url, isolation_level=None)

    def take_the_write_lock(done, total):
        if done == 200:
            holder.execute("BEGIN IMMEDIATE")

    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories", batch_size=100, lock_timeout=0.2, progress=take_the_write_lock)
    holder.execute("ROLLBACK")
    assert str(caught.value) == (
        "SQLite: waited --lock-timeout 0.2 s for a lock that another transaction holds:"
        " database is locked")
    assert (caught.value.result.rows, caught.value.result.total) == (200, 600)
    want = decided(aged(rows))
    assert stored(db) == {k: want[k] if k < "m00200" else v for k, v in decided(rows).items()}
    holder.close()


KILL_DURING_THE_THIRD_WRITE = """
    import os, signal
    from quillmarrow_engine.stores import postgres, sqlite
    writes = []
    for store in (postgres.PostgresStore, sqlite.SqliteStore):
        def write_batch(self, *args, write=store.write_batch, **kwargs):
            done = write(self, *args, **kwargs)
            writes.append(1)
            if len(writes) == 3:  # written, not committed
                os.kill(os.getpid(), signal.SIGKILL)
            return done
        store.write_batch = write_batch
"""


def test_a_killed_run_leaves_whole_batches_and_a_rerun_finishes(db):
    rows = random_rows(1_000)
    store_aged(db, rows)
    before = stored(db)
    code = textwrap.dedent(KILL_DURING_THE_THIRD_WRITE) + textwrap.dedent(f"""
        from quillmarrow_engine.cli import main
        main(["retier", {db.url!r}, "--table", "memories", "--batch-size", "200", "-q"])
    """)
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.pathsep.join([os.environ["QM_MODULE_DIR"], env.get("PYTHONPATH", "")])
    killed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, timeout=120)
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    want = decided(aged(rows))
    # Two batches committed, the third rolled back whole (a killed client's
    # open transaction is ended by the server when it sees the connection go).
    assert stored(db) == {k: want[k] if k < "m00400" else before[k] for k in before}
    again = retier(db.url, "memories", batch_size=200)
    assert stored(db) == want and again.skipped_locked == 0


def relation_locks(db):
    """The modes of the table locks the run's connection holds now, and those its read-ahead holds."""
    held = db.query(
        "SELECT a.application_name, l.mode FROM pg_locks l JOIN pg_stat_activity a USING (pid)"
        " WHERE left(a.application_name, 25) = 'quillmarrow-engine retier' AND l.locktype = 'relation'"
        " AND l.relation = 'memories'::regclass")
    return ({mode for name, mode in held if name == "quillmarrow-engine retier"},
            {mode for name, mode in held if name == "quillmarrow-engine retier read-ahead"})


@pytest.mark.parametrize("atomic", [False, True], ids=["online", "atomic"])
def test_no_table_lock_stronger_than_an_update_takes_and_inserts_go_on(postgres_db, atomic):
    db = postgres_db
    rows = random_rows(800)
    store_aged(db, rows)
    app = db.__class__(db.kind, db.url, db._connect)
    app.execute("SET lock_timeout = '200ms'")  # the application's writes must not wait
    seen = []

    def meanwhile(done, total):
        seen.append(relation_locks(db))
        app.execute(f"INSERT INTO memories VALUES ('new-{done}', 1, 1, 0.5, 0.5, false, false)")
        if not atomic:  # the rows just written are free again
            app.execute("UPDATE memories SET importance = importance WHERE id = 'm00000'")

    retier(db.url, "memories", batch_size=200, atomic=atomic, progress=meanwhile)
    app.close()
    assert len(seen) >= 4  # the rows inserted meanwhile come after the others, in key order
    held = set().union(*(main for main, _ in seen))
    # Between two online batches the run holds nothing (its read-ahead at
    # most a read's lock); an atomic run holds what its UPDATEs take, which
    # neither INSERT nor autovacuum waits for.
    assert held == ({"AccessShareLock", "RowExclusiveLock"} if atomic else set())
    assert set().union(*(reads for _, reads in seen)) <= {"AccessShareLock"}
    assert db.query("SELECT count(*) FROM memories WHERE left(id, 4) = 'new-'") == [(len(seen),)]


# (SQL type of the key, a key, how messages show it, how JSON carries it)
POSTGRES_KEYS = [
    ("uuid", uuid.UUID("969c97d8-5b4f-4c4e-9a57-2f3e5d1c0a11"), "969c97d8-5b4f-4c4e-9a57-2f3e5d1c0a11",
     "969c97d8-5b4f-4c4e-9a57-2f3e5d1c0a11"),
    ("bigint", 9_007_199_254_740_993, "9007199254740993", 9_007_199_254_740_993),
    ("text", "mem 'one'", "mem 'one'", "mem 'one'"),
]


@pytest.mark.parametrize("kind, bad_key, shown, in_json", POSTGRES_KEYS, ids=[k[0] for k in POSTGRES_KEYS])
def test_postgres_keys_and_a_schema_qualified_table(postgres_db, tmp_path, kind, bad_key, shown, in_json):
    db = postgres_db
    schema = f"memory store {kind}"
    db.execute(f'CREATE SCHEMA "{schema}"')
    db.execute(f'CREATE TABLE "{schema}".memories (id {kind} PRIMARY KEY, days_since_recall float8,'
               " retrieval_count int, importance float8, frequency float8, tier text, action text)")
    keys = [bad_key] + [
        {"uuid": uuid.UUID(int=i), "bigint": i * 1_000_003, "text": f"k{i:04d}"}[kind] for i in range(300)]
    rows = [(k, *r[1:5]) for k, r in zip(keys, random_rows(301))]
    rows[0] = (bad_key, None, 3, 0.5, 0.5)
    db.conn.cursor().executemany(f'INSERT INTO "{schema}".memories VALUES (%s, %s, %s, %s, %s)', rows)
    db.conn.commit()
    message = f"row id={shown}: column 'days_since_recall' is NULL, not a number"
    with pytest.raises(RetierError) as caught:
        retier(db.url, f"{schema}.memories", batch_size=64)
    assert str(caught.value) == message
    errors = tmp_path / "errors.jsonl"
    result = retier(db.url, f"{schema}.memories", batch_size=64, errors=errors)
    assert json.loads(errors.read_text()) == {
        "column": "days_since_recall", "key": in_json, "message": message.split(": ", 1)[1]}
    assert (result.rows, result.bad_rows) == (300, 1)
    got = dict(db.query(f'SELECT id, tier FROM "{schema}".memories'))
    want = decided([(k, *r[1:5], False, False) for k, r in zip(keys[1:], rows[1:])])
    assert got == {bad_key: None, **{k: v[0] for k, v in want.items()}}


@pytest.mark.parametrize("kind, bad_key, shown", [
    ("INTEGER PRIMARY KEY", 42, "42"),
    ("TEXT PRIMARY KEY", "mem-0042", "mem-0042"),
    ("BLOB PRIMARY KEY", b"\x00\xab", "X'00AB'"),
])
def test_sqlite_keys_as_sqlite_shows_them(sqlite_db, kind, bad_key, shown):
    db = sqlite_db
    db.execute(f"CREATE TABLE memories (id {kind}, days_since_recall, retrieval_count, importance,"
               " frequency, tier, action)")
    db.execute("INSERT INTO memories VALUES (?, 3, 'often', 0.5, 0.5, NULL, NULL)", (bad_key,))
    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories")
    assert str(caught.value) == (
        f"row id={shown}: column 'retrieval_count' is the text 'often', not a number")


@pytest.mark.parametrize("args, message", [
    (["--column", "retention=r"], "retention changes with the clock and is stored only on request:"
                                  " name its column with --retention-column r"),
    (["--lock-timeout", "0"], "must be a positive number of seconds, got 0"),
    (["--lock-timeout", "soon"], "not a number of seconds: 'soon'"),
])
def test_options_refused_before_any_work(sqlite_db, args, message):
    sqlite_db.create("memories", random_rows(5))
    done = run_cli("retier", sqlite_db.url, "--table", "memories", *args)
    assert done.returncode == 2 and done.stderr.rstrip().endswith(message), done.stderr
    with pytest.raises(RetierError, match="^retention changes with the clock"):
        retier(sqlite_db.url, "memories", columns={"retention": "r"})


def test_the_summary_of_a_run_that_stops_on_a_bad_row(sqlite_db, tmp_path):
    db = sqlite_db
    db.create("memories", random_rows(500))
    db.execute("UPDATE memories SET frequency = NULL WHERE id = 'm00333'")
    done = run_cli("retier", db.url, "--table", "memories", "--batch-size", "100")
    assert done.returncode == 1
    assert done.stderr.endswith(
        "tier or action changed: 300 of 300 rows\n"
        "written: 300 rows (tier or action differed), batch by batch\n"
        "done: 300 of 500 rows\n"
        "quillmarrow-engine: row id=m00333: column 'frequency' is NULL, not a number\n")
    finished = run_cli("retier", db.url, "--table", "memories", "--errors", tmp_path / "bad.jsonl")
    assert finished.returncode == 3
    assert "written: 199 rows" in finished.stderr and "set aside 1 row (bad)" in finished.stderr


# (key, number, flag and time column types): every column of a batch comes as one binary array
ARRAY_LAYOUTS = [
    ("uuid", "double precision", "boolean", "timestamptz"),
    ("bigint", "integer", "integer", "timestamp"),
    ("text", "numeric", "smallint", "date"),
    ("varchar(20)", "real", "boolean", "bigint"),
    ("integer", "bigint", "boolean", "text"),
]


@pytest.mark.parametrize("key, number, flag, time", ARRAY_LAYOUTS, ids=[k[0] for k in ARRAY_LAYOUTS])
def test_columns_of_every_type_are_read_as_arrays_and_compared_as_read(postgres_db, key, number, flag,
                                                                       time):
    """Every row is tier_arrays' own on the values as stored, NULLs and old
    names included; a second run finds every row as it read it, so a
    compare-and-set of each type writes nothing more."""
    from datetime import date, datetime, timedelta, timezone

    import quillmarrow_engine

    db = postgres_db
    db.execute(f"CREATE TABLE memories (id {key} PRIMARY KEY, recalled {time}, retrieval_count {number},"
               f" importance {number}, frequency float8, is_procedural {flag}, keep_forever {flag},"
               " tier varchar(30), action text, retention double precision)")
    now = datetime(2025, 6, 15, 12, tzinfo=timezone.utc)
    rows = random_rows(700)
    keys = [{"uuid": uuid.UUID(int=i * 7_919)}.get(key, i * 7_919 if "int" in key else f"k{i * 7_919:07d}")
            for i in range(len(rows))]

    def stored_time(days):
        moment = now - timedelta(days=max(days, 0), microseconds=7)
        return {"timestamptz": moment, "timestamp": moment.replace(tzinfo=None), "date": moment.date(),
                "bigint": int(moment.timestamp() * 1000), "text": moment.isoformat()}[time]

    def stored_number(value):
        return {"integer": int(value), "bigint": int(value), "numeric": Decimal(repr(value)),
                "real": float(np.float32(value))}.get(number, value)

    stored_rows = [(k, stored_time(r[1]), stored_number(r[2]), stored_number(r[3]), r[4],
                    *((r[5], r[6]) if flag == "boolean" else (int(r[5]), int(r[6]))))
                   for k, r in zip(keys, rows)]
    db.conn.cursor().executemany("INSERT INTO memories VALUES (%s, %s, %s, %s, %s, %s, %s)", stored_rows)
    db.conn.commit()
    db.execute("UPDATE memories SET tier = 'legacy', action = 'old' WHERE id = ?", (keys[450],))
    db.execute("UPDATE memories SET importance = NULL WHERE id = ?", (keys[640],))
    unit = {"bigint": "ms"}.get(time)
    options = {"recalled_at": "recalled", "now": now, "time_unit": unit, "retention_column": "retention"}
    result = retier(db.url, "memories", batch_size=200, errors=io.StringIO(), **options)
    assert (result.rows, result.bad_rows) == (len(rows) - 1, 1)
    assert sum(n for (old, _), n in result.transitions.items() if old == "legacy") == 1
    times = [r[1] for r in stored_rows]
    if time == "timestamp":
        times = [t.replace(tzinfo=timezone.utc) for t in times]
    if time == "date":
        times = [datetime(t.year, t.month, t.day, tzinfo=timezone.utc) for t in times]
    count = [float(r[2]) for r in stored_rows]
    importance = [float(r[3]) for r in stored_rows]
    if number == "real":
        count, importance = np.float32(count), np.float32(importance)
    out = quillmarrow_engine.tier_arrays(
        None, count, importance, [r[4] for r in stored_rows], is_procedural=[bool(r[5]) for r in stored_rows],
        keep_forever=[bool(r[6]) for r in stored_rows], recalled_at=times, now=now, time_unit=unit)
    want = {k: (quillmarrow_engine.TIERS[t], quillmarrow_engine.ACTIONS[a], r)
            for k, t, a, r in zip(keys, out.tier.tolist(), out.action.tolist(), out.retention.tolist())}
    want[keys[640]] = (None, None, None)
    got = {k: (t, a, r) for k, t, a, r in db.query(
        "SELECT id, tier, action, retention FROM memories")}
    assert got == want
    assert retier(db.url, "memories", errors=io.StringIO(), **options).written == 0
    # Every row to write again: each is found as it was read, whatever its
    # columns' types, and written (none taken for changed and read again).
    db.execute("UPDATE memories SET tier = NULL")
    again = retier(db.url, "memories", batch_size=200, errors=io.StringIO(), **options)
    assert (again.written, again.changed, again.retried, again.bad_rows) == (len(rows) - 1,) * 2 + (0, 1)


def _array(oid, elements, width=None, nulls=False):
    """A one-dimensional array in PostgreSQL's binary form."""
    head = struct.pack(">iiiii", 1, int(nulls), oid, len(elements), 1)
    body = b"".join(struct.pack(">i", -1) if e is None else struct.pack(">i", len(e)) + e for e in elements)
    return head + body


F8 = [struct.pack(">d", v) for v in (1.5, -0.0, float("inf"))]
TS = [struct.pack(">q", v) for v in (0, -946_684_800_000_000, 2**63 - 1)]


@pytest.mark.parametrize("data, kind, count, want", [
    (_array(701, F8), "float8", 3, [1.5, -0.0, float("inf")]),
    (_array(701, [F8[0], None], nulls=True), "float8", 2, [1.5, None]),
    (_array(23, [struct.pack(">i", 7), struct.pack(">i", -1)]), "int4", 2, [7, -1]),
    (_array(16, [b"\x01", b"\x00"]), "bool", 2, [True, False]),
    (_array(25, ["hot".encode(), None, "ü".encode()], nulls=True), "text", 3, ["hot", None, "ü"]),
    (_array(1184, TS[:2]), "timestamptz", 2, [946_684_800_000_000, 0]),  # microseconds since 1970
    (_array(1184, TS), "timestamptz", 3, [946_684_800_000_000, 0, float("inf")]),
    (_array(1082, [struct.pack(">i", -10_957), struct.pack(">i", 1)]), "date", 2, [0, 946_771_200_000_000]),
    (None, "float8", 0, []),
    (_array(701, F8), "float8", 2, "not a one-dimensional array of 2 elements"),
    (_array(701, F8)[:-1], "float8", 3, "bytes for 3 elements"),
    (_array(701, [F8[0], None], nulls=True)[:-2], "float8", 2, "cut short"),
    (_array(23, [struct.pack(">q", 7)], nulls=True), "int4", 1, "8 bytes where >i4 was expected"),
    (None, "float8", 1, "no array where 1 elements were expected"),
])
def test_binary_arrays(data, kind, count, want):
    from quillmarrow_engine.stores import pg_binary

    if isinstance(want, str):
        with pytest.raises(pg_binary.ArrayError, match=want):
            pg_binary.parse_array(data, kind, count)
        return
    got = pg_binary.parse_array(data, kind, count)
    assert (got.tolist() if hasattr(got, "tolist") else got) == want


def test_a_run_that_stops_before_writing_leaves_no_report(db, tmp_path):
    db.create("memories", random_rows(300), results=False)
    report, errors = tmp_path / "report.jsonl", tmp_path / "bad.jsonl"
    with pytest.raises(RetierError, match="no column 'tier', 'action' for the results") as caught:
        retier(db.url, "memories", report=report, errors=errors)
    assert caught.value.result is None and [p.name for p in tmp_path.iterdir() if p.name != "store.db"] == []


def test_the_one_statement_compare_and_set_of_fixed_width_tables(postgres_db, monkeypatch):
    """A uuid or integer key with number columns is written by one UPDATE that
    compares and sets: a recall landing mid-run is read again, one landing
    twice is skipped, and a held row sends its batch to lock row by row."""
    import psycopg

    db = postgres_db
    rows = [(int(r[0][1:]), *r[1:]) for r in random_rows(600)]
    db.execute("CREATE TABLE memories (id bigint PRIMARY KEY, days_since_recall float8,"
               " retrieval_count int, importance float8, frequency float8, is_procedural boolean,"
               " keep_forever boolean, tier text, action text)")
    db.conn.cursor().executemany("INSERT INTO memories VALUES (%s, %s, %s, %s, %s, %s, %s)", rows)
    db.conn.commit()
    retier(db.url, "memories")
    db.execute(f"UPDATE memories SET days_since_recall = days_since_recall + {LATER}")
    before, old = decided(rows), decided(aged(rows))
    hot = decided([recall(r) for r in aged(rows)])
    once, twice, held = [k for k in sorted(before) if before[k] != old[k] != hot[k] != before[k]][:3]
    app = db.__class__(db.kind, db.url, db._connect)
    holder = psycopg.connect(db.url)
    holder.execute("UPDATE memories SET importance = importance WHERE id = %s", (held,))
    seen = {once: 0, twice: 0}

    def recall_now(batch, _):
        for key in seen:
            if key in batch.keys:
                seen[key] += 1
                if key == once and seen[key] == 1 or key == twice and seen[key] <= 2:
                    app.execute("UPDATE memories SET days_since_recall = 0,"
                                " retrieval_count = retrieval_count + 1 WHERE id = ?", (key,))

    while_scoring(monkeypatch, recall_now)
    result = retier(db.url, "memories", batch_size=100, lock_timeout=0.3)
    holder.rollback()
    holder.close()
    app.close()
    want = {**old, once: hot[once], twice: before[twice], held: before[held]}
    assert {r[0]: r[1:] for r in db.query("SELECT id, tier, action FROM memories")} == want
    assert (result.retried, result.skipped_changed, result.skipped_locked) == (3, 1, 1)
