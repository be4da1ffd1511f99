"""The migration engine: runs each VNet's steps forward or back, and counts a change only when
Azure shows it.

Every step that changes something keeps what it is to change (its records) before it starts,
then calls the library, then reads back each item (a subnet, a route table, a peering, a lock)
and keeps it in the state file as done or pending with the reason. A step is done only when
every item is; a VNet's run stops at the first step with a pending item, since the next steps
would take away routes that the pending item still needs. A later run, forward or revert, tries
only the pending items again, by handing the library the records narrowed to them.
"""

import contextlib
import contextvars
import dataclasses
import functools
import os
import shlex
import sys
import threading
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, TypeVar

from qn.arm import switchlib
from qn.arm.res import cloud, throttle
from qn.arm.res.Globals import Globals
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import interrupt, items, locks, progress, report, result, steps, verify
from qn.arm.switch_traffic import plan as plans
from qn.arm.switch_traffic.config import ConfigError, DriverConfig, VnetConfig, load_config
from qn.arm.switch_traffic.items import hub_id, vnet_key
from qn.arm.switch_traffic.state import DONE, PENDING, StateError, StateFile, now
from qn.arm.terraform import Terraform

STATE_FILE = "switch-traffic-state.json"
EXIT_OK, EXIT_ERRORS, EXIT_USAGE = 0, 1, 2
Result = TypeVar("Result")
# What the summary counts per step: verified changes.
COUNTED = {steps.SWITCH: "subnets", steps.PROPAGATION: "tables", steps.PEERINGS: "peerings"}
# VNets run at once by default. More gain little: VNets that share a hub wait for each other
# in their peering step, and every worker's writes draw on the same per-subscription allowance
# of Azure's, which 4 stay far below. A log of 4 interleaved VNets is still readable.
DEFAULT_PARALLEL = 4


@dataclass
class Run:
    """One run of the driver, as the command line or the demo asks for it."""

    config: str
    revert: bool = False
    dry_run: bool = False
    state: str | None = None
    vnet: list[str] | None = None
    force: bool = False
    yes: bool = False  # apply the plan without asking
    parallel: int = DEFAULT_PARALLEL  # VNets run at once


def state_path(config: DriverConfig, given: str | None = None) -> str:
    return given or os.path.join(config.output_dir, STATE_FILE)


class Stop(Exception):
    """The VNet's run stops here, before anything that would do harm; the text says why."""


def selected_vnets(config: DriverConfig, names: list[str] | None) -> list[VnetConfig]:
    if not names:
        return list(config.vnets)
    unknown = [n for n in names if n not in {v.name for v in config.vnets}]
    if unknown:
        raise ConfigError(f"{config.path}: vnets: no VNet named {', '.join(unknown)}")
    return [config.vnet(n) for n in names]


def point_tool_at(config: DriverConfig) -> contextlib.AbstractContextManager[None]:
    """The tool's collaborators reading this configuration, in the block this opens (and in
    the workers' contexts copied from it); fails at once on an unusable cloud."""
    path = os.path.abspath(config.path)
    clients = dataclasses.replace(
        cloud.current(),
        cloud=cloud.cloud_settings(YamlContext(path)),  # the file names the cloud
        pacers=throttle.Pacers(),  # what Azure tells this run's clients
    )
    return pointed_at(config, path, clients)


@contextlib.contextmanager
def pointed_at(config: DriverConfig, path: str, clients: cloud.ClientSettings) -> Iterator[None]:
    with (
        YamlContext.using(path),
        cloud.using(clients),
        Terraform.using(config.output_dir),
        Globals.using(CID=config.cid, api_ep_url=config.api_endpoint_url),
    ):
        yield


def check_state(state: StateFile, vnets: list[VnetConfig], run: Run) -> None:
    """Refuses a run the state file cannot serve, before anything is read from Azure."""
    if run.revert:
        if not state.exists:
            raise StateError(
                f"{state.path}: no state file, so nothing to revert; name the forward run's "
                "state file with --state"
            )
        if not any(state.has_records(vnet_key(v)) for v in vnets):
            names = ", ".join(v.name for v in vnets)
            raise StateError(f"{state.path}: holds no records for {names}; nothing to revert")
        return
    if run.force:
        return
    status = {v.name: state.forward_status(vnet_key(v), steps.FORWARD_STEPS) for v in vnets}
    held = [vnet_key(v) for v in vnets if status[v.name] in ("done", "reverting")]
    if held:
        # A run over several VNets that stopped in one is gone on with for that one alone.
        unfinished = [name for name, s in status.items() if s == "unfinished"]
        go_on = f"; to go on with the others: {shlex.join(['--vnet', *unfinished])}"
        raise StateError(
            f"{state.path} still holds records of an earlier forward run for "
            f"{', '.join(held)} that are not reverted; run --revert first, or pass --force "
            f"to start over (those records are then lost){go_on if unfinished else ''}"
        )


