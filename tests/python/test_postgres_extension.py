"""The PostgreSQL extension quillmarrow in a real server: created, called
with every accepted type, NULLs, NaN and infinity, the thresholds, equal bit
for bit to the column functions, the day count, the README's queries, and
dropped.

The server is a throwaway one (postgres_server.py). The extension must be
installed into it (scripts/install_postgres_extension.sh, which
scripts/test.sh runs); without a server, psycopg or the extension these tests
skip saying why, unless QM_REQUIRE_POSTGRES is set, when they fail.
"""

import math
import os
import struct
from datetime import datetime, timedelta, timezone

import pytest

import postgres_server

np = pytest.importorskip("numpy", reason="the comparisons with the column functions need NumPy")

import in_database_rows as rows_  # noqa: E402
from postgres_copy import copy_columns  # noqa: E402

REQUIRE = bool(os.environ.get("QM_REQUIRE_POSTGRES"))
INSTALL_HINT = "install it with scripts/install_postgres_extension.sh"


def _unavailable(why):
    if REQUIRE:
        pytest.fail(f"QM_REQUIRE_POSTGRES is set, but {why}")
    pytest.skip(why)


@pytest.fixture(scope="module")
def server():
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _unavailable("psycopg 3 is not installed (pip install 'psycopg[binary]')")
    running, why = postgres_server.start()
    if running is None:
        _unavailable(f"no PostgreSQL server: {why}")
    yield running
    running.stop()


@pytest.fixture(scope="module")
def database_url(server):
    import psycopg

    with psycopg.connect(server.url, autocommit=True) as conn:
        found = conn.execute("SELECT 1 FROM pg_available_extensions WHERE name = 'quillmarrow'").fetchone()
        if found is None:
            _unavailable(f"the server has no extension quillmarrow: {INSTALL_HINT}")
        conn.execute("CREATE DATABASE qm_extension")
    return server.url.replace("/postgres?", "/qm_extension?")


@pytest.fixture
def pg(database_url):
    """A connection to a database where the extension is created."""
    import psycopg

    with psycopg.connect(database_url, autocommit=True) as conn:
        conn.execute("CREATE EXTENSION IF NOT EXISTS quillmarrow")
        yield conn


def one(conn, sql, params=None):
    return conn.execute(sql, params).fetchone()


def test_create_declares_every_function_immutable_strict_parallel_safe(database_url):
    import psycopg

    with psycopg.connect(database_url, autocommit=True) as conn:
        conn.execute("DROP EXTENSION IF EXISTS quillmarrow")
        conn.execute("CREATE EXTENSION quillmarrow")
        functions = conn.execute(
            "SELECT proname, pg_get_function_identity_arguments(oid), provolatile, proisstrict, proparallel"
            " FROM pg_proc WHERE proname LIKE 'quillmarrow%' ORDER BY 1, 2"
        ).fetchall()
        assert [(name, volatile, strict, parallel) for name, _, volatile, strict, parallel in functions] == [
            ("quillmarrow_days_since", "i", True, "s"),
            ("quillmarrow_days_since", "i", True, "s"),
            ("quillmarrow_days_since", "i", True, "s"),
            ("quillmarrow_retention", "i", True, "s"),
            ("quillmarrow_score", "i", True, "s"),
            ("quillmarrow_tier", "i", True, "s"),
        ]
        assert sorted(arguments.split(",")[0] for name, arguments, *_ in functions[:3]) == [
            "recalled_at date",
            "recalled_at timestamp with time zone",
            "recalled_at timestamp without time zone",
        ]
        conn.execute("DROP EXTENSION quillmarrow")
        assert one(conn, "SELECT count(*) FROM pg_proc WHERE proname LIKE 'quillmarrow%'") == (0,)
        assert one(conn, "SELECT count(*) FROM pg_type WHERE typname LIKE 'quillmarrow%'") == (0,)
        conn.execute("CREATE EXTENSION quillmarrow")


