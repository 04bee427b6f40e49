"""Output files that appear whole or not at all."""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import BinaryIO


@contextmanager
def atomic_file(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """Writes path beside its target under a temporary name and renames it on
    success, so a failed run leaves neither a half-written file nor the
    temporary one (and an existing file stays as it was). The new file gets
    the mode of the file it replaces, or what a new file would get."""
    target = os.path.abspath(path)
    fd, temporary = tempfile.mkstemp(
        dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".tmp"
    )
    try:
        with open(fd, "wb") as out:
            yield out
        os.chmod(temporary, _new_file_mode(target))
        os.replace(temporary, target)
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def _new_file_mode(path: str) -> int:
    """The mode of the file being replaced, or what a new file would get."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask
