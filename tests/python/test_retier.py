"""Re-tiering a table in place, on SQLite and on a real PostgreSQL server.

Every test runs on both databases. The PostgreSQL server is a throwaway one
started for the session (postgres_server.py); without binaries or psycopg the
PostgreSQL cases skip saying why, unless QM_REQUIRE_POSTGRES is set (CI),
where they fail instead.
"""

import json
from datetime import datetime, timezone

import pytest

np = pytest.importorskip("numpy", reason="re-tiering needs numpy")
import quillmarrow_engine  # noqa: E402
from quillmarrow_engine import RetierError, retier  # noqa: E402

from retier_tables import DAY, NOW, decided, expected, random_rows, run_cli, stored  # noqa: E402
from retier_tables import db, postgres_db, sqlite_db  # noqa: E402, F401  (fixtures)


def test_every_row_gets_what_tier_arrays_gives(db):
    rows = random_rows(2_500)
    db.create("memories", rows)
    result = retier(db.url, "memories", batch_size=300)
    assert stored(db) == decided(rows)
    assert {r[0] for r in db.query("SELECT retention FROM memories")} == {None}  # not stored
    assert (result.rows, result.changed, result.written) == (len(rows), len(rows), len(rows))
    assert (result.skipped_locked, result.skipped_changed, result.retried, result.bad_rows) == (0,) * 4
    assert sum(result.tiers.values()) == len(rows)
    assert result.transitions == {
        ("(none)", t): n for t, n in result.tiers.items()
    }
    # A second run at the same data changes and writes nothing.
    again = retier(db.url, "memories", batch_size=1_000)
    assert (again.changed, again.written) == (0, 0)
    assert stored(db) == decided(rows)


@pytest.mark.parametrize("atomic", [False, True], ids=["online", "atomic"])
def test_retention_is_stored_only_in_the_column_named_for_it(db, atomic):
    rows = random_rows(1_200)
    db.create("memories", rows)
    result = retier(db.url, "memories", batch_size=250, retention_column="retention", atomic=atomic)
    assert stored(db, retention=True) == expected(rows)
    assert result.written == len(rows) and result.retention_stored
    # Time passes: every retention moves, so every row not at 0 or pinned is written again.
    db.execute("UPDATE memories SET days_since_recall = days_since_recall + 1")
    later = retier(db.url, "memories", batch_size=250, retention_column="retention", atomic=atomic)
    moved = expected([(r[0], r[1] + 1, *r[2:]) for r in rows])
    assert stored(db, retention=True) == moved
    differs = sum(moved[k] != v for k, v in expected(rows).items())
    assert later.written == differs > 2 * later.changed
    # Without the option the run neither reads nor writes it.
    db.execute("UPDATE memories SET retention = -1")
    assert retier(db.url, "memories").written == 0
    assert {r[0] for r in db.query("SELECT retention FROM memories")} == {-1}


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
    want = expected([(r[0], r[1] + 40 * (r[0] < "m00400"), *r[2:]) for r in rows])
    for line in dry_lines:
        entry = json.loads(line)
        assert set(entry) == {"key", "old_tier", "new_tier", "old_action", "new_action", "retention"}
        key = entry["key"]
        assert (entry["old_tier"], entry["old_action"]) == (old[key][6], old[key][7])
        assert (entry["new_tier"], entry["new_action"]) == now[key]
        assert (*now[key], entry["retention"]) == want[key]
        assert (entry["old_tier"], entry["old_action"]) != (entry["new_tier"], entry["new_action"])


def test_a_dry_run_can_preview_columns_it_would_add(db):
    rows = random_rows(50)
    db.create("memories", rows, results=False)
    before = db.snapshot("memories")
    result = retier(db.url, "memories", dry_run=True, add_columns=True)
    assert result.changed == 50 and db.snapshot("memories") == before
    with pytest.raises(RetierError, match=r"no column 'tier', 'action' for the results"):
        retier(db.url, "memories")
    retier(db.url, "memories", add_columns=True)
    assert [c for c in db.query("SELECT * FROM memories")[0][7:]] == list(decided(rows)["m00000"])
    with pytest.raises(RetierError, match=r"no column 'r' for the results"):
        retier(db.url, "memories", retention_column="r")
    retier(db.url, "memories", add_columns=True, retention_column="r")
    assert {r[0]: r[1:] for r in db.query("SELECT id, tier, action, r FROM memories")} == expected(rows)


