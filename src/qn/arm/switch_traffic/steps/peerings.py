"""delete-peerings: records both ends of each peering to the hub, then deletes them, the hub's
lock removed first when configured; the revert re-creates them with their recorded settings.

The writes to a hub (its end of a peering, its lock) are made by one VNet's run at a time. The
hub locks the library removes are recorded while the VNet holds the hub, before the library
removes them; they are put back once every VNet of the revert has its peerings on that hub
back (hub_locks.py).
"""

import dataclasses
import functools
from collections.abc import Callable
from typing import Any

from qn.arm.res.errors import ConfigError
from qn.arm.res.VWanMgmt import VWanMgmt
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import locks
from qn.arm.switch_traffic.config import DriverConfig
from qn.arm.switch_traffic.records import Change, Lock, PeeringEnd, PeeringPair, Records
from qn.arm.switch_traffic.resources import (
    Clients,
    Unreadable,
    Verdict,
    attempt,
    busy,
    only_named,
    readable,
    same,
    state_of,
    subscription_of,
    text,
    vnet_name,
)
from qn.arm.switch_traffic.rights import (
    LOCK_DELETE,
    LOCK_WRITE,
    PEER,
    PEERING_DELETE,
    PEERING_WRITE,
    Need,
    needs,
    network_id,
)
from qn.arm.switch_traffic.steps.base import Earlier, PlanError, Step, Stop, VnetRun
from qn.arm.switch_traffic.steps.remote_gateway import narrowed_vnet

PEERING_FLAGS = (
    "allow_virtual_network_access",
    "allow_forwarded_traffic",
    "allow_gateway_transit",
    "use_remote_gateways",
)
WAITING = "put back once the peerings are back"
# A pair is whole once both ends are Connected and in sync: Azure's VirtualNetworkPeeringLevel
# (azure-rest-api-specs, network virtualNetwork.json, `peeringSyncLevel`).
IN_SYNC = "FullyInSync"


class Peerings(Records):
    peeringPairList: list[PeeringPair]
    # The hub locks removed with them, recorded by the VNet that removes each.
    locks: list[Lock] = []

    def of(self, name: str) -> PeeringPair:
        return next(pair for pair in self.peeringPairList if pair.localPeeringName == name)


def pair_end(clients: Clients, pair: PeeringPair, side: str) -> Any:
    client = clients.network(getattr(pair, f"{side}SubscriptionId"))
    return client.virtual_network_peerings.get(
        getattr(pair, f"{side}RgName"),
        getattr(pair, f"{side}VnetName"),
        getattr(pair, f"{side}PeeringName"),
    )


