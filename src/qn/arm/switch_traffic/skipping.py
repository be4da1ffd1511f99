"""VNets a run has nothing left to do for, as its state file says: in a forward run those whose
forward run is done (and not reverted), in a revert those already reverted. The same command run
again skips them, saying so in the plan and the log, and goes on with the others.

A VNet's forward run, once done, stays done: starting it afresh would replace the records its
revert needs. To redo it, the operator reverts it first.
"""

import shlex
from collections import Counter
from dataclasses import dataclass

from qn.arm.switch_traffic.config import VnetConfig
from qn.arm.switch_traffic.counting import VnetCounts
from qn.arm.switch_traffic.options import RunOptions
from qn.arm.switch_traffic.plan import VnetPlan
from qn.arm.switch_traffic.state import StateFile


@dataclass(frozen=True)
class Skipped:
    vnet: VnetConfig
    reason: str  # why there is nothing to do, and what to do instead if anything

    def plan(self) -> VnetPlan:
        return VnetPlan(self.vnet.name, self.vnet.key, notes=[self.reason])

    def counts(self) -> VnetCounts:
        """Nothing changed and nothing pending: a VNet skipped does not fail the run."""
        return VnetCounts(completed=True, changed=Counter(), skipped=True)


def why_skipped(state: StateFile, vnet: VnetConfig, options: RunOptions) -> str | None:
    """Why the run has nothing to do for the VNet; None when it has something."""
    if options.revert:
        if state.has_records(vnet.key) and state.forward_status(vnet.key) == "new":
            return "already reverted: skipped"
        return None
    if options.force or state.forward_status(vnet.key) != "done":
        return None
    redo = shlex.join(["--revert", "--vnet", vnet.name])
    return (
        "forward run already done (the state file holds its records, not reverted): skipped; "
        f"to redo it, revert it first ({redo})"
    )


def split(
    state: StateFile, vnets: list[VnetConfig], options: RunOptions
) -> tuple[list[VnetConfig], list[Skipped]]:
    """The VNets the run goes on with, and those it skips."""
    to_run: list[VnetConfig] = []
    skipped: list[Skipped] = []
    for vnet in vnets:
        reason = why_skipped(state, vnet, options)
        if reason is None:
            to_run.append(vnet)
        else:
            skipped.append(Skipped(vnet, reason))
    return to_run, skipped


def nothing_to_do(skipped: list[Skipped], options: RunOptions) -> str:
    """The line of a run whose every VNet is skipped."""
    names = ", ".join(s.vnet.name for s in skipped)
    if options.revert:
        return f"every VNet chosen is already reverted ({names}); nothing to do"
    return (
        f"the forward run of every VNet chosen is already done ({names}); nothing to do. To "
        "redo one, revert it first"
    )
