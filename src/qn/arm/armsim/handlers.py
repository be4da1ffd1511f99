"""Routing and handling of the ARM requests the emulator serves.

Paths are matched segment by segment without regard to case (the lock client writes
"resourcegroups", and an empty parent path leaves an empty segment, both of which ARM
accepts). Every handler runs under the state's lock and either returns a `Response` or raises
an `ArmError`.
"""

import copy
import re
import time
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import quote

from . import rules, tags
from .access import EVERYTHING, Principal
from .faults import Fault
from .rules import write_scope
from .settings import POLL_INTERVAL, Settings
from .state import (
    CHILDREN,
    LOCK_TYPE,
    LOCKS_PATH,
    NETWORK,
    TOP_LEVEL,
    ArmError,
    Json,
    Operation,
    Resource,
    State,
    arm_type,
    is_ancestor_or_self,
    lock_id,
    resource_id,
)
from .versions import check_api_version

# What the emulator serves for each resource kind: (collection, child collection) -> methods.
SUPPORTED = {
    ("virtualNetworks", None): {"GET"},
    ("virtualNetworks", "subnets"): {"GET", "PUT"},
    ("virtualNetworks", "virtualNetworkPeerings"): {"GET", "PUT", "DELETE"},
    ("routeTables", None): {"GET", "PUT"},
    ("virtualNetworkGateways", None): {"GET"},
}

# Properties ARM computes; a request body may carry them (a resource read and sent back
# whole), and they are dropped rather than stored.
READ_ONLY = {
    "provisioningState",
    "resourceGuid",
    "etag",
    "subnets",
    "ipConfigurations",
    "peeringState",
    "peeringSyncLevel",
    "remoteAddressSpace",
    "remoteVirtualNetworkAddressSpace",
}

LOCK_LEVELS = ("CanNotDelete", "ReadOnly")

GATEWAY_QUERY = re.compile(
    r"\s*Resources\s*\|\s*where\s+type\s*=~\s*'(?i:microsoft\.network/virtualnetworkgateways)'"
    r"\s*\|\s*mvexpand\s+nics\s*=\s*properties\.networkProfile"
    r"\s*\|\s*mvexpand\s+ipconfig\s*=\s*properties\.ipConfigurations"
    r"\s*\|\s*where\s+ipconfig\.properties\.subnet\.id\s*=~\s*'(?P<subnet>[^']*)'"
    r"\s*\|\s*project\s+properties\.gatewayType\s*"
)


@dataclass
class Request:
    method: str
    path: str
    query: dict[str, str]
    body: Any
    base_url: str
    principal: Principal | None = None  # who asks; None: one who may do everything

    @property
    def segments(self) -> list[str]:
        return [s for s in self.path.split("/") if s]

    @property
    def api_version(self) -> str | None:
        return self.query.get("api-version")


@dataclass
class Response:
    status: int
    body: Any = None
    headers: dict[str, str] = field(default_factory=dict)


def retry_after(seconds: float) -> dict[str, str]:
    """Retry-After for a refused request: whole seconds as ARM sends them, or a decimal for
    shorter waits, which azure-core's retry policy reads as seconds too."""
    return {"Retry-After": format(seconds, "g")}


