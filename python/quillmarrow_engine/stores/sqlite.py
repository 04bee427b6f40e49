"""Reading and writing a SQLite table for a re-tiering run.

Rows are read in pages in rowid order (`WHERE rowid > ? ORDER BY rowid
LIMIT ?`, each page a fresh statement, so no cursor is open while the table is
written), and each page's results are written with one `executemany` that finds
every row by its rowid. The run holds the write lock from the start (`BEGIN
IMMEDIATE`), so nobody changes a row between its reading and its writing, and
commits once. A table without rowids is paged and written by its key instead.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Iterator
from typing import Any

from ..errors import RetierError
from ..fields import FIELDS
from .model import Batch, Layout, Store

_ROWID_NAMES = ("rowid", "_rowid_", "oid")


def is_connection(value: Any) -> bool:
    return isinstance(value, sqlite3.Connection)


def quote(name: str) -> str:
    """A SQLite identifier, quoted: any text is safe in it."""
    if "\x00" in name:
        raise RetierError(f"a name cannot hold a NUL character: {name!r}")
    return '"' + name.replace('"', '""') + '"'


class SqliteStore(Store):
    @staticmethod
    def fold(name: str) -> str:
        return name.lower()  # SQLite compares names without regard to case

    def __init__(self, conn: sqlite3.Connection, owned: bool) -> None:
        self.conn = conn
        self.owned = owned
        self.name = "SQLite"
        self.errors = (sqlite3.Error,)
        self._handle = "rowid"
        self._select = ""
        self._update = ""

    @classmethod
    def connect(cls, target: str) -> SqliteStore:
        path = target[len("sqlite:///") :] if target.startswith("sqlite:///") else target
        if target.startswith("sqlite://") and not target.startswith("sqlite:///"):
            raise RetierError(f"a SQLite URL is sqlite:///PATH, got {target!r}")
        try:
            # Opened read-write but never created: a mistyped path is an error.
            conn = sqlite3.connect(f"file:{_uri_path(path)}?mode=rw", uri=True, isolation_level=None)
        except sqlite3.Error as exc:
            raise RetierError(f"cannot open SQLite database {path!r}: {exc}") from None
        return cls(conn, owned=True)

    def close(self) -> None:
        if self.owned:
            self.conn.close()

    # -- transaction -------------------------------------------------------

    def begin(self, write: bool) -> None:
        if self.conn.in_transaction:
            raise RetierError("the connection is inside a transaction; commit or roll it back first")
        try:
            self.conn.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        except sqlite3.OperationalError as exc:
            raise RetierError(f"cannot start a transaction: {exc}") from None

    def commit(self) -> None:
        self.conn.execute("COMMIT")

    def rollback(self) -> None:
        if self.conn.in_transaction:
            self.conn.execute("ROLLBACK")

    # -- layout ------------------------------------------------------------

    def columns(self, table: str) -> set[str]:
        rows = self.conn.execute("SELECT name FROM pragma_table_info(?)", (table,)).fetchall()
        if not rows:
            raise RetierError(f"no table {table!r} in the database")
        self._declared = {name.lower() for (name,) in rows}
        return self._declared

    def add_columns(self, layout: Layout, columns: list[tuple[str, str]]) -> None:
        types = {"tier": "TEXT", "action": "TEXT", "retention": "REAL"}
        for result, column in columns:
            self.conn.execute(
                f"ALTER TABLE {quote(layout.table)} ADD COLUMN {quote(column)} {types[result]}"
            )

    def prepare(self, layout: Layout, missing: list[str]) -> None:
        table = quote(layout.table)
        self._handle = self._rowid_name(layout)
        handle = quote(self._handle) if self._handle == layout.key else self._handle
        select = [handle, quote(layout.key)]
        for result in ("tier", "action", "retention"):
            column = layout.results[result]
            select.append("NULL" if column in missing else quote(column))
        for name in FIELDS:
            if name in layout.inputs:
                select.append(quote(layout.inputs[name]))
        if layout.recalled_at is not None:
            select.append(quote(layout.recalled_at))
        self._fields = [n for n in FIELDS if n in layout.inputs] + (
            ["recalled_at"] if layout.recalled_at is not None else []
        )
        self._select = (
            f"SELECT {', '.join(select)} FROM {table} WHERE {handle} > ? ORDER BY {handle} LIMIT ?"
        )
        self._first = f"SELECT {', '.join(select)} FROM {table} ORDER BY {handle} LIMIT ?"
        r = layout.results
        self._update = (
            f"UPDATE {table} SET {quote(r['tier'])} = ?, {quote(r['action'])} = ?, "
            f"{quote(r['retention'])} = ? WHERE {handle} = ?"
        )

    def _rowid_name(self, layout: Layout) -> str:
        without_rowid = self.conn.execute(
            "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ? "
            "AND sql LIKE '%WITHOUT%ROWID%'",
            (layout.table,),
        ).fetchone()
        if without_rowid is None:
            for name in _ROWID_NAMES:
                if name not in self._declared:
                    return name
        # No rowid to page by: the key, which must then be the primary key.
        primary = [
            name
            for name, pk in self.conn.execute(
                "SELECT name, pk FROM pragma_table_info(?)", (layout.table,)
            )
            if pk
        ]
        if [p.lower() for p in primary] != [layout.key.lower()]:
            raise RetierError(
                f"table {layout.table!r} has no rowid; its key must be its one-column primary key"
            )
        return layout.key

    def count(self, layout: Layout) -> int:
        (n,) = self.conn.execute(f"SELECT count(*) FROM {quote(layout.table)}").fetchone()
        return int(n)

    # -- rows --------------------------------------------------------------

    def read(self, layout: Layout, batch_size: int) -> Iterator[Batch]:
        rows = self.conn.execute(self._first, (batch_size,)).fetchall()
        while rows:
            columns = list(zip(*rows))
            yield Batch(
                keys=columns[1],
                handles=columns[0],
                old_tier=columns[2],
                old_action=columns[3],
                old_retention=columns[4],
                values=dict(zip(self._fields, columns[5:])),
            )
            if len(rows) < batch_size:
                return
            rows = self.conn.execute(self._select, (rows[-1][0], batch_size)).fetchall()

    def write(self, layout: Layout, handles: list[Any], tiers: list[str],
              actions: list[str], retentions: list[float]) -> int:
        self.conn.executemany(self._update, zip(tiers, actions, retentions, handles))
        return len(handles)

    def finish(self, layout: Layout) -> None:
        pass


def _uri_path(path: str) -> str:
    from urllib.parse import quote as url_quote

    return url_quote(path, safe="/")
