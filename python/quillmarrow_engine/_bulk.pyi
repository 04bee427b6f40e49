# The native functions behind quillmarrow_engine.columns (below, the column
# functions: inputs are one-dimensional buffers of numbers (flags: booleans
# or integers 0 and 1), outputs writable C-contiguous buffers they fill) and
# quillmarrow_engine.jsonl (tier_jsonl_chunk).
from typing_extensions import Buffer

TIERS: tuple[str, ...]
ACTIONS: tuple[str, ...]

def tier_columns(
    days_since_recall: Buffer,
    retrieval_count: Buffer,
    importance: Buffer,
    frequency: Buffer,
    is_procedural: Buffer | None,
    keep_forever: Buffer | None,
    retention: Buffer,
    tier: Buffer,
    action: Buffer,
    /,
) -> None: ...
def score_columns(
    days_since_recall: Buffer,
    retrieval_count: Buffer,
    importance: Buffer,
    frequency: Buffer,
    retention: Buffer,
    stability: Buffer,
    boost: Buffer,
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
    /,
) -> tuple[
    int, int, int, int, bytes, bytes, tuple[int, ...], tuple[int, ...], tuple[int, str] | None
]: ...
