"""DuckDB relations in, a relation of the same connection out: the relation
is read as Arrow (``DuckDBPyRelation.arrow``), tiered as a pyarrow Table is,
and given back as a relation over that table, so it joins and queries with
the connection's own tables. retention is DOUBLE, tier and action come back
as DuckDB's reading of Arrow dictionaries (VARCHAR), stability and boost
DOUBLE for scoring.

It is computed at once, not lazily. DuckDB's lazy road for a Python
function, ``DuckDBPyRelation.map``, hands each chunk over as a pandas
DataFrame and reads the answer back from pandas, which changes the types of
columns that only pass through (a TIMESTAMP WITH TIME ZONE comes back as a
TIMESTAMP, a DECIMAL as a DOUBLE) and would count a bad row within its chunk
of 2,048; and a relation does not tell which connection it belongs to, so
the SQL functions of ``quillmarrow_engine.duckdb.register`` cannot be put on
it. For a table too large for memory, register those functions on the
connection and tier in SQL.

This module's name is the library's: every import of DuckDB here is
absolute.
"""

from __future__ import annotations

from typing import Any

from .arrow import apply as apply_arrow
from .vocabulary import Vocabulary

__all__ = ["apply", "is_relation"]


def is_relation(data: Any) -> bool:
    import duckdb

    return isinstance(data, duckdb.DuckDBPyRelation)


def apply(data: Any, vocab: Vocabulary) -> Any:
    table = data.arrow()
    if hasattr(table, "read_all"):  # a RecordBatchReader in some DuckDB versions
        table = table.read_all()
    quillmarrow_tiered = apply_arrow(table, vocab)
    # DuckDB finds the Arrow table by its variable name (a replacement scan)
    # and keeps it for the relation's lifetime; the query runs in the input
    # relation's own connection.
    return data.query("quillmarrow_input", "SELECT * FROM quillmarrow_tiered")
