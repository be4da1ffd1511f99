"""Gateways and controller: gateway detection, gateway names, transit lookup, security domain."""

from types import SimpleNamespace

import azure.mgmt.resourcegraph.models as graph_models
import pytest

import fakes
import qn.arm.switchlib as switchlib
from qn.arm.lumaflow import LumaflowError

SUB, RG = "sub-1", "rg-net"


# -- fakes of the Resource Graph package and the controller client ------------------------------


class FakeGraph:
    """The Resource Graph package: a fake client over the SDK's own (keyword-only) models."""

    def __init__(self, response):
        self.response = response
        self.error = None
        self.credentials = []
        self.requests = []
        graph = self

        class ResourceGraphClient:
            def __init__(self, credential):
                graph.credentials.append(credential)

            def resources(self, query):
                graph.requests.append(query)
                if graph.error is not None:
                    raise graph.error
                return graph.response

        self.package = SimpleNamespace(ResourceGraphClient=ResourceGraphClient, models=graph_models)


def graph_response(rows, total=None):
    return fakes.Model(total_records=len(rows) if total is None else total, data=rows)


@pytest.fixture
def use_graph(monkeypatch):
    def install(response):
        graph = FakeGraph(response)
        monkeypatch.setattr(switchlib, "arg", graph.package)
        return graph

    return install


class Answer:
    """A controller response: json() gives the answer, or raises as a non-JSON body would."""

    def __init__(self, body):
        self.body = body

    def json(self):
        if isinstance(self.body, Exception):
            raise self.body
        return self.body


class FakeLumaflow:
    """The controller client, class-level like the real one; every call recorded."""

    def __init__(self, gateways=None, accounts=None):
        self.answers = {"list_gateway_info": gateways, "list_accounts": accounts}
        self.failures = {}
        self.calls = []

    def _answer(self, action, kwargs):
        self.calls.append((action, kwargs))
        if action in self.failures:
            raise self.failures[action]
        return Answer(self.answers[action])

    def list_gateway_info(self, *, api_endpoint_url, CID, vpc_access_account_name):
        return self._answer(
            "list_gateway_info",
            dict(
                api_endpoint_url=api_endpoint_url,
                CID=CID,
                vpc_access_account_name=vpc_access_account_name,
            ),
        )

    def list_accounts(self, *, api_endpoint_url, CID, iam_based):
        return self._answer(
            "list_accounts", dict(api_endpoint_url=api_endpoint_url, CID=CID, iam_based=iam_based)
        )

    def lumaflow_post(self, endpoint, payload, /):
        self.calls.append(("lumaflow_post", (endpoint, payload)))
        if "lumaflow_post" in self.failures:
            raise self.failures["lumaflow_post"]
        return {"return": True}


@pytest.fixture
def use_controller(monkeypatch):
    def install(**answers):
        controller = FakeLumaflow(**answers)
        monkeypatch.setattr(switchlib, "lf", controller)
        return controller

    return install


# -- gateway detection ---------------------------------------------------------------------------


def gateway_query(subnet_id):
    return (
        "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
        "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
        f"ipconfig.properties.subnet.id =~ '{subnet_id}' | project properties.gatewayType"
    )


def test_get_resources_sends_one_keyword_request_for_the_credential_subscription(ST, use_graph):
    response = graph_response([{"name": "gw"}])
    graph = use_graph(response)
    assert ST.getResources("Resources | limit 1", fakes.FakeCredential(SUB)) is response
    assert graph.credentials == ["csc:sub-1"]
    [request] = graph.requests
    assert isinstance(request, graph_models.QueryRequest)
    assert request.subscriptions == [SUB]
    assert request.query == "Resources | limit 1"
    assert request.options.result_format == "objectArray"


def test_get_resources_lets_service_errors_through(ST, use_graph, logs):
    graph = use_graph(None)
    graph.error = fakes.http_error("Query is invalid", 400)
    with pytest.raises(Exception, match="Query is invalid"):
        ST.getResources(strQuery="bad", cred=fakes.FakeCredential(SUB))
    assert logs.lines() == []


VPN_ROW = {"properties_gatewayType": "Vpn"}
ER_ROW = {"properties_gatewayType": "ExpressRoute"}


