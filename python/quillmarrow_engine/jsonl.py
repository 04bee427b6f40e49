"""Tiering a JSON Lines export of a memory store, one decision per record.

    from quillmarrow_engine import tier_jsonl
    tally = tier_jsonl("export.jsonl.gz", "decisions.jsonl", errors="bad.jsonl")

Each non-blank line of the export holds one TierInput (object or array form).
The lines are decoded and tiered in native code (quillmarrow_engine._bulk),
each line on its own, exactly as the engine's "tier" command decodes a
payload, with the interpreter lock released. Python only moves bytes: the
input is read in blocks of whole lines and the decisions come back as JSON
Lines text, written as they are. Two blocks are tiered at a time, on two
threads, while the next is read and the one before written, so memory stays
bounded whatever the input's size: a few blocks of input and their decisions.

Each decision is {"action":...,"id":...,"retention":...,"tier":...}: the
record's id member (by default "id") copied compactly by the engine's writer,
between the other keys in byte order. A record without the member, in array
form, or with ids turned off gets no "id".
"""

from __future__ import annotations

import os
import stat
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from typing import IO, Any, BinaryIO, Union

from ._bulk import tier_jsonl_chunk
from ._files import atomic_file
from .errors import RecordError
from .fields import ACTIONS, TIERS
from .tally import Tally

__all__ = [
    "DEFAULT_BATCH_SIZE",
    "RecordError",
    "Source",
    "Destination",
    "tier_jsonl",
]

DEFAULT_BATCH_SIZE = 10_000
# Bytes read at a time: large enough that each call into the engine has work
# for a few milliseconds, small enough to keep memory flat. A line longer than
# this grows the buffer to hold it.
READ_SIZE = 1 << 22
# Blocks tiered at the same time, each on a thread of its own.
WORKERS = max(1, min(2, os.cpu_count() or 1))

Source = Union[str, "os.PathLike[str]", BinaryIO]
Destination = Union[str, "os.PathLike[str]", BinaryIO, None]
Progress = Callable[[int, "int | None"], None]


