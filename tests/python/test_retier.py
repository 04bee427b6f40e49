"""Re-tiering a table in place, on SQLite and on a real PostgreSQL server.

Every test runs on both databases. The PostgreSQL server is a throwaway one
started for the session (postgres_server.py); without binaries or psycopg the
PostgreSQL cases skip saying why, unless QM_REQUIRE_POSTGRES is set (CI),
where they fail instead.
"""

import json
import math
import os
import sqlite3
import subprocess
import sys
from datetime import datetime, timezone

import pytest

np = pytest.importorskip("numpy", reason="re-tiering needs numpy")
import quillmarrow_engine  # noqa: E402
from quillmarrow_engine import RetierError, retier  # noqa: E402

import postgres_server  # noqa: E402

NOW = 1_750_000_000
DAY = 86_400
FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency",
          "is_procedural", "keep_forever")
REQUIRE_POSTGRES = bool(os.environ.get("QM_REQUIRE_POSTGRES"))


@pytest.fixture(scope="session")
def postgres_url():
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _no_postgres("psycopg 3 is not installed (pip install 'psycopg[binary]')")
    server, why = postgres_server.start()
    if server is None:
        _no_postgres(why)
    yield server.url
    server.stop()


def _no_postgres(why):
    if REQUIRE_POSTGRES:
        pytest.fail(f"QM_REQUIRE_POSTGRES is set but no PostgreSQL server: {why}")
    pytest.skip(f"no PostgreSQL server: {why}")


class Database:
    """One database of either kind, with the little SQL the tests need."""

    def __init__(self, kind, url, connect):
        self.kind = kind
        self.url = url
        self._connect = connect
        self.conn = connect()
        self.mark = "?" if kind == "sqlite" else "%s"

    def sql(self, text):
        return text.replace("?", self.mark)

    def execute(self, text, params=()):
        self.conn.execute(self.sql(text), params)
        self.conn.commit()

    def query(self, text, params=()):
        rows = self.conn.execute(self.sql(text), params).fetchall()
        self.conn.commit()
        return rows

    def types(self):
        if self.kind == "sqlite":
            return {"number": "REAL", "count": "INTEGER", "flag": "INTEGER", "text": "TEXT",
                    "time": "INTEGER"}
        return {"number": "double precision", "count": "integer", "flag": "boolean",
                "text": "text", "time": "timestamptz"}

    def create(self, table, rows, flags=True, results=True, int_flags=False):
        """A memory table named `table` holding `rows` (id + the six fields)."""
        t = self.types()
        if int_flags:
            t["flag"] = "integer"
        columns = [f"id {t['text']} PRIMARY KEY", f"days_since_recall {t['number']}",
                   f"retrieval_count {t['count']}", f"importance {t['number']}",
                   f"frequency {t['number']}"]
        if flags:
            columns += [f"is_procedural {t['flag']}", f"keep_forever {t['flag']}"]
        if results:
            columns += [f"tier {t['text']}", f"action {t['text']}", f"retention {t['number']}"]
        self.execute(f'CREATE TABLE "{table}" ({", ".join(columns)})')
        names = ["id", *FIELDS[: 6 if flags else 4]]
        marks = ", ".join([self.mark] * len(names))
        cur = self.conn.cursor()
        values = [self._flags(r[: len(names)], int_flags) for r in rows]
        cur.executemany(f'INSERT INTO "{table}" ({", ".join(names)}) VALUES ({marks})', values)
        self.conn.commit()

    def _flags(self, row, int_flags=False):
        if self.kind == "sqlite" or int_flags:
            return tuple(int(v) if isinstance(v, bool) else v for v in row)
        return row

    def snapshot(self, table):
        """Every row, NaN shown as a text so that equal tables compare equal."""
        return [
            tuple("NaN" if isinstance(v, float) and math.isnan(v) else v for v in row)
            for row in self.query(f'SELECT * FROM "{table}" ORDER BY id')
        ]

    def close(self):
        self.conn.close()


def _database(kind, request, tmp_path):
    if kind == "sqlite":
        path = tmp_path / "store.db"
        sqlite3.connect(path).close()
        return Database("sqlite", str(path), lambda: sqlite3.connect(path))
    # The server fixture comes first: it skips, saying why, where psycopg or
    # a server cannot be had.
    url = request.getfixturevalue("postgres_url")
    import psycopg

    # A fresh schema per test keeps the tests apart on the one server.
    schema = f"t_{abs(hash(request.node.nodeid)):x}"
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute(f"DROP SCHEMA IF EXISTS {schema} CASCADE")
        conn.execute(f"CREATE SCHEMA {schema}")
    url = f"{url}&options=-csearch_path%3D{schema}"
    return Database("postgres", url, lambda: psycopg.connect(url))