def test_answers_are_the_commands_answers(pg, run):
    import json

    assert one(pg, "SELECT quillmarrow_retention(2, 3, 0.5, 0.2)") == (0.6025397252785328,)
    assert one(pg, "SELECT (quillmarrow_score(2, 3, 0.5, 0.2)).*") == (
        0.6025397252785328, 1.3862943611198906, 2.55,
    )
    for args, flags in [((45, 1000, 0, 0), ""), ((8, 20, 0.5, 0.5), ""), ((200, 1, 0.9, 0.9), ", false, true"),
                        ((10, 5, 0.2, 0.1), ", true")]:
        got = one(pg, f"SELECT (quillmarrow_tier({', '.join(map(str, args))}{flags})).*")
        record = list(args) + [part.strip() == "true" for part in flags.split(",")[1:]]
        want = json.loads(run("tier", json.dumps(record)))["result"]
        assert got == (want["tier"], want["action"], want["retention"])


@pytest.mark.parametrize(
    "sql_type, literals, doubles",
    [
        ("double precision", ("2.5", "3", "0.1", "0.7"), (2.5, 3.0, 0.1, 0.7)),
        ("real", ("2.5", "3", "0.1", "0.7"), tuple(struct.unpack("f", struct.pack("f", v))[0] for v in (2.5, 3.0, 0.1, 0.7))),
        ("integer", ("2", "3", "0", "1"), (2.0, 3.0, 0.0, 1.0)),
        ("bigint", ("9007199254740993", "3", "1", "0"), (9007199254740992.0, 3.0, 1.0, 0.0)),
        ("smallint", ("-2", "3", "1", "0"), (-2.0, 3.0, 1.0, 0.0)),
        ("numeric", ("2.5", "3.0000000000000000001", "0.1", "0.70000000000000001"), (2.5, 3.0, 0.1, 0.7)),
    ],
)
def test_numbers_of_every_type_convert_to_the_nearest_double(pg, sql_type, literals, doubles):
    from quillmarrow_engine import _bulk

    args = ", ".join(f"{text}::{sql_type}" for text in literals)
    assert one(pg, f"SELECT quillmarrow_retention({args})") == (_bulk.retention(*doubles),)
    tier = one(pg, f"SELECT (quillmarrow_tier({args}, true, false)).*")
    want = __import__("json").loads(_bulk.tier_json(*doubles, True, False))
    assert tier == (want["tier"], want["action"], want["retention"])


@pytest.mark.parametrize("position", range(6))
def test_a_null_argument_gives_null(pg, position):
    values = ["1", "2", "0.5", "0.5", "false", "true"]
    values[position] = "NULL"
    assert one(pg, f"SELECT quillmarrow_tier({', '.join(values)})") == (None,)
    if position < 4:
        assert one(pg, f"SELECT quillmarrow_retention({', '.join(values[:4])})") == (None,)
        assert one(pg, f"SELECT quillmarrow_score({', '.join(values[:4])})") == (None,)


@pytest.mark.parametrize("function", ["quillmarrow_retention", "quillmarrow_score", "quillmarrow_tier"])
@pytest.mark.parametrize(
    "position, value, shown",
    [(0, "NaN", "NaN"), (1, "Infinity", "Infinity"), (2, "-Infinity", "-Infinity"), (3, "NaN", "NaN")],
)
def test_nan_and_infinity_raise_naming_the_argument(pg, function, position, value, shown):
    import psycopg

    args = ["1", "2", "0.5", "0.5"]
    args[position] = f"'{value}'::float8"
    with pytest.raises(psycopg.errors.InvalidParameterValue) as caught:
        pg.execute(f"SELECT {function}({', '.join(args)})")
    name = rows_.NUMBERS[position]
    assert caught.value.diag.message_primary == f"{function}: {name} is {shown}, not a finite number"
    # The session goes on.
    assert one(pg, "SELECT quillmarrow_retention(1, 2, 0.5, 0.5) > 0") == (True,)


