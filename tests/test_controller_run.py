"""The whole move with the controller: both emulators, forward and back, and the controller's
faults (a refusal, an expired session, the controller unreachable) met on either way."""

import re

import pytest
from test_driver import SCALE

from qn.arm.armsim import Emulator
from qn.arm.ctrlsim.faults import Refusal
from qn.arm.switch_traffic import demo, options
from qn.arm.switch_traffic.cli import main


@pytest.fixture
def both(tmp_path):
    """The sample in both emulators, and the run's configuration with the controller."""
    with (
        Emulator(demo.sample_topology(), token=demo.TOKEN, time_scale=SCALE) as arm,
        demo.controller_for(arm, time_scale=SCALE) as ctrl,
        options.scaled(SCALE),
        demo.password_set(),
    ):
        config = demo.demo_config(arm, str(tmp_path), ctrl)
        yield arm, ctrl, ["--config", config, "--yes"]


def back_as_before(arm, ctrl, before):
    """Azure as before the forward run, and the controller with nothing attached."""
    assert demo.differences(before, arm.snapshot()) == []
    assert ctrl.attachments() == {} and ctrl.domain_attachments(demo.DOMAIN) == []


def test_the_spokes_move_onto_the_transit_and_back(both, tmp_path, capsys):
    arm, ctrl, run = both
    before = arm.snapshot()
    report = tmp_path / "forward.md"
    assert main([*run, "--report", str(report)]) == 0
    out = capsys.readouterr().out
    # The audit record has each change asked of the controller, with its answer.
    board = report.read_text()
    for action in ("attach_spoke_to_transit_gw", "associate_attachment_to_multi_cloud_security"):
        assert len(re.findall(rf"\| controller \| {action}\w* \| `\w+=.+` \| 200 \| ", board)) == 2
    assert "total: subnets switched 7, route tables changed 7, peerings deleted 2, spokes " in out
    assert "spokes attached 2, domains joined 2, pending 0, errors 0" in out
    attached = ctrl.attachments()
    assert sorted(attached) == sorted(demo.SPOKE_GATEWAYS.values())
    assert all(transit == demo.TRANSIT for transit, _ in attached.values())
    assert sorted(ctrl.domain_attachments(demo.DOMAIN)) == sorted(attached)
    routed = [
        table
        for key, table in arm.snapshot().items()
        if "/routeTables/" in key and any(r["name"].startswith("lumaflow-") for r in table.get(
            "properties", {}).get("routes", ()))
    ]  # fmt: skip
    assert len(routed) == 7  # every staged and main table of both spokes carries its routes

    assert main([*run, "--revert"]) == 0
    assert "spokes detached 2, domains left 2, pending 0, errors 0" in capsys.readouterr().out
    back_as_before(arm, ctrl, before)


def refuse_attachment(arm, ctrl):
    ctrl.faults.add(Refusal("attach_spoke_to_transit_gw", "Transit gateway is full.", times=None))


def expire_during_run(arm, ctrl):
    ctrl.faults.add(Refusal("associate_attachment_to_multi_cloud_security_domain",
                            "CID is invalid or expired.", times=1))  # fmt: skip


@pytest.mark.parametrize(
    "fault, forward, status, said",
    [
        # Refused: the run stops before any subnet moves onto a table without the routes.
        (refuse_attachment, True, 1, "stopped: attach-transit has 6 pending item(s)"),
        # The session expired: logged in again once, and the request sent again.
        (expire_during_run, True, 0, "Controller session expired; logging in again as"),
        # Unreachable before the run: the plan refuses it, nothing is changed.
        (lambda arm, ctrl: ctrl.stop(), True, 2, "the controller: controller at"),
        # Unreachable on the way back: Azure is restored all the same, the controller's items
        # stay pending.
        (
            lambda arm, ctrl: ctrl.stop(),
            False,
            1,
            "security-domain vn-app-spokes-gw in prod: domain",
        ),
    ],
    ids=["refusal", "expired session", "unreachable forward", "unreachable revert"],
)
def test_the_controllers_faults_never_cut_traffic_nor_block_the_way_back(
    both, tmp_path, capsys, fault, forward, status, said
):
    arm, ctrl, run = both
    before = arm.snapshot()
    if not forward:
        assert main(run) == 0
    fault(arm, ctrl)
    assert main(run if forward else [*run, "--revert"]) == status
    assert said in capsys.readouterr().err
    if status == 2:  # refused before any change: no state, no lock file, no output directory
        assert not (tmp_path / "output").exists()
    if status and forward:  # no subnet moved, no peering to the hub taken away
        assert not [k for k in demo.differences(before, arm.snapshot()) if "/subnets/" in k]
        assert any(k.endswith("/hub-to-app") for k in arm.snapshot())
    if not forward:  # Azure's side is back; the controller's attachment still stands
        changed = demo.differences(before, arm.snapshot())
        assert changed and not [k for k in changed if "/subnets/" in k or "/vn-hub" in k]

    ctrl.faults.clear()
    ctrl.start()  # back, where it was stopped
    if forward and status:  # the forward run goes on where it stopped
        assert main(run) == 0
    assert main([*run, "--revert"]) == 0
    back_as_before(arm, ctrl, before)
