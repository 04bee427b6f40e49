"""PostgreSQL's binary COPY format read straight into NumPy, for rows whose
every field has a fixed width and is never NULL.

Such rows are records of one size: a 16-bit field count, then for each field
its 32-bit length and its bytes, all big-endian. One `numpy.frombuffer` call
then turns a whole batch into columns, with no Python object per value.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterator, Sequence
from typing import Any

_SIGNATURE = b"PGCOPY\n\xff\r\n\x00"

# Binary widths and NumPy types of the SQL types read this way.
WIDTHS = {
    "smallint": (2, ">i2"),
    "integer": (4, ">i4"),
    "bigint": (8, ">i8"),
    "double precision": (8, ">f8"),
    "uuid": (16, "V16"),
}


def parse_rows(data: bytes, fields: Sequence[tuple[str, str]]) -> Any | None:
    """The rows of a binary COPY as a structured array with one member per
    (name, SQL type) field; None when the data is not laid out that way (a
    NULL, a header extension this reader does not know)."""
    import numpy as np

    if not data.startswith(_SIGNATURE) or len(data) < 21:
        return None
    extension = int.from_bytes(data[15:19], "big")
    start = 19 + extension
    dtype = np.dtype([("count", ">i2")] + [
        member for name, kind in fields for member in ((f"{name}_length", ">i4"), (name, WIDTHS[kind][1]))
    ])
    body = len(data) - start - 2  # the trailer: a field count of -1
    if body % dtype.itemsize or data[-2:] != b"\xff\xff":
        return None
    rows = np.frombuffer(data, dtype, count=body // dtype.itemsize, offset=start)
    if (rows["count"] != len(fields)).any():
        return None
    for name, kind in fields:
        if (rows[f"{name}_length"] != WIDTHS[kind][0]).any():
            return None  # a NULL (length -1)
    return rows


class UuidTexts(Sequence[str]):
    """uuid values of a binary COPY, each turned into its canonical text when asked for."""

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
