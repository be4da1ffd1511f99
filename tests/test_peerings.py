"""Peerings: lookup of both ends, deletion with records, re-creation, remote-gateway use."""

import copy
import json

import pytest

import fakes
import qn.arm.switchlib as switchlib

SPOKE_SUB, SPOKE_RG = "sub-spoke", "rg-spoke"
HUB_SUB, HUB_RG = "sub-hub", "rg-hub"
VHUB_ID = fakes.rid(
    "sub-vwan", "rg-vwan", "virtualNetworks", "HV_hub-west_0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
)
KEEP = {"delete_peering": "gateway", "delete_vnet_lock": False}


def peering_id(vnet, name):
    return f"{vnet.id}/virtualNetworkPeerings/{name}"


def listed(azure, vnet):
    """The VNet as the driver hands it in: with its peerings listed."""
    sub, rg = vnet.id.split("/")[2], vnet.id.split("/")[4]
    vnet.virtual_network_peerings = copy.deepcopy(
        list(azure.peerings_of(sub, rg, vnet.name).values())
    )
    return vnet


def without_debug(logs):
    return [line for line in logs.lines() if line[0] != "DEBUG"]


def peering_writes(azure):
    """(subscription, operation, rg, vnet, peering) of every peering write, and the waits."""
    return [
        (c[0], c[1].split(".")[-1], *c[2][:3]) if c[1] != "wait" else ("wait", c[2][0])
        for c in azure.calls
        if c[1] == "wait" or c[1].startswith("virtual_network_peerings.begin")
    ]


@pytest.fixture
def world(azure, use_yaml_context):
    """A spoke peered with a gateway hub across subscriptions, and every kind of peering to skip."""
    use_yaml_context(subscriptions=[SPOKE_SUB, HUB_SUB])
    spoke = fakes.vnet(SPOKE_SUB, SPOKE_RG, "spoke")
    hub = fakes.vnet(HUB_SUB, HUB_RG, "hub")
    peer = fakes.vnet(SPOKE_SUB, "rg-peer", "peer")
    orphan = fakes.vnet(HUB_SUB, HUB_RG, "orphan")
    far = fakes.vnet("sub-far", "rg-far", "far")
    transit = fakes.vnet(HUB_SUB, "rg-transit", "transit")
    azure.add_vnet(
        spoke,
        peerings=[
            fakes.peering(spoke, "lumaflow-transit", transit.id),
            fakes.peering(spoke, "to-vwan", VHUB_ID, use_remote_gateways=True),
            fakes.peering(
                spoke,
                "spoke-to-hub",
                hub.id,
                use_remote_gateways=True,
                allow_forwarded_traffic=None,
            ),
            fakes.peering(spoke, "spoke-to-orphan", orphan.id),
            fakes.peering(spoke, "spoke-to-far", far.id),
            fakes.peering(spoke, "spoke-to-peer", peer.id),
        ],
    )
    # The hub spells the spoke's resource group in capitals: ends are matched case-blind.
    spoke_upper = fakes.rid(SPOKE_SUB, SPOKE_RG.upper(), "virtualNetworks", "spoke")
    azure.add_vnet(
        hub,
        peerings=[
            fakes.peering(hub, "hub-to-transit", transit.id, allow_gateway_transit=True),
            fakes.peering(
                hub,
                "hub-to-spoke",
                spoke_upper,
                allow_gateway_transit=True,
                allow_forwarded_traffic=True,
            ),
        ],
    )
    azure.add_vnet(peer, peerings=[fakes.peering(peer, "peer-to-spoke", spoke.id)])
    azure.add_vnet(orphan, peerings=[fakes.peering(orphan, "orphan-to-transit", transit.id)])
    azure.add_vnet(far)
    azure.add_vnet(transit)
    return fakes.Model(spoke=spoke, hub=hub, peer=peer, orphan=orphan, transit=transit)


