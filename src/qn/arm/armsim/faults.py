"""Fault injection: make requests on a resource fail, wait, run slow, end their operation in
failure, or lose their connection."""

import threading
from dataclasses import dataclass
from typing import Any

# Error codes ARM uses for the statuses tests inject most.
DEFAULT_CODES = {
    400: "BadRequest",
    401: "AuthenticationFailed",
    403: "AuthorizationFailed",
    404: "ResourceNotFound",
    409: "Conflict",
    429: "TooManyRequests",
    500: "InternalServerError",
    503: "ServiceUnavailable",
}


@dataclass
class Fault:
    """One injected fault.

    method: the HTTP method it applies to ("GET", "PUT", "DELETE", "POST"), or "*".
    resource: the tail of the request path it applies to, on whole segments and regardless of
        case ("subnets/web", "vn-hub", "locks/hub-lock"); None applies to every path.
    status: answer with this status and an ARM error body instead of serving the request.
    fail_async: serve the write, but make it fail when its time is up: a network write
        through an operation that ends "Failed", a lock call by answering the error.
    slow: extra seconds (scaled like every duration) the write runs for.
    drop: "before": close the connection without serving the request; "after": serve it,
        then close the connection without answering.
    delay: seconds to wait before answering (alone, or before the status).
    times: how many matching requests it affects; None for every one.
    retry_after: seconds for a Retry-After header (429 answers get 1 unless given); as given,
        not scaled.
    """

    method: str = "*"
    resource: str | None = None
    status: int | None = None
    code: str | None = None
    message: str | None = None
    fail_async: bool = False
    delay: float = 0.0
    times: int | None = 1
    retry_after: float | None = None
    slow: float = 0.0
    drop: str | None = None
    hits: int = 0

    def __post_init__(self) -> None:
        if self.drop not in (None, "before", "after"):
            raise ValueError(f"drop must be 'before' or 'after', not {self.drop!r}")

    def matches(self, method: str, path: str) -> bool:
        if self.method != "*" and self.method.upper() != method.upper():
            return False
        if self.resource is None:
            return True
        tail = [s for s in self.resource.lower().split("/") if s]
        segments = [s for s in path.lower().split("/") if s]
        return len(tail) <= len(segments) and segments[len(segments) - len(tail) :] == tail

    def error_code(self) -> str:
        return self.code or DEFAULT_CODES.get(self.status or 500, "InjectedFault")

    def error_message(self, method: str, path: str) -> str:
        return self.message or f"Injected fault: {self.status or 'failure'} for {method} {path}"


class Faults:
    """The faults of one emulator; the first matching fault that is not used up applies."""

    def __init__(self) -> None:
        self._faults: list[Fault] = []
        self._lock = threading.Lock()

    def add(self, fault: Fault | None = None, **settings: Any) -> Fault:
        fault = fault or Fault(**settings)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear(self) -> None:
        with self._lock:
            self._faults.clear()

    def take(self, method: str, path: str) -> Fault | None:
        """The fault that applies to this request, counted as used; None when none does."""
        with self._lock:
            for fault in self._faults:
                if fault.matches(method, path):
                    fault.hits += 1
                    if fault.times is not None:
                        fault.times -= 1
                        if fault.times <= 0:
                            self._faults.remove(fault)
                    return fault
        return None
