"""The plan of a run against the strict emulator: built read-only, shown as a table per VNet,
approved on a terminal or with --yes; the dry run prints it and writes nothing."""

import dataclasses
import glob
import io
import json
import os
import re
import sys
from types import SimpleNamespace

import pytest
import requests
import yaml
from test_driver import changes, start, switch

from qn.arm import typical_durations
from qn.arm.armsim import Fault
from qn.arm.switch_traffic import demo, plan, state, steps, views
from qn.arm.switch_traffic.cli import main
from qn.arm.switch_traffic.estimate import Assumed, estimate, lower_limit, work_of
from qn.arm.switch_traffic.records import Change

# What --force lists before it drops vn-data's records, the hub's lock not put back among them.
DROPPED = """\
  --force drops the records of its earlier forward run, not reverted:
    switch-subnets: subnet batch, on no route table before
    switch-subnets: subnet sql, on rt-data before
    propagation-off: vn-data-main-1, vn-data-main-2, rt-data-lf
    remote-gateway-off: data-to-hub
    delete-peerings: peering pair data-to-hub in vn-data <-> hub-to-data in vn-hub
    hub lock hub-do-not-delete (CanNotDelete) on vn-hub: removed by vn-data's run since"""
FORWARD = {
    "vn-app": [
        ("switch-subnets", "api", "rt-api", "rt-api-lf"),
        ("switch-subnets", "cache", "no route table", "vn-app-main-1 or vn-app-main-2"),
        ("switch-subnets", "jobs", "no route table", "vn-app-main-1 or vn-app-main-2"),
        ("switch-subnets", "web", "rt-web", "rt-web-lf"),
        ("switch-subnets", "web.canary", "rt-web", "rt-web-lf"),
        ("propagation-off", "vn-app-main-1", "propagation on", "propagation off"),
        ("propagation-off", "vn-app-main-2", "propagation on", "propagation off"),
        ("propagation-off", "rt-api-lf", "propagation on", "propagation off"),
        ("propagation-off", "rt-web-lf", "propagation on", "propagation off"),
        ("remote-gateway-off", "app-to-hub", "uses the remote gateway", "does not use it"),
        ("delete-peerings", "app-to-hub <-> hub-to-app (vn-hub)", "peered", "deleted"),
        ("delete-peerings", "lock hub-do-not-delete on vn-hub", "CanNotDelete lock", "removed"),
        ("security-domain", "-", "-", "not enabled: nothing to attach"),
    ],
    "vn-data": [
        ("switch-subnets", "batch", "no route table", "vn-data-main-1 or vn-data-main-2"),
        ("switch-subnets", "sql", "rt-data", "rt-data-lf"),
        ("propagation-off", "vn-data-main-1", "propagation on", "propagation off"),
        ("propagation-off", "vn-data-main-2", "propagation on", "propagation off"),
        ("propagation-off", "rt-data-lf", "propagation on", "propagation off"),
        ("remote-gateway-off", "data-to-hub", "uses the remote gateway", "does not use it"),
        # The hub's lock is removed once, by the first VNet's run.
        ("delete-peerings", "data-to-hub <-> hub-to-data (vn-hub)", "peered", "deleted"),
        ("security-domain", "-", "-", "not enabled: nothing to attach"),
    ],
}


# The main table each subnet without a table of its own was put on.
ON_MAIN = {"cache": "vn-app-main-1", "jobs": "vn-app-main-2", "batch": "vn-data-main-1"}


def reverted(rows):
    """The revert plan's rows: before and after exchanged (a subnet is where Azure shows it);
    nothing was attached to detach."""
    return sorted(
        (step, item, ON_MAIN.get(item, after), before)
        for step, item, before, after in rows
        if step != "security-domain"
    )