class DeletePeerings(Step[Peerings]):
    name = "delete-peerings"
    records = Peerings
    counted = "peerings"
    checked_first = True

    def keys(self, records: Peerings) -> list[str]:
        return [pair.localPeeringName for pair in records.peeringPairList]

    def narrowed(self, records: Peerings, names: list[str]) -> Peerings:
        named = only_named(names)
        return Peerings(
            peeringPairList=[p for p in records.peeringPairList if named(p.localPeeringName)],
            locks=[lock for lock in records.locks if named(lock.key)],
        )

    def hubs(self, records: Peerings) -> list[str]:
        return [pair.hub_id for pair in records.peeringPairList]

    # -- forward ----------------------------------------------------------------------------
    def plannable(self, run: VnetRun) -> None:
        """Every VNet the peering deletion reads at the far end needs a credential: without one
        the library skips the peering, and the run would take the gateway away from a
        still-peered VNet."""
        problems = []
        for peering in run.vnet.virtual_network_peerings or ():
            prefix = run.config.peering_prefix
            if prefix and peering.name.startswith(prefix):
                continue  # the controller's own: left alone
            remote = peering.remote_virtual_network.id
            if VWanMgmt.getVHubNameFromPeering(remote):
                continue  # a virtual hub connection: left alone
            problem = credential_problem(run.config, subscription_of(remote)) or alone(peering)
            if problem:
                problems.append(f"peering {peering.name} leads to {remote}: {problem}")
        if problems:
            raise PlanError("; ".join(problems))

    def revert_plannable(self, run: VnetRun, records: Peerings) -> None:
        problems = [
            f"peering {pair.localPeeringName} leads to {pair.hub_id}: {problem}"
            for pair in records.peeringPairList
            if (problem := credential_problem(run.config, pair.remoteSubscriptionId))
        ]
        if problems:
            raise PlanError("; ".join(problems))

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> Peerings:
        pairs = library.deletePeerings(
            run.config.peering_yaml(),
            run.subscription,
            run.vnet,
            run.network_client,
            run.config.peering_prefix,
        )
        # The locks are recorded by the VNet that removes them, while it holds the hub.
        return Peerings.model_validate({"peeringPairList": pairs, "locks": []})

    def lock_check(self, run: VnetRun, records: Peerings) -> tuple[list[str], list[Lock]]:
        """The locks in the way of deleting these pairs, and the hub locks that would be
        removed."""
        return locks.preflight(
            run.clients, run.vnet.id, self.hubs(records), run.config.delete_vnet_lock
        )

    def preflight(self, run: VnetRun, records: Peerings) -> None:
        problems, _ = self.lock_check(run, records)
        if problems:
            raise Stop("a lock stands in the way: " + "; ".join(problems))

    def plan_check(self, run: VnetRun, records: Peerings) -> tuple[str | None, list[Lock]]:
        problems, removable = self.lock_check(run, records)
        if problems:
            stops = "before it changes anything: a lock stands in the way: " + "; ".join(problems)
            return stops, removable
        return None, removable

    def begin_forward(self, run: VnetRun) -> None:
        # Which local ends are left decides who deletes what.
        run.vnet = run.network_client.virtual_networks.get(
            run.vnet_config.resource_group, run.vnet_config.name
        )

    def forward(
        self, run: VnetRun, records: Peerings, pending: list[str], earlier: Earlier
    ) -> None:
        pairs = self.narrowed(records, pending).peeringPairList
        with run.hubs.holding(pair.hub_id for pair in pairs):
            self.record_hub_locks(run, records, pairs)
            self._delete_pairs(run, pairs)

    def record_hub_locks(self, run: VnetRun, records: Peerings, pairs: list[PeeringPair]) -> None:
        """Records the hub locks the library is about to remove, before it does. Listed while
        the VNet holds the hubs: of two spokes of one hub, the one that removes the lock
        records it and the other finds none; a lock put back since an earlier attempt (by
        another VNet's revert, or by hand) is recorded again, so that this VNet's revert puts
        it back too."""
        if not run.config.delete_vnet_lock:
            return
        found = locks.removable(run.clients, [pair.hub_id for pair in pairs])
        new = [lock for lock in found if not any(same(lock.id, k.id) for k in records.locks)]
        if new:
            records.locks = [*records.locks, *new]
            run.keep(self.name, records)

    def _delete_pairs(self, run: VnetRun, pairs: list[PeeringPair]) -> None:
        """Pairs whose local end is Connected are the library's to delete. The library finds a
        pair only from its local end, and goes on only once it finds the remote one, so an end
        left alone by an earlier attempt (its partner deleted) is deleted here; an end Azure is
        already deleting is left to finish, as a second delete would be refused."""
        listed = {p.name.lower(): p for p in run.vnet.virtual_network_peerings or ()}
        whole, lone = [], []
        for pair in pairs:
            local = listed.get(pair.localPeeringName.lower())
            if local is not None and connected(local):
                whole.append(pair.localPeeringName)
                continue
            remote = attempt(functools.partial(pair_end, run.clients, pair, "remote"))
            ends = {"local": local, "remote": remote if readable(remote) else None}
            lone += [(pair, side) for side, end in ends.items() if end and not busy(end)]
        if whole:
            narrowed = dataclasses.replace(run, vnet=narrowed_vnet(run.vnet, whole))
            self.plan(narrowed, run.library, Earlier())
        for pair, side in lone:
            self._delete_end(run, pair, side)

    def _delete_end(self, run: VnetRun, pair: PeeringPair, side: str) -> None:
        """Deletes one end of a pair, the hub's lock first when it is the remote end; a failure
        is logged and left to the read-back, so that the other pairs still go."""
        name, vnet = getattr(pair, f"{side}PeeringName"), getattr(pair, f"{side}VnetName")
        group = getattr(pair, f"{side}RgName")
        client = run.clients.network(getattr(pair, f"{side}SubscriptionId"))
        try:
            if side == "remote" and run.config.delete_vnet_lock:
                credential = YamlContext().generateAzureCredential(pair.remoteSubscriptionId)
                hub = client.virtual_networks.get(group, vnet)
                run.library.deleteVnetLock(credential, hub, indent=2)
            run.log.info(f"  delete peering {name} in {vnet}")
            client.virtual_network_peerings.begin_delete(group, vnet, name).result()
        except Exception as error:  # the read-back says what is left
            run.log.error(
                f"  **Error** [{run.name}] {self.name}: failed to delete peering {name} in "
                f"{vnet}: {type(error).__name__}: {error}"
            )

    # -- revert -----------------------------------------------------------------------------
    def revert(self, run: VnetRun, records: Peerings, pending: list[str]) -> None:
        pairs = self.narrowed(records, pending).peeringPairList
        creatable = [in_creatable_order(run.clients, pair).dumped() for pair in pairs]
        # As recorded: a swapped pair's remote end is local.
        with run.hubs.holding(pair.hub_id for pair in pairs):
            run.library.addPeerings(creatable)

    def revert_waits_for(self, records: Peerings) -> list[str]:
        """The hub locks, put back once every VNet's peerings on their hub are back."""
        return [lock.key for lock in records.locks]

    waiting_reason = WAITING

    # -- read-back --------------------------------------------------------------------------
    def read(self, run: VnetRun, records: Peerings, names: list[str]) -> dict[str, Any]:
        return {
            name: {
                side: attempt(functools.partial(pair_end, run.clients, records.of(name), side))
                for side in ("local", "remote")
            }
            for name in names
        }

    def judge(self, records: Peerings, name: str, ends: Any, revert: bool) -> Verdict:
        pair = records.of(name)
        problems = []
        for side, end in ends.items():
            label = f"{getattr(pair, f'{side}PeeringName')} in {getattr(pair, f'{side}VnetName')}"
            if isinstance(end, Unreadable):
                problems.append(f"{label} {end}")
            elif not revert:
                if end is not None:
                    problems.append(f"{label} still present ({text(end.peering_state)})")
            else:
                problems.extend(end_problems(label, end, getattr(pair, f"{side}Peering")))
        return not problems, "; ".join(problems)

    # -- plan -------------------------------------------------------------------------------
    def rows(self, run: VnetRun, records: Peerings, revert: bool) -> list[Change]:
        return self._rows(records, revert, lambda pair: "deleted" if revert else "peered")

    def left_rows(self, run: VnetRun, records: Peerings, revert: bool) -> list[Change]:
        """An earlier attempt may have left a pair half there: its ends as Azure shows them."""
        return self._rows(records, revert, functools.partial(self.ends_now, run))

    def revert_rows(self, run: VnetRun, records: Peerings) -> list[Change]:
        return self.left_rows(run, records, True)

    def _rows(
        self, records: Peerings, revert: bool, before: Callable[[PeeringPair], str]
    ) -> list[Change]:
        rows = []
        for pair in records.peeringPairList:
            ends = f"{pair.localPeeringName} <-> {pair.remotePeeringName}"
            item = f"{ends} ({pair.remoteVnetName})"
            after = "peered" if revert else "deleted"
            rows.append(Change(self.name, item, before(pair), after, "peerings"))
        # Forward, the locks the run would remove are shown once for the run (lock_rows).
        return rows + (self.lock_rows(records.locks, revert) if revert else [])

    def rights(self, run: VnetRun, records: Peerings, earlier: Earlier, revert: bool) -> list[Need]:
        """Both ends of each pair deleted, or re-created peered with each other; reverted, the
        hub locks the forward run removed put back."""
        actions = (PEERING_WRITE, PEER) if revert else (PEERING_DELETE,)
        wanted = []
        for pair in records.peeringPairList:
            local = network_id(
                pair.localSubscriptionId, pair.localRgName, "virtualNetworks", pair.localVnetName
            )
            for vnet in (local, pair.hub_id):
                wanted += needs(self.name, vnet, *actions)
        if revert:
            wanted += [
                n for lock in records.locks for n in needs(self.name, lock.scope, LOCK_WRITE)
            ]
        return wanted

    def lock_rights(self, removed: list[Lock]) -> list[Need]:
        """A hub lock the run removes must also be put back by its revert: a principal that
        may delete it but not write it would leave the hub unlocked for good."""
        actions = (LOCK_DELETE, LOCK_WRITE)
        return [need for lock in removed for need in needs(self.name, lock.scope, *actions)]

    def ends_now(self, run: VnetRun, pair: PeeringPair) -> str:
        """The pair as Azure shows it: peered, deleted, or which of its ends are there."""
        records = Peerings(peeringPairList=[pair])
        ends = self.read(run, records, [pair.localPeeringName])[pair.localPeeringName]
        shown = []
        for side, end in ends.items():
            label = f"{getattr(pair, f'{side}PeeringName')} in {getattr(pair, f'{side}VnetName')}"
            if isinstance(end, Unreadable):
                shown.append(f"{label} {end}")
            elif end is not None:
                shown.append(f"{label} {text(end.peering_state)}")
        if not shown:
            return "deleted"
        if len(shown) == 2 and all(readable(end) and connected(end) for end in ends.values()):
            return "peered"
        return "half there: " + "; ".join(shown)

    def lock_rows(self, removed: list[Lock], revert: bool) -> list[Change]:
        rows = []
        for lock in removed:
            item = f"{lock.key} on {vnet_name(lock.scope)}"
            present = f"{lock.level} lock"
            before, after = ("removed", present) if revert else (present, "removed")
            rows.append(Change(self.name, item, before, after))
        return rows


