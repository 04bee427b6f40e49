"""tier-parquet with the local engine: file for file what tier_table gives,
bad rows named by file and row, and nothing left behind by a failed job."""

import os
import pathlib
import re

import pytest

from scale_data import (
    assert_only_parquet_and_markers,
    assert_same_rows,
    check_sample_against_run,
    expected_table,
    leftovers,
    need,
    with_bad_value,
    write_dataset,
)

pa = need("pyarrow", "pip install '.[dask]' for tier-parquet")
need("numpy", "the test data are drawn with NumPy")
import pyarrow.parquet as pq  # noqa: E402

from quillmarrow_engine import cli  # noqa: E402

PROG = "quillmarrow-engine"


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    folder = tmp_path_factory.mktemp("input") / "memories"
    write_dataset(folder, rows=30_000, files=3)
    # Marker files and folders that every reader skips.
    (folder / "_SUCCESS").write_text("")
    (folder / ".part-00000.parquet.crc").write_text("x")
    (folder / "_temporary").mkdir()
    return folder


def tier_parquet(capsys, *args):
    status = cli.main(["tier-parquet", *map(str, args)])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_each_file_gives_one_file_of_tier_table_rows_in_order(tmp_path, capsys, dataset):
    out = tmp_path / "tiered"
    status, stdout, stderr = tier_parquet(capsys, dataset, "-o", out, "--batch-size", "4096")
    assert (status, stdout) == (0, ""), stderr
    inputs = sorted(p.name for p in dataset.glob("*.parquet"))
    files = assert_only_parquet_and_markers(out)
    assert [p.name for p in files] == inputs
    schemas = set()
    for name in inputs:
        got = pq.read_table(out / name)
        assert_same_rows(got, expected_table(dataset / name))
        schemas.add(got.schema)
        assert pq.ParquetFile(out / name).metadata.num_row_groups == -(-got.num_rows // 4096)
    assert len(schemas) == 1
    (schema,) = schemas
    assert schema.field("tier").type == pa.dictionary(pa.int32(), pa.string())
    assert schema.field("kind").type == pq.read_schema(dataset / inputs[0]).field("kind").type
    check_sample_against_run(pq.read_table(out), count=300)
    # The summary counts what was written.
    whole = pq.read_table(out)
    assert stderr.startswith(f"tiered {whole.num_rows:,} items in ")
    hot = whole.column("tier").cast(pa.string()).to_pylist().count("hot")
    assert re.search(rf"^hot +{hot:,} ", stderr, re.M), stderr


def test_a_single_file_and_nested_folders(tmp_path, capsys, dataset):
    nested = tmp_path / "nested"
    (nested / "year=2024").mkdir(parents=True)
    (nested / "year=2025").mkdir()
    files = sorted(dataset.glob("*.parquet"))
    os.link(files[0], nested / "year=2024" / "a.parquet")
    os.link(files[1], nested / "year=2025" / "b.parquet")
    out = tmp_path / "out-nested"
    assert tier_parquet(capsys, nested, "-o", out, "-q")[:2] == (0, "")
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*.parquet")) == [
        "year=2024/a.parquet", "year=2025/b.parquet"
    ]
    assert_same_rows(pq.read_table(out / "year=2025" / "b.parquet"), expected_table(files[1]))

    out = tmp_path / "out-single"
    assert tier_parquet(capsys, files[2], "-o", out, "-q")[:2] == (0, "")
    assert [p.name for p in out.iterdir()] == [files[2].name]
    assert_same_rows(pq.read_table(out / files[2].name), expected_table(files[2]))


def test_old_decision_columns_are_replaced_and_other_types_kept(tmp_path, capsys):
    source = tmp_path / "old.parquet"
    table = pa.table({
        "retention": pa.array([0.5, 0.5]),
        "days_since_recall": pa.array([1.0, 400.0]),
        "retrieval_count": pa.array([2, 0], pa.int32()),
        "importance": pa.array([0.5, 0.1]),
        "frequency": pa.array([0.5, 0.0]),
        "tier": pa.array(["cold", "hot"]),
        "seen": pa.array([1, 2], pa.timestamp("ms")),
        "keep_forever": pa.array([0, 1], pa.int8()),
    })
    pq.write_table(table, source)
    out = tmp_path / "out"
    assert tier_parquet(capsys, source, "-o", out, "-q")[:2] == (0, "")
    got = pq.read_table(out / "old.parquet")
    # As tier_table does: old columns replaced where they stand, new ones at the end.
    assert got.schema.names == [
        "retention", "days_since_recall", "retrieval_count", "importance", "frequency", "tier",
        "seen", "keep_forever", "action",
    ]
    assert got.schema.field("seen").type == pa.timestamp("ms")
    assert got.schema.field("retrieval_count").type == pa.int32()
    assert got.column("tier").cast(pa.string()).to_pylist() == ["hot", "warm_semantic"]
    assert got.column("retention").to_pylist()[1] == 1.0


