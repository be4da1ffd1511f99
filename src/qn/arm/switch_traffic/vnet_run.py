"""One VNet's run in one direction: its steps in order, each with its records kept before it
changes anything, a change counted only when Azure shows it.

Every step that changes something keeps what it is to change (its records) before it starts,
then calls the library, then reads back each item and keeps it in the state file as done or
pending with the reason. A step is done only when every item is; the VNet's run stops at the
first step with a pending item, since the next steps would take away routes that the pending
item still needs. A later run, forward or revert, tries only the pending items again, by
handing the library the records narrowed to them.
"""

import contextlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from qn.arm.lumaflow import LumaflowSession
from qn.arm.switch_traffic import adapter, answered, progress, readback, report, resume
from qn.arm.switch_traffic.config import DriverConfig, VnetConfig
from qn.arm.switch_traffic.counting import VnetCounts
from qn.arm.switch_traffic.options import RunOptions
from qn.arm.switch_traffic.records import Item, Items, Records, undone
from qn.arm.switch_traffic.resources import Clients
from qn.arm.switch_traffic.state import StateFile
from qn.arm.switch_traffic.steps.base import (
    Earlier,
    HubTurns,
    Step,
    Stop,
    VnetRun,
    planning_library,
    quiet_library,
)
from qn.arm.switch_traffic.steps.order import in_order


@dataclass
class Shared:
    """What the VNets of one run share."""

    options: RunOptions
    config: DriverConfig
    state: StateFile
    clients: Clients
    hubs: HubTurns
    tally: report.Tally
    progress: progress.Progress
    check_stopped: Callable[[], None]  # raises once the run is to stop
    controller: LumaflowSession | None = None  # the run's session, when it talks to one


def open_vnet(shared: Shared, vnet_config: VnetConfig, keep: Any = None) -> VnetRun:
    """The VNet read from Azure, with what its steps work with."""
    client, vnet = adapter.open_vnet(shared.config, vnet_config)
    run = VnetRun(
        shared.config,
        vnet_config,
        adapter.library(),
        client,
        vnet,
        report.driver_log(),
        shared.clients,
        shared.hubs,
        controller=shared.controller,
    )
    if keep is not None:
        run.keep = keep
    return run


