"""The Dask engine: one task per input file on a Dask cluster, each the same
batch-by-batch routine as the local engine."""

from __future__ import annotations

import logging
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from ..frames.vocabulary import Vocabulary
from ..tally import Tally
from .files import FileResult, tier_file
from .plan import DEFAULT_BATCH_ROWS, DEFAULT_WORKERS, Job, staged, target


def _file_task(
    in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int, vocab: Vocabulary | None, abort: str
) -> FileResult:
    # A module-level function, so Dask sends it to the workers by name. The
    # job sets the Dask event named abort when it fails, and every task
    # still running stops at its next batch.
    from distributed import Event

    event = Event(abort)
    return tier_file(in_fs, source, out_fs, target, batch_rows, stop=event.is_set, vocab=vocab)


def run_dask(
    job: Job, scheduler: str | None = None, workers: int = DEFAULT_WORKERS,
    batch_rows: int = DEFAULT_BATCH_ROWS, progress: Callable[[int], None] | None = None,
    vocab: Vocabulary | None = None,
) -> Tally:
    """Tier every file as one task on a Dask cluster: the one at scheduler,
    or a local cluster of `workers` processes started for this job.
    progress, if given, gets the rows done so far as files finish."""
    from distributed import Event, as_completed, wait

    with _dask_client(scheduler, workers) as client:
        tally = Tally()
        abort = Event(f"quillmarrow-engine-abort-{uuid.uuid4().hex}", client=client)
        with staged(job) as staging:
            count = len(job.sources)
            futures = client.map(
                _file_task,
                [job.in_fs] * count, [s.path for s in job.sources],
                [job.out_fs] * count, [target(job, staging, s) for s in job.sources],
                [batch_rows] * count, [vocab] * count, [abort.name] * count,
                pure=False,
            )
            try:
                for future in as_completed(futures):
                    result = future.result()
                    tally.add_counts(result.rows, result.tiers, result.actions)
                    if progress is not None:
                        progress(tally.items)
            except BaseException:
                # No task may write into the staging folder once it is
                # removed: stop them all and wait until each has ended.
                abort.set()
                wait(futures)
                raise
        return tally


@contextmanager
def _dask_client(scheduler: str | None, workers: int) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR,
    ) as cluster, Client(cluster) as client:
        yield client
