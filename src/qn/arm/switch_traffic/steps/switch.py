"""switch-subnets: moves every subnet onto its staged table, with its Terraform association.

Traffic moves here, onto tables that already carry the controller's routes; the steps after it
take the old paths away. Which subnets move, and to which table, is the library's walk: the
driver asks the library's own rule for each subnet, so that its plan and read-back expect what
the walk does.
"""

from typing import Any

from qn.arm import switchlib
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic.records import Change, Items, Records, SubnetMove
from qn.arm.switch_traffic.resources import (
    Verdict,
    attempt,
    last_segment,
    readable,
    resource_group,
    same,
    verdict,
)
from qn.arm.switch_traffic.rights import SUBNET_WRITE, TABLE_JOIN, Need, needs, network_id
from qn.arm.switch_traffic.steps import discover
from qn.arm.switch_traffic.steps.base import Earlier, Step, VnetRun
from qn.arm.terraform import Terraform

NO_TABLE = "no route table"


class Switched(Records):
    subnets: dict[str, SubnetMove]
    # The Terraform associations the library handed over, by subnet ID, kept until the subnets
    # they describe are read back.
    associations: dict[str, dict[str, str]] = {}

    def lacking(self) -> dict[str, SubnetMove]:
        return {name: move for name, move in self.subnets.items() if move.lacks}


