"""Peerings: lookup of both ends, deletion with records, re-creation, remote-gateway use."""

import copy
import json

import pytest

import fakes
import qn.arm.switchlib as switchlib

SPOKE_SUB, SPOKE_RG = "sub-spoke", "rg-spoke"
HUB_SUB, HUB_RG = "sub-hub", "rg-hub"
SPOKE_ID = fakes.rid(SPOKE_SUB, SPOKE_RG, "virtualNetworks", "spoke")
# The hub spells the spoke's resource group in capitals: ends are matched case-blind.
SPOKE_ID_UPPER = fakes.rid(SPOKE_SUB, SPOKE_RG.upper(), "virtualNetworks", "spoke")
HUB_ID = fakes.rid(HUB_SUB, HUB_RG, "virtualNetworks", "hub")
PEER_ID = fakes.rid(SPOKE_SUB, "rg-peer", "virtualNetworks", "peer")
VHUB_ID = fakes.rid(
    "sub-vwan", "rg-vwan", "virtualNetworks", "HV_hub-west_0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
)
KEEP = {"delete_peering": "gateway", "delete_vnet_lock": False}


def listed(azure, vnet):
    """The VNet as the driver hands it in: with its peerings listed."""
    sub, rg = vnet.id.split("/")[2], vnet.id.split("/")[4]
    peerings = azure.peerings_of(sub, rg, vnet.name).values()
    vnet.virtual_network_peerings = copy.deepcopy(list(peerings))
    return vnet


def without_debug(logs):
    return [line for line in logs.lines() if line[0] != "DEBUG"]


def writes_and_waits(azure):
    """(subscription, operation, its last three text arguments) of every write, and the waits."""
    return [
        ("wait", c[2][0])
        if c[1] == "wait"
        else (c[0], c[1].split(".")[-1], *[a for a in c[2] if isinstance(a, str)][-3:])
        for c in azure.calls
        if c[1] == "wait" or c in azure.writes()
    ]


def written_names(azure):
    return [c[2][2] for c in azure.writes()]


@pytest.fixture
def world(azure, use_yaml_context):
    """A spoke peered with a gateway hub across subscriptions, and every kind of peering to skip."""
    use_yaml_context(subscriptions=[SPOKE_SUB, HUB_SUB])
    spoke, hub = fakes.vnet(SPOKE_SUB, SPOKE_RG, "spoke"), fakes.vnet(HUB_SUB, HUB_RG, "hub")
    peer, orphan = fakes.vnet(SPOKE_SUB, "rg-peer", "peer"), fakes.vnet(HUB_SUB, HUB_RG, "orphan")
    transit = azure.add_vnet(fakes.vnet(HUB_SUB, "rg-transit", "transit"))
    far = azure.add_vnet(fakes.vnet("sub-far", "rg-far", "far"))
    peering, use_gw = fakes.peering, dict(use_remote_gateways=True)
    azure.add_vnet(
        spoke,
        peerings=[
            peering(spoke, "lumaflow-transit", transit.id, **use_gw),
            peering(spoke, "to-vwan", VHUB_ID, **use_gw),
            peering(spoke, "spoke-to-hub", hub.id, allow_forwarded_traffic=None, **use_gw),
            peering(spoke, "spoke-to-orphan", orphan.id),
            peering(spoke, "spoke-to-far", far.id, use_remote_gateways=None),
            peering(spoke, "spoke-to-peer", peer.id, **use_gw),
        ],
    )
    gateway = dict(allow_gateway_transit=True)
    azure.add_vnet(
        hub,
        peerings=[
            peering(hub, "hub-to-transit", transit.id, **gateway),
            peering(hub, "hub-to-spoke", SPOKE_ID_UPPER, allow_forwarded_traffic=True, **gateway),
        ],
    )
    azure.add_vnet(peer, peerings=[peering(peer, "peer-to-spoke", spoke.id)])
    azure.add_vnet(orphan, peerings=[peering(orphan, "orphan-to-transit", transit.id)])
    return fakes.Model(spoke=listed(azure, spoke), hub=hub, orphan=orphan, transit=transit)


