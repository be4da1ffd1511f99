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
"""

import time
from dataclasses import dataclass
from types import SimpleNamespace

DISCOVER = "discover-route-tables"
SWITCH = "switch-subnets"
PROPAGATION = "propagation-off"
REMOTE_GATEWAY = "remote-gateway-off"
PEERINGS = "delete-peerings"
DOMAIN = "security-domain"

FORWARD_STEPS = (DISCOVER, SWITCH, PROPAGATION, REMOTE_GATEWAY, PEERINGS, DOMAIN)
REVERT_STEPS = tuple(reversed(FORWARD_STEPS))


@dataclass
class VnetRun:
    """What one VNet's steps work with."""

    config: object  # DriverConfig
    vnet_config: object  # VnetConfig
    library: type  # SwitchTraffic
    network_client: object
    vnet: object  # the VNet model object
    log: object  # the driver's logger
    dry_run: bool = False

    @property
    def subscription(self):
        return self.vnet_config.subscription


def _discover(run, revert):
    pairs = {}
    staged, original = run.library.discoverRouteTable(run.network_client, revert, run.vnet, pairs)
    return staged, pairs, original


# -- forward --------------------------------------------------------------------------------


def forward_discover(run, state_records):
    staged, pairs, _ = _discover(run, False)
    return {"stagedUdrLst": staged, "rtb_target_rtb_map": pairs}


def forward_switch(run, state_records):
    # The forward pairing needs no fresh listing: discovery's records are kept for this step.
    pairs = dict(state_records(DISCOVER)["rtb_target_rtb_map"])
    run.library.updateSubnetAssociation(
        run.vnet_config.library_yaml(), False, run.network_client, run.vnet, pairs, {}
    )
    return {}


def forward_propagation(run, state_records):
    discovered = state_records(DISCOVER)
    changes = run.library.setDisableAllRouteTablePropagationInVnet(
        SimpleNamespace(revert=False),
        run.network_client,
        run.vnet,
        discovered["stagedUdrLst"],
        dict(discovered["rtb_target_rtb_map"]),
        True,
    )
    return {"rtbPropList": changes}


def forward_remote_gateway(run, state_records):
    changes = run.library.disableUseRemoteGwInPeering(
        run.subscription, run.network_client, run.vnet, run.config.peering_prefix
    )
    return {"peeringPropList": changes}


SETTLE_SECONDS = 300
SETTLE_POLL_SECONDS = 5


def settle_peerings(run, log):
    """Waits until no peering of the VNet is still being updated.

    Switching off the remote-gateway use starts updates that nobody waits for; deleting a
    peering while its update runs would be refused by Azure, so the deletion waits here.
    """
    rg, name = run.vnet_config.resource_group, run.vnet_config.name
    deadline = time.monotonic() + SETTLE_SECONDS
    while True:
        busy = [
            p.name
            for p in run.network_client.virtual_network_peerings.list(rg, name)
            if (getattr(p, "provisioning_state", None) or "Succeeded") == "Updating"
        ]
        if not busy:
            return
        if time.monotonic() >= deadline:
            log.warning(f"  **Alert** peerings still updating: {', '.join(busy)}")
            return
        time.sleep(SETTLE_POLL_SECONDS)


def forward_peerings(run, state_records):
    if state_records(REMOTE_GATEWAY)["peeringPropList"] and not run.dry_run:
        settle_peerings(run, run.log)
    pairs = run.library.deletePeerings(
        run.config.peering_yaml(),
        run.subscription,
        run.vnet,
        run.network_client,
        run.config.peering_prefix,
    )
    return {"peeringPairList": pairs}


def forward_domain(run, state_records):
    if not run.config.configure_gw_name:
        run.log.info("  security domain not enabled -- skipped")
    run.library.attach_spoke_domain(True)
    return {"attached": run.config.configure_gw_name}


FORWARD = {
    DISCOVER: forward_discover,
    SWITCH: forward_switch,
    PROPAGATION: forward_propagation,
    REMOTE_GATEWAY: forward_remote_gateway,
    PEERINGS: forward_peerings,
    DOMAIN: forward_domain,
}

# -- revert ---------------------------------------------------------------------------------


def revert_discover(run, records):
    """Discovery changed nothing."""


def revert_switch(run, records):
    staged, pairs, original = _discover(run, True)
    run.library.updateSubnetAssociation(
        run.vnet_config.library_yaml(), True, run.network_client, run.vnet, pairs, original
    )


def revert_propagation(run, records):
    run.library.restoreRouteTablePropagationInVnet(run.network_client, records["rtbPropList"])


def revert_remote_gateway(run, records):
    run.library.restoreUseRemoteGwInPeering(run.network_client, records["peeringPropList"])


def revert_peerings(run, records):
    run.library.addPeerings(records["peeringPairList"])


def revert_domain(run, records):
    run.library.attach_spoke_domain(False)


REVERT = {
    DISCOVER: revert_discover,
    SWITCH: revert_switch,
    PROPAGATION: revert_propagation,
    REMOTE_GATEWAY: revert_remote_gateway,
    PEERINGS: revert_peerings,
    DOMAIN: revert_domain,
}
