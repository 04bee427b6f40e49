"""Reading and writing a PostgreSQL table for a re-tiering run (psycopg 3).

Rows are read in key order, a batch per statement (`WHERE key > last ORDER
BY key LIMIT n`, through the key's unique index), so no cursor or snapshot
stays open between batches. The statement aggregates each column it reads
into one array, sent in binary and read straight into NumPy (pg_binary.py):
numbers, booleans and uuids as they are stored, timestamps and dates as
microseconds, the stored tier and action as codes into the engine's names
(their texts only for a batch holding a name the engine does not write),
and any other type as text, for the run to name what is wrong with it.

A batch's decisions are written in a short transaction that takes nothing
stronger than the row locks a plain UPDATE takes: one UPDATE that compares
each row's key and input columns with the values read and sets only those
that still hold them, returning the keys it wrote. If a row is held by
another transaction for more than a moment, the statement is undone (a
savepoint) and the batch locks its rows first with `SELECT ... FOR NO KEY
UPDATE SKIP LOCKED`, skipping the held ones (or, when the write may wait,
waiting for them under `lock_timeout`, each in a savepoint of its own), and
compares and sets the locked ones. Every transaction sets `lock_timeout`
locally, so a table lock held elsewhere (a migration's ALTER TABLE) stops
the run with a clear error instead of queueing it, and queued behind it,
the application.

Keys are shown as psql shows them (integers as numbers, anything else as
its text) and go back to the server cast to the key's own type.
"""

from __future__ import annotations

import functools
import queue
import threading
from collections.abc import Iterable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from typing import Any

from .._optional import require
from ..errors import RetierError
from ..fields import ACTIONS, FIELDS, FLAG_FIELDS, TIERS
from .model import Batch, Decisions, Layout, Store, Written
from .pg_binary import ARRAY_OIDS, ArrayError, UuidTexts, parse_array

# How a column of each type is read: the kind of its array (pg_binary.KINDS).
# numeric is read as double precision (its nearest double); any other type
# as text.
_KINDS = {
    "smallint": "int2", "integer": "int4", "bigint": "int8", "real": "float4",
    "double precision": "float8", "numeric": "float8", "boolean": "bool", "uuid": "uuid",
    "timestamp with time zone": "timestamptz", "timestamp without time zone": "timestamp",
    "date": "date",
}
_INTEGER_KINDS = ("int2", "int4", "int8")
_NUMBER_KINDS = (*_INTEGER_KINDS, "float4", "float8")
_TIME_KINDS = ("timestamptz", "timestamp", "date")
# Beside numbers, what a flag and the recall times may be read as.
_ROLE_KINDS = {"is_procedural": ("bool",), "keep_forever": ("bool",), "recalled_at": _TIME_KINDS}
# The SQL type of an array of values of each kind passed back for a compare.
_PARAM_TYPES = {"int2": "int8", "int4": "int8", "int8": "int8", "float4": "float8",
                "float8": "float8", "bool": "boolean", "text": "text", "uuid": "uuid",
                "timestamptz": "numeric", "timestamp": "numeric", "date": "numeric"}


def _psycopg() -> Any:
    return require("psycopg", "postgres", "re-tiering a PostgreSQL table")


APPLICATION_NAME = "quillmarrow-engine retier"  # how pg_stat_activity shows the run