HUB_PAIR = {
    "localSubscriptionId": SPOKE_SUB,
    "localRgName": SPOKE_RG,
    "localVnetName": "spoke",
    "localPeeringName": "spoke-to-hub",
    "localPeering": {
        "id": fakes.rid(SPOKE_SUB, SPOKE_RG, "virtualNetworks", "spoke")
        + "/virtualNetworkPeerings/spoke-to-hub",
        "name": "spoke-to-hub",
        "allow_virtual_network_access": True,
        "allow_forwarded_traffic": None,
        "allow_gateway_transit": False,
        "use_remote_gateways": True,
        "remote_virtual_network": {"id": fakes.rid(HUB_SUB, HUB_RG, "virtualNetworks", "hub")},
    },
    "remoteSubscriptionId": HUB_SUB,
    "remoteRgName": HUB_RG,
    "remoteVnetName": "hub",
    "remotePeeringName": "hub-to-spoke",
    "remotePeering": {
        "id": fakes.rid(HUB_SUB, HUB_RG, "virtualNetworks", "hub")
        + "/virtualNetworkPeerings/hub-to-spoke",
        "name": "hub-to-spoke",
        "allow_virtual_network_access": True,
        "allow_forwarded_traffic": True,
        "allow_gateway_transit": True,
        "use_remote_gateways": False,
        "remote_virtual_network": {
            "id": fakes.rid(SPOKE_SUB, SPOKE_RG.upper(), "virtualNetworks", "spoke")
        },
    },
}

FORWARD_LINES = [
    ("INFO", "- Delete peerings"),
    ("INFO", "  controller created peering lumaflow-transit -- skipped"),
    ("INFO", "  virtual hub connection to-vwan -- skipped"),
    ("INFO", "  delete peering spoke-to-hub"),
    ("INFO", "  delete peering hub-to-spoke"),
    ("INFO", "  failed to found remote peering info for spoke-to-orphan"),
    ("ERROR", "  **Error** 'NoneType' object has no attribute 'id'"),
    (
        "ERROR",
        "  **Error** Cannot delete peering. Missing credential for remote subscription sub-far",
    ),
    (
        "INFO",
        "  peering between spoke-to-peer and peer-to-spoke -- skipped, "
        "as remote peer's allow-gateway-transit flag is False",
    ),
]


# -- lookup ------------------------------------------------------------------------------------


@pytest.mark.parametrize("name, found", [("hub", True), ("HUB", False), ("hu", False), ("", False)])
def test_get_vnet_by_exact_name(ST, azure, world, name, found):
    result = ST.getVnet(name, azure.network_client(HUB_SUB))
    assert (result.id if result else None) == (world.hub.id if found else None)


def test_get_vnet_takes_the_first_of_namesakes_and_none_from_an_empty_subscription(ST, azure, logs):
    azure.add_vnet(fakes.vnet("s", "rg-b", "twin"))
    azure.add_vnet(fakes.vnet("s", "rg-a", "twin"))
    assert (
        ST.getVnet(vnetName="twin", network_client=azure.network_client("s")).id.split("/")[4]
        == "rg-b"
    )
    assert ST.getVnet("twin", azure.network_client("empty")) is None
    assert logs.lines() == []