@pytest.mark.parametrize(
    "total, rows, vng_type, found, line",
    [
        (0, [], "Vpn", False, "- vnet vn1 has no VNG"),
        (0, [VPN_ROW], "Vpn", False, "- vnet vn1 has no VNG"),
        (None, [VPN_ROW], "Vpn", True, "- vnet vn1 has VNG - Vpn"),
        (None, [VPN_ROW], "ExpressRoute", False, "- vnet vn1 has VNG but NOT type ExpressRoute"),
        (None, [VPN_ROW], "vpn", False, "- vnet vn1 has VNG but NOT type vpn"),
        (None, [VPN_ROW, ER_ROW], "ExpressRoute", True, "- vnet vn1 has VNG - ExpressRoute"),
        (None, [ER_ROW, VPN_ROW, VPN_ROW], "Vpn", True, "- vnet vn1 has VNG - Vpn"),
        (None, [{"other": "Vpn"}, VPN_ROW], "Vpn", True, "- vnet vn1 has VNG - Vpn"),
        (None, [{"other": "Vpn"}], "Vpn", False, "- vnet vn1 has VNG but NOT type Vpn"),
        (3, [], "Vpn", False, "- vnet vn1 has VNG but NOT type Vpn"),
    ],
)
def test_vnet_gateway_detection(ST, use_graph, logs, total, rows, vng_type, found, line):
    graph = use_graph(graph_response(rows, total))
    vnet = fakes.vnet(SUB, RG, "vn1")
    assert ST.isVnetWithVng(fakes.FakeCredential(SUB), vnet, vng_type) is found
    assert logs.lines() == [("INFO", line)]
    [request] = graph.requests
    assert request.query == gateway_query(vnet.id + "/subnets/GatewaySubnet")
    assert request.subscriptions == [SUB]


@pytest.mark.parametrize(
    "vnet_id, quoted",
    [
        (
            "/subscriptions/s/resourceGroups/o'brien/x/vn1",
            "/subscriptions/s/resourceGroups/o\\'brien/x/vn1",
        ),
        ("/a\\b/vn1", "/a\\\\b/vn1"),
        ("/a\\'/vn1", "/a\\\\\\'/vn1"),
        ("x' or 1==1 //", "x\\' or 1==1 //"),
    ],
)
def test_gateway_query_keeps_the_subnet_id_inside_its_quotes(ST, use_graph, vnet_id, quoted):
    graph = use_graph(graph_response([]))
    vnet = fakes.Model(id=vnet_id, name="vn1")
    ST.isVnetWithVng(cred=fakes.FakeCredential(SUB), vnet=vnet, vngType=ST.VPN)
    assert graph.requests[0].query == gateway_query(quoted + "/subnets/GatewaySubnet")


def test_gateway_detection_runs_the_query_through_the_class(ST, logs):
    asked = []

    class Probe(ST):
        @classmethod
        def getResources(cls, strQuery, cred):
            asked.append((strQuery, cred))
            return graph_response([ER_ROW])

    cred = fakes.FakeCredential(SUB)
    vnet = fakes.vnet(SUB, RG, "vn1")
    assert Probe.isVnetWithVng(cred, vnet, Probe.ER) is True
    assert asked == [(gateway_query(vnet.id + "/subnets/GatewaySubnet"), cred)]


def test_gateway_detection_reports_a_vnet_without_id(ST, use_graph, logs):
    use_graph(graph_response([]))
    with pytest.raises(TypeError):
        ST.isVnetWithVng(fakes.FakeCredential(SUB), fakes.Model(id=None, name="vn1"), "Vpn")
    assert logs.lines() == []


# -- gateway naming ------------------------------------------------------------------------------


def test_gateway_name_from_the_map_or_the_default(ST):
    stored = {"vnet-a-acct": "legacy-name", "vnet-b_acct": "missed"}
    assert ST.deduceGwName(stored, "vnet-a", "vn-a", "acct") == "legacy-name"
    assert ST.deduceGwName(stored, "vnet-b", "vn-b", "acct") == "vn-b-acct-gw"
    assert ST.deduceGwName({"7-42": 99}, 7, None, 42) == 99
    assert ST.deduceGwName({}, vpcId=7, vpcName=None, accountId=42) == "None-42-gw"


@pytest.mark.parametrize(
    "region, cidr, name",
    [
        ("westus2", "10.20.0.0/16", "azu-usw2-0a140000-gw"),
        ("eastus", "172.16.5.0/24", "azu-use-ac100500-gw"),
        ("eastus", "10.1.2.3", "azu-use-0a010203-gw"),
        ("eastus", "10.1.2.3/32", "azu-use-0a010203-gw"),
        ("eastus", "10.1.2.3/24", "azu-use-0a010203-gw"),
        ("eastus", "0.0.0.0/0", "azu-use-00000000-gw"),
        ("chinanorth2", "255.255.255.255/32", "azu-chn2-ffffffff-gw"),
        ("japaneast", "10.1.2.3.4.5/8", "azu-jae-0a010203-gw"),
        ("eastus", " 010.\t1 .002.3\n/24", "azu-use-0a010203-gw"),
        ("eastus", "1_0.+1.0_0_1.٣", "azu-use-0a010103-gw"),
        ("eastus", "10.1.2.3/x/y", "azu-use-0a010203-gw"),
    ],
)
def test_spoke_name_from_region_and_range(ST, region, cidr, name):
    assert ST.deduceGwNameWithSubnetCidr(region, cidr) == name