class Switch(Step[Switched]):
    name = "switch-subnets"
    records = Switched
    counted = "subnets"

    def keys(self, records: Switched) -> list[str]:
        return list(records.subnets)

    def narrowed(self, records: Switched, names: list[str]) -> Switched:
        wanted = {n.lower() for n in names}
        return Switched(subnets={n: m for n, m in records.subnets.items() if n.lower() in wanted})

    # -- forward ----------------------------------------------------------------------------
    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> Switched:
        return switch_plan(run, earlier.of(discover.STEP))

    def replanned(self, run: VnetRun, records: Switched, earlier: Earlier) -> Switched:
        """A table staged since may let a pending subnet move: discovery is made again, and
        subnets that lacked a target get the one staged since; where every subnet came from is
        kept, and so is what else the records hold (the associations)."""
        fresh = discover.STEP.plan(run, run.library, earlier)
        discovered = earlier.of(discover.STEP).merged(fresh)
        run.keep(discover.STEP.name, discovered)
        planned = switch_plan(run, discovered).subnets
        subnets = dict(records.subnets)
        for name, move in subnets.items():
            if move.lacks and name in planned:
                subnets[name] = planned[name].model_copy(update={"from_": move.from_})
        replanned = records.model_copy(update={"subnets": subnets})
        run.keep(self.name, replanned)
        return replanned

    def forward(
        self, run: VnetRun, records: Switched, pending: list[str], earlier: Earlier
    ) -> None:
        movable = {n: m for n, m in self.narrowed(records, pending).subnets.items() if not m.lacks}
        if not movable:
            return
        wanted = {(move.from_ or "").lower() for move in movable.values()}
        pairs = earlier.of(discover.STEP).rtb_target_rtb_map
        with Terraform.holding() as held:
            try:
                run.library.updateSubnetAssociation(
                    run.vnet_config.library_yaml(),
                    False,
                    run.network_client,
                    run.vnet,
                    {old: new for old, new in pairs.items() if old.lower() in wanted},
                    {},
                )
            finally:  # a run cut off here leaves them to the next one's read-back
                if held:
                    records.associations = {**records.associations, **held}
                    run.keep(self.name, records)

    def after_forward(self, run: VnetRun, records: Switched, known: Items) -> None:
        """Writes the associations of the subnets Azure shows on their new table, and only
        those: a subnet whose write Azure refused gets none."""
        for problem in Terraform.write(records.associations, subnet_ids(run, known)):
            run.log.error(f"  **Error** [{run.name}] {self.name}: {problem}")

    def forward_stop(self, pending: Items) -> str | None:
        return "before any propagation, gateway, lock or peering change: subnets not on " + (
            "their staged or main table: "
            + "; ".join(f"{name}: {item.reason}" for name, item in pending.items())
        )

    # -- revert -----------------------------------------------------------------------------
    def revert(self, run: VnetRun, records: Switched, pending: list[str]) -> None:
        # A fresh revert-direction discovery finds every subnet that sits on a staged table, so
        # even a switch that was interrupted half-way is undone whole; the pairing is narrowed
        # to the old tables of the subnets the records name.
        pairs: dict[str, str] = {}
        _, original = run.library.discoverRouteTable(run.network_client, True, run.vnet, pairs)
        moves = self.narrowed(records, pending).subnets.values()
        wanted = {(move.from_ or "").lower() for move in moves}
        run.library.updateSubnetAssociation(
            run.vnet_config.library_yaml(),
            True,
            run.network_client,
            run.vnet,
            {new: old for new, old in pairs.items() if old.lower() in wanted},
            original,
        )

    def after_revert(self, run: VnetRun, records: Switched, known: Items) -> None:
        # The file keeps the associations Azure still has only.
        Terraform.remove(subnet_ids(run, known))

    # -- read-back --------------------------------------------------------------------------
    def read(self, run: VnetRun, records: Switched, names: list[str]) -> dict[str, Any]:
        group = resource_group(run.vnet.id)
        listed = attempt(lambda: list(run.network_client.subnets.list(group, run.vnet.name)))
        if not readable(listed):
            return dict.fromkeys(names, listed)
        by_name = {s.name.lower(): s for s in listed}
        return {name: by_name.get(name.lower()) for name in names}

    def judge(self, records: Switched, name: str, subnet: Any, revert: bool) -> Verdict:
        move = records.subnets[name]
        if not readable(subnet):
            return False, f"subnet {name} {subnet or 'not found'}"
        current = table_of(subnet)
        wanted = [move.from_] if revert else move.to
        where = f"on {current}" if current else f"on {NO_TABLE}"
        if not revert and move.lacks:
            wrong = f"{where}: lacks {move.lacks}"
        else:
            wrong = f"{where}, not on {' or '.join(w or NO_TABLE for w in wanted)}"
        return verdict(subnet, any(same(current, w) for w in wanted), wrong)

    clears_failed = True

    def clear_failed(self, run: VnetRun, names: list[str]) -> None:
        """Writes subnets back as they are. A subnet whose last operation failed stays in the
        Failed state, with its settings, until a write succeeds; the library writes only
        subnets it moves, so one that never moved is written here."""
        group = resource_group(run.vnet.id)
        subnets = run.network_client.subnets
        for name in names:
            run.log.info(f"  write {name} again to clear its Failed state")
            subnet = subnets.get(group, run.vnet.name, name)
            subnets.begin_create_or_update(group, run.vnet.name, name, subnet).result()

    # -- plan -------------------------------------------------------------------------------
    def rows(self, run: VnetRun, records: Switched, revert: bool) -> list[Change]:
        rows = []
        for name, move in records.subnets.items():
            origin = move.from_ or NO_TABLE
            if move.lacks:
                rows.append(Change(self.name, name, origin, f"stays: lacks {move.lacks}"))
            else:
                rows.append(Change(self.name, name, origin, " or ".join(move.to), "subnets"))
        return rows

    def plan_stops(self, records: Switched) -> str | None:
        lacking = records.lacking()
        if not lacking:
            return None
        return (
            "after the subnet switch, "
            + "before any propagation, gateway, lock or peering "
            + (
                "change: "
                + "; ".join(
                    f"{n} (on {m.from_ or NO_TABLE}) lacks {m.lacks}" for n, m in lacking.items()
                )
            )
        )

    def rights(self, run: VnetRun, records: Switched, earlier: Earlier, revert: bool) -> list[Need]:
        """The subnets' writes, and forward the joining of each staged table they move onto.
        Reverted, the old tables are joined again too; their groups are the library's to
        find and the records do not keep them, so that join is left to Azure to refuse."""
        moving = [move for move in records.subnets.values() if revert or not move.lacks]
        if not moving:
            return []
        wanted = needs(self.name, run.vnet.id, SUBNET_WRITE)
        if revert:
            return wanted
        groups = {
            discover.Discovered.table(entry).lower(): entry.split(":", 1)[-1]
            for entry in earlier.of(discover.STEP).stagedUdrLst
        }
        own = resource_group(run.vnet.id)
        for table in sorted({name for move in moving for name in move.to if name}):
            group = groups.get(table.lower(), own)
            table_id = network_id(run.subscription, group, "routeTables", table)
            wanted += needs(self.name, table_id, TABLE_JOIN)
        return wanted

    def revert_rows(self, run: VnetRun, records: Switched) -> list[Change]:
        """Where the subnets are now, Azure tells; a subnet already on its old table (its
        forward change never showed) is left out."""
        group = resource_group(run.vnet.id)
        current = {
            subnet.name.lower(): table_of(subnet)
            for subnet in run.network_client.subnets.list(group, run.vnet.name)
        }
        rows = []
        for name, move in records.subnets.items():
            origin = move.from_ or NO_TABLE
            if name.lower() not in current:
                rows.append(Change(self.name, name, "subnet not found", origin))
            elif not same(current[name.lower()], move.from_):
                now = current[name.lower()] or NO_TABLE
                rows.append(Change(self.name, name, now, origin, "subnets"))
        return rows