def tables(out):
    """{VNet: its rows} of every plan table in the output."""
    found, rows = {}, None
    for line in out.splitlines():
        heading = re.match(r"(\S+): (forward|revert) run \(", line)
        if heading:
            rows = found.setdefault(heading.group(1), [])
        elif rows is not None and line.startswith(" ") and not line.strip().startswith("step"):
            cells = tuple(re.split(r"\s{2,}", line.strip()))
            if len(cells) == 4:
                rows.append(cells)
    return found


@pytest.fixture
def arm(tmp_path):
    with start(tmp_path) as emulator:
        yield emulator


def kept(arm):
    """The state file's bytes, or None when there is none."""
    if not os.path.exists(arm.state_file):
        return None
    with open(arm.state_file, "rb") as handle:
        return handle.read()


def files_under(path):
    return sorted(
        (os.path.join(d, f), os.path.getmtime(os.path.join(d, f)))
        for d, _, names in os.walk(path)
        for f in names
    )


def test_dry_run_prints_the_plan_and_writes_nothing(arm, tmp_path, capsys):
    before = arm.snapshot()
    assert switch(arm, "--dry-run") == 0
    out = capsys.readouterr().out
    assert tables(out) == FORWARD
    assert "Plan: subnets to switch 7, route tables to change 7, peering pairs to delete 2." in out
    # Nothing was done: the summary says what would be.
    assert out.endswith(
        "\n  total: subnets that would be switched 7, route tables that would be changed 7, "
        "peerings that would be deleted 2, errors 0\n"
    )
    assert "Summary (forward dry run, nothing was changed):" in out
    assert arm.write_requests() == [] and arm.snapshot() == before
    assert not os.path.exists(tmp_path / "output")  # no state, lock or Terraform file

    assert switch(arm, "--parallel", "1") == 0  # the lock removed by vn-app's run, as planned
    files = files_under(tmp_path / "output")
    requests = len(arm.write_requests())
    capsys.readouterr()
    assert switch(arm, "--revert", "--dry-run") == 0
    out = capsys.readouterr().out
    # Back in the reverse order of the forward runs; the lock is put back by the VNet that
    # recorded it.
    plans = tables(out)
    assert list(plans) == ["vn-data", "vn-app"]
    assert {vnet: sorted(rows) for vnet, rows in plans.items()} == {
        vnet: reverted(rows) for vnet, rows in FORWARD.items()
    }
    assert "Plan: subnets to switch back 7, route tables to restore 7, peering pairs to re" in out
    assert len(arm.write_requests()) == requests and files_under(tmp_path / "output") == files


class Terminal(io.StringIO):
    def isatty(self):
        return True

    def readline(self, *args):
        if self.getvalue() == "\x03":  # Ctrl-C at the question
            raise KeyboardInterrupt
        return super().readline(*args)


@pytest.mark.parametrize(
    "options, answer, status, said",
    [
        ((), "y\n", 0, "Apply this plan? [y/n] (n): "),
        ((), "n\n", 2, "the plan was not approved"),
        ((), "", 2, "the plan was not approved"),  # end of input
        ((), "\x03", 2, "the plan was not approved"),
        ((), None, 2, "no terminal to ask for approval on; pass --yes"),
        (("--yes",), None, 0, ""),
        # --force drops unreverted records: listed, and asked on a terminal, --yes or not
        (("--force",), None, 2, "no terminal to ask for approval on; pass --yes"),
        (("--force",), "y\ny\n", 0, "Drop the records listed above of vn-data? (the state"),
        (("--force", "--yes"), "n\n", 2, "nothing was changed: the records were not dropped"),
        (("--force", "--yes"), None, 0, "--force drops the records of vn-data; the state file"),
        # The plan is saved before the question: the file holds what was answered.
        (("--out-plan", "{tmp}/change.json"), "n\n", 2, "plan saved to {tmp}/change.json"),
    ],
)
def test_a_run_applies_its_plan_once_approved(
    arm, tmp_path, monkeypatch, capsys, options, answer, status, said
):
    options = [o.format(tmp=tmp_path) for o in options]
    said = said.format(tmp=tmp_path)
    if "--force" in options:  # a revert that could not put the hub's lock back
        assert switch(arm, "--vnet", "vn-data") == 0
        arm.faults.add(Fault(method="PUT", resource="locks/hub-do-not-delete", status=403))
        assert switch(arm, "--vnet", "vn-data", "--revert") == 1
        arm.faults.clear()
    state = kept(arm)
    writes = len(changes(arm))
    if answer is not None:
        monkeypatch.setattr(sys, "stdin", Terminal(answer))
    capsys.readouterr()
    assert main(["--config", arm.config_file, "--vnet", "vn-data", *options]) == status
    err = capsys.readouterr().err
    assert said in err and "vn-data: forward run" in err  # the plan comes first
    if "--force" in options:
        assert DROPPED in err
        copies = glob.glob(arm.state_file + ".dropped-*")
        assert [open(c, "rb").read() for c in copies] == ([] if status else [state])
    assert (kept(arm) == state) == bool(status)
    if status:
        assert len(changes(arm)) == writes


