"""tier_table and score_table on every DataFrame library, with the shared
vocabulary: the same kind comes back, every dtype of numbers and recall
times gives bit for bit what tier_arrays gives for the same doubles, and
bad input is refused naming the column, the row and the fix."""

import datetime as dt
import decimal
import random

import pytest

np = pytest.importorskip("numpy", reason="numpy is not installed (pip install '.[tables]')")
pd = pytest.importorskip("pandas", reason="pandas is not installed (pip install '.[tables]')")
pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install '.[tables]')")

import quillmarrow_engine as qe  # noqa: E402
from quillmarrow_engine.frames.values import as_array  # noqa: E402

try:
    import polars as pl
except ImportError:  # pragma: no cover - requirements-test.txt installs it
    pl = None
try:
    import duckdb
except ImportError:  # pragma: no cover
    duckdb = None

needs_polars = pytest.mark.skipif(pl is None, reason="polars is not installed (pip install '.[polars]')")
needs_duckdb = pytest.mark.skipif(duckdb is None, reason="duckdb is not installed (pip install '.[duckdb]')")

NOW = 1_750_000_000.0  # 2025-06-15T15:06:40Z
NOW_TEXT = "2025-06-15T15:06:40Z"
# Recall times as whole microseconds, on and beside the tiering day marks.
RECALLED_US = [
    1_750_000_000_000_000 - int(days * 86_400e6) - extra
    for days, extra in [(0, 0), (2, 1), (7, 0), (7, -1), (30, 123_456), (180, 0), (400, 999_999)]
]
N = len(RECALLED_US)
COUNTS = [3.0, 20.0, 1000.0, 5.0, 1.0, 0.0, 4.0]
IMPORTANCE = [0.5, 0.5, 0.0, 0.2, 0.9, 0.2, 0.7]
FREQUENCY = [0.2, 0.5, 0.0, 0.1, 0.1, 0.1, 0.3]


def expected_days():
    """The rule, written out: whole microseconds over 1e6, then (now - t) / 86400."""
    return np.array([(NOW - us / 1e6) / 86400.0 for us in RECALLED_US])


def reference(days=None):
    days = expected_days() if days is None else days
    return qe.tier_arrays(days, COUNTS, IMPORTANCE, FREQUENCY)


def assert_same_bits(got, want):
    assert np.asarray(got, dtype=np.float64).view(np.uint64).tolist() == want.view(np.uint64).tolist()


def base_frame(**extra):
    return pd.DataFrame({"retrieval_count": COUNTS, "importance": IMPORTANCE, "frequency": FREQUENCY, **extra})


def to_library(frame, library):
    """The pandas frame as the library's own table."""
    if library == "pandas":
        return frame
    if library == "arrow":
        return pa.Table.from_pandas(frame, preserve_index=False)
    if library == "batch":
        return pa.RecordBatch.from_pandas(frame, preserve_index=False)
    if library == "polars":
        return pl.from_arrow(pa.Table.from_pandas(frame, preserve_index=False))
    if library == "lazy":
        return pl.from_arrow(pa.Table.from_pandas(frame, preserve_index=False)).lazy()
    if library == "duckdb":
        return duckdb.connect().from_arrow(pa.Table.from_pandas(frame, preserve_index=False))
    raise AssertionError(library)


def column_values(result, library, name):
    """A result column as a NumPy array (or list of names)."""
    if library == "lazy":
        result = result.collect()
    if library == "duckdb":
        result = result.arrow()
        if hasattr(result, "read_all"):
            result = result.read_all()
    if library in ("arrow", "batch", "duckdb"):
        column = result.column(name)
        return column.to_numpy() if name in ("retention", "stability", "boost") else column.to_pylist()
    series = result[name]
    return series.to_numpy() if name in ("retention", "stability", "boost") else [str(v) for v in series.to_list()]


LIBRARIES = [
    "pandas",
    "arrow",
    "batch",
    pytest.param("polars", marks=needs_polars),
    pytest.param("lazy", marks=needs_polars),
    pytest.param("duckdb", marks=needs_duckdb),
]


