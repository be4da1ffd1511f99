"""The emulator through the real SDK clients, built for the configured cloud."""

import copy
import json
import re
import socket
import subprocess
import sys
import threading
import time
from contextlib import nullcontext
from pathlib import Path

import pytest
import requests
import yaml
from azure.core.exceptions import HttpResponseError, ResourceNotFoundError
from azure.mgmt.network import NetworkManagementClient as SdkNetworkClient
from azure.mgmt.network import models as network_models
from azure.mgmt.resource.locks.models import ManagementLockObject

from qn.arm.armsim import Emulator, Fault, Settings, TopologyError, load_topology
from qn.arm.armsim.settings import KINDS
from qn.arm.res import cloud, resourcegraph
from qn.arm.res.credentials import StaticTokenCredential
from qn.arm.res.errors import ConfigError
from qn.arm.res.YamlContext import YamlContext

SPOKE = "00000000-0000-0000-0000-00000000000a"
HUB = "00000000-0000-0000-0000-00000000000b"
NET = "providers/Microsoft.Network"
SPOKE_VNET = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/virtualNetworks/vn-spoke"
HUB_VNET = f"/subscriptions/{HUB}/resourceGroups/rg-hub/{NET}/virtualNetworks/vn-hub"
RT_WEB = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/routeTables/rt-web"
RT_NEW = RT_WEB + "-new"
SPOKE_PEERING = f"{SPOKE_VNET}/virtualNetworkPeerings/spoke-to-hub"
# Azure's durations, a thousand times faster: a subnet PUT takes 3 ms, a poll waits 10 ms.
TIME_SCALE = 0.001
HUB_LOCK_ARGS = ("rg-hub", "Microsoft.Network", "", "virtualNetworks", "vn-hub")
SPOKE_LOCK_ARGS = ("rg-spoke", "Microsoft.Network", "", "virtualNetworks", "vn-spoke")

GATEWAY_QUERY = (
    "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
    "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id =~ '%s' | project properties.gatewayType"
)

TOPOLOGY_YAML = """
location: westus
subscriptions:
  $SPOKE:
    resource_groups:
      rg-spoke:
        route_tables:
          rt-web: {tags: {env: test}}
          rt-web-new:
            tags: {vnet: vn-spoke, Org_RT: org_rt-web}
            routes:
              - {name: default, address_prefix: 0.0.0.0/0, next_hop_type: VirtualAppliance,
                 next_hop_ip_address: 10.1.0.4}
        virtual_networks:
          vn-spoke:
            address_prefixes: [10.1.0.0/16]
            subnets:
              web: {address_prefix: 10.1.1.0/24, route_table: rt-web}
              db: {address_prefix: 10.1.2.0/24}
              files: {address_prefix: 10.1.3.0/24, delegations: [Microsoft.Netapp/volumes]}
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
""".replace("$SPOKE", SPOKE).replace("$HUB", HUB)
TOPOLOGY = yaml.safe_load(TOPOLOGY_YAML)


@pytest.fixture
def arm(tmp_path, monkeypatch):
    """The emulator, and the tool arm to reach it with a static token per subscription."""
    with Emulator(TOPOLOGY, token="armsim", time_scale=TIME_SCALE) as emulator:
        path = tmp_path / "qn-arm.yaml"
        path.write_text(yaml.safe_dump(emulator.tool_config({SPOKE: "spoke", HUB: "hub"})))
        monkeypatch.setenv("QN_ARM_CONFIG", str(path))
        yield emulator


def network(subscription):
    credential = YamlContext().generateAzureCredential(subscription)
    return cloud.NetworkManagementClient(credential.getCSC(), credential.getSubId())


def locks(subscription):
    credential = YamlContext().generateAzureCredential(subscription)
    return cloud.ManagementLockClient(credential.getSPC(), credential.getSubId()).management_locks


def raises_arm_error(status, code, call, *args):
    with pytest.raises(HttpResponseError) as error:
        call(*args)
    assert (error.value.status_code, error.value.error.code) == (status, code)
    assert isinstance(error.value, ResourceNotFoundError) == (status == 404)
    return error.value


def web_onto_new_table(client):
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    web.route_table = client.route_tables.get("rg-spoke", "rt-web-new")
    return web


def write_subnet(client, subnet):
    return client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", subnet.name, subnet)


# -- reads ------------------------------------------------------------------------------------
def test_reads_across_subscriptions_and_pages_with_peerings_and_back_references(arm):
    spoke = list(network(SPOKE).virtual_networks.list_all())
    assert [v.id for v in spoke] == [SPOKE_VNET]
    assert spoke[0].address_space.address_prefixes == ["10.1.0.0/16"]
    (peering,) = spoke[0].virtual_network_peerings
    assert (peering.name, peering.remote_virtual_network.id) == ("spoke-to-hub", HUB_VNET)
    assert peering.peering_state == "Connected"
    hub = network(HUB).virtual_networks.get("RG-HUB", "VN-HUB")  # names resolve without case
    assert hub.id == HUB_VNET and hub.provisioning_state == "Succeeded"
    assert [s.name for s in hub.subnets] == ["GatewaySubnet"]

    arm.settings.page_size = 1
    client = network(SPOKE)
    subnets = {s.name: s for s in client.subnets.list("rg-spoke", "vn-spoke")}
    assert list(subnets) == ["db", "files", "web"]
    assert len([p for m, p in arm.requests if p.endswith("/vn-spoke/subnets")]) == 3
    assert subnets["web"].route_table.id == RT_WEB and subnets["db"].route_table is None
    assert [d.service_name for d in subnets["files"].delegations] == ["Microsoft.Netapp/volumes"]
    tables = {t.name: t for t in client.route_tables.list_all()}
    assert [s.id for s in tables["rt-web"].subnets] == [subnets["web"].id]
    assert tables["rt-web-new"].subnets is None
    assert tables["rt-web-new"].tags == {"vnet": "vn-spoke", "Org_RT": "org_rt-web"}
    assert tables["rt-web-new"].routes[0].next_hop_ip_address == "10.1.0.4"


# -- writes -----------------------------------------------------------------------------------
def test_subnet_write_moves_the_route_table_back_references(arm):
    before = arm.snapshot()
    assert f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-lock" in before
    client = network(SPOKE)
    web = web_onto_new_table(client)
    assert write_subnet(client, web).result().route_table.id == RT_NEW
    after = arm.snapshot()
    changed = {k for k in before if before[k] != after[k]}
    assert changed == {RT_WEB, RT_NEW, SPOKE_VNET + "/subnets/web", SPOKE_VNET}
    assert arm.request_counts()[("GET", SPOKE_VNET + "/subnets/web")] == 2  # and the poller's
    assert arm.write_requests() == [("PUT", SPOKE_VNET + "/subnets/web")]
    assert client.route_tables.get("rg-spoke", "rt-web").subnets is None
    assert [s.id for s in client.route_tables.get("rg-spoke", "rt-web-new").subnets] == [web.id]

    web.route_table = None
    write_subnet(client, web).result()
    assert client.subnets.get("rg-spoke", "vn-spoke", "web").route_table is None
    assert client.route_tables.get("rg-spoke", "rt-web-new").subnets is None


