"""Re-tier a memory store where it lives: a SQLite or PostgreSQL table.

Rows are read in batches (stores/), their columns turned into arrays and
scored by `tier_arrays` in one call per batch (scoring.py); the new tier,
action and retention go back set-based, and the whole run is one
transaction (job.py). The table's columns are matched to the record's fields
in layout.py, and the report of changed rows is written by report.py.
"""

from __future__ import annotations

from .job import DEFAULT_BATCH_SIZE, RetierResult, retier

__all__ = ["DEFAULT_BATCH_SIZE", "RetierResult", "retier"]
