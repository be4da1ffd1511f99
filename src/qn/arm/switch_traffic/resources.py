"""Reading Azure's resources: the driver's own clients per subscription, one read of a resource,
its provisioning state, and the verdict on an item. Resource names are compared without regard
to case, as Azure does.
"""

import threading
from collections.abc import Callable
from typing import Any

from azure.core.exceptions import ResourceNotFoundError

from qn.arm.discoverylib import DiscoveryLib
from qn.arm.res import cloud
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import answered

BUSY = {"updating", "deleting", "creating"}
Verdict = tuple[bool, str]  # done, and the reason when not
# A resource whose last operation failed keeps that state until a write succeeds
# (https://learn.microsoft.com/azure/networking/troubleshoot-failed-state): not done yet.
FAILED_STATE = "in the Failed provisioning state: its last operation failed"


def last_segment(resource_id: str | None) -> str | None:
    return resource_id.rsplit("/", 1)[-1] if resource_id else None


def same(a: str | None, b: str | None) -> bool:
    return (a or "").lower() == (b or "").lower()


def resource_group(resource_id: str) -> str:
    return resource_id.split("/")[DiscoveryLib.RG_I]


def subscription_of(resource_id: str) -> str:
    return resource_id.split("/")[2]


def vnet_name(vnet_id: str) -> str:
    return vnet_id.rstrip("/").rsplit("/", 1)[-1]


def only_named(names: list[str]) -> Callable[[str], bool]:
    """Whether a name is one of these, without regard to case."""
    wanted = {name.lower() for name in names}
    return lambda name: name.lower() in wanted


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
            lambda c: cloud.NetworkManagementClient(
                c.getCSC(), c.getSubId(), raw_response_hook=answered.hook
            ),
        )

    def locks(self, subscription: str) -> Any:
        return self._client(
            "locks", subscription, lambda c: cloud.ManagementLockClient(c.getSPC(), c.getSubId())
        )


class Unreadable:
    """An item whose read failed; the error is the reason it stays pending."""

    def __init__(self, error: Exception) -> None:
        self.error = error

    def __str__(self) -> str:
        return f"cannot be read: {type(self.error).__name__}: {self.error}"


def attempt(read: Callable[[], Any]) -> Any:
    """One read: the resource, None when Azure says it does not exist, or Unreadable."""
    try:
        return read()
    except ResourceNotFoundError:
        return None
    except Exception as error:  # the item stays pending with the error as its reason
        return Unreadable(error)


def readable(seen: Any) -> bool:
    return seen is not None and not isinstance(seen, Unreadable)


def text(value: Any) -> str:
    """An SDK enum member or plain string as Azure spells it."""
    return str(getattr(value, "value", value) or "")


def state_of(resource: Any) -> str:
    return (text(getattr(resource, "provisioning_state", None)) or "Succeeded").lower()


def busy(seen: Any) -> bool:
    """Whether an operation still runs on what was read (a resource, or a map of them)."""
    if isinstance(seen, dict):
        return any(busy(v) for v in seen.values())
    return readable(seen) and state_of(seen) in BUSY


def verdict(resource: Any, right: bool, wrong: str) -> Verdict:
    """Done when the resource shows what it should and its last operation succeeded."""
    failed = state_of(resource) == "failed"
    if right:
        return (False, FAILED_STATE) if failed else (True, "")
    return False, wrong + (": its last operation ended Failed" if failed else "")
