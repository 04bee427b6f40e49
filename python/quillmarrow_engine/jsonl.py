"""Streaming a JSON Lines export of a memory store through "tier-batch".

Each non-blank line of the export holds one TierInput (object or array form).
Lines are taken in chunks; a chunk becomes one "tier-batch" payload built by
joining the raw line texts, so no record is decoded or re-encoded in Python.
The decisions come back in input order and are written one per line, exactly
as the engine wrote them.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

Run = Callable[[str, str], str]

# JSON's four blank bytes: a line made only of them is skipped.
BLANKS = b" \t\r\n"

# A record line that cannot reach outside its own brackets: one object or
# array with no brackets inside except within strings, and strings without
# escapes. Joined into a batch, such a line stays one element whatever else
# it holds, so a successful batch means every line would succeed on its own.
# Any other line (nested values, escapes, not a record at all) is checked on
# its own with "tier" before it joins a batch.
_INNER = rb'(?:[^"\\\[\]{}\n]++|"[^"\\\n]*+")*+'
_LINE = rb"[ \t\r]*+(?:\{" + _INNER + rb"\}|\[" + _INNER + rb"\])[ \t\r]*+"
_SIMPLE_LINE = re.compile(_LINE)
_SIMPLE_CHUNK = re.compile(_LINE + rb"(?:\n," + _LINE + rb")*+")

_BATCH_PREFIX = '{"ok":true,"result":{"decisions":['
_BATCH_SUFFIX = "]}}"
_TIER_PREFIX = '{"ok":true,"result":'
_TIER_SUFFIX = "}"

_ACTION = re.compile(r'"action":"([^"]*)"')
_TIER = re.compile(r'"tier":"([^"]*)"')


class RecordError(Exception):
    """A record of the export that the engine refused, with its line number."""

    def __init__(self, line_number: int, message: str) -> None:
        super().__init__(line_number, message)
        self.line_number = line_number
        self.message = message

    def __str__(self) -> str:
        return f"line {self.line_number}: {self.message}"


@dataclass
class Chunk:
    """Non-blank lines of the export (without their line feed) and their 1-based numbers."""

    numbers: list[int]
    lines: list[bytes]


@dataclass
class Decisions:
    """The decisions of one chunk: one JSON object per line, and the names they hold."""

    text: str
    count: int
    actions: list[str]
    tiers: list[str]


def read_chunks(stream: BinaryIO, batch_size: int) -> Iterator[Chunk]:
    """Yield the non-blank lines of stream, at most batch_size per chunk."""
    numbers: list[int] = []
    lines: list[bytes] = []
    for number, raw in enumerate(stream, 1):
        if raw.strip(BLANKS):
            numbers.append(number)
            lines.append(raw[:-1] if raw.endswith(b"\n") else raw)
            if len(lines) == batch_size:
                yield Chunk(numbers, lines)
                numbers, lines = [], []
    if lines:
        yield Chunk(numbers, lines)


def tier_chunk(run: Run, chunk: Chunk) -> Decisions:
    """Tier every record of chunk; raise RecordError for the first bad one."""
    # The line feed before each comma keeps a string from running on into
    # the next record (a raw line feed cannot sit inside a JSON string), and
    # blanks between elements are allowed, so the payload is still valid.
    joined = b"\n,".join(chunk.lines)
    try:
        text = joined.decode("utf-8")
    except UnicodeDecodeError:
        _raise_first_undecodable(chunk)
        raise
    if not _SIMPLE_CHUNK.fullmatch(joined):
        _check_unusual_lines(run, chunk)
    payload = '{"items":[' + text + "]}"
    try:
        out = run("tier-batch", payload)
    except RuntimeError:
        # The batch reports the first bad element's message but not which
        # element it was: find the line by tiering the records one at a time.
        return _tier_one_by_one(run, chunk)
    body = out[len(_BATCH_PREFIX) : -len(_BATCH_SUFFIX)]
    decisions = _decisions(body.replace("},{", "}\n{"))
    if decisions.count != len(chunk.lines):
        raise AssertionError(
            f"{len(chunk.lines)} records gave {decisions.count} decisions"
        )
    return decisions


def _decisions(text: str) -> Decisions:
    """Decisions from their text, one object per line."""
    actions = _ACTION.findall(text)
    return Decisions(text, len(actions), actions, _TIER.findall(text))


def _tier_one(run: Run, number: int, line: bytes) -> str:
    try:
        out = run("tier", line.decode("utf-8"))
    except RuntimeError as exc:
        raise RecordError(number, str(exc)) from None
    return out[len(_TIER_PREFIX) : -len(_TIER_SUFFIX)]


def _tier_one_by_one(run: Run, chunk: Chunk) -> Decisions:
    # A chunk whose records all pass alone can still fail as a batch when a
    # record nests close to the reader's depth limit: the batch wraps it in
    # two more levels. Its records are then tiered one at a time.
    objects = [_tier_one(run, n, line) for n, line in zip(chunk.numbers, chunk.lines)]
    return _decisions("\n".join(objects))


def _check_unusual_lines(run: Run, chunk: Chunk) -> None:
    """Check alone each line that could reach outside its brackets in a batch."""
    for index, line in enumerate(chunk.lines):
        if not _SIMPLE_LINE.fullmatch(line):
            try:
                _tier_one(run, chunk.numbers[index], line)
            except RecordError:
                # Report the first bad record, which may be an earlier plain line.
                _tier_one_by_one(run, Chunk(chunk.numbers[: index + 1], chunk.lines[: index + 1]))
                raise


def _raise_first_undecodable(chunk: Chunk) -> None:
    for number, line in zip(chunk.numbers, chunk.lines):
        try:
            line.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise RecordError(number, f"not valid UTF-8: {exc.reason} at byte {exc.start + 1}") from None
