"""attach-transit: attaches the spoke gateway to its transit gateway, the staged route tables as
its managed tables, before the subnets move onto them; the revert detaches it once the subnets
are back. A spoke attached before the run stays attached.

The controller does the attaching; Azure shows it. An item counts only when both show it: the
controller lists the attachment with every staged table, Azure shows the spoke–transit peering
Connected at both ends, and each staged table carries the controller's routes (next hop: the
spoke gateway). Reverted, none of these is left.
"""

import functools
from collections.abc import Callable
from typing import Any

from qn.arm.lumaflow import GatewayInfo, LumaflowError
from qn.arm.switch_traffic.records import Change, Records
from qn.arm.switch_traffic.resources import (
    Verdict,
    attempt,
    readable,
    resource_group,
    same,
    state_of,
    subscription_of,
    text,
    vnet_name,
)
from qn.arm.switch_traffic.steps import discover
from qn.arm.switch_traffic.steps.base import Earlier, PlanError, Step, VnetRun
from qn.arm.switch_traffic.steps.peerings import IN_SYNC

ATTACHMENT, PEERING = "attachment", "peering"


class TransitAttachment(Records):
    enabled: bool
    spoke: str | None = None
    transit: str | None = None
    # The spoke's managed tables as the controller takes them: "<name>:<resource group>".
    route_tables: list[str] = []
    attached_before: bool = False  # to this transit, before the run: the revert leaves it
    transit_vnet: str | None = None  # the transit's VNet (resource ID)
    spoke_ip: str | None = None  # the next hop of the controller's routes

    def tables(self) -> list[str]:
        return [entry.split(":")[0] for entry in self.route_tables]


def routes_item(table: str) -> str:
    return f"routes in {table}"


def spoke_of(run: VnetRun, spoke: str) -> GatewayInfo:
    """The spoke gateway as the controller lists it."""
    session = run.controller
    assert session is not None  # a step in play has a controller
    found = [g for g in session.list_gateways() if g.name == spoke]
    if not found:
        raise LumaflowError(f"the controller knows no gateway {spoke}")
    return found[0]