def open_vnet(config: DriverConfig, vnet_config: VnetConfig) -> steps.VnetRun:
    credential = YamlContext().generateAzureCredential(vnet_config.subscription)
    if credential is None:
        raise ConfigError(
            f"{config.path}: subscriptions.{vnet_config.subscription}: "
            "no credential for this subscription"
        )
    client = switchlib.NetworkManagementClient(credential.getCSC(), credential.getSubId())
    vnet = client.virtual_networks.get(vnet_config.resource_group, vnet_config.name)
    Globals.yaml = {  # per worker: the security-domain step reads it
        "configure_gw_name": config.configure_gw_name,
        "domain": vnet_config.domain or config.domain,
        "spoke_gw_name": vnet_config.spoke_gw_name,
    }
    return steps.VnetRun(
        config, vnet_config, switchlib.SwitchTraffic, client, vnet, report.driver_log()
    )


class HubLocks:
    """One lock per hub VNet (by its resource ID, in lower case): the writes that touch a hub
    (the hub's end of a peering, its lock) are made by one VNet's run at a time, as Azure
    refuses a peering write on a VNet while another one runs on it."""

    def __init__(self) -> None:
        self._locks: dict[str, threading.Lock] = {}
        self._guard = threading.Lock()

    @contextlib.contextmanager
    def holding(self, hubs: Iterable[str]) -> Iterator[None]:
        """Holds the locks of these hubs, taken in one order so that two runs never wait for
        each other."""
        with self._guard:
            held = [
                self._locks.setdefault(h, threading.Lock()) for h in sorted(map(str.lower, hubs))
            ]
        with contextlib.ExitStack() as stack:
            for lock in dict.fromkeys(held):
                stack.enter_context(lock)
            yield


