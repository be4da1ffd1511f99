"""The plan of a run against the strict emulator: built read-only, shown as a table per VNet,
approved on a terminal or with --yes; the dry run prints it and writes nothing."""

import io
import os
import re
import sys
from types import SimpleNamespace

import pytest
import yaml
from test_driver import start, switch

from qn.arm import typical_durations
from qn.arm.switch_traffic import demo, plan
from qn.arm.switch_traffic.cli import main
from qn.arm.switch_traffic.estimate import Assumed, estimate, lower_limit, work_of
from qn.arm.switch_traffic.records import Change

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
        # --force throws unreverted records away: asked like any run
        (("--force",), None, 2, "no terminal to ask for approval on; pass --yes"),
        (("--force",), "y\n", 0, "the records of its earlier forward run, not reverted"),
    ],
)
def test_a_run_applies_its_plan_once_approved(
    arm, monkeypatch, capsys, options, answer, status, said
):
    if "--force" in options:
        assert switch(arm, "--vnet", "vn-data") == 0
    state = kept(arm)
    writes = len(arm.write_requests())
    if answer is not None:
        monkeypatch.setattr(sys, "stdin", Terminal(answer))
    capsys.readouterr()
    assert main(["--config", arm.config_file, "--vnet", "vn-data", *options]) == status
    err = capsys.readouterr().err
    assert said in err and "vn-data: forward run" in err  # the plan comes first
    assert (kept(arm) == state) == bool(status)
    if status:
        assert len(arm.write_requests()) == writes


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
        assert arm.write_requests() == []
        assert not os.path.exists(arm.state_file)


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