def test_remote_end_found_by_the_network_it_points_at(ST, azure, world, logs):
    # Three peerings on the hub, only the second pointing back; the subscription is not compared.
    azure.peerings_of(HUB_SUB, HUB_RG, "hub")["hub-to-other"] = fakes.peering(
        world.hub, "hub-to-other", fakes.rid("sub-x", SPOKE_RG, "virtualNetworks", "spoke2")
    )
    hub_id_other_case = fakes.rid(HUB_SUB, "RG-Hub", "virtualNetworks", "Hub")
    rg, vnet, name, peering = ST.getRemotePeering(
        None, hub_id_other_case, peering_id(world.spoke, "spoke-to-hub")
    )
    assert (rg, vnet, name, peering.name) == ("RG-Hub", "Hub", "hub-to-spoke", "hub-to-spoke")
    assert logs.lines() == [
        ("DEBUG", "  local subscription id: sub-spoke"),
        ("DEBUG", "  local resource group: rg-spoke"),
        ("DEBUG", "  local vnet name: spoke"),
        ("DEBUG", "  local peering name: spoke-to-hub"),
        ("DEBUG", "  expected remote subscription id: sub-hub"),
        ("DEBUG", "  expected remote resource group: RG-Hub"),
        ("DEBUG", "  expected remote vnet name: Hub"),
        ("DEBUG", "  remote peering name: hub-to-spoke"),
    ]
    assert azure.clients == [("network", f"csc:{HUB_SUB}", HUB_SUB)]


@pytest.mark.parametrize("remote", ["orphan", "transit"])  # peerings point elsewhere / none at all
def test_remote_end_not_found(ST, world, logs, remote):
    result = ST.getRemotePeering(
        None, getattr(world, remote).id, peering_id(world.spoke, "spoke-to-" + remote)
    )
    assert result == (None, None, None, None)
    assert logs.lines()[-1] == (
        "INFO",
        f"  failed to found remote peering info for spoke-to-{remote}",
    )


# -- deletion and re-creation ------------------------------------------------------------------


def test_forward_delete_then_revert_recreates_both_ends(ST, azure, world, logs):
    before = copy.deepcopy(azure.peerings)
    pairs = ST.deletePeerings(KEEP, SPOKE_SUB, listed(azure, world.spoke), exclude="lumaflow-")

    assert pairs == [HUB_PAIR]
    assert list(pairs[0]) == list(HUB_PAIR)
    assert list(pairs[0]["remotePeering"]) == list(HUB_PAIR["remotePeering"])
    assert without_debug(logs) == FORWARD_LINES
    assert peering_writes(azure) == [
        (SPOKE_SUB, "begin_delete", SPOKE_RG, "spoke", "spoke-to-hub"),
        ("wait", "virtual_network_peerings.begin_delete:spoke-to-hub"),
        (HUB_SUB, "begin_delete", HUB_RG, "hub", "hub-to-spoke"),
        ("wait", "virtual_network_peerings.begin_delete:hub-to-spoke"),
    ]
    assert set(azure.peerings_of(SPOKE_SUB, SPOKE_RG, "spoke")) == {
        "lumaflow-transit",
        "to-vwan",
        "spoke-to-orphan",
        "spoke-to-far",
        "spoke-to-peer",
    }
    assert set(azure.peerings_of(HUB_SUB, HUB_RG, "hub")) == {"hub-to-transit"}

    # The driver keeps the records as data between the runs.
    kept = json.loads(json.dumps(pairs))
    assert kept == pairs
    azure.calls.clear()
    logs.clear()
    assert ST.addPeerings(kept) is None
    assert logs.lines() == [
        ("INFO", "- Restore peerings"),
        ("INFO", "  add local peering spoke-to-hub to spoke"),
        ("INFO", "  add remote peering hub-to-spoke to hub"),
    ]
    assert peering_writes(azure) == [
        (SPOKE_SUB, "begin_create_or_update", SPOKE_RG, "spoke", "spoke-to-hub"),
        ("wait", "virtual_network_peerings.begin_create_or_update:spoke-to-hub"),
        (HUB_SUB, "begin_create_or_update", HUB_RG, "hub", "hub-to-spoke"),
        ("wait", "virtual_network_peerings.begin_create_or_update:hub-to-spoke"),
    ]
    assert azure.peerings == before


