"""Re-tier a memory store where it lives: a SQLite or PostgreSQL table.

Rows are read in batches, their columns turned into arrays and scored by
`tier_arrays` in one call per batch; the new tier, action and retention go
back set-based (one `executemany` per batch on SQLite; on PostgreSQL a `COPY`
into a temporary table and one `UPDATE ... FROM` at the end). The whole run is
one transaction, so readers see every new tier or none, and any failure (a bad
row, a lost connection, Ctrl-C) leaves the table as it was.

A dry run reads and scores the same way and writes nothing; the same counts
and the same report (one JSON line per row whose tier or action changes) come
out of a real run, describing the change made.

NumPy is needed (it carries the columns to the engine); psycopg 3 only for a
PostgreSQL database. Neither is imported before `retier` is called.
"""

from __future__ import annotations

import io
import json
import math
import os
import time
from collections import Counter
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import IO, Any, TextIO

from ._files import atomic_file

FIELDS = (
    "days_since_recall",
    "retrieval_count",
    "importance",
    "frequency",
    "is_procedural",
    "keep_forever",
)
NUMBER_FIELDS = FIELDS[:4]
FLAG_FIELDS = FIELDS[4:]
RESULT_FIELDS = ("tier", "action", "retention")
DAY_SECONDS = 86_400.0
DEFAULT_BATCH_SIZE = 10_000
NO_VALUE = "(none)"  # how a NULL old tier or action is shown
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)

Progress = Callable[[int, int], None]  # (rows done, rows in the table)


class RetierError(Exception):
    """The run cannot go on: a bad row, a missing column, a bad option. Nothing was written."""


@dataclass
class Layout:
    """Which column of the table holds what. Every name is a column of the table."""

    table: str
    key: str
    inputs: dict[str, str]  # field -> column; a flag without a column is false
    recalled_at: str | None  # a timestamp column instead of days_since_recall
    results: dict[str, str]  # "tier", "action", "retention" -> column


@dataclass
class RetierResult:
    """What a run did (or, dry, would do)."""

    rows: int = 0
    changed: int = 0  # rows whose tier or action changes
    written: int = 0  # rows updated (tier, action or retention differ); 0 when dry
    dry_run: bool = False
    now: float = 0.0  # Unix seconds the days since recall were counted to
    seconds: float = 0.0
    tiers: Counter[str] = field(default_factory=Counter)
    actions: Counter[str] = field(default_factory=Counter)
    transitions: Counter[tuple[str, str]] = field(default_factory=Counter)  # (old, new) tier


@dataclass
class Batch:
    """Rows read from the store, column by column, in the order of the table's scan."""

    keys: Sequence[Any]
    handles: Sequence[Any]  # what the store's write uses to find each row again
    old_tier: Sequence[Any]
    old_action: Sequence[Any]
    old_retention: Sequence[Any]
    values: dict[str, Sequence[Any]]  # field (or "recalled_at") -> values


def retier(
    database: Any,
    table: str,
    *,
    key: str = "id",
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    add_columns: bool = False,
    dry_run: bool = False,
    report: str | os.PathLike[str] | TextIO | None = None,
    batch_size: int = DEFAULT_BATCH_SIZE,
    progress: Progress | None = None,
) -> RetierResult:
    """Re-tier every row of `table` in `database`; returns the counts.

    `database` is a SQLite path, a ``sqlite:///path`` URL, a
    ``postgresql://...`` URL, or an open ``sqlite3`` or ``psycopg`` connection
    (used inside its own transaction or savepoint, and not closed).
    `columns` maps a record field or "tier"/"action"/"retention" to another
    column name. `recalled_at` names a timestamp column used instead of
    `days_since_recall`, counted to `now` (ISO-8601 text, Unix seconds or an
    aware datetime; default: the time the run starts). `report` gets one JSON
    line per row whose tier or action changes. Raises `RetierError` for a bad
    row or option; the table is then unchanged.
    """
    start = time.perf_counter()
    if batch_size < 1:
        raise RetierError(f"batch size must be at least 1, got {batch_size}")
    now_seconds = parse_now(now) if now is not None else time.time()
    mapping = _check_mapping(columns or {}, recalled_at)
    np, engine = _load_numpy_and_engine()
    scorer = _Scorer(np, engine)
    result = RetierResult(dry_run=dry_run, now=now_seconds)
    with _open_store(database) as store, _report_sink(report) as sink:
        store.begin(write=not dry_run)
        try:
            layout = _resolve_layout(store, table, key, mapping, recalled_at, add_columns, dry_run)
            total = store.count(layout)
            if progress:
                progress(0, total)
            for batch in store.read(layout, batch_size):
                scored = scorer.score(batch, layout, now_seconds)
                scorer.account(scored, result)
                if sink is not None:
                    scorer.write_report(scored, batch, sink)
                if not dry_run:
                    result.written += store.write(layout, *scorer.updates(scored, batch))
                if progress:
                    progress(result.rows, max(total, result.rows))
            if not dry_run:
                store.finish(layout)
        except BaseException as exc:
            store.rollback()
            if isinstance(exc, store.errors):
                raise RetierError(f"{store.name}: {exc}".strip()) from exc
            raise
        try:
            store.commit()
        except store.errors as exc:
            raise RetierError(f"{store.name}: commit failed: {exc}".strip()) from exc
    result.seconds = time.perf_counter() - start
    return result


