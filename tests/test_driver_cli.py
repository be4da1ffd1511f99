"""What the operator and a script see of the driver: the log on stderr and the result on stdout
(text or one JSON document), the HTTP traffic with --debug, Ctrl-C, the status view."""

import json
import re
import shlex
import signal
import subprocess
import sys
import threading
from pathlib import Path
from urllib.parse import urlsplit

import pytest
from test_driver import APP, DATA, start, state_of
from test_driver import switch as run

from qn.arm.armsim import Fault
from qn.arm.switch_traffic import demo, interrupt, steps
from qn.arm.switch_traffic.cli import main

LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")
SQL_REFUSED = {"method": "PUT", "resource": "subnets/sql", "status": 403, "times": None}
REQUEST_ID = re.compile(r"'x-ms-request-id': '([0-9a-f-]{36})'")
CORRELATION_ID = re.compile(r"'x-ms-correlation-request-id': '([0-9a-f-]{36})'")


@pytest.fixture
def arm(tmp_path):
    with start(tmp_path) as emulator:
        yield emulator


def documented_result():
    """The result document shown in docs/switch-traffic.md."""
    page = (Path(__file__).parents[1] / "docs" / "switch-traffic.md").read_text(encoding="utf-8")
    return json.loads(re.search(r"^```\n(\{\n  \"version\": 1,.*?^\})$", page, re.M | re.S)[1])


def shape(value):
    """The keys of a document, all the way down; the first item stands for a list."""
    if isinstance(value, dict):
        return {k: shape(v) for k, v in value.items() if not isinstance(v, dict) or k != "pending"}
    if isinstance(value, list):
        return [shape(value[0])] if value and not isinstance(value[0], str) else []
    return type(value).__name__


def pending_in_state(arm, key, direction):
    """{step: {item: reason}} of the items the state file holds pending."""
    if not Path(arm.state_file).exists():  # a dry run keeps none
        return {}
    kept = state_of(arm).get(key, {}).get(direction, {})
    return {
        step: {n: i["reason"] for n, i in entry["items"].items() if i["status"] == "pending"}
        for step, entry in kept.items()
    }


@pytest.mark.parametrize(
    "options, fault, status, logged, step_states",
    [
        pytest.param(["--vnet", "vn-data"], None, 0, "INFO    [vn-data] forward", None, id="text"),
        pytest.param(
            ["--output", "json", "--vnet", "vn-data"],
            SQL_REFUSED,
            1,
            "**Error** [vn-data] stopped: before any propagation",
            {"vn-data": ["done", "done", "pending"] + ["not started"] * 4},
            id="json, a pending item",
        ),
        pytest.param(
            ["-o", "json", "--dry-run", "--vnet", "vn-data"],
            None,
            0,
            "\nPlan: ",  # the plan as well goes to stderr then
            {"vn-data": ["planned"] * 7},
            id="json, dry run",
        ),
        pytest.param(["-o", "json", "--revert"], None, 2, "no state file", {}, id="json, unusable"),
        pytest.param(["--log-file", "{tmp}/missing/run.log"], None, 2, "no directory", None),
    ],
)
def test_log_on_stderr_result_on_stdout(
    arm, tmp_path, capsys, options, fault, status, logged, step_states
):
    if fault:
        arm.faults.add(Fault(**fault))
    assert run(arm, *[o.format(tmp=tmp_path) for o in options]) == status
    out, err = capsys.readouterr()
    assert logged in err and "Traceback" not in err
    # `> /dev/null` hides no log line, errors and warnings included.
    assert not [line for line in out.splitlines() if line.startswith(LEVELS) or "**" in line]
    if step_states is not None:
        document = json.loads(out)  # stdout holds the one document, nothing else
        assert document["exit_status"] == status
        if document["vnets"] and not document["dry_run"]:
            assert shape(document) == shape(documented_result())
        assert {v["name"]: [s["status"] for s in v["steps"]] for v in document["vnets"]} == (
            step_states
        )
        if document.get("dry_run"):  # the plan's estimate: one VNet alone is the estate
            estimate = document["estimate"]
            assert list(estimate["vnets"]) == list(step_states) and estimate["parallel"] == 1
            assert estimate["seconds"] == max(estimate["vnets"].values()) > 0
        for vnet in document["vnets"]:
            held = pending_in_state(arm, vnet["id"], "forward")
            assert {s["step"]: s["pending"] for s in vnet["steps"] if s["pending"]} == {
                step: items for step, items in held.items() if items
            }
            assert vnet["pending"] == sum(map(len, held.values()))
            assert (vnet["errors"] > 0) == (not vnet["completed"])
        assert bool(document["errors"]) == (status != 0)
        assert all(e.splitlines()[0] in err for e in document["errors"])
    elif status == 0:
        assert out.startswith("Summary (forward run):\n")
        assert out.endswith(
            "  total: subnets switched 2, route tables changed 3, peerings deleted 1, pending 0, "
            "errors 0\n"
        )
    else:
        assert out == "" and arm.write_requests() == []


