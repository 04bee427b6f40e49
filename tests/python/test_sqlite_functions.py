"""The quillmarrow functions registered on a sqlite3 connection: answers,
JSON texts, NULLs, accepted and refused arguments with their messages, the
day count, the bits of 1,000,000 rows against the column functions, and the
README's queries."""

import json
import math
import sqlite3
import struct
import sys

import pytest

np = pytest.importorskip("numpy", reason="the comparisons with the column functions need NumPy")

import in_database_rows as rows_  # noqa: E402
from quillmarrow_engine import _bulk  # noqa: E402
from quillmarrow_engine import sqlite as qm_sqlite  # noqa: E402
from quillmarrow_engine.times import iso_seconds  # noqa: E402

NOW = 1_750_000_000.0  # 2025-06-15T15:06:40Z


@pytest.fixture
def db():
    conn = sqlite3.connect(":memory:")
    qm_sqlite.register(conn)
    yield conn
    conn.close()


def one(conn, sql, params=()):
    return conn.execute(sql, params).fetchone()


@pytest.mark.parametrize(
    "record",
    [[2, 3, 0.5, 0.2], [45, 1000, 0, 0], [8, 20, 0.5, 0.5], [200, 1, 0.9, 0.9, False, True],
     [10, 5, 0.2, 0.1, True], [400, 0, 1, 1], [-3, -2, -1, 2], [6.999999, 0.001, 0.25, 0.75, True, False]],
)
def test_texts_are_the_result_members_of_run(db, run, record):
    flags = [int(flag) for flag in record[4:]]
    placeholders = ", ".join("?" * len(record))
    tier = one(db, f"SELECT quillmarrow_tier({placeholders})", record[:4] + flags)[0]
    assert tier == run("tier", json.dumps(record))[len('{"ok":true,"result":'):-1]
    score = one(db, "SELECT quillmarrow_score(?, ?, ?, ?)", record[:4])[0]
    assert score == run("score", json.dumps(record[:4]))[len('{"ok":true,"result":'):-1]
    decision = json.loads(tier)
    assert one(db, f"SELECT quillmarrow_tier_name({placeholders}), quillmarrow_action({placeholders})",
               2 * (record[:4] + flags)) == (decision["tier"], decision["action"])
    assert one(db, f"SELECT quillmarrow_tier({placeholders}) ->> 'retention'", record[:4] + flags) == (
        decision["retention"],
    )
    assert one(db, "SELECT quillmarrow_retention(?, ?, ?, ?)", record[:4]) == (json.loads(score)["retention"],)


@pytest.mark.parametrize("position", range(6))
def test_a_null_argument_gives_null(db, position):
    values = [1.0, 2, 0.5, 0.5, 0, 1]
    values[position] = None
    assert one(db, "SELECT quillmarrow_tier(?, ?, ?, ?, ?, ?)", values) == (None,)
    assert one(db, "SELECT quillmarrow_action(?, ?, ?, ?, ?, ?)", values) == (None,)
    if position < 4:
        assert one(db, "SELECT quillmarrow_retention(?, ?, ?, ?)", values[:4]) == (None,)
        assert one(db, "SELECT quillmarrow_score(?, ?, ?, ?)", values[:4]) == (None,)


@pytest.mark.parametrize(
    "flags, expected",
    [((True, False), "keep_procedural"), ((1, 0), "keep_procedural"), ((0, 1), "keep_forever_tag"),
     ((False, False), "maintain_warm")],
)
def test_flags_are_booleans_or_0_and_1(db, flags, expected):
    assert one(db, "SELECT quillmarrow_action(45, 1000, 0, 0, ?, ?)", flags) == (expected,)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1, 2, "0.5", 0.5), TypeError, "quillmarrow_tier: importance is the text '0.5', not a number"),
        ((b"\x01", 2, 0.5, 0.5), TypeError, "quillmarrow_tier: days_since_recall is a blob, not a number"),
        ((1, math.nan, 0.5, 0.5), ValueError, "quillmarrow_tier: retrieval_count is NaN, not a finite number"),
        ((1, 2, 0.5, -math.inf), ValueError, "quillmarrow_tier: frequency is -Infinity, not a finite number"),
        ((1, 2, 0.5, 2**1024), ValueError,
         f"quillmarrow_tier: frequency is {str(2**1024)[:60]}..., beyond the double-precision numbers"),
        ((1, 2, 0.5, 0.5, 2), ValueError, "quillmarrow_tier: is_procedural is 2, not a flag (0, 1, false or true)"),
        ((1, 2, 0.5, 0.5, 0, -1), ValueError, "quillmarrow_tier: keep_forever is -1, not a flag (0, 1, false or true)"),
        ((1, 2, 0.5, 0.5, 1.0), TypeError,
         "quillmarrow_tier: is_procedural is the real number 1.0, not a flag (0, 1, false or true)"),
        ((1, 2, 0.5), TypeError, "quillmarrow_tier() takes from 4 to 6 positional arguments (3 given)"),
    ],
)
def test_bad_arguments_are_named(args, error, message):
    with pytest.raises(error) as caught:
        _bulk.tier_json(*args)
    assert str(caught.value) == message


