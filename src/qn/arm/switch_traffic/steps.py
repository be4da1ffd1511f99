"""The steps of one VNet's migration, forward and back.

Forward, in this order, each step's records kept before the next starts:

1. discover-route-tables  find the staged route tables and pair them with the old ones
2. switch-subnets         move every subnet onto its staged table (Terraform written)
3. propagation-off        stop BGP route propagation on the staged tables
4. remote-gateway-off     stop the VNet's peerings from using the hub's gateway
5. delete-peerings        record and delete the peerings to the hub (lock removed first)
6. security-domain        attach the spoke gateway to its security domain

Traffic moves in step 2, onto tables that already carry the controller's routes; only then
are the old paths through the hub's gateway taken away (3 to 5), so no subnet is ever left
without a route. The revert run walks the same steps backwards, each from its records:
detach, re-create the peerings with their recorded settings, let them use the remote gateway
again, switch propagation back on, and move the subnets back to their old tables.

Steps 3 to 5 return their records only when they end, and a peering's settings are gone once
it is deleted. So these steps are first run as a plan (the library in dry-run mode: reads only,
the same records), the plan is kept, and only then do they change anything. Reverting with
the plan is safe whether or not the interrupted change reached a given item: a table or peering
it lists is put back to the state it had before the step.
"""

import contextlib
import logging
from collections.abc import Callable, Iterator
from contextvars import ContextVar
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

LIBRARY_LOGGER = "qn.arm.switchlib"

DISCOVER = "discover-route-tables"
SWITCH = "switch-subnets"
PROPAGATION = "propagation-off"
REMOTE_GATEWAY = "remote-gateway-off"
PEERINGS = "delete-peerings"
DOMAIN = "security-domain"

FORWARD_STEPS = (DISCOVER, SWITCH, PROPAGATION, REMOTE_GATEWAY, PEERINGS, DOMAIN)
REVERT_STEPS = tuple(reversed(FORWARD_STEPS))
PLANNED_STEPS = (PROPAGATION, REMOTE_GATEWAY, PEERINGS)


@dataclass
class VnetRun:
    """What one VNet's steps work with."""

    config: Any  # DriverConfig
    vnet_config: Any  # VnetConfig
    library: Any  # SwitchTraffic
    network_client: Any
    vnet: Any  # the VNet model object
    log: logging.Logger  # the driver's logger

    @property
    def subscription(self) -> str:
        return self.vnet_config.subscription


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


# -- forward: each step is (run, library, records of the earlier steps) -> its records ------


def forward_discover(run: VnetRun, library: Any, earlier: dict[str, Any]) -> dict[str, Any]:
    pairs: dict[str, str] = {}
    staged, _ = library.discoverRouteTable(run.network_client, False, run.vnet, pairs)
    return {"stagedUdrLst": staged, "rtb_target_rtb_map": pairs}


def forward_switch(run: VnetRun, library: Any, earlier: dict[str, Any]) -> dict[str, Any]:
    # The forward pairing needs no fresh listing: discovery's records are kept for this step.
    pairs = dict(earlier[DISCOVER]["rtb_target_rtb_map"])
    library.updateSubnetAssociation(
        run.vnet_config.library_yaml(), False, run.network_client, run.vnet, pairs, {}
    )
    return {}


def forward_propagation(run: VnetRun, library: Any, earlier: dict[str, Any]) -> dict[str, Any]:
    discovered = earlier[DISCOVER]
    changes = library.setDisableAllRouteTablePropagationInVnet(
        SimpleNamespace(revert=False),
        run.network_client,
        run.vnet,
        discovered["stagedUdrLst"],
        dict(discovered["rtb_target_rtb_map"]),
        True,
    )
    return {"rtbPropList": changes}


def forward_remote_gateway(run: VnetRun, library: Any, earlier: dict[str, Any]) -> dict[str, Any]:
    changes = library.disableUseRemoteGwInPeering(
        run.subscription, run.network_client, run.vnet, run.config.peering_prefix
    )
    return {"peeringPropList": changes}


def forward_peerings(run: VnetRun, library: Any, earlier: dict[str, Any]) -> dict[str, Any]:
    pairs = library.deletePeerings(
        run.config.peering_yaml(),
        run.subscription,
        run.vnet,
        run.network_client,
        run.config.peering_prefix,
    )
    return {"peeringPairList": pairs}


def forward_domain(run: VnetRun, library: Any, earlier: dict[str, Any]) -> dict[str, Any]:
    if not run.config.configure_gw_name:
        run.log.info("  security domain not enabled -- skipped")
    library.attach_spoke_domain(True)
    return {"attached": run.config.configure_gw_name}


FORWARD: dict[str, Callable[[VnetRun, Any, dict[str, Any]], dict[str, Any]]] = {
    DISCOVER: forward_discover,
    SWITCH: forward_switch,
    PROPAGATION: forward_propagation,
    REMOTE_GATEWAY: forward_remote_gateway,
    PEERINGS: forward_peerings,
    DOMAIN: forward_domain,
}

# -- revert: each step is (run, the forward step's records or plan) ---------------------------


def revert_discover(run: VnetRun, records: dict[str, Any]) -> None:
    """Discovery changed nothing."""


def revert_switch(run: VnetRun, records: dict[str, Any]) -> None:
    # A fresh revert-direction discovery finds every subnet that sits on a staged table, so
    # even a switch that was interrupted half-way is undone whole; the pairing is narrowed to
    # the old tables of the subnets the records name.
    pairs: dict[str, str] = {}
    _, original = run.library.discoverRouteTable(run.network_client, True, run.vnet, pairs)
    wanted = {(item["from"] or "").lower() for item in records["subnets"].values()}
    pairs = {new: old for new, old in pairs.items() if old.lower() in wanted}
    run.library.updateSubnetAssociation(
        run.vnet_config.library_yaml(), True, run.network_client, run.vnet, pairs, original
    )


def revert_propagation(run: VnetRun, records: dict[str, Any]) -> None:
    run.library.restoreRouteTablePropagationInVnet(run.network_client, records["rtbPropList"])


def revert_remote_gateway(run: VnetRun, records: dict[str, Any]) -> None:
    run.library.restoreUseRemoteGwInPeering(run.network_client, records["peeringPropList"])


def revert_peerings(run: VnetRun, records: dict[str, Any]) -> None:
    run.library.addPeerings(records["peeringPairList"])


def revert_domain(run: VnetRun, records: dict[str, Any]) -> None:
    run.library.attach_spoke_domain(False)


REVERT: dict[str, Callable[[VnetRun, dict[str, Any]], None]] = {
    DISCOVER: revert_discover,
    SWITCH: revert_switch,
    PROPAGATION: revert_propagation,
    REMOTE_GATEWAY: revert_remote_gateway,
    PEERINGS: revert_peerings,
    DOMAIN: revert_domain,
}