def test_debug_shows_every_request_with_its_ids_and_no_secret(arm, tmp_path, capsys):
    log_file = tmp_path / "run.log"
    seen = len(arm.requests)
    assert run(arm, "--debug", "--vnet", "vn-data", "--log-file", str(log_file)) == 0
    err = capsys.readouterr().err
    requests = len(arm.requests) - seen
    assert err.count("Request URL: ") == err.count("Response status: ") == requests
    assert err.count("'Authorization': 'REDACTED'") == requests
    assert "Bearer" not in err and demo.TOKEN not in err.replace("armsim:", "")
    assert len(set(REQUEST_ID.findall(err))) == requests  # Azure's ID of each request
    assert len(CORRELATION_ID.findall(err)) == requests  # and the run's, the same on each
    assert len(set(CORRELATION_ID.findall(err))) == 1
    assert log_file.read_text().count("Request URL: ") == requests

    # -v keeps its meaning: the tool's debug lines, no HTTP traffic.
    assert run(arm, "-v", "--revert", "--vnet", "vn-data") == 0
    err = capsys.readouterr().err
    assert re.search("^DEBUG   ", err, re.MULTILINE) and "Request URL" not in err


@pytest.mark.parametrize(
    "direction, write",
    [
        pytest.param([], ("PUT", "/subnets/web"), id="forward"),
        pytest.param(["--revert"], ("PUT", "/virtualNetworkPeerings/app-to-hub"), id="revert"),
    ],
)
def test_ctrl_c_stops_after_the_write_in_flight(arm, monkeypatch, capsys, direction, write):
    before = arm.snapshot()
    app = ("--vnet", "vn-app")
    if direction:
        assert run(arm, *app) == 0
        capsys.readouterr()
    serve, hits = arm.handle, []

    def ctrl_c_during(method, target, headers, body):
        if (method, urlsplit(target).path.endswith(write[1])) == (write[0], True) and not hits:
            hits.append(len(arm.requests))
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", ctrl_c_during)
    assert run(arm, *direction, *app) == 130
    monkeypatch.undo()
    out, err = capsys.readouterr()
    assert "Ctrl-C: stopping once Azure answers the write in flight" in err
    assert "Traceback" not in err and out == ""
    again = f"switch-traffic --config {arm.config_file} --vnet vn-app"
    assert f"to go on:  {again}{' --revert' if direction else ''}\n" in err
    assert (f"to move the traffic back instead:  {again} --revert" in err) == (not direction)
    # The write was answered, and nothing was sent after it.
    assert hits and arm.write_requests()[-1][1].endswith(write[1])
    assert len(arm.requests) == hits[0] + 1
    # What the step is to change was kept before the write; its item was not read back.
    kept = state_of(arm)[APP]["revert" if direction else "forward"]
    step = (steps.peerings.STEP if direction else steps.switch.STEP).name
    assert "done" not in kept[step] and kept[step]["items"] == {}
    assert "records" in state_of(arm)[APP]["forward"][step]

    assert run(arm, *direction, *app) == 0
    if not direction:
        assert run(arm, "--revert", *app) == 0
    assert demo.differences(before, arm.snapshot()) == []


