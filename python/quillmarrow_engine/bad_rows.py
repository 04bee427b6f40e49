"""Naming the first row of an Arrow batch that tier_table refuses, by the file
it came from and its index there."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from .columns import tier_table


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
    exc: BaseException, batch: Any, file_of: Callable[[int], str], row_of: Callable[[int], int],
    tier: Callable[[Any], Any] = tier_table,
) -> str:
    """One line for an Arrow batch that tier (tier_table with the job's
    options) refused with exc: the file and the reason, for the first bad
    row of the batch, with that row's index in its file (row_of) in place of
    its index in the batch."""
    index = first_bad_row(tier, batch)
    if index is None:
        return f"{file_of(0)}: {exc}"
    try:
        tier(batch.slice(index, 1))
    except (ValueError, TypeError) as alone:
        reason = str(alone)
    else:  # pragma: no cover - a row that fails in a prefix fails alone
        reason = str(exc)
    row = row_of(index)
    named, found = re.subn(r"\brow 0\b", f"row {row}", reason, count=1)
    return f"{file_of(index)}: {named if found else f'row {row}: {reason}'}"
