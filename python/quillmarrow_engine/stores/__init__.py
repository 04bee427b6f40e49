"""The databases a memory store lives in: SQLite and PostgreSQL tables, read
and written in batches for a re-tiering run.

``open_store`` turns a path, a URL or an open connection into a Store
(stores/model.py). psycopg is imported only for PostgreSQL.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from ..errors import RetierError
from .model import Batch, Decisions, Layout, Store, Written

__all__ = ["Batch", "Decisions", "Layout", "Store", "Written", "open_store"]


@contextmanager
def open_store(database: Any) -> Iterator[Store]:
    """The store for a SQLite path or ``sqlite:///`` URL, a ``postgresql://``
    URL (both opened here and closed at the end), or an open ``sqlite3`` or
    ``psycopg`` connection (used as it is, and left open)."""
    from . import sqlite

    if isinstance(database, (str, os.PathLike)):
        text = os.fspath(database)
        store: Store
        if text.startswith(("postgresql://", "postgres://")):
            from . import postgres

            store = postgres.PostgresStore.connect(text)
        else:
            store = sqlite.SqliteStore.connect(text)
        try:
            yield store
        finally:
            store.close()
        return
    if sqlite.is_connection(database):
        yield sqlite.SqliteStore(database, owned=False)
        return
    from . import postgres

    if postgres.is_connection(database):
        yield postgres.PostgresStore(database, owned=False)
        return
    raise RetierError(f"not a database path, URL or connection: {database!r}")
