"""Management locks on the VNets a run deletes peerings in: found before any change, recorded
before the library removes one, put back by the revert.

The library removes only the first lock listed on the peered VNet itself. A lock it cannot
remove (one inherited from a resource group or subscription, a second lock, any lock when
removal is not configured) would make the peering deletion fail after the traffic had moved,
so the VNet's run stops before its first change instead.
"""

from azure.mgmt.resource.locks.models import ManagementLockObject

from qn.arm.switch_traffic.items import resource_group, same
from qn.arm.switch_traffic.verify import Clients

LOCKS_PATH = "/providers/microsoft.authorization/locks/"
BLOCKING = ("CanNotDelete", "ReadOnly")


def scope_of(lock_id: str) -> str:
    return lock_id[: lock_id.lower().index(LOCKS_PATH)]


def subscription_of(resource_id: str) -> str:
    return resource_id.split("/")[2]


def vnet_name(vnet_id: str) -> str:
    return vnet_id.rstrip("/").rsplit("/", 1)[-1]


def listed(clients: Clients, vnet_id: str) -> list[dict]:
    """The locks that cover the VNet, its own and inherited ones, in the listing's order."""
    client = clients.locks(subscription_of(vnet_id))
    found = client.management_locks.list_at_resource_level(
        resource_group(vnet_id), "Microsoft.Network", "", "virtualNetworks", vnet_name(vnet_id)
    )
    return [
        {
            "id": lock.id,
            "name": lock.name,
            "level": str(getattr(lock.level, "value", lock.level)),
            "notes": lock.notes,
            "scope": scope_of(lock.id),
        }
        for lock in found
        if scope_of(lock.id).lower() in _scopes_over(vnet_id)
    ]


def _scopes_over(vnet_id: str) -> set[str]:
    """The VNet's own scope and those it inherits from (its resource group, subscription)."""
    parts = vnet_id.strip("/").split("/")
    return {("/" + "/".join(parts[:n])).lower() for n in (2, 4, len(parts))}


def preflight(
    clients: Clients, vnet_id: str, hub_ids: list[str], remove_hub_lock: bool
) -> tuple[list[str], list[dict]]:
    """(problems, removable): the locks that would refuse the run's writes or the deletion of
    its peerings to these hubs, and the hub locks the library will remove (to be recorded
    before it does)."""
    problems: list[str] = []
    removable: list[dict] = []
    hubs = list({hub.lower(): hub for hub in hub_ids}.values())
    # Without peerings to delete, only a ReadOnly lock stands in the way of the VNet's writes.
    own_levels = BLOCKING if hubs else ("ReadOnly",)
    for target, levels in [(vnet_id, own_levels), *((hub, BLOCKING) for hub in hubs)]:
        hub = target is not vnet_id
        found = [lock for lock in listed(clients, target) if lock["level"] in levels]
        for index, lock in enumerate(found):
            own = same(lock["scope"], target)
            if hub and own and index == 0 and remove_hub_lock:
                removable.append(lock)
                continue
            problems.append(_why(lock, target, own, remove_hub_lock and hub, hub))
    return problems, removable


def _why(lock: dict, target: str, own: bool, removing: bool, hub: bool) -> str:
    where = f"lock {lock['name']} ({lock['level']}) on {lock['scope']}"
    if not own:
        return (
            f"{where} is inherited by {vnet_name(target)}; the tool removes only a lock on the "
            "VNet itself: lift it there, then run again"
        )
    if removing:
        return f"{where} is a second lock on {vnet_name(target)}; the tool removes only one"
    hint = "set peering.delete_vnet_lock to true, or lift it" if hub else "lift it"
    return f"{where} forbids deleting the peerings of {vnet_name(target)}: {hint}"


def present(clients: Clients, lock: dict) -> bool:
    return any(same(found["id"], lock["id"]) for found in listed(clients, lock["scope"]))


def restore(clients: Clients, lock: dict) -> None:
    """Puts a recorded lock back on its VNet."""
    vnet_id = lock["scope"]
    client = clients.locks(subscription_of(vnet_id))
    client.management_locks.create_or_update_at_resource_level(
        resource_group(vnet_id),
        "Microsoft.Network",
        "",
        "virtualNetworks",
        vnet_name(vnet_id),
        lock["name"],
        ManagementLockObject(level=lock["level"], notes=lock["notes"]),
    )
