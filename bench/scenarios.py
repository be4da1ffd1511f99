"""The worlds the benchmarks run in, one builder per operation.

A builder makes everything its operation will see, then returns a `Scenario`: `run` makes the
one library call being measured, `reset` (never timed) puts back what the call changed so that
every repeat does the same work.
"""

import ipaddress
from collections.abc import Callable
from dataclasses import dataclass, field

from qn.arm.switchlib import SwitchTraffic as ST

from .fakes import (
    RG,
    SUB,
    VNET,
    Model,
    NetworkClient,
    RouteTables,
    Subnets,
    resource_id,
)


@dataclass
class Scenario:
    operation: str
    size: int
    unit: str
    run: Callable[[], object]
    reset: Callable[[], None] = field(default=lambda: None)


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
    regions = list(ST.region)
    calls = [
        (regions[i % len(regions)], f"10.{i % 256}.{i // 256 % 256}.0/24") for i in range(count)
    ]
    deduce = ST.deduceGwNameWithSubnetCidr

    def run():
        for region, cidr in calls:
            deduce(region, cidr)

    return Scenario("deduceGwNameWithSubnetCidr", count, "calls", run)


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
    ]
