"""The worlds the benchmarks run in, one builder per operation.

A builder makes everything its operation will see, then returns a `Scenario`: `run` makes the
one library call being measured, `reset` (never timed) puts back what the call changed so that
every repeat does the same work.
"""

import ipaddress
from collections.abc import Callable
from dataclasses import dataclass, field

import qn.arm.switchlib as switchlib

from .fakes import (
    RG,
    SUB,
    VNET,
    Cloud,
    LockClient,
    Locks,
    Model,
    NetworkClient,
    Peerings,
    RouteTables,
    Subnets,
    VirtualNetworks,
    resource_id,
    use_cloud,
)

# The class every scenario calls, looked up when it runs: a comparison swaps in a baseline.
ST = switchlib.SwitchTraffic


def use_library(cls):
    global ST
    ST = cls


@dataclass
class Scenario:
    operation: str
    size: int
    unit: str
    run: Callable[[], object]
    reset: Callable[[], None] = field(default=lambda: None)
    world: object = None  # what the run works on, for checks that it did its work


def the_vnet(prefixes=("10.0.0.0/16",)):
    return Model(
        id=resource_id("virtualNetworks", VNET),
        name=VNET,
        address_space=Model(address_prefixes=list(prefixes)),
        virtual_network_peerings=[],
    )


def table(name, tags=None, disable=False):
    return Model(
        id=resource_id("routeTables", name),
        name=name,
        tags=tags,
        subnets=None,
        disable_bgp_route_propagation=disable,
    )


USED = [Model(id=resource_id("virtualNetworks", VNET) + "/subnets/s")]


# -- discoverRouteTable -----------------------------------------------------------------------


