"""What the operator and a script see of the driver: the log on stderr and the result on stdout
(text or one JSON document), the HTTP traffic with --debug, Ctrl-C, the status view."""

import contextlib
import json
import os
import pty
import re
import select
import shlex
import signal
import subprocess
import sys
import threading
from pathlib import Path
from urllib.parse import urlsplit

import pytest
from test_driver import APP, APP_ID, DATA, changes, start, state_of
from test_driver import switch as run

from qn.arm.armsim import Fault
from qn.arm.switch_traffic import demo, interrupt, steps
from qn.arm.switch_traffic.cli import main

LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR")
SQL_REFUSED = {"method": "PUT", "resource": "subnets/sql", "status": 403, "times": None}
REQUEST_ID = re.compile(r"'x-ms-request-id': '([0-9a-f-]{36})'")
TAGS = "providers/Microsoft.Resources/tags/default"
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
            if document["dry_run"]:  # nothing done, whatever it would do
                assert vnet["would_complete"] and not vnet["completed"]
            else:
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
    # The write was answered, and nothing was sent after it but the release of the run's claim.
    assert hits and arm.requests[hits[0]][1].endswith(write[1])
    assert arm.requests[hits[0] + 1 :] == [("PATCH", f"{APP_ID}/{TAGS}")]
    # What the step is to change was kept before the write; its item was not read back.
    kept = state_of(arm)[APP]["revert" if direction else "forward"]
    step = (steps.peerings.STEP if direction else steps.switch.STEP).name
    assert "done" not in kept[step] and kept[step]["items"] == {}
    assert "records" in state_of(arm)[APP]["forward"][step]

    assert run(arm, *direction, *app) == 0
    if not direction:
        assert run(arm, "--revert", *app) == 0
    assert demo.differences(before, arm.snapshot()) == []


# The driver as a terminal starts it: whatever the test runner ignores, these end it by default.
DRIVER = (
    "import signal, sys\n"
    "for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP): signal.signal(s, signal.SIG_DFL)\n"
    "from qn.arm.switch_traffic.cli import main\n"
    "sys.exit(main(sys.argv[1:]))"
)


@pytest.mark.parametrize(
    "signum, name, status, twice",
    [
        (signal.SIGINT, "Ctrl-C", 130, False),
        (signal.SIGTERM, "SIGTERM", 143, False),
        (signal.SIGHUP, "SIGHUP", 129, False),
        (signal.SIGTERM, "SIGTERM", 143, True),
    ],
    ids=["SIGINT", "SIGTERM", "SIGHUP", "SIGTERM twice"],
)
def test_a_signal_stops_the_driver_after_the_write_in_flight(
    arm, tmp_path, monkeypatch, signum, name, status, twice
):
    before = arm.snapshot()
    log = tmp_path / "stderr.log"
    serve, hits, driver = arm.handle, [], []
    stopping = f"{name}: stopping once Azure answers the write in flight ({name} again stops"

    def logged(text):
        for _ in range(3000):
            if text in log.read_text(encoding="utf-8"):
                return
            threading.Event().wait(0.01)

    def signal_during(method, target, headers, body):
        if method == "PUT" and urlsplit(target).path.endswith("/subnets/web") and not hits:
            hits.append(len(arm.requests))
            driver[0].send_signal(signum)
            logged(stopping)  # the write is answered once the driver has taken the signal
            if twice:  # stops at once, without the answer
                driver[0].send_signal(signum)
                logged(f"stopped by {name}.")
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", signal_during)
    command = ["--config", arm.config_file, "--yes", "--vnet", "vn-app", "-o", "json"]
    with log.open("w", encoding="utf-8") as stderr:
        driver.append(
            subprocess.Popen(
                [sys.executable, "-c", DRIVER, *command], stdout=subprocess.PIPE, stderr=stderr
            )
        )
        out, _ = driver[0].communicate(timeout=120)
    monkeypatch.undo()
    err = log.read_text(encoding="utf-8")
    assert driver[0].returncode == status, err
    assert stopping in err and "Traceback" not in err
    assert f"switch-traffic: stopped by {name}.\n" in err
    assert f"to go on:  switch-traffic --config {arm.config_file} --vnet vn-app\n" in err
    assert json.loads(out)["exit_status"] == status
    # The write was sent (answered unless stopped at once), nothing was sent after it but the
    # release of the run's claim (which a run stopped at once sends before the write's answer),
    # and its step's records are on disk.
    sent = sorted(arm.requests[hits[0] :]) if hits else []
    assert [m for m, _ in sent] == ["PATCH", "PUT"] and sent[0][1] == f"{APP_ID}/{TAGS}"
    assert sent[1][1].endswith("/subnets/web")
    kept = state_of(arm)[APP]["forward"][steps.switch.STEP.name]
    assert "records" in kept and kept["items"] == {}

    assert run(arm, "--vnet", "vn-app") == 0
    assert run(arm, "--revert", "--vnet", "vn-app") == 0
    assert demo.differences(before, arm.snapshot()) == []


