"""Re-tier a memory store where it lives: a SQLite or PostgreSQL table.

Rows are read in batches (stores/), their columns turned into arrays and
scored by `tier_arrays` in one call per batch (scoring.py); only the rows
whose decision changes are written back, each batch in a short transaction
with a compare-and-set against the values read (passes.py), or the whole run
in one transaction when atomic (job.py). The table's columns are matched to
the record's fields in layout.py, and the report of changed rows and the bad
rows set aside are written by report.py.
"""

from __future__ import annotations

from .job import DEFAULT_BATCH_SIZE, DEFAULT_LOCK_TIMEOUT, retier
from .result import RetierResult

__all__ = ["DEFAULT_BATCH_SIZE", "DEFAULT_LOCK_TIMEOUT", "RetierResult", "retier"]
