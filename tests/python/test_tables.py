"""tier_table on pandas DataFrames and Arrow tables: columns added, the rest untouched."""

import math

import pytest

np = pytest.importorskip("numpy", reason="numpy is not installed (pip install '.[tables]')")
pd = pytest.importorskip("pandas", reason="pandas is not installed (pip install '.[tables]')")
pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install '.[tables]')")

import quillmarrow_engine as qe  # noqa: E402

ROWS = {
    "id": [10, 11, 12, 13],
    "text": ["tea", "keys", "how to bake", "birthday"],
    "days_since_recall": [2.0, 45.0, 10.0, 200.0],
    "retrieval_count": [3, 1000, 5, 1],
    "importance": [0.5, 0.0, 0.2, 0.9],
    "frequency": [0.2, 0.0, 0.1, 0.9],
    "is_procedural": [False, False, True, False],
    "keep_forever": [0, 0, 0, 1],
}
EXPECTED_ACTIONS = ["inject_to_prompt", "maintain_warm", "keep_procedural", "keep_forever_tag"]
EXPECTED_TIERS = ["hot", "warm_episodic", "warm_procedural", "warm_semantic"]


def expected_retention():
    fields = [ROWS[name] for name in qe.columns.NUMBER_FIELDS + qe.columns.FLAG_FIELDS]
    return qe.tier_arrays(*fields).retention


def test_dataframe_gets_three_columns_and_keeps_the_others():
    frame = pd.DataFrame(ROWS)
    tiered = qe.tier_table(frame)
    assert list(tiered.columns) == [*ROWS, "retention", "tier", "action"]
    assert tiered["action"].tolist() == EXPECTED_ACTIONS
    assert tiered["tier"].tolist() == EXPECTED_TIERS
    assert isinstance(tiered["tier"].dtype, pd.CategoricalDtype)
    assert list(tiered["tier"].cat.categories) == list(qe.TIERS)
    assert list(tiered["action"].cat.categories) == list(qe.ACTIONS)
    assert tiered["retention"].dtype == np.float64
    assert np.array_equal(tiered["retention"].to_numpy(), expected_retention())
    pd.testing.assert_frame_equal(tiered[list(ROWS)], frame)
    assert list(frame.columns) == list(ROWS)  # the input is left as it was


def test_dataframe_tiered_again_replaces_its_columns():
    frame = pd.DataFrame(ROWS).set_index("id")
    once = qe.tier_table(frame)
    once["days_since_recall"] = 1000.0
    again = qe.tier_table(once)
    assert list(again.columns) == list(once.columns)
    assert again.index.equals(frame.index)
    assert again["action"].tolist() == ["archive_on_demand", "archive_on_demand", "keep_procedural",
                                        "keep_forever_tag"]


@pytest.mark.parametrize("kind", ["table", "batch", "chunked"])
def test_arrow_gets_dictionary_columns(kind):
    table = pa.table(ROWS)
    if kind == "chunked":
        table = pa.concat_tables([table.slice(0, 1), table.slice(1, 3)])
        assert table.column("importance").num_chunks == 2
    data = table.to_batches()[0] if kind == "batch" else table
    tiered = qe.tier_table(data)
    assert type(tiered) is type(data)
    assert tiered.schema.names == [*ROWS, "retention", "tier", "action"]
    assert tiered.schema.field("tier").type == pa.dictionary(pa.int8(), pa.string())
    assert tiered.column("action").to_pylist() == EXPECTED_ACTIONS
    assert tiered.column("tier").to_pylist() == EXPECTED_TIERS
    assert tiered.column("retention").type == pa.float64()
    assert np.array_equal(tiered.column("retention").to_numpy(), expected_retention())
    for name in ROWS:
        assert tiered.column(name).equals(data.column(name))