BAD_VALUES = [
    # (column, SQL value, message), each set on the row 'm00250' (the third batch)
    ("importance", "NULL", "row id=m00250: column 'importance' is NULL, not a number"),
    ("retrieval_count", "NULL", "row id=m00250: column 'retrieval_count' is NULL"),
    ("days_since_recall", "'Infinity'::float8", "row id=m00250: column 'days_since_recall' is inf"),
    ("frequency", "'NaN'::float8", "row id=m00250: column 'frequency' is NaN"),
    ("is_procedural", "NULL", "row id=m00250: column 'is_procedural' is NULL, not a boolean, 0 or 1"),
    ("keep_forever", "2", "row id=m00250: column 'keep_forever' is 2, not a boolean, 0 or 1"),
    ("is_procedural", "-1", "row id=m00250: column 'is_procedural' is -1, not a boolean, 0 or 1"),
    ("importance", "'high'", "row id=m00250: column 'importance' is the text 'high', not a number"),
]


def changed_keys(before, after):
    """The keys of the rows that differ between two snapshots."""
    old = {r[0]: r for r in before}
    return sorted(r[0] for r in after if old[r[0]] != r)


@pytest.mark.parametrize("column, value, message", BAD_VALUES)
def test_a_bad_row_stops_the_run_named(db, tmp_path, column, value, message):
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
    # Atomic: nothing is written, and no report.
    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories", batch_size=100, report=report, atomic=True)
    assert str(caught.value).startswith(message) and caught.value.result is None
    assert db.snapshot("memories") == before
    assert not report.exists() and list(tmp_path.glob("*.jsonl*")) == []
    # Online: the two batches before the bad row's stay written, and the report tells them.
    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories", batch_size=100, report=report)
    assert str(caught.value).startswith(message)
    done = caught.value.result
    assert (done.rows, done.total, done.stopped) == (200, 400, str(caught.value))
    changed = changed_keys(before, db.snapshot("memories"))
    assert 0 < len(changed) == done.changed == done.written and changed[-1] < "m00200"
    assert [json.loads(line)["key"] for line in report.read_text().splitlines()] == changed


def test_bad_rows_set_aside_and_a_rerun_finishes_the_job(db, tmp_path):
    rows = random_rows(500)
    db.create("memories", rows, int_flags=True)
    clean = decided(rows)
    bad = {"m00003": ("importance", "NULL", "column 'importance' is NULL, not a number"),
           "m00260": ("keep_forever", "7", "column 'keep_forever' is 7, not a boolean, 0 or 1"),
           "m00499": ("frequency", "NULL", "column 'frequency' is NULL, not a number")}
    for key, (column, value, _) in bad.items():
        db.execute(f"UPDATE memories SET {column} = {value} WHERE id = ?", (key,))
    errors = tmp_path / "errors.jsonl"
    result = retier(db.url, "memories", batch_size=128, errors=errors)
    assert errors.read_text().splitlines() == [
        json.dumps({"column": column, "key": key, "message": message}, separators=(",", ":"))
        for key, (column, _, message) in bad.items()]
    assert (result.rows, result.bad_rows, result.written) == (497, 3, 497)
    assert stored(db) == {k: (None, None) if k in bad else v for k, v in clean.items()}
    # Mended, the rows are done by the next run, and only they are written.
    for key in bad:
        row = next(r for r in rows if r[0] == key)
        db.execute("UPDATE memories SET importance = ?, frequency = ?, keep_forever = ? WHERE id = ?",
                   (row[3], row[4], int(row[6]), key))
    again = retier(db.url, "memories", errors=errors)
    assert (again.written, again.bad_rows, errors.read_text()) == (3, 0, "")
    assert stored(db) == clean
    # From the command line: exit status 3, the summary counts them.
    db.execute("UPDATE memories SET importance = NULL WHERE id = 'm00003'")
    done = run_cli("retier", db.url, "--table", "memories", "--errors", errors)
    assert done.returncode == 3, done.stderr
    assert "set aside 1 row (bad)" in done.stderr
    assert json.loads(errors.read_text())["key"] == "m00003"


