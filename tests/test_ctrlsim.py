"""The controller emulator and the controller client against it: over HTTPS with the
emulator's authority, acting on the Azure emulator with the controller's own principal."""

import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests
import yaml

from qn.arm import lumaflow
from qn.arm.armsim import Emulator as Azure
from qn.arm.ctrlsim import Emulator, Refusal, Settings, TopologyError, load, wire
from qn.arm.ctrlsim.__main__ import parser
from qn.arm.lumaflow import (
    DomainAssociation,
    Lumaflow,
    LumaflowError,
    LumaflowSession,
    LumaflowUnreachable,
    Retries,
    SpokeAttachment,
)

SPOKES = "00000000-0000-0000-0000-0000000000a1"
HUB = "00000000-0000-0000-0000-0000000000b2"
SPOKE, TRANSIT, OTHER = "vn-app-gw", "azu-use-transit-gw", "azu-usw2-transit-gw"
TABLES = ["rt-app-new:rg-spokes", "vn-app-main-1"]
KEEP = {"name": "keep", "address_prefix": "0.0.0.0/0", "next_hop_type": "Internet"}
PASSWORD_ENV = "CTRLSIM_TEST_PASSWORD"
NO_WAIT = Retries(attempts=3, base_delay=0.0)

AZURE = {
    "subscriptions": {
        SPOKES: {
            "resource_groups": {
                "rg-spokes": {
                    "route_tables": {"rt-app-new": {"routes": [KEEP]}, "vn-app-main-1": {}},
                    "virtual_networks": {"vn-app": {"address_prefixes": ["10.1.0.0/16"]}},
                }
            }
        },
        HUB: {
            "resource_groups": {
                "rg-transit": {
                    "virtual_networks": {
                        "vn-transit": {"address_prefixes": ["10.0.0.0/16"]},
                        "vn-transit2": {"address_prefixes": ["10.2.0.0/16"]},
                    }
                }
            }
        },
    },
    "principals": {
        "armsim": {"subscriptions": {SPOKES: "all", HUB: "all"}},
        "lumaflow-controller": {
            "subscriptions": {SPOKES: ["read", "write_network"], HUB: ["read", "write_network"]}
        },
    },
}
CONTROLLER = {
    "users": {"admin": "s3cret"},
    "accounts": {"spokes": {"subscription": SPOKES}, "hub": {"subscription": HUB}},
    "gateways": {
        SPOKE: {"type": "spoke", "account": "spokes", "vnet": "rg-spokes/vn-app",
                "private_ip": "10.1.255.4"},
        TRANSIT: {"type": "transit", "account": "hub", "vnet": "rg-transit/vn-transit",
                  "private_ip": "10.0.255.4"},
        OTHER: {"type": "transit", "account": "hub", "vnet": "rg-transit/vn-transit2",
                "private_ip": "10.2.255.4"},
    },
    "domains": ["prod", "dev"],
}  # fmt: skip


@pytest.fixture
def arm():
    with Azure(AZURE, profile="instant") as arm:
        yield arm


@pytest.fixture
def ctrl(arm):
    with Emulator(CONTROLLER, azure=arm, profile="instant") as ctrl:
        yield ctrl


@pytest.fixture
def session(ctrl, monkeypatch):
    monkeypatch.setenv(PASSWORD_ENV, "s3cret")
    return LumaflowSession(
        ctrl.endpoint,
        username="admin",
        password_env=PASSWORD_ENV,
        ca_bundle=ctrl.ca_file,
        retries=NO_WAIT,
    )


def public_names(module):
    return {k: v for k, v in vars(module).items() if re.fullmatch(r"[A-Z][A-Z_]+", k)}


def test_client_and_emulator_agree_on_every_wire_name():
    controller = {k: v for k, v in public_names(wire).items() if k != "API_PATH"}
    client = public_names(lumaflow)
    assert {k: client.get(k) for k in controller} == controller


def controller_parts(arm):
    """{resource ID: what the controller wrote}: its peerings and its routes."""
    found = {}
    for rid, resource in arm.snapshot().items():
        properties = resource.get("properties", {})
        if "/virtualNetworkPeerings/lumaflow-" in rid:
            found[rid] = properties["peeringState"]
        for route in properties.get("routes", []):
            found[f"{rid}/{route['name']}"] = route["properties"].get("nextHopIpAddress")
    return found


