"""quillmarrow engine: the scoring core of an assistant's long-term memory store.

The native module ``quillmarrow_engine_native`` answers one call at a time
(``run(command, payload_json)``); this package puts it to work on data as it
comes:

- columns (``tier_arrays``, ``score_arrays``, ``tier_table``, ``score_table``,
  and the code tables ``TIERS`` and ``ACTIONS``): NumPy arrays, and pandas,
  Polars, Arrow and DuckDB tables,
  in native code with the interpreter lock released;
- ``tier_jsonl``: a JSON Lines export tiered line by line;
- ``retier``: a SQLite or PostgreSQL table re-tiered in place;
- ``quillmarrow_engine.parquet``, ``.dask`` and ``.spark``: Parquet datasets
  and DataFrames on a cluster;
- ``quillmarrow_engine.cli``: the ``quillmarrow-engine`` command.

Every error the package raises on purpose derives from ``QuillmarrowError``.
Each public name is loaded on first use, so importing the package needs
neither NumPy nor the native modules.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any

from ._version import __version__
from .errors import QuillmarrowError, RetierError

if TYPE_CHECKING:
    from .columns import (
        ACTIONS,
        TIERS,
        ScoreResult,
        TierResult,
        score_arrays,
        score_table,
        tier_arrays,
        tier_table,
    )
    from .jsonl import tier_jsonl
    from .retiering import RetierResult, retier

__all__ = [
    "ACTIONS",
    "TIERS",
    "QuillmarrowError",
    "RetierError",
    "RetierResult",
    "ScoreResult",
    "TierResult",
    "__version__",
    "retier",
    "score_arrays",
    "score_table",
    "tier_arrays",
    "tier_jsonl",
    "tier_table",
]

# Each public name loaded on first use, and the module it comes from.
_LAZY_NAMES = {
    **dict.fromkeys(
        (
            "ACTIONS", "TIERS", "ScoreResult", "TierResult", "score_arrays", "score_table", "tier_arrays",
            "tier_table",
        ),
        "columns",
    ),
    "tier_jsonl": "jsonl",
    **dict.fromkeys(("RetierResult", "retier"), "retiering"),
}


def __getattr__(name: str) -> Any:
    module = _LAZY_NAMES.get(name)
    if module is not None:
        return getattr(import_module(f".{module}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY_NAMES})
