"""Tiering a Spark DataFrame in the executors.

    from quillmarrow_engine.spark import tier_dataframe
    tiered = tier_dataframe(spark.read.parquet("s3a://bucket/memories"))

The rows go to the executors' Python workers as Arrow record batches
(``mapInArrow``), and each batch is tiered by one ``tier_table`` call: no
Python runs per row. The workers need nothing but the installed
quillmarrow-engine wheel (and pyarrow, which Spark's Arrow support needs
anyway).

Only pyspark is imported here; pyarrow and the engine are imported in the
workers, when a batch arrives.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from datetime import datetime
from functools import partial
from typing import Any

from pyspark.sql import DataFrame
from pyspark.sql.types import DoubleType, StringType, StructField, StructType

from .errors import JobError
from .frames.vocabulary import Vocabulary, vocabulary

# Hidden columns that carry each row's file and row index through the job of
# the tier-parquet command, so that a bad row can be named.
FILE_COLUMN = "__quillmarrow_file"
ROW_COLUMN = "__quillmarrow_row"


def tier_dataframe(
    df: DataFrame,
    *,
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
) -> DataFrame:
    """df with the columns retention (double), tier and action (strings)
    added, row for row what ``quillmarrow_engine.tier_table`` gives.

    df needs the columns days_since_recall, retrieval_count, importance and
    frequency (numbers), and may have is_procedural and keep_forever
    (booleans, or the integers 0 and 1). Columns of df already named
    retention, tier or action are replaced where they stand; the others
    pass through. The
    result is lazy like any DataFrame: a bad row fails the action that
    computes it, with tier_table's error (a ValueError naming the column and
    the row's index within its Arrow batch) in Spark's error.

    columns, recalled_at, now, time_unit and max_skew are tier_table's; now
    is fixed here, on the driver (default: this moment), so every executor
    counts to the same instant.
    """
    vocab = vocabulary(columns, recalled_at, now, time_unit, max_skew)
    return _tier(df, vocab, located=False)


def tier_located(df: DataFrame, vocab: Vocabulary) -> DataFrame:
    """tier_dataframe for a df that also has FILE_COLUMN and ROW_COLUMN: a bad
    row fails with a JobError naming its file and its row in that file."""
    return _tier(df, vocab, located=True)


def _tier(df: DataFrame, vocab: Vocabulary, located: bool) -> DataFrame:
    # The schema tier_table gives: retention, tier and action (under the
    # names the vocabulary maps them to) replaced where they stand, or added
    # at the end.
    kinds = {"retention": DoubleType(), "tier": StringType(), "action": StringType()}
    added = {
        vocab.column(name): StructField(vocab.column(name), kind, nullable=False) for name, kind in kinds.items()
    }
    fields = [added.pop(f.name) if f.name in added else f for f in df.schema.fields]
    schema = StructType(fields + list(added.values()))
    return df.mapInArrow(partial(_tier_each, vocab=vocab, located=located), schema)


def _tier_each(batches: Iterable[Any], vocab: Vocabulary, located: bool) -> Iterator[Any]:
    # Runs in Spark's Python workers.
    import pyarrow as pa

    from .frames import apply

    def tier(data: Any) -> Any:
        return apply(data, vocab, "tier_dataframe")

    names = {vocab.column("tier"), vocab.column("action")}
    for batch in batches:
        try:
            tiered = tier(batch)
        except (ValueError, TypeError) as exc:
            if not located:
                raise
            raise JobError(_located_failure(exc, batch, tier)) from None
        # Spark reads plain strings from Python, not dictionary arrays.
        columns = [
            column.cast(pa.string()) if name in names else column
            for name, column in zip(tiered.schema.names, tiered.columns)
        ]
        yield pa.RecordBatch.from_arrays(columns, names=tiered.schema.names)


def _located_failure(exc: BaseException, batch: Any, tier: Any) -> str:
    from .bad_rows import describe_failure

    files = batch.column(FILE_COLUMN)
    rows = batch.column(ROW_COLUMN)

    def file_of(i: int) -> str:
        return _local_path(files[i].as_py()) if batch.num_rows else "input"

    return describe_failure(exc, batch, file_of, lambda i: int(rows[i].as_py()), tier)


def _local_path(uri: str) -> str:
    """A path as the user wrote it: Spark names local files file:/path, URL-quoted."""
    from urllib.parse import unquote

    if uri.startswith("file:"):
        return unquote(uri[len("file:") :]).replace("///", "/", 1)
    return uri