def python_int_outcome(text):
    try:
        return int(text)
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize(
    "octet",
    [
        "x",
        "",
        " ",
        "1 0",
        "0x10",
        "5e2",
        "_1",
        "1__0",
        "--1",
        "\x1c5",
        "\xa05\u2003",
        "0" * 30 + "7",
    ],
)
def test_octets_are_read_as_python_int_reads_them(ST, octet):
    expected = python_int_outcome(octet)
    cidr = f"10.{octet}.0.0/16"
    if isinstance(expected, int):
        assert ST.deduceGwNameWithSubnetCidr("eastus", cidr) == f"azu-use-0a{expected:02x}0000-gw"
    else:
        with pytest.raises(ValueError) as raised:
            ST.deduceGwNameWithSubnetCidr("eastus", cidr)
        assert str(raised.value) == expected


@pytest.mark.parametrize(
    "region, cidr, error, text",
    [
        ("eastus", "10.1.2/24", IndexError, "list index out of range"),
        ("eastus", "10-1-2-3", ValueError, "invalid literal for int() with base 10: '10-1-2-3'"),
        ("eastus", "x.1", ValueError, "invalid literal for int() with base 10: 'x'"),
        ("eastus", "10.1.2.256/24", ValueError, "octet '256' of '10.1.2.256/24' is outside 0..255"),
        ("eastus", "10.-1.2.3", ValueError, "octet '-1' of '10.-1.2.3' is outside 0..255"),
        ("eastus", "10.1.2." + "9" * 40, ValueError, "is outside 0..255"),
        ("EastUS", "10.1.2.3/24", KeyError, "'EastUS'"),
        ("eastus2", "10.1.2.3/24", KeyError, "'eastus2'"),
        ("EastUS", "10.1.2/24", IndexError, "list index out of range"),
        ("eastus", None, AttributeError, "'NoneType' object has no attribute 'split'"),
    ],
)
def test_spoke_name_errors(ST, region, cidr, error, text):
    with pytest.raises(error) as raised:
        ST.deduceGwNameWithSubnetCidr(regionId=region, cidr=cidr)
    assert text in str(raised.value)


@pytest.mark.parametrize("region, code", [("japaneast", "jae"), ("chinaeast2", "che2")])
def test_transit_name_of_a_region(ST, region, code):
    assert ST.deduceTransitNameWithRegion(region) == f"azu-{code}-transit-gw"


@pytest.mark.parametrize("region", ["EastUS", "", "westus3"])
def test_transit_name_of_an_unknown_region(ST, region):
    with pytest.raises(KeyError):
        ST.deduceTransitNameWithRegion(regionId=region)


def test_names_read_the_region_codes_through_the_class(ST):
    class Elsewhere(ST):
        region = {"mars": "mrs"}

    assert Elsewhere.deduceTransitNameWithRegion("mars") == "azu-mrs-transit-gw"
    assert Elsewhere.deduceGwNameWithSubnetCidr("mars", "10.0.0.0/8") == "azu-mrs-0a000000-gw"
    with pytest.raises(KeyError):
        Elsewhere.deduceTransitNameWithRegion("eastus")


# -- transit lookup ------------------------------------------------------------------------------

URL, CID, TRANSIT_SUB = "https://ctl/v2/api", "cid-1", "sub-transit"
HEADER = ("INFO", "- Lookup transit gw account and vnet info")


def gateway(name, account, vpc_id):
    return {"gw_name": name, "account_name": account, "vpc_id": vpc_id, "vpc_size": "B1ms"}


def account(name, subscription, **drop):
    entry = {
        "account_name": name,
        "arm_subscription_id": subscription,
        "arm_ad_client_id": "app-1",
        "arm_ad_tenant_id": "tenant-1",
    }
    for key in drop:
        del entry[key]
    return entry


GATEWAYS = {
    "return": True,
    "results": [
        gateway("spoke-gw", "acct-spoke", "spoke-vnet:rg-spoke"),
        gateway("TRANSIT-GW", "acct-other", "other-vnet:rg-other"),
        gateway("transit-gw", "acct-transit", "transit-vnet:rg-transit:extra"),
        gateway("transit-gw", "acct-other", "other-vnet:rg-other"),
    ],
}
ACCOUNTS = {
    "return": True,
    "results": {
        "account_list": [
            account("acct-other", "sub-other"),
            account("acct-transit", TRANSIT_SUB),
            account("acct-transit", "sub-later"),
        ]
    },
}