def table_of(subnet: Any) -> str | None:
    return last_segment(subnet.route_table.id if subnet.route_table else None)


def subnet_ids(run: VnetRun, known: Items) -> list[str]:
    """The resource IDs of the subnets among these items that Azure shows done."""
    return [f"{run.vnet.id}/subnets/{name}" for name, item in known.items() if item.done]


# -- which subnets move: the library's rule, asked per subnet -----------------------------------


def switch_plan(run: VnetRun, discovered: discover.Discovered) -> Switched:
    """Every subnet the switch must move: where it is ("from"), the tables it may end on
    ("to"), and what it lacks when it cannot move. Subnets the library leaves alone by design
    (Azure-reserved names, NetApp delegation, spoke-gateway subnets, subnets without a table
    when those are not migrated) are not items."""
    vnet, vnet_config = run.vnet, run.vnet_config
    staged = {table.lower() for table in discovered.staged_tables()}
    mains = switchlib.main_table_names(vnet.name)
    replicated = (
        YamlContext().getGlobalContext("configure_shared_route_table_replication") or 0
    ) > 0
    plan: dict[str, SubnetMove] = {}
    yaml = vnet_config.library_yaml()
    pairs = discovered.rtb_target_rtb_map
    for subnet in run.network_client.subnets.list(resource_group(vnet.id), vnet.name):
        kind, target = switchlib.forward_switch_target(yaml, vnet, subnet, pairs)
        current = table_of(subnet)
        if kind == "main":
            missing = [m for m in mains if m.lower() not in staged]
            lacks = f"the main table {' and '.join(missing)}" if missing else None
            plan[subnet.name] = SubnetMove(from_=current, to=mains, lacks=lacks)
        elif kind == "not_copied" and current and current.lower() not in staged:
            lacks = f"a staged copy of {current}"
            plan[subnet.name] = SubnetMove(from_=current, to=[], lacks=lacks)
        elif kind == "staged":
            # discovery.json may name another staged table for the subnet
            targets = sorted(set(discovered.staged_tables())) if replicated else [target or ""]
            plan[subnet.name] = SubnetMove(from_=current, to=targets, lacks=None)
    return Switched(subnets=plan)


STEP = Switch()