@pytest.mark.parametrize("mode", ["instant", "polled", "unpolled"])
def test_route_table_write_in_each_operation_mode_keeps_what_it_did_not_touch(arm, mode):
    """Instant: done in the answer. Polled: Updating until the poller sees it end. Unpolled:
    nobody polls, and the write still ends when its time (10 ms) is up."""
    if mode == "instant":
        arm.settings.profile = "instant"
    else:
        # Polled: a minute, ended by hand once Updating is seen (a busy host is slow to look).
        arm.settings.durations = {"route_table_put": 60_000 if mode == "polled" else 10}
    client = network(SPOKE)
    table = client.route_tables.get("rg-spoke", "rt-web")
    table.disable_bgp_route_propagation = True
    write = client.route_tables.begin_create_or_update
    if mode == "unpolled":
        write("rg-spoke", "rt-web", table, polling=False)
        time.sleep(0.02)
    else:
        poller = write("rg-spoke", "rt-web", table)
        state = client.route_tables.get("rg-spoke", "rt-web").provisioning_state
        assert state == ("Updating" if mode == "polled" else "Succeeded")
        arm.finish_operations()
        assert poller.result(timeout=10).provisioning_state == "Succeeded"
    table = client.route_tables.get("rg-spoke", "rt-web")
    assert (table.provisioning_state, table.disable_bgp_route_propagation) == ("Succeeded", True)
    assert table.tags == {"env": "test"} and len(table.subnets) == 1
    polls = [p for _, p in arm.requests if "/operations/" in p]
    assert bool(polls) == (mode == "polled")


def test_peering_ends_connect_and_disconnect_as_they_come_and_go(arm):
    arm.settings.durations = {"peering_delete": 60_000}  # a minute: Deleting is seen on a busy host
    spoke = network(SPOKE).virtual_network_peerings
    hub = network(HUB).virtual_network_peerings
    poller = spoke.begin_delete("rg-spoke", "vn-spoke", "spoke-to-hub")
    assert spoke.get("rg-spoke", "vn-spoke", "spoke-to-hub").provisioning_state == "Deleting"
    arm.finish_operations()
    poller.result()
    assert list(spoke.list("rg-spoke", "vn-spoke")) == []
    hub_end = hub.get("rg-hub", "vn-hub", "hub-to-spoke")
    assert hub_end.peering_state == "Disconnected"

    body = network_models.VirtualNetworkPeering(
        remote_virtual_network=network_models.SubResource(id=HUB_VNET), use_remote_gateways=True
    )
    args = ("rg-spoke", "vn-spoke", "spoke-to-hub", body)
    write = spoke.begin_create_or_update
    error = raises_arm_error(400, "RemotePeeringIsDisconnected", write, *args)
    assert hub_end.id in error.error.message
    # Writing the Disconnected end brings it back to Initiated; then both ends connect.
    hub_end = hub.begin_create_or_update("rg-hub", "vn-hub", "hub-to-spoke", hub_end).result()
    assert hub_end.peering_state == "Initiated"
    created = write(*args).result()
    assert created.peering_state == "Connected" and created.allow_virtual_network_access is True
    assert hub.get("rg-hub", "vn-hub", "hub-to-spoke").peering_state == "Connected"


def test_peering_from_a_plain_settings_map_which_the_bare_sdk_would_send_as_it_is(arm):
    settings = {
        "id": f"{SPOKE_VNET}/virtualNetworkPeerings/spoke-to-hub",
        "name": "spoke-to-hub",
        "allow_forwarded_traffic": True,
        "use_remote_gateways": False,
        "remote_virtual_network": {"id": HUB_VNET},
    }
    args = ("rg-spoke", "vn-spoke", "spoke-to-hub")
    peerings = network(SPOKE).virtual_network_peerings
    peerings.begin_create_or_update(*args, settings).result()
    peering = peerings.get(*args)
    assert (peering.allow_forwarded_traffic, peering.use_remote_gateways) == (True, False)
    assert peering.remote_virtual_network.id == HUB_VNET

    bare = SdkNetworkClient(StaticTokenCredential(), SPOKE, base_url=arm.endpoint,
                            connection_verify=arm.ca_file)  # fmt: skip
    write = bare.virtual_network_peerings.begin_create_or_update
    raises_arm_error(400, "InvalidRequestFormat", write, *args, settings)


@pytest.mark.parametrize(
    "call, status, code",
    [
        (lambda n: n.virtual_networks.get("rg-spoke", "vn-gone"), 404, "ResourceNotFound"),
        (lambda n: n.subnets.get("rg-spoke", "vn-spoke", "gone"), 404, "ResourceNotFound"),
        (lambda n: n.route_tables.get("rg-gone", "rt-web"), 404, "ResourceGroupNotFound"),
        (lambda n: list(n.subnets.list("rg-spoke", "vn-gone")), 404, "ResourceNotFound"),
        (lambda n: n.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", {"properties": {
            "addressPrefix": "10.1.1.0/24", "routeTable": {"id": RT_WEB + "-gone"}}}),
         400, "InvalidResourceReference"),
        (lambda n: n.subnets.begin_create_or_update(
            "rg-spoke", "vn-spoke", "web", {"properties": {}}), 400, "InvalidRequestFormat"),
        (lambda n: n.route_tables.begin_create_or_update("rg-spoke", "rt-new", {}),
         400, "LocationRequired"),
    ],
)  # fmt: skip
def test_requests_arm_refuses_answer_an_arm_error_and_change_nothing(arm, call, status,
                                                                      code):  # fmt: skip
    before = arm.snapshot()
    raises_arm_error(status, code, call, network(SPOKE))
    assert arm.snapshot() == before


# -- locks ------------------------------------------------------------------------------------
def test_a_lock_blocks_deleting_under_its_vnet_until_removed(arm):
    hub, client = network(HUB).virtual_network_peerings, locks(HUB)
    delete = hub.begin_delete
    error = raises_arm_error(409, "ScopeLocked", delete, "rg-hub", "vn-hub", "hub-to-spoke")
    assert HUB_VNET in error.error.message

    (lock,) = client.list_at_resource_level(*HUB_LOCK_ARGS)
    assert (lock.name, lock.level) == ("hub-lock", "CanNotDelete")
    client.delete_at_resource_level(*HUB_LOCK_ARGS, lock.name)
    assert list(client.list_at_resource_level(*HUB_LOCK_ARGS)) == []
    delete("rg-hub", "vn-hub", "hub-to-spoke").result()
    assert list(hub.list("rg-hub", "vn-hub")) == []


def test_read_only_lock_blocks_writes_and_can_not_delete_does_not(arm):
    client, spoke = locks(SPOKE), network(SPOKE)
    freeze = ManagementLockObject(level="CanNotDelete")
    client.create_or_update_at_resource_level(*SPOKE_LOCK_ARGS, "freeze", freeze)
    web = spoke.subnets.get("rg-spoke", "vn-spoke", "web")
    write_subnet(spoke, web).result()

    freeze = ManagementLockObject(level="ReadOnly", notes="change freeze")
    client.create_or_update_at_resource_level(*SPOKE_LOCK_ARGS, "freeze", freeze)
    raises_arm_error(409, "ScopeLocked", write_subnet, spoke, web)
    listed = [(lock.name, lock.level) for lock in client.list_at_resource_level(*SPOKE_LOCK_ARGS)]
    assert listed == [("freeze", "ReadOnly")]


# -- Resource Graph ---------------------------------------------------------------------------
def graph_query(query, subscriptions, result_format="objectArray"):
    models = resourcegraph.models
    client = resourcegraph.ResourceGraphClient(StaticTokenCredential())
    options = models.QueryRequestOptions(result_format=result_format)
    request = models.QueryRequest(subscriptions=subscriptions, query=query, options=options)
    return client.resources(request)


HUB_GATEWAY_SUBNET = HUB_VNET + "/subnets/GatewaySubnet"
VPN_ROW = [{"properties_gatewayType": "Vpn"}]


