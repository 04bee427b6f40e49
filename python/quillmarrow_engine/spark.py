"""Tiering a Spark DataFrame in the executors.

    from quillmarrow_engine.spark import tier_dataframe
    tiered = tier_dataframe(spark.read.parquet("s3a://bucket/memories"))

Only the columns the engine reads go to the executors' Python workers, as
the Arrow arrays of a batch of rows (an Arrow UDF; with pyspark before 4.1,
which has none, whole batches through ``mapInArrow``), and each batch is
tiered by one ``tier_table`` call: no Python runs per row. The workers send
back the retention and the codes of the tier and the action, Spark turns the
codes into names itself, and every other column stays in Spark.

The workers' Python needs the quillmarrow-engine wheel, NumPy and pyarrow
(see "Shipping the wheel to a cluster's workers" in the README).

Only pyspark is imported here when the driver calls; pyarrow, NumPy and the
engine's native code are imported in the workers, when a batch arrives.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from datetime import datetime
from functools import cache, partial
from typing import Any

from pyspark.accumulators import Accumulator, AccumulatorParam
from pyspark.sql import Column, DataFrame
from pyspark.sql import functions as F
from pyspark.sql.types import ByteType, DoubleType, StructField, StructType

from .fields import ACTIONS, TIERS
from .frames.vocabulary import TIER_RESULTS, Vocabulary, vocabulary
from .tally import Tally

RESULTS = TIER_RESULTS
# The hidden column holding each row's decision between the two steps: the
# workers' struct of retention and codes, then the columns made of it.
_DECISION = "__quillmarrow_decision"
_DECISION_TYPE = StructType([
    StructField("retention", DoubleType(), nullable=False),
    StructField("tier", ByteType(), nullable=False),
    StructField("action", ByteType(), nullable=False),
])


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
    pass through. The result is lazy like any DataFrame: a bad row fails the
    action that computes it, with tier_table's error (a ValueError naming
    the column and the row's index within its Arrow batch) in Spark's error.

    columns, recalled_at, now, time_unit and max_skew are tier_table's; now
    is fixed here, on the driver (default: this moment), so every executor
    counts to the same instant.

    Spark hands the workers the Parquet reader's batches when df is read
    from Parquet (``spark.sql.parquet.columnarReaderBatchSize`` rows, 4,096
    by default), else ``spark.sql.execution.arrow.maxRecordsPerBatch`` rows.
    """
    return _tier(df, vocabulary(columns, recalled_at, now, time_unit, max_skew))


def tier_counted(df: DataFrame, vocab: Vocabulary, counts: Accumulator[list[int]]) -> DataFrame:
    """tier_dataframe with the options vocab, adding to counts (from
    new_counts) the rows of every batch the workers tier, per tier and per
    action."""
    return _tier(df, vocab, counts)


def new_counts(session: Any) -> Accumulator[list[int]]:
    """An accumulator for tier_counted, in the session's Spark context: rows
    per tier code, then per action code, then the number of batches."""
    counts: Accumulator[list[int]] = session.sparkContext.accumulator(
        [0] * (len(TIERS) + len(ACTIONS) + 1), _Counts()
    )
    return counts


def counted(counts: Accumulator[list[int]]) -> tuple[Tally, int]:
    """What counts added up to: the rows per tier and per action, and the
    number of Arrow batches the workers tiered."""
    values = counts.value
    tally = Tally()
    tally.add_codes(values[len(TIERS) : -1], ACTIONS, values[: len(TIERS)], TIERS)
    return tally, values[-1]


class _Counts(AccumulatorParam[list[int]]):
    """Lists of counts, added element by element."""

    def zero(self, value: list[int]) -> list[int]:
        return [0] * len(value)

    def addInPlace(self, value1: list[int], value2: list[int]) -> list[int]:
        for index, count in enumerate(value2):
            value1[index] += count
        return value1


def _tier(
    df: DataFrame, vocab: Vocabulary, counts: Accumulator[list[int]] | None = None, arrow_udf: bool | None = None
) -> DataFrame:
    """The two steps: each row's decision from the workers (an Arrow UDF of
    the input columns, or mapInArrow when arrow_udf is False or pyspark has
    no Arrow UDFs), then the result columns made of it in Spark."""
    from .frames import apply

    # What the workers call on each batch: tier_table with the options.
    tier = partial(apply, vocab=vocab, caller="tier_dataframe")
    results = tuple(vocab.column(name) for name in RESULTS)
    if arrow_udf is None:
        arrow_udf = hasattr(F, "arrow_udf")
    if arrow_udf:
        inputs = _input_columns(df, vocab)
        decide = _scalar_arrow_udf(partial(_decide_arrays, tier, results, inputs, counts))
        staged = df.select("*", decide(*[_column(name) for name in inputs]).alias(_DECISION))
    else:
        schema = StructType([*df.schema.fields, StructField(_DECISION, _DECISION_TYPE, nullable=False)])
        staged = df.mapInArrow(partial(_decide_batches, tier, results, counts), schema)
    decision = {
        results[0]: F.col(f"{_DECISION}.retention"),
        results[1]: _names(F.col(f"{_DECISION}.tier"), TIERS),
        results[2]: _names(F.col(f"{_DECISION}.action"), ACTIONS),
    }
    # As tier_table does: result columns replaced where they stand, or added at the end.
    columns = [decision.pop(name).alias(name) if name in decision else _column(name) for name in df.columns]
    return staged.select(*columns, *[column.alias(name) for name, column in decision.items()])


