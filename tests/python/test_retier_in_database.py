"""retier --in-database: the run computed by the PostgreSQL server with the
extension quillmarrow, against the client-side run on identical copies of a
table: the same decisions, counts, reports and bad rows, the same
compare-and-set beside an application, and clear refusals where it cannot
run.

The extension must be installed in the server the tests start
(scripts/test.sh does it); without it these tests skip saying why, unless
QM_REQUIRE_POSTGRES is set.
"""

import io
import json
import os
import subprocess
import sys
import threading
import time
import uuid
from datetime import datetime, timezone

import pytest

np = pytest.importorskip("numpy", reason="re-tiering needs numpy")
from quillmarrow_engine import RetierError, retier  # noqa: E402

from retier_tables import DAY, NOW, Database, random_rows, run_cli  # noqa: E402

REQUIRE = bool(os.environ.get("QM_REQUIRE_POSTGRES"))


@pytest.fixture(scope="module")
def extension_url(postgres_url):
    """A database of its own whose extension lives in a schema off the search path."""
    import psycopg

    with psycopg.connect(postgres_url, autocommit=True) as conn:
        if conn.execute("SELECT 1 FROM pg_available_extensions WHERE name = 'quillmarrow'").fetchone() is None:
            why = "the server has no extension quillmarrow: scripts/install_postgres_extension.sh"
            pytest.fail(f"QM_REQUIRE_POSTGRES is set, but {why}") if REQUIRE else pytest.skip(why)
        conn.execute("DROP DATABASE IF EXISTS qm_retier_in_database")
        conn.execute("CREATE DATABASE qm_retier_in_database")
    url = postgres_url.replace("/postgres?", "/qm_retier_in_database?")
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute("CREATE SCHEMA engine")
        conn.execute("CREATE EXTENSION quillmarrow SCHEMA engine")
    return url