class Migration:
    """One run over the chosen VNets, in one direction; up to `run.parallel` VNets at once,
    each VNet's run in a worker of its own."""

    def __init__(
        self, run: Run, config: DriverConfig, state: StateFile, vnets: list[VnetConfig]
    ) -> None:
        self.run = run
        self.config = config
        self.state = state
        self.vnets = vnets
        self.clients = verify.Clients()
        self.log = report.driver_log()
        self.per_vnet: dict[str, Counter] = {}
        self.earlier: dict[str, int] = {}  # error lines of each VNet before this run
        self.hubs = HubLocks()
        self.stopped = threading.Event()  # a worker was interrupted: the others stop too
        self.workers = max(1, min(run.parallel, len(vnets)))
        self.tagged = False
        self.progress = progress.Progress()

    @property
    def counts(self) -> Counter:
        """The counts of the VNet whose run the current worker works on."""
        return self.per_vnet[report.current_vnet() or ""]

    # -- the whole run ----------------------------------------------------------------------
    def plan(self) -> plans.Plan:
        """What the run will change, read from Azure and the state file only."""
        planning = plans.Planning(
            self.config,
            self.state,
            self.clients,
            lambda vnet_config: open_vnet(self.config, vnet_config),
            self.in_workers,
        )
        return plans.build(planning, self.vnets, self.run.revert)

    def execute(
        self, plan: plans.Plan, tally: report.Tally, shown: progress.Progress | None = None
    ) -> dict[str, Counter]:
        """Runs every VNet of the plan; a stopped VNet does not stop the others. Returns the
        per-VNet counts for the summary; `shown` is told how each VNet goes."""
        # Class state of the library and the tool: off for this run, whatever an earlier
        # caller in the same process (the demo, tests) left on; the plan has its own subclass.
        switchlib.SwitchTraffic.DryRun = False
        Globals.setDryRun(False)
        ordered = plans.in_run_order(self.state, self.vnets, self.run.revert)
        if self.workers > 1:  # one after the other, the hubs' turns do not matter
            ordered = plans.spread_over_hubs(ordered, plan.hubs())
        self.tally = tally
        self.progress = shown or progress.Progress()
        self.per_vnet = {v.name: Counter() for v in ordered}
        self.earlier = {v.name: tally.errors_of(v.name) for v in ordered}  # a tally reused
        self.tagged = self.workers > 1
        self.in_workers([functools.partial(self.vnet_task, v) for v in ordered])
        if self.run.revert:  # once every VNet's peerings are back where they can be
            for vnet_config in ordered:
                with self.working_on(vnet_config), self.step_errors(steps.PEERINGS):
                    self.put_locks_back(vnet_config)
        for vnet_config in ordered:
            counts = self.per_vnet[vnet_config.name]
            counts["errors"] = self.errors(vnet_config.name)
            counts["pending"] = self.pending_count(vnet_config)
        return self.per_vnet

    def working_on(self, vnet_config: VnetConfig) -> contextlib.AbstractContextManager[None]:
        return report.working_on(vnet_config.name, self.tagged)

    def in_workers(self, tasks: list[Callable[[], Result]]) -> list[Result]:
        """Each task (a VNet's plan or run) in a context of its own (the library's and the
        tool's settings per VNet), in a pool of the run's workers when there are several;
        their results in the tasks' order."""
        contexts = [contextvars.copy_context() for _ in tasks]
        if self.workers == 1:
            return [context.run(task) for context, task in zip(contexts, tasks, strict=True)]
        pool = ThreadPoolExecutor(self.workers, thread_name_prefix="switch-traffic")
        try:
            futures = [pool.submit(c.run, task) for c, task in zip(contexts, tasks, strict=True)]
            self.wait_for(futures)
            return [future.result() for future in futures]
        finally:
            pool.shutdown(wait=False, cancel_futures=True)

    def wait_for(self, futures: list[Future]) -> None:
        """Waits for every worker. Ctrl-C (or a worker interrupted) stops the others at their
        next step and the VNets not begun; KeyboardInterrupt follows once all have stopped, at
        once on a second Ctrl-C."""
        try:
            wait(futures)
        except KeyboardInterrupt:
            self.stopped.set()
            wait(futures)
            raise
        for future in futures:
            future.result()  # a worker's KeyboardInterrupt, here in the main thread

    def errors(self, vnet: str) -> int:
        """The error lines of this run of the VNet."""
        return self.tally.errors_of(vnet) - self.earlier[vnet]

    def vnet_task(self, vnet_config: VnetConfig) -> None:
        name = vnet_config.name
        with self.working_on(vnet_config):
            try:
                self.check_stopped()
                self.progress.started(name, len(steps.FORWARD_STEPS))
                self.counts["completed"] = completed = self.one_vnet(vnet_config)
            except BaseException:  # interrupted: no other worker goes on
                self.stopped.set()
                self.progress.finished(name, False)
                raise
            self.progress.finished(name, completed and not self.errors(name))

    def check_stopped(self) -> None:
        """Between two steps: stops the worker once the run is to stop (Ctrl-C, or another
        worker interrupted)."""
        if self.stopped.is_set() or interrupt.stopping():
            raise interrupt.Stopped

    def one_vnet(self, vnet_config: VnetConfig) -> bool:
        key = vnet_key(vnet_config)
        self.log.info(
            f"[{vnet_config.name}] {'revert' if self.run.revert else 'forward'} run ({key})"
        )
        try:
            vnet_run = open_vnet(self.config, vnet_config)
            if self.run.revert:
                self.revert_vnet(vnet_run, key)
            else:
                self.forward_vnet(vnet_run, key)
            return True
        except Stop as stop:
            self.log.error(f"  **Error** [{vnet_config.name}] stopped: {stop}")
        except Exception as error:  # the VNet's later steps must not run after a failed one
            self.log.error(
                f"  **Error** [{vnet_config.name}] stopped: {type(error).__name__}: {error}"
            )
        return False

    def writing_to_hubs(self, pairs: list[dict]) -> contextlib.AbstractContextManager[None]:
        """Holds the hubs these peering pairs lead to, for the writes to their ends and locks
        only: the reads around them (the plan, the lock preflight, the read-back) need no
        turn of their own."""
        return self.hubs.holding(hub_id(pair) for pair in pairs)

    def pending_count(self, vnet_config: VnetConfig) -> int:
        entry = self.state.vnet(vnet_key(vnet_config))
        direction = "revert" if self.run.revert else "forward"
        return sum(
            item.get("status") == PENDING
            for step in entry.get(direction, {}).values()
            for item in step.get("items", {}).values()
        )

    # -- forward ----------------------------------------------------------------------------
    def forward_vnet(self, vnet_run: steps.VnetRun, key: str) -> None:
        status = self.state.forward_status(key, steps.FORWARD_STEPS)
        if status != "unfinished":
            self.state.start_forward(key)
        planner = steps.planning_library(vnet_run.library)
        if not (self.state.entry(key, "forward", steps.PEERINGS) or {}).get("done"):
            with steps.quiet_library():
                plan = steps.FORWARD[steps.PEERINGS](vnet_run, planner, {})
            self.lock_preflight(vnet_run, plan["peeringPairList"])
        for number, step in enumerate(steps.FORWARD_STEPS, 1):
            self.check_stopped()
            self.progress.step(vnet_run.vnet_config.name, number, step, 0)
            heading = f"[{vnet_run.vnet_config.name}] step {number}/{len(steps.FORWARD_STEPS)}"
            with self.step_errors(step):
                self.forward_step(vnet_run, key, step, planner, f"{heading}: {step}")

    def lock_preflight(self, vnet_run: steps.VnetRun, pairs: list[dict]) -> None:
        """Stops the VNet's run when a lock would refuse the deletion of these peering pairs."""
        problems, _ = locks.preflight(
            self.clients,
            vnet_run.vnet.id,
            [hub_id(p) for p in pairs],
            self.config.delete_vnet_lock,
        )
        if problems:
            raise Stop("a lock stands in the way: " + "; ".join(problems))

    def forward_step(
        self, vnet_run: steps.VnetRun, key: str, step: str, planner: type, heading: str
    ) -> None:
        entry = self.state.entry(key, "forward", step)
        if entry and entry.get("done"):
            self.log.info(f"{heading} -- already done")
            return
        resumed = entry is not None and "records" in entry
        self.log.info(heading + (" (again: the pending items)" if resumed else ""))
        self.state.start_step(key, "forward", step)
        if step == steps.PEERINGS:  # which local ends are left decides who deletes what
            vnet_run.vnet = vnet_run.network_client.virtual_networks.get(
                vnet_run.vnet_config.resource_group, vnet_run.vnet_config.name
            )
        if step in (steps.DISCOVER, steps.DOMAIN):  # nothing to read back
            records = steps.FORWARD[step](vnet_run, vnet_run.library, {})
            self.state.keep_records(key, step, records)
            self.state.keep_items(key, "forward", step, {}, done=True)
            return
        discovered = (self.state.entry(key, "forward", steps.DISCOVER) or {})["records"]
        records = self.forward_records(vnet_run, key, step, planner, entry, discovered)
        names = items.keys(step, records)
        known = dict((entry or {}).get("items", {}))
        self.show_items(vnet_run, steps.FORWARD_STEPS, step, names, known)
        if resumed:  # what an earlier attempt did is known only from Azure
            found = self.read_back(vnet_run, step, False, records, self.undone(names, known))
            known.update(found)
            self.count(step, found)  # changes an interrupted run made, not counted before
            self.show_done(vnet_run, names, known)
        pending = self.undone(names, known)
        if pending and resumed and step == steps.PEERINGS:  # a lock in the way since
            self.lock_preflight(
                vnet_run, items.only(records["peeringPairList"], "localPeeringName", pending)
            )
        if pending:
            with Terraform.holding() as held:
                try:
                    self.attempt(
                        vnet_run,
                        step,
                        lambda: self.apply_forward(
                            vnet_run, key, step, records, pending, discovered
                        ),
                    )
                finally:  # a run cut off here leaves them to the next one's read-back
                    self.keep_associations(key, records, held)
            found = self.read_back(vnet_run, step, False, records, pending)
            known.update(found)
            self.count(step, found)
            self.show_done(vnet_run, names, known)
        if step == steps.SWITCH:
            self.write_terraform(vnet_run, records, known)
        self.finish_step(vnet_run, key, "forward", step, names, known)

    def keep_associations(self, key: str, records: dict, held: dict[str, dict[str, str]]) -> None:
        """Keeps the Terraform associations the library handed over with the switch's records."""
        if held:
            records["associations"] = {**records.get("associations", {}), **held}
            self.state.keep_records(key, steps.SWITCH, records)

    def write_terraform(self, vnet_run: steps.VnetRun, records: dict, known: dict) -> None:
        """Writes the associations of the subnets Azure shows on their new table, and only
        those: a subnet whose write Azure refused gets none."""
        held = records.get("associations", {})
        for problem in Terraform.write(held, self.subnet_ids(vnet_run, known)):
            self.log.error(f"  **Error** [{vnet_run.vnet_config.name}] {steps.SWITCH}: {problem}")

    @staticmethod
    def subnet_ids(vnet_run: steps.VnetRun, known: dict) -> list[str]:
        """The resource IDs of the subnets among these items that Azure shows done."""
        return [f"{vnet_run.vnet.id}/subnets/{n}" for n, i in known.items() if i["status"] == DONE]

    def forward_records(
        self,
        vnet_run: steps.VnetRun,
        key: str,
        step: str,
        planner: type,
        entry: dict | None,
        discovered: dict,
    ) -> dict:
        """What the step is to change: kept before it changes anything."""
        records = (entry or {}).get("records")
        if records is not None:
            if step == steps.SWITCH:  # a table staged since may let a pending subnet move
                fresh = steps.FORWARD[steps.DISCOVER](vnet_run, vnet_run.library, {})
                discovered.update(items.merged_discovery(discovered, fresh))
                self.state.keep_records(key, steps.DISCOVER, discovered)
                # Re-planned, the records keep what else they hold (the associations).
                records = dict(records, **items.refresh_switch_plan(vnet_run, records, discovered))
                self.state.keep_records(key, step, records)
            return records
        if step == steps.SWITCH:
            records = items.switch_plan(vnet_run, discovered)
        else:
            with steps.quiet_library():
                records = steps.FORWARD[step](vnet_run, planner, {steps.DISCOVER: discovered})
        if step == steps.PEERINGS:
            self.lock_preflight(vnet_run, records["peeringPairList"])
            records["locks"] = []  # recorded by the VNet that removes them (record_hub_locks)
        self.state.keep_records(key, step, records)
        return records

    def record_hub_locks(self, key: str, records: dict, pairs: list[dict]) -> None:
        """Records the hub locks the library is about to remove, before it does. Listed while
        the VNet holds the hubs: of two spokes of one hub, the one that removes the lock
        records it and the other finds none; a lock put back since an earlier attempt (by
        another VNet's revert, or by hand) is recorded again, so that this VNet's revert puts
        it back too."""
        if not self.config.delete_vnet_lock:
            return
        recorded = records.setdefault("locks", [])
        found = locks.removable(self.clients, [hub_id(pair) for pair in pairs])
        new = [lock for lock in found if not any(items.same(lock["id"], k["id"]) for k in recorded)]
        if new:
            recorded.extend(new)
            self.state.keep_records(key, steps.PEERINGS, records)

    def apply_forward(
        self,
        vnet_run: steps.VnetRun,
        key: str,
        step: str,
        records: dict,
        pending: list[str],
        discovered: dict,
    ) -> None:
        library = vnet_run.library
        if step == steps.SWITCH:
            movable = {
                n: records["subnets"][n] for n in pending if not records["subnets"][n]["lacks"]
            }
            if movable:
                earlier = {steps.DISCOVER: items.narrowed_pairs_for_switch(discovered, movable)}
                steps.FORWARD[step](vnet_run, library, earlier)
        elif step == steps.PROPAGATION:
            earlier = {steps.DISCOVER: items.narrowed_discovery(discovered, pending)}
            steps.FORWARD[step](vnet_run, library, earlier)
        elif step == steps.REMOTE_GATEWAY:
            narrowed = dataclasses.replace(
                vnet_run, vnet=items.narrowed_vnet(vnet_run.vnet, pending)
            )
            steps.FORWARD[step](narrowed, library, {})
        elif step == steps.PEERINGS:
            pairs = items.only(records["peeringPairList"], "localPeeringName", pending)
            with self.writing_to_hubs(pairs):
                self.record_hub_locks(key, records, pairs)
                self.delete_pairs(vnet_run, pairs)

    def delete_pairs(self, vnet_run: steps.VnetRun, pairs: list[dict]) -> None:
        """Pairs with their local end are the library's to delete; a pair whose local end is
        already gone cannot be found from this VNet, so its remote end is deleted here."""
        own = {p.name.lower() for p in vnet_run.vnet.virtual_network_peerings or ()}
        whole = [p["localPeeringName"] for p in pairs if p["localPeeringName"].lower() in own]
        if whole:
            narrowed = dataclasses.replace(vnet_run, vnet=items.narrowed_vnet(vnet_run.vnet, whole))
            steps.FORWARD[steps.PEERINGS](narrowed, vnet_run.library, {})
        for pair in pairs:
            if pair["localPeeringName"].lower() not in own:
                self.delete_remote_end(vnet_run, pair)

    def delete_remote_end(self, vnet_run: steps.VnetRun, pair: dict) -> None:
        if verify.attempt(lambda: verify.pair_end(self.clients, pair, "remote")) is None:
            return
        client = self.clients.network(pair["remoteSubscriptionId"])
        if self.config.delete_vnet_lock:
            credential = YamlContext().generateAzureCredential(pair["remoteSubscriptionId"])
            hub = client.virtual_networks.get(pair["remoteRgName"], pair["remoteVnetName"])
            vnet_run.library.deleteVnetLock(credential, hub, indent=2)
        self.log.info(f"  delete peering {pair['remotePeeringName']}")
        client.virtual_network_peerings.begin_delete(
            pair["remoteRgName"], pair["remoteVnetName"], pair["remotePeeringName"]
        ).result()

    # -- revert -----------------------------------------------------------------------------
    def revert_vnet(self, vnet_run: steps.VnetRun, key: str) -> None:
        for number, step in enumerate(steps.REVERT_STEPS, 1):
            self.check_stopped()
            self.progress.step(vnet_run.vnet_config.name, number, step, 0)
            heading = f"[{vnet_run.vnet_config.name}] step {number}/{len(steps.REVERT_STEPS)}"
            with self.step_errors(step):
                self.revert_step(vnet_run, key, step, f"{heading}: {step}")

    def revert_step(self, vnet_run: steps.VnetRun, key: str, step: str, heading: str) -> None:
        forward = self.state.entry(key, "forward", step)
        if forward is None:
            self.log.info(f"{heading} -- not done in the forward run, nothing to revert")
            return
        entry = self.state.entry(key, "revert", step)
        if entry and entry.get("done"):
            self.log.info(f"{heading} -- already reverted")
            return
        records = forward.get("records")
        if records is None:
            self.log.info(f"{heading} -- interrupted before it changed anything")
            self.state.keep_items(key, "revert", step, {}, done=True)
            return
        partly = "" if forward.get("done") else " (unfinished in the forward run)"
        self.log.info(heading + partly + (" (again: the pending items)" if entry else ""))
        if step in (steps.DISCOVER, steps.DOMAIN):
            steps.REVERT[step](vnet_run, records)
            self.state.keep_items(key, "revert", step, {}, done=True)
            return
        names = items.keys(step, records)
        self.state.start_step(key, "revert", step)
        known = dict((entry or {}).get("items", {}))
        self.show_items(vnet_run, steps.REVERT_STEPS, step, names, known)
        if entry:
            found = self.read_back(vnet_run, step, True, records, self.undone(names, known))
            known.update(found)
            self.count(step, found, forward.get("items"))  # made by an interrupted run
            self.show_done(vnet_run, names, known)
        pending = self.undone(names, known)
        if pending:
            self.attempt(
                vnet_run, step, lambda: self.apply_revert(vnet_run, step, records, pending)
            )
            found = self.read_back(vnet_run, step, True, records, pending)
            known.update(found)
            self.count(step, found, forward.get("items"))
            self.show_done(vnet_run, names, known)
        if step == steps.SWITCH:  # the file keeps the associations Azure still has only
            Terraform.remove(self.subnet_ids(vnet_run, known))
        lock_names = [items.lock_key(lock) for lock in records.get("locks", ())]
        for name in self.undone(lock_names, known):
            known[name] = {
                "status": PENDING,
                "reason": "put back once the peerings are back",
                "at": now(),
            }
        self.finish_step(vnet_run, key, "revert", step, names, known, extra=lock_names)

    def narrowed(self, step: str, records: dict, pending: list[str]) -> dict:
        if step == steps.SWITCH:
            return {"subnets": {n: records["subnets"][n] for n in pending}}
        if step == steps.PROPAGATION:
            return {"rtbPropList": items.only(records["rtbPropList"], "route_table_name", pending)}
        if step == steps.REMOTE_GATEWAY:
            return {
                "peeringPropList": items.only(
                    records["peeringPropList"], "localPeeringName", pending
                )
            }
        return {
            "peeringPairList": items.only(records["peeringPairList"], "localPeeringName", pending)
        }

    def apply_revert(
        self, vnet_run: steps.VnetRun, step: str, records: dict, pending: list[str]
    ) -> None:
        narrowed = self.narrowed(step, records, pending)
        if step != steps.PEERINGS:
            steps.REVERT[step](vnet_run, narrowed)
            return
        pairs = narrowed["peeringPairList"]
        narrowed["peeringPairList"] = [self.in_creatable_order(p) for p in pairs]
        with self.writing_to_hubs(pairs):  # as recorded: a swapped pair's remote end is local
            steps.REVERT[step](vnet_run, narrowed)

    def in_creatable_order(self, pair: dict) -> dict:
        """Azure refuses a new end whose partner is Disconnected (the partner must first be
        updated back to Initiated), so an end that is still there is re-created first."""
        local = verify.attempt(lambda: verify.pair_end(self.clients, pair, "local"))
        remote = verify.attempt(lambda: verify.pair_end(self.clients, pair, "remote"))
        if local is None and remote is not None and not isinstance(remote, verify.Unreadable):
            return items.swapped(pair)
        return pair

    def put_locks_back(self, vnet_config: VnetConfig) -> None:
        """Puts back the hub locks this VNet's forward run removed, once no VNet of the run
        still waits for its peerings on that hub."""
        key = vnet_key(vnet_config)
        forward = self.state.entry(key, "forward", steps.PEERINGS) or {}
        entry = self.state.entry(key, "revert", steps.PEERINGS)
        recorded = (forward.get("records") or {}).get("locks", [])
        if not recorded or entry is None or entry.get("done"):
            return
        known = dict(entry.get("items", {}))
        for lock in recorded:
            name = items.lock_key(lock)
            if known.get(name, {}).get("status") == DONE:
                continue
            waiting = self.waiting_for(lock["scope"])
            if waiting:
                done = False
                reason = f"waits for the peerings of {', '.join(waiting)} on {lock['scope']}"
            else:
                done, reason = self.put_lock_back(lock)
            if not done:
                self.log.error(f"  **Error** [{vnet_config.name}] {name}: {reason} -- pending")
            known[name] = {"status": DONE if done else PENDING, "reason": reason, "at": now()}
        done = all(item.get("status") == DONE for item in known.values())
        self.state.keep_items(key, "revert", steps.PEERINGS, known, done=done)

    def put_lock_back(self, lock: dict) -> tuple[bool, str]:
        try:
            if not locks.present(self.clients, lock):
                self.log.info(f"  put back lock {lock['name']} on {lock['scope']}")
                locks.restore(self.clients, lock)
            if locks.present(self.clients, lock):
                return True, ""
            return False, "not found after it was put back"
        except Exception as error:  # stays pending, with the reason
            return False, f"{type(error).__name__}: {error}"

    def waiting_for(self, hub: str) -> list[str]:
        """VNets of this run whose peerings on the hub are not all back yet."""
        waiting = []
        for vnet_config in self.vnets:
            key = vnet_key(vnet_config)
            forward = self.state.entry(key, "forward", steps.PEERINGS) or {}
            pairs = (forward.get("records") or {}).get("peeringPairList", [])
            names = [p["localPeeringName"] for p in pairs if items.same(hub_id(p), hub)]
            revert = (self.state.entry(key, "revert", steps.PEERINGS) or {}).get("items", {})
            if self.undone(names, revert):
                waiting.append(vnet_config.name)
        return waiting

    # -- shared -----------------------------------------------------------------------------
    def attempt(self, vnet_run: steps.VnetRun, step: str, call: Callable[[], Any]) -> None:
        """Calls the library; a failure is logged and its items are judged from Azure."""
        try:
            call()
        except Exception as error:  # what changed is read back next, whatever failed
            self.log.error(
                f"  **Error** [{vnet_run.vnet_config.name}] {step}: {type(error).__name__}: {error}"
            )

    def read_back(
        self, vnet_run: steps.VnetRun, step: str, revert: bool, records: dict, names: list[str]
    ) -> dict:
        if not names:
            return {}
        verdicts = verify.check(vnet_run, self.clients, step, revert, records, names)
        failed = [n for n, (_, reason) in verdicts.items() if reason == verify.FAILED_STATE]
        if step == steps.SWITCH and failed:
            self.attempt(vnet_run, step, lambda: verify.rewrite_subnets(vnet_run, failed))
            verdicts.update(verify.check(vnet_run, self.clients, step, revert, records, failed))
        return {
            name: {"status": DONE if done else PENDING, "reason": reason, "at": now()}
            for name, (done, reason) in verdicts.items()
        }

    def show_items(
        self,
        vnet_run: steps.VnetRun,
        order: tuple[str, ...],
        step: str,
        names: list[str],
        known: dict,
    ) -> None:
        """Tells the live view the step's items, and how many of them are done already."""
        vnet = vnet_run.vnet_config.name
        self.progress.step(vnet, order.index(step) + 1, step, len(names))
        self.show_done(vnet_run, names, known)

    def show_done(self, vnet_run: steps.VnetRun, names: list[str], known: dict) -> None:
        done = len(names) - len(self.undone(names, known))
        self.progress.advanced(vnet_run.vnet_config.name, done)

    @staticmethod
    def undone(names: list[str], known: dict) -> list[str]:
        return [n for n in names if known.get(n, {}).get("status") != DONE]

    def count(self, step: str, found: dict, forward: dict | None = None) -> None:
        """Counts the items Azure shows changed. A revert does not count an item whose forward
        change Azure never showed: putting it back changed nothing."""
        unchanged = {n for n, i in (forward or {}).items() if i.get("status") == PENDING}
        changed = sum(i["status"] == DONE and n not in unchanged for n, i in found.items())
        self.counts[("changed", step)] += changed
        if step in COUNTED:
            self.counts[COUNTED[step]] += changed

    @contextlib.contextmanager
    def step_errors(self, step: str) -> Iterator[None]:
        """Counts the error lines of the step for the result (a reached step has a count, if
        only 0); the worker's VNet runs one step at a time."""
        vnet = report.current_vnet() or ""
        before = self.tally.errors_of(vnet)
        try:
            yield
        finally:
            self.counts[("errors", step)] += self.tally.errors_of(vnet) - before

    def finish_step(
        self,
        vnet_run: steps.VnetRun,
        key: str,
        direction: str,
        step: str,
        names: list[str],
        known: dict,
        extra: Iterable[str] = (),
    ) -> None:
        pending = {n: known[n] for n in self.undone(names, known)}
        for name, item in pending.items():
            self.log.error(
                f"  **Error** [{vnet_run.vnet_config.name}] {step} {name}: {item['reason']} "
                "-- pending"
            )
        done = not pending and not self.undone(list(extra), known)
        self.state.keep_items(key, direction, step, known, done=done)
        if not pending:
            return
        if step == steps.SWITCH and direction == "forward":
            raise Stop(
                "before any propagation, gateway, lock or peering change: subnets not on "
                "their staged or main table: "
                + "; ".join(f"{n}: {i['reason']}" for n, i in pending.items())
            )
        raise Stop(
            f"{step} has {len(pending)} pending item(s): {', '.join(pending)}; run again to "
            "retry them" + ("" if direction == "revert" else ", or --revert")
        )


