"""Gateways and controller: gateway detection, gateway names, transit lookup, security domain."""

import azure.mgmt.resourcegraph.models as graph_models
import pytest

import fakes
import qn.arm.switchlib as switchlib
from qn.arm.lumaflow import LumaflowError

SUB, RG = "sub-1", "rg-net"


# -- gateway detection ---------------------------------------------------------------------------


@pytest.fixture
def graph(monkeypatch):
    """The Resource Graph package: a fake client over the SDK's own (keyword-only) models."""
    graph = fakes.Model(response=fakes.Model(total_records=0, data=[]), credentials=[], requests=[])
    client = fakes.Model(resources=lambda query: graph.requests.append(query) or graph.response)

    def connect(credential):
        graph.credentials.append(credential)
        return client

    package = fakes.Model(ResourceGraphClient=connect, models=graph_models)
    monkeypatch.setattr(switchlib, "arg", package)
    return graph


def gateway_query(vnet_id):
    return (
        "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
        "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
        f"ipconfig.properties.subnet.id =~ '{vnet_id}/subnets/GatewaySubnet' "
        "| project properties.gatewayType"
    )


def test_get_resources_sends_one_keyword_request_for_the_credential_subscription(ST, graph):
    assert ST.getResources("Resources | limit 1", fakes.FakeCredential(SUB)) is graph.response
    assert graph.credentials == ["csc:sub-1"]
    [request] = graph.requests
    assert isinstance(request, graph_models.QueryRequest)
    assert (request.subscriptions, request.query) == ([SUB], "Resources | limit 1")
    assert request.options.result_format == "objectArray"


VPN, ER = {"properties_gatewayType": "Vpn"}, {"properties_gatewayType": "ExpressRoute"}
OTHER = {"other": "Vpn"}  # a row without the type column
NO_VNG, HAS_VNG, NOT_TYPE = "has no VNG", "has VNG - {}", "has VNG but NOT type {}"


@pytest.mark.parametrize(
    "total, rows, vng_type, line",
    [
        (0, [], "Vpn", NO_VNG),
        (0, [VPN], "Vpn", NO_VNG),
        (1, [VPN], "Vpn", HAS_VNG),
        (1, [VPN], "ExpressRoute", NOT_TYPE),
        (1, [VPN], "vpn", NOT_TYPE),
        (2, [VPN, ER], "ExpressRoute", HAS_VNG),
        (3, [OTHER, VPN, ER], "Vpn", HAS_VNG),
        (1, [OTHER], "Vpn", NOT_TYPE),
        (3, [], "Vpn", NOT_TYPE),
    ],
)
def test_vnet_gateway_detection(ST, graph, logs, total, rows, vng_type, line):
    graph.response = fakes.Model(total_records=total, data=rows)
    vnet = fakes.vnet(SUB, RG, "vn1")
    assert ST.isVnetWithVng(fakes.FakeCredential(SUB), vnet, vng_type) is (line == HAS_VNG)
    assert logs.lines() == [("INFO", "- vnet vn1 " + line.format(vng_type))]
    assert [r.query for r in graph.requests] == [gateway_query(vnet.id)]


@pytest.mark.parametrize(
    "vnet_id, quoted",
    [("/rg/o'brien/vn1", "/rg/o\\'brien/vn1"), ("/a\\b", "/a\\\\b"), ("/a\\'", "/a\\\\\\'")],
)
def test_gateway_query_keeps_the_subnet_id_inside_its_quotes(ST, graph, vnet_id, quoted):
    vnet = fakes.Model(id=vnet_id, name="vn1")
    ST.isVnetWithVng(cred=fakes.FakeCredential(SUB), vnet=vnet, vngType=ST.VPN)
    assert [r.query for r in graph.requests] == [gateway_query(quoted)]


def test_gateway_detection_runs_the_query_through_the_class(ST, logs):
    asked = []

    class Probe(ST):
        @classmethod
        def getResources(cls, strQuery, cred):
            asked.append((strQuery, cred))
            return fakes.Model(total_records=1, data=[ER])

    cred, vnet = fakes.FakeCredential(SUB), fakes.vnet(SUB, RG, "vn1")
    assert Probe.isVnetWithVng(cred, vnet, Probe.ER) is True
    assert asked == [(gateway_query(vnet.id), cred)]


def test_gateway_detection_sends_no_query_for_a_vnet_without_id(ST, graph):
    with pytest.raises(TypeError):
        ST.isVnetWithVng(fakes.FakeCredential(SUB), fakes.Model(id=None, name="vn1"), "Vpn")
    assert graph.requests == []


# -- gateway naming ------------------------------------------------------------------------------


