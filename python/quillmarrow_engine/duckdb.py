"""The engine's scoring functions inside DuckDB, vectorised.

``register(connection)`` adds to a ``duckdb`` connection

- ``quillmarrow_retention(days_since_recall, retrieval_count, importance, frequency)``: DOUBLE;
- ``quillmarrow_score(...)`` (the same four): ``STRUCT(retention DOUBLE, stability DOUBLE, boost DOUBLE)``;
- ``quillmarrow_tier(days_since_recall, retrieval_count, importance, frequency
  [, is_procedural [, keep_forever]])``: ``STRUCT(tier VARCHAR, action VARCHAR, retention DOUBLE)``;
- ``quillmarrow_days_since(recalled_at [, now [, max_skew]])``: days from a
  TIMESTAMPTZ to ``now`` (default ``now()``, the transaction's start), by the
  package's rule (both as Unix seconds, whole microseconds divided once by
  1e6; ``(now - recalled_at) / 86400``); a ``recalled_at`` more than
  ``max_skew`` (an INTERVAL, default 5 minutes) after ``now`` is an error,
  one less counts as day 0. A TIMESTAMP without time zone is converted by
  DuckDB with the session's TimeZone setting.

Each call scores a whole vector of rows (DuckDB hands over 2,048 at a time
as Arrow arrays) with the engine's column kernels on the calling thread
(DuckDB runs its own threads, and so few rows would not pay for more), so
every value is bit for bit what ``tier_arrays`` and ``score_arrays`` give. Numbers are taken as
DOUBLE (integers, decimals and floats convert implicitly); flags are
BOOLEAN. A NULL argument gives NULL; NaN or infinity fails the query with a
message naming the argument. The functions belong to the connection: the
macros that give the optional arguments are temporary, so nothing is
written into the database file.
"""

from __future__ import annotations

import importlib
from typing import Any

from ._bulk import ACTIONS, TIERS, score_columns, tier_columns
# The row-at-a-time functions: their errors name the SQL function's argument.
from ._bulk import days_since as days_since_row
from ._bulk import retention as retention_row
from ._bulk import score_json as score_row
from ._bulk import tier_json as tier_row
from ._optional import require

__all__ = ["register"]

# The native functions behind the macros; their names are the macros' with
# a leading underscore.
_TIER = "_quillmarrow_tier"
_DAYS_SINCE = "_quillmarrow_days_since"

_MACROS = (
    "CREATE OR REPLACE TEMP MACRO quillmarrow_tier"
    "(d, r, i, f) AS _quillmarrow_tier(d, r, i, f, false, false),"
    "(d, r, i, f, is_procedural) AS _quillmarrow_tier(d, r, i, f, is_procedural, false),"
    "(d, r, i, f, is_procedural, keep_forever) AS _quillmarrow_tier(d, r, i, f, is_procedural, keep_forever)",
    "CREATE OR REPLACE TEMP MACRO quillmarrow_days_since"
    "(recalled_at) AS _quillmarrow_days_since(recalled_at, now(), 300.0),"
    "(recalled_at, now) AS _quillmarrow_days_since(recalled_at, now, 300.0),"
    "(recalled_at, now, max_skew) AS _quillmarrow_days_since(recalled_at, now, epoch(max_skew))",
)


def _modules() -> tuple[Any, Any, Any]:
    purpose = "quillmarrow_engine.duckdb"
    return (require("duckdb", "duckdb", purpose), require("numpy", "duckdb", purpose),
            require("pyarrow", "duckdb", purpose))


def _types() -> Any:
    """duckdb's SQL type objects: duckdb.sqltypes, or duckdb.typing before 1.4."""
    try:
        return importlib.import_module("duckdb.sqltypes")
    except ImportError:  # pragma: no cover - older duckdb
        return importlib.import_module("duckdb.typing")


