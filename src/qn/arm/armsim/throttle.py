"""Azure Resource Manager's request allowance: a bucket of tokens per subscription, principal
and kind of request (writes, deletes) that each request empties by one and that refills at a
steady rate. Every write or delete answer says what is left
(`x-ms-ratelimit-remaining-subscription-writes` / `-deletes`); a request that finds the bucket
empty is refused 429 `SubscriptionRequestsThrottled` with the wait until a token is back.

Reads are not counted: the library's reads stay far below Azure's read allowance, and the tool's
pacing reacts to writes only. docs/emulator.md cites the figures and the answer's shape.
"""

import math
import threading
import time
from dataclasses import dataclass

from .handlers import retry_after
from .settings import Settings
from .state import ArmError

# The kind of allowance each method draws on, and the header that tells what is left of it.
KINDS = {"PUT": "writes", "PATCH": "writes", "POST": "writes", "DELETE": "deletes"}
HEADERS = {kind: f"x-ms-ratelimit-remaining-subscription-{kind}" for kind in ("writes", "deletes")}


@dataclass
class Bucket:
    tokens: float
    stamp: float  # time.monotonic() of the last refill


class Allowances:
    """The buckets of one emulator; thread-safe (requests are served on many threads)."""

    def __init__(self) -> None:
        self._buckets: dict[tuple[str, str, str], Bucket] = {}
        self._lock = threading.Lock()

    def take(self, settings: Settings, method: str, path: str, actor: str) -> dict[str, str]:
        """Takes one token for a write or delete in a subscription and returns the header that
        tells what is left; raises 429 when none is left. Other requests take nothing."""
        kind = KINDS.get(method.upper())
        subscription = subscription_of(path)
        bucket = settings.bucket()
        if kind is None or subscription is None or bucket is None:
            return {}
        size, refill = bucket
        now = time.monotonic()
        with self._lock:
            key = (subscription.lower(), actor, kind)
            held = self._buckets.setdefault(key, Bucket(size, now))
            held.tokens = min(size, held.tokens + (now - held.stamp) * refill)
            held.stamp = now
            if held.tokens < 1:
                raise throttled(settings, kind, subscription, actor, held.tokens)
            held.tokens -= 1
            return {HEADERS[kind]: str(math.floor(held.tokens))}

    def reset(self) -> None:
        """Every bucket full again (as after a quiet hour)."""
        with self._lock:
            self._buckets.clear()


def subscription_of(path: str) -> str | None:
    segments = [s for s in path.split("/") if s]
    if len(segments) >= 2 and segments[0].lower() == "subscriptions":
        return segments[1]
    return None


def throttled(
    settings: Settings, kind: str, subscription: str, actor: str, tokens: float
) -> ArmError:
    """Azure's refusal of a request that found its bucket empty. Azure announces whole seconds,
    at least one; the emulator scales them like every wait it announces."""
    wait = max(1, math.ceil((1 - tokens) / settings.refill_rate()))
    seconds = settings.scaled(wait)
    return ArmError(
        429,
        "SubscriptionRequestsThrottled",
        f"Number of '{kind[:-1]}' requests for subscription '{subscription}' actor '{actor}' "
        f"exceeded. Please try again after '{format(seconds, 'g')}' seconds after additional "
        "tokens are available. Refer to https://aka.ms/arm-throttling for additional "
        "information.",
        headers=retry_after(seconds),
    )
