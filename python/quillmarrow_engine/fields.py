"""The names every road shares: the record's fields, the result columns, and
the tier and action names in the order of their codes."""

from __future__ import annotations

from . import _bulk

# The fields of a TierInput in declared order; a RetentionInput has the first four.
FIELDS: tuple[str, ...] = _bulk.FIELDS
NUMBER_FIELDS = FIELDS[:4]
FLAG_FIELDS = FIELDS[4:]
# The columns a tiering writes.
RESULT_FIELDS = ("tier", "action", "retention")
# The names the engine writes, indexed by the codes in the tier and action arrays.
TIERS: tuple[str, ...] = _bulk.TIERS
ACTIONS: tuple[str, ...] = _bulk.ACTIONS