@pytest.mark.parametrize(
    "subnet, subscriptions, result_format, rows",
    [
        (HUB_GATEWAY_SUBNET, [HUB], "objectArray", VPN_ROW),
        (HUB_GATEWAY_SUBNET.lower(), [HUB], "objectArray", VPN_ROW),
        (HUB_GATEWAY_SUBNET, [SPOKE], "objectArray", []),
        (SPOKE_VNET + "/subnets/GatewaySubnet", [SPOKE, HUB], "objectArray", []),
        (HUB_GATEWAY_SUBNET, [HUB], "table", [["Vpn"]]),
    ],
)
def test_gateway_query(arm, subnet, subscriptions, result_format, rows):
    response = graph_query(GATEWAY_QUERY % subnet, subscriptions, result_format)
    data = response.data["rows"] if result_format == "table" else response.data
    assert response.total_records == len(rows) and data == rows


def test_other_queries_answer_400(arm):
    raises_arm_error(400, "BadRequest", graph_query, "Resources | project name", [HUB])


# -- faults, failed operations and throttling -------------------------------------------------
def test_an_operation_that_ends_in_failure_raises_and_keeps_the_old_state(arm):
    arm.faults.add(Fault(method="PUT", resource="subnets/web", fail_async=True,
                                code="InternalServerError", message="gateway busy"))  # fmt: skip
    client = network(SPOKE)
    with pytest.raises(HttpResponseError, match="gateway busy"):
        write_subnet(client, web_onto_new_table(client)).result()
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    assert (web.route_table.id, web.provisioning_state) == (RT_WEB, "Failed")


def test_injected_faults_end_after_their_count_and_throttled_reads_are_retried(arm):
    throttle = Fault(
        method="GET", resource="virtualNetworks", status=429, times=2, retry_after=0.01
    )
    arm.faults.add(throttle)
    assert [v.name for v in network(SPOKE).virtual_networks.list_all()] == ["vn-spoke"]
    assert throttle.hits == 2
    assert len([r for r in arm.requests if r[1].endswith("/virtualNetworks")]) == 3

    arm.faults.add(Fault(method="PUT", resource="vn-spoke/subnets/web", status=403))
    delay = arm.faults.add(Fault(method="GET", resource="rt-web", delay=0.05))
    client = network(SPOKE)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    raises_arm_error(403, "AuthorizationFailed", write_subnet, client, web)
    write_subnet(client, web).result()
    assert client.route_tables.get("rg-spoke", "rt-web").name == "rt-web"
    assert delay.hits == 1


@pytest.mark.parametrize(
    "headers, query, status, code",
    [
        ({}, None, 401, "AuthenticationFailed"),
        ({"Authorization": "Bearer other"}, None, 401, "AuthenticationFailed"),
        (None, {}, 400, "MissingApiVersionParameter"),
        (None, None, 429, "TooManyRequests"),  # with the faults below
        (None, None, 429, "RetryableErrorDueToAnotherOperation"),
    ],
)
def test_raw_answers_need_a_token_and_an_api_version_and_announce_waits(
    arm, headers, query, status, code
):
    if status == 429:
        arm.faults.add(Fault(status=429, code=None if code == "TooManyRequests" else code))
    response = requests.get(
        f"{arm.endpoint}/subscriptions/{SPOKE}/{NET}/virtualNetworks",
        params={"api-version": "2024-05-01"} if query is None else query,
        headers={"Authorization": "Bearer armsim"} if headers is None else headers,
        verify=arm.ca_file,
    )
    assert (response.status_code, response.json()["error"]["code"]) == (status, code)
    assert response.headers.get("Retry-After") == ("1" if status == 429 else None)


def test_clients_that_stall_or_skip_tls_hold_up_no_one(arm):
    address = (arm.host, arm.port)
    with socket.create_connection(address), socket.create_connection(address) as plain:
        plain.sendall(b"GET /subscriptions HTTP/1.1\r\n\r\n")
        answer = requests.get(f"{arm.endpoint}/subscriptions", verify=arm.ca_file, timeout=5)
    assert answer.json()["error"]["code"] == "AuthenticationFailed"


def test_writes_and_deletes_draw_on_a_bucket_per_subscription_that_refills_in_scaled_time(arm):
    # Two of each a bucket, one back per 500 unscaled seconds: 0.5 s at this time scale.
    arm.settings.allowance, arm.settings.refill = 2, 0.002
    arm.settings.durations = dict.fromkeys(KINDS, 0)

    def send(method, path, body=None):
        return requests.request(method, f"{arm.endpoint}{path}", json=body, verify=arm.ca_file,
                                params={"api-version": "2024-05-01"},
                                headers={"Authorization": "Bearer armsim"})  # fmt: skip

    def remaining(response, kind="writes"):
        return response.headers.get(f"x-ms-ratelimit-remaining-subscription-{kind}")

    table = {"location": "westus", "properties": {}}
    assert [remaining(send("PUT", RT_WEB, table)) for _ in range(2)] == ["1", "0"]
    assert remaining(send("GET", RT_WEB)) is None  # reads draw on nothing
    refused = send("PUT", RT_WEB, table)
    wait = float(refused.headers["Retry-After"])  # till a token is back, in whole scaled seconds
    assert refused.status_code == 429 and 0.3 < wait <= 0.5
    assert refused.json()["error"]["code"] == "SubscriptionRequestsThrottled"
    assert refused.json()["error"]["message"].startswith(
        f"Number of 'write' requests for subscription '{SPOKE}' actor '"
    )
    peering = f"{SPOKE_VNET}/virtualNetworkPeerings/spoke-to-hub"
    assert remaining(send("DELETE", peering), "deletes") == "1"
    assert remaining(send("PUT", f"{HUB_VNET}/subnets/GatewaySubnet",
                          {"properties": {"addressPrefix": "10.0.255.0/27"}})) == "1"  # fmt: skip
    time.sleep(wait)
    assert remaining(send("PUT", RT_WEB, table)) == "0"


# -- time, Azure's refusals while operations run and of what writes reference, faults --------
def bare(arm, subscription=SPOKE, **options):
    """The SDK's own client, without the tool's waits for refused writes."""
    return SdkNetworkClient(StaticTokenCredential(), subscription, base_url=arm.endpoint,
                            connection_verify=arm.ca_file, **options)  # fmt: skip


def put_subnet(name, table=None):
    def write(client):
        subnet = client.subnets.get("rg-spoke", "vn-spoke", name)
        if table is not None:
            subnet.route_table = network_models.RouteTable(id=table)
        return client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", name, subnet,
                                                     polling=False)  # fmt: skip

    return write


def put_table(name):
    def write(client):
        table = client.route_tables.get("rg-spoke", name)
        return client.route_tables.begin_create_or_update("rg-spoke", name, table, polling=False)

    return write


def put_peering(client, group="rg-spoke", vnet="vn-spoke", name="spoke-to-hub"):
    peering = client.virtual_network_peerings.get(group, vnet, name)
    return client.virtual_network_peerings.begin_create_or_update(group, vnet, name, peering,
                                                                  polling=False)  # fmt: skip


def delete_peering(client):
    return client.virtual_network_peerings.begin_delete("rg-spoke", "vn-spoke", "spoke-to-hub",
                                                        polling=False)  # fmt: skip


def put_hub_peering(client):
    return put_peering(client, "rg-hub", "vn-hub", "hub-to-spoke")


