"""The plan of a run: what it will change in each VNet, built read-only before anything is
changed, shown as a table per VNet, and approved before the run applies it.

The forward plan reads Azure as the run will: the library in dry-run mode for the route tables,
peerings and their records, the subnets as the switch filters them, the locks over the VNet and
its hubs. It also checks what only Azure can tell: every hub a peering leads to must be in a
subscription the configuration holds a working credential for, since the library skips a peering
whose remote subscription it cannot reach, after the traffic had already moved. The revert plan
is read from the state file: what the forward run recorded and the revert has not yet put back.

A run over unfinished records plans only their pending items; steps done are left out.

The VNets are planned as they will run: with the run's workers, several at once (reads only).
"""

import functools
import sys
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any, TextIO

from rich import box
from rich.console import Console
from rich.prompt import Confirm
from rich.table import Table
from rich.text import Text

from qn.arm.res.VWanMgmt import VWanMgmt
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import items, locks, steps
from qn.arm.switch_traffic.config import ConfigError, DriverConfig, VnetConfig
from qn.arm.switch_traffic.state import DONE, StateFile
from qn.arm.switch_traffic.verify import Clients

# A plan read in a log file or a pipe keeps its rows whole, up to this width.
WIDTH = 200


class PlanError(RuntimeError):
    """The run cannot be planned, or its plan was not approved: nothing has been changed."""


@dataclass
class Change:
    step: str
    item: str
    before: str
    after: str


@dataclass
class VnetPlan:
    name: str
    key: str
    changes: list[Change] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    stops: str | None = None  # why the VNet's run will stop, foreseen from what Azure shows
    counts: Counter = field(default_factory=Counter)
    hubs: list[str] = field(default_factory=list)  # the hubs its peering step writes to
    removable: list[dict] = field(default_factory=list)  # hub locks its run would remove

    def add(self, step: str, item: str, before: str, after: str, counted: str = "") -> None:
        self.changes.append(Change(step, item, before, after))
        if counted:
            self.counts[counted] += 1


@dataclass
class Plan:
    revert: bool
    vnets: list[VnetPlan]

    def hubs(self) -> dict[str, set[str]]:
        """{VNet name: the hubs its peering step writes to, in lower case}."""
        return {v.name: {hub.lower() for hub in v.hubs} for v in self.vnets}

    def per_vnet(self) -> dict[str, Counter]:
        """The counts of a run that applied the plan, for the summary of a dry run."""
        return {
            v.name: Counter({**v.counts, "pending": 0, "errors": 0, "completed": v.stops is None})
            for v in self.vnets
        }


@dataclass
class Planning:
    """What the plan is built from."""

    config: DriverConfig
    state: StateFile
    clients: Clients
    open_vnet: Callable[[VnetConfig], steps.VnetRun]
    # Runs the VNets' plans and returns their results in order: one after the other, or the
    # run's workers at once.
    each: Callable[[list[Callable[[], Any]]], list[Any]] = lambda tasks: [t() for t in tasks]


def in_run_order(state: StateFile, vnets: list[VnetConfig], revert: bool) -> list[VnetConfig]:
    """Reverts go in the reverse order of the forward runs."""
    if not revert:
        return list(vnets)
    return sorted(vnets, key=lambda v: -state.order(items.vnet_key(v)))


def spread_over_hubs(ordered: list[VnetConfig], hubs: dict[str, set[str]]) -> list[VnetConfig]:
    """The VNets in rounds of at most one VNet per hub, so that the first to start (which reach
    their peering steps at about the same time) spread over the hubs instead of queueing for
    one, as an estate listed hub by hub would have them. The VNets of a hub keep their order
    among themselves: VNets that share no hub share nothing, so the state file and the revert
    (which VNet removed a hub's lock, when it is put back) see the order they would have."""
    spread: list[VnetConfig] = []
    left = ordered
    while left:
        taken: set[str] = set()  # the hubs of this round, and of the VNets left for the next
        later: list[VnetConfig] = []
        for vnet in left:
            own = hubs.get(vnet.name, set())
            (later if own & taken else spread).append(vnet)
            taken |= own
        left = later
    return spread


def build(planning: Planning, vnets: list[VnetConfig], revert: bool) -> Plan:
    """The plan of every VNet, read-only; PlanError names every VNet that cannot be planned."""
    ordered = in_run_order(planning.state, vnets, revert)
    planned = planning.each([functools.partial(vnet_plan, planning, v, revert) for v in ordered])
    problems = [outcome for outcome in planned if isinstance(outcome, str)]
    if problems:
        raise PlanError("cannot plan the run, nothing was changed:\n  " + "\n  ".join(problems))
    if not revert:
        show_lock_removals(planned)
    return Plan(revert, planned)


