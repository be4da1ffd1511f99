"""The estate at Azure's latencies: the switch-traffic driver over 20 spokes and 2 hubs, forward
and back, at several --parallel, against the emulator on its `realistic` profile scaled in time.

Every spoke has 20 subnets (18 on 3 old route tables, 2 without one, which go to the main
tables), its staged tables and one peering to its hub that uses the hub's VPN gateway; 10 spokes
share each hub. Each hub offers gateway transit and carries a CanNotDelete lock; every fourth
spoke has a CanNotDelete lock on its first main table (a write is allowed under it). Each
--parallel value gets a fresh emulator: the forward run, then the revert, which must leave the
emulator as it found it.

Beside each run's wall time stands its lower limit, computed from the emulator's durations and
its poll interval, never measured (see `lower_limit` and docs/benchmarks.md). Times are shown
scaled back to Azure's: the measured seconds divided by the time scale.

Runs as `python -m bench.estate` or `scripts/bench estate`.
"""

import argparse
import dataclasses
import itertools
import logging
import os
import re
import resource
import sys
import tempfile
import threading
import time
from collections import Counter, defaultdict
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

import yaml

from bench.apart import EmulatorApart
from bench.end_to_end import changed_resources, methods_text, quiet_logging
from qn.arm.armsim.settings import KINDS, Settings
from qn.arm.switch_traffic import estimate, operation, options, report, steps
from qn.arm.switch_traffic.estimate import Assumed, Limit, Work, chain, lower_limit, seen_done
from qn.arm.switch_traffic.options import EXIT_OK, RunOptions, Waits

SPOKE_SUB = "00000000-0000-0000-0000-0000000000a1"
HUB_SUB = "00000000-0000-0000-0000-0000000000b2"
HUBS, SPOKES, SUBNETS, OLD_TABLES, WITHOUT_TABLE = 2, 20, 20, 3, 2
LOCKED_SPOKE_EVERY = 4
PARALLEL = (1, 4, 16)
# Azure's durations fifty times faster: a subnet write is seen done 0.2 s after it is sent,
# long beside the few milliseconds of a request, and the whole benchmark takes minutes.
TIME_SCALE = 0.02


def spoke(index: int) -> str:
    return f"vn-spoke-{index:02d}"


@dataclass(frozen=True)
class Shape:
    """An estate of `spokes` spoke VNets over `hubs` hubs."""

    spokes: int = SPOKES
    hubs: int = HUBS

    def hub_of(self, index: int) -> int:
        """Spokes are listed hub by hub, as an estate's inventory usually is."""
        return index * self.hubs // self.spokes


SMALL, LARGE = Shape(), Shape(100, 4)


def spoke_topology(index: int, shape: Shape) -> dict:
    name = spoke(index)
    # Discovery pairs tables across the subscription by name: each spoke's are its own.
    old = {f"{name}-rt-{k}": {"tags": {"owner": "network"}} for k in range(OLD_TABLES)}
    new = {
        f"{name}-rt-{k}-new": {"tags": {"vnet": name, "Org_RT": f"org_{name}-rt-{k}"}}
        for k in range(OLD_TABLES)
    }
    mains = {f"{name}-main-1": {}, f"{name}-main-2": {}}
    if index % LOCKED_SPOKE_EVERY == 0:
        mains[f"{name}-main-1"]["locks"] = {"keep-main": "CanNotDelete"}
    subnets = {}
    for j in range(SUBNETS):
        subnet = {"address_prefix": f"10.{index + 1}.{j}.0/24"}
        if j < SUBNETS - WITHOUT_TABLE:
            subnet["route_table"] = f"{name}-rt-{j % OLD_TABLES}"
        subnets[f"snet-{j:02d}"] = subnet
    hub = shape.hub_of(index)
    vnet = {
        "address_prefixes": [f"10.{index + 1}.0.0/16"],
        "subnets": subnets,
        "peerings": {
            f"to-hub-{hub}": {
                "remote": f"{HUB_SUB}/rg-hub/vn-hub-{hub}",
                "use_remote_gateways": True,
            }
        },
    }
    return {"route_tables": {**old, **new, **mains}, "virtual_networks": {name: vnet}}