@pytest.mark.parametrize("kind", ["batch", "table", "chunked"])
@pytest.mark.parametrize("start", [0, 1, 7, 8, 9, 13])
def test_arrow_boolean_flags_at_any_bit_offset(start, kind):
    """Arrow packs booleans eight to a byte; a sliced batch's flags start at
    any bit of their first byte, and each chunk of a table's column at its own."""
    rng = np.random.default_rng(start)
    n = 40
    rows = {
        "days_since_recall": rng.uniform(0, 60, n), "retrieval_count": rng.integers(0, 9, n).astype(float),
        "importance": rng.random(n), "frequency": rng.random(n),
        "is_procedural": rng.random(n) < 0.5, "keep_forever": rng.random(n) < 0.3,
    }
    if kind == "batch":
        data = pa.record_batch(rows).slice(start, n - start - 3)
        assert data.column("keep_forever").offset == start
    else:
        table = pa.table(rows)
        if kind == "chunked":
            table = pa.concat_tables([table.slice(0, 5), table.slice(5, 11), table.slice(16)])
        data = table.slice(start, n - start - 3)
    expected = qe.tier_arrays(*[values[start:n - 3] for values in rows.values()])
    assert expected.action.tolist() != qe.tier_arrays(*[values[start:n - 3] for values in rows.values()][:4]).action.tolist()
    tiered = qe.tier_table(data)
    assert np.array_equal(tiered.column("retention").to_numpy(), expected.retention)
    assert tiered.column("action").to_pylist() == [qe.ACTIONS[code] for code in expected.action]
    assert tiered.column("tier").to_pylist() == [qe.TIERS[code] for code in expected.tier]


def test_arrow_schema_metadata_and_replaced_columns():
    table = pa.table(ROWS).replace_schema_metadata({"source": "memories"})
    table = table.append_column("action", pa.array(["x"] * 4))
    tiered = qe.tier_table(table)
    assert tiered.schema.metadata == {b"source": b"memories"}
    assert tiered.schema.names == [*ROWS, "action", "retention", "tier"]
    assert tiered.column("action").to_pylist() == EXPECTED_ACTIONS


@pytest.mark.parametrize("kind", ["pandas", "arrow"])
@pytest.mark.parametrize("old", ["retention", "tier", "action"])
def test_an_old_result_column_in_front_is_replaced_where_it_stands(kind, old):
    """A result column that leads the input stays first, now with the new values;
    the other two results follow the input's columns."""
    rows = {old: ["stale"] * 4, **ROWS}
    data = pd.DataFrame(rows) if kind == "pandas" else pa.table(rows)
    tiered = qe.tier_table(data)
    names = list(tiered.columns) if kind == "pandas" else tiered.schema.names
    added = [name for name in ("retention", "tier", "action") if name != old]
    assert names == [old, *ROWS, *added]
    column = tiered[old] if kind == "pandas" else tiered.column(old)
    values = column.tolist() if kind == "pandas" else column.to_pylist()
    want = {"retention": expected_retention().tolist(), "tier": EXPECTED_TIERS, "action": EXPECTED_ACTIONS}
    assert values == want[old]


def test_nullable_and_arrow_backed_pandas_columns():
    frame = pd.DataFrame(ROWS).astype({"retrieval_count": "Int64", "importance": "Float64",
                                        "is_procedural": "boolean", "frequency": "float64[pyarrow]"})
    assert qe.tier_table(frame)["action"].tolist() == EXPECTED_ACTIONS


def test_flags_are_optional():
    rows = {k: v for k, v in ROWS.items() if k not in ("is_procedural", "keep_forever")}
    actions = qe.tier_table(pd.DataFrame(rows))["action"].tolist()
    assert actions == ["inject_to_prompt", "maintain_warm", "archive_on_demand", "archive_on_demand"]


def test_zero_rows():
    dtypes = {"text": object, "is_procedural": bool, "keep_forever": "int8"}
    frame = pd.DataFrame({k: pd.Series([], dtype=dtypes.get(k, "float64")) for k in ROWS})
    assert len(qe.tier_table(frame)) == 0
    assert qe.tier_table(pa.table(frame)).num_rows == 0


def with_column(name, values):
    rows = dict(ROWS)
    rows[name] = values
    return rows


