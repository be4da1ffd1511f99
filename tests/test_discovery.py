"""Discovery: subnets and their route-table associations, main route tables."""

import ipaddress
from types import SimpleNamespace

import pytest

import fakes
import qn.arm.switchlib as switchlib

SUB, RG, RG2 = "sub-1", "rg-net", "rg-two"


def test_discover_subnets_reports_each_association(ST, azure, logs):
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
    assert ST.discoverSubnets(network_client=azure.network_client(SUB), vnet=vnet) is None
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


def test_subnet_association_collects_the_subnet_objects(ST):
    first, second = fakes.Model(name="a"), fakes.Model(name="b")
    assocs = ["kept"]
    for subnets in ([first, second], None, []):
        ST.discoverSubnetAssociation(fakes.Model(subnets=subnets), assocs)
    ST.discoverSubnetAssociation(rtb=fakes.Model(subnets=[first]), assocs=assocs)
    assert assocs == ["kept", first, second, first] and assocs[1] is first


@pytest.mark.parametrize(
    "prefix, rg, name, expected",
    [
        (None, RG, "vn1-main-1", True),
        (None, RG, "vn1-main-2", True),
        (None, RG, "vn1-main-10", False),
        (None, RG, "VN1-main-1", False),
        (None, RG2, "vn1-main-1", False),
        (None, RG.upper(), "vn1-main-1", False),
        ("shared", RG, "shared-main-2", True),
        ("shared", RG, "vn1-main-1", False),
    ],
)
def test_main_route_table_by_exact_name_and_group(ST, use_prefixes, prefix, rg, name, expected):
    use_prefixes({"vn1": prefix} if prefix else {})
    vnet = fakes.vnet(SUB, RG, "vn1")
    assert ST.isMainRtb(vnet, fakes.route_table(SUB, rg, name)) is expected
    # the names the driver plans with are the ones discovery recognises
    assert expected is (rg == RG and name in switchlib.main_table_names("vn1"))
    with pytest.raises(IndexError, match="list index out of range"):
        ST.isMainRtb(vnet, fakes.Model(id="rt", name=name))


class Text(str):
    """A str subclass: compared as Python compares it, never as raw text."""


@pytest.mark.parametrize(
    "vnet_name, table_name, table_group, expected",
    [
        ("vnété", "vnété-main-2", RG, True),
        ("vnété", "vnete-main-2", RG, False),
        ("vn1", Text("vn1-main-1"), RG, True),
        ("vn1", Text("vn1-main-1x"), RG, False),
        ("vn1", None, RG, False),
        ("vn1", 7, RG, False),
        ("vn1", "vn1-main-1", Text(RG), True),
        ("vn1", "vn1-main-1", "rg-nét", False),
        # Lone surrogates have no UTF-8 form: compared as Python compares them.
        ("vn1", "vn1-main-1\ud800", RG, False),
        ("vn\udc80", "vn\udc80-main-2", RG, True),
        ("vn1", "vn1-main-1", "rg-\ud800", False),
    ],
)
def test_main_route_table_names_and_groups_of_any_kind(
    ST, use_prefixes, vnet_name, table_name, table_group, expected
):
    use_prefixes()
    vnet = fakes.vnet(SUB, RG, vnet_name)
    table = fakes.Model(id=fakes.rid(SUB, table_group, "routeTables", "t"), name=table_name)
    assert ST.isMainRtb(vnet, table) is expected
    table.id = Text(table.id)
    assert ST.isMainRtb(vnet, table) is expected


@pytest.mark.parametrize("position, expected", [(-5, True), (-1, False), (-2, False), (-9, True)])
def test_main_route_table_with_a_resource_group_counted_from_the_end(
    ST, use_prefixes, monkeypatch, position, expected
):
    """-5 is the resource group in a route table's ID and a VNet's; -2 and -1 differ; -9 is the
    empty part before the leading "/" of both."""
    use_prefixes()
    monkeypatch.setattr(switchlib, "dl", type("Positions", (switchlib.dl,), {"RG_I": position}))
    vnet = fakes.vnet(SUB, RG, "vn1")
    assert ST.isMainRtb(vnet, fakes.route_table(SUB, RG, "vn1-main-1")) is expected
    monkeypatch.setattr(switchlib.dl, "RG_I", -10)
    with pytest.raises(IndexError, match="list index out of range"):
        ST.isMainRtb(vnet, fakes.route_table(SUB, RG, "vn1-main-1"))