def snapshot(owner_id, name, remote_id, forwarded=False, transit=False, use_remote=True):
    return {
        "id": f"{owner_id}/virtualNetworkPeerings/{name}",
        "name": name,
        "allow_virtual_network_access": True,
        "allow_forwarded_traffic": forwarded,
        "allow_gateway_transit": transit,
        "use_remote_gateways": use_remote,
        "remote_virtual_network": {"id": remote_id},
    }


def local_record(name, remote_id, forwarded=False):
    return {
        "localSubscriptionId": SPOKE_SUB,
        "localRgName": SPOKE_RG,
        "localVnetName": "spoke",
        "localPeeringName": name,
        "localPeering": snapshot(SPOKE_ID, name, remote_id, forwarded),
    }


HUB_PROP = local_record("spoke-to-hub", HUB_ID, forwarded=None)
PEER_PROP = local_record("spoke-to-peer", PEER_ID)
HUB_PAIR = {
    **HUB_PROP,
    "remoteSubscriptionId": HUB_SUB,
    "remoteRgName": HUB_RG,
    "remoteVnetName": "hub",
    "remotePeeringName": "hub-to-spoke",
    "remotePeering": snapshot(HUB_ID, "hub-to-spoke", SPOKE_ID_UPPER, True, True, False),
}

LOCK_LINES = [("INFO", "  - Delete vnet lock in hub"), ("INFO", "    delete lock hub-lock")]
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


def delete_spoke_peerings(ST, world, **yaml):
    return ST.deletePeerings(dict(KEEP, **yaml), SPOKE_SUB, world.spoke, exclude="lumaflow-")


# -- lookup ------------------------------------------------------------------------------------


def test_get_vnet_by_exact_name_first_of_namesakes(ST, azure, logs):
    azure.add_vnet(fakes.vnet("s", "rg-b", "twin"))
    azure.add_vnet(fakes.vnet("s", "rg-a", "twin"))
    client = azure.network_client("s")
    assert ST.getVnet(vnetName="twin", network_client=client).id.split("/")[4] == "rg-b"
    assert ST.getVnet("TWIN", client) is None and ST.getVnet("twi", client) is None
    assert ST.getVnet("twin", azure.network_client("empty")) is None
    assert logs.lines() == []


def test_remote_end_found_by_the_network_it_points_at(ST, azure, world, logs):
    # Listed before the end pointing back: a namesake of the spoke in another resource group and
    # another VNet in the spoke's group. The subscription is not compared.
    hub_peerings = azure.peerings_of(HUB_SUB, HUB_RG, "hub")
    decoys = {
        name: fakes.peering(world.hub, name, fakes.rid(sub, rg, "virtualNetworks", vnet_name))
        for name, sub, rg, vnet_name in [
            ("hub-to-namesake", SPOKE_SUB, "rg-other", "spoke"),
            ("hub-to-other", "sub-x", SPOKE_RG, "spoke2"),
        ]
    }
    listing = {**decoys, **hub_peerings}
    hub_peerings.clear()
    hub_peerings.update(listing)
    hub_id_other_case = fakes.rid(HUB_SUB, "RG-Hub", "virtualNetworks", "Hub")
    local_id = HUB_PROP["localPeering"]["id"]
    rg, vnet, name, peering = ST.getRemotePeering(None, hub_id_other_case, local_id)
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
    local_id = f"{SPOKE_ID}/virtualNetworkPeerings/spoke-to-{remote}"
    assert ST.getRemotePeering(None, getattr(world, remote).id, local_id) == (None,) * 4
    line = ("INFO", f"  failed to found remote peering info for spoke-to-{remote}")
    assert logs.lines()[-1] == line


# -- deletion and re-creation ------------------------------------------------------------------