def execute(run: Run, tally: report.Tally) -> int:
    """One forward or revert run; returns the exit status."""
    try:
        if run.parallel < 1:
            raise ConfigError(f"parallel {run.parallel}: runs at least 1 VNet at a time")
        config = load_config(run.config)
        vnets = selected_vnets(config, run.vnet)
        tool = point_tool_at(config)
        state = StateFile(state_path(config, run.state), read_only=run.dry_run)
        with tool, state.hold():
            check_state(state, vnets, run)
            migration = Migration(run, config, state, vnets)
            plan = migration.plan()
            # The dry run's result is its plan (unless the result is JSON); a real run's plan
            # is read before the question, beside the log.
            to_stdout = run.dry_run and tally.output != report.JSON
            plans.show(plan, sys.stdout if to_stdout else sys.stderr)
            if run.dry_run:
                per_vnet = plan.per_vnet()
            else:
                plans.approve(run.yes)
                names = [v.name for v in vnets]
                # The live view is for an operator at a terminal; a JSON result is for scripts.
                quiet = False if tally.output == report.JSON else None
                with progress.live(sys.stderr, names, enabled=quiet) as shown:
                    per_vnet = migration.execute(plan, tally, shown)
    except (ConfigError, StateError, plans.PlanError) as error:
        report.usage_error(str(error))
        return EXIT_USAGE
    failed = any(c["errors"] or c["pending"] or not c["completed"] for c in per_vnet.values())
    status = EXIT_ERRORS if failed else EXIT_OK
    keys = {v.name: vnet_key(v) for v in vnets}
    tally.result(result.run_document(run, state, keys, per_vnet, status))
    return status
