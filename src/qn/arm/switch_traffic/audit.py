"""The audit record of a run: who ran what, the plan they were shown and their answer, each
change with the answer Azure (or the controller) gave it, the summary and the exit status.

One record per invocation, kept as the run goes, seen two ways: as lines in the log file
(written as each part happens, so a run cut short still leaves them) and as a Markdown report
for a change board (`--report FILE`, written whole at the end of every run, refused and
interrupted ones too). The record of the run under way is installed for a block with
`recording()`; the layers below hand it what they see through the functions here, which do
nothing outside such a block (the demo's and the tests' runs of `operation.execute`).
"""

import contextlib
import getpass
import io
import logging
import os
import re
import shlex
import socket
import tempfile
import threading
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextvars import ContextVar
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import Any, TextIO
from urllib.parse import unquote, urlsplit

from azure.core.pipeline import PipelineRequest, PipelineResponse
from azure.core.pipeline.policies import SansIOHTTPPolicy

from qn.arm import lumaflow
from qn.arm.switch_traffic import report
from qn.arm.switch_traffic.options import (
    EXIT_ERRORS,
    EXIT_HUNG_UP,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_TERMINATED,
    EXIT_USAGE,
)

AZURE, CONTROLLER = "Azure", "controller"
REQUEST_ID_HEADER = "x-ms-request-id"
WRITES = frozenset({"PUT", "PATCH", "DELETE", "POST"})
# Resource Graph answers queries by POST; they read.
READ_ONLY_POSTS = ("/providers/microsoft.resourcegraph/",)
# The controller's actions that change something; the others only read.
CONTROLLER_CHANGES = frozenset(
    {lumaflow.ATTACH_SPOKE, lumaflow.DETACH_SPOKE, lumaflow.ASSOCIATE, lumaflow.DISASSOCIATE}
)
# The fields of a controller change that say what it changes (never the CID or a password).
CONTROLLER_SUBJECTS = (
    lumaflow.SPOKE_GW,
    lumaflow.TRANSIT_GW,
    lumaflow.DOMAIN,
    lumaflow.ATTACHMENT,
)
# Options whose value is never written down, however a later version names them.
SECRET_OPTION = re.compile(r"secret|password|token|key|cid", re.IGNORECASE)
ANSWER_LENGTH = 200  # of a controller's answer kept in the record
OUTCOMES = {
    EXIT_OK: "done",
    EXIT_ERRORS: "errors or pending items",
    EXIT_USAGE: "refused",
    EXIT_INTERRUPTED: "interrupted",
    EXIT_TERMINATED: "stopped by SIGTERM",
    EXIT_HUNG_UP: "stopped by SIGHUP",
}


class ReportFileError(RuntimeError):
    """The report file cannot be written; the text says why."""


@dataclass(frozen=True)
class Change:
    """One write as it was answered: by Azure (its request ID) or by the controller (its
    answer). status is None when no answer came (the connection failed)."""

    at: datetime
    system: str  # AZURE or CONTROLLER
    method: str  # the HTTP method, or the controller's action
    resource: str  # the resource ID, or what the controller action names
    status: int | None
    answer: str  # Azure's request ID, or the controller's answer
    vnet: str | None = None


@dataclass
class AuditRecord:
    """What a change board asks of a run."""

    command_line: str
    version: str
    user: str
    host: str
    correlation_id: str
    started: datetime
    plans: list[str] = field(default_factory=list)  # the plans shown, as the operator saw them
    answers: list[str] = field(default_factory=list)
    changes: list[Change] = field(default_factory=list)
    summary: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    exit_status: int | None = None
    ended: datetime | None = None
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False, compare=False)

    def add_change(self, change: Change) -> None:
        with self._lock:  # the workers' writes are answered at once
            self.changes.append(change)

    @property
    def outcome(self) -> str:
        if self.exit_status is None:
            return "not finished"
        return f"{self.exit_status} ({OUTCOMES.get(self.exit_status, 'unknown')})"


def begun(argv: Sequence[str], version: str) -> AuditRecord:
    """The record of a run started now with this command line."""
    return AuditRecord(
        command_line=shlex.join(["switch-traffic", *redacted(argv)]),
        version=version,
        user=user_name(),
        host=socket.gethostname(),
        correlation_id=str(uuid.uuid4()),
        started=now(),
    )


