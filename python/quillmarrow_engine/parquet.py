"""The tier-parquet job: re-tier a Parquet dataset into a new one.

    quillmarrow-engine tier-parquet INPUT -o OUTPUT [--engine local|dask|spark]
        [--workers N] [--master URL] [--scheduler ADDRESS] [--batch-size N] [-q]

INPUT is a Parquet file or a dataset directory: any path pyarrow opens, a
local path or a URI such as ``s3://bucket/memories`` when that filesystem's
package is installed. Files and folders whose names begin with ``_`` or
``.`` are markers and are skipped, as every Parquet reader does.

OUTPUT becomes a Parquet dataset with the input's columns and ``retention``
(float64), ``tier`` and ``action`` (dictionary-encoded strings), the values
``tier_table`` gives; as there, an input's own columns of those three names
are replaced where they stand. The engines:

- ``local``: this process, file after file, one batch of rows at a time, so
  memory stays bounded whatever the dataset's size.
- ``dask``: one task per input file on a Dask cluster (a local one of
  ``--workers`` processes, or the scheduler at ``--scheduler``), each the
  same batch-by-batch routine as ``local``.
- ``spark``: Spark reads the dataset, ``quillmarrow_engine.spark`` tiers it
  in the executors, and Spark writes the files, laid out its own way.

With ``local`` and ``dask`` every input file gives one output file at the
same relative path, rows in input order, and the input's column types.

The job writes into a hidden folder beside OUTPUT and moves it into place
only when every row succeeded, so a failed job leaves no OUTPUT. A bad row
(null, NaN, infinity, a flag that is not a boolean) fails the job with
tier_table's message, naming the file and the row's index within the file
(counted from 0).

pyarrow, dask and pyspark are imported only when a job runs.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .summary import Progress, Tally, format_summary

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.fs

ENGINES = ("local", "dask", "spark")
DEFAULT_BATCH_ROWS = 131_072
DEFAULT_WORKERS = 2


class JobError(Exception):
    """The job failed; the message says what and where, in one line."""


# --- the command line -------------------------------------------------------


def add_parser(commands: Any) -> None:
    """Register the tier-parquet subcommand on the tool's subparsers."""
    sub = commands.add_parser(
        "tier-parquet",
        help="tier a Parquet dataset into a new one, locally or on Dask or Spark",
        description=(
            "Read a Parquet file or dataset, add the columns retention, tier and "
            "action, and write a Parquet dataset to OUTPUT, which appears only "
            "when every row succeeded."
        ),
    )
    sub.add_argument("input", metavar="INPUT", help="a Parquet file or dataset directory (path or URI)")
    sub.add_argument("-o", "--output", metavar="OUTPUT", required=True, help="the dataset to create")
    sub.add_argument("--engine", choices=ENGINES, default="local", help="where the rows are tiered (default local)")
    sub.add_argument(
        "--workers", type=positive_int, metavar="N",
        help=f"local cluster size: Dask worker processes or Spark local[N] (default {DEFAULT_WORKERS})",
    )
    sub.add_argument("--master", metavar="URL", help="Spark master of an existing cluster (engine spark)")
    sub.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler of an existing cluster (engine dask)")
    sub.add_argument(
        "--batch-size", type=positive_int, default=DEFAULT_BATCH_ROWS, metavar="N",
        help=f"rows per batch for local and dask (default {DEFAULT_BATCH_ROWS:,})",
    )
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")


