"""A table's columns read by the vocabulary: each field from its column (or
days since recall from the recall times), checked and converted, then one
kernel call. Every library's module hands its columns over through a getter,
so the rules (what is required, what a missing column says, how messages
name columns) are written once."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from ..fields import FLAG_FIELDS, NUMBER_FIELDS
from .kernels import ScoreResult, TierResult, score_rows, tier_rows
from .recall import days_since
from .values import as_array
from .vocabulary import TIER_RESULTS, Vocabulary, label, missing_column, rename_fields

__all__ = ["compute", "present_column"]


def present_column(names: Sequence[Any], column: str) -> bool:
    """Whether the table has the column, once; ValueError when it has it twice."""
    count = list(names).count(column)
    if count > 1:
        raise ValueError(f"column {column!r} appears {count} times")
    return count == 1


def compute(vocab: Vocabulary, names: Sequence[Any], get: Callable[[str], Any]) -> TierResult | ScoreResult:
    """The kernel's result over the table whose column names are `names`;
    get(column) gives a column's values."""
    arrays: dict[str, Any] = {}
    if vocab.recalled_at is not None:
        if not present_column(names, vocab.recalled_at):
            raise missing_column("recalled_at", vocab.recalled_at)
        arrays["days_since_recall"] = days_since(vocab.recalled_at, get(vocab.recalled_at), vocab)
    for name in vocab.input_fields():
        column = vocab.column(name)
        if not present_column(names, column):
            if vocab.required(name):
                raise missing_column(name, column)
            continue
        arrays[name] = as_array(label(name, column), get(column), flag=name in FLAG_FIELDS)
    numbers = [arrays[name] for name in NUMBER_FIELDS]
    try:
        if vocab.results == TIER_RESULTS:
            return tier_rows(numbers, [arrays.get(name) for name in FLAG_FIELDS], vocab.threads)
        return score_rows(numbers, vocab.threads)
    except (ValueError, TypeError) as exc:
        raise type(exc)(rename_fields(str(exc), vocab)) from None