class Terminal:
    """A terminal whose output is read (and dropped) until it is closed."""

    def __init__(self) -> None:
        self.fd, self.attached = pty.openpty()
        self.closing = threading.Event()
        self.reader = threading.Thread(target=self.drain, daemon=True)
        self.reader.start()

    def drain(self) -> None:
        while not self.closing.is_set():
            if select.select([self.fd], [], [], 0.05)[0]:
                with contextlib.suppress(OSError):  # nothing attached yet
                    os.read(self.fd, 4096)
        os.close(self.fd)

    def close(self) -> None:
        self.closing.set()
        self.reader.join(timeout=10)


def test_a_terminal_closed_under_the_run_stops_it_as_sighup(arm, tmp_path, monkeypatch):
    # The live display and the result are on the terminal; it is gone when the run stops.
    terminal, log = Terminal(), tmp_path / "run.log"
    serve, hits = arm.handle, []

    def closed_during(method, target, headers, body):
        if method == "PUT" and urlsplit(target).path.endswith("/subnets/web") and not hits:
            hits.append(len(arm.requests))
            terminal.close()
            driver.send_signal(signal.SIGHUP)
            for _ in range(3000):
                if "SIGHUP: stopping once" in log.read_text(encoding="utf-8"):
                    break
                threading.Event().wait(0.01)
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", closed_during)
    command = ["--config", arm.config_file, "--yes", "--vnet", "vn-app", "-o", "json"]
    attached = terminal.attached
    driver = subprocess.Popen(
        [sys.executable, "-c", DRIVER, *command, "--log-file", str(log)],
        stdin=attached, stdout=attached, stderr=attached, start_new_session=True,
    )  # fmt: skip
    os.close(attached)
    assert driver.wait(timeout=120) == 129
    assert hits and arm.requests[hits[0] + 1 :] == [("PATCH", f"{APP_ID}/{TAGS}")]
    assert "records" in state_of(arm)[APP]["forward"][steps.switch.STEP.name]


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
            hits.append(len(changes(arm)))
        return serve(method, target, headers, body)

    monkeypatch.setattr(arm, "handle", ctrl_c_during)
    assert run(arm, "--parallel", "2") == 130
    monkeypatch.undo()
    assert "Ctrl-C: stopping once Azure answers the write in flight" in capsys.readouterr().err
    # After the stop, the operations under way are polled to their end, and no worker sent
    # another write but the one the other worker may have had under way (and the releases of
    # the run's claims).
    assert hits and len(changes(arm)) <= hits[0] + 1
    kept = state_of(arm)
    assert not any(entry["forward"].get("security-domain") for entry in kept.values())

    assert run(arm, "--revert", "--parallel", "2") == 0
    assert demo.differences(before, arm.snapshot()) == []


