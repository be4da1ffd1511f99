"""How long a run will take: each VNet's chain of waits, from Azure's typical durations and the
plan's items, and the estate's time with the run's workers and the hubs' turns.

A VNet's steps run one after the other, and most of their time is Azure's: a write the library
waits for is seen done at the first look after its duration (the SDK's poller looks at once,
then after each `Retry-After` Azure announces), a write it starts without waiting is seen done
by the driver's read-back, which looks every `Waits.interval`. The peering step writes to the
hub under the hub's turn (`HubTurns`), so the VNets of one hub queue there. The client's own
time is a fixed cost per request, paid in one interpreter whatever the workers.

The same model gives the benchmark's lower limit (`lower_limit`): with no client time and no
read-back interval, the waits alone, which no run can beat.
"""

import heapq
import math
from collections import Counter, defaultdict
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

from qn.arm import typical_durations
from qn.arm.switch_traffic.options import RunOptions, Waits
from qn.arm.switch_traffic.plan import Plan, VnetPlan, spread_over_hubs
from qn.arm.switch_traffic.steps import domain, peerings, propagation, remote_gateway, switch
from qn.arm.switch_traffic.steps import transit as transit_step

# The client's own time per request, measured on the estate benchmark with the emulator in a
# process of its own (docs/benchmarks.md, "The estate of 100 VNets"): what a subnet's switch
# takes beyond its waits, divided by its requests. One VNet alone: 6.7 ms a request. With 32
# workers in one interpreter each request also queues behind the others' (the interpreter, TLS,
# the machine's cores): 33 ms forward and 38 ms back since the VNets share their listings,
# 0.9 ms more per other worker. The same per-request time is the floor of a whole run: its
# requests one after the other.
REQUEST_SECONDS = 0.0067
CONTENTION_SECONDS = 0.0009


@dataclass(frozen=True)
class Requests:
    """Requests a run sends per item, the plan's, preflight's and read-back's reads and the
    looks at Azure's operations included: a spoke of 20 subnets, 5 tables and one peering to
    its hub sends about 198 forward, 164 back (docs/benchmarks.md, the estate's figures)."""

    per_vnet: int = 40
    subnet: int = 6
    table: int = 3
    gateway_peering: int = 4
    peering_pair: int = 12
    transit: int = 6
    domain: int = 2


@dataclass(frozen=True)
class Assumed:
    """The durations an estimate assumes, in seconds: Azure's and the controller's per kind of
    write, how often Azure's poller and the driver's read-back look, the client per request."""

    azure: Mapping[str, float] = field(default_factory=lambda: dict(typical_durations.AZURE))
    controller: Mapping[str, float] = field(
        default_factory=lambda: dict(typical_durations.CONTROLLER)
    )
    poll: float = typical_durations.POLL_INTERVAL
    readback: float = Waits().interval
    request: float = REQUEST_SECONDS
    contention: float = CONTENTION_SECONDS
    workers: int = 1
    requests: Requests = Requests()

    def request_seconds(self) -> float:
        """What one request of a VNet's chain costs the chain, with the run's workers."""
        return self.request + self.contention * (self.workers - 1)

    @classmethod
    def for_run(cls, options: RunOptions) -> "Assumed":
        """Azure's times on the run's clock (an emulator's may run faster), its own waits."""
        return cls().scaled(options.time_scale, options.waits.interval)

    @classmethod
    def waits_only(cls, azure: Mapping[str, float], poll: float) -> "Assumed":
        """Azure's waits alone: no client time, the read-back seeing a write as it ends."""
        return cls(azure=azure, poll=poll, readback=0.0, request=0.0, contention=0.0)

    def scaled(self, scale: float, readback: float) -> "Assumed":
        return replace(
            self,
            azure={kind: s * scale for kind, s in self.azure.items()},
            controller={kind: s * scale for kind, s in self.controller.items()},
            poll=self.poll * scale,
            readback=readback,
        )


