"""One run per VNet whatever its state file: the run's claim on its VNets in Azure, refused
while another run holds it, released whatever the run's outcome, and the release of a stale
one."""

import contextvars
import dataclasses
import os
import signal
import socket
import subprocess
import sys
import threading
from urllib.parse import urlsplit

import pytest
from test_driver import APP_ID, start
from test_driver import switch as run

from qn.arm.armsim import Fault
from qn.arm.switch_traffic import adapter, claim, demo, report
from qn.arm.switch_traffic.cli import main
from qn.arm.switch_traffic.config import load_config

DATA_ID = APP_ID.replace("vn-app", "vn-data")
OWN_TAGS = {"owner": "network", "cost-centre": "4711"}
TAGS_PATH = "/providers/Microsoft.Resources/tags/default"


@pytest.fixture
def arm(tmp_path):
    topology = demo.sample_topology()
    spokes = topology["subscriptions"][demo.SPOKES]["resource_groups"]["rg-spokes"]
    for vnet in spokes["virtual_networks"].values():
        vnet["tags"] = dict(OWN_TAGS)
    with start(tmp_path, topology) as emulator:
        yield emulator


def tags_of(arm, vnet_id=APP_ID):
    with arm.state.lock:
        return dict(arm.state.get(vnet_id).tags or {})


def plant(arm, holder, vnet_id=APP_ID):
    """Another run's claim on the VNet, as its write would leave it."""
    with arm.state.lock:
        resource = arm.state.get(vnet_id)
        resource.tags = {**(resource.tags or {}), holder.tag_name: holder.tag_value}


def holder(pid=None, host=None, run_id="first-run"):
    return claim.Claim(
        run_id=run_id,
        by=f"alice@{host or socket.gethostname()}",
        pid=os.getpid() if pid is None else pid,
        since="2026-12-09T01:00:00Z",
        state="/elsewhere/switch-traffic-state.json",
    )


def ended_pid():
    process = subprocess.Popen([sys.executable, "-c", "pass"])
    process.wait()
    return process.pid


def claims_seen_at_first_subnet_write(arm, monkeypatch, interrupt=False):
    """Hooks the emulator: the claims on both VNets as the run's first subnet write arrives
    (and a Ctrl-C then, if asked)."""
    serve, seen = arm.handle, {}

    def hooked(method, target, headers, body):
        if method == "PUT" and "/subnets/" in urlsplit(target).path and not seen:
            seen.update({v: claim.claims_in(tags_of(arm, v)) for v in (APP_ID, DATA_ID)})
            if interrupt:
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", hooked)
    return seen


@pytest.mark.parametrize(
    "options, fault, interrupt, status",
    [
        pytest.param([], None, False, 0, id="completed"),
        pytest.param(
            ["--parallel", "1"],
            {"method": "PUT", "resource": "subnets/sql", "status": 403, "times": None},
            False,
            1,
            id="failed",
        ),
        pytest.param([], None, True, 130, id="Ctrl-C"),
        pytest.param(["--revert"], None, False, 0, id="revert"),
    ],
)
def test_a_run_claims_its_vnets_while_it_runs_and_releases_them_whatever_its_outcome(
    arm, monkeypatch, capsys, options, fault, interrupt, status
):
    if "--revert" in options:
        assert run(arm) == 0
    if fault:
        arm.faults.add(Fault(**fault))
    seen = claims_seen_at_first_subnet_write(arm, monkeypatch, interrupt)
    assert run(arm, *options) == status
    err = capsys.readouterr().err
    assert "Traceback" not in err and "could not be released" not in err
    (held,) = seen[APP_ID]
    assert seen[DATA_ID] == [held]  # one claim, the run's, on each of its VNets
    assert held.by == f"{os.environ.get('USER') or held.by.split('@')[0]}@{socket.gethostname()}"
    assert held.pid == os.getpid() and held.state == os.path.abspath(arm.state_file)
    assert len(held.tag_name) <= claim.NAME_LIMIT and len(held.tag_value) <= claim.VALUE_LIMIT
    # Released, and the VNets' own tags as they were.
    assert tags_of(arm) == tags_of(arm, DATA_ID) == OWN_TAGS


@pytest.mark.parametrize("when", ["before", "at the same moment"])
def test_a_run_with_another_state_file_is_refused_while_another_run_holds_a_vnet(
    arm, tmp_path, monkeypatch, capsys, when
):
    first = holder()
    if when == "before":
        plant(arm, first)
    else:  # the other run's write lands between this run's write and its read-back
        serve = arm.handle

        def racing(method, target, headers, body):
            answer = serve(method, target, headers, body)
            if method == "PATCH" and urlsplit(target).path.endswith(TAGS_PATH):
                plant(arm, first)
            return answer

        monkeypatch.setattr(arm, "handle", racing)
    before = arm.snapshot()
    assert run(arm, "--state", str(tmp_path / "other.json"), "--vnet", "vn-app") == 2
    err = capsys.readouterr().err
    assert "vn-app is claimed by another run: run first-run of alice@" in err
    assert f"(process {os.getpid()}) since 2026-12-09T01:00:00Z" in err
    assert "state file /elsewhere/switch-traffic-state.json" in err
    assert f"switch-traffic release --config {arm.config_file} --vnet vn-app" in err
    # Nothing but its own claim was written, and that is gone again; the first one's stays.
    assert {path for _, path in arm.write_requests()} == {APP_ID + TAGS_PATH}
    assert arm.snapshot() == before or when != "before"
    assert tags_of(arm) == {**OWN_TAGS, first.tag_name: first.tag_value}


