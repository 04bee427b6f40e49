"""The `retier` subcommand: re-tier a SQLite or PostgreSQL table in place.

    quillmarrow-engine retier DATABASE --table NAME [--key COLUMN]
        [--column FIELD=COLUMN ...] [--recalled-at COLUMN [--now TIME]]
        [--add-columns] [--dry-run] [--report FILE] [--batch-size N] [-q]
"""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .retiering import DEFAULT_BATCH_SIZE, FIELDS, RESULT_FIELDS, RetierError, RetierResult


def add_parser(commands: Any, batch_size_type: Any) -> None:
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
        help="a SQLite file (or sqlite:///PATH) or a postgresql:// URL",
    )
    sub.add_argument("--table", required=True, metavar="NAME",
                     help="the table (SCHEMA.NAME on PostgreSQL)")
    sub.add_argument("--key", default="id", metavar="COLUMN",
                     help="the column naming each row (default id)")
    sub.add_argument(
        "--column", action="append", default=[], metavar="FIELD=COLUMN", type=_mapping,
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
        "--batch-size", type=batch_size_type, default=DEFAULT_BATCH_SIZE, metavar="N",
        help=f"rows per batch (default {DEFAULT_BATCH_SIZE:,})",
    )
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")


def _mapping(text: str) -> tuple[str, str]:
    name, sep, column = text.partition("=")
    if not sep or not name or not column:
        raise argparse.ArgumentTypeError(f"expected FIELD=COLUMN, got {text!r}")
    if name not in FIELDS + RESULT_FIELDS:
        raise argparse.ArgumentTypeError(
            f"unknown field {name!r} (fields: {', '.join(FIELDS + RESULT_FIELDS)})"
        )
    return name, column


def run_retier(args: argparse.Namespace) -> None:
    """Runs the subcommand; raises RetierError for anything refused."""
    from .retiering import parse_now, retier
    from .summary import Progress

    columns = dict(args.column)
    now = parse_now(args.now) if args.now is not None else None
    if args.now is not None and args.recalled_at is None:
        raise RetierError("--now counts days to a time column: give --recalled-at COLUMN too")
    show = not args.quiet
    bars: list[Progress] = []

    def progress(done: int, total: int) -> None:
        if not bars:  # the first call tells the table's size; rows stand in for bytes
            bars.append(Progress(sys.stderr, total, enabled=show and sys.stderr.isatty()))
        bars[0].update(done, done)

    try:
        result = retier(
            args.database, args.table, key=args.key, columns=columns,
            recalled_at=args.recalled_at, now=now, add_columns=args.add_columns,
            dry_run=args.dry_run, report=args.report, batch_size=args.batch_size,
            progress=progress,
        )
        if bars:
            bars[0].update(result.rows, result.rows, final=True)
    finally:
        if bars:
            bars[0].close()
    if show:
        sys.stderr.write(format_result(result))


def format_result(result: RetierResult) -> str:
    """The closing report: the summary tier-jsonl gives, the tier changes, what was written."""
    from .retiering import format_transitions
    from .summary import Tally, format_summary

    tally = Tally()
    tally.items = result.rows
    tally.tiers.update(result.tiers)
    tally.actions.update(result.actions)
    text = format_summary(tally, result.seconds) if result.rows else "no rows in the table\n"
    if result.rows:
        text += "\n" + format_transitions(result)
    verb = "would change" if result.dry_run else "changed"
    text += f"\ntier or action {verb}: {result.changed:,} of {result.rows:,} rows\n"
    if result.dry_run:
        text += "dry run: nothing written\n"
    else:
        text += f"written: {result.written:,} rows (tier, action or retention differed), committed\n"
    return text