@pytest.mark.parametrize(
    "running, write, refusal",
    [
        (put_subnet("web"), put_subnet("db"), (409, "AnotherOperationInProgress")),
        (put_subnet("web"), put_peering, (409, "AnotherOperationInProgress")),
        (put_peering, delete_peering, (409, "AnotherOperationInProgress")),
        (delete_peering, delete_peering, (409, "AnotherOperationInProgress")),
        (put_subnet("web", RT_NEW), put_table("rt-web"), (409, "AnotherOperationInProgress")),
        (put_table("rt-web"), put_subnet("web"), (429, "RetryableError")),
        (put_table("rt-web-new"), put_subnet("web", RT_NEW), (429, "RetryableError")),
        (put_table("rt-web"), put_table("rt-web-new"), None),
        (put_subnet("web"), put_hub_peering, (400, "ReferencedResourceNotProvisioned")),
    ],
)
def test_writes_are_refused_while_an_operation_holds_what_they_touch(arm, running, write,
                                                                      refusal):  # fmt: skip
    arm.settings.durations = dict.fromkeys(KINDS, 1000)  # 1 s: still running at the write
    spoke, hub = bare(arm, retry_total=0), bare(arm, HUB, retry_total=0)
    running(spoke)
    client = hub if write is put_hub_peering else spoke
    if refusal is None:
        write(client)
        return
    error = raises_arm_error(*refusal, write, client)
    if refusal[0] == 409:
        assert "/operations/" in error.error.message
    elif refusal[0] == 400:  # the remote VNet is named, with the write that holds it
        assert error.error.message.startswith(
            f"Cannot proceed with operation because resource {SPOKE_VNET} used by resource "
            f"{HUB_VNET}/virtualNetworkPeerings/hub-to-spoke is not in Succeeded state."
        )
        assert error.error.message.endswith("is PutSubnetOperation.")
    else:  # the table is named, and the wait is Azure's 10 s on the emulator's clock
        (detail,) = error.error.details
        assert detail.code == "ReferencedResourceNotProvisioned"
        assert "/routeTables/" in detail.message
        assert error.response.headers["Retry-After"] == "0.01"
    arm.finish_operations()
    write(client)  # refused only while the operation runs


RT_EAST = RT_WEB.replace("rt-web", "rt-east")
HUB_LOCK = f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-lock"


def wide_topology():
    """TOPOLOGY with route tables out of the spoke's reach, a second hub with a gateway, and
    no lock in the way."""
    wide = copy.deepcopy(TOPOLOGY)
    spoke = wide["subscriptions"][SPOKE]["resource_groups"]["rg-spoke"]
    spoke["route_tables"]["rt-east"] = {"location": "eastus"}
    spoke["virtual_networks"]["vn-spoke"]["peerings"]["spoke-to-hub2"] = {
        "remote": f"{HUB}/rg-hub/vn-hub2"
    }
    hub = wide["subscriptions"][HUB]["resource_groups"]["rg-hub"]
    hub["route_tables"] = {"rt-hub": {}}
    del hub["virtual_networks"]["vn-hub"]["locks"]
    hub["virtual_networks"]["vn-hub2"] = {
        "address_prefixes": ["10.2.0.0/16"],
        "subnets": {"GatewaySubnet": {"address_prefix": "10.2.255.0/27"}},
        "peerings": {"hub2-to-spoke": {"remote": f"{SPOKE}/rg-spoke/vn-spoke",
                                       "allow_gateway_transit": True}},
        "gateways": {"vng-hub2": {"type": "Vpn"}},
    }  # fmt: skip
    return wide


def hub_end(client, **flags):
    peering = client.virtual_network_peerings.get("rg-hub", "vn-hub", "hub-to-spoke")
    for flag, value in flags.items():
        setattr(peering, flag, value)
    return client.virtual_network_peerings.begin_create_or_update(
        "rg-hub", "vn-hub", "hub-to-spoke", peering).result()  # fmt: skip


def spoke_end(client, name="spoke-to-hub", **flags):
    peering = client.virtual_network_peerings.get("rg-spoke", "vn-spoke", name)
    for flag, value in flags.items():
        setattr(peering, flag, value)
    return client.virtual_network_peerings.begin_create_or_update(
        "rg-spoke", "vn-spoke", name, peering).result()  # fmt: skip


def delete_hub_end(spoke, hub):
    hub.virtual_network_peerings.begin_delete("rg-hub", "vn-hub", "hub-to-spoke").result()


@pytest.mark.parametrize(
    "setup, write, code",
    [
        (None, lambda spoke, hub: put_subnet("web", RT_EAST)(spoke).result(),
         "InvalidResourceReference"),  # another region
        (None, lambda spoke, hub: put_subnet("web", HUB_VNET.split("/providers")[0]
                                             + f"/{NET}/routeTables/rt-hub")(spoke).result(),
         "InvalidResourceReference"),  # another subscription
        (None, lambda spoke, hub: hub_end(hub, use_remote_gateways=True,
                                          allow_gateway_transit=False),
         "RemoteVnetHasNoGateways"),
        (lambda spoke, hub: hub_end(hub, allow_gateway_transit=False),
         lambda spoke, hub: spoke_end(spoke), "RemotePeeringDoesNotAllowGatewayTransit"),
        (delete_hub_end, lambda spoke, hub: spoke_end(spoke),
         "RemotePeeringDoesNotAllowGatewayTransit"),  # no remote end
        (None, lambda spoke, hub: spoke_end(spoke, "spoke-to-hub2", use_remote_gateways=True),
         "OnlyOnePeeringCanUseRemoteGateways"),
    ],
)  # fmt: skip
def test_writes_are_refused_for_what_they_reference(setup, write, code):
    with Emulator(wide_topology(), token="armsim", time_scale=TIME_SCALE) as arm:
        spoke, hub = bare(arm), bare(arm, HUB)
        if setup is not None:
            setup(spoke, hub)
        before = arm.snapshot()
        error = raises_arm_error(400, code, write, spoke, hub)
        assert arm.snapshot() == before
    assert "/subscriptions/" in error.error.message  # the resources are named


def test_references_keep_the_spelling_the_client_sent(arm):
    client = network(SPOKE)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    web.route_table = network_models.RouteTable(id=RT_NEW.replace("rg-spoke", "RG-SPOKE"))
    write_subnet(client, web).result()
    assert client.subnets.get("rg-spoke", "vn-spoke", "web").route_table.id == web.route_table.id
    (user,) = client.route_tables.get("rg-spoke", "rt-web-new").subnets
    assert user.id == web.id


GUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
ETAG = re.compile(rf'W/"{GUID.pattern}"')


def raw(arm, method, url):
    """An answer to a bare request, at a path of the emulator or a URL it gave."""
    url = url if url.startswith("https://") else f"{arm.endpoint}{url}"
    params = None if "api-version=" in url else {"api-version": "2024-05-01"}
    return requests.request(method, url, params=params, verify=arm.ca_file,
                            headers={"Authorization": "Bearer armsim"})  # fmt: skip


def without_hub_end(topology):
    del topology["subscriptions"][HUB]["resource_groups"]["rg-hub"]["virtual_networks"][
        "vn-hub"]["peerings"]  # fmt: skip


def is_guid(value, body):
    return GUID.fullmatch(value) is not None


