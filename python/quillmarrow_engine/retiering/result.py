"""What a re-tiering run did (or, dry, would do)."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

NO_VALUE = "(none)"  # how a NULL old tier or action is shown


@dataclass
class RetierResult:
    """What a run did (or, dry, would do)."""

    rows: int = 0
    changed: int = 0  # rows whose tier or action changes
    written: int = 0  # rows updated (tier, action or retention differ); 0 when dry
    dry_run: bool = False
    now: float = 0.0  # Unix seconds the days since recall were counted to
    seconds: float = 0.0
    tiers: Counter[str] = field(default_factory=Counter)
    actions: Counter[str] = field(default_factory=Counter)
    transitions: Counter[tuple[str, str]] = field(default_factory=Counter)  # (old, new) tier
