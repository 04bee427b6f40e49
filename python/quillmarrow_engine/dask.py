"""Tiering a Dask DataFrame on the workers.

    import dask.dataframe as dd
    from quillmarrow_engine.dask import tier_dataframe
    tiered = tier_dataframe(dd.read_parquet("s3://bucket/memories/"))

Each partition (a pandas DataFrame) is tiered by one ``tier_table`` call in
``map_partitions``: no Python runs per row, and the engine releases the
interpreter lock while it computes, so a worker's other threads go on. The
workers need nothing but the installed quillmarrow-engine wheel.

This module's name is the library's: every import of Dask here is absolute
(``import dask.dataframe`` finds the real Dask, never this file).
"""

from __future__ import annotations

from typing import Any

import dask.dataframe as dd

from .parquet import NEW_COLUMNS


def tier_dataframe(ddf: dd.DataFrame) -> dd.DataFrame:
    """ddf with the columns retention (float64), tier and action
    (categoricals over all of ``quillmarrow_engine.TIERS`` and ``ACTIONS``, the
    same in every partition) added, row for row what
    ``quillmarrow_engine.tier_table`` gives; the index and other columns pass
    through, and columns already named retention, tier or action are replaced.

    ddf needs the columns days_since_recall, retrieval_count, importance and
    frequency, and may have is_procedural and keep_forever. The result is
    lazy: a bad row fails the computation with tier_table's error (naming
    the column and the row's index within its partition).
    """
    return ddf.map_partitions(tier_partition, meta=tier_partition(ddf._meta))


def tier_partition(frame: Any) -> Any:
    """One partition tiered: tier_table with fixed categories and the partition's index."""
    import pandas as pd

    from . import ACTIONS, TIERS, tier_table

    frame = frame.drop(columns=[c for c in NEW_COLUMNS if c in frame.columns])
    tiered = tier_table(frame)
    tiered.index = frame.index
    for name, names in (("tier", TIERS), ("action", ACTIONS)):
        column = tiered[name]
        if not isinstance(column.dtype, pd.CategoricalDtype):
            column = column.astype("category")
        # set_categories, not astype: two unordered categorical types with the
        # same names are equal to pandas whatever their order.
        tiered[name] = column.cat.set_categories(list(names))
    return tiered
