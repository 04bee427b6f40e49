"""One column of numbers or flags, from any library, as the one-dimensional
NumPy array the kernels read.

NumPy arrays (masked ones included), lists, pandas Series (NumPy, nullable
and Arrow-backed dtypes), pyarrow Arrays and ChunkedArrays, and Polars Series
(through Arrow, without a copy). Contiguous float64 arrays are passed as
they are; integers stay integers (the kernels take them to the nearest
double); decimals (Arrow's decimal128 and decimal256, Python's Decimal)
become their nearest double, exactly. A null anywhere is refused naming its
first row.
"""

from __future__ import annotations

from decimal import Decimal
from typing import Any

from .._bulk import text_numbers
from .._optional import require

__all__ = ["as_array", "decimal_doubles", "library_of", "null_error", "numpy"]

_FLAG_WANTED = "booleans or the integers 0 and 1"
_NUMBER_WANTED = "numbers (floating-point or integers)"


def numpy() -> Any:
    return require("numpy", "arrays", "quillmarrow_engine.columns")


def library_of(value: object) -> str:
    """The top-level package that defines the value's type (or a base of it)."""
    for cls in type(value).__mro__:
        top = cls.__module__.partition(".")[0]
        if top in ("pandas", "pyarrow", "polars", "numpy", "duckdb"):
            return top
    return ""


def null_error(label: str, row: int, wanted: str = "a number") -> ValueError:
    return ValueError(f"{label}: row {row} is null, not {wanted}")


def _type_error(label: str, flag: bool, found: object) -> TypeError:
    return TypeError(f"{label} must hold {_FLAG_WANTED if flag else _NUMBER_WANTED}, not {found}")


def _null_word(flag: bool) -> str:
    return "a flag" if flag else "a number"


def _from_objects(label: str, array: Any, flag: bool) -> Any:
    """An array of Python objects (a list holding None or Decimals, say)."""
    np = numpy()
    values = array.tolist()
    for row, value in enumerate(values):
        if value is None or type(value).__name__ in ("NAType", "NaTType"):
            raise null_error(label, row, _null_word(flag))
        is_bool = isinstance(value, (bool, np.bool_))
        if flag and not (is_bool or isinstance(value, (int, np.integer))):
            raise _type_error(label, flag, f"{type(value).__name__} (row {row})")
        if not flag and (is_bool or not isinstance(value, (int, float, Decimal, np.integer, np.floating))):
            raise _type_error(label, flag, f"{type(value).__name__} (row {row})")
        if flag and value not in (0, 1):
            raise ValueError(f"{label}: row {row} is {value}, not a flag (false, true, 0 or 1)")
    if flag:
        return np.array([int(v) for v in values], dtype=np.uint8)
    # float() of a Decimal is its nearest double.
    return np.array([float(v) for v in values], dtype=np.float64)


def _from_numpy(label: str, array: Any, flag: bool) -> Any:
    np = numpy()
    if array.ndim != 1:
        raise ValueError(f"{label} must be one-dimensional, not of shape {array.shape}")
    if array.dtype.kind == "O":
        array = _from_objects(label, array, flag)
    if flag and array.size == 0:
        array = array.astype(np.uint8)  # np.asarray([]) is float64
    kind = array.dtype.kind
    if flag and kind not in "biu":
        raise _type_error(label, flag, array.dtype)
    if not flag and kind not in "iuf":
        raise _type_error(label, flag, array.dtype)
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if kind == "f" and array.dtype.itemsize not in (4, 8):
        array = array.astype(np.float64)  # half and extended precision
    return array


def _from_pandas(label: str, series: Any, flag: bool) -> Any:
    np = numpy()
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        return _from_numpy(label, series.to_numpy(), flag)
    if type(dtype).__name__ == "ArrowDtype":
        return _from_arrow(label, series.array.__arrow_array__(), flag)
    # Another extension type (nullable integers, floats and booleans):
    # its missing values are nulls.
    missing = np.asarray(series.isna())
    if missing.any():
        raise null_error(label, int(np.argmax(missing)), _null_word(flag))
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if numpy_dtype is None or numpy_dtype.kind not in ("biu" if flag else "iuf"):
        raise _type_error(label, flag, dtype)
    return _from_numpy(label, series.to_numpy(dtype=numpy_dtype), flag)


