"""Rows of fixed-width values packed by the server into one binary string,
read straight into NumPy.

A batch's SELECT turns each row into the concatenation of its values'
binary send forms (`int8send`, `float8send`, `uuid_send`, …: big-endian,
fixed width, never NULL) and `string_agg`s them: the whole batch arrives as
one value, and one `numpy.frombuffer` call turns it into columns, with no
Python object per row or per value.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterator, Sequence
from typing import Any

# The send function, binary width and NumPy type of each SQL type read this way.
TYPES = {
    "smallint": ("int2send", 2, ">i2"),
    "integer": ("int4send", 4, ">i4"),
    "bigint": ("int8send", 8, ">i8"),
    "double precision": ("float8send", 8, ">f8"),
    "uuid": ("uuid_send", 16, "V16"),
}


def parse_rows(data: bytes | None, fields: Sequence[tuple[str, str]], count: int) -> Any | None:
    """The packed rows as a structured array with one member per (name, SQL
    type) field; None when data does not hold exactly `count` of them."""
    import numpy as np

    dtype = np.dtype([(name, TYPES[kind][2]) for name, kind in fields])
    data = data or b""
    if len(data) != count * dtype.itemsize:
        return None
    return np.frombuffer(data, dtype, count=count)


class UuidTexts(Sequence[str]):
    """uuid values in their binary form, each turned into its canonical text when asked for."""

    def __init__(self, raw: Any) -> None:
        self._raw = raw

    def __len__(self) -> int:
        return len(self._raw)

    def __getitem__(self, index: Any) -> Any:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        return str(uuid.UUID(bytes=self._raw[index].tobytes()))

    def __iter__(self) -> Iterator[str]:
        return (self[i] for i in range(len(self)))
