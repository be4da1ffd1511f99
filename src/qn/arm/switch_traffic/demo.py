"""The embedded default: the forward and the revert run over a bundled sample topology, served
by the loopback emulator as strict and as slow as Azure (its typical durations, scaled down so
that the demo takes seconds), with the controller's emulator beside it: the spokes are attached
to their transit and join a security domain on the way forward, and leave both on the way back.
What the controller and Azure show after the forward run is printed, and after the revert both
are compared with how they were, the hub's lock included."""

import contextlib
import logging
import os
import shlex
import tempfile
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from importlib import resources
from typing import TYPE_CHECKING, Any

import yaml

from qn.arm.lumaflow import GatewayInfo, LumaflowError, LumaflowSession
from qn.arm.switch_traffic import operation, options, report
from qn.arm.switch_traffic.options import EXIT_ERRORS, EXIT_OK, RunOptions

if TYPE_CHECKING:
    from qn.arm.armsim import Emulator
    from qn.arm.ctrlsim import Emulator as ControllerEmulator

HUB = "00000000-0000-0000-0000-00000000b0b0"
SPOKES = "00000000-0000-0000-0000-00000000a0a0"
TOKEN = "armsim"
# The principal demo_topology.yaml grants the controller: its own, not the tool's.
CONTROLLER_TOKEN = "lumaflow-controller"
CONTROLLER_USER = "admin"
PASSWORD_ENV = "DEMO_CONTROLLER_PASSWORD"
TRANSIT = "azu-usw-transit-gw"
DOMAIN = "prod"
# The spoke gateway of each VNet, as demo_controller.yaml names them.
SPOKE_GATEWAYS = {"vn-app": "vn-app-spokes-gw", "vn-data": "vn-data-spokes-gw"}
# Azure's typical durations shrunk 50 times: the forward and the revert run take seconds.
TIME_SCALE = 0.02
# Said the same wherever the tool is installed from: a checkout's files are not in a wheel.
NEXT = (
    "Next: switch-traffic --demo --keep leaves the sample served for you to run the tool on; on "
    "your own VNets, switch-traffic --config FILE --dry-run shows the plan and changes nothing "
    "(switch-traffic --help for the options)"
)


def _bundled(name: str) -> dict[str, Any]:
    text = resources.files("qn.arm.switch_traffic").joinpath(name).read_text()
    data: dict[str, Any] = yaml.safe_load(text)
    return data


def sample_topology() -> dict[str, Any]:
    return _bundled("demo_topology.yaml")


def controller_topology() -> dict[str, Any]:
    return _bundled("demo_controller.yaml")


def controller_password() -> str:
    password: str = controller_topology()["users"][CONTROLLER_USER]
    return password


def controller_for(arm: "Emulator", **settings: Any) -> "ControllerEmulator":
    """The sample's controller acting on `arm` (which serves the sample), not yet started: use
    it as a `with` block. `settings` are the controller emulator's (profile, time_scale...)."""
    # Imported here for the reason the Azure emulator is: a real run never loads it.
    from qn.arm.ctrlsim import Emulator as ControllerEmulator

    return ControllerEmulator(
        controller_topology(), azure=arm, azure_token=CONTROLLER_TOKEN, **settings
    )


@contextlib.contextmanager
def password_set() -> Iterator[None]:
    """The controller's password in PASSWORD_ENV for the block, as an operator would export it;
    whatever the variable held before is put back."""
    earlier = os.environ.get(PASSWORD_ENV)
    os.environ[PASSWORD_ENV] = controller_password()
    try:
        yield
    finally:
        if earlier is None:
            os.environ.pop(PASSWORD_ENV, None)
        else:
            os.environ[PASSWORD_ENV] = earlier


def session_for(ctrl: "ControllerEmulator") -> LumaflowSession:
    """A session of the demo's own, to see what the controller shows (the run has its own)."""
    return LumaflowSession(
        ctrl.endpoint, username=CONTROLLER_USER, password_env=PASSWORD_ENV, ca_bundle=ctrl.ca_file
    )


def controller_config(ctrl: "ControllerEmulator") -> dict[str, Any]:
    """The configuration's controller, transit and security-domain sections for `ctrl`."""
    return {
        "controller": {
            "api_endpoint_url": ctrl.endpoint,
            "username": CONTROLLER_USER,
            "password_env": PASSWORD_ENV,
            "ca_bundle": ctrl.ca_file,
        },
        "transit": {"enabled": True, "gateway": TRANSIT},
        "security_domain": {"enabled": True, "domain": DOMAIN},
    }