def test_a_hub_without_credential_stops_the_run_before_any_change(tmp_path, capsys):
    with start(tmp_path) as arm:
        with open(arm.config_file, encoding="utf-8") as handle:
            config = yaml.safe_load(handle)
        del config["subscriptions"][demo.HUB]
        with open(arm.config_file, "w", encoding="utf-8") as handle:
            yaml.safe_dump(config, handle)
        assert switch(arm) == 2
        err = capsys.readouterr().err
        for peering in ("app-to-hub", "data-to-hub"):
            assert (
                f"peering {peering} leads to /subscriptions/{demo.HUB}/resourceGroups/rg-hub/"
                f"providers/Microsoft.Network/virtualNetworks/vn-hub: its subscription "
                f"{demo.HUB} is not under 'subscriptions'"
            ) in err
        assert changes(arm) == []
        assert not os.path.exists(arm.state_file)


def test_a_peering_without_its_partner_end_stops_the_run_before_any_change(tmp_path, capsys):
    topology = demo.sample_topology()
    hub = topology["subscriptions"][demo.HUB]["resource_groups"]["rg-hub"]
    del hub["virtual_networks"]["vn-hub"]["peerings"]["hub-to-app"]  # deleted by hand
    with start(tmp_path, topology) as arm:
        assert switch(arm, "--vnet", "vn-app") == 2
        err = capsys.readouterr().err
        assert "peering app-to-hub leads to " in err
        assert "it is Initiated: its end in vn-hub is gone" in err
        assert "IncompletePlan" not in err
        assert changes(arm) == []


@pytest.mark.parametrize(
    "hubs, started",
    [
        # Listed hub by hub, started alternating over the hubs.
        ({"a": "1", "b": "1", "c": "1", "d": "2", "e": "2"}, "adbec"),
        # A VNet of two hubs waits for its turn on both, and no VNet of either overtakes it;
        # one without a hub waits for nothing.
        ({"a": "1", "b": "12", "c": "2", "d": "2", "e": ""}, "aebcd"),
    ],
)
def test_vnets_start_spread_over_their_hubs_in_their_order_per_hub(hubs, started):
    vnets = [SimpleNamespace(name=name) for name in hubs]
    spread = plan.spread_over_hubs(vnets, {name: set(own) for name, own in hubs.items()})
    assert "".join(v.name for v in spread) == started


# -- a resumed run's plan is what the run then does ---------------------------------------------

SPOKES_NET = f"/subscriptions/{demo.SPOKES}/resourceGroups/rg-spokes/providers/Microsoft.Network"


def with_unstaged_app_subnet(topology):
    group = topology["subscriptions"][demo.SPOKES]["resource_groups"]["rg-spokes"]
    group["route_tables"]["rt-legacy"] = {}
    subnets = group["virtual_networks"]["vn-app"]["subnets"]
    subnets["legacy"] = {"address_prefix": "10.1.9.0/24", "route_table": "rt-legacy"}
    return topology


