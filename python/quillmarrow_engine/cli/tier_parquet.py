"""tier-parquet: a Parquet dataset tiered into a new one, locally or on Dask
or Spark (quillmarrow_engine.parquet)."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any

from .._optional import missing, needs_message
from ..errors import UsageError
from ..parquet import DEFAULT_BATCH_ROWS, DEFAULT_WORKERS, ENGINES, NEEDS, plan, run_dask, run_local, run_spark
from ..parquet.files import total_rows
from .arguments import add_vocabulary_options, positive_int, vocabulary_of
from .output import format_summary, progress_bar


def register(commands: Any) -> None:
    sub = commands.add_parser(
        "tier-parquet",
        help="tier a Parquet dataset into a new one, locally or on Dask or Spark",
        description=(
            "Read a Parquet file or dataset, add the columns retention, tier and "
            "action, and write a Parquet dataset to OUTPUT, which appears only "
            "when every row succeeded."
        ),
    )
    sub.add_argument("input", metavar="INPUT", help="a Parquet file or dataset directory (path or URI)")
    sub.add_argument("-o", "--output", metavar="OUTPUT", required=True, help="the dataset to create")
    sub.add_argument("--engine", choices=ENGINES, default="local", help="where the rows are tiered (default local)")
    sub.add_argument(
        "--workers", type=positive_int, metavar="N",
        help=f"local cluster size: Dask worker processes or Spark local[N] (default {DEFAULT_WORKERS})",
    )
    sub.add_argument("--master", metavar="URL", help="Spark master of an existing cluster (engine spark)")
    sub.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler of an existing cluster (engine dask)")
    sub.add_argument(
        "--batch-size", type=positive_int, default=DEFAULT_BATCH_ROWS, metavar="N",
        help=f"rows per call into the engine, on every engine (default {DEFAULT_BATCH_ROWS:,})",
    )
    add_vocabulary_options(sub)
    sub.add_argument(
        "-q", "--quiet", action="store_true",
        help="no progress bar, no summary, and none of Dask's or Spark's own logging",
    )
    sub.set_defaults(run=run)


def _check_options(args: argparse.Namespace) -> None:
    if args.master is not None and args.engine != "spark":
        raise UsageError("--master applies to --engine spark")
    if args.scheduler is not None and args.engine != "dask":
        raise UsageError("--scheduler applies to --engine dask")
    if args.workers is not None and args.engine == "local":
        raise UsageError("--workers applies to --engine dask or spark")
    if args.workers is not None and (args.master or args.scheduler):
        raise UsageError("--workers sizes a local cluster; an existing cluster has its own")
    modules, extra = NEEDS[args.engine]
    absent = missing(modules)
    if absent:
        raise UsageError(needs_message(f"--engine {args.engine}", absent, extra))


def run(args: argparse.Namespace) -> int:
    """Runs the subcommand; usage errors raise UsageError, a failed job JobError."""
    _check_options(args)
    # now is fixed here, once: every file, batch and worker counts to it.
    vocab = vocabulary_of(args)
    job = plan(args.input, args.output)
    start = time.perf_counter()
    # Spark reports no progress while its job runs: no bar, only the summary.
    show = not args.quiet and sys.stderr.isatty() and args.engine != "spark"
    progress = progress_bar(total_rows(job) if show else None, not show)
    try:
        workers = args.workers or DEFAULT_WORKERS
        if args.engine == "spark":
            tally = run_spark(
                job, master=args.master, workers=workers, vocab=vocab, batch_rows=args.batch_size,
                quiet=args.quiet,
            )
        elif args.engine == "dask":
            tally = run_dask(
                job, scheduler=args.scheduler, workers=workers, batch_rows=args.batch_size,
                progress=progress.rows, vocab=vocab, quiet=args.quiet,
            )
        else:
            tally = run_local(job, batch_rows=args.batch_size, progress=progress.rows, vocab=vocab)
        progress.update(tally.items, tally.items, final=True)
    finally:
        progress.close()
    seconds = time.perf_counter() - start
    if not args.quiet:
        sys.stderr.write(format_summary(tally, seconds))
    return 0
