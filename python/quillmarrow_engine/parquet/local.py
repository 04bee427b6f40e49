"""The local engine: every file tiered in this process, one after another."""

from __future__ import annotations

from collections.abc import Callable

from ..frames.vocabulary import Vocabulary
from ..tally import Tally
from .files import tier_file
from .plan import DEFAULT_BATCH_ROWS, Job, staged, target


def run_local(
    job: Job, batch_rows: int = DEFAULT_BATCH_ROWS, progress: Callable[[int], None] | None = None,
    vocab: Vocabulary | None = None,
) -> Tally:
    """Tier every file in this process; progress, if given, gets the rows done so far.
    vocab: the columns and recall times to read (default: the fields' own names)."""
    tally = Tally()
    done = 0

    def advance(rows: int) -> None:
        nonlocal done
        done += rows
        if progress is not None:
            progress(done)

    with staged(job) as staging:
        for source in job.sources:
            result = tier_file(
                job.in_fs, source.path, job.out_fs, target(job, staging, source), batch_rows, advance,
                vocab=vocab,
            )
            tally.add_counts(result.rows, result.tiers, result.actions)
    return tally
