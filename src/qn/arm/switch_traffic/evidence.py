"""What Azure shows of a forward run on a VNet, read without its records: the subnets that sit on
staged or main tables, and the peerings left. A VNet whose records are lost (another state file,
records dropped by `--force`) is told apart from one never migrated by this, so that a revert
never calls "reverted" what Azure contradicts, and a forward run does not take a migrated VNet
for one whose tables were never staged.

The staged tables are the library's own: its revert-direction discovery pairs each table a
subnet sits on with the table it was copied from, and `main_table_names` names the main tables.
Which hub the VNet was peered to, and so whether its end of the peering and its lock are
missing, is read only where a kept version of the state file still records the VNet's peering
pairs: the deleted peering was the only thing in Azure naming the hub.
"""

import functools
import glob
import json
import os
from dataclasses import dataclass, field
from typing import Any

from pydantic import ValidationError

from qn.arm import switchlib
from qn.arm.res.VWanMgmt import VWanMgmt
from qn.arm.switch_traffic import locks
from qn.arm.switch_traffic.resources import Unreadable, attempt, last_segment, vnet_name
from qn.arm.switch_traffic.state import DROPPED, PREVIOUS
from qn.arm.switch_traffic.steps import peerings
from qn.arm.switch_traffic.steps.base import VnetRun, planning_library, quiet_library

# Subnets the forward switch never moves (Azure-reserved names, NetApp delegation, the
# controller's spoke-gateway subnet): where they sit says nothing of a forward run.
NEVER_MOVED = ("reserved", "netapp", "spoke_gateway")
HUB_UNKNOWN = (
    "whether a hub's lock is missing cannot be read without the records (only the deleted "
    "peering named the hub)"
)


@dataclass
class Evidence:
    """What Azure shows of a forward run on one VNet."""

    # Subnet name: the staged or main table it sits on.
    subnets: dict[str, str] = field(default_factory=dict)
    # The VNet's peerings left, the controller's and virtual hub connections aside.
    peerings: list[str] = field(default_factory=list)
    # What Azure shows of the hub parts a kept version of the state file records, a line each;
    # empty when none records them.
    hub: list[str] = field(default_factory=list)

    @property
    def migrated(self) -> bool:
        return bool(self.subnets)

    def shown(self) -> list[str]:
        """What Azure shows, a line per kind of change."""
        subnets = ", ".join(f"{name} on {table}" for name, table in self.subnets.items())
        left = (
            f"its peerings {', '.join(self.peerings)} are still there"
            if self.peerings
            else "no peering is left but the controller's"
        )
        return [
            f"Azure shows subnets on staged tables: {subnets}",
            left,
            *(self.hub or [HUB_UNKNOWN]),
        ]


def read(run: VnetRun, state_path: str) -> Evidence:
    """The evidence of a forward run on the VNet, from the VNet as read (one more read: the
    library's discovery of the tables its subnets sit on), and of its hub parts where a kept
    version of the state file records them."""
    staged_from: dict[str, Any] = {}
    library: Any = planning_library(run.library)
    with quiet_library():
        library.discoverRouteTable(run.network_client, True, run.vnet, staged_from)
    staged = {table.lower() for table in staged_from}
    staged |= {table.lower() for table in switchlib.main_table_names(run.vnet.name)}
    yaml = run.vnet_config.library_yaml()
    subnets = {}
    for subnet in run.vnet.subnets or ():
        kind, _ = switchlib.forward_switch_target(yaml, run.vnet, subnet, {})
        table = last_segment(subnet.route_table.id if subnet.route_table else None)
        if kind not in NEVER_MOVED and table and table.lower() in staged:
            subnets[subnet.name] = table
    return Evidence(subnets, peerings_left(run), hub_parts(run, state_path))


def hub_parts(run: VnetRun, state_path: str) -> list[str]:
    """What Azure shows of the peering pairs and hub locks the newest kept version of the state
    file records for the VNet."""
    found = recorded_peerings(state_path, run.vnet_config.key)
    if found is None:
        return []
    where, records = found
    lines = []
    for pair in records.peeringPairList:
        ends = [
            attempt(functools.partial(peerings.pair_end, run.clients, pair, side))
            for side in ("local", "remote")
        ]
        lines.append(
            f"peering pair {pair.localPeeringName} <-> {pair.remotePeeringName} "
            f"({pair.remoteVnetName}), recorded in {where}: {pair_shown(ends)}"
        )
    for lock in records.locks:
        present = attempt(functools.partial(locks.present, run.clients, lock))
        lines.append(
            f"hub lock {lock.name} ({lock.level}) on {vnet_name(lock.scope)}, recorded in "
            f"{where}: {lock_shown(present)}"
        )
    return lines


def pair_shown(ends: list[Any]) -> str:
    if any(isinstance(end, Unreadable) for end in ends):
        return "cannot be read"
    return "both ends missing" if ends == [None, None] else "still there (at least one end)"


def lock_shown(present: Any) -> str:
    if isinstance(present, Unreadable):
        return "cannot be read"
    return "present" if present else "missing"


def recorded_peerings(state_path: str, key: str) -> tuple[str, peerings.Peerings] | None:
    """The VNet's peering records in the newest kept version that has any, with its path."""
    for path in kept_versions(state_path):
        try:
            with open(path, encoding="utf-8") as handle:
                vnets = json.load(handle).get("vnets", {})
            raw = vnets.get(key, {}).get("forward", {}).get(peerings.STEP.name, {})
            if raw.get("records"):
                return path, peerings.Peerings.model_validate(raw["records"])
        except (OSError, ValueError, AttributeError, ValidationError):
            continue  # a version that cannot be read names nothing
    return None


def peerings_left(run: VnetRun) -> list[str]:
    prefix = run.config.peering_prefix
    return [
        peering.name
        for peering in run.vnet.virtual_network_peerings or ()
        if not (prefix and peering.name.startswith(prefix))
        and not VWanMgmt.getVHubNameFromPeering(peering.remote_virtual_network.id)
    ]


def kept_versions(state_path: str) -> list[str]:
    """The kept versions of a state file that may still hold a VNet's records, newest first."""
    dropped = sorted(glob.glob(glob.escape(state_path) + DROPPED + "*"), reverse=True)
    previous = state_path + PREVIOUS
    return dropped + ([previous] if os.path.exists(previous) else [])


def records_back(state_path: str) -> str:
    """How to get back the records a VNet's revert needs."""
    kept = kept_versions(state_path)
    where = f" or one of the kept versions of this file ({', '.join(kept)})" if kept else ""
    return (
        f"{state_path} holds no records that undo it: name the forward run's state file with "
        f"--state{where}"
    )
