"""What a re-tiering run did (or, dry, would do)."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

NO_VALUE = "(none)"  # how a NULL old tier or action is shown


@dataclass
class RetierResult:
    """What a run did (or, dry, would do).

    A row is written only when its decision changes: its tier or action, or,
    when retention is stored, its retention. The application may change or
    hold rows while the run goes on; such rows are not overwritten but read
    and scored again at the end of the run (`retried`), and those that still
    cannot be written are counted as skipped, to be re-tiered by the next run.
    """

    rows: int = 0  # rows scored (bad rows not included)
    changed: int = 0  # rows whose tier or action changes
    written: int = 0  # rows updated; 0 when dry
    skipped_locked: int = 0  # held by another transaction beyond the lock timeout
    skipped_changed: int = 0  # changed (or deleted) by the application, even when read again
    retried: int = 0  # read and scored again after the application changed or held them
    bad_rows: int = 0  # set aside (errors=...)
    total: int | None = None  # rows in the table, when counted
    stopped: str | None = None  # why a run ended early; None when it went through
    atomic: bool = False
    dry_run: bool = False
    retention_stored: bool = False
    now: float = 0.0  # Unix seconds the days since recall were counted to (0.0 without recall times)
    seconds: float = 0.0
    tiers: Counter[str] = field(default_factory=Counter)
    actions: Counter[str] = field(default_factory=Counter)
    transitions: Counter[tuple[str, str]] = field(default_factory=Counter)  # (old, new) tier