@pytest.mark.parametrize("atomic", [False, True], ids=["online", "atomic"])
def test_ctrl_c_in_the_middle(db, atomic):
    rows = random_rows(1_000)
    db.create("memories", rows)
    retier(db.url, "memories")
    db.execute("UPDATE memories SET days_since_recall = days_since_recall + 100")
    before = db.snapshot("memories")
    seen = []

    def interrupt(done, total):
        seen.append(done)
        if done >= 600:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        retier(db.url, "memories", batch_size=200, progress=interrupt, atomic=atomic)
    assert seen[-1] == 600
    changed = changed_keys(before, db.snapshot("memories"))
    if atomic:
        assert changed == []
    else:  # the three batches written stay; nothing after them
        assert changed and changed[-1] < "m00600"
        assert stored(db) == {k: decided(rows, [r[1] + 100 for r in rows])[k] if k < "m00600"
                              else v for k, v in decided(rows).items()}


@pytest.mark.parametrize("atomic", [False, True], ids=["online", "atomic"])
def test_a_lost_connection(postgres_db, atomic):
    db = postgres_db
    import psycopg

    rows = random_rows(1_000)
    db.create("memories", rows)
    before = db.snapshot("memories")

    def kill_the_run(done, total):
        if done >= 400:
            with psycopg.connect(db.url, autocommit=True) as other:
                other.execute(
                    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                    " WHERE application_name = 'quillmarrow-engine retier'")

    with pytest.raises(RetierError, match="^PostgreSQL: "):
        retier(db.url, "memories", batch_size=200, progress=kill_the_run, atomic=atomic)
    if atomic:
        assert db.snapshot("memories") == before
    else:  # two whole batches written, not a row more
        assert stored(db) == {k: v if k < "m00400" else (None, None) for k, v in decided(rows).items()}
    retier(db.url, "memories")
    assert stored(db) == decided(rows)


def test_atomic_readers_see_the_old_tiers_until_the_commit(db):
    """One transaction: a second connection sees no new tier before the run ends."""
    rows = random_rows(600)
    db.create("memories", rows)
    seen = []

    def look(done, total):
        if 0 < done < total:
            seen.append(db.query("SELECT count(*) FROM memories WHERE tier IS NOT NULL")[0][0])

    if db.kind == "sqlite":
        db.conn.execute("PRAGMA journal_mode = WAL")  # readers beside a writer
    retier(db.url, "memories", batch_size=100, progress=look, atomic=True)
    assert seen and set(seen) == {0}
    assert stored(db) == decided(rows)
    # Online, each batch is there for readers as soon as it is written.
    db.execute("UPDATE memories SET tier = NULL")
    seen.clear()
    retier(db.url, "memories", batch_size=100, progress=look)
    assert seen == [100, 200, 300, 400, 500]


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
        retier(db.url, "memories", recalled_at="recalled", now=now, retention_column="retention")
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
    result = retier(db.url, "memories", recalled_at="recalled", batch_size=64,
                    retention_column="retention")
    assert start <= result.now <= time.time()
    retentions = {r[0] for r in db.query("SELECT retention FROM memories")}
    want = quillmarrow_engine.tier_arrays([(result.now - (start - 10 * DAY)) / DAY], [3], [0.5], [0.5])
    assert retentions == {want.retention[0]}