def test_gateway_name_from_the_map_or_the_default(ST):
    stored = {"vnet-a-acct": "legacy-name", "vnet-b_acct": "missed", "7-42": 99}
    assert ST.deduceGwName(stored, "vnet-a", "vn-a", "acct") == "legacy-name"
    assert ST.deduceGwName(stored, "vnet-b", "vn-b", "acct") == "vn-b-acct-gw"
    assert ST.deduceGwName(stored, vpcId=7, vpcName=None, accountId=42) == 99
    assert ST.deduceGwName({}, 7, None, 42) == "None-42-gw"


@pytest.mark.parametrize(
    "region, cidr, name",
    [
        ("westus2", "10.20.0.0/16", "azu-usw2-0a140000-gw"),
        ("eastus", "10.1.2.3", "azu-use-0a010203-gw"),
        ("eastus", "10.1.2.3/24", "azu-use-0a010203-gw"),
        ("chinanorth2", "255.255.255.255/32", "azu-chn2-ffffffff-gw"),
        ("japaneast", "10.1.2.3.4.5/8/x", "azu-jae-0a010203-gw"),
        ("eastus", " 010.\t1 .002.3\n/24", "azu-use-0a010203-gw"),
        ("eastus", "1_0.+1.0_0_1.٣", "azu-use-0a010103-gw"),
    ],
)
def test_spoke_name_from_region_and_range(ST, region, cidr, name):
    assert ST.deduceGwNameWithSubnetCidr(region, cidr) == name


@pytest.mark.parametrize(
    "octet", ["x", "", "1 0", "0x10", "_1", "\x1c5", "\xa05\u2003", "0" * 30 + "7"]
)
def test_octets_are_read_as_python_int_reads_them(ST, octet):
    cidr = f"10.{octet}.0.0/16"
    try:
        expected = f"azu-use-0a{int(octet):02x}0000-gw"
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            ST.deduceGwNameWithSubnetCidr("eastus", cidr)
        assert str(raised.value) == str(error)
    else:
        assert ST.deduceGwNameWithSubnetCidr("eastus", cidr) == expected


@pytest.mark.parametrize(
    "region, cidr, error, text",
    [
        ("eastus", "10.1.2/24", IndexError, "list index out of range"),
        ("eastus", "x.1", ValueError, "invalid literal for int() with base 10: 'x'"),
        ("eastus", "10.1.2.256/24", ValueError, "octet '256' of '10.1.2.256/24' is outside 0..255"),
        ("eastus", "10.-1.2.3", ValueError, "octet '-1' of '10.-1.2.3' is outside 0..255"),
        ("eastus", "10.1.2." + "9" * 40, ValueError, "is outside 0..255"),
        ("EastUS", "10.1.2.3/24", KeyError, "'EastUS'"),
        ("EastUS", "10.1.2/24", IndexError, "list index out of range"),
        ("eastus", None, AttributeError, "'NoneType' object has no attribute 'split'"),
    ],
)
def test_spoke_name_errors(ST, region, cidr, error, text):
    with pytest.raises(error) as raised:
        ST.deduceGwNameWithSubnetCidr(regionId=region, cidr=cidr)
    assert text in str(raised.value)


def test_transit_name_and_region_codes_read_through_the_class(ST):
    assert ST.deduceTransitNameWithRegion("japaneast") == "azu-jae-transit-gw"
    with pytest.raises(KeyError):
        ST.deduceTransitNameWithRegion(regionId="EastUS")

    class Elsewhere(ST):
        region = {"mars": "mrs"}

    assert Elsewhere.deduceTransitNameWithRegion("mars") == "azu-mrs-transit-gw"
    assert Elsewhere.deduceGwNameWithSubnetCidr("mars", "10.0.0.0/8") == "azu-mrs-0a000000-gw"


# -- transit lookup ------------------------------------------------------------------------------


def decoded(body):
    """A response's json(): the answer, or the error that a non-JSON body raises."""
    if isinstance(body, Exception):
        raise body
    return body


class FakeLumaflow:
    """The controller client, keyword-only like the real one; answers by action, calls recorded."""

    def __init__(self):
        self.answers, self.failures, self.calls = {}, {}, []

    def _answer(self, action, *args):
        self.calls.append((action, *args))
        if action in self.failures:
            raise self.failures[action]
        body = self.answers.get(action)
        return fakes.Model(json=lambda: decoded(body))

    def list_gateway_info(self, *, api_endpoint_url, CID, vpc_access_account_name):
        return self._answer("list_gateway_info", api_endpoint_url, CID, vpc_access_account_name)

    def list_accounts(self, *, api_endpoint_url, CID, iam_based):
        return self._answer("list_accounts", api_endpoint_url, CID, iam_based)

    def lumaflow_post(self, endpoint, payload, /):
        return self._answer("lumaflow_post", endpoint, payload)