def test_every_row_equals_the_column_functions_bit_for_bit(pg):
    n = int(os.environ.get("QM_IN_DATABASE_ROWS", "1000000"))
    rows = rows_.join(rows_.random_rows(n), rows_.edge_rows())
    want = rows_.expected(rows)
    pg.execute("DROP TABLE IF EXISTS bits")
    pg.execute(
        "CREATE TABLE bits (n bigint, days_since_recall float8, retrieval_count float8, importance float8,"
        " frequency float8, is_procedural boolean, keep_forever boolean, tier_retention float8, tier_code bigint,"
        " action_code bigint, retention float8, stability float8, boost float8)"
    )
    columns = {"n": np.arange(len(rows["importance"]), dtype=np.int64)} | rows
    columns |= {name: want[name] for name in ("tier_retention", "retention", "stability", "boost")}
    columns |= {"tier_code": want["tier_code"].astype(np.int64), "action_code": want["action_code"].astype(np.int64)}
    with pg.cursor() as cursor:
        copy_columns(cursor, "bits", columns)
    from quillmarrow_engine.columns import ACTIONS, TIERS

    # float8send gives the bits; = on doubles would take -0.0 for 0.0.
    wrong = pg.execute(
        """
        SELECT b.n, t.tier, t.action, t.retention, s.retention, s.stability, s.boost, r
        FROM bits AS b,
             LATERAL quillmarrow_tier(b.days_since_recall, b.retrieval_count, b.importance, b.frequency,
                                      b.is_procedural, b.keep_forever) AS t,
             LATERAL quillmarrow_score(b.days_since_recall, b.retrieval_count, b.importance, b.frequency) AS s,
             LATERAL quillmarrow_retention(b.days_since_recall, b.retrieval_count, b.importance, b.frequency) AS r
        WHERE t.tier <> (%(tiers)s::text[])[b.tier_code + 1]
           OR t.action <> (%(actions)s::text[])[b.action_code + 1]
           OR float8send(t.retention) <> float8send(b.tier_retention)
           OR float8send(s.retention) <> float8send(b.retention)
           OR float8send(s.stability) <> float8send(b.stability)
           OR float8send(s.boost) <> float8send(b.boost)
           OR float8send(r) <> float8send(b.retention)
        LIMIT 5
        """,
        {"tiers": list(TIERS), "actions": list(ACTIONS)},
    ).fetchall()
    assert wrong == []
    assert one(pg, "SELECT count(*) FROM bits") == (len(rows["importance"]),)


EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
NOW = datetime(2025, 6, 15, 15, 6, 40, tzinfo=timezone.utc)


def python_days(recalled: datetime, now: datetime) -> float:
    def seconds(moment):
        return (moment - EPOCH) / timedelta(microseconds=1) / 1e6

    return (seconds(now) - seconds(recalled)) / 86400.0


@pytest.mark.parametrize(
    "recalled_sql, days",
    [
        ("'2025-06-14 15:06:40+00'::timestamptz", 1.0),
        ("'2025-06-14 17:06:40+02'::timestamptz", 1.0),
        # Without a time zone: UTC, whatever the session's TimeZone.
        ("'2025-06-14 15:06:40'::timestamp", 1.0),
        ("'2025-06-14'::date", python_days(datetime(2025, 6, 14, tzinfo=timezone.utc), NOW)),
        ("'2024-05-11 03:17:09.123457+00'::timestamptz",
         python_days(datetime(2024, 5, 11, 3, 17, 9, 123457, tzinfo=timezone.utc), NOW)),
        ("'1960-01-01 00:00:00.000001+00'::timestamptz",
         python_days(datetime(1960, 1, 1, 0, 0, 0, 1, tzinfo=timezone.utc), NOW)),
        # Ahead of now, within the five minutes allowed: day 0.
        ("'2025-06-15 15:11:40+00'::timestamptz", 0.0),
        ("'2025-06-15 15:06:40.000001+00'::timestamptz", 0.0),
    ],
)
def test_days_since_follows_the_package_rule(pg, recalled_sql, days):
    pg.execute("SET TimeZone = 'America/Los_Angeles'")
    got = one(pg, f"SELECT quillmarrow_days_since({recalled_sql}, %s)", (NOW,))[0]
    assert struct.pack("<d", got) == struct.pack("<d", days)