@pytest.mark.parametrize("setting, deleted", [("all", True), ("All", False), ("gateway", False)])
def test_peerings_without_remote_gateway_transit_go_only_with_all(
    ST, azure, world, logs, setting, deleted
):
    yaml = {"delete_peering": setting, "delete_vnet_lock": False}
    pairs = ST.deletePeerings(yaml, SPOKE_SUB, listed(azure, world.spoke), exclude="lumaflow-")
    names = [p["localPeeringName"] for p in pairs]
    assert names == (["spoke-to-hub", "spoke-to-peer"] if deleted else ["spoke-to-hub"])
    assert ("spoke-to-peer" in azure.peerings_of(SPOKE_SUB, SPOKE_RG, "spoke")) is not deleted
    assert ("peer-to-spoke" in azure.peerings_of(SPOKE_SUB, "rg-peer", "peer")) is not deleted


def test_a_remote_end_whose_gateway_transit_is_unset_is_deleted(ST, azure, world):
    azure.peerings_of(SPOKE_SUB, "rg-peer", "peer")["peer-to-spoke"].allow_gateway_transit = None
    pairs = ST.deletePeerings(KEEP, SPOKE_SUB, listed(azure, world.spoke), exclude="lumaflow-")
    assert [p["remotePeeringName"] for p in pairs] == ["hub-to-spoke", "peer-to-spoke"]


def test_dry_run_logs_and_records_as_a_real_run_but_deletes_nothing(ST, azure, world, logs):
    ST.setDryRun()
    yaml = {"delete_peering": "gateway", "delete_vnet_lock": True}
    azure.add_lock(world.hub, fakes.lock("hub-lock"))
    pairs = ST.deletePeerings(yaml, SPOKE_SUB, listed(azure, world.spoke), exclude="lumaflow-")
    assert pairs == [HUB_PAIR]
    lines = without_debug(logs)
    assert lines[3:6] == [
        ("INFO", "  - Delete vnet lock in hub"),
        ("INFO", "    delete lock hub-lock"),
        ("INFO", "  delete peering spoke-to-hub"),
    ]
    assert [x for x in lines if x not in lines[3:5]] == FORWARD_LINES
    assert azure.writes() == []


def test_no_peerings(ST, azure, world, logs):
    lonely = azure.add_vnet(fakes.vnet(SPOKE_SUB, SPOKE_RG, "lonely"))
    assert ST.deletePeerings(KEEP, SPOKE_SUB, lonely) == []
    assert logs.messages() == ["- Delete peerings", "  No peering found"]
    assert azure.clients == [("network", f"csc:{SPOKE_SUB}", SPOKE_SUB)]
    assert azure.calls == []


def test_an_empty_exclude_skips_every_peering_before_asking_anything(
    ST, azure, world, logs, monkeypatch
):
    asked = []
    monkeypatch.setattr(switchlib, "vwm", fakes.Model(getVHubNameFromPeering=asked.append))
    client = azure.network_client(SPOKE_SUB)
    assert ST.deletePeerings(KEEP, SPOKE_SUB, listed(azure, world.spoke), client, "") == []
    assert all(m.endswith(" -- skipped") for m in logs.messages()[1:])
    assert len(logs.messages()) == 7
    assert asked == [] and azure.calls == []


@pytest.mark.parametrize("end", ["spoke-to-hub", "hub-to-spoke"])
@pytest.mark.parametrize("stage", ["call", "poller"])
def test_a_failed_deletion_keeps_the_record_and_the_other_end_goes(
    ST, azure, world, logs, end, stage
):
    error = fakes.http_error("AnotherOperationInProgress")
    failures = azure.failures if stage == "call" else azure.poller_failures
    failures[("virtual_network_peerings.begin_delete", end)] = error
    pairs = ST.deletePeerings(KEEP, SPOKE_SUB, listed(azure, world.spoke), exclude="lumaflow-")
    assert pairs == [HUB_PAIR]
    lines = without_debug(logs)
    failed = ("ERROR", f"  **Error** Failed to delete peering {end} -AnotherOperationInProgress")
    assert lines[3:6] == (
        [
            ("INFO", "  delete peering spoke-to-hub"),
            failed,
            ("INFO", "  delete peering hub-to-spoke"),
        ]
        if end == "spoke-to-hub"
        else [
            ("INFO", "  delete peering spoke-to-hub"),
            ("INFO", "  delete peering hub-to-spoke"),
            failed,
        ]
    )
    assert [w[1] for w in azure.writes()] == ["virtual_network_peerings.begin_delete"] * 2
    assert lines[6:] == FORWARD_LINES[5:]


