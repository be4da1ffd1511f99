"""The operation as a whole: load the configuration, plan, approve, apply, report.

One run goes in one direction over the chosen VNets, up to `--parallel` at once, each VNet's
run in a worker of its own; a stopped VNet does not stop the others.
"""

import contextlib
import functools
import shlex
import sys
import uuid

from qn.arm.lumaflow import LumaflowSession
from qn.arm.res.errors import ConfigError
from qn.arm.switch_traffic import (
    adapter,
    audit,
    controller,
    estimate,
    hub_locks,
    leftovers,
    progress,
    report,
    rights,
    saved_plan,
    skipping,
    views,
    vnet_run,
)
from qn.arm.switch_traffic.claim import ClaimError, held, this_run, warn_if_held
from qn.arm.switch_traffic.config import DriverConfig, VnetConfig, load_config
from qn.arm.switch_traffic.counting import VnetCounts, counted_kinds, run_document
from qn.arm.switch_traffic.options import EXIT_ERRORS, EXIT_OK, EXIT_USAGE, JSON, RunOptions
from qn.arm.switch_traffic.options import state_path as default_state_path
from qn.arm.switch_traffic.plan import (
    Plan,
    PlanError,
    Planning,
    build,
    in_run_order,
    spread_over_hubs,
)
from qn.arm.switch_traffic.records import now
from qn.arm.switch_traffic.resources import Clients
from qn.arm.switch_traffic.state import DROPPED, StateError, StateFile
from qn.arm.switch_traffic.steps.base import HubTurns
from qn.arm.switch_traffic.steps.order import ORDER
from qn.arm.switch_traffic.vnet_run import Shared, VnetRunner
from qn.arm.switch_traffic.workers import Workers


def state_path(config: DriverConfig, given: str | None = None) -> str:
    return default_state_path(config.output_dir, given)


def selected_vnets(config: DriverConfig, names: list[str] | None) -> list[VnetConfig]:
    if not names:
        return list(config.vnets)
    unknown = [n for n in names if n not in {v.name for v in config.vnets}]
    if unknown:
        raise ConfigError(f"{config.path}: vnets: no VNet named {', '.join(unknown)}")
    return [config.vnet(n) for n in names]


def check_revert(state: StateFile, vnets: list[VnetConfig], plan: Plan) -> None:
    """Refuses a revert without records, once its plan found no VNet that Azure shows
    migrated (that one is left out, and said to be)."""
    if plan.revert and not plan.left_out():
        if not state.exists:
            raise StateError(
                f"{state.path}: no state file, so nothing to revert; name the forward run's "
                "state file with --state"
            )
        if not any(state.has_records(v.key) for v in vnets):
            names = ", ".join(v.name for v in vnets)
            raise StateError(f"{state.path}: holds no records for {names}; nothing to revert")


def check_state(state: StateFile, vnets: list[VnetConfig], options: RunOptions) -> None:
    """Refuses a forward run the state file cannot serve, before anything is read from Azure."""
    if options.revert or options.force:
        return
    # A VNet whose forward run is done is skipped (skipping.py); one whose revert has begun
    # must have its revert finished first: a forward run would replace the records it reads.
    reverting = [v.name for v in vnets if state.forward_status(v.key) == "reverting"]
    if reverting:
        finish = shlex.join(["--revert", "--vnet", *reverting])
        raise StateError(
            f"{state.path}: the revert of {', '.join(reverting)} has begun and is not finished; "
            f"finish it first ({finish}), then a forward run can start afresh"
        )


