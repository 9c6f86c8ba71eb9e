"""Stopping the command: SIGTERM and SIGHUP end a run as Ctrl-C does, by an exception in the
main thread, so that workers are stopped, temporary files removed and the status says why."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType

#: The signals that stop a run the way Ctrl-C does.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Stopped(KeyboardInterrupt):
    """The run was asked to stop by a signal; a KeyboardInterrupt, so that every cleanup that
    runs for Ctrl-C runs for it too."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number

    @property
    def status(self) -> int:
        """The exit status a shell expects of a process ended by this signal."""
        return 128 + self.number

    @property
    def name(self) -> str:
        return signal.Signals(self.number).name


def _raise_stopped(number: int, frame: FrameType | None) -> None:
    # Later signals of the same kind wait until the cleanup is done.
    for each in STOP_SIGNALS:
        signal.signal(each, signal.SIG_IGN)
    raise Stopped(number)


@contextlib.contextmanager
def stop_on_signals() -> Iterator[None]:
    """Inside, SIGTERM and SIGHUP raise Stopped in the main thread; the handlers before are
    put back afterwards. Outside the main thread, where handlers cannot be set, nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = {number: signal.signal(number, _raise_stopped) for number in STOP_SIGNALS}
    try:
        yield
    finally:
        for number, handler in before.items():
            signal.signal(number, handler)
