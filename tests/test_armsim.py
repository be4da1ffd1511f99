"""The emulator through the real SDK clients, built for the configured cloud."""

import json
import subprocess
import sys

import pytest
import requests
import yaml
from azure.core.exceptions import HttpResponseError, ResourceNotFoundError
from azure.mgmt.network import NetworkManagementClient as SdkNetworkClient
from azure.mgmt.network import models as network_models
from azure.mgmt.resource.locks.models import ManagementLockObject

from armsim import Emulator, Fault, TopologyError, load_topology
from qn.arm.res import cloud
from qn.arm.res.YamlContext import ConfigurationError, YamlContext

SPOKE = "00000000-0000-0000-0000-00000000000a"
HUB = "00000000-0000-0000-0000-00000000000b"
NET = "providers/Microsoft.Network"
SPOKE_VNET = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/virtualNetworks/vn-spoke"
HUB_VNET = f"/subscriptions/{HUB}/resourceGroups/rg-hub/{NET}/virtualNetworks/vn-hub"
RT_WEB = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/routeTables/rt-web"
RT_NEW = f"/subscriptions/{SPOKE}/resourceGroups/rg-spoke/{NET}/routeTables/rt-web-new"

GATEWAY_QUERY = (
    "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
    "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id =~ '%s' | project properties.gatewayType"
)

TOPOLOGY = {
    "location": "westus",
    "subscriptions": {
        SPOKE: {
            "resource_groups": {
                "rg-spoke": {
                    "route_tables": {
                        "rt-web": {"tags": {"env": "test"}},
                        "rt-web-new": {
                            "tags": {"vnet": "vn-spoke", "Org_RT": "org_rt-web"},
                            "routes": [
                                {
                                    "name": "default",
                                    "address_prefix": "0.0.0.0/0",
                                    "next_hop_type": "VirtualAppliance",
                                    "next_hop_ip_address": "10.1.0.4",
                                }
                            ],
                        },
                    },
                    "virtual_networks": {
                        "vn-spoke": {
                            "address_prefixes": ["10.1.0.0/16"],
                            "subnets": {
                                "web": {"address_prefix": "10.1.1.0/24", "route_table": "rt-web"},
                                "db": {"address_prefix": "10.1.2.0/24"},
                                "files": {
                                    "address_prefix": "10.1.3.0/24",
                                    "delegations": ["Microsoft.Netapp/volumes"],
                                },
                            },
                            "peerings": {
                                "spoke-to-hub": {
                                    "remote": f"{HUB}/rg-hub/vn-hub",
                                    "use_remote_gateways": True,
                                }
                            },
                        }
                    },
                }
            }
        },
        HUB: {
            "resource_groups": {
                "rg-hub": {
                    "virtual_networks": {
                        "vn-hub": {
                            "address_prefixes": ["10.0.0.0/16"],
                            "subnets": {"GatewaySubnet": {"address_prefix": "10.0.255.0/27"}},
                            "peerings": {
                                "hub-to-spoke": {
                                    "remote": SPOKE_VNET,
                                    "allow_gateway_transit": True,
                                }
                            },
                            "locks": {"hub-lock": "CanNotDelete"},
                            "gateways": {"vng-hub": {"type": "Vpn"}},
                        }
                    }
                }
            }
        },
    },
}


@pytest.fixture
def arm():
    with Emulator(TOPOLOGY, token="armsim") as emulator:
        yield emulator


@pytest.fixture
def configured(arm, tmp_path, monkeypatch):
    """The tool's configuration pointing at the emulator, with a static token per subscription."""
    path = tmp_path / "qn-arm.yaml"
    path.write_text(yaml.safe_dump(arm.tool_config({SPOKE: "spoke", HUB: "hub"})))
    monkeypatch.setenv("QN_ARM_CONFIG", str(path))
    return arm


def network(subscription):
    credential = YamlContext().generateAzureCredential(subscription)
    return cloud.NetworkManagementClient(credential.getCSC(), credential.getSubId())


def locks(subscription):
    credential = YamlContext().generateAzureCredential(subscription)
    return cloud.ManagementLockClient(credential.getSPC(), credential.getSubId())


