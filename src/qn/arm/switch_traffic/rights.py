"""The rights a run needs in Azure, asked before anything is changed.

Each step says which Azure actions its change needs and on which resource (`Step.rights`,
`Step.lock_rights`); the plan gathers them, and the run asks Azure's permissions API what the
caller may do there: `GET {resource}/providers/Microsoft.Authorization/permissions`, once per
resource for the whole run. An action is allowed when some entry of the answer (one per role
assignment) matches it in its `actions` and not in its `notActions`, as Azure evaluates role
assignments; a run that lacks one is refused before its first change, naming the action, the
resource and the credential that lacks it. Without this, a principal that may write the network
but not the hub's lock would be found out half-way, with subnets moved and the lock gone.

Where Azure cannot be asked (the permissions API refused or unreachable), the run is told so
and goes on: the question is a courtesy, and a revert must never wait on it.
"""

import functools
import re
import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote

from azure.core.rest import HttpRequest
from pydantic import BaseModel, ConfigDict, Field

from qn.arm.switch_traffic.resources import Clients, subscription_of

API_VERSION = "2022-04-01"
PERMISSIONS = "/providers/Microsoft.Authorization/permissions"

# The actions the steps' changes need, as Azure names them. A change that needs one more (a
# tag on the VNet, say) adds it here and returns it from its step's `rights`.
SUBNET_WRITE = "Microsoft.Network/virtualNetworks/subnets/write"
TABLE_JOIN = "Microsoft.Network/routeTables/join/action"
TABLE_WRITE = "Microsoft.Network/routeTables/write"
PEERING_WRITE = "Microsoft.Network/virtualNetworks/virtualNetworkPeerings/write"
PEERING_DELETE = "Microsoft.Network/virtualNetworks/virtualNetworkPeerings/delete"
PEER = "Microsoft.Network/virtualNetworks/peer/action"  # on the VNet at a peering's far end
LOCK_WRITE = "Microsoft.Authorization/locks/write"
LOCK_DELETE = "Microsoft.Authorization/locks/delete"


@dataclass(frozen=True)
class Need:
    """An action a step's change needs on a resource (by its resource ID)."""

    action: str
    scope: str
    step: str


def network_id(subscription: str, group: str, kind: str, name: str) -> str:
    return (
        f"/subscriptions/{subscription}/resourceGroups/{group}"
        f"/providers/Microsoft.Network/{kind}/{name}"
    )


def needs(step: str, scope: str, *actions: str) -> list[Need]:
    return [Need(action, scope, step) for action in actions]


# -- how Azure evaluates the entries --------------------------------------------------------


class Entry(BaseModel):
    """One entry of the permissions listing: what one role assignment allows."""

    model_config = ConfigDict(populate_by_name=True, extra="ignore")

    actions: list[str] = []
    not_actions: list[str] = Field(default=[], alias="notActions")

    def allows(self, action: str) -> bool:
        return any(matches(p, action) for p in self.actions) and not any(
            matches(p, action) for p in self.not_actions
        )


def matches(pattern: str, action: str) -> bool:
    """Whether an action matches a role's pattern: without regard to case, each `*` standing
    for any run of characters, slashes included (`*/read`, `Microsoft.Network/*`)."""
    expression = ".*".join(re.escape(part) for part in pattern.split("*"))
    return re.fullmatch(expression, action, re.IGNORECASE) is not None


def allowed(action: str, entries: Iterable[Entry]) -> bool:
    """Any entry allowing it, and not excluding it: a notAction takes away from its own entry
    only, so another role assignment may still grant the action."""
    return any(entry.allows(action) for entry in entries)


# -- asking Azure ---------------------------------------------------------------------------


class Unanswered:
    """Azure could not be asked at a resource; the error says why."""

    def __init__(self, error: Exception) -> None:
        self.error = error

    def __str__(self) -> str:
        return f"{type(self.error).__name__}: {self.error}"

    @property
    def kind(self) -> tuple[str, object, object]:
        """What refusals of one cause share, whatever resource their text names."""
        code = getattr(getattr(self.error, "error", None), "code", None)
        return type(self.error).__name__, getattr(self.error, "status_code", None), code