def tier_jsonl(
    source: Source,
    destination: Destination,
    *,
    id_field: str | None = "id",
    errors: Destination = None,
    batch_size: int = DEFAULT_BATCH_SIZE,
    progress: Progress | None = None,
) -> Tally:
    """Tier every record of a JSON Lines export and write one decision per line.

    source is a path ("-" for standard input; a name ending in ".gz" is read
    through gzip) or a binary file object. destination is a path ("-" or None
    for standard output) or a binary file object; a path is written beside
    its target under a temporary name and renamed only when the run succeeds,
    so a failed run leaves no file behind and an existing one as it was.

    id_field names the member copied into each decision as "id"; None leaves
    ids out. With errors None, the first bad line raises RecordError (line
    number and the message "tier" gives for that line alone). Otherwise bad
    lines are set aside: each is written to errors (a path or binary file
    object) as {"id":...,"line":N,"message":"..."} ("id" only when the record
    has one) and the run goes on. batch_size is the most lines handed to the
    engine in one call. progress, if given, is called now and then with the
    items tiered so far and the bytes of the source read so far.

    Returns the counts: items, bad_lines, and items per tier and per action.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a whole number of at least 1, got {batch_size!r}")
    if id_field is not None and not isinstance(id_field, str):
        raise TypeError(f"id_field must be a str or None, not {type(id_field).__name__}")
    tally = Tally()
    with _opened_source(source) as (stream, position):
        with _atomic_output(destination) as out:
            if errors is None:
                _run(stream, position, out, None, id_field, batch_size, tally, progress)
            else:
                with _atomic_output(errors) as bad:
                    _run(stream, position, out, bad, id_field, batch_size, tally, progress)
    return tally


def _run(
    stream: BinaryIO,
    position: Callable[[], "int | None"],
    out: BinaryIO,
    bad: BinaryIO | None,
    id_field: str | None,
    batch_size: int,
    tally: Tally,
    progress: Progress | None,
) -> None:
    """Blocks of whole lines go to threads, at most WORKERS at a time (the
    engine releases the interpreter lock), and their results are written in
    input order while the next blocks are read and tiered."""
    chunk = tier_jsonl_chunk
    set_aside = bad is not None

    def tier(data: bytearray, start: int, end: int, first_line: int) -> tuple:
        # A block holds whole lines only, so its end is where lines end.
        return chunk(data, start, end, True, first_line, batch_size, id_field, set_aside)

    blocks = _Blocks(stream)
    pending: deque[_Block] = deque()
    line = 1
    try:
        for data, length in blocks:
            pending.append(_Block(tier, data, length))
            if len(pending) > WORKERS:
                line = _write(pending.popleft(), line, tier, out, bad, tally, blocks)
                if progress is not None:
                    progress(tally.items, position())
        while pending:
            line = _write(pending.popleft(), line, tier, out, bad, tally, blocks)
            if progress is not None:
                progress(tally.items, position())
    finally:
        for block in pending:
            block.join()


class _Result:
    """What the engine made of one block."""

    def __init__(self) -> None:
        self.lines = 0
        self.bad_lines = 0
        self.decisions: list[bytes] = []
        self.set_aside: list[bytes] = []
        self.per_action: list[int] = []
        self.per_tier: list[int] = []
        self.stop: tuple[int, str] | None = None


def _tier_block(tier, data: bytearray, length: int, first_line: int) -> _Result:
    """Tiers the lines of data[:length], at most batch_size lines per call."""
    result = _Result()
    start = 0
    while start < length:
        consumed, lines, _, bad_lines, decisions, set_aside, per_action, per_tier, stop = tier(
            data, start, length, first_line + result.lines
        )
        start += consumed
        result.lines += lines
        result.decisions.append(decisions)
        result.set_aside.append(set_aside)
        result.bad_lines += bad_lines
        if result.per_action:
            result.per_action = [a + b for a, b in zip(result.per_action, per_action)]
            result.per_tier = [a + b for a, b in zip(result.per_tier, per_tier)]
        else:
            result.per_action = list(per_action)
            result.per_tier = list(per_tier)
        if stop is not None:
            result.stop = stop
            break
        if consumed == 0:
            raise AssertionError("the engine took no line of a block")
    return result


class _Block(threading.Thread):
    """One block tiered on a thread of its own, its lines numbered from 1."""

    def __init__(self, tier, data: bytearray, length: int) -> None:
        super().__init__(daemon=True)
        self.data = data
        self.length = length
        self._tier = tier
        self.result: _Result | None = None
        self.failure: BaseException | None = None
        self.start()

    def run(self) -> None:
        try:
            self.result = _tier_block(self._tier, self.data, self.length, 1)
        except BaseException as exc:  # handed to the thread that writes
            self.failure = exc


def _write(block: _Block, first_line: int, tier, out: BinaryIO, bad: BinaryIO | None,
           tally: Tally, blocks: "_Blocks") -> int:
    """Writes a block's decisions and set-aside lines, then gives its buffer
    back for reuse; returns the number of the line after the block."""
    block.join()
    if block.failure is not None:
        raise block.failure
    result = block.result
    assert result is not None
    if result.stop is not None:
        raise RecordError(first_line + result.stop[0] - 1, result.stop[1])
    if result.bad_lines and first_line != 1:
        # The set-aside lines carry their numbers: tier the block again, now
        # that the number of its first line is known. Only blocks with bad
        # lines pay for this.
        result = _tier_block(tier, block.data, block.length, first_line)
    blocks.recycle(block.data)
    for part in result.decisions:
        out.write(part)
    if bad is not None:
        for part in result.set_aside:
            bad.write(part)
    tally.add_codes(result.per_action, ACTIONS, result.per_tier, TIERS, result.bad_lines)
    return first_line + result.lines


class _Blocks:
    """The stream in blocks of about READ_SIZE bytes, each ending at the end of
    a line (the last one at the end of the stream): (buffer, length) pairs.
    A line longer than that makes its block as long as the line. Buffers
    given back with recycle are filled again, so that reading allocates (and
    the system zeroes) no new memory for every block."""

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream
        self._readinto = getattr(stream, "readinto", None)
        self._free: list[bytearray] = []
        # A small file needs no buffer of the full size (the system would
        # still have to zero all of it).
        self._size = READ_SIZE
        with suppress(OSError, ValueError, AttributeError):
            info = os.fstat(stream.fileno())
            if stat.S_ISREG(info.st_mode):
                self._size = max(1 << 16, min(READ_SIZE, info.st_size + 1))

    def recycle(self, buffer: bytearray) -> None:
        self._free.append(buffer)

    def __iter__(self) -> Iterator[tuple[bytearray, int]]:
        carry = b""
        while True:
            data = self._free.pop() if self._free else bytearray(self._size)
            if len(data) < len(carry) + self._size // 2:
                data.extend(bytes(len(carry) + self._size - len(data)))
            data[: len(carry)] = carry
            filled = len(carry)
            end = -1
            while end < 0:
                if filled == len(data):
                    data.extend(bytes(len(data)))  # a line longer than the buffer
                with memoryview(data) as view:
                    count = _read_into(self._stream, self._readinto, view[filled:])
                if count == 0:
                    if filled:
                        yield data, filled
                    return
                end = data.rfind(b"\n", filled, filled + count)
                filled += count
            carry = bytes(data[end + 1 : filled])
            yield data, end + 1


def _read_into(stream: BinaryIO, readinto, view: memoryview) -> int:
    if readinto is not None:
        return readinto(view) or 0
    data = stream.read(len(view))
    view[: len(data)] = data
    return len(data)


@contextmanager
def _opened_source(source: Source) -> Iterator[tuple[Any, Callable[[], "int | None"]]]:
    """The source as a binary stream, and how far its underlying file has been read."""
    if not isinstance(source, (str, os.PathLike)):
        yield source, _position_of(source)
        return
    path = os.fspath(source)
    if path == "-":
        yield sys.stdin.buffer, _position_of(sys.stdin.buffer)
        return
    raw = open(path, "rb")
    try:
        if path.endswith(".gz"):
            import gzip

            with gzip.GzipFile(fileobj=raw, mode="rb") as unzipped:
                yield _Gunzipped(path, unzipped), _position_of(raw)
        else:
            yield raw, _position_of(raw)
    finally:
        raw.close()


class _Gunzipped:
    """A gzip stream whose damaged or cut-off data is reported as an OSError
    naming the file, like any other failure to read the input."""

    def __init__(self, path: str, stream: Any) -> None:  # a gzip.GzipFile
        self._path = path
        self._stream = stream

    def readinto(self, view: memoryview) -> int:
        import gzip
        import zlib

        try:
            return self._stream.readinto(view)
        except (EOFError, zlib.error, gzip.BadGzipFile) as exc:
            raise OSError(f"cannot read {self._path}: damaged gzip data: {exc}") from None


def _position_of(stream: IO[bytes]) -> Callable[[], "int | None"]:
    def position() -> int | None:
        try:
            return stream.tell()
        except (OSError, ValueError, AttributeError):
            return None

    return position


def source_size(source: Source) -> int | None:
    """The size in bytes of a source that is a regular file, else None."""
    try:
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            info = os.fstat(sys.stdin.fileno()) if path == "-" else os.stat(path)
        else:
            info = os.fstat(source.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


@contextmanager
def _atomic_output(destination: Destination) -> Iterator[BinaryIO]:
    """A binary stream to write to; for a path, replaced only on success."""
    if destination is None or (isinstance(destination, str) and destination == "-"):
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    if not isinstance(destination, (str, os.PathLike)):
        yield destination
        return
    with atomic_file(os.fspath(destination)) as out:
        yield out
