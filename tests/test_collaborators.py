"""The tool's collaborator modules: configuration, credentials, discovery record, controller
client (the Terraform writer has tests/test_terraform.py)."""

import contextvars
import http.server
import json
import threading
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

import pytest
from azure.identity import CertificateCredential, ClientSecretCredential, DefaultAzureCredential
from test_driver_config import certificate_file

from fakes import Model
from qn.arm.commonlib import Common
from qn.arm.discoverylib import DiscoveryLib
from qn.arm.lumaflow import Lumaflow, LumaflowError
from qn.arm.res import cloud
from qn.arm.res.Globals import Globals
from qn.arm.res.VWanMgmt import VWanMgmt
from qn.arm.res.YamlContext import AzureCredential, ConfigError, YamlContext
from qn.arm.terraform import Terraform

CONFIG = """
subscriptions:
  sub-a: {alias: prod, credential: {tenant_id: t1, client_id: app-1, client_secret_env: SP_SECRET}}
  sub-b: {alias: hub}
  sub-c: {alias: shared, credential: {tenant_id: t1, client_id: app-2,
          certificate_path: CERTIFICATE, certificate_password_env: CERT_PASSWORD}}
settings: {configure_shared_route_table_replication: 2}
vnets: {vn1: {main_table_prefix: shared}}
"""


def use_config(tmp_path, monkeypatch, text):
    path = tmp_path / "tool.yaml"
    if text is not None:
        path.write_text(text)
    monkeypatch.setenv("QN_ARM_CONFIG", str(path))
    return path


def test_credentials_settings_and_main_table_prefix(tmp_path, monkeypatch):
    certificate = certificate_file(tmp_path / "sp.pem", "right")
    use_config(tmp_path, monkeypatch, CONFIG.replace("CERTIFICATE", certificate))
    monkeypatch.setenv("SP_SECRET", "s3cret")
    monkeypatch.setenv("CERT_PASSWORD", "right")
    context = YamlContext()
    cred = context.generateAzureCredential("sub-a")
    assert isinstance(cred, AzureCredential) and cred.getSubId() == "sub-a"
    assert isinstance(cred.getCSC().wrapped, ClientSecretCredential)
    assert cred.getSPC() is cred.getCSC()
    assert isinstance(
        context.generateAzureCredential("sub-b").getCSC().wrapped, DefaultAzureCredential
    )
    assert isinstance(
        context.generateAzureCredential("sub-c").getCSC().wrapped, CertificateCredential
    )
    assert context.generateAzureCredential("sub-unknown") is None
    assert context.getGlobalContext("configure_shared_route_table_replication") == 2
    assert (Common.getMainTablePrefix("vn1"), Common.getMainTablePrefix("vn2")) == ("shared", None)


def test_defaults_without_a_configuration_file(tmp_path, monkeypatch):
    monkeypatch.delenv("QN_ARM_CONFIG", raising=False)
    monkeypatch.chdir(tmp_path)
    context = YamlContext()
    assert context.generateAzureCredential("sub-a") is None
    assert context.getGlobalContext("configure_shared_route_table_replication") == 0


@pytest.mark.parametrize(
    "text, complaint",
    [
        (None, "configuration file not found"),  # named explicitly, so not silently empty
        ("- a list", "top level must be a mapping"),
        ("subscriptions: [1, 2]", "'subscriptions' must be a mapping"),
        ("subscriptions:\n  s:\n    credential: {client_id: x}", "lacks tenant_id, client_secret"),
        ("a: [unclosed", "not valid YAML"),
    ],
)
def test_bad_configuration_names_file_and_key(tmp_path, monkeypatch, text, complaint):
    path = use_config(tmp_path, monkeypatch, text)
    with pytest.raises(ConfigError, match=complaint) as caught:
        YamlContext().generateAzureCredential("s")
    assert str(path) in str(caught.value)


RUN_CLIENTS = cloud.ClientSettings(retries=cloud.RetrySettings(total_seconds=1.0))
BLOCKS = {
    "configuration": (lambda: YamlContext.using("run.yaml"), lambda: YamlContext().path),
    "output": (lambda: Terraform.using("run-out"), lambda: Terraform.outputDir),
    "controller": (
        lambda: Globals.using(CID="cid-1", api_ep_url="https://ctl"),
        lambda: (Globals.CID, Globals.api_ep_url),
    ),
    "clients": (lambda: cloud.using(RUN_CLIENTS), cloud.current),
}


