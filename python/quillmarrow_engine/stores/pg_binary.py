"""A batch's columns as PostgreSQL sends arrays in binary, read straight into
NumPy.

A batch's SELECT aggregates each column it reads into one array
(`array_agg`), and the arrays come back in the binary form: a header (the
number of dimensions, whether any element is NULL, the element type, the
length and lower bound), then each element as its length (-1 for NULL) and
its bytes, big-endian. Where no element is NULL and the type has a fixed
width, the elements are one `numpy.frombuffer` call away, with no Python
object per row; otherwise (NULLs, texts) they are read one by one.

Timestamps (with or without time zone) are sent as microseconds since
2000-01-01 and dates as days since then; both come out as microseconds since
1970, the counts the engine's day kernel takes. Their infinities, like NULLs,
make the column a list (``math.inf`` or ``-math.inf`` in their place).
"""

from __future__ import annotations

import math
import struct
import uuid
from collections.abc import Iterator, Sequence
from typing import Any

# From 1970-01-01 to 2000-01-01 (PostgreSQL's epoch), in microseconds and in days.
EPOCH_2000_MICROSECONDS = 946_684_800_000_000
EPOCH_2000_DAYS = 10_957
DAY_MICROSECONDS = 86_400_000_000

# How each kind of column is sent: the element's big-endian NumPy type
# (None: variable width) and the OID of the array type, so that the cursor
# can be told to hand those arrays over as bytes.
KINDS: dict[str, tuple[str | None, int]] = {
    "bool": ("?", 1000),
    "int2": (">i2", 1005),
    "int4": (">i4", 1007),
    "int8": (">i8", 1016),
    "float4": (">f4", 1021),
    "float8": (">f8", 1022),
    "text": (None, 1009),
    "uuid": ("V16", 2951),
    "timestamp": (">i8", 1115),
    "timestamptz": (">i8", 1185),
    "date": (">i4", 1182),
}
ARRAY_OIDS = tuple(oid for _, oid in KINDS.values())

_FORMATS = {"?": "?", ">i2": ">h", ">i4": ">i", ">i8": ">q", ">f4": ">f", ">f8": ">d"}
_HEADER = struct.Struct(">iii")
_INT32 = struct.Struct(">i")
_INT64_MAX, _INT64_MIN = 2**63 - 1, -(2**63)
_INT32_MAX, _INT32_MIN = 2**31 - 1, -(2**31)


class ArrayError(ValueError):
    """Bytes that are not a one-dimensional binary array of the kind expected."""


def parse_array(data: bytes | None, kind: str, count: int) -> Any:
    """The `count` elements of a binary array of `kind` (None, as array_agg
    gives over no rows, is empty): a NumPy array when no element is NULL and
    the kind has a fixed width, else a list (None for NULL)."""
    import numpy as np

    code, _ = KINDS[kind]
    if data is None or count == 0:
        if count:
            raise ArrayError(f"no array where {count} elements were expected")
        return [] if code is None else _finish(np.zeros(0, dtype=code), kind)
    view = memoryview(data)
    if len(view) < 12:
        raise ArrayError("an array shorter than its header")
    dims, has_null, _ = _HEADER.unpack_from(view, 0)
    if dims != 1 or len(view) < 20 or _INT32.unpack_from(view, 12)[0] != count:
        raise ArrayError(f"not a one-dimensional array of {count} elements")
    body = view[20:]
    if code is not None and not has_null:
        width = np.dtype(code).itemsize
        if len(body) != count * (4 + width):
            raise ArrayError(f"{len(body)} bytes for {count} elements of {width} bytes")
        rows = np.frombuffer(body, dtype=[("length", ">i4"), ("value", code)], count=count)
        if (rows["length"] != width).any():
            raise ArrayError(f"an element that is not {width} bytes long")
        return _finish(rows["value"], kind)
    return list(_elements(body, kind, count))


def _finish(values: Any, kind: str) -> Any:
    """Fixed-width elements in the form the run uses: native-order numbers,
    times as microseconds since 1970 (a list when one is infinite)."""
    import numpy as np

    if kind == "uuid":
        return values
    if kind in ("timestamp", "timestamptz", "date"):
        raw = values.astype(np.int64)
        top, bottom = (_INT32_MAX, _INT32_MIN) if kind == "date" else (_INT64_MAX, _INT64_MIN)
        if ((raw == top) | (raw == bottom)).any():
            return [_time(int(v), kind) for v in raw.tolist()]
        if kind == "date":
            return (raw + EPOCH_2000_DAYS) * DAY_MICROSECONDS
        return raw + EPOCH_2000_MICROSECONDS
    return values.astype(values.dtype.newbyteorder("="))


def _elements(body: memoryview, kind: str, count: int) -> Iterator[Any]:
    code, _ = KINDS[kind]
    position = 0
    size = len(body)
    for _ in range(count):
        if position + 4 > size:
            raise ArrayError("an array cut short")
        (length,) = _INT32.unpack_from(body, position)
        position += 4
        if length < 0:
            yield None
            continue
        if position + length > size:
            raise ArrayError("an array cut short")
        raw = body[position : position + length]
        position += length
        if code is None:
            yield bytes(raw).decode("utf-8")
        elif kind == "uuid":
            yield bytes(raw)
        else:
            if length != struct.calcsize(_FORMATS[code]):
                raise ArrayError(f"an element of {length} bytes where {code} was expected")
            (value,) = struct.unpack(_FORMATS[code], raw)
            yield _time(value, kind) if kind in ("timestamp", "timestamptz", "date") else value
    if position != size:
        raise ArrayError("bytes left after the last element")


def _time(raw: int, kind: str) -> float | int:
    """A timestamp's or a date's raw value as microseconds since 1970; an infinity as ±inf."""
    top, bottom = (_INT32_MAX, _INT32_MIN) if kind == "date" else (_INT64_MAX, _INT64_MIN)
    if raw == top:
        return math.inf
    if raw == bottom:
        return -math.inf
    if kind == "date":
        return (raw + EPOCH_2000_DAYS) * DAY_MICROSECONDS
    return raw + EPOCH_2000_MICROSECONDS


class UuidTexts(Sequence[str]):
    """uuid values in their binary form, each turned into its canonical text when asked for."""

    def __init__(self, raw: Any) -> None:
        self._raw = raw

    def __len__(self) -> int:
        return len(self._raw)

    def __getitem__(self, index: Any) -> Any:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        value = self._raw[index]
        return str(uuid.UUID(bytes=value if isinstance(value, bytes) else value.tobytes()))

    def __iter__(self) -> Iterator[str]:
        return (self[i] for i in range(len(self)))