def test_an_empty_file_gives_an_empty_file_with_every_column(tmp_path, capsys, dataset):
    source = tmp_path / "empty.parquet"
    pq.write_table(pq.read_table(next(dataset.glob("*.parquet"))).slice(0, 0), source)
    out = tmp_path / "out"
    assert tier_parquet(capsys, source, "-o", out, "-q")[:2] == (0, "")
    got = pq.read_table(out / "empty.parquet")
    assert got.num_rows == 0 and got.schema.names[-3:] == ["retention", "tier", "action"]


# file index, row, column, bad value, words the message must hold
BAD_ROWS = [
    (1, 5000, "days_since_recall", float("nan"), "days_since_recall"),
    (2, 9999, "importance", None, "importance"),
    (0, 0, "frequency", float("inf"), "frequency"),
    (1, 4096, "is_procedural", 2, "is_procedural"),
    (2, 1, "keep_forever", None, "keep_forever"),
]


@pytest.mark.parametrize("file_index,row,column,value,word", BAD_ROWS)
def test_a_bad_row_fails_naming_file_and_row_and_leaves_nothing(
    tmp_path, capsys, dataset, file_index, row, column, value, word
):
    bad = tmp_path / "bad"
    bad_file = with_bad_value(dataset, bad, file_index, row, column, value)
    out = tmp_path / "out"
    status, stdout, stderr = tier_parquet(capsys, bad, "-o", out, "--batch-size", "4096", "-q")
    assert (status, stdout) == (1, "")
    assert stderr.startswith(f"{PROG}: {bad_file}: "), stderr
    assert re.search(rf"\brow {row}\b", stderr) and word in stderr, stderr
    assert stderr.count("\n") == 1
    assert not out.exists()
    assert leftovers(tmp_path, "out") == []


def test_a_missing_column_names_the_file(tmp_path, capsys, dataset):
    source = tmp_path / "no-frequency.parquet"
    pq.write_table(pq.read_table(next(dataset.glob("*.parquet"))).drop(["frequency"]), source)
    status, _, stderr = tier_parquet(capsys, source, "-o", tmp_path / "out", "-q")
    assert status == 1
    assert stderr.startswith(f"{PROG}: {source}: ") and "frequency" in stderr
    assert " row " not in stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["no-frequency.parquet"]


def test_a_file_that_is_not_parquet_fails_cleanly(tmp_path, capsys, dataset):
    folder = tmp_path / "mixed"
    folder.mkdir()
    os.link(next(dataset.glob("*.parquet")), folder / "a.parquet")
    (folder / "b.parquet").write_bytes(b"not parquet at all")
    status, _, stderr = tier_parquet(capsys, folder, "-o", tmp_path / "out", "-q")
    assert status == 1 and stderr.startswith(f"{PROG}: {folder / 'b.parquet'}: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mixed"]


USAGE = [
    (["{missing}", "-o", "{out}"], "cannot read"),
    (["{input}", "-o", "{input}/inner"], "OUTPUT must not be INPUT or lie inside it"),
    (["{input}", "-o", "{full}"], "OUTPUT already exists and is not empty"),
    (["{input}", "-o", "{nodir}/out"], "no such directory"),
    (["{empty}", "-o", "{out}"], "no Parquet files in"),
    (["{input}", "-o", "{out}", "--workers", "2"], "--workers applies to --engine dask or spark"),
    (["{input}", "-o", "{out}", "--engine", "dask", "--master", "local[2]"], "--master applies to --engine spark"),
    (["{input}", "-o", "{out}", "--engine", "spark", "--scheduler", "tcp://x:1"], "--scheduler applies"),
    (["{input}", "-o", "{out}", "--engine", "dask", "--scheduler", "tcp://x:1", "--workers", "2"], "--workers sizes"),
    (["{input}", "-o", "{out}", "--batch-size", "0"], "must be at least 1"),
    (["{input}"], "-o/--output"),
    (["{input}", "-o", "{out}", "--column", "imp=importance"], "unknown field 'imp'"),
    (["{input}", "-o", "{out}", "--now", "2025-01-01"], "now applies to recall times: give recalled_at="),
    (["{input}", "-o", "{out}", "--recalled-at", "t", "--column", "days_since_recall=d"], "not both"),
    (["{input}", "-o", "{out}", "--recalled-at", "t", "--now", "soon"], "now is not a time: 'soon'"),
    (["{input}", "-o", "{out}", "--recalled-at", "t", "--max-skew", "-5"], "max_skew must be a finite number"),
    (["{input}", "-o", "{out}", "--recalled-at", "t", "--time-unit", "sec"], "invalid choice: 'sec'"),
]