def parse_now(value: str | float | datetime) -> float:
    """Unix seconds from ISO-8601 text (no offset means UTC), a number, or an aware datetime."""
    if isinstance(value, datetime):
        return _datetime_seconds(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        text = str(value).strip()
        try:
            seconds = float(text)
        except ValueError:
            try:
                return _datetime_seconds(datetime.fromisoformat(text))
            except ValueError:
                raise RetierError(
                    f"not an ISO-8601 time or Unix seconds: {value!r}"
                ) from None
    if not math.isfinite(seconds):
        raise RetierError(f"not an ISO-8601 time or Unix seconds: {value!r}")
    return seconds


def iso_seconds(text: str) -> float:
    """Unix seconds of an ISO-8601 text; raises ValueError."""
    return _datetime_seconds(datetime.fromisoformat(text.strip()))


def _datetime_seconds(moment: datetime) -> float:
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    # A whole number of microseconds divided once: the double nearest the time.
    return (moment - _EPOCH) / _MICROSECOND / 1e6


_MICROSECOND = datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=timezone.utc) - _EPOCH


def _check_mapping(columns: Mapping[str, str], recalled_at: str | None) -> dict[str, str]:
    known = FIELDS + RESULT_FIELDS
    for name, column in columns.items():
        if name not in known:
            raise RetierError(f"unknown field {name!r} (fields: {', '.join(known)})")
        if not column:
            raise RetierError(f"empty column name for {name!r}")
    if recalled_at is not None and "days_since_recall" in columns:
        raise RetierError("give either a days_since_recall column or a recalled-at column, not both")
    return dict(columns)


def _load_numpy_and_engine() -> tuple[Any, Any]:
    try:
        import numpy
    except ImportError:
        raise RetierError(
            "re-tiering needs NumPy: pip install 'quillmarrow-engine[arrays]'"
        ) from None
    import quillmarrow_engine

    return numpy, quillmarrow_engine


@contextmanager
def _open_store(database: Any) -> Iterator[Any]:
    from . import _sqlite_store

    if isinstance(database, (str, os.PathLike)):
        text = os.fspath(database)
        store: Any
        if text.startswith(("postgresql://", "postgres://")):
            from . import _postgres_store

            store = _postgres_store.PostgresStore.connect(text)
        else:
            store = _sqlite_store.SqliteStore.connect(text)
        try:
            yield store
        finally:
            store.close()
        return
    if _sqlite_store.is_connection(database):
        yield _sqlite_store.SqliteStore(database, owned=False)
        return
    from . import _postgres_store

    if _postgres_store.is_connection(database):
        yield _postgres_store.PostgresStore(database, owned=False)
        return
    raise RetierError(f"not a database path, URL or connection: {database!r}")