class Migration:
    """One run over the chosen VNets, in one direction."""

    def __init__(
        self,
        options: RunOptions,
        config: DriverConfig,
        state: StateFile,
        vnets: list[VnetConfig],
        tally: report.Tally,
        session: LumaflowSession | None = None,
    ) -> None:
        self.options = options
        self.vnets = vnets
        self.workers = Workers(min(options.parallel, len(vnets)))
        self.shared = Shared(
            options,
            config,
            state,
            Clients(),
            HubTurns(),
            tally,
            progress.Progress(),
            self.workers.check_stopped,
            session,
        )

    def plan(self) -> Plan:
        """What the run will change, read from Azure and the state file only."""
        planning = Planning(
            self.shared.config,
            self.shared.state,
            functools.partial(vnet_run.open_vnet, self.shared),
            self.workers.run,
            self.options.waits,
        )
        plan = build(planning, self.vnets, self.options.revert)
        self.check_rights(plan)
        return plan

    def check_rights(self, plan: Plan) -> None:
        """Refuses the run before its first change when Azure says the caller lacks a right
        that one of its changes needs."""
        permissions = rights.Permissions(self.shared.clients)
        warn = report.driver_log().warning
        lacking = rights.missing(permissions, plan.needs(), self.workers.run, warn)
        if lacking:
            named = functools.partial(rights.credential_named, self.shared.config.raw)
            raise PlanError(rights.refusal(lacking, named))

    def execute(self, plan: Plan, shown: progress.Progress) -> dict[str, VnetCounts]:
        """Runs every VNet of the plan; returns the per-VNet counts for the summary."""
        adapter.changes_for_real()
        ordered = in_run_order(self.shared.state, self.vnets, self.options.revert)
        if self.workers.count > 1:  # one after the other, the hubs' turns do not matter
            ordered = spread_over_hubs(ordered, plan.hubs())
        self.shared.progress = shown
        tally = self.shared.tally
        began = now()
        earlier = {v.name: tally.errors_of(v.name) for v in ordered}  # a tally reused
        tagged = self.workers.count > 1
        runners = {v.name: VnetRunner(self.shared, v) for v in ordered}
        self.workers.run(
            [functools.partial(self.vnet_task, runners[v.name], tagged) for v in ordered]
        )
        if self.options.revert:  # once every VNet's peerings are back where they can be
            for vnet in ordered:
                runner = runners[vnet.name]
                with report.working_on(vnet.name, tagged), runner.step_errors(hub_locks.STEP):
                    hub_locks.put_back(self.shared.state, self.shared.clients, self.vnets, vnet)
        for vnet in ordered:
            counts = runners[vnet.name].counts
            counts.errors = tally.errors_of(vnet.name) - earlier[vnet.name]
            counts.pending = self.pending_count(vnet)
            if self.options.revert:
                state = self.shared.state
                leftovers.keep_attempt(state, vnet.key, began, counts.completed, counts.errors)
        return {name: runner.counts for name, runner in runners.items()}

    def vnet_task(self, runner: VnetRunner, tagged: bool) -> None:
        name, shown = runner.name, self.shared.progress
        with report.working_on(name, tagged):
            errors_before = self.shared.tally.errors_of(name)
            try:
                self.workers.check_stopped()
                shown.started(name, len(ORDER))
                counts = runner.run()
            except BaseException:
                shown.finished(name, False)
                raise
            errors = self.shared.tally.errors_of(name) - errors_before
            shown.finished(name, counts.completed and not errors)

    def pending_count(self, vnet: VnetConfig) -> int:
        kept = self.shared.state.directions(vnet.key).of(self.options.direction)
        return sum(not item.done for entry in kept.values() for item in entry.items.values())


def claimed(
    options: RunOptions, config: DriverConfig, state: StateFile, vnets: list[VnetConfig]
) -> contextlib.AbstractContextManager[None]:
    """A real run holds its VNets in Azure from its plan to its end; a dry run only warns of
    another run's claim."""
    log = report.driver_log()
    if options.dry_run:
        warn_if_held(vnets, config.path, log)
        return contextlib.nullcontext()
    held_by = this_run(options.run_id or str(uuid.uuid4()), state.path)
    return held(held_by, vnets, config.path, log)


def left_out(plan: Plan) -> dict[str, VnetCounts]:
    """The counts of a real run before it starts: none completed; those it leaves out said so
    in the log too, as errors of theirs."""
    counts = {}
    for vnet in plan.vnets:
        why = vnet.why_left_out()
        if why:
            with report.working_on(vnet.name):
                report.driver_log().error(f"  **Error** [{vnet.name}] left out: {why}")
        counts[vnet.name] = VnetCounts(errors=int(bool(why)), left_out=why)
    return counts