def positive_int(text: str) -> int:
    """An argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def command(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Run the subcommand; usage errors exit 2, a failed job raises JobError."""
    if args.master is not None and args.engine != "spark":
        parser.error("--master applies to --engine spark")
    if args.scheduler is not None and args.engine != "dask":
        parser.error("--scheduler applies to --engine dask")
    if args.workers is not None and args.engine == "local":
        parser.error("--workers applies to --engine dask or spark")
    if args.workers is not None and (args.master or args.scheduler):
        parser.error("--workers sizes a local cluster; an existing cluster has its own")
    missing = _missing_extra(args.engine)
    if missing:
        parser.error(missing)
    try:
        job = plan(args.input, args.output)
    except _UsageError as exc:
        parser.error(str(exc))
    start = time.perf_counter()
    show = not args.quiet and sys.stderr.isatty() and args.engine != "spark"
    progress = Progress(sys.stderr, _total_rows(job) if show else None, enabled=show)
    try:
        tally: Tally | None = None
        if args.engine == "spark":
            run_spark(job, master=args.master, workers=args.workers or DEFAULT_WORKERS)
        elif args.engine == "dask":
            tally = run_dask(
                job, scheduler=args.scheduler, workers=args.workers or DEFAULT_WORKERS,
                batch_rows=args.batch_size, progress=progress,
            )
        else:
            tally = run_local(job, batch_rows=args.batch_size, progress=progress)
    finally:
        progress.close()
    seconds = time.perf_counter() - start
    if not args.quiet:
        if tally is not None:
            sys.stderr.write(format_summary(tally, seconds))
        else:
            sys.stderr.write(f"wrote {args.output} in {seconds:.2f} s\n")


_NEEDS = {
    "local": (("pyarrow", "numpy"), "tables"),
    "dask": (("pyarrow", "numpy", "pandas", "dask", "distributed"), "dask"),
    "spark": (("pyarrow", "numpy", "pyspark"), "spark"),
}


def _missing_extra(engine: str) -> str | None:
    import importlib.util

    modules, extra = _NEEDS[engine]
    absent = [name for name in modules if importlib.util.find_spec(name) is None]
    if absent:
        return f"--engine {engine} needs {', '.join(absent)}: pip install 'quillmarrow-engine[{extra}]'"
    return None


# --- planning: the input files and where their output goes ------------------


class _UsageError(Exception):
    pass


@dataclass(frozen=True)
class Source:
    """One input file and the path of its output file relative to OUTPUT."""

    path: str
    relative: str


@dataclass
class Job:
    """What to read and where to write: filesystems, files and the staging folder."""

    input: str
    output: str
    in_fs: Any
    out_fs: Any
    out_path: str
    staging: str
    sources: list[Source] = field(default_factory=list)


def _filesystem(path: str) -> tuple[pyarrow.fs.FileSystem, str]:
    import pyarrow.fs

    if "://" in path:
        return pyarrow.fs.FileSystem.from_uri(path)
    return pyarrow.fs.LocalFileSystem(), os.path.abspath(path)


def _hidden(relative: str) -> bool:
    return any(part.startswith(("_", ".")) for part in relative.split("/"))


def plan(input_path: str, output_path: str) -> Job:
    """List INPUT's Parquet files and choose OUTPUT's staging folder.

    Raises _UsageError for an INPUT that is not there, an OUTPUT that
    already exists (other than as an empty folder) or lies inside INPUT.
    """
    import pyarrow.fs

    try:
        in_fs, in_path = _filesystem(input_path)
        out_fs, out_path = _filesystem(output_path)
    except (ValueError, OSError) as exc:
        raise _UsageError(str(exc)) from None
    info = in_fs.get_file_info(in_path)
    if info.type == pyarrow.fs.FileType.File:
        sources = [Source(in_path, os.path.basename(in_path))]
    elif info.type == pyarrow.fs.FileType.Directory:
        found = in_fs.get_file_info(pyarrow.fs.FileSelector(in_path, recursive=True))
        sources = []
        for entry in sorted(found, key=lambda e: e.path):
            relative = entry.path[len(in_path) :].lstrip("/")
            if entry.type == pyarrow.fs.FileType.File and not _hidden(relative):
                sources.append(Source(entry.path, relative))
    else:
        raise _UsageError(f"cannot read {input_path}: no such file or directory")
    if not sources:
        raise _UsageError(f"no Parquet files in {input_path}")

    same_fs = type(in_fs) is type(out_fs)
    if same_fs and (out_path == in_path or out_path.startswith(in_path.rstrip("/") + "/")):
        raise _UsageError("OUTPUT must not be INPUT or lie inside it")
    target = out_fs.get_file_info(out_path)
    if target.type == pyarrow.fs.FileType.Directory:
        if out_fs.get_file_info(pyarrow.fs.FileSelector(out_path)):
            raise _UsageError(f"OUTPUT already exists and is not empty: {output_path}")
    elif target.type != pyarrow.fs.FileType.NotFound:
        raise _UsageError(f"OUTPUT already exists: {output_path}")
    parent, name = os.path.split(out_path.rstrip("/"))
    if out_fs.get_file_info(parent).type != pyarrow.fs.FileType.Directory:
        raise _UsageError(f"cannot write {output_path}: no such directory {parent}")
    staging = f"{parent}/.{name}.tmp-{uuid.uuid4().hex[:12]}"
    return Job(input_path, output_path, in_fs, out_fs, out_path, staging, sources)