def graph_query(query, subscriptions, result_format="objectArray"):
    models = cloud.resourcegraph.models
    client = cloud.resourcegraph.ResourceGraphClient(cloud.StaticTokenCredential())
    return client.resources(
        models.QueryRequest(
            subscriptions=subscriptions,
            query=query,
            options=models.QueryRequestOptions(result_format=result_format),
        )
    )


def error_code(error):
    return error.value.error.code


# -- reads ------------------------------------------------------------------------------------
def test_virtual_networks_of_each_subscription_with_their_peerings(configured):
    spoke = list(network(SPOKE).virtual_networks.list_all())
    assert [v.id for v in spoke] == [SPOKE_VNET]
    assert spoke[0].address_space.address_prefixes == ["10.1.0.0/16"]
    (peering,) = spoke[0].virtual_network_peerings
    assert (peering.name, peering.remote_virtual_network.id) == ("spoke-to-hub", HUB_VNET)
    assert peering.peering_state == "Connected"
    hub = network(HUB).virtual_networks.get("RG-HUB", "VN-HUB")  # names resolve without case
    assert hub.id == HUB_VNET and hub.provisioning_state == "Succeeded"
    assert [s.name for s in hub.subnets] == ["GatewaySubnet"]


@pytest.mark.parametrize(
    "read, code",
    [
        (lambda n: n.virtual_networks.get("rg-spoke", "vn-gone"), "ResourceNotFound"),
        (lambda n: n.subnets.get("rg-spoke", "vn-spoke", "gone"), "ResourceNotFound"),
        (lambda n: n.route_tables.get("rg-gone", "rt-web"), "ResourceGroupNotFound"),
        (lambda n: list(n.subnets.list("rg-spoke", "vn-gone")), "ResourceNotFound"),
    ],
)
def test_missing_resources_answer_404_with_an_arm_error(configured, read, code):
    with pytest.raises(ResourceNotFoundError) as error:
        read(network(SPOKE))
    assert error.value.status_code == 404 and error_code(error) == code


def test_subnets_and_route_tables_with_their_back_references(configured):
    client = network(SPOKE)
    subnets = {s.name: s for s in client.subnets.list("rg-spoke", "vn-spoke")}
    assert sorted(subnets) == ["db", "files", "web"]
    assert subnets["web"].route_table.id == RT_WEB and subnets["db"].route_table is None
    assert [d.service_name for d in subnets["files"].delegations] == ["Microsoft.Netapp/volumes"]
    tables = {t.name: t for t in client.route_tables.list_all()}
    assert [s.id for s in tables["rt-web"].subnets] == [subnets["web"].id]
    assert tables["rt-web-new"].subnets is None
    assert tables["rt-web-new"].tags == {"vnet": "vn-spoke", "Org_RT": "org_rt-web"}
    assert tables["rt-web-new"].routes[0].next_hop_ip_address == "10.1.0.4"


def test_listings_follow_next_links_across_pages(configured):
    configured.settings.page_size = 1
    names = [s.name for s in network(SPOKE).subnets.list("rg-spoke", "vn-spoke")]
    assert names == ["db", "files", "web"]
    pages = [p for m, p in configured.requests if p.endswith("/vn-spoke/subnets")]
    assert len(pages) == 3


# -- writes -----------------------------------------------------------------------------------
def test_subnet_write_moves_the_route_table_back_references(configured):
    client = network(SPOKE)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    web.route_table = client.route_tables.get("rg-spoke", "rt-web-new")
    written = client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web).result()
    assert written.route_table.id == RT_NEW
    assert client.route_tables.get("rg-spoke", "rt-web").subnets is None
    assert [s.id for s in client.route_tables.get("rg-spoke", "rt-web-new").subnets] == [web.id]

    web.route_table = None
    client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web).result()
    assert client.subnets.get("rg-spoke", "vn-spoke", "web").route_table is None
    assert client.route_tables.get("rg-spoke", "rt-web-new").subnets is None


def test_route_table_update_keeps_what_it_did_not_touch(configured):
    client = network(SPOKE)
    table = client.route_tables.get("rg-spoke", "rt-web")
    table.disable_bgp_route_propagation = True
    client.route_tables.begin_create_or_update("rg-spoke", "rt-web", table).result()
    table = client.route_tables.get("rg-spoke", "rt-web")
    assert table.disable_bgp_route_propagation is True
    assert table.tags == {"env": "test"} and len(table.subnets) == 1


