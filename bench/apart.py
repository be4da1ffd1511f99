"""The emulator in a process of its own, so that the benchmark's process is the driver's alone:
its CPU time and its memory are the client's, as they would be against Azure, and the
emulator's work (rendering listings, running operations) no longer competes for the driver's
interpreter.

The child is a fresh interpreter (`spawn`) that serves an `Emulator` exactly as a process of the
same benchmark would, with the same topology and settings; between runs, outside any timing, the
parent asks it over a pipe for what it served and what its state is.
"""

import multiprocessing
import time
from collections import Counter
from dataclasses import dataclass
from multiprocessing.connection import Connection
from typing import Any

from qn.arm.armsim import Emulator

# Long enough for a loaded machine to start an interpreter and render certificates.
START_SECONDS = 120.0


@dataclass(frozen=True)
class Served:
    """What the emulator did since it started: requests by method, its own CPU seconds."""

    methods: Counter
    cpu: float

    def since(self, earlier: "Served") -> "Served":
        return Served(self.methods - earlier.methods, self.cpu - earlier.cpu)


def _serve(topology: dict, scale: float, aliases: dict[str, str], pipe: Connection) -> None:
    """The child: serves until told to stop, answering the parent's questions meanwhile."""
    with Emulator(topology, token="armsim", time_scale=scale) as arm:
        pipe.send(arm.tool_config(aliases))
        while True:
            question = pipe.recv()
            if question == "served":
                methods = Counter(method for method, _ in arm.requests)
                pipe.send(Served(methods, time.process_time()))
            elif question == "snapshot":
                pipe.send(arm.snapshot())
            else:
                break
    pipe.send("stopped")


class EmulatorApart:
    """`with EmulatorApart(topology, scale, aliases) as arm:` the emulator's process, running;
    `arm.config` points the tool at it."""

    def __init__(self, topology: dict, scale: float, aliases: dict[str, str]) -> None:
        context = multiprocessing.get_context("spawn")
        self._pipe, child = context.Pipe()
        self._process = context.Process(
            target=_serve, args=(topology, scale, aliases, child), name="armsim", daemon=True
        )
        self.config: dict[str, Any] = {}

    def __enter__(self) -> "EmulatorApart":
        self._process.start()
        self.config = self._answer()
        return self

    def __exit__(self, *exception: object) -> None:
        try:
            self._pipe.send("stop")
            self._answer()
        finally:
            self._process.join(timeout=10)
            if self._process.is_alive():
                self._process.kill()

    def served(self) -> Served:
        self._pipe.send("served")
        return self._answer()

    def snapshot(self) -> dict:
        self._pipe.send("snapshot")
        return self._answer()

    def _answer(self) -> Any:
        if not self._pipe.poll(START_SECONDS):
            raise RuntimeError(f"the emulator's process did not answer in {START_SECONDS:.0f} s")
        return self._pipe.recv()
