"""The tool's collaborator modules: configuration, credentials, Terraform, controller client."""

import http.server
import json
import threading
import urllib.parse

import hcl2
import pytest
from azure.identity import ClientSecretCredential, DefaultAzureCredential

from qn.arm.discoverylib import DiscoveryLib
from qn.arm.lumaflow import Lumaflow, LumaflowError
from qn.arm.res.VWanMgmt import VWanMgmt
from qn.arm.res.YamlContext import AzureCredential, ConfigurationError, YamlContext
from qn.arm.terraform import Terraform

CONFIG = """
subscriptions:
  sub-a:
    alias: prod
    credential:
      tenant_id: tenant-1
      client_id: app-1
      client_secret_env: SP_SECRET
  sub-b:
    alias: hub
settings:
  configure_shared_route_table_replication: 2
vnets:
  vn1:
    main_table_prefix: shared
"""


@pytest.fixture
def config_file(tmp_path, monkeypatch):
    path = tmp_path / "tool.yaml"
    path.write_text(CONFIG)
    monkeypatch.setenv("QN_ARM_CONFIG", str(path))
    monkeypatch.setenv("SP_SECRET", "s3cret")
    return path


def test_credentials_per_subscription(config_file):
    context = YamlContext()
    cred = context.generateAzureCredential("sub-a")
    assert isinstance(cred, AzureCredential)
    assert cred.getSubId() == "sub-a"
    assert isinstance(cred.getCSC(), ClientSecretCredential)
    assert cred.getSPC() is cred.getCSC()
    assert isinstance(context.generateAzureCredential("sub-b").getCSC(), DefaultAzureCredential)
    assert context.generateAzureCredential("sub-unknown") is None


def test_settings_and_main_table_prefix(config_file):
    from qn.arm.commonlib import Common

    assert YamlContext().getGlobalContext("configure_shared_route_table_replication") == 2
    assert Common.getMainTablePrefix("vn1") == "shared"
    assert Common.getMainTablePrefix("vn2") is None


def test_defaults_without_a_configuration_file(tmp_path, monkeypatch):
    monkeypatch.delenv("QN_ARM_CONFIG", raising=False)
    monkeypatch.chdir(tmp_path)
    context = YamlContext()
    assert context.generateAzureCredential("sub-a") is None
    assert context.getGlobalContext("configure_shared_route_table_replication") == 0


@pytest.mark.parametrize(
    "text, complaint",
    [
        ("- a list", "top level must be a mapping"),
        ("subscriptions: [1, 2]", "'subscriptions' must be a mapping"),
        ("subscriptions:\n  s:\n    credential: {client_id: x}", "lacks tenant_id, client_secret"),
        ("a: [unclosed", "not valid YAML"),
    ],
)
def test_bad_configuration_names_file_and_key(tmp_path, monkeypatch, text, complaint):
    path = tmp_path / "bad.yaml"
    path.write_text(text)
    monkeypatch.setenv("QN_ARM_CONFIG", str(path))
    with pytest.raises(ConfigurationError, match=complaint) as caught:
        YamlContext().generateAzureCredential("s")
    assert str(path) in str(caught.value)


def test_missing_explicit_configuration_file_is_an_error(tmp_path, monkeypatch):
    monkeypatch.setenv("QN_ARM_CONFIG", str(tmp_path / "absent.yaml"))
    with pytest.raises(ConfigurationError, match="not found"):
        YamlContext()


def test_resource_id_positions():
    peering_id = (
        "/subscriptions/s1/resourceGroups/rg1/providers/Microsoft.Network/"
        "virtualNetworks/vn1/virtualNetworkPeerings/p1"
    )
    parts = peering_id.split("/")
    assert [
        parts[i]
        for i in (DiscoveryLib.SUB_I, DiscoveryLib.RG_I, DiscoveryLib.VNET_I, DiscoveryLib.PEER_I)
    ] == ["s1", "rg1", "vn1", "p1"]


def test_route_table_used_in_vnet_ignores_case():
    from fakes import Model

    vnet = Model(
        id="/subscriptions/S/resourceGroups/RG/providers/Microsoft.Network/virtualNetworks/vn1"
    )
    inside = Model(id=vnet.id.lower() + "/subnets/a")
    sibling = Model(id=vnet.id + "2/subnets/a")
    assert DiscoveryLib.isRouteTableUsedInVnet(Model(subnets=[sibling, inside]), vnet)
    assert not DiscoveryLib.isRouteTableUsedInVnet(Model(subnets=[sibling]), vnet)
    assert not DiscoveryLib.isRouteTableUsedInVnet(Model(subnets=None), vnet)


@pytest.mark.parametrize(
    "remote, hub",
    [
        (
            "/subscriptions/s/resourceGroups/RG_hub1_x/providers/Microsoft.Network/virtualNetworks/"
            "HV_hub1_0b4f2c3e-1d2a-4c5b-9e8f-112233445566",
            "hub1",
        ),
        (
            "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/hub1",
            None,
        ),
        (None, None),
    ],
)
def test_virtual_hub_recognised_from_remote_network(remote, hub):
    assert VWanMgmt.getVHubNameFromPeering(remote) == hub


