"""The driver under the faults Azure shows: every write kind refused while another operation
runs, ending Failed, or losing its connection; forward, then revert, then a second revert when
the first left something pending. And runs interrupted at a few points, then run again.

Every case must end with the topology as it was before the forward run, the hub's lock
included, and every exit status and summary must say what Azure shows.
"""

import json
import re

import pytest
import requests
import yaml
from test_driver import HUB_VNET, changes, start, switch

from qn.arm.armsim import Fault
from qn.arm.switch_traffic import demo, steps

WRITES = {
    "subnet PUT": {"method": "PUT", "resource": "subnets/web"},
    "route-table PUT": {"method": "PUT", "resource": "routeTables/rt-web-lf"},
    "peering PUT": {"method": "PUT", "resource": "virtualNetworkPeerings/app-to-hub"},
    "peering DELETE": {"method": "DELETE", "resource": "virtualNetworkPeerings/hub-to-app"},
    "lock DELETE": {"method": "DELETE", "resource": "locks/hub-do-not-delete"},
    "lock PUT": {"method": "PUT", "resource": "locks/hub-do-not-delete"},
}
FAULTS = {
    "refused while in progress": {"status": 409, "code": "AnotherOperationInProgress"},
    "asynchronous Failed": {"fail_async": True},
    "dropped connection": {"drop": "after"},
}
TOTAL = re.compile(r"total: \D*(\d+)\D*(\d+)\D*(\d+), pending (\d+), errors (\d+)")
# The faults hit vn-app's writes and the hub's; the matrix runs that VNet alone to stay fast.
APP = ("--vnet", "vn-app")
MIGRATED = (5, 4, 1)  # vn-app's subnets, route tables, peering pairs


def summary(out):
    """(changes, pending, errors) of the run's total line; changes: (subnets, route tables,
    peering pairs)."""
    *changes, pending, errors = map(int, TOTAL.search(out).groups())
    return tuple(changes), pending, errors


def pending_items(arm, direction):
    with open(arm.state_file, encoding="utf-8") as handle:
        vnets = json.load(handle)["vnets"].values()
    return [
        name
        for vnet in vnets
        for entry in vnet[direction].values()
        for name, item in entry["items"].items()
        if item["status"] == "pending"
    ]


def hub_side(snapshot):
    """What vn-app's forward run takes away at the hub: its peering end and the hub's lock."""
    return sorted(k for k in snapshot if k.endswith("/hub-to-app") or "/vn-hub/providers/" in k)


def propagating(snapshot):
    """The route tables vn-app's subnets are on that still take the gateway's routes."""
    return [
        key
        for key, resource in snapshot.items()
        if "/routeTables/" in key
        and any("/vn-app/" in s["id"] for s in resource["properties"].get("subnets", ()))
        and not resource["properties"].get("disableBgpRoutePropagation")
    ]


def truthful(status, out, arm, direction):
    """The run's changes, after checking that it exits 0 exactly when nothing is pending or
    failed, and that its pending count is the state file's."""
    changes, pending, errors = summary(out)
    assert (status == 0) == (pending == 0 and errors == 0 and "(incomplete)" not in out), out
    assert pending == len(pending_items(arm, direction))
    return changes


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("write", WRITES)
def test_every_write_fault_ends_with_the_topology_restored(tmp_path, capsys, write, fault):
    with start(tmp_path) as arm:
        before = arm.snapshot()
        arm.faults.add(Fault(**WRITES[write], **FAULTS[fault]))
        status = switch(arm, *APP)
        migrated = truthful(status, capsys.readouterr().out, arm, "forward")
        if status == 0:
            assert migrated == MIGRATED and hub_side(arm.snapshot()) == []

        arm.faults.clear()  # a fault the forward run never met does not carry over
        arm.faults.add(Fault(**WRITES[write], **FAULTS[fault]))
        statuses, restored = [switch(arm, "--revert", *APP)], []
        restored.append(truthful(statuses[0], capsys.readouterr().out, arm, "revert"))
        if statuses[0]:
            statuses.append(switch(arm, "--revert", *APP))
            restored.append(truthful(statuses[1], capsys.readouterr().out, arm, "revert"))
        assert statuses[-1] == 0
        # What the revert restored is what the forward run changed, counted from Azure.
        assert tuple(map(sum, zip(*restored, strict=True))) == migrated
        assert demo.differences(before, arm.snapshot()) == []


@pytest.mark.parametrize(
    "direction, step",
    [
        ("forward", steps.switch.STEP),
        ("forward", steps.propagation.STEP),
        ("forward", steps.peerings.STEP),
        ("revert", steps.peerings.STEP),
        ("revert", steps.remote_gateway.STEP),
    ],
)
def test_interrupted_run_goes_on_when_run_again(tmp_path, monkeypatch, capsys, direction, step):
    with start(tmp_path) as arm:
        before = arm.snapshot()
        change = direction  # the step's change in that direction: "forward" or "revert"
        real = getattr(step, change)

        def changed_then_interrupted(*args):
            real(*args)
            raise KeyboardInterrupt

        revert = ["--revert"] if direction == "revert" else []
        if revert:
            assert switch(arm, *APP) == 0
        monkeypatch.setattr(step, change, changed_then_interrupted)
        assert switch(arm, *revert, *APP) == 130
        monkeypatch.undo()
        capsys.readouterr()

        assert switch(arm, *revert, *APP) == 0
        out, err = capsys.readouterr()
        assert f"{step.name} (again: the pending items)" in err
        assert summary(out)[1:] == (0, 0)
        if not revert:
            assert hub_side(arm.snapshot()) == [] and propagating(arm.snapshot()) == []
            assert switch(arm, "--revert", *APP) == 0
        assert demo.differences(before, arm.snapshot()) == []


