"""The switch-traffic driver against the strict emulator: forward, revert, dry run,
interruption, refusals, stops before harm, locks, one writer per state file."""

import contextlib
import contextvars
import glob
import json
import logging
import os
import re
import threading
from urllib.parse import urlsplit

import pytest
import yaml

from qn.arm.armsim import Emulator, Fault
from qn.arm.switch_traffic import adapter, demo, evidence, options, progress, report, state, steps
from qn.arm.switch_traffic.cli import main
from qn.arm.switch_traffic.config import load_config
from qn.arm.switch_traffic.resources import Clients, last_segment
from qn.arm.switch_traffic.steps.base import Earlier, VnetRun, planning_library, quiet_library
from qn.arm.terraform import Terraform

STATE = "switch-traffic-state.json"
SCALE = 0.001  # Azure's typical durations shrunk a thousand times
APP = f"{demo.SPOKES}/rg-spokes/vn-app"
DATA = f"{demo.SPOKES}/rg-spokes/vn-data"
LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")
# The forward run's steps in their order, as the state file names them.
STEPS = [
    "discover-route-tables",
    "attach-transit",
    "switch-subnets",
    "propagation-off",
    "remote-gateway-off",
    "delete-peerings",
    "security-domain",
]
APP_ID = (
    f"/subscriptions/{demo.SPOKES}/resourceGroups/rg-spokes/providers/Microsoft.Network/"
    "virtualNetworks/vn-app"
)
HUB_VNET = (
    f"/subscriptions/{demo.HUB}/resourceGroups/rg-hub/providers/Microsoft.Network/"
    "virtualNetworks/vn-hub"
)


@contextlib.contextmanager
def start(tmp_path, topology=None):
    """The strict emulator with Azure's typical durations, scaled down, and the demo's
    configuration for it; the driver polls at the same scale."""
    with (
        Emulator(topology or demo.sample_topology(), token=demo.TOKEN, time_scale=SCALE) as arm,
        options.scaled(SCALE),
    ):
        arm.config_file = demo.demo_config(arm, str(tmp_path))
        arm.state_file = os.path.join(str(tmp_path), "output", STATE)
        yield arm


@pytest.fixture
def arm(tmp_path):
    with start(tmp_path) as emulator:
        yield emulator


def switch(arm, *options):
    """A run without asking for approval: tests have no terminal."""
    return main(["--config", arm.config_file, "--yes", *options])


def changes(arm):
    """The writes sent to Azure but those of the run's claim on its VNets (a tag taken and
    released again)."""
    claim = "/providers/Microsoft.Resources/tags/default"
    return [write for write in arm.write_requests() if not write[1].endswith(claim)]


def state_of(arm):
    with open(arm.state_file, encoding="utf-8") as handle:
        return json.load(handle)["vnets"]


def test_forward_then_revert_restores_the_topology(arm, capsys):
    before = arm.snapshot()
    # A propagation update the library does not wait for, lasting 5 minutes in Azure's time:
    # the driver waits for it before the next step, and says so.
    arm.faults.add(Fault(method="PUT", resource="routeTables/rt-web-lf", slow=300))
    assert switch(arm) == 0
    out, err = capsys.readouterr()
    assert "  waiting for rt-web-lf (" in err
    assert out.endswith(
        "\n  total: subnets switched 7, route tables changed 7, peerings deleted 2, "
        "pending 0, errors 0\n"
    )
    kept = state_of(arm)
    assert sorted(kept) == [APP, DATA]
    app = kept[APP]
    assert list(app["forward"]) == STEPS and app["revert"] == {}
    assert all(entry.get("done") for entry in app["forward"].values())
    peerings = app["forward"]["delete-peerings"]
    assert [p["remotePeeringName"] for p in peerings["records"]["peeringPairList"]] == [
        "hub-to-app"
    ]
    assert peerings["items"]["app-to-hub"]["status"] == "done"
    # The hub's lock is recorded before its removal, by the VNet that removes it: the first
    # of the two (run at once) to reach its peering step.
    recorded = [kept[key]["forward"]["delete-peerings"]["records"]["locks"] for key in (APP, DATA)]
    assert sorted(recorded, key=len) == [
        [],
        [
            {
                "id": f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-do-not-delete",
                "name": "hub-do-not-delete",
                "level": "CanNotDelete",
                "notes": None,
                "scope": HUB_VNET,
            }
        ],
    ]
    terraform = os.path.join(os.path.dirname(arm.state_file), "subnet-route-table-associations.tf")
    with open(terraform, encoding="utf-8") as handle:
        assert handle.read().count('resource "azurerm_subnet_route_table_association"') == 6

    assert switch(arm, "--revert", "--parallel", "1") == 0
    out, err = capsys.readouterr()
    assert "total: subnets switched back 7, route tables restored 7, peerings restored 2" in out
    # One at a time, reverted in the reverse order in which the forward runs began; the lock is
    # back once both are.
    later, first = (k.rsplit("/", 1)[1] for k in sorted(kept, key=lambda k: -kept[k]["order"]))
    assert err.index(f"[{later}] revert run") < err.index(f"[{first}] revert run")
    assert err.index(f"[{first}] revert run") < err.index("put back lock hub-do-not-delete")
    assert demo.differences(before, arm.snapshot()) == []
    assert all(entry.get("done") for v in state_of(arm).values() for entry in v["revert"].values())

    # Reverted records no longer hold a forward run back.
    assert switch(arm) == 0


