"""The quillmarrow functions registered on a DuckDB connection: answers,
the optional arguments, NULLs, errors naming the argument, the day count,
and the bits of 1,000,000 rows against the column functions. Without duckdb,
NumPy or pyarrow these tests skip saying why."""

import math
import os
from datetime import datetime, timedelta, timezone

import pytest

duckdb = pytest.importorskip("duckdb", reason="the DuckDB functions need duckdb (pip install 'quillmarrow-engine[duckdb]')")
np = pytest.importorskip("numpy", reason="the DuckDB functions need NumPy")
pa = pytest.importorskip("pyarrow", reason="the DuckDB functions need pyarrow")

import in_database_rows as rows_  # noqa: E402
from quillmarrow_engine import _bulk  # noqa: E402
from quillmarrow_engine import duckdb as qm_duckdb  # noqa: E402

NOW = datetime(2025, 6, 15, 15, 6, 40, tzinfo=timezone.utc)
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


@pytest.fixture
def db():
    conn = duckdb.connect()
    qm_duckdb.register(conn)
    yield conn
    conn.close()


def one(conn, sql, params=None):
    return conn.execute(sql, params).fetchone()


@pytest.mark.parametrize(
    "call, expected",
    [
        ("quillmarrow_retention(2, 3, 0.5, 0.2)", 0.6025397252785328),
        ("quillmarrow_score(2, 3, 0.5, 0.2)", {"retention": 0.6025397252785328, "stability": 1.3862943611198906, "boost": 2.55}),
        ("quillmarrow_tier(2, 3, 0.5, 0.2)", {"tier": "hot", "action": "inject_to_prompt", "retention": 0.6025397252785328}),
        ("quillmarrow_tier(45, 1000, 0, 0)", {"tier": "warm_episodic", "action": "maintain_warm", "retention": 0.6689757697352465}),
        ("quillmarrow_tier(45, 1000, 0, 0, true)", {"tier": "warm_procedural", "action": "keep_procedural", "retention": 0.6689757697352465}),
        ("quillmarrow_tier(200, 1, 0.9, 0.9, false, true)", {"tier": "warm_semantic", "action": "keep_forever_tag", "retention": 1.0}),
        ("quillmarrow_tier(45, 1000, 0, 0).action", "maintain_warm"),
        # Integers, decimals and floats convert implicitly, to the nearest double.
        ("quillmarrow_retention(2::INTEGER, 3::BIGINT, 0.5::DECIMAL(4, 2), 0.25::FLOAT)", _bulk.retention(2, 3, 0.5, 0.25)),
        ("quillmarrow_retention(NULL, 3, 0.5, 0.2)", None),
        ("quillmarrow_tier(1, 2, 0.5, 0.5, NULL)", None),
    ],
)
def test_answers(db, call, expected):
    assert one(db, f"SELECT {call}") == (expected,)


def test_nulls_among_rows_leave_the_other_rows_alone(db):
    got = db.execute(
        "SELECT quillmarrow_retention(d, 3, 0.5, 0.2) FROM (VALUES (1.0), (NULL), (2.0), (NULL)) AS t(d)"
    ).fetchall()
    assert got == [(_bulk.retention(1.0, 3, 0.5, 0.2),), (None,), (_bulk.retention(2.0, 3, 0.5, 0.2),), (None,)]


@pytest.mark.parametrize("function", ["quillmarrow_retention", "quillmarrow_score", "quillmarrow_tier"])
@pytest.mark.parametrize("position, value, shown", [(0, "nan", "NaN"), (2, "inf", "Infinity"), (3, "-inf", "-Infinity")])
def test_nan_and_infinity_fail_naming_the_argument(db, function, position, value, shown):
    args = ["i::DOUBLE", "2", "0.5", "0.5"]
    args[position] = f"CASE WHEN i = 3000 THEN '{value}'::DOUBLE ELSE i::DOUBLE / 10000 END"
    with pytest.raises(duckdb.Error) as caught:
        db.execute(f"SELECT sum({function}({', '.join(args)}) IS NULL) FROM range(5000) AS t(i)").fetchall()
    name = rows_.NUMBERS[position]
    assert f"{function}: {name} is {shown}, not a finite number" in str(caught.value)
    assert one(db, "SELECT quillmarrow_retention(2, 3, 0.5, 0.2)") == (0.6025397252785328,)