def test_attach_peers_and_routes_in_azure_and_detach_puts_it_back(arm, ctrl, session):
    before = arm.snapshot()
    attached = session.attach_spoke(SPOKE, TRANSIT, TABLES)
    assert attached == SpokeAttachment(
        SPOKE, TRANSIT, ("rt-app-new:rg-spokes", "vn-app-main-1:rg-spokes")
    )
    spokes = f"/subscriptions/{SPOKES}/resourceGroups/rg-spokes/providers/Microsoft.Network"
    hub = f"/subscriptions/{HUB}/resourceGroups/rg-transit/providers/Microsoft.Network"
    routes = {
        f"{spokes}/routeTables/{table}/lumaflow-{name}": "10.1.255.4"
        for table in ("rt-app-new", "vn-app-main-1")
        for name in ("10-0-0-0-8", "172-16-0-0-12", "192-168-0-0-16")
    }
    assert controller_parts(arm) == {
        f"{spokes}/virtualNetworks/vn-app/virtualNetworkPeerings/lumaflow-{TRANSIT}": "Connected",
        f"{hub}/virtualNetworks/vn-transit/virtualNetworkPeerings/lumaflow-{SPOKE}": "Connected",
        f"{spokes}/routeTables/rt-app-new/keep": None,
        **routes,
    }
    gateways = {g.name: g for g in session.list_gateways()}
    assert (gateways[SPOKE].transit, gateways[SPOKE].route_tables) == (
        TRANSIT,
        attached.route_tables,
    )
    assert (gateways[TRANSIT].vnet_name, gateways[TRANSIT].resource_group) == (
        "vn-transit",
        "rg-transit",
    )

    assert session.associate("prod", SPOKE) == DomainAssociation("prod", SPOKE)
    assert session.domain_attachments("prod") == [SPOKE]
    assert session.disassociate("prod", SPOKE) == DomainAssociation("prod", SPOKE)
    assert session.domain_attachments("prod") == []

    assert session.detach_spoke(SPOKE) == attached
    assert ctrl.attachments() == {}
    assert arm.snapshot() == before


def refused(session, ctrl, case):
    if case == "elsewhere":
        session.attach_spoke(SPOKE, TRANSIT, [])
        session.attach_spoke(SPOKE, OTHER, [])
    elif case == "unknown CID":
        LumaflowSession(ctrl.endpoint, cid="nope", ca_bundle=ctrl.ca_file).list_gateways()
    elif case == "unknown gateway":
        session.attach_spoke("nope", TRANSIT, [])
    elif case == "not a transit":
        session.attach_spoke(SPOKE, SPOKE, [])
    elif case == "unknown domain":
        session.associate("nope", SPOKE)
    elif case == "not attached":
        session.associate("prod", SPOKE)
    elif case == "not associated":
        session.attach_spoke(SPOKE, TRANSIT, [])
        session.disassociate("dev", SPOKE)
    elif case == "not detachable":
        session.detach_spoke(SPOKE)
    elif case == "bad table":
        session.attach_spoke(SPOKE, TRANSIT, ["rt:rg:x"])
    elif case == "wrong password":
        LumaflowSession(ctrl.endpoint, username="admin", password_env="HOME",
                        ca_bundle=ctrl.ca_file).list_gateways()  # fmt: skip


@pytest.mark.parametrize(
    "case, reason",
    [
        ("elsewhere", f"Spoke gateway {SPOKE} is already attached to transit gateway {TRANSIT}."),
        ("unknown CID", wire.SESSION_EXPIRED),
        ("unknown gateway", "Gateway nope does not exist."),
        ("not a transit", f"Gateway {SPOKE} is not a transit gateway."),
        ("unknown domain", "Security domain nope does not exist."),
        ("not attached", f"Attachment {SPOKE} does not exist."),
        ("not associated", f"Attachment {SPOKE} is not associated with security domain dev."),
        ("not detachable", f"Spoke gateway {SPOKE} is not attached to a transit gateway."),
        ("bad table", "Invalid route table entry 'rt:rg:x': expected <name>:<resource group>."),
        ("wrong password", "Invalid username or password."),
    ],
)
def test_refusals_are_the_controllers_and_reach_the_caller_with_their_reason(
    session, ctrl, case, reason
):
    with pytest.raises(LumaflowError) as error:
        refused(session, ctrl, case)
    assert error.value.reason == reason
    assert not isinstance(error.value, LumaflowUnreachable)


