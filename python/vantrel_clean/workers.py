"""A pool of worker processes that survives what happens to one of them: a
concurrent.futures.Executor whose workers each run one call at a time, so that a worker that
dies (killed, out of memory) fails only the call it was running, and a fresh worker takes its
place. Workers leave interrupts and hang-ups to the process that owns them, and a SIGTERM lets
them remove their temporary files before they exit."""

from __future__ import annotations

import collections
import multiprocessing
import os
import signal
import threading
from collections.abc import Callable
from concurrent.futures import Executor, Future
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from typing import Any

#: How long stopped workers get to remove their temporary files before they are killed.
STOP_GRACE = 5.0

_PR_SET_PDEATHSIG = 1
#: Signals a worker holds back until it has its own handlers.
_HELD_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGHUP", "SIGTERM") if hasattr(signal, name)}


def _mask_signals(how: int) -> None:
    if hasattr(signal, "pthread_sigmask"):  # not on Windows, which has no such signals to hold
        signal.pthread_sigmask(how, _HELD_SIGNALS)


class WorkerDied(Exception):
    """The worker process running a call ended before it returned."""


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def death_reason(exitcode: int | None) -> str:
    """Why a worker ended, in a few words, from its exit code."""
    if exitcode is not None and exitcode < 0:
        name = signal_name(-exitcode)
        hint = " (out of memory?)" if -exitcode == getattr(signal, "SIGKILL", 9) else ""
        return f"its worker process was killed by {name}{hint}"
    return f"its worker process ended unexpectedly (exit status {exitcode})"


def _exit_on_sigterm(number: int, frame: object) -> None:
    # SystemExit unwinds the call being run, so that its temporary file is removed.
    raise SystemExit(128 + number)


def _die_with_parent() -> None:
    """Asks Linux to send this process SIGTERM when its parent dies (even by SIGKILL), so that
    no worker outlives the command. Elsewhere, a worker ends when its pipe closes."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except Exception:  # no prctl (not Linux), or no C library to load
        pass


def serve(connection: Connection, parent: int, initializer: Callable[[], object] | None = None) -> None:
    """A worker's life: runs initializer, then receives (function, args, kwargs) and sends back
    ("ok", result) or ("error", exception), until it receives None or its pipe closes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the whole group: the owner decides
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    # The supervisor started this process with these signals blocked, so that none of them
    # could end it with a traceback before the lines above: what came meanwhile is handled now.
    _mask_signals(getattr(signal, "SIG_UNBLOCK", 1))
    _die_with_parent()
    if os.getppid() != parent:  # the owner died before the request above
        return
    if initializer is not None:
        initializer()
    while True:
        try:
            call = connection.recv()
        except (EOFError, OSError):
            return
        if call is None:
            return
        function, args, kwargs = call
        try:
            reply: tuple[str, Any] = ("ok", function(*args, **kwargs))
        except Exception as error:
            reply = ("error", error)
        try:
            connection.send(reply)
        except Exception as error:  # a result or an exception that cannot be pickled
            connection.send(("error", RuntimeError(f"cannot send the result back: {error}")))


class _Worker:
    def __init__(self, context: Any, initializer: Callable[[], object] | None) -> None:
        self.connection, theirs = multiprocessing.Pipe()
        self.process: BaseProcess = context.Process(target=serve, args=(theirs, os.getpid(), initializer), daemon=True)
        self.process.start()
        theirs.close()
        self.busy: Future[Any] | None = None


_Call = tuple["Future[Any]", Callable[..., Any], tuple[Any, ...], dict[str, Any]]


