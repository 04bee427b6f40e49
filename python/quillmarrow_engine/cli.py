"""The quillmarrow-engine command: the engine's run() from a shell.

    quillmarrow-engine score|tier|tier-batch [FILE|-]
    quillmarrow-engine tier-jsonl INPUT [-o OUTPUT] [--id-field NAME | --no-id]
                                  [--errors FILE] [--batch-size N] [-q]
    quillmarrow-engine retier DATABASE --table NAME [options]
    quillmarrow-engine tier-parquet INPUT -o OUTPUT [--engine local|dask|spark] [...]

Exit status: 0 on success, 1 when the engine refuses a payload or a record
(its message goes to standard error), 2 for a usage error, including a file
that cannot be opened, 3 when tier-jsonl set bad lines aside (--errors).
"""

from __future__ import annotations

import argparse
import errno
import os
import sys
import time
from collections.abc import Sequence

from quillmarrow_engine_native import run

from . import parquet
from .jsonl import DEFAULT_BATCH_SIZE, RecordError, source_size, tier_jsonl
from .retier_cli import add_parser as add_retier_parser
from .retiering import RetierError
from .summary import Progress, format_summary

PROG = "quillmarrow-engine"
# Exit status of a tier-jsonl run that set bad lines aside.
EXIT_SET_ASIDE = 3


class Failure(Exception):
    """A failure reported as one line on standard error, with exit status 1."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "tier-jsonl":
            return _tier_jsonl(parser, args)
        elif args.command == "retier":
            from .retier_cli import run_retier

            run_retier(args)
        elif args.command == "tier-parquet":
            parquet.command(parser, args)
        else:
            _one_call(parser, args.command, args.file)
    except (Failure, RetierError, parquet.JobError) as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`): stop
        # quietly, and keep Python from failing again when it flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Score memory items and assign storage tiers with the quillmarrow engine.",
        epilog="Exit status: 0 success, 1 engine error or bad record, 2 usage error, "
        "3 bad lines set aside (tier-jsonl --errors).",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    one_call = {
        "score": "retention, stability and boost of one RetentionInput",
        "tier": "tier decision for one TierInput",
        "tier-batch": 'tier decisions for {"items": [TierInput, ...]}',
    }
    for name, summary in one_call.items():
        sub = commands.add_parser(
            name,
            help=summary,
            description=f"Print the engine's answer to {name!r}: {summary}.",
        )
        sub.add_argument(
            "file", nargs="?", default="-", metavar="FILE",
            help="the JSON payload; - or nothing for standard input",
        )
    jsonl = commands.add_parser(
        "tier-jsonl",
        help="tier a JSON Lines export, one TierInput per line",
        description=(
            "Tier a JSON Lines export (one TierInput per line, object or array "
            "form; blank lines skipped), each line decoded alone as 'tier' decodes "
            "it, and write one decision per line, in input order, with the record's "
            "id. A summary goes to standard error."
        ),
    )
    jsonl.add_argument(
        "input", metavar="INPUT",
        help="the export; - for standard input; a name ending in .gz is read through gzip",
    )
    jsonl.add_argument(
        "-o", "--output", metavar="OUTPUT",
        help="write the decisions here (replaced only when every record succeeded); "
        "default: standard output",
    )
    ids = jsonl.add_mutually_exclusive_group()
    ids.add_argument(
        "--id-field", default="id", metavar="NAME",
        help="copy this member of each object record into its decision as \"id\" (default: id)",
    )
    ids.add_argument("--no-id", action="store_true", help="write decisions without ids")
    jsonl.add_argument(
        "--errors", metavar="FILE",
        help="set bad lines aside: write each one's line number, id and message to FILE "
        "(JSON Lines) and go on; exit status 3 if there were any",
    )
    jsonl.add_argument(
        "--batch-size", type=parquet.positive_int, default=DEFAULT_BATCH_SIZE, metavar="N",
        help=f"lines per engine call (default {DEFAULT_BATCH_SIZE:,})",
    )
    jsonl.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no summary",
    )
    add_retier_parser(commands, parquet.positive_int)
    parquet.add_parser(commands)
    return parser


def _one_call(parser: argparse.ArgumentParser, command: str, path: str) -> None:
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as exc:
            parser.error(f"cannot read {path}: {exc.strerror}")
    try:
        payload = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise Failure(f"payload is not valid UTF-8: {exc.reason} at byte {exc.start + 1}") from None
    try:
        out = run(command, payload)
    except RuntimeError as exc:
        raise Failure(str(exc)) from None
    sys.stdout.write(out + "\n")
    sys.stdout.flush()


def _tier_jsonl(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.input != "-":
        try:
            open(args.input, "rb").close()
        except OSError as exc:
            parser.error(f"cannot read {args.input}: {exc.strerror}")
    for path in (args.output, args.errors):
        if path is not None and path != "-":
            _check_writable(parser, path)
    if args.errors == "-" and args.output in (None, "-"):
        parser.error("--errors - needs -o OUTPUT: standard output already holds the decisions")
    total = source_size(args.input)
    progress = Progress(sys.stderr, total, enabled=not args.quiet and sys.stderr.isatty())
    start = time.perf_counter()
    try:
        tally = tier_jsonl(
            args.input,
            args.output,
            id_field=None if args.no_id else args.id_field,
            errors=args.errors,
            batch_size=args.batch_size,
            progress=progress.update,
        )
        progress.update(tally.items, total, final=True)
    except RecordError as exc:
        raise Failure(str(exc)) from None
    finally:
        progress.close()
    seconds = time.perf_counter() - start
    if not args.quiet:
        sys.stderr.write(format_summary(tally, seconds))
    return EXIT_SET_ASIDE if tally.bad_lines else 0


def _check_writable(parser: argparse.ArgumentParser, path: str) -> None:
    """A usage error unless a file can be created beside path's target."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        parser.error(f"cannot write {path}: {os.strerror(errno.ENOENT)}")
    if not os.access(folder, os.W_OK | os.X_OK):
        parser.error(f"cannot write {path}: {os.strerror(errno.EACCES)}")


if __name__ == "__main__":
    sys.exit(main())