@pytest.mark.parametrize(
    "edit, path, expected",
    [
        (None, SPOKE_VNET, {"resourceGuid": is_guid}),
        (None, f"{SPOKE_VNET}/subnets/web", {"provisioningState": "Succeeded"}),
        (None, HUB_GATEWAY_SUBNET, {"ipConfigurations": [
            {"id": f"/subscriptions/{HUB}/resourceGroups/rg-hub/{NET}/virtualNetworkGateways/"
                   "vng-hub/ipConfigurations/default"}]}),
        (None, SPOKE_PEERING, {"resourceGuid": is_guid, "peeringSyncLevel": "FullyInSync"}),
        (without_hub_end, SPOKE_PEERING,
         {"peeringState": "Initiated", "peeringSyncLevel": "RemoteNotInSync"}),
        (None, RT_NEW, {"resourceGuid": is_guid, "routes": lambda routes, body: [
            (r["id"], r["type"], r["etag"]) for r in routes] == [
            (f"{RT_NEW}/routes/default", "Microsoft.Network/routeTables/routes", body["etag"])]}),
    ],
)  # fmt: skip
def test_resources_carry_the_read_only_fields_azure_answers(edit, path, expected):
    topology = copy.deepcopy(TOPOLOGY)
    if edit is not None:
        edit(topology)
    with Emulator(topology, token="armsim", time_scale=TIME_SCALE) as arm:
        answer = raw(arm, "GET", path)
    body = answer.json()
    assert ETAG.fullmatch(body["etag"]) and answer.headers["ETag"] == body["etag"]
    for key, value in expected.items():
        found = body["properties"][key]
        assert value(found, body) if callable(value) else found == value, key


def test_a_write_renews_the_etags_of_what_it_changed_and_keeps_resource_guids(arm):
    def etags():
        return {rid: body["etag"] for rid, body in arm.snapshot(True).items() if "etag" in body}

    def guid(rid):
        return arm.snapshot(True)[rid]["properties"]["resourceGuid"]

    before, guids = etags(), (guid(SPOKE_VNET), guid(SPOKE_PEERING))
    arm.settings.profile = "instant"
    write_subnet(network(SPOKE), web_onto_new_table(network(SPOKE))).result()
    put_peering(network(SPOKE)).result()
    after = etags()
    changed = {rid for rid in before if after.get(rid) != before[rid]}
    assert {SPOKE_VNET, f"{SPOKE_VNET}/subnets/web", SPOKE_PEERING} <= changed
    assert not {HUB_VNET, HUB_GATEWAY_SUBNET, f"{SPOKE_VNET}/subnets/db"} & changed
    assert (guid(SPOKE_VNET), guid(SPOKE_PEERING)) == guids


@pytest.mark.parametrize(
    "durations, status",
    [
        ({"peering_put": 1000, "peering_delete": 0}, 200),  # done in the answer
        ({"peering_put": 0, "peering_delete": 1000}, 202),
    ],
)
def test_a_peering_delete_takes_its_own_time_and_answers_at_its_location(arm, durations, status):
    arm.settings.durations = durations
    answer = raw(arm, "DELETE", SPOKE_PEERING)
    assert answer.status_code == status
    if status == 200:
        assert SPOKE_PEERING not in arm.snapshot()
        return
    location = answer.headers["Location"]
    assert "/operationResults/" in location and answer.headers["Azure-AsyncOperation"]
    assert raw(arm, "GET", location).status_code == 202
    arm.finish_operations()
    assert raw(arm, "GET", location).status_code == 204
    assert raw(arm, "GET", answer.headers["Azure-AsyncOperation"]).json()["status"] == "Succeeded"


@pytest.mark.parametrize(
    "profile, time_scale, wait",
    [
        ("realistic", 0.001, {"x-ms-retry-after-ms": "10"}),
        ("realistic", 0.2, {"Retry-After": "2"}),
        ("realistic", 0.25, {"x-ms-retry-after-ms": "2500"}),
        ("instant", 1, None),
    ],
)
def test_a_write_runs_for_its_scaled_time_and_its_operation_announces_scaled_waits(
    arm, profile, time_scale, wait
):
    arm.settings.profile, arm.settings.time_scale = profile, time_scale
    if profile == "realistic":
        arm.settings.durations = {"route_table_put": 1000}  # still running when polled
    headers = {"Authorization": "Bearer armsim"}
    params = {"api-version": "2024-05-01"}
    body = {"location": "westus", "properties": {}}
    answer = requests.put(f"{arm.endpoint}{RT_WEB}", params=params, json=body, headers=headers,
                          verify=arm.ca_file)  # fmt: skip
    state = answer.json()["properties"]["provisioningState"]
    if wait is None:  # done in the answer
        assert (state, answer.headers.get("Azure-AsyncOperation")) == ("Succeeded", None)
        return
    assert state == "Updating" and wait.items() <= answer.headers.items()
    status = requests.get(answer.headers["Azure-AsyncOperation"], headers=headers,
                          verify=arm.ca_file)  # fmt: skip
    assert status.json()["status"] == "InProgress" and wait.items() <= status.headers.items()
    arm.finish_operations()
    assert arm.snapshot()[RT_WEB]["properties"]["provisioningState"] == "Succeeded"


def test_a_lock_call_takes_its_time_while_the_emulator_serves_others(arm):
    arm.settings.durations = {"lock_delete": 1000}  # 1 s
    client = locks(HUB)
    call = threading.Thread(
        target=client.delete_at_resource_level, args=(*HUB_LOCK_ARGS, "hub-lock")
    )
    call.start()
    while not [r for r in arm.requests if r[0] == "DELETE"]:
        time.sleep(0.001)
    assert network(HUB).virtual_networks.get("rg-hub", "vn-hub").name == "vn-hub"
    assert call.is_alive()  # the read was answered while the lock call still ran
    call.join()
    assert list(client.list_at_resource_level(*HUB_LOCK_ARGS)) == []


def fault_case(fault, act, check):
    return {"fault": fault, "act": act, "check": check}


@pytest.mark.parametrize(
    "case",
    [
        pytest.param(fault_case(  # the SDK tries the read again
            Fault(method="GET", resource="vn-spoke", drop="before"),
            lambda arm: network(SPOKE).virtual_networks.get("rg-spoke", "vn-spoke"),
            lambda arm, error, state: error is None and arm.request_counts()[
                ("GET", SPOKE_VNET)] == 2), id="drop-before"),
        pytest.param(fault_case(  # served, and the SDK's second try meets its own operation
            Fault(method="PUT", resource="subnets/web", drop="after"),
            lambda arm: write_subnet(bare(arm), web_onto_new_table(bare(arm))),
            lambda arm, error, state: error.error.code == "AnotherOperationInProgress"
            and state[SPOKE_VNET + "/subnets/web"]["properties"]["routeTable"]["id"] == RT_NEW),
            id="drop-after"),
        pytest.param(fault_case(
            Fault(method="DELETE", resource="locks/hub-lock", fail_async=True, status=409),
            lambda arm: locks(HUB).delete_at_resource_level(*HUB_LOCK_ARGS, "hub-lock"),
            lambda arm, error, state: error.status_code == 409 and HUB_LOCK in state),
            id="lock-delete"),
        pytest.param(fault_case(
            Fault(method="PUT", resource="locks/new", fail_async=True, status=409),
            lambda arm: locks(HUB).create_or_update_at_resource_level(
                *HUB_LOCK_ARGS, "new", ManagementLockObject(level="ReadOnly")),
            lambda arm, error, state: error.status_code == 409
            and HUB_LOCK.replace("hub-lock", "new") not in state), id="lock-put"),
        pytest.param(fault_case(
            Fault(method="DELETE", resource="spoke-to-hub", fail_async=True, code="Failed"),
            lambda arm: network(SPOKE).virtual_network_peerings.begin_delete(
                "rg-spoke", "vn-spoke", "spoke-to-hub").result(),
            lambda arm, error, state: error.error.code == "Failed"
            and state[SPOKE_PEERING]["properties"]["provisioningState"] == "Failed"),
            id="peering-delete"),
        pytest.param(fault_case(
            Fault(method="PUT", resource="routeTables/rt-web", fail_async=True, code="Failed"),
            lambda arm: put_table("rt-web")(network(SPOKE)) and arm.wait_idle(),
            lambda arm, error, state: error is None
            and state[RT_WEB]["properties"]["provisioningState"] == "Failed"),
            id="route-table-put"),
        pytest.param(fault_case(  # 0.1 s more than the 0 s a route table takes here
            Fault(method="PUT", resource="routeTables/rt-web", slow=100),
            lambda arm: put_table("rt-web")(network(SPOKE)),
            lambda arm, error, state: error is None
            and state[RT_WEB]["properties"]["provisioningState"] == "Updating"), id="slow"),
    ],
)  # fmt: skip
def test_faults_drop_fail_or_slow_every_kind_of_call(arm, case):
    arm.settings.durations = {"route_table_put": 0, "subnet_put": 1000}
    arm.faults.add(case["fault"])
    try:
        case["act"](arm)
        error = None
    except HttpResponseError as raised:
        error = raised
    assert case["check"](arm, error, arm.snapshot())
    assert case["fault"].hits == 1