def _resolve_layout(
    store: Any,
    table: str,
    key: str,
    mapping: dict[str, str],
    recalled_at: str | None,
    add_columns: bool,
    dry_run: bool,
) -> Layout:
    present = store.columns(table)  # lower-cased or exact names, as the database compares them

    def has(column: str) -> bool:
        return store.fold(column) in present

    def need(column: str, what: str) -> str:
        if not has(column):
            raise RetierError(f"table {table!r} has no column {column!r} ({what})")
        return column

    need(key, "the key that names each row; choose another with --key")
    inputs: dict[str, str] = {}
    for name in FIELDS:
        if name == "days_since_recall" and recalled_at is not None:
            continue
        column = mapping.get(name, name)
        if name in FLAG_FIELDS and name not in mapping and not has(column):
            continue  # no such flag in this store: false for every row
        inputs[name] = need(column, f"field {name}; map another with --column {name}=COLUMN")
    if recalled_at is not None:
        need(recalled_at, "the time of the last recall")
    results = {name: mapping.get(name, name) for name in RESULT_FIELDS}
    missing = [name for name, column in results.items() if not has(column)]
    if missing and not add_columns:
        raise RetierError(
            f"table {table!r} has no column {', '.join(repr(results[n]) for n in missing)} "
            "for the results; add it, or pass --add-columns"
        )
    layout = Layout(table, key, inputs, recalled_at, results)
    if missing and not dry_run:
        store.add_columns(layout, [(name, results[name]) for name in missing])
    store.prepare(layout, missing=[results[n] for n in missing])
    return layout


class _Names(dict):  # type: ignore[type-arg]
    """Codes of old tier or action values: the engine's names first, then others as met."""

    def __init__(self, names: Sequence[str]) -> None:
        super().__init__((name, code) for code, name in enumerate(names))
        self.names: list[Any] = list(names)

    def __missing__(self, value: Any) -> int:
        code = len(self.names)
        self.names.append(value)
        self[value] = code
        return code

    def label(self, code: int) -> str:
        value = self.names[code]
        return NO_VALUE if value is None else str(value)


@dataclass
class _Scored:
    rows: int
    tier: Any  # uint8 codes
    action: Any
    retention: Any  # float64
    old_tier: Any  # codes into _Scorer.old_tiers
    old_action: Any
    changed: Any  # bool: tier or action changes
    write: Any  # bool: anything to write