@pytest.fixture(params=["sqlite", "postgres"])
def db(request, tmp_path):
    database = _database(request.param, request, tmp_path)
    yield database
    database.close()


@pytest.fixture
def sqlite_db(request, tmp_path):
    database = _database("sqlite", request, tmp_path)
    yield database
    database.close()


@pytest.fixture
def postgres_db(request, tmp_path):
    database = _database("postgres", request, tmp_path)
    yield database
    database.close()


def random_rows(n, seed=7):
    """Rows with values on and around every threshold of the decision chain."""
    rng = np.random.default_rng(seed)
    days = rng.choice([0.0, 0.5, 6.999, 7.0, 7.001, 29.5, 30.0, 31.0, 179.0, 180.0, 400.0, -2.0], n)
    days = np.where(rng.random(n) < 0.5, days, rng.random(n) * 300)
    count = rng.choice([0, 1, 2, 3, 4, 20, 1000], n)
    importance = np.where(rng.random(n) < 0.2, 1.5, rng.random(n))
    frequency = rng.random(n)
    procedural = rng.random(n) < 0.3
    pinned = rng.random(n) < 0.1
    return [
        (f"m{i:05d}", float(d), int(c), float(im), float(fr), bool(p), bool(k))
        for i, (d, c, im, fr, p, k) in enumerate(
            zip(days, count, importance, frequency, procedural, pinned))
    ]


def expected(rows, days=None):
    """What tier_arrays gives for the rows: id -> (tier, action, retention)."""
    cols = list(zip(*rows))
    out = quillmarrow_engine.tier_arrays(
        np.array(cols[1] if days is None else days, dtype=np.float64), np.array(cols[2]),
        np.array(cols[3]), np.array(cols[4]),
        is_procedural=np.array(cols[5], dtype=bool), keep_forever=np.array(cols[6], dtype=bool),
    )
    tiers, actions = quillmarrow_engine.TIERS, quillmarrow_engine.ACTIONS
    return {
        row[0]: (tiers[t], actions[a], r)
        for row, t, a, r in zip(rows, out.tier.tolist(), out.action.tolist(), out.retention.tolist())
    }


def stored(db, table="memories"):
    return {r[0]: (r[1], r[2], r[3]) for r in db.query(
        f'SELECT id, tier, action, retention FROM "{table}" ORDER BY id')}


def test_every_row_gets_what_tier_arrays_gives(db):
    rows = random_rows(2_500)
    db.create("memories", rows)
    result = retier(db.url, "memories", batch_size=300)
    want = expected(rows)
    assert stored(db) == want
    assert (result.rows, result.changed, result.written) == (len(rows), len(rows), len(rows))
    assert sum(result.tiers.values()) == len(rows)
    assert result.transitions == {
        ("(none)", t): n for t, n in result.tiers.items()
    }
    # A second run at the same data changes and writes nothing.
    again = retier(db.url, "memories", batch_size=1_000)
    assert (again.changed, again.written) == (0, 0)
    assert stored(db) == want


def test_dry_run_writes_nothing_and_reports_what_a_real_run_then_does(db, tmp_path):
    rows = random_rows(800, seed=3)
    db.create("memories", rows)
    retier(db.url, "memories", batch_size=256)
    # Time passes for some rows: they move.
    db.execute("UPDATE memories SET days_since_recall = days_since_recall + 40 WHERE id < 'm00400'")
    before = db.snapshot("memories")
    dry = retier(db.url, "memories", dry_run=True, report=tmp_path / "dry.jsonl", batch_size=100)
    assert db.snapshot("memories") == before
    assert dry.written == 0 and dry.dry_run
    real = retier(db.url, "memories", report=tmp_path / "real.jsonl", batch_size=100)
    dry_lines = (tmp_path / "dry.jsonl").read_text().splitlines()
    assert dry_lines == (tmp_path / "real.jsonl").read_text().splitlines()
    assert (dry.changed, dry.tiers, dry.actions, dry.transitions) == (
        real.changed, real.tiers, real.actions, real.transitions)
    assert 0 < real.changed == len(dry_lines) < len(rows)
    old = {r[0]: r[1:] for r in before}
    now = stored(db)
    for line in dry_lines:
        entry = json.loads(line)
        assert set(entry) == {"key", "old_tier", "new_tier", "old_action", "new_action", "retention"}
        key = entry["key"]
        assert (entry["old_tier"], entry["old_action"]) == (old[key][6], old[key][7])
        assert (entry["new_tier"], entry["new_action"], entry["retention"]) == now[key]
        assert (entry["old_tier"], entry["old_action"]) != (entry["new_tier"], entry["new_action"])


