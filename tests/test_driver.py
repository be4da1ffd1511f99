"""The switch-traffic driver against the emulator: forward, revert, dry run, interruption,
refusal to overwrite unreverted records, and a failing step."""

import json
import os

import pytest

from armsim import Emulator, Fault
from qn.arm.switch_traffic import demo, steps
from qn.arm.switch_traffic.cli import main

STATE = "switch-traffic-state.json"


@pytest.fixture
def arm(tmp_path):
    with Emulator(demo.sample_topology(), token=demo.TOKEN, lro="sync") as emulator:
        emulator.config_file = demo.demo_config(emulator, str(tmp_path))
        emulator.state_file = os.path.join(str(tmp_path), "output", STATE)
        yield emulator


def switch(arm, *options):
    return main(["--config", arm.config_file, *options])


def state_of(arm):
    with open(arm.state_file, encoding="utf-8") as handle:
        return json.load(handle)["vnets"]


def test_forward_then_revert_restores_the_topology(arm, capsys):
    before = arm.snapshot()
    assert switch(arm) == 0
    out = capsys.readouterr().out
    assert (
        "INFO      total: subnets switched 7, route tables changed 7, peerings deleted 2, "
        "errors 0" in out
    )
    kept = state_of(arm)
    assert sorted(kept) == [f"{demo.SPOKES}/rg-spokes/vn-app", f"{demo.SPOKES}/rg-spokes/vn-data"]
    app = kept[f"{demo.SPOKES}/rg-spokes/vn-app"]
    assert list(app["forward"]) == list(steps.FORWARD_STEPS) and app["reverted"] == {}
    assert [
        p["remotePeeringName"]
        for p in app["forward"]["delete-peerings"]["records"]["peeringPairList"]
    ] == ["hub-to-app"]
    terraform = os.path.join(os.path.dirname(arm.state_file), "subnet-route-table-associations.tf")
    with open(terraform, encoding="utf-8") as handle:
        assert handle.read().count('resource "azurerm_subnet_route_table_association"') == 6

    assert switch(arm, "--revert") == 0
    assert "total: subnets switched back 7, route tables restored 7, peerings restored 2" in (
        capsys.readouterr().out
    )
    assert demo.differences(before, arm.snapshot()) == []
    assert all(set(v["reverted"]) == set(steps.FORWARD_STEPS) for v in state_of(arm).values())

    # Reverted records no longer hold a forward run back.
    assert switch(arm) == 0


def test_dry_run_changes_nothing_and_keeps_no_state(arm, capsys):
    before = arm.snapshot()
    assert switch(arm, "--dry-run") == 0
    out = capsys.readouterr().out
    assert "  switch web from rt-web to rt-web-lf" in out
    assert "    delete lock hub-do-not-delete" in out
    assert arm.write_requests() == []
    assert arm.snapshot() == before
    assert not os.path.exists(arm.state_file)


def test_interrupted_deletion_is_reverted_from_its_plan(arm, monkeypatch, capsys):
    before = arm.snapshot()
    delete = steps.FORWARD[steps.PEERINGS]

    def deleted_then_interrupted(run, library, earlier):
        records = delete(run, library, earlier)
        if not library.DryRun:
            raise KeyboardInterrupt  # the peerings are gone, their records not yet kept
        return records

    monkeypatch.setitem(steps.FORWARD, steps.PEERINGS, deleted_then_interrupted)
    with pytest.raises(KeyboardInterrupt):
        switch(arm, "--vnet", "vn-app")
    kept = state_of(arm)[f"{demo.SPOKES}/rg-spokes/vn-app"]["forward"]
    assert list(kept) == list(steps.FORWARD_STEPS[:5])
    assert "records" not in kept[steps.PEERINGS]
    assert [p["remotePeeringName"] for p in kept[steps.PEERINGS]["planned"]["peeringPairList"]] == [
        "hub-to-app"
    ]
    assert not [k for k in arm.snapshot() if k.endswith(("/app-to-hub", "/hub-to-app"))]
    monkeypatch.undo()
    capsys.readouterr()

    assert switch(arm, "--revert") == 0
    out = capsys.readouterr().out
    assert "[vn-app] step 2/6: delete-peerings (interrupted in the forward run)" in out
    assert "[vn-data] step 5/6: switch-subnets -- not done in the forward run" in out
    assert demo.differences(before, arm.snapshot()) == []


def test_interruption_before_any_change_reverts_nothing_of_that_step(arm, monkeypatch, capsys):
    def interrupted(run, library, earlier):
        raise KeyboardInterrupt

    monkeypatch.setitem(steps.FORWARD, steps.PROPAGATION, interrupted)
    with pytest.raises(KeyboardInterrupt):
        switch(arm, "--vnet", "vn-data")
    monkeypatch.undo()
    assert switch(arm, "--revert", "--vnet", "vn-data") == 0
    out = capsys.readouterr().out
    assert "step 4/6: propagation-off -- interrupted before it changed anything" in out
    assert "  switch sql from rt-data-lf to rt-data" in out


def test_unreverted_records_are_not_overwritten(arm, capsys):
    assert switch(arm, "--vnet", "vn-data") == 0
    kept = json.dumps(state_of(arm))
    capsys.readouterr()
    assert switch(arm, "--vnet", "vn-data") == 2
    error = capsys.readouterr().err
    assert "still holds records of an earlier forward run" in error and "--force" in error
    assert json.dumps(state_of(arm)) == kept
    # Another VNet of the same state file is not held back.
    assert switch(arm, "--vnet", "vn-app") == 0


def test_failed_step_stops_the_vnet_and_exits_1(arm, capsys):
    before = arm.snapshot()
    arm.faults.add(Fault(method="PUT", resource="subnets/sql", status=403, times=None))
    assert switch(arm) == 1
    out = capsys.readouterr().out
    assert "**Error** [vn-data] stopped: HttpResponseError" in out
    assert (
        "vn-data: subnets switched 2, route tables changed 0, peerings deleted 0, errors 1 "
        "(incomplete)" in out
    )
    data = state_of(arm)[f"{demo.SPOKES}/rg-spokes/vn-data"]["forward"]
    assert list(data) == [steps.DISCOVER, steps.SWITCH] and "records" not in data[steps.SWITCH]
    assert list(state_of(arm)[f"{demo.SPOKES}/rg-spokes/vn-app"]["forward"]) == list(
        steps.FORWARD_STEPS
    )

    # The half-done switch is undone whole: the subnet already moved goes back.
    assert switch(arm, "--revert") == 0
    assert "  re-associate batch from vn-data-main-1 to None" in capsys.readouterr().out
    assert demo.differences(before, arm.snapshot()) == []


def test_demo_runs_forward_and_back(capsys):
    assert main(["--demo"]) == 0
    out = capsys.readouterr().out
    assert "=== Revert run ===" in out
    assert "The topology is back as it was before the forward run" in out