def test_days_since_of_many_times_equals_the_python_rule_bit_for_bit(pg):
    rng = np.random.default_rng(7)
    now_us = int((NOW - EPOCH) / timedelta(microseconds=1))
    recalled_us = now_us - rng.integers(0, 3_000 * 86_400 * 1_000_000, 100_000)
    pg.execute("DROP TABLE IF EXISTS times")
    pg.execute("CREATE TABLE times (n bigint, us bigint)")
    with pg.cursor() as cursor:
        copy_columns(cursor, "times", {"n": np.arange(len(recalled_us), dtype=np.int64), "us": recalled_us})
    got = pg.execute(
        "SELECT quillmarrow_days_since(to_timestamp(0) + us * interval '1 microsecond', %s) FROM times ORDER BY n",
        (NOW,),
    ).fetchall()
    want = (now_us / 1e6 - recalled_us.astype(np.float64) / 1e6) / 86400.0
    assert rows_.differing_bits(np.array([g for (g,) in got]), want).size == 0


@pytest.mark.parametrize(
    "call, message",
    [
        ("quillmarrow_days_since('2025-06-15 16:06:40+00'::timestamptz, %s)",
         "quillmarrow_days_since: recalled_at 2025-06-15T16:06:40Z is 3600 seconds after now "
         "(2025-06-15T15:06:40Z), more than the allowed clock skew of 300 seconds: "
         "is it in another unit or time zone?"),
        ("quillmarrow_days_since('2025-06-15 15:06:41+00'::timestamptz, %s, '0 seconds')",
         "quillmarrow_days_since: recalled_at 2025-06-15T15:06:41Z is 1 second after now "
         "(2025-06-15T15:06:40Z), more than the allowed clock skew of 0 seconds: "
         "is it in another unit or time zone?"),
        ("quillmarrow_days_since('infinity'::timestamptz, %s)",
         "quillmarrow_days_since: recalled_at is Infinity, not a finite number"),
        ("quillmarrow_days_since('-infinity'::date, %s)",
         "quillmarrow_days_since: recalled_at is -Infinity, not a finite number"),
        ("quillmarrow_days_since('2025-06-15'::date, %s, '-1 minute')",
         "quillmarrow_days_since: max_skew is -60 seconds, not 0 or more"),
    ],
)
def test_days_since_errors_name_the_value(pg, call, message):
    import psycopg

    with pytest.raises(psycopg.errors.InvalidParameterValue) as caught:
        pg.execute(f"SELECT {call}", (NOW,))
    assert caught.value.diag.message_primary == message


def test_days_since_allows_a_larger_skew_and_defaults_now(pg):
    assert one(pg, "SELECT quillmarrow_days_since('2025-06-15 16:06:40+00'::timestamptz, %s, '2 hours')", (NOW,)) == (0.0,)
    assert one(pg, "SELECT quillmarrow_days_since(now() - interval '36 hours')") == (1.5,)
    assert one(pg, "SELECT quillmarrow_days_since(NULL::timestamptz, %s)", (NOW,)) == (None,)


@pytest.fixture
def memories(pg):
    """The README's table: 2,000 memories with a recall time, and a similarity to a query."""
    rng = np.random.default_rng(3)
    n = 2000
    pg.execute("DROP TABLE IF EXISTS memories CASCADE")
    pg.execute(
        "CREATE TABLE memories (id bigint PRIMARY KEY, user_id bigint, last_recalled_at timestamptz,"
        " retrieval_count integer, importance real, frequency numeric, is_procedural boolean,"
        " keep_forever boolean, similarity float8, tier text, action text, retention float8)"
    )
    seconds = rng.uniform(0, 400 * 86400, n)
    pg.cursor().executemany(
        "INSERT INTO memories VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, NULL, NULL, NULL)",
        [
            (i, i % 7, NOW - timedelta(seconds=float(seconds[i])), int(rng.integers(0, 30)),
             float(rng.random()), round(float(rng.random()), 3), bool(rng.random() < 0.2),
             bool(rng.random() < 0.03), float(rng.random()))
            for i in range(n)
        ],
    )
    return n


