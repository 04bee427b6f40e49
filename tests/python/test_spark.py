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
from quillmarrow_engine.frames.vocabulary import vocabulary  # noqa: E402

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


# Both roads to the workers: an Arrow UDF of the input columns, and whole
# batches through mapInArrow (pyspark before 4.1, which has no Arrow UDFs).
ROADS = [pytest.param(True, id="arrow_udf"), pytest.param(False, id="mapInArrow")]


@pytest.mark.parametrize("arrow_udf", ROADS)
def test_tier_dataframe_matches_tier_table_row_for_row(spark, dataset, expected, arrow_udf):
    from quillmarrow_engine import spark as on_spark

    if arrow_udf and not hasattr(on_spark.F, "arrow_udf"):
        pytest.skip("pyspark before 4.1 has no Arrow UDFs")
    frame = spark.read.parquet(str(dataset))
    tiered = on_spark._tier(frame, vocabulary(), arrow_udf=arrow_udf)
    assert tiered.columns == expected.schema.names
    got = tiered.toArrow().sort_by("id")
    assert_same_rows(got, expected)
    check_sample_against_run(got)


@pytest.mark.parametrize("arrow_udf", ROADS)
def test_tier_dataframe_replaces_old_columns_and_reports_bad_rows(spark, arrow_udf):
    from pyspark.errors import PythonException

    from quillmarrow_engine import spark as on_spark

    if arrow_udf and not hasattr(on_spark.F, "arrow_udf"):
        pytest.skip("pyspark before 4.1 has no Arrow UDFs")
    # A column name with a dot passes through as it is (on the Arrow UDF's
    # road: Spark's mapInArrow itself cannot resolve such a name).
    other = "`a.b`" if arrow_udf else "note"
    frame = spark.createDataFrame(
        [(2.0, 3, 0.5, 0.2, "old", False, 1), (500.0, 0, 0.9, 0.9, "old", True, 2)],
        "days_since_recall double, retrieval_count long, importance double, frequency double, "
        f"tier string, keep_forever boolean, {other} int",
    )
    other = other.strip("`")
    tiered = on_spark._tier(frame, vocabulary(), arrow_udf=arrow_udf)
    rows = tiered.collect()
    assert [(r.tier, r.action, r[other]) for r in rows] == [
        ("hot", "inject_to_prompt", 1), ("warm_semantic", "keep_forever_tag", 2)
    ]
    assert tiered.columns == [
        "days_since_recall", "retrieval_count", "importance", "frequency", "tier", "keep_forever", other,
        "retention", "action",
    ]
    bad = spark.createDataFrame([(1.0, None, 0.5, 0.5)], "days_since_recall double, "
                                "retrieval_count double, importance double, frequency double")
    with pytest.raises(PythonException, match="column 'retrieval_count': row 0 is null"):
        on_spark._tier(bad, vocabulary(), arrow_udf=arrow_udf).collect()


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


# ---- Counting, batch sizes, summaries, worker failures and a standalone cluster

PROG = "quillmarrow-engine"


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    folder = tmp_path_factory.mktemp("spark-small") / "memories"
    write_dataset(folder, 20_000, 2)
    return folder


@pytest.mark.parametrize("arrow_udf", ROADS)
def test_the_workers_count_tiers_and_actions_in_batches_of_the_jobs_size(spark, small, arrow_udf):
    from collections import Counter

    from quillmarrow_engine import spark as on_spark
    from quillmarrow_engine.parquet.on_spark import job_settings, settings

    if arrow_udf and not hasattr(on_spark.F, "arrow_udf"):
        pytest.skip("pyspark before 4.1 has no Arrow UDFs")
    before = spark.conf.get("spark.sql.execution.arrow.maxRecordsPerBatch")
    with settings(spark, job_settings(batch_rows=3000)):
        counts = on_spark.new_counts(spark)
        on_spark._tier(spark.read.parquet(str(small)), vocabulary(), counts, arrow_udf).write.format("noop").mode(
            "overwrite").save()
    assert spark.conf.get("spark.sql.execution.arrow.maxRecordsPerBatch") == before
    tally, batches = on_spark.counted(counts)
    expected = expected_table(small)
    assert tally.items == expected.num_rows
    for name, counted in (("tier", tally.tiers), ("action", tally.actions)):
        assert counted == Counter(expected.column(name).cast(pa.string()).to_pylist())
    # Two files of 10,000 rows: 4 batches of 3,000 rows or fewer per file
    # (Spark's default would be 3 of 4,096 or 1 of 10,000).
    assert batches == 8


def test_tier_parquet_on_spark_prints_the_summary_of_the_local_engine(tmp_path, capsys, spark, small):
    from summary_text import assert_most_first_then_by_name

    summaries = []
    for engine in ("local", "spark"):
        assert cli.main(["tier-parquet", str(small), "-o", str(tmp_path / engine), "--engine", engine]) == 0
        summaries.append(capsys.readouterr().err)
    local, on_spark = summaries
    assert on_spark.startswith("tiered 20,000 items in ")
    assert assert_most_first_then_by_name(on_spark) == assert_most_first_then_by_name(local)


