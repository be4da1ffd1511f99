"""Refusals injected for tests: an action refused once or every time, with the controller's
own kind of answer (HTTP 200, "return": false) or with a server error."""

import threading
from dataclasses import dataclass

from . import wire

INJECTED = "Injected refusal."


@dataclass
class Refusal:
    """action: the action it applies to; None for every action (a login included).
    reason: the "reason" of the answer.
    status: the HTTP status: 200 for the controller's refusal, 5xx for a server in trouble.
    times: how many matching requests it refuses; None for every one.
    """

    action: str | None = None
    reason: str = INJECTED
    status: int = 200
    times: int | None = 1
    hits: int = 0

    @classmethod
    def busy(cls, action: str | None = None, times: int | None = 1) -> "Refusal":
        """The refusal the controller gives while another operation holds the gateway."""
        return cls(action, f"Gateway (injected) {wire.BUSY}", times=times)

    def matches(self, action: str) -> bool:
        return self.action is None or self.action == action


class Faults:
    """The refusals of one emulator; the first matching one that is not used up applies."""

    def __init__(self) -> None:
        self._refusals: list[Refusal] = []
        self._lock = threading.Lock()

    def add(self, refusal: Refusal) -> Refusal:
        with self._lock:
            self._refusals.append(refusal)
        return refusal

    def clear(self) -> None:
        with self._lock:
            self._refusals.clear()

    def take(self, action: str) -> Refusal | None:
        with self._lock:
            for refusal in self._refusals:
                if refusal.matches(action):
                    refusal.hits += 1
                    if refusal.times is not None:
                        refusal.times -= 1
                        if refusal.times <= 0:
                            self._refusals.remove(refusal)
                    return refusal
        return None