def test_peering_ends_connect_and_disconnect_as_they_come_and_go(configured):
    spoke, hub = network(SPOKE), network(HUB)
    spoke.virtual_network_peerings.begin_delete("rg-spoke", "vn-spoke", "spoke-to-hub").result()
    assert list(spoke.virtual_network_peerings.list("rg-spoke", "vn-spoke")) == []
    remote = hub.virtual_network_peerings.get("rg-hub", "vn-hub", "hub-to-spoke")
    assert remote.peering_state == "Disconnected"

    body = network_models.VirtualNetworkPeering(
        remote_virtual_network=network_models.SubResource(id=HUB_VNET), use_remote_gateways=True
    )
    created = spoke.virtual_network_peerings.begin_create_or_update(
        "rg-spoke", "vn-spoke", "spoke-to-hub", body
    ).result()
    assert created.peering_state == "Connected" and created.allow_virtual_network_access is True
    assert hub.virtual_network_peerings.get("rg-hub", "vn-hub", "hub-to-spoke").peering_state == (
        "Connected"
    )


def test_peering_from_a_plain_settings_map(configured):
    spoke = network(SPOKE)
    settings = {
        "id": f"{SPOKE_VNET}/virtualNetworkPeerings/spoke-to-hub",
        "name": "spoke-to-hub",
        "allow_virtual_network_access": True,
        "allow_forwarded_traffic": True,
        "allow_gateway_transit": False,
        "use_remote_gateways": False,
        "remote_virtual_network": {"id": HUB_VNET},
    }
    spoke.virtual_network_peerings.begin_create_or_update(
        "rg-spoke", "vn-spoke", "spoke-to-hub", settings
    ).result()
    peering = spoke.virtual_network_peerings.get("rg-spoke", "vn-spoke", "spoke-to-hub")
    assert (peering.allow_forwarded_traffic, peering.use_remote_gateways) == (True, False)
    assert peering.remote_virtual_network.id == HUB_VNET


def test_the_bare_sdk_sends_a_settings_map_as_it_is_and_arm_refuses_it(configured):
    """Why the cloud client converts settings maps: the SDK alone sends no peering."""
    raw = SdkNetworkClient(
        cloud.StaticTokenCredential(),
        SPOKE,
        base_url=configured.endpoint,
        connection_verify=configured.ca_file,
    )
    settings = {"name": "p2", "remote_virtual_network": {"id": HUB_VNET}}
    with pytest.raises(HttpResponseError) as error:
        raw.virtual_network_peerings.begin_create_or_update("rg-spoke", "vn-spoke", "p2", settings)
    assert error.value.status_code == 400 and error_code(error) == "InvalidRequestFormat"


@pytest.mark.parametrize(
    "write, code",
    [
        (
            lambda n: n.subnets.begin_create_or_update(
                "rg-spoke",
                "vn-spoke",
                "web",
                {
                    "properties": {
                        "addressPrefix": "10.1.1.0/24",
                        "routeTable": {"id": RT_WEB + "-gone"},
                    }
                },  # fmt: skip
            ),
            "InvalidResourceReference",
        ),
        (
            lambda n: n.subnets.begin_create_or_update(
                "rg-spoke", "vn-spoke", "web", {"properties": {}}
            ),
            "InvalidRequestFormat",
        ),
        (
            lambda n: n.route_tables.begin_create_or_update("rg-spoke", "rt-new", {}),
            "LocationRequired",
        ),
    ],
)
def test_writes_arm_refuses_answer_400(configured, write, code):
    before = configured.snapshot()
    with pytest.raises(HttpResponseError) as error:
        write(network(SPOKE))
    assert error.value.status_code == 400 and error_code(error) == code
    assert configured.snapshot() == before


# -- locks ------------------------------------------------------------------------------------
def lock_args():
    return ("rg-hub", "Microsoft.Network", "", "virtualNetworks", "vn-hub")