@pytest.mark.parametrize("dry_run", [False, True])
def test_forward_delete_then_revert_recreates_both_ends(ST, azure, world, logs, dry_run):
    if dry_run:
        ST.setDryRun()
    azure.add_lock(world.hub, fakes.lock("hub-lock"))
    before = copy.deepcopy(azure.peerings)
    pairs = delete_spoke_peerings(ST, world, delete_vnet_lock=True)
    assert pairs == [HUB_PAIR]
    assert list(pairs[0]) == list(HUB_PAIR)
    assert list(pairs[0]["remotePeering"]) == list(HUB_PAIR["remotePeering"])
    assert without_debug(logs) == FORWARD_LINES[:3] + LOCK_LINES + FORWARD_LINES[3:]
    # The lock goes before either end of the peering; each deletion is waited for.
    deletions = [
        (HUB_SUB, "delete_at_resource_level", "virtualNetworks", "hub", "hub-lock"),
        (SPOKE_SUB, "begin_delete", SPOKE_RG, "spoke", "spoke-to-hub"),
        ("wait", "virtual_network_peerings.begin_delete:spoke-to-hub"),
        (HUB_SUB, "begin_delete", HUB_RG, "hub", "hub-to-spoke"),
        ("wait", "virtual_network_peerings.begin_delete:hub-to-spoke"),
    ]
    assert writes_and_waits(azure) == ([] if dry_run else deletions)

    # The driver keeps the records as data between the runs.
    kept = json.loads(json.dumps(pairs))
    for record in (azure.calls, azure.clients, logs):
        record.clear()
    assert ST.addPeerings(kept) is None
    assert logs.lines() == [
        ("INFO", "- Restore peerings"),
        ("INFO", "  add local peering spoke-to-hub to spoke"),
        ("INFO", "  add remote peering hub-to-spoke to hub"),
    ]
    assert [c[2] for c in azure.clients] == [SPOKE_SUB, HUB_SUB]
    creations = [
        (SPOKE_SUB, "begin_create_or_update", SPOKE_RG, "spoke", "spoke-to-hub"),
        ("wait", "virtual_network_peerings.begin_create_or_update:spoke-to-hub"),
        (HUB_SUB, "begin_create_or_update", HUB_RG, "hub", "hub-to-spoke"),
        ("wait", "virtual_network_peerings.begin_create_or_update:hub-to-spoke"),
    ]
    assert writes_and_waits(azure) == ([] if dry_run else creations)
    assert azure.peerings == before


@pytest.mark.parametrize(
    "setting, peer_transit, deleted",
    [("all", False, True), ("All", False, False), ("gateway", False, False), ("x", None, True)],
)
def test_peerings_without_remote_gateway_transit_go_only_with_all(
    ST, azure, world, setting, peer_transit, deleted
):
    peer_end = azure.peerings_of(SPOKE_SUB, "rg-peer", "peer")["peer-to-spoke"]
    peer_end.allow_gateway_transit = peer_transit
    pairs = delete_spoke_peerings(ST, world, delete_peering=setting)
    names = [p["localPeeringName"] for p in pairs]
    assert names == (["spoke-to-hub", "spoke-to-peer"] if deleted else ["spoke-to-hub"])
    assert ("peer-to-spoke" in azure.peerings_of(SPOKE_SUB, "rg-peer", "peer")) is not deleted


def test_nothing_to_do(ST, azure, use_yaml_context, logs):
    use_yaml_context(subscriptions=[SPOKE_SUB])
    lonely = azure.add_vnet(fakes.vnet(SPOKE_SUB, SPOKE_RG, "lonely"))
    client = azure.network_client(SPOKE_SUB)
    assert ST.deletePeerings(KEEP, SPOKE_SUB, lonely) == []
    assert ST.disableUseRemoteGwInPeering(SPOKE_SUB, client, lonely) == []
    assert ST.addPeerings([]) is None
    assert ST.restoreUseRemoteGwInPeering(client, []) is None
    assert logs.messages() == [
        *("- Delete peerings", "  No peering found"),
        *("- Disable use_remote_gateways in peerings", "  No peering found"),
        *("- Restore peerings", "  no peering found"),
        *("- Restore use_remote_gateways in peering", "  no peering needs to be restored"),
    ]
    # Only the deletion builds a client of its own (none was given); nothing asks the cloud.
    assert azure.clients == [("network", f"csc:{SPOKE_SUB}", SPOKE_SUB)]
    assert azure.calls == []


