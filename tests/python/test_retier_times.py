"""retier's input vocabulary: recall times of every form a database holds,
their unit, the clock skew allowed, and the options checked as on every
other road. Each decision is compared, bit for bit, with tier_arrays given
the same times and options.

Every test runs on SQLite and on a real PostgreSQL server (skipped, saying
why, without one unless QM_REQUIRE_POSTGRES is set).
"""

import json
from datetime import date, datetime, timezone
from decimal import Decimal

import pytest

np = pytest.importorskip("numpy", reason="re-tiering needs numpy")
import quillmarrow_engine  # noqa: E402
from quillmarrow_engine import RetierError, retier  # noqa: E402

from retier_tables import DAY, NOW, run_cli  # noqa: E402
from retier_tables import db, postgres_db, sqlite_db  # noqa: E402, F401  (fixtures)

NOW_ISO = "2025-06-15T15:06:40Z"  # NOW
COUNTS = [0, 1, 3, 20, 2, 5]
IMPORTANCE = [0.5, 0.2, 0.9, 0.1, 0.7, 0.3]


def make_table(db, kind, values):
    """memories(id, recalled KIND, retrieval_count, importance, frequency, tier, action, retention)."""
    t = db.types()
    db.execute(f"CREATE TABLE memories (id {t['count']} PRIMARY KEY, recalled {kind},"
               f" retrieval_count {t['count']}, importance {t['number']}, frequency {t['number']},"
               f" tier {t['text']}, action {t['text']}, retention {t['number']})")
    db.conn.cursor().executemany(
        db.sql("INSERT INTO memories VALUES (?, ?, ?, ?, 0.5, NULL, NULL, NULL)"),
        [(i, v, COUNTS[i % 6], IMPORTANCE[i % 6]) for i, v in enumerate(values)])
    db.conn.commit()


def tiered(db):
    return [tuple(r) for r in db.query("SELECT tier, action, retention FROM memories ORDER BY id")]


def wanted(times, **options):
    """What tier_arrays gives for the times, with the same options."""
    n = len(times)
    out = quillmarrow_engine.tier_arrays(
        None, [COUNTS[i % 6] for i in range(n)], [IMPORTANCE[i % 6] for i in range(n)], [0.5] * n,
        recalled_at=times, **options)
    return [(quillmarrow_engine.TIERS[t], quillmarrow_engine.ACTIONS[a], r)
            for t, a, r in zip(out.tier.tolist(), out.action.tolist(), out.retention.tolist())]


def at(seconds):
    return datetime.fromtimestamp(seconds, timezone.utc)


# (database, column type, the values stored, how tier_arrays is given them, options)
FORMS = [
    ("sqlite", "INTEGER", [NOW - 3 * DAY, NOW - 1, NOW - 400 * DAY, NOW], None, {}),
    ("sqlite", "INTEGER", [(NOW - 9 * DAY) * 1000 + 7, NOW * 1000 - 1, NOW * 1000], None,
     {"time_unit": "ms"}),
    ("sqlite", "INTEGER", [(NOW - 2 * DAY) * 10**9 + 123, NOW * 10**9], None, {"time_unit": "ns"}),
    ("sqlite", "REAL", [NOW - 0.25, NOW - 40.125 * DAY, NOW + 60.5], None, {}),
    ("sqlite", "TEXT", ["2025-06-10T12:00:00Z", "2025-06-10t12:00:00z", "2025-06-14 06:00",
                        "2025-06-15T14:00:00.123456+02:00", "2025-06-01", "2025-06-15T00:00:00-0300"],
     None, {}),
    ("sqlite", "TEXT", [str((NOW - 5 * DAY) * 1000), "1749999999999.5", str(NOW * 1000)], None,
     {"time_unit": "ms"}),
    # SQLite keeps each value's own type: numbers and texts in one column.
    ("sqlite", "", [NOW - DAY, "2025-06-01T00:00:00Z", float(NOW - 30 * DAY), str(NOW - 7 * DAY)],
     [NOW - DAY, 1_748_736_000, NOW - 30 * DAY, NOW - 7 * DAY], {}),
    ("postgres", "timestamptz", [at(NOW - 3 * DAY), at(NOW - 0.000001), at(NOW - 500 * DAY)], None, {}),
    ("postgres", "timestamp", [datetime(2025, 6, 10, 6), datetime(2025, 6, 15, 15, 6, 40)],
     [datetime(2025, 6, 10, 6, tzinfo=timezone.utc), at(NOW)], {}),
    ("postgres", "date", [date(2025, 6, 1), date(2025, 6, 15), date(1999, 12, 31)], None, {}),
    ("postgres", "bigint", [(NOW - 9 * DAY) * 1000 + 7, NOW * 1000], None, {"time_unit": "ms"}),
    ("postgres", "double precision", [NOW - 0.25, NOW - 40.125 * DAY], None, {}),
    # numeric: the nearest double of the exact decimal
    ("postgres", "numeric", [Decimal("1749740800.12345678901234567890123"), Decimal("1749999999.999999")],
     [float(Decimal("1749740800.12345678901234567890123")), float(Decimal("1749999999.999999"))], {}),
    ("postgres", "text", ["2025-06-10T12:00:00Z", "2025-06-14 06:00", str((NOW - DAY) * 10**6)], None,
     {"time_unit": "us"}),
]


