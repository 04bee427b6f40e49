"""The quillmarrow-engine command: the engine's run() from a shell.

    quillmarrow-engine score|tier|tier-batch [FILE|-]
    quillmarrow-engine tier-jsonl INPUT [-o OUTPUT] [--batch-size N] [-q]
    quillmarrow-engine retier DATABASE --table NAME [options]

Exit status: 0 on success, 1 when the engine refuses a payload or a record
(its message goes to standard error), 2 for a usage error, including a file
that cannot be opened.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, suppress
from typing import BinaryIO, TextIO

from quillmarrow_engine_native import run

from .jsonl import RecordError, read_chunks, tier_chunk
from .retier_cli import add_parser as add_retier_parser
from .retiering import RetierError
from .summary import Progress, Tally, format_summary

PROG = "quillmarrow-engine"
DEFAULT_BATCH_SIZE = 10_000


class Failure(Exception):
    """A failure reported as one line on standard error, with exit status 1."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "tier-jsonl":
            _tier_jsonl(parser, args.input, args.output, args.batch_size, args.quiet)
        elif args.command == "retier":
            from .retier_cli import run_retier

            run_retier(args)
        else:
            _one_call(parser, args.command, args.file)
    except (Failure, RetierError) as exc:
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
        epilog="Exit status: 0 success, 1 engine error or bad record, 2 usage error.",
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
            "Stream a JSON Lines export (one TierInput per line, object or array "
            "form; blank lines skipped) through 'tier-batch' and write one decision "
            "per line, in input order. A summary goes to standard error."
        ),
    )
    jsonl.add_argument("input", metavar="INPUT", help="the export; - for standard input")
    jsonl.add_argument(
        "-o", "--output", metavar="OUTPUT",
        help="write the decisions here (replaced only when every record succeeded); "
        "default: standard output",
    )
    jsonl.add_argument(
        "--batch-size", type=_batch_size, default=DEFAULT_BATCH_SIZE, metavar="N",
        help=f"records per engine call (default {DEFAULT_BATCH_SIZE:,})",
    )
    jsonl.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no summary",
    )
    add_retier_parser(commands, _batch_size)
    return parser


def _batch_size(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


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


def _tier_jsonl(
    parser: argparse.ArgumentParser,
    input_path: str,
    output_path: str | None,
    batch_size: int,
    quiet: bool,
) -> None:
    source = _open_input(parser, input_path)
    try:
        total = _regular_file_size(source)
        progress = Progress(sys.stderr, total, enabled=not quiet and sys.stderr.isatty())
        tally = Tally()
        start = time.perf_counter()
        try:
            with _output(parser, output_path) as out:
                for chunk in read_chunks(source, batch_size):
                    decisions = tier_chunk(run, chunk)
                    out.write(decisions.text)
                    out.write("\n")
                    tally.add(decisions)
                    progress.update(tally.items, _position(source))
                progress.update(tally.items, _position(source), final=True)
        except RecordError as exc:
            raise Failure(str(exc)) from None
        finally:
            progress.close()
        seconds = time.perf_counter() - start
    finally:
        if source is not sys.stdin.buffer:
            source.close()
    if not quiet:
        sys.stderr.write(format_summary(tally, seconds))


def _open_input(parser: argparse.ArgumentParser, path: str) -> BinaryIO:
    if path == "-":
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as exc:
        parser.error(f"cannot read {path}: {exc.strerror}")


def _regular_file_size(stream: BinaryIO) -> int | None:
    try:
        info = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _position(stream: BinaryIO) -> int | None:
    try:
        return stream.tell()
    except OSError:
        return None


@contextmanager
def _output(parser: argparse.ArgumentParser, path: str | None) -> Iterator[TextIO]:
    if path is None or path == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    # Write beside the target and rename on success, so that a failed run
    # leaves neither a half-written output nor the temporary file.
    target = os.path.abspath(path)
    try:
        fd, temporary = tempfile.mkstemp(
            dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".tmp"
        )
    except OSError as exc:
        parser.error(f"cannot write {path}: {exc.strerror}")
    try:
        with open(fd, "w", encoding="utf-8", newline="\n") as out:
            yield out
        os.chmod(temporary, _new_file_mode(target))
        os.replace(temporary, target)
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def _new_file_mode(path: str) -> int:
    """The mode of the file being replaced, or what a new file would get."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


if __name__ == "__main__":
    sys.exit(main())