@pytest.fixture
def transit(azure, use_yaml_context):
    use_yaml_context(subscriptions=[TRANSIT_SUB, "sub-other"])
    for sub, rg, name in [
        (TRANSIT_SUB, "rg-transit", "transit-vnet"),
        ("sub-other", "rg-other", "other-vnet"),
    ]:
        azure.add_vnet(fakes.vnet(sub, rg, name))
    return azure


def test_transit_vnet_found_through_the_first_matching_gateway_and_account(
    ST, transit, use_controller, logs
):
    controller = use_controller(gateways=GATEWAYS, accounts=ACCOUNTS)
    cred, vnet = ST.getTransitVnet(URL, CID, "transit-gw")
    assert cred.getSubId() == TRANSIT_SUB
    assert vnet.id == fakes.rid(TRANSIT_SUB, "rg-transit", "virtualNetworks", "transit-vnet")
    assert controller.calls == [
        ("list_gateway_info", dict(api_endpoint_url=URL, CID=CID, vpc_access_account_name="")),
        ("list_accounts", dict(api_endpoint_url=URL, CID=CID, iam_based="false")),
    ]
    assert transit.clients == [("network", f"csc:{TRANSIT_SUB}", TRANSIT_SUB)]
    assert transit.calls == [(TRANSIT_SUB, "virtual_networks.get", ("rg-transit", "transit-vnet"))]
    assert logs.lines() == [
        HEADER,
        ("INFO", "  transit-gw in vnet transit-vnet resource group rg-transit"),
    ]


def test_transit_lookup_defaults_to_empty_texts(ST, use_controller, logs):
    controller = use_controller(gateways={"return": True, "results": []})
    assert ST.getTransitVnet() == (None, None)
    assert controller.calls == [
        ("list_gateway_info", dict(api_endpoint_url="", CID="", vpc_access_account_name=""))
    ]


NO_GATEWAY = "  **Error** No account info for transit gateway transit-gw found in controller"
NO_ACCOUNT = "  **Error** Failed to identify Azure account info for acct-transit"


@pytest.mark.parametrize(
    "gateways, accounts, failures, line",
    [
        (
            {"return": False, "reason": "CID expired"},
            ACCOUNTS,
            {},
            "  **Error** Failed to get gateway info from controller",
        ),
        ({"return": 0}, ACCOUNTS, {}, "  **Error** Failed to get gateway info from controller"),
        ({"return": True}, ACCOUNTS, {}, NO_GATEWAY),
        ({"results": GATEWAYS["results"]}, ACCOUNTS, {}, NO_GATEWAY),
        (ValueError("answer is not JSON"), ACCOUNTS, {}, NO_GATEWAY),
        (GATEWAYS, ACCOUNTS, {"list_gateway_info": LumaflowError("unreachable")}, NO_GATEWAY),
        (
            {"return": True, "results": [gateway("Transit-gw", "a", "v:r")]},
            ACCOUNTS,
            {},
            NO_GATEWAY,
        ),
        (
            {"return": True, "results": [gateway("x", "a", "v:r"), {"gw_name": "transit-gw"}]},
            ACCOUNTS,
            {},
            NO_GATEWAY,
        ),
        (GATEWAYS, {"return": False}, {}, "  **Error** Failed to get account info from controller"),
        (GATEWAYS, {"return": True, "results": {}}, {}, NO_ACCOUNT),
        (
            GATEWAYS,
            {
                "return": True,
                "results": {
                    "account_list": [account("acct-transit", TRANSIT_SUB, arm_ad_tenant_id=None)]
                },
            },
            {},
            NO_ACCOUNT,
        ),
        (
            GATEWAYS,
            {"return": True, "results": {"account_list": [account("acct-other", "s")]}},
            {},
            NO_ACCOUNT,
        ),
        (GATEWAYS, ACCOUNTS, {"list_accounts": LumaflowError("unreachable")}, NO_ACCOUNT),
    ],
)
def test_transit_lookup_failures_are_reported_and_neutral(
    ST, transit, use_controller, logs, gateways, accounts, failures, line
):
    controller = use_controller(gateways=gateways, accounts=accounts)
    controller.failures.update(failures)
    assert ST.getTransitVnet(URL, CID, gw_name="transit-gw") == (None, None)
    assert logs.lines() == [HEADER, ("ERROR", line)]
    assert transit.calls == [] and transit.clients == []


