"""The library end to end: real SDK clients, built for the configured cloud, against armsim.

A spoke VNet in one subscription is peered with a hub in another; the hub carries a lock and
a VPN gateway. A forward run moves the spoke's subnets onto their staged route tables, turns
propagation and remote-gateway use off, deletes the peerings (removing the hub's lock first)
and detects the gateways; the revert run, fed the forward run's records after a round trip
through JSON, puts everything back.
"""

import json
from types import SimpleNamespace

import pytest
import yaml
from azure.core.exceptions import HttpResponseError

import qn.arm.switchlib as switchlib
from qn.arm.armsim import Emulator, Fault
from qn.arm.res import cloud
from qn.arm.res.YamlContext import YamlContext
from qn.arm.terraform import Terraform

SPOKE = "00000000-0000-0000-0000-0000000000a1"
HUB = "00000000-0000-0000-0000-0000000000b2"
NET = "providers/Microsoft.Network"
SPOKE_VNET = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/virtualNetworks/vn-spoke"
HUB_VNET = f"/subscriptions/{HUB}/resourceGroups/rg-hub/{NET}/virtualNetworks/vn-hub"
HUB_LOCK = f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-lock"
CONTROLLER_PREFIX = "lumaflow-"
# Azure's durations a hundred times faster: a peering PUT takes 150 ms, a poll waits 100 ms,
# slow enough that the library's writes meet operations still running (and Azure's refusals).
TIME_SCALE = 0.01


TOPOLOGY_YAML = """
subscriptions:
  $SPOKE:
    resource_groups:
      rg-spoke:
        route_tables:
          rt-web: {tags: {owner: network team}}
          rt-db: {}
          rt-web-new: {tags: {vnet: vn-spoke, Org_RT: org_rt-web}}
          rt-db-new: {tags: {vnet: vn-spoke, Org_RT: org_rt-db}}
          vn-spoke-main-1: {}
          vn-spoke-main-2: {}
        virtual_networks:
          vn-spoke:
            address_prefixes: [10.1.0.0/16]
            subnets:
              app: {address_prefix: 10.1.1.0/24, route_table: rt-web}
              db: {address_prefix: 10.1.2.0/24, route_table: rt-db}
              files: {address_prefix: 10.1.3.0/24, route_table: rt-db,
                      delegations: [Microsoft.Netapp/volumes]}
              web: {address_prefix: 10.1.4.0/24, route_table: rt-web}
            peerings:
              spoke-to-hub: {remote: $HUB/rg-hub/vn-hub, use_remote_gateways: true}
  $HUB:
    resource_groups:
      rg-hub:
        virtual_networks:
          vn-hub:
            address_prefixes: [10.0.0.0/16]
            subnets: {GatewaySubnet: {address_prefix: 10.0.255.0/27}}
            peerings:
              hub-to-spoke: {remote: $SPOKE/rg-spoke/vn-spoke, allow_gateway_transit: true}
            locks: {hub-lock: CanNotDelete}
            gateways: {vng-hub: {type: Vpn}}
"""


def topology(hub_peering=True):
    parsed = yaml.safe_load(TOPOLOGY_YAML.replace("$SPOKE", SPOKE).replace("$HUB", HUB))
    hub_vnets = parsed["subscriptions"][HUB]["resource_groups"]["rg-hub"]["virtual_networks"]
    if not hub_peering:
        del hub_vnets["vn-hub"]["peerings"]
    return parsed


VNET_YAML = {
    "allow_vnet_cidrs": [],
    "default_route_table": None,
    "subscriptionId": SPOKE,
    "subscriptionInfo": {"alias": "spoke"},
    "migrate_non_associated_subnet": True,
    "subnet_in_subnet_groups": [],
}
PEERING_YAML = {"delete_peering": "gateway", "delete_vnet_lock": True}


def start(request, tmp_path, monkeypatch, hub_peering=True):
    """An emulator serving the topology, and the tool configured to reach it."""
    arm = Emulator(topology(hub_peering), token="armsim", time_scale=TIME_SCALE)
    arm.start()
    request.addfinalizer(arm.stop)
    tmp_path.mkdir(parents=True, exist_ok=True)
    config = tmp_path / "qn-arm.yaml"
    config.write_text(yaml.safe_dump(arm.tool_config({SPOKE: "spoke", HUB: "hub"})))
    monkeypatch.setenv("QN_ARM_CONFIG", str(config))
    monkeypatch.setattr(Terraform, "outputDir", str(tmp_path / "out"))
    return arm


