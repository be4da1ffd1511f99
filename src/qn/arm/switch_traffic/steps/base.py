"""What every step is: the library calls of both directions, its records, its items and their
keys, the narrowing of its records to pending items, its rows in the plan, how each item is
read back and judged, and what the summary counts. The run, the plan, the read-back, the
state file and the report know a step only through this."""

import contextlib
import logging
import threading
from collections.abc import Callable, Iterable, Iterator
from contextvars import ContextVar
from dataclasses import dataclass, field
from typing import Any, ClassVar, Generic, TypeVar

from qn.arm.lumaflow import LumaflowError, LumaflowSession
from qn.arm.switch_traffic.config import DriverConfig, VnetConfig
from qn.arm.switch_traffic.controller import Gateways, gateway_names
from qn.arm.switch_traffic.records import Change, Items, Lock, Records
from qn.arm.switch_traffic.resources import Clients, Verdict
from qn.arm.switch_traffic.rights import Need

LIBRARY_LOGGER = "qn.arm.switchlib"

R = TypeVar("R", bound=Records)


class Stop(Exception):
    """The VNet's run stops here, before anything that would do harm; the text says why."""


class PlanError(RuntimeError):
    """The run cannot be planned, or its plan was not approved: nothing has been changed."""


class HubTurns:
    """One lock per hub VNet (by its resource ID, in lower case): the writes that touch a hub
    (the hub's end of a peering, its lock) are made by one VNet's run at a time, as Azure
    refuses a peering write on a VNet while another one runs on it."""

    def __init__(self) -> None:
        self._locks: dict[str, threading.Lock] = {}
        self._guard = threading.Lock()

    @contextlib.contextmanager
    def holding(self, hubs: Iterable[str]) -> Iterator[None]:
        """Holds the locks of these hubs, taken in one order so that two runs never wait for
        each other."""
        with self._guard:
            held = [
                self._locks.setdefault(h, threading.Lock()) for h in sorted(map(str.lower, hubs))
            ]
        with contextlib.ExitStack() as stack:
            for lock in dict.fromkeys(held):
                stack.enter_context(lock)
            yield


def _keep_nothing(step: str, records: Records) -> None:
    """A plan keeps no records."""


@dataclass
class VnetRun:
    """What one VNet's steps work with."""

    config: DriverConfig
    vnet_config: VnetConfig
    library: Any  # SwitchTraffic
    network_client: Any
    vnet: Any  # the VNet model object
    log: logging.Logger  # the driver's logger
    clients: Clients
    hubs: HubTurns = field(default_factory=HubTurns)
    # Keeps a step's records in the state file, before what they protect is changed.
    keep: Callable[[str, Records], None] = _keep_nothing
    controller: LumaflowSession | None = None  # the run's session, when it talks to one
    _gateways: Gateways | None = field(default=None, init=False, repr=False)

    @property
    def subscription(self) -> str:
        return self.vnet_config.subscription

    def session(self) -> LumaflowSession:
        if self.controller is None:
            raise LumaflowError("no controller is configured (controller.api_endpoint_url)")
        return self.controller

    def gateways(self) -> Gateways:
        """The VNet's spoke gateway and its transit, named once per VNet's run."""
        if self._gateways is None:
            self._gateways = gateway_names(
                self.config, self.vnet_config, self.vnet, self.library, self.controller
            )
        return self._gateways

    @property
    def name(self) -> str:
        return self.vnet_config.name


@dataclass
class Earlier:
    """The records of the steps before, by step name, as a step's plan and changes read
    them."""

    records: dict[str, Records] = field(default_factory=dict)

    def of(self, step: "Step[R]") -> R:
        found = self.records[step.name]
        assert isinstance(found, step.records)
        return found


