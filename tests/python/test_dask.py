"""Tiering on a local Dask cluster of two worker processes, over a dataset
of a million rows in four files: the DataFrame integration point and the
tier-parquet job give, row for row, what tier_table gives."""

import logging

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
    with_bad_value,
    write_dataset,
)

WHY = "pip install '.[dask]' to run the Dask tests"
need("pyarrow", WHY)
need("numpy", WHY)
need("pandas", WHY)
need("dask", WHY)
need("distributed", WHY)

import dask.dataframe as dd  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import quillmarrow_engine  # noqa: E402
from quillmarrow_engine import cli, parquet  # noqa: E402
from quillmarrow_engine.dask import tier_dataframe  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR,
    ) as cluster, Client(cluster) as client:
        yield cluster, client


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask") / "memories"
    write_dataset(folder, CLUSTER_ROWS, CLUSTER_FILES)
    return folder


@pytest.fixture(scope="module")
def expected(dataset):
    return expected_table(dataset)


def test_tier_dataframe_matches_tier_table_row_for_row(cluster, dataset, expected):
    _, client = cluster
    ddf = dd.read_parquet(str(dataset))
    assert ddf.npartitions >= 2
    got = client.compute(tier_dataframe(ddf)).result()
    assert list(got.columns) == expected.schema.names
    assert len(got) == CLUSTER_ROWS
    assert got["id"].tolist() == list(range(CLUSTER_ROWS))  # input order
    assert np.array_equal(got["retention"].to_numpy().view(np.int64),
                          expected.column("retention").to_numpy().view(np.int64))
    for name in ("tier", "action"):
        assert isinstance(got[name].dtype, pd.CategoricalDtype)
        assert got[name].astype(str).tolist() == expected.column(name).cast(pa.string()).to_pylist()
    assert list(got["tier"].cat.categories) == list(quillmarrow_engine.TIERS)
    assert list(got["action"].cat.categories) == list(quillmarrow_engine.ACTIONS)


def test_tier_dataframe_keeps_index_and_replaces_old_columns(cluster):
    _, client = cluster
    frame = pd.DataFrame(
        {
            "days_since_recall": [2.0, 500.0, 10.0, 8.0],
            "retrieval_count": [3, 0, 5, 20],
            "importance": [0.5, 0.9, 0.2, 0.5],
            "frequency": [0.2, 0.9, 0.1, 0.5],
            "is_procedural": [0, 0, 1, 0],
            "tier": ["x", "y", "z", "w"],
        },
        index=pd.Index([10, 20, 30, 40], name="memory"),
    )
    got = client.compute(tier_dataframe(dd.from_pandas(frame, npartitions=2))).result()
    assert got.index.tolist() == [10, 20, 30, 40] and got.index.name == "memory"
    assert got["tier"].astype(str).tolist() == ["hot", "cold", "warm_procedural", "warm_episodic"]
    assert got["action"].astype(str).tolist() == [
        "inject_to_prompt", "archive_on_demand", "keep_procedural", "spaced_repetition"
    ]
    assert list(got.columns) == [
        "days_since_recall", "retrieval_count", "importance", "frequency", "is_procedural", "tier",
        "retention", "action",
    ]


def test_tier_dataframe_bad_row_fails_the_computation(cluster):
    _, client = cluster
    frame = pd.DataFrame({
        "days_since_recall": [1.0, float("nan")], "retrieval_count": [1, 1],
        "importance": [0.5, 0.5], "frequency": [0.5, 0.5],
    })
    with pytest.raises(ValueError, match="days_since_recall"):
        client.compute(tier_dataframe(dd.from_pandas(frame, npartitions=1))).result()


def test_tier_parquet_on_the_cluster_gives_tier_table_file_for_file(tmp_path, cluster, dataset, expected):
    local_cluster, _ = cluster
    out = tmp_path / "tiered"
    status = cli.main([
        "tier-parquet", str(dataset), "-o", str(out), "--engine", "dask",
        "--scheduler", local_cluster.scheduler_address, "-q",
    ])
    assert status == 0
    files = assert_only_parquet_and_markers(out)
    assert [p.name for p in files] == sorted(p.name for p in dataset.glob("*.parquet"))
    first = 0
    for path in files:
        got = pq.read_table(path)
        assert got.schema.field("tier").type == pa.dictionary(pa.int32(), pa.string())
        assert_same_rows(got, expected.slice(first, got.num_rows))
        first += got.num_rows
    assert first == CLUSTER_ROWS
    check_sample_against_run(expected)


def test_a_bad_row_fails_the_job_naming_file_and_row_and_leaves_nothing(tmp_path, cluster, dataset):
    local_cluster, _ = cluster
    bad_file = with_bad_value(dataset, tmp_path / "bad", 2, 123_456, "importance", None)
    out = tmp_path / "out"
    job = parquet.plan(str(tmp_path / "bad"), str(out))
    with pytest.raises(parquet.JobError) as caught:
        parquet.run_dask(job, scheduler=local_cluster.scheduler_address)
    message = str(caught.value)
    assert message.startswith(f"{bad_file}: ") and "importance" in message
    assert "row 123456 " in message and "\n" not in message
    assert not out.exists() and leftovers(tmp_path, "out") == []


def test_the_job_starts_its_own_cluster_of_n_workers(tmp_path, dataset):
    out = tmp_path / "own"
    small = tmp_path / "small"
    small.mkdir()
    for path in sorted(dataset.glob("*.parquet"))[:2]:
        pq.write_table(pq.read_table(path).slice(0, 1000), small / path.name)
    assert cli.main(["tier-parquet", str(small), "-o", str(out), "--engine", "dask", "--workers", "2", "-q"]) == 0
    assert_same_rows(pq.read_table(out), expected_table(small))


