"""The passes of a run computed in the database (stores/pg_in_database.py):
the same scan, rows read again and held rows waited for as passes.py, each
batch one statement in the server. A batch the server cannot decide (a bad
row) goes the client-side way, batch for batch, so that its row is named
and set aside exactly as always.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ..errors import RetierError
from ..frames.vocabulary import Vocabulary
from ..stores import Layout, Store
from ..stores.pg_in_database import CHANGED, DRY, HELD, WRITTEN, InDatabase, ServerBatch
from .passes import RETRY, SCAN, Passes
from .report import write_changes
from .result import NO_VALUE


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


@dataclass
class ServerPasses(Passes):
    server: InDatabase | None = None

    def _scan(self) -> None:
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