BAD_TABLES = [
    # (make the data, exception, message)
    (lambda: pd.DataFrame(with_column("importance", pd.array([0.5, None, 0.1, 0.2], dtype="Float64"))),
     ValueError, "column 'importance': row 1 is null, not a number"),
    (lambda: pa.table(with_column("frequency", pa.array([0.5, 0.1, None, 0.2]))),
     ValueError, "column 'frequency': row 2 is null, not a number"),
    (lambda: pa.table(with_column("keep_forever", pa.array([True, None, False, False]))),
     ValueError, "column 'keep_forever': row 1 is null, not a flag"),
    (lambda: pd.DataFrame(with_column("retrieval_count", [1.0, 2.0, 3.0, math.nan])),
     ValueError, "column 'retrieval_count': row 3 is nan, not a finite number"),
    (lambda: pd.DataFrame(with_column("days_since_recall", pd.Series(["1", "2", "3", "4"], dtype=object))),
     TypeError, "column 'days_since_recall' must hold numbers (floating-point or integers), not str (row 0)"),
    (lambda: pa.table(with_column("days_since_recall", ["1", "2", "3", "4"])),
     TypeError, "column 'days_since_recall' must hold numbers (floating-point or integers), not string"),
    (lambda: pd.DataFrame(with_column("is_procedural", [0, 1, 2, 0])),
     ValueError, "column 'is_procedural': row 2 is 2, not a flag (false, true, 0 or 1)"),
    (lambda: pa.table(with_column("keep_forever", [0.0, 1.0, 0.0, 0.0])),
     TypeError, "column 'keep_forever' must hold booleans or the integers 0 and 1, not double"),
    (lambda: pd.DataFrame({k: v for k, v in ROWS.items() if k != "frequency"}),
     ValueError, "missing column 'frequency' (field frequency); map another with "
     "columns={'frequency': ...} / --column frequency=COLUMN"),
    (lambda: pa.table({k: v for k, v in ROWS.items() if k != "importance"}),
     ValueError, "missing column 'importance' (field importance); map another with "
     "columns={'importance': ...} / --column importance=COLUMN"),
    (lambda: pd.DataFrame(with_column("importance", pd.Categorical([0.5, 0.1, 0.2, 0.3]))),
     TypeError, "column 'importance' must hold numbers (floating-point or integers), not category"),
    (lambda: pd.concat([pd.DataFrame(ROWS), pd.DataFrame({"importance": [1.0] * 4})], axis=1),
     ValueError, "column 'importance' appears 2 times"),
    (lambda: pa.table(ROWS).append_column("keep_forever", pa.array([0] * 4)),
     ValueError, "column 'keep_forever' appears 2 times"),
    (lambda: ROWS, TypeError, "tier_table takes a pandas DataFrame, a Polars DataFrame or LazyFrame, a "
     "pyarrow Table or RecordBatch, a DuckDB relation, or any object with __arrow_c_stream__ (the Arrow "
     "PyCapsule stream), not builtins.dict"),
    (lambda: pd.Series([1.0]), TypeError, "tier_table takes a pandas DataFrame, a Polars DataFrame or "
     "LazyFrame, a pyarrow Table or RecordBatch, a DuckDB relation, or any object with __arrow_c_stream__ "
     "(the Arrow PyCapsule stream), not pandas.Series; for separate arrays or Series use tier_arrays or "
     "score_arrays"),
]


@pytest.mark.parametrize("make, error, message", BAD_TABLES, ids=[m for _, _, m in BAD_TABLES])
def test_bad_tables_are_refused(make, error, message):
    with pytest.raises(error) as caught:
        qe.tier_table(make())
    assert str(caught.value) == message


def test_series_and_arrow_arrays_work_in_tier_arrays():
    frame = pd.DataFrame(ROWS)
    table = pa.table(ROWS)
    names = qe.columns.NUMBER_FIELDS + qe.columns.FLAG_FIELDS
    from_series = qe.tier_arrays(*(frame[n] for n in names))
    from_arrow = qe.tier_arrays(*(table.column(n) for n in names))
    assert qe.ACTIONS[from_series.action[0]] == EXPECTED_ACTIONS[0]
    for a, b in zip(from_series, from_arrow):
        assert np.array_equal(a, b)


def test_tier_table_memory_is_about_its_outputs():
    import tracemalloc

    rows = 500_000
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({"days_since_recall": rng.uniform(0, 400, rows), "retrieval_count": rng.integers(0, 40, rows),
                          "importance": rng.uniform(0, 1, rows), "frequency": rng.uniform(0, 1, rows)})
    tracemalloc.start()
    try:
        tiered = qe.tier_table(frame)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(tiered) == rows
    # 10 bytes a row of outputs; a copy of any one float column would add 8.
    assert peak < rows * (10 + 4)
