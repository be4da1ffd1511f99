"""Ctrl-C during a run: a write already sent to Azure gets its answer before the run stops.

A write cut off before its answer leaves the run not knowing whether Azure took it; waiting
for the answer (seconds: long operations go on in Azure and are polled, not waited for here)
makes the run stop at a point the log can say. Reads and waits are stopped at once. Either way
the state file already holds the records of the step under way (they are kept before the step
changes anything), and the next run reads every item back from Azure.
"""

import contextlib
import logging
import signal
import threading
from collections.abc import Iterator
from typing import Any

from azure.core.pipeline import PipelineRequest, PipelineResponse
from azure.core.pipeline.policies import HTTPPolicy

from qn.arm.res import cloud

READS = frozenset({"GET", "HEAD", "OPTIONS"})


class Interruption:
    """Holds back a first Ctrl-C while a write is in flight; a second one stops at once."""

    def __init__(self, log: logging.Logger) -> None:
        self.log = log
        self.writes = 0
        self.requested = False

    def on_signal(self, signum: int, frame: Any) -> None:
        if self.writes and not self.requested:
            self.requested = True
            self.log.warning(
                "Ctrl-C: stopping once Azure answers the write in flight (Ctrl-C again stops "
                "at once)"
            )
            return
        raise KeyboardInterrupt

    def write_answered(self) -> None:
        self.writes -= 1
        if self.requested and not self.writes:
            raise KeyboardInterrupt


class WriteGuard(HTTPPolicy):
    """Counts the writes in flight, one try at a time (it sits after the retry policy, so a
    retry's wait is not a write in flight)."""

    def __init__(self, interruption: Interruption) -> None:
        super().__init__()
        self.interruption = interruption

    def send(self, request: PipelineRequest) -> PipelineResponse:
        if request.http_request.method.upper() in READS:
            return self.next.send(request)
        self.interruption.writes += 1
        try:
            return self.next.send(request)
        finally:
            self.interruption.write_answered()


@contextlib.contextmanager
def writes_finish_first(log: logging.Logger) -> Iterator[None]:
    """For the block: Ctrl-C waits for the answer to the write in flight, then raises
    KeyboardInterrupt. Signals reach the main thread only; elsewhere nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    interruption = Interruption(log)
    previous = signal.signal(signal.SIGINT, interruption.on_signal)
    try:
        with cloud.client_options(per_retry_policies=[WriteGuard(interruption)]):
            yield
    finally:
        signal.signal(signal.SIGINT, previous)
