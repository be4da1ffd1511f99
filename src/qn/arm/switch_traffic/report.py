"""What the operator sees: the log on stderr (and in a file), the result on stdout: the
closing summary, or one JSON document with --output json. So `> /dev/null` hides no error, and
a script reads the result alone."""

import contextlib
import json
import logging
import os
import sys
import threading
from collections import Counter
from collections.abc import Callable, Iterator
from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any

from qn.arm.switch_traffic.options import JSON, TEXT

TOOL_LOGGER = "qn.arm"
DRIVER_LOGGER = "qn.arm.switch_traffic"
# The run's audit record (audit.py): for the log file, not the console, which shows the run.
AUDIT_LOGGER = f"{DRIVER_LOGGER}.audit"
# The SDK's HTTP logging policy writes here; --debug turns it on.
HTTP_LOGGER = "azure.core.pipeline.policies.http_logging_policy"
# azure-identity warns of a failed sign-in on its own; the run's error says it again with the
# subscription and what to do, so its lines are shown with --debug only.
IDENTITY_LOGGER = "azure.identity"


class LogFileError(RuntimeError):
    """The log file cannot be written; the text says why."""


@dataclass(frozen=True)
class Worker:
    """The VNet whose run the current context works on."""

    vnet: str
    tagged: bool  # several VNets run at once: every line says which one it belongs to


_worker: ContextVar[Worker | None] = ContextVar("worker", default=None)


@contextlib.contextmanager
def working_on(vnet: str, tagged: bool = False) -> Iterator[None]:
    """Within the block, the lines logged in this context belong to this VNet's run."""
    token = _worker.set(Worker(vnet, tagged))
    try:
        yield
    finally:
        _worker.reset(token)


def current_vnet() -> str | None:
    worker = _worker.get()
    return worker.vnet if worker else None


def tagged(text: str, vnet: str) -> str:
    """The line with the VNet's name in it, where the driver's own lines have it: after an
    **Error** or **Alert** mark, else in front."""
    tag = f"[{vnet}]"
    if tag in text:
        return text
    body = text.lstrip(" ")
    for mark in ("**Error** ", "**Alert** "):
        if body.startswith(mark):
            return f"{text[: len(text) - len(body)]}{mark}{tag} {body[len(mark) :]}"
    return f"{tag} {text}"


class VnetTag(logging.Filter):
    """Puts the worker's VNet into each line it logs (the library's and the SDK's too) while
    several VNets run at once; a line is tagged once, whichever handler sees it first."""

    def filter(self, record: logging.LogRecord) -> bool:
        worker = _worker.get()
        if worker is None or not worker.tagged or hasattr(record, "vnet"):
            return True
        record.vnet = worker.vnet
        record.msg, record.args = tagged(record.getMessage(), worker.vnet), None
        return True


class Tally(logging.Handler):
    """Counts the error lines (in all, and of each VNet's run) and keeps their text; changes are
    counted from what Azure shows, not from lines. Takes each run's result document and shows
    it as `output` says (text: the summary at once; json: one document at the end; None: kept
    only)."""

    def __init__(
        self, output: str | None = None, summary: Callable[[dict[str, Any]], list[str]] = list
    ) -> None:
        super().__init__(logging.DEBUG)
        self.counts: Counter[Any] = Counter()
        self.errors: list[str] = []
        self.output = output
        self.summary = summary  # the text of a result: views.summary_lines
        self.results: list[dict[str, Any]] = []
        self.counting = threading.Lock()  # workers log at once; the counts are read meanwhile
        self.addFilter(VnetTag())

    def emit(self, record: logging.LogRecord) -> None:
        # On the thread (and in the context) that logged.
        if record.levelno >= logging.ERROR:
            with self.counting:
                self.counts["errors"] += 1
                self.counts["errors", current_vnet()] += 1
                self.errors.append(error_text(record.getMessage()))

    def snapshot(self) -> Counter[Any]:
        with self.counting:
            return Counter(self.counts)

    def errors_of(self, vnet: str) -> int:
        """The error lines logged so far in the runs of this VNet."""
        with self.counting:
            return self.counts["errors", vnet]

    def result(self, document: dict[str, Any]) -> None:
        """A run's result document (see counting.py), shown at once as text when so asked."""
        self.results.append(document)
        if self.output == TEXT:
            print("\n".join(self.summary(document)), flush=True)

    def write_json(self, status: int) -> None:
        """The invocation's one JSON document: its run's result, or, where no run got that
        far (an unusable input, an interruption), the exit status and the errors."""
        if self.output != JSON:
            return
        document = {"exit_status": status, "vnets": []}
        if len(self.results) == 1:
            document = dict(self.results[0], exit_status=status)
        document["errors"] = self.errors
        json.dump(document, sys.stdout, indent=2)
        print()


