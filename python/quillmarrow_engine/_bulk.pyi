# The native functions behind quillmarrow_engine.columns (below, the column
# functions: inputs are one-dimensional buffers of numbers (flags: booleans
# or integers 0 and 1), outputs writable C-contiguous buffers they fill, with
# the rows shared out over at most `threads` native threads, at least 1, one
# per 512 rows at most) and quillmarrow_engine.jsonl (tier_jsonl_chunk).
from typing import Any

from typing_extensions import Buffer

# What the column functions read and fill: any object that exports a buffer
# (a NumPy array, a memoryview, bytes). NumPy's own types say so only for
# Python 3.12 and later, so the column parameters are left open.
_Column = Any

FIELDS: tuple[str, ...]
TIERS: tuple[str, ...]
ACTIONS: tuple[str, ...]

def tier_columns(
    days_since_recall: _Column,
    retrieval_count: _Column,
    importance: _Column,
    frequency: _Column,
    is_procedural: _Column | None,
    keep_forever: _Column | None,
    retention: _Column,
    tier: _Column,
    action: _Column,
    threads: int,
    /,
) -> None: ...
def score_columns(
    days_since_recall: _Column,
    retrieval_count: _Column,
    importance: _Column,
    frequency: _Column,
    retention: _Column,
    stability: _Column,
    boost: _Column,
    threads: int,
    /,
) -> None: ...
def tier_jsonl_chunk(
    data: Buffer,
    start: int,
    end: int,
    at_end: bool,
    first_line: int,
    max_lines: int,
    id_field: str | None,
    set_aside: bool,
    max_line_bytes: int | None,
    members: tuple[str, ...] | None,
    recall: tuple[str, float, str, float] | None,
    /,
) -> tuple[
    int, int, int, int, bytes, bytes, tuple[int, ...], tuple[int, ...], tuple[int, str] | None
]: ...

# The row-at-a-time functions behind quillmarrow_engine.sqlite: numbers are
# floats or ints, flags bools or the ints 0 and 1; None anywhere gives None.
_Number = float | int | None
_Flag = bool | int | None

def retention(
    days_since_recall: _Number, retrieval_count: _Number, importance: _Number, frequency: _Number, /
) -> float | None: ...
def score_json(
    days_since_recall: _Number, retrieval_count: _Number, importance: _Number, frequency: _Number, /
) -> str | None: ...
def tier_json(
    days_since_recall: _Number,
    retrieval_count: _Number,
    importance: _Number,
    frequency: _Number,
    is_procedural: _Flag = ...,
    keep_forever: _Flag = ...,
    /,
) -> str | None: ...
def tier_name(
    days_since_recall: _Number,
    retrieval_count: _Number,
    importance: _Number,
    frequency: _Number,
    is_procedural: _Flag = ...,
    keep_forever: _Flag = ...,
    /,
) -> str | None: ...
def action_name(
    days_since_recall: _Number,
    retrieval_count: _Number,
    importance: _Number,
    frequency: _Number,
    is_procedural: _Flag = ...,
    keep_forever: _Flag = ...,
    /,
) -> str | None: ...
def days_since(
    parse: Any, recalled_at: float | int | str | None, now: float | int | str | None, max_skew: float | int = ..., /
) -> float | None: ...

# Recall times to days since recall (quillmarrow_engine.frames.recall): kind
# "counts" (int64 counts of unit "D", "s", "ms", "us" or "ns" since 1970),
# "numbers" (any numbers of unit "s", "ms", "us" or "ns") or "texts"
# (ISO-8601 or numbers of the unit: Arrow's data bytes and int32/int64
# offsets from row `first`, or a list of str with offsets None).
def recall_days(
    kind: str,
    values: Any,
    offsets: _Column | None,
    first: int,
    unit: str,
    now: float,
    max_skew: float,
    name: str,
    days: _Column,
    /,
) -> None: ...
def time_seconds(text: str, unit: str, /) -> float: ...
def text_numbers(data: Buffer, offsets: _Column, first: int, name: str, out: _Column, /) -> None: ...
