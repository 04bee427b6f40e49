"""Tables of any DataFrame library scored and tiered, the same kind given
back: pandas, Polars (DataFrame and LazyFrame), pyarrow (Table, RecordBatch),
DuckDB relations, and anything that offers the Arrow PyCapsule stream (a
pyarrow Table back). One module per library; ``vocabulary`` checks the
options every road shares, ``inputs`` reads a table's columns by them,
``values`` and ``recall`` convert numbers, flags and recall times, and
``kernels`` calls the engine.

A library is imported only when the object's own type shows it is
installed (its type comes from that package).
"""

from __future__ import annotations

from typing import Any

from . import arrow, duckdb, pandas, polars, stream
from .values import library_of
from .vocabulary import Vocabulary, describe

__all__ = ["apply"]

_TAKES = (
    "a pandas DataFrame, a Polars DataFrame or LazyFrame, a pyarrow Table or RecordBatch, "
    "a DuckDB relation, or any object with __arrow_c_stream__ (the Arrow PyCapsule stream)"
)

def apply(data: Any, vocab: Vocabulary, caller: str) -> Any:
    """data with the result columns added, of the same kind (a pyarrow Table
    for a bare stream); TypeError naming the full type for anything else."""
    source = library_of(data)
    if source == "pandas" and pandas.is_frame(data):
        return pandas.apply(data, vocab)
    if source == "pyarrow" and arrow.is_table(data):
        return arrow.apply(data, vocab)
    if source == "polars" and polars.is_frame(data):
        return polars.apply(data, vocab)
    if source == "polars" and polars.is_lazy(data):
        return polars.apply_lazy(data, vocab)
    if source == "duckdb" and duckdb.is_relation(data):
        return duckdb.apply(data, vocab)
    # A Series or an Array of the libraries above offers the stream too, but
    # is a column, not a table.
    column = source in ("pandas", "pyarrow", "polars", "numpy")
    if not column and stream.is_stream(data):
        return stream.apply(data, vocab)
    hint = "; for separate arrays or Series use tier_arrays or score_arrays" if column else ""
    raise TypeError(f"{caller} takes {_TAKES}, not {describe(data)}{hint}")

_ = Vocabulary  # re-exported for the column functions' signatures