@pytest.mark.parametrize(
    "position, segment",
    [
        (4, RG),
        (-5, RG),
        (8, "vn1"),
        (-1, "vn1"),
        (0, ""),
        (-9, ""),  # counted from the end onto the empty part before the leading "/"
        (9, None),
        (-10, None),
        # beyond 32 and 64 bits: an error, never a position wrapped around
        (2**32, None),
        (2**63 - 1, None),
        (2**63, None),
        (2**64 - 1, None),
        (2**64, None),
        (-(2**63) - 1, None),
        (-(2**64), None),
    ],
)
def test_resource_id_positions_index_as_python_lists(ST, azure, monkeypatch, position, segment):
    """The VNet's ID has 9 parts when split on "/"; its group is asked for at `position`."""
    monkeypatch.setattr(switchlib, "dl", type("Positions", (switchlib.dl,), {"RG_I": position}))
    vnet = azure.add_vnet(fakes.vnet(SUB, RG, "vn1"))
    if segment is None:
        with pytest.raises(IndexError):
            ST.discoverSubnets(azure.network_client(SUB), vnet)
        assert azure.calls == []
    else:
        ST.discoverSubnets(azure.network_client(SUB), vnet)
        assert azure.calls == [(SUB, "subnets.list", (segment, "vn1"))]


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
        # equal passes, wider does not, and both ends of the allowed range count
        (["10.1.0.0/24"], ["10.1.0.0/16", "10.1.0.0/24"], ["10.1.0.0/24"]),
        (["10.0.0.0/16"], ["10.0.255.0/24", "10.1.0.0/24", "9.255.255.0/24"], ["10.0.255.0/24"]),
        # the VNet's order and duplicates, not the allowed list's order
        (["192.168.0.0/16", "10.0.0.0/8"], ["10.1.0.0/16", "192.168.1.0/24"], None),
        (["10.0.0.0/8"], ["10.1.0.0/16", "10.1.0.0/16"], None),
        (["fd00::/8"], ["fd00:1::/64", "fe80::/64", "fd00::/8"], ["fd00:1::/64", "fd00::/8"]),
        # dual stack: a network of the other IP version contains nothing and the walk goes on
        (["10.0.0.0/8"], ["10.1.0.0/16", "fd00::/64"], ["10.1.0.0/16"]),
        (["fd00::/8", "10.0.0.0/8"], ["10.1.0.0/16", "fd00:2::/48"], None),
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
    answers = [ST.isExpectedVpcPrefix(ip=p, prefixes=tuple(nets(*allowed))) for p in prefixes]
    assert answers == [p in result for p in prefixes] and {type(a) for a in answers} <= {bool}


@pytest.mark.parametrize(
    "ip, key, error, message",
    [
        ("10.1.0.1/16", "allow_vnet_cidrs", ValueError, "10.1.0.1/16 has host bits set"),
        ("fd00::1/64", "allow_vnet_cidrs", ValueError, "fd00::1/64 has host bits set"),
        ("10.0.0.0/33", "allow_vnet_cidrs", ValueError, "does not appear to be an IPv4 or IPv6"),
        ("not-a-cidr", "allow_vnet_cidrs", ValueError, "does not appear to be an IPv4 or IPv6"),
        # the allowed networks are read before any prefix
        ("not-a-cidr", "allow_vnet_cidrs_typo", KeyError, "allow_vnet_cidrs"),
    ],
)
def test_a_malformed_vnet_prefix_or_configuration_fails(ST, ip, key, error, message):
    vnet = fakes.vnet(SUB, RG, "vn1", ["10.2.0.0/16", ip])
    with pytest.raises(error, match=message):
        ST.discoverVpcCidr(vnet, {key: nets("10.0.0.0/8")})


@pytest.mark.parametrize("entry", ["10.0.0.0/8", None, ipaddress.ip_interface("10.0.0.1/8")])
def test_an_allowed_entry_that_is_not_a_network_is_a_type_error_when_reached(ST, entry):
    allowed = [*nets("192.168.0.0/16", "fd00::/8"), entry]
    assert ST.isExpectedVpcPrefix("192.168.1.0/24", allowed) is True
    with pytest.raises(TypeError, match="Unable to test subnet containment between 10.1.0.0/16"):
        ST.isExpectedVpcPrefix("10.1.0.0/16", allowed)


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


