"""End to end: the switch-traffic driver, the real SDK clients and the loopback emulator.

One spoke VNet of 200 subnets, 20 route tables (9 old ones, their 9 staged copies and the two
main tables) and 10 peerings, each to a hub VNet of its own in a second subscription; every
hub offers gateway transit and carries a lock. The first hub has a VPN gateway, and the spoke's
peering to it uses the remote gateway (Azure lets one peering of a VNet do so, towards a VNet
with a gateway).
The driver runs forward and then back over it, against the emulator on its `instant` profile:
every refusal rule stays on, but writes complete in their answer, so the counts are the tool's
own and not the status polls that Azure's durations would add. Reported: the HTTP requests each
library step sends (the emulator counts them) next to the least number the step needs (every
read and write its operations' contracts call for, nothing more), the driver's own reads
(opening the VNet, its plans, the lock preflight, the read-back of every step), and the wall
time of the forward and the revert run, best of several fresh starts.

Runs as `python -m bench.end_to_end` (scripts/bench runs it after the in-memory benchmarks):
it needs the library with its real collaborators, which the in-memory benchmarks replace.
"""

import argparse
import logging
import os
import sys
import tempfile
from collections import Counter
from time import perf_counter_ns

import yaml

from qn.arm.armsim import Emulator
from qn.arm.switch_traffic import (
    claim,
    hub_locks,
    locks,
    operation,
    readback,
    report,
    steps,
    vnet_run,
)
from qn.arm.switch_traffic.options import EXIT_OK, RunOptions
from qn.arm.switch_traffic.steps.base import Step
from qn.arm.switch_traffic.steps.order import NAMES, ORDER

SPOKE = "00000000-0000-0000-0000-0000000000a1"
HUB = "00000000-0000-0000-0000-0000000000b2"
VNET, GROUP = "vn-app", "rg-app"
SUBNETS, OLD_TABLES, PEERINGS = 200, 9, 10
USING_GATEWAY = 1  # peerings of the spoke that use the remote gateway
LOCK_PREFIX = "hub-lock-"

# The driver's own requests, outside every step's operations.
PLAN = "plan and preflight shown before the run (driver)"
OPEN_VNET = "open VNet (driver)"
LOCK_PREFLIGHT = "lock preflight (driver)"
PEERING_ORDER = "peering order (driver)"
PUT_LOCKS_BACK = "put locks back (driver)"
RECORD_HUB_LOCKS = "record hub locks (driver)"
READ_BACK = "read back (driver)"
CLAIM = "run claim: take, read back, release (driver)"
OTHER = "other (driver)"
SWITCH_PLAN = "switch-subnets: plan (driver)"
DRIVER = (
    PLAN,
    OPEN_VNET,
    SWITCH_PLAN,
    LOCK_PREFLIGHT,
    READ_BACK,
    PEERING_ORDER,
    RECORD_HUB_LOCKS,
    PUT_LOCKS_BACK,
    CLAIM,
    OTHER,
)


DISCOVER, TRANSIT, SWITCH, PROPAGATION, REMOTE_GATEWAY, DELETION, DOMAIN = NAMES


def plan_of(step):
    """The driver runs the steps whose records it must keep before they change anything first
    as a plan: the same operation in dry-run mode, reads only."""
    return f"{step}: plan (driver)"


def without_table(index):
    return index % 10 == 0