def test_shared_hub_lock_is_put_back_once_no_vnet_waits_for_it(arm, capsys):
    before = arm.snapshot()
    lock = f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-do-not-delete"
    assert switch(arm, "--parallel", "1") == 0  # vn-app's run removes the lock
    arm.faults.add(Fault(method="PUT", resource="virtualNetworkPeerings/hub-to-data", status=403))
    capsys.readouterr()
    assert switch(arm, "--revert") == 1
    err = capsys.readouterr().err
    assert "[vn-app] lock hub-do-not-delete: waits for the peerings of vn-data" in err
    assert lock not in arm.snapshot()

    arm.faults.clear()
    assert switch(arm, "--revert") == 0
    assert lock in arm.snapshot()
    assert demo.differences(before, arm.snapshot()) == []


def test_lock_put_back_meanwhile_is_recorded_before_a_retry_removes_it(arm, capsys):
    before = arm.snapshot()
    lock = f"{HUB_VNET}/providers/Microsoft.Authorization/locks/hub-do-not-delete"
    arm.faults.add(
        Fault(method="DELETE", resource="virtualNetworkPeerings/hub-to-data", status=403)
    )
    assert switch(arm, "--parallel", "1") == 1  # vn-app done, lock recorded there; vn-data's
    # hub end left
    assert switch(arm, "--revert", "--vnet", "vn-app") == 0
    assert lock in arm.snapshot()

    arm.faults.clear()
    assert switch(arm, "--vnet", "vn-data") == 0  # the retry removes the lock again
    assert lock not in arm.snapshot()
    assert switch(arm, "--revert", "--vnet", "vn-data") == 0
    assert demo.differences(before, arm.snapshot()) == []


def test_half_deleted_peering_comes_back_connected_in_one_revert(arm, capsys):
    before = arm.snapshot()
    # The hub's end is not deleted: it is left Disconnected, and Azure refuses a new spoke end
    # while it is, so the revert must update the hub's end first.
    arm.faults.add(Fault(method="DELETE", resource="virtualNetworkPeerings/hub-to-app", status=403))
    assert switch(arm, "--vnet", "vn-app") == 1
    assert "hub-to-app in vn-hub still present (Disconnected)" in capsys.readouterr().err
    assert switch(arm, "--revert", "--vnet", "vn-app") == 0
    err = capsys.readouterr().err
    assert err.index("add local peering hub-to-app to vn-hub") < err.index(
        "add remote peering app-to-hub to vn-app"
    )
    assert demo.differences(before, arm.snapshot()) == []


@pytest.mark.parametrize(
    "unreadable, refused_after",
    [
        ("vn-hub/virtualNetworkPeerings", None),  # from the plan on
        ("vn-hub/virtualNetworkPeerings", steps.remote_gateway.STEP),
        ("virtualNetworkPeerings/app-to-hub", steps.propagation.STEP),
        ("routeTables/rt-web-lf", steps.switch.STEP),
    ],
)
def test_what_a_plan_cannot_read_is_never_taken_for_nothing_to_do(
    arm, monkeypatch, capsys, unreadable, refused_after
):
    # The library logs a failed read and goes on without the item: a plan or records built
    # from that would leave the item unchanged and call the step done.
    before = arm.snapshot()
    refusal = Fault(method="GET", resource=unreadable, status=403, times=None)
    if refused_after is None:
        arm.faults.add(refusal)
    else:
        change = refused_after.forward

        def then_refused(*args):
            change(*args)
            arm.faults.add(refusal)

        monkeypatch.setattr(refused_after, "forward", then_refused)
    status = switch(arm, "--vnet", "vn-app")
    assert "IncompletePlan: " in capsys.readouterr().err
    assert status == (2 if refused_after is None else 1)
    if refused_after is None:
        assert changes(arm) == []
    monkeypatch.undo()
    arm.faults.clear()

    assert switch(arm, "--vnet", "vn-app") == 0
    snapshot = arm.snapshot()
    assert not [k for k in snapshot if k.endswith(("/app-to-hub", "/hub-to-app"))]
    staged = next(v for k, v in snapshot.items() if k.endswith("/rt-web-lf"))
    assert staged["properties"]["disableBgpRoutePropagation"]
    assert switch(arm, "--revert", "--vnet", "vn-app") == 0
    assert demo.differences(before, arm.snapshot()) == []


