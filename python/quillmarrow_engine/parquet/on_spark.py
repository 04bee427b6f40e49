"""The Spark engine: Spark reads the dataset, the executors tier it through
quillmarrow_engine.spark, and Spark writes the files, laid out its own way.

The job counts the rows per tier and per action as it goes (an accumulator
the workers add each batch's counts to), for the summary every engine
prints. It carries no file name or row index through the rows: only when a
bad row fails the job does a second pass over the input, with each row's
file and index, find the first bad row of a batch and name it.
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
import warnings
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from functools import partial
from typing import IO, Any

from ..errors import JobError
from ..frames.vocabulary import Vocabulary, vocabulary
from ..tally import Tally
from ..worker_errors import WorkerFailure, describe, from_text
from .plan import DEFAULT_BATCH_ROWS, DEFAULT_WORKERS, Job, staged

# Hidden columns of the pass that names a bad row: each row's file and its
# index in the file.
FILE_COLUMN = "__quillmarrow_file"
ROW_COLUMN = "__quillmarrow_row"
# Lines of the JVM's own output shown when Spark does not start in quiet mode.
_JVM_LINES = 10


def run_spark(
    job: Job, master: str | None = None, workers: int = DEFAULT_WORKERS, session: Any = None,
    vocab: Vocabulary | None = None, batch_rows: int = DEFAULT_BATCH_ROWS, quiet: bool = False,
) -> Tally:
    """Tier the dataset with Spark: in `session`, or in a session on `master`
    (default local[workers]) started for this job and stopped after it.

    vocab: the columns and recall times to read (default: the fields' own
    names). The Python workers get batch_rows rows at a time. quiet: a
    session started here prints nothing of Spark's own (its log and the
    JVM's output); a session given keeps its settings. Returns the rows per
    tier and per action."""
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
        session = _session(master or f"local[{workers}]", quiet and owned)
        if owned:
            # The job reports a failure in one line; Spark's own log of it would
            # repeat the Python traceback several times over.
            session.sparkContext.setLogLevel("FATAL")
    try:
        return _spark_job(session, job, vocab or vocabulary(), batch_rows)
    finally:
        if owned:
            session.stop()


def _session(master: str, quiet: bool) -> Any:
    """A session on master; quiet: the JVM's output (its start-up warnings,
    the log before the level is set) goes to a scratch file, shown only if
    Spark does not start."""
    from pyspark.errors import PySparkException
    from pyspark.sql import SparkSession

    builder = (
        SparkSession.builder.appName("quillmarrow-engine tier-parquet")
        .master(master)
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.ui.enabled", "false")
    )
    with _jvm_output(quiet) as output:
        try:
            return builder.getOrCreate()
        except PySparkException as exc:
            shown = ""
            if output is not None:
                output.seek(0)
                lines = output.read().decode(errors="replace").splitlines()[-_JVM_LINES:]
                shown = "".join(f"\n  {line}" for line in lines)
            raise JobError(f"Spark did not start: {_first_line(str(exc))}{shown}") from None


@contextmanager
def _jvm_output(quiet: bool) -> Iterator[IO[bytes] | None]:
    """While Spark's JVM starts, and so for its whole life (it keeps the
    standard error it started with): quiet, its standard error is a scratch
    file; otherwise this process's own."""
    if not quiet:
        yield None
        return
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as scratch:
        os.dup2(scratch.fileno(), 2)
        try:
            yield scratch
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def job_settings(batch_rows: int) -> dict[str, str]:
    """The session settings of a job: timestamps written as Parquet readers
    expect, and batch_rows rows per Arrow batch whether Spark hands the
    workers the Parquet reader's batches or batches of rows.

    Spark 4.3 can pass the Parquet reader's column batches to an Arrow UDF
    as they are, but copies them into Arrow value by value; its rows, read
    by generated code and written to Arrow in batches, cost less (about 13%
    of the job's CPU time on 4,000,000 rows, measured with bench/scale.py's
    roads): the job asks for rows."""
    return {
        "spark.sql.parquet.outputTimestampType": "TIMESTAMP_MICROS",
        "spark.sql.parquet.columnarReaderBatchSize": str(batch_rows),
        "spark.sql.execution.arrow.maxRecordsPerBatch": str(batch_rows),
        "spark.sql.execution.arrow.pythonUDF.columnarInput.enabled": "false",
    }


