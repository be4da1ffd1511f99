"""The plan of a run: what it will change in each VNet, read from Azure and the state file
before anything is changed. This is its data; views.py shows it and asks for approval.

The forward plan reads Azure as the run will: each step plans its records as the run does (the
library in dry-run mode), and the steps checked first (the peering deletion) say what would stop
the run before its first change. The revert plan is read from the state file: what the forward
run recorded and the revert has not yet put back.

A run over unfinished records plans only their pending items; steps done are left out.

The VNets are planned as they will run: with the run's workers, several at once (reads only).
"""

import functools
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Protocol, TypeVar

from azure.core.exceptions import ClientAuthenticationError

from qn.arm.switch_traffic import adapter, evidence, leftovers, readback, resume
from qn.arm.switch_traffic.config import DriverConfig, VnetConfig
from qn.arm.switch_traffic.counting import VnetCounts
from qn.arm.switch_traffic.options import Waits
from qn.arm.switch_traffic.records import Change, Items, Lock, undone
from qn.arm.switch_traffic.rights import Need
from qn.arm.switch_traffic.state import NOT_STARTED, Kept, KeptRun, StateFile
from qn.arm.switch_traffic.steps.base import (
    Earlier,
    PlanError,
    Step,
    VnetRun,
    planning_library,
    quiet_library,
)
from qn.arm.switch_traffic.steps.order import NAMES, ORDER, REVERT_ORDER

__all__ = ["Plan", "PlanError", "Planning", "VnetPlan", "build", "in_run_order"]


@dataclass
class VnetPlan:
    name: str
    key: str
    changes: list[Change] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    stops: str | None = None  # why the VNet's run will stop, foreseen from what Azure shows
    hubs: list[str] = field(default_factory=list)  # the hubs its steps write to
    # Hub locks its run would remove, with the step that removes them.
    removable: list[tuple[Step[Any], Lock]] = field(default_factory=list)
    needs: list[Need] = field(default_factory=list)  # the rights its changes need in Azure
    # Why the run leaves the VNet out: Azure contradicts what its records say.
    left_out: str | None = None
    # What --force drops of its earlier records, a line each.
    dropped: list[str] = field(default_factory=list)

    def why_left_out(self) -> str | None:
        return f"{self.left_out}: {'; '.join(self.notes)}" if self.left_out else None

    @property
    def counts(self) -> Counter[str]:
        return Counter(change.counted for change in self.changes if change.counted)


@dataclass
class Plan:
    revert: bool
    vnets: list[VnetPlan]

    def hubs(self) -> dict[str, set[str]]:
        """{VNet name: the hubs its steps write to, in lower case}."""
        return {v.name: {hub.lower() for hub in v.hubs} for v in self.vnets}

    def needs(self) -> dict[str, list[Need]]:
        """{VNet name: the rights its changes need in Azure}."""
        return {v.name: v.needs for v in self.vnets}

    def per_vnet(self) -> dict[str, VnetCounts]:
        """The counts of a run that applied the plan, for the summary of a dry run."""
        return {
            v.name: VnetCounts(
                completed=v.stops is None and v.left_out is None,
                kinds=v.counts,
                changed=None,
                left_out=v.why_left_out(),
            )
            for v in self.vnets
        }

    def dropping(self) -> list[str]:
        """The VNets whose earlier records the run drops."""
        return [v.name for v in self.vnets if v.dropped]

    def left_out(self) -> set[str]:
        """The VNets the run leaves out, by name."""
        return {v.name for v in self.vnets if v.left_out}


@dataclass
class Planning:
    """What the plan is built from."""

    config: DriverConfig
    state: StateFile
    open_vnet: Callable[[VnetConfig], VnetRun]
    # Runs the VNets' plans and returns their results in order: one after the other, or the
    # run's workers at once.
    each: Callable[[list[Callable[[], Any]]], list[Any]] = lambda tasks: [t() for t in tasks]
    waits: Waits = field(default_factory=Waits)  # how the items left are read back


class HasName(Protocol):
    @property
    def name(self) -> str: ...


Named = TypeVar("Named", bound=HasName)  # a VNet's configuration, or its plan


def in_run_order(state: StateFile, vnets: list[VnetConfig], revert: bool) -> list[VnetConfig]:
    """Reverts go in the reverse order of the forward runs."""
    if not revert:
        return list(vnets)
    return sorted(vnets, key=lambda v: -state.order(v.key))


def spread_over_hubs(ordered: list[Named], hubs: dict[str, set[str]]) -> list[Named]:
    """The VNets in rounds of at most one VNet per hub, so that the first to start (which reach
    their peering steps at about the same time) spread over the hubs instead of queueing for
    one, as an estate listed hub by hub would have them. The VNets of a hub keep their order
    among themselves: VNets that share no hub share nothing, so the state file and the revert
    (which VNet removed a hub's lock, when it is put back) see the order they would have."""
    spread: list[Named] = []
    left = ordered
    while left:
        taken: set[str] = set()  # the hubs of this round, and of the VNets left for the next
        later: list[Named] = []
        for vnet in left:
            own = hubs.get(vnet.name, set())
            (later if own & taken else spread).append(vnet)
            taken |= own
        left = later
    return spread