def test_two_spokes_to_one_locked_hub(ST, azure, world, logs):
    second = fakes.vnet(SPOKE_SUB, SPOKE_RG, "spoke2")
    azure.add_vnet(second, peerings=[fakes.peering(second, "spoke2-to-hub", world.hub.id)])
    azure.peerings_of(HUB_SUB, HUB_RG, "hub")["hub-to-spoke2"] = fakes.peering(
        world.hub, "hub-to-spoke2", second.id
    )
    azure.add_lock(world.hub, fakes.lock("hub-lock"))
    yaml = {"delete_peering": "all", "delete_vnet_lock": True}
    client = azure.network_client(SPOKE_SUB)
    ST.deletePeerings(yaml, SPOKE_SUB, listed(azure, world.spoke), client, "lumaflow-")
    ST.deletePeerings(yaml, SPOKE_SUB, listed(azure, second), client, "lumaflow-")
    lock_lines = [m for m in logs.messages() if "lock" in m]
    assert lock_lines == [
        "  - Delete vnet lock in hub",
        "    delete lock hub-lock",
        "  - Delete vnet lock in peer",
        "    no vnet lock found",
        "  - Delete vnet lock in hub",
        "    no vnet lock found",
    ]
    ops = [c[1].split(".")[-1] for c in azure.calls if c[0] == HUB_SUB and c[1] != "wait"]
    # The lock goes (with the hub's credential) before either end of the first peering.
    assert ops[:6] == [
        "list",
        "list_all",
        "list_at_resource_level",
        "delete_at_resource_level",
        "begin_delete",
        "list",
    ]
    assert ("lock", f"spc:{HUB_SUB}", HUB_SUB) in azure.clients


def test_a_failing_lock_step_does_not_lose_the_records(ST, azure, world, logs):
    # The lock step of the second recorded peering fails after the first was deleted.
    yaml = {"delete_peering": "all", "delete_vnet_lock": True}
    azure.failures[("management_locks.list_at_resource_level", "peer")] = fakes.http_error(
        "AuthorizationFailed", 403
    )
    pairs = ST.deletePeerings(yaml, SPOKE_SUB, listed(azure, world.spoke), exclude="lumaflow-")
    assert [p["localPeeringName"] for p in pairs] == ["spoke-to-hub", "spoke-to-peer"]
    assert without_debug(logs)[-4:] == [
        ("INFO", "  - Delete vnet lock in peer"),
        ("ERROR", "  **Error** AuthorizationFailed"),
        ("INFO", "  delete peering spoke-to-peer"),
        ("INFO", "  delete peering peer-to-spoke"),
    ]
    assert "hub-to-spoke" not in azure.peerings_of(HUB_SUB, HUB_RG, "hub")
    assert "peer-to-spoke" not in azure.peerings_of(SPOKE_SUB, "rg-peer", "peer")


@pytest.mark.parametrize("missing, raised", [("delete_vnet_lock", True), ("delete_peering", False)])
def test_missing_configuration_keys(ST, azure, world, logs, missing, raised):
    yaml = {k: v for k, v in KEEP.items() if k != missing}
    vnet = listed(azure, world.spoke)
    if raised:
        with pytest.raises(KeyError, match=missing):
            ST.deletePeerings(yaml, SPOKE_SUB, vnet, exclude="lumaflow-")
        assert azure.writes() == []
    else:
        assert ST.deletePeerings(yaml, SPOKE_SUB, vnet, exclude="lumaflow-") == []
        assert ("ERROR", f"  **Error** '{missing}'") in logs.lines()