@contextmanager
def _staged(job: Job, create: bool = True) -> Iterator[str]:
    """Yield the staging folder; move it to OUTPUT on success, remove it on failure."""
    import pyarrow.fs

    if create:
        job.out_fs.create_dir(job.staging, recursive=False)
    try:
        yield job.staging
    except BaseException:
        if job.out_fs.get_file_info(job.staging).type != pyarrow.fs.FileType.NotFound:
            job.out_fs.delete_dir(job.staging)
        raise
    if job.out_fs.get_file_info(job.out_path).type == pyarrow.fs.FileType.Directory:
        job.out_fs.delete_dir(job.out_path)  # found empty when the job was planned
    job.out_fs.move(job.staging, job.out_path)


# --- one batch and one file ---------------------------------------------------


def names_type() -> pa.DataType:
    """The Arrow type of the tier and action columns in every output file:
    dictionary-encoded strings with 32-bit indices, as Parquet readers give them back."""
    import pyarrow as pa

    return pa.dictionary(pa.int32(), pa.string())


def output_schema(schema: pa.Schema) -> pa.Schema:
    """The schema of what tier_table gives for an input schema: columns named
    retention, tier or action replaced where they stand, the others added at
    the end, tier and action of names_type()."""
    import pyarrow as pa

    added = {
        "retention": pa.field("retention", pa.float64(), nullable=False),
        "tier": pa.field("tier", names_type(), nullable=False),
        "action": pa.field("action", names_type(), nullable=False),
    }
    fields = [added.pop(f.name) if f.name in added else f for f in schema]
    return pa.schema(fields + list(added.values()), metadata=schema.metadata)


def first_bad_row(tier: Callable[[Any], Any], batch: Any) -> int | None:
    """The index of the first row of batch that tier refuses, or None when
    tier refuses the batch's columns themselves (it then fails on no rows).

    Found by bisection over prefixes: a prefix fails exactly when it holds a
    bad row, whichever column tier happens to check first.
    """
    try:
        tier(batch.slice(0, 0))
    except (ValueError, TypeError):
        return None
    good, bad = 0, batch.num_rows  # a prefix of `good` rows passes, of `bad` rows fails
    while bad - good > 1:
        middle = (good + bad) // 2
        try:
            tier(batch.slice(0, middle))
        except (ValueError, TypeError):
            bad = middle
        else:
            good = middle
    return bad - 1


def describe_failure(
    exc: BaseException, batch: Any, file_of: Callable[[int], str], row_of: Callable[[int], int]
) -> str:
    """One line for an Arrow batch that tier_table refused with exc: the file
    and tier_table's reason, for the first bad row of the batch, with that
    row's index in its file (row_of) in place of its index in the batch."""
    from . import tier_table

    index = first_bad_row(tier_table, batch)
    if index is None:
        return f"{file_of(0)}: {exc}"
    try:
        tier_table(batch.slice(index, 1))
    except (ValueError, TypeError) as alone:
        reason = str(alone)
    else:  # pragma: no cover - a row that fails in a prefix fails alone
        reason = str(exc)
    row = row_of(index)
    named, found = re.subn(r"\brow 0\b", f"row {row}", reason, count=1)
    return f"{file_of(index)}: {named if found else f'row {row}: {reason}'}"


def tier_batch(batch: Any, schema: pa.Schema, where: str, first_row: int) -> Any:
    """tier_table on one Arrow record batch of file `where` whose first row
    has index first_row in the file, as a Table of the given output schema."""
    import pyarrow as pa

    from . import tier_table

    try:
        tiered = tier_table(batch)
    except (ValueError, TypeError) as exc:
        raise JobError(describe_failure(exc, batch, lambda i: where, lambda i: first_row + i)) from None
    return pa.Table.from_batches([tiered]).cast(schema)


