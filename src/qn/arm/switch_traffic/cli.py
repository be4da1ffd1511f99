"""switch-traffic: moves the traffic of the configured VNets onto the controller-managed
design, or back with --revert, keeping every step's records in a state file."""

import argparse
import os
import sys
from dataclasses import dataclass

from qn.arm.res.Globals import Globals
from qn.arm.res.YamlContext import CONFIG_ENV, ConfigurationError, YamlContext
from qn.arm.switch_traffic import report, steps
from qn.arm.switch_traffic.config import ConfigError, load_config
from qn.arm.switch_traffic.state import StateError, StateFile
from qn.arm.terraform import Terraform

STATE_FILE = "switch-traffic-state.json"
EXIT_OK, EXIT_ERRORS, EXIT_USAGE = 0, 1, 2


@dataclass
class Run:
    """One run of the driver, as the command line or the demo asks for it."""

    config: str
    revert: bool = False
    dry_run: bool = False
    state: str = None
    vnet: list = None
    force: bool = False


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="switch-traffic", description=__doc__)
    parser.add_argument("--config", help="the tool's configuration file (YAML)")
    parser.add_argument("--revert", action="store_true", help="move the traffic back")
    parser.add_argument(
        "--dry-run", action="store_true", help="read and log only; change nothing, keep no state"
    )
    parser.add_argument("--state", help=f"state file (default: <output_dir>/{STATE_FILE})")
    parser.add_argument("--vnet", nargs="+", metavar="NAME", help="only these VNets")
    parser.add_argument(
        "--force",
        action="store_true",
        help="start a forward run over records not yet reverted (they are lost)",
    )
    parser.add_argument("--log-file", help="also write the log to this file")
    parser.add_argument("-v", "--verbose", action="store_true", help="show debug lines")
    parser.add_argument(
        "--demo", action="store_true", help="run forward and revert on the bundled sample topology"
    )
    args = parser.parse_args(argv)
    if not args.demo and not args.config:
        parser.error("--config is required (or --demo)")
    return args


def vnet_key(vnet_config):
    return f"{vnet_config.subscription}/{vnet_config.resource_group}/{vnet_config.name}"


def selected_vnets(config, names):
    if not names:
        return list(config.vnets)
    unknown = [n for n in names if n not in {v.name for v in config.vnets}]
    if unknown:
        raise ConfigError(f"{config.path}: vnets: no VNet named {', '.join(unknown)}")
    return [config.vnet(n) for n in names]


def point_tool_at(config):
    """Makes the tool's collaborators read this configuration; fails on an unusable cloud."""
    from qn.arm.res import cloud

    os.environ[CONFIG_ENV] = os.path.abspath(config.path)
    cloud.configure()  # the file names the cloud
    try:
        cloud.cloud_settings(YamlContext())
    except ConfigurationError as error:
        raise ConfigError(str(error)) from None
    Terraform.outputDir = config.output_dir
    Globals.CID = config.cid
    Globals.api_ep_url = config.api_endpoint_url


def refuse_unreverted(state, vnets, run):
    if run.revert or run.force or run.dry_run:
        return
    wanted = {vnet_key(v) for v in vnets}
    pending = [k for k in state.pending_vnets() if k in wanted]
    if pending:
        raise StateError(
            f"{state.path} still holds records of an earlier forward run for "
            f"{', '.join(pending)} that are not reverted; run --revert first, or pass --force "
            "to start over (those records are then lost)"
        )


def open_vnet(config, vnet_config, switchlib):
    credential = YamlContext().generateAzureCredential(vnet_config.subscription)
    if credential is None:
        raise ConfigError(
            f"{config.path}: subscriptions.{vnet_config.subscription}: "
            "no credential for this subscription"
        )
    client = switchlib.NetworkManagementClient(credential.getCSC(), credential.getSubId())
    vnet = client.virtual_networks.get(vnet_config.resource_group, vnet_config.name)
    Globals.yaml = {
        "configure_gw_name": config.configure_gw_name,
        "domain": vnet_config.domain or config.domain,
        "spoke_gw_name": vnet_config.spoke_gw_name,
    }
    return steps.VnetRun(
        config, vnet_config, switchlib.SwitchTraffic, client, vnet, report.driver_log()
    )


