"""tier-jsonl: a JSON Lines export tiered line by line (quillmarrow_engine.jsonl)."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any

from ..errors import UsageError
from ..jsonl import DEFAULT_BATCH_SIZE, DEFAULT_MAX_LINE_BYTES, record_names, same_file, source_size, tier_jsonl
from .arguments import add_vocabulary_options, check_readable, check_writable, positive_int
from .output import format_summary, progress_bar

# Exit status of a run that set bad lines aside.
EXIT_SET_ASIDE = 3


def register(commands: Any) -> None:
    sub = commands.add_parser(
        "tier-jsonl",
        help="tier a JSON Lines export, one TierInput per line",
        description=(
            "Tier a JSON Lines export (one TierInput per line, object or array "
            "form; blank lines skipped), each line decoded alone as 'tier' decodes "
            "it, and write one decision per line, in input order, with the record's "
            "id. Object records may name their fields otherwise (--column) and hold "
            "a recall time instead of days_since_recall (--recalled-at). A summary "
            "goes to standard error."
        ),
    )
    sub.add_argument(
        "input", metavar="INPUT",
        help="the export; - for standard input; gzip is read as such, whatever the name",
    )
    sub.add_argument(
        "-o", "--output", metavar="OUTPUT",
        help="write the decisions here (replaced only when every record succeeded); "
        "default: standard output",
    )
    ids = sub.add_mutually_exclusive_group()
    ids.add_argument(
        "--id-field", default="id", metavar="NAME",
        help="copy this member of each object record into its decision as \"id\" (default: id)",
    )
    ids.add_argument("--no-id", action="store_true", help="write decisions without ids")
    sub.add_argument(
        "--errors", metavar="FILE",
        help="set bad lines aside: write each one's line number, id and message to FILE "
        "(JSON Lines) and go on; exit status 3 if there were any",
    )
    sub.add_argument(
        "--batch-size", type=positive_int, default=DEFAULT_BATCH_SIZE, metavar="N",
        help=f"lines per engine call (default {DEFAULT_BATCH_SIZE:,})",
    )
    sub.add_argument(
        "--max-line-bytes", type=positive_int, default=DEFAULT_MAX_LINE_BYTES, metavar="N",
        help=f"a longer line is a bad line, never held whole (default {DEFAULT_MAX_LINE_BYTES:,})",
    )
    add_vocabulary_options(sub, members=True)
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    check_readable(args.input)
    check_writable(args.output)
    check_writable(args.errors)
    if args.errors == "-" and args.output in (None, "-"):
        raise UsageError("--errors - needs -o OUTPUT: standard output already holds the decisions")
    if args.errors not in (None, "-") and args.output not in (None, "-"):
        if same_file(args.errors, args.output):
            raise UsageError(
                f"--errors and -o name the same file ({args.errors}): the bad lines need a "
                "file of their own"
            )
    try:
        # Checked before anything is read, and now fixed once.
        _, recall = record_names(
            dict(args.column), args.recalled_at, args.now, args.time_unit, args.max_skew
        )
    except (ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None
    now = args.now if recall is None else recall[1]
    total = source_size(args.input)
    progress = progress_bar(total, args.quiet)
    start = time.perf_counter()
    try:
        tally = tier_jsonl(
            args.input,
            args.output,
            id_field=None if args.no_id else args.id_field,
            errors=args.errors,
            batch_size=args.batch_size,
            progress=progress.update,
            columns=dict(args.column),
            recalled_at=args.recalled_at,
            now=now,
            time_unit=args.time_unit,
            max_skew=args.max_skew,
            max_line_bytes=args.max_line_bytes,
        )
        progress.update(tally.items, total, final=True)
    finally:
        progress.close()
    seconds = time.perf_counter() - start
    if not args.quiet:
        sys.stderr.write(format_summary(tally, seconds))
    return EXIT_SET_ASIDE if tally.bad_lines else 0