def test_bad_times_are_named(sqlite_db):
    db = sqlite_db
    db.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, recalled, retrieval_count,"
               " importance, frequency, tier, action, retention)")
    for value, message in [
        ("yesterday", "row id=a: column 'recalled' is the text 'yesterday', not a time"),
        (None, "row id=a: column 'recalled' is NULL, not a time"),
    ]:
        db.execute("DELETE FROM memories")
        db.execute("INSERT INTO memories VALUES ('a', ?, 1, 1, 1, NULL, NULL, NULL)", (value,))
        with pytest.raises(RetierError, match="^" + message):
            retier(db.url, "memories", recalled_at="recalled", now=NOW)
    with pytest.raises(RetierError, match=r"^now is not a time: 'soon' \(ISO-8601"):
        retier(db.url, "memories", recalled_at="recalled", now="soon")


def test_mapped_columns_and_names_that_need_quoting(db):
    t = db.types()
    table = 'my "memories"; DROP TABLE keep'
    db.execute(f"CREATE TABLE keep (x {t['count']})")
    db.execute(
        f'CREATE TABLE "my ""memories""; DROP TABLE keep" ("memory id" {t["text"]} PRIMARY KEY, "age days" {t["number"]},'
        f' "uses" {t["count"]}, "weight" {t["number"]}, "freq" {t["number"]}, "pinned" {t["flag"]},'
        f' "t" {t["text"]}, "a" {t["text"]}, "r" {t["number"]})')
    rows = random_rows(40)
    db.conn.cursor().executemany(
        db.sql(f'INSERT INTO "my ""memories""; DROP TABLE keep" VALUES (?, ?, ?, ?, ?, ?, NULL, NULL, NULL)'),
        [(r[0], r[1], r[2], r[3], r[4], db._flags((r[6],))[0]) for r in rows])
    db.conn.commit()
    columns = {"days_since_recall": "age days", "retrieval_count": "uses", "importance": "weight",
               "frequency": "freq", "keep_forever": "pinned", "tier": "t", "action": "a"}
    retier(db.url, table, key="memory id", columns=columns, retention_column="r")
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
    dry = run_cli("retier", db.url, "--table", "memories", "--dry-run", "--report", report)
    assert dry.returncode == 0, dry.stderr
    assert "tiered 300 items in" in dry.stderr and "dry run: nothing written" in dry.stderr
    assert "old tier" in dry.stderr and "(none)" in dry.stderr
    assert "tier or action would change: 300 of 300 rows" in dry.stderr
    assert len(report.read_text().splitlines()) == 300
    assert {r[1] for r in db.query("SELECT id, tier FROM memories")} == {None}
    done = run_cli("retier", db.url, "--table", "memories", "-q")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert stored(db) == decided(rows)
    failed = run_cli("retier", db.url, "--table", "memories", "--key", "nope")
    assert failed.returncode == 1
    assert failed.stderr == ("quillmarrow-engine: table 'memories' has no column 'nope' "
                             "(the key that names each row; choose another with --key)\n")
    usage = run_cli("retier", db.url, "--table", "memories", "--column", "colour=c")
    assert usage.returncode == 2 and "unknown field 'colour'" in usage.stderr


def test_foreign_old_names_are_reported_and_replaced(db, tmp_path):
    rows = random_rows(30)
    db.create("memories", rows)
    db.execute("UPDATE memories SET tier = 'legacy', action = NULL WHERE id < 'm00010'")
    result = retier(db.url, "memories", report=tmp_path / "r.jsonl")
    assert stored(db) == decided(rows)
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
    assert stored(db) == decided(rows)
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
    with pytest.raises(RetierError, match="^column 'id' of table 'memories' is not unique"):
        retier(db.url, "memories", batch_size=128)
    # A partitioned table's unique index holds its partition key: here the key itself.
    db.execute("ALTER TABLE memories ADD PRIMARY KEY (id)")
    result = retier(db.url, "memories", batch_size=128)
    assert stored(db) == decided(rows) and result.written == len(rows)


# Two pairs of actions share a tier, so a stored action can be stale while
# the stored tier is right.
SAME_TIER = {"keep_forever_tag": "long_term_semantic", "long_term_semantic": "keep_forever_tag",
             "spaced_repetition": "maintain_warm", "maintain_warm": "spaced_repetition"}