def test_a_lock_blocks_deleting_under_its_vnet_until_removed(configured):
    hub, client = network(HUB), locks(HUB)
    with pytest.raises(HttpResponseError) as error:
        hub.virtual_network_peerings.begin_delete("rg-hub", "vn-hub", "hub-to-spoke").result()
    assert error.value.status_code == 409 and error_code(error) == "ScopeLocked"
    assert HUB_VNET in error.value.error.message

    lock = next(iter(client.management_locks.list_at_resource_level(*lock_args())))
    assert (lock.name, lock.level) == ("hub-lock", "CanNotDelete")
    client.management_locks.delete_at_resource_level(*lock_args(), lock.name)
    assert list(client.management_locks.list_at_resource_level(*lock_args())) == []
    hub.virtual_network_peerings.begin_delete("rg-hub", "vn-hub", "hub-to-spoke").result()
    assert list(hub.virtual_network_peerings.list("rg-hub", "vn-hub")) == []


def test_read_only_lock_blocks_writes_and_can_not_delete_does_not(configured):
    client = locks(SPOKE)
    args = ("rg-spoke", "Microsoft.Network", "", "virtualNetworks", "vn-spoke")
    client.management_locks.create_or_update_at_resource_level(
        *args, "freeze", ManagementLockObject(level="CanNotDelete")
    )
    spoke = network(SPOKE)
    web = spoke.subnets.get("rg-spoke", "vn-spoke", "web")
    spoke.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web).result()

    client.management_locks.create_or_update_at_resource_level(
        *args, "freeze", ManagementLockObject(level="ReadOnly", notes="change freeze")
    )
    with pytest.raises(HttpResponseError) as error:
        spoke.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web)
    assert error.value.status_code == 409 and error_code(error) == "ScopeLocked"
    listed = [
        (lock.name, lock.level) for lock in client.management_locks.list_at_resource_level(*args)
    ]
    assert listed == [("freeze", "ReadOnly")]


# -- Resource Graph ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "subnet, subscriptions, rows",
    [
        (HUB_VNET + "/subnets/GatewaySubnet", [HUB], [{"properties_gatewayType": "Vpn"}]),
        (HUB_VNET.lower() + "/subnets/gatewaysubnet", [HUB], [{"properties_gatewayType": "Vpn"}]),
        (HUB_VNET + "/subnets/GatewaySubnet", [SPOKE], []),
        (SPOKE_VNET + "/subnets/GatewaySubnet", [SPOKE, HUB], []),
    ],
)
def test_gateway_query(configured, subnet, subscriptions, rows):
    response = graph_query(GATEWAY_QUERY % subnet, subscriptions)
    assert response.total_records == len(rows) and response.data == rows


def test_gateway_query_as_table(configured):
    response = graph_query(GATEWAY_QUERY % (HUB_VNET + "/subnets/GatewaySubnet"), [HUB], "table")
    assert response.data["rows"] == [["Vpn"]]


def test_other_queries_answer_400(configured):
    with pytest.raises(HttpResponseError) as error:
        graph_query("Resources | project name", [HUB])
    assert error.value.status_code == 400 and error_code(error) == "BadRequest"


# -- long-running operations ------------------------------------------------------------------
def test_writes_poll_their_asynchronous_operation_to_the_end(configured):
    configured.settings.lro, configured.settings.lro_polls = "async", 2
    client = network(SPOKE)
    table = client.route_tables.get("rg-spoke", "rt-web")
    table.disable_bgp_route_propagation = True
    poller = client.route_tables.begin_create_or_update("rg-spoke", "rt-web", table)
    assert client.route_tables.get("rg-spoke", "rt-web").provisioning_state == "Updating"
    assert poller.result().provisioning_state == "Succeeded"
    polls = [p for m, p in configured.requests if "/operations/" in p]
    assert len(polls) == 3  # two "InProgress" answers, then the end

    poller = client.virtual_network_peerings.begin_delete("rg-spoke", "vn-spoke", "spoke-to-hub")
    assert (
        client.virtual_network_peerings.get(
            "rg-spoke", "vn-spoke", "spoke-to-hub"
        ).provisioning_state
        == "Deleting"
    )
    poller.result()
    assert list(client.virtual_network_peerings.list("rg-spoke", "vn-spoke")) == []


