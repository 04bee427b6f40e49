"""A worker's failure read from Spark's error text or Dask's exception, and
the message made of it: the exception's type and message first, a hint
when the worker lacks what it needs, then the innermost frames."""

import pytest

from quillmarrow_engine import __version__
from quillmarrow_engine.errors import MissingDependency
from quillmarrow_engine.worker_errors import SHOWN_FRAMES, WorkerFailure, describe, from_exception, from_text

# What pyspark's PythonException says when a worker cannot unpickle the task.
SPARK_IMPORT = """An exception was thrown from the Python worker:
Traceback (most recent call last):
  File "/env/pyspark.zip/pyspark/worker.py", line 4207, in invoke_udf
    func, profiler, deserializer, serializer = read_udfs(
                                               ^^^^^^^^^^
  File "/env/pyspark.zip/pyspark/worker_util.py", line 75, in read_command
    command = serializer.loads(file)
              ^^^^^^^^^^^^^^^^^^^^^^
  File "/env/pyspark.zip/pyspark/serializers.py", line 483, in loads
    return cloudpickle.loads(obj, encoding=encoding)
           ^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^
ModuleNotFoundError: No module named 'quillmarrow_engine'
"""

# The same failure as a Py4JJavaError shows it: the traceback inside the JVM's stack.
JVM_WRAPPED = """An error occurred while calling o52.parquet.
: org.apache.spark.SparkException: Job aborted due to stage failure: Task 0 in stage 1.0 failed 1 times
org.apache.spark.api.python.PythonException: Traceback (most recent call last):
  File "/env/quillmarrow_engine/columns.py", line 178, in tier_arrays
    np = _numpy()
  File "/env/quillmarrow_engine/_optional.py", line 23, in require
    raise MissingDependency(needs_message(purpose, [module], extra)) from None
quillmarrow_engine.errors.MissingDependency: quillmarrow_engine.columns needs numpy: pip install 'quillmarrow-engine[arrays]'
\tat org.apache.spark.api.python.BasePythonRunner$ReaderIterator.handlePythonException(PythonRunner.scala:624)
\tat org.apache.spark.sql.execution.python.PythonArrowOutput$$anon$1.read(PythonArrowOutput.scala:118)
"""

# Two exceptions chained: the last traceback is the one that ended the task.
CHAINED = """Traceback (most recent call last):
  File "/env/a.py", line 1, in first
    raise KeyError("x")
KeyError: 'x'

During handling of the above exception, another exception occurred:

Traceback (most recent call last):
  File "/env/b.py", line 2, in second
    raise RuntimeError("second\\nline two")
RuntimeError: second
line two
"""

LOCATED = """Traceback (most recent call last):
  File "/env/quillmarrow_engine/parquet/on_spark.py", line 9, in _check_located
    raise JobError(describe_failure(exc, batch, file_of, row_of)) from None
quillmarrow_engine.errors.JobError: /data/part-00002.parquet: column 'importance': row 17 is null, not a number
"""

NO_MESSAGE = """Traceback (most recent call last):
  File "/env/a.py", line 3, in run
    raise StopIteration
StopIteration
"""

# text, its kind, message, and how many frames
TEXTS = [
    (SPARK_IMPORT, "ModuleNotFoundError", "No module named 'quillmarrow_engine'", 3),
    (JVM_WRAPPED, "quillmarrow_engine.errors.MissingDependency",
     "quillmarrow_engine.columns needs numpy: pip install 'quillmarrow-engine[arrays]'", 2),
    (CHAINED, "RuntimeError", "second\nline two", 1),
    (LOCATED, "quillmarrow_engine.errors.JobError",
     "/data/part-00002.parquet: column 'importance': row 17 is null, not a number", 1),
    (NO_MESSAGE, "StopIteration", "", 1),
]


@pytest.mark.parametrize("text,kind,message,frames", TEXTS)
def test_the_last_traceback_in_a_text_is_read(text, kind, message, frames):
    failure = from_text(text)
    assert (failure.kind, failure.message, len(failure.frames)) == (kind, message, frames)
    # Every frame starts with its File line; the carets under expressions are gone.
    for frame in failure.frames:
        assert frame[0].lstrip().startswith("File ")
        assert not any(set(line.strip()) <= set("^~") for line in frame)