def redacted(argv: Sequence[str]) -> list[str]:
    """The arguments with the value of any secret-bearing option replaced."""
    shown: list[str] = []
    hide_next = False
    for argument in argv:
        if hide_next:
            shown.append("REDACTED")
            hide_next = False
            continue
        name, equals, _ = argument.partition("=")
        secret = argument.startswith("-") and bool(SECRET_OPTION.search(name))
        if secret and equals:
            argument = f"{name}=REDACTED"
        hide_next = secret and not equals
        shown.append(argument)
    return shown


def user_name() -> str:
    try:
        return getpass.getuser()
    except (OSError, KeyError):  # no login name, no passwd entry (a container's user ID)
        return f"uid {os.getuid()}"


def now() -> datetime:
    return datetime.now(UTC)


def log() -> logging.Logger:
    """The audit's lines: in the log file only (the console shows the run as it goes)."""
    return logging.getLogger(report.AUDIT_LOGGER)


# -- the record of the run under way -----------------------------------------------------------

_record: ContextVar[AuditRecord | None] = ContextVar("audit record", default=None)


def current() -> AuditRecord | None:
    return _record.get()


@contextlib.contextmanager
def recording(record: AuditRecord) -> Iterator[AuditRecord]:
    """For the block (and the workers' contexts copied from it), what the run shows, is
    answered and changes goes into `record`; its opening lines are logged now."""
    token = _record.set(record)
    for line in opening_lines(record):
        log().info(line)
    try:
        yield record
    finally:
        _record.reset(token)


def plan_shown(show: Callable[[TextIO], None]) -> None:
    """The plan as `show` writes it for the operator, kept in the record and the log."""
    record = current()
    if record is None:
        return
    text = io.StringIO()
    show(text)
    record.plans.append("\n".join(line.rstrip() for line in text.getvalue().rstrip().splitlines()))
    log().info("audit: plan shown:")
    for line in record.plans[-1].splitlines():
        log().info(f"audit:   {line}")


def asked(approve: Callable[[bool], None], yes: bool) -> None:
    """approve(yes), its answer kept in the record: the plan applied (approved, or --yes) or
    not, and why not."""
    try:
        approve(yes)
    except BaseException as refusal:
        answered(f"not applied: {str(refusal) or 'interrupted'}")
        raise
    answered("applied without asking (--yes)" if yes else "approved at the terminal")


def answered(answer: str) -> None:
    record = current()
    if record is not None:
        record.answers.append(answer)
        log().info(f"audit: answer: {answer}")


def closed(record: AuditRecord, status: int, summary: list[str], errors: list[str]) -> None:
    """The run's end: its summary, errors and exit status, in the record and the log."""
    record.exit_status = status
    record.ended = now()
    record.summary = summary
    record.errors = errors
    for line in closing_lines(record):
        log().info(line)


# -- the writes ---------------------------------------------------------------------------------


class AzureWrites(SansIOHTTPPolicy[Any, Any]):
    """Keeps each write's answer in the run's record: method, resource, status and Azure's
    request ID, the one Azure support finds the operation by. A per-retry policy, so a write
    refused and tried again shows each answer; one instance serves every client of the run
    (long-running operations are polled outside the run's context, and are reads)."""

    def __init__(self, record: AuditRecord) -> None:
        super().__init__()
        self.record = record

    def on_response(
        self, request: PipelineRequest[Any], response: PipelineResponse[Any, Any]
    ) -> None:
        http = response.http_response
        self.noted(request, http.status_code, http.headers.get(REQUEST_ID_HEADER) or "none given")

    def on_exception(self, request: PipelineRequest[Any]) -> None:
        self.noted(request, None, "no answer")

    def noted(self, request: PipelineRequest[Any], status: int | None, answer: str) -> None:
        http = request.http_request
        if not is_write(http.method, http.url):
            return
        change = Change(
            now(), AZURE, http.method.upper(), resource_id(http.url), status, answer, vnet()
        )
        self.record.add_change(change)
        log().info(change_line(change))


def is_write(method: str, url: str) -> bool:
    method = method.upper()
    if method == "POST":
        return not any(marker in url.lower() for marker in READ_ONLY_POSTS)
    return method in WRITES


def resource_id(url: str) -> str:
    """The resource ID a request URL names: its path, without the query, as Azure names it
    (percent-decoded)."""
    path = unquote(urlsplit(url).path)
    start = path.find("/subscriptions/")
    return path[start:] if start >= 0 else path


def vnet() -> str | None:
    return report.current_vnet()


