"""What a run did and what a state file holds, as documents: the result that --output json
writes (and the summary is made from), and the `status` view. Both read the items' verdicts
from the state file, where the engine keeps them, so they say what Azure showed.

A run's result:
    {"version": 1, "direction": "forward" | "revert", "dry_run": false, "state_file": "...",
     "exit_status": 0 | 1 | 2 | 130,
     "vnets": [{"name": "...", "id": "<subscription>/<resource group>/<vnet>",
                "completed": true, "changed": {"subnets": n, "tables": n, "peerings": n},
                "pending": n, "errors": n,
                "steps": [{"step": "...", "status": "...", "changed": n,
                           "pending": {"<item>": "<reason>"}, "errors": n}]}],
     "errors": ["<every error line of the run>"]}

A step's status: "done", "pending" (items Azure does not show yet, with the reason),
"interrupted" (started, nothing read back yet), "not started"; in a dry run "planned", its
changes counted per VNet.
"""

from collections import Counter
from typing import TYPE_CHECKING

from qn.arm.switch_traffic import steps
from qn.arm.switch_traffic.state import PENDING, StateFile

if TYPE_CHECKING:  # the engine makes these documents
    from qn.arm.switch_traffic.engine import Run

VERSION = 1
CHANGES = ("subnets", "tables", "peerings")


def pending_items(entry: dict | None) -> dict[str, str]:
    items = (entry or {}).get("items", {})
    return {n: i.get("reason", "") for n, i in items.items() if i.get("status") == PENDING}


def step_status(entry: dict | None) -> str:
    if entry is None:
        return "not started"
    if entry.get("done"):
        return "done"
    return "pending" if pending_items(entry) else "interrupted"


def run_document(
    run: "Run", state: StateFile, keys: dict[str, str], per_vnet: dict[str, Counter], status: int
) -> dict:
    """The run's result from the engine's per-VNet counts and the state file's items; keys
    maps each VNet's name to its key in the state file."""
    direction = "revert" if run.revert else "forward"
    order = steps.REVERT_STEPS if run.revert else steps.FORWARD_STEPS
    vnets = []
    for name, counts in per_vnet.items():
        kept = state.vnet(keys[name]).get(direction, {})
        vnets.append(
            {
                "name": name,
                "id": keys[name],
                "completed": bool(counts["completed"]),
                "changed": {change: counts[change] for change in CHANGES},
                "pending": counts["pending"],
                "errors": counts["errors"],
                "steps": [step_result(run, step, kept.get(step), counts) for step in order],
            }
        )
    return {
        "version": VERSION,
        "direction": direction,
        "dry_run": run.dry_run,
        "state_file": state.path,
        "exit_status": status,
        "vnets": vnets,
    }


def step_result(run: "Run", step: str, kept: dict | None, counts: Counter) -> dict:
    if run.dry_run:  # the state file holds what earlier runs did, not this one's plan
        return {
            "step": step,
            "status": "planned",
            "changed": counts.get(("changed", step)),  # where the plan counts per step
            "pending": {},
            "errors": 0,
        }
    return {
        "step": step,
        "status": step_status(kept),
        "changed": counts[("changed", step)],
        "pending": pending_items(kept),
        "errors": counts[("errors", step)],
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
    }[state.forward_status(key, steps.FORWARD_STEPS)]


def status_document(state: StateFile) -> dict:
    """Per VNet, in the order of their forward runs, each step as each direction left it;
    the pending items are those of the direction under way."""
    vnets = []
    for key in sorted(state.data["vnets"], key=state.order):
        entry = state.vnet(key)
        rows = []
        for step in steps.FORWARD_STEPS:
            forward, revert = entry["forward"].get(step), entry.get("revert", {}).get(step)
            rows.append(
                {
                    "step": step,
                    "forward": step_status(forward),
                    "revert": step_status(revert),
                    "pending": pending_items(revert if revert is not None else forward),
                }
            )
        vnets.append(
            {
                "name": key.rsplit("/", 1)[-1],
                "id": key,
                "status": vnet_status(state, key),
                "steps": rows,
            }
        )
    return {"version": VERSION, "state_file": state.path, "vnets": vnets}
