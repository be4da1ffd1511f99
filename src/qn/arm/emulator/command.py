"""What the emulators' console commands share: their option type for durations and rates, and
the loop that serves until the command is told to stop."""

import argparse
import signal
import sys
import threading
from collections.abc import Callable
from typing import Protocol, TypeVar


class Served(Protocol):
    @property
    def endpoint(self) -> str: ...

    @property
    def ca_file(self) -> str | None: ...


Emulator = TypeVar("Emulator", bound=Served)


def positive(text: str) -> float:
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def serve_until_stopped(
    name: str,
    start: Callable[[], Emulator],
    finish: Callable[[Emulator], None],
    refused: tuple[type[Exception], ...],
    told: Callable[[Emulator], list[str]] = lambda emulator: [],
) -> int:
    """Starts an emulator, prints its endpoint, the certificate authority to trust and the
    lines `told` has for it, and serves until SIGTERM or Ctrl-C, then ends it with `finish`:
    exit status 0. An error of `refused` while starting is printed after `name` on standard
    error: exit status 2."""
    try:
        emulator = start()
    except refused as error:
        print(f"{name}: {error}", file=sys.stderr)
        return 2
    # The handler comes before the lines that say the emulator is ready: a caller may stop it
    # as soon as it has read them.
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    print(f"{name}: endpoint {emulator.endpoint}", flush=True)
    print(f"{name}: certificate authority {emulator.ca_file}", flush=True)
    for line in told(emulator):
        print(f"{name}: {line}", flush=True)
    try:
        stop.wait()
    except KeyboardInterrupt:
        pass
    finish(emulator)
    return 0
