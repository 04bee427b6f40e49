"""The re-tiering run: a table read and written back in batches.

Online (the default), every batch is read in a short transaction and its
changed decisions are written in another, so the application's own writes
wait at most for one batch; a run that stops (a bad row, a lost connection,
Ctrl-C) keeps the batches it wrote, and running it again finishes the job.
An atomic run does the same work inside one transaction: readers see every
new decision or none, and a failure leaves the table as it was.

A dry run reads and scores the same way and writes nothing; the same counts
and the same report (one JSON line per row whose tier or action changes)
come out of a real run, describing the change made.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Mapping
from contextlib import nullcontext
from dataclasses import replace
from datetime import datetime
from typing import Any, TextIO

from ..errors import RetierError
from ..stores import Layout, Store, open_store
from .in_database import ServerPasses, check_in_database, in_database_statements
from .layout import check_vocabulary, resolve_layout
from .passes import Options, Passes, Progress
from .report import output_sink
from .result import RetierResult
from .scoring import Scorer

DEFAULT_BATCH_SIZE = 10_000
DEFAULT_LOCK_TIMEOUT = 5.0  # seconds

Output = str | os.PathLike[str] | TextIO | None


def retier(
    database: Any,
    table: str,
    *,
    key: str = "id",
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    retention_column: str | None = None,
    add_columns: bool = False,
    atomic: bool = False,
    lock_timeout: float = DEFAULT_LOCK_TIMEOUT,
    dry_run: bool = False,
    report: Output = None,
    errors: Output = None,
    batch_size: int = DEFAULT_BATCH_SIZE,
    progress: Progress | None = None,
    in_database: bool = False,
) -> RetierResult:
    """Re-tier every row of `table` in `database`; returns the counts.

    `database` is a SQLite path, a ``sqlite:///path`` URL (an absolute path
    takes four slashes: ``sqlite:////var/lib/memories.db``), a
    ``postgresql://...`` URL, or an open ``sqlite3`` or ``psycopg`` connection
    (not closed; a psycopg connection inside a transaction gets savepoints).
    `columns` maps a record field or "tier"/"action" to another column name.
    `recalled_at` names a column of recall times used instead of
    `days_since_recall` (timestamps or dates, numbers of `time_unit` "s",
    "ms", "us" or "ns", or ISO-8601 texts), counted to `now` (ISO-8601 text,
    Unix seconds or a datetime, naive meaning UTC; default: the time the run
    starts); a recall time more than `max_skew` seconds (default 300) after
    now is a bad row. These options read and fail as on every road
    (``quillmarrow_engine.frames.vocabulary``). `retention_column`
    names a column to store retention in (it changes with the clock, so
    nearly every row is then written on every run); without it retention is
    neither read nor written.

    A row is written only when its decision changes, and only if its input
    columns still hold the values it was scored from. Online (the default)
    each batch is written in a transaction of its own; `atomic` makes the
    whole run one transaction. A row another transaction holds is waited for
    up to `lock_timeout` seconds (in all, per run) and then skipped.

    `in_database` computes the run in the PostgreSQL server, with its
    extension quillmarrow: the same batches, compare-and-set and decisions,
    and no row of the table comes to the client (now and max_skew are
    taken to the microsecond).

    `report` gets one JSON line per row whose tier or action changes;
    `errors` (a path or a text stream) gets one per bad row, which is then
    set aside instead of stopping the run. Raises `RetierError` for a bad row
    or option; online, its `result` tells what the run had done by then.
    """
    start = time.perf_counter()
    if batch_size < 1:
        raise RetierError(f"batch size must be at least 1, got {batch_size}")
    if not (lock_timeout > 0 and math.isfinite(lock_timeout)):
        raise RetierError(f"lock timeout must be a positive number of seconds, got {lock_timeout}")
    vocab, mapping = check_vocabulary(columns, recalled_at, now, time_unit, max_skew,
                                      retention_column)
    if in_database:
        # The server's times are whole microseconds: so are now and the skew, on both roads.
        vocab = replace(vocab, now=round(vocab.now * 1e6) / 1e6,
                        max_skew=round(vocab.max_skew * 1e6) / 1e6)
    scorer = Scorer()
    result = RetierResult(dry_run=dry_run, atomic=atomic, now=vocab.now,
                          retention_stored=retention_column is not None)
    online = not atomic and not dry_run  # what it writes stays, even when it stops

    def keep() -> bool:  # the report of an online run that stops after doing some work
        return online and bool(result.rows or result.bad_rows)

    with open_store(database) as store, output_sink(report, keep) as report_out, \
            output_sink(errors, keep) as errors_out:
        store.configure(lock_timeout)
        run = store.transaction(write=not dry_run) if atomic else nullcontext()
        layout = None
        try:
            with run:
                step = nullcontext() if atomic else store.transaction(write=not dry_run)
                server = None
                with step:
                    if in_database:
                        check_in_database(store)
                    layout = resolve_layout(store, table, key, mapping, recalled_at, add_columns,
                                            dry_run)
                    if in_database:  # a column it cannot read undoes the columns just added
                        server = in_database_statements(store, layout, vocab, dry_run,
                                                        report is not None)
                options = Options(vocab, batch_size, lock_timeout, atomic, dry_run,
                                  report_out, errors_out, progress)
                if server is not None:
                    ServerPasses(store, layout, scorer, result, options, server=server).run()
                else:
                    Passes(store, layout, scorer, result, options).run()
        except RetierError as exc:
            raise _stopped(exc, store, layout, result, online) from exc.__cause__
        except store.errors as exc:
            error = _database_error(store, exc, lock_timeout)
            raise _stopped(error, store, layout, result, online) from exc
    result.seconds = time.perf_counter() - start
    return result


def _database_error(store: Store, exc: BaseException, lock_timeout: float) -> RetierError:
    kind = store.timeout_kind(exc)
    text = str(exc).strip()
    if kind == "lock":
        return RetierError(
            f"{store.name}: waited --lock-timeout {lock_timeout:g} s for a lock that another"
            f" transaction holds: {text}"
        )
    if kind == "statement":
        return RetierError(
            f"{store.name}: {text} (the server's statement_timeout; a smaller --batch-size"
            " makes each statement shorter)"
        )
    return RetierError(f"{store.name}: {text}")


def _stopped(error: RetierError, store: Store, layout: Layout | None, result: RetierResult,
             online: bool) -> RetierError:
    """The error, carrying what an online run had done: its written batches stay."""
    if online and layout is not None and (result.rows or result.bad_rows):
        result.stopped = str(error)
        try:
            result.total = store.count(layout)
        except Exception:  # the connection may be gone; the count is only for the summary
            result.total = None
        error.result = result
    return error