def test_operations_are_reached_through_the_class(ST, azure, world, logs):
    seen = []

    class Patched(ST):
        @classmethod
        def getRemotePeering(cls, cred, remotePeeringVnetId, localPeerId):
            seen.append(("getRemotePeering", cred.getSubId(), remotePeeringVnetId, localPeerId))
            peering = azure.network_client(HUB_SUB).virtual_network_peerings.get(
                HUB_RG, "hub", "hub-to-spoke"
            )
            return ["rg-x", "vnet-x", "peering-x", peering]

        @classmethod
        def getVnet(cls, vnetName, network_client):
            seen.append(("getVnet", vnetName, network_client.subscription_id))
            return "the-vnet"

        @classmethod
        def deleteVnetLock(cls, cred, vnet, indent=0):
            seen.append(("deleteVnetLock", cred.getSubId(), vnet, indent))

    yaml = {"delete_peering": "gateway", "delete_vnet_lock": True}
    spoke = listed(azure, world.spoke)
    spoke.virtual_network_peerings = spoke.virtual_network_peerings[2:3]
    pairs = Patched.deletePeerings(yaml, SPOKE_SUB, spoke)
    assert seen == [
        ("getRemotePeering", HUB_SUB, world.hub.id, peering_id(world.spoke, "spoke-to-hub")),
        ("getVnet", "vnet-x", HUB_SUB),
        ("deleteVnetLock", HUB_SUB, "the-vnet", 2),
    ]
    assert [pairs[0][k] for k in ("remoteRgName", "remoteVnetName", "remotePeeringName")] == [
        "rg-x",
        "vnet-x",
        "peering-x",
    ]


# -- re-creation -------------------------------------------------------------------------------


def test_restore_nothing(ST, azure, use_yaml_context, logs):
    context = use_yaml_context(subscriptions=[SPOKE_SUB])
    assert ST.addPeerings([]) is None
    assert logs.messages() == ["- Restore peerings", "  no peering found"]
    assert context.calls == [] and azure.clients == [] and azure.calls == []


def test_dry_run_restore_makes_clients_but_creates_nothing(ST, azure, world, logs):
    ST.setDryRun()
    ST.addPeerings([HUB_PAIR])
    assert logs.messages()[1:] == [
        "  add local peering spoke-to-hub to spoke",
        "  add remote peering hub-to-spoke to hub",
    ]
    assert [c[2] for c in azure.clients] == [SPOKE_SUB, HUB_SUB]
    assert azure.calls == []


@pytest.mark.parametrize("end", ["spoke-to-hub", "hub-to-spoke"])
@pytest.mark.parametrize("stage", ["call", "poller"])
def test_a_failed_creation_does_not_stop_the_other_end(ST, azure, world, logs, end, stage):
    failures = azure.failures if stage == "call" else azure.poller_failures
    failures[("virtual_network_peerings.begin_create_or_update", end)] = fakes.http_error(
        "Conflict"
    )
    ST.addPeerings([HUB_PAIR])
    assert ("ERROR", f"  **Error** Failed to add peering {end} -Conflict") in logs.lines()
    assert (
        logs.messages()[-1 if end == "hub-to-spoke" else 2]
        == f"  **Error** Failed to add peering {end} -Conflict"
    )
    assert [w[2][2] for w in azure.writes()] == ["spoke-to-hub", "hub-to-spoke"]


def test_a_record_without_its_local_group_still_restores_the_remote_end(ST, azure, world, logs):
    record = {k: v for k, v in HUB_PAIR.items() if k != "localRgName"}
    ST.addPeerings([record])
    assert logs.messages()[2] == "  **Error** Failed to add peering spoke-to-hub -'localRgName'"
    assert [w[2][2] for w in azure.writes()] == ["hub-to-spoke"]


