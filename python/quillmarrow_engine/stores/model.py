"""What a re-tiering run asks of a database: the layout of the table, the rows
it reads in batches, and the operations every store offers."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any


@dataclass
class Layout:
    """Which column of the table holds what. Every name is a column of the table."""

    table: str
    key: str
    inputs: dict[str, str]  # field -> column; a flag without a column is false
    recalled_at: str | None  # a timestamp column instead of days_since_recall
    results: dict[str, str]  # "tier", "action", "retention" -> column


@dataclass
class Batch:
    """Rows read from the store, column by column, in the order of the table's scan."""

    keys: Sequence[Any]
    handles: Sequence[Any]  # what the store's write uses to find each row again
    old_tier: Sequence[Any]
    old_action: Sequence[Any]
    old_retention: Sequence[Any]
    values: dict[str, Sequence[Any]]  # field (or "recalled_at") -> values


class Store:
    """A database table being re-tiered. The run calls, in this order: begin;
    columns, then add_columns (when result columns are missing and it writes)
    and prepare; count; read, and write for each batch; finish; commit, or
    rollback on any failure; close."""

    name: str  # how messages name the database: "SQLite", "PostgreSQL"
    errors: tuple[type[BaseException], ...]  # the driver's own error classes

    @staticmethod
    def fold(name: str) -> str:
        """A column name as the database compares names."""
        raise NotImplementedError

    def begin(self, write: bool) -> None:
        raise NotImplementedError

    def commit(self) -> None:
        raise NotImplementedError

    def rollback(self) -> None:
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

    def read(self, layout: Layout, batch_size: int) -> Iterator[Batch]:
        raise NotImplementedError

    def write(self, layout: Layout, handles: list[Any], tiers: list[str],
              actions: list[str], retentions: list[float]) -> int:
        """Writes the results of the rows found by handles; returns how many."""
        raise NotImplementedError

    def finish(self, layout: Layout) -> None:
        """Completes the writes before the commit."""
        raise NotImplementedError
