"""The batches of one run: the scan of the table, then the rows read again.

1. The scan reads the table a batch at a time in key order, scores each
   batch and writes the rows whose decision changes (a compare-and-set: see
   stores/model.py). A row that the application changed between the read and
   the write, or that another transaction holds, is not written but kept for
   later.
2. Those rows are read again, scored again and written the same way. A row
   changed once more is skipped, counted in `skipped_changed`.
3. Rows still held are waited for, one at a time and each in a transaction
   of its own, up to the lock timeout in all; those held beyond it are
   skipped, counted in `skipped_locked`.

Online, every read and every write is a short transaction of its own; in an
atomic run they all happen inside the run's one transaction.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, nullcontext
from dataclasses import dataclass, field
from typing import Any, TextIO

from ..errors import RetierError
from ..frames.vocabulary import Vocabulary
from ..stores import Batch, Layout, Store, Written
from ..stores.values import json_key
from .report import write_bad_row, write_changes
from .result import RetierResult
from .scoring import Scorer, row_name

Progress = Callable[[int, int], None]  # (rows done, rows in the table)

SCAN, RETRY, WAIT = "scan", "retry", "wait"


@dataclass
class Options:
    vocab: Vocabulary  # recall times: now, their unit and the clock skew allowed
    batch_size: int
    lock_timeout: float
    atomic: bool
    dry_run: bool
    report: TextIO | None
    errors: TextIO | None
    progress: Progress | None


@dataclass
class Passes:
    store: Store
    layout: Layout
    scorer: Scorer
    result: RetierResult
    options: Options
    total: int = 0
    read: int = 0
    changed_again: list[Any] = field(default_factory=list)  # handles, read again in the retry
    held: list[Any] = field(default_factory=list)  # handles, waited for at the end

    def run(self) -> None:
        if self.options.progress is not None:
            self.total = self.store.count(self.layout)
            self.options.progress(0, self.total)
        self._scan()
        again, self.changed_again = self.changed_again, []
        self.result.retried += len(again)
        for chunk in _chunks(again, self.options.batch_size):
            self._rows(chunk, RETRY)
        self._wait()

    def _transaction(self, write: bool) -> AbstractContextManager[Any]:
        # In an atomic run everything is already inside the run's transaction.
        return nullcontext() if self.options.atomic else self.store.transaction(write)

    def _scan(self) -> None:
        # Online, the next batch is read while this one is scored and written.
        ahead = None if self.options.atomic else self.store.read_ahead(self.layout,
                                                                        self.options.batch_size)
        with ahead or nullcontext(self._batches()) as batches:
            for batch in batches:
                self.read += len(batch)
                self._batch(batch, SCAN)
                if self.options.progress is not None:
                    self.options.progress(self.read, max(self.total, self.read))

    def _batches(self) -> Iterator[Batch]:
        after = None
        while True:
            with self._transaction(write=False):
                batch = self.store.read_batch(self.layout, after, self.options.batch_size)
            yield batch
            if batch.after is None:
                return
            after = batch.after

    def _rows(self, handles: list[Any], phase: str, wait: float = 0.0) -> None:
        with self._transaction(write=False):
            batch = self.store.read_rows(self.layout, handles)
        # Rows deleted meanwhile: there is nothing left to write.
        self.result.skipped_changed += len(handles) - len(batch)
        self._batch(batch, phase, wait)

    def _wait(self) -> None:
        """Rows still held: each waited for alone, up to the lock timeout in all."""
        held, self.held = self.held, []
        deadline = time.monotonic() + self.options.lock_timeout
        while held and time.monotonic() < deadline:
            self._rows([held.pop(0)], WAIT, wait=deadline - time.monotonic())
        for chunk in _chunks(held, self.options.batch_size):
            self._rows(chunk, WAIT)

    def _batch(self, batch: Batch, phase: str, wait: float = 0.0) -> None:
        np = self.scorer.np
        scored = self.scorer.score(batch, self.layout, self.options.vocab)
        bad = scored.bad()
        if bad:
            self._bad_rows(batch, scored.problems, bad)
        rows = np.flatnonzero(scored.write)
        if self.options.dry_run or rows.size == 0:
            done = Written(written=rows.tolist())
        else:
            decisions = self.scorer.decisions(scored, rows, "retention" in self.layout.results)
            with self._transaction(write=True):
                done = self.store.write_batch(self.layout, batch, decisions, wait)
            self.result.written += len(done.written)
        skipped = {i: "deleted" for i in done.deleted}
        later: list[int] = []
        if phase == SCAN:
            later = done.changed + done.locked
            self.changed_again += [batch.handles[i] for i in later]
        elif phase == RETRY:
            later = done.locked
            self.held += [batch.handles[i] for i in done.locked]
            skipped.update((i, "changed") for i in done.changed)
        else:
            skipped.update((i, "changed") for i in done.changed)
            skipped.update((i, "locked") for i in done.locked)
        self.result.skipped_changed += len(done.deleted) + len(done.changed) * (phase != SCAN)
        self.result.skipped_locked += len(done.locked) * (phase == WAIT)
        final = np.ones(len(batch), dtype=bool)  # every row but the bad ones and
        final[bad] = False  # those read again later
        final[later] = False
        kept = np.flatnonzero(final)
        self.scorer.account(scored, kept, self.result)
        if self.options.report is not None:
            self._report(batch, scored, kept, skipped, retried=phase != SCAN)

    def _report(self, batch: Batch, scored: Any, kept: Any, skipped: dict[int, str],
                retried: bool) -> None:
        entries = []
        for i in kept[scored.changed[kept]].tolist():
            entry = self.scorer.change(scored, batch, i, json_key(batch.keys[i]))
            if i in skipped:
                entry["skipped"] = skipped[i]
            elif retried:
                entry["retried"] = True
            entries.append(entry)
        write_changes(self.options.report, entries)  # type: ignore[arg-type]

    def _bad_rows(self, batch: Batch, problems: dict[int, tuple[str, str]], bad: list[int]) -> None:
        if self.options.errors is None:
            column, message = problems[bad[0]]
            raise RetierError(f"{row_name(self.layout.key, batch.keys[bad[0]])}: {message}")
        self.result.bad_rows += len(bad)
        for i in bad:
            column, message = problems[i]
            write_bad_row(self.options.errors, json_key(batch.keys[i]), column, message)


def _chunks(values: list[Any], size: int) -> Iterator[list[Any]]:
    for start in range(0, len(values), size):
        yield values[start : start + size]