def test_a_dry_run_can_preview_columns_it_would_add(db):
    rows = random_rows(50)
    db.create("memories", rows, results=False)
    before = db.snapshot("memories")
    result = retier(db.url, "memories", dry_run=True, add_columns=True)
    assert result.changed == 50 and db.snapshot("memories") == before
    with pytest.raises(RetierError, match=r"no column 'tier', 'action', 'retention' for the results"):
        retier(db.url, "memories")
    retier(db.url, "memories", add_columns=True)
    assert stored(db) == expected(rows)


BAD_VALUES = [
    # (column, SQL value, message), each set on the row 'm00250' (the third batch)
    ("importance", "NULL", "row id='m00250': column 'importance' is NULL, not a number"),
    ("retrieval_count", "NULL", "row id='m00250': column 'retrieval_count' is NULL"),
    ("days_since_recall", "'Infinity'::float8", "row id='m00250': column 'days_since_recall' is inf"),
    ("frequency", "'NaN'::float8", "row id='m00250': column 'frequency' is NaN"),
    ("is_procedural", "NULL", "row id='m00250': column 'is_procedural' is NULL, not a boolean, 0 or 1"),
    ("keep_forever", "2", "row id='m00250': column 'keep_forever' is 2, not a boolean, 0 or 1"),
    ("is_procedural", "-1", "row id='m00250': column 'is_procedural' is -1, not a boolean, 0 or 1"),
    ("importance", "'high'", "row id='m00250': column 'importance' is the text 'high', not a number"),
]


@pytest.mark.parametrize("column, value, message", BAD_VALUES)
def test_a_bad_row_stops_the_run_named_and_leaves_the_table_as_it_was(db, tmp_path, column, value, message):
    if db.kind == "sqlite":
        if value == "'NaN'::float8":
            pytest.skip("SQLite stores a NaN as NULL")
        value = {"'Infinity'::float8": "9e999"}.get(value, value)
    elif value == "'high'":
        pytest.skip("a PostgreSQL number column cannot hold a text")
    # On PostgreSQL a flag other than 0 or 1 needs integer flag columns.
    db.create("memories", random_rows(400), int_flags=value in ("2", "-1"))
    retier(db.url, "memories")
    db.execute(f"UPDATE memories SET {column} = {value} WHERE id = 'm00250'")
    db.execute("UPDATE memories SET days_since_recall = days_since_recall + 50")
    before = db.snapshot("memories")
    report = tmp_path / "report.jsonl"
    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories", batch_size=100, report=report)
    assert str(caught.value).startswith(message)
    assert db.snapshot("memories") == before
    assert not report.exists() and list(tmp_path.glob("*.jsonl*")) == []


def test_ctrl_c_in_the_middle_leaves_the_table_as_it_was(db):
    db.create("memories", random_rows(1_000))
    retier(db.url, "memories")
    db.execute("UPDATE memories SET days_since_recall = days_since_recall + 100")
    before = db.snapshot("memories")
    seen = []

    def interrupt(done, total):
        seen.append(done)
        if done >= 600:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        retier(db.url, "memories", batch_size=200, progress=interrupt)
    assert seen[-1] == 600 and db.snapshot("memories") == before


def test_a_lost_connection_leaves_the_table_as_it_was(postgres_db):
    db = postgres_db
    import psycopg

    db.create("memories", random_rows(1_000))
    before = db.snapshot("memories")

    def kill_the_run(done, total):
        if done >= 400:
            with psycopg.connect(db.url, autocommit=True) as other:
                other.execute(
                    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                    " WHERE application_name = 'quillmarrow-engine retier'")

    with pytest.raises(RetierError, match="^PostgreSQL: "):
        retier(db.url, "memories", batch_size=200, progress=kill_the_run)
    assert db.snapshot("memories") == before