def test_unpolled_operations_finish_when_asked(configured):
    configured.settings.lro = "async"
    client = network(SPOKE)
    table = client.route_tables.get("rg-spoke", "rt-web")
    table.disable_bgp_route_propagation = True
    client.route_tables.begin_create_or_update("rg-spoke", "rt-web", table)  # dropped
    configured.finish_operations()
    table = client.route_tables.get("rg-spoke", "rt-web")
    assert (table.provisioning_state, table.disable_bgp_route_propagation) == ("Succeeded", True)


def test_an_operation_that_ends_in_failure_raises_and_keeps_the_old_state(configured):
    configured.faults.add(Fault(method="PUT", resource="subnets/web", fail_async=True,
                                code="InternalServerError", message="gateway busy"))  # fmt: skip
    client = network(SPOKE)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    web.route_table = client.route_tables.get("rg-spoke", "rt-web-new")
    with pytest.raises(HttpResponseError) as error:
        client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web).result()
    assert "gateway busy" in str(error.value)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    assert (web.route_table.id, web.provisioning_state) == (RT_WEB, "Failed")


# -- faults and throttling --------------------------------------------------------------------
@pytest.mark.parametrize("retry_after", [None, 0.01])  # None: the default "Retry-After: 1"
def test_throttled_reads_are_retried_by_the_sdk(configured, retry_after):
    fault = configured.faults.add(
        Fault(
            method="GET", resource="virtualNetworks", status=429, times=2, retry_after=retry_after
        )
    )
    assert [v.name for v in network(SPOKE).virtual_networks.list_all()] == ["vn-spoke"]
    assert fault.hits == 2
    lists = [r for r in configured.requests if r[1].endswith("/virtualNetworks")]
    assert len(lists) == 3


def test_throttling_answer_carries_retry_after(configured):
    configured.faults.add(Fault(status=429))
    response = requests.get(
        f"{configured.endpoint}/subscriptions/{SPOKE}/{NET}/virtualNetworks",
        params={"api-version": "2024-05-01"},
        headers={"Authorization": "Bearer armsim"},
        verify=configured.ca_file,
    )
    assert response.status_code == 429 and response.headers["Retry-After"] == "1"
    assert response.json()["error"]["code"] == "TooManyRequests"


def test_injected_failure_ends_after_its_count(configured):
    configured.faults.add(Fault(method="PUT", resource="vn-spoke/subnets/web", status=403))
    client = network(SPOKE)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    with pytest.raises(HttpResponseError) as error:
        client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web)
    assert error.value.status_code == 403 and error_code(error) == "AuthorizationFailed"
    client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web).result()


def test_delayed_answer_still_serves_the_request(configured):
    fault = configured.faults.add(Fault(method="GET", resource="rt-web", delay=0.05))
    assert network(SPOKE).route_tables.get("rg-spoke", "rt-web").name == "rt-web"
    assert fault.hits == 1


@pytest.mark.parametrize(
    "headers, query, status, code",
    [
        ({}, {"api-version": "2024-05-01"}, 401, "AuthenticationFailed"),
        (
            {"Authorization": "Bearer other"},
            {"api-version": "2024-05-01"},
            401,
            "AuthenticationFailed",
        ),  # fmt: skip
        ({"Authorization": "Bearer armsim"}, {}, 400, "MissingApiVersionParameter"),
    ],
)
def test_requests_need_a_token_and_an_api_version(arm, headers, query, status, code):
    response = requests.get(
        f"{arm.endpoint}/subscriptions/{SPOKE}/{NET}/virtualNetworks",
        params=query,
        headers=headers,
        verify=arm.ca_file,
    )
    assert response.status_code == status and response.json()["error"]["code"] == code


# -- state, counts, topology ------------------------------------------------------------------
def test_snapshot_and_request_counts(configured):
    before = configured.snapshot()
    assert before[SPOKE_VNET]["properties"]["subnets"][0]["name"] == "db"
    assert f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-lock" in before
    client = network(SPOKE)
    web = client.subnets.get("rg-spoke", "vn-spoke", "web")
    web.route_table = client.route_tables.get("rg-spoke", "rt-web-new")
    client.subnets.begin_create_or_update("rg-spoke", "vn-spoke", "web", web).result()
    after = configured.snapshot()
    changed = {k for k in before if before[k] != after[k]}
    assert changed == {RT_WEB, RT_NEW, SPOKE_VNET + "/subnets/web", SPOKE_VNET}
    assert configured.request_counts()[("GET", SPOKE_VNET + "/subnets/web")] == 1
    assert configured.write_requests() == [("PUT", SPOKE_VNET + "/subnets/web")]