RECORD = {
    "vnet_name": "vn1",
    "subnet_id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/"
    "virtualNetworks/vn1/subnets/app.a",
    "subnet_ref": "azurerm_subnet.vn1_app_a.id",
    "route_table_id": "/subscriptions/s/.../routeTables/vn1-main-2",
    "route_table_ref": "module.vn1.azurerm_route_table_lumaflow_managed_main[1].id",
    "rname": "vn1_app_a_vn1-main-2",
    "provider": "prod",
}


def test_terraform_association_is_valid_hcl_and_replaces_a_rerun(tmp_path, monkeypatch):
    monkeypatch.setattr(Terraform, "outputDir", str(tmp_path / "out"))
    other = dict(
        RECORD,
        rname="vn1_db_rt-db",
        route_table_ref='module.vn1.azurerm_route_table_lumaflow_managed["rt-db"].id',
    )
    Terraform.createSubnetAssociationTf(RECORD)
    Terraform.createSubnetAssociationTf(other)
    Terraform.createSubnetAssociationTf(RECORD)
    text = (tmp_path / "out" / "subnet-route-table-associations.tf").read_text()
    parsed = hcl2.loads(text)
    resources = {
        name.strip('"'): body
        for block in parsed["resource"]
        for kind, named in block.items()
        if kind.strip('"') == "azurerm_subnet_route_table_association"
        for name, body in named.items()
    }
    assert sorted(resources) == ["vn1_app_a_vn1-main-2", "vn1_db_rt-db"]
    assert "subnet_id      = azurerm_subnet.vn1_app_a.id" in text
    assert "route_table_id = module.vn1.azurerm_route_table_lumaflow_managed_main[1].id" in text
    assert 'route_table_id = module.vn1.azurerm_route_table_lumaflow_managed["rt-db"].id' in text
    assert "provider       = azurerm.prod" in text


def test_terraform_reads_discovery_record(tmp_path, monkeypatch):
    monkeypatch.setattr(Terraform, "outputDir", str(tmp_path))
    (tmp_path / "discovery.json").write_text(json.dumps({"rtbSubnetGwGroupInfos": {}}))
    assert Terraform.readDiscoveryInfo() == {"rtbSubnetGwGroupInfos": {}}


class Controller(http.server.BaseHTTPRequestHandler):
    answers = []
    received = []

    def do_POST(self):
        length = int(self.headers["Content-Length"])
        form = urllib.parse.parse_qs(self.rfile.read(length).decode())
        Controller.received.append({k: v[0] for k, v in form.items()})
        status, body = Controller.answers.pop(0)
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture
def controller():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Controller)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    Controller.answers, Controller.received = [], []
    yield f"http://127.0.0.1:{server.server_address[1]}/v2/api", Controller
    server.shutdown()
    server.server_close()


def test_controller_queries_return_the_answer(controller):
    url, server = controller
    server.answers = [
        (200, {"return": True, "results": [{"gw_name": "t1"}]}),
        (200, {"return": False, "reason": "CID expired"}),
    ]
    assert Lumaflow.list_gateway_info(
        api_endpoint_url=url, CID="c1", vpc_access_account_name=""
    ).json()["results"] == [{"gw_name": "t1"}]
    assert Lumaflow.list_accounts(api_endpoint_url=url, CID="c1", iam_based="false").json() == {
        "return": False,
        "reason": "CID expired",
    }
    assert server.received == [
        {"action": "list_gateway_info", "CID": "c1"},
        {"action": "list_accounts", "CID": "c1", "iam_based": "false"},
    ]


@pytest.mark.parametrize(
    "status, body, reason",
    [
        (200, {"return": False, "reason": "domain d1 not found"}, "domain d1 not found"),
        (500, "<html>oops</html>", "not JSON"),
        (403, {"return": False, "reason": "CID invalid"}, "CID invalid"),
    ],
)
def test_controller_post_raises_on_refusal(controller, status, body, reason):
    url, server = controller
    server.answers = [(status, body)]
    payload = {"action": "associate_attachment_to_multi_cloud_security_domain", "CID": "c1"}
    with pytest.raises(LumaflowError, match=reason):
        Lumaflow.lumaflow_post(url, payload)


def test_controller_post_success_and_unreachable(controller):
    url, server = controller
    server.answers = [(200, {"return": True, "results": "ok"})]
    assert Lumaflow.lumaflow_post(url, {"action": "a", "CID": "c"})["results"] == "ok"
    with pytest.raises(LumaflowError, match="unreachable"):
        Lumaflow.lumaflow_post("http://127.0.0.1:1/v2/api", {"action": "a", "CID": "c"})