@dataclass(frozen=True)
class Work:
    """What one VNet's run changes, as far as the waits go."""

    hub: str | None  # the hub its peering step writes to (its turn), if any
    subnets: int  # subnets moved, each written and waited for, one after the other
    tables: int  # staged tables whose propagation changes (written together, read back)
    gateway_peerings: int  # peerings whose remote-gateway use changes (likewise)
    peerings: int  # peering pairs to the hub deleted, or re-created (each end waited for)
    locks: int = 0  # hub locks its peering step removes (forward) or the run puts back
    transit: bool = False  # attached to (detached from) its transit by the controller
    managed: int = 0  # the route tables the attachment manages
    domain: bool = False  # joins (leaves) a security domain

    def requests(self, per: Requests) -> int:
        return (
            per.per_vnet
            + self.subnets * per.subnet
            + self.tables * per.table
            + self.gateway_peerings * per.gateway_peering
            + self.peerings * per.peering_pair
            + self.transit * per.transit
            + self.domain * per.domain
        )


def seen_done(seconds: float, poll: float) -> float:
    """When a poller that looks at once, then every `poll` seconds, sees a write of this
    duration done (a poll of 0: as it ends)."""
    if seconds <= 0:
        return 0.0
    return math.ceil(seconds / poll) * poll if poll > 0 else seconds


@dataclass(frozen=True)
class Chain:
    """One VNet's time: before its peering step, the peering step (held under its hub's turn),
    after it."""

    before: float
    hub: float
    after: float

    @property
    def total(self) -> float:
        return self.before + self.hub + self.after


def controller_seconds(work: Work, revert: bool, assumed: Assumed) -> float:
    """The controller's steps: its own work and its Azure writes, then the read-back."""
    azure, own, poll = assumed.azure, assumed.controller, assumed.poll
    seconds = 0.0
    if work.transit:
        peering = seen_done(azure["peering_delete" if revert else "peering_put"], poll)
        tables = work.managed * seen_done(azure["route_table_put"], poll)
        seconds += own["detach" if revert else "attach"] + 2 * peering + tables
    if work.domain:
        seconds += own["disassociate" if revert else "associate"]
    return seen_done(seconds, assumed.readback)


def chain(work: Work, revert: bool, assumed: Assumed) -> Chain:
    azure, poll, readback = assumed.azure, assumed.poll, assumed.readback
    switched = work.subnets * seen_done(azure["subnet_put"], poll)
    tables = seen_done(azure["route_table_put"], readback) if work.tables else 0.0
    gateway = seen_done(azure["peering_put"], readback) if work.gateway_peerings else 0.0
    # The peering step's requests are sent under the hub's turn, so the hub's other VNets wait
    # for them too.
    pair_requests = work.peerings * assumed.requests.peering_pair
    client = (work.requests(assumed.requests) - pair_requests) * assumed.request_seconds()
    pairs = pair_requests * assumed.request_seconds()
    controller = controller_seconds(work, revert, assumed)
    if revert:
        pairs += work.peerings * 2 * seen_done(azure["peering_put"], poll)
        return Chain(0.0, pairs, gateway + tables + switched + controller + client)
    pairs += work.peerings * 2 * seen_done(azure["peering_delete"], poll)
    pairs += work.locks * azure["lock_delete"]
    return Chain(controller + switched + tables + gateway + client, pairs, 0.0)


# -- the estate -------------------------------------------------------------------------------


def estate_seconds(works: Sequence[Work], parallel: int, revert: bool, assumed: Assumed) -> float:
    """The run of these VNets, in this order, with `parallel` workers: each VNet starts on the
    first worker free and queues for its hub's turn at its peering step. The revert puts the
    hubs' locks back one after the other once every VNet is done. No faster than the client's
    requests one after the other."""
    if not works:
        return 0.0
    free = [0.0] * max(1, min(parallel, len(works)))
    hub_free: dict[str, float] = defaultdict(float)
    end = 0.0
    for work in works:
        own = chain(work, revert, assumed)
        start = heapq.heappop(free)
        turn = start + own.before
        if work.hub is not None:
            turn = max(turn, hub_free[work.hub])
            hub_free[work.hub] = turn + own.hub
        done = turn + own.hub + own.after
        heapq.heappush(free, done)
        end = max(end, done)
    if revert:
        end += sum(work.locks for work in works) * assumed.azure["lock_put"]
    client = sum(work.requests(assumed.requests) for work in works) * assumed.request
    return max(end, client)


@dataclass(frozen=True)
class Estimate:
    """Seconds a run is expected to take: each VNet alone, and the estate at `parallel`."""

    vnets: dict[str, float]
    estate: float
    parallel: int

    def document(self) -> dict[str, Any]:
        return {
            "seconds": round(self.estate),
            "parallel": self.parallel,
            "vnets": {name: round(seconds) for name, seconds in self.vnets.items()},
        }


