"""retier: re-tier a SQLite or PostgreSQL table in place (quillmarrow_engine.retiering)."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any

from ..errors import RetierError
from ..retiering import DEFAULT_BATCH_SIZE, DEFAULT_LOCK_TIMEOUT, RetierResult, retier
from .arguments import add_vocabulary_options, check_writable, positive_int, vocabulary_of
from .output import Progress, format_retier, progress_bar

# Exit status of a run that set bad rows aside.
EXIT_SET_ASIDE = 3


def seconds(text: str) -> float:
    """An argparse type: a positive number of seconds."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text}")
    return value


def register(commands: Any) -> None:
    sub = commands.add_parser(
        "retier",
        help="re-tier every row of a SQLite or PostgreSQL table in place",
        description=(
            "Read the rows of a table in batches, score them with the engine and write back "
            "the tier and action of the rows whose decision changed, each batch in a short "
            "transaction of its own (--atomic: the whole run in one), never over a row the "
            "application changed meanwhile. With --dry-run nothing is written; either way the "
            "counts per tier change and per action go to standard error."
        ),
    )
    sub.add_argument(
        "database", metavar="DATABASE",
        help="a SQLite file, or sqlite:///PATH (relative; an absolute path takes four "
        "slashes: sqlite:////var/lib/memories.db), or a postgresql:// URL",
    )
    sub.add_argument("--table", required=True, metavar="NAME",
                     help="the table (SCHEMA.NAME on PostgreSQL)")
    sub.add_argument("--key", default="id", metavar="COLUMN",
                     help="the column naming each row, unique (default id)")
    add_vocabulary_options(sub)
    sub.add_argument(
        "--retention-column", metavar="COLUMN",
        help="also store retention in COLUMN; it changes with the clock, so nearly every row "
        "is then written on every run (default: retention is not stored)",
    )
    sub.add_argument("--add-columns", action="store_true",
                     help="create the tier and action columns (and the retention column) when missing")
    sub.add_argument(
        "--atomic", action="store_true",
        help="the whole run in one transaction: readers see every new decision or none, and a "
        "failure writes nothing; rows written stay locked until the end",
    )
    sub.add_argument(
        "--lock-timeout", type=seconds, default=DEFAULT_LOCK_TIMEOUT, metavar="SECONDS",
        help="wait at most this long, in all, for rows other transactions hold (then skip "
        f"them), and for any table or database lock (default {DEFAULT_LOCK_TIMEOUT:g})",
    )
    sub.add_argument(
        "--in-database", action="store_true",
        help="compute the run in the PostgreSQL server with its extension quillmarrow: the same "
        "batches, compare-and-set and decisions, no row of the table moved to the client",
    )
    sub.add_argument("--dry-run", action="store_true", help="write nothing; only count and report")
    sub.add_argument(
        "--report", metavar="FILE",
        help="write one JSON line per row whose tier or action changes",
    )
    sub.add_argument(
        "--errors", metavar="FILE",
        help="set bad rows aside: write each one's key, column and message to FILE (JSON "
        "Lines) and go on; exit status 3 if there were any",
    )
    sub.add_argument(
        "--batch-size", type=positive_int, default=DEFAULT_BATCH_SIZE, metavar="N",
        help=f"rows per batch (default {DEFAULT_BATCH_SIZE:,})",
    )
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Runs the subcommand; raises RetierError for anything refused."""
    check_writable(args.report)
    check_writable(args.errors)
    vocab = vocabulary_of(args)  # now fixed here, once
    bars: list[Progress] = []

    def progress(done: int, total: int) -> None:
        if not bars:  # the first call tells the table's size; rows stand in for bytes
            bars.append(progress_bar(total, args.quiet))
        bars[0].rows(done)

    try:
        result = retier(
            args.database, args.table, key=args.key, columns=dict(vocab.columns),
            recalled_at=vocab.recalled_at, now=vocab.now if vocab.recalled_at else None,
            time_unit=args.time_unit, max_skew=args.max_skew,
            retention_column=args.retention_column,
            add_columns=args.add_columns, atomic=args.atomic, lock_timeout=args.lock_timeout,
            dry_run=args.dry_run, report=args.report, errors=args.errors,
            batch_size=args.batch_size, progress=progress if _shows_progress(args) else None,
            in_database=args.in_database,
        )
        if bars:
            bars[0].update(result.rows, result.rows, final=True)
    except RetierError as exc:
        if bars:
            bars[0].close()
            bars.clear()
        if isinstance(exc.result, RetierResult) and not args.quiet:
            sys.stderr.write(format_retier(exc.result))  # what was done before it stopped
        raise
    finally:
        if bars:
            bars[0].close()
    if not args.quiet:
        sys.stderr.write(format_retier(result))
    return EXIT_SET_ASIDE if result.bad_rows else 0


def _shows_progress(args: argparse.Namespace) -> bool:
    # Counting the rows for the bar costs a pass over the table: only for a terminal.
    return not args.quiet and sys.stderr.isatty()