# file index, row, column, bad value, the words of the message after the file
SPARK_BAD_ROWS = [
    (0, 9_999, "days_since_recall", float("nan"), "column 'days_since_recall': row 9999 is nan"),
    (1, 0, "importance", None, "column 'importance': row 0 is null"),
    (1, 4_321, "frequency", float("-inf"), "column 'frequency': row 4321 is -inf"),
]


@pytest.mark.parametrize("file_index,row,column,value,words", SPARK_BAD_ROWS)
def test_bad_rows_of_the_small_dataset_are_named(tmp_path, spark, small, file_index, row, column, value, words):
    bad_file = with_bad_value(small, tmp_path / "bad", file_index, row, column, value)
    job = parquet.plan(str(tmp_path / "bad"), str(tmp_path / "out"))
    with pytest.raises(parquet.JobError) as caught:
        parquet.run_spark(job, session=spark)
    assert str(caught.value).startswith(f"{bad_file}: {words}"), str(caught.value)


def test_a_failure_of_spark_itself_is_its_own_message_in_one_line(tmp_path, spark, small):
    # A flag column of integers in one file, of booleans in the other: Spark
    # refuses the dataset before any row reaches the engine.
    with_bad_value(small, tmp_path / "mixed", 1, 4_321, "keep_forever", 2)
    job = parquet.plan(str(tmp_path / "mixed"), str(tmp_path / "out"))
    with pytest.raises(parquet.JobError) as caught:
        parquet.run_spark(job, session=spark)
    message = str(caught.value)
    assert message.startswith("[FAILED_READ_FILE.PARQUET_COLUMN_DATA_TYPE_MISMATCH] ") and "\n" not in message
    assert "part-00001.parquet" in message and "[keep_forever]" in message


def _tier_parquet_process(args, env=None, timeout=600):
    """The command in a process of its own (a Spark driver of its own)."""
    import subprocess

    return subprocess.run(
        [sys.executable, "-m", "quillmarrow_engine", "tier-parquet", *map(str, args)],
        capture_output=True, text=True, timeout=timeout, env=dict(os.environ, **(env or {})),
    )


# the module the workers' Python lacks, the exception the job reports, the hint
WORKER_LACKS = [
    ("quillmarrow_engine", "ModuleNotFoundError: No module named 'quillmarrow_engine'", "lacks quillmarrow_engine"),
    ("numpy", "MissingDependency: quillmarrow_engine.columns needs numpy: pip install 'quillmarrow-engine[arrays]'",
     "lacks numpy"),
]


@pytest.mark.parametrize("module,cause,hint", WORKER_LACKS)
def test_a_worker_that_lacks_a_module_fails_the_job_with_the_cause_and_quiet_is_quiet(
    tmp_path, small, module, cause, hint
):
    from cluster_processes import python_without

    python = python_without(module, tmp_path / "python")
    out = tmp_path / "out"
    result = _tier_parquet_process([small, "-o", out, "--engine", "spark", "--workers", "1", "-q"],
                                   env={"PYSPARK_PYTHON": python})
    assert result.returncode == 1 and result.stdout == ""
    lines = result.stderr.splitlines()
    # Nothing of Spark's own: the message is the whole of standard error.
    assert lines[0] == f"{PROG}: a Spark Python worker failed: {cause}", result.stderr
    assert lines[1] == (
        f"  the workers' Python ({python}) {hint}; they need the quillmarrow-engine wheel, NumPy and pyarrow "
        "(see \"Shipping the wheel to a cluster's workers\" in the README)"
    )
    assert lines[2].startswith("  worker traceback, innermost call last")
    assert all(line.startswith("    ") for line in lines[3:]) and len(lines) > 3, result.stderr
    assert not out.exists() and leftovers(tmp_path, "out") == []


def test_a_java_runtime_that_does_not_start_is_named_even_when_quiet(tmp_path, small):
    result = _tier_parquet_process([small, "-o", tmp_path / "out", "--engine", "spark", "-q"],
                                   env={"JAVA_HOME": str(tmp_path / "no-java")}, timeout=120)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[0].startswith(f"{PROG}: Spark did not start: "), result.stderr
    # What the Java launcher said, kept aside while quiet, shown now.
    assert any(line.startswith("  ") and f"{tmp_path / 'no-java'}/bin/java" in line for line in lines[1:])
    assert not (tmp_path / "out").exists()


def test_a_standalone_master_and_worker(tmp_path, small):
    from cluster_processes import spark_standalone

    with spark_standalone(tmp_path / "cluster") as master:
        out = tmp_path / "tiered"
        result = _tier_parquet_process([small, "-o", out, "--engine", "spark", "--master", master])
    assert result.returncode == 0, result.stderr
    assert "tiered 20,000 items in " in result.stderr
    got = pq.read_table(out).sort_by("id")
    assert_same_rows(got, expected_table(small))


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
