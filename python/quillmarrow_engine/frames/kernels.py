"""The column kernels over NumPy arrays, and the records of their results.

Large calls are shared out over native threads: as many as asked, by
default the cores this process may run on, each with at least
MIN_ROWS_PER_THREAD rows. Every row is computed by the same code whatever the
thread count, so the answers do not depend on it.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, NamedTuple

from .._bulk import score_columns, tier_columns
from .values import numpy

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["MIN_ROWS_PER_THREAD", "ScoreResult", "TierResult", "score_rows", "threads_for", "tier_rows"]

# Each thread of a call gets at least this many rows, so a call uses a second
# thread from twice this many. Starting a thread and waiting for it costs
# about as much as 3,500 rows; with 16,384 rows a thread, two threads take
# about 1.7x less time than one, where with 8,192 they sometimes took more
# (bench/column_threads.py, on 2 cores of a virtual machine).
MIN_ROWS_PER_THREAD = 16_384


class TierResult(NamedTuple):
    """Per row: the retention reported by "tier" (1.0 for keep_forever rows),
    and the codes of the tier and action (indexes into TIERS and ACTIONS)."""

    retention: npt.NDArray[np.float64]
    tier: npt.NDArray[np.uint8]
    action: npt.NDArray[np.uint8]


class ScoreResult(NamedTuple):
    """Per row: the retention, stability and boost reported by "score"."""

    retention: npt.NDArray[np.float64]
    stability: npt.NDArray[np.float64]
    boost: npt.NDArray[np.float64]


def usable_cores() -> int:
    """The number of cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - platforms without affinity masks
        return os.cpu_count() or 1


def threads_for(rows: int, threads: int | None) -> int:
    """How many threads a call over `rows` rows uses: at most `threads` (by
    default the usable cores), each with at least MIN_ROWS_PER_THREAD rows."""
    if threads == 1 or rows < 2 * MIN_ROWS_PER_THREAD:
        return 1
    wanted = usable_cores() if threads is None else threads
    return max(1, min(wanted, rows // MIN_ROWS_PER_THREAD))


def tier_rows(numbers: list[Any], flags: list[Any], threads: int | None = None) -> TierResult:
    """tier_columns over four number arrays and two flag arrays (or None),
    on at most `threads` threads (None: the usable cores)."""
    np = numpy()
    rows = len(numbers[0])
    result = TierResult(np.empty(rows, np.float64), np.empty(rows, np.uint8), np.empty(rows, np.uint8))
    days, counts, importance, frequency = numbers
    tier_columns(
        days, counts, importance, frequency, flags[0], flags[1], result.retention, result.tier, result.action,
        threads_for(rows, threads),
    )
    return result


def score_rows(numbers: list[Any], threads: int | None = None) -> ScoreResult:
    """score_columns over four number arrays, on at most `threads` threads."""
    np = numpy()
    rows = len(numbers[0])
    result = ScoreResult(np.empty(rows, np.float64), np.empty(rows, np.float64), np.empty(rows, np.float64))
    days, counts, importance, frequency = numbers
    score_columns(
        days, counts, importance, frequency, result.retention, result.stability, result.boost,
        threads_for(rows, threads),
    )
    return result