# ---- Separately started processes, worker failures, quiet runs and the summary

PROG = "quillmarrow-engine"


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask-small") / "memories"
    write_dataset(folder, 20_000, 2)
    return folder


def test_a_scheduler_and_workers_started_as_their_own_processes(tmp_path, small):
    from cluster_processes import dask_processes

    with dask_processes(tmp_path / "cluster", workers=2) as (scheduler, _):
        out = tmp_path / "tiered"
        assert cli.main(["tier-parquet", str(small), "-o", str(out), "--engine", "dask",
                         "--scheduler", scheduler, "-q"]) == 0
        for path in sorted(small.glob("*.parquet")):
            assert_same_rows(pq.read_table(out / path.name), expected_table(path))
        with Client(scheduler) as client:
            got = client.compute(tier_dataframe(dd.read_parquet(str(small)))).result()
    expected = expected_table(small)
    assert got["tier"].astype(str).tolist() == expected.column("tier").cast(pa.string()).to_pylist()
    assert np.array_equal(got["retention"].to_numpy().view(np.int64),
                          expected.column("retention").to_numpy().view(np.int64))


# the module the workers' Python lacks, the exception the job reports, the hint
WORKER_LACKS = [
    ("quillmarrow_engine", "ModuleNotFoundError: No module named 'quillmarrow_engine'", "lacks quillmarrow_engine"),
    ("numpy", "MissingDependency: quillmarrow_engine.columns needs numpy: pip install 'quillmarrow-engine[arrays]'",
     "lacks numpy"),
]


@pytest.mark.parametrize("module,cause,hint", WORKER_LACKS)
def test_a_worker_that_lacks_a_module_fails_the_job_with_the_cause(tmp_path, capfd, small, module, cause, hint):
    from cluster_processes import dask_processes, python_without

    python = python_without(module, tmp_path / "python")
    with dask_processes(tmp_path / "cluster", worker_python=python) as (scheduler, workers):
        out = tmp_path / "out"
        capfd.readouterr()
        status = cli.main(["tier-parquet", str(small), "-o", str(out), "--engine", "dask",
                           "--scheduler", scheduler, "-q"])
        stderr = capfd.readouterr().err
        assert status == 1
        lines = stderr.splitlines()
        assert lines[0] == f"{PROG}: a Dask worker failed: {cause}", stderr
        assert hint in lines[1] and "they need the quillmarrow-engine wheel, NumPy and pyarrow" in lines[1]
        assert lines[2].startswith("  worker traceback, innermost call last") and lines[3].lstrip().startswith("File ")
        assert not out.exists() and leftovers(tmp_path, "out") == []
        # The worker failed the task and lives on, ready for the next one.
        assert [worker.poll() for worker in workers] == [None]
        if module == "quillmarrow_engine":
            # The DataFrame integration point: the computation raises the
            # worker's ImportError instead of waiting for ever.
            with Client(scheduler) as client, pytest.raises(ModuleNotFoundError, match="quillmarrow_engine"):
                client.compute(tier_dataframe(dd.read_parquet(str(small)))).result(timeout=120)


def test_quiet_prints_only_the_failure_not_the_workers_logs(tmp_path, capfd, small):
    bad = with_bad_value(small, tmp_path / "bad", 0, 5, "frequency", float("inf"))
    capfd.readouterr()
    status = cli.main(["tier-parquet", str(tmp_path / "bad"), "-o", str(tmp_path / "out"), "--engine", "dask",
                       "--workers", "1", "-q"])
    captured = capfd.readouterr()
    assert status == 1 and captured.out == ""
    assert captured.err.startswith(f"{PROG}: {bad}: column 'frequency': row 5 ") and captured.err.count("\n") == 1


def test_the_summary_is_the_local_engines(tmp_path, capsys, cluster, small):
    from summary_text import assert_most_first_then_by_name

    local_cluster, _ = cluster
    summaries = []
    for engine in (["--engine", "local"], ["--engine", "dask", "--scheduler", local_cluster.scheduler_address]):
        out = tmp_path / engine[1]
        assert cli.main(["tier-parquet", str(small), "-o", str(out), *engine]) == 0
        summaries.append(capsys.readouterr().err)
    local, dask_summary = summaries
    assert dask_summary.startswith("tiered 20,000 items in ")
    assert assert_most_first_then_by_name(dask_summary) == assert_most_first_then_by_name(local)


def test_tier_dataframe_takes_the_vocabulary_with_now_fixed_on_the_client(cluster):
    _, client = cluster
    times = pd.to_datetime(["2025-06-13T15:06:40.0005Z", "2024-01-01T00:00:00Z", "2025-06-15T15:06:00Z"],
                           format="ISO8601")
    frame = pd.DataFrame({"seen": times.tz_convert("Asia/Tokyo"), "hits": [3, 1, 2], "importance": [0.5, 0.9, 0.1],
                          "frequency": [0.2, 0.9, 0.3]})
    ddf = dd.from_pandas(frame, npartitions=2)
    tiered = tier_dataframe(ddf, recalled_at="seen", columns={"retrieval_count": "hits"}, now=1_750_000_000)
    got = client.compute(tiered).result()
    days = np.array([(1_750_000_000.0 - us / 1e6) / 86400.0 for us in times.as_unit("us").asi8])
    want = quillmarrow_engine.tier_arrays(days, [3, 1, 2], [0.5, 0.9, 0.1], [0.2, 0.9, 0.3])
    assert got["retention"].tolist() == want.retention.tolist()
    assert got["tier"].astype(str).tolist() == [quillmarrow_engine.TIERS[t] for t in want.tier]
