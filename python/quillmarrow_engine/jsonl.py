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

Object records may name their fields as the export does (columns=) and give
a recall time instead of a day count (recalled_at=, now=, time_unit=,
max_skew=): the engine reads them per line, with its one ISO-8601 grammar and
its one rule for days since recall. Array records keep their fields by
position.

The input may start with a UTF-8 byte-order mark, which is skipped, and may
be gzip, recognised by its first bytes whatever its name. A line longer than
max_line_bytes is a bad line: only that many bytes of it are ever held.
"""

from __future__ import annotations

import os
import stat
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterator, Mapping
from contextlib import ExitStack, contextmanager, suppress
from datetime import datetime
from typing import IO, Any, BinaryIO, Union

from ._bulk import tier_jsonl_chunk
from ._files import atomic_file
from .errors import RecordError
from .fields import ACTIONS, FIELDS, RESULT_FIELDS, TIERS
from .frames.vocabulary import vocabulary
from .tally import Tally

__all__ = [
    "DEFAULT_BATCH_SIZE",
    "DEFAULT_MAX_LINE_BYTES",
    "RecordError",
    "Source",
    "Destination",
    "same_file",
    "tier_jsonl",
]

DEFAULT_BATCH_SIZE = 10_000
# The longest line read; a longer one is a bad line.
DEFAULT_MAX_LINE_BYTES = 64 * 1024 * 1024
# What a gzip stream starts with, and a UTF-8 byte-order mark.
GZIP_MAGIC = b"\x1f\x8b"
BYTE_ORDER_MARK = b"\xef\xbb\xbf"
# Bytes read at a time while the rest of a line too long is skipped.
SKIP_SIZE = 1 << 20
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
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
    max_line_bytes: int = DEFAULT_MAX_LINE_BYTES,
) -> Tally:
    """Tier every record of a JSON Lines export and write one decision per line.

    source is a path ("-" for standard input) or a binary file object; gzip
    is recognised by its first bytes (a name ending in ".gz" is read through
    gzip in any case), and a UTF-8 byte-order mark at the very start is
    skipped. destination is a path ("-" or None for standard output) or a
    binary file object; a path is written beside its target under a
    temporary name and renamed only when the run succeeds, so a failed run
    leaves no file behind and an existing one as it was.

    id_field names the member copied into each decision as "id"; None leaves
    ids out. With errors None, the first bad line raises RecordError (line
    number and the message "tier" gives for that line alone). Otherwise bad
    lines are set aside: each is written to errors (a path or binary file
    object, not the destination's file) as {"id":...,"line":N,"message":"..."}
    ("id" only when the record has one) and the run goes on. batch_size is
    the most lines handed to the engine in one call. progress, if given, is
    called now and then with the items tiered so far and the bytes of the
    source read so far. A line longer than max_line_bytes is a bad line.

    columns maps fields to the members of object records that hold them
    ({"importance": "weight"}); a field's own name is then just another
    member. recalled_at names a member of recall times, read instead of
    days_since_recall: ISO-8601 text (no offset: UTC), or a number (JSON
    number or numeric text) of time_unit ("s", "ms", "us", "ns"; default
    "s"); days are counted to now (ISO-8601 text, Unix seconds or a
    datetime; default: when the call starts), and a time more than max_skew
    seconds (default 300) after now makes the line bad. Array records keep
    their fields by position.

    Returns the counts: items, bad_lines, and items per tier and per action.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a whole number of at least 1, got {batch_size!r}")
    if isinstance(max_line_bytes, bool) or not isinstance(max_line_bytes, int) or max_line_bytes < 1:
        raise ValueError(
            f"max_line_bytes must be a whole number of at least 1, got {max_line_bytes!r}"
        )
    if id_field is not None and not isinstance(id_field, str):
        raise TypeError(f"id_field must be a str or None, not {type(id_field).__name__}")
    _check_apart(destination, errors)
    members, recall = record_names(columns, recalled_at, now, time_unit, max_skew)
    options = _Options(id_field, batch_size, max_line_bytes, members, recall)
    tally = Tally()
    with _opened_source(source) as (stream, position):
        with _atomic_output(destination) as out:
            if errors is None:
                _run(stream, position, out, None, options, tally, progress)
            else:
                with _atomic_output(errors) as bad:
                    _run(stream, position, out, bad, options, tally, progress)
    return tally


def record_names(
    columns: Mapping[str, str] | None,
    recalled_at: str | None,
    now: str | float | datetime | None,
    time_unit: str | None,
    max_skew: float | None,
) -> tuple[tuple[str, ...] | None, tuple[str, float, str, float] | None]:
    """The members and recall times as the engine takes them: one member
    name per field (None: the fields' own names) and (member, now, unit,
    max_skew) (None: no recall times). ValueError or TypeError names the
    option that is wrong."""
    if isinstance(columns, Mapping):
        for name in columns:
            if name in RESULT_FIELDS:
                raise ValueError(
                    f"columns maps the fields of the records, not the keys of the decisions "
                    f"({', '.join(sorted(RESULT_FIELDS))}, always so named): {name!r}"
                )
            if name not in FIELDS:
                raise ValueError(f"unknown field {name!r} in columns (fields: {', '.join(FIELDS)})")
    vocab = vocabulary(columns, recalled_at, now, time_unit, max_skew, results=())
    # Each member holds one field: two fields read from one member, or the
    # recall times from a field's member, would be a mistake in the mapping.
    holder: dict[str, str] = {}
    for name in FIELDS:
        if name == "days_since_recall" and vocab.recalled_at is not None:
            continue
        member = vocab.column(name)
        if member in holder:
            raise ValueError(
                f"fields {holder[member]} and {name} both read member {member!r}: "
                f"map one of them to another member with columns="
            )
        holder[member] = name
    if vocab.recalled_at is not None and vocab.recalled_at in holder:
        raise ValueError(
            f"member {vocab.recalled_at!r} holds field {holder[vocab.recalled_at]}; the recall "
            "times (recalled_at=) need a member of their own"
        )
    members = tuple(vocab.column(name) for name in FIELDS) if vocab.columns else None
    recall = None
    if vocab.recalled_at is not None:
        recall = (vocab.recalled_at, vocab.now, vocab.time_unit, vocab.max_skew)
    return members, recall


def same_file(first: str | os.PathLike[str], second: str | os.PathLike[str]) -> bool:
    """Whether two paths name one file: the same path once resolved, or the
    same existing file (a hard link, a symbolic link)."""
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def _check_apart(destination: Destination, errors: Destination) -> None:
    """ValueError when the decisions and the set-aside lines would go to one
    file, where each would replace or mix with the other."""
    if errors is None:
        return
    to_stdout = destination is None or destination == "-"
    if to_stdout and errors == "-":
        raise ValueError("errors='-' needs a destination file: standard output holds the decisions")
    if isinstance(destination, (str, os.PathLike)) and isinstance(errors, (str, os.PathLike)):
        if not to_stdout and errors != "-" and same_file(destination, errors):
            raise ValueError(
                f"errors and destination name the same file ({os.fspath(errors)}): the bad lines "
                "need a file of their own"
            )
    elif destination is errors:
        raise ValueError("errors and destination are the same file object: the bad lines need one of their own")


class _Options:
    """What every call into the engine passes, fixed for the run."""

    def __init__(
        self,
        id_field: str | None,
        batch_size: int,
        max_line_bytes: int,
        members: tuple[str, ...] | None,
        recall: tuple[str, float, str, float] | None,
    ) -> None:
        self.id_field = id_field
        self.batch_size = batch_size
        self.max_line_bytes = max_line_bytes
        self.members = members
        self.recall = recall


def _run(
    stream: BinaryIO,
    position: Callable[[], "int | None"],
    out: BinaryIO,
    bad: BinaryIO | None,
    options: _Options,
    tally: Tally,
    progress: Progress | None,
) -> None:
    """Blocks of whole lines go to threads, at most WORKERS at a time (the
    engine releases the interpreter lock), and their results are written in
    input order while the next blocks are read and tiered."""
    chunk = tier_jsonl_chunk
    set_aside = bad is not None
    id_field, batch_size = options.id_field, options.batch_size
    max_line_bytes, members, recall = options.max_line_bytes, options.members, options.recall

    def tier(data: bytearray, start: int, end: int, first_line: int) -> tuple:
        # A block holds whole lines only, so its end is where lines end.
        return chunk(data, start, end, True, first_line, batch_size, id_field, set_aside,
                     max_line_bytes, members, recall)

    blocks = _Blocks(stream, max_line_bytes)
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
    A line longer than that makes its block as long as the line, up to
    max_line_bytes + 1 bytes: of a line longer still, only that much is kept
    (enough for the engine to find it too long) and the rest is read past
    without being held. Buffers given back with recycle are filled again, so
    that reading allocates (and the system zeroes) no new memory for every
    block; one grown for a long line is let go."""

    def __init__(self, stream: BinaryIO, max_line_bytes: int = DEFAULT_MAX_LINE_BYTES) -> None:
        self._stream = stream
        self._readinto = getattr(stream, "readinto", None)
        self._limit = max_line_bytes
        self._free: list[bytearray] = []
        # A small file needs no buffer of the full size (the system would
        # still have to zero all of it).
        self._size = READ_SIZE
        with suppress(OSError, ValueError, AttributeError):
            info = os.fstat(stream.fileno())
            if stat.S_ISREG(info.st_mode):
                self._size = max(1 << 16, min(READ_SIZE, info.st_size + 1))

    def recycle(self, buffer: bytearray) -> None:
        if len(buffer) <= 2 * self._size:
            self._free.append(buffer)

    def __iter__(self) -> Iterator[tuple[bytearray, int]]:
        carry = b""
        limit = self._limit
        while True:
            data = self._free.pop() if self._free else bytearray(self._size)
            if len(data) < len(carry) + self._size // 2:
                data.extend(bytes(len(carry) + self._size - len(data)))
            data[: len(carry)] = carry
            filled = len(carry)
            while True:
                # data[:filled] is the start of one line, without its line feed.
                if filled > limit:
                    rest = self._skip_rest_of_line()
                    filled = limit + 1
                    if rest is None:
                        yield data, filled
                        return
                    # The line cut short, its line feed, and what followed it
                    # in the last read (whole lines, then the start of one).
                    data[filled:] = b"\n" + rest
                    end = data.rfind(b"\n")
                    carry = bytes(data[end + 1 :])
                    yield data, end + 1
                    break
                if filled == len(data):
                    # A line longer than the buffer: room for more of it, up
                    # to what tells that it is too long.
                    data.extend(bytes(min(len(data), limit + 2 - len(data))))
                with memoryview(data) as view:
                    count = _read_into(self._stream, self._readinto, view[filled:])
                if count == 0:
                    if filled:
                        yield data, filled
                    return
                end = data.rfind(b"\n", filled, filled + count)
                filled += count
                if end >= 0:
                    carry = bytes(data[end + 1 : filled])
                    yield data, end + 1
                    break

    def _skip_rest_of_line(self) -> bytes | None:
        """Reads past the rest of a line too long, holding SKIP_SIZE bytes at
        most; the bytes after its line feed, or None when the stream ends
        first."""
        scratch = bytearray(SKIP_SIZE)
        with memoryview(scratch) as view:
            while True:
                count = _read_into(self._stream, self._readinto, view)
                if count == 0:
                    return None
                feed = scratch.find(b"\n", 0, count)
                if feed >= 0:
                    return bytes(scratch[feed + 1 : count])


def _read_into(stream: BinaryIO, readinto, view: memoryview) -> int:
    if readinto is not None:
        return readinto(view) or 0
    data = stream.read(len(view))
    view[: len(data)] = data
    return len(data)


@contextmanager
def _opened_source(source: Source) -> Iterator[tuple[Any, Callable[[], "int | None"]]]:
    """The source's text as a binary stream (gunzipped if it is gzip, without
    a byte-order mark), and how far its underlying file has been read."""
    with ExitStack() as stack:
        if not isinstance(source, (str, os.PathLike)):
            raw: Any = source
            name = str(getattr(source, "name", "the source"))
            gzip_name = False
        elif os.fspath(source) == "-":
            raw, name, gzip_name = sys.stdin.buffer, "standard input", False
        else:
            name = os.fspath(source)
            raw = stack.enter_context(open(name, "rb"))
            gzip_name = name.lower().endswith(".gz")
        position = _position_of(raw)
        stream: Any = raw
        head = _read_head(raw, len(GZIP_MAGIC))
        if head:
            stream = _Prefixed(head, raw)
        if head == GZIP_MAGIC or gzip_name:
            import gzip

            unzipped = stack.enter_context(gzip.GzipFile(fileobj=stream, mode="rb"))
            stream = _Gunzipped(name, unzipped)
        head = _read_head(stream, len(BYTE_ORDER_MARK))
        if head == BYTE_ORDER_MARK:
            head = b""
        if head:
            stream = _Prefixed(head, stream)
        yield stream, position


def _read_head(stream: Any, size: int) -> bytes:
    """The first size bytes of a stream (fewer if it ends first)."""
    head = b""
    while len(head) < size:
        more = stream.read(size - len(head))
        if not more:
            break
        head += more
    return head


class _Prefixed:
    """A stream whose first bytes were read already: they come first."""

    def __init__(self, head: bytes, stream: Any) -> None:
        self._head = head
        self._stream = stream
        self._readinto = getattr(stream, "readinto", None)

    def fileno(self) -> int:
        return self._stream.fileno()

    def read(self, size: int = -1) -> bytes:
        if self._head:
            head = self._head if size < 0 else self._head[:size]
            self._head = self._head[len(head) :]
            return head
        return self._stream.read(size)

    def readinto(self, view: memoryview) -> int:
        if self._head:
            count = min(len(view), len(self._head))
            view[:count] = self._head[:count]
            self._head = self._head[count:]
            return count
        return _read_into(self._stream, self._readinto, view)


class _Gunzipped:
    """A gzip stream whose damaged or cut-off data is reported as an OSError
    naming the file, like any other failure to read the input."""

    def __init__(self, path: str, stream: Any) -> None:  # a gzip.GzipFile
        self._path = path
        self._stream = stream

    def read(self, size: int = -1) -> bytes:
        import gzip
        import zlib

        try:
            return self._stream.read(size)
        except (EOFError, zlib.error, gzip.BadGzipFile) as exc:
            raise OSError(f"cannot read {self._path}: damaged gzip data: {exc}") from None

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