def run_forward(run, key, state):
    state.start_forward(key)
    planner = steps.planning_library(run.library)
    kept = {}
    for number, step in enumerate(steps.FORWARD_STEPS, 1):
        run.log.info(f"[{run.vnet_config.name}] step {number}/{len(steps.FORWARD_STEPS)}: {step}")
        state.start_step(key, step)
        if step in steps.PLANNED_STEPS and not run.library.DryRun:
            with steps.quiet_library():
                state.plan(key, step, steps.FORWARD[step](run, planner, kept))
        kept[step] = steps.FORWARD[step](run, run.library, kept)
        state.record(key, step, kept[step])
    return len(kept[steps.PEERINGS]["peeringPairList"])


def revert_records(entry, step):
    """The records to revert a step with: its own, else its plan when it was interrupted.
    None when a planned step was interrupted before its plan was kept: it changed nothing."""
    if "records" in entry:
        return entry["records"]
    if "planned" in entry or step not in steps.PLANNED_STEPS:
        return entry.get("planned", {})
    return None


def run_revert(run, key, state):
    restored = 0
    for number, step in enumerate(steps.REVERT_STEPS, 1):
        progress = f"[{run.vnet_config.name}] step {number}/{len(steps.REVERT_STEPS)}: {step}"
        entry = state.forward_entry(key, step)
        if entry is None:
            run.log.info(f"{progress} -- not done in the forward run, nothing to revert")
            continue
        if state.is_reverted(key, step):
            run.log.info(f"{progress} -- already reverted")
            continue
        records = revert_records(entry, step)
        if records is None:
            run.log.info(f"{progress} -- interrupted before it changed anything")
        else:
            partly = "" if "records" in entry else " (interrupted in the forward run)"
            run.log.info(progress + partly)
            steps.REVERT[step](run, records)
            if step == steps.PEERINGS:
                restored = len(records["peeringPairList"])
        state.mark_reverted(key, step)
    return restored


def migrate(config, vnets, run, state, tally):
    """Runs every VNet; a failed step ends that VNet's run, not the others'."""
    from qn.arm import switchlib

    if run.dry_run:
        switchlib.SwitchTraffic.setDryRun()
        Globals.setDryRun(True)
    log = report.driver_log()
    per_vnet = {}
    for vnet_config in vnets:
        key = vnet_key(vnet_config)
        before = tally.snapshot()
        log.info(
            f"[{vnet_config.name}] {'revert' if run.revert else 'forward'} run ({key})"
            f"{' -- dry run' if run.dry_run else ''}"
        )
        completed, peerings = False, 0
        try:
            vnet_run = open_vnet(config, vnet_config, switchlib)
            if run.revert:
                peerings = run_revert(vnet_run, key, state)
            else:
                peerings = run_forward(vnet_run, key, state)
            completed = True
        except Exception as error:  # the VNet's later steps must not run after a failed one
            log.error(f"  **Error** [{vnet_config.name}] stopped: {type(error).__name__}: {error}")
        counts = tally.snapshot() - before
        counts["peerings"] = peerings
        counts["completed"] = completed
        per_vnet[vnet_config.name] = counts
    return per_vnet


def execute(run, tally):
    """One forward or revert run; returns the exit status."""
    try:
        config = load_config(run.config)
        vnets = selected_vnets(config, run.vnet)
        point_tool_at(config)
        state = StateFile(
            run.state or os.path.join(config.output_dir, STATE_FILE), read_only=run.dry_run
        )
        refuse_unreverted(state, vnets, run)
    except (ConfigError, StateError) as error:
        print(f"switch-traffic: {error}", file=sys.stderr)
        return EXIT_USAGE
    per_vnet = migrate(config, vnets, run, state, tally)
    for line in report.summary_lines(run.revert, per_vnet):
        report.driver_log().info(line)
    failed = any(c["errors"] or not c["completed"] for c in per_vnet.values())
    return EXIT_ERRORS if failed else EXIT_OK


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    with report.console_logging(args.verbose, args.log_file) as tally:
        if args.demo:
            from qn.arm.switch_traffic import demo

            return demo.run(tally)
        return execute(
            Run(args.config, args.revert, args.dry_run, args.state, args.vnet, args.force),
            tally,
        )
