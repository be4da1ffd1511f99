"""Views over a run's data: the plan as a table per VNet and the question whether to apply it,
the closing summary of a result document, and the status of a state file."""

import json
import sys
from collections import Counter
from typing import Any, TextIO

from rich import box
from rich.console import Console
from rich.prompt import Confirm
from rich.table import Table
from rich.text import Text

from qn.arm.switch_traffic.estimate import Estimate, about
from qn.arm.switch_traffic.options import JSON
from qn.arm.switch_traffic.plan import Plan, PlanError
from qn.arm.switch_traffic.resources import vnet_name

# A plan read in a log file or a pipe keeps its rows whole, up to this width.
WIDTH = 200


def show_plan(plan: Plan, stream: TextIO, estimated: Estimate | None = None) -> None:
    """A table per VNet, what stops it and the totals, with the time each is expected to take;
    colours only on a terminal."""
    console = Console(file=stream, width=None if stream.isatty() else WIDTH, highlight=False)
    direction = "revert" if plan.revert else "forward"
    for vnet in plan.vnets:
        console.print(Text(f"{vnet.name}: {direction} run ({vnet.key})", style="bold"))
        table = Table(box=box.SIMPLE_HEAD, show_edge=False)
        for column in ("step", "item", "before", "after"):
            table.add_column(column)
        for change in vnet.changes:
            # Text, not markup: a name may hold brackets.
            table.add_row(*map(Text, (change.step, change.item, change.before, change.after)))
        if vnet.left_out:
            console.print(Text(f"  left out: {vnet.left_out}", style="bold red"))
        else:
            console.print(table if vnet.changes else Text("  nothing to change"))
        for note in vnet.notes:
            console.print(Text(f"  {note}"))
        if vnet.dropped:
            console.print(
                Text("  --force drops the records of its earlier forward run, not reverted:")
            )
            for line in vnet.dropped:
                console.print(Text(f"    {line}"))
        if vnet.stops:
            console.print(Text(f"  stops {vnet.stops}", style="bold red"))
        if estimated and vnet.changes:
            console.print(Text(f"  takes {about(estimated.vnets[vnet.name])}"))
    console.print(Text(totals(plan), style="bold"))
    if estimated:
        console.print(Text(estimate_line(estimated), style="bold"))


def estimate_line(estimated: Estimate) -> str:
    return (
        f"Estimate: {about(estimated.estate)} at --parallel {estimated.parallel}, "
        "from Azure's typical durations"
    )


def totals(plan: Plan) -> str:
    total: Counter[str] = Counter()
    for vnet in plan.vnets:
        total.update(vnet.counts)
    verbs = (
        ("switch back", "restore", "re-create") if plan.revert else ("switch", "change", "delete")
    )
    kinds = ("subnets", "route tables", "peering pairs")
    counts = (total["subnets"], total["tables"], total["peerings"])
    return (
        "Plan: "
        + ", ".join(f"{k} to {v} {n}" for k, v, n in zip(kinds, verbs, counts, strict=True))
        + "".join(f"; {v.name} stops {v.stops.split(':')[0]}" for v in plan.vnets if v.stops)
        + "".join(f"; {v.name} left out" for v in plan.vnets if v.left_out)
        + "."
    )


def approve(yes: bool, stdin: TextIO | None = None, stream: TextIO | None = None) -> None:
    """Asks on a terminal whether to apply the plan; PlanError when it is not approved."""
    if yes:
        return
    stdin = stdin or sys.stdin
    if not stdin.isatty():
        raise PlanError(
            "nothing was changed: no terminal to ask for approval on; pass --yes to apply the "
            "plan without asking"
        )
    console = Console(file=stream or sys.stderr, highlight=False)
    try:  # Ctrl-C at the question is a no: there are no records to go on from or revert
        approved = Confirm.ask("Apply this plan?", console=console, default=False, stream=stdin)
    except KeyboardInterrupt:
        approved = False
    if not approved:
        raise PlanError("nothing was changed: the plan was not approved")


def confirm_drop(
    plan: Plan, kept_as: str, stdin: TextIO | None = None, stream: TextIO | None = None
) -> None:
    """Asks on a terminal, --yes or not, whether to drop the records the plan lists; PlanError
    when not. Without a terminal, --force with --yes confirms it: the file is kept as it was."""
    names = plan.dropping()
    stdin = stdin or sys.stdin
    if not names or not stdin.isatty():
        return
    console = Console(file=stream or sys.stderr, highlight=False)
    question = (
        f"Drop the records listed above of {', '.join(names)}? (the state file is kept as it "
        f"is, as {kept_as}<time>)"
    )
    try:
        dropped = Confirm.ask(question, console=console, default=False, stream=stdin)
    except KeyboardInterrupt:
        dropped = False
    if not dropped:
        raise PlanError("nothing was changed: the records were not dropped")


