"""retier: re-tier a SQLite or PostgreSQL table in place (quillmarrow_engine.retiering)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..errors import RetierError
from ..fields import FIELDS, RESULT_FIELDS
from ..retiering import DEFAULT_BATCH_SIZE, retier
from ..times import parse_now
from .arguments import check_writable, field_mapping, positive_int
from .output import Progress, format_retier, progress_bar


def register(commands: Any) -> None:
    sub = commands.add_parser(
        "retier",
        help="re-tier every row of a SQLite or PostgreSQL table in place",
        description=(
            "Read the rows of a table in batches, score them with the engine and write "
            "tier, action and retention back, set-based, in one transaction. With "
            "--dry-run nothing is written; either way the counts per tier change and "
            "per action go to standard error."
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
                     help="the column naming each row (default id)")
    sub.add_argument(
        "--column", action="append", default=[], metavar="FIELD=COLUMN", type=field_mapping,
        help=f"read FIELD from COLUMN (fields: {', '.join(FIELDS)}; results: "
        f"{', '.join(RESULT_FIELDS)}); repeatable",
    )
    sub.add_argument(
        "--recalled-at", metavar="COLUMN",
        help="count days since recall from this time column (Unix seconds, ISO-8601 text "
        "or a timestamp) instead of reading days_since_recall",
    )
    sub.add_argument(
        "--now", metavar="TIME",
        help="the time days are counted to: ISO-8601 or Unix seconds (default: when the run starts)",
    )
    sub.add_argument("--add-columns", action="store_true",
                     help="create the tier, action and retention columns when missing")
    sub.add_argument("--dry-run", action="store_true", help="write nothing; only count and report")
    sub.add_argument(
        "--report", metavar="FILE",
        help="write one JSON line per row whose tier or action changes",
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
    try:
        now = parse_now(args.now) if args.now is not None else None
    except ValueError as exc:
        raise RetierError(str(exc)) from None
    if args.now is not None and args.recalled_at is None:
        raise RetierError("--now counts days to a time column: give --recalled-at COLUMN too")
    bars: list[Progress] = []

    def progress(done: int, total: int) -> None:
        if not bars:  # the first call tells the table's size; rows stand in for bytes
            bars.append(progress_bar(total, args.quiet))
        bars[0].rows(done)

    try:
        result = retier(
            args.database, args.table, key=args.key, columns=dict(args.column),
            recalled_at=args.recalled_at, now=now, add_columns=args.add_columns,
            dry_run=args.dry_run, report=args.report, batch_size=args.batch_size,
            progress=progress,
        )
        if bars:
            bars[0].update(result.rows, result.rows, final=True)
    finally:
        if bars:
            bars[0].close()
    if not args.quiet:
        sys.stderr.write(format_retier(result))
    return 0
