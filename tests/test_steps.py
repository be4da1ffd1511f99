"""Each step's judgement of what Azure shows, and the narrowing of its records to the items
still pending: the two places where a slip would count an item done that is not, or retry
one that is."""

import logging
from types import SimpleNamespace

import pytest

from qn.arm.switch_traffic.options import Waits
from qn.arm.switch_traffic.readback import settle
from qn.arm.switch_traffic.records import Item, undone
from qn.arm.switch_traffic.resources import FAILED_STATE
from qn.arm.switch_traffic.steps import peerings, propagation, remote_gateway, switch

HUB = "/subscriptions/h/resourceGroups/rg-hub/providers/Microsoft.Network/virtualNetworks/vn-hub"
APP = "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/vn-app"


def end(name, remote, **flags):
    settings = {
        "allow_virtual_network_access": True,
        "allow_forwarded_traffic": False,
        "allow_gateway_transit": False,
        "use_remote_gateways": True,
    }
    settings.update(flags)
    return {"id": f"x/{name}", "name": name, **settings, "remote_virtual_network": {"id": remote}}


PAIR = peerings.Peerings.model_validate(
    {
        "peeringPairList": [
            {
                "localSubscriptionId": "s",
                "localRgName": "rg",
                "localVnetName": "vn-app",
                "localPeeringName": "app-to-hub",
                "localPeering": end("app-to-hub", HUB),
                "remoteSubscriptionId": "h",
                "remoteRgName": "rg-hub",
                "remoteVnetName": "vn-hub",
                "remotePeeringName": "hub-to-app",
                "remotePeering": end("hub-to-app", APP, allow_gateway_transit=True),
            }
        ],
        "locks": [
            {"id": f"{HUB}/l", "name": "keep", "level": "CanNotDelete", "notes": None, "scope": HUB}
        ],
    }
)
SWITCHED = switch.Switched.model_validate(
    {
        "subnets": {
            "web": {"from": "rt-web", "to": ["rt-web-lf"], "lacks": None},
            "bare": {"from": None, "to": ["vn-main-1", "vn-main-2"], "lacks": None},
            "lost": {"from": "rt-x", "to": [], "lacks": "a staged copy of rt-x"},
        }
    }
)
TABLES = propagation.Propagation.model_validate(
    {"rtbPropList": [{"vnet": "vn-app", "resource_group": "rg", "route_table_name": "rt-web-lf"}]}
)
USES = remote_gateway.RemoteGateway.model_validate(
    {
        "peeringPropList": [
            {
                "localRgName": "rg",
                "localVnetName": "vn-app",
                "localPeeringName": "app-to-hub",
                "localPeering": end("app-to-hub", HUB),
            }
        ]
    }
)


def peering(name, remote, state="Connected", provisioning="Succeeded", sync=None, **flags):
    recorded = end(name, remote, **flags)
    return SimpleNamespace(
        peering_state=state,
        peering_sync_level=sync or ("FullyInSync" if state == "Connected" else "RemoteNotInSync"),
        provisioning_state=provisioning,
        remote_virtual_network=SimpleNamespace(id=remote.upper()),  # Azure may change case
        **{k: v for k, v in recorded.items() if k not in ("id", "name", "remote_virtual_network")},
    )


def on(table, provisioning="Succeeded"):
    route_table = SimpleNamespace(id=f"x/routeTables/{table}") if table else None
    return SimpleNamespace(route_table=route_table, provisioning_state=provisioning)


BACK = peering("app-to-hub", HUB), peering("hub-to-app", APP, allow_gateway_transit=True)