@pytest.fixture
def pg(request, extension_url):
    import psycopg

    schema = f"t_{abs(hash(request.node.nodeid)):x}"
    with psycopg.connect(extension_url, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    url = f"{extension_url}&options=-csearch_path%3D{schema}"
    database = Database("postgres", url, lambda: psycopg.connect(url))
    yield database
    database.close()


def at(seconds):
    return datetime.fromtimestamp(seconds, timezone.utc)


# (key, recall times: None for a day count or the column's type, flags' type or None, retention stored)
LAYOUTS = [
    ("uuid", "timestamptz", "boolean", False),
    ("bigint", "timestamp", "integer", True),
    ("text", None, "boolean", False),
    ("integer", "date", None, False),
    ("bigint", "bigint", "smallint", True),  # Unix milliseconds
    ("text", "double precision", "boolean", False),  # Unix seconds
]


def make_copies(db, layout, rows, now):
    """Two identical tables, a and b, holding rows in the layout."""
    key, times, flags, _ = layout
    time_column = "days_since_recall double precision" if times is None else f"recalled {times}"
    flag_columns = f", is_procedural {flags}, keep_forever {flags}" if flags else ""
    for table in ("a", "b"):
        db.execute(f"CREATE TABLE {table} (id {key} PRIMARY KEY, {time_column}, retrieval_count integer,"
                   f" importance double precision, frequency real{flag_columns}, tier text, action text,"
                   " retention double precision)")
    values = []
    for i, r in enumerate(rows):
        k = {"uuid": uuid.UUID(int=i * 7_919 + 1), "text": f"mem {i:05d}"}.get(key, i * 7_919 + 1)
        seconds = now - max(r[1], 0) * DAY - i % 7 * 0.000_013
        recalled = {None: r[1], "timestamptz": at(seconds), "timestamp": at(seconds).replace(tzinfo=None),
                    "date": at(seconds).date(), "bigint": round(seconds * 1000),
                    "double precision": seconds}[times]
        flag_values = () if not flags else (r[5], r[6]) if flags == "boolean" else (int(r[5]), int(r[6]))
        values.append((k, recalled, *r[2:5], *flag_values))
    marks = ", ".join(["%s"] * len(values[0]))
    names = "id, " + ("days_since_recall" if times is None else "recalled") + \
        ", retrieval_count, importance, frequency" + (", is_procedural, keep_forever" if flags else "")
    for table in ("a", "b"):
        db.conn.cursor().executemany(f"INSERT INTO {table} ({names}) VALUES ({marks})", values)
    db.conn.commit()


def options_for(layout, now, **more):
    key, times, _, retention = layout
    options = {"batch_size": 97, **more}
    if times is not None:
        options.update(recalled_at="recalled", now=now, time_unit="ms" if times == "bigint" else None)
    if retention:
        options["retention_column"] = "retention"
    return options


def both(db, tmp_path, layout, name, **options):
    """The client-side run on a and the run in the database on b, each with a report."""
    results = []
    for table, in_database in (("a", False), ("b", True)):
        report = tmp_path / f"{name}-{table}.jsonl"
        results.append(retier(db.url, table, report=report, in_database=in_database, **options))
    return results


def same_run(db, tmp_path, client, server, name):
    fields = ("rows", "changed", "written", "skipped_locked", "skipped_changed", "retried", "bad_rows",
              "tiers", "actions", "transitions", "now")
    assert {f: getattr(server, f) for f in fields} == {f: getattr(client, f) for f in fields}
    assert (tmp_path / f"{name}-b.jsonl").read_text() == (tmp_path / f"{name}-a.jsonl").read_text()
    assert db.query("SELECT id, tier, action, retention FROM b ORDER BY id") == \
        db.query("SELECT id, tier, action, retention FROM a ORDER BY id")


@pytest.mark.parametrize("layout", LAYOUTS, ids=["-".join(map(str, layout)) for layout in LAYOUTS])
def test_the_same_decisions_counts_and_report_as_the_client_side_run(pg, tmp_path, layout):
    db = pg
    rows = random_rows(1_000)
    make_copies(db, layout, rows, NOW)
    db.execute("UPDATE a SET tier = 'legacy' WHERE retrieval_count = 3")
    db.execute("UPDATE b SET tier = 'legacy' WHERE retrieval_count = 3")
    client, server = both(db, tmp_path, layout, "fill", **options_for(layout, NOW))
    assert client.written == len(rows)
    same_run(db, tmp_path, client, server, "fill")
    # The next day, and a week later: only the decisions that move are written.
    for day, later in ((1, NOW + DAY), (7, NOW + 7 * DAY)):
        if layout[1] is None:
            for table in ("a", "b"):
                db.execute(f"UPDATE {table} SET days_since_recall = days_since_recall + {day}")
        client, server = both(db, tmp_path, layout, f"day{day}", **options_for(layout, later))
        assert 0 < client.written < len(rows)
        same_run(db, tmp_path, client, server, f"day{day}")


@pytest.mark.parametrize("atomic, dry_run", [(False, True), (True, False)], ids=["dry", "atomic"])
def test_dry_and_atomic_runs(pg, tmp_path, atomic, dry_run):
    db = pg
    layout = LAYOUTS[0]
    make_copies(db, layout, random_rows(500), NOW)
    client, server = both(db, tmp_path, layout, "run", atomic=atomic, dry_run=dry_run,
                          **options_for(layout, NOW))
    same_run(db, tmp_path, client, server, "run")
    assert server.changed == 500 and server.written == (0 if dry_run else 500)
    assert db.query("SELECT count(*) FROM b WHERE tier IS NULL") == [(500 if dry_run else 0,)]


# (column, SQL value, message): a bad row, set on the row 'mem 00250' of each copy
BAD = [
    ("importance", "NULL", "column 'importance' is NULL, not a number"),
    ("frequency", "'NaN'", "column 'frequency' is NaN, not a finite number"),
    ("keep_forever", "2", "column 'keep_forever' is 2, not a boolean, 0 or 1"),
    ("recalled", "1750000000 + 30 * 86400.0", "column 'recalled' is 2025-07-15T15:06:40Z, 30 days after now"),
    ("recalled", "'Infinity'", "column 'recalled' is inf, not a finite number"),
]


@pytest.mark.parametrize("column, value, message", BAD, ids=[b[0] + "-" + b[1] for b in BAD])
@pytest.mark.parametrize("atomic", [False, True], ids=["online", "atomic"])
def test_a_bad_row_is_named_and_set_aside_as_the_client_side_run_does(pg, tmp_path, column, value,
                                                                       message, atomic):
    db = pg
    layout = ("text", "double precision", "smallint", False)
    make_copies(db, layout, random_rows(400), NOW)
    for table in ("a", "b"):
        db.execute(f"UPDATE {table} SET {column} = {value} WHERE id = 'mem 00250'")
    options = options_for(layout, NOW, atomic=atomic)
    failures = []
    for table, in_database in (("a", False), ("b", True)):
        with pytest.raises(RetierError) as caught:
            retier(db.url, table, in_database=in_database, **options)
        failures.append(caught.value)
    assert str(failures[1]).startswith(f"row id=mem 00250: {message}")
    assert str(failures[1]) == str(failures[0])
    done = [getattr(f.result, "rows", None) for f in failures]
    # The two batches of 97 before the bad row's are written (in the
    # database, the batch run beside the bad row's may be written too, and
    # is then counted).
    assert done[0] == (None if atomic else 194) and done[1] in ((None,) if atomic else (194, 291))
    before = "SELECT id, tier FROM {} WHERE id < 'mem 00291' ORDER BY id"
    assert db.query(before.format("b")) == db.query(before.format("a"))
    written = db.query("SELECT count(*) FROM b WHERE tier IS NOT NULL")[0][0]
    assert written == (0 if atomic else done[1])
    for table in ("a", "b"):  # both from the same start again
        db.execute(f"UPDATE {table} SET tier = NULL, action = NULL")
    client, server = both(db, tmp_path, layout, "aside", errors=io.StringIO(), **options)
    same_run(db, tmp_path, client, server, "aside")
    assert server.bad_rows == 1 and server.rows == 399


def test_a_held_row_and_a_recall_committed_while_waited_for(pg, tmp_path):
    """Held rows are skipped, tried again at the end and waited for; a row
    whose inputs change while it is waited for is not overwritten with a
    decision from the values before. The client-side run does the same."""
    import psycopg

    db = pg
    layout = ("bigint", "timestamptz", "boolean", False)
    rows = random_rows(600)
    make_copies(db, layout, rows, NOW)
    for table in ("a", "b"):
        retier(db.url, table, **options_for(layout, NOW))
    later = NOW + 60 * DAY
    old = dict(db.query("SELECT id, tier FROM a"))
    # A hot row that moves with age, and moves back when recalled.
    key = next(k for k, tier in sorted(old.items()) if tier == "hot" and k > 300 * 7_919)
    for table, in_database in (("a", False), ("b", True)):
        holder = psycopg.connect(db.url)
        holder.execute(f"UPDATE {table} SET recalled = %s, retrieval_count = retrieval_count + 1"
                       " WHERE id = %s", (at(later), key))
        commit = threading.Timer(3.0, holder.commit)  # once the run waits for it, at the end
        commit.start()
        result = retier(db.url, table, in_database=in_database, lock_timeout=10.0,
                        report=tmp_path / f"held-{table}.jsonl", **options_for(layout, later))
        commit.join()
        holder.close()
        assert (result.retried, result.skipped_changed, result.skipped_locked) == (1, 1, 0)
        # The recall stands, with the decision the next run makes of it.
        assert db.query(f"SELECT tier FROM {table} WHERE id = %s", (key,)) == [("hot",)]
        entry = [json.loads(line) for line in (tmp_path / f"held-{table}.jsonl").read_text().splitlines()
                 if json.loads(line)["key"] == key]
        assert [e.get("skipped") for e in entry] == ["changed"]
    assert db.query("SELECT id, tier, action FROM b ORDER BY id") == \
        db.query("SELECT id, tier, action FROM a ORDER BY id")
    # Held beyond the lock timeout: skipped and counted, written by the next run.
    for table, in_database in (("a", False), ("b", True)):
        with psycopg.connect(db.url) as holder:
            holder.execute(f"UPDATE {table} SET importance = importance WHERE id = %s", (key,))
            start = time.monotonic()
            result = retier(db.url, table, in_database=in_database, lock_timeout=0.5,
                            **options_for(layout, later + 200 * DAY))
            assert time.monotonic() - start < 10
            assert (result.skipped_locked, result.retried) == (1, 1)
            holder.rollback()
    assert db.query("SELECT id, tier, action FROM b ORDER BY id") == \
        db.query("SELECT id, tier, action FROM a ORDER BY id")


def test_the_server_decides_alone(pg, tmp_path):
    """The command computes in the server: NumPy is never imported, and the
    summary is the client-side run's."""
    db = pg
    layout = LAYOUTS[0]
    make_copies(db, layout, random_rows(300), NOW)
    code = ("import sys; from quillmarrow_engine.cli import main; status = main(sys.argv[1:]);"
            " print('numpy' in sys.modules); sys.exit(status)")
    env = dict(os.environ)
    if os.environ.get("QM_MODULE_DIR"):
        env["PYTHONPATH"] = os.path.abspath(os.environ["QM_MODULE_DIR"])
    args = ["retier", db.url, "--table", "b", "--recalled-at", "recalled", "--now", str(NOW)]
    done = subprocess.run([sys.executable, "-c", code, *args, "--in-database"], capture_output=True,
                          text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "False\n"
    client = run_cli(*[a if a != "b" else "a" for a in args])
    assert client.returncode == 0
    assert done.stderr.splitlines()[1:] == client.stderr.splitlines()[1:]  # all but the timing line


def test_without_the_extension_it_says_how_to_install_it(postgres_url, pg, monkeypatch):
    from quillmarrow_engine.stores import pg_in_database

    db = pg
    make_copies(db, LAYOUTS[0], random_rows(10), NOW)
    # The session's database has the extension installed on the server but not created.
    plain = Database("postgres", postgres_url, lambda: __import__("psycopg").connect(postgres_url))
    plain.execute("DROP TABLE IF EXISTS in_database_probe")
    plain.execute("CREATE TABLE in_database_probe (id int PRIMARY KEY, days_since_recall float8,"
                  " retrieval_count int, importance float8, frequency float8, tier text, action text)")
    with pytest.raises(RetierError, match=r"^--in-database needs the PostgreSQL extension 'quillmarrow': it is"
                       r" installed on the server but not created in this database: run CREATE EXTENSION"
                       r" quillmarrow; in it"):
        retier(postgres_url, "in_database_probe", in_database=True)
    plain.execute("DROP TABLE in_database_probe")
    plain.close()
    monkeypatch.setattr(pg_in_database, "EXTENSION", "quillmarrow_elsewhere")
    with pytest.raises(RetierError) as caught:
        retier(db.url, "a", in_database=True, recalled_at="recalled", now=NOW)
    done = str(caught.value)
    assert "it is not installed on the server: on the server's machine run" \
           " scripts/install_postgres_extension.sh" in done and done.endswith("or run without --in-database")
    assert db.query("SELECT count(*) FROM a WHERE tier IS NOT NULL") == [(0,)]


@pytest.fixture
def sqlite_path(tmp_path):
    import sqlite3

    path = tmp_path / "store.db"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE memories (id INTEGER PRIMARY KEY, days_since_recall, retrieval_count,"
                     " importance, frequency, tier, action)")
    return path


@pytest.mark.parametrize("setup, message", [
    ("ALTER TABLE a ALTER COLUMN recalled TYPE text USING recalled::text",
     "--in-database reads recall times in a timestamp, date or number column; column 'recalled' is text:"
     " change its type, or run without --in-database"),
    ("ALTER TABLE a ALTER COLUMN importance TYPE text",
     "--in-database reads numbers; column 'importance' is text: change its type, or run without"
     " --in-database"),
])
def test_columns_the_server_cannot_read_are_refused_before_any_work(pg, setup, message):
    db = pg
    make_copies(db, LAYOUTS[0], random_rows(10), NOW)
    db.execute(setup)
    db.execute("ALTER TABLE a DROP COLUMN tier, DROP COLUMN action")
    columns = db.query("SELECT column_name FROM information_schema.columns WHERE table_name = 'a'"
                " AND table_schema = current_schema()")
    with pytest.raises(RetierError) as caught:
        retier(db.url, "a", in_database=True, recalled_at="recalled", now=NOW, add_columns=True)
    assert str(caught.value) == message and caught.value.result is None
    # The result columns it was asked to add are not left behind.
    assert db.query("SELECT column_name FROM information_schema.columns WHERE table_name = 'a'"
                " AND table_schema = current_schema()") == columns


def test_sqlite_is_refused(sqlite_path):
    with pytest.raises(RetierError, match="^--in-database computes the run in a PostgreSQL server with the"
                       " extension quillmarrow; on SQLite run without --in-database$"):
        retier(sqlite_path, "memories", in_database=True)
    done = run_cli("retier", sqlite_path, "--table", "memories", "--in-database")
    assert done.returncode == 1 and "on SQLite run without --in-database" in done.stderr


def test_now_is_taken_to_the_microsecond(pg, tmp_path):
    """The server's times are whole microseconds: given a finer now, the run
    in the database decides as the client-side run given it rounded."""
    db = pg
    layout = ("bigint", "double precision", None, True)
    make_copies(db, layout, random_rows(200), NOW)
    options = options_for(layout, NOW + 0.123_456_789)
    server = retier(db.url, "b", in_database=True, report=tmp_path / "micro-b.jsonl", **options)
    client = retier(db.url, "a", report=tmp_path / "micro-a.jsonl", **{**options, "now": NOW + 0.123_457})
    assert server.now == NOW + 0.123_457
    same_run(db, tmp_path, client, server, "micro")


@pytest.mark.parametrize("target", ["url", "connection"])
def test_batches_run_side_by_side_on_connections_of_their_own(pg, tmp_path, target):
    """Given a URL, an online run computes two batches at once on two more
    connections, and counts them in key order; given the caller's
    connection, it runs them in turn on it. Either way, as the client-side run."""
    import psycopg

    db = pg
    layout = LAYOUTS[1]
    make_copies(db, layout, random_rows(1_000), NOW)
    names = set()

    def look(done, total):
        with psycopg.connect(db.url, autocommit=True) as other:
            names.update(name for (name,) in other.execute(
                "SELECT application_name FROM pg_stat_activity WHERE backend_type = 'client backend'"))

    client = retier(db.url, "a", report=tmp_path / "turns-a.jsonl", **options_for(layout, NOW))
    with psycopg.connect(db.url, autocommit=True) as conn:
        server = retier(db.url if target == "url" else conn, "b", in_database=True, progress=look,
                        report=tmp_path / "turns-b.jsonl", **options_for(layout, NOW))
    same_run(db, tmp_path, client, server, "turns")
    ours = {name for name in names if name.startswith("quillmarrow")}
    assert ours == ({"quillmarrow-engine retier", "quillmarrow-engine retier worker 1",
                     "quillmarrow-engine retier worker 2"} if target == "url" else set())


def test_an_interrupted_run_leaves_whole_batches_and_a_rerun_finishes(pg, tmp_path):
    db = pg
    layout = LAYOUTS[0]
    make_copies(db, layout, random_rows(1_000), NOW)

    def interrupt(done, total):
        if done >= 300:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        retier(db.url, "b", in_database=True, progress=interrupt, **options_for(layout, NOW, batch_size=100))
    # Whole batches in key order: those counted, and at most the one run beside the last.
    tiers = [tier for (tier,) in db.query("SELECT tier FROM b ORDER BY id")]
    written = sum(tier is not None for tier in tiers)
    assert written in (300, 400) and all(tiers[:written]) and not any(tiers[written:])
    client, server = both(db, tmp_path, layout, "rerun", **options_for(layout, NOW))
    assert server.written == 1_000 - written and client.written == 1_000
    assert db.query("SELECT id, tier, action FROM b ORDER BY id") == \
        db.query("SELECT id, tier, action FROM a ORDER BY id")


def test_names_that_need_quoting_and_mapped_columns(pg, tmp_path):
    db = pg
    rows = random_rows(300)
    for table in ('my "memories"; a', 'my "memories"; b'):
        quoted = '"' + table.replace('"', '""') + '"'
        db.execute(f'CREATE TABLE {quoted} ("memory id" text PRIMARY KEY, "last seen" timestamptz,'
                   ' "uses" bigint, "weight" numeric, "freq" double precision, "pinned" boolean,'
                   ' "t" text, "a" text, "r" double precision)')
        db.conn.cursor().executemany(
            f"INSERT INTO {quoted} VALUES (%s, %s, %s, %s, %s, %s)",
            [(r[0], at(NOW - max(r[1], 0) * DAY), r[2], r[3], r[4], r[6]) for r in rows])
        db.conn.commit()
    options = {"key": "memory id", "recalled_at": "last seen", "now": NOW, "retention_column": "r",
               "columns": {"retrieval_count": "uses", "importance": "weight", "frequency": "freq",
                           "keep_forever": "pinned", "tier": "t", "action": "a"}}
    client = retier(db.url, 'my "memories"; a', report=tmp_path / "q-a.jsonl", **options)
    server = retier(db.url, 'my "memories"; b', in_database=True, report=tmp_path / "q-b.jsonl", **options)
    assert server.written == client.written == len(rows)
    assert (tmp_path / "q-b.jsonl").read_text() == (tmp_path / "q-a.jsonl").read_text()
    assert db.query('SELECT "memory id", t, a, r FROM "my ""memories""; b" ORDER BY 1') == \
        db.query('SELECT "memory id", t, a, r FROM "my ""memories""; a" ORDER BY 1')
