"""A re-tiering run computed by the PostgreSQL server itself, with the
extension `quillmarrow`: no row of the table comes to the client.

Each batch (a range of keys, or the keys of rows to read again) is one
statement. It decides every row of the batch with `quillmarrow_tier` (days
since recall by `quillmarrow_days_since`, or from numbers of a time unit by
the same arithmetic in double precision), locks the rows whose tier or
action changes (`FOR NO KEY UPDATE SKIP LOCKED`, or waiting under the lock
timeout), and updates those whose key and input columns still hold the
values it decided from: a compare-and-set, as the client-side run does.
What comes back is counts, per old tier, tier, action and fate, the keys of
the rows not written (changed meanwhile, or held by another transaction),
and, for a report, the rows whose decision changes.

A row the server cannot decide (a NULL, an integer flag other than 0 or 1, a
recall time too far after now) makes the statement write nothing; one it
refuses (NaN, infinity) makes it fail. Either way the batch is the
client-side run's, which names the row exactly as it always does.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any

from ..errors import RetierError
from ..fields import FLAG_FIELDS, NUMBER_FIELDS
from .model import Layout

if TYPE_CHECKING:
    from .postgres import PostgresStore

EXTENSION = "quillmarrow"
_DIVISORS = {"s": 1, "ms": 1_000, "us": 1_000_000, "ns": 1_000_000_000}
_INTEGER_KINDS = ("int2", "int4", "int8")
_NUMBER_KINDS = (*_INTEGER_KINDS, "float4", "float8")
_TIME_KINDS = ("timestamptz", "timestamp", "date")
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)

# What became of a row whose decision is to be written.
WRITTEN, CHANGED, HELD, DRY = "written", "changed", "held", "dry"


@dataclass
class ServerBatch:
    """What one statement did with a batch."""

    rows: int  # rows of the batch found (bad ones included)
    after: Any = None  # the scan's next start: the batch's last key; None after the last batch
    # (old tier or None, tier, action, tier or action changed, rows), over every good row
    decided: list[tuple[str | None, str, str, bool, int]] = field(default_factory=list)
    # the same for the rows to write, with their fate (WRITTEN, CHANGED, HELD or DRY)
    to_write: list[tuple[str | None, str, str, bool, str, int]] = field(default_factory=list)
    keys: dict[str, list[Any]] = field(default_factory=dict)  # CHANGED and HELD -> keys
    # with a report, for each row whose tier or action changes:
    # (key, old tier, tier, old action, action, retention, fate)
    changes: list[tuple[Any, ...]] = field(default_factory=list)


def extension_schema(store: PostgresStore) -> Any:
    """The schema the extension's functions are in; RetierError saying how
    to install or create it when the database has none."""
    with store.transaction(write=False), store.conn.cursor() as cur:
        cur.execute("SELECT n.nspname FROM pg_extension AS e JOIN pg_namespace AS n"
                    " ON n.oid = e.extnamespace WHERE e.extname = %s", (EXTENSION,))
        found = cur.fetchone()
        if found is not None:
            return store.sql.Identifier(found[0])
        cur.execute("SELECT 1 FROM pg_available_extensions WHERE name = %s", (EXTENSION,))
        available = cur.fetchone() is not None
    if available:
        fix = (f"it is installed on the server but not created in this database: run CREATE"
               f" EXTENSION {EXTENSION}; in it (as a user who may create it; the extension is"
               " trusted)")
    else:
        fix = (f"it is not installed on the server: on the server's machine run"
               " scripts/install_postgres_extension.sh from the engine's source (it needs the"
               f" server headers, e.g. apt-get install postgresql-server-dev-15), then CREATE"
               f" EXTENSION {EXTENSION}; in the database (README: In the database)")
    raise RetierError(f"--in-database needs the PostgreSQL extension {EXTENSION!r}: {fix}; or run"
                      " without --in-database")


class InDatabase:
    """The statements of a run computed in the server, for one layout."""

    def __init__(self, store: PostgresStore, layout: Layout, now: float, max_skew: float,
                 time_unit: str, dry_run: bool, report: bool) -> None:
        self.store = store
        self.sql = store.sql
        self.layout = layout
        self.dry_run = dry_run
        self.report = report
        self.schema = extension_schema(store)
        micros = round(now * 1e6)
        self._params = {
            "now": _EPOCH + timedelta(microseconds=micros),
            "now_seconds": micros / 1e6,
            "skew": timedelta(microseconds=round(max_skew * 1e6)),
            "skew_seconds": round(max_skew * 1e6) / 1e6,
            "divisor": float(_DIVISORS[time_unit]),
        }
        sql = self.sql
        key = sql.Identifier(layout.key)
        key_type = store._key_type
        self._key_text = "k" if store._key_kind in _INTEGER_KINDS else "k::text"
        in_order = sql.SQL(" ORDER BY s.{key} LIMIT %(size)s").format(key=key)
        after = sql.SQL("s.{key} > %(after)s::{type}").format(key=key, type=key_type)
        by_keys = sql.SQL("s.{key} = ANY(%(keys)s::{type}[])").format(key=key, type=key_type)
        # A range of keys, either bound absent (NULL); planned for its own
        # parameters, so that the absent bound drops out.
        between = sql.SQL("(%(low)s::{type} IS NULL OR s.{key} > %(low)s::{type}) AND"
                          " (%(high)s::{type} IS NULL OR s.{key} <= %(high)s::{type})").format(
                              key=key, type=key_type)
        # Each as an UPDATE that takes its row locks itself, and as one that
        # first locks the rows it can, skipping those another transaction holds.
        self._first, self._next, self._keys, self._range = (
            (self._statement(where, order, skip_locked=False), self._statement(where, order, skip_locked=True))
            for where, order in ((sql.SQL("true"), in_order), (after, in_order), (by_keys, None),
                                 (between, None)))
        table = store._table(layout.table)
        self._boundaries = sql.SQL(
            "SELECT {key_text} FROM (SELECT q.{key} AS k, row_number() OVER (ORDER BY q.{key}) AS n"
            " FROM {table} AS q) AS numbered WHERE n %% %(size)s = 0 ORDER BY n").format(
                key=key, table=table, key_text=sql.SQL(self._key_text))

    # -- the statement ---------------------------------------------------

    def _statement(self, where: Any, in_order: Any | None, skip_locked: bool) -> Any:
        sql = self.sql
        store, layout = self.store, self.layout
        table = store._table(layout.table)
        key = sql.Identifier(layout.key)
        stored = ["tier", "action"] + (["retention"] if "retention" in layout.results else [])
        olds = []
        for name in stored:
            column = layout.results[name]
            if column in store._missing:
                olds.append(sql.SQL("NULL::float8" if name == "retention" else "NULL::text"))
            else:
                cast = "float8" if name == "retention" else "text"
                olds.append(sql.SQL("s.{}::" + cast).format(sql.Identifier(column)))
        inputs = [layout.inputs[n] for n in store._fields if n != "recalled_at"] + (
            [layout.recalled_at] if layout.recalled_at is not None else [])
        raw = [sql.SQL("s.{} AS {}").format(sql.Identifier(c), sql.Identifier(f"i{n}"))
               for n, c in enumerate(inputs)]
        arguments = [self._days()] + [self._number(name) for name in NUMBER_FIELDS[1:]]
        flags = [self._flag(name) for name in FLAG_FIELDS]
        while flags and flags[-1] is None:
            flags.pop()
        arguments += [flag if flag is not None else sql.SQL("false") for flag in flags]
        to_write = sql.SQL("changed" if len(stored) == 2 else
                           "(changed OR old_retention IS DISTINCT FROM retention)")
        names = sql.SQL(", ").join(sql.Identifier(f"old_{n}") for n in stored)
        parts: dict[str, Any] = {
            "table": table, "key": key, "where": where, "olds": sql.SQL(", ").join(
                sql.SQL("{} AS {}").format(o, sql.Identifier(f"old_{n}")) for o, n in zip(olds, stored)),
            "raw": sql.SQL("").join(sql.SQL(", {}").format(r) for r in raw),
            "tier": sql.SQL("{}.quillmarrow_tier").format(self.schema),
            "arguments": sql.SQL(", ").join(arguments), "to_write": to_write,
            "names": names,
        }
        # The decision as one composite value per row, its fields read from
        # it once (a composite function in FROM would cost a function scan
        # per row, and its fields in one select list a call each).
        text = [
            "WITH batch AS MATERIALIZED (SELECT *, (d).tier AS tier, (d).action AS action,"
            " (d).retention AS retention, ROW(old_tier, old_action) IS DISTINCT FROM"
            " ROW((d).tier, (d).action) AS changed FROM (SELECT s.{key} AS k, {olds}{raw},"
            " {tier}({arguments}) AS d FROM {table} AS s WHERE {where}{in_order}) AS decided),",
            " todo AS MATERIALIZED (SELECT * FROM batch WHERE tier IS NOT NULL AND {to_write}"
            " AND NOT EXISTS (SELECT 1 FROM batch WHERE tier IS NULL)),",
        ]
        parts["in_order"] = in_order if in_order is not None else sql.SQL(" OFFSET 0")
        if self.dry_run:
            text.append(" fates AS (SELECT *, 'dry' AS fate FROM todo)")
        else:
            sets = sql.SQL(", ").join(sql.SQL("{} = c.{}").format(
                sql.Identifier(layout.results[n]), sql.Identifier(n)) for n in stored)
            compared = sql.SQL(", ").join(sql.SQL("m.{}").format(sql.Identifier(c)) for c in inputs)
            read = sql.SQL(", ").join(sql.Identifier(f"i{n}") for n in range(len(inputs)))
            parts.update(sets=sets, compared=compared, read=read)
            # The compare-and-set: a row is written only if its key and
            # inputs still hold what it was decided from (a row updated
            # meanwhile is compared in its newest version).
            update = (" written AS (UPDATE {table} AS m SET {sets} FROM todo AS c WHERE m.{key} = c.k"
                      + (" AND m.{key} IN (SELECT k FROM locked)" if skip_locked else "")
                      + (" AND ROW({compared}) IS NOT DISTINCT FROM ROW({read})" if inputs else "")
                      + " RETURNING m.{key} AS k),")
            if skip_locked:
                text.append(
                    " locked AS (SELECT m.{key} AS k FROM {table} AS m WHERE m.{key} IN (SELECT k FROM"
                    " todo) FOR NO KEY UPDATE SKIP LOCKED)," + update
                    + " fates AS (SELECT t.*, CASE WHEN w.k IS NOT NULL THEN 'written' WHEN l.k IS NOT"
                    " NULL THEN 'changed' ELSE 'held' END AS fate FROM todo AS t LEFT JOIN written AS w"
                    " USING (k) LEFT JOIN locked AS l USING (k))")
            else:
                text.append(
                    update + " fates AS (SELECT t.*, CASE WHEN w.k IS NOT NULL THEN 'written' ELSE"
                    " 'changed' END AS fate FROM todo AS t LEFT JOIN written AS w USING (k))")
        key_text = sql.SQL(self._key_text)
        parts["key_text"] = key_text
        text.append(
            " SELECT (SELECT count(*) FROM batch), "
            + ("(SELECT {key_text} FROM batch ORDER BY k DESC LIMIT 1)" if in_order is not None
               else "NULL") + ","
            " (SELECT json_agg(json_build_array(old_tier, tier, action, changed, n)) FROM (SELECT"
            " old_tier, tier, action, changed, count(*) AS n FROM batch WHERE tier IS NOT NULL"
            " GROUP BY 1, 2, 3, 4) AS g),"
            " (SELECT json_agg(json_build_array(old_tier, tier, action, changed, fate, n)) FROM (SELECT"
            " old_tier, tier, action, changed, fate, count(*) AS n FROM fates GROUP BY 1, 2, 3, 4, 5)"
            " AS g),"
            " (SELECT json_agg(json_build_array(fate, {key_text})) FROM fates WHERE fate IN"
            " ('changed', 'held')),"
            + (" (SELECT json_agg(json_build_array({key_text}, old_tier, tier, old_action, action,"
               " retention, fate) ORDER BY k) FROM fates WHERE changed)" if self.report else " NULL"))
        return sql.SQL("".join(text)).format(**parts)

    def _days(self) -> Any:
        sql = self.sql
        layout, store = self.layout, self.store
        if layout.recalled_at is None:
            return self._number("days_since_recall")
        column = sql.Identifier("s", layout.recalled_at)
        kind = store._input_kinds[-1]
        if kind in _TIME_KINDS:
            return sql.SQL("{}.quillmarrow_days_since({}, %(now)s::timestamptz, %(skew)s::interval)").format(
                self.schema, column)
        if kind not in _NUMBER_KINDS:
            raise _refused(layout.recalled_at, store._types[layout.recalled_at],
                           "recall times in a timestamp, date or number column")
        # The engine's rule in double precision: a time after now is day 0
        # within the skew, beyond it a row the server leaves undecided (NULL).
        seconds = sql.SQL("({}::float8 / %(divisor)s::float8)").format(column)
        return sql.SQL(
            "CASE WHEN {r} - %(now_seconds)s::float8 > 0 THEN CASE WHEN {r} - %(now_seconds)s::float8"
            " <= %(skew_seconds)s::float8 THEN 0::float8 END"
            " ELSE (%(now_seconds)s::float8 - {r}) / 86400::float8 END").format(r=seconds)

    def _number(self, name: str) -> Any:
        column = self.layout.inputs[name]
        kind = self.store._input_kinds[self.store._fields.index(name)]
        if kind not in _NUMBER_KINDS:
            raise _refused(column, self.store._types[column], "numbers")
        return self.sql.SQL("s.{}::float8").format(self.sql.Identifier(column))

    def _flag(self, name: str) -> Any | None:
        if name not in self.layout.inputs:
            return None
        column = self.layout.inputs[name]
        kind = self.store._input_kinds[self.store._fields.index(name)]
        ident = self.sql.Identifier("s", column)
        if kind == "bool":
            return ident
        if kind in _INTEGER_KINDS:
            return self.sql.SQL("CASE {} WHEN 0 THEN false WHEN 1 THEN true END").format(ident)
        raise _refused(column, self.store._types[column], "flags in a boolean or integer column")

    # -- running it ------------------------------------------------------

    def scan(self, after: Any, size: int) -> ServerBatch | None:
        """The batch of up to size rows after key `after` (None: the first);
        None when the server cannot decide one of them."""
        statements = self._first if after is None else self._next
        return self._run(statements, {"after": after, "size": size}, _BRIEF_WAIT)

    def boundaries(self, size: int) -> list[Any]:
        """The keys that end batches of `size` rows in key order: every
        size-th key. The batches are the ranges between them, and after the
        last (to take the rows inserted meanwhile too)."""
        with self.store.conn.cursor() as cur:
            cur.execute(self._boundaries, {"size": size})
            return [key for (key,) in cur.fetchall()]

    def scan_range(self, low: Any, high: Any, conn: Any = None) -> ServerBatch | None:
        """The batch of the rows after key low and up to key high (None: no
        bound), on conn (another connection of the run) or the run's own."""
        return self._run(self._range, {"low": low, "high": high}, _BRIEF_WAIT, conn, prepare=False)

    def rows(self, keys: Sequence[Any], wait: float = 0.0) -> ServerBatch | None:
        """The rows of keys, read again; a row another transaction holds is
        waited for up to `wait` seconds (at least a moment)."""
        params = {"keys": self.store._literal(self.store._key_kind, keys)}
        return self._run(self._keys, params, max(wait, _BRIEF_WAIT))

    def _run(self, statements: tuple[Any, Any], params: dict[str, Any], wait: float, conn: Any = None,
             prepare: bool | None = None) -> ServerBatch | None:
        """The batch decided and written by the UPDATE that takes its row
        locks itself, waiting for a held row up to `wait` seconds; past
        that, by the one that skips the rows other transactions hold. None
        when the server refuses or cannot decide a row of the batch."""
        psycopg = self.store.psycopg
        conn = conn or self.store.conn
        params = {**self._params, **params}
        row = None
        try:
            with conn.transaction(), conn.cursor() as cur:  # a savepoint: a refused row undoes only this
                if self.dry_run:
                    cur.execute(statements[0], params, prepare=prepare)
                    row = cur.fetchone()
                else:
                    try:
                        with conn.transaction():
                            cur.execute(f"SELECT set_config('lock_timeout', '{_milliseconds(wait)}', true)"
                                        .encode())
                            cur.execute(statements[0], params, prepare=prepare)
                            row = cur.fetchone()
                    except psycopg.errors.LockNotAvailable:
                        pass  # a row held: skipped, and tried again at the end
                    cur.execute(f"SELECT set_config('lock_timeout', '{self.store._lock_timeout}', true)"
                                .encode())
                    if row is None:
                        cur.execute(statements[1], params, prepare=prepare)
                        row = cur.fetchone()
        except psycopg.DataError:
            return None  # NaN, infinity, a time too far ahead: the client-side run names it
        rows, last, decided, to_write, keys, changes = row
        if decided is None and rows:
            return None  # every row undecided
        batch = ServerBatch(rows=rows, after=last if rows == params.get("size") else None)
        batch.decided = [tuple(g) for g in decided or []]
        if sum(g[4] for g in batch.decided) != rows:
            return None  # a row the server could not decide
        batch.to_write = [tuple(g) for g in to_write or []]
        batch.keys = {CHANGED: [], HELD: []}
        for fate, key in keys or []:
            batch.keys[fate].append(key)
        batch.changes = [tuple(c) for c in changes or []]
        return batch


def _refused(column: str, kind: str, wanted: str) -> RetierError:
    return RetierError(f"--in-database reads {wanted}; column {column!r} is {kind}: change its type,"
                       " or run without --in-database")


# How long a batch's UPDATE may wait for a row another transaction holds (an
# application's update in flight) before the batch skips the held rows.
_BRIEF_WAIT = 0.05


def _milliseconds(seconds: float) -> str:
    return f"{max(1, round(seconds * 1000))}ms"