class AttachTransit(Step[TransitAttachment]):
    name = "attach-transit"
    records = TransitAttachment
    counted = "transit"
    revert_goes_on = True

    def in_play(self, config: Any) -> bool:
        return bool(config.transit_enabled)

    def counts_as_change(self, name: str) -> bool:
        return name == ATTACHMENT  # one attachment, however many tables it manages

    def keys(self, records: TransitAttachment) -> list[str]:
        if not records.enabled:
            return []
        return [ATTACHMENT, PEERING, *(routes_item(table) for table in records.tables())]

    def narrowed(self, records: TransitAttachment, names: list[str]) -> TransitAttachment:
        return records  # one call attaches (or detaches) the whole

    def hubs(self, records: TransitAttachment) -> list[str]:
        # The controller peers the transit's VNet with each spoke: Azure refuses a second
        # peering write on a VNet while one runs, so spokes of one transit take turns.
        return [records.transit_vnet] if records.enabled and records.transit_vnet else []

    # -- forward ----------------------------------------------------------------------------
    def plannable(self, run: VnetRun) -> None:
        """Asks the controller before anything changes: is it reachable, is the login
        accepted, are both gateways known, and where is the spoke attached."""
        if not run.config.transit_enabled:
            return
        try:
            names = run.gateways()
            gateways = {g.name: g for g in run.session().list_gateways()}
        except LumaflowError as error:
            raise PlanError(f"the controller: {error}") from None
        for name, kind in ((names.spoke, "spoke"), (names.transit, "transit")):
            if name not in gateways:
                raise PlanError(f"the controller knows no {kind} gateway {name}")
        attached = gateways[names.spoke].transit
        if attached and attached != names.transit:
            raise PlanError(
                f"spoke gateway {names.spoke} is attached to {attached}, not to {names.transit}: "
                "detach it there first, or name that transit"
            )

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> TransitAttachment:
        if not run.config.transit_enabled:
            return TransitAttachment(enabled=False)
        names = run.gateways()
        spoke = spoke_of(run, names.spoke)
        config = run.config
        _, transit_vnet = library.getTransitVnet(config.api_endpoint_url, config.cid, names.transit)
        if transit_vnet is None:
            raise LumaflowError(f"the transit gateway {names.transit}'s VNet was not found")
        return TransitAttachment(
            enabled=True,
            spoke=names.spoke,
            transit=names.transit,
            route_tables=list(earlier.of(discover.STEP).stagedUdrLst),
            attached_before=spoke.transit == names.transit,
            transit_vnet=transit_vnet.id,
            spoke_ip=spoke.private_ip,
        )

    def forward(
        self, run: VnetRun, records: TransitAttachment, pending: list[str], earlier: Earlier
    ) -> None:
        # Sent again when something is missing: the controller writes what is not there.
        assert records.spoke and records.transit
        with run.hubs.holding(self.hubs(records)):
            run.session().attach_spoke(records.spoke, records.transit, records.route_tables)

    # -- revert -----------------------------------------------------------------------------
    def revert(self, run: VnetRun, records: TransitAttachment, pending: list[str]) -> None:
        if records.attached_before:
            return  # not this run's to undo
        assert records.spoke
        with run.hubs.holding(self.hubs(records)):
            run.session().detach_spoke(records.spoke)

    # -- read-back --------------------------------------------------------------------------
    def read(self, run: VnetRun, records: TransitAttachment, names: list[str]) -> dict[str, Any]:
        reads: dict[str, Callable[[], Any]] = {
            ATTACHMENT: functools.partial(spoke_of, run, records.spoke or ""),
            PEERING: functools.partial(self.peering_ends, run, records),
            **{
                routes_item(entry.split(":")[0]): functools.partial(self.routes, run, entry)
                for entry in records.route_tables
            },
        }
        return {name: attempt(reads[name]) for name in names}

    @staticmethod
    def peering_ends(run: VnetRun, records: TransitAttachment) -> dict[str, Any]:
        """The spoke's end and the transit's end of their peering, or None where missing."""
        transit = records.transit_vnet or ""
        spoke_ends = run.network_client.virtual_network_peerings.list(
            resource_group(run.vnet.id), run.vnet.name
        )
        client = run.clients.network(subscription_of(transit))
        transit_ends = client.virtual_network_peerings.list(
            resource_group(transit), vnet_name(transit)
        )
        return {
            "spoke": next((p for p in spoke_ends if _points_at(p, transit)), None),
            "transit": next((p for p in transit_ends if _points_at(p, run.vnet.id)), None),
        }

    @staticmethod
    def routes(run: VnetRun, entry: str) -> Any:
        name, _, group = entry.partition(":")
        return run.network_client.route_tables.get(group or resource_group(run.vnet.id), name)

    def judge(self, records: TransitAttachment, name: str, seen: Any, revert: bool) -> Verdict:
        if not readable(seen) and seen is not None:
            return False, str(seen)
        if revert and records.attached_before:
            return True, ""  # attached before the run: left as it was
        if name == ATTACHMENT:
            return _judge_attachment(records, seen, revert)
        if name == PEERING:
            return _judge_peering(records, seen, revert)
        return _judge_routes(records, seen, revert)

    # -- plan -------------------------------------------------------------------------------
    def rows(self, run: VnetRun, records: TransitAttachment, revert: bool) -> list[Change]:
        if not records.enabled:
            return []
        item = f"{records.spoke} -> {records.transit}"
        if records.attached_before:
            return [] if revert else [Change(self.name, item, "attached", "attached (as before)")]
        managed = f"attached, managing {', '.join(records.tables())}"
        before, after = (managed, "detached") if revert else ("detached", managed)
        return [Change(self.name, item, before, after, self.counted or "")]


def _points_at(peering: Any, vnet_id: str) -> bool:
    remote = peering.remote_virtual_network
    return same(remote.id if remote else None, vnet_id)


def _judge_attachment(records: TransitAttachment, spoke: Any, revert: bool) -> Verdict:
    if spoke is None:
        return False, f"the controller does not list {records.spoke}"
    if revert:
        if spoke.transit:
            return False, f"{records.spoke} still attached to {spoke.transit}"
        return True, ""
    if spoke.transit != records.transit:
        return False, f"{records.spoke} attached to {spoke.transit or 'no transit'}"
    managed = {entry.lower() for entry in spoke.route_tables}
    missing = [e for e in records.route_tables if e.lower() not in managed]
    if missing:
        return False, f"the controller does not manage {', '.join(missing)}"
    return True, ""


def _judge_peering(records: TransitAttachment, ends: dict[str, Any], revert: bool) -> Verdict:
    problems = []
    for side, end in ends.items():
        if revert:
            if end is not None:
                problems.append(f"the {side}'s end {end.name} still present")
        elif end is None:
            problems.append(f"the {side}'s end missing")
        elif text(end.peering_state) != "Connected" or state_of(end) != "succeeded":
            problems.append(f"the {side}'s end {end.name} is {text(end.peering_state)}")
        elif text(end.peering_sync_level) != IN_SYNC:
            problems.append(f"the {side}'s end {end.name} is {text(end.peering_sync_level)}")
    return not problems, "; ".join(problems)


def _judge_routes(records: TransitAttachment, table: Any, revert: bool) -> Verdict:
    if table is None:
        return False, "route table not found"
    hops = [r for r in table.routes or () if r.next_hop_ip_address == records.spoke_ip]
    if revert and hops:
        return False, f"{len(hops)} of the controller's routes left"
    if not revert and not hops:
        return False, f"no route to the spoke gateway {records.spoke_ip}"
    return True, ""


STEP = AttachTransit()
