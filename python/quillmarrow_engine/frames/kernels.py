"""The column kernels over NumPy arrays, and the records of their results."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

from .._bulk import score_columns, tier_columns
from .values import numpy

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["ScoreResult", "TierResult", "score_rows", "tier_rows"]


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


def tier_rows(numbers: list[Any], flags: list[Any]) -> TierResult:
    """tier_columns over four number arrays and two flag arrays (or None)."""
    np = numpy()
    rows = len(numbers[0])
    result = TierResult(np.empty(rows, np.float64), np.empty(rows, np.uint8), np.empty(rows, np.uint8))
    days, counts, importance, frequency = numbers
    tier_columns(days, counts, importance, frequency, flags[0], flags[1], result.retention, result.tier, result.action)
    return result


def score_rows(numbers: list[Any]) -> ScoreResult:
    """score_columns over four number arrays."""
    np = numpy()
    rows = len(numbers[0])
    result = ScoreResult(np.empty(rows, np.float64), np.empty(rows, np.float64), np.empty(rows, np.float64))
    days, counts, importance, frequency = numbers
    score_columns(days, counts, importance, frequency, result.retention, result.stability, result.boost)
    return result
