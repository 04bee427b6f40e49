"""The passes of a run computed in the database (stores/pg_in_database.py):
the same scan, rows read again and held rows waited for as passes.py, each
batch one statement in the server. A batch the server cannot decide (a bad
row) goes the client-side way, batch for batch, so that its row is named
and set aside exactly as always.
"""

from __future__ import annotations

import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..errors import RetierError
from ..frames.vocabulary import Vocabulary
from ..stores import Layout, Store
from ..stores.pg_in_database import CHANGED, DRY, HELD, WRITTEN, InDatabase, ServerBatch
from .passes import RETRY, SCAN, Passes
from .report import write_changes
from .result import NO_VALUE

if TYPE_CHECKING:
    from ..stores.postgres import PostgresStore


def check_in_database(store: Store) -> None:
    """A RetierError unless the store can compute the run itself: PostgreSQL
    with the extension created in the database."""
    from ..stores.pg_in_database import extension_schema
    from ..stores.postgres import PostgresStore

    if not isinstance(store, PostgresStore):
        raise RetierError(f"--in-database computes the run in a PostgreSQL server with the extension"
                          f" quillmarrow; on {store.name} run without --in-database")
    extension_schema(store)


def in_database_statements(store: Store, layout: Layout, vocab: Vocabulary, dry_run: bool,
                           report: bool) -> InDatabase:
    """The statements of the run; RetierError when the extension is missing
    or a column is of a type the server's road does not read."""
    from ..stores.postgres import PostgresStore

    assert isinstance(store, PostgresStore)
    return InDatabase(store, layout, vocab.now, vocab.max_skew, vocab.time_unit, dry_run, report)


# Connections that run the batches of an online scan side by side.
WORKERS = 2