def test_interrupted_deletion_is_reverted_from_its_records(arm, monkeypatch, capsys):
    before = arm.snapshot()
    delete = steps.peerings.STEP.forward

    def deleted_then_interrupted(*args):
        delete(*args)
        raise KeyboardInterrupt  # the peerings are gone, nothing read back yet

    monkeypatch.setattr(steps.peerings.STEP, "forward", deleted_then_interrupted)
    assert switch(arm, "--vnet", "vn-app") == 130
    kept = state_of(arm)[APP]["forward"]
    assert list(kept) == STEPS[:6]
    deletion = kept[steps.peerings.STEP.name]
    assert "done" not in deletion and deletion["items"] == {}
    assert [p["remotePeeringName"] for p in deletion["records"]["peeringPairList"]] == [
        "hub-to-app"
    ]
    assert not [k for k in arm.snapshot() if k.endswith(("/app-to-hub", "/hub-to-app"))]
    monkeypatch.undo()
    capsys.readouterr()

    assert switch(arm, "--revert") == 0
    err = capsys.readouterr().err
    assert "[vn-app] step 2/7: delete-peerings (unfinished in the forward run)" in err
    assert "[vn-data] step 5/7: switch-subnets -- not done in the forward run" in err
    assert demo.differences(before, arm.snapshot()) == []


def test_interruption_before_any_change_reverts_nothing_of_that_step(arm, monkeypatch, capsys):
    keep = state.StateFile.keep_records

    def interrupted(self, key, step, records):
        if step == steps.propagation.STEP.name:  # started, nothing kept or changed yet
            raise KeyboardInterrupt
        keep(self, key, step, records)

    monkeypatch.setattr(state.StateFile, "keep_records", interrupted)
    assert switch(arm, "--vnet", "vn-data") == 130
    monkeypatch.undo()
    assert switch(arm, "--revert", "--vnet", "vn-data") == 0
    err = capsys.readouterr().err
    assert "step 4/7: propagation-off -- interrupted before it changed anything" in err
    assert "  switch sql from rt-data-lf to rt-data" in err


@pytest.mark.parametrize("direction", [[], ["--revert"]], ids=["forward", "revert"])
def test_the_same_command_again_when_all_is_done_changes_nothing(arm, capsys, direction):
    assert switch(arm, "--vnet", "vn-data") == 0
    if direction:
        assert switch(arm, "--vnet", "vn-data", "--revert") == 0
    kept, written = json.dumps(state_of(arm)), len(arm.write_requests())
    capsys.readouterr()
    # Nothing to approve: no --yes needed where there is no terminal to ask on.
    assert main(["--config", arm.config_file, "--vnet", "vn-data", *direction]) == 0
    out, err = capsys.readouterr()
    if direction:
        assert "  already reverted: skipped\n" in err
        assert "every VNet chosen is already reverted (vn-data); nothing to do" in err
    else:
        assert "  forward run already done (the state file holds its records, not reverted): " \
            "skipped; to redo it, revert it first (--revert --vnet vn-data)\n" in err  # fmt: skip
        assert "already done (vn-data); nothing to do. To redo one, revert it first" in err
    assert "--force" not in err
    assert f"vn-data: {'subnets switched' if not direction else 'subnets switched back'} 0" in out
    assert out.splitlines()[1].endswith("skipped)")
    assert json.dumps(state_of(arm)) == kept and len(arm.write_requests()) == written


def test_failed_subnet_write_stops_before_harm_and_is_tried_again(arm, capsys):
    before = arm.snapshot()
    arm.faults.add(Fault(method="PUT", resource="subnets/sql", status=403, times=None))
    assert switch(arm) == 1
    out, err = capsys.readouterr()
    assert "**Error** [vn-data] switch-subnets sql: on rt-data, not on rt-data-lf -- pending" in err
    assert "**Error** [vn-data] stopped: before any propagation, gateway, lock or peering" in err
    assert "vn-data: subnets switched 1, route tables changed 0, peerings deleted 0, pending 1" in (
        out
    )
    data = state_of(arm)[DATA]["forward"]
    assert list(data) == STEPS[:3] and "done" not in data[steps.switch.STEP.name]
    assert data[steps.switch.STEP.name]["items"]["sql"]["status"] == "pending"
    assert all(entry.get("done") for entry in state_of(arm)[APP]["forward"].values())
    assert [k for k in arm.snapshot() if k.endswith("/data-to-hub")]  # still peered

    # The same command again skips vn-app, done, and tries vn-data's pending subnet only.
    arm.faults.clear()
    assert switch(arm) == 0
    out, err = capsys.readouterr()
    assert "[vn-app] forward run already done (the state file holds its records" in err
    assert "[vn-app] step" not in err
    assert "step 3/7: switch-subnets (again: the pending items)" in err
    assert "vn-data: subnets switched 1, route tables changed 3, peerings deleted 1, pending 0" in (
        out
    )
    assert "vn-app: subnets switched 0, route tables changed 0, peerings deleted 0, pending 0, " \
        "errors 0 (already done: skipped)\n" in out  # fmt: skip

    assert switch(arm, "--revert") == 0
    assert demo.differences(before, arm.snapshot()) == []


