"""Discovery: subnets and their route-table associations, main route tables."""

import pytest

import fakes

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
