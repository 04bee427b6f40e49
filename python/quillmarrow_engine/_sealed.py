"""Functions sent to Dask workers sealed, so that a worker that cannot run
them fails the task instead of dying.

Dask sends a task's function and arguments by name (pickled by reference),
and a worker unpickles them as the task arrives, outside the task: when the
worker's Python lacks the engine, NumPy or pyarrow, that raises where no task
can catch it, the worker process dies, and the job waits for ever. A sealed
function is a small closure holding the function and its arguments as bytes:
Dask sends the closure itself (by value), and the bytes are unpickled only
when the task runs, so the missing module's ImportError is the task's error,
which Dask brings back to the client with the worker's traceback.
"""

from __future__ import annotations

import pickle
from collections.abc import Callable
from typing import Any


def sealed(function: Callable[..., Any]) -> Callable[..., Any]:
    """function (with any arguments bound by functools.partial), as a closure
    that unpickles it when called and calls it with the call's arguments."""
    blob = pickle.dumps(function)

    def call(*args: Any, **kwargs: Any) -> Any:
        import pickle

        return pickle.loads(blob)(*args, **kwargs)

    return call