def build(planning: Planning, vnets: list[VnetConfig], revert: bool) -> Plan:
    """The plan of every VNet, read-only; PlanError names every VNet that cannot be planned."""
    ordered = in_run_order(planning.state, vnets, revert)
    planned = planning.each([functools.partial(vnet_plan, planning, v, revert) for v in ordered])
    problems = [outcome for outcome in planned if isinstance(outcome, str)]
    if problems:
        raise PlanError("cannot plan the run, nothing was changed:\n  " + "\n  ".join(problems))
    if not revert:
        claim_lock_removals(planned)
    return Plan(revert, planned)


def vnet_plan(planning: Planning, vnet_config: VnetConfig, revert: bool) -> VnetPlan | str:
    """The VNet's plan, or why it cannot be planned."""
    try:
        planned = (revert_plan if revert else forward_plan)(planning, vnet_config)
        if not planned.dropped:  # else listed among what is dropped
            planned.notes += leftovers.undone(planning.state, vnet_config.key)
        return planned
    except PlanError as error:
        return f"{vnet_config.name}: {error}"
    except ClientAuthenticationError as error:
        return f"{vnet_config.name}: {adapter.sign_in_problem(error)}"
    except Exception as error:  # nothing has been changed: the run must not start
        return f"{vnet_config.name}: {type(error).__name__}: {error}"


def claim_lock_removals(planned: list[VnetPlan]) -> None:
    """A hub's lock is shown removed by the first VNet of the run that would remove it: the
    run removes it once."""
    claimed: set[str] = set()
    for plan in planned:
        for step, lock in plan.removable:
            if lock.id.lower() not in claimed:
                plan.changes += step.lock_rows([lock], revert=False)
            claimed.add(lock.id.lower())
        plan.changes.sort(key=lambda change: NAMES.index(change.step))


# -- forward ----------------------------------------------------------------------------------


class StepPlanner:
    """Each step's records and items left as the forward run will find them (resume.py):
    those kept by an unfinished run (brought up to date, its items read back), else planned
    afresh; narrowed to the items left."""

    def __init__(self, run: VnetRun, kept: dict[str, Kept[Any]], waits: Waits) -> None:
        self.run = run
        self.kept = kept
        self.waits = waits
        self.library = planning_library(run.library)
        self.earlier = Earlier()
        self.pending: dict[str, Any] = {}
        self.resumed: set[str] = set()
        # Whether an earlier attempt's change, unseen by it, was found done when read back.
        self.landed = False
        # What a step keeps as it plans (a discovery brought up to date) is what the steps
        # after it plan with, as in the run.
        run.keep = self.earlier.records.__setitem__

    def records(self, step: Step[Any]) -> Any | None:
        """The step's pending records; None when the step is done."""
        if step.name in self.pending:
            return self.pending[step.name]
        kept = self.kept.get(step.name, NOT_STARTED)
        if kept.done:
            if kept.records is not None:
                self.earlier.records[step.name] = kept.records
            return None
        left = resume.forward_left(
            step,
            self.run,
            None if kept is NOT_STARTED else kept,
            self.earlier,
            functools.partial(self.planned, step),
            functools.partial(read_back, step, self.run, self.waits, revert=False),
        )
        self.earlier.records[step.name] = left.records
        if left.resumed:
            self.resumed.add(step.name)
            seen_done = {name for name, item in kept.items.items() if item.done}
            self.landed |= any(
                item.done and name not in seen_done for name, item in left.known.items()
            )
        self.pending[step.name] = left.narrowed(step)
        return self.pending[step.name]

    def planned(self, step: Step[Any]) -> Any:
        step.plannable(self.run)
        with quiet_library():
            return step.plan(self.run, self.library, self.earlier)

    def rows(self, step: Step[Any], records: Any) -> list[Change]:
        """The rows of the step's items left; those of an earlier attempt with what Azure
        shows of them now."""
        if step.name in self.resumed:
            return step.left_rows(self.run, records, revert=False)
        return step.rows(self.run, records, revert=False)


def read_back(
    step: Step[Any],
    run: VnetRun,
    waits: Waits,
    records: Any,
    names: list[str],
    known: Items,
    revert: bool,
) -> None:
    """What Azure shows of these items, read as the run reads them back (read-only: an item
    left Failed stays pending, for the run to clear)."""
    known.update(readback.read_back(step, run, waits, records, names, revert))