def hub_topology(hub: int, shape: Shape) -> dict:
    peerings = {
        f"hub-{hub}-to-{spoke(i)}": {
            "remote": f"{SPOKE_SUB}/rg-{spoke(i)[3:]}/{spoke(i)}",
            "allow_gateway_transit": True,
        }
        for i in range(shape.spokes)
        if shape.hub_of(i) == hub
    }
    return {
        "address_prefixes": [f"10.{200 + hub}.0.0/16"],
        "subnets": {"GatewaySubnet": {"address_prefix": f"10.{200 + hub}.255.0/27"}},
        "gateways": {f"vng-hub-{hub}": {"type": "Vpn"}},
        "locks": {f"hub-lock-{hub}": "CanNotDelete"},
        "peerings": peerings,
    }


def topology(shape: Shape) -> dict:
    spokes = {f"rg-{spoke(i)[3:]}": spoke_topology(i, shape) for i in range(shape.spokes)}
    hubs = {f"vn-hub-{h}": hub_topology(h, shape) for h in range(shape.hubs)}
    return {
        "subscriptions": {
            SPOKE_SUB: {"resource_groups": spokes},
            HUB_SUB: {"resource_groups": {"rg-hub": {"virtual_networks": hubs}}},
        }
    }


ALIASES = {SPOKE_SUB: "spokes", HUB_SUB: "hubs"}


def write_config(pointed: dict, work: str, shape: Shape) -> str:
    """The run's configuration: `pointed` (the emulator's keys for the tool) and the estate."""
    config = dict(pointed)
    config["output_dir"] = os.path.join(work, "output")
    config["peering"] = {"delete_vnet_lock": True, "controller_prefix": "lumaflow-"}
    config["vnets"] = {
        spoke(i): {
            "subscription": SPOKE_SUB,
            "resource_group": f"rg-{spoke(i)[3:]}",
            "allow_vnet_cidrs": ["10.0.0.0/8"],
            "migrate_non_associated_subnet": True,
        }
        for i in range(shape.spokes)
    }
    path = os.path.join(work, "switch-traffic.yaml")
    with open(path, "w", encoding="utf-8") as handle:
        yaml.safe_dump(config, handle, sort_keys=False)
    return path


# -- the lower limit ---------------------------------------------------------------------------


def estate(count: int = SPOKES, shape: Shape = SMALL) -> tuple[list[Work], set[str]]:
    """The first `count` spokes of this benchmark and the hubs whose lock a run of them
    removes and puts back."""
    works = [Work(f"vn-hub-{shape.hub_of(i)}", SUBNETS, OLD_TABLES + 2, 1, 1) for i in range(count)]
    return works, {w.hub for w in works if w.hub}


def waits_only() -> Assumed:
    """Azure's waits as the emulator's `realistic` profile has them, nothing else."""
    settings = Settings()
    return Assumed.waits_only({k: settings.duration(k) for k in KINDS}, settings.poll_wait())


# -- measuring ---------------------------------------------------------------------------------

STEP_LINE = re.compile(r"\[(?P<vnet>[^\]]+)\] step \d+/\d+: (?P<step>[a-z-]+)")


class StepClock(logging.Handler):
    """When each VNet's steps begin, from the driver's progress lines (thread-safe: a
    handler holds its lock while it emits)."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.starts: dict[str, list[tuple[str, float]]] = defaultdict(list)

    def emit(self, record: logging.LogRecord) -> None:
        found = STEP_LINE.search(record.getMessage())
        if found:
            self.starts[found["vnet"]].append((found["step"], record.created))

    def step_seconds(self, since: float) -> dict[str, list[float]]:
        """Per step, each VNet's time from its start to the next step's start; first, the
        time from `since` (the run's start, on the log's clock) to the first step."""
        took = defaultdict(list)
        firsts = [starts[0][1] for starts in self.starts.values() if starts]
        took[BEFORE] = [min(firsts) - since] if firsts else []
        for starts in self.starts.values():
            for (step, start), (_, end) in itertools.pairwise(starts):
                took[step].append(end - start)
        return took


# The run's plan and preflight, before any VNet's first step.
BEFORE = "(before the first step)"


@dataclass(frozen=True)
class Case:
    """A run of the first `vnets` spokes of the estate `shape` with `parallel` workers, Azure's
    times x `scale`."""

    vnets: int
    parallel: int
    scale: float
    shape: Shape = SMALL


# The smallest scale at which the driver's own CPU time stays small beside the scaled waits
# (see docs/benchmarks.md): it grows with the workers, since the waits of a run shrink with
# them while its CPU time does not.
CASES = (
    Case(1, 1, 0.1),
    Case(SPOKES, 1, 0.02),
    Case(SPOKES, 4, 0.05),
    Case(SPOKES, 16, 0.2),
    Case(LARGE.spokes, 32, 0.5, LARGE),
)


@dataclass
class Measured:
    case: Case
    revert: bool
    seconds: float  # wall time, as measured
    cpu: float  # the driver's process's CPU time: the driver and the SDK
    emulator_cpu: float  # the emulator's process's CPU time
    requests: Counter  # HTTP method -> count
    steps: dict[str, list[float]]  # step -> seconds per VNet, as measured
    estimate: float  # the plan's estimate of the run, in measured (scaled) seconds
    peak_rss: int  # the driver's process's RSS high-water mark so far, in bytes
    load: tuple[float, float]  # the machine's 1-minute load average, least and most

    def azure(self) -> float:
        return self.seconds / self.case.scale

    def after_plan(self) -> float:
        """The measured seconds from the first step on: what the plan's estimate is of."""
        return self.seconds - sum(self.steps.get(BEFORE, []))

    def limit(self) -> Limit:
        vnets, locked = estate(self.case.vnets, self.case.shape)
        return lower_limit(vnets, locked, self.case.parallel, self.revert, waits_only())


