"""Which column of the table holds what: the user's mapping checked, then
matched against the table's own columns."""

from __future__ import annotations

from collections.abc import Mapping

from ..errors import RetierError
from ..fields import FIELDS, FLAG_FIELDS, RESULT_FIELDS
from ..stores import Layout, Store


RETENTION_REFUSED = (
    "retention changes with the clock and is stored only on request: "
    "name its column with --retention-column {column} (retention_column={column!r})"
)


def check_mapping(
    columns: Mapping[str, str], recalled_at: str | None, retention_column: str | None
) -> dict[str, str]:
    known = FIELDS + RESULT_FIELDS
    for name, column in columns.items():
        if name == "retention":
            raise RetierError(RETENTION_REFUSED.format(column=column))
        if name not in known:
            raise RetierError(f"unknown field {name!r} (fields: {', '.join(known)})")
        if not column:
            raise RetierError(f"empty column name for {name!r}")
    if recalled_at is not None and "days_since_recall" in columns:
        raise RetierError("give either a days_since_recall column or a recalled-at column, not both")
    if retention_column is not None and not retention_column:
        raise RetierError("empty column name for retention")
    mapping = dict(columns)
    if retention_column is not None:
        mapping["retention"] = retention_column
    return mapping


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
