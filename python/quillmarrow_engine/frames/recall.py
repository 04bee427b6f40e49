"""Recall times of any type, from any library, to days since recall.

Every row goes through the engine's one rule (``_bulk.recall_days``): the
time as Unix seconds, then (now - recalled_at) / 86,400, a time after now
refused unless it is within max_skew. What Python does here is only to find
the form of the column, without a loop over its rows:

- timestamps (Arrow, NumPy, pandas, Polars; any unit, any zone; a naive one
  is UTC) and dates: their counts since 1970 and the unit;
- numbers (integers, floating-point, decimals): of time_unit;
- texts (Arrow strings, pandas str and object columns, lists of str): ISO-8601
  or numbers of time_unit, read by the engine.
"""

from __future__ import annotations

from typing import Any

from .._bulk import recall_days
from .values import decimal_doubles, library_of, null_error, numpy
from .vocabulary import Vocabulary

__all__ = ["days_since"]

_NUMPY_COUNT_UNITS = {"D": "D", "s": "s", "ms": "ms", "us": "us", "ns": "ns"}
_TIME_WANTED = "timestamps, dates, numbers or texts"


def _label(name: str) -> str:
    return f"column {name!r}"


def _type_error(name: str, found: object) -> TypeError:
    return TypeError(f"{_label(name)} must hold recall times ({_TIME_WANTED}), not {found}")


def _days(kind: str, values: Any, unit: str, name: str, vocab: Vocabulary, offsets: Any = None, first: int = 0) -> Any:
    np = numpy()
    rows = len(values) if offsets is None or kind != "texts" else len(offsets) - first - 1
    days = np.empty(rows, dtype=np.float64)
    recall_days(kind, values, offsets, first, unit, vocab.now, vocab.max_skew, name, days)
    return days


def _from_numpy(name: str, array: Any, vocab: Vocabulary) -> Any:
    np = numpy()
    if array.ndim != 1:
        raise ValueError(f"{_label(name)} must be one-dimensional, not of shape {array.shape}")
    kind = array.dtype.kind
    if kind == "M":
        missing = np.isnat(array)
        if missing.any():
            raise null_error(_label(name), int(np.argmax(missing)), "a time")
        unit = np.datetime_data(array.dtype)[0]
        if unit not in _NUMPY_COUNT_UNITS:
            # Hours, minutes, weeks, months and years are whole seconds or
            # days; finer than nanoseconds is taken to the nanosecond.
            target = "ns" if unit in ("ps", "fs", "as") else "s" if unit in ("h", "m") else "D"
            array, unit = array.astype(f"M8[{target}]"), target
        counts = np.ascontiguousarray(array).view(np.int64)
        return _days("counts", counts, _NUMPY_COUNT_UNITS[unit], name, vocab)
    if kind in "iuf":
        if not array.dtype.isnative:
            array = array.astype(array.dtype.newbyteorder("="))
        if kind == "f" and array.dtype.itemsize not in (4, 8):
            array = array.astype(np.float64)
        return _days("numbers", array, vocab.time_unit, name, vocab)
    if kind == "U":
        return _days("texts", array.tolist(), vocab.time_unit, name, vocab)
    if kind == "O":
        return _from_objects(name, array, vocab)
    raise _type_error(name, array.dtype)


def _from_objects(name: str, array: Any, vocab: Vocabulary) -> Any:
    """Python objects: texts go to the engine as they are; anything else
    (datetimes, dates, Decimals, numbers) through pyarrow's inference."""
    np = numpy()
    values = array.tolist()
    if all(type(v) is str for v in values):
        return _days("texts", values, vocab.time_unit, name, vocab)
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return _days("texts", values, vocab.time_unit, name, vocab)  # names the first non-text
    try:
        converted = pa.array(values, from_pandas=True)
    except (pa.ArrowException, TypeError, ValueError):
        first = next(i for i, v in enumerate(values) if type(v) is not type(values[0]))
        raise TypeError(
            f"{_label(name)}: row {first} is a {type(values[first]).__name__} among "
            f"{type(values[0]).__name__}s; recall times must be of one kind ({_TIME_WANTED})"
        ) from None
    del np
    return _from_arrow(name, converted, vocab)


