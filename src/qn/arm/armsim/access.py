"""Who may do what: the principals of a topology, their permissions, and ARM's 403 answers.

A principal is a bearer token with a set of permissions per subscription. The permissions
are coarse, one per kind of request the library sends; each stands for the Azure actions
that request needs (`Microsoft.Network/virtualNetworks/subnets/write`, ...), and a refusal
names the action and scope as ARM does.

Each permission is written as a role's `actions` and `notActions` (`GRANTS`), as Azure's
permissions API answers them, and a request is judged against those entries as Azure judges
role assignments: allowed when some entry's actions match it and its notActions do not. So
what the permissions API tells a caller is exactly what the emulator then lets it do.
"""

import re
import uuid
from dataclasses import dataclass, field

from .state import ArmError

PERMISSIONS = ("read", "write_network", "write_locks", "delete_locks")
ALL = "all"  # shorthand for every permission in a subscription


@dataclass(frozen=True)
class Grant:
    """One entry of Azure's permissions listing: what a role assignment allows."""

    actions: tuple[str, ...]
    not_actions: tuple[str, ...] = ()

    def rendered(self) -> dict[str, list[str]]:
        return {
            "actions": list(self.actions),
            "notActions": list(self.not_actions),
            "dataActions": [],
            "notDataActions": [],
        }

    def allows(self, action: str) -> bool:
        return any(matches(p, action) for p in self.actions) and not any(
            matches(p, action) for p in self.not_actions
        )


# What each permission stands for. Every request that is not a read or a lock call counts as
# a network write, whatever its provider, so `write_network` is every write, delete and action
# but those on locks.
GRANTS = {
    "read": Grant(("*/read",)),
    "write_network": Grant(("*/write", "*/delete", "*/action"), ("Microsoft.Authorization/*",)),
    "write_locks": Grant(("Microsoft.Authorization/locks/write",)),
    "delete_locks": Grant(("Microsoft.Authorization/locks/delete",)),
}
EVERYTHING = Grant(("*",))
PERMISSIONS_TYPE = "microsoft.authorization/permissions"


def matches(pattern: str, action: str) -> bool:
    """Whether an action matches a pattern of a role: without regard to case, each `*`
    standing for any run of characters, slashes included (`Microsoft.Network/*/read`)."""
    expression = ".*".join(re.escape(part) for part in pattern.split("*"))
    return re.fullmatch(expression, action, re.IGNORECASE) is not None


PEERINGS_TYPE = "microsoft.network/virtualnetworks/virtualnetworkpeerings"
PEER_ACTION = "Microsoft.Network/virtualNetworks/peer/action"
VERBS = {"GET": "read", "PUT": "write", "PATCH": "write", "DELETE": "delete", "POST": "action"}


@dataclass
class Principal:
    """A token and its permissions: {lower-case subscription ID: set of PERMISSIONS}, or None
    for a principal that may do everything everywhere."""

    token: str
    object_id: str = ""
    rights: dict[str, frozenset[str]] | None = field(default=None)

    def __post_init__(self) -> None:
        if not self.object_id:
            self.object_id = str(uuid.uuid5(uuid.NAMESPACE_URL, f"armsim:principal:{self.token}"))

    def grants(self, subscription: str) -> list[Grant]:
        """The entries Azure's permissions API lists for this principal in the subscription:
        one per permission, as one role assignment each; `*` for the all-powerful token."""
        if self.rights is None:
            return [EVERYTHING]
        held = self.rights.get(subscription.lower(), frozenset())
        return [GRANTS[p] for p in PERMISSIONS if p in held]

    def may(self, action: str, subscription: str) -> bool:
        return any(grant.allows(action) for grant in self.grants(subscription))

    def client(self) -> str:
        return f"The client '{self.object_id}' with object id '{self.object_id}'"


@dataclass
class Action:
    """What a request asks to do: ARM's action name, the scope it acts on and its
    subscription."""

    name: str
    scope: str
    subscription: str


def requested_action(method: str, segments: list[str]) -> Action | None:
    """The action a request under /subscriptions/{s} performs; None for requests outside a
    subscription (Resource Graph) and for paths no provider serves."""
    low = [s.lower() for s in segments]
    if len(low) < 2 or low[0] != "subscriptions":
        return None
    subscription = segments[1]
    if "providers" not in low:
        return None
    at = len(low) - 1 - low[::-1].index("providers")
    if at + 1 >= len(segments):
        return None
    namespace, rest = segments[at + 1], segments[at + 2 :]
    type_ = "/".join([namespace, *rest[0::2]])
    verb = VERBS.get(method.upper(), "action")
    scope_segments = segments
    if len(rest) % 2 == 1:  # a listing acts on the scope that holds the collection
        scope_segments = segments[:-1]
        if len(rest) == 1:
            scope_segments = segments[:at]
    scope = "/" + "/".join(scope_segments)
    return Action(f"{type_}/{verb}", scope, subscription)


def authorize(principal: Principal, method: str, segments: list[str], body: object) -> None:
    """Answers 403 AuthorizationFailed when the principal may not perform the request, and
    403 LinkedAuthorizationFailed for a peering whose remote network it may not peer with."""
    action = requested_action(method, segments)
    if action is None or action.name.lower() == f"{PERMISSIONS_TYPE}/read":
        return  # a caller may always ask what it may do
    if not principal.may(action.name, action.subscription):
        raise ArmError(
            403,
            "AuthorizationFailed",
            f"{principal.client()} does not have authorization to perform action "
            f"'{action.name}' over scope '{action.scope}' or the scope is invalid. If access "
            "was recently granted, please refresh your credentials.",
        )
    remote = remote_network(action, body)
    if remote is not None and not principal.may(PEER_ACTION, remote.split("/")[2]):
        raise ArmError(
            403,
            "LinkedAuthorizationFailed",
            f"{principal.client()} has permission to perform action '{action.name}' on scope "
            f"'{action.scope}'; however, it does not have permission to perform action(s) "
            f"'{PEER_ACTION}' on the linked scope(s) '{remote}' (respectively) or the linked "
            "scope(s) are invalid.",
        )


def remote_network(action: Action, body: object) -> str | None:
    """The remote network ID of a peering write, when the body names one."""
    if not action.name.lower().startswith(PEERINGS_TYPE) or not action.name.endswith("/write"):
        return None
    properties = body.get("properties") if isinstance(body, dict) else None
    remote = properties.get("remoteVirtualNetwork") if isinstance(properties, dict) else None
    rid = remote.get("id") if isinstance(remote, dict) else None
    if not isinstance(rid, str) or len(rid.strip("/").split("/")) < 2:
        return None
    return rid if rid.startswith("/") else "/" + rid