def topology():
    old = {f"rt-{k}": {"tags": {"owner": "network"}} for k in range(OLD_TABLES)}
    new = {
        f"rt-{k}-new": {"tags": {"vnet": VNET, "Org_RT": f"org_rt-{k}"}} for k in range(OLD_TABLES)
    }
    mains = {f"{VNET}-main-1": {}, f"{VNET}-main-2": {}}
    subnets = {}
    for i in range(SUBNETS):
        subnet = {"address_prefix": f"10.1.{i}.0/24"}
        if not without_table(i):
            subnet["route_table"] = f"rt-{i % OLD_TABLES}"
        subnets[f"snet-{i:03d}"] = subnet
    spoke_id = f"{SPOKE}/{GROUP}/{VNET}"
    hubs, peerings = {}, {}
    for k in range(PEERINGS):
        hubs[f"vn-hub-{k}"] = {
            "address_prefixes": [f"10.{100 + k}.0.0/16"],
            "peerings": {f"hub-{k}-to-app": {"remote": spoke_id, "allow_gateway_transit": True}},
            "locks": {f"{LOCK_PREFIX}{k}": "CanNotDelete"},
        }
        peerings[f"app-to-hub-{k}"] = {
            "remote": f"{HUB}/rg-hub/vn-hub-{k}",
            "use_remote_gateways": k == 0,
        }
    hubs["vn-hub-0"]["subnets"] = {"GatewaySubnet": {"address_prefix": "10.100.255.0/27"}}
    hubs["vn-hub-0"]["gateways"] = {"vng-hub-0": {"type": "Vpn"}}
    return {
        "subscriptions": {
            SPOKE: {
                "resource_groups": {
                    GROUP: {
                        "route_tables": {**old, **new, **mains},
                        "virtual_networks": {
                            VNET: {
                                "address_prefixes": ["10.1.0.0/16"],
                                "subnets": subnets,
                                "peerings": peerings,
                            }
                        },
                    }
                }
            },
            HUB: {"resource_groups": {"rg-hub": {"virtual_networks": hubs}}},
        }
    }


def least_requests():
    """The requests each step's operations call for, from their contracts.

    discoverRouteTable lists the route tables once. updateSubnetAssociation lists the subnets,
    fetches the target table of every subnet it moves (the forward run: its staged or main
    table; the revert: a subnet's old table, none for a subnet leaving a main table), writes
    every moved subnet, and lists the subnets again for its closing report. The propagation
    steps read and write each staged table (2 main + 9 new). The remote-gateway steps read and
    write the peerings whose flag they change (the driver hands them only those).
    deletePeerings per peering: reads the local end, lists the remote VNet's peerings, lists
    the remote subscription's VNets, lists and deletes the remote VNet's lock, deletes both
    ends; addPeerings writes both ends.
    Every write here completes at once, so no write needs a poll. A plan is the same
    operation in dry-run mode: its reads, none of its writes.
    """
    moved = SUBNETS
    on_old_tables = sum(1 for i in range(SUBNETS) if not without_table(i))
    staged_tables = OLD_TABLES + 2
    forward = {
        DISCOVER: 1,
        plan_of(TRANSIT): 0,  # no controller here
        TRANSIT: 0,
        SWITCH: 1 + moved + moved + 1,
        plan_of(PROPAGATION): staged_tables,
        PROPAGATION: 2 * staged_tables,
        plan_of(REMOTE_GATEWAY): PEERINGS,
        # The driver hands the step only the peerings its plan found using the gateway.
        REMOTE_GATEWAY: 2 * USING_GATEWAY,
        plan_of(DELETION): 4 * PEERINGS,
        DELETION: 7 * PEERINGS,
        plan_of(DOMAIN): 0,
        DOMAIN: 0,
    }
    revert = {
        DOMAIN: 0,
        DELETION: 2 * PEERINGS,
        REMOTE_GATEWAY: 2 * USING_GATEWAY,
        PROPAGATION: 2 * staged_tables,
        SWITCH: 1 + 1 + on_old_tables + moved + 1,  # a revert-direction discovery first
        TRANSIT: 0,
        DISCOVER: 0,  # the forward discovery changed nothing
    }
    return forward, revert


def write_config(arm, work):
    config = arm.tool_config({SPOKE: "app", HUB: "hub"})
    config.update(
        {
            "output_dir": os.path.join(work, "output"),
            "peering": {
                "delete_peering": "all",
                "delete_vnet_lock": True,
                "controller_prefix": "lumaflow-",
            },
            "vnets": {
                VNET: {
                    "subscription": SPOKE,
                    "resource_group": GROUP,
                    "allow_vnet_cidrs": ["10.0.0.0/8"],
                    "migrate_non_associated_subnet": True,
                }
            },
        }
    )
    path = os.path.join(work, "switch-traffic.yaml")
    with open(path, "w", encoding="utf-8") as handle:
        yaml.safe_dump(config, handle, sort_keys=False)
    return path


