"""Reading and writing a SQLite table for a re-tiering run.

Rows are read in pages in rowid order (`WHERE rowid > ? ORDER BY rowid
LIMIT ?`, each page a fresh statement, so no cursor is open while the table
is written); a table without rowids is paged by its key instead. A batch's
decisions are written in a write transaction (`BEGIN IMMEDIATE`) that first
reads the rows' key and input columns again: SQLite lets one writer in at a
time, so what it reads then stays until the commit, and only the rows that
still hold the values the decisions came from are updated (one
`executemany` by rowid). Waiting for another writer is bounded by the busy
timeout, which the run sets to its lock timeout.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from ..errors import RetierError
from ..fields import FIELDS
from .model import Batch, Decisions, Layout, Store, Written

_ROWID_NAMES = ("rowid", "_rowid_", "oid")
_CHUNK = 500  # handles per IN (...) list, well within SQLite's limit on parameters


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
        self._busy_timeout: int | None = None

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
        elif self._busy_timeout is not None:
            self.conn.execute(f"PRAGMA busy_timeout = {self._busy_timeout}")  # the caller's again

    # -- transactions ------------------------------------------------------

    def configure(self, lock_timeout: float) -> None:
        if self.conn.in_transaction:
            raise RetierError("the connection is inside a transaction; commit or roll it back first")
        (self._busy_timeout,) = self.conn.execute("PRAGMA busy_timeout").fetchone()
        self.conn.execute(f"PRAGMA busy_timeout = {max(0, round(lock_timeout * 1000))}")

    @contextmanager
    def transaction(self, write: bool) -> Iterator[None]:
        # IMMEDIATE takes the write lock at once, so the compare-and-set that
        # follows sees what stays until the commit.
        self.conn.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        try:
            yield
        except BaseException:
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
            raise
        self.conn.execute("COMMIT")

    def timeout_kind(self, exc: BaseException) -> str | None:
        busy = isinstance(exc, sqlite3.OperationalError) and "locked" in str(exc)
        return "lock" if busy else None

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
        self._stored = ["tier", "action"] + (["retention"] if "retention" in layout.results else [])
        inputs = [quote(layout.inputs[name]) for name in FIELDS if name in layout.inputs]
        if layout.recalled_at is not None:
            inputs.append(quote(layout.recalled_at))
        self._fields = [n for n in FIELDS if n in layout.inputs] + (
            ["recalled_at"] if layout.recalled_at is not None else []
        )
        results = [
            "NULL" if layout.results[r] in missing else quote(layout.results[r]) for r in self._stored
        ]
        select = ", ".join([handle, quote(layout.key), *results, *inputs])
        self._first = f"SELECT {select} FROM {table} ORDER BY {handle} LIMIT ?"
        self._next = f"SELECT {select} FROM {table} WHERE {handle} > ? ORDER BY {handle} LIMIT ?"
        self._by_handle = f"SELECT {select} FROM {table} WHERE {handle} IN "
        # What a write compares: the key and the inputs, as read.
        self._current = f"SELECT {', '.join([handle, quote(layout.key), *inputs])} FROM {table} WHERE {handle} IN "
        sets = ", ".join(f"{quote(layout.results[r])} = ?" for r in self._stored)
        self._update = f"UPDATE {table} SET {sets} WHERE {handle} = ?"

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

    def read_batch(self, layout: Layout, after: Any, size: int) -> Batch:
        if after is None:
            rows = self.conn.execute(self._first, (size,)).fetchall()
        else:
            rows = self.conn.execute(self._next, (after, size)).fetchall()
        batch = self._batch(rows)
        batch.after = rows[-1][0] if len(rows) == size else None
        return batch

    def read_rows(self, layout: Layout, handles: Sequence[Any]) -> Batch:
        rows: list[Any] = []
        for chunk in _chunks(handles):
            rows += self.conn.execute(self._by_handle + _marks(chunk), chunk).fetchall()
        return self._batch(rows)

    def _batch(self, rows: list[Any]) -> Batch:
        n = len(self._stored)
        columns = list(zip(*rows)) or [()] * (2 + n + len(self._fields))
        return Batch(
            keys=columns[1],
            handles=columns[0],
            old_tier=columns[2],
            old_action=columns[3],
            old_retention=columns[4] if n == 3 else None,
            values=dict(zip(self._fields, columns[2 + n :])),
        )

    def write_batch(self, layout: Layout, batch: Batch, decisions: Decisions,
                    wait: float = 0.0) -> Written:
        handles = [batch.handles[i] for i in decisions.rows]
        current: dict[Any, tuple[Any, ...]] = {}
        for chunk in _chunks(handles):
            for row in self.conn.execute(self._current + _marks(chunk), chunk):
                current[row[0]] = tuple(row[1:])
        done = Written()
        updates = []
        columns: list[list[Any]] = [decisions.tiers, decisions.actions]
        if decisions.retentions is not None:
            columns.append(decisions.retentions)
        for j, i in enumerate(decisions.rows):
            now = current.get(batch.handles[i])
            if now is None:
                done.deleted.append(i)
            elif now != batch.read_values(i):
                done.changed.append(i)
            else:
                done.written.append(i)
                updates.append((*(column[j] for column in columns), batch.handles[i]))
        self.conn.executemany(self._update, updates)
        return done


def _chunks(values: Sequence[Any]) -> Iterator[list[Any]]:
    for start in range(0, len(values), _CHUNK):
        yield list(values[start : start + _CHUNK])


def _marks(chunk: list[Any]) -> str:
    return "(" + ", ".join("?" * len(chunk)) + ")"


def _uri_path(path: str) -> str:
    from urllib.parse import quote as url_quote

    return url_quote(path, safe="/")