def test_status_shows_each_step_done_pending_or_reverted(arm, tmp_path, capsys):
    arm.faults.add(Fault(**SQL_REFUSED))
    assert run(arm, "--parallel", "1") == 1  # the forward runs in the order of the file
    assert run(arm, "--revert", "--vnet", "vn-app") == 0
    capsys.readouterr()

    assert main(["status", "--state", arm.state_file]) == 0
    out = capsys.readouterr().out
    assert f"  vn-app ({APP}): reverted\n" in out
    assert "    delete-peerings        forward done, revert done\n" in out
    assert f"  vn-data ({DATA}): forward run unfinished\n" in out
    assert "    switch-subnets         forward pending\n      sql: on rt-data, not on " in out

    assert main(["status", "--config", arm.config_file, "--output", "json"]) == 0
    document = json.loads(capsys.readouterr().out)
    assert [(v["name"], v["status"]) for v in document["vnets"]] == [
        ("vn-app", "reverted"),
        ("vn-data", "forward run unfinished"),
    ]
    rows = {v["name"]: {r["step"]: r for r in v["steps"]} for v in document["vnets"]}
    assert all(r["forward"] == r["revert"] == "done" for r in rows["vn-app"].values())
    held = pending_in_state(arm, DATA, "forward")[steps.switch.STEP.name]
    assert rows["vn-data"][steps.switch.STEP.name]["pending"] == held and "sql" in held
    assert rows["vn-data"][steps.peerings.STEP.name]["forward"] == "not started"

    # A reader gone before the output (`| head`) ends it quietly, without a traceback.
    shown = subprocess.run(
        f"{shlex.quote(sys.executable)} -m qn.arm.switch_traffic status --state "
        f"{shlex.quote(arm.state_file)} -o json | true",
        shell=True, capture_output=True, text=True, check=True,
    )  # fmt: skip
    assert shown.stderr == ""

    assert main(["status", "--state", str(tmp_path / "none.json")]) == 2
    assert "no state file" in capsys.readouterr().err


@pytest.mark.parametrize("value", ["0", "-2", "four"])
def test_parallel_needs_a_whole_number_of_one_or_more(arm, capsys, value):
    with pytest.raises(SystemExit) as stopped:
        main(["--config", arm.config_file, "--yes", "--parallel", value])
    assert stopped.value.code == 2
    assert "argument --parallel: " in capsys.readouterr().err and arm.requests == []


def test_ctrl_c_stops_every_worker_and_revert_restores_all(arm, monkeypatch, capsys):
    before = arm.snapshot()
    serve, hits = arm.handle, []

    def ctrl_c_during(method, target, headers, body):
        if method == "PUT" and urlsplit(target).path.endswith("/subnets/web") and not hits:
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            while not interrupt.stopping():  # the signal reaches the main thread
                threading.Event().wait(0.01)
            hits.append(len(arm.write_requests()))
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", ctrl_c_during)
    assert run(arm, "--parallel", "2") == 130
    monkeypatch.undo()
    assert "Ctrl-C: stopping once Azure answers the write in flight" in capsys.readouterr().err
    # After the stop, the operations under way are polled to their end, and no worker sent
    # another write but the one the other worker may have had under way.
    assert hits and len(arm.write_requests()) <= hits[0] + 1
    kept = state_of(arm)
    assert not any(entry["forward"].get("security-domain") for entry in kept.values())

    assert run(arm, "--revert", "--parallel", "2") == 0
    assert demo.differences(before, arm.snapshot()) == []