class WorkerPool(Executor):
    """Runs calls in `workers` spawned processes (each runs initializer first, a module-level
    function), one call at a time in each. A worker that dies fails its call with WorkerDied
    and is replaced; the other calls go on. terminate() stops everything now: queued calls are
    cancelled, running ones fail, and the workers get SIGTERM (then SIGKILL after STOP_GRACE
    seconds). A supervising thread starts the workers on the first call and watches them."""

    def __init__(self, workers: int, initializer: Callable[[], object] | None = None) -> None:
        if workers < 1:
            raise ValueError("a pool needs at least one worker")
        self._size = workers
        self._initializer = initializer
        self._context = multiprocessing.get_context("spawn")
        self._queue: collections.deque[_Call] = collections.deque()
        self._lock = threading.Lock()
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_write, False)  # a full pipe already wakes the supervisor
        self._wake_closed = False
        self._closing = False
        self._stopping = False
        self._thread: threading.Thread | None = None

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        future: Future[Any] = Future()
        with self._lock:
            if self._closing:
                raise RuntimeError("cannot submit to a pool that is shut down")
            self._queue.append((future, fn, args, kwargs))
            if self._thread is None:
                self._thread = threading.Thread(target=self._supervise, name="vantrel-workers", daemon=True)
                self._thread.start()
        self._wake()
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        with self._lock:
            self._closing = True
            if cancel_futures:
                self._cancel_queued()
            thread = self._thread
        self._wake()
        if thread is None:
            self._close_wake_pipe()
        elif wait:
            thread.join()

    def terminate(self) -> None:
        """Stops now: cancels the queue, fails the running calls, ends the workers and waits."""
        with self._lock:
            self._closing = self._stopping = True
            self._cancel_queued()
            thread = self._thread
        self._wake()
        if thread is None:
            self._close_wake_pipe()
        else:
            thread.join()

    def _cancel_queued(self) -> None:
        while self._queue:
            self._queue.popleft()[0].cancel()

    def _wake(self) -> None:
        with self._lock:  # never write to a closed descriptor: its number may be taken again
            if not self._wake_closed:
                try:
                    os.write(self._wake_write, b"x")
                except BlockingIOError:
                    pass

    def _close_wake_pipe(self) -> None:
        with self._lock:
            if not self._wake_closed:
                self._wake_closed = True
                os.close(self._wake_read)
                os.close(self._wake_write)

    def _supervise(self) -> None:
        # Workers start from this thread and inherit its mask: see serve().
        _mask_signals(getattr(signal, "SIG_BLOCK", 0))
        workers: list[_Worker] = []
        failure: BaseException | None = None
        try:
            while True:
                with self._lock:
                    if self._stopping:
                        break
                    if self._closing and not self._queue and not any(w.busy for w in workers):
                        break
                    self._dispatch(workers)
                self._watch(workers)
        except BaseException as error:  # a fault of the pool itself: no call may wait forever
            failure = error
            with self._lock:
                self._closing = True
                while self._queue:
                    self._queue.popleft()[0].set_exception(RuntimeError(f"the worker pool failed: {error}"))
        finally:
            self._stop(workers, now=self._stopping or failure is not None)
            self._close_wake_pipe()

    def _dispatch(self, workers: list[_Worker]) -> None:
        """Gives queued calls to idle workers, starting workers up to the pool's size."""
        idle = [w for w in workers if w.busy is None]
        while self._queue and (idle or len(workers) < self._size):
            future, fn, args, kwargs = self._queue.popleft()
            if not future.set_running_or_notify_cancel():
                continue
            if idle:
                worker = idle.pop()
            else:
                worker = _Worker(self._context, self._initializer)
                workers.append(worker)
            worker.busy = future
            try:
                worker.connection.send((fn, args, kwargs))
            except OSError:  # the worker is gone: its end fails the call, with the reason
                pass
            except Exception as error:  # a call that cannot be pickled: nothing was sent
                worker.busy = None
                future.set_exception(error)
                idle.append(worker)

    def _watch(self, workers: list[_Worker]) -> None:
        """Waits for a result, a worker's end or a wake-up, and handles what came."""
        by_connection = {w.connection: w for w in workers if w.busy is not None}
        by_sentinel = {w.process.sentinel: w for w in workers}
        ready = wait([self._wake_read, *by_connection, *by_sentinel])
        if self._wake_read in ready:
            os.read(self._wake_read, 4096)
        for connection, worker in by_connection.items():
            # A worker that replied and then died has both its reply and its end ready: the
            # reply is taken first, so its call succeeds.
            if connection in ready and worker.busy is not None:
                try:
                    status, value = connection.recv()
                except (EOFError, OSError):
                    continue  # the worker died: its sentinel says so
                except Exception as error:  # a reply that cannot be unpickled here
                    status, value = "error", RuntimeError(f"cannot receive the result: {error}")
                future, worker.busy = worker.busy, None
                if status == "ok":
                    future.set_result(value)
                else:
                    future.set_exception(value)
        for sentinel, worker in by_sentinel.items():
            if sentinel in ready:
                worker.process.join()
                if worker.busy is not None:
                    worker.busy.set_exception(WorkerDied(death_reason(worker.process.exitcode)))
                worker.connection.close()
                workers.remove(worker)  # _dispatch starts a fresh one when there is work

    def _stop(self, workers: list[_Worker], now: bool) -> None:
        for worker in workers:
            if now:
                worker.process.terminate()
            else:
                try:
                    worker.connection.send(None)
                except OSError:
                    pass
        for worker in workers:
            worker.process.join(STOP_GRACE if now else None)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            if worker.busy is not None:
                worker.busy.set_exception(WorkerDied("stopped before it finished"))
            worker.connection.close()
        with self._lock:
            self._cancel_queued()