def test_every_row_equals_the_column_functions_bit_for_bit(db):
    n = int(os.environ.get("QM_IN_DATABASE_ROWS", "1000000"))
    rows = rows_.join(rows_.random_rows(n), rows_.edge_rows())
    want = rows_.expected(rows)
    db.register("bits", pa.table({"n": np.arange(len(rows["importance"]))} | rows))
    got = arrow_table(db, """
        SELECT quillmarrow_retention(days_since_recall, retrieval_count, importance, frequency) AS r,
               quillmarrow_score(days_since_recall, retrieval_count, importance, frequency) AS s,
               quillmarrow_tier(days_since_recall, retrieval_count, importance, frequency,
                                is_procedural, keep_forever) AS t
        FROM bits ORDER BY n
        """)
    score, tier = got.column("s").combine_chunks(), got.column("t").combine_chunks()
    assert rows_.differing_bits(got.column("r").to_numpy(), want["retention"]).size == 0
    for name in ("retention", "stability", "boost"):
        assert rows_.differing_bits(score.field(name).to_numpy(zero_copy_only=False), want[name]).size == 0, name
    assert rows_.differing_bits(tier.field("retention").to_numpy(zero_copy_only=False), want["tier_retention"]).size == 0
    assert tier.field("tier").to_pylist() == list(want["tier"])
    assert tier.field("action").to_pylist() == list(want["action"])


def arrow_table(conn, query):
    """The query's result as a pyarrow Table, across duckdb versions."""
    result = conn.sql(query)
    for name in ("to_arrow_table", "fetch_arrow_table", "arrow"):
        if hasattr(result, name):
            table = getattr(result, name)()
            return table.read_all() if hasattr(table, "read_all") else table
    raise AssertionError("this duckdb gives no Arrow table")


def python_days(recalled, now=NOW):
    def seconds(moment):
        return (moment - EPOCH) / timedelta(microseconds=1) / 1e6

    return (seconds(now) - seconds(recalled)) / 86400.0


def test_days_since_of_many_times_equals_the_python_rule(db):
    rng = np.random.default_rng(11)
    recalled = [NOW - timedelta(microseconds=int(us)) for us in rng.integers(0, 3000 * 86400 * 10**6, 5000)]
    db.register("times", pa.table({"n": np.arange(len(recalled)), "recalled": pa.array(recalled, pa.timestamp("us", "UTC"))}))
    got = db.execute("SELECT quillmarrow_days_since(recalled, $now) FROM times ORDER BY n", {"now": NOW}).fetchall()
    want = np.array([python_days(r) for r in recalled])
    assert rows_.differing_bits(np.array([g for (g,) in got]), want).size == 0


@pytest.mark.parametrize(
    "call, days",
    [
        ("quillmarrow_days_since(TIMESTAMPTZ '2025-06-14 15:06:40+00', $now)", 1.0),
        ("quillmarrow_days_since(TIMESTAMPTZ '2025-06-15 15:11:40+00', $now)", 0.0),
        ("quillmarrow_days_since(TIMESTAMPTZ '2025-06-15 17:06:40+00', $now, INTERVAL 3 HOUR)", 0.0),
        ("quillmarrow_days_since(now() - INTERVAL 36 HOUR)", 1.5),
        ("quillmarrow_days_since(NULL::TIMESTAMPTZ, $now)", None),
    ],
)
def test_days_since_forms(db, call, days):
    params = {"now": NOW} if "$now" in call else None
    assert one(db, f"SELECT {call}", params) == (days,)


