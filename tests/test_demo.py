"""The demo with its controller: the configuration it writes, what it shows of an attachment
in the controller and in Azure, and its check that both are back as they were."""

import logging
import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from qn.arm.armsim import Emulator
from qn.arm.switch_traffic import demo
from qn.arm.switch_traffic.cli import main
from qn.arm.switch_traffic.config import load_config

SCALE = 0.001  # Azure's and the controller's typical durations shrunk a thousand times
APP_GW = demo.SPOKE_GATEWAYS["vn-app"]


@pytest.fixture
def sample(monkeypatch):
    monkeypatch.setenv(demo.PASSWORD_ENV, demo.controller_password())
    with (
        Emulator(demo.sample_topology(), token=demo.TOKEN, profile="instant") as arm,
        demo.controller_for(arm, profile="instant") as ctrl,
    ):
        yield arm, ctrl


@pytest.mark.parametrize("with_controller", [False, True])
def test_the_configuration_names_the_controller_only_when_given_one(
    sample, tmp_path, with_controller
):
    arm, ctrl = sample
    config = load_config(demo.demo_config(arm, str(tmp_path), ctrl if with_controller else None))
    if not with_controller:
        assert config.controller is None and not config.transit_enabled
        assert not config.configure_gw_name and config.vnets[0].spoke_gw_name is None
        return
    assert config.controller is not None and config.controller.endpoint == ctrl.endpoint
    assert (config.transit_enabled, config.transit_gateway) == (True, demo.TRANSIT)
    assert (config.configure_gw_name, config.domain) == (True, demo.DOMAIN)
    known = {g.name for g in demo.read_controller(demo.session_for(ctrl)).spokes}
    assert {v.spoke_gw_name for v in config.vnets} == known


def test_what_the_demo_shows_of_an_attachment_and_what_it_finds_left(sample, caplog):
    arm, ctrl = sample
    session, log = demo.session_for(ctrl), logging.getLogger("test_demo")
    azure_before, before = arm.snapshot(), demo.read_controller(session)
    # Across the two subscriptions, with the controller's own principal.
    session.attach_spoke(APP_GW, demo.TRANSIT, ["rt-web-lf"])
    session.associate(demo.DOMAIN, APP_GW)

    with caplog.at_level(logging.INFO):
        demo.show_moved(log, demo.read_controller(session), arm.snapshot())
        assert not demo.controller_back(log, before, demo.read_controller(session))
    shown = caplog.text
    attached = f"attached to {demo.TRANSIT}, managing rt-web-lf; security domain {demo.DOMAIN}"
    assert f"Controller: {APP_GW} {attached}" in shown
    assert f"Azure: vn-app peered with vn-transit by lumaflow-{demo.TRANSIT}: Connected" in shown
    assert "Azure: rt-web-lf routes 10.0.0.0/8 -> 10.1.255.4, 172.16.0.0/12 -> 10.1.255.4" in shown
    assert f"Controller: {demo.SPOKE_GATEWAYS['vn-data']} not attached" in shown
    assert f"security domain {demo.DOMAIN} holds {APP_GW}\n" in shown
    assert f"{APP_GW}: now attached to {demo.TRANSIT}" in shown
    assert f"security domain {demo.DOMAIN}: ['{APP_GW}'], was []" in shown

    session.detach_spoke(APP_GW)
    assert demo.controller_back(log, before, demo.read_controller(session))
    assert demo.azure_back(log, azure_before, arm.snapshot())


def test_the_demo_moves_the_spokes_with_their_controller_and_back(capsys, monkeypatch):
    monkeypatch.setattr(demo, "TIME_SCALE", SCALE)
    monkeypatch.delenv(demo.PASSWORD_ENV, raising=False)
    assert main(["--demo"]) == 0
    err = capsys.readouterr().err
    for gateway, table, hop in (
        (APP_GW, "rt-web-lf", "10.1.255.4"),
        (demo.SPOKE_GATEWAYS["vn-data"], "rt-data-lf", "10.2.255.4"),
    ):
        assert f"Controller: {gateway} attached to {demo.TRANSIT}, managing " in err
        assert f"Azure: {table} routes 10.0.0.0/8 -> {hop}" in err
    assert f"by lumaflow-{demo.TRANSIT}: Connected" in err
    (members,) = re.findall(rf"security domain {demo.DOMAIN} holds (.*)", err)
    assert sorted(members.split(", ")) == sorted(demo.SPOKE_GATEWAYS.values())
    assert "The controller is back as it was before the forward run" in err
    assert demo.PASSWORD_ENV not in os.environ


TOPOLOGY = Path(demo.__file__).with_name("demo_topology.yaml")
SERVED = {  # what serves the sample, and the line before its configuration's path
    "armsim": (
        [sys.executable, "-m", "qn.arm.armsim", "--topology", str(TOPOLOGY), "--token", "armsim"],
        "armsim: ",
    ),
    "demo --keep": ([sys.executable, "-m", "qn.arm.switch_traffic", "--demo", "--keep"], "INFO"),
}


@pytest.mark.parametrize("served", SERVED)
def test_what_a_newcomer_is_given_to_run_next_runs(served, tmp_path, monkeypatch):
    """The configuration the emulator, or the kept demo, prints is one the tool plans with as
    it stands, and the command ends cleanly when stopped."""
    monkeypatch.setenv(demo.PASSWORD_ENV, demo.controller_password())
    command, prefix = SERVED[served]
    with subprocess.Popen(
        [*command, "--port", "0", "--cert-dir", "."] if served == "armsim" else command,
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    ) as server:
        # A command that never says where its configuration is would keep the test waiting.
        threading.Timer(120, server.kill).start()
        try:
            config = next(
                line.split()[-1]
                for line in server.stdout
                if line.startswith(prefix)
                and "configuration" in line.lower()
                and line.rstrip().endswith(".yaml")
            )
            if served == "demo --keep":  # the demo's own runs first; then its offer to go on
                next(line for line in server.stdout if "In another terminal" in line)
            planned = subprocess.run(
                [sys.executable, "-m", "qn.arm.switch_traffic", "--config", config, "--dry-run"],
                cwd=tmp_path,
                capture_output=True,
                text=True,
                timeout=120,
            )
        finally:
            server.send_signal(signal.SIGINT)
        assert server.wait(timeout=30) == 0
    assert planned.returncode == 0, planned.stderr[-2000:]
    assert "vn-app: forward run" in planned.stdout and "vn-data: forward run" in planned.stdout
