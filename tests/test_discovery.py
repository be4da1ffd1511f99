"""Discovery: subnets and their route-table associations, main route tables."""

import ipaddress
from types import SimpleNamespace

import pytest

import fakes
import qn.arm.switchlib as switchlib

SUB, RG = "sub-1", "rg-net"


@pytest.fixture
def vn1(azure):
    vnet = fakes.vnet(SUB, RG, "vn1")
    rt = fakes.route_table(SUB, RG, "rt-app")
    azure.add_vnet(
        vnet,
        subnets=[
            fakes.subnet(vnet, "app", route_table=rt),
            fakes.subnet(vnet, "plain"),
            fakes.subnet(vnet, "GatewaySubnet", route_table=rt),
            fakes.subnet(vnet, "files", route_table=rt, delegations=["Microsoft.Netapp/volumes"]),
            fakes.subnet(vnet, "web", delegations=["Microsoft.Web/serverFarms"]),
            fakes.subnet(vnet, "Netapp", delegations=["microsoft.netapp/volumes"]),
        ],
    )
    return vnet


def test_discover_subnets_reports_each_association(ST, azure, vn1, logs):
    assert ST.discoverSubnets(azure.network_client(SUB), vn1) is None
    assert logs.lines() == [
        ("INFO", "- Discover subnet to route-table association"),
        ("INFO", "  subnet app is associated to rt-app"),
        ("INFO", "  subnet plain has no route table"),
        ("INFO", "  found Azure GatewaySubnet -- skipped "),
        ("INFO", "  files delegated to Microsoft.Netapp/volumes -- skipped"),
        ("INFO", "  subnet web has no route table"),
        ("INFO", "  subnet Netapp has no route table"),
    ]
    assert azure.calls == [(SUB, "subnets.list", (RG, "vn1"))]


def test_discover_subnets_of_an_empty_vnet(ST, azure, logs):
    empty = azure.add_vnet(fakes.vnet(SUB, RG, "empty"))
    ST.discoverSubnets(network_client=azure.network_client(SUB), vnet=empty)
    assert logs.messages() == ["- Discover subnet to route-table association"]


def test_discover_subnets_lets_a_failed_listing_through(ST, azure, vn1):
    azure.failures[("subnets.list", "vn1")] = fakes.http_error("denied", 403)
    with pytest.raises(Exception, match="denied"):
        ST.discoverSubnets(azure.network_client(SUB), vn1)


def test_subnet_association_collects_the_subnet_objects(ST):
    first, second = fakes.Model(name="a"), fakes.Model(name="b")
    assocs = ["kept"]
    ST.discoverSubnetAssociation(fakes.Model(subnets=[first, second]), assocs)
    ST.discoverSubnetAssociation(fakes.Model(subnets=None), assocs)
    ST.discoverSubnetAssociation(fakes.Model(subnets=[]), assocs)
    ST.discoverSubnetAssociation(rtb=fakes.Model(subnets=[first]), assocs=assocs)
    assert assocs == ["kept", first, second, first]
    assert assocs[1] is first


@pytest.mark.parametrize(
    "prefix, rg, name, expected",
    [
        (None, RG, "vn1-main-1", True),
        (None, RG, "vn1-main-2", True),
        (None, RG, "vn1-main-3", False),
        (None, RG, "vn1-main-10", False),
        (None, RG, "VN1-main-1", False),
        (None, "other-rg", "vn1-main-1", False),
        (None, RG.upper(), "vn1-main-1", False),
        ("shared", RG, "shared-main-2", True),
        ("shared", RG, "vn1-main-1", False),
    ],
)
def test_main_route_table_by_exact_name_and_group(ST, use_prefixes, prefix, rg, name, expected):
    use_prefixes({"vn1": prefix} if prefix else {})
    vnet = fakes.vnet(SUB, RG, "vn1")
    assert ST.isMainRtb(vnet, fakes.route_table(SUB, rg, name)) is expected


def test_main_route_table_needs_a_resource_group_in_the_ids(ST, use_prefixes):
    use_prefixes()
    with pytest.raises(IndexError, match="list index out of range"):
        ST.isMainRtb(fakes.vnet(SUB, RG, "vn1"), fakes.Model(id="rt", name="vn1-main-1"))


# -- address space -------------------------------------------------------------------------------


def nets(*texts):
    return [ipaddress.ip_network(t) for t in texts]