@pytest.mark.parametrize("end", ["spoke-to-hub", "hub-to-spoke"])
@pytest.mark.parametrize("failures", ["failures", "poller_failures"])
def test_a_failed_deletion_keeps_the_record_and_the_other_end_goes(
    ST, azure, world, logs, end, failures
):
    error = fakes.http_error("AnotherOperationInProgress")
    getattr(azure, failures)[("virtual_network_peerings.begin_delete", end)] = error
    assert delete_spoke_peerings(ST, world) == [HUB_PAIR]
    expected = list(FORWARD_LINES)
    failed = f"  **Error** Failed to delete peering {end} -AnotherOperationInProgress"
    expected.insert(4 if end == "spoke-to-hub" else 5, ("ERROR", failed))
    assert without_debug(logs) == expected
    assert written_names(azure) == ["spoke-to-hub", "hub-to-spoke"]


INTERRUPTED_RUNS = {
    "delete": lambda ST, azure, world: delete_spoke_peerings(ST, world, delete_vnet_lock=True),
    "add": lambda ST, azure, world: ST.addPeerings([HUB_PAIR]),
    "disable": lambda ST, azure, world: disable(ST, azure, world),
    "restore": lambda ST, azure, world: restore(ST, azure, [HUB_PROP]),
}


@pytest.mark.parametrize(
    "run, operation, name, interrupt",
    [
        ("delete", "virtual_network_peerings.get", "spoke-to-hub", KeyboardInterrupt),
        ("delete", "management_locks.list_at_resource_level", "hub", SystemExit),
        ("delete", "management_locks.delete_at_resource_level", "hub-lock", KeyboardInterrupt),
        ("delete", "virtual_network_peerings.begin_delete", "spoke-to-hub", KeyboardInterrupt),
        ("delete", "virtual_network_peerings.begin_delete", "hub-to-spoke", SystemExit),
        ("add", "virtual_network_peerings.begin_create_or_update", "spoke-to-hub", SystemExit),
        ("disable", "virtual_network_peerings.get", "spoke-to-hub", KeyboardInterrupt),
        ("restore", "virtual_network_peerings.get", "spoke-to-hub", SystemExit),
    ],
)
def test_guards_let_an_interrupt_stop_the_run(
    ST, azure, world, logs, run, operation, name, interrupt
):
    """Ctrl-C or an exit during a guarded step ends the operation; it is no skipped item."""
    azure.add_lock(world.hub, fakes.lock("hub-lock"))
    azure.failures[(operation, name)] = interrupt()
    with pytest.raises(interrupt):
        INTERRUPTED_RUNS[run](ST, azure, world)
    assert azure.calls[-1][1] == operation
    assert not [line for line in logs.messages() if "**" in line]


def test_two_spokes_to_one_locked_hub(ST, azure, world, logs):
    second = fakes.vnet(SPOKE_SUB, SPOKE_RG, "spoke2")
    azure.add_vnet(second, peerings=[fakes.peering(second, "spoke2-to-hub", world.hub.id)])
    azure.peerings_of(HUB_SUB, HUB_RG, "hub")["hub-to-spoke2"] = fakes.peering(
        world.hub, "hub-to-spoke2", second.id
    )
    azure.add_lock(world.hub, fakes.lock("hub-lock"))
    yaml = {"delete_peering": "all", "delete_vnet_lock": True}
    client = azure.network_client(SPOKE_SUB)
    ST.deletePeerings(yaml, SPOKE_SUB, world.spoke, client, "lumaflow-")
    ST.deletePeerings(yaml, SPOKE_SUB, listed(azure, second), client, "lumaflow-")
    assert [m for m in logs.messages() if "lock" in m] == [
        *("  - Delete vnet lock in hub", "    delete lock hub-lock"),
        *("  - Delete vnet lock in peer", "    no vnet lock found"),
        *("  - Delete vnet lock in hub", "    no vnet lock found"),
    ]
    assert ("lock", f"spc:{HUB_SUB}", HUB_SUB) in azure.clients