class Step(Generic[R]):
    """A step of the migration. Subclasses set the class attributes and override what their
    step does; the defaults are those of a step that changes nothing."""

    name: ClassVar[str]
    records: type[R]
    # The summary's count of verified changes this step adds to, if any.
    counted: ClassVar[str | None] = None
    # Whether the step changes items that are read back (else its records alone say it ran).
    has_items: ClassVar[bool] = True
    # Read and checked before the VNet's first change: what it finds can stop the run early.
    checked_first: ClassVar[bool] = False

    # The reason the revert gives the items it waits for (`revert_waits_for`).
    waiting_reason: ClassVar[str] = ""
    # Whether the revert goes on past this step's pending items: the way back never waits on
    # the controller, whose items a later revert finishes.
    revert_goes_on: ClassVar[bool] = False

    def counts_as_change(self, name: str) -> bool:
        """Whether the summary counts this item, once Azure (or the controller) shows it
        changed: an item may be one part of a change the summary counts once."""
        return True

    def in_play(self, config: DriverConfig) -> bool:
        """Whether the configuration has the step change anything (its count in the summary)."""
        return True

    # -- records and items ------------------------------------------------------------------
    def keys(self, records: R) -> list[str]:
        """The step's items, as the state file names them."""
        return []

    def hubs(self, records: R) -> list[str]:
        """The hub VNets (resource IDs) the step writes to."""
        return []

    def narrowed(self, records: R, names: list[str]) -> R:
        """The records of these items only (a re-run hands the library those)."""
        return records

    # -- forward ----------------------------------------------------------------------------
    def plannable(self, run: VnetRun) -> None:
        """Raises PlanError when the step cannot be planned for this VNet."""

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> R:
        """What the step is to change, read without changing anything (`library` is in
        dry-run mode, except for a step whose calls only read)."""
        raise NotImplementedError

    def replanned(self, run: VnetRun, records: R, earlier: Earlier) -> R:
        """Records kept by an earlier attempt, brought up to date with Azure."""
        return records

    def preflight(self, run: VnetRun, records: R) -> None:
        """Raises Stop when Azure would refuse what the records are to change."""

    def begin_forward(self, run: VnetRun) -> None:
        """As the step starts, before its records are read or its items changed."""

    def forward(self, run: VnetRun, records: R, pending: list[str], earlier: Earlier) -> None:
        """Makes the change of the pending items of `records`."""

    def after_forward(self, run: VnetRun, records: R, known: Items) -> None:
        """Once the items are read back."""

    def forward_stop(self, pending: Items) -> str | None:
        """Why the run stops on these pending items, when the step says more than the rest."""
        return None

    # -- revert -----------------------------------------------------------------------------
    def revert_plannable(self, run: VnetRun, records: R) -> None:
        """Raises PlanError when the revert of these records cannot be planned."""

    def revert(self, run: VnetRun, records: R, pending: list[str]) -> None:
        """Puts the pending items of `records` back."""

    def after_revert(self, run: VnetRun, records: R, known: Items) -> None:
        """Once the items are read back."""

    def revert_waits_for(self, records: R) -> list[str]:
        """Items the revert puts back only once every VNet of the run is past this step;
        pending with `waiting_reason` until then."""
        return []

    # -- read-back --------------------------------------------------------------------------
    def read(self, run: VnetRun, records: R, names: list[str]) -> dict[str, Any]:
        """What Azure shows of each item now (a resource, a map of them, None or
        Unreadable)."""
        return {}

    def judge(self, records: R, name: str, seen: Any, revert: bool) -> Verdict:
        return True, ""

    # Whether the step clears a Failed state the library would leave (`clear_failed`).
    clears_failed: ClassVar[bool] = False

    def clear_failed(self, run: VnetRun, names: list[str]) -> None:
        """Clears the Failed state of these items, which the library would leave."""

    # -- plan -------------------------------------------------------------------------------
    def rows(self, run: VnetRun, records: R, revert: bool) -> list[Change]:
        return []

    def left_rows(self, run: VnetRun, records: R, revert: bool) -> list[Change]:
        """The rows of items an earlier attempt left, where Azure tells more than the
        records."""
        return self.rows(run, records, revert)

    def plan_stops(self, records: R) -> str | None:
        """Why the run would stop after this step, foreseen from its records."""
        return None

    def plan_check(self, run: VnetRun, records: R) -> tuple[str | None, list[Lock]]:
        """For a step checked first: why the run would stop before its first change, and the
        hub locks it would remove (shown once, under the first VNet that removes each)."""
        return None, []

    def lock_rows(self, removed: list[Lock], revert: bool) -> list[Change]:
        """The rows of hub locks the step removes (or, reverted, puts back)."""
        return []

    def revert_rows(self, run: VnetRun, records: R) -> list[Change]:
        """The revert's rows, where Azure tells more than the records."""
        return self.rows(run, records, True)

    # -- rights -----------------------------------------------------------------------------
    def rights(self, run: VnetRun, records: R, earlier: Earlier, revert: bool) -> list[Need]:
        """The Azure actions the change of these records needs, each on its resource."""
        return []

    def lock_rights(self, removed: list[Lock]) -> list[Need]:
        """The rights to remove these hub locks, and to put them back."""
        return []


def planning_library(library: type) -> type:
    """The library in dry-run mode for this run only: its operations reach the class state
    through their class argument, so a subclass with DryRun set reads and changes nothing."""
    return type(f"{library.__name__}Plan", (library,), {"DryRun": True})


class IncompletePlan(RuntimeError):
    """The library could not read what a plan needs; the text is its lines saying so."""


# The lines the library logs while this context plans, or None when it does not.
_planning: ContextVar[list[str] | None] = ContextVar("planning", default=None)


class _PlanLines(logging.Filter):
    """Takes the library's lines out of the log while their context plans. It sits on the
    library's logger for good, since workers plan and change at the same time: each record is
    judged by the context that logged it (the library logs on the caller's thread)."""

    def filter(self, record: logging.LogRecord) -> bool:
        errors = _planning.get()
        if errors is None:
            return True
        text = record.getMessage().strip()
        if record.levelno >= logging.WARNING or text.startswith("**Alert**"):
            errors.append(text.removeprefix("**Error**").removeprefix("**Alert**").strip())
        return False


logging.getLogger(LIBRARY_LOGGER).addFilter(_PlanLines())


@contextlib.contextmanager
def quiet_library() -> Iterator[None]:
    """The plan's lines would repeat the real run's; the operator sees those only. Not its
    failed reads: the library logs one (an error, a warning, or an `**Alert**` line at any
    level) and goes on without the item, so the plan (and the records kept from it) would leave
    out an item that the step then never changes."""
    errors: list[str] = []
    token = _planning.set(errors)
    try:
        yield
    finally:
        _planning.reset(token)
    if errors:
        raise IncompletePlan("; ".join(errors))
