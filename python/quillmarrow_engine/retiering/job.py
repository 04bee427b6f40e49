"""The re-tiering run: one transaction over the table, batch by batch.

Rows are read in batches, scored by `tier_arrays` in one call per batch, and
the new tier, action and retention go back set-based (one `executemany` per
batch on SQLite; on PostgreSQL a `COPY` into a temporary table and one
`UPDATE ... FROM` at the end). The whole run is one transaction, so readers
see every new tier or none, and any failure (a bad row, a lost connection,
Ctrl-C) leaves the table as it was.

A dry run reads and scores the same way and writes nothing; the same counts
and the same report (one JSON line per row whose tier or action changes) come
out of a real run, describing the change made.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Mapping
from datetime import datetime
from typing import Any, TextIO

from ..errors import RetierError
from ..stores import open_store
from ..times import parse_now
from .layout import check_mapping, resolve_layout
from .report import report_sink, write_changes
from .result import RetierResult
from .scoring import Scorer

DEFAULT_BATCH_SIZE = 10_000

Progress = Callable[[int, int], None]  # (rows done, rows in the table)


def retier(
    database: Any,
    table: str,
    *,
    key: str = "id",
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    add_columns: bool = False,
    dry_run: bool = False,
    report: str | os.PathLike[str] | TextIO | None = None,
    batch_size: int = DEFAULT_BATCH_SIZE,
    progress: Progress | None = None,
) -> RetierResult:
    """Re-tier every row of `table` in `database`; returns the counts.

    `database` is a SQLite path, a ``sqlite:///path`` URL (an absolute path
    takes four slashes: ``sqlite:////var/lib/memories.db``), a
    ``postgresql://...`` URL, or an open ``sqlite3`` or ``psycopg`` connection
    (used inside its own transaction or savepoint, and not closed).
    `columns` maps a record field or "tier"/"action"/"retention" to another
    column name. `recalled_at` names a timestamp column used instead of
    `days_since_recall`, counted to `now` (ISO-8601 text, Unix seconds or an
    aware datetime; default: the time the run starts). `report` gets one JSON
    line per row whose tier or action changes. Raises `RetierError` for a bad
    row or option; the table is then unchanged.
    """
    start = time.perf_counter()
    if batch_size < 1:
        raise RetierError(f"batch size must be at least 1, got {batch_size}")
    try:
        now_seconds = parse_now(now) if now is not None else time.time()
    except ValueError as exc:
        raise RetierError(str(exc)) from None
    mapping = check_mapping(columns or {}, recalled_at)
    scorer = Scorer()
    result = RetierResult(dry_run=dry_run, now=now_seconds)
    with open_store(database) as store, report_sink(report) as sink:
        store.begin(write=not dry_run)
        try:
            layout = resolve_layout(store, table, key, mapping, recalled_at, add_columns, dry_run)
            total = store.count(layout)
            if progress:
                progress(0, total)
            for batch in store.read(layout, batch_size):
                scored = scorer.score(batch, layout, now_seconds)
                scorer.account(scored, result)
                if sink is not None:
                    write_changes(sink, scorer.changes(scored, batch))
                if not dry_run:
                    result.written += store.write(layout, *scorer.updates(scored, batch))
                if progress:
                    progress(result.rows, max(total, result.rows))
            if not dry_run:
                store.finish(layout)
        except BaseException as exc:
            store.rollback()
            if isinstance(exc, store.errors):
                raise RetierError(f"{store.name}: {exc}".strip()) from exc
            raise
        try:
            store.commit()
        except store.errors as exc:
            raise RetierError(f"{store.name}: commit failed: {exc}".strip()) from exc
    result.seconds = time.perf_counter() - start
    return result