def test_a_failing_lock_step_does_not_lose_the_records(ST, azure, world, logs):
    # The lock step of the second recorded peering fails after the first was deleted.
    error = fakes.http_error("AuthorizationFailed", 403)
    azure.failures[("management_locks.list_at_resource_level", "peer")] = error
    pairs = delete_spoke_peerings(ST, world, delete_peering="all", delete_vnet_lock=True)
    assert [p["localPeeringName"] for p in pairs] == ["spoke-to-hub", "spoke-to-peer"]
    assert without_debug(logs)[-4:] == [
        ("INFO", "  - Delete vnet lock in peer"),
        ("ERROR", "  **Error** AuthorizationFailed"),
        ("INFO", "  delete peering spoke-to-peer"),
        ("INFO", "  delete peering peer-to-spoke"),
    ]
    assert written_names(azure) == "spoke-to-hub hub-to-spoke spoke-to-peer peer-to-spoke".split()


def test_a_missing_lock_setting_ends_the_run_before_any_deletion(ST, azure, world):
    with pytest.raises(KeyError, match="delete_vnet_lock"):
        ST.deletePeerings({"delete_peering": "all"}, SPOKE_SUB, world.spoke, exclude="lumaflow-")
    assert azure.writes() == []


def test_operations_are_reached_through_the_class(ST, azure, world):
    seen = []
    remote = copy.deepcopy(azure.peerings_of(HUB_SUB, HUB_RG, "hub")["hub-to-spoke"])

    def spy(name, result=None):
        def call(cls, *args, **kwargs):
            # Credentials and clients are told apart by their subscription.
            seen.append((name, *(getattr(a, "subscription_id", a) for a in args), kwargs))
            return result

        return classmethod(call)

    class Patched(ST):
        getRemotePeering = spy("getRemotePeering", ["rg-x", "vnet-x", "peering-x", remote])
        getVnet = spy("getVnet", "the-vnet")
        deleteVnetLock = spy("deleteVnetLock")

    world.spoke.virtual_network_peerings = world.spoke.virtual_network_peerings[2:3]
    yaml = {"delete_peering": "gateway", "delete_vnet_lock": True}
    [pair] = Patched.deletePeerings(yaml, SPOKE_SUB, world.spoke)
    local_id = HUB_PROP["localPeering"]["id"]
    assert seen == [
        ("getRemotePeering", HUB_SUB, HUB_ID, local_id, {}),
        ("getVnet", "vnet-x", HUB_SUB, {}),
        ("deleteVnetLock", HUB_SUB, "the-vnet", {"indent": 2}),
    ]
    remote_end = [pair[k] for k in ("remoteRgName", "remoteVnetName", "remotePeeringName")]
    assert remote_end == ["rg-x", "vnet-x", "peering-x"]


@pytest.mark.parametrize("end", ["spoke-to-hub", "hub-to-spoke"])
@pytest.mark.parametrize("failures", ["failures", "poller_failures"])
def test_a_failed_creation_does_not_stop_the_other_end(ST, azure, world, logs, end, failures):
    error = fakes.http_error("Conflict")
    getattr(azure, failures)[("virtual_network_peerings.begin_create_or_update", end)] = error
    ST.addPeerings([HUB_PAIR])
    failed = ("ERROR", f"  **Error** Failed to add peering {end} -Conflict")
    assert logs.lines()[2 if end == "spoke-to-hub" else 3] == failed
    assert written_names(azure) == ["spoke-to-hub", "hub-to-spoke"]


def test_a_record_without_its_local_group_still_restores_the_remote_end(ST, azure, world, logs):
    ST.addPeerings([{k: v for k, v in HUB_PAIR.items() if k != "localRgName"}])
    assert logs.messages()[2] == "  **Error** Failed to add peering spoke-to-hub -'localRgName'"
    assert written_names(azure) == ["hub-to-spoke"]


def test_a_missing_remote_credential_ends_the_restore(ST, azure, world, logs, use_yaml_context):
    use_yaml_context(subscriptions=[SPOKE_SUB])
    with pytest.raises(AttributeError, match="getCSC"):
        ST.addPeerings([HUB_PAIR, dict(HUB_PAIR, localPeeringName="later")])
    assert logs.messages()[-1] == "  add remote peering hub-to-spoke to hub"
    assert written_names(azure) == ["spoke-to-hub"]