def test_readers_see_the_old_tiers_until_the_commit(db):
    """One transaction: a second connection sees no new tier before the run ends."""
    rows = random_rows(600)
    db.create("memories", rows)
    seen = []

    def look(done, total):
        if 0 < done < total:
            seen.append(db.query("SELECT count(*) FROM memories WHERE tier IS NOT NULL")[0][0])

    if db.kind == "sqlite":
        db.conn.execute("PRAGMA journal_mode = WAL")  # readers beside a writer
    retier(db.url, "memories", batch_size=100, progress=look)
    assert seen and set(seen) == {0}
    assert stored(db) == expected(rows)


# (stored time, its kind, --now, days since recall)
TIMES = [
    (NOW - 3 * DAY, "seconds", NOW, 3.0),
    (NOW - 8_640, "seconds", str(NOW), 0.1),
    (NOW - 0.5, "seconds", NOW, 0.5 / DAY),
    ("2025-06-10T12:00:00Z", "iso", "2025-06-15T12:00:00+00:00", 5.0),
    ("2025-06-10T12:00:00+02:00", "iso", "2025-06-10T12:00:00Z", 2 / 24),
    ("2025-06-10 06:00:00", "iso", "2025-06-11T00:00:00", 0.75),  # no offset: UTC
    ("2025-06-10T12:00:00.250000Z", "iso", "2025-06-10T12:00:00Z", -0.25 / DAY),
    (NOW - 200 * DAY, "seconds", datetime.fromtimestamp(NOW, timezone.utc), 200.0),
]


def test_days_since_recall_from_a_time_column_as_of_now(db):
    t = db.types()
    db.execute(f"CREATE TABLE memories (id {t['count']} PRIMARY KEY, recalled {t['time']},"
               f" retrieval_count {t['count']}, importance {t['number']}, frequency {t['number']},"
               f" tier {t['text']}, action {t['text']}, retention {t['number']})")
    for i, (value, kind, now, days) in enumerate(TIMES):
        if db.kind == "postgres":
            if kind == "seconds":
                value = datetime.fromtimestamp(value, timezone.utc)
            elif not value.endswith(("Z", "00")):
                value += "+00:00"  # a timestamptz takes the session's zone otherwise
        db.execute("DELETE FROM memories")
        db.execute("INSERT INTO memories VALUES (?, ?, 2, 0.5, 0.5, NULL, NULL, NULL)", (i, value))
        retier(db.url, "memories", recalled_at="recalled", now=now)
        want = quillmarrow_engine.tier_arrays([days], [2], [0.5], [0.5])
        got = db.query("SELECT tier, action, retention FROM memories")[0]
        names = (quillmarrow_engine.TIERS[want.tier[0]], quillmarrow_engine.ACTIONS[want.action[0]])
        assert got == (*names, want.retention[0]), (value, now, days)


def test_now_defaults_to_the_start_of_the_run_for_every_row(sqlite_db):
    db = sqlite_db
    db.execute("CREATE TABLE memories (id INTEGER PRIMARY KEY, recalled, retrieval_count,"
               " importance, frequency, tier, action, retention)")
    import time

    start = time.time()
    db.conn.executemany("INSERT INTO memories VALUES (?, ?, 3, 0.5, 0.5, NULL, NULL, NULL)",
                        [(i, start - 10 * DAY) for i in range(500)])
    db.conn.commit()
    result = retier(db.url, "memories", recalled_at="recalled", batch_size=64)
    assert start <= result.now <= time.time()
    retentions = {r[0] for r in db.query("SELECT retention FROM memories")}
    want = quillmarrow_engine.tier_arrays([(result.now - (start - 10 * DAY)) / DAY], [3], [0.5], [0.5])
    assert retentions == {want.retention[0]}


def test_bad_times_are_named(sqlite_db):
    db = sqlite_db
    db.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, recalled, retrieval_count,"
               " importance, frequency, tier, action, retention)")
    for value, message in [
        ("yesterday", "row id='a': column 'recalled' is the text 'yesterday', not a time"),
        (None, "row id='a': column 'recalled' is NULL, not a time"),
    ]:
        db.execute("DELETE FROM memories")
        db.execute("INSERT INTO memories VALUES ('a', ?, 1, 1, 1, NULL, NULL, NULL)", (value,))
        with pytest.raises(RetierError, match="^" + message):
            retier(db.url, "memories", recalled_at="recalled", now=NOW)
    with pytest.raises(RetierError, match="not an ISO-8601 time or Unix seconds: 'soon'"):
        retier(db.url, "memories", recalled_at="recalled", now="soon")