@pytest.mark.parametrize(
    "vpc_id, vnet_name, error",
    [
        ("transit-vnet", "transit-vnet", IndexError),
        ("gone-vnet:rg-transit", "gone-vnet", Exception),
    ],
)
def test_transit_lookup_lets_unguarded_failures_through(
    ST, transit, use_controller, logs, vpc_id, vnet_name, error
):
    gateways = {"return": True, "results": [gateway("transit-gw", "acct-transit", vpc_id)]}
    use_controller(gateways=gateways, accounts=ACCOUNTS)
    with pytest.raises(error, match="list index out of range|was not found"):
        ST.getTransitVnet(URL, CID, "transit-gw")
    assert logs.lines() == [HEADER]


# -- security domain -----------------------------------------------------------------------------

ATTACH = "associate_attachment_to_multi_cloud_security_domain"
DETACH = "disassociate_attachment_from_multi_cloud_security_domain"


@pytest.fixture
def use_globals(monkeypatch):
    def install(dry_run=False, **settings):
        yaml = {"configure_gw_name": True, "domain": "prod", "spoke_gw_name": "spoke-gw"}
        yaml.update(settings)

        class Globals:
            CID = "cid-9"
            api_ep_url = "https://ctl/v2/api"

            @classmethod
            def getDryRun(cls):
                return dry_run

        Globals.yaml = yaml
        monkeypatch.setattr(switchlib, "Globals", Globals)
        return Globals

    return install


@pytest.mark.parametrize(
    "attach, action, line",
    [
        (True, ATTACH, "- Attach spoke-gw to domain prod"),
        (1, ATTACH, "- Attach spoke-gw to domain prod"),
        (False, DETACH, "- Detach spoke-gw from domain prod"),
        (None, DETACH, "- Detach spoke-gw from domain prod"),
        ("", DETACH, "- Detach spoke-gw from domain prod"),
    ],
)
def test_spoke_joins_or_leaves_the_domain(
    ST, use_globals, use_controller, logs, attach, action, line
):
    use_globals()
    controller = use_controller()
    assert ST.attach_spoke_domain(attach) is None
    [(operation, (endpoint, payload))] = controller.calls
    assert (operation, endpoint) == ("lumaflow_post", "https://ctl/v2/api")
    assert list(payload.items()) == [
        ("action", action),
        ("CID", "cid-9"),
        ("domain_name", "prod"),
        ("attachment_name", "spoke-gw"),
    ]
    assert logs.lines() == [("INFO", line)]


@pytest.mark.parametrize(
    "settings, sent, lines",
    [
        ({"configure_gw_name": False}, False, []),
        ({"configure_gw_name": False, "domain": None}, False, []),
        ({"domain": None}, False, []),
        ({"configure_gw_name": None}, True, ["- Attach spoke-gw to domain prod"]),
        ({"configure_gw_name": "false"}, True, ["- Attach spoke-gw to domain prod"]),
        ({"domain": ""}, True, ["- Attach spoke-gw to domain "]),
        ({"dry_run": True}, False, ["- Attach spoke-gw to domain prod"]),
    ],
)
def test_domain_attachment_switches(ST, use_globals, use_controller, logs, settings, sent, lines):
    use_globals(**settings)
    controller = use_controller()
    ST.attach_spoke_domain(attach=True)
    assert len(controller.calls) == (1 if sent else 0)
    if sent:
        assert controller.calls[0][1][1]["domain_name"] == settings.get("domain", "prod")
    assert logs.messages() == lines


def test_domain_attachment_ignores_the_class_dry_run_flag(ST, use_globals, use_controller):
    use_globals(dry_run=False)
    controller = use_controller()
    ST.setDryRun()
    ST.attach_spoke_domain(False)
    assert [c[1][1]["action"] for c in controller.calls] == [DETACH]


def test_domain_refusal_reaches_the_caller(ST, use_globals, use_controller, logs):
    use_globals()
    controller = use_controller()
    controller.failures["lumaflow_post"] = LumaflowError(
        "controller refused: domain prod not found"
    )
    with pytest.raises(LumaflowError, match="domain prod not found"):
        ST.attach_spoke_domain(True)
    assert logs.messages() == ["- Attach spoke-gw to domain prod"]


def test_domain_attachment_needs_its_settings(ST, use_globals, use_controller):
    globals_ = use_globals()
    controller = use_controller()
    del globals_.yaml["spoke_gw_name"]
    with pytest.raises(KeyError, match="spoke_gw_name"):
        ST.attach_spoke_domain(True)
    assert controller.calls == []