def test_the_configuration_context_is_made_before_the_record_is_read(ST, azure, monkeypatch):
    class Unconfigured:
        def __init__(self):
            raise RuntimeError("no configuration")

    monkeypatch.setattr(switchlib, "yctx", Unconfigured)
    record = {k: v for k, v in HUB_PAIR.items() if k != "localSubscriptionId"}
    with pytest.raises(RuntimeError, match="no configuration"):
        ST.addPeerings([record])


# -- remote-gateway use ------------------------------------------------------------------------


def updates(azure):
    return [(c[2][2], c[2][3].use_remote_gateways) for c in azure.writes()]


def disable(ST, azure, world, exclude="lumaflow-"):
    client = azure.network_client(SPOKE_SUB)
    return ST.disableUseRemoteGwInPeering(SPOKE_SUB, client, world.spoke, exclude)


def restore(ST, azure, records):
    return ST.restoreUseRemoteGwInPeering(azure.network_client(SPOKE_SUB), records)


@pytest.mark.parametrize("dry_run", [False, True])
def test_remote_gateway_use_switched_off_and_restored(ST, azure, world, logs, dry_run):
    if dry_run:
        ST.setDryRun()
    props = disable(ST, azure, world)
    assert props == [HUB_PROP, PEER_PROP]
    assert logs.lines() == [
        ("INFO", "- Disable use_remote_gateways in peerings"),
        *FORWARD_LINES[1:3],
        ("INFO", "  disable use_remote_gateways in peering spoke-to-hub"),
        ("INFO", "  disable use_remote_gateways in peering spoke-to-peer"),
    ]
    switched_off = [("spoke-to-hub", False), ("spoke-to-peer", False)]
    assert updates(azure) == ([] if dry_run else switched_off)
    stored = azure.peerings_of(SPOKE_SUB, SPOKE_RG, "spoke")["spoke-to-hub"]
    assert (stored.use_remote_gateways, stored.allow_forwarded_traffic) == (dry_run, None)
    assert "wait" not in azure.operations()  # the updates are left running

    azure.calls.clear()
    logs.clear()
    assert restore(ST, azure, json.loads(json.dumps(props))) is None
    assert logs.lines() == [
        ("INFO", "- Restore use_remote_gateways in peering"),
        ("INFO", "  set use_remote_gateways to True in spoke-to-hub"),
        ("INFO", "  set use_remote_gateways to True in spoke-to-peer"),
    ]
    assert updates(azure) == ([] if dry_run else [("spoke-to-hub", True), ("spoke-to-peer", True)])
    assert "wait" not in azure.operations()


@pytest.mark.parametrize(
    "exclude, handled, by_name, gets", [(None, 3, 0, 5), ("", 0, 6, 0), ("LUMAFLOW-", 3, 0, 5)]
)
def test_disable_exclude_prefix(ST, azure, world, logs, exclude, handled, by_name, gets):
    assert len(disable(ST, azure, world, exclude)) == handled
    assert len(azure.writes()) == handled
    # The name is looked at first: an excluded peering is neither fetched nor asked about.
    assert sum(m.startswith("  controller created peering") for m in logs.messages()) == by_name
    assert len(azure.operations("virtual_network_peerings.get")) == gets


def test_a_vanished_peering_is_an_alert_and_the_next_goes_on(ST, azure, world, logs):
    del azure.peerings_of(SPOKE_SUB, SPOKE_RG, "spoke")["spoke-to-hub"]
    assert disable(ST, azure, world) == [PEER_PROP]
    alert = "  **Alert** The Resource 'Microsoft.Network/virtualNetworkPeerings/spoke-to-hub'"
    assert logs.lines()[3] == ("WARNING", alert + " was not found.")

    azure.calls.clear()
    restore(ST, azure, [HUB_PROP, PEER_PROP])
    assert logs.lines()[-2] == ("WARNING", alert + " was not found.")
    assert updates(azure) == [("spoke-to-peer", True)]


def test_restore_stops_at_a_record_without_its_snapshot(ST, azure, world):
    broken = {k: v for k, v in HUB_PROP.items() if k != "localPeering"}
    with pytest.raises(KeyError, match="localPeering"):
        restore(ST, azure, [PEER_PROP, broken, HUB_PROP])
    assert updates(azure) == [("spoke-to-peer", True)]
