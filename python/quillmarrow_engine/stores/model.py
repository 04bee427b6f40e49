"""What a re-tiering run asks of a database: the layout of the table, the rows
it reads in batches, the decisions it writes back, and the operations every
store offers.

A run reads the table a batch at a time, in key order (keyset pagination:
each batch starts after the last position of the one before), scores the
batch and writes back only the rows whose decision changes. The write is a
compare-and-set: under the row locks (PostgreSQL) or the write lock (SQLite)
of a short transaction, each row's input columns are read again and the row
is written only when they still hold the values the decision was computed
from. A row another transaction holds is not waited for; a row the
application changed meanwhile is not overwritten. The write says which rows
it skipped and why, so that the run can read them again.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from typing import Any


@dataclass
class Layout:
    """Which column of the table holds what. Every name is a column of the table."""

    table: str
    key: str
    inputs: dict[str, str]  # field -> column; a flag without a column is false
    recalled_at: str | None  # a column of recall times instead of days_since_recall
    results: dict[str, str]  # "tier", "action" and, when stored, "retention" -> column
    # Set by the store: the unit of the recall times when it reads them as
    # whole counts since 1970 (PostgreSQL's timestamps and dates, "us");
    # None when they are the column's own numbers or texts.
    recalled_counts: str | None = None


@dataclass
class Batch:
    """Rows read from the store, column by column, in the order of the read."""

    keys: Sequence[Any]  # the key column's values, as the database shows them
    handles: Sequence[Any]  # what the store's write uses to find each row again
    # The stored tier and action: the names, or (as a NumPy integer array)
    # codes into TIERS and ACTIONS with -1 for NULL.
    old_tier: Sequence[Any]
    old_action: Sequence[Any]
    old_retention: Sequence[Any] | None  # None when retention is not stored
    values: dict[str, Sequence[Any]]  # field (or "recalled_at") -> values (or a NumPy array)
    after: Any = None  # where the next batch starts; None after the last one

    def __len__(self) -> int:
        return len(self.handles)

    def read_values(self, index: int) -> tuple[Any, ...]:
        """The key and input values of one row as read: what a write compares."""
        return (self.keys[index], *(column[index] for column in self.values.values()))


@dataclass
class Decisions:
    """The rows of a batch to write: positions in the batch and their new results."""

    rows: list[int]  # indices into the batch
    tiers: list[str]
    actions: list[str]
    retentions: list[float] | None  # None when retention is not stored


@dataclass
class Written:
    """What a write did with the decisions it was given (indices into the batch)."""

    written: list[int] = field(default_factory=list)
    locked: list[int] = field(default_factory=list)  # held by another transaction
    changed: list[int] = field(default_factory=list)  # inputs no longer as read
    deleted: list[int] = field(default_factory=list)  # no longer in the table


class Store:
    """A database table being re-tiered.

    The run calls, in this order: columns, then add_columns (when result
    columns are missing and it writes) and prepare; then, for each batch,
    read_batch and write_batch, each in a transaction of its own (online) or
    all inside one (atomic); close at the end. ``transaction`` opens a
    transaction: the run's one transaction, or one batch's."""

    name: str  # how messages name the database: "SQLite", "PostgreSQL"
    errors: tuple[type[BaseException], ...]  # the driver's own error classes

    @staticmethod
    def fold(name: str) -> str:
        """A column name as the database compares names."""
        raise NotImplementedError

    def configure(self, lock_timeout: float) -> None:
        """How long a statement may wait for a lock (a table's; on SQLite the database's)."""
        raise NotImplementedError

    def transaction(self, write: bool) -> Any:
        """A context manager: a transaction (or a savepoint inside the caller's)
        that commits on a normal exit and rolls back on an exception."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def columns(self, table: str) -> set[str]:
        """The table's column names, folded; RetierError when there is no such table."""
        raise NotImplementedError

    def add_columns(self, layout: Layout, columns: list[tuple[str, str]]) -> None:
        """Creates the (result, column) pairs: "tier" and "action" as text, "retention" as a double."""
        raise NotImplementedError

    def prepare(self, layout: Layout, missing: list[str]) -> None:
        """Readies the reading and writing of layout; missing result columns read as NULL."""
        raise NotImplementedError

    def count(self, layout: Layout) -> int:
        raise NotImplementedError

    def read_batch(self, layout: Layout, after: Any, size: int) -> Batch:
        """Up to size rows in key order, starting after position `after`
        (None: from the first row). The batch's `after` is where the next
        one starts, None when this one reached the end."""
        raise NotImplementedError

    def read_ahead(self, layout: Layout, size: int) -> AbstractContextManager[Iterator[Batch]] | None:
        """The batches of a whole scan (as read_batch gives them, each read in
        a transaction of its own), read on a second connection one batch
        ahead of the run, which scores and writes meanwhile; None where the
        store cannot open a second connection."""
        return None

    def read_rows(self, layout: Layout, handles: Sequence[Any]) -> Batch:
        """The rows found by handles (those still there), read again."""
        raise NotImplementedError

    def write_batch(self, layout: Layout, batch: Batch, decisions: Decisions,
                    wait: float = 0.0) -> Written:
        """Writes each decision whose row still holds the values read
        (Batch.read_values), inside the current transaction. A row held by
        another transaction is waited for up to `wait` seconds in all, then
        left as locked."""
        raise NotImplementedError

    def timeout_kind(self, exc: BaseException) -> str | None:
        """"lock" when exc is the database's lock timeout (SQLite: busy), "statement"
        when it is a statement timeout, None for any other error."""
        raise NotImplementedError
