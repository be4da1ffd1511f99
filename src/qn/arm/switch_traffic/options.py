"""A run's options and settings, its exit codes and default paths: what every layer is handed
rather than reads from a module."""

import contextlib
import dataclasses
import os
from collections.abc import Iterator
from contextvars import ContextVar
from dataclasses import dataclass

from qn.arm.lumaflow import Retries
from qn.arm.res.cloud import RetrySettings

STATE_FILE = "switch-traffic-state.json"
TEXT, JSON = "text", "json"  # the result on stdout: the summary, or one JSON document
EXIT_OK, EXIT_ERRORS, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT: how shells report a command stopped by Ctrl-C
EXIT_HUNG_UP = 129  # 128 + SIGHUP: its terminal closed
EXIT_TERMINATED = 143  # 128 + SIGTERM: stopped from elsewhere (a pipeline's cancel, kill)
# VNets run at once by default. More gain little: VNets that share a hub wait for each other
# in their peering step, and every worker's writes draw on the same per-subscription allowance
# of Azure's, which 4 stay far below. A log of 4 interleaved VNets is still readable.
DEFAULT_PARALLEL = 4


@dataclass(frozen=True)
class Waits:
    """How the driver waits for operations in Azure; an emulator's time scale shrinks them."""

    interval: float = 5.0  # seconds between two reads while something is being changed
    timeout: float = 900.0  # the longest wait for one step's items
    visible_after: float = 5.0  # a longer wait is said in the log, again at this interval

    def scaled(self, scale: float) -> "Waits":
        """Polling at the emulator's pace; the wait bounded at the same scale, but never below
        a few seconds of real time."""
        return Waits(
            interval=scale,
            timeout=max(self.timeout * scale, 5.0),
            visible_after=max(scale, min(self.visible_after, 100 * scale)),
        )


@dataclass(frozen=True)
class RunOptions:
    """One run of the driver, as the command line or the demo asks for it."""

    config: str
    revert: bool = False
    dry_run: bool = False
    state: str | None = None
    vnet: list[str] | None = None
    force: bool = False
    yes: bool = False  # apply the plan without asking
    parallel: int = DEFAULT_PARALLEL  # VNets run at once
    run_id: str | None = None  # names the run's claim on its VNets; made up when not given
    out_plan: str | None = None  # write the plan to this file (JSON) before asking
    plan: str | None = None  # apply this saved plan, when Azure and the state match it
    report: str | None = None  # the Markdown file of the run's audit record
    # How the run waits for Azure, and how long its clients wait before they try a refused
    # write again: shorter against an emulator whose operations are.
    waits: Waits = dataclasses.field(default_factory=lambda: _timing.get().waits)
    retries: RetrySettings = dataclasses.field(default_factory=lambda: _timing.get().retries)
    controller_retries: Retries = dataclasses.field(
        default_factory=lambda: _timing.get().controller
    )
    # Azure's clock against the real one: an emulator's runs faster (the plan's estimate).
    time_scale: float = dataclasses.field(default_factory=lambda: _timing.get().scale)

    @property
    def direction(self) -> str:
        return "revert" if self.revert else "forward"


@dataclass(frozen=True)
class Timing:
    """How long a run waits: for Azure's operations, and before it tries a refused request to
    Azure or to the controller again."""

    waits: Waits = Waits()
    retries: RetrySettings = RetrySettings()
    controller: Retries = Retries()
    scale: float = 1.0

    @classmethod
    def scaled(cls, scale: float) -> "Timing":
        controller = Retries()
        return cls(
            Waits().scaled(scale),
            RetrySettings().scaled(scale),
            dataclasses.replace(
                controller,
                base_delay=controller.base_delay * scale,
                max_delay=controller.max_delay * scale,
            ),
            scale,
        )


_timing: ContextVar[Timing] = ContextVar("timing", default=Timing())  # noqa: B039 (frozen)


@contextlib.contextmanager
def timed(timing: Timing) -> Iterator[None]:
    """Runs started in the block (from the command line too) wait so."""
    token = _timing.set(timing)
    try:
        yield
    finally:
        _timing.reset(token)


def scaled(scale: float) -> contextlib.AbstractContextManager[None]:
    """Runs started in the block wait at an emulator's time scale."""
    return timed(Timing.scaled(scale))


def state_path(output_dir: str, given: str | None = None) -> str:
    """The state file: the one given, else the default beside the configuration's output."""
    return given or os.path.join(output_dir, STATE_FILE)
