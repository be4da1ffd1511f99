"""The operation as a whole: load the configuration, plan, approve, apply, report.

One run goes in one direction over the chosen VNets, up to `--parallel` at once, each VNet's
run in a worker of its own; a stopped VNet does not stop the others.
"""

import functools
import shlex
import sys

from qn.arm.lumaflow import LumaflowSession
from qn.arm.res.errors import ConfigError
from qn.arm.switch_traffic import (
    adapter,
    controller,
    estimate,
    hub_locks,
    progress,
    report,
    views,
    vnet_run,
)
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
from qn.arm.switch_traffic.resources import Clients
from qn.arm.switch_traffic.state import StateError, StateFile
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


def check_state(state: StateFile, vnets: list[VnetConfig], options: RunOptions) -> None:
    """Refuses a run the state file cannot serve, before anything is read from Azure."""
    if options.revert:
        if not state.exists:
            raise StateError(
                f"{state.path}: no state file, so nothing to revert; name the forward run's "
                "state file with --state"
            )
        if not any(state.has_records(v.key) for v in vnets):
            names = ", ".join(v.name for v in vnets)
            raise StateError(f"{state.path}: holds no records for {names}; nothing to revert")
        return
    if options.force:
        return
    status = {v.name: state.forward_status(v.key) for v in vnets}
    held = [v.key for v in vnets if status[v.name] in ("done", "reverting")]
    if held:
        # A run over several VNets that stopped in one is gone on with for that one alone.
        unfinished = [name for name, s in status.items() if s == "unfinished"]
        go_on = f"; to go on with the others: {shlex.join(['--vnet', *unfinished])}"
        raise StateError(
            f"{state.path} still holds records of an earlier forward run for "
            f"{', '.join(held)} that are not reverted; run --revert first, or pass --force "
            f"to start over (those records are then lost){go_on if unfinished else ''}"
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
        )
        return build(planning, self.vnets, self.options.revert)

    def execute(self, plan: Plan, shown: progress.Progress) -> dict[str, VnetCounts]:
        """Runs every VNet of the plan; returns the per-VNet counts for the summary."""
        adapter.changes_for_real()
        ordered = in_run_order(self.shared.state, self.vnets, self.options.revert)
        if self.workers.count > 1:  # one after the other, the hubs' turns do not matter
            ordered = spread_over_hubs(ordered, plan.hubs())
        self.shared.progress = shown
        tally = self.shared.tally
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
        with tool, state.hold():
            check_state(state, vnets, options)
            migration = Migration(options, config, state, vnets, tally, session)
            plan = migration.plan()
            # The dry run's result is its plan (unless the result is JSON); a real run's plan
            # is read before the question, beside the log.
            to_stdout = options.dry_run and tally.output != JSON
            estimated = estimate.of_run(plan, options, len(vnets))
            views.show_plan(plan, sys.stdout if to_stdout else sys.stderr, estimated)
            if options.dry_run:
                per_vnet = plan.per_vnet()
            else:
                views.approve(options.yes)
                names = [v.name for v in vnets]
                # The live view is for an operator at a terminal; a JSON result is for scripts.
                quiet = False if tally.output == JSON else None
                with progress.live(sys.stderr, names, enabled=quiet, expected=estimated) as shown:
                    per_vnet = migration.execute(plan, shown)
    except (ConfigError, StateError, PlanError) as error:
        report.usage_error(str(error))
        return EXIT_USAGE
    status = EXIT_ERRORS if any(c.failed() for c in per_vnet.values()) else EXIT_OK
    keys = {v.name: v.key for v in vnets}
    document = run_document(options, state, keys, per_vnet, status, counted_kinds(config))
    if options.dry_run:
        document["estimate"] = estimated.document()
    tally.result(document)
    return status