@pytest.mark.parametrize("args,message", USAGE)
def test_usage_errors_exit_2_and_write_nothing(tmp_path, capsys, dataset, args, message):
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "keep.txt").write_text("mine")
    (tmp_path / "emptyin").mkdir()
    names = {
        "missing": tmp_path / "missing", "out": tmp_path / "out", "input": dataset,
        "full": tmp_path / "full", "nodir": tmp_path / "nodir", "empty": tmp_path / "emptyin",
    }
    with pytest.raises(SystemExit) as caught:
        cli.main(["tier-parquet", *(a.format(**names) for a in args)])
    assert caught.value.code == 2
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["emptyin", "full"]
    assert (tmp_path / "full" / "keep.txt").read_text() == "mine"


def test_an_existing_empty_folder_is_replaced(tmp_path, capsys, dataset):
    out = tmp_path / "out"
    out.mkdir()
    assert tier_parquet(capsys, dataset, "-o", out, "-q")[:2] == (0, "")
    assert len(list(out.glob("*.parquet"))) == 3
    assert leftovers(tmp_path, "out") == []


def test_the_command_line_entry_runs_the_job(tmp_path, dataset):
    import subprocess
    import sys

    out = tmp_path / "out"
    result = subprocess.run(
        [sys.executable, "-m", "quillmarrow_engine", "tier-parquet", str(dataset), "-o", str(out)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.startswith("tiered 30,000 items in ")
    assert pathlib.Path(out, "part-00000.parquet").exists()


def test_the_summary_lists_most_first_then_by_name(tmp_path, capsys):
    from summary_text import TIED_RECORDS, TIED_SUMMARY, assert_most_first_then_by_name

    names = ("days_since_recall", "retrieval_count", "importance", "frequency", "is_procedural",
             "keep_forever")
    pq.write_table(pa.table(dict(zip(names, map(list, zip(*TIED_RECORDS))))), tmp_path / "in.parquet")
    status, _, stderr = tier_parquet(capsys, tmp_path / "in.parquet", "-o", tmp_path / "out")
    assert status == 0, stderr
    assert assert_most_first_then_by_name(stderr) == TIED_SUMMARY


def recall_dataset(folder, unit_ms=False):
    """Two files of recall times (timestamps in one, ISO texts in the other)
    under other column names, and the days since recall they stand for."""
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    folder.mkdir()
    now_us = 1_750_000_000_000_000
    days = []
    for index, kind in enumerate(("timestamp", "text")):
        us = now_us - rng.integers(0, 400 * 86_400 * 10**6, 5000)
        times = pa.array(us, pa.timestamp("us", tz="Europe/Berlin"))
        if kind == "text":
            times = pa.compute.strftime(times.cast(pa.timestamp("us", tz="UTC")), "%Y-%m-%dT%H:%M:%SZ")  # %S carries the microseconds
        pq.write_table(pa.table({
            "last_seen": times, "hits": rng.integers(0, 40, 5000), "weight": rng.uniform(0, 1, 5000),
            "frequency": rng.uniform(0, 1, 5000),
        }), folder / f"part-{index}.parquet")
        days.append((1_750_000_000.0 - us / 1e6) / 86400.0)
    return days


VOCABULARY = ["--recalled-at", "last_seen", "--column", "retrieval_count=hits", "--column", "importance=weight",
              "--now", "2025-06-15T15:06:40Z", "--column", "tier=memory_tier"]


def test_recall_times_and_other_column_names_give_tier_arrays_rows(tmp_path, capsys):
    import quillmarrow_engine as qe

    days = recall_dataset(tmp_path / "in")
    status, _, stderr = tier_parquet(capsys, tmp_path / "in", "-o", tmp_path / "out", "-q", *VOCABULARY)
    assert (status, stderr) == (0, "")
    for index, want_days in enumerate(days):
        source = pq.read_table(tmp_path / "in" / f"part-{index}.parquet")
        out = pq.read_table(tmp_path / "out" / f"part-{index}.parquet")
        want = qe.tier_arrays(want_days, source.column("hits"), source.column("weight"), source.column("frequency"))
        assert out.column("retention").to_numpy().tolist() == want.retention.tolist()
        assert out.column("memory_tier").to_pylist() == [qe.TIERS[t] for t in want.tier]
        assert out.schema.names[:4] == source.schema.names and "tier" not in out.schema.names


def test_a_recall_time_after_now_fails_naming_file_row_and_fix(tmp_path, capsys):
    recall_dataset(tmp_path / "in")
    early = [a if a != "2025-06-15T15:06:40Z" else "2025-01-01T00:00:00Z" for a in VOCABULARY]
    status, _, stderr = tier_parquet(capsys, tmp_path / "in", "-o", tmp_path / "out", "-q", *early)
    assert status == 1
    assert re.match(rf"{PROG}: .*part-0\.parquet: column 'last_seen': row \d+ is 2025-", stderr)
    assert "after now (2025-01-01T00:00:00Z)" in stderr and "--max-skew" in stderr
    assert not (tmp_path / "out").exists()