class StepRequests:
    """Counts the emulator's requests within each step of the driver, and the time each takes,
    by wrapping the driver's step functions for the duration of one run. A counted call inside
    another (the lock preflight inside a plan) is charged to itself only; requests outside every
    counted call are the driver's "other" reads."""

    def __init__(self, arm):
        self.arm = arm
        self.requests = {}  # label -> Counter of HTTP methods
        self.times = Counter()  # label -> ns
        self._inner = []  # per open call: [Counter of its inner calls' methods, their ns]
        self._patched = []  # (namespace, name, original)
        self._preflight_planned = False
        self._absorbing = 0

    def _count(self, label, function, planned=False, whole=False):
        """function counted under label; with whole, the counted calls inside it are its own."""

        def counted(*args, **kwargs):
            if self._absorbing:
                return function(*args, **kwargs)
            if planned and args[1].DryRun:  # plan(run, library, earlier), the planning library
                plan = plan_of(label)
                if label == DELETION and not self._preflight_planned:
                    self._preflight_planned = True  # the first plan finds the hubs to check
                    plan = LOCK_PREFLIGHT
                return self._count(plan, function)(*args, **kwargs)
            first = len(self.arm.requests)
            self._inner.append([Counter(), 0])
            self._absorbing += whole
            start = perf_counter_ns()
            try:
                return function(*args, **kwargs)
            finally:
                took = perf_counter_ns() - start
                self._absorbing -= whole
                inner_methods, inner_ns = self._inner.pop()
                methods = Counter(method for method, _ in self.arm.requests[first:])
                own = Counter(methods)
                own.subtract(inner_methods)
                self.requests.setdefault(label, Counter()).update(own)
                self.times[label] += took - inner_ns
                if self._inner:
                    self._inner[-1][0].update(methods)
                    self._inner[-1][1] += took

        return counted

    def _wrap(self, namespace, name, label, planned=False, whole=False):
        """Wraps namespace[name]: a module's; a class's or a step's attribute."""
        if isinstance(namespace, dict):
            original = namespace[name]
        elif isinstance(namespace, Step):
            original = getattr(type(namespace), name)  # restored as the class's own
            self._patched.append((namespace, name, original))
            self._put(namespace, name, self._count(label, getattr(namespace, name), planned))
            return
        else:
            original = vars(namespace)[name]
        self._patched.append((namespace, name, original))
        self._put(namespace, name, self._count(label, original, planned, whole))

    @staticmethod
    def _put(namespace, name, value):
        if isinstance(namespace, dict):
            namespace[name] = value
        elif isinstance(namespace, Step) and value == getattr(type(namespace), name):
            del vars(namespace)[name]  # a step's method: back to its class's own
        else:
            setattr(namespace, name, value)

    def __enter__(self):
        self._first = len(self.arm.requests)
        self._wrap(vars(vnet_run), "open_vnet", OPEN_VNET)
        self._wrap(vars(locks), "preflight", LOCK_PREFLIGHT)
        self._wrap(vars(readback), "judged", READ_BACK)
        self._wrap(operation.Migration, "plan", PLAN, whole=True)
        self._wrap(vars(steps.peerings), "in_creatable_order", PEERING_ORDER)
        self._wrap(vars(hub_locks), "put_back", PUT_LOCKS_BACK)
        self._wrap(vars(claim), "take", CLAIM)
        self._wrap(vars(claim), "release", CLAIM)
        self._wrap(vars(steps.switch), "switch_plan", SWITCH_PLAN)
        self._wrap(steps.peerings.STEP, "record_hub_locks", RECORD_HUB_LOCKS)
        for step in ORDER:
            # A step's library calls: its plan (the planning library's reads; discovery's plan
            # is its call), its change forward and back.
            if step.has_items and step is not steps.switch.STEP:
                self._wrap(step, "plan", step.name, planned=True)
            elif not step.has_items:
                self._wrap(step, "plan", step.name)
            self._wrap(step, "forward", step.name)
            self._wrap(step, "revert", step.name)
        return self

    def __exit__(self, *exc):
        for namespace, name, original in reversed(self._patched):
            self._put(namespace, name, original)
        self._patched.clear()
        every = Counter(method for method, _ in self.arm.requests[self._first :])
        for methods in self.requests.values():
            every.subtract(methods)
        self.requests[OTHER] = +every