@dataclass
class ServerPasses(Passes):
    server: InDatabase | None = None

    def _scan(self) -> None:
        assert self.server is not None
        if not self.options.atomic:
            connections = []
            try:
                for n in range(WORKERS):
                    conn = self._postgres().open_connection(f"worker {n + 1}")
                    if conn is None:
                        break
                    connections.append(conn)
                if len(connections) == WORKERS:
                    self._scan_side_by_side(connections)
                    return
            finally:
                for conn in connections:
                    conn.close()
        self._scan_in_turn()

    def _scan_side_by_side(self, connections: list[Any]) -> None:
        """The scan's batches, the ranges between every batch-size-th key,
        run on the connections side by side, each in a transaction of its
        own, and counted in key order; a batch the server cannot decide is
        read and scored here."""
        assert self.server is not None
        server = self.server
        store = self._postgres()
        with self._transaction(write=False):
            bounds = server.boundaries(self.options.batch_size)
        ranges = list(zip([None, *bounds], [*bounds, None]))
        done: dict[int, ServerBatch | None | BaseException] = {}
        turn = threading.Condition()
        taken = 0  # ranges handed to a worker
        counted = 0  # ranges counted, in key order
        stop = False

        def work(conn: Any) -> None:
            nonlocal taken
            while True:
                with turn:
                    # No further ahead than one batch beside each being
                    # counted: a run that stops has written at most those.
                    while not stop and taken < len(ranges) and taken >= counted + len(connections):
                        turn.wait()
                    if stop or taken == len(ranges):
                        return
                    index = taken
                    taken += 1
                try:
                    with store.transaction(write=not self.options.dry_run, conn=conn):
                        outcome: ServerBatch | None | BaseException = server.scan_range(*ranges[index], conn)
                except BaseException as exc:  # handed to the run, which stops with it
                    outcome = exc
                with turn:
                    done[index] = outcome
                    turn.notify_all()
                if isinstance(outcome, BaseException):
                    return

        workers = [threading.Thread(target=work, args=(conn,), name="retier worker", daemon=True)
                   for conn in connections]
        for worker in workers:
            worker.start()
        try:
            for index, (low, high) in enumerate(ranges):
                with turn:
                    while index not in done:
                        turn.wait()
                    outcome = done.pop(index)
                if isinstance(outcome, BaseException):
                    raise outcome
                if outcome is None:  # the client-side way, for this batch
                    with self._transaction(write=False):
                        batch = store.read_range(self.layout, low, high)
                    self.read += len(batch)
                    self._batch(batch, SCAN)
                else:
                    self.read += outcome.rows
                    self._account(outcome, SCAN)
                with turn:
                    counted = index + 1
                    turn.notify_all()
                if self.options.progress is not None:
                    self.options.progress(self.read, max(self.total, self.read))
        finally:
            with turn:
                stop = True
                turn.notify_all()
            for worker in workers:
                worker.join()
            # Batches written after the one the run stopped at stay written:
            # they are counted and reported too.
            for index in sorted(done):
                outcome = done[index]
                if index >= counted and isinstance(outcome, ServerBatch):
                    self.read += outcome.rows
                    self._account(outcome, SCAN)

    def _postgres(self) -> PostgresStore:
        from ..stores.postgres import PostgresStore

        assert isinstance(self.store, PostgresStore)
        return self.store

    def _scan_in_turn(self) -> None:
        assert self.server is not None
        after = None
        while True:
            with self._transaction(write=not self.options.dry_run):
                done = self.server.scan(after, self.options.batch_size)
            if done is None:  # the client-side way, for this batch
                with self._transaction(write=False):
                    batch = self.store.read_batch(self.layout, after, self.options.batch_size)
                self.read += len(batch)
                self._batch(batch, SCAN)
                after = batch.after
            else:
                self.read += done.rows
                self._account(done, SCAN)
                after = done.after
            if self.options.progress is not None:
                self.options.progress(self.read, max(self.total, self.read))
            if after is None:
                return

    def _rows(self, handles: list[Any], phase: str, wait: float = 0.0) -> None:
        assert self.server is not None
        with self._transaction(write=not self.options.dry_run):
            done = self.server.rows(handles, wait)
        if done is None:
            super()._rows(handles, phase, wait)
            return
        # Rows deleted meanwhile: there is nothing left to write.
        self.result.skipped_changed += len(handles) - done.rows
        self._account(done, phase)

    def _account(self, done: ServerBatch, phase: str) -> None:
        """The counts of a batch the server decided, as passes.py counts a batch it scored."""
        result = self.result

        def later(fate: str) -> bool:  # read again in a later phase
            return phase == SCAN and fate in (CHANGED, HELD) or phase == RETRY and fate == HELD

        deferred = [g for g in done.to_write if later(g[4])]
        for old, tier, action, changed, rows in _less(done.decided, deferred):
            result.rows += rows
            result.changed += rows if changed else 0
            result.tiers[tier] += rows
            result.actions[action] += rows
            result.transitions[(NO_VALUE if old is None else old, tier)] += rows
        result.written += sum(g[5] for g in done.to_write if g[4] == WRITTEN)
        changed, held = done.keys.get(CHANGED, []), done.keys.get(HELD, [])
        if phase == SCAN:
            self.changed_again += changed + held
        elif phase == RETRY:
            self.held += held
            result.skipped_changed += len(changed)
        else:
            result.skipped_changed += len(changed)
            result.skipped_locked += len(held)
        if self.options.report is not None:
            entries = []
            for key, old_tier, tier, old_action, action, retention, fate in done.changes:
                if later(fate):
                    continue
                entry = {"key": key, "old_tier": old_tier, "new_tier": tier, "old_action": old_action,
                         "new_action": action, "retention": float(retention)}
                if fate in (CHANGED, HELD):
                    entry["skipped"] = "changed" if fate == CHANGED else "locked"
                elif phase != SCAN and fate != DRY:
                    entry["retried"] = True
                entries.append(entry)
            write_changes(self.options.report, entries)


def _less(groups: Sequence[tuple[Any, ...]], taken: Sequence[tuple[Any, ...]]) -> list[tuple[Any, ...]]:
    """The groups (old tier, tier, action, changed, rows) without the rows of `taken` (the same with a fate)."""
    out: dict[tuple[Any, ...], int] = {}
    for *group, rows in groups:
        out[tuple(group)] = out.get(tuple(group), 0) + rows
    for *group, _fate, rows in taken:
        out[tuple(group)] -= rows
    return [(*group, rows) for group, rows in out.items() if rows]