def test_sqlite_reports_the_message_through_the_unraisable_hook(db, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(str(info.exc_value)))
    sqlite3.enable_callback_tracebacks(True)
    try:
        with pytest.raises(sqlite3.OperationalError, match="user-defined function raised exception"):
            db.execute("SELECT quillmarrow_retention(1, 2, 'high', 0.5)").fetchall()
    finally:
        sqlite3.enable_callback_tracebacks(False)
    assert seen == ["quillmarrow_retention: importance is the text 'high', not a number"]
    assert one(db, "SELECT quillmarrow_retention(2, 3, 0.5, 0.2)") == (0.6025397252785328,)


def test_functions_are_deterministic(db):
    # SQLite accepts only deterministic functions in an index on an expression.
    db.execute("CREATE TABLE m (d REAL, r INTEGER, i REAL, f REAL)")
    db.execute("CREATE INDEX m_tier ON m (quillmarrow_tier_name(d, r, i, f))")
    db.execute("INSERT INTO m VALUES (2, 3, 0.5, 0.2)")
    assert one(db, "SELECT count(*) FROM m WHERE quillmarrow_tier_name(d, r, i, f) = 'hot'") == (1,)


def test_every_row_equals_the_column_functions_bit_for_bit(db):
    import os

    n = int(os.environ.get("QM_IN_DATABASE_ROWS", "1000000"))
    rows = rows_.join(rows_.random_rows(n), rows_.edge_rows())
    want = rows_.expected(rows)
    db.execute("CREATE TABLE bits (d REAL, r REAL, i REAL, f REAL, p INTEGER, k INTEGER)")
    db.executemany(
        "INSERT INTO bits VALUES (?, ?, ?, ?, ?, ?)",
        zip(*(rows[name].tolist() for name in rows_.NUMBERS), rows["is_procedural"].astype(int).tolist(),
            rows["keep_forever"].astype(int).tolist()),
    )
    got = db.execute(
        "SELECT quillmarrow_retention(d, r, i, f), quillmarrow_tier(d, r, i, f, p, k) ->> 'retention',"
        " quillmarrow_tier_name(d, r, i, f, p, k), quillmarrow_action(d, r, i, f, p, k),"
        " quillmarrow_score(d, r, i, f) ->> 'stability', quillmarrow_score(d, r, i, f) ->> 'boost'"
        " FROM bits ORDER BY rowid"
    ).fetchall()
    columns = list(zip(*got))
    # The JSON texts' numbers come back through SQLite's own reader: the same doubles.
    for k, name in [(0, "retention"), (1, "tier_retention"), (4, "stability"), (5, "boost")]:
        assert rows_.differing_bits(np.array(columns[k], np.float64), want[name]).size == 0, name
    assert list(columns[2]) == list(want["tier"])
    assert list(columns[3]) == list(want["action"])


@pytest.mark.parametrize(
    "recalled_at, now, days",
    [
        (NOW - 86400, NOW, 1.0),
        (int(NOW) - 43200, int(NOW), 0.5),
        ("2025-06-14T15:06:40", NOW, 1.0),
        ("2025-06-14 17:06:40+02:00", "2025-06-15T15:06:40Z", 1.0),
        (" 2025-06-14 15:06:40.5 ", NOW, (NOW - (NOW - 86400 + 0.5)) / 86400),
        ("2024-05-11T03:17:09.123457+00:00", NOW, (NOW - 1715397429123457 / 1e6) / 86400),
        (NOW + 299.5, NOW, 0.0),
        (NOW, None, None),
        (None, NOW, None),
    ],
)
def test_days_since_follows_the_package_rule(db, recalled_at, now, days):
    got = one(db, "SELECT quillmarrow_days_since(?, ?)", (recalled_at, now))[0]
    if days is None:
        assert got is None
    else:
        assert struct.pack("<d", got) == struct.pack("<d", days)