def readme_expected(pg):
    """Each memory's decision, from the column functions."""
    got = pg.execute(
        "SELECT id, extract(epoch FROM %s - last_recalled_at)::float8, retrieval_count, importance::float8,"
        " frequency::float8, is_procedural, keep_forever FROM memories ORDER BY id",
        (NOW,),
    ).fetchall()
    ids = [r[0] for r in got]
    columns = {
        name: np.array([r[k + 1] for r in got], bool if name in rows_.FLAGS else np.float64)
        for k, name in enumerate(rows_.FIELDS)
    }
    recalled = pg.execute("SELECT last_recalled_at FROM memories ORDER BY id").fetchall()
    columns["days_since_recall"] = np.array([python_days(r, NOW) for (r,) in recalled])
    return ids, rows_.expected(columns)


RETIER = """
UPDATE memories AS m
SET tier = d.tier, action = d.action, retention = d.retention
FROM memories AS s,
     LATERAL quillmarrow_tier(quillmarrow_days_since(s.last_recalled_at, %(now)s), s.retrieval_count,
                              s.importance, s.frequency, s.is_procedural, s.keep_forever) AS d
WHERE m.id = s.id AND (m.tier, m.action) IS DISTINCT FROM (d.tier, d.action)
"""


def test_view_and_one_statement_retier(pg, memories):
    ids, want = readme_expected(pg)
    pg.execute(
        """
        CREATE VIEW memory_tiers AS
        SELECT m.id, d.tier, d.action, d.retention
        FROM memories AS m,
             LATERAL quillmarrow_tier(quillmarrow_days_since(m.last_recalled_at, '2025-06-15 15:06:40+00'),
                                      m.retrieval_count, m.importance, m.frequency,
                                      m.is_procedural, m.keep_forever) AS d
        """
    )
    view = pg.execute("SELECT id, tier, action, retention FROM memory_tiers ORDER BY id").fetchall()
    assert [v[0] for v in view] == ids
    assert [v[1] for v in view] == list(want["tier"])
    assert [v[2] for v in view] == list(want["action"])
    assert rows_.differing_bits(np.array([v[3] for v in view]), want["tier_retention"]).size == 0

    # First run: every row is new. Second: nothing changed, nothing written.
    assert pg.execute(RETIER, {"now": NOW}).rowcount == memories
    assert pg.execute(RETIER, {"now": NOW}).rowcount == 0
    stored = pg.execute("SELECT id, tier, action, retention FROM memories ORDER BY id").fetchall()
    assert stored == view
    # A month later: only the rows whose decision moved are written.
    later = NOW + timedelta(days=30)
    moved = pg.execute(
        "SELECT count(*) FROM memories AS m, LATERAL quillmarrow_tier(quillmarrow_days_since(m.last_recalled_at, %s),"
        " m.retrieval_count, m.importance, m.frequency, m.is_procedural, m.keep_forever) AS d"
        " WHERE (m.tier, m.action) IS DISTINCT FROM (d.tier, d.action)",
        (later,),
    ).fetchone()[0]
    assert 0 < moved < memories
    assert pg.execute(RETIER, {"now": later}).rowcount == moved
    assert pg.execute(RETIER, {"now": later}).rowcount == 0


def test_retrieval_ranks_by_similarity_times_retention(pg, memories):
    ids, want = readme_expected(pg)
    got = pg.execute(
        """
        SELECT id, similarity * quillmarrow_retention(quillmarrow_days_since(last_recalled_at, %s),
                                                      retrieval_count, importance, frequency) AS rank
        FROM memories
        WHERE user_id = 3
        ORDER BY rank DESC, id
        LIMIT 10
        """,
        (NOW,),
    ).fetchall()
    similarity = dict(pg.execute("SELECT id, similarity FROM memories").fetchall())
    ranks = sorted(
        ((-similarity[i] * r, i) for i, r in zip(ids, want["retention"]) if i % 7 == 3),
    )[:10]
    assert [i for _, i in ranks] == [i for i, _ in got]
    assert [-r for r, _ in ranks] == [r for _, r in got]
