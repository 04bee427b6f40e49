"""Tiering on Spark local[2], over a dataset of a million rows in four
files: the DataFrame integration point and the tier-parquet job give, row
for row, what tier_table gives."""

import os
import shutil
import sys

import pytest

from scale_data import (
    CLUSTER_FILES,
    CLUSTER_ROWS,
    assert_only_parquet_and_markers,
    assert_same_rows,
    check_sample_against_run,
    expected_table,
    leftovers,
    need,
    skip_or_fail,
    with_bad_value,
    write_dataset,
)

WHY = "pip install '.[spark]' to run the Spark tests"
need("pyarrow", WHY)
need("numpy", WHY)
need("pyspark", WHY)
if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
    skip_or_fail("no Java runtime for Spark (Java 17 or later: apt-get install default-jre-headless)")

import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

from quillmarrow_engine import cli, parquet  # noqa: E402

# pyspark warns about pandas 3 when it starts; the Arrow batches here need no pandas.
pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas")


@pytest.fixture(scope="module")
def spark():
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    session = (
        SparkSession.builder.master("local[2]")
        .appName("quillmarrow-engine tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    folder = tmp_path_factory.mktemp("spark") / "memories"
    write_dataset(folder, CLUSTER_ROWS, CLUSTER_FILES)
    return folder


@pytest.fixture(scope="module")
def expected(dataset):
    return expected_table(dataset)


def test_tier_dataframe_matches_tier_table_row_for_row(spark, dataset, expected):
    from quillmarrow_engine.spark import tier_dataframe

    frame = spark.read.parquet(str(dataset))
    tiered = tier_dataframe(frame)
    assert tiered.columns == expected.schema.names
    got = tiered.toArrow().sort_by("id")
    assert_same_rows(got, expected)
    check_sample_against_run(got)


def test_tier_dataframe_replaces_old_columns_and_reports_bad_rows(spark):
    from pyspark.errors import PythonException

    from quillmarrow_engine.spark import tier_dataframe

    frame = spark.createDataFrame(
        [(2.0, 3, 0.5, 0.2, "old", False), (500.0, 0, 0.9, 0.9, "old", True)],
        "days_since_recall double, retrieval_count long, importance double, frequency double, "
        "tier string, keep_forever boolean",
    )
    rows = tier_dataframe(frame).collect()
    assert [(r.tier, r.action) for r in rows] == [
        ("hot", "inject_to_prompt"), ("warm_semantic", "keep_forever_tag")
    ]
    assert tier_dataframe(frame).columns == [
        "days_since_recall", "retrieval_count", "importance", "frequency", "tier", "keep_forever",
        "retention", "action",
    ]
    bad = spark.createDataFrame([(1.0, None, 0.5, 0.5)], "days_since_recall double, "
                                "retrieval_count double, importance double, frequency double")
    with pytest.raises(PythonException, match="retrieval_count"):
        tier_dataframe(bad).collect()


def test_tier_parquet_on_spark_gives_tier_table_rows(tmp_path, spark, dataset, expected):
    out = tmp_path / "tiered"
    # The job runs in the test's session (local[2]), which it leaves running.
    assert cli.main(["tier-parquet", str(dataset), "-o", str(out), "--engine", "spark", "-q"]) == 0
    assert not spark.sparkContext._jsc.sc().isStopped()
    files = assert_only_parquet_and_markers(out)
    schemas = {pq.read_schema(path).remove_metadata() for path in files}
    assert len(schemas) == 1
    for path in files:
        metadata = pq.ParquetFile(path).metadata
        for group in range(metadata.num_row_groups):
            for name in ("tier", "action"):
                chunk = metadata.row_group(group).column(metadata.schema.names.index(name))
                assert chunk.has_dictionary_page, (path, name)
    got = pq.read_table(out).sort_by("id")
    assert got.schema.field("tier").type == pa.string()
    assert_same_rows(got, expected)


def test_a_bad_row_fails_the_job_naming_file_and_row_and_leaves_nothing(tmp_path, spark, dataset):
    bad_file = with_bad_value(dataset, tmp_path / "bad", 1, 200_001, "days_since_recall", float("nan"))
    out = tmp_path / "out"
    job = parquet.plan(str(tmp_path / "bad"), str(out))
    with pytest.raises(parquet.JobError) as caught:
        parquet.run_spark(job, session=spark)
    message = str(caught.value)
    assert message.startswith(f"{bad_file}: ") and "days_since_recall" in message
    assert "row 200001 " in message and "\n" not in message
    assert not out.exists() and leftovers(tmp_path, "out") == []


def test_tier_dataframe_takes_the_vocabulary_with_now_fixed_on_the_driver(spark):
    import datetime as dt

    import numpy as np

    import quillmarrow_engine as qe
    from quillmarrow_engine.spark import tier_dataframe

    utc = dt.timezone.utc
    frame = spark.createDataFrame(
        [(dt.datetime(2025, 6, 13, 15, 6, 40, 500, tzinfo=utc), 3, 0.5, 0.2),
         (dt.datetime(2024, 1, 1, tzinfo=utc), 1, 0.9, 0.9)],
        "seen timestamp, hits long, importance double, frequency double",
    )
    tiered = tier_dataframe(frame, recalled_at="seen", columns={"retrieval_count": "hits", "tier": "memory_tier"},
                            now="2025-06-15T15:06:40Z")
    assert tiered.columns == ["seen", "hits", "importance", "frequency", "retention", "memory_tier", "action"]
    got = tiered.toArrow()
    days = [(1_750_000_000.0 - 1_749_827_200_000_500 / 1e6) / 86400.0, (1_750_000_000.0 - 1_704_067_200.0) / 86400.0]
    want = qe.tier_arrays(np.array(days), [3, 1], [0.5, 0.9], [0.2, 0.9])
    assert got.column("retention").to_pylist() == want.retention.tolist()
    assert got.column("memory_tier").to_pylist() == [qe.TIERS[t] for t in want.tier]
