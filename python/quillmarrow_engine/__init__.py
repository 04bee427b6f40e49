"""Command-line tools and helpers around the quillmarrow_engine_native module.

The column functions (tier_arrays, score_arrays, tier_table and the code
tables TIERS and ACTIONS) come from quillmarrow_engine.columns, and
tier_jsonl (a JSON Lines export tiered line by line) from
quillmarrow_engine.jsonl, each loaded on first use, so importing the package
needs neither NumPy nor the native modules. `retier` (quillmarrow_engine.
retiering) re-tiers a SQLite or PostgreSQL table in place; it too is loaded on
first use, and imports NumPy (and psycopg) only when called.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .columns import ACTIONS, TIERS, ScoreResult, TierResult, score_arrays, tier_arrays, tier_table
    from .jsonl import tier_jsonl
    from .retiering import RetierError, RetierResult, retier

__all__ = [
    "ACTIONS",
    "TIERS",
    "RetierError",
    "RetierResult",
    "ScoreResult",
    "TierResult",
    "retier",
    "score_arrays",
    "tier_arrays",
    "tier_jsonl",
    "tier_table",
]

# Each public name and the module it comes from.
_LAZY_NAMES = {
    **dict.fromkeys(
        ("ACTIONS", "TIERS", "ScoreResult", "TierResult", "score_arrays", "tier_arrays", "tier_table"),
        "columns",
    ),
    "tier_jsonl": "jsonl",
    **dict.fromkeys(("RetierError", "RetierResult", "retier"), "retiering"),
}


def __getattr__(name: str) -> Any:
    module = _LAZY_NAMES.get(name)
    if module is not None:
        return getattr(import_module(f".{module}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY_NAMES})
