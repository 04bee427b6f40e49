"""Which column of the table holds what: the user's mapping checked, then
matched against the table's own columns."""

from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime

from ..errors import RetierError
from ..fields import FIELDS, FLAG_FIELDS, RESULT_FIELDS
from ..frames.vocabulary import Vocabulary, vocabulary
from ..stores import Layout, Store


RETENTION_REFUSED = (
    "retention changes with the clock and is stored only on request: "
    "name its column with --retention-column {column} (retention_column={column!r})"
)


# The results a run may write under other names; retention has its own option.
STORED_RESULTS = tuple(name for name in RESULT_FIELDS if name != "retention")


def check_vocabulary(
    columns: Mapping[str, str] | None,
    recalled_at: str | None,
    now: str | float | datetime | None,
    time_unit: str | None,
    max_skew: float | None,
    retention_column: str | None,
) -> tuple[Vocabulary, dict[str, str]]:
    """The options every tiering road shares, checked as they are everywhere
    (now fixed once), and the columns of the fields and results."""
    if columns is not None and isinstance(columns, Mapping) and "retention" in columns:
        raise RetierError(RETENTION_REFUSED.format(column=columns["retention"]))
    try:
        vocab = vocabulary(columns, recalled_at, now, time_unit, max_skew, results=STORED_RESULTS)
    except (ValueError, TypeError) as exc:
        raise RetierError(str(exc)) from None
    if retention_column is not None and not retention_column:
        raise RetierError("empty column name for retention")
    mapping = dict(vocab.columns)
    if retention_column is not None:
        mapping["retention"] = retention_column
    return vocab, mapping


def resolve_layout(
    store: Store,
    table: str,
    key: str,
    mapping: dict[str, str],
    recalled_at: str | None,
    add_columns: bool,
    dry_run: bool,
) -> Layout:
    """The layout of table; creates missing result columns when asked to (and
    not dry), and readies the store to read and write it."""
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
    # Retention is a result only when a column is named for it (check_mapping).
    results = {name: mapping.get(name, name) for name in RESULT_FIELDS
               if name != "retention" or name in mapping}
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