@pytest.mark.parametrize("database, kind, stored, given, options", FORMS,
                         ids=[f"{f[0]}-{f[1] or 'untyped'}-{i}" for i, f in enumerate(FORMS)])
def test_recall_times_of_every_form_decide_as_tier_arrays(request, database, kind, stored, given, options):
    db = request.getfixturevalue(f"{database}_db")
    make_table(db, kind, stored)
    for now in (NOW, NOW_ISO, at(NOW)):
        db.execute("UPDATE memories SET tier = NULL, action = NULL, retention = NULL")
        result = retier(db.url, "memories", recalled_at="recalled", now=now,
                        retention_column="retention", **options)
        assert result.now == NOW and result.rows == len(stored)
        assert tiered(db) == wanted(given or stored, now=NOW, **options)


# (time stored on SQLite, options, the message after "row id=0: column 'recalled' is ")
FUTURE = [
    (NOW * 1000, {}, "1750000000000 Unix seconds, 20234375 days after now (2025-06-15T15:06:40Z),"
     " more than the allowed clock skew of 300 seconds: milliseconds read as seconds? Give the time"
     " unit ms (time_unit='ms', --time-unit ms); or allow more skew with max_skew (--max-skew)"),
    ("2025-06-15T18:30:00", {}, "2025-06-15T18:30:00Z, 3.4 hours after now (2025-06-15T15:06:40Z),"
     " more than the allowed clock skew of 300 seconds: a local time read as UTC (a time without an"
     " offset counts as UTC)?; or allow more skew with max_skew (--max-skew)"),
    (NOW + 30 * DAY, {}, "2025-07-15T15:06:40Z, 30 days after now (2025-06-15T15:06:40Z), more than the"
     " allowed clock skew of 300 seconds: is it in another unit or time zone?; or allow more skew"
     " with max_skew (--max-skew)"),
    (NOW + 120, {"max_skew": 60}, "2025-06-15T15:08:40Z, 120 seconds after now (2025-06-15T15:06:40Z),"
     " more than the allowed clock skew of 60 seconds: a local time read as UTC (a time without an"
     " offset counts as UTC)?; or allow more skew with max_skew (--max-skew)"),
    (None, {}, "NULL, not a time (a number of the time unit, or ISO-8601 text)"),
    ("yesterday", {}, "the text 'yesterday', not a time: ISO-8601 (2025-06-15T12:00:00Z, 2025-06-15) or a"
     " number in the time unit (seconds)"),
    (b"\x01", {}, "the blob b'\\x01', not a time (a number of the time unit, or ISO-8601 text)"),
    (" 2025-06-01", {}, "the text ' 2025-06-01', not a time: ISO-8601 (2025-06-15T12:00:00Z, 2025-06-15)"
     " or a number in the time unit (seconds)"),
]