def test_a_stale_action_alone_is_a_change_and_a_stale_retention_alone_is_not(db, tmp_path):
    rows = random_rows(2_000) + [("z-spaced", 8.0, 20, 0.5, 0.5, False, False),
                                 ("z-warm", 45.0, 1000, 0.0, 0.0, False, False)]
    db.create("memories", rows)
    retier(db.url, "memories", retention_column="retention")
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
    result = retier(db.url, "memories", report=report, retention_column="retention")
    assert (result.changed, result.written) == (4, 7)
    assert stored(db, retention=True) == want
    # Tiers stayed where they were: every transition is to the same tier.
    assert all(old == new for old, new in result.transitions)
    lines = [json.loads(line) for line in report.read_text().splitlines()]
    assert [entry["key"] for entry in lines] == stale_action
    for entry in lines:
        tier, action, retention = want[entry["key"]]
        assert entry == {"key": entry["key"], "old_tier": tier, "new_tier": tier,
                         "old_action": SAME_TIER[action], "new_action": action,
                         "retention": retention}
    again = retier(db.url, "memories", retention_column="retention")
    assert (again.changed, again.written) == (0, 0)


def test_the_summary_lists_most_first_then_by_name(db):
    from summary_text import TIED_RECORDS, TIED_SUMMARY, assert_most_first_then_by_name

    db.create("memories", [(f"m{i}", *record) for i, record in enumerate(TIED_RECORDS)])
    done = run_cli("retier", db.url, "--table", "memories")
    assert done.returncode == 0, done.stderr
    assert assert_most_first_then_by_name(done.stderr) == TIED_SUMMARY


def test_a_report_that_cannot_be_written_is_named_as_given(sqlite_db, tmp_path):
    db = sqlite_db
    db.create("memories", random_rows(20))
    target = tmp_path / "nodir" / "r.jsonl"
    usage = run_cli("retier", db.url, "--table", "memories", "--report", target)
    assert usage.returncode == 2
    assert usage.stderr.endswith(f"error: cannot write {target}: No such file or directory\n")
    with pytest.raises(FileNotFoundError) as caught:
        retier(db.url, "memories", report=target)
    assert str(caught.value) == f"cannot write {target}: No such file or directory"
    assert stored(db) == {row[0]: (None, None) for row in random_rows(20)}


@pytest.mark.parametrize("target", ["url", "connection", "connection-in-transaction"])
def test_a_url_reads_ahead_on_a_second_connection_and_an_open_one_is_used_as_it_is(postgres_db, target):
    """Given a URL, an online run reads the next batch on a second connection
    while it writes; the caller's own connection is the only one used, and
    inside the caller's transaction the run's work is the caller's to commit."""
    import psycopg

    db = postgres_db
    rows = random_rows(900)
    db.create("memories", rows)
    names = set()

    def look(done, total):
        with psycopg.connect(db.url, autocommit=True) as other:
            names.update(name for (name,) in other.execute(
                "SELECT application_name FROM pg_stat_activity WHERE backend_type = 'client backend'"))

    in_transaction = target == "connection-in-transaction"
    with psycopg.connect(db.url, autocommit=not in_transaction) as conn:
        if in_transaction:
            conn.execute("UPDATE memories SET importance = 0.5 WHERE id = 'm00000'")
        result = retier(db.url if target == "url" else conn, "memories", batch_size=100, progress=look)
        assert result.written == len(rows)
        if in_transaction:
            assert set(stored(db).values()) == {(None, None)}  # not committed yet
            conn.commit()
    ours = {name for name in names if name.startswith("quillmarrow")}
    assert ours == ({"quillmarrow-engine retier", "quillmarrow-engine retier read-ahead"}
                    if target == "url" else set())
    want = decided([(r[0], r[1], r[2], 0.5 if r[0] == "m00000" and in_transaction else r[3], *r[4:])
                    for r in rows])
    assert stored(db) == want
