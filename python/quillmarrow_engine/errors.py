"""The errors of the package, all derived from one base class.

A caller (and the command-line tool) catches every refusal of this package
with one ``except QuillmarrowError``. The column functions keep raising the
built-in ``ValueError`` and ``TypeError`` for bad columns, as NumPy does.
"""

from __future__ import annotations


class QuillmarrowError(Exception):
    """Base class of every error this package raises on purpose."""


class UsageError(QuillmarrowError):
    """A bad option or argument, found before any work started."""


class MissingDependency(QuillmarrowError, ImportError):
    """An optional library that the call needs is not installed."""


class PayloadError(QuillmarrowError):
    """The engine refused a payload (its message, unchanged)."""


class RecordError(QuillmarrowError):
    """A record of a JSON Lines export that the engine refused, with its line number."""

    def __init__(self, line_number: int, message: str) -> None:
        super().__init__(line_number, message)
        self.line_number = line_number
        self.message = message

    def __str__(self) -> str:
        return f"line {self.line_number}: {self.message}"


class RetierError(QuillmarrowError):
    """A re-tiering run cannot go on: a bad row, a missing column, a bad option,
    a lock held too long.

    `result` is None when the run stopped before writing anything (the table
    is as it was), else the RetierResult of what it had done: the batches it
    had written stay written, and `result.stopped` says why it stopped."""

    result: object = None


class JobError(QuillmarrowError):
    """A Parquet job failed; the message says what and where, in one line."""
