"""Reading and writing a PostgreSQL table for a re-tiering run (psycopg 3).

Rows are read in key order, a batch per statement (`WHERE key > last ORDER
BY key LIMIT n`, through the key's unique index), so no cursor or snapshot
stays open between batches. A batch's decisions are written in a short
transaction that takes nothing stronger than the row locks a plain UPDATE
takes: it locks the rows to write with `SELECT ... FOR NO KEY UPDATE SKIP
LOCKED`, reading their key and input columns again, and updates only those
that still hold the values read (one `UPDATE ... FROM unnest(...)`). A row
another transaction holds is skipped at once, or, when the write may wait,
waited for under `lock_timeout` in a savepoint of its own. Where the columns
have a fixed width, the batch is first tried as one UPDATE that compares the
input columns itself and returns the keys it wrote; a row held for more than
a moment undoes it (a savepoint), and the batch goes the way above. Every transaction
sets `lock_timeout` locally, so a table lock held elsewhere (a migration's
ALTER TABLE) stops the run with a clear error instead of queueing it, and
queued behind it, the application.

Keys are read as text (numbers as numbers), the form psql shows them in,
and go back to the server cast to the key's own type.

Where every column read has a fixed width (a uuid or integer key, number,
boolean and timestamp columns), a batch comes back as one binary string of
packed rows, read straight into NumPy arrays (pg_binary.py), the tier and
action as codes into the engine's names; NULLs, NaNs and other bad values are stood in for by sentinels, and a
batch that holds any is read again row by row, so that its messages are
exactly those of the row-by-row road.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from .._optional import require
from ..errors import RetierError
from ..fields import ACTIONS, FIELDS, FLAG_FIELDS, TIERS
from .model import Batch, Decisions, Layout, Store, Written
from .pg_binary import TYPES, UuidTexts, parse_rows

_NUMERIC_TYPES = {
    "smallint", "integer", "bigint", "real", "double precision", "numeric",
}
_INTEGER_TYPES = {"smallint", "integer", "bigint"}
_TIME_TYPES = {"timestamp with time zone", "timestamp without time zone", "date"}


def _psycopg() -> Any:
    return require("psycopg", "postgres", "re-tiering a PostgreSQL table")


def is_connection(value: Any) -> bool:
    try:
        import psycopg
    except ImportError:
        return False
    return isinstance(value, psycopg.Connection)


class PostgresStore(Store):
    def __init__(self, conn: Any, owned: bool) -> None:
        self.psycopg = _psycopg()
        self.sql = self.psycopg.sql
        self.conn = conn
        self.owned = owned
        self.name = "PostgreSQL"
        self.errors = (self.psycopg.Error,)
        self._types: dict[str, str] = {}
        self._lock_timeout = "5s"
        self._settings: list[tuple[str, str]] = []

    @classmethod
    def connect(cls, url: str) -> PostgresStore:
        psycopg = _psycopg()
        options = {}
        if "application_name" not in psycopg.conninfo.conninfo_to_dict(url):
            options["application_name"] = "quillmarrow-engine retier"  # for pg_stat_activity
        try:
            # Autocommit between the run's transactions: no statement leaves
            # one open (and its snapshot and locks held) by accident.
            conn = psycopg.connect(url, autocommit=True, **options)
        except psycopg.Error as exc:
            raise RetierError(f"cannot connect to PostgreSQL: {exc}".rstrip()) from None
        return cls(conn, owned=True)

    def close(self) -> None:
        if self.owned:
            self.conn.close()

    @staticmethod
    def fold(name: str) -> str:
        return name  # quoted identifiers: exact names

    # -- transactions ------------------------------------------------------

    def configure(self, lock_timeout: float) -> None:
        self._lock_timeout = _milliseconds(lock_timeout)
        self._settings = [("lock_timeout", self._lock_timeout)]
        if self.conn.info.server_version >= 140000:
            # A client that goes away mid-statement (killed, its machine lost)
            # is noticed within a second, not when the statement ends.
            self._settings.append(("client_connection_check_interval", "1s"))

    @contextmanager
    def transaction(self, write: bool) -> Iterator[None]:
        # A transaction of our own, or a savepoint inside the caller's.
        with self.conn.transaction() as tx:
            with self.conn.cursor() as cur:
                if not write and tx.savepoint_name is None:
                    cur.execute("SET TRANSACTION READ ONLY")
                for name, value in self._settings:
                    cur.execute("SELECT set_config(%s, %s, true)", (name, value))
            yield

    def timeout_kind(self, exc: BaseException) -> str | None:
        errors = self.psycopg.errors
        if isinstance(exc, errors.LockNotAvailable):
            return "lock"
        if isinstance(exc, errors.QueryCanceled) and "statement timeout" in str(exc):
            return "statement"
        return None

    # -- layout ------------------------------------------------------------

    def _table(self, table: str) -> Any:
        # SCHEMA.NAME or NAME (found on the search path), each part quoted.
        parts = table.split(".", 1)
        return self.sql.Identifier(*parts)

    def columns(self, table: str) -> set[str]:
        regclass = self._table(table).as_string(self.conn)
        with self.transaction(write=False), self.conn.cursor() as cur:
            cur.execute("SELECT to_regclass(%s)", (regclass,))
            (oid,) = cur.fetchone()
            if oid is None:
                raise RetierError(f"no table {table!r} in the database")
            cur.execute(
                "SELECT attname, format_type(atttypid, NULL), format_type(atttypid, atttypmod),"
                " attnum FROM pg_attribute"
                " WHERE attrelid = %s::regclass AND attnum > 0 AND NOT attisdropped",
                (regclass,),
            )
            rows = cur.fetchall()
            cur.execute(
                "SELECT indkey[0] FROM pg_index WHERE indrelid = %s::regclass AND indisunique"
                " AND indnkeyatts = 1 AND indpred IS NULL AND indexprs IS NULL",
                (regclass,),
            )
            self._unique = {attnum for (attnum,) in cur.fetchall()}
        self._types = {name: kind for name, kind, _, _ in rows}
        self._full_types = {name: full for name, _, full, _ in rows}
        self._attnums = {name: attnum for name, _, _, attnum in rows}
        return set(self._types)

    def add_columns(self, layout: Layout, columns: list[tuple[str, str]]) -> None:
        types = {"tier": "text", "action": "text", "retention": "double precision"}
        with self.conn.cursor() as cur:
            for result, column in columns:
                cur.execute(
                    self.sql.SQL("ALTER TABLE {} ADD COLUMN {} {}").format(
                        self._table(layout.table), self.sql.Identifier(column),
                        self.sql.SQL(types[result]),
                    )
                )
                self._types[column] = types[result]

    def prepare(self, layout: Layout, missing: list[str]) -> None:
        sql = self.sql
        column = sql.Identifier
        if self._attnums.get(layout.key) not in self._unique:
            raise RetierError(
                f"column {layout.key!r} of table {layout.table!r} is not unique (no primary key or"
                " unique index on it alone): rows are found again by their key; name a unique"
                " column with --key, or add a unique index"
            )
        key = column(layout.key)
        self._key_type = sql.SQL(self._full_types[layout.key])
        numeric_key = self._types[layout.key] in _INTEGER_TYPES
        key_text = key if numeric_key else sql.SQL("{}::text").format(key)
        self._stored = ["tier", "action"] + (["retention"] if "retention" in layout.results else [])
        results = [
            sql.SQL("NULL") if layout.results[r] in missing else column(layout.results[r])
            for r in self._stored
        ]
        inputs, fields = [], []
        for name in FIELDS:
            if name in layout.inputs:
                inputs.append(self._number(layout.inputs[name], flag=name in FLAG_FIELDS))
                fields.append(name)
        if layout.recalled_at is not None:
            inputs.append(self._seconds(layout.recalled_at))
            fields.append("recalled_at")
        self._fields = fields
        table = self._table(layout.table)
        select = sql.SQL(", ").join([key_text, *results, *inputs])
        parts = {"select": select, "table": table, "key": key, "type": self._key_type}
        # The key qualified, so that ORDER BY means the column (and its index),
        # not the text of the same name in the select list.
        order = sql.SQL("q.{}").format(key)
        self._first = sql.SQL("SELECT {select} FROM {table} AS q ORDER BY {order} LIMIT %s").format(
            order=order, **parts)
        self._next = sql.SQL(
            "SELECT {select} FROM {table} AS q WHERE {order} > %s::{type} ORDER BY {order} LIMIT %s"
        ).format(order=order, **parts)
        self._packed = self._binary_select(layout, missing, order)
        self._compared_update = self._compare_and_set(layout) if self._packed is not None else None
        self._by_key = sql.SQL("SELECT {select} FROM {table} WHERE {key} = ANY(%s::{type}[])").format(
            **parts
        )
        compared = sql.SQL(", ").join([key_text, *inputs])
        lock = "SELECT {compared} FROM {table} WHERE {key} = ANY(%s::{type}[]) FOR NO KEY UPDATE"
        self._lock = sql.SQL(lock + " SKIP LOCKED").format(compared=compared, **parts)
        self._lock_waiting = sql.SQL(lock).format(compared=compared, **parts)
        self._present = sql.SQL("SELECT {key_text} FROM {table} WHERE {key} = ANY(%s::{type}[])").format(
            key_text=key_text, **parts
        )
        sets = sql.SQL(", ").join(
            sql.SQL("{} = v.{}").format(column(layout.results[r]), column(r)) for r in self._stored
        )
        arrays = [sql.SQL("%s::{}[]").format(self._key_type), sql.SQL("%s::text[]"), sql.SQL("%s::text[]")]
        if len(self._stored) == 3:
            arrays.append(sql.SQL("%s::float8[]"))
        self._update = sql.SQL(
            "UPDATE {table} AS t SET {sets} FROM unnest({arrays}) AS v(key, {names})"
            " WHERE t.{key} = v.key"
        ).format(
            table=table, sets=sets, arrays=sql.SQL(", ").join(arrays), key=key,
            names=sql.SQL(", ").join(column(r) for r in self._stored),
        )

    def _binary_select(self, layout: Layout, missing: list[str], order: Any) -> Any:
        """The two SELECTs (the first batch, the ones after) that give a batch as
        (row count, packed rows), or None when a column is not of fixed width."""
        sql = self.sql
        kinds = self._types
        if kinds[layout.key] not in ("smallint", "integer", "bigint", "uuid"):
            return None
        nan = sql.SQL("'NaN'::float8")
        exprs = [sql.SQL("q.{}").format(sql.Identifier(layout.key))]
        fields = [("key", kinds[layout.key])]
        for result, names in (("tier", TIERS), ("action", ACTIONS)):
            column = layout.results[result]
            if column in missing:
                exprs.append(sql.SQL("(-1)::smallint"))
            else:
                # A code into the engine's names; -1 for NULL, -2 for any other text.
                exprs.append(sql.SQL(
                    "(CASE WHEN {c} IS NULL THEN -1 ELSE coalesce(array_position({names}, {c}::text) - 1,"
                    " -2) END)::smallint").format(c=sql.Identifier(column), names=sql.Literal(list(names))))
            fields.append((result, "smallint"))
        if "retention" in layout.results:
            column = layout.results["retention"]
            if column not in missing and kinds.get(column) not in _NUMERIC_TYPES:
                return None
            exprs.append(nan if column in missing else sql.SQL("coalesce({}::float8, {})").format(
                sql.Identifier(column), nan))
            fields.append(("retention", "double precision"))
        for name in self._fields:
            column = layout.inputs.get(name) or layout.recalled_at or ""
            kind = kinds.get(column, "")
            ident = sql.Identifier(column)
            if name in FLAG_FIELDS:
                if kind == "boolean":
                    exprs.append(sql.SQL("coalesce({}::integer, -1)").format(ident))
                elif kind in ("smallint", "integer", "bigint"):
                    exprs.append(sql.SQL("(CASE WHEN {c} IN (0, 1) THEN {c}::integer WHEN {c} IS NULL"
                                         " THEN -1 ELSE 2 END)").format(c=ident))
                else:
                    return None
                fields.append((name, "integer"))
            else:
                if kind not in _NUMERIC_TYPES and not (name == "recalled_at" and kind in _TIME_TYPES):
                    return None
                read = self._seconds(column) if name == "recalled_at" else self._number(column, False)
                exprs.append(sql.SQL("coalesce({}, {})").format(read, nan))
                fields.append((name, "double precision"))
        self._binary_fields = fields
        packed = sql.SQL(" || ").join(
            sql.SQL("{}({})").format(sql.SQL(TYPES[kind][0]), expr) for expr, (_, kind) in zip(exprs, fields))
        key = sql.Identifier(layout.key)
        inner = sql.SQL("SELECT q.{key} AS k, {packed} AS r FROM {table} AS q").format(
            key=key, packed=packed, table=self._table(layout.table))
        pages = sql.SQL("SELECT count(*), string_agg(b.r, ''::bytea ORDER BY b.k) FROM ({inner}{where}"
                        " ORDER BY q.{key} LIMIT %s) AS b")
        return (pages.format(inner=inner, where=sql.SQL(""), key=key),
                pages.format(inner=inner, where=sql.SQL(" WHERE q.{} > %s::{}").format(key, self._key_type),
                             key=key))

    def _compare_and_set(self, layout: Layout) -> Any:
        """One UPDATE that writes each decision whose row still holds the values
        read, and returns the keys it wrote (for fixed-width columns, the ones
        the packed read takes)."""
        sql = self.sql
        names = ["key", *self._stored]
        arrays = [sql.SQL("%s::{}[]").format(self._key_type), sql.SQL("%s::text[]"), sql.SQL("%s::text[]")]
        if "retention" in self._stored:
            arrays.append(sql.SQL("%s::float8[]"))
        compared = []
        for n, name in enumerate(self._fields):
            value = sql.SQL("v.{}").format(sql.Identifier(f"input_{n}"))
            names.append(f"input_{n}")
            if name in FLAG_FIELDS:
                column = sql.SQL("{}::integer").format(sql.Identifier("t", layout.inputs[name]))
                arrays.append(sql.SQL("%s::integer[]"))
            else:
                column = (self._seconds(layout.recalled_at or "", "t") if name == "recalled_at"
                          else self._number(layout.inputs[name], False, "t"))
                arrays.append(sql.SQL("%s::float8[]"))
            compared.append(sql.SQL("{} = {}").format(column, value))
        key = sql.Identifier("t", layout.key)
        sets = sql.SQL(", ").join(
            sql.SQL("{} = v.{}").format(sql.Identifier(layout.results[r]), sql.Identifier(r))
            for r in self._stored
        )
        key_text = key if self._types[layout.key] in _INTEGER_TYPES else sql.SQL("{}::text").format(key)
        return sql.SQL(
            "UPDATE {table} AS t SET {sets} FROM unnest({arrays}) AS v({names})"
            " WHERE {key} = v.key AND {compared} RETURNING {key_text}"
        ).format(
            table=self._table(layout.table), sets=sets, arrays=sql.SQL(", ").join(arrays),
            names=sql.SQL(", ").join(map(sql.Identifier, names)), key=key,
            compared=sql.SQL(" AND ").join(compared), key_text=key_text,
        )

    def _number(self, name: str, flag: bool, alias: str | None = None) -> Any:
        kind = self._types.get(name, "")
        ident = self.sql.Identifier(*([alias] if alias else []), name)
        if not flag and kind in _NUMERIC_TYPES:
            # Read as double precision: the nearest double, as float(Decimal) gives.
            return self.sql.SQL("{}::float8").format(ident)
        return ident

    def _seconds(self, name: str, alias: str | None = None) -> Any:
        kind = self._types.get(name, "")
        ident = self.sql.Identifier(*([alias] if alias else []), name)
        if kind in _TIME_TYPES:
            # Unix seconds; a timestamp without time zone (or a date) is taken as UTC.
            # date_part: the double nearest the microseconds / 10^6, as extract()::float8 gives.
            return self.sql.SQL("date_part('epoch', {})").format(ident)
        if kind in _NUMERIC_TYPES:
            return self.sql.SQL("{}::float8").format(ident)
        return ident  # text: ISO-8601, parsed by the caller

    def count(self, layout: Layout) -> int:
        with self.transaction(write=False), self.conn.cursor() as cur:
            cur.execute(self.sql.SQL("SELECT count(*) FROM {}").format(self._table(layout.table)))
            (n,) = cur.fetchone()
        return int(n)

    # -- rows --------------------------------------------------------------

    def read_batch(self, layout: Layout, after: Any, size: int) -> Batch:
        if self._packed is not None:
            batch = self._read_binary(layout, after, size)
            if batch is not None:
                return batch
        with self.conn.cursor() as cur:
            if after is None:
                cur.execute(self._first, (size,))
            else:
                cur.execute(self._next, (after, size))
            rows = cur.fetchall()
        batch = self._batch(rows)
        batch.after = rows[-1][0] if len(rows) == size else None
        return batch

    def _read_binary(self, layout: Layout, after: Any, size: int) -> Batch | None:
        """The batch as packed rows; None when it holds a value that the
        row-by-row road must name (a NULL, a NaN, a flag not 0 or 1, a tier
        or action the engine does not write)."""
        import numpy as np

        first, following = self._packed
        with self.conn.cursor(binary=True) as cur:
            if after is None:
                cur.execute(first, (size,))
            else:
                cur.execute(following, (after, size))
            count, data = cur.fetchone()
        rows = parse_rows(data, self._binary_fields, count)
        if rows is None:
            return None
        values: dict[str, Any] = {}
        for name, kind in self._binary_fields[3 + ("retention" in layout.results):]:
            column = rows[name].astype(np.float64 if kind == "double precision" else np.int32)
            if kind == "double precision" and not np.isfinite(column).all():
                return None
            if kind == "integer" and ((column != 0) & (column != 1)).any():
                return None
            values[name] = column
        tier, action = rows["tier"].astype(np.int32), rows["action"].astype(np.int32)
        if (tier == -2).any() or (action == -2).any():
            return None
        keys: Sequence[Any]
        if self._types[layout.key] == "uuid":
            keys = UuidTexts(rows["key"])
        else:
            keys = rows["key"].astype(np.int64).tolist()
        batch = Batch(
            keys=keys,
            handles=keys,
            old_tier=tier,
            old_action=action,
            old_retention=rows["retention"].astype(np.float64) if "retention" in layout.results else None,
            values=values,
        )
        batch.after = keys[len(keys) - 1] if len(keys) == size else None
        return batch

    def read_rows(self, layout: Layout, handles: Sequence[Any]) -> Batch:
        with self.conn.cursor() as cur:
            cur.execute(self._by_key, (list(handles),))
            return self._batch(cur.fetchall())

    def _batch(self, rows: list[Any]) -> Batch:
        n = len(self._stored)
        columns = list(zip(*rows)) or [()] * (1 + n + len(self._fields))
        return Batch(
            keys=columns[0],
            handles=columns[0],
            old_tier=columns[1],
            old_action=columns[2],
            old_retention=columns[3] if n == 3 else None,
            values=dict(zip(self._fields, columns[1 + n :])),
        )

    def write_batch(self, layout: Layout, batch: Batch, decisions: Decisions,
                    wait: float = 0.0) -> Written:
        if self._compared_update is not None and wait == 0:
            done = self._write_compared(batch, decisions)
            if done is not None:
                return done
        by_key = {batch.handles[i]: j for j, i in enumerate(decisions.rows)}
        with self.conn.cursor() as cur:
            cur.execute(self._lock, (list(by_key),))
            current = {row[0]: tuple(row) for row in cur.fetchall()}
            held = [k for k in by_key if k not in current]
            present: set[Any] = set()
            if held and wait > 0:
                current.update(self._wait_for(cur, held, wait))
                held = [k for k in held if k not in current]
            if held:
                # Not locked by us: held by another transaction, or gone.
                cur.execute(self._present, (held,))
                present = {row[0] for row in cur.fetchall()}
            done = Written()
            write = []
            for key, j in by_key.items():
                i = decisions.rows[j]
                now = current.get(key)
                if now is None:
                    (done.locked if key in present else done.deleted).append(i)
                elif now != batch.read_values(i):
                    done.changed.append(i)
                else:
                    done.written.append(i)
                    write.append(j)
            if write:
                params = [
                    [batch.handles[decisions.rows[j]] for j in write],
                    [decisions.tiers[j] for j in write],
                    [decisions.actions[j] for j in write],
                ]
                if decisions.retentions is not None:
                    params.append([decisions.retentions[j] for j in write])
                cur.execute(self._update, params)
                if cur.rowcount != len(write):
                    raise RetierError(
                        f"{len(write):,} rows were locked for writing but {cur.rowcount:,} updated"
                    )
        return done

    def _write_compared(self, batch: Batch, decisions: Decisions) -> Written | None:
        """The decisions written by one UPDATE that compares and sets; None
        when a row was held by another transaction for more than a moment
        (the statement then undone, for the batch to lock row by row)."""
        rows = decisions.rows
        keys = [batch.handles[i] for i in rows]
        params: list[list[Any]] = [keys, decisions.tiers, decisions.actions]
        if decisions.retentions is not None:
            params.append(decisions.retentions)
        for name in self._fields:
            column = batch.values[name]
            convert = int if name in FLAG_FIELDS else float
            params.append([convert(column[i]) for i in rows])
        try:
            with self.conn.transaction(), self.conn.cursor() as cur:  # a savepoint
                cur.execute("SELECT set_config('lock_timeout', %s, true)", (_BRIEF_WAIT,))
                cur.execute(self._compared_update, params)
                written = {row[0] for row in cur.fetchall()}
                cur.execute("SELECT set_config('lock_timeout', %s, true)", (self._lock_timeout,))
                missing = [k for k in keys if k not in written]
                present: set[Any] = set()
                if missing:
                    cur.execute(self._present, (missing,))
                    present = {row[0] for row in cur.fetchall()}
        except self.psycopg.errors.LockNotAvailable:
            return None
        done = Written()
        for key, i in zip(keys, rows):
            if key in written:
                done.written.append(i)
            else:
                (done.changed if key in present else done.deleted).append(i)
        return done

    def _wait_for(self, cur: Any, keys: list[Any], wait: float) -> dict[Any, tuple[Any, ...]]:
        """Locks each of keys, waiting up to `wait` seconds in all; the rows got."""
        import time

        got: dict[Any, tuple[Any, ...]] = {}
        deadline = time.monotonic() + wait
        for key in keys:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                with self.conn.transaction():  # a savepoint: a timeout undoes only this wait
                    cur.execute("SELECT set_config('lock_timeout', %s, true)", (_milliseconds(left),))
                    cur.execute(self._lock_waiting, ([key],))
                    got.update((row[0], tuple(row)) for row in cur.fetchall())
            except self.psycopg.errors.LockNotAvailable:
                continue
        cur.execute("SELECT set_config('lock_timeout', %s, true)", (self._lock_timeout,))
        return got


# How long one compare-and-set UPDATE may wait for a row another transaction
# holds (an application's update in flight) before the batch locks its rows
# one by one, skipping those held.
_BRIEF_WAIT = "50ms"


def _milliseconds(seconds: float) -> str:
    return f"{max(1, round(seconds * 1000))}ms"