def error_text(message: str) -> str:
    return message.strip().removeprefix("**Error**").strip()


_session: list[Tally] = []


@contextlib.contextmanager
def console_logging(
    verbose: bool,
    log_file: str | None = None,
    debug: bool = False,
    output: str | None = None,
    summary: Callable[[dict[str, Any]], list[str]] = list,
) -> Iterator[Tally]:
    """Console lines on stderr show the level; -v adds debug lines, --debug also the HTTP
    requests and responses (the SDK's logging policy: request IDs shown, Authorization and
    other secrets REDACTED). Yields the tally, and puts the loggers back as they were
    afterwards (the driver also runs inside other programs: the demo, the tests)."""
    handlers: list[logging.Handler] = []
    if log_file:
        try:
            to_file = logging.FileHandler(log_file, encoding="utf-8")
        except OSError as error:
            directory = os.path.dirname(os.path.abspath(log_file))
            reason = error.strerror
            if not os.path.isdir(directory):
                reason = f"no directory {directory}; create it, or name another file"
            raise LogFileError(f"--log-file {log_file}: {reason}") from None
        to_file.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s"))
        handlers.append(to_file)
    console = logging.StreamHandler(sys.stderr)
    console.setFormatter(logging.Formatter("%(levelname)-7s %(message)s"))
    console.addFilter(lambda record: not record.name.startswith(AUDIT_LOGGER))
    tally = Tally(output, summary)
    handlers[:0] = [console, tally]
    for handler in handlers:
        if handler is not tally:  # has its own
            handler.addFilter(VnetTag())
    tool_level = logging.DEBUG if verbose or debug else logging.INFO
    loggers = [(logging.getLogger(TOOL_LOGGER), tool_level, handlers)]
    if debug:
        loggers.append((logging.getLogger(HTTP_LOGGER), logging.INFO, [console, *handlers[2:]]))
    identity_level = logging.INFO if debug else logging.CRITICAL
    loggers.append((logging.getLogger(IDENTITY_LOGGER), identity_level, [console, *handlers[2:]]))
    saved = [(logger, logger.level, logger.propagate) for logger, _, _ in loggers]
    for logger, level, attached in loggers:
        logger.setLevel(level)
        logger.propagate = False
        for handler in attached:
            logger.addHandler(handler)
    _session.append(tally)
    try:
        yield tally
    finally:
        _session.remove(tally)
        for logger, _, attached in loggers:
            for handler in attached:
                logger.removeHandler(handler)
        for handler in handlers:
            handler.close()
        for logger, level, propagate in saved:
            logger.setLevel(level)
            logger.propagate = propagate


def driver_log() -> logging.Logger:
    return logging.getLogger(DRIVER_LOGGER)


def usage_error(text: str) -> None:
    """An unusable configuration, command line or state file: said on stderr (and in the JSON
    document)."""
    print(f"switch-traffic: {text}", file=sys.stderr)
    for tally in _session:
        tally.errors.append(text)


def interrupted(again: str, revert: bool, changes_nothing: bool, by: str = "Ctrl-C") -> None:
    """Stopped by Ctrl-C (or `by` another signal): how to go on, or back; on stderr."""
    lines = [f"switch-traffic: stopped by {by}."]
    if not changes_nothing:
        lines += [
            "The state file keeps the records of every step begun; the next run reads back from "
            "Azure what this one changed, and tries what is left.",
            f"  to go on:  {again}{' --revert' if revert else ''}",
        ]
        if not revert:
            lines.append(f"  to move the traffic back instead:  {again} --revert")
    try:
        print("\n".join(lines), file=sys.stderr)
    except OSError:  # the terminal is gone (SIGHUP): the log file has said what happened
        terminal_gone()


def terminal_gone() -> None:
    """The terminal closed under the run: what is left to show has nowhere to go. stdout and
    stderr are pointed at nothing, so that no later write fails, nor the interpreter's last
    flush (which would end the process with status 120 instead of the run's)."""
    nothing = os.open(os.devnull, os.O_WRONLY)
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(OSError, ValueError):
            os.dup2(nothing, stream.fileno())
    os.close(nothing)