def route_table_listing(count):
    """A subscription of `count` route tables: the VNet's two main tables, then in equal parts
    old tables of the VNet, their staged copies, staged copies of another VNet, and tables with
    unrelated tags. Returns the listing and the (old, new) pairs of the VNet."""
    tables = [table(f"{VNET}-main-1"), table(f"{VNET}-main-2")]
    pairs = []
    for k in range((count - 2) // 4):
        old = table(f"rt-{k}", tags={"env": "prod"})
        new = table(f"rt-{k}-new", tags={"vnet": VNET, "Org_RT": f"org_rt-{k}", "env": "prod"})
        other = table(f"ot-{k}-new", tags={"vnet": "vn-other", "Org_RT": f"org_ot-{k}"})
        plain = table(f"pl-{k}", tags={"env": "test", "owner": "net"})
        tables += [old, new, other, plain]
        pairs.append((old, new))
    return tables, pairs


def discover_route_table(count, revert):
    tables, pairs = route_table_listing(count)
    for old, new in pairs:
        # Forward tests use on the old table, revert on the new one: the subnets sit there.
        (new if revert else old).subnets = USED
    client = NetworkClient(route_tables=RouteTables(listing=tables))
    vnet = the_vnet()
    return Scenario(
        f"discoverRouteTable {'revert' if revert else 'forward'}",
        count,
        "route tables",
        lambda: ST.discoverRouteTable(client, revert, vnet, {}),
    )


# -- updateSubnetAssociation ------------------------------------------------------------------


def switch_yaml():
    return {
        "default_route_table": None,
        "subscriptionId": SUB,
        "subscriptionInfo": {"alias": "sub-app"},
        "migrate_non_associated_subnet": True,
        "subnet_in_subnet_groups": [],
    }


def subnet(vnet, name, table_id):
    return Model(
        id=f"{vnet.id}/subnets/{name}",
        name=name,
        route_table=Model(id=table_id) if table_id is not None else None,
        delegations=[],
    )


def update_subnet_association(count, revert):
    """`count` subnets: one gateway subnet, one in five without a route table (forward) or on a
    main table (revert), the rest spread over count / 4 old tables (forward) or their staged
    copies (revert)."""
    vnet = the_vnet()
    olds = [table(f"rt-{k}") for k in range(max(1, count // 4))]
    news = [table(f"rt-{k}-new") for k in range(len(olds))]
    mains = [table(f"{VNET}-main-1"), table(f"{VNET}-main-2")]
    subnets = [subnet(vnet, "GatewaySubnet", None)]
    for i in range(count - 1):
        if i % 5 == 0:
            on = mains[i % 2].id if revert else None
        else:
            on = (news if revert else olds)[i % len(olds)].id
        subnets.append(subnet(vnet, f"snet-{i}", on))
    if revert:
        pairing = {new.name: old.name for old, new in zip(olds, news, strict=True)}
        org_info = {old.name: old for old in olds}
        targets = olds
    else:
        pairing = {old.name: new.name for old, new in zip(olds, news, strict=True)}
        org_info = {}
        targets = news + mains
    client = NetworkClient(
        route_tables=RouteTables(by_name={t.name: t for t in targets}),
        subnets=Subnets(listing=subnets),
    )
    yaml = switch_yaml()
    original = [(s, s.route_table) for s in subnets]

    def reset():
        for s, route_table in original:
            s.route_table = route_table

    return Scenario(
        f"updateSubnetAssociation {'revert' if revert else 'forward'}",
        count,
        "subnets",
        lambda: ST.updateSubnetAssociation(yaml, revert, client, vnet, pairing, org_info),
        reset,
        subnets,
    )


# -- setDisableAllRouteTablePropagationInVnet ---------------------------------------------------


def disable_propagation(count):
    vnet = the_vnet()
    mains = [table(f"{VNET}-main-1"), table(f"{VNET}-main-2")]
    news = [table(f"rt-{k}-new") for k in range(count)]
    pairing = {f"rt-{k}": new.name for k, new in enumerate(news)}
    staged = [f"{t.name}:{RG}" for t in mains + news]
    every = mains + news
    client = NetworkClient(route_tables=RouteTables(by_name={t.name: t for t in every}))
    args = Model(revert=False)

    def reset():
        for t in every:
            t.disable_bgp_route_propagation = False

    return Scenario(
        "setDisableAllRouteTablePropagationInVnet",
        count,
        "pairs",
        lambda: ST.setDisableAllRouteTablePropagationInVnet(
            args, client, vnet, staged, pairing, True
        ),
        reset,
    )


# -- discoverVpcCidr ----------------------------------------------------------------------------


def discover_vpc_cidr(count, allowed=50):
    """`count` /24 prefixes against `allowed` /16 networks; a prefix lies in the network whose
    number is its second octet modulo 64, so about one in five lies in none and is compared
    with every network."""
    networks = [ipaddress.ip_network(f"10.{k}.0.0/16") for k in range(allowed)]
    prefixes = [f"10.{i % 64}.{i // 64 % 256}.0/24" for i in range(count)]
    vnet = the_vnet(prefixes)
    yaml = {"allow_vnet_cidrs": networks}
    return Scenario(
        f"discoverVpcCidr ({allowed} allowed networks)",
        count,
        "prefixes",
        lambda: ST.discoverVpcCidr(vnet, yaml),
    )


# -- deduceGwNameWithSubnetCidr -----------------------------------------------------------------


def deduce_gw_name(count):
    regions = list(switchlib.SwitchTraffic.region)
    calls = [
        (regions[i % len(regions)], f"10.{i % 256}.{i // 256 % 256}.0/24") for i in range(count)
    ]

    def run():
        deduce = ST.deduceGwNameWithSubnetCidr
        for region, cidr in calls:
            deduce(region, cidr)

    return Scenario("deduceGwNameWithSubnetCidr", count, "calls", run)


# -- peerings -----------------------------------------------------------------------------------


def peering(owner_id, name, remote_vnet_id, use_remote_gateways=False, transit=False):
    return Model(
        id=f"{owner_id}/virtualNetworkPeerings/{name}",
        name=name,
        remote_virtual_network=Model(id=remote_vnet_id),
        allow_virtual_network_access=True,
        allow_forwarded_traffic=True,
        allow_gateway_transit=transit,
        use_remote_gateways=use_remote_gateways,
    )


def peered_vnet(count):
    """The VNet with `count` peerings, each to a hub VNet of its own in a subscription of its
    own; a hub has four peerings, the one back to the VNet last. One in ten of the VNet's
    peerings was made by the controller and is skipped by name."""
    vnet = the_vnet()
    local, remote_clients = [], {}
    for k in range(count):
        sub = f"00000000-0000-0000-0001-{k:012d}"
        hub_id = resource_id("virtualNetworks", f"hub-{k}", rg=f"rg-hub-{k}", sub=sub)
        prefix = "lumaflow-" if k % 10 == 9 else "peer-"
        local.append(peering(vnet.id, f"{prefix}{k}", hub_id, use_remote_gateways=True))
        hub_peerings = [
            peering(hub_id, f"hub-{k}-to-{j}", resource_id("virtualNetworks", f"other-{j}"))
            for j in range(3)
        ]
        hub_peerings.append(peering(hub_id, f"hub-{k}-to-app", vnet.id, transit=True))
        hub = Model(id=hub_id, name=f"hub-{k}")
        remote_clients[sub] = NetworkClient(
            peerings=Peerings(listing=hub_peerings),
            virtual_networks=VirtualNetworks(listing=[hub]),
        )
    vnet.virtual_network_peerings = local
    local_client = NetworkClient(peerings=Peerings(by_name={p.name: p for p in local}))
    remote_clients[SUB] = local_client
    cloud = Cloud(remote_clients, LockClient(Locks([Model(name="hub-lock")])))
    return vnet, local, local_client, cloud


def delete_peerings(count):
    vnet, _local, client, cloud = peered_vnet(count)
    yaml = {"delete_peering": "all", "delete_vnet_lock": True}
    return Scenario(
        "deletePeerings",
        count,
        "peerings",
        lambda: ST.deletePeerings(yaml, SUB, vnet, client, "lumaflow-"),
        lambda: use_cloud(cloud),
    )


def disable_remote_gateways(count):
    vnet, local, client, cloud = peered_vnet(count)

    def reset():
        use_cloud(cloud)
        for p in local:
            p.use_remote_gateways = True

    return Scenario(
        "disableUseRemoteGwInPeering",
        count,
        "peerings",
        lambda: ST.disableUseRemoteGwInPeering(SUB, client, vnet, "lumaflow-"),
        reset,
    )


def all_scenarios(scale=1.0):
    """(small, large) pairs of every benchmark; `scale` shrinks them for a quick look."""

    def n(size):
        return max(4, int(size * scale))

    return [
        (discover_route_table(n(2_000), False), discover_route_table(n(20_000), False)),
        (discover_route_table(n(2_000), True), discover_route_table(n(20_000), True)),
        (update_subnet_association(n(200), False), update_subnet_association(n(2_000), False)),
        (update_subnet_association(n(200), True), update_subnet_association(n(2_000), True)),
        (disable_propagation(n(100)), disable_propagation(n(1_000))),
        (discover_vpc_cidr(n(100)), discover_vpc_cidr(n(1_000))),
        (deduce_gw_name(n(10_000)), deduce_gw_name(n(100_000))),
        (delete_peerings(n(50)), delete_peerings(n(500))),
        (disable_remote_gateways(n(50)), disable_remote_gateways(n(500))),
    ]