def count_names(column: Any) -> dict[str, int]:
    """Rows per name in a dictionary-encoded string column."""
    import pyarrow.compute as pc

    counts = pc.value_counts(column)
    names = counts.field("values").cast("string").to_pylist()
    return dict(zip(names, counts.field("counts").to_pylist()))


@dataclass
class FileResult:
    """What one file gave: its rows, and rows per tier and per action."""

    rows: int
    tiers: dict[str, int]
    actions: dict[str, int]


class Stopped(Exception):
    """A file task gave up because the job failed elsewhere."""


def tier_file(
    in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int,
    on_batch: Callable[[int], None] | None = None,
    stop: Callable[[], bool] | None = None,
) -> FileResult:
    """Tier one Parquet file into another, one batch at a time, rows in order.

    stop, if given, is asked before the file is opened and after each
    batch; when it answers true the task raises Stopped.
    """
    import pyarrow as pa

    try:
        return _tier_file(in_fs, source, out_fs, target, batch_rows, on_batch, stop)
    except pa.ArrowException as exc:
        # A file that is not Parquet, a read or write error.
        raise JobError(f"{source}: {exc}") from None


def _tier_file(
    in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int,
    on_batch: Callable[[int], None] | None,
    stop: Callable[[], bool] | None,
) -> FileResult:
    import pyarrow.parquet as pq

    tiers: dict[str, int] = {}
    actions: dict[str, int] = {}
    rows = 0
    if stop is not None and stop():
        raise Stopped(source)
    with in_fs.open_input_file(source) as raw:
        reader = pq.ParquetFile(raw)
        schema = output_schema(reader.schema_arrow)
        with out_fs.open_output_stream(target) as sink, pq.ParquetWriter(sink, schema) as writer:
            for batch in reader.iter_batches(batch_size=batch_rows):
                table = tier_batch(batch, schema, source, rows)
                writer.write_table(table, row_group_size=batch_rows)
                rows += table.num_rows
                for name, counts in (("tier", tiers), ("action", actions)):
                    for key, n in count_names(table.column(name)).items():
                        counts[key] = counts.get(key, 0) + n
                if on_batch is not None:
                    on_batch(table.num_rows)
                if stop is not None and stop():
                    raise Stopped(source)
    return FileResult(rows, tiers, actions)


def _add(tally: Tally, result: FileResult) -> None:
    tally.items += result.rows
    tally.tiers.update(result.tiers)
    tally.actions.update(result.actions)


def _target(job: Job, staging: str, source: Source) -> str:
    target = f"{staging}/{source.relative}"
    folder = os.path.dirname(source.relative)
    if folder:
        job.out_fs.create_dir(f"{staging}/{folder}", recursive=True)
    return target


# --- the engines ----------------------------------------------------------------


def _total_rows(job: Job) -> int:
    import pyarrow.parquet as pq

    total = 0
    for source in job.sources:
        with job.in_fs.open_input_file(source.path) as raw:
            total += pq.ParquetFile(raw).metadata.num_rows
    return total


def run_local(job: Job, batch_rows: int = DEFAULT_BATCH_ROWS, progress: Progress | None = None) -> Tally:
    """Tier every file in this process."""
    tally = Tally()
    done = 0

    def advance(rows: int) -> None:
        nonlocal done
        done += rows
        if progress is not None:
            progress.update(done, done)

    with _staged(job) as staging:
        for source in job.sources:
            result = tier_file(job.in_fs, source.path, job.out_fs, _target(job, staging, source), batch_rows, advance)
            _add(tally, result)
        if progress is not None:
            progress.update(done, done, final=True)
    return tally


def _file_task(in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int, abort: str) -> FileResult:
    # A module-level function, so Dask sends it to the workers by name. The
    # job sets the Dask event named abort when it fails, and every task
    # still running stops at its next batch.
    from distributed import Event

    event = Event(abort)
    return tier_file(in_fs, source, out_fs, target, batch_rows, stop=event.is_set)


