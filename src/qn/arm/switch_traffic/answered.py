"""Writes Azure has answered, as they are answered: the live display counts a step's items when
their write is accepted, unverified until the step's read-back confirms them.

The library makes the writes itself, through the SDK's clients; every client the driver makes
carries `hook`, which tells the listener of the calling thread's context (the VNet's step under
way) the name of each resource whose write was accepted.
"""

import contextlib
from collections.abc import Callable, Iterator
from contextvars import ContextVar
from typing import Any
from urllib.parse import urlsplit

WRITES = frozenset({"PUT", "PATCH", "DELETE"})

_listener: ContextVar[Callable[[str], None] | None] = ContextVar("answered", default=None)


def hook(response: Any) -> None:
    """The SDK's `raw_response_hook`: an accepted write names its resource to the listener."""
    listener = _listener.get()
    if listener is None:
        return
    request, answer = response.http_request, response.http_response
    if request.method.upper() in WRITES and answer.status_code < 300:
        listener(urlsplit(request.url).path.rstrip("/").rsplit("/", 1)[-1].lower())


@contextlib.contextmanager
def counting(names: list[str], tell: Callable[[int], None]) -> Iterator[None]:
    """For the block, `tell` hears how many of `names` (a step's items) have had a write
    accepted so far."""
    wanted = {name.lower() for name in names}
    seen: set[str] = set()

    def heard(name: str) -> None:
        if name in wanted and name not in seen:
            seen.add(name)
            tell(len(seen))

    token = _listener.set(heard)
    try:
        yield
    finally:
        _listener.reset(token)