@pytest.fixture
def controller(monkeypatch):
    controller = FakeLumaflow()
    monkeypatch.setattr(switchlib, "lf", controller)
    return controller


def answer(controller, gateways, accounts=None):
    controller.answers.update(list_gateway_info=gateways, list_accounts=accounts)


URL, CID, TRANSIT_SUB = "https://ctl/v2/api", "cid-1", "sub-transit"
HEADER = ("INFO", "- Lookup transit gw account and vnet info")


def ok(results):
    return {"return": True, "results": results}


def gateway(name, account, vpc_id):
    return {"gw_name": name, "account_name": account, "vpc_id": vpc_id, "vpc_size": "B1ms"}


def accounts(*entries):
    return ok({"account_list": list(entries)})


def account(name, subscription, tenant="tenant-1"):
    entry = {"account_name": name, "arm_subscription_id": subscription, "arm_ad_client_id": "app"}
    return entry if tenant is None else dict(entry, arm_ad_tenant_id=tenant)


GATEWAYS = ok(
    [
        gateway("spoke-gw", "acct-spoke", "spoke-vnet:rg-spoke"),
        gateway("TRANSIT-GW", "acct-other", "other-vnet:rg-other"),
        gateway("transit-gw", "acct-transit", "transit-vnet:rg-transit:extra"),
        gateway("transit-gw", "acct-other", "other-vnet:rg-other"),
    ]
)
ACCOUNTS = accounts(
    account("acct-other", "sub-other"),
    account("acct-transit", TRANSIT_SUB),
    account("acct-transit", "sub-later"),
)


@pytest.fixture
def transit(azure, use_yaml_context):
    use_yaml_context(subscriptions=[TRANSIT_SUB, "sub-other"])
    azure.add_vnet(fakes.vnet(TRANSIT_SUB, "rg-transit", "transit-vnet"))
    azure.add_vnet(fakes.vnet("sub-other", "rg-other", "other-vnet"))
    return azure


def test_transit_vnet_found_through_the_first_matching_gateway_and_account(
    ST, transit, controller, logs
):
    answer(controller, GATEWAYS, ACCOUNTS)
    cred, vnet = ST.getTransitVnet(URL, CID, "transit-gw")
    assert (cred.getSubId(), vnet.name) == (TRANSIT_SUB, "transit-vnet")
    assert controller.calls == [
        ("list_gateway_info", URL, CID, ""),
        ("list_accounts", URL, CID, "false"),
    ]
    assert transit.clients == [("network", f"csc:{TRANSIT_SUB}", TRANSIT_SUB)]
    assert transit.calls == [(TRANSIT_SUB, "virtual_networks.get", ("rg-transit", "transit-vnet"))]
    assert logs.lines() == [
        HEADER,
        ("INFO", "  transit-gw in vnet transit-vnet resource group rg-transit"),
    ]


def test_transit_lookup_defaults_to_empty_texts(ST, controller):
    answer(controller, ok([]))
    assert ST.getTransitVnet() == (None, None)
    assert controller.calls == [("list_gateway_info", "", "", "")]


GATEWAY_REFUSED = "  **Error** Failed to get gateway info from controller"
ACCOUNT_REFUSED = "  **Error** Failed to get account info from controller"
NO_GATEWAY = "  **Error** No account info for transit gateway transit-gw found in controller"
NO_ACCOUNT = "  **Error** Failed to identify Azure account info for acct-transit"
NO_TENANT = accounts(account("acct-transit", TRANSIT_SUB, tenant=None))


@pytest.mark.parametrize(
    "gateway_answer, account_answer, failing, line",
    [
        ({"return": False, "reason": "CID expired"}, ACCOUNTS, None, GATEWAY_REFUSED),
        ({"return": 0}, ACCOUNTS, None, GATEWAY_REFUSED),
        ({"return": True}, ACCOUNTS, None, NO_GATEWAY),
        (ValueError("answer is not JSON"), ACCOUNTS, None, NO_GATEWAY),
        (GATEWAYS, ACCOUNTS, "list_gateway_info", NO_GATEWAY),
        (ok([gateway("Transit-gw", "a", "v:r")]), ACCOUNTS, None, NO_GATEWAY),
        (GATEWAYS, {"return": False}, None, ACCOUNT_REFUSED),
        (GATEWAYS, ok({}), None, NO_ACCOUNT),
        (GATEWAYS, NO_TENANT, None, NO_ACCOUNT),
        (GATEWAYS, accounts(account("acct-other", "s")), None, NO_ACCOUNT),
        (GATEWAYS, ACCOUNTS, "list_accounts", NO_ACCOUNT),
    ],
)
def test_transit_lookup_failures_are_reported_and_neutral(
    ST, transit, controller, logs, gateway_answer, account_answer, failing, line
):
    answer(controller, gateway_answer, account_answer)
    if failing:
        controller.failures[failing] = LumaflowError("unreachable")
    assert ST.getTransitVnet(URL, CID, gw_name="transit-gw") == (None, None)
    assert logs.lines() == [HEADER, ("ERROR", line)]
    assert transit.calls == [] and transit.clients == []


