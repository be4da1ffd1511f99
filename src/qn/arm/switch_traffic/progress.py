"""Live progress of an estate on a terminal: one line per VNet under way (its step, the items
of the step done so far, its elapsed time) and a line of totals for the estate, redrawn below
the log while the workers run. Off a terminal (a pipe, a file, CI) the log lines alone say it,
as they always did: a redrawn display would only fill a log file with escape codes."""

import contextlib
import logging
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, TextIO

from rich.console import Console, Group
from rich.file_proxy import FileProxy
from rich.live import Live
from rich.text import Text

from qn.arm.switch_traffic.estimate import Estimate


class Progress:
    """What a run tells about each VNet as it goes. This one shows nothing: it stands in
    off a terminal and wherever the result is a JSON document."""

    def started(self, vnet: str, steps: int) -> None:
        """The VNet's run began; it has `steps` steps."""

    def step(self, vnet: str, number: int, name: str, total: int) -> None:
        """Step `number` began; `total` items to change (0 when it has none)."""

    def advanced(self, vnet: str, done: int) -> None:
        """`done` items of the current step are done so far (a count, not an increment)."""

    def answered(self, vnet: str, count: int) -> None:
        """Azure accepted the writes of `count` more items of the current step, which its
        read-back has yet to confirm (a count, not an increment)."""

    def finished(self, vnet: str, ok: bool) -> None:
        """The VNet's run ended; `ok` False when it stopped with something pending or failed."""


@dataclass
class VNetLine:
    steps: int
    began: float = field(default_factory=time.monotonic)
    number: int = 0
    name: str = ""
    total: int = 0
    done: int = 0
    answered: int = 0  # written, not yet confirmed by the read-back


def clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{seconds:02}" if hours else f"{minutes}:{seconds:02}"


class LiveProgress(Progress):
    """Keeps what the workers report under one lock; the display thread reads it from there."""

    def __init__(self, vnets: list[str], expected: Estimate | None = None) -> None:
        self.lock = threading.Lock()
        self.vnets = len(vnets)
        self.began = time.monotonic()
        self.running: dict[str, VNetLine] = {}
        self.ended = {True: 0, False: 0}
        self.expected = expected
        self.finished_seconds = 0.0  # the estimates of the VNets ended

    def started(self, vnet: str, steps: int) -> None:
        with self.lock:
            self.running[vnet] = VNetLine(steps)

    def step(self, vnet: str, number: int, name: str, total: int) -> None:
        with self.lock:
            line = self.running[vnet]
            line.number, line.name, line.total, line.done = number, name, total, 0
            line.answered = 0

    def advanced(self, vnet: str, done: int) -> None:
        with self.lock:
            line = self.running[vnet]
            line.done, line.answered = done, 0

    def answered(self, vnet: str, count: int) -> None:
        with self.lock:
            self.running[vnet].answered = count

    def finished(self, vnet: str, ok: bool) -> None:
        with self.lock:
            self.running.pop(vnet, None)
            self.ended[ok] += 1
            if self.expected:
                self.finished_seconds += self.expected.vnets.get(vnet, 0.0)

    def render(self) -> Group:
        now = time.monotonic()
        with self.lock:
            lines = [vnet_text(name, line, now) for name, line in self.running.items()]
            waiting = self.vnets - len(self.running) - sum(self.ended.values())
            totals = (
                f"VNets: {self.ended[True]} done, {self.ended[False]} failed, "
                f"{len(self.running)} running, {waiting} waiting of {self.vnets}"
                f"  {clock(now - self.began)} elapsed{self.left(now)}"
            )
        lines.append(Text(totals, style="bold", no_wrap=True, overflow="ellipsis"))
        return Group(*lines)

    def left(self, now: float) -> str:
        """The time left: the estimate at first, then the pace of the work done so far over
        what is left of it (each VNet's share of the estimate, a running VNet's by its steps).
        Called under the lock."""
        if not self.expected or not self.expected.vnets:
            return ""
        elapsed, planned = now - self.began, sum(self.expected.vnets.values())
        done = self.finished_seconds + sum(
            self.expected.vnets.get(name, 0.0) * max(line.number - 1, 0) / line.steps
            for name, line in self.running.items()
        )
        if planned <= 0 or done / planned < 0.05:
            seconds = max(self.expected.estate - elapsed, 0.0)
        else:
            seconds = elapsed * (planned - done) / done
        return f", about {clock(seconds)} left"


def vnet_text(name: str, line: VNetLine, now: float) -> Text:
    elapsed = clock(now - line.began)
    if not line.number:
        return Text(f"  {name}  starting  {elapsed}", no_wrap=True, overflow="ellipsis")
    items = f"{line.done + line.answered}/{line.total} items" if line.total else "no items"
    if line.answered:
        items += f" ({line.answered} unverified)"
    text = f"  {name}  step {line.number}/{line.steps} {line.name}  {items}  {elapsed}"
    return Text(text, no_wrap=True, overflow="ellipsis")


def handlers_writing_to(stream: TextIO) -> list[logging.StreamHandler[Any]]:
    """Every logging handler that writes to `stream`, once each (a handler may sit on several
    loggers: the tool's and the SDK's HTTP logger share the console handler)."""
    loggers = [logging.getLogger()] + [
        logger
        for logger in logging.Logger.manager.loggerDict.values()
        if isinstance(logger, logging.Logger)
    ]
    found: dict[int, logging.StreamHandler[Any]] = {}
    for logger in loggers:
        for handler in logger.handlers:
            if isinstance(handler, logging.StreamHandler) and handler.stream is stream:
                found[id(handler)] = handler
    return list(found.values())


@contextlib.contextmanager
def log_above(console: Console, stream: TextIO) -> Iterator[None]:
    """For the block, the log lines bound for `stream` go through `console`, which prints them
    above the live lines instead of over them."""
    handlers = handlers_writing_to(stream)
    for handler in handlers:
        # A proxy each: a proxy keeps a line until its end, under its own handler's lock.
        handler.setStream(FileProxy(console, stream))
    try:
        yield
    finally:
        for handler in handlers:
            handler.setStream(stream)  # flushes a line the proxy still holds


def live(
    stream: TextIO,
    vnets: list[str],
    *,
    enabled: bool | None = None,
    expected: Estimate | None = None,
) -> contextlib.AbstractContextManager[Progress]:
    """The live display of `vnets` on `stream` when `enabled` (default: when `stream` is a
    terminal), its time left from the plan's estimate `expected`; otherwise the Progress that
    shows nothing."""
    if enabled is None:
        enabled = stream.isatty()
    if not enabled:
        return contextlib.nullcontext(Progress())
    return displayed(stream, vnets, expected)


@contextlib.contextmanager
def displayed(
    stream: TextIO, vnets: list[str], expected: Estimate | None = None
) -> Iterator[Progress]:
    progress = LiveProgress(vnets, expected)
    # Forced: `enabled` says the stream is to show it even where rich would not guess so.
    console = Console(file=stream, force_terminal=True)
    # stdout keeps the result alone, even when the display is on the same terminal; a message
    # printed to stderr goes above the live lines like the log's when they share the stream.
    display = Live(
        console=console,
        get_renderable=progress.render,
        refresh_per_second=4,
        redirect_stdout=False,
        redirect_stderr=stream is sys.stderr,
    )
    # The log is routed first and put back last, so that no line is drawn over the display.
    with log_above(console, stream), display:
        yield progress
