"""Spacing a subscription's writes before Azure refuses them.

Azure Resource Manager gives each subscription (per principal) a bucket of writes and one of
deletes that refill at a steady rate, and says on every write answer what is left
(`x-ms-ratelimit-remaining-subscription-writes`, `-deletes`). Once a bucket is empty every
write is refused 429 until tokens come back, and refusals met by many workers at once turn
into waves of retries. So every client of a run shares one pacer per subscription and kind
(`Pacers`, one per run): while what is left stays above a low mark, writes go at once; below
it, they are spaced so that the subscription's writes come no faster than the bucket refills,
the more widely the less is left, and a throttling refusal holds every worker of the
subscription for its Retry-After, not only the one that met it.
"""

import logging
import re
import threading
import time
from dataclasses import dataclass
from typing import Any

from azure.core.pipeline import PipelineRequest, PipelineResponse
from azure.core.pipeline.policies import HTTPPolicy, RetryPolicy

from qn.arm.res.errors import error_code

log = logging.getLogger("qn.arm.res.cloud")

# The allowance each method draws on, and the header an answer tells what is left of it in.
KINDS = {"PUT": "writes", "PATCH": "writes", "POST": "writes", "DELETE": "deletes"}
HEADER = "x-ms-ratelimit-remaining-subscription-{kind}"
THROTTLED = "SubscriptionRequestsThrottled"
SUBSCRIPTION = re.compile(r"/subscriptions/([^/?]+)", re.IGNORECASE)


@dataclass(frozen=True)
class Pace:
    """below: what is left under which writes are spaced (Azure's bucket holds 200; 0 turns
    pacing off);
    interval: seconds for one token to come back (Azure refills 10 a second), which is the
    spacing at the low mark: the fewer are left, the wider it gets."""

    below: float = 20.0
    interval: float = 0.1


class Pacer:
    """What the answers of one subscription said about one of its allowances; thread-safe, shared
    by every worker writing to that subscription."""

    def __init__(self, subscription: str, kind: str) -> None:
        self.subscription = subscription
        self.kind = kind
        self._lock = threading.Lock()
        self._remaining: float | None = None  # as last told; None: not told yet
        self._seen = 0.0  # when
        self._in_flight = 0  # writes sent (or waiting for their turn) and not answered
        self._next = 0.0  # the earliest time the next spaced write may go
        self._hold = 0.0  # no write before this time (a throttling refusal's Retry-After)
        self._slowed = False

    def turn(self, pace: Pace) -> float:
        """Seconds the caller's write waits for its turn; counts it in flight."""
        with self._lock:
            now = time.monotonic()
            level = self._level(now, pace)
            self._in_flight += 1
            if level is None or level >= pace.below:
                return max(0.0, self._hold - now)
            slot = max(now, self._next, self._hold)
            self._next = slot + pace.interval * pace.below / max(level, 1.0)
            first, self._slowed = not self._slowed, True
        if first:
            log.warning(
                f"  Azure's allowance of {self.kind} for subscription {self.subscription} is "
                f"running low ({max(0, int(level))} left): spacing this subscription's "
                f"{self.kind} so that Azure does not refuse them; the run goes on more slowly"
            )
        return slot - now

    def answered(self, remaining: str | None, hold: float | None) -> None:
        """Takes in what an answer told: the allowance left, or a refusal's wait (`hold`)."""
        with self._lock:
            self._in_flight -= 1
            now = time.monotonic()
            if hold is not None:
                self._remaining, self._seen = 0.0, now
                self._hold = max(self._hold, now + hold)
            elif remaining is not None:
                try:
                    self._remaining, self._seen = float(remaining), now
                except ValueError:
                    pass  # a header Azure did not write; what was known stays

    def _level(self, now: float, pace: Pace) -> float | None:
        """What is left now, as best known: the last figure, plus what came back since, less
        the writes in flight (each will take one)."""
        if self._remaining is None:
            return None
        refilled = (now - self._seen) / pace.interval if pace.interval > 0 else pace.below
        return self._remaining + refilled - self._in_flight


class Pacers:
    """The pacers of one run, one per cloud, subscription and kind: every client the run's
    workers build shares them, and what one run's answers told does not reach another's."""

    def __init__(self) -> None:
        self._pacers: dict[tuple[str, str, str], Pacer] = {}
        self._lock = threading.Lock()

    def pacer(self, host: str, subscription: str, kind: str) -> Pacer:
        """The one pacer of a subscription's allowance of this kind on this cloud."""
        key = (host.lower(), subscription.lower(), kind)
        with self._lock:
            found = self._pacers.get(key)
            if found is None:
                found = self._pacers[key] = Pacer(subscription, kind)
            return found


class WritePacing(HTTPPolicy):  # type: ignore[type-arg]  # any transport's requests
    """The pipeline's pacer: it sits after the retry policy, so every try of a write waits for
    its turn and every answer, refusals included, tells the pacer what is left."""

    def __init__(self, pace: Pace, pacers: Pacers) -> None:
        super().__init__()
        self._pace = pace
        self._pacers = pacers

    def send(self, request: PipelineRequest[Any]) -> PipelineResponse[Any, Any]:
        http = request.http_request
        kind = KINDS.get(http.method.upper())
        found = SUBSCRIPTION.search(http.url)
        pace = self._pace
        if kind is None or found is None or pace.below <= 0:
            return self.next.send(request)
        shared = self._pacers.pacer(http.url.split("/")[2], found.group(1), kind)
        wait = shared.turn(pace)
        remaining, hold = None, None
        try:
            if wait > 0:
                time.sleep(wait)
            response = self.next.send(request)
            remaining = response.http_response.headers.get(HEADER.format(kind=kind))
            if throttled(response):
                hold = _RETRY.get_retry_after(response) or 0.0
            return response
        finally:
            shared.answered(remaining, hold)


def throttled(response: PipelineResponse[Any, Any]) -> bool:
    """A 429 for the subscription's allowance (not for a resource that is busy)."""
    http = response.http_response
    return http.status_code == 429 and error_code(http) == THROTTLED


_RETRY = RetryPolicy()  # reads Retry-After as the SDK's own retries do