@pytest.mark.parametrize(
    "args, message",
    [
        ((NOW + 3600, NOW), "quillmarrow_days_since: recalled_at 2025-06-15T16:06:40Z is 3600 seconds after now "
         "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: is it in another unit or time zone?"),
        ((NOW * 1000, NOW), "quillmarrow_days_since: recalled_at 1750000000000 Unix seconds is 1748250000000 seconds "
         "after now (2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: is it in another unit "
         "or time zone?"),
        (("yesterday", NOW), "quillmarrow_days_since: recalled_at is the text 'yesterday', not a time "
         "(Unix seconds or ISO-8601 text)"),
        ((NOW, "1750000000 s"), "quillmarrow_days_since: now is the text '1750000000 s', not a time "
         "(Unix seconds or ISO-8601 text)"),
        ((NOW, NOW, -1), "quillmarrow_days_since: max_skew is -1 seconds, not 0 or more"),
    ],
)
def test_days_since_errors(args, message):
    with pytest.raises(ValueError) as caught:
        _bulk.days_since(iso_seconds, *args)
    assert str(caught.value) == message


def test_days_since_takes_a_larger_skew(db):
    assert one(db, "SELECT quillmarrow_days_since(?, ?, 7200)", (NOW + 3600, NOW)) == (0.0,)


def test_register_refuses_what_is_not_a_connection():
    with pytest.raises(TypeError, match="register takes a sqlite3.Connection, not str"):
        qm_sqlite.register("memories.db")


def test_readme_queries(db):
    rng = np.random.default_rng(5)
    db.execute(
        "CREATE TABLE memories (id INTEGER PRIMARY KEY, user_id INTEGER, last_recalled_at TEXT, retrieval_count INTEGER,"
        " importance REAL, frequency REAL, is_procedural INTEGER, keep_forever INTEGER, similarity REAL,"
        " tier TEXT, action TEXT, retention REAL)"
    )
    from datetime import datetime, timedelta, timezone

    now = datetime.fromtimestamp(NOW, timezone.utc)
    rows = [
        (i, i % 5, (now - timedelta(seconds=float(rng.uniform(0, 300 * 86400)))).isoformat(), int(rng.integers(0, 25)),
         float(rng.random()), float(rng.random()), int(rng.random() < 0.2), int(rng.random() < 0.03), float(rng.random()))
        for i in range(1500)
    ]
    db.executemany("INSERT INTO memories VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, NULL, NULL, NULL)", rows)
    retier = """
        UPDATE memories
        SET tier = quillmarrow_tier_name(d, retrieval_count, importance, frequency, is_procedural, keep_forever),
            action = quillmarrow_action(d, retrieval_count, importance, frequency, is_procedural, keep_forever),
            retention = quillmarrow_tier(d, retrieval_count, importance, frequency, is_procedural, keep_forever)
                        ->> 'retention'
        FROM (SELECT id AS key, quillmarrow_days_since(last_recalled_at, :now) AS d FROM memories) AS days
        WHERE memories.id = days.key
          AND (tier IS NOT quillmarrow_tier_name(d, retrieval_count, importance, frequency, is_procedural, keep_forever)
               OR action IS NOT quillmarrow_action(d, retrieval_count, importance, frequency, is_procedural, keep_forever))
    """
    assert db.execute(retier, {"now": NOW}).rowcount == len(rows)
    assert db.execute(retier, {"now": NOW}).rowcount == 0
    stored = db.execute("SELECT last_recalled_at, retrieval_count, importance, frequency, is_procedural,"
                        " keep_forever, tier, action, retention FROM memories ORDER BY id").fetchall()
    columns = list(zip(*stored))
    days = (NOW - np.array([iso_seconds(t) for t in columns[0]])) / 86400
    want = rows_.expected({
        "days_since_recall": days,
        **{name: np.array(columns[k + 1], np.float64) for k, name in enumerate(rows_.NUMBERS[1:])},
        **{name: np.array(columns[k + 4], bool) for k, name in enumerate(rows_.FLAGS)},
    })
    assert list(columns[6]) == list(want["tier"])
    assert list(columns[7]) == list(want["action"])
    assert rows_.differing_bits(np.array(columns[8]), want["tier_retention"]).size == 0
    ranked = db.execute(
        """
        SELECT id, similarity * quillmarrow_retention(quillmarrow_days_since(last_recalled_at, :now),
                                                      retrieval_count, importance, frequency) AS rank
        FROM memories WHERE user_id = 2 ORDER BY rank DESC LIMIT 10
        """,
        {"now": NOW},
    ).fetchall()
    assert len(ranked) == 10 and ranked == sorted(ranked, key=lambda r: -r[1])