# -- state, counts, topology ------------------------------------------------------------------
def test_topology_files_in_json_or_yaml(tmp_path):
    for name, text in (("topology.json", json.dumps(TOPOLOGY)), ("topology.yaml", TOPOLOGY_YAML)):
        (tmp_path / name).write_text(text)
        assert load_topology(tmp_path / name).snapshot() == load_topology(TOPOLOGY).snapshot()


VNET_PLACE = "subscriptions.s.resource_groups.rg.virtual_networks.vn"


@pytest.mark.parametrize(
    "edit, place, problem",
    [
        ({"subnets": {"web": {"route_table": "rt-gone"}}}, "subnets.web.route_table",
         "'rt-gone' names no routeTables"),
        ({"peerings": {"p": {"remote": "rg/vn-gone"}}}, "peerings.p.remote",
         "'rg/vn-gone' names no virtualNetworks"),
        ({"peerings": {"p": {}}}, "peerings.p.remote", "a peering needs 'remote'"),
        ({"peerings": {"p": {"remote": "vn", "use_remote_gateways": "yes"}}},
         "peerings.p.use_remote_gateways", "expected true or false"),
        ({"locks": {"l": "Frozen"}}, "locks.l.level", "must be one of"),
        ({"gateways": {"g": {"type": "Vpn"}}}, "gateways.g.subnet", "the VNet has no subnet"),
        ({"subnet": {}}, "subnet", "unknown key; a vnet takes"),
        ({"subnets": {"web": {"routetable": "rt"}}}, "subnets.web.routetable", "unknown key"),
    ],
)  # fmt: skip
def test_topology_errors_name_the_file_and_the_key(edit, place, problem):
    groups = {"rg": {"virtual_networks": {"vn": edit}}}
    with pytest.raises(TopologyError) as error:
        load_topology({"subscriptions": {"s": {"resource_groups": groups}}})
    assert str(error.value).startswith(f"topology: {VNET_PLACE}.{place}: {problem}")


@pytest.mark.parametrize(
    "edit, message",
    [
        ({"lro": "async"}, "topology: lro: unknown key"),
        ({"subscriptions": {"s": {"locks": {"l": {"level": "ReadOnly", "note": "x"}}}}},
         "topology: subscriptions.s.locks.l.note: unknown key"),
        ({"principals": {"t": {"subscriptions": {"s2": ["read"]}}}},
         "topology: principals.t.subscriptions.s2: names no subscription of the file"),
        ({"principals": {"t": {"subscriptions": {"s": ["reed"]}}}},
         "topology: principals.t.subscriptions.s: expected 'all' or a list of read"),
    ],
)  # fmt: skip
def test_topology_errors_outside_resources_name_the_key(edit, message):
    with pytest.raises(TopologyError) as error:
        load_topology({"subscriptions": {"s": {}}, **edit})
    assert str(error.value).startswith(message)


@pytest.mark.parametrize("text", [None, "subscriptions: {s: [unclosed"])
def test_a_topology_file_that_cannot_be_read_or_parsed_is_refused_naming_it(tmp_path, text):
    path = tmp_path / "topology.yaml"
    if text is not None:
        path.write_text(text)
    with pytest.raises(TopologyError, match=f"^{re.escape(str(path))}: "):
        load_topology(path)


