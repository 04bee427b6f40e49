"""Progress line and end-of-run summary of tier-jsonl, both on standard error."""

from __future__ import annotations

import shutil
import time
from collections import Counter
from collections.abc import Sequence
from typing import TextIO


class Decisions:
    """The decisions of one chunk: one JSON object per line, and the names they hold."""

    def __init__(self, text: str, count: int, actions: list[str], tiers: list[str]) -> None:
        self.text = text
        self.count = count
        self.actions = actions
        self.tiers = tiers


class Tally:
    """Items counted per tier and per action, and the bad lines set aside."""

    def __init__(self) -> None:
        self.items = 0
        self.bad_lines = 0
        self.tiers: Counter[str] = Counter()
        self.actions: Counter[str] = Counter()

    def add(self, decisions: Decisions) -> None:
        self.items += decisions.count
        self.tiers.update(decisions.tiers)
        self.actions.update(decisions.actions)

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


def format_summary(tally: Tally, seconds: float) -> str:
    """The closing report: totals, speed, then items per tier and per action."""
    rate = f"{tally.items / seconds:,.0f} items/s" if seconds > 0 else "too fast to time"
    lines = [f"tiered {tally.items:,} items in {seconds:.2f} s ({rate})"]
    if tally.bad_lines:
        noun = "line" if tally.bad_lines == 1 else "lines"
        lines.append(f"set aside {tally.bad_lines:,} bad {noun}")
    for title, counts in (("tier", tally.tiers), ("action", tally.actions)):
        lines.append("")
        lines.append(f"{title:<20} {'items':>10} {'share':>7}")
        # Most frequent first; equal counts in name order.
        for name, count in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
            share = 100.0 * count / tally.items
            lines.append(f"{name:<20} {count:>10,} {share:>6.1f}%")
    return "\n".join(lines) + "\n"


class Progress:
    """A progress bar redrawn in place on a terminal; does nothing when disabled.

    With the input's size known it shows a bar and the share of bytes read;
    otherwise (a pipe) only the running count.
    """

    _EVERY = 0.1  # seconds between redraws

    def __init__(self, stream: TextIO, total_bytes: int | None, enabled: bool) -> None:
        self._stream = stream
        self._total = total_bytes if total_bytes else None
        self._enabled = enabled
        self._start = time.perf_counter()
        self._last_draw = 0.0
        self._drawn = False

    def update(self, items: int, done_bytes: int | None, final: bool = False) -> None:
        if not self._enabled:
            return
        now = time.perf_counter()
        if not final and now - self._last_draw < self._EVERY:
            return
        self._last_draw = now
        elapsed = now - self._start
        rate = f"{items / elapsed:,.0f} items/s" if elapsed > 0 else ""
        status = f"{items:,} items  {rate}"
        width = shutil.get_terminal_size((80, 24)).columns
        if self._total is not None and done_bytes is not None:
            fraction = min(1.0, done_bytes / self._total)
            bar_width = max(10, min(40, width - len(status) - 10))
            filled = int(bar_width * fraction)
            line = f"[{'#' * filled}{'.' * (bar_width - filled)}] {fraction:4.0%}  {status}"
        else:
            line = status
        self._stream.write("\r" + line[: width - 1].ljust(width - 1))
        self._stream.flush()
        self._drawn = True

    def close(self) -> None:
        """End the progress line so that what follows starts on a fresh line."""
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = False