def poll_after(seconds: float) -> dict[str, str]:
    """The wait before the next status poll. The network client reads the Retry-After of an
    accepted write as an integer and the poller reads 0 as "use your own default", so a wait
    that is not whole seconds (Azure's 10 s at a time scale) goes in x-ms-retry-after-ms, which
    the poller reads as well: rounded up to whole seconds, 2.5 s would have every client wait
    3 s, a fifth longer than the Azure it stands for."""
    milliseconds = max(1, round(seconds * 1000))
    if milliseconds % 1000 == 0:
        return {"Retry-After": str(milliseconds // 1000)}
    return {"x-ms-retry-after-ms": str(milliseconds)}


def bad_request(code: str, message: str) -> ArmError:
    return ArmError(400, code, message)


def lower(segments: list[str]) -> list[str]:
    return [s.lower() for s in segments]


# -- dispatch ---------------------------------------------------------------------------------
def dispatch(
    state: State, settings: Settings, request: Request, fault: Fault | None = None
) -> Response:
    if not request.api_version:
        raise bad_request(
            "MissingApiVersionParameter",
            "The api-version query parameter (?api-version=) is required for all requests.",
        )
    segments = request.segments
    check_api_version(segments, request.api_version, [state.default_location])
    low = lower(segments)
    if low == ["providers", "microsoft.resourcegraph", "resources"]:
        return only(request, "POST", lambda: query_resources(state, request))
    if (
        len(low) == 8
        and low[0] == "subscriptions"
        and low[2:5] == ["providers", "microsoft.network", "locations"]
        and low[6] in ("operations", "operationresults")
    ):
        if low[6] == "operations":
            return only(request, "GET", lambda: operation_status(state, settings, segments[7]))
        return only(request, "GET", lambda: operation_result(state, settings, request, segments[7]))
    if low[-3:] == ["providers", "microsoft.authorization", "permissions"]:
        return only(request, "GET", lambda: permissions(state, settings, request, segments[:-3]))
    for i in range(len(low) - 2):
        if low[i : i + 3] == ["providers", "microsoft.authorization", "locks"]:
            return locks(state, settings, request, segments[:i], segments[i + 3 :])
    if low[-4:] == ["providers", "microsoft.resources", "tags", "default"]:
        return tags_at(state, request, segments[:-4])
    if (
        len(low) == 5
        and low[0] == "subscriptions"
        and low[2:4] == ["providers", "microsoft.network"]
    ):
        collection = collection_name(segments[4])
        subscription = state.subscription(segments[1])
        return listed(
            state, settings, request, lambda: state.of_type(arm_type(collection), subscription)
        )
    address = parse_address(segments)
    if address is None:
        raise ArmError(404, "NotFound", f"No route for {request.method} {request.path}")
    return network(state, settings, request, address, fault)


def only(request: Request, method: str, handler: Callable[[], Response]) -> Response:
    if request.method != method:
        raise unsupported(request)
    return handler()


def listed(
    state: State, settings: Settings, request: Request, resources: Callable[[], list[Resource]]
) -> Response:
    """A GET of a collection: the resources that `resources()` gives, paged."""
    return only(request, "GET", lambda: listing(state, settings, request, resources()))


def unsupported(request: Request) -> ArmError:
    return ArmError(
        405, "UnsupportedOperation", f"The emulator does not serve {request.method} {request.path}"
    )


def collection_name(segment: str, table: dict[str, str] = TOP_LEVEL) -> str:
    name = table.get(segment.lower())
    if name is None:
        raise ArmError(
            404,
            "InvalidResourceType",
            f"The resource type '{segment}' could not be found in the namespace '{NETWORK}'.",
        )
    return name


@dataclass
class Address:
    """A network resource path: group, collection and name, optionally a child collection and
    name; a missing last name means the listing of that collection."""

    subscription: str
    group: str
    collection: str
    name: str | None = None
    child: str | None = None
    child_name: str | None = None


def parse_address(segments: list[str]) -> Address | None:
    low = lower(segments)
    if not (
        7 <= len(low) <= 10
        and low[0] == "subscriptions"
        and low[2] == "resourcegroups"
        and low[4:6] == ["providers", "microsoft.network"]
    ):
        return None
    collection = collection_name(segments[6])
    address = Address(segments[1], segments[3], collection)
    if len(segments) > 7:
        address.name = segments[7]
    if len(segments) > 8:
        address.child = collection_name(segments[8], CHILDREN.get(collection, {}))
    if len(segments) > 9:
        address.child_name = segments[9]
    return address


# -- network resources ------------------------------------------------------------------------
def network(
    state: State, settings: Settings, request: Request, address: Address, fault: Fault | None
) -> Response:
    group = state.group(address.subscription, address.group)
    subscription = state.subscription(address.subscription)
    if address.name is None:
        return listed(
            state,
            settings,
            request,
            lambda: state.of_type(arm_type(address.collection), subscription, group),
        )
    if request.method not in SUPPORTED[(address.collection, address.child)]:
        raise unsupported(request)
    rid = resource_id(subscription, group, address.collection, address.name)
    child = address.child
    if child is not None:
        parent = state.require(rid)
        if address.child_name is None:
            return only(
                request,
                "GET",
                lambda: listing(state, settings, request, state.children(parent.id, child)),
            )
        rid = resource_id(
            subscription, group, address.collection, parent.name, address.child, address.child_name
        )
    if request.method == "GET":
        body = state.render(state.require(rid))
        return Response(200, body, {"ETag": body["etag"]} if "etag" in body else {})
    if request.method == "PUT":
        return put_resource(state, settings, request, rid, address, fault)
    return delete_resource(state, settings, request, rid, fault)


def listing(
    state: State, settings: Settings, request: Request, resources: Iterable[Resource | Json]
) -> Response:
    users = state.users()  # once for the whole listing: it renders every resource in it
    values = [r if isinstance(r, dict) else state.render(r, users) for r in resources]
    start = int(request.query.get("$skiptoken", 0) or 0)
    if not settings.page_size:
        return Response(200, {"value": values})
    end = start + settings.page_size
    body: Json = {"value": values[start:end]}
    if end < len(values):
        body["nextLink"] = (
            f"{request.base_url}{quote(request.path)}?api-version={request.api_version}"
            f"&$skiptoken={end}"
        )
    return Response(200, body)


# What each writable kind of resource is called among the settings' durations.
KIND = {
    ("virtualNetworks", "subnets"): "subnet",
    ("virtualNetworks", "virtualNetworkPeerings"): "peering",
    ("routeTables", None): "route_table",
}


def put_resource(
    state: State,
    settings: Settings,
    request: Request,
    rid: str,
    address: Address,
    fault: Fault | None,
) -> Response:
    if not isinstance(request.body, dict):
        raise bad_request("InvalidRequestContent", "The request content must be a JSON object.")
    state.check_locks(rid, "write")
    existing = state.get(rid)
    if existing is not None:
        rid = existing.id
    accept = ACCEPT[(address.collection, address.child)]
    resource = accept(state, rid, request.body, existing)
    refuse_while_busy(state, settings, request, resource, existing)
    if existing is not None:
        resource.resource_guid = existing.resource_guid
    kind = f"{KIND[(address.collection, address.child)]}_put"
    previous = copy.deepcopy(existing)
    seconds = write_seconds(settings, kind, fault)
    asynchronous = seconds > 0 or failing(fault)
    resource.provisioning_state = "Updating" if asynchronous else "Succeeded"
    state.put(resource)
    state.settle_peerings(resource)
    status = 200 if existing is not None else 201
    if not asynchronous:
        return Response(status, state.render(resource))

    def succeed() -> None:
        resource.provisioning_state = "Succeeded"
        state.changed(resource.id)

    def fail() -> None:
        if previous is not None:
            state.put(previous)
            state.settle_peerings(previous)
        current = state.get(rid)
        if current is not None:
            current.provisioning_state = "Failed"

    scope = write_scope(resource, existing)
    operation = start_operation(
        state, request, resource, kind, seconds, scope, (succeed, fail), fault
    )
    return Response(status, state.render(resource), operation_headers(settings, request, operation))


def delete_resource(
    state: State, settings: Settings, request: Request, rid: str, fault: Fault | None
) -> Response:
    resource = state.get(rid)
    if resource is None:
        return Response(204)
    state.check_locks(resource.id, "delete")
    refuse_while_busy(state, settings, request, resource, resource)
    seconds = write_seconds(settings, "peering_delete", fault)
    if not (seconds > 0 or failing(fault)):
        remove(state, resource)
        return Response(200)
    resource.provisioning_state = "Deleting"

    def fail() -> None:
        resource.provisioning_state = "Failed"
        state.changed(resource.id)

    scope = write_scope(resource, None)
    outcome = (lambda: remove(state, resource), fail)
    operation = start_operation(
        state, request, resource, "peering_delete", seconds, scope, outcome, fault
    )
    # A delete's final state is read at its Location, which Azure sends beside the status URL.
    headers = operation_headers(settings, request, operation)
    headers["Location"] = operation_url(request, operation, RESULTS)
    return Response(202, None, headers)


def lock_call_kind(method: str, path: str) -> str | None:
    """The duration kind ("lock_put", "lock_delete") of a write of one lock; None otherwise."""
    segments = [s.lower() for s in path.split("/") if s]
    kind = {"PUT": "lock_put", "DELETE": "lock_delete"}.get(method.upper())
    one_lock = segments[-4:-1] == ["providers", "microsoft.authorization", "locks"]
    return kind if one_lock else None


def failing(fault: Fault | None) -> bool:
    return fault is not None and fault.fail_async


def write_seconds(settings: Settings, kind: str, fault: Fault | None) -> float:
    """Scaled seconds a write of this kind runs for, a slow fault's extra included."""
    extra = fault.slow if fault is not None else 0.0
    return settings.duration(kind) + settings.scaled(extra)


def refuse_while_busy(
    state: State,
    settings: Settings,
    request: Request,
    resource: Resource,
    existing: Resource | None,
) -> None:
    rules.refuse_while_busy(
        state,
        resource,
        existing,
        lambda operation: operation_url(request, operation),
        settings.scaled(POLL_INTERVAL),
    )


def remove(state: State, resource: Resource) -> None:
    state.remove(resource.id)
    state.settle_peerings(resource)


def start_operation(
    state: State,
    request: Request,
    resource: Resource,
    kind: str,
    seconds: float,
    scope: set[str],
    outcome: tuple[Callable[[], None], Callable[[], None]],
    fault: Fault | None,
) -> Operation:
    """Starts the write's operation."""
    error = None
    if fault is not None and fault.fail_async:
        error = ArmError(
            fault.status or 500,
            fault.error_code(),
            fault.error_message(request.method, request.path),
        )
    location = resource.location or location_of_parent(state, resource) or state.default_location
    return state.start_operation(
        Operation(
            id=str(uuid.uuid4()),
            subscription=resource.id.split("/")[2],
            location=location,
            kind=kind,
            target=resource.id,
            scope=frozenset(r.lower() for r in scope),
            deadline=time.monotonic() + seconds,
            succeed=outcome[0],
            fail=outcome[1],
            error=error,
        )
    )


def operation_headers(settings: Settings, request: Request, operation: Operation) -> dict[str, str]:
    """The headers that point the client at a running operation and say when to look."""
    return {
        "Azure-AsyncOperation": operation_url(request, operation),
        **poll_after(settings.poll_wait()),
    }


# The collections under a location where an operation answers: its status, and its result.
STATUS, RESULTS = "operations", "operationResults"


def operation_url(request: Request, operation: Operation, collection: str = STATUS) -> str:
    return (
        f"{request.base_url}/subscriptions/{operation.subscription}/providers/{NETWORK}/"
        f"locations/{operation.location}/{collection}/{operation.id}"
        f"?api-version={request.api_version}"
    )


def location_of_parent(state: State, resource: Resource) -> str | None:
    parent = state.get(resource.id.rsplit("/", 2)[0])
    return parent.location if parent is not None else None


def operation_result(
    state: State, settings: Settings, request: Request, operation_id: str
) -> Response:
    """The operation at its Location: 202 while it runs, 204 once it succeeded, its error
    once it failed."""
    operation = state.poll(operation_id)
    if operation.status == "InProgress":
        headers = {"Location": operation_url(request, operation, RESULTS)}
        return Response(202, None, {**headers, **poll_after(settings.poll_wait())})
    if operation.error is not None and operation.status == "Failed":
        return Response(operation.error.status, operation.error.body())
    return Response(204)


def operation_status(state: State, settings: Settings, operation_id: str) -> Response:
    operation = state.poll(operation_id)
    body: Json = {"id": operation.id, "name": operation.id, "status": operation.status}
    if operation.error is not None and operation.status == "Failed":
        body["error"] = {"code": operation.error.code, "message": operation.error.message}
    headers = poll_after(settings.poll_wait()) if operation.status == "InProgress" else {}
    return Response(200, body, headers)


# -- accepting request bodies ------------------------------------------------------------------
def writable_properties(body: Json, rid: str) -> Json:
    properties = body.get("properties", {})
    if not isinstance(properties, dict):
        raise bad_request("InvalidRequestFormat", f"{rid}: 'properties' must be an object.")
    return {k: copy.deepcopy(v) for k, v in properties.items() if k not in READ_ONLY}


def reference(state: State, properties: Json, key: str, rid: str) -> Resource:
    """The resource that properties[key] = {"id": ...} references. The reference keeps the
    spelling the client sent: Azure resolves IDs without regard to case and answers
    references in whatever casing it holds, so clients cannot rely on the target's own."""
    value = properties[key]
    if not isinstance(value, dict) or not isinstance(value.get("id"), str):
        raise bad_request("InvalidRequestFormat", f"{rid}: '{key}' must be an object with an id.")
    target = state.get(value["id"])
    if target is None:
        raise rules.missing_reference(value["id"], rid)
    properties[key] = {"id": value["id"]}
    return target


def accept_subnet(state: State, rid: str, body: Json, existing: Resource | None) -> Resource:
    properties = writable_properties(body, rid)
    if not properties.get("addressPrefix") and not properties.get("addressPrefixes"):
        raise bad_request("InvalidRequestFormat", f"Subnet {rid} has no properties.addressPrefix.")
    if properties.get("routeTable") is not None:
        rules.check_route_table_reach(state, rid, reference(state, properties, "routeTable", rid))
    else:
        properties.pop("routeTable", None)
    return Resource(rid, arm_type("virtualNetworks", "subnets"), rid.rsplit("/", 1)[1], properties)


def accept_route_table(state: State, rid: str, body: Json, existing: Resource | None) -> Resource:
    properties = writable_properties(body, rid)
    location = body.get("location") or (existing.location if existing else None)
    if not location:
        raise bad_request("LocationRequired", f"The location property is required for {rid}.")
    properties.setdefault("disableBgpRoutePropagation", False)
    properties.setdefault("routes", [])
    return Resource(
        rid,
        arm_type("routeTables"),
        rid.rsplit("/", 1)[1],
        properties,
        location=location,
        tags=copy.deepcopy(body.get("tags")),
    )


PEERING_DEFAULTS = {
    "allowVirtualNetworkAccess": True,
    "allowForwardedTraffic": False,
    "allowGatewayTransit": False,
    "useRemoteGateways": False,
}


def accept_peering(state: State, rid: str, body: Json, existing: Resource | None) -> Resource:
    properties = writable_properties(body, rid)
    if "remoteVirtualNetwork" not in properties:
        raise bad_request(
            "InvalidRequestFormat",
            f"Virtual network peering {rid} has no properties.remoteVirtualNetwork.",
        )
    remote = reference(state, properties, "remoteVirtualNetwork", rid).id
    for key, default in PEERING_DEFAULTS.items():
        if properties.get(key) is None:
            properties[key] = default
    rules.check_partner_connected(state, rid, remote)
    if properties["useRemoteGateways"]:
        rules.check_remote_gateways(state, rid, remote)
    # Writing a Disconnected end is how Azure brings it back: Initiated, or Connected once its
    # partner is there (settled when the write is stored).
    state_now = existing.properties["peeringState"] if existing else "Initiated"
    properties["peeringState"] = "Initiated" if state_now == "Disconnected" else state_now
    return Resource(
        rid,
        arm_type("virtualNetworks", "virtualNetworkPeerings"),
        rid.rsplit("/", 1)[1],
        properties,
    )


ACCEPT = {
    ("virtualNetworks", "subnets"): accept_subnet,
    ("virtualNetworks", "virtualNetworkPeerings"): accept_peering,
    ("routeTables", None): accept_route_table,
}


# -- management locks -------------------------------------------------------------------------
def locks(
    state: State, settings: Settings, request: Request, scope_segments: list[str], rest: list[str]
) -> Response:
    """Locks at a subscription, a resource group or a resource. A scope's listing holds the
    locks it inherits from above (each with its own scope in its ID) and those below it; a
    lock is read, written and deleted only at its own scope, so deleting an inherited lock's
    name at a lower scope finds nothing there and leaves it in place."""
    if len(rest) > 1:
        raise ArmError(404, "NotFound", f"No route for {request.method} {request.path}")
    scope = locks_scope(state, request, scope_segments)
    if not rest:
        related = [
            r
            for r in state.resources.values()
            if r.type == LOCK_TYPE
            and (is_ancestor_or_self(scope, r.id) or is_ancestor_or_self(lock_scope(r.id), scope))
        ]
        related.sort(key=lambda r: r.id.lower())
        return only(request, "GET", lambda: listing(state, settings, request, related))
    rid = lock_id(scope, rest[0])
    existing = state.get(rid)
    if request.method == "GET":
        if existing is None:
            raise ArmError(404, "LockNotFound", f"The lock '{rest[0]}' could not be found.")
        return Response(200, state.render(existing))
    if request.method == "DELETE":
        if existing is None:
            return Response(204)
        state.remove(existing.id)
        return Response(200)
    if request.method == "PUT":
        return put_lock(state, request, existing.id if existing else rid, existing)
    raise unsupported(request)


def tags_at(state: State, request: Request, scope_segments: list[str]) -> Response:
    """The tags of a resource the emulator holds (read, and changed by PATCH)."""
    scope = locks_scope(state, request, scope_segments)
    if request.method not in ("GET", "PATCH") or state.get(scope) is None:
        raise unsupported(request)
    status, body = tags.tags_at_scope(state, request.method, scope, request.body)
    return Response(status, body)


def lock_scope(rid: str) -> str:
    return rid.split(LOCKS_PATH)[0]


def locks_scope(state: State, request: Request, segments: list[str]) -> str:
    """The ID, in its own spelling, of the scope a lock path names: a subscription, a resource
    group or a resource; 404 when it does not exist."""
    low = lower(segments)
    if len(low) in (2, 4) and low[0] == "subscriptions":
        subscription = state.subscription(segments[1])
        if len(low) == 2:
            return f"/subscriptions/{subscription}"
        if low[2] == "resourcegroups":
            group = state.group(subscription, segments[3])
            return f"/subscriptions/{subscription}/resourceGroups/{group}"
    address = parse_address(segments)
    if address is None or address.name is None:
        raise ArmError(404, "NotFound", f"No route for {request.method} {request.path}")
    subscription = state.subscription(address.subscription)
    group = state.group(subscription, address.group)
    names = (address.collection, address.name, address.child, address.child_name)
    return state.require(resource_id(subscription, group, *names)).id


def put_lock(state: State, request: Request, rid: str, existing: Resource | None) -> Response:
    body = request.body if isinstance(request.body, dict) else {}
    properties = body.get("properties") or {}
    level = properties.get("level")
    if level not in LOCK_LEVELS:
        raise bad_request(
            "LockLevelInvalid", f"The lock level '{level}' is invalid; use one of {LOCK_LEVELS}."
        )
    kept = {"level": level}
    if properties.get("notes") is not None:
        kept["notes"] = properties["notes"]
    lock = state.put(Resource(rid, LOCK_TYPE, rid.rsplit("/", 1)[1], kept, provisioning_state=None))
    return Response(200 if existing else 201, state.render(lock))


# -- the caller's permissions ----------------------------------------------------------------
def permissions(
    state: State, settings: Settings, request: Request, scope_segments: list[str]
) -> Response:
    """What the caller may do at a resource group or a resource, one entry per permission it
    holds in the subscription; 404 as for any other request on a scope that does not exist."""
    if len(scope_segments) < 4:  # Azure asks at a resource group or a resource, not above
        raise ArmError(404, "NotFound", f"No route for {request.method} {request.path}")
    scope = locks_scope(state, request, scope_segments)
    principal = request.principal
    grants = principal.grants(scope.split("/")[2]) if principal else [EVERYTHING]
    return listing(state, settings, request, [grant.rendered() for grant in grants])


# -- Resource Graph ---------------------------------------------------------------------------
def query_resources(state: State, request: Request) -> Response:
    body = request.body if isinstance(request.body, dict) else {}
    match = GATEWAY_QUERY.fullmatch(body.get("query") or "")
    if match is None:
        raise ArmError(
            400,
            "BadRequest",
            "Please provide below info when asking for support: the query is not supported.",
            details=[
                {
                    "code": "InvalidQuery",
                    "message": "The emulator answers only the gateway-in-subnet query.",
                }
            ],
        )
    subnet_id = match.group("subnet").lower()
    subscriptions = [s.lower() for s in body.get("subscriptions") or []]
    rows = []
    for gateway in sorted(state.resources.values(), key=lambda r: r.id.lower()):
        if gateway.type != arm_type("virtualNetworkGateways"):
            continue
        if gateway.id.split("/")[2].lower() not in subscriptions:
            continue
        for ipconfig in gateway.properties.get("ipConfigurations", []):
            subnet = ipconfig.get("properties", {}).get("subnet", {}).get("id", "")
            if subnet.lower() == subnet_id:
                rows.append({"properties_gatewayType": gateway.properties.get("gatewayType")})
    options = body.get("options") or {}
    data: Json | list[Json] = rows
    if options.get("resultFormat", "objectArray") == "table":
        data = {
            "columns": [{"name": "properties_gatewayType", "type": "string"}],
            "rows": [[r["properties_gatewayType"]] for r in rows],
        }
    return Response(
        200,
        {
            "totalRecords": len(rows),
            "count": len(rows),
            "resultTruncated": "false",
            "data": data,
            "facets": [],
        },
    )