class VnetRunner:
    """One VNet's run in the direction of the run's options."""

    def __init__(self, shared: Shared, vnet_config: VnetConfig) -> None:
        self.shared = shared
        self.vnet_config = vnet_config
        self.key = vnet_config.key
        self.state = shared.state
        self.log = report.driver_log()
        self.counts = VnetCounts()
        self.order = in_order(shared.options.revert)

    @property
    def name(self) -> str:
        return self.vnet_config.name

    def keep(self, step: str, records: Records) -> None:
        self.state.keep_records(self.key, step, records)

    def run(self) -> VnetCounts:
        """The VNet's steps; a failure stops the VNet, logged, and is counted."""
        revert = self.shared.options.revert
        self.log.info(f"[{self.name}] {'revert' if revert else 'forward'} run ({self.key})")
        try:
            run = open_vnet(self.shared, self.vnet_config, self.keep)
            if revert:
                self.revert_vnet(run)
            else:
                self.forward_vnet(run)
            self.counts.completed = True
        except Stop as stop:
            self.log.error(f"  **Error** [{self.name}] stopped: {stop}")
        except Exception as error:  # the VNet's later steps must not run after a failed one
            self.log.error(f"  **Error** [{self.name}] stopped: {type(error).__name__}: {error}")
        return self.counts

    def steps_in_turn(self) -> Iterator[tuple[Step[Any], str]]:
        """Each step with its heading, once the run may go on."""
        for number, step in enumerate(self.order, 1):
            self.shared.check_stopped()
            self.shared.progress.step(self.name, number, step.name, 0)
            yield step, f"[{self.name}] step {number}/{len(self.order)}: {step.name}"

    # -- forward ----------------------------------------------------------------------------
    def forward_vnet(self, run: VnetRun) -> None:
        if self.state.forward_status(self.key) != "unfinished":
            self.state.start_forward(self.key)
        planner = planning_library(run.library)
        for step in self.order:  # what would stop the run is found before its first change
            entry = self.state.entry(self.key, "forward", step)
            if step.checked_first and not (entry and entry.done):
                step.preflight(run, self.checked_records(run, step, entry, planner))
        for step, heading in self.steps_in_turn():
            with self.step_errors(step):
                self.forward_step(run, step, planner, heading)

    @staticmethod
    def checked_records(run: VnetRun, step: Step[Any], entry: Any, planner: type) -> Any:
        """The records a step checked first is checked on: an earlier attempt's pending ones,
        as the library cannot plan again an item that attempt left half done (a peering whose
        partner end is gone), else planned afresh."""
        if entry is not None and entry.records is not None:
            return step.narrowed(entry.records, undone(step.keys(entry.records), entry.items))
        with quiet_library():
            return step.plan(run, planner, Earlier())

    def earlier(self, step: Step[Any]) -> Earlier:
        """The records kept by the steps before this one."""
        before = self.order[: self.order.index(step)]
        kept = (self.state.entry(self.key, "forward", s) for s in before)
        return Earlier(
            {
                e.name: k.records
                for e, k in zip(before, kept, strict=True)
                if k and k.records is not None
            }
        )

    def forward_step(self, run: VnetRun, step: Step[Any], planner: type, heading: str) -> None:
        entry = self.state.entry(self.key, "forward", step)
        if entry and entry.done:
            self.log.info(f"{heading} -- already done")
            return
        resumed = entry is not None and entry.records is not None
        self.log.info(heading + (" (again: the pending items)" if resumed else ""))
        self.state.start_step(self.key, "forward", step.name)
        step.begin_forward(run)
        earlier = self.earlier(step)
        if not step.has_items:  # nothing to read back: the records say it ran
            records = step.plan(run, run.library, earlier)
            step.forward(run, records, [], earlier)
            self.keep(step.name, records)
            self.state.keep_items(self.key, "forward", step.name, {}, done=True)
            return
        left = resume.forward_left(
            step,
            run,
            entry,
            earlier,
            lambda: self.planned(run, step, planner, earlier),
            lambda records, names, known: self.found(step, run, records, names, known, False),
            lambda names, known: self.show_items(step, names, known),
        )
        earlier = self.earlier(step)  # the step may have kept newer ones
        records, names, known, pending = left.records, left.names, left.known, left.pending
        if pending and resumed:  # something in the way since
            step.preflight(run, left.narrowed(step))
        if pending:
            with self.answering(pending):
                self.attempt(step, lambda: step.forward(run, records, pending, earlier))
            self.found(step, run, records, pending, known, revert=False)
        step.after_forward(run, records, known)
        self.finish_step(step, "forward", names, known)

    def planned(self, run: VnetRun, step: Step[Any], planner: type, earlier: Earlier) -> Any:
        """The step's records planned afresh, checked, and kept before anything is changed."""
        with quiet_library():
            records = step.plan(run, planner, earlier)
        step.preflight(run, records)
        self.keep(step.name, records)
        return records

    # -- revert -----------------------------------------------------------------------------
    def revert_vnet(self, run: VnetRun) -> None:
        for step, heading in self.steps_in_turn():
            with self.step_errors(step):
                self.revert_step(run, step, heading)

    def revert_step(self, run: VnetRun, step: Step[Any], heading: str) -> None:
        forward = self.state.entry(self.key, "forward", step)
        if forward is None:
            self.log.info(f"{heading} -- not done in the forward run, nothing to revert")
            return
        entry = self.state.entry(self.key, "revert", step)
        if entry and entry.done:
            self.log.info(f"{heading} -- already reverted")
            return
        records = forward.records
        if records is None:
            self.log.info(f"{heading} -- interrupted before it changed anything")
            self.state.keep_items(self.key, "revert", step.name, {}, done=True)
            return
        partly = "" if forward.done else " (unfinished in the forward run)"
        self.log.info(heading + partly + (" (again: the pending items)" if entry else ""))
        if not step.has_items:
            step.revert(run, records, [])
            self.state.keep_items(self.key, "revert", step.name, {}, done=True)
            return
        self.state.start_step(self.key, "revert", step.name)
        changed = forward.items  # what the forward run was seen to change
        left = resume.revert_left(
            step,
            records,
            entry,
            lambda records, names, known: self.found(
                step, run, records, names, known, True, changed
            ),
            lambda names, known: self.show_items(step, names, known),
        )
        names, known, pending = left.names, left.known, left.pending
        if pending:
            with self.answering(pending):
                self.attempt(step, lambda: step.revert(run, records, pending))
            self.found(step, run, records, pending, known, True, changed)
        step.after_revert(run, records, known)
        waits_for = step.revert_waits_for(records)
        for name in undone(waits_for, known):
            known[name] = Item.seen(False, step.waiting_reason)
        self.finish_step(step, "revert", names, known, extra=waits_for)

    # -- shared -----------------------------------------------------------------------------
    def attempt(self, step: Step[Any], call: Callable[[], Any]) -> None:
        """Calls the library; a failure is logged and its items are judged from Azure."""
        try:
            call()
        except Exception as error:  # what changed is read back next, whatever failed
            self.log.error(
                f"  **Error** [{self.name}] {step.name}: {type(error).__name__}: {error}"
            )

    def found(
        self,
        step: Step[Any],
        run: VnetRun,
        records: Any,
        names: list[str],
        known: Items,
        revert: bool,
        forward: Items | None = None,
    ) -> None:
        """Reads the items back into `known`, counts what Azure shows changed, and shows it."""
        found = readback.read_back(
            step,
            run,
            self.shared.options.waits,
            records,
            names,
            revert,
            lambda call: self.attempt(step, call),
        )
        known.update(found)
        self.count(step, found, forward)
        self.show_done(step, step.keys(records), known)

    def count(self, step: Step[Any], found: Items, forward: Items | None) -> None:
        """Counts the items Azure shows changed. A revert does not count an item whose forward
        change Azure never showed: putting it back changed nothing (an interrupted run's
        changes are counted by the run that reads them back)."""
        unchanged = {name for name, item in (forward or {}).items() if not item.done}
        changed = [name for name, item in found.items() if item.done and name not in unchanged]
        assert self.counts.changed is not None
        self.counts.changed[step.name] += len(changed)
        if step.counted:
            self.counts.kinds[step.counted] += sum(map(step.counts_as_change, changed))

    def show_items(self, step: Step[Any], names: list[str], known: Items) -> None:
        """Tells the live view the step's items, and how many of them are done already."""
        self.shared.progress.step(self.name, self.order.index(step) + 1, step.name, len(names))
        self.show_done(step, names, known)

    def answering(self, pending: list[str]) -> contextlib.AbstractContextManager[None]:
        """Tells the live view the pending items whose writes Azure accepts, as it does."""
        return answered.counting(pending, lambda n: self.shared.progress.answered(self.name, n))

    def show_done(self, step: Step[Any], names: list[str], known: Items) -> None:
        self.shared.progress.advanced(self.name, len(names) - len(undone(names, known)))

    @contextlib.contextmanager
    def step_errors(self, step: Step[Any]) -> Iterator[None]:
        """Counts the error lines of the step for the result (a reached step has a count, if
        only 0); the worker's VNet runs one step at a time."""
        before = self.shared.tally.errors_of(self.name)
        try:
            yield
        finally:
            self.counts.step_errors[step.name] += self.shared.tally.errors_of(self.name) - before

    def finish_step(
        self,
        step: Step[Any],
        direction: str,
        names: list[str],
        known: Items,
        extra: list[str] | None = None,
    ) -> None:
        pending = {name: known[name] for name in undone(names, known)}
        for name, item in pending.items():
            self.log.error(
                f"  **Error** [{self.name}] {step.name} {name}: {item.reason} -- pending"
            )
        done = not pending and not undone(extra or [], known)
        self.state.keep_items(self.key, direction, step.name, known, done=done)
        if not pending:
            return
        if direction == "revert" and step.revert_goes_on:
            return  # left pending for a later revert; the way back goes on
        says = step.forward_stop(pending) if direction == "forward" else None
        raise Stop(
            says
            or f"{step.name} has {len(pending)} pending item(s): {', '.join(pending)}; run again "
            "to retry them"
            + ("" if direction == "revert" else ", or --revert")
        )