def controller_answered(payload: Mapping[str, Any], response: Any) -> None:
    """A controller request and its answer (None: none came), kept when it is a change."""
    record = current()
    action = str(payload.get(lumaflow.ACTION, ""))
    if record is None or action not in CONTROLLER_CHANGES:
        return
    subject = ", ".join(f"{key}={payload[key]}" for key in CONTROLLER_SUBJECTS if key in payload)
    status = None if response is None else response.status_code
    answer = "no answer" if response is None else response.text[:ANSWER_LENGTH].strip()
    change = Change(now(), CONTROLLER, action, subject, status, answer, vnet())
    record.add_change(change)
    log().info(change_line(change))


# -- the log file's view ------------------------------------------------------------------------


def opening_lines(record: AuditRecord) -> list[str]:
    return [
        f"audit: {record.command_line}",
        f"audit: switch-traffic {record.version}, run by {record.user} on {record.host}, "
        f"correlation ID {record.correlation_id}",
    ]


def change_line(change: Change) -> str:
    status = "no answer" if change.status is None else str(change.status)
    label = "request ID" if change.system == AZURE else "answer"
    what = f"{change.method} {change.resource}"
    return f"audit: {change.system} change {what}: {status}, {label} {change.answer}"


def closing_lines(record: AuditRecord) -> list[str]:
    lines = [f"audit: {line}" for line in record.summary]
    lines += [f"audit: error: {error}" for error in record.errors]
    lines.append(
        f"audit: {len(record.changes)} change(s) sent; exit status {record.outcome}, "
        f"correlation ID {record.correlation_id}"
    )
    return lines


# -- the change board's view --------------------------------------------------------------------


def markdown(record: AuditRecord) -> str:
    """The record as a Markdown report."""
    rows = [
        ("Command", f"`{record.command_line}`"),
        ("Tool version", record.version),
        ("Run by", f"{record.user} on {record.host}"),
        ("Started", stamp(record.started)),
        ("Ended", stamp(record.ended) if record.ended else "not finished"),
        ("Correlation ID", f"`{record.correlation_id}`"),
        ("Exit status", record.outcome),
    ]
    lines = ["# switch-traffic run", "", "| | |", "|---|---|"]
    lines += [f"| {name} | {cell(value)} |" for name, value in rows]
    lines += ["", "## Plan shown", ""]
    for plan in record.plans:
        lines += ["```text", plan, "```", ""]
    if not record.plans:
        lines += ["No plan was shown.", ""]
    lines += [f"Answer: {answer}" for answer in record.answers] or ["No question was asked."]
    lines += ["", "## Changes sent", ""]
    lines += change_table(record.changes) or ["None."]
    lines += ["", "## Summary", ""]
    lines += ["```text", *record.summary, "```"] if record.summary else ["No summary."]
    if record.errors:
        lines += ["", "## Errors", ""]
        lines += [f"- {cell(error)}" for error in record.errors]
    return "\n".join(lines) + "\n"


def change_table(changes: list[Change]) -> list[str]:
    if not changes:
        return []
    lines = [
        "| Time (UTC) | VNet | System | Request | Resource | Status | Request ID / answer |",
        "|---|---|---|---|---|---|---|",
    ]
    for change in changes:
        cells = (
            change.at.strftime("%H:%M:%S"),
            change.vnet or "",
            change.system,
            change.method,
            f"`{change.resource}`",
            "no answer" if change.status is None else str(change.status),
            change.answer,
        )
        lines.append("| " + " | ".join(cell(c) for c in cells) + " |")
    return lines


def cell(text: str) -> str:
    """Text that stays in its table cell (or list item)."""
    return text.replace("|", "\\|").replace("\n", " ")


def stamp(moment: datetime) -> str:
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def check_report_file(path: str) -> None:
    """Refuses, before the run, a report file that could not be written at its end."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise ReportFileError(
            f"--report {path}: no directory {directory}; create it, or name another file"
        )
    if os.path.isdir(path):
        raise ReportFileError(f"--report {path}: is a directory")
    if not os.access(directory, os.W_OK):
        raise ReportFileError(f"--report {path}: cannot write in {directory}")


def write_report(path: str, record: AuditRecord) -> None:
    """The Markdown report, replacing the file whole: a reader never sees half of it."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(prefix=".report-", suffix=".md", dir=directory)
    except OSError as error:
        raise ReportFileError(f"--report {path}: {error.strerror}") from None
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(markdown(record))
        os.replace(temporary, path)
    except OSError as error:
        raise ReportFileError(f"--report {path}: {error.strerror}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