def with_unstaged_subnet(topology):
    group = topology["subscriptions"][demo.SPOKES]["resource_groups"]["rg-spokes"]
    group["route_tables"]["rt-legacy"] = {}
    subnets = group["virtual_networks"]["vn-data"]["subnets"]
    subnets["legacy"] = {"address_prefix": "10.2.9.0/24", "route_table": "rt-legacy"}
    return topology


def test_subnet_without_staged_table_stops_the_run_before_harm(tmp_path, capsys):
    with start(tmp_path, with_unstaged_subnet(demo.sample_topology())) as arm:
        if True:
            assert switch(arm, "--dry-run", "--vnet", "vn-data") == 1
            out = capsys.readouterr().out
            assert (
                "stops after the subnet switch, before any propagation, gateway, lock or peering "
                "change: legacy (on rt-legacy) lacks a staged copy of rt-legacy" in out
            )
            assert "propagation-off" not in out

            before = arm.snapshot()
            assert switch(arm, "--vnet", "vn-data") == 1
            err = capsys.readouterr().err
            assert "legacy: on rt-legacy: lacks a staged copy of rt-legacy" in err
            written = {path.split("?")[0].rsplit("/", 1)[-1] for _, path in changes(arm)}
            assert written == {"sql", "batch"}  # subnets only: no table, peering or lock
            after = arm.snapshot()
            assert [k for k in before if "data-to-hub" in k or "locks" in k] == [
                k for k in after if "data-to-hub" in k or "locks" in k
            ]


INHERITED = "is inherited by vn-hub; the tool removes only a lock on the VNet itself: lift it there"


def lock_holder(topology, scope):
    hub, spokes = (topology["subscriptions"][sub] for sub in (demo.HUB, demo.SPOKES))
    return {
        "subscription": hub,
        "resource_group": hub["resource_groups"]["rg-hub"],
        "spoke": spokes["resource_groups"]["rg-spokes"]["virtual_networks"]["vn-app"],
    }[scope]


@pytest.mark.parametrize(
    "scope, where, said",
    [
        ("subscription", f"/subscriptions/{demo.HUB}", INHERITED),
        ("resource_group", f"/subscriptions/{demo.HUB}/resourceGroups/rg-hub", INHERITED),
        # The spoke's own lock would refuse its peering's deletion once the subnets had moved.
        ("spoke", APP_ID, "forbids deleting the peerings of vn-app: lift it"),
    ],
    ids=["subscription", "resource_group", "spoke"],
)
def test_a_lock_in_the_way_stops_the_run_before_any_change(tmp_path, capsys, scope, where, said):
    topology = demo.sample_topology()
    lock_holder(topology, scope)["locks"] = {"platform-lock": "CanNotDelete"}
    with start(tmp_path, topology) as arm:
        assert switch(arm, "--vnet", "vn-app") == 1
        err = capsys.readouterr().err
        assert f"lock platform-lock (CanNotDelete) on {where} {said}" in err
        assert changes(arm) == []


def test_one_writer_per_state_file(arm, capsys):
    held = state.StateFile(arm.state_file)
    with held.hold():
        assert switch(arm) == 2
    assert f"in use by process {os.getpid()}" in capsys.readouterr().err
    assert arm.write_requests() == []


def test_a_lock_file_replaced_before_it_was_locked_is_locked_anew(arm, monkeypatch):
    lock_path, flock, replaced = arm.state_file + ".lock", state.fcntl.flock, []

    def replaced_meanwhile(handle, operation):
        if operation & state.fcntl.LOCK_EX and not replaced:
            # The driver that made it ended and removed it, and another made a new one.
            replaced.append(os.fstat(handle.fileno()).st_ino)
            os.unlink(lock_path)
            open(lock_path, "w").close()
        flock(handle, operation)

    os.makedirs(os.path.dirname(lock_path))
    monkeypatch.setattr(state.fcntl, "flock", replaced_meanwhile)
    with state.StateFile(arm.state_file).hold():
        with pytest.raises(state.StateError, match=f"in use by process {os.getpid()}"):
            with state.StateFile(arm.state_file).hold():
                pass
    assert replaced and os.path.exists(lock_path)  # made by the other driver: it stays


def files_under(path):
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))


def unreadable_vnet(arm):
    arm.faults.add(Fault(method="GET", resource="virtualNetworks/vn-data", status=403, times=None))


