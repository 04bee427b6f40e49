"""Scoring and tiering whole columns: NumPy arrays, Arrow tables, DataFrames.

Every row goes through the engine's own scoring code (the native module
``quillmarrow_engine._bulk``), so each retention, stability and boost is bit
for bit what ``run('score', ...)`` gives for the same doubles, and each tier
and action is the one ``run('tier', ...)`` gives. The rows are computed with
the interpreter lock released.

Inputs are anything NumPy can view as a one-dimensional array of numbers:
contiguous float64 arrays are read in place, other floating-point and integer
arrays are read element by element (integers to the nearest double, as JSON
integers are). Flags take booleans or the integers 0 and 1. NumPy, pyarrow
and pandas are imported only when a function here needs them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

from ._bulk import score_columns, tier_columns
from ._optional import require
from .fields import ACTIONS, FLAG_FIELDS, NUMBER_FIELDS, TIERS

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = [
    "ACTIONS",
    "TIERS",
    "ScoreResult",
    "TierResult",
    "score_arrays",
    "tier_arrays",
    "tier_table",
]


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


def _numpy() -> Any:
    return require("numpy", "arrays", "quillmarrow_engine.columns")


def _module_of(value: object) -> str:
    """The top-level package that defines the value's type (or a base of it)."""
    for cls in type(value).__mro__:
        top = cls.__module__.partition(".")[0]
        if top in ("pandas", "pyarrow"):
            return top
    return ""


def _null_error(name: str, row: int) -> ValueError:
    return ValueError(f"column {name!r}: row {row} is null, not a number")


def _type_error(name: str, flag: bool, found: object) -> TypeError:
    wanted = "booleans or the integers 0 and 1" if flag else "numbers (floating-point or integers)"
    return TypeError(f"column {name!r} must hold {wanted}, not {found}")


def _from_objects(name: str, array: Any, flag: bool) -> Any:
    """An array of Python objects (a list holding None, say) as numbers."""
    np = _numpy()
    for row, value in enumerate(array.tolist()):
        if value is None or type(value).__name__ in ("NAType", "NaTType"):
            raise _null_error(name, row)
        is_bool = isinstance(value, (bool, np.bool_))
        if flag and not (is_bool or isinstance(value, (int, np.integer))):
            raise _type_error(name, flag, f"{type(value).__name__} (row {row})")
        if not flag and (is_bool or not isinstance(value, (int, float, np.integer, np.floating))):
            raise _type_error(name, flag, f"{type(value).__name__} (row {row})")
        if flag and value not in (0, 1):
            raise ValueError(f"column {name!r}: row {row} is {value}, not a flag (false, true, 0 or 1)")
    if flag:
        return np.array([int(v) for v in array.tolist()], dtype=np.uint8)
    return np.array([float(v) for v in array.tolist()], dtype=np.float64)


def _from_numpy(name: str, array: Any, flag: bool) -> Any:
    np = _numpy()
    if array.ndim != 1:
        raise ValueError(f"column {name!r} must be one-dimensional, not of shape {array.shape}")
    if array.dtype.kind == "O":
        array = _from_objects(name, array, flag)
    if flag and array.size == 0:
        array = array.astype(np.uint8)  # np.asarray([]) is float64
    kind = array.dtype.kind
    if flag and kind not in "biu":
        raise _type_error(name, flag, array.dtype)
    if not flag and kind not in "iuf":
        raise _type_error(name, flag, array.dtype)
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if kind == "f" and array.dtype.itemsize not in (4, 8):
        array = array.astype(np.float64)  # half and extended precision
    return array


def _from_pandas(name: str, series: Any, flag: bool) -> Any:
    np = _numpy()
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        return _from_numpy(name, series.to_numpy(), flag)
    # An extension type (nullable integers, floats and booleans, Arrow types):
    # its missing values are nulls.
    missing = np.asarray(series.isna())
    if missing.any():
        raise _null_error(name, int(np.argmax(missing)))
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if numpy_dtype is None or numpy_dtype.kind not in ("biu" if flag else "iuf"):
        raise _type_error(name, flag, dtype)
    return _from_numpy(name, series.to_numpy(dtype=numpy_dtype), flag)


def _from_arrow(name: str, values: Any, flag: bool) -> Any:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    np = _numpy()
    kind = values.type
    if not (pa.types.is_integer(kind) or (pa.types.is_boolean(kind) if flag else pa.types.is_floating(kind))):
        raise _type_error(name, flag, kind)
    if values.null_count:
        missing = values.is_null().to_numpy(zero_copy_only=False)
        raise _null_error(name, int(np.argmax(missing)))
    if isinstance(values, pa.ChunkedArray) and values.num_chunks == 1:
        values = values.chunk(0)  # read in place
    return _from_numpy(name, values.to_numpy(zero_copy_only=False), flag)


def _column(name: str, values: Any, flag: bool = False) -> Any:
    """The values as a one-dimensional NumPy array the kernel reads."""
    np = _numpy()
    source = _module_of(values)
    if source == "pandas":
        return _from_pandas(name, values, flag)
    if source == "pyarrow":
        return _from_arrow(name, values, flag)
    if isinstance(values, np.ma.MaskedArray):
        missing = np.ma.getmaskarray(values)
        if missing.any():
            raise _null_error(name, int(np.argmax(missing)))
        values = values.data
    return _from_numpy(name, np.asarray(values), flag)