@contextmanager
def settings(session: Any, values: Mapping[str, str]) -> Iterator[None]:
    """The session's runtime settings set to values, and put back after."""
    before = {name: session.conf.get(name, None) for name in values}
    for name, value in values.items():
        session.conf.set(name, value)
    try:
        yield
    finally:
        for name, value in before.items():
            if value is None:
                session.conf.unset(name)
            else:
                session.conf.set(name, value)


def _spark_job(session: Any, job: Job, vocab: Vocabulary, batch_rows: int) -> Tally:
    from py4j.protocol import Py4JJavaError
    from pyspark.errors import PySparkException

    from ..spark import counted, new_counts, tier_counted

    with settings(session, job_settings(batch_rows)), staged(job, create=False) as staging:
        counts = new_counts(session)
        try:
            tiered = tier_counted(session.read.parquet(job.input), vocab, counts)
            tiered.write.parquet(staging if "://" in job.output else "file://" + staging)
        except (PySparkException, Py4JJavaError) as exc:
            raise JobError(_failure(session, job, vocab, str(exc))) from None
    tally, _ = counted(counts)
    return tally


def _failure(session: Any, job: Job, vocab: Vocabulary, text: str) -> str:
    """The message for a failed job, from the text of Spark's error: a bad
    row named by its file and row, a worker's failure with its cause, or the
    first line of what Spark says."""
    failure = from_text(text)
    if failure is None:
        return _first_line(text)
    if _bad_rows(failure):
        located = _locate_bad_row(session, job, vocab)
        if located is not None:
            return located
    python = getattr(session.sparkContext, "pythonExec", None)
    return describe(failure, "a Spark Python worker", python=python)


def _bad_rows(failure: WorkerFailure) -> bool:
    """Whether the workers' failure is the engine refusing rows (tier_table's
    ValueError or TypeError), as opposed to a worker that cannot run."""
    engine = any("quillmarrow_engine" in line for frame in failure.frames for line in frame)
    return failure.name in ("ValueError", "TypeError") and engine


def _locate_bad_row(session: Any, job: Job, vocab: Vocabulary) -> str | None:
    """A second pass over the input, each row with its file and its index in
    the file, tiered with the job's options: the message naming a bad row,
    or None if the pass finds none."""
    from py4j.protocol import Py4JJavaError
    from pyspark.errors import PySparkException

    frame = session.read.parquet(job.input)
    located = frame.select(
        "*", frame["_metadata.file_path"].alias(FILE_COLUMN), frame["_metadata.row_index"].alias(ROW_COLUMN)
    )
    try:
        located.mapInArrow(partial(_check_located, vocab), "found boolean").collect()
    except (PySparkException, Py4JJavaError) as exc:
        failure = from_text(str(exc))
        if failure is not None and failure.name == "JobError":
            return failure.message
    return None


def _check_located(vocab: Vocabulary, batches: Iterable[Any]) -> Iterator[Any]:
    # Runs in Spark's Python workers; yields nothing: a batch that tier_table
    # refuses raises a JobError naming the file and row of its first bad row.
    from ..bad_rows import describe_failure
    from ..frames import apply

    def tier(data: Any) -> Any:
        return apply(data, vocab, "tier-parquet")

    for batch in batches:
        try:
            tier(batch)
        except (ValueError, TypeError) as exc:
            files = batch.column(FILE_COLUMN)
            rows = batch.column(ROW_COLUMN)

            def file_of(i: int) -> str:
                return _local_path(files[i].as_py()) if batch.num_rows else "input"

            raise JobError(describe_failure(exc, batch, file_of, lambda i: int(rows[i].as_py()), tier)) from None
    yield from ()


def _local_path(uri: str) -> str:
    """A path as the user wrote it: Spark names local files file:/path, URL-quoted."""
    from urllib.parse import unquote

    if uri.startswith("file:"):
        return unquote(uri[len("file:") :]).replace("///", "/", 1)
    return uri


# The first line of a Py4JJavaError's text, which names only the JVM call.
_CALL = re.compile(r"An error occurred while calling [\w.$]+\.?$")
# A Java exception's class before its message ("org.apache.spark.SparkException: ").
_JAVA_CLASS = re.compile(r"^:?\s*(?:[a-z][\w$]*\.)+[A-Z][\w$]*(?:Exception|Error): ")


def _first_line(text: str) -> str:
    """The line of Spark's error text that says what went wrong: its first,
    past the JVM call it came from and the Java exception's class name."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if len(lines) > 1 and _CALL.fullmatch(lines[0]):
        lines = lines[1:]
    return _JAVA_CLASS.sub("", lines[0]) if lines else text
