"""Command-line tools and helpers around the quillmarrow_engine_native module.

The column functions (tier_arrays, score_arrays, tier_table and the code
tables TIERS and ACTIONS) come from quillmarrow_engine.columns, loaded on
first use, so importing the package needs neither NumPy nor the column
module. `retier` re-tiers a SQLite or PostgreSQL table in place; it too
imports NumPy (and psycopg) only when called.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .retiering import RetierError, RetierResult, retier

if TYPE_CHECKING:
    from .columns import ACTIONS, TIERS, ScoreResult, TierResult, score_arrays, tier_arrays, tier_table

_COLUMN_NAMES = frozenset(
    ("ACTIONS", "TIERS", "ScoreResult", "TierResult", "score_arrays", "tier_arrays", "tier_table")
)


def __getattr__(name: str) -> Any:
    if name in _COLUMN_NAMES:
        from . import columns

        return getattr(columns, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_COLUMN_NAMES})
