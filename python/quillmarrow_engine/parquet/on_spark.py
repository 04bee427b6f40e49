"""The Spark engine: Spark reads the dataset, the executors tier it through
quillmarrow_engine.spark, and Spark writes the files, laid out its own way."""

from __future__ import annotations

import os
import re
import sys
import warnings
from typing import Any

from ..errors import JobError
from ..frames.vocabulary import Vocabulary, vocabulary
from .plan import DEFAULT_BATCH_ROWS, DEFAULT_WORKERS, Job, staged

_EXECUTOR_FAILURE = re.compile(r"JobError: (.*)")


def run_spark(
    job: Job, master: str | None = None, workers: int = DEFAULT_WORKERS, session: Any = None,
    vocab: Vocabulary | None = None,
) -> None:
    """Tier the dataset with Spark: in `session`, or in a session on `master`
    (default local[workers]) started for this job and stopped after it."""
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
        _spark_job(session, job, vocab or vocabulary())
    finally:
        if owned:
            session.stop()


def _spark_job(session: Any, job: Job, vocab: Vocabulary) -> None:
    from py4j.protocol import Py4JJavaError
    from pyspark.errors import PySparkException

    from ..spark import FILE_COLUMN, ROW_COLUMN, tier_located

    session.conf.set("spark.sql.parquet.outputTimestampType", "TIMESTAMP_MICROS")
    session.conf.set("spark.sql.execution.arrow.maxRecordsPerBatch", str(DEFAULT_BATCH_ROWS))
    with staged(job, create=False) as staging:
        try:
            frame = session.read.parquet(job.input)
            located = frame.select(
                "*",
                frame["_metadata.file_path"].alias(FILE_COLUMN),
                frame["_metadata.row_index"].alias(ROW_COLUMN),
            )
            tiered = tier_located(located, vocab).drop(FILE_COLUMN, ROW_COLUMN)
            tiered.write.parquet(staging if "://" in job.output else "file://" + staging)
        except (PySparkException, Py4JJavaError) as exc:
            found = _EXECUTOR_FAILURE.findall(str(exc))
            raise JobError(found[-1].strip() if found else _first_line(str(exc))) from None


def _first_line(text: str) -> str:
    return next((line.strip() for line in text.splitlines() if line.strip()), text)
