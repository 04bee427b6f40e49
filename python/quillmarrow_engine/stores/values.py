"""Values read from a database, turned into the arrays the engine takes, and
keys shown the way the database shows them.

The common case (every value a number, or a boolean for a flag) is one NumPy
conversion per column. Anything else takes a closer look, value by value:
each bad value (a NULL, a text, a NaN or an infinity, a flag other than a
boolean, 0 or 1) is noted in a Problems record against its row, and stands
in the array as 0, so that the rest of the batch can still be scored.
"""

from __future__ import annotations

import math
import uuid
from collections.abc import Callable, Sequence
from decimal import Decimal
from typing import Any

from .._bulk import recall_days
from .._optional import require
from ..errors import RetierError
from ..frames.vocabulary import Vocabulary


class Problems(dict):  # type: ignore[type-arg]
    """The first bad value of each row: row index -> (column, message)."""

    def note(self, index: int, column: str, message: str) -> None:
        self.setdefault(index, (column, f"column {column!r} is {message}"))


def _numpy() -> Any:
    return require("numpy", "arrays", "re-tiering")


def number_array(values: Sequence[Any], column: str, problems: Problems) -> Any:
    """The values as float64; every one a finite number (integers convert to the nearest double)."""
    return _float_array(values, column, problems, _number)


def days_array(values: Sequence[Any], column: str, vocab: Vocabulary, counts: str | None,
               problems: Problems) -> Any:
    """Days since recall (float64) of recall times as a database gives them,
    each row through the engine's one rule (``_bulk.recall_days``): counted
    to ``vocab.now``, a time after it refused unless within ``vocab.max_skew``.

    counts: the unit of whole counts since 1970 when the store reads its time
    columns that way (PostgreSQL's timestamps and dates: "us"); otherwise the
    values are numbers of ``vocab.time_unit`` or texts (ISO-8601, or a number
    of that unit). A value that is none of these (a NULL, an infinite time, a
    blob) is noted as a problem, as is a time the engine refuses.
    """
    np = _numpy()
    rows = len(values)
    days = np.zeros(rows, dtype=np.float64)
    if isinstance(values, np.ndarray) and values.dtype.kind in "iuf":
        if counts is not None:
            _days(days, "counts", values.astype(np.int64, copy=False), counts, None, column, vocab,
                  problems)
        else:
            _days(days, "numbers", values, vocab.time_unit, None, column, vocab, problems)
        return days
    numbers: list[float] = []
    texts: list[str] = []
    number_rows: list[int] = []
    text_rows: list[int] = []
    for i, value in enumerate(values):
        if isinstance(value, (int, float, Decimal)) and not isinstance(value, bool):
            if counts is not None and not (isinstance(value, int) or math.isfinite(value)):
                # PostgreSQL's 'infinity' and '-infinity' times
                sign = "-" if value < 0 else ""
                problems.note(i, column, f"{sign}infinity, not a finite time")
            elif counts is None and isinstance(value, float) and not math.isfinite(value):
                problems.note(i, column, f"{_describe(value)}, not a finite number")
            else:
                number_rows.append(i)
                numbers.append(int(value) if counts is not None else float(value))
        elif isinstance(value, str) and counts is None:
            text_rows.append(i)
            texts.append(value)
        else:
            problems.note(i, column, f"{_describe(value)}, not a time ({_TIME_WANTED})")
    if numbers:
        kind, array = ("counts", np.array(numbers, dtype=np.int64)) if counts is not None else (
            "numbers", np.array(numbers, dtype=np.float64))
        unit = counts if counts is not None else vocab.time_unit
        _days(days, kind, array, unit, number_rows, column, vocab, problems)
    if texts:
        _days(days, "texts", texts, vocab.time_unit, text_rows, column, vocab, problems)
    return days


_TIME_WANTED = "a number of the time unit, or ISO-8601 text"


