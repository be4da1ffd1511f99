"""The embedded default: the forward and the revert run over a bundled sample topology, served
by the loopback emulator as strict and as slow as Azure (its typical durations, scaled down so
that the demo takes seconds), with the Terraform written and the whole topology, the hub's lock
included, compared afterwards."""

import logging
import os
import tempfile
from importlib import resources
from typing import TYPE_CHECKING, Any

import yaml

from qn.arm.switch_traffic import operation, options, report
from qn.arm.switch_traffic.options import EXIT_ERRORS, EXIT_OK, RunOptions

if TYPE_CHECKING:
    from qn.arm.armsim import Emulator

HUB = "00000000-0000-0000-0000-00000000b0b0"
SPOKES = "00000000-0000-0000-0000-00000000a0a0"
TOKEN = "armsim"
# Azure's typical durations shrunk 50 times: the forward and the revert run take seconds.
TIME_SCALE = 0.02
# Said the same wherever the tool is installed from: a checkout's files are not in a wheel.
NEXT = (
    "Next, on your own VNets: switch-traffic --config FILE --dry-run shows the plan and changes "
    "nothing (switch-traffic --help for the options)"
)


def sample_topology() -> dict[str, Any]:
    text = resources.files("qn.arm.switch_traffic").joinpath("demo_topology.yaml").read_text()
    topology: dict[str, Any] = yaml.safe_load(text)
    return topology


def demo_config(arm: "Emulator", work: str) -> str:
    spoke = {
        "subscription": SPOKES,
        "resource_group": "rg-spokes",
        "allow_vnet_cidrs": ["10.0.0.0/8"],
        "migrate_non_associated_subnet": True,
    }
    config = arm.tool_config({SPOKES: "spokes", HUB: "hub"})
    config.update(
        {
            "output_dir": os.path.join(work, "output"),
            "peering": {
                "delete_peering": "gateway",
                "delete_vnet_lock": True,
                "controller_prefix": "lumaflow-",
            },
            "vnets": {
                "vn-app": dict(spoke, subnet_in_subnet_groups=["cache"]),
                "vn-data": dict(spoke),
            },
        }
    )
    path = os.path.join(work, "switch-traffic.yaml")
    with open(path, "w", encoding="utf-8") as handle:
        yaml.safe_dump(config, handle, sort_keys=False)
    return path


def differences(before: dict[str, Any], after: dict[str, Any]) -> list[str]:
    """Resource IDs whose state differs."""
    return sorted(k for k in before.keys() | after.keys() if before.get(k) != after.get(k))


def show_terraform(log: logging.Logger, output_dir: str) -> None:
    path = os.path.join(output_dir, "subnet-route-table-associations.tf")
    log.info(f"Terraform written to {path}:")
    with open(path, encoding="utf-8") as handle:
        for line in handle.read().splitlines():
            log.info(f"    {line}")


def run(tally: report.Tally) -> int:
    # Imported here, not at the top: a run on real VNets never loads the emulator (its server,
    # its certificate authority), only the demo does.
    from qn.arm.armsim import Emulator

    log = report.driver_log()
    with (
        tempfile.TemporaryDirectory(prefix="switch-traffic-demo-") as work,
        Emulator(sample_topology(), token=TOKEN, time_scale=TIME_SCALE) as arm,
        options.scaled(TIME_SCALE),
    ):
        config = demo_config(arm, work)
        log.info(f"Demo: emulator at {arm.endpoint}, configuration {config} (removed at the end)")
        before = arm.snapshot()

        log.info("=== Forward run ===")
        forward = operation.execute(RunOptions(config, yes=True), tally)
        show_terraform(log, os.path.join(work, "output"))

        log.info("=== Revert run ===")
        revert = operation.execute(RunOptions(config, revert=True, yes=True), tally)

        changed = differences(before, arm.snapshot())
        if changed:
            log.error("  **Error** the topology differs from before the forward run in:")
            for resource_id in changed:
                log.error(f"    {resource_id}")
        else:
            log.info(
                "The topology is back as it was before the forward run, the hub's lock included."
            )
    ok = forward == revert == EXIT_OK and not changed
    if ok:
        log.info(NEXT)
    return EXIT_OK if ok else EXIT_ERRORS