def forward_plan(planning: Planning, vnet_config: VnetConfig) -> VnetPlan:
    plan = VnetPlan(vnet_config.name, vnet_config.key)
    run = planning.open_vnet(vnet_config)
    kept = kept_forward(planning, plan)
    planner = StepPlanner(run, kept, planning.waits)
    planned = forward_steps(run, planner, plan)
    # A migrated VNet's subnets have nothing to switch to, or lack copies of the tables they
    # sit on; Azure tells whether it is migrated, unless kept records say what the run changed
    # or an earlier attempt's changes, read back now, are what Azure shows.
    switching = any(change.counted == "subnets" for change in planned.changes)
    if (planned.stops or not switching) and not changed_any(kept) and not planner.landed:
        found = evidence.read(run, planning.state.path)
        if found.migrated:
            return left_out(plan, "already migrated", found, start_over(planning, plan.key))
    return planned


def changed_any(kept: dict[str, Kept[Any]]) -> bool:
    """Whether these records hold a change that Azure showed done."""
    return any(item.done for entry in kept.values() for item in entry.items.values())


def start_over(planning: Planning, key: str) -> str:
    """What to do instead of a forward run over a migrated VNet."""
    path = planning.state.path
    if changed_any(planning.state.directions(key).forward):  # --force would drop them
        return f"run --revert first: the records {path} holds are what its revert needs"
    return "revert it first: " + evidence.records_back(path)


def left_out(plan: VnetPlan, why: str, found: evidence.Evidence, advice: str) -> VnetPlan:
    """The plan of a VNet the run leaves out, as Azure shows it: it changes nothing of it."""
    return VnetPlan(plan.name, plan.key, notes=[*found.shown(), advice], left_out=why)


def forward_steps(run: VnetRun, planner: "StepPlanner", plan: VnetPlan) -> VnetPlan:
    for step in ORDER:  # what stops the run before its first change
        if step.checked_first and (records := planner.records(step)) is not None:
            plan.hubs += step.hubs(records)
            plan.stops, removable = step.plan_check(run, records)
            if plan.stops:  # nothing is removed then
                return plan
            plan.removable += [(step, lock) for lock in removable]
            plan.needs += step.lock_rights(removable)
    for number, step in enumerate(ORDER):
        records = planner.records(step)
        if records is None:
            continue
        plan.changes += planner.rows(step, records)
        plan.needs += step.rights(run, records, planner.earlier, revert=False)
        plan.stops = step.plan_stops(records)
        if plan.stops:
            # The hub locks of the steps it never reaches are removed by another VNet's run.
            reached = ORDER[: number + 1]
            plan.removable = [(s, lock) for s, lock in plan.removable if s in reached]
            return plan
    return plan


def kept_forward(planning: Planning, plan: VnetPlan) -> dict[str, Kept[Any]]:
    """The steps of an unfinished forward run that the run goes on with; none otherwise."""
    status = planning.state.forward_status(plan.key)
    if status == "unfinished":
        plan.notes.append("goes on with its unfinished forward run: only what is left is shown")
        return planning.state.directions(plan.key).forward
    if status in ("done", "reverting"):  # only with --force: the state check refuses it else
        plan.dropped = leftovers.dropped(planning.state, plan.key)
    return {}


# -- revert -----------------------------------------------------------------------------------


def revert_plan(planning: Planning, vnet_config: VnetConfig) -> VnetPlan:
    plan = VnetPlan(vnet_config.name, vnet_config.key)
    kept = planning.state.directions(plan.key)
    run: VnetRun | None = None
    if planning.state.has_records(plan.key):
        run = revert_steps(planning, vnet_config, plan, kept)
    if plan.changes:
        return plan
    # Nothing to undo: Azure must not contradict it.
    found = evidence.read(run or planning.open_vnet(vnet_config), planning.state.path)
    if found.migrated:
        return left_out(plan, "not reverted", found, evidence.records_back(planning.state.path))
    if not planning.state.has_records(plan.key):
        plan.notes.append("no records: nothing to revert")
    return plan


def revert_steps(
    planning: Planning, vnet_config: VnetConfig, plan: VnetPlan, kept: KeptRun
) -> VnetRun | None:
    """The revert's rows of each step not yet reverted; the VNet as read, if it was."""
    run: VnetRun | None = None
    recorded = Earlier({n: e.records for n, e in kept.forward.items() if e.records is not None})
    for step in REVERT_ORDER:
        records = kept.forward[step.name].records
        reverted = kept.revert[step.name]
        if records is None or reverted.done:
            continue
        run = run or planning.open_vnet(vnet_config)
        left = resume.revert_left(
            step,
            records,
            None if reverted is NOT_STARTED else reverted,
            functools.partial(read_back, step, run, planning.waits, revert=True),
        )
        waits_for = undone(step.revert_waits_for(records), left.known)
        records = step.narrowed(records, left.pending + waits_for)
        step.revert_plannable(run, records)
        plan.hubs += step.hubs(records)
        plan.changes += step.revert_rows(run, records)
        plan.needs += step.rights(run, records, recorded, revert=True)
    return run
