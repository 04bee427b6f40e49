"""The names every road shares: the record's fields, the result columns, and
the tier and action names in the order of their codes."""

from __future__ import annotations

from ._bulk import ACTIONS, FIELDS, TIERS

__all__ = ["ACTIONS", "FIELDS", "FLAG_FIELDS", "NUMBER_FIELDS", "RESULT_FIELDS", "TIERS"]

# FIELDS: the fields of a TierInput in declared order; a RetentionInput has
# the first four. TIERS and ACTIONS: the names the engine writes, indexed by
# the codes in the tier and action arrays. All three come from the engine.
NUMBER_FIELDS: tuple[str, ...] = FIELDS[:4]
FLAG_FIELDS: tuple[str, ...] = FIELDS[4:]
# The columns a tiering writes.
RESULT_FIELDS = ("tier", "action", "retention")
