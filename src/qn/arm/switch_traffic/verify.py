"""What Azure shows after a step: every item read back and compared with what the records say
should now be true, once the operations on it have ended.

Propagation and remote-gateway updates are started by the library without waiting, and any
write may still be running when a run was interrupted. Reading back therefore first waits,
polling, until no item is still being changed (bounded in time, said in the log when it lasts),
so that the next step never writes while an operation runs, and a `Failed` end is seen.
"""

import contextlib
import dataclasses
import functools
import logging
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from azure.core.exceptions import ResourceNotFoundError

from qn.arm.res import cloud
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import interrupt, steps
from qn.arm.switch_traffic.items import last_segment, resource_group, same

BUSY = {"updating", "deleting", "creating"}
Verdict = tuple[bool, str]  # done, and the reason when not
# A resource whose last operation failed keeps that state until a write succeeds
# (https://learn.microsoft.com/azure/networking/troubleshoot-failed-state): not done yet.
FAILED_STATE = "in the Failed provisioning state: its last operation failed"
PEERING_FLAGS = (
    "allow_virtual_network_access",
    "allow_forwarded_traffic",
    "allow_gateway_transit",
    "use_remote_gateways",
)


@dataclass
class Waits:
    """How the driver waits for operations in Azure. Tests shrink these with the emulator's
    time scale."""

    interval: float = 5.0  # seconds between two reads while something is being changed
    timeout: float = 900.0  # the longest wait for one step's items
    visible_after: float = 5.0  # a longer wait is said in the log, again at this interval


WAITS = Waits()
STOP_CHECK = 0.2  # seconds: how soon a waiting worker sees that Ctrl-C asked the run to stop


@contextlib.contextmanager
def waiting(interval: float, timeout: float | None = None) -> Iterator[None]:
    """Polls at this interval (and gives up after timeout) within the block, for an emulator
    whose operations are shorter than Azure's."""
    saved = dataclasses.replace(WAITS)
    WAITS.interval = interval
    WAITS.visible_after = max(interval, min(WAITS.visible_after, 100 * interval))
    if timeout is not None:
        WAITS.timeout = timeout
    try:
        yield
    finally:
        WAITS.__dict__.update(saved.__dict__)


class Unreadable:
    """An item whose read failed; the error is the reason it stays pending."""

    def __init__(self, error: Exception) -> None:
        self.error = error

    def __str__(self) -> str:
        return f"cannot be read: {type(self.error).__name__}: {self.error}"


class Clients:
    """Network and lock clients per subscription, for the driver's own reads and lock writes;
    shared by the workers (the SDK's clients may be used from several threads), each made
    once."""

    def __init__(self) -> None:
        self._made: dict[tuple[str, str], Any] = {}
        self._lock = threading.Lock()

    def _credential(self, subscription: str) -> Any:
        credential = YamlContext().generateAzureCredential(subscription)
        if credential is None:
            raise LookupError(f"no credential for subscription {subscription}")
        return credential

    def _client(self, kind: str, subscription: str, make: Callable[[Any], Any]) -> Any:
        key = (kind, subscription.lower())
        with self._lock:
            if key not in self._made:
                self._made[key] = make(self._credential(subscription))
            return self._made[key]

    def network(self, subscription: str) -> Any:
        return self._client(
            "network",
            subscription,
            lambda c: cloud.NetworkManagementClient(c.getCSC(), c.getSubId()),
        )

    def locks(self, subscription: str) -> Any:
        return self._client(
            "locks", subscription, lambda c: cloud.ManagementLockClient(c.getSPC(), c.getSubId())
        )


def text(value: Any) -> str:
    """An SDK enum member or plain string as Azure spells it."""
    return str(getattr(value, "value", value) or "")


def state_of(resource: Any) -> str:
    return (text(getattr(resource, "provisioning_state", None)) or "Succeeded").lower()


def _busy(seen: Any) -> bool:
    if isinstance(seen, dict):
        return any(_busy(v) for v in seen.values())
    return seen is not None and not isinstance(seen, Unreadable) and state_of(seen) in BUSY