def test_a_missing_remote_credential_ends_the_restore(ST, azure, world, logs, use_yaml_context):
    use_yaml_context(subscriptions=[SPOKE_SUB])
    later = dict(HUB_PAIR, localPeeringName="later")
    with pytest.raises(AttributeError, match="getCSC"):
        ST.addPeerings([HUB_PAIR, later])
    assert logs.messages()[-1] == "  add remote peering hub-to-spoke to hub"
    assert [w[2][2] for w in azure.writes()] == ["spoke-to-hub"]


# -- remote-gateway use ------------------------------------------------------------------------


@pytest.fixture
def gw_spoke(azure):
    spoke = fakes.vnet(SPOKE_SUB, SPOKE_RG, "spoke")
    hub_id = fakes.rid(HUB_SUB, HUB_RG, "virtualNetworks", "hub")
    azure.add_vnet(
        spoke,
        peerings=[
            fakes.peering(spoke, "lumaflow-transit", hub_id, use_remote_gateways=True),
            fakes.peering(spoke, "to-vwan", VHUB_ID, use_remote_gateways=True),
            fakes.peering(spoke, "uses-gw", hub_id, use_remote_gateways=True),
            fakes.peering(spoke, "no-gw", hub_id, use_remote_gateways=False),
            fakes.peering(spoke, "unset", hub_id, use_remote_gateways=None),
            fakes.peering(
                spoke, "uses-gw-too", hub_id, use_remote_gateways=True, allow_forwarded_traffic=True
            ),
        ],
    )
    return listed(azure, spoke)


def prop(name, **settings):
    peering = fakes.peering(
        fakes.vnet(SPOKE_SUB, SPOKE_RG, "spoke"),
        name,
        fakes.rid(HUB_SUB, HUB_RG, "virtualNetworks", "hub"),
        use_remote_gateways=True,
        **settings,
    )
    snapshot = {
        k: getattr(peering, k) for k in HUB_PAIR["localPeering"] if k != "remote_virtual_network"
    }
    snapshot["remote_virtual_network"] = {"id": peering.remote_virtual_network.id}
    return {
        "localSubscriptionId": SPOKE_SUB,
        "localRgName": SPOKE_RG,
        "localVnetName": "spoke",
        "localPeeringName": name,
        "localPeering": snapshot,
    }


def updates(azure):
    return [(c[2][2], c[2][3].use_remote_gateways) for c in azure.writes()]


def test_disable_remote_gateway_use(ST, azure, gw_spoke, logs):
    client = azure.network_client(SPOKE_SUB)
    props = ST.disableUseRemoteGwInPeering(SPOKE_SUB, client, gw_spoke, "lumaflow-")
    assert props == [prop("uses-gw"), prop("uses-gw-too", allow_forwarded_traffic=True)]
    assert json.loads(json.dumps(props)) == props
    assert logs.lines() == [
        ("INFO", "- Disable use_remote_gateways in peerings"),
        ("INFO", "  controller created peering lumaflow-transit -- skipped"),
        ("INFO", "  virtual hub connection to-vwan -- skipped"),
        ("INFO", "  disable use_remote_gateways in peering uses-gw"),
        ("INFO", "  disable use_remote_gateways in peering uses-gw-too"),
    ]
    assert updates(azure) == [("uses-gw", False), ("uses-gw-too", False)]
    stored = azure.peerings_of(SPOKE_SUB, SPOKE_RG, "spoke")["uses-gw-too"]
    assert (stored.use_remote_gateways, stored.allow_forwarded_traffic) == (False, True)
    assert "wait" not in azure.operations()  # the updates are left running