class _Scorer:
    def __init__(self, np: Any, engine: Any) -> None:
        self.np = np
        self.engine = engine
        self.tier_names = tuple(engine.TIERS)
        self.action_names = tuple(engine.ACTIONS)
        self.tier_objects = np.array(self.tier_names, dtype=object)
        self.action_objects = np.array(self.action_names, dtype=object)
        self.old_tiers = _Names(self.tier_names)
        self.old_actions = _Names(self.action_names)

    def score(self, batch: Batch, layout: Layout, now: float) -> _Scored:
        np = self.np
        from ._values import flag_array, number_array, seconds_array

        n = len(batch.handles)
        named = _RowNamer(layout.key, batch.keys)
        arrays: dict[str, Any] = {}
        for name in NUMBER_FIELDS:
            if name == "days_since_recall" and layout.recalled_at is not None:
                recalled = seconds_array(np, batch.values["recalled_at"], layout.recalled_at, named)
                days = (now - recalled) / DAY_SECONDS
                arrays[name] = days
            else:
                arrays[name] = number_array(np, batch.values[name], layout.inputs[name], named)
        for name in FLAG_FIELDS:
            if name in layout.inputs:
                arrays[name] = flag_array(np, batch.values[name], layout.inputs[name], named)
        old_tier = np.fromiter(map(self.old_tiers.__getitem__, batch.old_tier), np.int32, n)
        old_action = np.fromiter(map(self.old_actions.__getitem__, batch.old_action), np.int32, n)
        return self._tier(arrays, old_tier, old_action, _old_retention(np, batch.old_retention))

    def _tier(self, arrays: dict[str, Any], old_tier: Any, old_action: Any, old_retention: Any) -> _Scored:
        np = self.np
        try:
            out = self.engine.tier_arrays(
                arrays["days_since_recall"],
                arrays["retrieval_count"],
                arrays["importance"],
                arrays["frequency"],
                is_procedural=arrays.get("is_procedural"),
                keep_forever=arrays.get("keep_forever"),
            )
        except (TypeError, ValueError) as exc:
            # The checks above should have caught it; the engine's word stands.
            raise RetierError(f"the engine refused a batch: {exc}") from None
        tier = out.tier.astype(np.int32)
        action = out.action.astype(np.int32)
        changed = (old_tier != tier) | (old_action != action)
        write = changed | ~(old_retention == out.retention)
        return _Scored(len(tier), tier, action, out.retention, old_tier, old_action, changed, write)

    def account(self, s: _Scored, result: RetierResult) -> None:
        np = self.np
        result.rows += s.rows
        result.changed += int(s.changed.sum())
        for code, count in enumerate(np.bincount(s.tier, minlength=len(self.tier_names))):
            if count:
                result.tiers[self.tier_names[code]] += int(count)
        for code, count in enumerate(np.bincount(s.action, minlength=len(self.action_names))):
            if count:
                result.actions[self.action_names[code]] += int(count)
        width = len(self.tier_names)
        pairs = np.bincount(s.old_tier * width + s.tier)
        for pair in np.flatnonzero(pairs):
            old, new = divmod(int(pair), width)
            result.transitions[(self.old_tiers.label(old), self.tier_names[new])] += int(pairs[pair])

    def write_report(self, s: _Scored, batch: Batch, sink: TextIO) -> None:
        lines = []
        for i in self.np.flatnonzero(s.changed).tolist():
            lines.append(
                json.dumps(
                    {
                        "key": batch.keys[i],
                        "old_tier": self.old_tiers.names[s.old_tier[i]],
                        "new_tier": self.tier_names[s.tier[i]],
                        "old_action": self.old_actions.names[s.old_action[i]],
                        "new_action": self.action_names[s.action[i]],
                        "retention": float(s.retention[i]),
                    },
                    default=str,
                    allow_nan=False,
                )
            )
        if lines:
            sink.write("\n".join(lines) + "\n")

    def updates(self, s: _Scored, batch: Batch) -> tuple[list[Any], list[str], list[str], list[float]]:
        """The rows to write: handle, tier, action, retention."""
        if s.write.all():
            return (
                list(batch.handles),
                self.tier_objects[s.tier].tolist(),
                self.action_objects[s.action].tolist(),
                s.retention.tolist(),
            )
        rows = self.np.flatnonzero(s.write)
        return (
            [batch.handles[i] for i in rows.tolist()],
            self.tier_objects[s.tier[rows]].tolist(),
            self.action_objects[s.action[rows]].tolist(),
            s.retention[rows].tolist(),
        )


def _old_retention(np: Any, values: Sequence[Any]) -> Any:
    """The stored retentions as doubles; NULL or anything not a number is NaN (never equal)."""
    try:
        return np.array(values, dtype=np.float64)  # None becomes NaN
    except (TypeError, ValueError):
        return np.array([_float_or_nan(v) for v in values], dtype=np.float64)


def _float_or_nan(value: Any) -> float:
    if value is None or isinstance(value, (str, bytes)):
        return math.nan
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


class _RowNamer:
    """Names a row of the batch by its key, for messages."""

    def __init__(self, key: str, keys: Sequence[Any]) -> None:
        self.key = key
        self.keys = keys

    def __call__(self, index: int) -> str:
        return f"row {self.key}={self.keys[index]!r}"


@contextmanager
def _report_sink(report: str | os.PathLike[str] | IO[str] | None) -> Iterator[TextIO | None]:
    if report is None:
        yield None
        return
    if not isinstance(report, (str, os.PathLike)):
        yield report  # type: ignore[misc]
        return
    # Written beside the target and renamed at the end, so a failed run leaves
    # no half-written report (and an older one as it was).
    with atomic_file(report) as raw, io.TextIOWrapper(raw, encoding="utf-8", newline="\n") as out:
        yield out


def format_transitions(result: RetierResult) -> str:
    """How many rows move from each old tier to each new one, most first."""
    lines = [f"{'old tier':<18} {'new tier':<18} {'rows':>10} {'share':>7}"]
    for (old, new), count in sorted(
        result.transitions.items(), key=lambda kv: (-kv[1], kv[0])
    ):
        share = 100.0 * count / result.rows
        lines.append(f"{old:<18} {new:<18} {count:>10,} {share:>6.1f}%")
    return "\n".join(lines) + "\n"
