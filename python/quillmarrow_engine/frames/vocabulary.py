"""The input vocabulary every road shares: which column holds each field,
recall times instead of day counts, the moment days are counted to, the unit
of times given as numbers, and the clock skew allowed.

    columns={"importance": "imp"}        field -> the column that holds it
    recalled_at="last_recalled_at"       recall times, instead of days_since_recall
    now="2026-01-01T00:00:00Z"           ISO-8601 text, Unix seconds or a datetime
    time_unit="ms"                       of times given as numbers: s, ms, us, ns
    max_skew=300.0                       seconds a recall time may lie after now
    threads=4                            the most native threads a kernel call uses

Everything is checked here, once, before any row is read; ``now`` is fixed
here too (default: this moment), so every row, batch, file and worker counts
to the same instant.
"""

from __future__ import annotations

import math
import operator
import re
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

from ..fields import FIELDS, FLAG_FIELDS, NUMBER_FIELDS
from ..times import datetime_seconds, iso_seconds

__all__ = [
    "DEFAULT_MAX_SKEW",
    "SCORE_RESULTS",
    "TIER_RESULTS",
    "TIME_UNITS",
    "Vocabulary",
    "checked_threads",
    "describe",
    "label",
    "missing_column",
    "now_seconds",
    "rename_fields",
    "vocabulary",
]

TIME_UNITS = ("s", "ms", "us", "ns")
DEFAULT_MAX_SKEW = 300.0
# The columns each kind of call writes, in the order they are added.
TIER_RESULTS = ("retention", "tier", "action")
SCORE_RESULTS = ("retention", "stability", "boost")


@dataclass(frozen=True)
class Vocabulary:
    """The checked options of one call. ``now`` is Unix seconds, fixed."""

    columns: Mapping[str, str] = field(default_factory=dict)
    recalled_at: str | None = None
    now: float = 0.0
    time_unit: str = "s"
    max_skew: float = DEFAULT_MAX_SKEW
    results: tuple[str, ...] = TIER_RESULTS
    threads: int | None = None  # None: the cores this process may run on

    def column(self, name: str) -> str:
        """The column that holds a field or receives a result."""
        return self.columns.get(name, name)

    def input_fields(self) -> tuple[str, ...]:
        """The fields read from columns: all six, without days_since_recall
        when recall times stand in for it (the flags only for tiering)."""
        fields = NUMBER_FIELDS + (FLAG_FIELDS if self.results == TIER_RESULTS else ())
        if self.recalled_at is not None:
            fields = fields[1:]
        return fields

    def required(self, name: str) -> bool:
        """A number field, or a flag mapped to a column, must be there."""
        return name in NUMBER_FIELDS or name in self.columns


def now_seconds(value: str | float | datetime | None) -> float:
    """Unix seconds of now=: ISO-8601 text (no offset: UTC), Unix seconds as a
    number or numeric text, a datetime (naive: UTC), or None for this moment
    (whole microseconds, as every time is counted)."""
    if value is None:
        return time.time_ns() // 1000 / 1e6
    if isinstance(value, datetime):
        return datetime_seconds(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    elif isinstance(value, str):
        try:
            seconds = iso_seconds(value)
        except ValueError:
            raise ValueError(
                f"now is not a time: {value!r} (ISO-8601 such as 2026-01-01T00:00:00Z, "
                "Unix seconds, or a datetime)"
            ) from None
    else:
        raise TypeError(f"now must be ISO-8601 text, Unix seconds or a datetime, not {type(value).__name__}")
    if not math.isfinite(seconds):
        raise ValueError(f"now is {value!r}, not a finite time")
    return seconds


def vocabulary(
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    *,
    results: tuple[str, ...] = TIER_RESULTS,
    recall_times: bool | None = None,
    threads: int | None = None,
) -> Vocabulary:
    """The options checked. ValueError or TypeError names the option and
    what it takes. recall_times: whether recall times are given (by default,
    whether recalled_at names a column), for calls that take them as arrays."""
    mapping = _checked_columns(columns, results)
    if recalled_at is not None and (not isinstance(recalled_at, str) or not recalled_at):
        raise TypeError(f"recalled_at names the column of recall times (a str), not {recalled_at!r}")
    has_times = recalled_at is not None if recall_times is None else recall_times
    if has_times and "days_since_recall" in mapping:
        raise ValueError(
            "give either recall times (recalled_at= / --recalled-at) or a days_since_recall "
            "column (columns={'days_since_recall': ...} / --column days_since_recall=COLUMN), not both"
        )
    if not has_times:
        given = [name for name, value in (("now", now), ("time_unit", time_unit), ("max_skew", max_skew))
                 if value is not None]
        if given:
            raise ValueError(
                f"{', '.join(given)} applies to recall times: give recalled_at= "
                "(--recalled-at COLUMN) too"
            )
    unit = "s" if time_unit is None else time_unit
    if unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be 's', 'ms', 'us' or 'ns', not {unit!r}")
    skew = DEFAULT_MAX_SKEW if max_skew is None else max_skew
    if isinstance(skew, bool) or not isinstance(skew, (int, float)):
        raise TypeError(f"max_skew must be a number of seconds, not {type(skew).__name__}")
    if not (math.isfinite(skew) and skew >= 0):
        raise ValueError(f"max_skew must be a finite number of seconds, 0 or more, not {skew!r}")
    return Vocabulary(
        mapping, recalled_at, now_seconds(now) if has_times else 0.0, unit, float(skew), results,
        checked_threads(threads),
    )


def checked_threads(threads: object) -> int | None:
    """The threads option as an int of at least 1, or None."""
    if threads is None:
        return None
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    try:
        count = operator.index(threads)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}") from None
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


def _checked_columns(columns: Mapping[str, str] | None, results: tuple[str, ...]) -> dict[str, str]:
    if columns is None:
        return {}
    if not isinstance(columns, Mapping):
        raise TypeError(
            f"columns must map field names to column names (a dict), not {type(columns).__name__}"
        )
    known = FIELDS + results
    for name, column in columns.items():
        if name not in known:
            raise ValueError(
                f"unknown field {name!r} in columns (fields: {', '.join(FIELDS)}; "
                f"results: {', '.join(results)})"
            )
        if not isinstance(column, str) or not column:
            raise TypeError(f"columns[{name!r}] must be a column name (a non-empty str), not {column!r}")
    return dict(columns)


def label(field_name: str, column: str) -> str:
    """How messages name the column of a field."""
    if column == field_name:
        return f"column {column!r}"
    return f"column {column!r} (field {field_name})"


def missing_column(field_name: str, column: str) -> ValueError:
    """The error for a field whose column the table lacks, with the fix."""
    if field_name == "recalled_at":
        return ValueError(f"missing column {column!r} (the recall times, recalled_at= / --recalled-at)")
    fix = f"map another with columns={{{field_name!r}: ...}} / --column {field_name}=COLUMN"
    if field_name == "days_since_recall":
        fix += ", or give recall times with recalled_at="
    return ValueError(f"missing column {column!r} (field {field_name}); {fix}")


def rename_fields(message: str, vocab: Vocabulary) -> str:
    """A kernel's message, which names fields, with the columns they came from."""

    def named(match: re.Match[str]) -> str:
        name = match.group(1)
        return label(name, vocab.column(name)) if name in FIELDS else match.group(0)

    return re.sub(r"column '([a-z_]+)'", named, message)


def describe(value: Any) -> str:
    """The full name of an object's type: module and qualified name."""
    kind = type(value)
    return f"{kind.__module__}.{kind.__qualname__}"