def tier_arrays(
    days_since_recall: Any,
    retrieval_count: Any,
    importance: Any,
    frequency: Any,
    is_procedural: Any = None,
    keep_forever: Any = None,
) -> TierResult:
    """The tier, action and retention of every row, as "tier" decides them.

    Absent flags are false on every row. Raises ValueError (columns of
    different lengths, a NaN or infinite value, a null, a flag other than
    0 or 1) or TypeError (a column that is not numeric), naming the column
    and, for a value, its first bad row; no result is returned then.
    """
    np = _numpy()
    numbers = [
        _column(name, values)
        for name, values in zip(NUMBER_FIELDS, (days_since_recall, retrieval_count, importance, frequency))
    ]
    flags = [
        None if values is None else _column(name, values, flag=True)
        for name, values in zip(FLAG_FIELDS, (is_procedural, keep_forever))
    ]
    rows = len(numbers[0])
    result = TierResult(np.empty(rows, np.float64), np.empty(rows, np.uint8), np.empty(rows, np.uint8))
    days, counts, importance_, frequency_ = numbers
    tier_columns(
        days, counts, importance_, frequency_, flags[0], flags[1], result.retention, result.tier, result.action
    )
    return result


def score_arrays(days_since_recall: Any, retrieval_count: Any, importance: Any, frequency: Any) -> ScoreResult:
    """The retention, stability and boost of every row, as "score" gives them.

    Errors as for tier_arrays.
    """
    np = _numpy()
    numbers = [
        _column(name, values)
        for name, values in zip(NUMBER_FIELDS, (days_since_recall, retrieval_count, importance, frequency))
    ]
    rows = len(numbers[0])
    result = ScoreResult(np.empty(rows, np.float64), np.empty(rows, np.float64), np.empty(rows, np.float64))
    days, counts, importance_, frequency_ = numbers
    score_columns(days, counts, importance_, frequency_, result.retention, result.stability, result.boost)
    return result


def _tier_input_columns(data: Any, names: list[Any]) -> dict[str, Any]:
    columns: dict[str, Any] = {}
    for name in NUMBER_FIELDS + FLAG_FIELDS:
        count = names.count(name)
        if count == 0 and name in NUMBER_FIELDS:
            raise ValueError(f"missing column {name!r}")
        if count > 1:
            raise ValueError(f"column {name!r} appears {count} times")
        if count == 1:
            columns[name] = data[name] if _module_of(data) == "pandas" else data.column(name)
    return columns


def _tier_arrow(data: Any) -> Any:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    if not isinstance(data, (pa.Table, pa.RecordBatch)):
        raise TypeError(f"tier_table takes a pyarrow Table or RecordBatch, not {type(data).__name__}")
    result = tier_arrays(**_tier_input_columns(data, data.schema.names))
    added = {
        "retention": pa.array(result.retention),
        "tier": pa.DictionaryArray.from_arrays(result.tier.view("int8"), pa.array(TIERS, pa.string())),
        "action": pa.DictionaryArray.from_arrays(result.action.view("int8"), pa.array(ACTIONS, pa.string())),
    }
    # Columns of these names are replaced in place (a table tiered before is
    # tiered again); the others are appended; the rest pass through untouched.
    fields = list(data.schema)
    arrays = [data.column(i) for i in range(data.num_columns)]
    for name, array in added.items():
        field = pa.field(name, array.type)
        index = data.schema.get_field_index(name)
        if index >= 0:
            fields[index], arrays[index] = field, array
        else:
            fields.append(field)
            arrays.append(array)
    schema = pa.schema(fields, metadata=data.schema.metadata)
    if isinstance(data, pa.RecordBatch):
        return pa.RecordBatch.from_arrays(arrays, schema=schema)
    return pa.Table.from_arrays(arrays, schema=schema)


def _tier_pandas(data: Any) -> Any:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"tier_table takes a pandas DataFrame, not {type(data).__name__}")
    result = tier_arrays(**_tier_input_columns(data, list(data.columns)))
    # The arrays become the new columns as they are: a Series made without a
    # copy, and categoricals over the codes viewed as int8 (pandas' own code
    # type), so the call's memory stays the size of its outputs.
    return data.assign(
        retention=pd.Series(result.retention, index=data.index, copy=False),
        tier=pd.Categorical.from_codes(result.tier.view("int8"), dtype=pd.CategoricalDtype(TIERS)),
        action=pd.Categorical.from_codes(result.action.view("int8"), dtype=pd.CategoricalDtype(ACTIONS)),
    )


def tier_table(data: Any) -> Any:
    """A pyarrow Table or RecordBatch, or a pandas DataFrame, with the columns
    retention (float64), tier and action added.

    The fields are read from the columns named like them (days_since_recall,
    retrieval_count, importance, frequency; is_procedural and keep_forever
    when present). tier and action are dictionary-encoded strings in Arrow and
    categoricals in pandas; existing columns of those names are replaced, all
    other columns pass through untouched. Errors as for tier_arrays, and
    ValueError for a missing required column.
    """
    source = _module_of(data)
    if source == "pyarrow":
        return _tier_arrow(data)
    if source == "pandas":
        return _tier_pandas(data)
    raise TypeError(
        f"tier_table takes a pyarrow Table or RecordBatch or a pandas DataFrame, not {type(data).__name__}"
    )