def show_status(document: dict[str, Any], output: str) -> None:
    """The status view of a state file (counting.status_document) on stdout."""
    if output == JSON:
        json.dump(document, sys.stdout, indent=2)
        print()
    else:
        print("\n".join(status_lines(document)))


def status_lines(document: dict[str, Any]) -> list[str]:
    lines = [f"State file {document['state_file']}:"]
    if not document["vnets"]:
        lines.append("  no VNets")
    for vnet in document["vnets"]:
        lines.append(f"  {vnet['name']} ({vnet['id']}): {vnet['status']}")
        for row in vnet["steps"]:
            text = f"forward {row['forward']}"
            if row["revert"] != "not started":
                text += f", revert {row['revert']}"
            lines.append(f"    {row['step']:<22} {text}")
            lines.extend(f"      {item}: {reason}" for item, reason in row["pending"].items())
        lines.extend(f"    left undone: {line}" for line in undone_lines(vnet))
    return lines


def undone_lines(vnet: dict[str, Any]) -> list[str]:
    """The hub locks a VNet's run removed and no revert put back, and its failed reverts."""
    lines = []
    for removed in vnet["hub_locks_removed"]:
        notes = f", notes {removed['notes']!r}" if removed["notes"] else ""
        since = f" since {removed['since']}" if removed["since"] else ""
        lines.append(
            f"hub lock {removed['lock']} ({removed['level']}{notes}) on "
            f"{vnet_name(removed['hub'])}: "
            f"removed by {vnet['name']}'s run{since}, not put back"
        )
    lines += [f"revert failed at {a['at']}: {a['reason']}" for a in vnet["failed_reverts"]]
    return lines


# Each kind of change the summary counts, as the forward run and the revert say it.
CHANGE_LABELS = {
    False: {
        "subnets": "subnets switched",
        "tables": "route tables changed",
        "peerings": "peerings deleted",
        "transit": "spokes attached",
        "domain": "domains joined",
    },
    True: {
        "subnets": "subnets switched back",
        "tables": "route tables restored",
        "peerings": "peerings restored",
        "transit": "spokes detached",
        "domain": "domains left",
    },
}


# A dry run's summary: what the run would do, never said as done.
WOULD_LABELS = {
    False: {
        "subnets": "subnets that would be switched",
        "tables": "route tables that would be changed",
        "peerings": "peerings that would be deleted",
        "transit": "spokes that would be attached",
        "domain": "domains that would be joined",
    },
    True: {
        "subnets": "subnets that would be switched back",
        "tables": "route tables that would be restored",
        "peerings": "peerings that would be restored",
        "transit": "spokes that would be detached",
        "domain": "domains that would be left",
    },
}


def summary_lines(document: dict[str, Any]) -> list[str]:
    """The closing summary of a run's result document (counting.py): one line per VNet and a
    total. The counts are changes that Azure showed after the step (in a dry run: the changes
    the plan holds, said as what would be done); pending items are those Azure does not show
    yet, to be tried again by the next run."""
    dry_run = document["dry_run"]
    revert = document["direction"] == "revert"
    named = (WOULD_LABELS if dry_run else CHANGE_LABELS)[revert]
    kinds = document["vnets"][0]["changed"] if document["vnets"] else {}
    labels = [(kind, named[kind]) for kind in kinds]
    labels += [("errors", "errors")] if dry_run else [("pending", "pending"), ("errors", "errors")]
    total: Counter[str] = Counter()
    heading = "dry run, nothing was changed" if dry_run else "run"
    lines = [f"Summary ({document['direction']} {heading}):"]
    for vnet in document["vnets"]:
        counts = Counter(vnet["changed"], pending=vnet["pending"], errors=vnet["errors"])
        total.update(counts)
        parts = ", ".join(f"{label} {counts[key]}" for key, label in labels)
        if dry_run:
            state = "" if vnet["would_complete"] else " (would stop)"
        else:
            state = "" if vnet["completed"] else " (incomplete)"
        if vnet.get("skipped"):
            state = f" (already {'reverted' if revert else 'done'}: skipped)"
        lines.append(f"  {vnet['name']}: {parts}{state}")
    lines.append("  total: " + ", ".join(f"{label} {total[key]}" for key, label in labels))
    return lines
