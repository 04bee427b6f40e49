"""Argument types and checks that more than one subcommand uses. Each check
raises UsageError, which the tool reports with the subcommand's usage and
exit status 2."""

from __future__ import annotations

import argparse
import errno
import os

from ..errors import UsageError
from ..fields import FIELDS, RESULT_FIELDS
from ..frames.vocabulary import DEFAULT_MAX_SKEW, TIME_UNITS, Vocabulary, vocabulary


def positive_int(text: str) -> int:
    """An argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def field_mapping(text: str) -> tuple[str, str]:
    """An argparse type: FIELD=COLUMN, FIELD a record field or a result column."""
    name, sep, column = text.partition("=")
    if not sep or not name or not column:
        raise argparse.ArgumentTypeError(f"expected FIELD=COLUMN, got {text!r}")
    if name == "retention":
        raise argparse.ArgumentTypeError(
            "retention changes with the clock and is stored only on request: "
            f"name its column with --retention-column {column}"
        )
    if name not in FIELDS + RESULT_FIELDS:
        raise argparse.ArgumentTypeError(
            f"unknown field {name!r} (fields: {', '.join(FIELDS + RESULT_FIELDS)})"
        )
    return name, column


def member_mapping(text: str) -> tuple[str, str]:
    """An argparse type: FIELD=MEMBER, FIELD a record field (JSON Lines
    decisions keep their own keys)."""
    name, sep, member = text.partition("=")
    if not sep or not name or not member:
        raise argparse.ArgumentTypeError(f"expected FIELD=MEMBER, got {text!r}")
    if name in RESULT_FIELDS:
        raise argparse.ArgumentTypeError(
            f"{name} is a key of the decisions, written as it is; --column maps the fields "
            f"of the records ({', '.join(FIELDS)})"
        )
    if name not in FIELDS:
        raise argparse.ArgumentTypeError(f"unknown field {name!r} (fields: {', '.join(FIELDS)})")
    return name, member


def check_readable(path: str) -> None:
    """A usage error unless path ("-" is standard input) can be opened for reading."""
    if path == "-":
        return
    try:
        open(path, "rb").close()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror}") from None


def check_writable(path: str | None) -> None:
    """A usage error unless a file can be created beside path's target
    (None and "-" are standard output)."""
    if path is None or path == "-":
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"cannot write {path}: {os.strerror(errno.ENOENT)}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write {path}: {os.strerror(errno.EACCES)}")


def add_vocabulary_options(sub: argparse.ArgumentParser, *, members: bool = False) -> None:
    """The options every tiering command shares: --column, --recalled-at,
    --now, --time-unit and --max-skew. members: the records are JSON objects,
    whose members hold the fields (no result columns to name)."""
    if members:
        sub.add_argument(
            "--column", action="append", default=[], metavar="FIELD=MEMBER", type=member_mapping,
            help=f"read FIELD from this member of object records (fields: {', '.join(FIELDS)}; "
            "array records keep their positions); repeatable",
        )
        sub.add_argument(
            "--recalled-at", metavar="MEMBER",
            help="count days since recall from this member of recall times (ISO-8601 text, or a "
            "number or numeric text in --time-unit) instead of reading days_since_recall",
        )
    else:
        sub.add_argument(
            "--column", action="append", default=[], metavar="FIELD=COLUMN", type=field_mapping,
            help=f"read FIELD from COLUMN (fields: {', '.join(FIELDS)}; results: "
            f"{', '.join(RESULT_FIELDS)}); repeatable",
        )
        sub.add_argument(
            "--recalled-at", metavar="COLUMN",
            help="count days since recall from this column of recall times (timestamps, dates, "
            "ISO-8601 texts, or numbers in --time-unit) instead of reading days_since_recall",
        )
    sub.add_argument(
        "--now", metavar="TIME",
        help="the time days are counted to: ISO-8601 or Unix seconds (default: when the run starts)",
    )
    sub.add_argument(
        "--time-unit", choices=TIME_UNITS, metavar="UNIT",
        help="the unit of recall times given as numbers: s, ms, us or ns (default s)",
    )
    sub.add_argument(
        "--max-skew", type=float, metavar="SECONDS",
        help=f"how far a recall time may lie after now and count as day 0 (default {DEFAULT_MAX_SKEW:g})",
    )


def vocabulary_of(args: argparse.Namespace) -> Vocabulary:
    """The options of add_vocabulary_options, checked (now fixed once); a
    UsageError names what is wrong."""
    try:
        return vocabulary(
            dict(args.column), args.recalled_at, args.now, args.time_unit, args.max_skew
        )
    except (ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None
