# The native column functions behind quillmarrow_engine.columns. Inputs are
# one-dimensional buffers of numbers (flags: booleans or integers 0 and 1);
# the outputs are writable C-contiguous buffers the functions fill.
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