def vnet_plan(planning: Planning, vnet_config: VnetConfig, revert: bool) -> VnetPlan | str:
    """The VNet's plan, or why it cannot be planned."""
    try:
        return (revert_plan if revert else forward_plan)(planning, vnet_config)
    except PlanError as error:
        return f"{vnet_config.name}: {error}"
    except Exception as error:  # nothing has been changed: the run must not start
        return f"{vnet_config.name}: {type(error).__name__}: {error}"


def show_lock_removals(planned: list[VnetPlan]) -> None:
    """A hub's lock is shown removed by the first VNet of the run that would remove it: the
    run removes it once."""
    claimed: set[str] = set()
    for plan in planned:
        own = [lock for lock in plan.removable if lock["id"].lower() not in claimed]
        claimed.update(lock["id"].lower() for lock in plan.removable)
        if own:
            add_lock_rows(plan, own, revert=False)
            plan.changes.sort(key=lambda change: steps.FORWARD_STEPS.index(change.step))


# -- forward ----------------------------------------------------------------------------------


def forward_plan(planning: Planning, vnet_config: VnetConfig) -> VnetPlan:
    plan = VnetPlan(vnet_config.name, items.vnet_key(vnet_config))
    kept = kept_forward(planning, plan)
    run = planning.open_vnet(vnet_config)
    planner = steps.planning_library(run.library)
    discovered = plan_step(run, planner, steps.DISCOVER)
    switched = planned_switch(run, kept, discovered)
    pairs, removable = planned_deletion(planning, run, planner, kept, plan)
    plan.hubs = [items.hub_id(pair) for pair in (pairs or {}).get("peeringPairList", ())]
    if plan.stops:
        return plan
    if switched is not None:
        add_switch_rows(plan, pending_records(kept, steps.SWITCH, switched))
        lacking = {n: i for n, i in switched["subnets"].items() if i["lacks"]}
        if lacking:
            plan.stops = "after the subnet switch, " + lacking_text(lacking)
            return plan
    for step in (steps.PROPAGATION, steps.REMOTE_GATEWAY):
        records = step_records(
            kept, step, functools.partial(plan_step, run, planner, step, discovered)
        )
        if records is not None:
            ROWS[step](plan, pending_records(kept, step, records), False)
    if pairs is not None:
        plan.removable = removable  # its rows added once the run's plans are known
        add_pair_rows(plan, {**pairs, "locks": []}, revert=False)
    if not done(kept, steps.DOMAIN):
        attached = planning.config.configure_gw_name
        add_domain_row(plan, planning.config, vnet_config, attached, revert=False)
    return plan


def kept_forward(planning: Planning, plan: VnetPlan) -> dict:
    """The steps of an unfinished forward run that the run goes on with; none otherwise."""
    status = planning.state.forward_status(plan.key, steps.FORWARD_STEPS)
    if status == "unfinished":
        plan.notes.append("goes on with its unfinished forward run: only what is left is shown")
        return planning.state.vnet(plan.key)["forward"]
    if status in ("done", "reverting"):  # only with --force: the state check refuses it else
        plan.notes.append("the records of its earlier forward run, not reverted, are thrown away")
    return {}


def planned_switch(run: steps.VnetRun, kept: dict, discovered: dict) -> dict | None:
    if done(kept, steps.SWITCH):
        return None
    recorded = (kept.get(steps.SWITCH) or {}).get("records")
    if recorded is None:
        return items.switch_plan(run, discovered)
    return items.refresh_switch_plan(run, recorded, discovered)  # a table staged since


def planned_deletion(
    planning: Planning, run: steps.VnetRun, planner: type, kept: dict, plan: VnetPlan
) -> tuple[dict | None, list[dict]]:
    """The peering pairs to delete and the hub locks to remove; the plan stops when a lock
    stands in the way."""
    if done(kept, steps.PEERINGS):
        return None, []
    hub_credentials(planning.config, run)
    recorded = step_records(kept, steps.PEERINGS, lambda: plan_step(run, planner, steps.PEERINGS))
    if recorded is None:  # done: nothing to delete
        return None, []
    pairs = pending_records(kept, steps.PEERINGS, recorded)
    blocking, removable = locks.preflight(
        planning.clients,
        run.vnet.id,
        [items.hub_id(p) for p in pairs["peeringPairList"]],
        planning.config.delete_vnet_lock,
    )
    if blocking:
        plan.stops = "before it changes anything: a lock stands in the way: " + "; ".join(blocking)
    return pairs, removable