def apply(
    migration: Migration,
    plan: Plan,
    skipped: list[skipping.Skipped],
    approved: bool,
    tally: report.Tally,
    estimated: estimate.Estimate,
) -> dict[str, VnetCounts]:
    """The real run of an approved plan; the counts of the VNets it chose but skipped are the
    caller's."""
    options, state, log = migration.options, migration.shared.state, report.driver_log()
    # A VNet left out did not complete; the others are counted as they run.
    per_vnet = left_out(plan)
    migration.vnets = [v for v in migration.vnets if v.name not in plan.left_out()]
    if not migration.vnets:
        if skipped and len(skipped) == len(plan.vnets):
            log.info(skipping.nothing_to_do(skipped, options))
        return per_vnet
    views.confirm_drop(plan, state.path + DROPPED)
    if approved:  # by whoever approved the saved plan
        audit.answered("applied as the saved plan approved")
    else:
        audit.asked(views.approve, options.yes)
    leftovers.keep_dropped(state, plan.dropping())
    for vnet in skipped:
        log.info(f"[{vnet.vnet.name}] {vnet.reason}")
    names = [v.name for v in migration.vnets]
    # The live view is for an operator at a terminal; a JSON result is for scripts.
    quiet = False if tally.output == JSON else None
    with progress.live(sys.stderr, names, enabled=quiet, expected=estimated) as shown:
        per_vnet.update(migration.execute(plan, shown))
    return per_vnet


def execute(options: RunOptions, tally: report.Tally) -> int:
    """One forward or revert run; returns the exit status."""
    try:
        if options.parallel < 1:
            raise ConfigError(f"parallel {options.parallel}: runs at least 1 VNet at a time")
        config = load_config(options.config)
        vnets = selected_vnets(config, options.vnet)
        session = controller.run_session(config, options.controller_retries)
        tool = adapter.point_tool_at(config, options, session)
        state = StateFile(state_path(config, options.state), read_only=options.dry_run)
        approved = saved_plan.approved_plan(options, vnets, state)
        with tool, state.hold(), contextlib.ExitStack() as claims:
            check_state(state, vnets, options)
            to_run, skipped = skipping.split(state, vnets, options)
            claims.enter_context(claimed(options, config, state, to_run))
            migration = Migration(options, config, state, to_run, tally, session)
            plan = migration.plan() if to_run else Plan(options.revert, [])
            check_revert(state, vnets, plan)
            plan.vnets[:0] = [s.plan() for s in skipped]
            # The dry run's result is its plan (unless the result is JSON); a real run's plan
            # is read before the question, beside the log.
            to_stdout = options.dry_run and tally.output != JSON
            estimated = estimate.of_run(plan, options, len(to_run))
            views.show_plan(plan, sys.stdout if to_stdout else sys.stderr, estimated)
            audit.plan_shown(functools.partial(views.show_plan, plan, estimated=estimated))
            kept = saved_plan.settle(options, plan, vnets, state, approved)
            if options.dry_run:
                per_vnet = plan.per_vnet()
            else:  # a saved plan was approved by whoever approved the file
                per_vnet = apply(migration, plan, skipped, approved is not None, tally, estimated)
            per_vnet.update({s.vnet.name: s.counts() for s in skipped})
    except (ConfigError, StateError, PlanError, ClaimError) as error:
        report.usage_error(str(error))
        return EXIT_USAGE
    status = EXIT_ERRORS if any(c.failed() for c in per_vnet.values()) else EXIT_OK
    keys = {v.name: v.key for v in vnets}
    planned_document = kept.document() if options.dry_run else None
    document = run_document(
        options, state, keys, per_vnet, status, counted_kinds(config), planned_document
    )
    if options.dry_run:
        document["estimate"] = estimated.document()
    tally.result(document)
    return status
