"""Reading and writing a PostgreSQL table for a re-tiering run (psycopg 3).

Rows are read through one server-side cursor, a batch per fetch. The results
of every batch are copied (`COPY ... FROM STDIN`) into a temporary table, and
one `UPDATE ... FROM` moves them all into the table at the end, in the same
transaction. A writing run locks the table against other writers first
(`SHARE ROW EXCLUSIVE`: readers go on and see the old tiers until the commit),
so no row changes between its reading and its writing; rows are then found
again by their physical address (the table, for a partition or a child
table, and `ctid`), which stays put under that lock, so the write needs no
index and is right even where the key is not unique. A dry
run is a read-only transaction.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import suppress
from typing import Any

from .._optional import require
from ..errors import RetierError
from ..fields import FIELDS, FLAG_FIELDS
from .model import Batch, Layout, Store

_NUMERIC_TYPES = {
    "smallint", "integer", "bigint", "real", "double precision", "numeric",
}
_TIME_TYPES = {"timestamp with time zone", "timestamp without time zone", "date"}
_STAGE = "quillmarrow_retier_stage"


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
        self._transaction: Any = None
        self._types: dict[str, str] = {}
        self._staged = 0

    @classmethod
    def connect(cls, url: str) -> PostgresStore:
        psycopg = _psycopg()
        options = {}
        if "application_name" not in psycopg.conninfo.conninfo_to_dict(url):
            options["application_name"] = "quillmarrow-engine retier"  # for pg_stat_activity
        try:
            conn = psycopg.connect(url, **options)
        except psycopg.Error as exc:
            raise RetierError(f"cannot connect to PostgreSQL: {exc}".rstrip()) from None
        return cls(conn, owned=True)

    def close(self) -> None:
        if self.owned:
            self.conn.close()

    @staticmethod
    def fold(name: str) -> str:
        return name  # quoted identifiers: exact names

    # -- transaction -------------------------------------------------------

    def begin(self, write: bool) -> None:
        self._write = write
        # A transaction of our own, or a savepoint inside the caller's.
        self._transaction = self.conn.transaction()
        ours = self._transaction.__enter__().savepoint_name is None
        if not write and ours:
            with self.conn.cursor() as cur:
                cur.execute("SET TRANSACTION READ ONLY")

    def commit(self) -> None:
        transaction, self._transaction = self._transaction, None
        transaction.__exit__(None, None, None)

    def rollback(self) -> None:
        transaction, self._transaction = self._transaction, None
        if transaction is None or self.conn.closed or self.conn.broken:
            return  # the server rolls back what a lost connection left
        error = RetierError("rolled back")
        with suppress(RetierError):
            transaction.__exit__(RetierError, error, None)

    # -- layout ------------------------------------------------------------

    def _table(self, table: str) -> Any:
        # SCHEMA.NAME or NAME (found on the search path), each part quoted.
        parts = table.split(".", 1)
        return self.sql.Identifier(*parts)

    def columns(self, table: str) -> set[str]:
        regclass = self._table(table).as_string(self.conn)
        with self.conn.cursor() as cur:
            cur.execute("SELECT to_regclass(%s)", (regclass,))
            (oid,) = cur.fetchone()
            if oid is None:
                raise RetierError(f"no table {table!r} in the database")
            cur.execute(
                "SELECT attname, format_type(atttypid, NULL) FROM pg_attribute"
                " WHERE attrelid = %s::regclass AND attnum > 0 AND NOT attisdropped",
                (regclass,),
            )
            self._types = dict(cur.fetchall())
        self._regclass = regclass
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
        # The address as COPY text: "oid<TAB>(block,item)", two stage columns.
        select = [sql.SQL("tableoid::text || E'\\t' || ctid::text"), column(layout.key)]
        for result in ("tier", "action", "retention"):
            name = layout.results[result]
            select.append(sql.SQL("NULL") if name in missing else column(name))
        fields = []
        for name in FIELDS:
            if name in layout.inputs:
                select.append(self._number(layout.inputs[name], flag=name in FLAG_FIELDS))
                fields.append(name)
        if layout.recalled_at is not None:
            select.append(self._seconds(layout.recalled_at))
            fields.append("recalled_at")
        self._fields = fields
        self._select = sql.SQL("SELECT {} FROM {}").format(
            sql.SQL(", ").join(select), self._table(layout.table)
        )
        if self._write:
            with self.conn.cursor() as cur:
                cur.execute(
                    sql.SQL("LOCK TABLE {} IN SHARE ROW EXCLUSIVE MODE").format(
                        self._table(layout.table)
                    )
                )

    def _number(self, name: str, flag: bool) -> Any:
        kind = self._types.get(name, "")
        if not flag and kind in _NUMERIC_TYPES:
            # Read as double precision: the nearest double, as float(Decimal) gives.
            return self.sql.SQL("{}::float8").format(self.sql.Identifier(name))
        return self.sql.Identifier(name)

    def _seconds(self, name: str) -> Any:
        kind = self._types.get(name, "")
        ident = self.sql.Identifier(name)
        if kind in _TIME_TYPES:
            # Unix seconds; a timestamp without time zone (or a date) is taken as UTC.
            return self.sql.SQL("extract(epoch FROM {})::float8").format(ident)
        if kind in _NUMERIC_TYPES:
            return self.sql.SQL("{}::float8").format(ident)
        return ident  # text: ISO-8601, parsed by the caller

    def count(self, layout: Layout) -> int:
        with self.conn.cursor() as cur:
            cur.execute(self.sql.SQL("SELECT count(*) FROM {}").format(self._table(layout.table)))
            (n,) = cur.fetchone()
        return int(n)

    # -- rows --------------------------------------------------------------

    def read(self, layout: Layout, batch_size: int) -> Iterator[Batch]:
        if self._write:
            self._create_stage(layout)
        with self.conn.cursor(name="quillmarrow_retier_rows") as cur:
            cur.itersize = batch_size
            cur.execute(self._select)
            while True:
                rows = cur.fetchmany(batch_size)
                if not rows:
                    return
                columns = list(zip(*rows))
                yield Batch(
                    keys=columns[1],
                    handles=columns[0],
                    old_tier=columns[2],
                    old_action=columns[3],
                    old_retention=columns[4],
                    values=dict(zip(self._fields, columns[5:])),
                )

    def _create_stage(self, layout: Layout) -> None:
        sql = self.sql
        r = layout.results
        with self.conn.cursor() as cur:
            cur.execute(
                sql.SQL(
                    "CREATE TEMPORARY TABLE {stage} ON COMMIT DROP AS"
                    " SELECT tableoid AS rel, ctid AS row, {tier} AS tier, {action} AS action,"
                    " {retention} AS retention FROM {table} WITH NO DATA"
                ).format(
                    stage=sql.Identifier(_STAGE),
                    tier=sql.Identifier(r["tier"]), action=sql.Identifier(r["action"]),
                    retention=sql.Identifier(r["retention"]), table=self._table(layout.table),
                )
            )

    def write(self, layout: Layout, handles: list[Any], tiers: list[str],
              actions: list[str], retentions: list[float]) -> int:
        if not handles:
            return 0
        copy_sql = self.sql.SQL("COPY {} (rel, row, tier, action, retention) FROM STDIN").format(
            self.sql.Identifier(_STAGE)
        )
        # COPY's text form, built in one go: addresses like (12,3), the engine's
        # names and shortest round-trip doubles need no escaping.
        text = "\n".join(map("\t".join, zip(handles, tiers, actions, map(repr, retentions))))
        with self.conn.cursor() as cur, cur.copy(copy_sql) as copy:
            copy.write(text + "\n")
        self._staged += len(handles)
        return len(handles)

    def finish(self, layout: Layout) -> None:
        sql = self.sql
        stage = sql.Identifier(_STAGE)
        r = layout.results
        with self.conn.cursor() as cur:
            cur.execute(sql.SQL("ANALYZE {}").format(stage))
            cur.execute(
                sql.SQL(
                    "UPDATE {table} AS t SET {tier} = s.tier, {action} = s.action,"
                    " {retention} = s.retention FROM {stage} AS s"
                    " WHERE t.tableoid = s.rel AND t.ctid = s.row"
                ).format(
                    table=self._table(layout.table), tier=sql.Identifier(r["tier"]),
                    action=sql.Identifier(r["action"]), retention=sql.Identifier(r["retention"]),
                    stage=stage,
                )
            )
            updated, staged = cur.rowcount, self._staged
            cur.execute(sql.SQL("DROP TABLE {}").format(stage))
        if updated != staged:
            raise RetierError(
                f"{staged:,} results were staged but {updated:,} rows updated; nothing written"
            )
