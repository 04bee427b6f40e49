"""Streaming a JSON Lines export of a memory store through "tier-batch".

Each non-blank line of the export holds one TierInput (object or array form).
Lines are taken in chunks; a chunk becomes one "tier-batch" payload built by
joining the raw line texts, so no record is decoded or re-encoded in Python.
The decisions come back in input order and are written one per line, exactly
as the engine wrote them. Every step over a whole chunk is one call into C
(split, join, count, the engine), never a Python loop per line, except on
the rare lines that need a closer look.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from itertools import islice
from typing import BinaryIO

Run = Callable[[str, str], str]

# JSON's blank bytes other than the line feed that ends a line.
_BLANKS = b" \t\r"
_BLANK_LINE = re.compile(rb"(?m)^[ \t\r]*$")
_NOT_BRACKETS = bytes(b for b in range(256) if b not in b"[]{}")

# Records are joined with a line feed before each comma. A raw line feed
# cannot sit inside a JSON string, so no string runs on into the next record,
# and blanks between elements are allowed, so the payload stays valid.
_SEPARATOR = b"\n,"

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

    numbers: Sequence[int]
    lines: list[bytes]


@dataclass
class Decisions:
    """The decisions of one chunk: one JSON object per line, and the names they hold."""

    text: str
    count: int
    actions: list[str]
    tiers: list[str]


def read_chunks(stream: BinaryIO, batch_size: int) -> Iterator[Chunk]:
    """Yield the non-blank lines of stream, at most batch_size lines per chunk."""
    first = 1
    while True:
        raw = list(islice(stream, batch_size))
        if not raw:
            return
        data = b"".join(raw)
        if data.endswith(b"\n"):
            data = data[:-1]
        lines = data.split(b"\n")
        numbers: Sequence[int] = range(first, first + len(lines))
        first += len(lines)
        if _BLANK_LINE.search(data):
            kept = [i for i, line in enumerate(lines) if line.strip(_BLANKS)]
            numbers = [numbers[i] for i in kept]
            lines = [lines[i] for i in kept]
        if lines:
            yield Chunk(numbers, lines)


def tier_chunk(run: Run, chunk: Chunk) -> Decisions:
    """Tier every record of chunk; raise RecordError for the first bad one."""
    joined = _SEPARATOR.join(chunk.lines)
    try:
        text = joined.decode("utf-8")
    except UnicodeDecodeError:
        _raise_first_undecodable(chunk)
        raise
    if not self_contained(joined, len(chunk.lines)):
        _check_lines_alone(run, chunk)
    try:
        out = run("tier-batch", '{"items":[' + text + "]}")
    except RuntimeError:
        # The batch reports the first bad element's message but not which
        # element it was: find the line by tiering the records one at a time.
        return _tier_one_by_one(run, chunk)
    body = out[len(_BATCH_PREFIX) : -len(_BATCH_SUFFIX)]
    decisions = _decisions(body.replace("},{", "}\n{"))
    if decisions.count != len(chunk.lines):
        raise AssertionError(f"{len(chunk.lines)} records gave {decisions.count} decisions")
    return decisions


def self_contained(joined: bytes, count: int) -> bool:
    """Whether each of the count records in joined (separated by line feed
    and comma) begins with an opening bracket or brace, ends with a closing
    one, and holds no other bracket or brace, not even within a string.

    Joined into a batch, such a record can only be read as one element: the
    reader opens its container at the first byte and, as no string can run
    past a line feed, meets the only possible closer at the last byte. So a
    successful batch means every record would succeed alone, with the same
    decision. A record that fails this test (nested values, brackets within
    strings, something that is not a record at all) is tiered alone first:
    as part of a batch it might close the batch's array and open another.
    """
    squeezed = joined.translate(None, _BLANKS)
    if len(squeezed.translate(None, _NOT_BRACKETS)) != 2 * count:
        return False
    starts = squeezed.count(b"\n,[") + squeezed.count(b"\n,{") + (squeezed[:1] in (b"[", b"{"))
    ends = squeezed.count(b"]\n,") + squeezed.count(b"}\n,") + (squeezed[-1:] in (b"]", b"}"))
    # count openers at the starts and count closers at the ends are all the
    # 2 * count brackets there are.
    return starts == count and ends == count


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


def _check_lines_alone(run: Run, chunk: Chunk) -> None:
    """Tier alone each record that is not self-contained; raise for the first bad record."""
    for index, line in enumerate(chunk.lines):
        if not self_contained(line, 1):
            try:
                _tier_one(run, chunk.numbers[index], line)
            except RecordError:
                # An earlier, self-contained record may be bad too: report the first.
                _tier_one_by_one(run, Chunk(chunk.numbers[: index + 1], chunk.lines[: index + 1]))
                raise


def _raise_first_undecodable(chunk: Chunk) -> None:
    for number, line in zip(chunk.numbers, chunk.lines):
        try:
            line.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise RecordError(number, f"not valid UTF-8: {exc.reason} at byte {exc.start + 1}") from None