def stale_lock_file(arm):
    os.makedirs(os.path.dirname(arm.state_file))
    with open(arm.state_file + ".lock", "w", encoding="utf-8") as handle:
        handle.write("4242\n")  # a run of an earlier version left it


def forward_run_done(arm):
    assert switch(arm, "--vnet", "vn-data") == 0


@pytest.mark.parametrize(
    "before, options, said",
    [
        (None, ["--yes", "--vnet", "vn-nowhere"], "no VNet named vn-nowhere"),
        (None, ["--yes", "--revert"], "no state file, so nothing to revert"),
        (None, ["--yes", "--revert", "--state", "{tmp}/a/b/s.json"], "no state file, so"),
        (unreadable_vnet, ["--yes"], "cannot plan the run, nothing was changed"),
        (None, [], "no terminal to ask for approval on"),
        (stale_lock_file, [], "no terminal to ask for approval on"),
        (forward_run_done, ["--vnet", "vn-data"], "nothing to do"),
    ],
    ids=[
        "bad configuration",
        "state refusal",
        "state file elsewhere",
        "plan refused",
        "not approved",
        "a lock file there before",
        "nothing to do",
    ],
)
def test_a_run_that_changes_nothing_leaves_no_file_behind(
    arm, tmp_path, capsys, before, options, said
):
    if before:
        before(arm)
    there = files_under(tmp_path)
    status = main(["--config", arm.config_file, *[o.format(tmp=tmp_path) for o in options]])
    assert said in capsys.readouterr().err
    assert status == (0 if said == "nothing to do" else 2)
    assert files_under(tmp_path) == there


@pytest.mark.parametrize("records", [False, True])
def test_revert_without_records_exits_2(arm, capsys, records):
    if records:
        assert switch(arm, "--vnet", "vn-data") == 0
    capsys.readouterr()
    assert switch(arm, "--revert", "--vnet", "vn-app") == 2
    error = capsys.readouterr().err
    assert ("holds no records for vn-app" if records else "no state file") in error


def test_state_file_and_output_are_beside_the_configuration(arm, tmp_path, monkeypatch):
    with open(arm.config_file, encoding="utf-8") as handle:
        text = handle.read().replace(str(tmp_path / "output"), "output")
    with open(arm.config_file, "w", encoding="utf-8") as handle:
        handle.write(text)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    assert switch(arm, "--vnet", "vn-data") == 0
    assert os.path.exists(arm.state_file) and os.listdir(elsewhere) == []
    assert switch(arm, "--revert", "--vnet", "vn-data") == 0


def test_demo_runs_forward_and_back(capsys, monkeypatch):
    monkeypatch.setattr(demo, "TIME_SCALE", SCALE)
    assert main(["--demo"]) == 0
    out, err = capsys.readouterr()
    assert "=== Revert run ===" in err
    assert "The topology is back as it was before the forward run, the hub's lock included" in err
    assert out.count("  total: ") == 2 and "Summary (revert run):" in out


def in_thread(call, *args):
    """Runs the call in a thread with a copy of this context, as the driver's workers do."""
    thread = threading.Thread(target=contextvars.copy_context().run, args=(call, *args))
    thread.start()
    return thread


def test_a_plan_and_a_real_step_at_once_leak_into_neither(arm, caplog):
    # The library's dry run is class state: a plan in one worker must not make another
    # worker's step a dry run, nor the step make the plan write.
    caplog.set_level(logging.INFO, logger="qn.arm.switchlib")
    config = load_config(arm.config_file)
    with adapter.point_tool_at(config):
        app, data = (
            VnetRun(
                config,
                config.vnet(name),
                adapter.library(),
                *adapter.open_vnet(config, config.vnet(name)),
                report.driver_log(),
                Clients(),
            )
            for name in ("vn-app", "vn-data")
        )
        found = [
            Earlier(
                {steps.discover.STEP.name: steps.discover.STEP.plan(run, run.library, Earlier())}
            )
            for run in (app, data)
        ]
        planned, meet, serve = {}, threading.Barrier(2, timeout=10), arm.handle

        def meeting(method, target, headers, body):
            # The step's write waits here for the plan's read, so that each is under way while the
            # other is.
            path = urlsplit(target).path
            if (method, path.rsplit("/", 1)[-1]) in (("PUT", "rt-data-lf"), ("GET", "rt-api-lf")):
                with contextlib.suppress(threading.BrokenBarrierError):
                    meet.wait()
            return serve(method, target, headers, body)

        def plan():
            with quiet_library():
                planner = planning_library(app.library)
                planned.update(steps.propagation.STEP.plan(app, planner, found[0]).dumped())

        def step():
            steps.propagation.STEP.plan(
                data, data.library, found[1]
            )  # the library itself: it changes

        arm.handle = meeting
        for thread in [in_thread(plan), in_thread(step)]:
            thread.join()
    assert not meet.broken
    written = sorted(path.rsplit("/", 1)[-1] for _, path in arm.write_requests())
    assert written == ["rt-data-lf", "vn-data-main-1", "vn-data-main-2"]
    assert sorted(r["route_table_name"] for r in planned["rtbPropList"]) == [
        "rt-api-lf", "rt-web-lf", "vn-app-main-1", "vn-app-main-2"
    ]  # fmt: skip
    logged = [r.getMessage() for r in caplog.records if r.name == "qn.arm.switchlib"]
    assert "  disable propagate-gateway-route in rt-data-lf" in logged
    assert not [line for line in logged if "rt-api-lf" in line]  # the plan's lines stay quiet