def _from_pandas(name: str, series: Any, vocab: Vocabulary) -> Any:
    np = numpy()
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        return _from_numpy(name, series.to_numpy(), vocab)
    dtype_name = type(dtype).__name__
    if dtype_name == "ArrowDtype":
        return _from_arrow(name, series.array.__arrow_array__(), vocab)
    if dtype_name == "DatetimeTZDtype":
        # The instants themselves (UTC), whatever zone they are shown in.
        utc = series.dt.tz_convert("UTC").dt.tz_localize(None)
        return _from_numpy(name, utc.to_numpy(), vocab)
    missing = np.asarray(series.isna())
    if missing.any():
        raise null_error(_label(name), int(np.argmax(missing)), "a time")
    if dtype_name == "StringDtype":
        storage = getattr(dtype, "storage", "python")
        if storage.startswith("pyarrow"):
            import pyarrow as pa

            return _from_arrow(name, pa.array(series.array), vocab)
        return _days("texts", series.to_numpy(dtype=object).tolist(), vocab.time_unit, name, vocab)
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if numpy_dtype is not None and numpy_dtype.kind in "iuf":
        return _from_numpy(name, series.to_numpy(dtype=numpy_dtype), vocab)
    raise _type_error(name, dtype)


def _from_arrow(name: str, values: Any, vocab: Vocabulary) -> Any:
    import pyarrow as pa
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    np = numpy()
    kind = values.type
    types = pa.types
    if values.null_count:
        missing = values.is_null().to_numpy(zero_copy_only=False)
        raise null_error(_label(name), int(np.argmax(missing)), "a time")
    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    if types.is_timestamp(kind):
        counts = values.view(pa.int64()).to_numpy(zero_copy_only=False)
        return _days("counts", counts, kind.unit, name, vocab)
    if types.is_date32(kind):
        counts = values.view(pa.int32()).to_numpy(zero_copy_only=False).astype(np.int64)
        return _days("counts", counts, "D", name, vocab)
    if types.is_date64(kind):
        counts = values.view(pa.int64()).to_numpy(zero_copy_only=False)
        return _days("counts", counts, "ms", name, vocab)
    if types.is_integer(kind) or types.is_floating(kind):
        return _days("numbers", values.to_numpy(zero_copy_only=False), vocab.time_unit, name, vocab)
    if types.is_decimal(kind):
        return _days("numbers", decimal_doubles(_label(name), values), vocab.time_unit, name, vocab)
    if types.is_string(kind) or types.is_large_string(kind) or types.is_string_view(kind):
        if not types.is_large_string(kind):
            values = pc.cast(values, pa.large_string())
        offsets = np.frombuffer(values.buffers()[1], dtype=np.int64)[: values.offset + len(values) + 1]
        data = values.buffers()[2] or b""
        return _days("texts", data, vocab.time_unit, name, vocab, offsets, values.offset)
    raise _type_error(name, kind)


def days_since(column: str, values: Any, vocab: Vocabulary) -> Any:
    """Days since recall (float64) of every recall time in values, the column
    of that name."""
    np = numpy()
    name = column
    source = library_of(values)
    if source == "pandas":
        return _from_pandas(name, values, vocab)
    if source == "pyarrow":
        return _from_arrow(name, values, vocab)
    if source == "polars":
        return _from_arrow(name, values.to_arrow(), vocab)
    if isinstance(values, np.ma.MaskedArray):
        missing = np.ma.getmaskarray(values)
        if missing.any():
            raise null_error(_label(name), int(np.argmax(missing)), "a time")
        values = values.data
    return _from_numpy(name, np.asarray(values), vocab)