@pytest.fixture(autouse=True)
def emulated_waits():
    """The tool's own waits for a refused write on the emulator's clock, and pacers of the
    test's own."""
    with cloud.using(cloud.ClientSettings(retries=cloud.RetrySettings().scaled(TIME_SCALE))):
        yield


@pytest.fixture
def arm(request, tmp_path, monkeypatch):
    return start(request, tmp_path, monkeypatch)


def client(subscription):
    cred = YamlContext().generateAzureCredential(subscription)
    return cred, switchlib.NetworkManagementClient(cred.getCSC(), cred.getSubId())


def spoke():
    _, network = client(SPOKE)
    return network, network.virtual_networks.get("rg-spoke", "vn-spoke")


def forward(ST):
    """The forward run in the driver's order; returns its records as plain data."""
    network, vnet = spoke()
    pairs = {}
    staged_tables, _ = ST.discoverRouteTable(network, False, vnet, pairs)
    ST.updateSubnetAssociation(VNET_YAML, False, network, vnet, dict(pairs), {})
    propagation = ST.setDisableAllRouteTablePropagationInVnet(
        SimpleNamespace(revert=False), network, vnet, staged_tables, dict(pairs), True
    )
    remote_gateway = ST.disableUseRemoteGwInPeering(SPOKE, network, vnet, CONTROLLER_PREFIX)
    peering_pairs = ST.deletePeerings(PEERING_YAML, SPOKE, vnet, network, CONTROLLER_PREFIX)
    hub_cred, hub_network = client(HUB)
    hub_vnet = hub_network.virtual_networks.get("rg-hub", "vn-hub")
    gateways = {"hub": ST.isVnetWithVng(hub_cred, hub_vnet, ST.VPN)}
    gateways["spoke"] = ST.isVnetWithVng(client(SPOKE)[0], vnet, ST.VPN)
    return {
        "stagedUdrLst": staged_tables,
        "rtb_target_rtb_map": pairs,
        "rtbPropList": propagation,
        "peeringPropList": remote_gateway,
        "peeringPairList": peering_pairs,
        "gateways": gateways,
    }


def revert(ST, records):
    network, vnet = spoke()
    ST.addPeerings(records["peeringPairList"])
    ST.restoreUseRemoteGwInPeering(network, records["peeringPropList"])
    ST.restoreRouteTablePropagationInVnet(network, records["rtbPropList"])
    pairs = {}
    _, original = ST.discoverRouteTable(network, True, vnet, pairs)
    ST.updateSubnetAssociation(VNET_YAML, True, network, vnet, pairs, original)


def table_of(arm, subnet):
    properties = arm.snapshot()[f"{SPOKE_VNET}/subnets/{subnet}"]["properties"]
    return (properties.get("routeTable") or {}).get("id", "").rsplit("/", 1)[-1] or None


def test_forward_and_revert_leave_the_cloud_as_it_was(ST, arm, logs):
    before = arm.snapshot()
    records = json.loads(json.dumps(forward(ST)))
    arm.wait_idle()  # propagation and remote-gateway writes are not waited for
    moved = arm.snapshot()
    moved_tables = [table_of(arm, s) for s in ("app", "db", "files", "web")]
    assert moved_tables == ["rt-web-new", "rt-db-new", "rt-db", "rt-web-new"]  # files: NetApp
    for table in ("rt-web-new", "rt-db-new", "vn-spoke-main-1", "vn-spoke-main-2"):
        rid = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/routeTables/{table}"
        assert moved[rid]["properties"]["disableBgpRoutePropagation"] is True
    assert not [k for k in moved if "/virtualNetworkPeerings/" in k]
    assert HUB_LOCK not in moved
    assert records["gateways"] == {"hub": True, "spoke": False}
    (pair,) = records["peeringPairList"]
    assert (pair["localPeeringName"], pair["remotePeeringName"]) == ("spoke-to-hub", "hub-to-spoke")
    assert "    delete lock hub-lock" in logs.messages()
    assert not logs.lines("ERROR")

    revert(ST, records)
    arm.wait_idle()
    assert arm.snapshot() == {k: v for k, v in before.items() if k != HUB_LOCK}
    assert not logs.lines("ERROR")


