"""Whole NumPy columns into a PostgreSQL table in one binary COPY: the rows
are fixed-width, so the COPY text is one structured NumPy array."""

from __future__ import annotations

from typing import Any

import numpy as np

_HEADER = b"PGCOPY\n\xff\r\n\x00" + (0).to_bytes(4, "big") + (0).to_bytes(4, "big")
_TRAILER = (-1).to_bytes(2, "big", signed=True)
_WIRE = {"f": ">f8", "b": "?", "i": ">i8"}


def copy_columns(cursor: Any, table: str, columns: dict[str, np.ndarray]) -> None:
    """Appends the columns (float64 as double precision, bool as boolean,
    integers as bigint) to table, whose columns have those names and types."""
    names = list(columns)
    wire = [_WIRE[columns[name].dtype.kind] for name in names]
    dtype = [("count", ">i2")]
    for k, kind in enumerate(wire):
        dtype += [(f"size{k}", ">i4"), (f"value{k}", kind)]
    rows = np.empty(len(columns[names[0]]), dtype=dtype)
    rows["count"] = len(names)
    for k, name in enumerate(names):
        rows[f"size{k}"] = np.dtype(wire[k]).itemsize
        rows[f"value{k}"] = columns[name]
    quoted = ", ".join(f'"{name}"' for name in names)
    with cursor.copy(f"COPY {table} ({quoted}) FROM STDIN (FORMAT BINARY)") as copy:
        copy.write(_HEADER + rows.tobytes() + _TRAILER)
