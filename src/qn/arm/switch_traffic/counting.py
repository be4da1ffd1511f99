"""What a run did and what a state file holds, as documents: the result that --output json
writes (and the summary is made from), and the `status` view. Both read the items' verdicts
from the state file, where the run keeps them, so they say what Azure showed.

A run's result:
    {"version": 1, "direction": "forward" | "revert", "dry_run": false, "state_file": "...",
     "exit_status": 0 | 1 | 2 | 129 | 130 | 143,
     "vnets": [{"name": "...", "id": "<subscription>/<resource group>/<vnet>",
                "completed": true, "skipped": false,
                "changed": {"subnets": n, "tables": n, "peerings": n},
                "pending": n, "errors": n, "left_out": null | "<why>",
                "steps": [{"step": "...", "status": "...", "changed": n,
                           "pending": {"<item>": "<reason>"}, "errors": n}]}],
     "errors": ["<every error line of the run>"]}
A dry run's adds "would_complete": true | false to each VNet, and "plan": {...}.

A step's status: "done", "pending" (items Azure does not show yet, with the reason),
"interrupted" (started, nothing read back yet), "not started"; in a dry run "planned", its
changes counted per VNet. A dry run's VNets are never "completed" (nothing was done);
"would_complete" says whether the plan foresees a stop, and "plan" holds every item of the plan,
as saved_plan.py writes it.
"""

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from qn.arm.switch_traffic import leftovers
from qn.arm.switch_traffic.config import DriverConfig
from qn.arm.switch_traffic.options import RunOptions
from qn.arm.switch_traffic.state import NOT_STARTED, Kept, StateFile
from qn.arm.switch_traffic.steps.order import NAMES, ORDER, in_order

VERSION = 1
# What the summary counts, in its order: the kinds of verified change the steps count.
# What the summary counts, in its order: Azure's side of the move, then the controller's.
CHANGES = ("subnets", "tables", "peerings", "transit", "domain")
assert set(CHANGES) == {step.counted for step in ORDER if step.counted}


def counted_kinds(config: DriverConfig) -> tuple[str, ...]:
    """The kinds of change a run with this configuration makes, in the summary's order."""
    in_play = {step.counted for step in ORDER if step.counted and step.in_play(config)}
    return tuple(kind for kind in CHANGES if kind in in_play)


@dataclass
class VnetCounts:
    """What one VNet's run did, counted from what Azure showed (a dry run: from its plan)."""

    completed: bool = False
    kinds: Counter[str] = field(default_factory=Counter)  # verified changes per summary kind
    changed: Counter[str] | None = field(default_factory=Counter)  # per step; None: planned
    step_errors: Counter[str] = field(default_factory=Counter)  # error lines per step
    errors: int = 0
    pending: int = 0
    skipped: bool = False  # nothing left to do for it, by the state file (skipping.py)
    left_out: str | None = None  # why the run left the VNet out, as its plan says

    def failed(self) -> bool:
        return bool(self.errors or self.pending or not self.completed)


def pending_items(entry: Kept[Any]) -> dict[str, str]:
    return {name: item.reason or "" for name, item in entry.items.items() if not item.done}


def step_status(entry: Kept[Any]) -> str:
    if entry is NOT_STARTED:
        return "not started"
    if entry.done:
        return "done"
    return "pending" if pending_items(entry) else "interrupted"


def run_document(
    run: RunOptions,
    state: StateFile,
    keys: dict[str, str],
    per_vnet: dict[str, VnetCounts],
    status: int,
    kinds: tuple[str, ...] = CHANGES[:3],
    plan: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """The run's result from the per-VNet counts and the state file's items; keys maps each
    VNet's name to its key in the state file. A dry run's result holds its plan, every item,
    as a saved plan does."""
    vnets = []
    for name, counts in per_vnet.items():
        kept = state.directions(keys[name]).of(run.direction)
        # A dry run completes nothing: it says whether the run would.
        done = {"would_complete": counts.completed} if run.dry_run else {}
        vnets.append(
            {
                "name": name,
                "id": keys[name],
                "completed": counts.completed and not run.dry_run,
                **done,
                "skipped": counts.skipped,
                "changed": {kind: counts.kinds[kind] for kind in kinds},
                "pending": counts.pending,
                "errors": counts.errors,
                "left_out": counts.left_out,
                "steps": [
                    step_result(run, step.name, kept[step.name], counts)
                    for step in in_order(run.revert)
                ],
            }
        )
    document = {
        "version": VERSION,
        "direction": run.direction,
        "dry_run": run.dry_run,
        "state_file": state.path,
        "exit_status": status,
        "vnets": vnets,
    }
    if plan is not None:
        document["plan"] = plan
    return document


def step_result(run: RunOptions, step: str, kept: Kept[Any], counts: VnetCounts) -> dict[str, Any]:
    if run.dry_run or counts.changed is None:  # the state file holds earlier runs, not the plan
        return {"step": step, "status": "planned", "changed": None, "pending": {}, "errors": 0}
    return {
        "step": step,
        "status": step_status(kept),
        "changed": counts.changed[step],
        "pending": pending_items(kept),
        "errors": counts.step_errors[step],
    }


# -- the status view ------------------------------------------------------------------------


def vnet_status(state: StateFile, key: str) -> str:
    if not state.has_records(key):
        return "no records"
    return {
        "new": "reverted",
        "unfinished": "forward run unfinished",
        "done": "forward run done, not reverted",
        "reverting": "revert unfinished",
    }[state.forward_status(key)]


def status_document(state: StateFile) -> dict[str, Any]:
    """Per VNet, in the order of their forward runs, each step as each direction left it;
    the pending items are those of the direction under way."""
    vnets = []
    for key in sorted(state.data["vnets"], key=state.order):
        kept = state.directions(key)
        rows = []
        for step in NAMES:
            forward, revert = kept.forward[step], kept.revert[step]
            rows.append(
                {
                    "step": step,
                    "forward": step_status(forward),
                    "revert": step_status(revert),
                    "pending": pending_items(revert if revert is not NOT_STARTED else forward),
                }
            )
        vnets.append(
            {
                "name": key.rsplit("/", 1)[-1],
                "id": key,
                "status": vnet_status(state, key),
                "steps": rows,
                "hub_locks_removed": [
                    {
                        "hub": removed.lock.scope,
                        "lock": removed.lock.name,
                        "level": removed.lock.level,
                        "notes": removed.lock.notes,
                        "removed_by": key,
                        "since": removed.since,
                    }
                    for removed in leftovers.removed_locks(state, key)
                ],
                "failed_reverts": [
                    {"at": attempt.at, "reason": attempt.reason}
                    for attempt in leftovers.failed_reverts(state, key)
                ],
            }
        )
    return {"version": VERSION, "state_file": state.path, "vnets": vnets}
