"""A run's claim on its VNets in Azure: one run per VNet, whatever state file each run keeps.

For the length of a real run each of its VNets carries a tag naming the run; a second run that
finds another run's tag there refuses before it reads or changes anything else. The tag is
written through Azure's tags API at the VNet's scope (`.../providers/Microsoft.Resources/tags/
default`): its Merge adds the one tag and its Delete removes the one tag, so the VNet's other
tags are never rewritten, and no read of them goes before the write that a concurrent change
could make stale.

Each run's tag has a name of its own (the prefix and the run's ID), so two runs that write at
the same moment both find their tags in place. Every run reads the tags back after its write
and goes on only when its own is the only claim there; otherwise it withdraws its tag and
refuses. Of two runs starting together, the later reader sees both tags and withdraws, and
when both read before either withdrew, both withdraw: never both go on.
"""

import contextlib
import dataclasses
import datetime
import getpass
import logging
import os
import shlex
import socket
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from azure.core.exceptions import AzureError, ClientAuthenticationError
from azure.core.rest import HttpRequest

from qn.arm.res import cloud
from qn.arm.switch_traffic import adapter, interrupt
from qn.arm.switch_traffic.config import VnetConfig
from qn.arm.switch_traffic.resources import Clients

TAGS_API_VERSION = "2021-04-01"
TAG_PREFIX = "switch-traffic-run-"  # then the run's ID
# Azure's limits on a tag (https://learn.microsoft.com/azure/azure-resource-manager/management/
# tag-resources#limitations).
NAME_LIMIT, VALUE_LIMIT = 512, 256


class ClaimError(Exception):
    """The run may not act on a VNet, or a claim could not be read or written."""


class Refused(ClaimError):
    """Azure answered the request with an error: a write refused so did not land."""


class NotWritten(Refused):
    """The run's claim was refused: it is not on the VNet."""


@dataclass(frozen=True)
class Claim:
    """Who holds a VNet: the run's ID (the correlation ID of its requests), user@host and the
    process, when it started, and its state file."""

    run_id: str
    by: str
    pid: int
    since: str  # UTC, to the second, ISO 8601
    state: str

    @property
    def tag_name(self) -> str:
        return TAG_PREFIX + self.run_id

    @property
    def tag_value(self) -> str:
        """The claim as one tag value, within Azure's limit: a long state file path keeps its
        end, which names the file."""
        head = f"by={self.by};pid={self.pid};since={self.since}"
        room = VALUE_LIMIT - len(head) - len(";state=")
        path = self.state if len(self.state) <= room else "..." + self.state[-(room - 3) :]
        return f"{head};state={path}"

    @classmethod
    def from_tag(cls, name: str, value: str) -> "Claim | None":
        """The claim a tag holds; None for any other tag."""
        if not name.startswith(TAG_PREFIX):
            return None
        # The state file comes last: its path may hold anything, ";" included.
        found = dict(part.split("=", 1) for part in value.split(";", 3) if "=" in part)
        pid = found.get("pid", "")
        return cls(
            run_id=name[len(TAG_PREFIX) :],
            by=found.get("by", "unknown"),
            pid=int(pid) if pid.isdigit() else 0,
            since=found.get("since", "unknown"),
            state=found.get("state", "unknown"),
        )

    def describe(self) -> str:
        return (
            f"run {self.run_id} of {self.by} (process {self.pid}) since {self.since}, "
            f"state file {self.state}"
        )

    @property
    def host(self) -> str:
        return self.by.rpartition("@")[2]

    def alive_here(self) -> bool | None:
        """Whether the run's process still runs: None when it ran on another machine, which
        this one cannot tell."""
        if self.host != socket.gethostname():
            return None
        return process_alive(self.pid)