def test_mapped_columns_and_names_that_need_quoting(db):
    t = db.types()
    table = 'my "memories"; DROP TABLE keep'
    db.execute(f"CREATE TABLE keep (x {t['count']})")
    db.execute(
        f'CREATE TABLE "my ""memories""; DROP TABLE keep" ("memory id" {t["text"]}, "age days" {t["number"]},'
        f' "uses" {t["count"]}, "weight" {t["number"]}, "freq" {t["number"]}, "pinned" {t["flag"]},'
        f' "t" {t["text"]}, "a" {t["text"]}, "r" {t["number"]})')
    rows = random_rows(40)
    db.conn.cursor().executemany(
        db.sql(f'INSERT INTO "my ""memories""; DROP TABLE keep" VALUES (?, ?, ?, ?, ?, ?, NULL, NULL, NULL)'),
        [(r[0], r[1], r[2], r[3], r[4], db._flags((r[6],))[0]) for r in rows])
    db.conn.commit()
    columns = {"days_since_recall": "age days", "retrieval_count": "uses", "importance": "weight",
               "frequency": "freq", "keep_forever": "pinned", "tier": "t", "action": "a",
               "retention": "r"}
    retier(db.url, table, key="memory id", columns=columns)
    want = expected([(r[0], *r[1:5], False, r[6]) for r in rows])
    got = {r[0]: tuple(r[1:]) for r in db.query(f'SELECT "memory id", t, a, r FROM "{table.replace(chr(34), 2 * chr(34))}"')}
    assert got == want
    assert db.query("SELECT count(*) FROM keep") == [(0,)]
    with pytest.raises(RetierError, match="has no column 'is_procedural'"):
        retier(db.url, table, key="memory id", columns={**columns, "is_procedural": "is_procedural"})
    with pytest.raises(RetierError, match="no table 'memories; DROP TABLE keep'"):
        retier(db.url, "memories; DROP TABLE keep")


def test_the_command_line(db, tmp_path):
    rows = random_rows(300)
    db.create("memories", rows)
    report = tmp_path / "changes.jsonl"
    dry = _cli("retier", db.url, "--table", "memories", "--dry-run", "--report", report)
    assert dry.returncode == 0, dry.stderr
    assert "tiered 300 items in" in dry.stderr and "dry run: nothing written" in dry.stderr
    assert "old tier" in dry.stderr and "(none)" in dry.stderr
    assert "tier or action would change: 300 of 300 rows" in dry.stderr
    assert len(report.read_text().splitlines()) == 300
    assert {r[1] for r in db.query("SELECT id, tier FROM memories")} == {None}
    done = _cli("retier", db.url, "--table", "memories", "-q")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert stored(db) == expected(rows)
    failed = _cli("retier", db.url, "--table", "memories", "--key", "nope")
    assert failed.returncode == 1
    assert failed.stderr == ("quillmarrow-engine: table 'memories' has no column 'nope' "
                             "(the key that names each row; choose another with --key)\n")
    usage = _cli("retier", db.url, "--table", "memories", "--column", "colour=c")
    assert usage.returncode == 2 and "unknown field 'colour'" in usage.stderr


def _cli(*args):
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.abspath(os.environ["QM_MODULE_DIR"]), env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-m", "quillmarrow_engine.cli", *map(str, args)],
        capture_output=True, text=True, env=env, timeout=120,
    )


def test_foreign_old_names_are_reported_and_replaced(db, tmp_path):
    rows = random_rows(30)
    db.create("memories", rows)
    db.execute("UPDATE memories SET tier = 'legacy', action = NULL WHERE id < 'm00010'")
    result = retier(db.url, "memories", report=tmp_path / "r.jsonl")
    assert stored(db) == expected(rows)
    legacy = {k: n for k, n in result.transitions.items() if k[0] == "legacy"}
    assert sum(legacy.values()) == 10
    lines = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()]
    assert sorted((e["key"], e["old_tier"], e["old_action"]) for e in lines if e["key"] < "m00010") == [
        (f"m{i:05d}", "legacy", None) for i in range(10)]


def test_a_sqlite_table_without_rowids_is_paged_by_its_key(sqlite_db):
    db = sqlite_db
    rows = random_rows(700)
    db.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, days_since_recall REAL, retrieval_count,"
               " importance, frequency, is_procedural, keep_forever, tier, action, retention)"
               " WITHOUT ROWID")
    db.conn.executemany("INSERT INTO memories VALUES (?, ?, ?, ?, ?, ?, ?, NULL, NULL, NULL)",
                        [db._flags(r) for r in rows])
    db.conn.commit()
    retier(db.url, "memories", batch_size=64)
    assert stored(db) == expected(rows)
    with pytest.raises(RetierError, match="has no rowid; its key must be its one-column primary key"):
        retier(db.url, "memories", key="frequency")


