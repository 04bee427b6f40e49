"""The tier-parquet job: re-tier a Parquet dataset into a new one.

INPUT is a Parquet file or a dataset directory: any path pyarrow opens, a
local path or a URI such as ``s3://bucket/memories`` when that filesystem's
package is installed. Files and folders whose names begin with ``_`` or
``.`` are markers and are skipped, as every Parquet reader does.

OUTPUT becomes a Parquet dataset with the input's columns and ``retention``
(float64), ``tier`` and ``action`` (dictionary-encoded strings), the values
``tier_table`` gives; as there, an input's own columns of those three names
are replaced where they stand. The engines:

- ``local`` (local.py): this process, file after file, one batch of rows at
  a time, so memory stays bounded whatever the dataset's size.
- ``dask`` (on_dask.py): one task per input file on a Dask cluster, each the
  same batch-by-batch routine as ``local`` (files.py).
- ``spark`` (on_spark.py): Spark reads the dataset,
  ``quillmarrow_engine.spark`` tiers it in the executors, and Spark writes the
  files, laid out its own way.

With ``local`` and ``dask`` every input file gives one output file at the
same relative path, rows in input order, and the input's column types.

The job writes into a hidden folder beside OUTPUT and moves it into place
only when every row succeeded, so a failed job leaves no OUTPUT (plan.py). A
bad row (null, NaN, infinity, a flag that is not a boolean) fails the job
with tier_table's message, naming the file and the row's index within the
file (counted from 0).

pyarrow, dask and pyspark are imported only when a job runs.
"""

from __future__ import annotations

from ..errors import JobError
from .local import run_local
from .on_dask import run_dask
from .on_spark import run_spark
from .plan import DEFAULT_BATCH_ROWS, DEFAULT_WORKERS, ENGINES, NEEDS, Job, Source, plan

__all__ = [
    "DEFAULT_BATCH_ROWS",
    "DEFAULT_WORKERS",
    "ENGINES",
    "NEEDS",
    "Job",
    "JobError",
    "Source",
    "plan",
    "run_dask",
    "run_local",
    "run_spark",
]