@pytest.mark.parametrize(
    "values, message",
    [
        ({"profile": "fast"}, "unknown profile 'fast'; use one of realistic, instant"),
        ({"durations": {"vnet_put": 1}}, "unknown durations ['vnet_put']; use subnet_put, route"),
    ],
)
def test_settings_refuse_an_unknown_profile_or_kind_at_once(values, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        Settings(**values)


def test_the_documented_topology_loads():
    text = (Path(__file__).parents[1] / "docs" / "emulator.md").read_text()
    example = text.split("## Topology file", 1)[1].split("```yaml\n", 1)[1].split("```", 1)[0]
    snapshot = load_topology(yaml.safe_load(example)).snapshot()
    assert any(key.endswith("/locks/hub-freeze") for key in snapshot)


def test_command_refuses_a_bad_topology_and_serves_a_good_one(tmp_path):
    bad = tmp_path / "bad.yaml"
    bad.write_text(TOPOLOGY_YAML.replace("address_prefixes:", "address_prefix:", 1))
    command = [sys.executable, "-m", "qn.arm.armsim", "--port", "0", "--cert-dir", str(tmp_path)]
    refused = subprocess.run([*command, "--topology", str(bad)], capture_output=True, text=True)
    assert refused.returncode == 2 and refused.stdout == ""
    assert f"{bad}: subscriptions.{SPOKE}" in refused.stderr
    assert ".vn-spoke.address_prefix: unknown key" in refused.stderr

    path = tmp_path / "topology.yaml"
    path.write_text(TOPOLOGY_YAML)
    options = ["--topology", str(path), "--profile", "realistic", "--time-scale", "0.001"]
    process = subprocess.Popen([*command, *options], stdout=subprocess.PIPE, text=True)
    try:
        endpoint = process.stdout.readline().split()[-1]
        ca_file = process.stdout.readline().split()[-1]
        client = SdkNetworkClient(
            StaticTokenCredential(), HUB, base_url=endpoint, connection_verify=ca_file
        )
        assert [v.name for v in client.virtual_networks.list_all()] == ["vn-hub"]
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0


# -- locks at every scope, principals, api-versions, names in paths ---------------------------
SCOPED_YAML = """
subscriptions:
  $HUB:
    resource_groups:
      rg-hub:
        virtual_networks:
          vn-hub:
            address_prefixes: [10.0.0.0/16]
            peerings: {hub-to-spoke: {remote: $SPOKE/rg-spoke/vn-spoke}}
  $SPOKE:
    resource_groups:
      rg-spoke:
        virtual_networks:
          vn-spoke:
            address_prefixes: [10.1.0.0/16]
            subnets: {sp ace: {address_prefix: 10.1.1.0/24}}
            peerings: {spoke-to-hub: {remote: $HUB/rg-hub/vn-hub}}
principals:
  reader: {subscriptions: {$SPOKE: [read], $HUB: [read]}}
  spoke-admin: {subscriptions: {$SPOKE: all, $HUB: [read]}}
  unlocker: {subscriptions: {$HUB: [read, write_locks]}}
""".replace("$SPOKE", SPOKE).replace("$HUB", HUB)
LOCKS = "providers/Microsoft.Authorization/locks"
HUB_SCOPES = {  # scope ID, where its locks go in the topology
    "subscription": (f"/subscriptions/{HUB}", []),
    "group": (f"/subscriptions/{HUB}/resourceGroups/rg-hub", ["resource_groups", "rg-hub"]),
    "vnet": (HUB_VNET, ["resource_groups", "rg-hub", "virtual_networks", "vn-hub"]),
}


@pytest.fixture
def scoped(tmp_path, monkeypatch):
    """start(edit, token): an emulator of SCOPED_YAML as `edit` changes it, with the tool
    pointed at it through `token` in both subscriptions."""
    started = []

    def start(edit=None, token="armsim"):
        topology = yaml.safe_load(SCOPED_YAML)
        if edit is not None:
            edit(topology)
        emulator = Emulator(topology, token="armsim", time_scale=TIME_SCALE).start()
        started.append(emulator)
        config = emulator.tool_config({SPOKE: "spoke", HUB: "hub"}, {SPOKE: token, HUB: token})
        (tmp_path / "qn-arm.yaml").write_text(yaml.safe_dump(config))
        monkeypatch.setenv("QN_ARM_CONFIG", str(tmp_path / "qn-arm.yaml"))
        return emulator

    yield start
    for emulator in started:
        emulator.stop()


def lock_calls_at(level, client):
    """(get, delete, arguments before the lock name) of the lock client at a hub scope."""
    return {
        "subscription": (client.get_at_subscription_level, client.delete_at_subscription_level,
                         ()),
        "group": (client.get_at_resource_group_level, client.delete_at_resource_group_level,
                  ("rg-hub",)),
        "vnet": (client.get_at_resource_level, client.delete_at_resource_level, HUB_LOCK_ARGS),
    }[level]  # fmt: skip


@pytest.mark.parametrize("level", HUB_SCOPES)
def test_a_lock_at_any_scope_is_inherited_below_it_and_removed_only_at_its_own(scoped, level):
    scope, keys = HUB_SCOPES[level]

    def lock(topology):
        holder = topology["subscriptions"][HUB]
        for key in keys:
            holder = holder[key]
        holder["locks"] = {"keep": "ReadOnly"}

    scoped(lock)
    client, peerings = locks(HUB), network(HUB).virtual_network_peerings
    lock_id = f"{scope}/{LOCKS}/keep"
    for listing in (
        client.list_at_resource_level(*HUB_LOCK_ARGS),
        client.list_at_resource_group_level("rg-hub"),
        client.list_at_subscription_level(),
    ):
        assert [lock.id for lock in listing] == [lock_id]
    get, delete, args = lock_calls_at(level, client)
    assert get(*args, "keep").level == "ReadOnly"
    peering = peerings.get("rg-hub", "vn-hub", "hub-to-spoke")
    for call, extra in ((peerings.begin_delete, ()), (peerings.begin_create_or_update, (peering,))):
        error = raises_arm_error(409, "ScopeLocked", call, "rg-hub", "vn-hub", "hub-to-spoke",
                                 *extra)  # fmt: skip
        assert f"'{scope}'" in error.error.message

    client.delete_at_resource_level(*HUB_LOCK_ARGS, "keep")  # at the VNet's own scope only
    left = [lock.id for lock in client.list_at_resource_level(*HUB_LOCK_ARGS)]
    assert left == ([] if level == "vnet" else [lock_id])
    delete(*args, "keep")
    assert list(client.list_at_subscription_level()) == []
    peerings.begin_delete("rg-hub", "vn-hub", "hub-to-spoke").result()


def peer_spoke_with_hub():
    body = network_models.VirtualNetworkPeering(
        remote_virtual_network=network_models.SubResource(id=HUB_VNET)
    )
    peerings = network(SPOKE).virtual_network_peerings
    return peerings.begin_create_or_update("rg-spoke", "vn-spoke", "spoke-to-hub", body).result()


def write_space_subnet():
    client = network(SPOKE)
    return write_subnet(client, client.subnets.get("rg-spoke", "vn-spoke", "sp ace")).result()


def lock_hub():
    keep = ManagementLockObject(level="CanNotDelete")
    return locks(HUB).create_or_update_at_resource_level(*HUB_LOCK_ARGS, "keep", keep)


SPACE_SUBNET = f"{SPOKE_VNET}/subnets/sp ace"


@pytest.mark.parametrize(
    "token, call, refusal",
    [
        ("reader", lambda: network(SPOKE).virtual_networks.get("rg-spoke", "vn-spoke"), None),
        ("reader", write_space_subnet, ("AuthorizationFailed",
         f"perform action 'Microsoft.Network/virtualNetworks/subnets/write' over scope "
         f"'{SPACE_SUBNET}' or the scope is invalid.")),
        ("spoke-admin", write_space_subnet, None),
        ("spoke-admin", peer_spoke_with_hub, ("LinkedAuthorizationFailed",
         "perform action(s) 'Microsoft.Network/virtualNetworks/peer/action' on the linked "
         f"scope(s) '{HUB_VNET}'")),
        ("unlocker", lock_hub, None),
        ("unlocker", lambda: locks(HUB).delete_at_resource_level(*HUB_LOCK_ARGS, "keep"),
         ("AuthorizationFailed", "perform action 'Microsoft.Authorization/locks/delete'")),
        ("unlocker", lambda: list(network(SPOKE).virtual_networks.list("rg-spoke")),
         ("AuthorizationFailed", "'Microsoft.Network/virtualNetworks/read' over scope "
          f"'/subscriptions/{SPOKE}/resourceGroups/rg-spoke'")),
    ],
)  # fmt: skip
def test_a_principal_may_do_what_the_topology_grants_it_and_nothing_else(
    scoped, token, call, refusal
):
    arm = scoped(token=token)
    if refusal is None:
        call()
        return
    before = arm.snapshot()
    error = raises_arm_error(403, refusal[0], call)
    assert error.error.message.startswith("The client '") and refusal[1] in error.error.message
    assert arm.snapshot() == before


PERMISSIONS = "providers/Microsoft.Authorization/permissions"
READ, LOCK_WRITE = ["*/read"], ["Microsoft.Authorization/locks/write"]
NETWORK_WRITE = (["*/write", "*/delete", "*/action"], ["Microsoft.Authorization/*"])


def asked_permissions(arm, token, scope, version="2022-04-01"):
    return requests.get(
        f"{arm.endpoint}{scope}/{PERMISSIONS}",
        params={"api-version": version},
        headers={"Authorization": f"Bearer {token}"},
        verify=arm.ca_file,
    )


@pytest.mark.parametrize(
    "token, scope, answer",
    [
        ("armsim", HUB_VNET, [(["*"], [])]),
        ("reader", f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke", [(READ, [])]),
        ("spoke-admin", SPOKE_VNET, [(READ, []), NETWORK_WRITE, (LOCK_WRITE, []),
                                     (["Microsoft.Authorization/locks/delete"], [])]),
        ("spoke-admin", HUB_VNET, [(READ, [])]),
        ("unlocker", HUB_VNET, [(READ, []), (LOCK_WRITE, [])]),
        ("unlocker", SPOKE_VNET, []),  # no right there, not even to read: still answered
        ("reader", f"/subscriptions/{SPOKE}/resourceGroups/rg-none", "ResourceGroupNotFound"),
        ("reader", f"{SPOKE_VNET}-none", "ResourceNotFound"),
        ("reader", f"/subscriptions/{SPOKE}", "NotFound"),
    ],
)  # fmt: skip
def test_a_caller_may_ask_its_permissions_at_a_group_or_a_resource(scoped, token, scope, answer):
    arm = scoped()
    response = asked_permissions(arm, token, scope)
    if isinstance(answer, str):
        assert (response.status_code, response.json()["error"]["code"]) == (404, answer)
        return
    assert response.status_code == 200
    listed = [(e["actions"], e["notActions"]) for e in response.json()["value"]]
    assert listed == answer
    assert all(e["dataActions"] == e["notDataActions"] == [] for e in response.json()["value"])


def test_names_in_paths_are_percent_decoded_and_unknown_tokens_refused(scoped):
    arm = scoped()
    assert write_space_subnet().id == SPACE_SUBNET
    assert ("PUT", SPACE_SUBNET) in arm.write_requests()
    config = arm.tool_config({SPOKE: "spoke"}, {SPOKE: "stranger"})
    assert config["subscriptions"][SPOKE]["credential"]["token"] == "stranger"
    bare = SdkNetworkClient(StaticTokenCredential("stranger"), SPOKE,
                            base_url=arm.endpoint, connection_verify=arm.ca_file)  # fmt: skip
    raises_arm_error(401, "AuthenticationFailed", lambda: list(bare.virtual_networks.list_all()))


@pytest.mark.parametrize(
    "path, version, code",
    [
        (f"{SPOKE_VNET}/subnets", "2026-03-01", None),
        (f"{SPOKE_VNET}/subnets", "banana", "InvalidApiVersionParameter"),
        (f"{SPOKE_VNET}/subnets", "1999-01-01", "NoRegisteredProviderFound"),
        (f"{HUB_VNET}/{LOCKS}", "2020-05-01", None),
        (f"{HUB_VNET}/{LOCKS}", "2026-03-01", "NoRegisteredProviderFound"),
        (f"{HUB_VNET}/{PERMISSIONS}", "2022-04-01", None),
        (f"{HUB_VNET}/{PERMISSIONS}", "2020-05-01", "NoRegisteredProviderFound"),
    ],
)
def test_api_versions_are_those_of_the_resource_type(arm, path, version, code):
    response = requests.get(
        f"{arm.endpoint}{path}",
        params={"api-version": version},
        headers={"Authorization": "Bearer armsim"},
        verify=arm.ca_file,
    )
    if code is None:
        assert response.status_code == 200
    else:
        assert (response.status_code, response.json()["error"]["code"]) == (400, code)
        assert f"'{version}'" in response.json()["error"]["message"]


# -- the configured cloud ---------------------------------------------------------------
@pytest.fixture
def config_file(tmp_path, monkeypatch):
    def write(settings):
        path = tmp_path / "qn-arm.yaml"
        path.write_text(yaml.safe_dump(settings))
        monkeypatch.setenv("QN_ARM_CONFIG", str(path))

    return write


PUBLIC = "https://management.azure.com"
CHINA = "https://management.chinacloudapi.cn"
LOCAL = "https://127.0.0.1:9"


@pytest.mark.parametrize(
    "settings, expected",
    [
        ({}, (PUBLIC, [PUBLIC + "/.default"])),
        ({"management_endpoint": CHINA + "/"}, (CHINA, [CHINA + "/.default"])),
        ({"management_endpoint": LOCAL, "management_credential_scope": "x"}, (LOCAL, ["x"])),
        ({"management_endpoint": "http://127.0.0.1:9"}, "must be an https:// URL"),
        ({"management_ca_bundle": 3}, "'management_ca_bundle' must be text"),
    ],
)
def test_cloud_settings_and_their_refusal_of_malformed_values(config_file, settings, expected):
    config_file(settings)
    refused = isinstance(expected, str)
    with pytest.raises(ConfigError, match=expected) if refused else nullcontext():
        client = cloud.NetworkManagementClient(StaticTokenCredential(), SPOKE)
        assert (cloud.cloud_settings().endpoint, client._config.credential_scopes) == expected


def test_an_installed_cloud_replaces_the_files_in_its_block(config_file):
    config_file({"management_endpoint": "https://a.example", "management_ca_bundle": "/ca.pem"})

    def reached():
        client = cloud.NetworkManagementClient(StaticTokenCredential(), SPOKE)
        return client._config.base_url, client._config.credential_scopes

    installed = cloud.CloudSettings.at("https://b.example/")
    assert installed == cloud.CloudSettings("https://b.example", "https://b.example/.default")
    with cloud.using(cloud.ClientSettings(cloud=installed)):
        assert reached() == ("https://b.example", ["https://b.example/.default"])
    assert reached() == ("https://a.example", ["https://a.example/.default"])


# -- tags at a resource's scope ----------------------------------------------------------------
TAGS = "providers/Microsoft.Resources/tags/default"


def tags_call(arm, method, scope=SPOKE_VNET, body=None, token="armsim"):
    return requests.request(method, f"{arm.endpoint}{scope}/{TAGS}", json=body,
                            params={"api-version": "2021-04-01"}, verify=arm.ca_file,
                            headers={"Authorization": f"Bearer {token}"})  # fmt: skip


def tags_patch(operation, **tags):
    return {"operation": operation, "properties": {"tags": tags}}


def test_tags_merge_and_delete_touch_only_the_tags_named(scoped):
    arm = scoped()
    etag = network(SPOKE).virtual_networks.get("rg-spoke", "vn-spoke").etag
    for body, expected in [
        (tags_patch("Merge", owner="net"), {"owner": "net"}),
        (tags_patch("Merge", claim="run-1"), {"owner": "net", "claim": "run-1"}),
        (tags_patch("Delete", claim="run-2"), {"owner": "net", "claim": "run-1"}),  # its value
        (tags_patch("Delete", claim="run-1"), {"owner": "net"}),
        (tags_patch("Replace", only="this"), {"only": "this"}),
    ]:
        answer = tags_call(arm, "PATCH", body=body)
        assert answer.status_code == 200 and answer.json()["properties"]["tags"] == expected
    assert tags_call(arm, "GET").json()["properties"]["tags"] == {"only": "this"}
    vnet = network(SPOKE).virtual_networks.get("rg-spoke", "vn-spoke")
    assert vnet.tags == {"only": "this"} and vnet.etag != etag


def read_only_spoke(topology):
    spoke = topology["subscriptions"][SPOKE]["resource_groups"]["rg-spoke"]
    spoke["virtual_networks"]["vn-spoke"]["locks"] = {"frozen": "ReadOnly"}


@pytest.mark.parametrize(
    "edit, token, scope, body, status, code",
    [
        (None, "armsim", SPOKE_VNET + "x", tags_patch("Merge", a="1"), 404, "ResourceNotFound"),
        (None, "armsim", SPOKE_VNET, tags_patch("Add", a="1"), 400, "InvalidRequestContent"),
        (None, "armsim", SPOKE_VNET, tags_patch("Merge", **{"n" * 513: "1"}), 400,
         "InvalidTagNameLength"),
        (None, "armsim", SPOKE_VNET, tags_patch("Merge", a="v" * 257), 400,
         "InvalidTagValueLength"),
        (None, "armsim", SPOKE_VNET, tags_patch("Merge", **{"a/b": "1"}), 400,
         "InvalidTagNameCharacters"),
        (None, "armsim", SPOKE_VNET, tags_patch("Merge", **{f"t{i}": "1" for i in range(51)}),
         400, "InvalidTagsCount"),
        (read_only_spoke, "armsim", SPOKE_VNET, tags_patch("Merge", a="1"), 409, "ScopeLocked"),
        (None, "reader", SPOKE_VNET, tags_patch("Merge", a="1"), 403, "AuthorizationFailed"),
    ],
)  # fmt: skip
def test_tag_writes_arm_refuses_change_nothing(scoped, edit, token, scope, body, status, code):
    arm = scoped(edit)
    before = arm.snapshot()
    answer = tags_call(arm, "PATCH", scope, body, token)
    assert (answer.status_code, answer.json()["error"]["code"]) == (status, code)
    if code == "AuthorizationFailed":
        assert "'Microsoft.Resources/tags/write'" in answer.json()["error"]["message"]
    assert arm.snapshot() == before