def stage_legacy_copy(arm):
    answer = requests.put(
        f"{arm.endpoint}{SPOKES_NET}/routeTables/rt-legacy-lf",
        json={"location": "westus", "tags": {"vnet": "vn-app", "Org_RT": "org_rt-legacy"}},
        params={"api-version": "2024-05-01"},
        headers={"Authorization": f"Bearer {demo.TOKEN}"},
        verify=arm.ca_file,
    )
    assert answer.status_code in (200, 201)


def table_staged_since(arm, monkeypatch):
    assert switch(arm, "--vnet", "vn-app") == 1  # legacy lacks a staged copy
    stage_legacy_copy(arm)
    return ("--vnet", "vn-app")


def pair_half_there(arm, monkeypatch):
    spoke_end = "virtualNetworkPeerings/app-to-hub"
    arm.faults.add(Fault(method="DELETE", resource=spoke_end, status=403))
    assert switch(arm, "--vnet", "vn-app") == 1
    return ("--vnet", "vn-app")


def interrupted_after_deleting(arm, monkeypatch):
    delete = steps.peerings.STEP.forward

    def deleted_then_interrupted(*args):
        delete(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(steps.peerings.STEP, "forward", deleted_then_interrupted)
    assert switch(arm, "--vnet", "vn-app") == 130
    monkeypatch.undo()
    return ("--vnet", "vn-app")


def lock_of_a_vnet_that_stops(arm, monkeypatch):
    # vn-app stops at its switch again; vn-data goes on and removes the hub's lock.
    arm.faults.add(Fault(method="PUT", resource="subnets/sql", status=403))
    assert switch(arm) == 1
    return ()


def revert_interrupted_after_re_creating(arm, monkeypatch):
    assert switch(arm, "--vnet", "vn-app") == 0
    create = steps.peerings.STEP.revert

    def created_then_interrupted(*args):
        create(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(steps.peerings.STEP, "revert", created_then_interrupted)
    assert switch(arm, "--revert", "--vnet", "vn-app") == 130
    monkeypatch.undo()
    return ("--revert", "--vnet", "vn-app")


# How the run stopped: its topology, the stop, and what the resumed plan says of a row.
STOPPED = {
    "table staged since": (with_unstaged_app_subnet, table_staged_since, ""),
    "pair half there": (None, pair_half_there, "half there: app-to-hub in vn-app Disconnected"),
    "interrupted after deleting": (None, interrupted_after_deleting, ""),
    "lock of a VNet that stops": (with_unstaged_app_subnet, lock_of_a_vnet_that_stops, ""),
    "revert interrupted after re-creating": (None, revert_interrupted_after_re_creating, ""),
}


def item_key(change):
    """The item of a plan row as the state file names it."""
    return change.item.split(" <-> ")[0].split(" on ")[0]


def locks_changed(arm):
    """The hub locks each VNet's records say its runs removed, and those put back."""
    changed = set()
    for vnet, entry in state_of_run(arm).items():
        forward = entry["forward"].get("delete-peerings", {})
        for lock in forward.get("records", {}).get("locks", []):
            changed.add((vnet, "delete-peerings", f"lock {lock['name']}", "removed"))
        for key, item in (
            entry.get("revert", {}).get("delete-peerings", {}).get("items", {}).items()
        ):
            if key.startswith("lock ") and item["status"] == "done":
                changed.add((vnet, "delete-peerings", key, "put back"))
    return changed


def state_of_run(arm):
    with open(arm.state_file, encoding="utf-8") as handle:
        return {key.rsplit("/", 1)[-1]: entry for key, entry in json.load(handle)["vnets"].items()}


def recording(step, real, changed):
    """The step's change, noting each item it is handed."""

    def recorded(run, records, pending, *rest):
        changed.update((run.name, step.name, name) for name in pending)
        real(run, records, pending, *rest)

    return recorded


@pytest.mark.parametrize("stopped", STOPPED)
def test_a_resumed_plan_shows_what_the_run_then_changes(tmp_path, monkeypatch, capsys, stopped):
    topology, stop, said = STOPPED[stopped]
    with start(tmp_path, topology and topology(demo.sample_topology())) as arm:
        resumed = stop(arm, monkeypatch)
        change = "revert" if "--revert" in resumed else "forward"
        arm.faults.clear()
        locks_before = locks_changed(arm)
        planned, changed = [], set()
        show = views.show_plan
        monkeypatch.setattr(
            views, "show_plan", lambda p, *a, **kw: (planned.append(p), show(p, *a, **kw))
        )
        for step in steps.order.ORDER:
            monkeypatch.setattr(step, change, recording(step, getattr(step, change), changed))
        capsys.readouterr()
        switch(arm, *resumed)
        assert said in capsys.readouterr().err

        changed |= {lock[:3] for lock in locks_changed(arm) - locks_before}
        assert {
            (vnet.name, change.step, item_key(change))
            for vnet in planned[0].vnets
            for change in vnet.changes
            if change.item != "-"  # a step with nothing to change
        } == changed


def planned_rows(vnets):
    """{VNet: its rows} of a saved plan's (or a JSON result's plan's) VNets."""
    return {
        v["name"]: [(i["step"], i["item"], i["before"], i["after"]) for i in v["items"]]
        for v in vnets
    }


def test_a_saved_plan_is_applied_as_approved(arm, tmp_path, capsys):
    path = str(tmp_path / "change.json")
    assert main(["--config", arm.config_file, "--dry-run", "--out-plan", path]) == 0
    with open(path, encoding="utf-8") as handle:
        assert planned_rows(json.load(handle)["vnets"]) == FORWARD
    assert arm.write_requests() == []
    capsys.readouterr()
    # No terminal and no --yes: the file is what was approved. One VNet at a time, so that the
    # hub's lock is removed by the VNet the plan shows it in.
    assert main(["--config", arm.config_file, "--plan", path, "--parallel", "1"]) == 0
    assert capsys.readouterr().out.endswith(
        "  total: subnets switched 7, route tables changed 7, peerings deleted 2, pending 0, "
        "errors 0\n"
    )
    # What the run changed, and nothing else, is what the revert now finds to put back.
    assert switch(arm, "--revert", "--dry-run", "-o", "json") == 0
    document = json.loads(capsys.readouterr().out)
    assert document["dry_run"] and not any(v["completed"] for v in document["vnets"])
    assert {v: sorted(rows) for v, rows in planned_rows(document["plan"]["vnets"]).items()} == {
        vnet: reverted(rows) for vnet, rows in FORWARD.items()
    }


def edit_config(arm):
    with open(arm.config_file, "a", encoding="utf-8") as handle:
        handle.write("# edited\n")


def remove_hub_lock(arm):
    with arm.state.lock:
        arm.state.remove(next(rid for rid in arm.snapshot() if rid.endswith("/hub-do-not-delete")))


@pytest.mark.parametrize(
    "made_with, move, applied_with, said",
    [
        ((), edit_config, (), "the configuration "),
        (
            (),
            lambda arm: state.StateFile(arm.state_file).start_forward("s/rg/vn-other"),
            (),
            "was written since (revision 0 when planned, now 1)",
        ),
        (
            ("--vnet", "vn-data"),
            remove_hub_lock,
            ("--vnet", "vn-data"),
            "vn-data: delete-peerings lock hub-do-not-delete on vn-hub: planned (CanNotDelete "
            "lock -> removed), now nothing to do",
        ),
        ((), None, ("--vnet", "vn-data"), "VNets: the plan is for vn-app, vn-data, this run for "),
        ((), None, ("--revert",), "direction: the plan is for forward, this run for revert"),
        ((), None, ("--force",), "--force: the plan is for off, this run for on"),
    ],
)
def test_a_saved_plan_is_refused_when_anything_moved_since(
    arm, tmp_path, capsys, made_with, move, applied_with, said
):
    path = str(tmp_path / "change.json")
    assert switch(arm, "--dry-run", "--out-plan", path, *made_with) == 0
    if move:
        move(arm)
    before, kept_state = arm.snapshot(), kept(arm)
    capsys.readouterr()
    assert switch(arm, "--plan", path, *applied_with) == 2
    err = capsys.readouterr().err
    assert f"--plan {path}: " in err and said in err and "Traceback" not in err
    assert arm.snapshot() == before and kept(arm) == kept_state


def vnet_plan(name, hub, subnets, pairs, lock=False):
    rows = [Change("switch-subnets", f"s{i}", "rt", "rt-lf", "subnets") for i in range(subnets)]
    rows += [
        Change("switch-subnets", "x", "rt-x", "stays: lacks a staged copy of rt-x"),
        Change("propagation-off", "rt-lf", "propagation on", "propagation off", "tables"),
        Change("remote-gateway-off", "to-hub", "uses the remote gateway", "does not use it"),
    ]
    rows += [
        Change("delete-peerings", f"p{i}", "peered", "deleted", "peerings") for i in range(pairs)
    ]
    rows += [Change("delete-peerings", "lock", "CanNotDelete lock", "removed")] * lock
    return plan.VnetPlan(name, name, rows, hubs=[hub])


@pytest.mark.parametrize(
    "vnets, parallel",
    [
        ([("a", "HUB-1", 2, 1, True)], 1),  # the chain: 20 + 5 + 15 s, then 20 s and the lock
        # The second VNet queues for the hub: the limit's hub bound.
        ([("a", "hub-1", 2, 1, True), ("b", "hub-1", 2, 1, False)], 2),
        # Two hubs, one worker: one chain after the other, the limit's slot bound.
        ([("a", "hub-1", 2, 1, True), ("b", "hub-2", 3, 2, True)], 1),
        # More VNets than workers, spread over the hubs: the wave bound.
        ([(n, f"hub-{n in 'ab'}", 2, 1, False) for n in "abcd"], 2),
    ],
)
def test_the_estimate_of_azures_waits_alone_is_the_lower_limit_where_that_is_tight(vnets, parallel):
    planned = plan.Plan(False, [vnet_plan(*vnet) for vnet in vnets])
    waits = Assumed.waits_only(typical_durations.AZURE, typical_durations.POLL_INTERVAL)
    estimated = estimate(planned, parallel, waits)
    works = [work_of(v) for v in planned.vnets]
    locked = {w.hub for w in works if w.locks}
    limit = lower_limit(works, locked, parallel, False, waits)
    assert estimated.estate == pytest.approx(limit.seconds)
    alone = [lower_limit([w], {w.hub} if w.locks else set(), 1, False, waits) for w in works]
    assert list(estimated.vnets.values()) == pytest.approx([a.seconds for a in alone])


def test_a_requests_cost_grows_with_the_workers_and_the_peerings_hold_the_hubs_turn():
    """Two VNets of one hub, 71 requests each (12 of them in the peering step), 10 ms a request
    alone and 2 ms more per other worker: alone 60 s of waits + 0.71 s; at 2 workers 40 s + 59
    requests of 12 ms before the hub, whose turn each holds for 20 s + 12 requests of 12 ms."""
    waits = Assumed.waits_only(typical_durations.AZURE, typical_durations.POLL_INTERVAL)
    assumed = dataclasses.replace(waits, request=0.01, contention=0.002)
    planned = plan.Plan(False, [vnet_plan(n, "hub-1", 2, 1) for n in "ab"])
    estimated = estimate(planned, 2, assumed)
    assert estimated.vnets == pytest.approx({"a": 60.71, "b": 60.71})
    before, turn = 40 + 59 * 0.012, 20 + 12 * 0.012
    assert estimated.estate == pytest.approx(before + 2 * turn)
