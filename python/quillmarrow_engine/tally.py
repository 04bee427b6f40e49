"""What a tiering run counts: items per tier and per action, and bad lines set aside."""

from __future__ import annotations

from collections import Counter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field


@dataclass
class Tally:
    """Items counted per tier and per action, and the bad lines set aside."""

    items: int = 0
    bad_lines: int = 0
    tiers: Counter[str] = field(default_factory=Counter)
    actions: Counter[str] = field(default_factory=Counter)

    def add_counts(self, items: int, tiers: Mapping[str, int], actions: Mapping[str, int]) -> None:
        """Counts already made per name (a file's, a partition's)."""
        self.items += items
        self.tiers.update(tiers)
        self.actions.update(actions)

    def add_codes(
        self,
        per_action: Sequence[int],
        action_names: Sequence[str],
        per_tier: Sequence[int],
        tier_names: Sequence[str],
        bad_lines: int = 0,
    ) -> None:
        """Counts given per code, as the native functions report them:
        per_action[code] items took the action action_names[code], and
        per_tier[code] went to the tier tier_names[code]."""
        self.bad_lines += bad_lines
        for code, count in enumerate(per_action):
            if count:
                self.items += count
                self.actions[action_names[code]] += count
        for code, count in enumerate(per_tier):
            if count:
                self.tiers[tier_names[code]] += count
