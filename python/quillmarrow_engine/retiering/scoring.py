"""One batch of rows scored: the stored values turned into the engine's arrays,
one tier_arrays call, and what changed against the stored results."""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from .._optional import require
from ..columns import tier_arrays
from ..errors import RetierError
from ..fields import ACTIONS, FLAG_FIELDS, NUMBER_FIELDS, TIERS
from ..stores import Batch, Decisions, Layout
from ..frames.vocabulary import Vocabulary
from ..stores.values import Problems, days_array, flag_array, number_array, show_key
from .result import NO_VALUE, RetierResult


class _Names(dict):  # type: ignore[type-arg]
    """Codes of old tier or action values: the engine's names first, then others as met."""

    def __init__(self, names: Sequence[str]) -> None:
        super().__init__((name, code) for code, name in enumerate(names))
        self.names: list[Any] = list(names)

    def __missing__(self, value: Any) -> int:
        code = len(self.names)
        self.names.append(value)
        self[value] = code
        return code

    def label(self, code: int) -> str:
        value = self.names[code]
        return NO_VALUE if value is None else str(value)


@dataclass
class Scored:
    rows: int
    tier: Any  # int32 codes into TIERS
    action: Any  # int32 codes into ACTIONS
    retention: Any  # float64
    old_tier: Any  # codes into Scorer.old_tiers
    old_action: Any
    changed: Any  # bool: tier or action changes
    write: Any  # bool: a good row with anything to write
    problems: Problems  # the bad rows: index -> (column, message)

    def bad(self) -> list[int]:
        return sorted(self.problems)


def row_name(key: str, value: Any) -> str:
    """How a message names a row: by its key, as the database shows it."""
    return f"row {key}={show_key(value)}"


class Scorer:
    """Scores the batches of one run; remembers the old names it met."""

    def __init__(self) -> None:
        self.old_tiers = _Names(TIERS)
        self.old_actions = _Names(ACTIONS)

    # NumPy is imported by the first batch scored here: a run computed in
    # the database may never need it.
    @functools.cached_property
    def np(self) -> Any:
        return require("numpy", "arrays", "re-tiering")

    @functools.cached_property
    def tier_objects(self) -> Any:
        return self.np.array(TIERS, dtype=object)

    @functools.cached_property
    def action_objects(self) -> Any:
        return self.np.array(ACTIONS, dtype=object)

    def score(self, batch: Batch, layout: Layout, vocab: Vocabulary) -> Scored:
        np = self.np
        n = len(batch)
        problems = Problems()
        arrays: dict[str, Any] = {}
        for name in NUMBER_FIELDS:
            if name == "days_since_recall" and layout.recalled_at is not None:
                arrays[name] = days_array(batch.values["recalled_at"], layout.recalled_at, vocab,
                                          layout.recalled_counts, problems)
            else:
                arrays[name] = number_array(batch.values[name], layout.inputs[name], problems)
        for name in FLAG_FIELDS:
            if name in layout.inputs:
                arrays[name] = flag_array(batch.values[name], layout.inputs[name], problems)
        old_tier = self._codes(self.old_tiers, batch.old_tier, n)
        old_action = self._codes(self.old_actions, batch.old_action, n)
        old_retention = None if batch.old_retention is None else _old_retention(np, batch.old_retention)
        return self._tier(arrays, old_tier, old_action, old_retention, problems)

    def _codes(self, names: _Names, values: Any, n: int) -> Any:
        """Codes of the stored names; a store may give them as codes already (-1: NULL)."""
        np = self.np
        if isinstance(values, np.ndarray):
            codes = values.astype(np.int32)
            codes[codes < 0] = names[None]
            return codes
        return np.fromiter(map(names.__getitem__, values), np.int32, n)

    def _tier(self, arrays: dict[str, Any], old_tier: Any, old_action: Any,
              old_retention: Any, problems: Problems) -> Scored:
        np = self.np
        try:
            out = tier_arrays(
                arrays["days_since_recall"],
                arrays["retrieval_count"],
                arrays["importance"],
                arrays["frequency"],
                is_procedural=arrays.get("is_procedural"),
                keep_forever=arrays.get("keep_forever"),
            )
        except (TypeError, ValueError) as exc:
            # The checks above should have caught it; the engine's word stands.
            raise RetierError(f"the engine refused a batch: {exc}") from None
        tier = out.tier.astype(np.int32)
        action = out.action.astype(np.int32)
        changed = (old_tier != tier) | (old_action != action)
        write = changed if old_retention is None else changed | ~(old_retention == out.retention)
        if problems:
            write = write.copy()
            write[list(problems)] = False
        return Scored(len(tier), tier, action, out.retention, old_tier, old_action, changed, write,
                      problems)

    def account(self, s: Scored, rows: Any, result: RetierResult) -> None:
        """Counts the rows (indices into s) in the result's totals."""
        np = self.np
        tier, action, old_tier = s.tier[rows], s.action[rows], s.old_tier[rows]
        result.rows += len(tier)
        result.changed += int(s.changed[rows].sum())
        for code, count in enumerate(np.bincount(tier, minlength=len(TIERS))):
            if count:
                result.tiers[TIERS[code]] += int(count)
        for code, count in enumerate(np.bincount(action, minlength=len(ACTIONS))):
            if count:
                result.actions[ACTIONS[code]] += int(count)
        width = len(TIERS)
        pairs = np.bincount(old_tier * width + tier)
        for pair in np.flatnonzero(pairs):
            old, new = divmod(int(pair), width)
            result.transitions[(self.old_tiers.label(old), TIERS[new])] += int(pairs[pair])

    def change(self, s: Scored, batch: Batch, i: int, key: Any) -> dict[str, Any]:
        """The report's entry for row i, whose tier or action changes."""
        return {
            "key": key,
            "old_tier": self.old_tiers.names[s.old_tier[i]],
            "new_tier": TIERS[s.tier[i]],
            "old_action": self.old_actions.names[s.old_action[i]],
            "new_action": ACTIONS[s.action[i]],
            "retention": float(s.retention[i]),
        }

    def decisions(self, s: Scored, rows: Any, store_retention: bool) -> Decisions:
        """The decisions of the rows (indices into s) to write."""
        return Decisions(
            rows=rows.tolist(),
            tiers=self.tier_objects[s.tier[rows]].tolist(),
            actions=self.action_objects[s.action[rows]].tolist(),
            retentions=s.retention[rows].tolist() if store_retention else None,
        )


def _old_retention(np: Any, values: Sequence[Any]) -> Any:
    """The stored retentions as doubles; NULL or anything not a number is NaN (never equal)."""
    try:
        return np.array(values, dtype=np.float64)  # None becomes NaN
    except (TypeError, ValueError):
        return np.array([_float_or_nan(v) for v in values], dtype=np.float64)


def _float_or_nan(value: Any) -> float:
    if value is None or isinstance(value, (str, bytes)):
        return math.nan
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan
