"""The emulator's state: resources by ID, their ARM rendering, locks and running operations.

Resources live in one map keyed by their lower-cased resource ID, because ARM resolves IDs
without regard to case; each keeps the spelling it was created with. Values that ARM derives
(a VNet's subnets and peerings, a route table's subnets, a peering's remote address space)
are computed when a resource is rendered, so they cannot drift from the resources they
describe.
"""

import copy
import threading
import time
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

NETWORK = "Microsoft.Network"
LOCK_TYPE = "Microsoft.Authorization/locks"
LOCKS_PATH = "/providers/Microsoft.Authorization/locks/"

# Collection names as ARM spells them in paths, keyed by their lower-case form.
TOP_LEVEL = {
    "virtualnetworks": "virtualNetworks",
    "routetables": "routeTables",
    "virtualnetworkgateways": "virtualNetworkGateways",
}
# A JSON object as ARM sends and receives it.
Json = dict[str, Any]

CHILDREN = {
    "virtualNetworks": {"subnets": "subnets", "virtualnetworkpeerings": "virtualNetworkPeerings"},
}

# Names of etags and resource GUIDs: drawn from the resource's ID and the state's revision, so
# every change gets a new etag while two emulators loading one topology render it alike.
STAMPS = uuid.UUID("9a3d2c1e-5b7f-4e0a-8c6d-2f1e0b9a7c35")


class ArmError(Exception):
    """An error answer: its status and the ARM error body {"error": {"code", "message"}}."""

    def __init__(
        self,
        status: int,
        code: str,
        message: str,
        headers: dict[str, str] | None = None,
        details: list[Json] | None = None,
    ) -> None:
        super().__init__(f"{status} {code}: {message}")
        self.status = status
        self.code = code
        self.message = message
        self.headers = dict(headers or {})
        self.details = details

    def body(self) -> Json:
        error: Json = {"code": self.code, "message": self.message}
        if self.details:
            error["details"] = self.details
        return {"error": error}


def not_found(resource_id: str) -> ArmError:
    return ArmError(404, "ResourceNotFound", f"The Resource '{resource_id}' was not found.")


def arm_type(collection: str, child: str | None = None) -> str:
    return f"{NETWORK}/{collection}" + (f"/{child}" if child else "")


def resource_id(
    subscription: str,
    group: str,
    collection: str,
    name: str,
    child: str | None = None,
    child_name: str | None = None,
) -> str:
    rid = f"/subscriptions/{subscription}/resourceGroups/{group}/providers/{NETWORK}"
    rid += f"/{collection}/{name}"
    if child:
        rid += f"/{child}/{child_name}"
    return rid


def lock_id(scope: str, name: str) -> str:
    return f"{scope}{LOCKS_PATH}{name}"


def id_parts(rid: str) -> tuple[str, str, list[str]]:
    """(subscription, resource group, rest) of a resource ID; rest are the segments after the
    provider namespace."""
    parts = rid.strip("/").split("/")
    return parts[1], parts[3], parts[6:]


MARKERS = ("etag", "resourceGuid")


def without_markers(value: Any) -> Any:
    """The rendered value without its etags and resource GUIDs, at any depth."""
    if isinstance(value, dict):
        return {k: without_markers(v) for k, v in value.items() if k not in MARKERS}
    if isinstance(value, list):
        return [without_markers(v) for v in value]
    return value


def weak_etag(guid: str) -> str:
    return f'W/"{guid}"'


def is_ancestor_or_self(scope: str, rid: str) -> bool:
    scope, rid = scope.lower().rstrip("/"), rid.lower()
    return rid == scope or rid.startswith(scope + "/")


# The resource types whose properties carry a resourceGuid.
GUID_TYPES = {
    arm_type("virtualNetworks"),
    arm_type("virtualNetworks", "virtualNetworkPeerings"),
    arm_type("routeTables"),
    arm_type("virtualNetworkGateways"),
}


@dataclass
class Resource:
    id: str
    type: str
    name: str
    properties: Json
    location: str | None = None
    tags: Json | None = None
    provisioning_state: str | None = "Succeeded"
    etag: str | None = None  # the GUID of its W/"..." etag; renewed on every change
    resource_guid: str | None = None  # kept for the resource's life, across writes


@dataclass(frozen=True)
class Users:
    """What uses what, by the used resource's ID in lower case: the subnets (IDs) on each route
    table, the gateway IP configurations (IDs) in each subnet."""

    subnets: dict[str, list[str]]
    configurations: dict[str, list[str]]