def settle(log: logging.Logger, read: Callable[[], dict]) -> tuple[dict, list[str]]:
    """Reads the items until none is being changed or the wait is up. Returns what was seen
    last and the items still being changed then."""
    start = said = time.monotonic()
    while True:
        seen = read()
        busy = [key for key, value in seen.items() if _busy(value)]
        elapsed = time.monotonic() - start
        if not busy or elapsed >= WAITS.timeout:
            return seen, busy
        if time.monotonic() - said >= WAITS.visible_after:
            log.info(f"  waiting for {', '.join(busy)} ({elapsed:.0f} s so far)")
            said = time.monotonic()
        pause(min(WAITS.interval, max(WAITS.timeout - elapsed, 0)))


def pause(seconds: float) -> None:
    """Sleeps, but a worker stops at once when Ctrl-C asks the run to stop (the signal
    reaches the main thread only)."""
    end = time.monotonic() + seconds
    while not interrupt.stopping():
        left = end - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, STOP_CHECK))
    raise interrupt.Stopped


def attempt(read: Callable[[], Any]) -> Any:
    """One read: the resource, None when Azure says it does not exist, or Unreadable."""
    try:
        return read()
    except ResourceNotFoundError:
        return None
    except Exception as error:  # the item stays pending with the error as its reason
        return Unreadable(error)


# -- read-backs per step: {item: (done, reason)} ---------------------------------------------


def check(
    run: steps.VnetRun, clients: Clients, step: str, revert: bool, records: dict, names: list[str]
) -> dict[str, Verdict]:
    """Waits for the step's items to settle, then judges each against its records."""
    reader, judge = CHECKS[step]
    seen, busy = settle(run.log, lambda: reader(run, clients, records, names))
    verdicts: dict[str, Verdict] = {}
    for name in names:
        if name in busy:
            verdicts[name] = (False, f"still being changed after {WAITS.timeout:.0f} s")
        else:
            verdicts[name] = judge(records, name, seen[name], revert)
    return verdicts


def _read_subnets(
    run: steps.VnetRun, clients: Clients, records: dict, names: list[str]
) -> dict[str, Any]:
    group = resource_group(run.vnet.id)
    listed = attempt(lambda: list(run.network_client.subnets.list(group, run.vnet.name)))
    if isinstance(listed, Unreadable) or listed is None:
        return dict.fromkeys(names, listed)
    by_name = {s.name.lower(): s for s in listed}
    return {name: by_name.get(name.lower()) for name in names}


def _judge_subnet(records: dict, name: str, subnet: Any, revert: bool) -> Verdict:
    item = records["subnets"][name]
    if subnet is None or isinstance(subnet, Unreadable):
        return False, f"subnet {name} {subnet or 'not found'}"
    current = last_segment(subnet.route_table.id if subnet.route_table else None)
    wanted = [item["from"]] if revert else item["to"]
    where = f"on {current}" if current else "on no route table"
    if not revert and item["lacks"]:
        wrong = f"{where}: lacks {item['lacks']}"
    else:
        wrong = f"{where}, not on {' or '.join(w or 'no route table' for w in wanted)}"
    return _verdict(subnet, any(same(current, w) for w in wanted), wrong)


def _verdict(resource: Any, right: bool, wrong: str) -> Verdict:
    """Done when the resource shows what it should and its last operation succeeded."""
    failed = state_of(resource) == "failed"
    if right:
        return (False, FAILED_STATE) if failed else (True, "")
    return False, wrong + (": its last operation ended Failed" if failed else "")


def rewrite_subnets(run: steps.VnetRun, names: list[str]) -> None:
    """Writes subnets back as they are. A subnet whose last operation failed stays in the
    Failed state, with its settings, until a write succeeds; the library writes only subnets
    it moves, so one that never moved is written here."""
    group = resource_group(run.vnet.id)
    subnets = run.network_client.subnets
    for name in names:
        run.log.info(f"  write {name} again to clear its Failed state")
        subnet = subnets.get(group, run.vnet.name, name)
        subnets.begin_create_or_update(group, run.vnet.name, name, subnet).result()