def quiet_logging():
    """The tool's log at INFO into the driver's tally alone, which counts the error lines and
    drops every record."""
    tally = report.Tally()
    tool = logging.getLogger(report.TOOL_LOGGER)
    tool.handlers[:] = [tally]
    tool.setLevel(logging.INFO)
    tool.propagate = False
    return tally


def changed_resources(before, after):
    """Resource IDs whose state differs, the hubs' locks included: the revert puts them back."""
    return sorted(k for k in before.keys() | after.keys() if before.get(k) != after.get(k))


def one_round():
    """A forward and a revert run on a fresh emulator: (forward, revert) StepRequests and
    wall times in ns."""
    tally = quiet_logging()
    with (
        tempfile.TemporaryDirectory(prefix="bench-e2e-") as work,
        Emulator(topology(), token="armsim", profile="instant") as arm,
    ):
        config = write_config(arm, work)
        before = arm.snapshot()
        results = []
        for revert in (False, True):
            with StepRequests(arm) as counted:
                start = perf_counter_ns()
                status = operation.execute(RunOptions(config, revert=revert, yes=True), tally)
                took = perf_counter_ns() - start
            if status != EXIT_OK or tally.counts["errors"]:
                raise RuntimeError(f"the {'revert' if revert else 'forward'} run failed")
            results.append((counted, took))
        changed = changed_resources(before, arm.snapshot())
        if changed:
            raise RuntimeError(f"the revert left differences: {changed[:5]}")
    return results


def methods_text(methods):
    return ", ".join(f"{count} {method}" for method, count in sorted(methods.items()) if count)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench.end_to_end")
    parser.add_argument("--rounds", type=int, default=3, help="fresh runs; the best time is kept")
    options = parser.parse_args(argv)

    rounds = [one_round() for _ in range(options.rounds)]
    least = least_requests()
    print(
        f"## End to end: {SUBNETS} subnets, {2 * OLD_TABLES + 2} route tables, "
        f"{PEERINGS} peerings (best of {options.rounds} runs)\n"
    )
    for index, direction in enumerate(("forward", "revert")):
        counted = rounds[0][index][0]
        for other in rounds[1:]:
            if other[index][0].requests != counted.requests:
                raise RuntimeError(f"the {direction} runs sent different requests")
        best = min(r[index][1] for r in rounds)
        print(f"### {direction.capitalize()} run: {best / 1e6:.0f} ms\n")
        print("| step | requests sent | by method | least needed | ms |")
        print("|---|---:|---|---:|---:|")
        total = Counter()
        for label, needed in least[index].items():
            methods = counted.requests.get(label, Counter())
            sent = sum(methods.values())
            total["sent"] += sent
            total["least"] += needed
            step_ms = min(r[index][0].times[label] for r in rounds) / 1e6
            print(f"| {label} | {sent} | {methods_text(methods)} | {needed} | {step_ms:.0f} |")
        for label in DRIVER:
            methods = counted.requests.get(label, Counter())
            total["sent"] += sum(methods.values())
            step_ms = min(r[index][0].times[label] for r in rounds) / 1e6
            print(
                f"| {label} | {sum(methods.values())} | {methods_text(methods)} | | {step_ms:.0f} |"
            )
        print(f"| total | {total['sent']} | | {total['least']} (library) | |\n")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
