"""What a VNet's records hold that Azure still lacks: the hub locks its forward run removed and
no revert has put back, the revert attempts that failed, and, for `--force`, everything its
records would take with them when dropped.

Read from the state file only; the plan, `status` and the run's log say it.
"""

from dataclasses import dataclass
from typing import Any

from qn.arm.switch_traffic import report
from qn.arm.switch_traffic.records import Lock
from qn.arm.switch_traffic.resources import vnet_name
from qn.arm.switch_traffic.state import NOT_STARTED, Attempt, StateFile
from qn.arm.switch_traffic.steps import peerings, switch
from qn.arm.switch_traffic.steps.order import ORDER

PEERINGS = peerings.STEP


@dataclass
class RemovedLock:
    """A hub lock a VNet's forward run removed, not put back yet."""

    lock: Lock
    vnet: str  # the key of the VNet whose run removed it
    since: str | None  # when that run's peering step began; the lock went after it

    def said(self) -> str:
        notes = f", notes {self.lock.notes!r}" if self.lock.notes else ""
        since = f" since {self.since}" if self.since else ""
        return (
            f"hub lock {self.lock.name} ({self.lock.level}{notes}) on "
            f"{vnet_name(self.lock.scope)}: removed by {self.vnet.rsplit('/', 1)[-1]}'s run"
            f"{since}, not put back"
        )


def removed_locks(state: StateFile, key: str) -> list[RemovedLock]:
    """The hub locks this VNet's forward run removed that its revert has not put back."""
    forward = state.entry(key, "forward", PEERINGS)
    if forward is None or forward.records is None:
        return []
    revert = state.entry(key, "revert", PEERINGS)
    back = {name for name, item in (revert.items if revert else {}).items() if item.done}
    return [
        RemovedLock(lock, key, forward.started)
        for lock in forward.records.locks
        if lock.key not in back
    ]


def dropped(state: StateFile, key: str) -> list[str]:
    """What dropping the VNet's records throws away, a line each: the peering pairs with both
    ends, the hub locks removed, and each step's items (the subnets with their old tables)."""
    kept = state.directions(key).forward
    lines = []
    for step in ORDER:
        records = kept[step.name].records
        if kept[step.name] is NOT_STARTED or records is None:
            continue
        lines += described(step, records)
    lines += [removed.said() for removed in removed_locks(state, key)]
    return lines


def described(step: Any, records: Any) -> list[str]:
    if step is PEERINGS:
        return [
            f"{step.name}: peering pair {p.localPeeringName} in {p.localVnetName} <-> "
            f"{p.remotePeeringName} in {p.remoteVnetName}"
            for p in records.peeringPairList
        ]
    if step is switch.STEP:
        return [
            f"{step.name}: subnet {name}, on {move.from_ or switch.NO_TABLE} before"
            for name, move in records.subnets.items()
        ]
    names = step.keys(records)
    return [f"{step.name}: {', '.join(names)}"] if names else []


def keep_dropped(state: StateFile, names: list[str]) -> None:
    """Keeps the state file as it is, before the records of these VNets are dropped."""
    if not names:
        return
    kept = state.keep_dropped()
    report.driver_log().warning(
        f"--force drops the records of {', '.join(names)}; the state file as it was is kept as "
        f"{kept}"
    )


# -- revert attempts --------------------------------------------------------------------------
# A failure names its first few pending items; the status lists them all.
NAMED = 3


def keep_attempt(state: StateFile, key: str, began: str, completed: bool, errors: int) -> None:
    """Keeps how the VNet's revert run that began then ended, with why it failed."""
    revert = state.directions(key).revert
    pending = [
        f"{step} {name}: {item.reason}"
        for step, entry in revert.items()
        for name, item in entry.items.items()
        if not item.done
    ]
    if completed and not errors and not pending:
        state.keep_attempt(key, Attempt(at=began, result="done"))
        return
    reasons = pending[:NAMED] + (
        [f"{len(pending) - NAMED} more pending"] if pending[NAMED:] else []
    )
    if errors:
        reasons.append(f"{errors} error(s) logged")
    if not completed:
        reasons.append("stopped before its last step")
    state.keep_attempt(key, Attempt(at=began, result="failed", reason="; ".join(reasons)))


def failed_reverts(state: StateFile, key: str) -> list[Attempt]:
    """The revert attempts that failed since the last one that did all it should."""
    attempts = state.revert_attempts(key)
    done = [number for number, attempt in enumerate(attempts) if attempt.result == "done"]
    return attempts[done[-1] + 1 :] if done else attempts


def undone(state: StateFile, key: str) -> list[str]:
    """What the VNet's records leave undone, a line each: for the plan and the status."""
    lines = [removed.said() for removed in removed_locks(state, key)]
    lines += [f"revert failed at {a.at}: {a.reason}" for a in failed_reverts(state, key)]
    return lines