@pytest.mark.parametrize("name", BLOCKS)
def test_a_runs_setting_holds_in_its_block_and_in_workers_copied_from_it(
    tmp_path, monkeypatch, name
):
    (tmp_path / "run.yaml").write_text("{}")
    monkeypatch.chdir(tmp_path)
    use_config(tmp_path, monkeypatch, "{}")  # the block's path comes before the variable's
    block, read = BLOCKS[name]
    before = read()
    with block():
        inside = read()
        with ThreadPoolExecutor(1) as pool:
            in_worker = pool.submit(contextvars.copy_context().run, read).result()
        with block():  # nested, as the driver's run within the demo's
            pass
        assert read() == inside
    assert inside == in_worker != before and read() == before


def test_resource_id_positions_and_route_table_use_ignoring_case():
    vnet = Model(
        id="/subscriptions/S/resourceGroups/RG/providers/Microsoft.Network/virtualNetworks/vn1"
    )
    parts = f"{vnet.id}/virtualNetworkPeerings/p1".split("/")
    positions = (DiscoveryLib.SUB_I, DiscoveryLib.RG_I, DiscoveryLib.VNET_I, DiscoveryLib.PEER_I)
    assert [parts[i] for i in positions] == ["S", "RG", "vn1", "p1"]
    inside = Model(id=vnet.id.lower() + "/subnets/a")
    sibling = Model(id=vnet.id + "2/subnets/a")
    assert DiscoveryLib.isRouteTableUsedInVnet(Model(subnets=[sibling, inside]), vnet)
    assert not DiscoveryLib.isRouteTableUsedInVnet(Model(subnets=[sibling]), vnet)
    assert not DiscoveryLib.isRouteTableUsedInVnet(Model(subnets=None), vnet)


VNETS = "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/"


@pytest.mark.parametrize(
    "remote, hub",
    [
        (VNETS + "HV_hub1_0b4f2c3e-1d2a-4c5b-9e8f-112233445566", "hub1"),
        (VNETS + "hub1", None),
        (None, None),
    ],
)
def test_virtual_hub_recognised_from_remote_network(remote, hub):
    assert VWanMgmt.getVHubNameFromPeering(remote) == hub


def test_discovery_record_is_read_from_the_output_directory(tmp_path, monkeypatch):
    monkeypatch.setattr(Terraform, "outputDir", str(tmp_path / "out"))
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "discovery.json").write_text(json.dumps({"rtbSubnetGwGroupInfos": {}}))
    assert Terraform.readDiscoveryInfo() == {"rtbSubnetGwGroupInfos": {}}


class Controller(http.server.BaseHTTPRequestHandler):
    answers, received = [], []

    def do_POST(self):
        form = self.rfile.read(int(self.headers["Content-Length"])).decode()
        Controller.received.append({k: v[0] for k, v in urllib.parse.parse_qs(form).items()})
        status, body = Controller.answers.pop(0)
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture
def controller():
    """The controller's API URL on a loopback server answering `Controller.answers` in turn."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Controller)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    Controller.answers, Controller.received = [], []
    yield f"http://127.0.0.1:{server.server_address[1]}/v2/api"
    server.shutdown()
    server.server_close()


def test_controller_queries_return_the_answer_and_post_returns_success(controller):
    refusal = {"return": False, "reason": "CID expired"}
    Controller.answers = [
        (200, {"return": True, "results": [{"gw_name": "t1"}]}),
        (200, refusal),
        (200, {"return": True, "results": "ok"}),
    ]
    gateways = Lumaflow.list_gateway_info(api_endpoint_url=controller, CID="c1")
    assert gateways.json()["results"] == [{"gw_name": "t1"}]
    assert Lumaflow.list_accounts(controller, CID="c1", iam_based="false").json() == refusal
    assert Lumaflow.lumaflow_post(controller, {"action": "a", "CID": "c"})["results"] == "ok"
    assert Controller.received == [
        {"action": "list_gateway_info", "CID": "c1"},
        {"action": "list_accounts", "CID": "c1", "iam_based": "false"},
        {"action": "a", "CID": "c"},
    ]


@pytest.mark.parametrize(
    "answer, reason",
    [
        ((200, {"return": False, "reason": "domain d1 not found"}), "domain d1 not found"),
        ((500, "<html>oops</html>"), "not JSON"),
        ((403, {"return": False, "reason": "CID invalid"}), "CID invalid"),
        (None, "unreachable"),
    ],
)
def test_controller_post_raises_on_refusal(controller, answer, reason):
    Controller.answers = [answer]
    url = controller if answer else "http://127.0.0.1:1/v2/api"
    payload = {"action": "associate_attachment_to_multi_cloud_security_domain", "CID": "c1"}
    with pytest.raises(LumaflowError, match=reason):
        Lumaflow.lumaflow_post(url, payload)
