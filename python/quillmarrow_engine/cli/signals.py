"""Termination by a signal, turned into an exception so that a command cleans
up (temporary files, staging folders, transactions) as it does on Ctrl-C.

SIGTERM is what `timeout`, systemd and Kubernetes send, SIGHUP what a closed
terminal sends. While a command runs, either one raises Terminated in the
main thread; a second one during the clean-up is ignored.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Terminated(BaseException):
    """The process was asked to end by a signal. Like KeyboardInterrupt, it is
    not an Exception, so no ``except Exception`` swallows it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def exit_status(self) -> int:
        return 128 + self.signum


def _raise(signum: int, frame: FrameType | None) -> None:
    for each in SIGNALS:
        signal.signal(each, signal.SIG_IGN)  # the clean-up is not interrupted again
    raise Terminated(signum)


@contextmanager
def terminating_signals_raise() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Terminated (main thread only;
    elsewhere signals cannot be handled and nothing changes)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {each: signal.signal(each, _raise) for each in SIGNALS}
    try:
        yield
    finally:
        for each, handler in previous.items():
            # None: a handler that was not set from Python; the default is the nearest.
            signal.signal(each, signal.SIG_DFL if handler is None else handler)
