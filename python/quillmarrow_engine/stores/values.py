"""Values read from a database, turned into the arrays the engine takes.

The common case (every value a number, or a boolean for a flag) is one NumPy
conversion per column. Anything else takes a closer look, value by value, to
name the first bad row: a NULL, a text, a NaN or an infinity, a flag other
than a boolean, 0 or 1.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from decimal import Decimal
from typing import Any

from .._optional import require
from ..errors import RetierError
from ..times import iso_seconds

RowNamer = Callable[[int], str]


def _numpy() -> Any:
    return require("numpy", "arrays", "re-tiering")


def number_array(values: Sequence[Any], column: str, row: RowNamer) -> Any:
    """The values as float64; every one a finite number (integers convert to the nearest double)."""
    return _float_array(values, column, row, _number)


def seconds_array(values: Sequence[Any], column: str, row: RowNamer) -> Any:
    """Unix seconds as float64, from numbers or ISO-8601 texts (no offset: UTC)."""
    return _float_array(values, column, row, _seconds)


def _float_array(
    values: Sequence[Any], column: str, row: RowNamer,
    convert: Callable[[Any, int, str, RowNamer], float],
) -> Any:
    """One NumPy conversion when every value is a number; else convert each value."""
    np = _numpy()
    array = np.array(values)
    if array.ndim == 1 and array.dtype.kind in "iuf":
        array = array.astype(np.float64, copy=False)
    elif len(values) == 0:
        return np.zeros(0, dtype=np.float64)
    else:
        array = np.array([convert(v, i, column, row) for i, v in enumerate(values)], np.float64)
    _check_finite(array, values, column, row)
    return array


def flag_array(values: Sequence[Any], column: str, row: RowNamer) -> Any:
    """The values as bool; each a boolean or the integer 0 or 1."""
    np = _numpy()
    array = np.array(values)
    if array.ndim == 1 and array.dtype.kind == "b":
        return array
    if array.ndim == 1 and array.dtype.kind in "iu":
        bad = np.flatnonzero((array != 0) & (array != 1))
        if bad.size == 0:
            return array.astype(bool)
        i = int(bad[0])
        raise RetierError(f"{row(i)}: column {column!r} is {values[i]!r}, not a boolean, 0 or 1")
    if len(values) == 0:
        return np.zeros(0, dtype=bool)
    return np.array([_flag(v, i, column, row) for i, v in enumerate(values)], dtype=bool)


def _number(value: Any, i: int, column: str, row: RowNamer) -> float:
    if isinstance(value, (int, float, Decimal)) and not isinstance(value, bool):
        return float(value)
    raise RetierError(f"{row(i)}: column {column!r} is {_describe(value)}, not a number")


def _seconds(value: Any, i: int, column: str, row: RowNamer) -> float:
    if isinstance(value, (int, float, Decimal)) and not isinstance(value, bool):
        return float(value)
    if isinstance(value, str):
        try:
            return iso_seconds(value)
        except ValueError:
            pass
    raise RetierError(
        f"{row(i)}: column {column!r} is {_describe(value)}, "
        "not a time (Unix seconds or ISO-8601 text)"
    )


def _flag(value: Any, i: int, column: str, row: RowNamer) -> bool:
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    raise RetierError(f"{row(i)}: column {column!r} is {_describe(value)}, not a boolean, 0 or 1")


def _check_finite(array: Any, values: Sequence[Any], column: str, row: RowNamer) -> None:
    np = _numpy()
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        i = int(bad[0])
        raise RetierError(f"{row(i)}: column {column!r} is {_describe(values[i])}, not a finite number")


def _describe(value: Any) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    if isinstance(value, (str, bytes)):
        return f"the {'text' if isinstance(value, str) else 'blob'} {value!r}"
    return repr(value)