class _Vectors:
    """The arrays DuckDB hands over, as NumPy arrays the kernels read."""

    def __init__(self, np: Any, pa: Any) -> None:
        self.np = np
        self.pa = pa
        self.tier_names = pa.array(TIERS, pa.string())
        self.action_names = pa.array(ACTIONS, pa.string())

    def numbers(self, values: Any) -> Any:
        if values.num_chunks == 1:
            return values.chunk(0).to_numpy(zero_copy_only=False)
        return values.to_numpy()

    def first_bad_row(self, name: str, function: Any, columns: list[Any]) -> None:
        """Raises the row-at-a-time function's error for the first row with a
        value that is not finite, naming the argument as the SQL function does."""
        np = self.np
        bad = ~np.isfinite(columns[0])
        for column in columns[1:]:
            bad |= ~np.isfinite(column)
        row = int(np.argmax(bad))
        function(*(float(column[row]) for column in columns))
        raise AssertionError(f"{name}: a value that is not finite was not found again")  # pragma: no cover

    def retention(self, d: Any, r: Any, i: Any, f: Any) -> Any:
        np = self.np
        columns = [self.numbers(v) for v in (d, r, i, f)]
        n = len(columns[0])
        retention, stability, boost = np.empty(n), np.empty(n), np.empty(n)
        try:
            score_columns(columns[0], columns[1], columns[2], columns[3], retention, stability, boost, 1)
        except ValueError:
            self.first_bad_row("quillmarrow_retention", retention_row, columns)
        return self.pa.array(retention)

    def score(self, d: Any, r: Any, i: Any, f: Any) -> Any:
        np, pa = self.np, self.pa
        columns = [self.numbers(v) for v in (d, r, i, f)]
        n = len(columns[0])
        retention, stability, boost = np.empty(n), np.empty(n), np.empty(n)
        try:
            score_columns(columns[0], columns[1], columns[2], columns[3], retention, stability, boost, 1)
        except ValueError:
            self.first_bad_row("quillmarrow_score", score_row, columns)
        return pa.StructArray.from_arrays(
            [pa.array(retention), pa.array(stability), pa.array(boost)],
            names=["retention", "stability", "boost"],
        )

    def tier(self, d: Any, r: Any, i: Any, f: Any, p: Any, k: Any) -> Any:
        np, pa = self.np, self.pa
        columns = [self.numbers(v) for v in (d, r, i, f)]
        flags = [self.numbers(v) for v in (p, k)]
        n = len(columns[0])
        retention, tier, action = np.empty(n), np.empty(n, np.uint8), np.empty(n, np.uint8)
        try:
            tier_columns(
                columns[0], columns[1], columns[2], columns[3], flags[0], flags[1], retention, tier, action, 1
            )
        except ValueError:
            self.first_bad_row("quillmarrow_tier", tier_row, columns)
        return pa.StructArray.from_arrays(
            [
                pa.DictionaryArray.from_arrays(pa.array(tier.view(np.int8)), self.tier_names),
                pa.DictionaryArray.from_arrays(pa.array(action.view(np.int8)), self.action_names),
                pa.array(retention),
            ],
            names=["tier", "action", "retention"],
        )

    def days_since(self, recalled_at: Any, now: Any, max_skew: Any) -> Any:
        np = self.np
        # Whole microseconds since 1970, to the nearest double, divided once by 1e6.
        recalled = self.numbers(recalled_at).view(np.int64).astype(np.float64) / 1e6
        current = self.numbers(now).view(np.int64).astype(np.float64) / 1e6
        skew = self.numbers(max_skew)
        ahead = recalled - current
        late = ahead > 0.0
        if late.any() or not np.isfinite(skew).all() or (skew < 0.0).any():
            # The rare rows: each through the row-at-a-time rule, which reports any error.
            days = (current - recalled) / 86400.0
            for row in np.flatnonzero(late | ~np.isfinite(skew) | (skew < 0.0)).tolist():
                days[row] = days_since_row(None, float(recalled[row]), float(current[row]), float(skew[row]))
            return self.pa.array(days)
        return self.pa.array((current - recalled) / 86400.0)


def register(connection: Any) -> None:
    """Adds the quillmarrow functions to a duckdb connection (see the module's text)."""
    duckdb, np, pa = _modules()
    if not isinstance(connection, duckdb.DuckDBPyConnection):
        raise TypeError(f"register takes a duckdb connection, not {type(connection).__name__}")
    types = _types()
    double, boolean, varchar = types.DOUBLE, types.BOOLEAN, types.VARCHAR
    vectors = _Vectors(np, pa)
    numbers = [double] * 4
    functions = [
        ("quillmarrow_retention", vectors.retention, numbers, double),
        (
            "quillmarrow_score",
            vectors.score,
            numbers,
            duckdb.struct_type({"retention": double, "stability": double, "boost": double}),
        ),
        (
            _TIER,
            vectors.tier,
            numbers + [boolean, boolean],
            duckdb.struct_type({"tier": varchar, "action": varchar, "retention": double}),
        ),
        (_DAYS_SINCE, vectors.days_since, [types.TIMESTAMP_TZ, types.TIMESTAMP_TZ, double], double),
    ]
    for name, function, parameters, result in functions:
        try:
            connection.remove_function(name)
        except Exception:  # noqa: BLE001 - not registered yet: duckdb's error class varies
            pass
        connection.create_function(name, function, parameters, result, type="arrow", side_effects=False)
    for macro in _MACROS:
        connection.execute(macro)