def _connect(url: str, name: str = APPLICATION_NAME) -> Any:
    psycopg = _psycopg()
    options = {}
    if "application_name" not in psycopg.conninfo.conninfo_to_dict(url):
        options["application_name"] = name
    try:
        # Autocommit between the run's transactions: no statement leaves
        # one open (and its snapshot and locks held) by accident.
        return psycopg.connect(url, autocommit=True, **options)
    except psycopg.Error as exc:
        raise RetierError(f"cannot connect to PostgreSQL: {exc}".rstrip()) from None


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
        self._url: str | None = None  # how to open a second connection (one opened here)

    @classmethod
    def connect(cls, url: str) -> PostgresStore:
        store = cls(_connect(url), owned=True)
        store._url = url
        return store

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
    def transaction(self, write: bool, conn: Any = None) -> Iterator[None]:
        # A transaction of our own, or a savepoint inside the caller's; its
        # settings in one round trip (the values are ours: durations). conn:
        # another connection of the run (open_connection), else its own.
        conn = conn or self.conn
        settings = ", ".join(f"set_config('{name}', '{value}', true)" for name, value in self._settings)
        with conn.transaction() as tx:
            with conn.cursor() as cur:
                read_only = "SET TRANSACTION READ ONLY; " if not write and tx.savepoint_name is None else ""
                cur.execute(f"{read_only}SELECT {settings}".encode())
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
        if self._attnums.get(layout.key) not in self._unique:
            raise RetierError(
                f"column {layout.key!r} of table {layout.table!r} is not unique (no primary key or"
                " unique index on it alone): rows are found again by their key; name a unique"
                " column with --key, or add a unique index"
            )
        key = sql.Identifier(layout.key)
        self._missing = list(missing)
        self._key_type = sql.SQL(self._full_types[layout.key])
        self._key_kind = self._kind(layout.key, ("uuid", *_INTEGER_KINDS))
        self._stored = ["tier", "action"] + (["retention"] if "retention" in layout.results else [])
        self._fields = [name for name in FIELDS if name in layout.inputs]
        columns = [layout.inputs[name] for name in self._fields]
        if layout.recalled_at is not None:
            self._fields.append("recalled_at")
            columns.append(layout.recalled_at)
        self._input_kinds = [self._kind(column, _NUMBER_KINDS + _ROLE_KINDS.get(name, ()))
                             for name, column in zip(self._fields, columns)]
        if layout.recalled_at is not None and self._input_kinds[-1] in _TIME_KINDS:
            layout.recalled_counts = "us"
        table = self._table(layout.table)

        def read(column: str, kind: str, alias: str) -> Any:
            ident = sql.Identifier(alias, column)
            if kind == "text" and self._types[column] != "text":
                return sql.SQL("{}::text").format(ident)
            if kind == "float8" and self._types[column] != "double precision":
                return sql.SQL("{}::float8").format(ident)
            return ident

        results = []
        self._result_kinds = []
        for result in self._stored:
            column = layout.results[result]
            kind = "text" if result != "retention" else (
                "float8" if column in missing else self._kind(column, _NUMBER_KINDS))
            self._result_kinds.append(kind)
            if column in missing:
                results.append(sql.SQL("NULL::float8" if result == "retention" else "NULL::text"))
            else:
                results.append(read(column, kind, "q"))
        inputs = [read(column, kind, "q") for column, kind in zip(columns, self._input_kinds)]
        codes = [self._code(result, layout.results[result], missing) for result in ("tier", "action")]
        key_read = read(layout.key, self._key_kind, "q")
        self._kinds = [self._key_kind, "int2", "int2", *self._result_kinds[2:], *self._input_kinds]
        self._name_kinds = [self._key_kind, *self._result_kinds, *self._input_kinds]

        def select(reads: list[Any], where: str, limit: bool) -> Any:
            named = sql.SQL(", ").join(sql.SQL("{} AS {}").format(r, sql.Identifier(f"c{i}"))
                                       for i, r in enumerate(reads))
            arrays = sql.SQL(", ").join(sql.SQL("array_agg({})").format(sql.Identifier(f"c{i}"))
                                        for i in range(len(reads)))
            return sql.SQL(
                "SELECT count(*), {arrays} FROM (SELECT {named} FROM {table} AS q" + where
                + " ORDER BY q.{key}" + (" LIMIT %s" if limit else "") + ") AS b"
            ).format(arrays=arrays, named=named, table=table, key=key, type=self._key_type)

        # A batch with its stored results as codes, and (for a batch holding
        # a name the engine does not write) with them as texts.
        coded = [key_read, *codes, *results[2:], *inputs]
        named = [key_read, *results, *inputs]
        after = " WHERE q.{key} > %s::{type}"
        by_key = " WHERE q.{key} = ANY(%s::{type}[])"
        self._first = (select(coded, "", True), select(named, "", True))
        self._next = (select(coded, after, True), select(named, after, True))
        self._by_key = (select(coded, by_key, False), select(named, by_key, False))
        # A range of keys, either bound absent (NULL): a batch the run in the
        # database leaves to the client.
        between = (" WHERE (%s::{type} IS NULL OR q.{key} > %s::{type})"
                   " AND (%s::{type} IS NULL OR q.{key} <= %s::{type})")
        self._range = (select(coded, between, False), select(named, between, False))

        key_text = key if self._key_kind in _INTEGER_KINDS else sql.SQL("{}::text").format(key)
        parts = {"table": table, "key": key, "type": self._key_type, "key_text": key_text}
        lock = "SELECT {key_text} FROM {table} WHERE {key} = ANY(%s::{type}[]) FOR NO KEY UPDATE"
        self._lock = sql.SQL(lock + " SKIP LOCKED").format(**parts)
        self._lock_waiting = sql.SQL(lock).format(**parts)
        self._present = sql.SQL("SELECT {key_text} FROM {table} WHERE {key} = ANY(%s::{type}[])").format(
            **parts)
        self._compared_update = self._compare_and_set(layout, columns, read)

    def _kind(self, column: str, allowed: tuple[str, ...]) -> str:
        """How a column is read: its type's own kind when the role takes it, else text."""
        kind = _KINDS.get(self._types.get(column, ""), "text")
        return kind if kind in allowed else "text"

    def _code(self, result: str, column: str, missing: list[str]) -> Any:
        """The stored tier or action as a code into the engine's names: -1 for
        NULL, -2 for any other text."""
        sql = self.sql
        if column in missing:
            return sql.SQL("(-1)::smallint")
        names = TIERS if result == "tier" else ACTIONS
        ident = sql.Identifier("q", column)
        whens = sql.SQL(" ").join(sql.SQL("WHEN {} THEN {}").format(sql.Literal(name), sql.Literal(code))
                                  for code, name in enumerate(names))
        return sql.SQL("(CASE {c}::text {whens} ELSE CASE WHEN {c} IS NULL THEN -1 ELSE -2 END END)"
                       "::smallint").format(c=ident, whens=whens)

    def _compare_and_set(self, layout: Layout, columns: list[str], read: Any) -> Any:
        """One UPDATE that writes each decision whose row still holds the key
        and input values read, and returns the keys it wrote."""
        sql = self.sql
        names = ["key", *self._stored]
        arrays = [sql.SQL("%s::{}[]").format(self._key_type), sql.SQL("%s::text[]"), sql.SQL("%s::text[]")]
        if "retention" in self._stored:
            arrays.append(sql.SQL("%s::float8[]"))
        compared = []
        for n, (column, kind) in enumerate(zip(columns, self._input_kinds)):
            value = sql.Identifier("v", f"input_{n}")
            names.append(f"input_{n}")
            arrays.append(sql.SQL("%s::{}[]").format(sql.SQL(_PARAM_TYPES[kind])))
            if kind in _TIME_KINDS:
                current = sql.SQL("extract(epoch FROM {}) * 1000000").format(sql.Identifier("t", column))
            else:
                current = read(column, kind, "t")
            compared.append(sql.SQL("{} = {}").format(current, value))
        key = sql.Identifier("t", layout.key)
        sets = sql.SQL(", ").join(
            sql.SQL("{} = v.{}").format(sql.Identifier(layout.results[r]), sql.Identifier(r))
            for r in self._stored
        )
        key_text = key if self._key_kind in _INTEGER_KINDS else sql.SQL("{}::text").format(key)
        return sql.SQL(
            "UPDATE {table} AS t SET {sets} FROM unnest({arrays}) AS v({names})"
            " WHERE {key} = v.key{compared} RETURNING {key_text}"
        ).format(
            table=self._table(layout.table), sets=sets, arrays=sql.SQL(", ").join(arrays),
            names=sql.SQL(", ").join(map(sql.Identifier, names)), key=key,
            compared=sql.SQL("").join(sql.SQL(" AND {}").format(c) for c in compared),
            key_text=key_text,
        )

    def count(self, layout: Layout) -> int:
        with self.transaction(write=False), self.conn.cursor() as cur:
            cur.execute(self.sql.SQL("SELECT count(*) FROM {}").format(self._table(layout.table)))
            (n,) = cur.fetchone()
        return int(n)

    # -- rows --------------------------------------------------------------

    def read_batch(self, layout: Layout, after: Any, size: int) -> Batch:
        queries = self._first if after is None else self._next
        params = (size,) if after is None else (after, size)
        batch = self._read(queries, params)
        batch.after = batch.keys[len(batch) - 1] if len(batch) == size else None
        return batch

    def open_connection(self, purpose: str) -> Any | None:
        """Another connection to the database for the run (closed by the
        caller), or None when the run was given a connection of the caller's."""
        return None if self._url is None else _connect(self._url, f"{APPLICATION_NAME} {purpose}")

    def read_ahead(self, layout: Layout, size: int) -> AbstractContextManager[Iterator[Batch]] | None:
        if self._url is None:  # the caller's connection: no second one
            return None
        return self._reading_ahead(size)

    @contextmanager
    def _reading_ahead(self, size: int) -> Iterator[Iterator[Batch]]:
        conn = self.open_connection("read-ahead")
        assert conn is not None
        # Each read a statement, and so a transaction, of its own.
        settings = [("default_transaction_read_only", "on"), *self._settings]
        conn.execute("SELECT " + ", ".join(f"set_config('{n}', '{v}', false)" for n, v in settings))
        batches: queue.Queue[tuple[Batch | None, BaseException | None]] = queue.Queue(maxsize=1)
        stop = threading.Event()

        def read() -> None:
            after = None
            try:
                while not stop.is_set():
                    queries = self._first if after is None else self._next
                    batch = self._read(queries, (size,) if after is None else (after, size), conn)
                    batch.after = batch.keys[len(batch) - 1] if len(batch) == size else None
                    batches.put((batch, None))
                    if batch.after is None:
                        return
                    after = batch.after
            except BaseException as exc:  # handed to the run, which stops with it
                batches.put((None, exc))

        def taken() -> Iterator[Batch]:
            while True:
                batch, error = batches.get()
                if error is not None:
                    raise error
                assert batch is not None
                yield batch
                if batch.after is None:
                    return

        reader = threading.Thread(target=read, name="retier read-ahead", daemon=True)
        reader.start()
        try:
            yield taken()
        finally:
            stop.set()
            while reader.is_alive():  # a read in flight ends; a batch waiting is dropped
                try:
                    batches.get(timeout=0.05)
                except queue.Empty:
                    pass
            conn.close()

    def read_rows(self, layout: Layout, handles: Sequence[Any]) -> Batch:
        return self._read(self._by_key, (self._literal(self._key_kind, handles),))

    def read_range(self, layout: Layout, low: Any, high: Any) -> Batch:
        """The rows whose keys are after low and up to high (None: unbounded), in key order."""
        # Planned for its own parameters (a bound may be NULL), not once for any.
        return self._read(self._range, (low, low, high, high), prepare=False)

    def _read(self, queries: tuple[Any, Any], params: tuple[Any, ...], conn: Any = None,
              prepare: bool | None = None) -> Batch:
        """The rows of one SELECT, column by column; read again with the
        stored tier and action as texts when a code says they are not the
        engine's names."""
        coded, named = queries
        batch = self._arrays(conn or self.conn, coded, params, self._kinds, prepare)
        tier: Any = batch.old_tier
        action: Any = batch.old_action
        if (tier == -2).any() or (action == -2).any():
            batch = self._arrays(conn or self.conn, named, params, self._name_kinds, prepare)
        return batch

    def _arrays(self, conn: Any, query: Any, params: tuple[Any, ...], kinds: list[str],
                prepare: bool | None = None) -> Batch:
        with conn.cursor(binary=True) as cur:
            raw = _raw_array_loader()
            for oid in ARRAY_OIDS:
                cur.adapters.register_loader(oid, raw)
            cur.execute(query, params, prepare=prepare)
            count, *data = cur.fetchone()
        try:
            columns = [parse_array(raw, kind, count) for raw, kind in zip(data, kinds)]
        except ArrayError as exc:  # pragma: no cover - the server's own arrays
            raise RetierError(f"PostgreSQL sent an array that cannot be read: {exc}") from None
        keys: Sequence[Any]
        if self._key_kind == "uuid":
            keys = UuidTexts(columns[0])
        elif self._key_kind in _INTEGER_KINDS and not isinstance(columns[0], list):
            keys = columns[0].tolist()
        else:
            keys = columns[0]
        n = len(self._stored)
        return Batch(
            keys=keys,
            handles=keys,
            old_tier=columns[1],
            old_action=columns[2],
            old_retention=columns[3] if n == 3 else None,
            values=dict(zip(self._fields, columns[1 + n :])),
        )

    def write_batch(self, layout: Layout, batch: Batch, decisions: Decisions,
                    wait: float = 0.0) -> Written:
        keys = [batch.handles[i] for i in decisions.rows]
        if wait == 0:
            done = self._write_compared(batch, decisions, keys)
            if done is not None:
                return done
        with self.conn.cursor() as cur:
            cur.execute(self._lock, (self._literal(self._key_kind, keys),))
            locked = {row[0] for row in cur.fetchall()}
            held = [k for k in keys if k not in locked]
            if held and wait > 0:
                locked |= self._wait_for(cur, held, wait)
            mine = [j for j, k in enumerate(keys) if k in locked]
            written: set[Any] = set()
            if mine:
                cur.execute(self._compared_update, self._update_params(batch, decisions, mine))
                written = {row[0] for row in cur.fetchall()}
            others = [k for k in keys if k not in locked]
            present: set[Any] = set()
            if others:
                # Not locked by us: held by another transaction, or gone.
                cur.execute(self._present, (self._literal(self._key_kind, others),))
                present = {row[0] for row in cur.fetchall()}
        done = Written()
        for key, i in zip(keys, decisions.rows):
            if key in written:
                done.written.append(i)
            elif key in locked:
                done.changed.append(i)
            else:
                (done.locked if key in present else done.deleted).append(i)
        return done

    def _write_compared(self, batch: Batch, decisions: Decisions, keys: list[Any]) -> Written | None:
        """The decisions written by one UPDATE that compares and sets; None
        when a row was held by another transaction for more than a moment
        (the statement then undone, for the batch to lock row by row)."""
        params = self._update_params(batch, decisions, range(len(keys)))
        try:
            with self.conn.transaction(), self.conn.cursor() as cur:  # a savepoint
                cur.execute(f"SELECT set_config('lock_timeout', '{_BRIEF_WAIT}', true)".encode())
                cur.execute(self._compared_update, params)
                written = {row[0] for row in cur.fetchall()}
                cur.execute(f"SELECT set_config('lock_timeout', '{self._lock_timeout}', true)".encode())
                missing = [k for k in keys if k not in written]
                present: set[Any] = set()
                if missing:
                    cur.execute(self._present, (self._literal(self._key_kind, missing),))
                    present = {row[0] for row in cur.fetchall()}
        except self.psycopg.errors.LockNotAvailable:
            return None
        done = Written()
        for key, i in zip(keys, decisions.rows):
            if key in written:
                done.written.append(i)
            else:
                (done.changed if key in present else done.deleted).append(i)
        return done

    def _update_params(self, batch: Batch, decisions: Decisions, positions: Sequence[int]) -> list[str]:
        """The compare-and-set's arrays, as array texts, for the decisions at
        positions: the keys, the new results, and the input values as read."""
        rows = [decisions.rows[j] for j in positions]
        params = [
            self._literal(self._key_kind, [batch.handles[i] for i in rows]),
            self._literal("text", [decisions.tiers[j] for j in positions]),
            self._literal("text", [decisions.actions[j] for j in positions]),
        ]
        if decisions.retentions is not None:
            params.append(self._literal("float8", [decisions.retentions[j] for j in positions]))
        for name, kind in zip(self._fields, self._input_kinds):
            column: Any = batch.values[name]
            values = column[rows].tolist() if hasattr(column, "tolist") else [column[i] for i in rows]
            params.append(self._literal(kind, values))
        return params

    @staticmethod
    def _literal(kind: str, values: Sequence[Any]) -> str:
        """An array's text form: numbers by their shortest digits (read back
        as the same double), times as microseconds, texts quoted."""
        items: Iterable[str]
        if kind in ("float4", "float8"):
            items = map(repr, map(float, values))
        elif kind in _INTEGER_KINDS or kind in _TIME_KINDS:
            items = map(str, map(int, values))
        elif kind == "bool":
            items = ("t" if v else "f" for v in values)
        else:
            items = ('"' + str(v).replace("\\", "\\\\").replace('"', '\\"') + '"' for v in values)
        return "{" + ",".join(items) + "}"

    def _wait_for(self, cur: Any, keys: list[Any], wait: float) -> set[Any]:
        """Locks each of keys, waiting up to `wait` seconds in all; the keys locked."""
        import time

        got: set[Any] = set()
        deadline = time.monotonic() + wait
        for key in keys:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                with self.conn.transaction():  # a savepoint: a timeout undoes only this wait
                    cur.execute(f"SELECT set_config('lock_timeout', '{_milliseconds(left)}', true)".encode())
                    cur.execute(self._lock_waiting, (self._literal(self._key_kind, [key]),))
                    got.update(row[0] for row in cur.fetchall())
            except self.psycopg.errors.LockNotAvailable:
                continue
        cur.execute(f"SELECT set_config('lock_timeout', '{self._lock_timeout}', true)".encode())
        return got


@functools.cache
def _raw_array_loader() -> Any:
    """A psycopg loader that hands an array over as its binary bytes, for pg_binary.py."""
    psycopg = _psycopg()

    class RawArray(psycopg.adapt.Loader):  # type: ignore[misc, name-defined]
        format = psycopg.pq.Format.BINARY

        def load(self, data: Any) -> bytes:
            return bytes(data)

    return RawArray


# How long one compare-and-set UPDATE may wait for a row another transaction
# holds (an application's update in flight) before the batch locks its rows
# one by one, skipping those held.
_BRIEF_WAIT = "50ms"


def _milliseconds(seconds: float) -> str:
    return f"{max(1, round(seconds * 1000))}ms"
