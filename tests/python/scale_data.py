"""Datasets and checks shared by the tests of tier-parquet and the Dask and
Spark integration points (not a test module itself).

The datasets come from examples/make_parquet.py. What every engine must
give is what quillmarrow_engine.tier_table gives on the same rows; on a
sample of rows that is checked in turn against run("tier", ...).
"""

from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import random

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
MAKER = REPO_ROOT / "examples" / "make_parquet.py"

CLUSTER_ROWS = 1_000_000
CLUSTER_FILES = 4
NEW_COLUMNS = ("retention", "tier", "action")
FIELDS = ("days_since_recall", "retrieval_count", "importance", "frequency", "is_procedural", "keep_forever")


# Set by the test command where the Dask and Spark extras are installed:
# there a missing piece fails the tests instead of skipping them.
REQUIRE_CLUSTERS = bool(os.environ.get("QM_REQUIRE_CLUSTERS"))


def skip_or_fail(reason: str) -> None:
    if REQUIRE_CLUSTERS:
        pytest.fail(f"QM_REQUIRE_CLUSTERS is set, but {reason}", pytrace=False)
    pytest.skip(reason, allow_module_level=True)


def need(module: str, why: str):
    """Import module, or skip the calling test module saying why."""
    if importlib.util.find_spec(module) is None:
        skip_or_fail(f"{module} is not installed ({why})")
    return importlib.import_module(module)


def maker():
    if not MAKER.exists():
        pytest.skip("examples/ not beside the tests", allow_module_level=True)
    spec = importlib.util.spec_from_file_location("make_parquet", MAKER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write_dataset(folder, rows=CLUSTER_ROWS, files=CLUSTER_FILES, seed=None):
    make = maker()
    return make.write_dataset(folder, rows, files, seed if seed is not None else make.DEFAULT_SEED)


def expected_table(path):
    """tier_table over a whole file or dataset, tier and action as dictionary<int32, string>."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    import quillmarrow_engine

    table = quillmarrow_engine.tier_table(pq.read_table(path))
    names = pa.dictionary(pa.int32(), pa.string())
    return table.set_column(
        table.schema.get_field_index("tier"), "tier", table.column("tier").cast(names)
    ).set_column(table.schema.get_field_index("action"), "action", table.column("action").cast(names))


def assert_same_rows(got, expected):
    """Column by column, value by value: retention bit for bit, names as text."""
    import numpy as np

    assert got.num_rows == expected.num_rows
    assert got.schema.names == expected.schema.names
    for name in expected.schema.names:
        a, b = got.column(name), expected.column(name)
        if name == "retention":
            bits_a = a.to_numpy().view(np.int64)
            bits_b = b.to_numpy().view(np.int64)
            differ = np.flatnonzero(bits_a != bits_b)
            assert differ.size == 0, f"retention differs in {differ.size} rows, first at {differ[:5]}"
        else:
            assert _plain(a).equals(_plain(b)), f"column {name} differs"


def _plain(column):
    """A dictionary-encoded column as its values; others as they are."""
    import pyarrow as pa

    return column.cast(column.type.value_type) if pa.types.is_dictionary(column.type) else column


def check_sample_against_run(table, count=500, seed=7):
    """On count random rows of a tiered table: the decision run("tier") gives."""
    from quillmarrow_engine_native import run

    rng = random.Random(seed)
    rows = table.select(list(FIELDS) + list(NEW_COLUMNS))
    for index in rng.sample(range(table.num_rows), min(count, table.num_rows)):
        row = {name: rows.column(name)[index].as_py() for name in rows.schema.names}
        record = json.dumps([row[f] for f in FIELDS])
        answer = json.loads(run("tier", record))["result"]
        assert (row["retention"], row["tier"], row["action"]) == (
            answer["retention"], answer["tier"], answer["action"]
        ), (index, record)


def with_bad_value(dataset, folder, file_index, row, column, value):
    """A copy of dataset in folder (hard links) whose file file_index has value at row of column."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    folder = pathlib.Path(folder)
    folder.mkdir(parents=True)
    files = sorted(pathlib.Path(dataset).glob("*.parquet"))
    for index, path in enumerate(files):
        if index != file_index:
            os.link(path, folder / path.name)
            continue
        table = pq.read_table(path)
        position = table.schema.get_field_index(column)
        values = table.column(column).to_pylist()
        values[row] = value
        field = table.schema.field(column)
        kind = field.type
        if isinstance(value, int) and not isinstance(value, bool) and pa.types.is_boolean(kind):
            # A flag column of integers, one of them neither 0 nor 1.
            kind = pa.int8()
            values = [v if v is None else int(v) for v in values]
        table = table.set_column(position, pa.field(column, kind), pa.array(values, kind))
        pq.write_table(table, folder / path.name)
    return folder / files[file_index].name


def assert_only_parquet_and_markers(output):
    """Every file under output is Parquet or a marker file (_ or . first)."""
    import pyarrow.parquet as pq

    parquet_files = []
    for path in pathlib.Path(output).rglob("*"):
        if path.is_dir():
            continue
        if path.name.startswith(("_", ".")):
            continue
        pq.ParquetFile(path)  # raises unless it is a Parquet file
        parquet_files.append(path)
    assert parquet_files
    return sorted(parquet_files)


def leftovers(parent, name):
    """Files or folders beside the output named like its staging folder."""
    return [p.name for p in pathlib.Path(parent).iterdir() if p.name.startswith(f".{name}.")]