@pytest.mark.parametrize("value, options, message", FUTURE)
def test_a_time_that_is_not_a_recall_time_is_a_bad_row_named_with_the_fix(sqlite_db, tmp_path, value,
                                                                            options, message):
    db = sqlite_db
    make_table(db, "", [value, NOW - DAY, NOW - 2 * DAY])
    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories", recalled_at="recalled", now=NOW, **options)
    assert str(caught.value) == f"row id=0: column 'recalled' is {message}"
    errors = tmp_path / "bad.jsonl"
    result = retier(db.url, "memories", recalled_at="recalled", now=NOW, errors=errors, **options)
    assert (result.rows, result.bad_rows) == (2, 1)
    assert json.loads(errors.read_text()) == {"column": "recalled", "key": 0,
                                               "message": f"column 'recalled' is {message}"}
    assert [r[:2] for r in tiered(db)] == [(None, None)] + [r[:2] for r in wanted(
        [NOW, NOW - DAY, NOW - 2 * DAY], now=NOW)[1:]]


def test_every_bad_time_of_a_batch_is_set_aside_and_the_rest_decided(db, tmp_path):
    """The engine stops at a batch's first refused time; the run goes on after it."""
    t = "timestamptz" if db.kind == "postgres" else "INTEGER"
    times = [NOW - i * DAY for i in range(40)]
    bad = {3: NOW + 10 * DAY, 4: NOW + 11 * DAY, 17: None, 39: NOW + 3600}
    stored = [bad.get(i, v) for i, v in enumerate(times)]
    make_table(db, t, [at(v) if db.kind == "postgres" and v is not None else v for v in stored])
    errors = tmp_path / "bad.jsonl"
    result = retier(db.url, "memories", recalled_at="recalled", now=NOW, errors=errors, batch_size=16)
    assert [json.loads(line)["key"] for line in errors.read_text().splitlines()] == sorted(bad)
    assert (result.rows, result.bad_rows) == (36, 4)
    good = [i for i in range(40) if i not in bad]
    want = wanted(times, now=NOW)
    assert [r[:2] for i, r in enumerate(tiered(db)) if i in good] == [want[i][:2] for i in good]
    # Within the clock skew a time after now is day 0: with one hour allowed, row 39 is good.
    again = retier(db.url, "memories", recalled_at="recalled", now=NOW, errors=errors, max_skew=3600)
    assert again.bad_rows == 3 and tiered(db)[39][:2] == wanted(times[:39] + [NOW], now=NOW)[39][:2]


def test_postgres_infinite_times_are_named(postgres_db):
    db = postgres_db
    make_table(db, "timestamptz", [at(NOW - DAY)])
    for value, word in (("infinity", "infinity"), ("-infinity", "-infinity")):
        db.execute(f"UPDATE memories SET recalled = '{value}'")
        with pytest.raises(RetierError, match=f"^row id=0: column 'recalled' is {word}, not a finite time$"):
            retier(db.url, "memories", recalled_at="recalled", now=NOW)


def test_numbers_of_other_types_count_as_their_nearest_double(postgres_db):
    """numeric (exact decimals), real and integer columns, as tier_arrays takes the same numbers."""
    db = postgres_db
    db.execute("CREATE TABLE memories (id int PRIMARY KEY, days_since_recall numeric, retrieval_count"
               " bigint, importance numeric(40, 35), frequency real, tier text, action text)")
    rows = [(0, Decimal("7.0000000000000000000001"), 1, Decimal("0.64999999999999999999999999999999999"),
             0.25),
            (1, Decimal("29.999999999999999999"), 9_007_199_254_740_993, Decimal("0.1"), 0.1),
            (2, Decimal("180"), 3, Decimal("1.00000000000000000000000000000000001"), 1e-3)]
    db.conn.cursor().executemany("INSERT INTO memories VALUES (%s, %s, %s, %s, %s)", rows)
    db.conn.commit()
    retier(db.url, "memories")
    out = quillmarrow_engine.tier_arrays(
        [float(r[1]) for r in rows], [float(r[2]) for r in rows], [float(r[3]) for r in rows],
        np.array([r[4] for r in rows], dtype=np.float32))
    assert db.query("SELECT tier, action FROM memories ORDER BY id") == [
        (quillmarrow_engine.TIERS[t], quillmarrow_engine.ACTIONS[a])
        for t, a in zip(out.tier.tolist(), out.action.tolist())]