def signed_in_as(arm, token):
    """The run's configuration, every subscription signed in as this principal."""
    with open(arm.config_file, encoding="utf-8") as handle:
        config = yaml.safe_load(handle)
    for subscription in config["subscriptions"].values():
        subscription["credential"]["token"] = token
    with open(arm.config_file, "w", encoding="utf-8") as handle:
        yaml.safe_dump(config, handle)


LOCK_DELETE = "Microsoft.Authorization/locks/delete"
LOCK_WRITE = "Microsoft.Authorization/locks/write"
PEERING_DELETE = "Microsoft.Network/virtualNetworks/virtualNetworkPeerings/delete"
PEER = "Microsoft.Network/virtualNetworks/peer/action"


@pytest.mark.parametrize(
    "direction, hub_rights, lacking",
    [
        ("forward", ["read", "write_network", "write_locks"], [LOCK_DELETE]),
        # It could remove the hub's lock, and never put it back.
        ("forward", ["read", "write_network", "delete_locks"], [LOCK_WRITE]),
        ("forward", ["read"], [LOCK_DELETE, LOCK_WRITE, PEERING_DELETE, PEER]),
        ("revert", ["read", "write_network", "delete_locks"], [LOCK_WRITE]),
    ],
)
def test_missing_rights_refuse_the_plan_before_any_change(tmp_path, capsys, direction, hub_rights,
                                                          lacking):  # fmt: skip
    topology = demo.sample_topology()
    grants = {demo.SPOKES: "all", demo.HUB: hub_rights}
    topology["principals"]["operator"] = {"subscriptions": grants}
    revert = ["--revert"] if direction == "revert" else []
    with start(tmp_path, topology) as arm:
        if revert:
            assert switch(arm, *APP) == 0  # forward with every right
        signed_in_as(arm, "operator")
        arm.settings.page_size = 1  # each of the principal's entries on a page of its own
        before, writes = arm.snapshot(), len(changes(arm))
        assert switch(arm, *revert, *APP) == 2
        err = capsys.readouterr().err
        refused = {line.split(" on ")[0].strip() for line in err.splitlines() if HUB_VNET in line}
        assert refused == set(lacking), err
        assert "static token 'operator' lacks it" in err and "nothing was changed" in err
        assert (arm.snapshot(), len(changes(arm))) == (before, writes)


def test_a_run_goes_on_when_azure_cannot_be_asked_for_its_rights(tmp_path, capsys):
    with start(tmp_path) as arm:
        before = arm.snapshot()
        arm.faults.add(Fault(method="GET", resource="permissions", status=403, times=None))
        for direction in ([], ["--revert"]):
            assert switch(arm, *direction, *APP) == 0
            # One line for one cause, however many resources it hides.
            assert capsys.readouterr().err.count("cannot ask Azure which rights the run has") == 1
        assert demo.differences(before, arm.snapshot()) == []


SPOKE_END = "virtualNetworkPeerings/app-to-hub"
# How a forward run leaves vn-app's peering half done: the end whose delete Azure refuses, and
# whether the end left is being deleted, slowly, when the run is tried again.
HALF_DONE = {
    "lone spoke end": (SPOKE_END, False),
    "lone hub end": ("virtualNetworkPeerings/hub-to-app", False),
    "spoke end still Deleting": (SPOKE_END, True),
}


def start_deleting(arm, resource):
    """A delete of the resource that Azure takes its time over, not waited for."""
    arm.faults.add(Fault(method="DELETE", resource=resource, slow=2000.0))
    path = f"/subscriptions/{demo.SPOKES}/resourceGroups/rg-spokes/providers/Microsoft.Network"
    answer = requests.delete(
        f"{arm.endpoint}{path}/virtualNetworks/vn-app/{resource}",
        params={"api-version": "2024-05-01"},
        headers={"Authorization": f"Bearer {demo.TOKEN}"},
        verify=arm.ca_file,
    )
    assert answer.status_code == 202


@pytest.mark.parametrize("direction", ["forward", "revert"])
@pytest.mark.parametrize("shape", HALF_DONE)
def test_a_retry_finishes_from_a_half_done_pair(tmp_path, capsys, shape, direction):
    refused, deleting = HALF_DONE[shape]
    with start(tmp_path) as arm:
        before = arm.snapshot()
        arm.faults.add(Fault(method="DELETE", resource=refused, status=403))
        assert switch(arm, *APP) == 1
        assert len(pending_items(arm, "forward")) == 1
        if deleting:
            start_deleting(arm, refused)
        capsys.readouterr()

        if direction == "forward":
            assert switch(arm, *APP) == 0
            out, err = capsys.readouterr()
            assert "**Error**" not in err and summary(out) == ((0, 0, 1), 0, 0)
            assert not [k for k in arm.snapshot() if k.endswith(("/app-to-hub", "/hub-to-app"))]
        assert switch(arm, "--revert", *APP) == 0
        if direction == "revert":  # its plan shows the end left
            assert "half there: " in capsys.readouterr().err
        assert demo.differences(before, arm.snapshot()) == []
