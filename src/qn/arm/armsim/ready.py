"""A switch-traffic configuration ready for what an emulator serves: every subscription signed
in to the emulator, and every VNet that reaches a hub's gateway through a peering (the native
design the tool moves away from) as a VNet to migrate.

It is a starting point to try the tool on, as an operator would write one for Azure: the
controller's sections are left out (the forward run then changes Azure alone), and the hub's
lock is removed when the hub has one."""

import os
from typing import Any

import yaml

from .server import Emulator
from .state import Json

NAME = "armsim-switch-traffic.yaml"
VNET_TYPE = "microsoft.network/virtualnetworks"
LOCKS = "/providers/microsoft.authorization/locks/"


def _segments(resource_id: str) -> list[str]:
    return resource_id.strip("/").split("/")


def _vnets(snapshot: dict[str, Json]) -> dict[str, Json]:
    return {
        key: value
        for key, value in snapshot.items()
        if str(value.get("type", "")).lower() == VNET_TYPE
    }


def _gateway_hubs(vnet: Json) -> list[str]:
    """IDs of the VNets whose gateway this one uses through a peering."""
    peerings = vnet.get("properties", {}).get("virtualNetworkPeerings") or []
    return [
        p["properties"]["remoteVirtualNetwork"]["id"]
        for p in peerings
        if p.get("properties", {}).get("useRemoteGateways")
    ]


def _locked(snapshot: dict[str, Json], hub_id: str) -> bool:
    prefix = hub_id.lower() + LOCKS
    return any(key.lower().startswith(prefix) for key in snapshot)


def config_for(arm: Emulator, output_dir: str) -> dict[str, Any]:
    """The configuration as data; `output_dir` is where the runs write."""
    snapshot = arm.snapshot()
    vnets = _vnets(snapshot)
    subscriptions = sorted({_segments(key)[1] for key in snapshot})
    aliases = {sub: f"sub{number}" for number, sub in enumerate(subscriptions, 1)}
    spokes: dict[str, Any] = {}
    hubs: set[str] = set()
    for key, vnet in sorted(vnets.items()):
        used = _gateway_hubs(vnet)
        if not used:
            continue
        hubs.update(used)
        segments = _segments(key)
        spokes[vnet["name"]] = {
            "subscription": segments[1],
            "resource_group": segments[3],
            "allow_vnet_cidrs": list(vnet["properties"]["addressSpace"]["addressPrefixes"]),
        }
    config = arm.tool_config(aliases)
    config["output_dir"] = output_dir
    config["peering"] = {
        "delete_peering": "gateway",
        "delete_vnet_lock": any(_locked(snapshot, hub) for hub in hubs),
    }
    config["vnets"] = spokes
    return config


def write_config(arm: Emulator, directory: str) -> str:
    """Writes the configuration in `directory`, its runs' output beside it; returns its path."""
    path = os.path.join(directory, NAME)
    config = config_for(arm, os.path.join(os.path.abspath(directory), "armsim-output"))
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("# Written by armsim for the topology it serves; valid while it runs.\n")
        yaml.safe_dump(config, handle, sort_keys=False)
    return path
