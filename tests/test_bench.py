"""The benchmarks measure the work they name: each scenario's run does all of its items, and
the end-to-end migration sends no request beyond those its steps' contracts call for. Nothing
here is timed."""

import logging
from collections import Counter

import pytest

import qn.arm.switchlib as switchlib
from bench import end_to_end, fakes, scenarios


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


def test_gateway_naming_scenario_names_gateways(bench_fakes):
    scenario = scenarios.deduce_gw_name(20)
    assert run(scenario) is None
    assert switchlib.SwitchTraffic.deduceGwNameWithSubnetCidr("eastus", "10.19.0.0/24") == (
        "azu-use-0a130000-gw"
    )


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
    """The library's steps send what their contracts call for; the driver itself only reads."""
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
        assert set(+driver) == {"GET"} and counted.requests[end_to_end.READ_BACK]["GET"] > 0