def connected(end: Any) -> bool:
    """Whether a peering end stands whole with its partner, as far as it shows."""
    return text(end.peering_state) == "Connected" and state_of(end) == "succeeded"


def alone(peering: Any) -> str | None:
    """Why a peering without its partner end cannot be planned: the library records a pair
    only with both ends (it could not be put back), and reports the missing one as an error."""
    state = text(peering.peering_state)
    if state in ("Connected", ""):
        return None
    return (
        f"it is {state}: its end in {vnet_name(peering.remote_virtual_network.id)} is gone "
        "(deleted by hand, or its VNet re-created), and a pair is recorded, so that a revert "
        "can put it back, only with both ends; re-create that end or delete this one "
        "(az network vnet peering delete), then run again"
    )


def end_problems(label: str, end: Any, recorded: PeeringEnd) -> list[str]:
    if end is None:
        return [f"{label} missing"]
    problems = []
    if state_of(end) != "succeeded":
        problems.append(f"{label} {state_of(end)}")
    if text(end.peering_state) != "Connected":
        problems.append(f"{label} is {text(end.peering_state)}")
    elif text(end.peering_sync_level) != IN_SYNC:  # Connected, its address space not yet synced
        problems.append(f"{label} is {text(end.peering_sync_level) or 'not in sync'}")
    for flag in PEERING_FLAGS:
        wanted = getattr(recorded, flag)
        if wanted is not None and bool(getattr(end, flag)) != bool(wanted):
            problems.append(f"{label} has {flag} {getattr(end, flag)}, recorded {wanted}")
    remote = end.remote_virtual_network.id if end.remote_virtual_network else None
    if not same(remote, recorded.remote_virtual_network.id):
        problems.append(f"{label} points at {remote}")
    return problems


def in_creatable_order(clients: Clients, pair: PeeringPair) -> PeeringPair:
    """Azure refuses a new end whose partner is Disconnected (the partner must first be
    updated back to Initiated), so an end that is still there is re-created first."""
    local = attempt(lambda: pair_end(clients, pair, "local"))
    remote = attempt(lambda: pair_end(clients, pair, "remote"))
    if local is None and remote is not None and not isinstance(remote, Unreadable):
        return pair.swapped()
    return pair


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


STEP = DeletePeerings()