@pytest.mark.parametrize(
    "allowed, prefixes, expected",
    [
        (
            ["10.0.0.0/8", "192.168.0.0/16"],
            ["10.1.0.0/16", "172.16.0.0/16", "192.168.10.0/24"],
            ["10.1.0.0/16", "192.168.10.0/24"],
        ),
        ([], ["10.1.0.0/16", "fd00::/64"], []),
        (["10.1.0.0/24"], ["10.1.0.0/16", "10.1.0.0/24"], ["10.1.0.0/24"]),
        (["10.0.0.0/16"], ["10.0.255.0/24", "10.1.0.0/24", "9.255.255.0/24"], ["10.0.255.0/24"]),
        (["192.168.0.0/16", "10.0.0.0/8"], ["10.1.0.0/16", "192.168.1.0/24"], None),
        (["10.0.0.0/8"], ["10.1.0.0/16", "10.1.0.0/16"], None),
        (["10.0.0.0/8"], ["0.0.0.0/0", "10.0.0.0/7", "10.255.255.255/32"], ["10.255.255.255/32"]),
        (["fd00::/8"], ["fd00:1::/64", "fe80::/64", "fd00::/8"], ["fd00:1::/64", "fd00::/8"]),
        # Dual stack: a network of the other IP version contains nothing and the walk goes on.
        (["10.0.0.0/8"], ["10.1.0.0/16", "fd00::/64"], ["10.1.0.0/16"]),
        (["fd00::/8", "10.0.0.0/8"], ["10.1.0.0/16", "fd00:2::/48"], None),
        (["0.0.0.0/0"], ["::/0", "fd00::/64", "203.0.113.0/24"], ["203.0.113.0/24"]),
        (["::/0"], ["10.0.0.0/8", "2001:db8::/32"], ["2001:db8::/32"]),
    ],
)
def test_vnet_prefixes_inside_an_allowed_network_in_vnet_order(
    ST, logs, allowed, prefixes, expected
):
    vnet = fakes.vnet(SUB, RG, "vn1", prefixes)
    result = ST.discoverVpcCidr(vnet, {"allow_vnet_cidrs": nets(*allowed)})
    assert result == (prefixes if expected is None else expected)
    assert result is not vnet.address_space.address_prefixes
    assert logs.lines() == []


@pytest.mark.parametrize(
    "ip, allowed, expected",
    [
        ("10.1.0.0/16", ("10.0.0.0/8",), True),
        ("10.1.0.0/16", ("11.0.0.0/8",), False),
        ("10.1.0.0/16", (), False),
        ("2001:db8::/48", ("10.0.0.0/8", "2001:db8::/32"), True),
        ("10.1.0.0/16", ("2001:db8::/32",), False),
    ],
)
def test_prefix_check_answers_a_boolean(ST, ip, allowed, expected):
    assert ST.isExpectedVpcPrefix(ip=ip, prefixes=tuple(nets(*allowed))) is expected


def test_prefix_check_stops_at_the_first_containing_network(ST):
    seen = []

    def walk():
        for entry in [ipaddress.ip_network("10.0.0.0/8"), "never reached"]:
            seen.append(entry)
            yield entry

    assert ST.isExpectedVpcPrefix("10.1.0.0/16", walk()) is True
    assert seen == [ipaddress.ip_network("10.0.0.0/8")]


@pytest.mark.parametrize(
    "ip, message",
    [
        ("10.1.0.1/16", "10.1.0.1/16 has host bits set"),
        ("fd00::1/64", "fd00::1/64 has host bits set"),
        ("10.0.0.0/33", "does not appear to be an IPv4 or IPv6 network"),
        ("not-a-cidr", "does not appear to be an IPv4 or IPv6 network"),
        ("", "does not appear to be an IPv4 or IPv6 network"),
    ],
)
def test_a_malformed_vnet_prefix_is_a_value_error(ST, ip, message):
    vnet = fakes.vnet(SUB, RG, "vn1", ["10.2.0.0/16", ip])
    with pytest.raises(ValueError, match=message):
        ST.discoverVpcCidr(vnet, {"allow_vnet_cidrs": []})


@pytest.mark.parametrize(
    "entry",
    ["10.0.0.0/8", None, ipaddress.ip_address("10.0.0.0"), ipaddress.ip_interface("10.0.0.1/8")],
)
def test_an_allowed_entry_that_is_not_a_network_is_a_type_error_when_reached(ST, entry):
    allowed = [ipaddress.ip_network("192.168.0.0/16"), ipaddress.ip_network("fd00::/8"), entry]
    assert ST.isExpectedVpcPrefix("192.168.1.0/24", allowed) is True
    with pytest.raises(TypeError, match="Unable to test subnet containment between 10.1.0.0/16"):
        ST.isExpectedVpcPrefix("10.1.0.0/16", allowed)