def staged(vnet_name, old_name):
    return {"vnet": vnet_name, "Org_RT": f"org_{old_name}"}


def add_table(azure, rg, name, tags=None, *users):
    """A route table used by one subnet of each of `users`, as Azure reports it on the table."""
    table = fakes.route_table(SUB, rg, name, tags)
    table.subnets = [fakes.Model(id=f"{v.id}/subnets/s{i}") for i, v in enumerate(users)]
    return azure.add_route_table(table)


def rtb_id(rg, name):
    return fakes.rid(SUB, rg, "routeTables", name)


@pytest.fixture
def tables(azure, use_prefixes):
    """vn1's route tables in listing order, with the uses that tell the two directions apart."""
    use_prefixes()
    vn1, vn2 = fakes.vnet(SUB, RG, "vn1"), fakes.vnet(SUB, RG, "vn2")
    add_table(azure, RG, "rt-web", None, vn1)
    add_table(azure, RG, "vn1-main-1")  # main: staged without tags and without a subnet
    add_table(azure, RG, "rt-web-new", staged("vn1", "rt-web"), vn1)
    add_table(azure, RG, "rt-db", None, vn1)
    add_table(azure, RG2, "rt-db-new", staged("vn1", "rt-db"))  # not used yet: forward only
    add_table(azure, RG, "rt-idle", None)
    add_table(azure, RG, "rt-idle-new", staged("vn1", "rt-idle"), vn1)  # revert only
    add_table(azure, RG, "rt-gone-new", staged("vn1", "rt-gone"), vn1)  # old one deleted
    add_table(azure, RG, "rt-other-vnet", staged("vn2", "rt-web"), vn1, vn2)
    add_table(azure, RG, "rt-no-org", {"vnet": "vn1"}, vn1)
    add_table(azure, RG, "rt-empty-tags", {}, vn1)
    add_table(azure, RG, "rt-key-case", {"VNet": "vn1", "org_rt": "org_rt-web"}, vn1)
    add_table(azure, RG, "rt-org-case", {"vnet": "vn1", "Org_RT": "ORG_rt-web"}, vn1)
    add_table(azure, RG, "rt-bare", {"vnet": "vn1", "Org_RT": "rt-web"}, vn1)
    add_table(azure, RG, "vn1-main-2", staged("vn2", "rt-web"))  # main even if tagged for vn2
    add_table(azure, RG2, "vn1-main-1", None, vn1)  # main only in the VNet's own resource group
    return SimpleNamespace(vn1=vn1, client=azure.network_client(SUB))


NO_ORG = "  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route table {}"
BAD_ORG_RT = [("WARNING", NO_ORG.format(rtb_id(RG, name))) for name in ("rt-org-case", "rt-bare")]
GONE = "  **Alert** original route table rt-gone of new route table {} not found"
FORWARD = (
    ["vn1-main-1", "rt-web-new", f"rt-db-new:{RG2}", "vn1-main-2"],
    {"rt-web": "rt-web-new", "rt-db": "rt-db-new"},
    {},
    BAD_ORG_RT,
)
# the deleted old table gets no entry, and its alert does not stop the other pairs
REVERT = (
    ["vn1-main-1", "rt-web-new", "rt-idle-new", "rt-gone-new", "vn1-main-2"],
    {"rt-web-new": "rt-web", "rt-idle-new": "rt-idle", "rt-gone-new": "rt-gone"},
    {"rt-web": rtb_id(RG, "rt-web"), "rt-idle": rtb_id(RG, "rt-idle")},
    [("WARNING", GONE.format(rtb_id(RG, "rt-gone-new"))), *BAD_ORG_RT],
)


@pytest.mark.parametrize(
    "revert, expected", [(False, FORWARD), (0, FORWARD), (True, REVERT), (None, REVERT)]
)
def test_route_tables_paired_in_the_direction_of_the_run(ST, azure, tables, logs, revert, expected):
    staged_names, pairs, info, alerts = expected
    found = {"kept": "from an earlier VNet"}
    staged_list, org_info = ST.discoverRouteTable(
        network_client=tables.client, revert=revert, vnet=tables.vn1, rtb_target_rtb_map=found
    )
    assert staged_list == [n if ":" in n else f"{n}:{RG}" for n in staged_names]
    assert found == {"kept": "from an earlier VNet", **pairs}
    assert {name: table.id for name, table in org_info.items()} == info
    assert logs.lines() == alerts
    assert azure.calls == [(SUB, "route_tables.list_all", ())]


