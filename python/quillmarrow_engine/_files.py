"""Output that appears whole or not at all, under temporary names that a later
run can recognise as its own.

A file or folder being written is named ``.NAME.tmp-HOST-PID-RANDOM`` beside
its target NAME, and renamed to NAME only when the run succeeded. A run that
was killed outright (SIGKILL, a lost machine) cannot remove its temporary
output; the next run for the same target removes it, once the process that
wrote it is gone, and leaves every other name alone.
"""

from __future__ import annotations

import os
import re
import shutil
import socket
import stat
import uuid
from collections.abc import Iterable, Iterator
from contextlib import contextmanager, suppress
from typing import BinaryIO


def temporary_name(target_name: str) -> str:
    """A fresh temporary name for output that becomes target_name."""
    return f".{target_name}.tmp-{_host()}-{os.getpid()}-{uuid.uuid4().hex[:12]}"


def stale_names(target_name: str, names: Iterable[str]) -> list[str]:
    """Those of the names that are temporary output for target_name left by a
    process of this host that has ended."""
    pattern = re.compile(rf"\.{re.escape(target_name)}\.tmp-{re.escape(_host())}-(\d+)-[0-9a-f]{{12}}")
    stale = []
    for name in names:
        found = pattern.fullmatch(name)
        if found and not _running(int(found.group(1))):
            stale.append(name)
    return stale


def remove_stale(target: str) -> None:
    """Removes the temporary output of ended runs for the local path target."""
    folder, name = os.path.split(os.path.abspath(target))
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for stale in stale_names(name, names):
        path = os.path.join(folder, stale)
        with suppress(OSError):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)


@contextmanager
def atomic_file(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """Writes path beside its target under a temporary name and renames it on
    success, so a failed run leaves neither a half-written file nor the
    temporary one (and an existing file stays as it was). The new file gets
    the mode of the file it replaces, or what a new file would get. A target
    that cannot be written raises OSError naming the target."""
    target = os.path.abspath(path)
    remove_stale(target)
    temporary = os.path.join(os.path.dirname(target), temporary_name(os.path.basename(target)))
    try:
        out = open(temporary, "xb")
    except OSError as exc:
        # Named by the target the caller gave, not by the temporary name.
        error = type(exc)(f"cannot write {os.fspath(path)}: {exc.strerror}")
        error.errno = exc.errno
        raise error from None
    try:
        with out:
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


def _host() -> str:
    # Only characters that need no quoting in a file name, and no "-" runs
    # that could be mistaken for the separators around the process id.
    return re.sub(r"[^A-Za-z0-9.]", "_", socket.gethostname()) or "host"


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # it exists but belongs to someone else
    return True

