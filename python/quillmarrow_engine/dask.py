"""Tiering a Dask DataFrame on the workers.

    import dask.dataframe as dd
    from quillmarrow_engine.dask import tier_dataframe
    tiered = tier_dataframe(dd.read_parquet("s3://bucket/memories/"))

Each partition (a pandas DataFrame) is tiered by one ``tier_table`` call in
``map_partitions``: no Python runs per row, and the engine releases the
interpreter lock while it computes, so a worker's other threads go on. The
workers' Python needs the quillmarrow-engine wheel, NumPy, pandas and pyarrow
(the wheel's ``dask`` extra installs them); a worker that lacks one fails the
task with the ImportError, which the computation raises on the client.

This module's name is the library's: every import of Dask here is absolute
(``import dask.dataframe`` finds the real Dask, never this file).
"""

from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime

import dask.dataframe as dd

from .frames.vocabulary import vocabulary


def tier_dataframe(
    ddf: dd.DataFrame,
    *,
    columns: Mapping[str, str] | None = None,
    recalled_at: str | None = None,
    now: str | float | datetime | None = None,
    time_unit: str | None = None,
    max_skew: float | None = None,
) -> dd.DataFrame:
    """ddf with the columns retention (float64), tier and action
    (categoricals over all of ``quillmarrow_engine.TIERS`` and ``ACTIONS``, the
    same in every partition) added: each partition is what
    ``quillmarrow_engine.tier_table`` gives for it, index and other columns
    passed through, columns already named retention, tier or action replaced
    where they stand.

    ddf needs the columns days_since_recall, retrieval_count, importance and
    frequency, and may have is_procedural and keep_forever. The result is
    lazy: a bad row fails the computation with tier_table's error (naming
    the column and the row's index within its partition).

    columns, recalled_at, now, time_unit and max_skew are tier_table's; now
    is fixed here, on the client (default: this moment), so every partition
    counts to the same instant.
    """
    from functools import partial

    from ._sealed import sealed
    from .frames import apply

    vocab = vocabulary(columns, recalled_at, now, time_unit, max_skew)
    tier = partial(apply, vocab=vocab, caller="tier_dataframe")
    # Sealed: a worker that cannot import the engine fails the task with
    # that ImportError instead of dying (which would leave the computation
    # waiting for ever).
    return ddf.map_partitions(sealed(tier), meta=tier(ddf._meta))
