"""Planning a job: the input files, where their output goes, and the staging
folder that becomes OUTPUT only when the job succeeded."""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .._files import stale_names, temporary_name
from .._optional import require
from ..errors import UsageError

if TYPE_CHECKING:
    import pyarrow.fs

ENGINES = ("local", "dask", "spark")
# The modules each engine needs, and the extra that installs them.
NEEDS = {
    "local": (("pyarrow", "numpy"), "tables"),
    "dask": (("pyarrow", "numpy", "pandas", "dask", "distributed"), "dask"),
    "spark": (("pyarrow", "numpy", "pyspark"), "spark"),
}
DEFAULT_BATCH_ROWS = 131_072
DEFAULT_WORKERS = 2


@dataclass(frozen=True)
class Source:
    """One input file and the path of its output file relative to OUTPUT."""

    path: str
    relative: str


@dataclass
class Job:
    """What to read and where to write: filesystems, files and the staging folder."""

    input: str
    output: str
    in_fs: Any
    out_fs: Any
    out_path: str
    staging: str
    sources: list[Source] = field(default_factory=list)


def _fs() -> Any:
    return require("pyarrow.fs", "tables", "tier-parquet")


def _filesystem(path: str) -> tuple[pyarrow.fs.FileSystem, str]:
    fs = _fs()
    if "://" in path:
        return fs.FileSystem.from_uri(path)
    return fs.LocalFileSystem(), os.path.abspath(path)


def _hidden(relative: str) -> bool:
    return any(part.startswith(("_", ".")) for part in relative.split("/"))


def plan(input_path: str, output_path: str) -> Job:
    """List INPUT's Parquet files and choose OUTPUT's staging folder.

    Raises UsageError for an INPUT that is not there, an OUTPUT that
    already exists (other than as an empty folder) or lies inside INPUT.
    """
    fs = _fs()
    try:
        in_fs, in_path = _filesystem(input_path)
        out_fs, out_path = _filesystem(output_path)
    except (ValueError, OSError) as exc:
        raise UsageError(str(exc)) from None
    info = in_fs.get_file_info(in_path)
    if info.type == fs.FileType.File:
        sources = [Source(in_path, os.path.basename(in_path))]
    elif info.type == fs.FileType.Directory:
        found = in_fs.get_file_info(fs.FileSelector(in_path, recursive=True))
        sources = []
        for entry in sorted(found, key=lambda e: e.path):
            relative = entry.path[len(in_path) :].lstrip("/")
            if entry.type == fs.FileType.File and not _hidden(relative):
                sources.append(Source(entry.path, relative))
    else:
        raise UsageError(f"cannot read {input_path}: no such file or directory")
    if not sources:
        raise UsageError(f"no Parquet files in {input_path}")

    same_fs = type(in_fs) is type(out_fs)
    if same_fs and (out_path == in_path or out_path.startswith(in_path.rstrip("/") + "/")):
        raise UsageError("OUTPUT must not be INPUT or lie inside it")
    target = out_fs.get_file_info(out_path)
    if target.type == fs.FileType.Directory:
        if out_fs.get_file_info(fs.FileSelector(out_path)):
            raise UsageError(f"OUTPUT already exists and is not empty: {output_path}")
    elif target.type != fs.FileType.NotFound:
        raise UsageError(f"OUTPUT already exists: {output_path}")
    parent, name = os.path.split(out_path.rstrip("/"))
    if out_fs.get_file_info(parent).type != fs.FileType.Directory:
        raise UsageError(f"cannot write {output_path}: no such directory {parent}")
    staging = f"{parent}/{temporary_name(name)}"
    return Job(input_path, output_path, in_fs, out_fs, out_path, staging, sources)


def remove_stale_staging(job: Job) -> None:
    """Removes the staging folders that killed jobs for the same OUTPUT left
    behind (only folders of ended processes of this host, by their names)."""
    fs = _fs()
    parent, name = os.path.split(job.out_path.rstrip("/"))
    try:
        entries = job.out_fs.get_file_info(fs.FileSelector(parent))
    except OSError:
        return
    names = [os.path.basename(e.path.rstrip("/")) for e in entries if e.type == fs.FileType.Directory]
    for stale in stale_names(name, names):
        with suppress(OSError):
            job.out_fs.delete_dir(f"{parent}/{stale}")


@contextmanager
def staged(job: Job, create: bool = True) -> Iterator[str]:
    """Yield the staging folder; move it to OUTPUT on success, remove it on failure."""
    fs = _fs()
    remove_stale_staging(job)
    if create:
        job.out_fs.create_dir(job.staging, recursive=False)
    try:
        yield job.staging
    except BaseException:
        if job.out_fs.get_file_info(job.staging).type != fs.FileType.NotFound:
            job.out_fs.delete_dir(job.staging)
        raise
    if job.out_fs.get_file_info(job.out_path).type == fs.FileType.Directory:
        job.out_fs.delete_dir(job.out_path)  # found empty when the job was planned
    job.out_fs.move(job.staging, job.out_path)


def target(job: Job, staging: str, source: Source) -> str:
    """Where source's output file goes inside the staging folder (its folder made)."""
    path = f"{staging}/{source.relative}"
    folder = os.path.dirname(source.relative)
    if folder:
        job.out_fs.create_dir(f"{staging}/{folder}", recursive=True)
    return path