def test_allowed_networks_are_read_before_any_prefix(ST):
    vnet = fakes.vnet(SUB, RG, "vn1", ["not-a-cidr"])
    with pytest.raises(KeyError, match="allow_vnet_cidrs"):
        ST.discoverVpcCidr(vnet, {"allow_vnet_cidrs_typo": nets("10.0.0.0/8")})


def test_vnet_prefixes_go_through_the_class_prefix_check(ST):
    asked = []

    class Checked(ST):
        @classmethod
        def isExpectedVpcPrefix(cls, ip, prefixes):
            asked.append((cls, ip, prefixes))
            return 1 if ip.startswith("10.") else 0

    allowed = ["anything the override understands"]
    vnet = fakes.vnet(SUB, RG, "vn1", ["10.1.0.0/16", "172.16.0.0/16"])
    assert Checked.discoverVpcCidr(vnet=vnet, yaml={"allow_vnet_cidrs": allowed}) == ["10.1.0.0/16"]
    assert asked == [(Checked, "10.1.0.0/16", allowed), (Checked, "172.16.0.0/16", allowed)]


# -- route tables --------------------------------------------------------------------------------

RG2 = "rg-two"


def staged(vnet_name, old_name):
    return {"vnet": vnet_name, "Org_RT": f"org_{old_name}"}


def used_by(table, *vnets):
    """Associates the table with one subnet of each VNet, as Azure reports it on the table."""
    table.subnets = [fakes.Model(id=f"{v.id}/subnets/s{i}") for i, v in enumerate(vnets)]
    return table


@pytest.fixture
def tables(azure, use_prefixes):
    """vn1's route tables in listing order, with the uses that tell the two directions apart."""
    use_prefixes()
    vn1 = fakes.vnet(SUB, RG, "vn1")
    vn2 = fakes.vnet(SUB, RG, "vn2")
    rt = lambda rg, name, tags=None, *users: azure.add_route_table(  # noqa: E731
        used_by(fakes.route_table(SUB, rg, name, tags), *users)
    )
    rt(RG, "rt-web", None, vn1)
    rt(RG, "vn1-main-1")  # main: staged without tags and without a subnet
    rt(RG, "rt-web-new", staged("vn1", "rt-web"), vn1)
    rt(RG, "rt-db", None, vn1)
    rt(RG2, "rt-db-new", staged("vn1", "rt-db"))  # not used yet: forward only
    rt(RG, "rt-idle", None)
    rt(RG, "rt-idle-new", staged("vn1", "rt-idle"), vn1)  # old one unused: revert only
    rt(RG, "rt-gone-new", staged("vn1", "rt-gone"), vn1)  # its old table was deleted
    rt(RG, "rt-other-vnet", staged("vn2", "rt-web"), vn1, vn2)
    rt(RG, "rt-no-org", {"vnet": "vn1"}, vn1)
    rt(RG, "rt-empty-tags", {}, vn1)
    rt(RG, "rt-key-case", {"VNet": "vn1", "org_rt": "org_rt-web"}, vn1)
    rt(RG, "rt-org-case", {"vnet": "vn1", "Org_RT": "ORG_rt-web"}, vn1)
    rt(RG, "rt-bare", {"vnet": "vn1", "Org_RT": "rt-web"}, vn1)
    rt(RG, "vn1-main-2", staged("vn2", "rt-web"))  # main even when tagged for another VNet
    rt(RG2, "vn1-main-1", None, vn1)  # main only in the VNet's own resource group
    return SimpleNamespace(vn1=vn1, client=azure.network_client(SUB))


def rtb_id(rg, name):
    return fakes.rid(SUB, rg, "routeTables", name)


ALERTS = [
    (
        "WARNING",
        "  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route table "
        + rtb_id(RG, name),
    )
    for name in ("rt-org-case", "rt-bare")
]


@pytest.mark.parametrize("revert", [False, 0])
def test_forward_run_pairs_old_tables_in_use_with_their_new_tables(ST, azure, tables, logs, revert):
    pairs = {"kept": "from an earlier VNet"}
    staged_list, info = ST.discoverRouteTable(tables.client, revert, tables.vn1, pairs)
    assert staged_list == [
        f"vn1-main-1:{RG}",
        f"rt-web-new:{RG}",
        f"rt-db-new:{RG2}",
        f"vn1-main-2:{RG}",
    ]
    assert pairs == {"kept": "from an earlier VNet", "rt-web": "rt-web-new", "rt-db": "rt-db-new"}
    assert info == {}
    assert logs.lines() == ALERTS
    assert azure.calls == [(SUB, "route_tables.list_all", ())]