def test_spokes_of_one_hub_write_to_it_one_at_a_time(arm, monkeypatch, capsys):
    before = arm.snapshot()
    # Each hub end's deletion and re-creation lasts a second: long enough for the other spoke
    # to reach its own peering step meanwhile.
    for method in ("DELETE", "PUT"):
        for end in ("hub-to-app", "hub-to-data"):
            arm.faults.add(
                Fault(method=method, resource=f"vn-hub/virtualNetworkPeerings/{end}", slow=1000)
            )
    answers, serve = [], arm.handle

    def answered(method, target, headers, body):
        response = serve(method, target, headers, body)
        answers.append((method, urlsplit(target).path, response.status))
        return response

    monkeypatch.setattr(arm, "handle", answered)
    assert switch(arm, "--parallel", "2") == 0
    assert switch(arm, "--revert", "--parallel", "2") == 0
    hub_writes = [a for a in answers if "/virtualNetworks/vn-hub/" in a[1] and a[0] != "GET"]
    assert len(hub_writes) >= 6  # both ends deleted and re-created, the lock removed and back
    assert [a for a in hub_writes if a[2] == 409] == []  # never refused as busy
    assert demo.differences(before, arm.snapshot()) == []
    # Every line of a VNet's run, the library's too, says which VNet it belongs to.
    lines = [line for line in capsys.readouterr().err.splitlines() if line.startswith(LEVELS)]
    untagged = [line for line in lines if not re.search(r"\[vn-(app|data)\]", line)]
    assert untagged == [] and len(lines) > 100


# -- what a run must do, whatever it did before: each case fails when its fault is planted ---


def on_topology(change):
    """Runs the case on the sample topology changed so."""

    def marked(case):
        case.topology = change
        return case

    return marked


def configured(arm, change):
    with open(arm.config_file, encoding="utf-8") as handle:
        config = yaml.safe_load(handle)
    change(config)
    with open(arm.config_file, "w", encoding="utf-8") as handle:
        yaml.safe_dump(config, handle)


def table_of(arm, vnet, subnet):
    """The name of the route table a spoke's subnet is on, or None."""
    path = f"{APP_ID.removesuffix('/vn-app')}/{vnet}/subnets/{subnet}"
    return last_segment(arm.snapshot()[path]["properties"].get("routeTable", {}).get("id"))


def second_revert_writes_nothing(arm, capsys, monkeypatch):
    assert switch(arm) == 0 and switch(arm, "--revert") == 0
    written = len(changes(arm))
    assert switch(arm, "--revert") == 0
    assert len(changes(arm)) == written


def forward_run_after_a_full_revert_goes(arm, capsys, monkeypatch):
    assert switch(arm, "--vnet", "vn-data") == 0
    assert switch(arm, "--revert", "--vnet", "vn-data") == 0
    capsys.readouterr()
    assert switch(arm, "--vnet", "vn-data") == 0
    assert "vn-data: subnets switched 2, route tables changed 3, peerings deleted 1" in (
        capsys.readouterr().out
    )


def force_starts_over(arm, capsys, monkeypatch):
    # Over records not reverted whole: Azure shows the VNet unmigrated, its hub lock not back.
    assert switch(arm, "--vnet", "vn-data") == 0
    arm.faults.add(Fault(method="PUT", resource="locks/hub-do-not-delete", status=403))
    assert switch(arm, "--vnet", "vn-data", "--revert") == 1
    arm.faults.clear()
    capsys.readouterr()
    assert switch(arm, "--vnet", "vn-data", "--force") == 0
    assert "[vn-data] step 3/7: switch-subnets\n" in capsys.readouterr().err  # not "already done"
    assert state_of(arm)[DATA]["order"] == 2  # a migration of its own, after the first


def logged_error_fails_the_run(arm, capsys, monkeypatch):
    # Every item done, but an error line: the run did not do all it should.
    problem = "Terraform association of sql not written: planted"
    monkeypatch.setattr(Terraform, "write", staticmethod(lambda held, ids: [problem]))
    assert switch(arm, "--vnet", "vn-data") == 1
    assert "vn-data: subnets switched 2, route tables changed 3, peerings deleted 1, pending 0, " \
        "errors 1\n" in capsys.readouterr().out  # fmt: skip