def test_dry_run_logs_as_a_real_run_and_writes_nothing(ST, request, tmp_path, monkeypatch, logs):
    real = start(request, tmp_path / "real", monkeypatch)
    forward(ST)
    real_lines = logs.lines()
    assert real.write_requests()

    logs.clear()
    dry = start(request, tmp_path / "dry", monkeypatch)
    ST.setDryRun()
    forward(ST)
    assert dry.write_requests() == []
    dry_lines = logs.lines()
    assert len(dry_lines) == len(real_lines)
    differing = [(d, r) for d, r in zip(dry_lines, real_lines, strict=True) if d != r]
    # Only the closing association report differs: it shows the subnets as Azure has them.
    report = "  subnet {} is associated to {}"
    assert differing == [
        (("INFO", report.format(s, old)), ("INFO", report.format(s, new)))
        for s, old, new in (("app", "rt-web", "rt-web-new"), ("db", "rt-db", "rt-db-new"),
                            ("web", "rt-web", "rt-web-new"))
    ]  # fmt: skip


def test_throttled_reads_are_retried_and_the_run_succeeds(ST, arm, logs):
    throttled = ("vn-spoke", "vn-spoke/subnets", "routeTables", "locks", "virtualNetworkPeerings")
    faults = [
        arm.faults.add(Fault(method="GET", resource=r, status=429, times=2, retry_after=0.005))
        for r in throttled
    ]
    faults.append(arm.faults.add(Fault(method="POST", status=429, times=2, retry_after=0.005)))
    records = forward(ST)
    assert [f.hits for f in faults] == [2] * 6
    assert records["gateways"] == {"hub": True, "spoke": False}
    assert table_of(arm, "web") == "rt-web-new"
    assert not logs.lines("ERROR")


def test_failed_subnet_write_ends_the_switch_and_keeps_what_was_written(ST, arm):
    arm.faults.add(Fault(method="PUT", resource="subnets/web", status=403, times=None))
    network, vnet = spoke()
    pairs = {}
    ST.discoverRouteTable(network, False, vnet, pairs)
    with pytest.raises(HttpResponseError) as error:
        ST.updateSubnetAssociation(VNET_YAML, False, network, vnet, pairs, {})
    assert error.value.status_code == 403
    assert [table_of(arm, s) for s in ("app", "db", "web")] == ["rt-web-new", "rt-db-new", "rt-web"]


def test_lock_that_cannot_be_removed_keeps_its_peering_and_record(ST, arm, logs):
    arm.faults.add(Fault(method="DELETE", resource="locks/hub-lock", status=403, times=None))
    network, vnet = spoke()
    pairs = ST.deletePeerings(PEERING_YAML, SPOKE, vnet, network, CONTROLLER_PREFIX)
    assert [p["remotePeeringName"] for p in pairs] == ["hub-to-spoke"]
    state = arm.snapshot()
    assert HUB_LOCK in state
    assert f"{HUB_VNET}/virtualNetworkPeerings/hub-to-spoke" in state
    assert f"{SPOKE_VNET}/virtualNetworkPeerings/spoke-to-hub" not in state
    errors = logs.messages("ERROR")
    assert errors[0].startswith("    **Error** ") and "AuthorizationFailed" in errors[0]
    assert errors[1].startswith("  **Error** Failed to delete peering hub-to-spoke -")
    assert "ScopeLocked" in errors[1]


def test_peering_whose_remote_end_is_gone_is_skipped(ST, request, tmp_path, monkeypatch, logs):
    arm = start(request, tmp_path, monkeypatch, hub_peering=False)
    network, vnet = spoke()
    assert ST.deletePeerings(PEERING_YAML, SPOKE, vnet, network, CONTROLLER_PREFIX) == []
    assert f"{SPOKE_VNET}/virtualNetworkPeerings/spoke-to-hub" in arm.snapshot()
    assert "  failed to found remote peering info for spoke-to-hub" in logs.messages("INFO")
    (error,) = logs.messages("ERROR")
    assert error.startswith("  **Error** ")
    assert arm.write_requests() == []
