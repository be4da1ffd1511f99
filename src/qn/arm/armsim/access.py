"""Who may do what: the principals of a topology, their permissions, and ARM's 403 answers.

A principal is a bearer token with a set of permissions per subscription. The permissions
are coarse, one per kind of request the library sends; each stands for the Azure actions
that request needs (`Microsoft.Network/virtualNetworks/subnets/write`, ...), and a refusal
names the action and scope as ARM does.
"""

import uuid
from dataclasses import dataclass, field

from .state import ArmError

PERMISSIONS = ("read", "write_network", "write_locks", "delete_locks")
ALL = "all"  # shorthand for every permission in a subscription

LOCKS_TYPE = "microsoft.authorization/locks"
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

    def may(self, permission: str, subscription: str) -> bool:
        if self.rights is None:
            return True
        return permission in self.rights.get(subscription.lower(), frozenset())

    def client(self) -> str:
        return f"The client '{self.object_id}' with object id '{self.object_id}'"


@dataclass
class Action:
    """What a request asks to do: ARM's action name, the scope it acts on and its
    subscription, and the permission of ours that allows it."""

    name: str
    scope: str
    subscription: str
    permission: str


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
    return Action(f"{type_}/{verb}", scope, subscription, permission_for(type_, verb))


def permission_for(type_: str, verb: str) -> str:
    if verb == "read":
        return "read"
    if type_.lower() == LOCKS_TYPE:
        return "delete_locks" if verb == "delete" else "write_locks"
    return "write_network"


def authorize(principal: Principal, method: str, segments: list[str], body: object) -> None:
    """Answers 403 AuthorizationFailed when the principal may not perform the request, and
    403 LinkedAuthorizationFailed for a peering whose remote network it may not peer with."""
    action = requested_action(method, segments)
    if action is None:
        return
    if not principal.may(action.permission, action.subscription):
        raise ArmError(
            403,
            "AuthorizationFailed",
            f"{principal.client()} does not have authorization to perform action "
            f"'{action.name}' over scope '{action.scope}' or the scope is invalid. If access "
            "was recently granted, please refresh your credentials.",
        )
    remote = remote_network(action, body)
    if remote is not None and not principal.may("write_network", remote.split("/")[2]):
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
