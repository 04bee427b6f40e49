"""What a run writes beside the table: the report (one JSON line per row whose
tier or action changes) and the bad rows set aside."""

from __future__ import annotations

import io
import json
import os
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Any, TextIO

from .._files import atomic_file


@contextmanager
def output_sink(
    target: str | os.PathLike[str] | IO[str] | None,
    keep_on_failure: Callable[[], bool] = lambda: False,
) -> Iterator[TextIO | None]:
    """Where a report goes: None, a text stream as given, or a file written
    beside its target and renamed at the end, so that a failed run leaves no
    half-written file (and an older one as it was). When keep_on_failure()
    says so at the failure, the file is put in place all the same: it then
    tells of batches that were written and stay written."""
    if target is None:
        yield None
        return
    if not isinstance(target, (str, os.PathLike)):
        yield target  # type: ignore[misc]
        return
    failure: BaseException | None = None
    with atomic_file(target) as raw, io.TextIOWrapper(raw, encoding="utf-8", newline="\n") as out:
        try:
            yield out
        except BaseException as exc:
            if not keep_on_failure():
                raise
            failure = exc
    if failure is not None:
        raise failure


def write_changes(sink: TextIO, changes: Sequence[dict[str, Any]]) -> None:
    if changes:
        lines = (json.dumps(change, default=str, allow_nan=False) for change in changes)
        sink.write("\n".join(lines) + "\n")


def write_bad_row(sink: TextIO, key: Any, column: str, message: str) -> None:
    """One bad row set aside, as tier-jsonl writes a bad line: compact, keys in byte order."""
    entry = {"column": column, "key": key, "message": message}
    sink.write(json.dumps(entry, default=str, ensure_ascii=False, separators=(",", ":"),
                          sort_keys=True) + "\n")