def test_a_refusal_is_http_200_with_return_false(ctrl):
    answer = requests.post(ctrl.endpoint, data={"action": "list_accounts"}, verify=ctrl.ca_file)
    assert (answer.status_code, answer.json()) == (
        200,
        {"return": False, "reason": wire.SESSION_EXPIRED},
    )


@pytest.mark.parametrize(
    "fault, sent, outcome",
    [
        (None, 1, None),
        (Refusal.busy(wire.LIST_GATEWAY_INFO, times=2), 3, None),
        (Refusal(wire.LIST_GATEWAY_INFO, "Server trouble.", status=503), 2, None),
        (Refusal.busy(wire.LIST_GATEWAY_INFO, times=None), 3, wire.BUSY),
        (Refusal(wire.LIST_GATEWAY_INFO, times=None), 1, "Injected refusal."),
    ],
)
def test_transient_refusals_are_tried_again_a_bounded_number_of_times(
    session, ctrl, fault, sent, outcome
):
    if fault is not None:
        ctrl.faults.add(fault)
    if outcome is None:
        assert session.list_gateways()
    else:
        with pytest.raises(LumaflowError, match=re.escape(outcome)):
            session.list_gateways()
    assert ctrl.actions.count(wire.LIST_GATEWAY_INFO) == sent


def test_an_expired_session_logs_in_again_once_also_for_the_library_requests(
    session, ctrl, monkeypatch
):
    monkeypatch.setattr(Lumaflow, "verify", ctrl.ca_file)
    stale = session.cid
    ctrl.expire_sessions()
    with session.installed():
        answer = Lumaflow.list_gateway_info(api_endpoint_url=ctrl.endpoint, CID=stale)
        assert answer.json()["return"] is True
        ctrl.faults.add(Refusal(reason=wire.SESSION_EXPIRED, times=None))
        with pytest.raises(LumaflowError, match="CID is invalid or expired"):
            Lumaflow.lumaflow_post(ctrl.endpoint, {"action": wire.LIST_ACCOUNTS, "CID": stale})
    assert session.cid != stale
    # One login at first, one after the expiry, one more for the refusal that persists.
    assert ctrl.actions.count(wire.LOGIN) == 3
    # Outside the block the library's request goes out as it is, with its stale CID.
    assert (
        Lumaflow.list_accounts(api_endpoint_url=ctrl.endpoint, CID=stale).json()["return"] is False
    )


def test_an_outage_is_unreachable_not_a_refusal_and_the_controller_comes_back(session, ctrl):
    session.list_gateways()
    ctrl.stop()
    with pytest.raises(LumaflowUnreachable, match="unreachable"):
        session.associate("prod", SPOKE)
    with session.installed(), pytest.raises(LumaflowUnreachable):
        Lumaflow.lumaflow_post(ctrl.endpoint, {"action": wire.ASSOCIATE})
    ctrl.start()
    assert [g.name for g in session.list_gateways()] == [SPOKE, TRANSIT, OTHER]


def test_a_password_variable_that_is_not_set_is_said_so(ctrl, monkeypatch):
    monkeypatch.delenv(PASSWORD_ENV, raising=False)
    with pytest.raises(LumaflowError, match=f"variable {PASSWORD_ENV} is not set"):
        LumaflowSession(ctrl.endpoint, username="admin", password_env=PASSWORD_ENV).login()