def run_dask(
    job: Job, scheduler: str | None = None, workers: int = DEFAULT_WORKERS,
    batch_rows: int = DEFAULT_BATCH_ROWS, progress: Progress | None = None,
) -> Tally:
    """Tier every file as one task on a Dask cluster: the one at scheduler,
    or a local cluster of `workers` processes started for this job."""
    import logging

    from distributed import Client, Event, LocalCluster, as_completed, wait

    with _dask_client(Client, LocalCluster, scheduler, workers, logging.ERROR) as client:
        tally = Tally()
        abort = Event(f"quillmarrow-engine-abort-{uuid.uuid4().hex}", client=client)
        with _staged(job) as staging:
            count = len(job.sources)
            futures = client.map(
                _file_task,
                [job.in_fs] * count, [s.path for s in job.sources],
                [job.out_fs] * count, [_target(job, staging, s) for s in job.sources],
                [batch_rows] * count, [abort.name] * count,
                pure=False,
            )
            try:
                for future in as_completed(futures):
                    _add(tally, future.result())
                    if progress is not None:
                        progress.update(tally.items, tally.items)
            except BaseException:
                # No task may write into the staging folder once it is
                # removed: stop them all and wait until each has ended.
                abort.set()
                wait(futures)
                raise
        return tally


@contextmanager
def _dask_client(client_type: Any, cluster_type: Any, scheduler: str | None, workers: int, level: int) -> Iterator[Any]:
    if scheduler is not None:
        with client_type(scheduler) as client:
            yield client
        return
    with cluster_type(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=level,
    ) as cluster, client_type(cluster) as client:
        yield client


_EXECUTOR_FAILURE = re.compile(r"JobError: (.*)")


def run_spark(job: Job, master: str | None = None, workers: int = DEFAULT_WORKERS, session: Any = None) -> None:
    """Tier the dataset with Spark: in `session`, or in a session on `master`
    (default local[workers]) started for this job and stopped after it."""
    import warnings

    from pyspark.sql import SparkSession

    # Arrow batches need no pandas; pyspark's warning about its version is noise here.
    warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas")
    # Spark's Python workers run the interpreter named here; this one has the engine.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    owned = session is None and SparkSession.getActiveSession() is None
    if master is None:
        # A local master needs no network address but the loopback one.
        os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    if session is None:
        session = (
            SparkSession.builder.appName("quillmarrow-engine tier-parquet")
            .master(master or f"local[{workers}]")
            .config("spark.ui.showConsoleProgress", "false")
            .config("spark.ui.enabled", "false")
            .getOrCreate()
        )
        if owned:
            # The job reports a failure in one line; Spark's own log of it would
            # repeat the Python traceback several times over.
            session.sparkContext.setLogLevel("FATAL")
    try:
        _spark_job(session, job)
    finally:
        if owned:
            session.stop()


def _spark_job(session: Any, job: Job) -> None:
    from pyspark.errors import PySparkException
    from py4j.protocol import Py4JJavaError

    from .spark import FILE_COLUMN, ROW_COLUMN, tier_located

    session.conf.set("spark.sql.parquet.outputTimestampType", "TIMESTAMP_MICROS")
    session.conf.set("spark.sql.execution.arrow.maxRecordsPerBatch", str(DEFAULT_BATCH_ROWS))
    with _staged(job, create=False) as staging:
        try:
            frame = session.read.parquet(job.input)
            located = frame.select(
                "*",
                frame["_metadata.file_path"].alias(FILE_COLUMN),
                frame["_metadata.row_index"].alias(ROW_COLUMN),
            )
            tiered = tier_located(located).drop(FILE_COLUMN, ROW_COLUMN)
            tiered.write.parquet(staging if "://" in job.output else "file://" + staging)
        except (PySparkException, Py4JJavaError) as exc:
            found = _EXECUTOR_FAILURE.findall(str(exc))
            raise JobError(found[-1].strip() if found else _first_line(str(exc))) from None


def _first_line(text: str) -> str:
    return next((line.strip() for line in text.splitlines() if line.strip()), text)