def next_step_waits_for_the_last_ones_operations(arm, capsys, monkeypatch):
    # Propagation's update runs on in Azure after its answer: the next step's write must not
    # be sent while it does.
    arm.faults.add(Fault(method="PUT", resource="routeTables/rt-data-lf", slow=300))
    seen, serve = [], arm.handle

    def handle(method, target, headers, body):
        if method != "GET" and "/virtualNetworkPeerings/" in target:
            table = next(v for k, v in arm.snapshot().items() if k.endswith("/rt-data-lf"))
            seen.append(table["properties"]["provisioningState"])
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", handle)
    assert switch(arm, "--vnet", "vn-data") == 0
    assert seen and set(seen) == {"Succeeded"}


def forward_run_on_a_half_reverted_vnet_is_refused(arm, capsys, monkeypatch):
    # The revert's later steps still need the records a new forward run would replace.
    assert switch(arm, "--vnet", "vn-data") == 0
    arm.faults.add(Fault(method="PUT", resource="virtualNetworkPeerings/hub-to-data", status=403))
    assert switch(arm, "--revert", "--vnet", "vn-data") == 1
    kept = json.dumps(state_of(arm))
    capsys.readouterr()
    assert switch(arm, "--vnet", "vn-data") == 2
    error = capsys.readouterr().err
    assert "the revert of vn-data has begun and is not finished; finish it first (--revert " \
        "--vnet vn-data)" in error and "--force" not in error  # fmt: skip
    assert json.dumps(state_of(arm)) == kept


def state_read_before_another_run_is_read_again_once_held(arm, capsys, monkeypatch):
    waiting = state.StateFile(arm.state_file)  # a driver that read it, then waited its turn
    assert switch(arm, "--vnet", "vn-data") == 0
    with waiting.hold():
        waiting.start_forward(APP)
    assert sorted(state_of(arm)) == [APP, DATA]


def read_only(topology):
    hub = topology["subscriptions"][demo.HUB]["resource_groups"]["rg-hub"]
    hub["virtual_networks"]["vn-hub"]["locks"] = {"hub-do-not-delete": "ReadOnly"}


@on_topology(read_only)
def hub_lock_comes_back_at_its_level(arm, capsys, monkeypatch):
    before = arm.snapshot()
    assert switch(arm) == 0 and switch(arm, "--revert") == 0
    assert demo.differences(before, arm.snapshot()) == []


def subnets_without_a_table_left_alone_when_so_configured(arm, capsys, monkeypatch):
    configured(arm, lambda c: c["vnets"]["vn-data"].update(migrate_non_associated_subnet=False))
    assert switch(arm, "--vnet", "vn-data") == 0
    assert table_of(arm, "vn-data", "batch") is None


def main_tables_named(topology):
    tables = topology["subscriptions"][demo.SPOKES]["resource_groups"]["rg-spokes"]["route_tables"]
    for n in (1, 2):
        tables[f"data-main-{n}"] = tables.pop(f"vn-data-main-{n}")


@on_topology(main_tables_named)
def main_tables_of_the_configured_prefix(arm, capsys, monkeypatch):
    configured(arm, lambda c: c["vnets"]["vn-data"].update(main_table_prefix="data"))
    assert switch(arm, "--vnet", "vn-data") == 0
    assert table_of(arm, "vn-data", "batch") == "data-main-1"


@pytest.mark.parametrize(
    "case",
    [
        second_revert_writes_nothing,
        forward_run_after_a_full_revert_goes,
        force_starts_over,
        logged_error_fails_the_run,
        next_step_waits_for_the_last_ones_operations,
        forward_run_on_a_half_reverted_vnet_is_refused,
        state_read_before_another_run_is_read_again_once_held,
        hub_lock_comes_back_at_its_level,
        subnets_without_a_table_left_alone_when_so_configured,
        main_tables_of_the_configured_prefix,
    ],
    ids=lambda case: case.__name__,
)
def test_runs_do_what_the_state_and_options_say(tmp_path, capsys, monkeypatch, case):
    topology = demo.sample_topology()
    getattr(case, "topology", lambda _: None)(topology)
    with start(tmp_path, topology) as arm:
        case(arm, capsys, monkeypatch)


class Killed(BaseException):
    """The process killed at a file-system call."""