def _input_columns(df: DataFrame, vocab: Vocabulary) -> list[str]:
    """The columns of df that tier_table reads with the options vocab: the
    fields' columns and the recall times that are there (a missing one that
    the engine needs then fails the batch with the engine's message)."""
    wanted = [vocab.column(name) for name in vocab.input_fields()]
    if vocab.recalled_at is not None:
        wanted.append(vocab.recalled_at)
    present = set(df.columns)
    return [name for name in dict.fromkeys(wanted) if name in present]


def _scalar_arrow_udf(function: Callable[..., Any]) -> Any:
    """function as a scalar Arrow UDF giving a decision struct. The type is
    named rather than read from type hints, which a partial does not carry;
    pyspark's warning that it prefers hints is left out."""
    arrow_udf, kinds = getattr(F, "arrow_udf"), getattr(F, "ArrowUDFType")  # pyspark 4.1 and later
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*type hints", category=UserWarning)
        return arrow_udf(function, _DECISION_TYPE, kinds.SCALAR)


def _column(name: str) -> Column:
    """The column of that name, whatever characters it holds (dots included)."""
    return F.col("`" + name.replace("`", "``") + "`")


def _names(code: Column, names: Sequence[str]) -> Column:
    """The name of each code: names[code]."""
    chosen = F.when(code == 0, names[0])
    for index, name in enumerate(names[1:-1], start=1):
        chosen = chosen.when(code == index, name)
    return chosen.otherwise(names[-1])


def _decide_arrays(
    tier: Callable[[Any], Any], results: Sequence[str], names: Sequence[str],
    counts: Accumulator[list[int]] | None, *arrays: Any,
) -> Any:
    # Runs in Spark's Python workers: the input columns of one batch.
    import pyarrow as pa

    return _decide(tier, results, pa.RecordBatch.from_arrays(list(arrays), names=list(names)), counts)


def _decide_batches(
    tier: Callable[[Any], Any], results: Sequence[str], counts: Accumulator[list[int]] | None,
    batches: Iterable[Any],
) -> Iterator[Any]:
    # Runs in Spark's Python workers: whole batches, passed through with the decisions added.
    import pyarrow as pa

    for batch in batches:
        decision = _decide(tier, results, batch, counts)
        yield pa.RecordBatch.from_arrays([*batch.columns, decision], names=[*batch.schema.names, _DECISION])


def _decide(
    tier: Callable[[Any], Any], results: Sequence[str], batch: Any, counts: Accumulator[list[int]] | None
) -> Any:
    """One batch's decisions (tier is tier_table with the job's options,
    writing the columns named results) as a struct array: the retention, and
    the tier and action as their codes (int8, indexes into TIERS and
    ACTIONS)."""
    import pyarrow as pa

    _settle_worker()
    tiered = tier(batch)
    retention, tiers, actions = (tiered.column(name) for name in results)
    codes = [tiers.indices, actions.indices]
    if counts is not None:
        counts.add(_count_codes(*codes))
    return pa.StructArray.from_arrays([retention, *codes], names=list(RESULTS))


def _count_codes(tier: Any, action: Any) -> list[int]:
    import numpy as np

    per_tier = np.bincount(tier.to_numpy().view(np.uint8), minlength=len(TIERS))
    per_action = np.bincount(action.to_numpy().view(np.uint8), minlength=len(ACTIONS))
    return [*per_tier.tolist(), *per_action.tolist(), 1]


@cache
def _settle_worker() -> None:
    """Spark's Python worker runs a full garbage collection after each task,
    a pass over every object alive: some 74,000 once pyarrow, NumPy and the
    engine are loaded, 17 ms a task on an idle core (far more on a loaded
    one). The objects alive at the first batch (modules, mostly) are frozen,
    once per worker process (cached: asking gc how many objects are frozen
    would walk them all), out of those passes, which then take microseconds."""
    import gc

    gc.freeze()