def demo_config(arm: "Emulator", work: str, ctrl: "ControllerEmulator | None" = None) -> str:
    """The sample's configuration, written in `work`; with `ctrl`, the run also attaches each
    spoke gateway to the transit and the security domain there."""
    spoke = {
        "subscription": SPOKES,
        "resource_group": "rg-spokes",
        "allow_vnet_cidrs": ["10.0.0.0/8"],
        "migrate_non_associated_subnet": True,
    }
    vnets = {"vn-app": dict(spoke, subnet_in_subnet_groups=["cache"]), "vn-data": dict(spoke)}
    config = arm.tool_config({SPOKES: "spokes", HUB: "hub"})
    config.update(
        {
            "output_dir": os.path.join(work, "output"),
            "peering": {
                "delete_peering": "gateway",
                "delete_vnet_lock": True,
                "controller_prefix": "lumaflow-",
            },
        }
    )
    if ctrl is not None:
        config.update(controller_config(ctrl))
        for name, vnet in vnets.items():
            vnet["spoke_gw_name"] = SPOKE_GATEWAYS[name]
    config["vnets"] = vnets
    path = os.path.join(work, "switch-traffic.yaml")
    with open(path, "w", encoding="utf-8") as handle:
        yaml.safe_dump(config, handle, sort_keys=False)
    return path


def differences(before: dict[str, Any], after: dict[str, Any]) -> list[str]:
    """Resource IDs whose state differs."""
    return sorted(k for k in before.keys() | after.keys() if before.get(k) != after.get(k))


def show_terraform(log: logging.Logger, output_dir: str) -> None:
    path = os.path.join(output_dir, "subnet-route-table-associations.tf")
    if not os.path.exists(path):
        log.error(f"  **Error** the forward run wrote no Terraform file ({path})")
        return
    log.info(f"Terraform written to {path}:")
    with open(path, encoding="utf-8") as handle:
        for line in handle.read().splitlines():
            log.info(f"    {line}")


# -- what the controller and Azure show ----------------------------------------------------------


@dataclass(frozen=True)
class ControllerView:
    """The controller's gateways (each spoke with its transit, managed tables and domain) and
    the members of the demo's security domain, as its API lists them."""

    gateways: tuple[GatewayInfo, ...]
    domain_members: tuple[str, ...]

    @property
    def spokes(self) -> tuple[GatewayInfo, ...]:
        return tuple(g for g in self.gateways if g.kind == "spoke")

    def gateway(self, name: str) -> GatewayInfo | None:
        return next((g for g in self.gateways if g.name == name), None)


def read_controller(session: LumaflowSession) -> ControllerView:
    return ControllerView(tuple(session.list_gateways()), tuple(session.domain_attachments(DOMAIN)))


def _subscription(gateway: GatewayInfo) -> str:
    return gateway.vpc_id.split(":")[2]


def vnet_id(gateway: GatewayInfo) -> str:
    return (
        f"/subscriptions/{_subscription(gateway)}/resourceGroups/{gateway.resource_group}"
        f"/providers/Microsoft.Network/virtualNetworks/{gateway.vnet_name}"
    )


def route_table_id(spoke: GatewayInfo, entry: str) -> str:
    """The ID of a managed table, "<name>:<resource group>" as the controller lists it."""
    name, _, group = entry.partition(":")
    return (
        f"/subscriptions/{_subscription(spoke)}/resourceGroups/{group or spoke.resource_group}"
        f"/providers/Microsoft.Network/routeTables/{name}"
    )


def spoke_state(spoke: GatewayInfo) -> str:
    if not spoke.transit:
        return "not attached to a transit gateway"
    tables = ", ".join(entry.partition(":")[0] for entry in spoke.route_tables) or "none"
    return (
        f"attached to {spoke.transit}, managing {tables}; "
        f"security domain {spoke.security_domain or 'none'}"
    )


def peering_lines(snapshot: dict[str, Any], spoke: GatewayInfo, transit: GatewayInfo) -> list[str]:
    """The spoke VNet's peerings to the transit's VNet, as Azure shows them."""
    prefix, remote = vnet_id(spoke) + "/virtualNetworkPeerings/", vnet_id(transit).lower()
    peerings = [
        resource
        for key, resource in snapshot.items()
        if key.startswith(prefix)
        and resource["properties"]["remoteVirtualNetwork"]["id"].lower() == remote
    ]
    if not peerings:
        return [f"Azure: {spoke.vnet_name} has no peering to {transit.vnet_name}"]
    return [
        f"Azure: {spoke.vnet_name} peered with {transit.vnet_name} by {p['name']}: "
        f"{p['properties']['peeringState']}"
        for p in peerings
    ]


def route_lines(snapshot: dict[str, Any], spoke: GatewayInfo) -> list[str]:
    """Each managed table's routes, as Azure shows them."""
    lines = []
    for entry in spoke.route_tables:
        table = snapshot.get(route_table_id(spoke, entry))
        name = entry.partition(":")[0]
        if table is None:
            lines.append(f"Azure: route table {name} not found")
            continue
        routes = table["properties"].get("routes") or []
        shown = ", ".join(
            f"{r['properties']['addressPrefix']} -> {r['properties'].get('nextHopIpAddress')}"
            for r in routes
        )
        lines.append(f"Azure: {name} routes {shown or 'none'}")
    return lines


