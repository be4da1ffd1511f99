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

from qn.arm.switch_traffic.config import DriverConfig, VnetConfig
from qn.arm.switch_traffic.counting import VnetCounts
from qn.arm.switch_traffic.records import Change, Lock, undone
from qn.arm.switch_traffic.state import NOT_STARTED, Kept, StateFile
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

    def per_vnet(self) -> dict[str, VnetCounts]:
        """The counts of a run that applied the plan, for the summary of a dry run."""
        return {
            v.name: VnetCounts(completed=v.stops is None, kinds=v.counts, changed=None)
            for v in self.vnets
        }


@dataclass
class Planning:
    """What the plan is built from."""

    config: DriverConfig
    state: StateFile
    open_vnet: Callable[[VnetConfig], VnetRun]
    # Runs the VNets' plans and returns their results in order: one after the other, or the
    # run's workers at once.
    each: Callable[[list[Callable[[], Any]]], list[Any]] = lambda tasks: [t() for t in tasks]


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
        return (revert_plan if revert else forward_plan)(planning, vnet_config)
    except PlanError as error:
        return f"{vnet_config.name}: {error}"
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
    """Each step's records as the forward run will have them: those kept by an unfinished run
    (brought up to date), else planned afresh; narrowed to the items not done yet."""

    def __init__(self, run: VnetRun, kept: dict[str, Kept[Any]]) -> None:
        self.run = run
        self.kept = kept
        self.library = planning_library(run.library)
        self.earlier = Earlier()
        self.pending: dict[str, Any] = {}

    def records(self, step: Step[Any]) -> Any | None:
        """The step's pending records; None when the step is done."""
        if step.name in self.pending:
            return self.pending[step.name]
        kept = self.kept.get(step.name, NOT_STARTED)
        if kept.done:
            if kept.records is not None:
                self.earlier.records[step.name] = kept.records
            return None
        if kept.records is not None:
            records = step.replanned(self.run, kept.records, self.earlier)
        else:
            step.plannable(self.run)
            with quiet_library():
                records = step.plan(self.run, self.library, self.earlier)
        self.earlier.records[step.name] = records
        names = step.keys(records)
        self.pending[step.name] = step.narrowed(records, undone(names, kept.items))
        return self.pending[step.name]


def forward_plan(planning: Planning, vnet_config: VnetConfig) -> VnetPlan:
    plan = VnetPlan(vnet_config.name, vnet_config.key)
    run = planning.open_vnet(vnet_config)
    planner = StepPlanner(run, kept_forward(planning, plan))
    for step in ORDER:  # what stops the run before its first change
        if step.checked_first and (records := planner.records(step)) is not None:
            plan.hubs += step.hubs(records)
            plan.stops, removable = step.plan_check(run, records)
            plan.removable += [(step, lock) for lock in removable]
            if plan.stops:
                return plan
    for step in ORDER:
        records = planner.records(step)
        if records is None:
            continue
        plan.changes += step.rows(run, records, revert=False)
        plan.stops = step.plan_stops(records)
        if plan.stops:
            return plan
    return plan


def kept_forward(planning: Planning, plan: VnetPlan) -> dict[str, Kept[Any]]:
    """The steps of an unfinished forward run that the run goes on with; none otherwise."""
    status = planning.state.forward_status(plan.key)
    if status == "unfinished":
        plan.notes.append("goes on with its unfinished forward run: only what is left is shown")
        return planning.state.directions(plan.key).forward
    if status in ("done", "reverting"):  # only with --force: the state check refuses it else
        plan.notes.append("the records of its earlier forward run, not reverted, are thrown away")
    return {}


# -- revert -----------------------------------------------------------------------------------


def revert_plan(planning: Planning, vnet_config: VnetConfig) -> VnetPlan:
    plan = VnetPlan(vnet_config.name, vnet_config.key)
    kept = planning.state.directions(plan.key)
    if not planning.state.has_records(plan.key):
        plan.notes.append("no records: nothing to revert")
        return plan
    run: VnetRun | None = None
    for step in REVERT_ORDER:
        records = kept.forward[step.name].records
        reverted = kept.revert[step.name]
        if records is None or reverted.done:
            continue
        names = step.keys(records) + step.revert_waits_for(records)
        records = step.narrowed(records, undone(names, reverted.items))
        run = run or planning.open_vnet(vnet_config)
        step.revert_plannable(run, records)
        plan.hubs += step.hubs(records)
        plan.changes += step.revert_rows(run, records)
    return plan