def test_an_attachment_takes_its_scaled_time_and_holds_its_gateway_meanwhile(arm, monkeypatch):
    monkeypatch.setenv(PASSWORD_ENV, "s3cret")
    with Emulator(CONTROLLER, azure=arm, time_scale=0.01) as ctrl:
        clients = [
            LumaflowSession(ctrl.endpoint, username="admin", password_env=PASSWORD_ENV,
                            ca_bundle=ctrl.ca_file, retries=Retries(attempts=1))
            for _ in range(2)
        ]  # fmt: skip
        for client in clients:
            client.cid  # noqa: B018 - logged in before the clock starts
        start = time.monotonic()
        attach = threading.Thread(target=clients[0].attach_spoke, args=(SPOKE, TRANSIT, TABLES))
        attach.start()
        time.sleep(0.05)
        with pytest.raises(LumaflowError, match=re.escape(f"Gateway {SPOKE} {wire.BUSY}")):
            clients[1].associate("prod", SPOKE)
        attach.join()
        assert time.monotonic() - start >= 20.0 * 0.01
        assert ctrl.attachments() == {
            SPOKE: (TRANSIT, ["rt-app-new:rg-spokes", "vn-app-main-1:rg-spokes"])
        }


@pytest.mark.parametrize(
    "change, key",
    [
        ({"gateways": {"g": {"type": "hub"}}}, "gateways.g.type"),
        ({"gateways": {"g": {"type": "spoke", "account": "x"}}}, "gateways.g.account"),
        ({"accounts": {"a": {"subscription": SPOKES, "region": "x"}}}, "accounts.a.region"),
        ({"users": {"admin": 1}}, "users.admin"),
        ({"routes": ["10.0.0.0/33"]}, "routes[0]"),
        (
            {"gateways": {SPOKE: dict(CONTROLLER["gateways"][SPOKE], vnet="vn-app")}},
            f"gateways.{SPOKE}.vnet",
        ),
        (
            {"gateways": {SPOKE: dict(CONTROLLER["gateways"][SPOKE], private_ip="10.1")}},
            f"gateways.{SPOKE}.private_ip",
        ),
    ],
)
def test_topology_errors_name_the_key(change, key):
    with pytest.raises(TopologyError, match=re.escape(f"topology: {key}: ")):
        load({**CONTROLLER, **change})


def test_a_missing_topology_file_is_refused_naming_it(tmp_path):
    with pytest.raises(TopologyError, match=f"^{re.escape(str(tmp_path / 'gone.yaml'))}: "):
        load(tmp_path / "gone.yaml")


@pytest.mark.parametrize(
    "values, message",
    [
        ({"profile": "fast"}, "unknown profile 'fast'; use one of realistic, instant"),
        ({"durations": {"attach": 1, "peer": 1}}, "unknown durations ['peer']; use login, list"),
    ],
)
def test_settings_refuse_an_unknown_profile_or_kind_at_once(values, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        Settings(**values)


DOC = Path(__file__).resolve().parents[1] / "docs" / "controller-emulator.md"


def doc_blocks(start: str) -> list[str]:
    blocks = re.findall(r"^```(\w*)\n(.*?)^```", DOC.read_text(encoding="utf-8"), re.M | re.S)
    return [text for language, text in blocks if not language and text.startswith(start)]


def test_the_docs_topology_loads_and_synopsis_names_real_options():
    (topology,) = doc_blocks("# controller.yaml")
    assert load(yaml.safe_load(topology)).gateways
    (synopsis,) = doc_blocks("ctrlsim ")
    known = parser().format_help()
    for option in re.findall(r"--[a-z][\w-]*", synopsis):
        assert re.search(rf"{option}\b", known), f"{option} is not an option"


def test_command_serves_until_stopped_and_refuses_a_bad_topology(tmp_path):
    good, bad = tmp_path / "good.yaml", tmp_path / "bad.yaml"
    good.write_text(yaml.safe_dump(CONTROLLER))
    bad.write_text("gateways: {g: {type: hub}}\n")
    command = [sys.executable, "-m", "qn.arm.ctrlsim", "--azure-endpoint", "https://127.0.0.1:1",
               "--cert-dir", str(tmp_path), "--topology"]  # fmt: skip
    failed = subprocess.run([*command, str(bad)], capture_output=True, text=True, timeout=30)
    assert (failed.returncode, failed.stderr.startswith("ctrlsim: ")) == (2, True)
    with subprocess.Popen([*command, str(good)], stdout=subprocess.PIPE, text=True) as server:
        try:
            assert server.stdout.readline().startswith("ctrlsim: endpoint https://127.0.0.1:")
        finally:
            server.terminate()
        assert server.wait(timeout=10) == 0