def _days(days: Any, kind: str, values: Any, unit: str, rows: list[int] | None, column: str,
          vocab: Vocabulary, problems: Problems) -> None:
    """The engine's day count of values into days (at `rows`, or in order).
    The engine stops at the first time it refuses; that row is noted and the
    count goes on after it, so that every bad row is found in one pass."""
    np = _numpy()
    out = np.zeros(len(values), dtype=np.float64)
    prefix = f"column '{column}': row "
    start = 0
    while start < len(values):
        try:
            recall_days(kind, values[start:], None, 0, unit, vocab.now, vocab.max_skew, column,
                        out[start:])
            break
        except ValueError as exc:
            message = str(exc)
            index, sep, reason = message[len(prefix):].partition(" is ")
            if not (message.startswith(prefix) and sep and index.isdigit()):
                raise RetierError(f"column {column!r}: {message}") from None
            bad = start + int(index)
            problems.note(bad if rows is None else rows[bad], column, reason)
            out[bad] = 0.0
            start = bad + 1
    if rows is None:
        days[:] = out
    else:
        days[rows] = out


def _float_array(
    values: Sequence[Any], column: str, problems: Problems,
    convert: Callable[[Any], float | str],
) -> Any:
    """One NumPy conversion when every value is a number; else convert each value."""
    np = _numpy()
    array = np.array(values)
    if array.ndim == 1 and array.dtype.kind in "iuf":
        array = array.astype(np.float64, copy=False)
    elif len(values) == 0:
        return np.zeros(0, dtype=np.float64)
    else:
        converted = [convert(v) for v in values]
        for i, value in enumerate(converted):
            if isinstance(value, str):
                problems.note(i, column, value)
        array = np.array([0.0 if isinstance(v, str) else v for v in converted], np.float64)
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        array = array.copy()
        for i in bad.tolist():
            problems.note(i, column, f"{_describe(_plain(values[i]))}, not a finite number")
        array[bad] = 0.0
    return array


def flag_array(values: Sequence[Any], column: str, problems: Problems) -> Any:
    """The values as bool; each a boolean or the integer 0 or 1."""
    np = _numpy()
    array = np.array(values)
    if array.ndim == 1 and array.dtype.kind == "b":
        return array
    if array.ndim == 1 and array.dtype.kind in "iu":
        bad = np.flatnonzero((array != 0) & (array != 1))
        for i in bad.tolist():
            problems.note(i, column, f"{_plain(values[i])!r}, not a boolean, 0 or 1")
        return array == 1
    if len(values) == 0:
        return np.zeros(0, dtype=bool)
    flags = []
    for i, value in enumerate(values):
        if isinstance(value, bool) or (isinstance(value, int) and value in (0, 1)):
            flags.append(bool(value))
        else:
            problems.note(i, column, f"{_describe(value)}, not a boolean, 0 or 1")
            flags.append(False)
    return np.array(flags, dtype=bool)


def _number(value: Any) -> float | str:
    """The value as a double, or what is wrong with it."""
    if isinstance(value, (int, float, Decimal)) and not isinstance(value, bool):
        return float(value)
    return f"{_describe(value)}, not a number"


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python number it holds."""
    return value.item() if hasattr(value, "item") else value


def _describe(value: Any) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    if isinstance(value, (str, bytes)):
        return f"the {'text' if isinstance(value, str) else 'blob'} {value!r}"
    return repr(value)


def show_key(value: Any) -> str:
    """A key as the database prints it: text as it is, a uuid in its
    canonical form, numbers as digits, a blob as X'…', NULL as NULL."""
    if value is None:
        return "NULL"
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "X'" + bytes(value).hex().upper() + "'"
    if isinstance(value, float):
        return repr(value)
    return str(value)  # str, int, Decimal, uuid.UUID, dates


def json_key(value: Any) -> Any:
    """A key as a JSON value: numbers stay numbers, everything else is its text."""
    if value is None or isinstance(value, (str, int)) or (
        isinstance(value, float) and math.isfinite(value)
    ):
        return value
    if isinstance(value, Decimal) and value == value.to_integral_value():
        return int(value)
    if isinstance(value, uuid.UUID):
        return str(value)
    return show_key(value)