def test_status_and_the_next_plan_show_a_hub_lock_not_put_back_and_failed_reverts(
    arm, monkeypatch, capsys
):
    app = ("--vnet", "vn-app")
    step = steps.peerings.STEP
    real = step.forward

    def deleted_then_interrupted(*args):
        real(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(step, "forward", deleted_then_interrupted)
    assert run(arm, *app) == 130
    monkeypatch.undo()
    removed = "hub lock hub-do-not-delete (CanNotDelete) on vn-hub: removed by vn-app's run since "

    def undone():
        assert main(["status", "--state", arm.state_file]) == 0
        text = capsys.readouterr().out
        assert main(["status", "--state", arm.state_file, "-o", "json"]) == 0
        [vnet] = json.loads(capsys.readouterr().out)["vnets"]
        shown = re.findall(r"    left undone: (.*)", text)
        assert len(shown) == len(vnet["hub_locks_removed"]) + len(vnet["failed_reverts"])
        return shown, vnet

    capsys.readouterr()
    shown, vnet = undone()
    assert [line.split(" since ")[0] for line in shown] == [removed.split(" since ")[0]]
    assert vnet["hub_locks_removed"][0]["removed_by"] == APP
    assert run(arm, "--dry-run", *app) == 0
    assert f"\n  {removed}" in capsys.readouterr().out

    arm.faults.add(Fault(method="PUT", resource="locks/hub-do-not-delete", status=403))
    assert run(arm, "--revert", *app) == 1
    capsys.readouterr()
    shown, vnet = undone()
    assert shown[0].startswith(removed) and len(shown) == 2
    assert shown[1].startswith("revert failed at ") and "lock hub-do-not-delete: " in shown[1]
    assert run(arm, "--revert", "--dry-run", *app) == 0
    assert "\n  revert failed at " in capsys.readouterr().out

    arm.faults.clear()
    assert run(arm, "--revert", *app) == 0
    capsys.readouterr()
    assert undone()[0] == []
    attempts = state_of(arm)[APP]["revert_attempts"]
    assert [attempt["result"] for attempt in attempts] == ["failed", "done"]


AUDIT_CHANGE = re.compile(
    r"audit: Azure change (PUT|PATCH|DELETE) (/subscriptions/\S+): (\d+), "
    r"request ID ([0-9a-f-]{36})$",
    re.MULTILINE,
)


@pytest.mark.parametrize(
    "approval, ctrl_c, status, answer, outcome",
    [
        pytest.param(["--yes"], False, 0, "applied without asking (--yes)", "0 (done)", id="run"),
        pytest.param(
            [], False, 2, "not applied: nothing was changed: no terminal", "2 (refused)",
            id="refused",
        ),
        pytest.param(
            ["--yes"], True, 130, "applied without asking", "130 (interrupted)", id="ctrl-c"
        ),
    ],
)  # fmt: skip
def test_audit_record_in_log_file_and_report(
    arm, tmp_path, monkeypatch, capsys, approval, ctrl_c, status, answer, outcome
):
    log_file, report_file = tmp_path / "run.log", tmp_path / "board" / "run.md"
    report_file.parent.mkdir()
    if ctrl_c:
        serve = arm.handle

        def ctrl_c_at_first_write(method, target, headers, body):
            if method == "PUT" and "PUT" not in {m for m, _ in arm.write_requests()}:
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            return serve(method, target, headers, body)

        monkeypatch.setattr(arm, "handle", ctrl_c_at_first_write)
    argv = ["--config", arm.config_file, *approval, "--vnet", "vn-data"]
    argv += ["--log-file", str(log_file), "--report", str(report_file)]
    assert main(argv) == status
    assert "audit:" not in capsys.readouterr().err  # the console shows the run, not the record

    log, board = log_file.read_text(), report_file.read_text()
    assert f"audit: {shlex.join(['switch-traffic', *argv])}\n" in log
    correlation = re.search(r"correlation ID ([0-9a-f-]{36})\n", log)[1]
    assert f"| Correlation ID | `{correlation}` |" in board
    assert "audit:   Plan: subnets to switch 2" in log and "Plan: subnets to switch 2" in board
    assert f"audit: answer: {answer}" in log and f"Answer: {answer}" in board
    assert f"exit status {outcome}, correlation ID {correlation}\n" in log
    assert f"| Exit status | {outcome} |" in board
    # Each write Azure answered, with the request ID of its answer, in the order sent.
    changes = AUDIT_CHANGE.findall(log)
    assert [(method, path) for method, path, _, _ in changes] == arm.write_requests()
    assert len({request_id for *_, request_id in changes}) == len(changes)
    # A refused run changes nothing: it only takes its claim on the VNet and releases it.
    assert any(not path.endswith(TAGS) for _, path, _, _ in changes) == (status != 2)
    assert all(f"| `{path}` | {code} | {rid} |" in board for _, path, code, rid in changes)
    assert ("Summary (forward run):" in board) == (status == 0)
    assert ("## Errors" in board) == (status == 2)
    assert not list(report_file.parent.glob(".report-*"))  # written whole, in one rename
