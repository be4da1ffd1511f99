"""The hub locks a forward run removed, put back by the revert once no VNet of the run still
waits for its peerings on that hub (a lock back too early would refuse their re-creation).
Held and recorded by the peering step (steps/peerings.py), while the VNet holds the hub."""

from qn.arm.switch_traffic import locks, report
from qn.arm.switch_traffic.config import VnetConfig
from qn.arm.switch_traffic.records import Item, Lock, undone
from qn.arm.switch_traffic.resources import Clients, same
from qn.arm.switch_traffic.state import StateFile
from qn.arm.switch_traffic.steps import peerings

STEP = peerings.STEP


def put_back(state: StateFile, clients: Clients, vnets: list[VnetConfig], vnet: VnetConfig) -> None:
    """Puts back the hub locks this VNet's forward run removed, once no VNet of the run still
    waits for its peerings on that hub."""
    forward = state.entry(vnet.key, "forward", STEP)
    entry = state.entry(vnet.key, "revert", STEP)
    recorded = forward.records.locks if forward and forward.records else []
    if not recorded or entry is None or entry.done:
        return
    known = dict(entry.items)
    for lock in recorded:
        if lock.key in known and known[lock.key].done:
            continue
        waiting = waiting_for(state, vnets, lock.scope)
        if waiting:
            done = False
            reason = f"waits for the peerings of {', '.join(waiting)} on {lock.scope}"
        else:
            done, reason = put_lock_back(clients, lock)
        if not done:
            report.driver_log().error(f"  **Error** [{vnet.name}] {lock.key}: {reason} -- pending")
        known[lock.key] = Item.seen(done, reason)
    done = all(item.done for item in known.values())
    state.keep_items(vnet.key, "revert", STEP.name, known, done=done)


def put_lock_back(clients: Clients, lock: Lock) -> tuple[bool, str]:
    try:
        if not locks.present(clients, lock):
            report.driver_log().info(f"  put back lock {lock.name} on {lock.scope}")
            locks.restore(clients, lock)
        if locks.present(clients, lock):
            return True, ""
        return False, "not found after it was put back"
    except Exception as error:  # stays pending, with the reason
        return False, f"{type(error).__name__}: {error}"


def waiting_for(state: StateFile, vnets: list[VnetConfig], hub: str) -> list[str]:
    """VNets of this run whose peerings on the hub are not all back yet."""
    waiting = []
    for vnet in vnets:
        forward = state.entry(vnet.key, "forward", STEP)
        pairs = forward.records.peeringPairList if forward and forward.records else []
        names = [p.localPeeringName for p in pairs if same(p.hub_id, hub)]
        revert = state.entry(vnet.key, "revert", STEP)
        if undone(names, dict(revert.items) if revert else {}):
            waiting.append(vnet.name)
    return waiting
