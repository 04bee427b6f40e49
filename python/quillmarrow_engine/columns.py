"""Scoring and tiering whole columns: NumPy arrays, and tables of any
DataFrame library (pandas, Polars, pyarrow, DuckDB, the Arrow PyCapsule
stream).

Every row goes through the engine's own scoring code (the native module
``quillmarrow_engine._bulk``), so each retention, stability and boost is bit
for bit what ``run('score', ...)`` gives for the same doubles, and each tier
and action is the one ``run('tier', ...)`` gives. The rows are computed with
the interpreter lock released.

Every function takes the same vocabulary (``quillmarrow_engine.frames.vocabulary``):
``columns=`` maps fields to the table's own column names, ``recalled_at=``
gives recall times instead of day counts, counted to ``now=`` (default: the
moment of the call) with ``time_unit=`` for times given as numbers and
``max_skew=`` seconds allowed after now. NumPy and the table libraries are
imported only when a call needs them.

Large inputs are shared out over native threads, as many as the cores this
process may run on unless ``threads=`` says otherwise. Every row is computed
by the same code whatever the thread count, so the answers do not depend on it.
"""

from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime
from typing import Any

from .fields import ACTIONS, FLAG_FIELDS, NUMBER_FIELDS, TIERS
from .frames import apply
from .frames.kernels import MIN_ROWS_PER_THREAD, ScoreResult, TierResult, score_rows, tier_rows
from .frames.recall import days_since
from .frames.values import as_array
from .frames.vocabulary import SCORE_RESULTS, TIER_RESULTS, Vocabulary, label, vocabulary

__all__ = [
    "ACTIONS",
    "MIN_ROWS_PER_THREAD",
    "TIERS",
    "ScoreResult",
    "TierResult",
    "score_arrays",
    "score_table",
    "tier_arrays",
    "tier_table",
]

Time = str | float | datetime


def _numbers(days_since_recall: Any, others: tuple[Any, Any, Any], recalled_at: Any, vocab: Vocabulary) -> list[Any]:
    if recalled_at is not None and days_since_recall is not None:
        raise ValueError("give either days_since_recall or recalled_at, not both")
    if recalled_at is None and days_since_recall is None:
        raise ValueError("days_since_recall is None: give the day counts, or recall times with recalled_at=")
    days = (
        days_since("recalled_at", recalled_at, vocab)
        if recalled_at is not None
        else as_array(label(NUMBER_FIELDS[0], NUMBER_FIELDS[0]), days_since_recall)
    )
    return [days] + [as_array(label(name, name), values) for name, values in zip(NUMBER_FIELDS[1:], others)]


def tier_arrays(
    days_since_recall: Any,
    retrieval_count: Any,
    importance: Any,
    frequency: Any,
    is_procedural: Any = None,
    keep_forever: Any = None,
    *,
    recalled_at: Any = None,
    now: Time | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    threads: int | None = None,
) -> TierResult:
    """The tier, action and retention of every row, as "tier" decides them.

    Absent flags are false on every row. With recalled_at (an array of
    recall times: timestamps, dates, numbers of time_unit, or ISO-8601
    texts), days_since_recall is None and the days are counted to now.
    Raises ValueError (columns of different lengths, a NaN or infinite
    value, a null, a flag other than 0 or 1, a recall time after now) or
    TypeError (a column of the wrong type), naming the column and, for a
    value, its first bad row; no result is returned then.

    threads: the most native threads the call uses (None: the cores this
    process may run on; 1: the calling thread only). Each thread gets at
    least MIN_ROWS_PER_THREAD rows, so small calls stay on one. The answers
    are the same, bit for bit, for every thread count.
    """
    vocab = vocabulary(
        None, None, now, time_unit, max_skew, recall_times=recalled_at is not None, threads=threads
    )
    numbers = _numbers(days_since_recall, (retrieval_count, importance, frequency), recalled_at, vocab)
    flags = [
        None if values is None else as_array(label(name, name), values, flag=True)
        for name, values in zip(FLAG_FIELDS, (is_procedural, keep_forever))
    ]
    result = tier_rows(numbers, flags, vocab.threads)
    assert isinstance(result, TierResult)
    return result


def score_arrays(
    days_since_recall: Any,
    retrieval_count: Any,
    importance: Any,
    frequency: Any,
    *,
    recalled_at: Any = None,
    now: Time | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    threads: int | None = None,
) -> ScoreResult:
    """The retention, stability and boost of every row, as "score" gives them.

    recalled_at, errors and threads as for tier_arrays.
    """
    vocab = vocabulary(
        None, None, now, time_unit, max_skew, results=SCORE_RESULTS, recall_times=recalled_at is not None,
        threads=threads,
    )
    numbers = _numbers(days_since_recall, (retrieval_count, importance, frequency), recalled_at, vocab)
    return score_rows(numbers, vocab.threads)


def tier_table(
    data: Any,
    *,
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: Time | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    threads: int | None = None,
) -> Any:
    """The table with the columns retention (float64), tier and action added,
    of the same kind: a pandas DataFrame, a Polars DataFrame or LazyFrame (it
    stays lazy), a pyarrow Table or RecordBatch, a DuckDB relation (still
    lazy), or a pyarrow Table for any other object with
    ``__arrow_c_stream__``.

    The fields are read from the columns named like them, or as columns=
    maps them (``{"importance": "imp"}``; results too: ``{"tier":
    "memory_tier"}``); is_procedural and keep_forever are false where absent.
    recalled_at names a column of recall times to count days from, instead of
    days_since_recall. tier and action are categoricals (pandas), Enums
    (Polars, DuckDB) or dictionary-encoded strings (Arrow); existing columns
    of the result names are replaced where they stand, all other columns pass
    through untouched. Errors as for tier_arrays, naming the column (and its
    field) and the row by position; ValueError for a missing column, with the
    fix; TypeError naming the full type of anything else. threads as for
    tier_arrays.
    """
    vocab = vocabulary(columns, recalled_at, now, time_unit, max_skew, results=TIER_RESULTS, threads=threads)
    return apply(data, vocab, "tier_table")


def score_table(
    data: Any,
    *,
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: Time | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    threads: int | None = None,
) -> Any:
    """The table with the columns retention, stability and boost (float64)
    added, as "score" gives them; everything else as for tier_table (the
    flags are not read)."""
    vocab = vocabulary(columns, recalled_at, now, time_unit, max_skew, results=SCORE_RESULTS, threads=threads)
    return apply(data, vocab, "score_table")