def test_new_tables_naming_the_same_old_table(ST, azure, use_prefixes):
    use_prefixes()
    vn1 = fakes.vnet(SUB, RG, "vn1")
    add_table(azure, RG, "rt-a-new", staged("vn1", "rt-a"), vn1)
    add_table(azure, RG, "rt-a", None, vn1)
    add_table(azure, RG2, "rt-a-copy", staged("vn1", "rt-a"), vn1)
    add_table(azure, RG2, "rt-a", None, vn1)  # same name, later in the listing: the one that counts
    client, both = azure.network_client(SUB), [f"rt-a-new:{RG}", f"rt-a-copy:{RG2}"]

    forward, backward = {}, {}
    assert ST.discoverRouteTable(client, False, vn1, forward)[0] == both
    assert forward == {"rt-a": "rt-a-copy"}
    staged_list, info = ST.discoverRouteTable(client, True, vn1, backward)
    assert staged_list == both and backward == {"rt-a-new": "rt-a", "rt-a-copy": "rt-a"}
    assert list(info) == ["rt-a"] and info["rt-a"].id == rtb_id(RG2, "rt-a")

    azure.table_of(SUB, RG2, "rt-a").subnets = None  # the later twin is the one tested for use
    assert ST.discoverRouteTable(client, False, vn1, {}) == ([], {})


def test_main_tables_are_recognised_through_the_class(ST, tables):
    class Special(ST):
        @classmethod
        def isMainRtb(cls, vnet, rtb):
            return rtb.name == "rt-idle"

    pairs = {}
    staged_list, _ = Special.discoverRouteTable(tables.client, False, tables.vn1, pairs)
    assert staged_list == [f"rt-web-new:{RG}", f"rt-db-new:{RG2}", f"rt-idle:{RG}"]
    assert pairs == {"rt-web": "rt-web-new", "rt-db": "rt-db-new"}


class Tags(dict):
    """A dict subclass: its items are read through items(), as Python would."""


@pytest.mark.parametrize(
    "tags",
    [
        {1: "one", "vnet": "vn1", "Org_RT": "org_rt-web"},
        {"vnet": "vn1", Text("Org_RT"): Text("org_rt-web")},
        Tags(vnet="vn1", Org_RT="org_rt-web"),
        {"vnet": "vn1", "Org_RT": Text("org_rt-web")},
    ],
)
def test_staging_tags_of_any_kind(ST, azure, use_prefixes, tags):
    use_prefixes()
    vn1 = fakes.vnet(SUB, RG, "vn1")
    add_table(azure, RG, "rt-web", None, vn1)
    table = add_table(azure, RG, "rt-web-new")
    table.tags = tags  # as given: the fake would turn a subclass into a plain dict
    pairs = {}
    assert ST.discoverRouteTable(azure.network_client(SUB), False, vn1, pairs)[0] == [
        f"rt-web-new:{RG}"
    ]
    assert pairs == {"rt-web": "rt-web-new"}


def test_cloud_and_lookup_failures_reach_the_caller(ST, azure, tables, monkeypatch):
    azure.failures[("subnets.list", "vn1")] = fakes.http_error("denied", 403)
    with pytest.raises(Exception, match="denied"):
        ST.discoverSubnets(tables.client, tables.vn1)
    azure.failures[("route_tables.list_all", None)] = fakes.http_error("throttled", 429)
    with pytest.raises(Exception, match="throttled"):
        ST.discoverRouteTable(tables.client, False, tables.vn1, {})
    del azure.failures[("route_tables.list_all", None)]

    def used(routeTable, vnet):
        if routeTable.name == "rt-db":
            raise RuntimeError("lookup failed")
        return True

    monkeypatch.setattr(switchlib.dl, "isRouteTableUsedInVnet", used)
    pairs = {}
    with pytest.raises(RuntimeError, match="lookup failed"):
        ST.discoverRouteTable(tables.client, False, tables.vn1, pairs)
    assert pairs == {"rt-web": "rt-web-new"}