def _read_tables(
    run: steps.VnetRun, clients: Clients, records: dict, names: list[str]
) -> dict[str, Any]:
    by_name = {r["route_table_name"]: r for r in records["rtbPropList"]}
    tables = run.network_client.route_tables
    return {
        name: attempt(functools.partial(tables.get, by_name[name]["resource_group"], name))
        for name in names
    }


def _judge_table(records: dict, name: str, table: Any, revert: bool) -> Verdict:
    if table is None or isinstance(table, Unreadable):
        return False, f"route table {table or 'not found'}"
    wanted = not revert  # forward: propagation off (disable true)
    right = bool(table.disable_bgp_route_propagation) == wanted
    return _verdict(table, right, f"propagation still {'on' if wanted else 'off'}")


def _read_own_peerings(
    run: steps.VnetRun, clients: Clients, records: dict, names: list[str]
) -> dict[str, Any]:
    by_name = {r["localPeeringName"]: r for r in records["peeringPropList"]}
    peerings = run.network_client.virtual_network_peerings
    return {
        name: attempt(
            functools.partial(
                peerings.get, by_name[name]["localRgName"], by_name[name]["localVnetName"], name
            )
        )
        for name in names
    }


def _judge_gateway_use(records: dict, name: str, peering: Any, revert: bool) -> Verdict:
    if peering is None or isinstance(peering, Unreadable):
        return False, f"peering {peering or 'not found'}"
    record = next(r for r in records["peeringPropList"] if r["localPeeringName"] == name)
    wanted = bool(record["localPeering"]["use_remote_gateways"]) if revert else False
    right = bool(peering.use_remote_gateways) == wanted
    return _verdict(peering, right, f"use_remote_gateways still {not wanted}")


def pair_end(clients: Clients, pair: dict, side: str) -> Any:
    client = clients.network(pair[f"{side}SubscriptionId"])
    return client.virtual_network_peerings.get(
        pair[f"{side}RgName"], pair[f"{side}VnetName"], pair[f"{side}PeeringName"]
    )


def _read_pairs(
    run: steps.VnetRun, clients: Clients, records: dict, names: list[str]
) -> dict[str, Any]:
    by_name = {p["localPeeringName"]: p for p in records["peeringPairList"]}
    return {
        name: {
            side: attempt(functools.partial(pair_end, clients, by_name[name], side))
            for side in ("local", "remote")
        }
        for name in names
    }


def _judge_pair(records: dict, name: str, ends: dict[str, Any], revert: bool) -> Verdict:
    pair = next(p for p in records["peeringPairList"] if p["localPeeringName"] == name)
    problems = []
    for side, end in ends.items():
        label = f"{pair[f'{side}PeeringName']} in {pair[f'{side}VnetName']}"
        if isinstance(end, Unreadable):
            problems.append(f"{label} {end}")
        elif not revert:
            if end is not None:
                problems.append(f"{label} still present ({text(end.peering_state)})")
        else:
            problems.extend(_end_problems(label, end, pair[f"{side}Peering"]))
    return not problems, "; ".join(problems)


def _end_problems(label: str, end: Any, recorded: dict) -> list[str]:
    if end is None:
        return [f"{label} missing"]
    problems = []
    if state_of(end) != "succeeded":
        problems.append(f"{label} {state_of(end)}")
    if text(end.peering_state) != "Connected":
        problems.append(f"{label} is {text(end.peering_state)}")
    for flag in PEERING_FLAGS:
        if recorded.get(flag) is not None and bool(getattr(end, flag)) != bool(recorded[flag]):
            problems.append(f"{label} has {flag} {getattr(end, flag)}, recorded {recorded[flag]}")
    remote = end.remote_virtual_network.id if end.remote_virtual_network else None
    if not same(remote, recorded["remote_virtual_network"]["id"]):
        problems.append(f"{label} points at {remote}")
    return problems


CHECKS: dict[str, tuple[Callable[..., dict[str, Any]], Callable[..., Verdict]]] = {
    steps.SWITCH: (_read_subnets, _judge_subnet),
    steps.PROPAGATION: (_read_tables, _judge_table),
    steps.REMOTE_GATEWAY: (_read_own_peerings, _judge_gateway_use),
    steps.PEERINGS: (_read_pairs, _judge_pair),
}
