"""The items of each step: what it is to change, one subnet, table, peering or lock at a time.

A step's records name its items; a re-run hands the library the records narrowed to the items
still pending, so that only those are tried again (the library keeps nothing between calls).
Resource names are compared without regard to case, as Azure does.
"""

import copy
from typing import Any

from qn.arm.commonlib import Common
from qn.arm.discoverylib import DiscoveryLib
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import steps

NETAPP = "Microsoft.Netapp/volumes"


def last_segment(resource_id: str | None) -> str | None:
    return resource_id.rsplit("/", 1)[-1] if resource_id else None


def same(a: str | None, b: str | None) -> bool:
    return (a or "").lower() == (b or "").lower()


def resource_group(resource_id: str) -> str:
    return resource_id.split("/")[DiscoveryLib.RG_I]


def vnet_key(vnet_config: Any) -> str:
    """The VNet's key in the state file."""
    return f"{vnet_config.subscription}/{vnet_config.resource_group}/{vnet_config.name}"


def hub_id(pair: dict) -> str:
    """The resource ID of the VNet at the remote end of a peering-pair record."""
    return (
        f"/subscriptions/{pair['remoteSubscriptionId']}/resourceGroups/{pair['remoteRgName']}"
        f"/providers/Microsoft.Network/virtualNetworks/{pair['remoteVnetName']}"
    )


# -- the subnet switch: the library's filters, so the driver knows which subnets must move ----


def main_tables(vnet_name: str) -> list[str]:
    prefix = Common.getMainTablePrefix(vnet_name) or vnet_name
    return [f"{prefix}-main-1", f"{prefix}-main-2"]


def switch_plan(run: "steps.VnetRun", discovered: dict) -> dict:
    """Every subnet the switch must move: where it is ("from"), the tables it may end on
    ("to"), and what it lacks when it cannot move. Subnets the library leaves alone by design
    (Azure-reserved names, NetApp delegation, spoke-gateway subnets, subnets without a table
    when those are not migrated) are not items."""
    vnet, vnet_config = run.vnet, run.vnet_config
    staged = {entry.split(":")[0].lower() for entry in discovered["stagedUdrLst"]}
    pairs = {old.lower(): new for old, new in discovered["rtb_target_rtb_map"].items()}
    mains = main_tables(vnet.name)
    default = None
    if vnet_config.default_route_table is not None:
        default = f"{vnet.name}-{vnet_config.default_route_table}"
    replicated = (
        YamlContext().getGlobalContext("configure_shared_route_table_replication") or 0
    ) > 0
    plan = {}
    group = resource_group(vnet.id)
    for subnet in run.network_client.subnets.list(group, vnet.name):
        if subnet.name in Common.AZURE_SUBNET:
            continue
        if any(d.service_name == NETAPP for d in subnet.delegations or ()):
            continue
        current = last_segment(subnet.route_table.id if subnet.route_table else None)
        if current is None or (default is not None and current == default):
            if vnet_config.migrate_non_associated_subnet is False:
                continue
            missing = [m for m in mains if m.lower() not in staged]
            plan[subnet.name] = {"from": current, "to": mains, "lacks": _lacks(missing, "main")}
            continue
        if any(fragment in subnet.name for fragment in DiscoveryLib.lumaflowSpokeSubnetNames):
            continue
        if current.lower() in staged:
            continue  # already on a staged or main table: moved by an earlier run
        if current.lower() not in pairs:
            plan[subnet.name] = {"from": current, "to": [], "lacks": f"a staged copy of {current}"}
            continue
        targets = [pairs[current.lower()]]
        if replicated:  # discovery.json may name another staged table for the subnet
            targets = sorted({entry.split(":")[0] for entry in discovered["stagedUdrLst"]})
        plan[subnet.name] = {"from": current, "to": targets, "lacks": None}
    return {"subnets": plan}


def _lacks(missing: list[str], kind: str) -> str | None:
    return f"the {kind} table {' and '.join(missing)}" if missing else None


def refresh_switch_plan(run: "steps.VnetRun", plan: dict, discovered: dict) -> dict:
    """A pending switch re-planned after a fresh discovery: subnets that lacked a target get
    the one staged since; where every subnet came from is kept."""
    fresh = switch_plan(run, discovered)["subnets"]
    subnets = dict(plan["subnets"])
    for name, item in subnets.items():
        if item["lacks"] and name in fresh:
            subnets[name] = dict(fresh[name], **{"from": item["from"]})
    return {"subnets": subnets}


# -- item keys and narrowing ----------------------------------------------------------------


def keys(step: str, records: dict) -> list[str]:
    """The step's items, as the state file names them."""
    if step == steps.SWITCH:
        return list(records["subnets"])
    if step == steps.PROPAGATION:
        return [r["route_table_name"] for r in records["rtbPropList"]]
    if step == steps.REMOTE_GATEWAY:
        return [r["localPeeringName"] for r in records["peeringPropList"]]
    if step == steps.PEERINGS:
        return [p["localPeeringName"] for p in records["peeringPairList"]]
    return []


def lock_key(lock: dict) -> str:
    return f"lock {lock['name']}"


def narrowed_discovery(discovered: dict, tables: list[str]) -> dict:
    """Discovery's records narrowed to the staged tables named (forward pairing)."""
    wanted = {t.lower() for t in tables}
    return {
        "stagedUdrLst": [
            e for e in discovered["stagedUdrLst"] if e.split(":")[0].lower() in wanted
        ],
        "rtb_target_rtb_map": {
            old: new
            for old, new in discovered["rtb_target_rtb_map"].items()
            if new.lower() in wanted
        },
    }


def merged_discovery(kept: dict, fresh: dict) -> dict:
    """Discovery's records with what a fresh discovery adds (a table staged since). A subnet
    already moved is on its staged table, so a fresh discovery no longer pairs its old table,
    and the steps after the switch still need that pair."""
    staged = list(kept["stagedUdrLst"])
    known = {e.lower() for e in staged}
    staged += [e for e in fresh["stagedUdrLst"] if e.lower() not in known]
    pairs = {**kept["rtb_target_rtb_map"], **fresh["rtb_target_rtb_map"]}
    return {"stagedUdrLst": staged, "rtb_target_rtb_map": pairs}


def narrowed_pairs_for_switch(discovered: dict, subnets: dict) -> dict:
    """Discovery's forward pairing narrowed to the old tables of the subnets named."""
    wanted = {(item["from"] or "").lower() for item in subnets.values()}
    pairs = discovered["rtb_target_rtb_map"]
    return dict(
        discovered, rtb_target_rtb_map={o: n for o, n in pairs.items() if o.lower() in wanted}
    )


def narrowed_vnet(vnet: Any, peering_names: list[str]) -> Any:
    """The VNet model object as the peering operations walk it, with only these peerings."""
    wanted = {n.lower() for n in peering_names}
    narrowed = copy.copy(vnet)
    narrowed.virtual_network_peerings = [
        p for p in vnet.virtual_network_peerings or () if p.name.lower() in wanted
    ]
    return narrowed


def only(records: list[dict], key: str, names: list[str]) -> list[dict]:
    wanted = {n.lower() for n in names}
    return [r for r in records if r[key].lower() in wanted]


def swapped(pair: dict) -> dict:
    """A peering-pair record with its ends exchanged: re-created, its remote end comes first."""
    exchanged = {}
    for key, value in pair.items():
        if key.startswith("local"):
            exchanged["remote" + key[len("local") :]] = value
        elif key.startswith("remote"):
            exchanged["local" + key[len("remote") :]] = value
        else:
            exchanged[key] = value
    return exchanged
