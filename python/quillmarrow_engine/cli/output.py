"""Everything the command prints on the terminal besides the engine's own
answers: the progress bar, the closing summaries and the error lines."""

from __future__ import annotations

import shutil
import sys
import time
from typing import TYPE_CHECKING, TextIO

from ..tally import Tally

if TYPE_CHECKING:
    from ..retiering import RetierResult

PROG = "quillmarrow-engine"


def print_error(message: object) -> None:
    """One line on standard error, after the program's name."""
    print(f"{PROG}: {message}", file=sys.stderr)


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


def format_transitions(result: RetierResult) -> str:
    """How many rows move from each old tier to each new one, most first."""
    lines = [f"{'old tier':<18} {'new tier':<18} {'rows':>10} {'share':>7}"]
    for (old, new), count in sorted(result.transitions.items(), key=lambda kv: (-kv[1], kv[0])):
        share = 100.0 * count / result.rows
        lines.append(f"{old:<18} {new:<18} {count:>10,} {share:>6.1f}%")
    return "\n".join(lines) + "\n"


def format_retier(result: RetierResult) -> str:
    """The closing report of retier: the summary tier-jsonl gives, the tier
    changes, what was written and what was not; for a run that stopped
    early, how far it got."""
    if result.rows:
        tally = Tally(items=result.rows)
        tally.tiers.update(result.tiers)
        tally.actions.update(result.actions)
        text = format_summary(tally, result.seconds) + "\n" + format_transitions(result)
    else:
        text = "no rows in the table\n" if not result.bad_rows else ""
    verb = "would change" if result.dry_run else "changed"
    text += f"\ntier or action {verb}: {result.changed:,} of {result.rows:,} rows\n"
    what = "tier, action or retention" if result.retention_stored else "tier or action"
    if result.dry_run:
        text += "dry run: nothing written\n"
    elif result.atomic:
        text += f"written: {_rows(result.written)} ({what} differed), in one transaction\n"
    else:
        text += f"written: {_rows(result.written)} ({what} differed), batch by batch\n"
    for count, line in (
        (result.retried, "read again and re-scored: {} (changed or held by the application)"),
        (result.skipped_changed, "skipped: {} the application changed meanwhile (left for the next run)"),
        (result.skipped_locked, "skipped: {} held by another transaction beyond the lock timeout"),
        (result.bad_rows, "set aside {} (bad)"),
    ):
        if count:
            text += line.format(_rows(count)) + "\n"
    if result.stopped is not None:
        total = f"{result.total:,}" if result.total is not None else "?"
        text += f"done: {result.rows + result.bad_rows:,} of {total} rows\n"
    return text


def _rows(count: int) -> str:
    return f"{count:,} row" + ("" if count == 1 else "s")


class Progress:
    """A progress bar redrawn in place on a terminal; does nothing when disabled.

    With the input's size known it shows a bar and the share done; otherwise
    (a pipe) only the running count.
    """

    _EVERY = 0.1  # seconds between redraws

    def __init__(self, stream: TextIO, total: int | None, enabled: bool) -> None:
        self._stream = stream
        self._total = total if total else None
        self._enabled = enabled
        self._start = time.perf_counter()
        self._last_draw = 0.0
        self._drawn = False

    def update(self, items: int, done: int | None, final: bool = False) -> None:
        """items tiered so far; done: how far through the input (bytes, rows)."""
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
        if self._total is not None and done is not None:
            fraction = min(1.0, done / self._total)
            bar_width = max(10, min(40, width - len(status) - 10))
            filled = int(bar_width * fraction)
            line = f"[{'#' * filled}{'.' * (bar_width - filled)}] {fraction:4.0%}  {status}"
        else:
            line = status
        self._stream.write("\r" + line[: width - 1].ljust(width - 1))
        self._stream.flush()
        self._drawn = True

    def rows(self, done: int) -> None:
        """For jobs whose progress is counted in rows: items and done are the same."""
        self.update(done, done)

    def close(self) -> None:
        """End the progress line so that what follows starts on a fresh line."""
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = False


def progress_bar(total: int | None, quiet: bool) -> Progress:
    """A progress bar on standard error, drawn only when that is a terminal."""
    return Progress(sys.stderr, total, enabled=not quiet and sys.stderr.isatty())