@dataclass
class Operation:
    """An asynchronous operation, answered at its Azure-AsyncOperation URL until it ends.

    It holds `scope` (lower-cased resource IDs) until its deadline: writes to those resources
    are refused meanwhile, as Azure refuses them while an operation on them runs.
    """

    id: str
    subscription: str
    location: str
    kind: str  # a kind of write, as the settings name it ("subnet_put", ...)
    target: str  # the ID of the resource written
    scope: frozenset[str]
    deadline: float  # on the monotonic clock
    succeed: Callable[[], None]
    fail: Callable[[], None]
    error: ArmError | None = None  # set: the operation ends in failure with this error
    status: str = "InProgress"


@dataclass
class State:
    default_location: str = "westus"
    # lower-case ID -> (ID, {lower-case group: group})
    subscriptions: dict[str, tuple[str, dict[str, str]]] = field(default_factory=dict)
    resources: dict[str, Resource] = field(default_factory=dict)  # lower-case ID -> Resource
    operations: dict[str, Operation] = field(default_factory=dict)  # by operation id
    revision: int = 0  # counts changes; names the etags they leave
    lock: threading.RLock = field(default_factory=threading.RLock, repr=False)

    # -- subscriptions and resource groups ------------------------------------------------
    def add_subscription(self, subscription: str) -> dict[str, str]:
        return self.subscriptions.setdefault(subscription.lower(), (subscription, {}))[1]

    def add_group(self, subscription: str, group: str) -> None:
        self.add_subscription(subscription).setdefault(group.lower(), group)

    def subscription(self, subscription: str) -> str:
        """The subscription's canonical ID; 404 when the emulator has no such subscription."""
        entry = self.subscriptions.get(subscription.lower())
        if entry is None:
            raise ArmError(
                404,
                "SubscriptionNotFound",
                f"The subscription '{subscription}' could not be found.",
            )
        return entry[0]

    def group(self, subscription: str, group: str) -> str:
        """The resource group's canonical name; 404 when it does not exist."""
        self.subscription(subscription)
        name = self.subscriptions[subscription.lower()][1].get(group.lower())
        if name is None:
            raise ArmError(
                404, "ResourceGroupNotFound", f"Resource group '{group}' could not be found."
            )
        return name

    # -- resources ------------------------------------------------------------------------
    def get(self, rid: str) -> Resource | None:
        return self.resources.get(rid.lower())

    def require(self, rid: str) -> Resource:
        resource = self.get(rid)
        if resource is None:
            raise not_found(rid)
        return resource

    def put(self, resource: Resource) -> Resource:
        self.resources[resource.id.lower()] = resource
        if resource.resource_guid is None and resource.type in GUID_TYPES:
            resource.resource_guid = self.new_guid(resource.id)
        self.changed(resource.id)
        return resource

    def remove(self, rid: str) -> None:
        """Removes a resource with everything nested under it (children and their locks)."""
        prefix = rid.lower() + "/"
        for key in [k for k in self.resources if k == rid.lower() or k.startswith(prefix)]:
            del self.resources[key]
        self.changed(rid)

    def changed(self, rid: str) -> None:
        """Gives the resource and the resources that embed it (a child's VNet) new etags, as
        Azure renews a resource's etag on every change to what its body holds."""
        parts = rid.split("/")
        for length in range(len(parts), 8, -2):  # the resource, then its parent
            resource = self.get("/".join(parts[:length]))
            if resource is not None:
                resource.etag = self.new_guid(resource.id)

    def new_guid(self, rid: str) -> str:
        self.revision += 1
        return str(uuid.uuid5(STAMPS, f"{rid.lower()}#{self.revision}"))

    def children(self, parent_id: str, collection: str) -> list[Resource]:
        prefix = f"{parent_id.lower()}/{collection.lower()}/"
        found = [
            r
            for k, r in self.resources.items()
            if k.startswith(prefix) and "/" not in k[len(prefix) :]
        ]
        return sorted(found, key=lambda r: r.id.lower())

    def of_type(self, type_: str, subscription: str, group: str | None = None) -> list[Resource]:
        """Resources of one type in a subscription (and group), in ID order."""
        prefix = f"/subscriptions/{subscription}/".lower()
        if group is not None:
            prefix += f"resourcegroups/{group}/".lower()
        found = [
            r
            for k, r in self.resources.items()
            if k.startswith(prefix) and r.type.lower() == type_.lower()
        ]
        return sorted(found, key=lambda r: r.id.lower())

    # -- locks ----------------------------------------------------------------------------
    def locks_over(self, rid: str) -> list[Resource]:
        """The locks whose scope is the resource or one of its ancestors."""
        return [
            r
            for r in self.resources.values()
            if r.type == LOCK_TYPE and is_ancestor_or_self(r.id.split(LOCKS_PATH)[0], rid)
        ]

    def check_locks(self, rid: str, action: str) -> None:
        """Answers 409 ScopeLocked when a lock forbids `action` ("write" or "delete") on rid.

        A ReadOnly lock forbids both; a CanNotDelete lock forbids deletion.
        """
        levels = ("ReadOnly",) if action == "write" else ("ReadOnly", "CanNotDelete")
        scopes = [
            r.id.split(LOCKS_PATH)[0]
            for r in self.locks_over(rid)
            if r.properties.get("level") in levels
        ]
        if scopes:
            listed = ",".join(f"'{s}'" for s in dict.fromkeys(scopes))
            raise ArmError(
                409,
                "ScopeLocked",
                f"The scope '{rid}' cannot perform {action} operation because following "
                f"scope(s) are locked: {listed}. Please remove the lock and try again.",
            )

    # -- rendering ------------------------------------------------------------------------
    def render(self, resource: Resource, users: "Users | None" = None) -> Json:
        """The resource as ARM answers it; `users`, read once for a listing of many, says which
        subnets use each route table and which gateway configurations sit in each subnet."""
        users = users or self.users()
        body: Json = {"id": resource.id, "name": resource.name, "type": resource.type}
        if resource.etag is not None and resource.type.startswith(NETWORK):
            body["etag"] = weak_etag(resource.etag)
        if resource.location is not None:
            body["location"] = resource.location
        if resource.tags is not None:
            body["tags"] = copy.deepcopy(resource.tags)
        properties = copy.deepcopy(resource.properties)
        if resource.provisioning_state is not None:
            properties["provisioningState"] = resource.provisioning_state
        if resource.resource_guid is not None:
            properties["resourceGuid"] = resource.resource_guid
        kind = resource.type.lower()
        if kind == arm_type("virtualNetworks").lower():
            properties["subnets"] = [
                self.render(s, users) for s in self.children(resource.id, "subnets")
            ]
            properties["virtualNetworkPeerings"] = [
                self.render(p, users) for p in self.children(resource.id, "virtualNetworkPeerings")
            ]
        elif kind == arm_type("virtualNetworks", "subnets").lower():
            properties.setdefault("delegations", [])  # ARM lists none as an empty list
            configurations = users.configurations.get(resource.id.lower())
            if configurations:
                properties["ipConfigurations"] = [{"id": c} for c in configurations]
        elif kind == arm_type("routeTables").lower():
            properties["routes"] = [
                self.render_route(resource, route) for route in properties.get("routes", [])
            ]
            subnets = users.subnets.get(resource.id.lower())
            if subnets:
                properties["subnets"] = [{"id": subnet} for subnet in subnets]
        elif kind == arm_type("virtualNetworks", "virtualNetworkPeerings").lower():
            connected = properties.get("peeringState") == "Connected"
            properties["peeringSyncLevel"] = "FullyInSync" if connected else "RemoteNotInSync"
            remote = self.get(properties.get("remoteVirtualNetwork", {}).get("id", ""))
            if remote is not None:
                properties["remoteAddressSpace"] = copy.deepcopy(
                    remote.properties.get("addressSpace")
                )
        body["properties"] = properties
        return body

    @staticmethod
    def render_route(table: Resource, route: Json) -> Json:
        """A route of a table as ARM answers it: a child resource that carries the table's
        etag, since it changes only with the table."""
        name = route.get("name", "")
        rendered: Json = {"id": f"{table.id}/routes/{name}", "name": name}
        if table.etag is not None:
            rendered["etag"] = weak_etag(table.etag)
        rendered["type"] = arm_type("routeTables", "routes")
        rendered["properties"] = copy.deepcopy(route.get("properties", {}))
        return rendered

    def users(self) -> "Users":
        """Which subnets use each route table and which gateway IP configurations sit in each
        subnet, in ID order: one pass over the state, however many resources are rendered."""
        subnet_type = arm_type("virtualNetworks", "subnets").lower()
        gateway_type = arm_type("virtualNetworkGateways")
        subnets: dict[str, list[str]] = {}
        configurations: dict[str, list[tuple[str, int, str]]] = {}
        for resource in self.resources.values():
            if resource.type.lower() == subnet_type:
                table = (resource.properties.get("routeTable") or {}).get("id", "")
                if table:
                    subnets.setdefault(table.lower(), []).append(resource.id)
            elif resource.type == gateway_type:
                for place, config in enumerate(resource.properties.get("ipConfigurations", [])):
                    subnet = config.get("properties", {}).get("subnet", {}).get("id", "")
                    configurations.setdefault(subnet.lower(), []).append(
                        (resource.id.lower(), place, config["id"])
                    )
        return Users(
            {table: sorted(ids, key=str.lower) for table, ids in subnets.items()},
            {subnet: [c for *_, c in sorted(found)] for subnet, found in configurations.items()},
        )

    def snapshot(self, markers: bool = False) -> dict[str, Json]:
        """The whole state as plain data: {resource ID: rendered resource}, in ID order.

        `markers` keeps what Azure renews on every change (etags) or draws for every new
        resource (resourceGuid); without them, snapshots taken before a change and after its
        undoing compare equal."""
        with self.lock:
            self.advance()
            rendered = {
                r.id: self.render(r)
                for r in sorted(self.resources.values(), key=lambda r: r.id.lower())
            }
        return rendered if markers else without_markers(rendered)

    def settle_peerings(self, peering: Resource) -> None:
        """Keeps peering states as Azure reports them after a peering came or went: both ends
        present means Connected, an end whose partner went away is Disconnected, and a new end
        without a partner stays Initiated."""
        if peering.type != arm_type("virtualNetworks", "virtualNetworkPeerings"):
            return
        local_vnet = peering.id.rsplit("/", 2)[0]
        remote_vnet = peering.properties["remoteVirtualNetwork"]["id"]
        for vnet, other in ((local_vnet, remote_vnet), (remote_vnet, local_vnet)):
            for end in self.children(vnet, "virtualNetworkPeerings"):
                if end.properties["remoteVirtualNetwork"]["id"].lower() != other.lower():
                    continue
                partner = any(
                    p.properties["remoteVirtualNetwork"]["id"].lower() == vnet.lower()
                    for p in self.children(other, "virtualNetworkPeerings")
                )
                before = end.properties["peeringState"]
                if partner:
                    end.properties["peeringState"] = "Connected"
                elif before == "Connected":
                    end.properties["peeringState"] = "Disconnected"
                if end.properties["peeringState"] != before:
                    self.changed(end.id)

    # -- asynchronous operations ----------------------------------------------------------
    def start_operation(self, operation: Operation) -> Operation:
        self.operations[operation.id] = operation
        return operation

    def advance(self) -> None:
        """Ends, in the order of their deadlines, the operations whose time is up. Called on
        every request and snapshot, so an operation nobody polls still ends in its time."""
        with self.lock:
            now = time.monotonic()
            due = [o for o in self.pending() if o.deadline <= now]
            for operation in sorted(due, key=lambda o: o.deadline):
                self.finish(operation)

    def poll(self, operation_id: str) -> Operation:
        """The operation as its status URL answers it now."""
        self.advance()
        operation = self.operations.get(operation_id)
        if operation is None:
            raise ArmError(404, "NotFound", f"Operation {operation_id} not found.")
        return operation

    def finish(self, operation: Operation) -> None:
        if operation.status != "InProgress":
            return
        if operation.error is None:
            operation.succeed()
            operation.status = "Succeeded"
        else:
            operation.fail()
            operation.status = "Failed"

    def finish_all(self) -> None:
        """Ends every running operation now, as if its time were up."""
        with self.lock:
            for operation in sorted(self.pending(), key=lambda o: o.deadline):
                self.finish(operation)

    def pending(self) -> list[Operation]:
        with self.lock:
            return [o for o in self.operations.values() if o.status == "InProgress"]

    def holding(self, resource_ids: Iterable[str]) -> Operation | None:
        """The running operation that holds one of these resources, if any."""
        wanted = {r.lower() for r in resource_ids}
        return next((o for o in self.pending() if o.scope & wanted), None)

    def next_deadline(self) -> float | None:
        return min((o.deadline for o in self.pending()), default=None)