def lacking_text(lacking: dict) -> str:
    return "before any propagation, gateway, lock or peering change: " + "; ".join(
        f"{n} (on {i['from'] or 'no route table'}) lacks {i['lacks']}" for n, i in lacking.items()
    )


def done(kept: dict, step: str) -> bool:
    return bool((kept.get(step) or {}).get("done"))


def step_records(kept: dict, step: str, fresh: Callable[[], dict]) -> dict | None:
    """The step's records: none when it is done, those kept when it started, else fresh."""
    if done(kept, step):
        return None
    records = (kept.get(step) or {}).get("records")
    return dict(records) if records is not None else fresh()


def pending_records(kept: dict, step: str, records: dict) -> dict:
    """The records narrowed to the items that are not done yet."""
    finished = {
        name.lower()
        for name, item in (kept.get(step) or {}).get("items", {}).items()
        if item.get("status") == DONE
    }
    key = {
        steps.PROPAGATION: ("rtbPropList", "route_table_name"),
        steps.REMOTE_GATEWAY: ("peeringPropList", "localPeeringName"),
        steps.PEERINGS: ("peeringPairList", "localPeeringName"),
    }
    if step == steps.SWITCH:
        subnets = records["subnets"]
        return {"subnets": {n: i for n, i in subnets.items() if n.lower() not in finished}}
    listed, name = key[step]
    narrowed = dict(records)
    narrowed[listed] = [r for r in records[listed] if r[name].lower() not in finished]
    if "locks" in records:  # a lock put back is an item of the revert
        narrowed["locks"] = [
            lock for lock in records["locks"] if items.lock_key(lock).lower() not in finished
        ]
    return narrowed


def plan_step(run: steps.VnetRun, planner: type, step: str, discovered: dict | None = None) -> dict:
    with steps.quiet_library():
        return steps.FORWARD[step](run, planner, {steps.DISCOVER: discovered})


def hub_credentials(config: DriverConfig, run: steps.VnetRun) -> None:
    """Every VNet the peering deletion reads at the far end needs a credential: without one the
    library skips the peering, and the run would take the gateway away from a still-peered
    VNet."""
    problems = []
    for peering in run.vnet.virtual_network_peerings or ():
        if config.peering_prefix and peering.name.startswith(config.peering_prefix):
            continue  # the controller's own: left alone
        remote = peering.remote_virtual_network.id
        if VWanMgmt.getVHubNameFromPeering(remote):
            continue  # a virtual hub connection: left alone
        problem = credential_problem(config, locks.subscription_of(remote))
        if problem:
            problems.append(f"peering {peering.name} leads to {remote}: {problem}")
    if problems:
        raise PlanError("; ".join(problems))


def credential_problem(config: DriverConfig, subscription: str) -> str | None:
    try:
        credential = YamlContext().generateAzureCredential(subscription)
    except ConfigError as error:
        return str(error)
    if credential is None:
        return (
            f"its subscription {subscription} is not under 'subscriptions' in {config.path}: "
            "add it with a credential that may read and delete its peerings"
        )
    return None


# -- revert -----------------------------------------------------------------------------------


def revert_plan(planning: Planning, vnet_config: VnetConfig) -> VnetPlan:
    key = items.vnet_key(vnet_config)
    plan = VnetPlan(vnet_config.name, key)
    forward = planning.state.vnet(key)["forward"]
    reverted = planning.state.vnet(key).get("revert", {})
    if not forward:
        plan.notes.append("no records: nothing to revert")
        return plan
    for step in steps.REVERT_STEPS:
        records = (forward.get(step) or {}).get("records")
        if records is None or done(reverted, step) or step == steps.DISCOVER:
            continue
        if step == steps.DOMAIN:
            add_domain_row(plan, planning.config, vnet_config, records["attached"], revert=True)
            continue
        records = pending_records(reverted, step, records)
        if step == steps.SWITCH:  # where the subnets are now, Azure tells
            add_switch_back_rows(plan, records, current_tables(planning.open_vnet(vnet_config)))
            continue
        if step == steps.PEERINGS:
            problems = [
                f"peering {p['localPeeringName']} leads to {items.hub_id(p)}: {problem}"
                for p in records["peeringPairList"]
                if (problem := credential_problem(planning.config, p["remoteSubscriptionId"]))
            ]
            if problems:
                raise PlanError("; ".join(problems))
            plan.hubs = [items.hub_id(pair) for pair in records["peeringPairList"]]
        ROWS[step](plan, records, True)
    return plan