@pytest.mark.parametrize(
    "vpc_id, error", [("transit-vnet", IndexError), ("gone-vnet:rg-transit", Exception)]
)
def test_transit_lookup_lets_unguarded_failures_through(
    ST, transit, controller, logs, vpc_id, error
):
    answer(controller, ok([gateway("transit-gw", "acct-transit", vpc_id)]), ACCOUNTS)
    with pytest.raises(error, match="list index out of range|was not found"):
        ST.getTransitVnet(URL, CID, "transit-gw")
    assert logs.lines() == [HEADER]


@pytest.mark.parametrize(
    "failing, interrupt", [("list_gateway_info", KeyboardInterrupt), ("list_accounts", SystemExit)]
)
def test_transit_lookup_lets_an_interrupt_through(
    ST, transit, controller, logs, failing, interrupt
):
    answer(controller, GATEWAYS, ACCOUNTS)
    controller.failures[failing] = interrupt()
    with pytest.raises(interrupt):
        ST.getTransitVnet(URL, CID, "transit-gw")
    assert controller.calls[-1][0] == failing and logs.lines() == [HEADER]


# -- security domain -----------------------------------------------------------------------------

ATTACH = "associate_attachment_to_multi_cloud_security_domain"
DETACH = "disassociate_attachment_from_multi_cloud_security_domain"


@pytest.fixture
def tool_globals(monkeypatch):
    class Globals:
        yaml = {"configure_gw_name": True, "domain": "prod", "spoke_gw_name": "spoke-gw"}
        CID, api_ep_url, dry_run = "cid-9", URL, False

        @classmethod
        def getDryRun(cls):
            return cls.dry_run

    monkeypatch.setattr(switchlib, "Globals", Globals)
    return Globals


@pytest.mark.parametrize(
    "attach, action, line",
    [
        (True, ATTACH, "- Attach spoke-gw to domain prod"),
        (False, DETACH, "- Detach spoke-gw from domain prod"),
        ("", DETACH, "- Detach spoke-gw from domain prod"),
    ],
)
def test_spoke_joins_or_leaves_the_domain(ST, tool_globals, controller, logs, attach, action, line):
    ST.setDryRun()  # the class flag is not this operation's dry-run switch
    assert ST.attach_spoke_domain(attach) is None
    [(operation, endpoint, payload)] = controller.calls
    assert (operation, endpoint) == ("lumaflow_post", URL)
    assert list(payload) == ["action", "CID", "domain_name", "attachment_name"]
    assert list(payload.values()) == [action, "cid-9", "prod", "spoke-gw"]
    assert logs.lines() == [("INFO", line)]


@pytest.mark.parametrize(
    "settings, dry_run, sent",
    [
        ({"configure_gw_name": False}, False, False),
        ({"domain": None}, False, False),
        ({"configure_gw_name": None}, False, True),
        ({"configure_gw_name": "false"}, False, True),
        ({"domain": ""}, False, True),
        ({}, True, False),
    ],
)
def test_domain_attachment_switches(ST, tool_globals, controller, logs, settings, dry_run, sent):
    tool_globals.yaml.update(settings)
    tool_globals.dry_run = dry_run
    ST.attach_spoke_domain(attach=True)
    domain = tool_globals.yaml["domain"]
    assert [c[2]["domain_name"] for c in controller.calls] == ([domain] if sent else [])
    logged = sent or dry_run
    assert logs.lines() == ([("INFO", f"- Attach spoke-gw to domain {domain}")] if logged else [])


def test_domain_refusal_reaches_the_caller(ST, tool_globals, controller, logs):
    controller.failures["lumaflow_post"] = LumaflowError("controller refused: domain prod")
    with pytest.raises(LumaflowError, match="domain prod"):
        ST.attach_spoke_domain(True)
    assert logs.messages() == ["- Attach spoke-gw to domain prod"]