def decimal_doubles(label: str, values: Any) -> Any:
    """The nearest double of every decimal of an Arrow decimal array (no nulls).

    An unscaled value of at most 2**53 with a scale within 22 is one exact
    double divided (or multiplied) by an exact power of ten: one correctly
    rounded operation. The others are written out as text, exactly, and read
    back by the engine's correctly rounded reader.
    """
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    np = numpy()
    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    rows = len(values)
    out = np.empty(rows, dtype=np.float64)
    if rows == 0:
        return out
    width = values.type.byte_width // 8
    words = np.frombuffer(values.buffers()[1], dtype="<i8").reshape(-1, width)[values.offset : values.offset + rows]
    low = words[:, 0]
    fits = (words[:, 1:] == (low >> 63)[:, None]).all(axis=1) & (low >= -(2**53)) & (low <= 2**53)
    scale = values.type.scale
    if 0 <= scale <= 22:
        out[fits] = low[fits].astype(np.float64) / float(10**scale)
    elif -22 <= scale < 0:
        out[fits] = low[fits].astype(np.float64) * float(10**-scale)
    else:
        fits[:] = False
    if not fits.all():
        rest = ~fits
        texts = pc.cast(values.filter(pa.array(rest)), pa.large_string())
        parsed = np.empty(len(texts), dtype=np.float64)
        offsets = np.frombuffer(texts.buffers()[1], dtype=np.int64)[: texts.offset + len(texts) + 1]
        try:
            text_numbers(texts.buffers()[2] or b"", offsets, texts.offset, "decimal", parsed)
        except ValueError as exc:  # pragma: no cover - Arrow writes every decimal as a number
            raise ValueError(str(exc).replace("column 'decimal'", label, 1)) from None
        out[rest] = parsed
    return out


def _from_arrow(label: str, values: Any, flag: bool) -> Any:
    import pyarrow as pa

    np = numpy()
    kind = values.type
    decimal = pa.types.is_decimal(kind) and not flag
    if not (pa.types.is_integer(kind) or decimal or (pa.types.is_boolean(kind) if flag else pa.types.is_floating(kind))):
        raise _type_error(label, flag, kind)
    if values.null_count:
        missing = values.is_null().to_numpy(zero_copy_only=False)
        raise null_error(label, int(np.argmax(missing)), _null_word(flag))
    if decimal:
        return decimal_doubles(label, values)
    if pa.types.is_boolean(kind):
        return _arrow_flags(values.combine_chunks() if isinstance(values, pa.ChunkedArray) else values)
    if isinstance(values, pa.ChunkedArray) and values.num_chunks == 1:
        values = values.chunk(0)  # read in place
    return _from_numpy(label, values.to_numpy(zero_copy_only=False), flag)


def _arrow_flags(values: Any) -> Any:
    """An Arrow boolean array without nulls as bytes 0 and 1: its bits (one
    per row, the first row in the lowest bit) unpacked by one NumPy call,
    many times faster than Arrow's conversion to NumPy booleans."""
    np = numpy()
    if len(values) == 0:
        return np.zeros(0, np.uint8)
    bits = np.frombuffer(values.buffers()[1], np.uint8)
    return np.unpackbits(bits, count=values.offset + len(values), bitorder="little")[values.offset :]


def as_array(label: str, values: Any, flag: bool = False) -> Any:
    """The values as a one-dimensional NumPy array the kernels read."""
    np = numpy()
    source = library_of(values)
    if source == "pandas":
        return _from_pandas(label, values, flag)
    if source == "pyarrow":
        return _from_arrow(label, values, flag)
    if source == "polars":
        import polars as pl

        dtype = values.dtype
        plain = (dtype.is_numeric() and not dtype.is_decimal()) or dtype == pl.Boolean
        if plain and values.null_count() == 0:
            # Numbers and booleans without nulls as NumPy views (booleans
            # unpacked from their bits, which NumPy does faster than Arrow).
            return _from_numpy(label, values.to_numpy(), flag)
        return _from_arrow(label, values.to_arrow(), flag)
    if isinstance(values, np.ma.MaskedArray):
        missing = np.ma.getmaskarray(values)
        if missing.any():
            raise null_error(label, int(np.argmax(missing)), _null_word(flag))
        values = values.data
    return _from_numpy(label, np.asarray(values), flag)