def show_moved(log: logging.Logger, view: ControllerView, snapshot: dict[str, Any]) -> None:
    """What the forward run left at the controller and in Azure."""
    log.info("=== The controller and Azure after the forward run ===")
    for spoke in view.spokes:
        log.info(f"Controller: {spoke.name} {spoke_state(spoke)}")
        transit = view.gateway(spoke.transit)
        if transit is not None:
            for line in peering_lines(snapshot, spoke, transit) + route_lines(snapshot, spoke):
                log.info(f"  {line}")
    members = ", ".join(view.domain_members) or "no attachment"
    log.info(f"Controller: security domain {DOMAIN} holds {members}")


def controller_changes(before: ControllerView, after: ControllerView) -> list[str]:
    """What differs at the controller, in words."""
    changes = [
        f"{spoke.name}: now {spoke_state(spoke)}"
        for spoke in after.spokes
        if before.gateway(spoke.name) != spoke
    ]
    if before.domain_members != after.domain_members:
        changes.append(
            f"security domain {DOMAIN}: {list(after.domain_members)}, "
            f"was {list(before.domain_members)}"
        )
    return changes


def azure_back(log: logging.Logger, before: dict[str, Any], after: dict[str, Any]) -> bool:
    return back_as_before(
        log,
        differences(before, after),
        "the topology differs from before the forward run in:",
        "The topology is back as it was before the forward run, the hub's lock included.",
    )


def controller_back(log: logging.Logger, before: ControllerView, after: ControllerView) -> bool:
    return back_as_before(
        log,
        controller_changes(before, after),
        "the controller differs from before the forward run:",
        "The controller is back as it was before the forward run: its spokes' attachments and "
        f"security domain {DOMAIN}.",
    )


def back_as_before(log: logging.Logger, changes: list[str], differs: str, back: str) -> bool:
    """Says what differs from before the forward run, or that nothing does."""
    if changes:
        log.error(f"  **Error** {differs}")
        for change in changes:
            log.error(f"    {change}")
        return False
    log.info(back)
    return True


# -- the run -----------------------------------------------------------------------------------


def run(tally: report.Tally, keep: bool = False) -> int:
    """The demo; with `keep`, the emulators go on serving afterwards, with the configuration
    kept for the operator to run the tool on, until Ctrl-C or SIGTERM."""
    # Imported here, not at the top: a run on real VNets never loads the emulator (its server,
    # its certificate authority), only the demo does.
    from qn.arm.armsim import Emulator

    log = report.driver_log()
    with (
        work_directory(keep) as work,
        Emulator(sample_topology(), token=TOKEN, time_scale=TIME_SCALE) as arm,
        controller_for(arm, time_scale=TIME_SCALE) as ctrl,
        password_set(),
        options.scaled(TIME_SCALE),
    ):
        config = demo_config(arm, work, ctrl)
        kept = "kept" if keep else "removed at the end"
        log.info(
            f"Demo: emulator at {arm.endpoint}, controller at {ctrl.endpoint}, configuration "
            f"{config} ({kept})"
        )
        try:
            ok = forward_and_back(log, tally, arm, session_for(ctrl), config)
        except LumaflowError as error:
            log.error(f"  **Error** the demo could not read the controller: {error}")
            ok = False
        if ok and keep:
            serve_for_operator(log, config)
    if ok and not keep:
        log.info(NEXT)
    return EXIT_OK if ok else EXIT_ERRORS


@contextlib.contextmanager
def work_directory(keep: bool) -> Iterator[str]:
    """Where the demo writes its configuration and output: removed at the end, unless kept."""
    if keep:
        yield tempfile.mkdtemp(prefix="switch-traffic-demo-")
        return
    with tempfile.TemporaryDirectory(prefix="switch-traffic-demo-") as work:
        yield work


def serve_for_operator(log: logging.Logger, config: str) -> None:
    """Tells the operator how to run the tool on the sample, and serves until told to stop."""
    log.info("=== The emulators go on serving the sample (Ctrl-C stops them) ===")
    log.info(f"Configuration: {config}")
    log.info("In another terminal:")
    log.info(f"  export {PASSWORD_ENV}={shlex.quote(controller_password())}")
    for words in (["--dry-run"], [], ["--revert"]):
        log.info(f"  {shlex.join(['switch-traffic', '--config', config, *words])}")
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        log.info(f"Demo stopped; its configuration and output stay in {os.path.dirname(config)}")


def forward_and_back(
    log: logging.Logger,
    tally: report.Tally,
    arm: "Emulator",
    session: LumaflowSession,
    config: str,
) -> bool:
    before, controller_before = arm.snapshot(), read_controller(session)

    log.info("=== Forward run ===")
    forward = operation.execute(RunOptions(config, yes=True), tally)
    show_terraform(log, os.path.join(os.path.dirname(config), "output"))
    show_moved(log, read_controller(session), arm.snapshot())

    log.info("=== Revert run ===")
    revert = operation.execute(RunOptions(config, revert=True, yes=True), tally)
    azure_ok = azure_back(log, before, arm.snapshot())
    controller_ok = controller_back(log, controller_before, read_controller(session))
    return forward == revert == EXIT_OK and azure_ok and controller_ok
