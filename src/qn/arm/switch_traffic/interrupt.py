"""Ctrl-C during a run (or SIGTERM, SIGHUP, handled alike): a write already sent to Azure gets
its answer before the run stops.

A write cut off before its answer leaves the run not knowing whether Azure took it; waiting
for the answer (seconds: long operations go on in Azure and are polled, not waited for here)
makes the run stop at a point the log can say. Reads and waits are stopped at once. Either way
the state file already holds the records of the step under way (they are kept before the step
changes anything), and the next run reads every item back from Azure.

With VNets run by worker threads, the signal reaches the main thread only; the workers learn of
it from the request guard: each one stops with `Stopped` at its next request, or as the answer
to its write comes back, and its waits ask `stopping()`. The main thread raises
KeyboardInterrupt once the workers are done with the run.
"""

import contextlib
import logging
import signal
import threading
from collections.abc import Iterator
from types import FrameType
from typing import Any

from azure.core.pipeline import PipelineRequest, PipelineResponse
from azure.core.pipeline.policies import SansIOHTTPPolicy

from qn.arm.res import cloud

READS = frozenset({"GET", "HEAD", "OPTIONS"})
# The SDK polls a long-running operation from a thread of its own, named so, while the worker
# that sent the write waits for it. A KeyboardInterrupt there would end the poll without telling
# the worker, which would take the half-finished operation for its result; and the SDK hands
# only ordinary errors over, which the library would log as a failed item. So the operation
# Azure accepted is polled to its end (its polls wait as long as Azure asks between them
# anyway), and the worker stops at its next request.
POLLER_THREAD_PREFIX = "LROPoller("


class Stopped(KeyboardInterrupt):
    """Ctrl-C stopped this thread of the run: at a request it was about to send, or as the
    answer to its write came back."""


# The signals that stop a run as Ctrl-C does: a CI runner's cancel sends SIGTERM, a terminal
# that closes SIGHUP.
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def signal_name(signum: int) -> str:
    """How the operator knows the signal: Ctrl-C, SIGTERM, SIGHUP."""
    return "Ctrl-C" if signum == signal.SIGINT else signal.Signals(signum).name


class Interruption:
    """Holds back a first stopping signal while a write is in flight; a second one stops at
    once."""

    def __init__(self, log: logging.Logger) -> None:
        self.log = log
        # Reentrant: the handler runs in the main thread, which may hold the lock already.
        self.lock = threading.RLock()
        self.writes = 0
        self.requested = False
        # The first signal was held back: the main thread has not been told yet.
        self.held = False
        self.signum: int | None = None  # the first signal received

    def on_signal(self, signum: int, frame: FrameType | None) -> None:
        with self.lock:
            first, self.requested = not self.requested, True
            held = self.writes > 0
            if first:
                self.signum = signum
        name = signal_name(signum)
        if first and held:
            self.held = True
            self.log.warning(
                f"{name}: stopping once Azure answers the write in flight ({name} again stops "
                "at once)"
            )
            return
        if first and signum != signal.SIGINT:
            # Sent from elsewhere (a pipeline's cancel, a terminal gone): only the log says so.
            self.log.warning(f"{name}: stopping")
        raise KeyboardInterrupt

    def sending(self, write: bool) -> None:
        """Before a request: once stopping, nothing new is sent."""
        with self.lock:
            if not self.requested:
                self.writes += write
                return
        if not threading.current_thread().name.startswith(POLLER_THREAD_PREFIX):
            raise Stopped

    def write_answered(self) -> None:
        with self.lock:
            self.writes -= 1
        if self.requested:
            raise Stopped


class WriteGuard(SansIOHTTPPolicy[Any, Any]):
    """Counts the writes in flight, one try at a time (it sits after the retry policy, so a
    retry's wait is not a write in flight). One guard serves every client built in the block:
    as a SansIO policy it gets a link of its own in each client's pipeline, where a policy
    that sends by itself would be re-linked to the last client built, and every other client's
    requests would go on through that one's authentication and transport."""

    def __init__(self, interruption: Interruption) -> None:
        super().__init__()
        self.interruption = interruption

    def on_request(self, request: PipelineRequest[Any]) -> None:
        self.interruption.sending(is_write(request))

    def on_response(
        self, request: PipelineRequest[Any], response: PipelineResponse[Any, Any]
    ) -> None:
        if is_write(request):
            self.interruption.write_answered()

    def on_exception(self, request: PipelineRequest[Any]) -> None:
        # No answer, but the write is no longer in flight either (a refused connection).
        if is_write(request):
            self.interruption.write_answered()


def is_write(request: PipelineRequest[Any]) -> bool:
    return request.http_request.method.upper() not in READS


_current: Interruption | None = None


def stopping() -> bool:
    """Whether a signal asked the run to stop: a worker's wait ends (with `Stopped`) when so."""
    return _current is not None and _current.requested


@contextlib.contextmanager
def writes_finish_first(log: logging.Logger) -> Iterator[Interruption | None]:
    """For the block: Ctrl-C (SIGINT), SIGTERM and SIGHUP wait for the answers to the writes in
    flight, then raise KeyboardInterrupt (in a worker thread `Stopped`, its kind). Yields the
    interruption, which tells the signal. Signals reach the main thread only; opened elsewhere,
    nothing changes (and None is yielded)."""
    global _current
    if threading.current_thread() is not threading.main_thread():
        yield None
        return
    interruption, outer = Interruption(log), _current
    # A signal ignored stays so: under nohup, a closed terminal is not to stop the run.
    previous = {
        signum: signal.signal(signum, interruption.on_signal)
        for signum in STOPPING
        if signal.getsignal(signum) is not signal.SIG_IGN
    }
    _current = interruption
    try:
        with cloud.using(cloud.current().with_policies(WriteGuard(interruption))):
            yield interruption
        if interruption.held:
            # The workers stopped at their writes' answers and ended; the run did not finish.
            # A Ctrl-C raised in the main thread at once was the block's to handle (the plan's
            # approval question takes it for a no).
            raise KeyboardInterrupt
    finally:
        _current = outer
        for signum, handler in previous.items():
            signal.signal(signum, handler)