def work_of(vnet: VnetPlan) -> Work:
    """The waits of the VNet's plan, from its rows per step (a row that changes nothing, such
    as a subnet that stays, counts for nothing)."""
    counted = Counter((change.step, change.counted) for change in vnet.changes)
    steps = Counter(change.step for change in vnet.changes)
    pairs = counted[peerings.STEP.name, "peerings"]
    return Work(
        hub=min((hub.lower() for hub in vnet.hubs), default=None),
        subnets=counted[switch.STEP.name, "subnets"],
        tables=counted[propagation.STEP.name, "tables"],
        gateway_peerings=steps[remote_gateway.STEP.name],
        peerings=pairs,
        locks=steps[peerings.STEP.name] - pairs,
        transit=bool(counted[transit_step.STEP.name, "transit"]),
        managed=counted[propagation.STEP.name, "tables"],
        domain=bool(counted[domain.STEP.name, "domain"]),
    )


def estimate(plan: Plan, parallel: int, assumed: Assumed) -> Estimate:
    """The plan's time, each VNet alone and the estate in the order the run takes them."""
    works = {vnet.name: work_of(vnet) for vnet in plan.vnets}
    ordered = spread_over_hubs(plan.vnets, plan.hubs()) if parallel > 1 else plan.vnets
    alone = replace(assumed, workers=1)
    together = replace(assumed, workers=max(1, min(parallel, len(works))))
    return Estimate(
        {name: chain(work, plan.revert, alone).total for name, work in works.items()},
        estate_seconds([works[v.name] for v in ordered], parallel, plan.revert, together),
        parallel,
    )


def about(seconds: float) -> str:
    """A duration as an operator plans with it: whole minutes, at least one."""
    return f"about {max(1, round(seconds / 60))} min"


# -- the lower limit --------------------------------------------------------------------------


@dataclass(frozen=True)
class Limit:
    """The lower limit of a run's wall time and the bounds it is the largest of."""

    bounds: dict[str, float]

    @property
    def seconds(self) -> float:
        return max(self.bounds.values())

    @property
    def binding(self) -> str:
        return max(self.bounds, key=self.bounds.__getitem__)


def lower_limit(
    works: Sequence[Work], locked: set[str], parallel: int, revert: bool, assumed: Assumed
) -> Limit:
    """No run of these VNets with `parallel` workers can take less than any of these bounds
    (with `Assumed.waits_only`, Azure's waits alone):

    chain: the longest single VNet's chain of waits;
    hub: per hub, its VNets' peering steps one after the other, plus its lock call, after the
      shortest time any of them needs before its peering step and before the shortest time any
      needs after it (the revert's lock is put back only after the hub's last peering step);
    slot: every VNet holds a worker for its chain at least, the removal of a hub's lock (inside
      the peering step of a VNet) included, shared out over `parallel` workers;
    wave: with M VNets, some worker runs ceil(M / parallel) of them, at least the shortest.

    `locked` names the hubs whose lock a run removes and puts back; the works' own `locks`
    are not counted here.
    """
    bare = [replace(w, locks=0) for w in works]
    chains = [chain(w, revert, assumed) for w in bare]
    lock = assumed.azure["lock_put" if revert else "lock_delete"]
    hub_bound = 0.0
    for hub in {w.hub for w in bare}:
        own = [c for w, c in zip(bare, chains, strict=True) if w.hub == hub]
        serial = sum(c.hub for c in own)
        after = min(c.after for c in own)
        if hub in locked:
            serial, after = (serial, max(after, lock)) if revert else (serial + lock, after)
        hub_bound = max(hub_bound, min(c.before for c in own) + serial + after)
    totals = sorted(c.total for c in chains)
    removals = 0.0 if revert else lock * len(locked)
    return Limit(
        {
            "chain": totals[-1],
            "hub": hub_bound,
            "slot": (sum(totals) + removals) / parallel,
            "wave": sum(totals[: math.ceil(len(totals) / parallel)]),
        }
    )


def of_run(plan: Plan, options: RunOptions, vnets: int) -> Estimate:
    """The plan's estimate with the workers the run will have, on the run's clock."""
    return estimate(plan, max(1, min(options.parallel, vnets)), Assumed.for_run(options))