def recall_column(kind):
    """Recall times of the kind as a pandas column (Arrow-backed where the
    kind is an Arrow type)."""
    us = np.array(RECALLED_US, dtype=np.int64)
    zone = "Asia/Kolkata"
    if kind.startswith("ts-"):
        unit, tz = kind[3:].split("-", 1) if kind.count("-") > 1 else (kind[3:], None)
        values = pa.array(us, pa.timestamp("us")).cast(pa.timestamp(unit, tz=tz), safe=False)
        return pd.Series(values.to_pandas(types_mapper=pd.ArrowDtype))
    return {
        "datetime64[ns]": lambda: pd.Series(us.astype("M8[us]").astype("M8[ns]")),
        "datetime64[s]": lambda: pd.Series(us.astype("M8[us]").astype("M8[s]")),
        "datetime64[ns, tz]": lambda: pd.Series(pd.to_datetime(us, unit="us", utc=True).tz_convert(zone)),
        "iso-text": lambda: pd.Series(
            [dt.datetime.fromtimestamp(u / 1e6, dt.timezone.utc).isoformat() for u in RECALLED_US]
        ),
        "iso-text-offset-lower": lambda: pd.Series(
            [dt.datetime.fromtimestamp(u // 10**6, dt.timezone(dt.timedelta(hours=-4, minutes=-30)))
             .isoformat().replace("T", "t") + f".{u % 10**6:06d}" for u in RECALLED_US]
        ).str.replace(r"(-04:30)(\.\d+)$", r"\2\1", regex=True),
        "arrow-string": lambda: pd.Series(
            pd.array([dt.datetime.fromtimestamp(u / 1e6, dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
                      for u in RECALLED_US], dtype="string[pyarrow]")
        ),
        "object-datetime": lambda: pd.Series(
            [dt.datetime.fromtimestamp(u / 1e6, dt.timezone.utc) for u in RECALLED_US], dtype=object
        ),
    }[kind]()


TIME_KINDS = [
    "ts-s", "ts-ms", "ts-us", "ts-ns", "ts-ms-UTC", "ts-us-Asia/Kolkata", "ts-ns-America/New_York",
    "datetime64[ns]", "datetime64[s]", "datetime64[ns, tz]", "iso-text", "iso-text-offset-lower",
    "arrow-string", "object-datetime",
]


def truncated_days(kind):
    """Times of seconds or milliseconds hold less than the microseconds."""
    if kind in ("ts-s", "datetime64[s]"):
        return np.array([(NOW - (us // 10**6) * 10**6 / 1e6) / 86400.0 for us in RECALLED_US])
    if kind.startswith("ts-ms"):
        return np.array([(NOW - (us // 10**3) * 10**3 / 1e6) / 86400.0 for us in RECALLED_US])
    if kind == "iso-text-offset-lower":
        return expected_days()
    return expected_days()


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("kind", TIME_KINDS)
def test_recall_times_of_every_type_give_the_rules_days(library, kind):
    frame = base_frame(last_recalled_at=recall_column(kind))
    if library in ("polars", "lazy") and kind == "object-datetime":
        pytest.skip("Polars has no object columns")
    result = qe.tier_table(to_library(frame, library), recalled_at="last_recalled_at", now=NOW_TEXT)
    want = reference(truncated_days(kind))
    assert_same_bits(column_values(result, library, "retention"), want.retention)
    assert column_values(result, library, "action") == [qe.ACTIONS[a] for a in want.action]


def number_column(kind, values):
    return {
        "float64": lambda: pd.Series(values, dtype="float64"),
        "float32": lambda: pd.Series(np.array(values, dtype=np.float32)),
        "Float64": lambda: pd.Series(values, dtype="Float64"),
        "double[pyarrow]": lambda: pd.Series(values, dtype="double[pyarrow]"),
        "decimal128[pyarrow]": lambda: pd.Series(
            pa.array([decimal.Decimal(repr(v)) for v in values], pa.decimal128(30, 12)),
            dtype=pd.ArrowDtype(pa.decimal128(30, 12)),
        ),
        "decimal256[pyarrow]": lambda: pd.Series(
            pa.array([decimal.Decimal(repr(v)) for v in values], pa.decimal256(60, 20)),
            dtype=pd.ArrowDtype(pa.decimal256(60, 20)),
        ),
        "object-Decimal": lambda: pd.Series([decimal.Decimal(repr(v)) for v in values], dtype=object),
    }[kind]()


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize(
    "kind", ["float64", "float32", "Float64", "double[pyarrow]", "decimal128[pyarrow]", "decimal256[pyarrow]",
             "object-Decimal"],
)
def test_numbers_of_every_type_give_tier_arrays_answers(library, kind):
    if library in ("polars", "lazy", "duckdb", "arrow", "batch") and kind == "object-Decimal":
        pytest.skip("object columns exist only in pandas")
    if library in ("polars", "lazy", "duckdb") and kind == "decimal256[pyarrow]":
        pytest.skip(f"{library} has no 256-bit decimals")
    days = expected_days()
    frame = base_frame(days_since_recall=days)
    frame["importance"] = number_column(kind, IMPORTANCE)
    result = qe.tier_table(to_library(frame, library))
    importance = np.array(IMPORTANCE, dtype=np.float32 if kind == "float32" else np.float64)
    want = qe.tier_arrays(days, COUNTS, importance, FREQUENCY)
    assert_same_bits(column_values(result, library, "retention"), want.retention)


@pytest.mark.parametrize("width, precision, scale", [(128, 38, 0), (128, 38, 10), (128, 38, 30), (256, 70, 25),
                                                      (128, 20, -3)])
def test_decimals_become_their_nearest_double(width, precision, scale):
    rng = random.Random(width * 1000 + scale)
    digits = precision
    values = [decimal.Decimal(rng.randrange(-10**digits + 1, 10**digits)).scaleb(-scale) for _ in range(2000)]
    values += [decimal.Decimal(rng.randrange(-2**53, 2**53)).scaleb(-scale) for _ in range(2000)]
    kind = pa.decimal128(precision, scale) if width == 128 else pa.decimal256(precision, scale)
    array = pa.array(values, kind).slice(7)  # an offset into the buffer too
    got = as_array("column 'x'", array)
    assert got.tolist() == [float(v) for v in values[7:]]


@pytest.mark.parametrize("library, natural", [
    ("pandas", "category"), ("arrow", "dictionary<values=string, indices=int8, ordered=0>"),
    ("batch", "dictionary<values=string, indices=int8, ordered=0>"),
    pytest.param("polars", "Enum", marks=needs_polars), pytest.param("lazy", "Enum", marks=needs_polars),
    pytest.param("duckdb", "VARCHAR", marks=needs_duckdb),
])
def test_the_same_kind_comes_back_with_names_in_its_natural_form(library, natural):
    data = to_library(base_frame(days_since_recall=expected_days(), text=["m"] * N), library)
    result = qe.tier_table(data)
    assert type(result) is type(data)
    if library == "pandas":
        kinds = [str(result[c].dtype) for c in ("tier", "action")]
        assert list(result.columns) == ["retrieval_count", "importance", "frequency", "days_since_recall", "text",
                                        "retention", "tier", "action"]
    elif library in ("arrow", "batch"):
        kinds = [str(result.schema.field(c).type) for c in ("tier", "action")]
    elif library in ("polars", "lazy"):
        schema = result.collect_schema()
        kinds = [type(schema[c]).__name__ for c in ("tier", "action")]
        assert schema["tier"] == pl.Enum(qe.TIERS) and schema["action"] == pl.Enum(qe.ACTIONS)
    else:
        kinds = [str(t) for t in result.types[-2:]]
    assert kinds == [natural, natural]


def test_a_stream_object_and_a_bare_capsule_give_a_pyarrow_table():
    table = pa.Table.from_pandas(base_frame(days_since_recall=expected_days()), preserve_index=False)

    class Stream:
        def __arrow_c_stream__(self, requested_schema=None):
            return table.__arrow_c_stream__(requested_schema)

    for data in (Stream(), table.__arrow_c_stream__()):
        result = qe.tier_table(data)
        assert isinstance(result, pa.Table)
        assert_same_bits(result.column("retention").to_numpy(), reference().retention)


def test_score_table_adds_retention_stability_and_boost():
    frame = base_frame(days_since_recall=expected_days())
    scored = qe.score_table(frame)
    want = qe.score_arrays(expected_days(), COUNTS, IMPORTANCE, FREQUENCY)
    for name in ("retention", "stability", "boost"):
        assert_same_bits(scored[name].to_numpy(), getattr(want, name))
    assert "tier" not in scored


def test_columns_map_inputs_and_results():
    frame = pd.DataFrame({"d": expected_days(), "n": COUNTS, "imp": IMPORTANCE, "freq": FREQUENCY,
                          "pinned": [False] * (N - 1) + [True]})
    tiered = qe.tier_table(frame, columns={"days_since_recall": "d", "retrieval_count": "n", "importance": "imp",
                                           "frequency": "freq", "keep_forever": "pinned", "tier": "memory_tier"})
    want = qe.tier_arrays(expected_days(), COUNTS, IMPORTANCE, FREQUENCY, keep_forever=frame["pinned"])
    assert list(tiered.columns) == ["d", "n", "imp", "freq", "pinned", "retention", "memory_tier", "action"]
    assert_same_bits(tiered["retention"].to_numpy(), want.retention)
    assert tiered["action"].iloc[-1] == "keep_forever_tag"


def test_tier_arrays_takes_recall_times():
    times = np.array(RECALLED_US, dtype="M8[us]")
    got = qe.tier_arrays(None, COUNTS, IMPORTANCE, FREQUENCY, recalled_at=times, now=NOW)
    assert_same_bits(got.retention, reference().retention)
    scored = qe.score_arrays(None, COUNTS, IMPORTANCE, FREQUENCY, recalled_at=times,
                             now=dt.datetime(2025, 6, 15, 15, 6, 40))
    assert_same_bits(scored.retention, qe.score_arrays(expected_days(), COUNTS, IMPORTANCE, FREQUENCY).retention)


@pytest.mark.parametrize("values, unit", [
    ([s / 1e6 for s in RECALLED_US], None),
    ([s // 1000 * 1.0 for s in RECALLED_US], "ms"),
    (RECALLED_US, "us"),
    ([s * 1000 for s in RECALLED_US], "ns"),
    ([str(s) for s in RECALLED_US], "us"),
])
def test_numbers_and_numeric_texts_take_the_time_unit(values, unit):
    got = qe.tier_arrays(None, COUNTS, IMPORTANCE, FREQUENCY, recalled_at=values, now=NOW, time_unit=unit)
    divisor = {None: 1.0, "ms": 1e3, "us": 1e6, "ns": 1e9}[unit]
    days = np.array([(NOW - float(v) / divisor) / 86400.0 for v in values])
    assert_same_bits(got.retention, reference(days).retention)


FUTURE = [
    # (recall times, options, message fragment)
    ([1_750_000_000_000.0], {}, "column 'recalled_at': row 0 is 1750000000000 Unix seconds, 20234376 days after now "
     "(2025-06-14T15:06:40Z), more than the allowed clock skew of 300 seconds: milliseconds read as seconds? "
     "Give the time unit ms (time_unit='ms', --time-unit ms); or allow more skew with max_skew (--max-skew)"),
    (["2025-06-14T18:30:00"], {}, "column 'recalled_at': row 0 is 2025-06-14T18:30:00Z, 3.4 hours after now "
     "(2025-06-14T15:06:40Z), more than the allowed clock skew of 300 seconds: a local time read as UTC (a time "
     "without an offset counts as UTC)?; or allow more skew with max_skew (--max-skew)"),
    ([NOW - 86400 + 301], {}, "row 0 is 2025-06-14T15:11:41Z, 301 seconds after now"),
]


@pytest.mark.parametrize("times, options, message", FUTURE, ids=[f[2][:40] for f in FUTURE])
def test_a_recall_time_after_now_is_refused_naming_row_value_and_fix(times, options, message):
    with pytest.raises(ValueError) as caught:
        qe.tier_arrays(None, [1.0], [0.5], [0.5], recalled_at=times, now=NOW - 86400, **options)
    assert message in str(caught.value)


def test_within_the_skew_a_future_time_is_day_zero():
    ahead = [NOW + 300.0, NOW + 1.0]
    got = qe.tier_arrays(None, [1.0, 1.0], [0.5, 0.5], [0.5, 0.5], recalled_at=ahead, now=NOW)
    assert_same_bits(got.retention, qe.tier_arrays([0.0, 0.0], [1.0, 1.0], [0.5, 0.5], [0.5, 0.5]).retention)
    got = qe.tier_arrays(None, [1.0], [0.5], [0.5], recalled_at=[NOW + 3600], now=NOW, max_skew=3600)
    assert got.tier.tolist() == [qe.TIERS.index("hot")]


REFUSED = [
    # (tier_table keywords, the frame's columns, exception, message)
    ({}, {"days_since_recall": None}, ValueError,
     "missing column 'days_since_recall' (field days_since_recall); map another with "
     "columns={'days_since_recall': ...} / --column days_since_recall=COLUMN, or give recall times with "
     "recalled_at="),
    ({"columns": {"importance": "imp"}}, {}, ValueError,
     "missing column 'imp' (field importance); map another with columns={'importance': ...} / "
     "--column importance=COLUMN"),
    ({"recalled_at": "last"}, {}, ValueError,
     "missing column 'last' (the recall times, recalled_at= / --recalled-at)"),
    ({"columns": {"keep_forever": "pinned"}}, {}, ValueError,
     "missing column 'pinned' (field keep_forever); map another with columns={'keep_forever': ...} / "
     "--column keep_forever=COLUMN"),
    ({"columns": {"imp": "importance"}}, {}, ValueError,
     "unknown field 'imp' in columns (fields: days_since_recall, retrieval_count, importance, frequency, "
     "is_procedural, keep_forever; results: retention, tier, action)"),
    ({"columns": ["importance"]}, {}, TypeError,
     "columns must map field names to column names (a dict), not list"),
    ({"recalled_at": "t", "columns": {"days_since_recall": "d"}}, {}, ValueError,
     "give either recall times (recalled_at= / --recalled-at) or a days_since_recall column "
     "(columns={'days_since_recall': ...} / --column days_since_recall=COLUMN), not both"),
    ({"now": NOW, "time_unit": "ms"}, {}, ValueError,
     "now, time_unit applies to recall times: give recalled_at= (--recalled-at COLUMN) too"),
    ({"recalled_at": "t", "time_unit": "sec"}, {}, ValueError, "time_unit must be 's', 'ms', 'us' or 'ns', not 'sec'"),
    ({"recalled_at": "t", "max_skew": -1}, {}, ValueError,
     "max_skew must be a finite number of seconds, 0 or more, not -1"),
    ({"recalled_at": "t", "now": "next tuesday"}, {}, ValueError,
     "now is not a time: 'next tuesday' (ISO-8601 such as 2026-01-01T00:00:00Z, Unix seconds, or a datetime)"),
    ({"columns": {"importance": "imp"}}, {"imp": [0.5, float("nan")]}, ValueError,
     "column 'imp' (field importance): row 1 is nan, not a finite number"),
    ({"recalled_at": "t"}, {"t": ["2025-01-01", "15/06/2025"]}, ValueError,
     "column 't': row 1 is the text '15/06/2025', not a time: ISO-8601 (2025-06-15T12:00:00Z, 2025-06-15) or a "
     "number in the time unit (seconds)"),
    ({"recalled_at": "t"}, {"t": [True, False]}, TypeError,
     "column 't' must hold recall times (timestamps, dates, numbers or texts), not bool"),
]


@pytest.mark.parametrize("keywords, columns, error, message", REFUSED, ids=[r[3][:50] for r in REFUSED])
def test_bad_options_and_columns_are_refused_with_the_fix(keywords, columns, error, message):
    frame = pd.DataFrame({"days_since_recall": [1.0, 2.0], "retrieval_count": [1, 2], "importance": [0.5, 0.5],
                          "frequency": [0.5, 0.5]})
    for name, values in columns.items():
        if values is None:
            frame = frame.drop(columns=name)
        else:
            frame[name] = values
    with pytest.raises(error) as caught:
        qe.tier_table(frame, **keywords)
    assert str(caught.value) == message


@needs_polars
@pytest.mark.parametrize("column, values, message", [
    ("importance", [0.5, None], "column 'importance': row 1 is null, not a number"),
    ("keep_forever", [False, None], "column 'keep_forever': row 1 is null, not a flag"),
    ("t", [None, "2025-01-01"], "column 't': row 0 is null, not a time"),
])
def test_polars_nulls_are_called_null(column, values, message):
    frame = pl.DataFrame({"retrieval_count": [1, 2], "importance": [0.5, 0.5], "frequency": [0.5, 0.5],
                          "t": ["2025-01-01", "2025-01-02"]})
    frame = frame.with_columns(pl.Series(column, values))
    with pytest.raises(ValueError) as caught:
        qe.tier_table(frame, recalled_at="t", now=NOW)
    assert str(caught.value) == message


@needs_polars
def test_a_lazy_frame_stays_lazy_and_fails_at_collect():
    frame = pl.DataFrame({"days_since_recall": [1.0, float("nan")], "retrieval_count": [1, 2],
                          "importance": [0.5, 0.5], "frequency": [0.5, 0.5]}).lazy()
    tiered = qe.tier_table(frame)
    assert isinstance(tiered, pl.LazyFrame)
    with pytest.raises(ValueError, match=r"column 'days_since_recall': row 1 is nan"):
        tiered.collect()
    with pytest.raises(ValueError, match="missing column 'frequency'"):
        qe.tier_table(frame.drop("frequency"))


@pytest.mark.parametrize("make, name", [
    (lambda: {"a": [1]}, "builtins.dict"),
    (lambda: pd.Series([1.0]), "pandas.Series"),
    (lambda: np.zeros(3), "numpy.ndarray"),
    pytest.param(lambda: pl.Series([1.0]), "polars.series.series.Series", marks=needs_polars),
])
def test_an_unsupported_object_is_named_by_its_full_type(make, name):
    with pytest.raises(TypeError) as caught:
        qe.tier_table(make())
    assert f", not {name}" in str(caught.value)
    assert "a Polars DataFrame or LazyFrame" in str(caught.value)


def test_now_defaults_to_the_moment_of_the_call():
    import time

    before = time.time()
    got = qe.tier_arrays(None, [1.0], [0.5], [0.5], recalled_at=[before - 86400.0])
    after = time.time()
    retention = got.retention[0]
    bounds = [qe.tier_arrays([(t - (before - 86400.0)) / 86400.0], [1.0], [0.5], [0.5]).retention[0]
              for t in (before, after + 1e-3)]
    assert min(bounds) <= retention <= max(bounds)


MIDNIGHTS_US = [1_749_945_600_000_000, 1_704_067_200_000_000, 1_262_304_000_000_000]  # 2025-06-15, 2024-01-01, 2010-01-01


def dates_as(kind):
    days = [us // 86_400_000_000 for us in MIDNIGHTS_US]
    texts = ["2025-06-15", "2024-01-01", "2010-01-01"]
    return {
        "numpy datetime64[D]": lambda: np.array(days, dtype="M8[D]"),
        "numpy datetime64[h]": lambda: np.array([d * 24 for d in days], dtype="M8[h]"),
        "arrow date32": lambda: pa.array(days, pa.date32()),
        "arrow date64": lambda: pa.array([d * 86_400_000 for d in days], pa.date64()),
        "python dates": lambda: pd.Series([dt.date.fromisoformat(t) for t in texts], dtype=object),
        "arrow large_string": lambda: pa.array(texts, pa.large_string()),
        "arrow string_view": lambda: pa.array(texts, pa.string_view()),
        "chunked string": lambda: pa.chunked_array([texts[:1], texts[1:]]),
        "sliced string": lambda: pa.array(["x"] + texts).slice(1),
        "numpy str": lambda: np.array(texts),
        "list of str": lambda: list(texts),
        "polars Date": lambda: pl.Series(texts).str.to_date(),
        "polars String": lambda: pl.Series(texts),
        "polars Datetime(ns, UTC)": lambda: pl.Series(texts).str.to_datetime(time_unit="ns", time_zone="UTC"),
    }[kind]()


@pytest.mark.parametrize("kind", [
    "numpy datetime64[D]", "numpy datetime64[h]", "arrow date32", "arrow date64", "python dates",
    "arrow large_string", "arrow string_view", "chunked string", "sliced string", "numpy str", "list of str",
    pytest.param("polars Date", marks=needs_polars), pytest.param("polars String", marks=needs_polars),
    pytest.param("polars Datetime(ns, UTC)", marks=needs_polars),
])
def test_dates_and_texts_are_their_midnight_utc(kind):
    got = qe.tier_arrays(None, [1.0] * 3, [0.5] * 3, [0.5] * 3, recalled_at=dates_as(kind), now=NOW)
    days = np.array([(NOW - us / 1e6) / 86400.0 for us in MIDNIGHTS_US])
    assert_same_bits(got.retention, qe.tier_arrays(days, [1.0] * 3, [0.5] * 3, [0.5] * 3).retention)


@pytest.mark.parametrize("kind", ["int64 ms", "decimal seconds", "numeric text ms", "float32 s"])
def test_numbers_of_every_type_as_recall_times(kind):
    seconds = [1_749_945_600, 1_704_067_200]
    values = {
        "int64 ms": (pa.array([s * 1000 for s in seconds], pa.int64()), "ms"),
        "decimal seconds": (pa.array([decimal.Decimal(s) for s in seconds], pa.decimal128(12, 0)), None),
        "numeric text ms": (pa.array([f"{s * 1000}" for s in seconds]), "ms"),
        "float32 s": (np.array(seconds, dtype=np.float32), None),
    }[kind]
    got = qe.tier_arrays(None, [1.0, 1.0], [0.5, 0.5], [0.5, 0.5], recalled_at=values[0], now=NOW,
                         time_unit=values[1])
    recalled = np.array(seconds, dtype=np.float32).astype(np.float64) if kind == "float32 s" else seconds
    days = np.array([(NOW - float(s)) / 86400.0 for s in recalled])
    assert_same_bits(got.retention, qe.tier_arrays(days, [1.0, 1.0], [0.5, 0.5], [0.5, 0.5]).retention)
