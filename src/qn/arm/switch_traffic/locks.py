"""Management locks on the VNets a run deletes peerings in: found before any change, recorded
before the library removes one, put back by the revert.

The library removes one lock of the peered VNet: the one its own rule picks from the listing.
A lock it cannot remove (one inherited from a resource group or subscription, a second lock,
any lock when removal is not configured) would make the peering deletion fail after the
traffic had moved, so the VNet's run stops before its first change instead.
"""

from typing import Any

from azure.mgmt.resource.locks.models import ManagementLockObject

from qn.arm import switchlib
from qn.arm.switch_traffic.records import Lock
from qn.arm.switch_traffic.resources import (
    Clients,
    resource_group,
    same,
    subscription_of,
    vnet_name,
)

LOCKS_PATH = "/providers/microsoft.authorization/locks/"
BLOCKING = ("CanNotDelete", "ReadOnly")


def scope_of(lock_id: str) -> str:
    return lock_id[: lock_id.lower().index(LOCKS_PATH)]


def _listing(clients: Clients, vnet_id: str) -> list[Lock]:
    """The locks the listing at the VNet's level yields, in its order, as the library lists
    them."""
    client = clients.locks(subscription_of(vnet_id))
    found = client.management_locks.list_at_resource_level(
        resource_group(vnet_id), "Microsoft.Network", "", "virtualNetworks", vnet_name(vnet_id)
    )
    return [_typed(lock) for lock in found]


def _typed(lock: Any) -> Lock:
    return Lock(
        id=lock.id,
        name=lock.name,
        level=str(getattr(lock.level, "value", lock.level)),
        notes=lock.notes,
        scope=scope_of(lock.id),
    )


def listed(clients: Clients, vnet_id: str) -> list[Lock]:
    """The locks that cover the VNet, its own and inherited ones, in the listing's order."""
    return covering(_listing(clients, vnet_id), vnet_id)


def covering(found: list[Lock], vnet_id: str) -> list[Lock]:
    over = _scopes_over(vnet_id)
    return [lock for lock in found if lock.scope.lower() in over]


def _scopes_over(vnet_id: str) -> set[str]:
    """The VNet's own scope and those it inherits from (its resource group, subscription)."""
    parts = vnet_id.strip("/").split("/")
    return {("/" + "/".join(parts[:n])).lower() for n in (2, 4, len(parts))}


def preflight(
    clients: Clients, vnet_id: str, hub_ids: list[str], remove_hub_lock: bool
) -> tuple[list[str], list[Lock]]:
    """(problems, removable): the locks that would refuse the run's writes or the deletion of
    its peerings to these hubs, and the hub locks the library will remove (to be recorded
    before it does)."""
    hubs = distinct(hub_ids)
    # Without peerings to delete, only a ReadOnly lock stands in the way of the VNet's writes.
    problems = [
        _why(lock, vnet_id, same(lock.scope, vnet_id), False, False)
        for lock in blocking(listed(clients, vnet_id), BLOCKING if hubs else ("ReadOnly",))
    ]
    removable: list[Lock] = []
    for hub in hubs:
        found = _listing(clients, hub)
        removed = removed_by_library(found, hub) if remove_hub_lock else None
        removable += [removed] if removed else []
        problems += [
            _why(lock, hub, same(lock.scope, hub), remove_hub_lock, True)
            for lock in blocking(covering(found, hub), BLOCKING)
            if removed is None or not same(lock.id, removed.id)
        ]
    return problems, removable


def removable(clients: Clients, hub_ids: list[str]) -> list[Lock]:
    """The locks the library removes from these hubs, as they are now."""
    found = (removed_by_library(_listing(clients, hub), hub) for hub in distinct(hub_ids))
    return [lock for lock in found if lock]


def distinct(vnet_ids: list[str]) -> list[str]:
    return list({vnet_id.lower(): vnet_id for vnet_id in vnet_ids}.values())


def blocking(found: list[Lock], levels: tuple[str, ...]) -> list[Lock]:
    return [lock for lock in found if lock.level in levels]


def removed_by_library(found: list[Lock], hub: str) -> Lock | None:
    """Of a hub's listed locks, the one the library removes, when it can: one on the hub itself
    (an inherited lock cannot be deleted at the hub's level)."""
    picked = switchlib.lock_to_remove(found)
    return picked if picked is not None and same(picked.scope, hub) else None


def _why(lock: Lock, target: str, own: bool, removing: bool, hub: bool) -> str:
    where = f"lock {lock.name} ({lock.level}) on {lock.scope}"
    if not own:
        return (
            f"{where} is inherited by {vnet_name(target)}; the tool removes only a lock on the "
            "VNet itself: lift it there, then run again"
        )
    if removing:
        return f"{where} is a second lock on {vnet_name(target)}; the tool removes only one"
    hint = "set peering.delete_vnet_lock to true, or lift it" if hub else "lift it"
    return f"{where} forbids deleting the peerings of {vnet_name(target)}: {hint}"


def present(clients: Clients, lock: Lock) -> bool:
    return any(same(found.id, lock.id) for found in listed(clients, lock.scope))


def restore(clients: Clients, lock: Lock) -> None:
    """Puts a recorded lock back on its VNet."""
    vnet_id = lock.scope
    client = clients.locks(subscription_of(vnet_id))
    client.management_locks.create_or_update_at_resource_level(
        resource_group(vnet_id),
        "Microsoft.Network",
        "",
        "virtualNetworks",
        vnet_name(vnet_id),
        lock.name,
        ManagementLockObject(level=lock.level, notes=lock.notes),
    )