@pytest.mark.parametrize("suffix", [".json", ".yaml"])
def test_topology_files_in_json_or_yaml(tmp_path, suffix):
    path = tmp_path / f"topology{suffix}"
    path.write_text(json.dumps(TOPOLOGY) if suffix == ".json" else yaml.safe_dump(TOPOLOGY))
    assert load_topology(path).snapshot() == load_topology(TOPOLOGY).snapshot()


@pytest.mark.parametrize(
    "vnet, message",
    [
        ({"subnets": {"web": {"route_table": "rt-gone"}}}, "names no routeTables"),
        ({"peerings": {"p": {"remote": "rg/vn-gone"}}}, "names no virtualNetworks"),
        ({"peerings": {"p": {}}}, "needs 'remote'"),
        ({"locks": {"l": "Frozen"}}, "level must be one of"),
        ({"gateways": {"g": {"type": "Vpn"}}}, "has no subnet GatewaySubnet"),
    ],
)
def test_topology_errors_name_the_place(vnet, message):
    topology = {
        "subscriptions": {"s": {"resource_groups": {"rg": {"virtual_networks": {"vn": vnet}}}}}
    }
    with pytest.raises(TopologyError, match=message):
        load_topology(topology)


def test_command_serves_a_topology_file(tmp_path):
    path = tmp_path / "topology.yaml"
    path.write_text(yaml.safe_dump(TOPOLOGY))
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "armsim",
            "--topology",
            str(path),
            "--port",
            "0",
            "--cert-dir",
            str(tmp_path),
        ],  # fmt: skip
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        endpoint = process.stdout.readline().split()[-1]
        ca_file = process.stdout.readline().split()[-1]
        client = SdkNetworkClient(
            cloud.StaticTokenCredential(), HUB, base_url=endpoint, connection_verify=ca_file
        )
        assert [v.name for v in client.virtual_networks.list_all()] == ["vn-hub"]
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0


# -- the configured cloud ---------------------------------------------------------------------
@pytest.fixture
def config_file(tmp_path, monkeypatch):
    def write(settings):
        path = tmp_path / "qn-arm.yaml"
        path.write_text(yaml.safe_dump(settings))
        monkeypatch.setenv("QN_ARM_CONFIG", str(path))

    yield write
    cloud.configure()


@pytest.mark.parametrize(
    "settings, endpoint, scope",
    [
        ({}, "https://management.azure.com", "https://management.azure.com/.default"),
        (
            {"management_endpoint": "https://management.chinacloudapi.cn/"},
            "https://management.chinacloudapi.cn",
            "https://management.chinacloudapi.cn/.default",
        ),
        (
            {
                "management_endpoint": "https://127.0.0.1:9",
                "management_credential_scope": "api://x",
            },
            "https://127.0.0.1:9",
            "api://x",
        ),
    ],
)
def test_cloud_settings(config_file, settings, endpoint, scope):
    config_file(settings)
    client = cloud.NetworkManagementClient(cloud.StaticTokenCredential(), SPOKE)
    assert client._config.credential_scopes == [scope]
    assert cloud.cloud_settings().endpoint == endpoint


def test_configure_overrides_the_file_for_the_process(config_file):
    config_file({"management_endpoint": "https://a.example", "management_ca_bundle": "/ca.pem"})
    cloud.configure("https://b.example")
    settings = cloud.cloud_settings()
    assert (settings.endpoint, settings.credential_scope, settings.ca_bundle) == (
        "https://b.example",
        "https://b.example/.default",
        "/ca.pem",
    )
    cloud.configure()
    assert cloud.cloud_settings().endpoint == "https://a.example"


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"management_endpoint": "http://127.0.0.1:9"}, "must be an https:// URL"),
        ({"management_ca_bundle": 3}, "'management_ca_bundle' must be text"),
    ],
)
def test_cloud_settings_refuse_malformed_values(config_file, settings, message):
    config_file(settings)
    with pytest.raises(ConfigurationError, match=message):
        cloud.NetworkManagementClient(cloud.StaticTokenCredential(), SPOKE)