@pytest.mark.parametrize("killed_at", range(5))
def test_a_kill_at_any_point_of_a_write_leaves_a_current_and_a_previous_file(
    tmp_path, monkeypatch, killed_at
):
    path = str(tmp_path / STATE)
    kept = state.StateFile(path)
    kept.start_forward("a")
    kept.start_forward("b")  # a previous version to replace
    before, previous = (open(p, encoding="utf-8").read() for p in (path, path + ".prev"))
    calls = []

    def dies(real):
        def call(*args, **kwargs):
            calls.append(real.__name__)
            if len(calls) > killed_at:
                raise Killed
            return real(*args, **kwargs)

        return call

    for name in ("link", "replace", "fsync"):
        monkeypatch.setattr(state.os, name, dies(getattr(os, name)))
    written = killed_at >= 4  # fsync, link, the previous file's rename, the file's rename
    with contextlib.nullcontext() if written else pytest.raises(Killed):
        kept.start_forward("c")
    monkeypatch.undo()
    after = {p: open(p, encoding="utf-8").read() for p in (path, path + ".prev")}
    assert after[path] == (kept._text() if written else before)
    assert after[path + ".prev"] == (previous if killed_at < 3 else before)
    assert list(state.StateFile(path).data["vnets"]) == ["a", "b", "c"][: 3 if written else 2]


@pytest.mark.parametrize("records", ["in another state file", "dropped by an earlier --force"])
def test_a_migrated_vnet_without_records_is_neither_reverted_nor_migrated_again(
    arm, tmp_path, capsys, monkeypatch, records
):
    before = arm.snapshot()
    assert switch(arm, "--vnet", "vn-app") == 0
    here, dropped = ["--vnet", "vn-app"], "force" in records
    if not dropped:
        here += ["--state", str(tmp_path / "other.json")]
    else:  # as --force dropped them before a forward run could tell a migrated VNet
        monkeypatch.setattr(evidence, "read", lambda *_: evidence.Evidence())
        assert switch(arm, *here, "--force") == 1
        monkeypatch.undo()
    capsys.readouterr()
    arm.clear_requests()

    for direction, said in (([], "already migrated"), (["--revert"], "not reverted")):
        assert switch(arm, *here, *direction, "-o", "json") == 1
        out, err = capsys.readouterr()
        assert f"  left out: {said}\n  Azure shows subnets on staged tables: api on " in err
        assert "\n  no peering is left but the controller's\n" in err and "--state" in err
        [vnet] = json.loads(out)["vnets"]
        assert vnet["left_out"].startswith(f"{said}: Azure shows") and not vnet["completed"]
        assert f"[vn-app] left out: {said}: " in err and changes(arm) == []
        # The hub is read where a kept version of the state file names it.
        copies = glob.glob(arm.state_file + ".dropped-*")
        assert len(copies) == dropped
        for copy in copies:
            assert (
                f"peering pair app-to-hub <-> hub-to-app (vn-hub), recorded in {copy}: both "
                "ends missing; hub lock hub-do-not-delete (CanNotDelete) on vn-hub, recorded in "
                f"{copy}: missing"
            ) in vnet["left_out"]
        assert (evidence.HUB_UNKNOWN in vnet["left_out"]) == (not dropped)
    main(["status", *(here[2:] or ["--config", arm.config_file])])
    assert "reverted" not in capsys.readouterr().out

    # The records where they are revert it.
    assert (
        switch(arm, "--revert", "--vnet", "vn-app", *(["--state", *copies] if copies else [])) == 0
    )
    assert demo.differences(before, arm.snapshot()) == []


def test_force_over_a_vnet_azure_shows_migrated_keeps_its_records(arm, capsys):
    before = arm.snapshot()
    assert switch(arm, "--vnet", "vn-app") == 0
    kept = state_of(arm)
    capsys.readouterr()
    assert switch(arm, "--vnet", "vn-app", "--force") == 1
    err = capsys.readouterr().err
    assert "left out: already migrated" in err and "run --revert first" in err
    assert state_of(arm) == kept
    assert switch(arm, "--revert", "--vnet", "vn-app") == 0
    assert demo.differences(before, arm.snapshot()) == []


class ShownCalls(progress.Progress):
    """What the run tells the live view, per VNet."""

    def __init__(self) -> None:
        self.calls: dict[str, list[tuple]] = {}

    def step(self, vnet, number, name, total):
        self.calls.setdefault(vnet, []).append(("step", name, total))

    def advanced(self, vnet, done):
        self.calls[vnet].append(("advanced", done))

    def answered(self, vnet, count):
        self.calls[vnet].append(("answered", count))


def test_the_live_view_counts_items_as_azure_accepts_their_writes(arm, monkeypatch):
    shown = ShownCalls()
    monkeypatch.setattr(progress, "live", lambda *args, **kw: contextlib.nullcontext(shown))
    assert switch(arm, "--parallel", "1") == 0
    calls = shown.calls["vn-app"]
    for step, items in (("switch-subnets", 5), ("propagation-off", 4), ("delete-peerings", 1)):
        start = calls.index(("step", step, items)) + 1
        told = calls[start : start + items + 2]
        # None done yet; each accepted write one more, unverified; then the read-back's count.
        answered = [("answered", n) for n in range(1, items + 1)]
        assert told == [("advanced", 0), *answered, ("advanced", items)], step