def process_alive(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process: there all the same
        return True
    return True


def this_run(run_id: str, state_path: str) -> Claim:
    now = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
    return Claim(
        run_id=run_id,
        by=f"{getpass.getuser()}@{socket.gethostname()}",
        pid=os.getpid(),
        since=now.isoformat().replace("+00:00", "Z"),
        state=os.path.abspath(state_path),
    )


def release_command(config_path: str, vnet: VnetConfig, ended_run: str | None = None) -> str:
    """The command that releases a VNet's stale claims; with the ID of a run known to have
    ended (this one), that run's claim whatever machine the command runs on."""
    command = ["switch-traffic", "release", "--config", config_path, "--vnet", vnet.name]
    return shlex.join(command + (["--run", ended_run, "--force"] if ended_run else []))


def vnet_scope(vnet: VnetConfig) -> str:
    return (
        f"/subscriptions/{vnet.subscription}/resourceGroups/{vnet.resource_group}"
        f"/providers/Microsoft.Network/virtualNetworks/{vnet.name}"
    )


class Tags:
    """The tags API at the scope of a run's VNets. Its client goes without the Ctrl-C guard of
    the run's other clients: a stopping run still releases its claims."""

    def __init__(self) -> None:
        self._clients = Clients()

    def _client(self, subscription: str) -> Any:
        settings = cloud.current()
        policies = tuple(
            p for p in settings.per_retry_policies if not isinstance(p, interrupt.WriteGuard)
        )
        with cloud.using(dataclasses.replace(settings, per_retry_policies=policies)):
            try:  # made on first use, so under these settings
                return self._clients.network(subscription)
            except LookupError as error:
                raise ClaimError(str(error)) from None

    def _send(self, vnet: VnetConfig, method: str, body: Any = None) -> dict[str, str]:
        url = f"{vnet_scope(vnet)}/providers/Microsoft.Resources/tags/default"
        request = HttpRequest(method, url, params={"api-version": TAGS_API_VERSION}, json=body)
        try:
            response = self._client(vnet.subscription).send_request(request)
            if response.status_code == 401:  # the token refused: said as any sign-in failure
                raise ClientAuthenticationError(response=response)
        except ClientAuthenticationError as error:
            raise ClaimError(f"{vnet.name}: {adapter.sign_in_problem(error)}") from None
        except AzureError as error:
            raise ClaimError(
                f"{vnet.name}: {method} of its tags (the run claim): {error}"
            ) from None
        if response.status_code >= 400:
            raise Refused(
                f"{vnet.name}: {method} of its tags (the run claim): {arm_error(response)}"
            )
        found = (response.json().get("properties") or {}).get("tags") or {}
        return {str(k): str(v) for k, v in found.items()}

    def read(self, vnet: VnetConfig) -> dict[str, str]:
        return self._send(vnet, "GET")

    def patch(self, vnet: VnetConfig, operation: str, tags: dict[str, str]) -> None:
        self._send(vnet, "PATCH", {"operation": operation, "properties": {"tags": tags}})


def arm_error(response: Any) -> str:
    """ARM's error code and message, else the HTTP status."""
    try:
        error = response.json().get("error") or {}
    except ValueError:
        error = {}
    if error.get("code"):
        return f"{error['code']}: {error.get('message', '')}"
    return f"HTTP {response.status_code}"


def claims_in(tags: dict[str, str]) -> list[Claim]:
    found = (Claim.from_tag(name, value) for name, value in tags.items())
    return [claim for claim in found if claim is not None]


def others(tags: dict[str, str], claim: Claim) -> list[Claim]:
    return [c for c in claims_in(tags) if c.run_id != claim.run_id]


def take(tags: Tags, claim: Claim, vnet: VnetConfig, config_path: str) -> None:
    """Puts the run's claim on the VNet and reads it back; refuses when another run's claim is
    there too (the caller then releases its own)."""
    try:
        tags.patch(vnet, "Merge", {claim.tag_name: claim.tag_value})
    except Refused as refused:
        raise NotWritten(str(refused)) from None
    found = tags.read(vnet)
    held = others(found, claim)
    if held:
        raise ClaimError(refusal(vnet, held, config_path))
    if claim.tag_name not in found:
        raise ClaimError(
            f"{vnet.name}: the run's claim is not among the VNet's tags after it was written"
        )


def refusal(vnet: VnetConfig, held: list[Claim], config_path: str) -> str:
    holders = "; ".join(c.describe() for c in held)
    return (
        f"{vnet.name} is claimed by another run: {holders}. One run at a time acts on a VNet; "
        "wait for it to end. If it has ended without releasing its claim (its process killed, "
        f"its machine gone), release the claim: {release_command(config_path, vnet)}"
    )


def release(
    tags: Tags, claim: Claim, vnet: VnetConfig, config_path: str, log: logging.Logger
) -> BaseException | None:
    """Takes the run's claim off the VNet; a failure (a second Ctrl-C too) is logged with the
    command that does it, and returned."""
    try:
        tags.patch(vnet, "Delete", {claim.tag_name: claim.tag_value})
        return None
    except (Exception, KeyboardInterrupt) as error:
        log.error(
            f"  **Error** [{vnet.name}] the run's claim (tag {claim.tag_name}) could not be "
            f"released: {str(error) or type(error).__name__}; release it with: "
            f"{release_command(config_path, vnet, claim.run_id)}"
        )
        return error


@contextlib.contextmanager
def held(
    claim: Claim, vnets: list[VnetConfig], config_path: str, log: logging.Logger
) -> Iterator[None]:
    """The block runs with the run's claim on every VNet, released after it whatever its
    outcome; ClaimError, with nothing changed, when another run holds one of them."""
    tags, taken = Tags(), []
    try:
        for vnet in vnets:
            taken.append(vnet)  # a write cut off may have landed: released all the same
            try:
                take(tags, claim, vnet, config_path)
            except NotWritten:
                taken.remove(vnet)  # Azure refused it: nothing to release
                raise
        log.debug(f"claimed {', '.join(v.name for v in vnets)} for run {claim.run_id}")
        yield
    finally:
        failed = [release(tags, claim, vnet, config_path, log) for vnet in taken]
        stopped = [e for e in failed if isinstance(e, KeyboardInterrupt)]
        if stopped:  # every claim had its try; the stop goes on
            raise stopped[0]


def warn_if_held(vnets: list[VnetConfig], config_path: str, log: logging.Logger) -> None:
    """A dry run changes nothing and claims nothing; it says which VNets a run holds now."""
    tags = Tags()
    for vnet in vnets:
        try:
            held = claims_in(tags.read(vnet))
        except ClaimError as error:
            log.warning(f"[{vnet.name}] its claims cannot be read: {error}")
            continue
        if held:
            log.warning(refusal(vnet, held, config_path))


def release_stale(
    vnets: list[VnetConfig], run_id: str | None, force: bool, log: logging.Logger
) -> bool:
    """`switch-traffic release`: takes the claims of ended runs off the VNets (only run_id's,
    when given). A claim whose process still runs on this machine, or that was taken on another
    machine (whose processes this one cannot see), stays unless `force`. Whether every claim
    found was released."""
    tags, all_released = Tags(), True
    for vnet in vnets:
        found = tags.read(vnet)
        held = [c for c in claims_in(found) if run_id in (None, c.run_id)]
        if not held:
            log.info(f"[{vnet.name}] holds no claim" + (f" of run {run_id}" if run_id else ""))
        for stale in held:
            why = still_running(stale)
            if why and not force:
                log.error(
                    f"  **Error** [{vnet.name}] not released: {stale.describe()}: {why}; once "
                    "that run has ended, release it with --force"
                )
                all_released = False
                continue
            tags.patch(vnet, "Delete", {stale.tag_name: found[stale.tag_name]})
            log.info(f"[{vnet.name}] released the claim of {stale.describe()}")
    return all_released


def still_running(claim: Claim) -> str | None:
    """Why the claim's run may still be going on; None when it has certainly ended."""
    alive = claim.alive_here()
    if alive is None:
        return f"it was taken on {claim.host}, whose processes this machine cannot see"
    return "its process still runs on this machine" if alive else None