class Permissions:
    """The caller's permissions per resource, asked once for the run."""

    def __init__(self, clients: Clients) -> None:
        self.clients = clients
        self._known: dict[str, list[Entry] | Unanswered] = {}
        self._guard = threading.Lock()

    def at(self, scope: str) -> list[Entry] | Unanswered:
        key = scope.lower()
        with self._guard:
            if key in self._known:
                return self._known[key]
        try:
            found: list[Entry] | Unanswered = self._listed(scope)
        except Exception as error:  # the run goes on without knowing
            found = Unanswered(error)
        with self._guard:
            return self._known.setdefault(key, found)

    def _listed(self, scope: str) -> list[Entry]:
        # The tool's SDK packages have no operation for this listing; the lock client's
        # pipeline sends it as the run's other requests go: its credential, cloud, retries.
        client: Any = self.clients.locks(subscription_of(scope))
        url: str | None = f"{quote(scope)}{PERMISSIONS}?api-version={API_VERSION}"
        entries: list[Entry] = []
        while url:
            response = client._send_request(HttpRequest("GET", url))
            response.raise_for_status()
            page = response.json()
            entries += [Entry.model_validate(value) for value in page.get("value") or ()]
            url = page.get("nextLink")
        return entries


# -- the check ------------------------------------------------------------------------------


@dataclass
class Missing:
    """An action the caller lacks on a resource, and which VNets' steps need it."""

    action: str
    scope: str
    wanted_by: list[str]


def missing(
    permissions: Permissions,
    wanted: dict[str, list[Need]],
    each: Callable[[list[Callable[[], Any]]], list[Any]],
    warn: Callable[[str], None],
) -> list[Missing]:
    """What the VNets' needs ({VNet name: needs}) lack, asking each resource once (`each`
    runs the questions, several at once); `warn` hears of every resource that could not be
    asked."""
    scopes = {need.scope.lower(): need.scope for v in wanted.values() for need in v}
    asked = each([functools.partial(permissions.at, scope) for scope in scopes.values()])
    answers = dict(zip(scopes, asked, strict=True))
    # The resources Azure could not be asked at, by cause: one line for each.
    unanswered: dict[tuple[str, object, object], list[tuple[str, Unanswered]]] = {}
    for key, answer in answers.items():
        if isinstance(answer, Unanswered):
            unanswered.setdefault(answer.kind, []).append((scopes[key], answer))
    for where in unanswered.values():
        more = f" and {len(where) - 1} more" if len(where) > 1 else ""
        warn(
            f"cannot ask Azure which rights the run has on {where[0][0]}{more} ({where[0][1]}): "
            "they are not checked there, and a missing one stops the run where it is needed"
        )
    found: dict[tuple[str, str], Missing] = {}
    for vnet, vnet_needs in wanted.items():
        for need in vnet_needs:
            answer = answers[need.scope.lower()]
            if isinstance(answer, Unanswered) or allowed(need.action, answer):
                continue
            which = (need.action.lower(), need.scope.lower())
            entry = found.setdefault(which, Missing(need.action, need.scope, []))
            by = f"{vnet}: {need.step}"
            if by not in entry.wanted_by:
                entry.wanted_by.append(by)
    return list(found.values())


def refusal(lacking: list[Missing], credential: Callable[[str], str]) -> str:
    """The plan's refusal: each missing action, the resource and who lacks it there."""
    lines = [
        f"{m.action} on {m.scope} (for {', '.join(m.wanted_by)}); "
        f"{credential(subscription_of(m.scope))} lacks it"
        for m in lacking
    ]
    return (
        "the run lacks rights in Azure, so nothing was changed:\n  "
        + "\n  ".join(lines)
        + "\ngrant these actions on these resources (a role assignment there or above) and "
        "run again"
    )


def credential_named(raw: dict[str, Any], subscription: str) -> str:
    """How the configuration signs in to a subscription, as the operator knows it; never its
    secret."""
    listed = raw.get("subscriptions") or {}
    found = next((v for k, v in listed.items() if str(k).lower() == subscription.lower()), None)
    settings = (found or {}).get("credential") or {}
    kind = settings.get("type") or ("service_principal" if settings.get("client_id") else "default")
    where = f"subscription {subscription}'s credential"
    if kind == "service_principal":
        return (
            f"{where}, service principal {settings.get('client_id')} "
            f"(tenant {settings.get('tenant_id')})"
        )
    if kind == "static_token":
        return f"{where}, the emulator's static token {settings.get('token') or 'armsim'!r}"
    return f"{where}, the default sign-in (az login, managed identity, environment)"
