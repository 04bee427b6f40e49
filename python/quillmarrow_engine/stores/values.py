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

from .._optional import require
from ..times import iso_seconds


class Problems(dict):  # type: ignore[type-arg]
    """The first bad value of each row: row index -> (column, message)."""

    def note(self, index: int, column: str, message: str) -> None:
        self.setdefault(index, (column, f"column {column!r} is {message}"))


def _numpy() -> Any:
    return require("numpy", "arrays", "re-tiering")


def number_array(values: Sequence[Any], column: str, problems: Problems) -> Any:
    """The values as float64; every one a finite number (integers convert to the nearest double)."""
    return _float_array(values, column, problems, _number)


def seconds_array(values: Sequence[Any], column: str, problems: Problems) -> Any:
    """Unix seconds as float64, from numbers or ISO-8601 texts (no offset: UTC)."""
    return _float_array(values, column, problems, _seconds)


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
            problems.note(i, column, f"{_describe(values[i])}, not a finite number")
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
            problems.note(i, column, f"{values[i]!r}, not a boolean, 0 or 1")
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


def _seconds(value: Any) -> float | str:
    if isinstance(value, (int, float, Decimal)) and not isinstance(value, bool):
        return float(value)
    if isinstance(value, str):
        try:
            return iso_seconds(value)
        except ValueError:
            pass
    return f"{_describe(value)}, not a time (Unix seconds or ISO-8601 text)"


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