# -- rows -------------------------------------------------------------------------------------


def add_switch_rows(plan: VnetPlan, records: dict) -> None:
    for name, item in records["subnets"].items():
        origin = item["from"] or "no route table"
        if item["lacks"]:
            plan.add(steps.SWITCH, name, origin, f"stays: lacks {item['lacks']}")
        else:
            plan.add(steps.SWITCH, name, origin, " or ".join(item["to"]), "subnets")


def add_switch_back_rows(plan: VnetPlan, records: dict, current: dict[str, str | None]) -> None:
    """A subnet already on its old table (its forward change never showed) is left out."""
    for name, item in records["subnets"].items():
        origin = item["from"] or "no route table"
        if name.lower() not in current:
            plan.add(steps.SWITCH, name, "subnet not found", origin)
        elif not items.same(current[name.lower()], item["from"]):
            plan.add(
                steps.SWITCH, name, current[name.lower()] or "no route table", origin, "subnets"
            )


def current_tables(run: steps.VnetRun) -> dict[str, str | None]:
    """{subnet name in lower case: the name of its route table, or None}."""
    group = items.resource_group(run.vnet.id)
    return {
        subnet.name.lower(): items.last_segment(
            subnet.route_table.id if subnet.route_table else None
        )
        for subnet in run.network_client.subnets.list(group, run.vnet.name)
    }


def add_propagation_rows(plan: VnetPlan, records: dict, revert: bool) -> None:
    for record in records["rtbPropList"]:
        was = "off" if record["disable_bgp_route_propagation"] else "on"
        before, after = ("off", was) if revert else (was, "off")
        plan.add(
            steps.PROPAGATION,
            record["route_table_name"],
            f"propagation {before}",
            f"propagation {after}",
            "tables",
        )


def add_gateway_rows(plan: VnetPlan, records: dict, revert: bool) -> None:
    for record in records["peeringPropList"]:
        used = bool(record["localPeering"]["use_remote_gateways"])
        before, after = (False, used) if revert else (used, False)
        name = record["localPeeringName"]
        plan.add(steps.REMOTE_GATEWAY, name, gateway_use(before), gateway_use(after))


def gateway_use(used: bool) -> str:
    return "uses the remote gateway" if used else "does not use it"


def add_pair_rows(plan: VnetPlan, records: dict, revert: bool) -> None:
    for pair in records["peeringPairList"]:
        ends = f"{pair['localPeeringName']} <-> {pair['remotePeeringName']}"
        item = f"{ends} ({pair['remoteVnetName']})"
        if revert:
            plan.add(steps.PEERINGS, item, "deleted", "peered", "peerings")
        else:
            plan.add(steps.PEERINGS, item, "peered", "deleted", "peerings")
    add_lock_rows(plan, records.get("locks", ()), revert)


def add_lock_rows(plan: VnetPlan, removed: Iterable[dict], revert: bool) -> None:
    for lock in removed:
        item = f"{items.lock_key(lock)} on {locks.vnet_name(lock['scope'])}"
        present = f"{lock['level']} lock"
        if revert:
            plan.add(steps.PEERINGS, item, "removed", present)
        else:
            plan.add(steps.PEERINGS, item, present, "removed")


def add_domain_row(
    plan: VnetPlan, config: DriverConfig, vnet_config: VnetConfig, attached: bool, revert: bool
) -> None:
    if not attached:
        if not revert:
            plan.add(steps.DOMAIN, "-", "-", "not enabled: nothing to attach")
        return
    domain = f"in domain {vnet_config.domain or config.domain}"
    gateway = vnet_config.spoke_gw_name or "-"
    plan.add(steps.DOMAIN, gateway, domain if revert else "-", "-" if revert else domain)


ROWS: dict[str, Callable[[VnetPlan, dict, bool], None]] = {
    steps.PROPAGATION: add_propagation_rows,
    steps.REMOTE_GATEWAY: add_gateway_rows,
    steps.PEERINGS: add_pair_rows,
}


# -- showing and approving ----------------------------------------------------------------------


def show(plan: Plan, stream: TextIO) -> None:
    """A table per VNet, what stops it and the totals; colours only on a terminal."""
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
        console.print(table if vnet.changes else Text("  nothing to change"))
        for note in vnet.notes:
            console.print(Text(f"  {note}"))
        if vnet.stops:
            console.print(Text(f"  stops {vnet.stops}", style="bold red"))
    console.print(Text(totals(plan), style="bold"))


def totals(plan: Plan) -> str:
    total: Counter = Counter()
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