def test_a_partitioned_postgres_table(postgres_db):
    """Partitions share row addresses: each row must still get its own result."""
    db = postgres_db
    rows = random_rows(1_000)
    db.execute("CREATE TABLE memories (id text, days_since_recall float8, retrieval_count int,"
               " importance float8, frequency float8, is_procedural boolean, keep_forever boolean,"
               " tier text, action text, retention float8) PARTITION BY HASH (id)")
    for i in range(4):
        db.execute(f"CREATE TABLE memories_{i} PARTITION OF memories"
                   f" FOR VALUES WITH (MODULUS 4, REMAINDER {i})")
    db.conn.cursor().executemany(
        "INSERT INTO memories VALUES (%s, %s, %s, %s, %s, %s, %s, NULL, NULL, NULL)", rows)
    db.conn.commit()
    result = retier(db.url, "memories", batch_size=128)
    assert stored(db) == expected(rows) and result.written == len(rows)


# Two pairs of actions share a tier, so a stored action can be stale while
# the stored tier is right.
SAME_TIER = {"keep_forever_tag": "long_term_semantic", "long_term_semantic": "keep_forever_tag",
             "spaced_repetition": "maintain_warm", "maintain_warm": "spaced_repetition"}


def test_a_stale_action_alone_is_a_change_and_a_stale_retention_alone_is_not(db, tmp_path):
    rows = random_rows(2_000) + [("z-spaced", 8.0, 20, 0.5, 0.5, False, False),
                                 ("z-warm", 45.0, 1000, 0.0, 0.0, False, False)]
    db.create("memories", rows)
    retier(db.url, "memories")
    want = expected(rows)
    by_action = {}
    for key, (_, action, _) in sorted(want.items()):
        by_action.setdefault(action, key)
    stale_action = sorted(by_action[action] for action in SAME_TIER)
    stale_retention = [key for key in sorted(want) if key not in stale_action][:3]
    for key in stale_action:
        db.execute("UPDATE memories SET action = ? WHERE id = ?", (SAME_TIER[want[key][1]], key))
    for key in stale_retention:
        db.execute("UPDATE memories SET retention = retention + 0.5 WHERE id = ?", (key,))
    report = tmp_path / "changes.jsonl"
    result = retier(db.url, "memories", report=report)
    assert (result.changed, result.written) == (4, 7)
    assert stored(db) == want
    # Tiers stayed where they were: every transition is to the same tier.
    assert all(old == new for old, new in result.transitions)
    lines = [json.loads(line) for line in report.read_text().splitlines()]
    assert [entry["key"] for entry in lines] == stale_action
    for entry in lines:
        tier, action, retention = want[entry["key"]]
        assert entry == {"key": entry["key"], "old_tier": tier, "new_tier": tier,
                         "old_action": SAME_TIER[action], "new_action": action,
                         "retention": retention}
    again = retier(db.url, "memories")
    assert (again.changed, again.written) == (0, 0)


def test_the_summary_lists_most_first_then_by_name(db):
    from summary_text import TIED_RECORDS, TIED_SUMMARY, assert_most_first_then_by_name

    db.create("memories", [(f"m{i}", *record) for i, record in enumerate(TIED_RECORDS)])
    done = _cli("retier", db.url, "--table", "memories")
    assert done.returncode == 0, done.stderr
    assert assert_most_first_then_by_name(done.stderr) == TIED_SUMMARY


def test_a_report_that_cannot_be_written_is_named_as_given(sqlite_db, tmp_path):
    db = sqlite_db
    db.create("memories", random_rows(20))
    target = tmp_path / "nodir" / "r.jsonl"
    usage = _cli("retier", db.url, "--table", "memories", "--report", target)
    assert usage.returncode == 2
    assert usage.stderr.endswith(f"error: cannot write {target}: No such file or directory\n")
    with pytest.raises(FileNotFoundError) as caught:
        retier(db.url, "memories", report=target)
    assert str(caught.value) == f"cannot write {target}: No such file or directory"
    assert stored(db) == {row[0]: (None, None, None) for row in random_rows(20)}
