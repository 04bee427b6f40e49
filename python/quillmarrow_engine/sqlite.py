"""The engine's scoring functions inside SQLite.

``register(connection)`` adds to a ``sqlite3`` connection the functions

- ``quillmarrow_retention(days_since_recall, retrieval_count, importance, frequency)``: a REAL;
- ``quillmarrow_score(...)`` (the same four): the JSON text of ``run('score')``'s
  result, ``{"boost":…,"retention":…,"stability":…}``;
- ``quillmarrow_tier(days_since_recall, retrieval_count, importance, frequency
  [, is_procedural [, keep_forever]])``: the JSON text of ``run('tier')``'s result,
  ``{"action":…,"retention":…,"tier":…}``;
- ``quillmarrow_tier_name(...)`` and ``quillmarrow_action(...)`` (the same
  arguments): the tier or the action alone, as TEXT;
- ``quillmarrow_days_since(recalled_at, now [, max_skew])``: days from
  ``recalled_at`` to ``now``, each Unix seconds or ISO-8601 text (a time
  without an offset is UTC), by the package's rule: both times to Unix
  seconds, ``(now - recalled_at) / 86400``; a ``recalled_at`` more than
  ``max_skew`` seconds (default 300) after ``now`` is an error, one less
  counts as day 0.

Each function is deterministic and runs the engine's own scoring code per
row (native code, no Python frame between SQLite and the engine), so every
number is bit for bit what ``run`` and the column functions give for the
same doubles; the JSON texts carry the shortest digits that read back as
the same double. Numbers are REAL or INTEGER values (integers to the nearest
double); flags are 0, 1 or booleans. A NULL argument gives NULL; any other
bad argument (a text where a number belongs, NaN or infinity, a flag other
than 0 or 1) fails the statement.

Python's sqlite3 module reports every error of a registered function as
"user-defined function raised exception"; after
``sqlite3.enable_callback_tracebacks(True)`` the function's own message
(``quillmarrow_tier: importance is the text '0.5', not a number``) is
printed to standard error as well.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable
from functools import partial
from typing import Any

from ._bulk import action_name, days_since, retention, score_json, tier_json, tier_name
from .times import iso_seconds

__all__ = ["FUNCTIONS", "register"]

# (name, number of arguments), as registered.
FUNCTIONS: tuple[tuple[str, int], ...] = (
    ("quillmarrow_retention", 4),
    ("quillmarrow_score", 4),
    *((name, n) for name in ("quillmarrow_tier", "quillmarrow_tier_name", "quillmarrow_action") for n in (4, 5, 6)),
    ("quillmarrow_days_since", 2),
    ("quillmarrow_days_since", 3),
)


def register(connection: sqlite3.Connection) -> None:
    """Adds the quillmarrow functions to the connection (see the module's text)."""
    if not isinstance(connection, sqlite3.Connection):
        raise TypeError(f"register takes a sqlite3.Connection, not {type(connection).__name__}")
    implementations: dict[str, Callable[..., Any]] = {
        "quillmarrow_retention": retention,
        "quillmarrow_score": score_json,
        "quillmarrow_tier": tier_json,
        "quillmarrow_tier_name": tier_name,
        "quillmarrow_action": action_name,
        # functools.partial is native too: still no Python frame per row for
        # numbers; a text goes through the package's ISO-8601 reading.
        "quillmarrow_days_since": partial(days_since, iso_seconds),
    }
    for name, arguments in FUNCTIONS:
        connection.create_function(name, arguments, implementations[name], deterministic=True)