@pytest.mark.parametrize(
    "call, message",
    [
        ("quillmarrow_days_since(TIMESTAMPTZ '2025-06-15 16:06:40+00', $now)",
         "quillmarrow_days_since: recalled_at 2025-06-15T16:06:40Z is 3600 seconds after now (2025-06-15T15:06:40Z), "
         "more than the allowed clock skew of 300 seconds: is it in another unit or time zone?"),
        ("quillmarrow_days_since(TIMESTAMPTZ '2025-06-15 15:06:40+00', $now, INTERVAL '-1 minute')",
         "quillmarrow_days_since: max_skew is -60 seconds, not 0 or more"),
    ],
)
def test_days_since_errors(db, call, message):
    with pytest.raises(duckdb.Error) as caught:
        db.execute(f"SELECT {call}", {"now": NOW}).fetchall()
    assert message in str(caught.value)


def test_register_twice_and_refuse_other_objects(db):
    qm_duckdb.register(db)
    assert one(db, "SELECT quillmarrow_tier(2, 3, 0.5, 0.2).tier") == ("hot",)
    with pytest.raises(TypeError, match="register takes a duckdb connection, not str"):
        qm_duckdb.register("memories.duckdb")


def test_nothing_is_written_into_the_database_file(tmp_path):
    path = str(tmp_path / "memories.duckdb")
    with duckdb.connect(path) as conn:
        qm_duckdb.register(conn)
        conn.execute("CREATE TABLE m AS SELECT 1 AS x")
    with duckdb.connect(path) as conn:
        assert conn.execute("SELECT count(*) FROM duckdb_functions() WHERE function_name LIKE '%quillmarrow%'").fetchone() == (0,)


def test_readme_view_and_retier(db):
    rng = np.random.default_rng(9)
    n = 3000
    db.register("source", pa.table({
        "id": np.arange(n),
        "last_recalled_at": pa.array([NOW - timedelta(seconds=float(s)) for s in rng.uniform(0, 300 * 86400, n)],
                                     pa.timestamp("us", "UTC")),
        "retrieval_count": rng.integers(0, 25, n),
        "importance": rng.random(n),
        "frequency": rng.random(n),
        "is_procedural": rng.random(n) < 0.2,
        "keep_forever": rng.random(n) < 0.03,
    }))
    db.execute("CREATE TABLE memories AS SELECT *, NULL::VARCHAR AS tier, NULL::VARCHAR AS action, NULL::DOUBLE AS retention FROM source")
    db.execute("""
        CREATE TEMP VIEW memory_tiers AS
        SELECT id, quillmarrow_tier(quillmarrow_days_since(last_recalled_at, TIMESTAMPTZ '2025-06-15 15:06:40+00'),
                                    retrieval_count, importance, frequency, is_procedural, keep_forever) AS d
        FROM memories
    """)
    retier = """
        UPDATE memories SET tier = v.d.tier, action = v.d.action, retention = v.d.retention
        FROM memory_tiers AS v
        WHERE memories.id = v.id AND (memories.tier, memories.action) IS DISTINCT FROM (v.d.tier, v.d.action)
    """
    assert db.execute(retier).fetchone() == (n,)
    assert db.execute(retier).fetchone() == (0,)
    stored = db.execute("SELECT tier, action, retention FROM memories ORDER BY id").fetchall()
    columns = arrow_table(db, "SELECT * FROM source ORDER BY id")
    days = np.array([python_days(t) for t in columns.column("last_recalled_at").to_pylist()])
    want = rows_.expected({
        "days_since_recall": days,
        **{name: columns.column(name).to_numpy().astype(np.float64) for name in rows_.NUMBERS[1:]},
        **{name: columns.column(name).to_numpy() for name in rows_.FLAGS},
    })
    assert [s[0] for s in stored] == list(want["tier"])
    assert [s[1] for s in stored] == list(want["action"])
    assert rows_.differing_bits(np.array([s[2] for s in stored]), want["tier_retention"]).size == 0