@pytest.mark.parametrize("revert", [True, None, "", 1])
def test_revert_run_pairs_new_tables_in_use_with_their_old_tables(ST, azure, tables, logs, revert):
    pairs = {}
    staged_list, info = ST.discoverRouteTable(
        network_client=tables.client, revert=revert, vnet=tables.vn1, rtb_target_rtb_map=pairs
    )
    assert staged_list == [
        f"vn1-main-1:{RG}",
        f"rt-web-new:{RG}",
        f"rt-idle-new:{RG}",
        f"rt-gone-new:{RG}",
        f"vn1-main-2:{RG}",
    ]
    assert pairs == {"rt-web-new": "rt-web", "rt-idle-new": "rt-idle", "rt-gone-new": "rt-gone"}
    # The deleted old table gets no entry, and its alert does not stop the other pairs.
    assert {name: table.id for name, table in info.items()} == {
        "rt-web": rtb_id(RG, "rt-web"),
        "rt-idle": rtb_id(RG, "rt-idle"),
    }
    assert logs.lines() == [
        (
            "WARNING",
            "  **Alert** original route table rt-gone of new route table "
            + rtb_id(RG, "rt-gone-new")
            + " not found",
        ),
        *ALERTS,
    ]
    assert azure.calls == [(SUB, "route_tables.list_all", ())]


def test_new_tables_naming_the_same_old_table(ST, azure, use_prefixes):
    use_prefixes()
    vn1 = fakes.vnet(SUB, RG, "vn1")
    for rg, name, tags in [
        (RG, "rt-a-new", staged("vn1", "rt-a")),
        (RG, "rt-a", None),
        (RG2, "rt-a-copy", staged("vn1", "rt-a")),
        (RG2, "rt-a", None),  # same name, later in the listing: the one that counts
    ]:
        azure.add_route_table(used_by(fakes.route_table(SUB, rg, name, tags), vn1))
    client = azure.network_client(SUB)

    forward = {}
    assert ST.discoverRouteTable(client, False, vn1, forward)[0] == [
        f"rt-a-new:{RG}",
        f"rt-a-copy:{RG2}",
    ]
    assert forward == {"rt-a": "rt-a-copy"}

    backward = {}
    staged_list, info = ST.discoverRouteTable(client, True, vn1, backward)
    assert staged_list == [f"rt-a-new:{RG}", f"rt-a-copy:{RG2}"]
    assert backward == {"rt-a-new": "rt-a", "rt-a-copy": "rt-a"}
    assert list(info) == ["rt-a"] and info["rt-a"].id == rtb_id(RG2, "rt-a")

    azure.table_of(SUB, RG2, "rt-a").subnets = None  # the later twin is the one tested for use
    forward = {}
    assert ST.discoverRouteTable(client, False, vn1, forward) == ([], {})
    assert forward == {}


def test_main_tables_are_recognised_through_the_class(ST, azure, use_prefixes):
    use_prefixes({"vn1": "hub"})
    vn1 = fakes.vnet(SUB, RG, "vn1")
    for name in ("hub-main-1", "vn1-main-1", "special"):
        azure.add_route_table(fakes.route_table(SUB, RG, name))
    asked = []

    class Special(ST):
        @classmethod
        def isMainRtb(cls, vnet, rtb):
            asked.append(rtb.name)
            return ST.isMainRtb(vnet, rtb) or rtb.name == "special"

    pairs = {}
    result = Special.discoverRouteTable(azure.network_client(SUB), False, vn1, pairs)
    assert result == ([f"hub-main-1:{RG}", f"special:{RG}"], {})
    assert asked == ["hub-main-1", "vn1-main-1", "special"]
    assert pairs == {}


def test_route_table_failures_reach_the_caller(ST, azure, tables, monkeypatch):
    azure.failures[("route_tables.list_all", None)] = fakes.http_error("throttled", 429)
    with pytest.raises(Exception, match="throttled"):
        ST.discoverRouteTable(tables.client, False, tables.vn1, {})

    del azure.failures[("route_tables.list_all", None)]

    class Failing(switchlib.dl):
        @staticmethod
        def isRouteTableUsedInVnet(routeTable, vnet):
            if routeTable.name == "rt-db":
                raise RuntimeError("lookup failed")
            return True

    monkeypatch.setattr(switchlib, "dl", Failing)
    pairs = {}
    with pytest.raises(RuntimeError, match="lookup failed"):
        ST.discoverRouteTable(tables.client, False, tables.vn1, pairs)
    assert pairs == {"rt-web": "rt-web-new"}
