"""The Dask engine: one task per input file on a Dask cluster, each the same
batch-by-batch routine as the local engine."""

from __future__ import annotations

import logging
import uuid
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from functools import partial
from typing import Any

from .._sealed import sealed
from ..errors import JobError
from ..frames.vocabulary import Vocabulary
from ..tally import Tally
from ..worker_errors import describe, from_exception
from .files import FileResult, Stopped, tier_file
from .plan import DEFAULT_BATCH_ROWS, DEFAULT_WORKERS, Job, staged, target


def _file_task(
    in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int, vocab: Vocabulary | None, abort: str
) -> FileResult:
    # The job sets the Dask event named abort when it fails, and every task
    # still running stops at its next batch.
    from distributed import Event

    event = Event(abort)
    return tier_file(in_fs, source, out_fs, target, batch_rows, stop=event.is_set, vocab=vocab)


def run_dask(
    job: Job, scheduler: str | None = None, workers: int = DEFAULT_WORKERS,
    batch_rows: int = DEFAULT_BATCH_ROWS, progress: Callable[[int], None] | None = None,
    vocab: Vocabulary | None = None, quiet: bool = False,
) -> Tally:
    """Tier every file as one task on a Dask cluster: the one at scheduler,
    or a local cluster of `workers` processes started for this job.
    progress, if given, gets the rows done so far as files finish. vocab:
    the columns and recall times to read (default: the fields' own names).
    quiet: Dask logs nothing (not even a failed task's traceback, which the
    JobError then carries)."""
    from distributed import Event, as_completed, wait

    with _dask_logs(quiet), _dask_client(scheduler, workers, quiet) as client:
        tally = Tally()
        abort = Event(f"quillmarrow-engine-abort-{uuid.uuid4().hex}", client=client)
        with staged(job) as staging:
            # Sealed, so that a worker that cannot import the engine fails
            # the task with that ImportError rather than dying.
            tasks = [
                sealed(partial(
                    _file_task, job.in_fs, source.path, job.out_fs, target(job, staging, source), batch_rows,
                    vocab, abort.name,
                ))
                for source in job.sources
            ]
            futures = [client.submit(task, pure=False) for task in tasks]
            try:
                for future in as_completed(futures):
                    result = _result(future)
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


def _result(future: Any) -> FileResult:
    """A file task's result; its failure as a JobError: a bad row or an
    unreadable file as the task named it, anything else (a worker without
    NumPy, say) with the worker's exception and traceback."""
    if future.status == "error":
        exc = future.exception()
        if isinstance(exc, (JobError, Stopped)):
            raise exc
        raise JobError(describe(from_exception(exc, future.traceback()), "a Dask worker"))
    result: FileResult = future.result()
    return result


@contextmanager
def _dask_logs(quiet: bool) -> Iterator[None]:
    """In quiet mode, Dask's own loggers and warnings (a version mismatch
    between client and workers, say) in this process say nothing."""
    if not quiet:
        yield
        return
    logger = logging.getLogger("distributed")
    level = logger.level
    logger.setLevel(logging.CRITICAL + 1)
    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", module=r"distributed(\.|$)")
            yield
    finally:
        logger.setLevel(level)


@contextmanager
def _dask_client(scheduler: str | None, workers: int, quiet: bool = False) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # The job reports a failed task itself: the workers' own log of it (a
    # traceback) is left out with quiet, and errors only are logged otherwise.
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL + 1 if quiet else logging.ERROR,
    ) as cluster, Client(cluster) as client:
        yield client
