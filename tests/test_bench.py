"""The benchmarks measure the work they name: each scenario's run does all of its items, and
the end-to-end migration sends no request beyond those its steps' contracts call for. Nothing
here is timed."""

import dataclasses
import logging
from collections import Counter
from types import SimpleNamespace

import pytest

import qn.arm.switchlib as switchlib
from bench import end_to_end, estate, fakes, scenarios
from qn.arm.switch_traffic.estimate import Work, lower_limit


@pytest.fixture
def bench_fakes(monkeypatch):
    """The benchmark's stand-ins, installed for one test and taken away after it."""
    for name in ("dl", "common", "tf", "yctx", "vwm", "NetworkManagementClient",
                 "ManagementLockClient"):  # fmt: skip
        monkeypatch.setattr(switchlib, name, getattr(switchlib, name))
    monkeypatch.setattr(fakes, "MODULES", [])
    logger = fakes.LOGGER
    saved = (list(logger.handlers), logger.propagate, logger.level)
    fakes.install()
    yield
    logger.handlers[:], logger.propagate = saved[0], saved[1]
    logger.setLevel(saved[2])


def run(scenario):
    scenario.reset()
    return scenario.run()


@pytest.mark.parametrize("revert", [False, True])
def test_route_table_discovery_pairs_every_table_of_the_vnet(bench_fakes, revert):
    scenario = scenarios.discover_route_table(42, revert)  # 2 main tables, 10 groups of 4
    staged, original = run(scenario)
    assert len(staged) == 12
    assert len(original) == (10 if revert else 0)


@pytest.mark.parametrize("revert", [False, True])
def test_subnet_switch_moves_every_subnet_but_the_gateway_subnet(bench_fakes, revert):
    scenario = scenarios.update_subnet_association(21, revert)
    run(scenario)
    tables = [s.route_table for s in scenario.world if s.name != "GatewaySubnet"]
    assert len(tables) == 20
    if revert:  # back on an old table, or on none when it came from a main table
        assert all(t is None or not t.name.endswith(("-new", "-main-1", "-main-2")) for t in tables)
        assert tables.count(None) == 4
    else:
        assert all(t.name.endswith(("-new", "-main-1", "-main-2")) for t in tables)


@pytest.mark.parametrize(
    "build, size, records",
    [
        (scenarios.disable_propagation, 5, 7),  # two main tables and five pairs
        (scenarios.delete_peerings, 20, 18),  # every tenth was made by the controller
        (scenarios.disable_remote_gateways, 20, 18),
        (scenarios.discover_vpc_cidr, 128, 100),  # second octets 0..49 of 0..63, twice
    ],
)
def test_scenarios_do_all_of_their_items(bench_fakes, build, size, records):
    assert len(run(build(size))) == records
    assert len(run(build(size))) == records  # reset puts back what a run changed


def test_gateway_naming_scenario_names_a_gateway_per_call(bench_fakes, monkeypatch):
    real = switchlib.SwitchTraffic.deduceGwNameWithSubnetCidr
    names = []
    library = SimpleNamespace(deduceGwNameWithSubnetCidr=lambda *call: names.append(real(*call)))
    monkeypatch.setattr(scenarios, "ST", library)
    run(scenarios.deduce_gw_name(20))
    assert len(set(names)) == 20 and all(name.endswith("-gw") for name in names)
    assert real("eastus", "10.19.0.0/24") == "azu-use-0a130000-gw"


def test_estate_lower_limit_is_the_largest_of_its_bounds():
    """Azure's durations: a subnet seen done at the first look 10 s on (3 s), tables 5 s and
    gateway use 15 s waited for by the driver, each end of a peering 10 s deleted, 20 s
    created (15 s seen at the second look); hub locks 1.5 s."""
    one = Work("hub-a", subnets=2, tables=1, gateway_peerings=1, peerings=1)
    vnets = [one, one, dataclasses.replace(one, hub="hub-b", subnets=1)]
    waits = estate.waits_only()
    limit = lower_limit(vnets, {"hub-a"}, 2, False, waits)
    # forward chains 20+5+15 | 20 | 0 (60 s) twice and 50 s
    assert limit.bounds == {"chain": 60, "hub": 40 + 2 * 20 + 1.5, "slot": 171.5 / 2, "wave": 110}
    assert (limit.seconds, limit.binding) == (110, "wave")
    revert = lower_limit(vnets, {"hub-a"}, 3, True, waits)
    # revert chains 0 | 40 | 15+5+20 (80 s) twice and 70 s; hub-a's second VNet waits 40 s
    assert revert.bounds == {"chain": 80, "hub": 0 + 2 * 40 + 40, "slot": 230 / 3, "wave": 70}
    assert revert.binding == "hub"


@pytest.fixture
def driver_settings():
    """Puts back the tool's logger, which the benchmark sets up for itself (the process-wide
    settings a driver run changes are put back for every test)."""
    tool = logging.getLogger("qn.arm")
    saved = (list(tool.handlers), tool.propagate, tool.level)
    yield
    tool.handlers[:], tool.propagate = saved[0], saved[1]
    tool.setLevel(saved[2])


def test_migration_sends_only_the_requests_its_steps_need(driver_settings):
    """The library's steps send what their contracts call for; the driver itself only reads, but
    for its claim on the VNet and the locks it puts back."""
    for counted, least in zip(
        (run for run, _ in end_to_end.one_round()), end_to_end.least_requests(), strict=True
    ):
        sent = {label: sum(methods.values()) for label, methods in counted.requests.items()}
        assert {label: sent.get(label, 0) for label in least} == least
        assert set(sent) - set(least) <= set(end_to_end.DRIVER)
        driver = sum(
            (counted.requests.get(label, Counter()) for label in end_to_end.DRIVER), Counter()
        )
        driver.subtract(counted.requests.get(end_to_end.PUT_LOCKS_BACK, Counter()))
        # The run's claim on its one VNet: its write and read-back, and its release.
        claimed = counted.requests.get(end_to_end.CLAIM, Counter())
        assert claimed == Counter({"PATCH": 2, "GET": 1})
        driver.subtract(claimed)
        assert set(+driver) == {"GET"} and counted.requests[end_to_end.READ_BACK]["GET"] > 0