@pytest.mark.parametrize(
    "stale, force, released",
    [
        pytest.param(holder(), False, False, id="process alive here"),
        pytest.param(holder(), True, True, id="process alive here, --force"),
        pytest.param(holder(pid=ended_pid()), False, True, id="process ended here"),
        pytest.param(holder(host="build-7"), False, False, id="another machine"),
        pytest.param(holder(host="build-7"), True, True, id="another machine, --force"),
    ],
)
def test_release_takes_off_a_stale_claim_and_no_other_tag(arm, capsys, stale, force, released):
    plant(arm, stale)
    plant(arm, holder(run_id="another-run"), DATA_ID)
    command = ["release", "--config", arm.config_file, "--vnet", "vn-app"]
    assert main(command + (["--force"] if force else [])) == (0 if released else 2)
    err = capsys.readouterr().err
    assert ("released the claim of run first-run" in err) == released
    assert ("once that run has ended, release it with --force" in err) != released
    left = {} if released else {stale.tag_name: stale.tag_value}
    assert tags_of(arm) == {**OWN_TAGS, **left}
    assert len(claim.claims_in(tags_of(arm, DATA_ID))) == 1  # not named, not touched
    if released:
        assert run(arm, "--vnet", "vn-app") == 0


def test_a_dry_run_claims_nothing_and_warns_of_another_runs_claim(arm, capsys):
    first = holder(host="build-7")
    plant(arm, first)
    assert run(arm, "--dry-run", "--vnet", "vn-app") == 0
    assert "WARNING vn-app is claimed by another run: run first-run of alice@build-7" in (
        capsys.readouterr().err
    )
    assert arm.write_requests() == []
    assert tags_of(arm) == {**OWN_TAGS, first.tag_name: first.tag_value}


def test_a_claim_keeps_within_azures_tag_limits_and_reads_back_as_written():
    deep = "/srv/" + "migrations/" * 40 + "switch-traffic-state.json"
    written = holder()
    for state in (written.state, deep):
        taken = claim.Claim(written.run_id, written.by, written.pid, written.since, state)
        assert len(taken.tag_value) <= claim.VALUE_LIMIT
        read = claim.Claim.from_tag(taken.tag_name, taken.tag_value)
        assert read.state == state or read.state.startswith("...")
        assert read.state.endswith("/switch-traffic-state.json")
        assert dataclasses.replace(read, state=state) == taken


def test_a_release_that_fails_is_logged_with_the_command_that_does_it(arm, monkeypatch, capsys):
    seen = claims_seen_at_first_subnet_write(arm, monkeypatch)
    serve = arm.handle

    def refused_release(method, target, headers, body):
        if seen and method == "PATCH" and urlsplit(target).path.endswith(TAGS_PATH):
            arm.faults.add(Fault(method="PATCH", resource="tags/default", status=403, times=1))
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", refused_release)
    assert run(arm, "--vnet", "vn-app") == 0
    (held,) = seen[APP_ID]
    command = f"switch-traffic release --config {arm.config_file} --vnet vn-app --run {held.run_id}"
    assert (
        "could not be released: vn-app: PATCH of its tags (the run claim): AuthorizationFailed"
        in (err := capsys.readouterr().err)
    )
    assert f"release it with: {command} --force\n" in err
    assert claim.claims_in(tags_of(arm)) == [held]
    monkeypatch.undo()
    assert main(command.split()[1:] + ["--force"]) == 0
    assert tags_of(arm) == OWN_TAGS


def test_two_runs_claiming_at_the_same_moment_never_both_go_on(arm, monkeypatch):
    config = load_config(arm.config_file)
    both_written = threading.Barrier(2, timeout=10)
    serve = arm.handle

    def merges_land_together(method, target, headers, body):
        answer = serve(method, target, headers, body)
        if method == "PATCH" and b'"Merge"' in body:
            both_written.wait()  # neither reads back before the other's claim is there
        return answer

    monkeypatch.setattr(arm, "handle", merges_land_together)
    outcomes = {}

    def claim_as(run_id):
        held_by = claim.this_run(run_id, f"{run_id}.json")
        try:
            with claim.held(held_by, [config.vnet("vn-app")], arm.config_file, report.driver_log()):
                outcomes[run_id] = "went on"
        except claim.ClaimError as error:
            outcomes[run_id] = str(error)

    with adapter.point_tool_at(config):
        runs = [
            threading.Thread(target=contextvars.copy_context().run, args=(claim_as, run_id))
            for run_id in ("run-a", "run-b")
        ]
        for thread in runs:
            thread.start()
        for thread in runs:
            thread.join()
    assert sorted(outcomes) == ["run-a", "run-b"]
    # Both withdraw, unless one had withdrawn before the other read its claim back: then that
    # one goes on alone, which is as safe.
    refused = [said for said in outcomes.values() if said != "went on"]
    assert refused and all("vn-app is claimed by another run" in said for said in refused)
    assert tags_of(arm) == OWN_TAGS


def test_a_claim_azure_refuses_stops_the_run_before_anything_else(arm, capsys):
    arm.faults.add(Fault(method="PATCH", resource="tags/default", status=403, times=1))
    assert run(arm, "--vnet", "vn-app") == 2
    err = capsys.readouterr().err
    assert "switch-traffic: vn-app: PATCH of its tags (the run claim): AuthorizationFailed" in err
    assert "could not be released" not in err  # it was never written
    assert arm.write_requests() == [("PATCH", APP_ID + TAGS_PATH)] and tags_of(arm) == OWN_TAGS