def driver_run(config: str, revert: bool, case: Case) -> RunOptions:
    chosen = [spoke(i) for i in range(case.vnets)] if case.vnets < case.shape.spokes else None
    return RunOptions(config, revert=revert, vnet=chosen, yes=True, parallel=case.parallel)


@contextmanager
def driver_waits(scale: float) -> Iterator[None]:
    """The driver's own waits (read-back polling, retries of refused writes) on the
    emulator's clock, as they would be against Azure."""
    defaults = Waits()
    interval = defaults.interval * scale
    waits = Waits(
        interval=interval,
        timeout=defaults.timeout * scale,
        visible_after=max(interval, min(defaults.visible_after, 100 * interval)),
    )
    timing = options.Timing.scaled(scale)
    with options.timed(dataclasses.replace(timing, waits=waits)):
        yield


@contextmanager
def estimates_made() -> Iterator[list[estimate.Estimate]]:
    """The estimates the driver's runs make of their plans, in order."""
    made: list[estimate.Estimate] = []
    of_run = estimate.of_run

    def kept(*args: Any) -> estimate.Estimate:
        made.append(of_run(*args))
        return made[-1]

    estimate.of_run = kept
    try:
        yield made
    finally:
        estimate.of_run = of_run


def peak_rss() -> int:
    """The process's resident memory at its highest so far (Linux counts it in KiB): the
    driver's, since the emulator runs in a process of its own."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class LoadWatch:
    """The machine's 1-minute load average, looked at every few seconds while a run goes on:
    other work on the machine takes cores from the run."""

    EVERY = 5.0

    def __init__(self) -> None:
        self.seen: list[float] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="load-watch", daemon=True)

    def __enter__(self) -> "LoadWatch":
        self._thread.start()
        return self

    def __exit__(self, *exception: object) -> None:
        self._stop.set()
        self._thread.join()

    def _watch(self) -> None:
        while True:
            self.seen.append(os.getloadavg()[0])
            if self._stop.wait(self.EVERY):
                return

    def span(self) -> tuple[float, float]:
        return min(self.seen), max(self.seen)


def migrate(case: Case) -> list[Measured]:
    """The forward run and the revert on a fresh emulator; raises if either fails or the
    revert leaves a difference."""
    tally = quiet_logging()
    clock = StepClock()
    tool = logging.getLogger(report.TOOL_LOGGER)
    tool.addHandler(clock)
    measured = []
    try:
        with (
            tempfile.TemporaryDirectory(prefix="bench-estate-") as work,
            EmulatorApart(topology(case.shape), case.scale, ALIASES) as arm,
            driver_waits(case.scale),
            estimates_made() as estimates,
        ):
            config = write_config(arm.config, work, case.shape)
            before = arm.snapshot()
            for revert in (False, True):
                clock.starts.clear()
                served = arm.served()
                with LoadWatch() as load:
                    start, cpu, since = time.perf_counter(), time.process_time(), time.time()
                    status = operation.execute(driver_run(config, revert, case), tally)
                    took, cpu = time.perf_counter() - start, time.process_time() - cpu
                if status != EXIT_OK or tally.counts["errors"]:
                    direction = "revert" if revert else "forward"
                    raise RuntimeError(f"the {direction} run failed: {tally.errors[:3]}")
                rss = peak_rss()
                served = arm.served().since(served)
                steps_took = clock.step_seconds(since)
                estimated = estimates[-1].estate
                measured.append(
                    Measured(case, revert, took, cpu, served.cpu, served.methods, steps_took,
                             estimated, rss, load.span())
                )  # fmt: skip
            changed = changed_resources(before, arm.snapshot())
            if changed:
                raise RuntimeError(f"the revert left differences: {changed[:5]}")
    finally:
        tool.removeHandler(clock)
    return measured


# -- the report --------------------------------------------------------------------------------


def minutes(seconds: float) -> str:
    return f"{seconds:,.0f} s ({seconds / 60:.1f} min)"


def print_runs(runs: list[Measured]) -> None:
    print("| VNets | --parallel | run | time scale | wall time, Azure | lower limit, Azure "
          "| bound | ratio | estimate, Azure | estimate / wall | estimate / after the plan "
          "| driver CPU share | driver CPU per request | emulator CPU share | peak RSS, driver "
          "| load average | requests per VNet |")  # fmt: skip
    print("|---:|---:|---|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for run in runs:
        limit = run.limit()
        count = run.case.vnets
        per_vnet = Counter({m: round(n / count) for m, n in run.requests.items()})
        print(
            f"| {count} | {run.case.parallel} | {'revert' if run.revert else 'forward'} "
            f"| {run.case.scale:g} | {minutes(run.azure())} | {minutes(limit.seconds)} "
            f"| {limit.binding} | {run.azure() / limit.seconds:.2f} "
            f"| {minutes(run.estimate / run.case.scale)} | {run.estimate / run.seconds:.2f} "
            f"| {run.estimate / run.after_plan():.2f} "
            f"| {100 * run.cpu / run.seconds:.0f} % "
            f"| {1000 * run.cpu / run.requests.total():.1f} ms "
            f"| {100 * run.emulator_cpu / run.seconds:.0f} % | {run.peak_rss / 2**20:,.0f} MiB "
            f"| {run.load[0]:.1f} to {run.load[1]:.1f} "
            f"| {sum(per_vnet.values())}: {methods_text(per_vnet)} |",
            flush=True,
        )


def step_waits(revert: bool) -> dict[str, float]:
    """The waits of each step of one spoke, in Azure seconds."""
    assumed = waits_only()
    vnet = estate(1)[0][0]
    subnet = seen_done(assumed.azure["subnet_put"], assumed.poll)
    return {
        steps.switch.STEP.name: vnet.subnets * subnet,
        steps.propagation.STEP.name: assumed.azure["route_table_put"],
        steps.remote_gateway.STEP.name: assumed.azure["peering_put"],
        steps.peerings.STEP.name: chain(vnet, revert, assumed).hub,
    }


def print_steps(runs: list[Measured]) -> None:
    """Where the time goes: each step's time per VNet beside its own waits."""
    print("\n| VNets | --parallel | run | step | its waits, Azure s | mean per VNet | most |")
    print("|---:|---:|---|---|---:|---:|---:|")
    for run in runs:
        waits = step_waits(run.revert)
        for step, seconds in run.steps.items():
            mean = sum(seconds) / len(seconds) / run.case.scale
            print(
                f"| {run.case.vnets} | {run.case.parallel} "
                f"| {'revert' if run.revert else 'forward'} | {step} "
                f"| {waits.get(step, 0):.0f} | {mean:.1f} | {max(seconds) / run.case.scale:.1f} |"
            )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.estate", description=__doc__)
    parser.add_argument("--scale", type=float, help="one time scale for every run")
    parser.add_argument("--parallel", type=int, nargs="+", help="only the runs with these")
    parser.add_argument("--vnets", type=int, nargs="+", help="only the runs of this many VNets")
    parser.add_argument("--steps", action="store_true", help="add each step's time per VNet")
    options = parser.parse_args(argv)
    cases = [
        dataclasses.replace(case, scale=options.scale or case.scale)
        for case in CASES
        if case.parallel in (options.parallel or [case.parallel])
        and case.vnets in (options.vnets or [case.vnets])
    ]
    shapes = sorted({case.shape for case in cases}, key=lambda shape: shape.spokes)
    print(
        "## The estate at Azure's latencies: "
        + " and ".join(f"{s.spokes} spokes over {s.hubs} hubs" for s in shapes)
        + f", {SUBNETS} subnets each\n"
    )
    runs = [run for case in cases for run in migrate(case)]
    print_runs(runs)
    if options.steps:
        print_steps(runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