@pytest.mark.parametrize("exclude, handled", [(None, 3), ("", 0), ("LUMAFLOW-", 3)])
def test_disable_exclude_prefix(ST, azure, gw_spoke, logs, exclude, handled):
    client = azure.network_client(SPOKE_SUB)
    props = ST.disableUseRemoteGwInPeering(SPOKE_SUB, client, gw_spoke, exclude=exclude)
    assert len(props) == handled
    assert len(azure.writes()) == handled


def test_disable_in_dry_run_records_but_writes_nothing(ST, azure, gw_spoke, logs):
    ST.setDryRun()
    props = ST.disableUseRemoteGwInPeering(
        SPOKE_SUB, azure.network_client(SPOKE_SUB), gw_spoke, "lumaflow-"
    )
    assert [p["localPeeringName"] for p in props] == ["uses-gw", "uses-gw-too"]
    assert len(logs.messages()) == 5
    assert azure.writes() == []


def test_disable_goes_on_after_a_vanished_peering(ST, azure, gw_spoke, logs):
    del azure.peerings_of(SPOKE_SUB, SPOKE_RG, "spoke")["uses-gw"]
    props = ST.disableUseRemoteGwInPeering(
        SPOKE_SUB, azure.network_client(SPOKE_SUB), gw_spoke, "lumaflow-"
    )
    assert [p["localPeeringName"] for p in props] == ["uses-gw-too"]
    assert logs.lines()[3] == (
        "WARNING",
        "  **Alert** The Resource 'Microsoft.Network/virtualNetworkPeerings/uses-gw'"
        " was not found.",
    )


def test_disable_without_peerings(ST, azure, logs):
    lonely = azure.add_vnet(fakes.vnet(SPOKE_SUB, SPOKE_RG, "lonely"))
    assert ST.disableUseRemoteGwInPeering(SPOKE_SUB, azure.network_client(SPOKE_SUB), lonely) == []
    assert logs.messages() == ["- Disable use_remote_gateways in peerings", "  No peering found"]
    assert azure.calls == []


@pytest.mark.parametrize("dry_run", [False, True])
def test_restore_remote_gateway_use(ST, azure, gw_spoke, logs, dry_run):
    client = azure.network_client(SPOKE_SUB)
    kept = json.loads(
        json.dumps(ST.disableUseRemoteGwInPeering(SPOKE_SUB, client, gw_spoke, "lumaflow-"))
    )
    azure.calls.clear()
    logs.clear()
    if dry_run:
        ST.setDryRun()
    assert ST.restoreUseRemoteGwInPeering(client, kept) is None
    assert logs.messages() == [
        "- Restore use_remote_gateways in peering",
        "  set use_remote_gateways to True in uses-gw",
        "  set use_remote_gateways to True in uses-gw-too",
    ]
    assert updates(azure) == ([] if dry_run else [("uses-gw", True), ("uses-gw-too", True)])


def test_restore_with_nothing_recorded(ST, azure, logs):
    ST.restoreUseRemoteGwInPeering(azure.network_client(SPOKE_SUB), [])
    assert logs.messages() == [
        "- Restore use_remote_gateways in peering",
        "  no peering needs to be restored",
    ]
    assert azure.calls == []


def test_restore_stops_at_a_record_without_its_snapshot(ST, azure, gw_spoke, logs):
    broken = prop("uses-gw-too")
    del broken["localPeering"]
    records = [prop("uses-gw"), broken, prop("no-gw")]
    with pytest.raises(KeyError, match="localPeering"):
        ST.restoreUseRemoteGwInPeering(azure.network_client(SPOKE_SUB), records)
    assert updates(azure) == [("uses-gw", True)]


def test_restore_goes_on_after_a_vanished_peering(ST, azure, gw_spoke, logs):
    records = [prop("gone"), prop("no-gw")]
    ST.restoreUseRemoteGwInPeering(azure.network_client(SPOKE_SUB), records)
    assert logs.lines()[1][0] == "WARNING" and logs.lines()[1][1].startswith("  **Alert** ")
    assert updates(azure) == [("no-gw", True)]