# (keywords, command-line options, the message both give)
REFUSED = [
    ({"time_unit": "ms"}, ["--time-unit", "ms"],
     "time_unit applies to recall times: give recalled_at= (--recalled-at COLUMN) too"),
    ({"now": NOW, "max_skew": 60}, ["--now", str(NOW), "--max-skew", "60"],
     "now, max_skew applies to recall times: give recalled_at= (--recalled-at COLUMN) too"),
    ({"recalled_at": "recalled", "now": "soon"}, ["--recalled-at", "recalled", "--now", "soon"],
     "now is not a time: 'soon' (ISO-8601 such as 2026-01-01T00:00:00Z, Unix seconds, or a datetime)"),
    ({"recalled_at": "recalled", "max_skew": -1.0}, ["--recalled-at", "recalled", "--max-skew", "-1"],
     "max_skew must be a finite number of seconds, 0 or more, not -1.0"),
    ({"recalled_at": "recalled", "columns": {"days_since_recall": "d"}},
     ["--recalled-at", "recalled", "--column", "days_since_recall=d"],
     "give either recall times (recalled_at= / --recalled-at) or a days_since_recall column"
     " (columns={'days_since_recall': ...} / --column days_since_recall=COLUMN), not both"),
]


@pytest.mark.parametrize("keywords, options, message", REFUSED)
def test_options_read_and_fail_as_on_every_road(sqlite_db, keywords, options, message):
    db = sqlite_db
    make_table(db, "INTEGER", [NOW - DAY])
    with pytest.raises(RetierError) as caught:
        retier(db.url, "memories", **keywords)
    assert str(caught.value) == message and caught.value.result is None
    # tier_table says the same for the same options.
    pa = pytest.importorskip("pyarrow", reason="the comparison with tier_table needs pyarrow")
    with pytest.raises((ValueError, TypeError)) as other:
        quillmarrow_engine.tier_table(pa.table({"recalled": [NOW - DAY]}), **keywords)
    assert str(other.value) == message
    done = run_cli("retier", db.url, "--table", "memories", *options)
    assert done.returncode == 2 and done.stderr.endswith(f"error: {message}\n"), done.stderr
    assert tiered(db) == [(None, None, None)]


def test_the_command_line_takes_the_unit_and_the_skew(db):
    t = "bigint" if db.kind == "postgres" else "INTEGER"
    stored = [(NOW - 3 * DAY) * 1000, NOW * 1000 + 90_000]  # the second 90 s ahead
    make_table(db, t, stored)
    args = ["retier", db.url, "--table", "memories", "--recalled-at", "recalled",
            "--now", NOW_ISO, "--retention-column", "retention", "-q"]
    done = run_cli(*args, "--time-unit", "ms", "--max-skew", "60")
    assert done.returncode == 1
    assert done.stderr.startswith("quillmarrow-engine: row id=1: column 'recalled' is"
                                  " 2025-06-15T15:08:10Z, 90 seconds after now")
    done = run_cli(*args, "--time-unit", "ms")
    assert (done.returncode, done.stderr) == (0, "")
    assert tiered(db) == wanted(stored, now=NOW, time_unit="ms")
    usage = run_cli(*args, "--time-unit", "sec")
    assert usage.returncode == 2 and "argument --time-unit: invalid choice: 'sec'" in usage.stderr
