"""A cluster worker's failure, told the way the user can act on it.

When a task fails on a Spark executor's Python worker or a Dask worker, what
reaches the client is the worker's exception: for Dask the exception object
itself, carrying the worker's traceback; for Spark only text, in which the
worker's traceback comes last. Either is read into a WorkerFailure (the
exception's type and message and the traceback's innermost frames), which
`describe` turns into the message the tool prints:

    a Spark Python worker failed: ModuleNotFoundError: No module named 'quillmarrow_engine'
      the workers' Python (...) lacks quillmarrow_engine; they need the quillmarrow-engine wheel, ...
      worker traceback, innermost call last:
        File ".../pyspark/serializers.py", line 483, in loads
          return cloudpickle.loads(obj, encoding=encoding)
"""

from __future__ import annotations

import re
import traceback
from dataclasses import dataclass
from types import TracebackType

from ._version import __version__

# What a worker's Python needs to tier rows, as the README lists it.
WORKERS_NEED = "the quillmarrow-engine wheel, NumPy and pyarrow"
# Modules whose absence on a worker the hint names.
_NEEDED_MODULES = ("quillmarrow_engine", "quillmarrow_engine_native", "numpy", "pyarrow", "pandas")
_HEADER = "Traceback (most recent call last):"
_KIND = re.compile(r"[A-Za-z_][\w.]*")
_CARETS = re.compile(r"\s*[\^~]+\s*")
_MISSING_MODULE = re.compile(r"No module named '([^'.]+)")
_RECIPE = "see \"Shipping the wheel to a cluster's workers\" in the README"
# Frames of the traceback shown (the innermost ones, where the failure is).
SHOWN_FRAMES = 3


@dataclass(frozen=True)
class WorkerFailure:
    """A worker's exception: its type (as the traceback names it, e.g.
    ``ModuleNotFoundError`` or ``quillmarrow_engine.errors.JobError``), its
    message, and the traceback's frames, outermost first, each the lines of
    one call ('File "...", line N, in f' and its source line)."""

    kind: str
    message: str
    frames: tuple[tuple[str, ...], ...] = ()

    @property
    def name(self) -> str:
        """The exception's class name, without its module."""
        return self.kind.rpartition(".")[2]

    def headline(self) -> str:
        """``Name: message``, as the last line of a traceback shows it."""
        return f"{self.name}: {self.message}" if self.message else self.name


def from_text(text: str) -> WorkerFailure | None:
    """The failure whose traceback comes last in text (a Spark error's text),
    or None when text holds no Python traceback."""
    start = text.rfind(_HEADER)
    if start < 0:
        return None
    lines = text[start + len(_HEADER) :].splitlines()[1:]
    frames: list[list[str]] = []
    index = 0
    while index < len(lines) and lines[index].startswith(" "):
        line = lines[index].rstrip()
        index += 1
        if _CARETS.fullmatch(line):
            continue  # the markers under a failing expression
        if line.lstrip().startswith("File ") or not frames:
            frames.append([line])
        else:
            frames[-1].append(line)
    if index == len(lines):
        return None
    kind, _, message = lines[index].partition(":")
    if not _KIND.fullmatch(kind):
        return None
    rest = []
    # A message of several lines runs on until the text around the
    # traceback resumes (a blank line or the JVM's stack).
    for line in lines[index + 1 :]:
        if not line.strip() or line.startswith("\tat ") or line.startswith("\t..."):
            break
        rest.append(line.rstrip())
    message = "\n".join([message.strip(), *rest]).strip()
    return WorkerFailure(kind, message, tuple(tuple(f) for f in frames))


def from_exception(exc: BaseException, trace: TracebackType | None = None) -> WorkerFailure:
    """The failure an exception object describes, with the frames of trace
    (default: the exception's own traceback); for a Dask task, the worker's
    traceback that the task's future gives."""
    kind = type(exc).__qualname__
    module = type(exc).__module__
    if module not in ("builtins", "__main__"):
        kind = f"{module}.{kind}"
    frames = []
    for frame in traceback.extract_tb(trace if trace is not None else exc.__traceback__):
        lines = [f'  File "{frame.filename}", line {frame.lineno}, in {frame.name}']
        if frame.line:
            lines.append(f"    {frame.line.strip()}")
        frames.append(tuple(lines))
    return WorkerFailure(kind, str(exc), tuple(frames))


def missing_module(failure: WorkerFailure) -> str | None:
    """The module a worker lacks, when that is the failure and the module is
    one the workers need; else None."""
    if failure.name == "MissingDependency":
        found = re.search(r"needs ([\w.]+)", failure.message)
        return found.group(1) if found else "a module"
    if failure.name in ("ModuleNotFoundError", "ImportError"):
        found = _MISSING_MODULE.search(failure.message)
        if found and found.group(1) in _NEEDED_MODULES:
            return found.group(1)
    return None


def _other_version(failure: WorkerFailure) -> bool:
    """Whether the worker could not find a function of the engine's by name:
    its engine is not the version the client sent the task from."""
    return failure.name == "AttributeError" and "quillmarrow_engine" in failure.message and (
        "Can't get attribute" in failure.message or "has no attribute" in failure.message
    )


def describe(failure: WorkerFailure, where: str, python: str | None = None, needs: str = WORKERS_NEED) -> str:
    """The message for a failure on a worker: where it happened and the
    exception, a hint when the worker lacks a module it needs (python: how
    the workers' interpreter is chosen, e.g. "PYSPARK_PYTHON=..."), and the
    innermost frames of the worker's traceback."""
    lines = [f"{where} failed: {failure.headline()}"]
    whose = f"the workers' Python ({python})" if python else "the workers' Python"
    module = missing_module(failure)
    if module is not None:
        lines.append(f"  {whose} lacks {module}; they need {needs} ({_RECIPE})")
    elif _other_version(failure):
        lines.append(
            f"  {whose} has another version of quillmarrow-engine than this one ({__version__}); "
            f"install the same wheel there ({_RECIPE})"
        )
    shown = failure.frames[-SHOWN_FRAMES:]
    if shown:
        omitted = len(failure.frames) - len(shown)
        more = f" ({omitted} outer call{'s' if omitted != 1 else ''} left out)" if omitted else ""
        lines.append(f"  worker traceback, innermost call last{more}:")
        lines.extend(f"  {line}" for frame in shown for line in frame)
    return "\n".join(lines)
