"""The report of a run: one JSON line per row whose tier or action changes."""

from __future__ import annotations

import io
import json
import os
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Any, TextIO

from .._files import atomic_file


@contextmanager
def report_sink(report: str | os.PathLike[str] | IO[str] | None) -> Iterator[TextIO | None]:
    """Where the report goes: None, a text stream as given, or a file written
    beside its target and renamed at the end, so a failed run leaves no
    half-written report (and an older one as it was)."""
    if report is None:
        yield None
        return
    if not isinstance(report, (str, os.PathLike)):
        yield report  # type: ignore[misc]
        return
    with atomic_file(report) as raw, io.TextIOWrapper(raw, encoding="utf-8", newline="\n") as out:
        yield out


def write_changes(sink: TextIO, changes: Sequence[dict[str, Any]]) -> None:
    if changes:
        lines = (json.dumps(change, default=str, allow_nan=False) for change in changes)
        sink.write("\n".join(lines) + "\n")