@pytest.mark.parametrize(
    "step, records, name, seen, revert, done, says",
    [
        # A re-created pair counts only with both ends Connected, settled, as recorded.
        (peerings.STEP, PAIR, "app-to-hub", {"local": BACK[0], "remote": BACK[1]}, True, True, ""),
        (
            peerings.STEP,
            PAIR,
            "app-to-hub",
            {"local": BACK[0], "remote": peering("hub-to-app", APP, "Disconnected")},
            True,
            False,
            "hub-to-app in vn-hub is Disconnected",
        ),
        (
            peerings.STEP,
            PAIR,
            "app-to-hub",
            {"local": BACK[0], "remote": peering("hub-to-app", APP, sync="LocalNotInSync")},
            True,
            False,
            "hub-to-app in vn-hub is LocalNotInSync",
        ),
        (
            peerings.STEP,
            PAIR,
            "app-to-hub",
            {"local": peering("app-to-hub", HUB, provisioning="Updating"), "remote": BACK[1]},
            True,
            False,
            "app-to-hub in vn-app updating",
        ),
        (
            peerings.STEP,
            PAIR,
            "app-to-hub",
            {"local": BACK[0], "remote": peering("hub-to-app", APP)},
            True,
            False,
            "has allow_gateway_transit False, recorded True",
        ),
        (
            peerings.STEP,
            PAIR,
            "app-to-hub",
            {"local": None, "remote": BACK[1]},
            True,
            False,
            "missing",
        ),
        # Deleted: neither end may be left.
        (peerings.STEP, PAIR, "app-to-hub", {"local": None, "remote": None}, False, True, ""),
        (
            peerings.STEP,
            PAIR,
            "app-to-hub",
            {"local": None, "remote": BACK[1]},
            False,
            False,
            "hub-to-app in vn-hub still present (Connected)",
        ),
        # Subnets: on a table they may end on, table names without regard to case.
        (switch.STEP, SWITCHED, "web", on("RT-WEB-LF"), False, True, ""),
        (switch.STEP, SWITCHED, "web", on("rt-web"), False, False, "on rt-web, not on rt-web-lf"),
        (switch.STEP, SWITCHED, "bare", on("vn-main-2"), False, True, ""),
        (switch.STEP, SWITCHED, "bare", on(None), True, True, ""),
        (switch.STEP, SWITCHED, "web", on("rt-web-lf", "Failed"), False, False, FAILED_STATE),
        (switch.STEP, SWITCHED, "lost", on("rt-x"), False, False, "lacks a staged copy of rt-x"),
        (switch.STEP, SWITCHED, "web", None, False, False, "subnet web not found"),
        # Propagation off forward, back on when reverted.
        (
            propagation.STEP,
            TABLES,
            "rt-web-lf",
            SimpleNamespace(disable_bgp_route_propagation=True),
            False,
            True,
            "",
        ),
        (
            propagation.STEP,
            TABLES,
            "rt-web-lf",
            SimpleNamespace(disable_bgp_route_propagation=True),
            True,
            False,
            "propagation still off",
        ),
        # The gateway use comes back as recorded.
        (
            remote_gateway.STEP,
            USES,
            "app-to-hub",
            SimpleNamespace(use_remote_gateways=False),
            True,
            False,
            "use_remote_gateways still False",
        ),
        (
            remote_gateway.STEP,
            USES,
            "app-to-hub",
            SimpleNamespace(use_remote_gateways=False),
            False,
            True,
            "",
        ),
    ],
)
def test_an_item_counts_only_when_azure_shows_it(step, records, name, seen, revert, done, says):
    judged, reason = step.judge(records, name, seen, revert)
    assert judged is done
    assert says in reason if says else reason == ""


@pytest.mark.parametrize(
    "step, records, names, left",
    [
        # Names as the items have them or in another case; the hub lock goes with its key.
        (peerings.STEP, PAIR, ["APP-TO-HUB"], (["app-to-hub"], [])),
        (peerings.STEP, PAIR, ["lock keep"], ([], ["lock keep"])),
        (switch.STEP, SWITCHED, ["Web", "lost"], ["web", "lost"]),
        (propagation.STEP, TABLES, [], []),
        (remote_gateway.STEP, USES, ["app-to-hub"], ["app-to-hub"]),
    ],
)
def test_records_narrow_to_the_items_named(step, records, names, left):
    narrowed = step.narrowed(records, names)
    if step is peerings.STEP:
        assert (step.keys(narrowed), [lock.key for lock in narrowed.locks]) == left
    else:
        assert step.keys(narrowed) == left


def test_undone_items_are_those_azure_has_not_shown_done():
    known = {"a": Item.seen(True, ""), "b": Item.seen(False, "why")}
    assert undone(["a", "b", "c"], known) == ["b", "c"]


def test_read_back_waits_for_an_end_still_being_deleted():
    # Judged while Azure still deletes it, the end would count as present and stay pending.
    deleting = peering("hub-to-app", APP, provisioning="Deleting")
    reads = iter([{"app-to-hub": {"local": None, "remote": deleting}}, {"app-to-hub": {}}])
    waits = Waits(interval=0.001, timeout=5.0)
    seen, changing = settle(logging.getLogger("qn.arm.test"), waits, lambda: next(reads))
    assert (seen, changing) == ({"app-to-hub": {}}, [])