@pytest.mark.parametrize("text", [
    "",
    "[PATH_ALREADY_EXISTS] Path file:/tmp/out already exists.",
    "Traceback (most recent call last):\n  File \"a.py\", line 1, in f\n",  # cut off before the exception
    "Traceback (most recent call last):\n  File \"a.py\", line 1, in f\n\tat org.apache.Foo(Foo.java:1)\n",
])
def test_a_text_without_a_whole_traceback_gives_none(text):
    assert from_text(text) is None


def test_the_message_leads_with_the_exception_and_shows_the_innermost_frames():
    failure = from_text(SPARK_IMPORT)
    lines = describe(failure, "a Spark Python worker", python="/opt/env/bin/python").splitlines()
    assert lines[0] == "a Spark Python worker failed: ModuleNotFoundError: No module named 'quillmarrow_engine'"
    assert lines[1].startswith("  the workers' Python (/opt/env/bin/python) lacks quillmarrow_engine; they need ")
    assert "NumPy and pyarrow" in lines[1] and "Shipping the wheel" in lines[1]
    assert lines[2] == "  worker traceback, innermost call last:"
    assert lines[-2:] == [
        '    File "/env/pyspark.zip/pyspark/serializers.py", line 483, in loads',
        "      return cloudpickle.loads(obj, encoding=encoding)",
    ]


def test_only_the_innermost_frames_are_shown():
    frames = tuple((f'  File "/env/m.py", line {n}, in f{n}', f"    f{n + 1}()") for n in range(10))
    text = describe(WorkerFailure("ValueError", "bad", frames), "a Dask worker")
    assert f"({10 - SHOWN_FRAMES} outer calls left out)" in text
    assert "in f6\n" not in text and "in f7\n" in text and text.endswith("    f10()")


# failure, the words its hint must hold (None: no hint)
HINTS = [
    (WorkerFailure("ModuleNotFoundError", "No module named 'numpy'"), "lacks numpy"),
    (WorkerFailure("ModuleNotFoundError", "No module named 'pyarrow.lib'"), "lacks pyarrow"),
    (WorkerFailure("ModuleNotFoundError", "No module named 'quillmarrow_engine_native'"), "lacks quillmarrow_engine_native"),
    (WorkerFailure("quillmarrow_engine.errors.MissingDependency", "quillmarrow_engine.columns needs numpy: pip"),
     "lacks numpy"),
    (WorkerFailure("AttributeError", "Can't get attribute '_decide' on <module 'quillmarrow_engine.spark'>"),
     f"another version of quillmarrow-engine than this one ({__version__})"),
    # A module the job does not need, and failures that are not about the set-up.
    (WorkerFailure("ModuleNotFoundError", "No module named 'my_udfs'"), None),
    (WorkerFailure("AttributeError", "'NoneType' object has no attribute 'x'"), None),
    (WorkerFailure("MemoryError", ""), None),
]


@pytest.mark.parametrize("failure,hint", HINTS)
def test_a_hint_only_when_the_worker_lacks_what_it_needs(failure, hint):
    lines = describe(failure, "a Dask worker").splitlines()
    if hint is None:
        assert lines == [f"a Dask worker failed: {failure.headline()}"]
    else:
        assert len(lines) == 2 and hint in lines[1], lines


def test_an_exception_with_a_traceback_from_elsewhere():
    def inner():
        raise MissingDependency("quillmarrow_engine.columns needs numpy: pip install 'quillmarrow-engine[arrays]'")

    try:
        inner()
    except MissingDependency as exc:
        caught = exc
    failure = from_exception(caught)
    assert failure.kind == "quillmarrow_engine.errors.MissingDependency" and failure.name == "MissingDependency"
    assert failure.frames[-1][0].endswith(", in inner")
    assert failure.frames[-1][1].strip().startswith("raise MissingDependency(")
    # A traceback given (a Dask future's: the worker's) replaces the exception's own.
    assert from_exception(ValueError("v"), caught.__traceback__).frames == failure.frames
    assert from_exception(ValueError("v")).frames == ()
    assert from_exception(ValueError("v")).headline() == "ValueError: v"
