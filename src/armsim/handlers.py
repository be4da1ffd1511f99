"""Routing and handling of the ARM requests the emulator serves.

Paths are matched segment by segment without regard to case (the lock client writes
"resourcegroups", and an empty parent path leaves an empty segment, both of which ARM
accepts). Every handler runs under the state's lock and either returns a `Response` or raises
an `ArmError`.
"""

import copy
import math
import re
from dataclasses import dataclass, field

from .settings import Settings  # noqa: F401 - where server and __main__ import it from
from .state import (
    CHILDREN,
    LOCK_TYPE,
    NETWORK,
    TOP_LEVEL,
    ArmError,
    Resource,
    arm_type,
    is_ancestor_or_self,
    lock_id,
    resource_id,
)

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
    query: dict
    body: object
    base_url: str

    @property
    def segments(self):
        return [s for s in self.path.split("/") if s]

    @property
    def api_version(self):
        return self.query.get("api-version")


@dataclass
class Response:
    status: int
    body: object = None
    headers: dict = field(default_factory=dict)


def retry_after(seconds):
    """Retry-After for a refused request: whole seconds as ARM sends them, or a decimal for
    shorter waits, which azure-core's retry policy reads as seconds too."""
    return {"Retry-After": format(seconds, "g")}


def poll_after(seconds):
    """The wait before the next status poll. The network client reads the Retry-After of an
    accepted write as an integer and the poller reads 0 as "use your own default", so waits
    under a second go in x-ms-retry-after-ms, which the poller reads as well."""
    if seconds >= 1:
        return {"Retry-After": str(math.ceil(seconds))}
    return {"x-ms-retry-after-ms": str(max(1, round(seconds * 1000)))}


def bad_request(code, message):
    return ArmError(400, code, message)


def lower(segments):
    return [s.lower() for s in segments]


# -- dispatch ---------------------------------------------------------------------------------
def dispatch(state, settings, request, fault=None):
    if not request.api_version:
        raise bad_request(
            "MissingApiVersionParameter",
            "The api-version query parameter (?api-version=) is required for all requests.",
        )
    segments = request.segments
    low = lower(segments)
    if low == ["providers", "microsoft.resourcegraph", "resources"]:
        return only(request, "POST", lambda: query_resources(state, request))
    if (
        len(low) == 8
        and low[0] == "subscriptions"
        and low[2:5] == ["providers", "microsoft.network", "locations"]
        and low[6] == "operations"
    ):
        return only(request, "GET", lambda: operation_status(state, settings, segments[7]))
    for i in range(len(low) - 2):
        if low[i : i + 3] == ["providers", "microsoft.authorization", "locks"]:
            return locks(state, settings, request, segments[:i], segments[i + 3 :])
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


def only(request, method, handler):
    if request.method != method:
        raise unsupported(request)
    return handler()


def listed(state, settings, request, resources):
    """A GET of a collection: the resources that `resources()` gives, paged."""
    return only(request, "GET", lambda: listing(state, settings, request, resources()))


def unsupported(request):
    return ArmError(
        405, "UnsupportedOperation", f"The emulator does not serve {request.method} {request.path}"
    )


def collection_name(segment, table=TOP_LEVEL):
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


def parse_address(segments):
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
def network(state, settings, request, address, fault):
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
    if address.child is not None:
        parent = state.require(rid)
        if address.child_name is None:
            return only(
                request,
                "GET",
                lambda: listing(state, settings, request, state.children(parent.id, address.child)),
            )
        rid = resource_id(
            subscription, group, address.collection, parent.name, address.child, address.child_name
        )
    if request.method == "GET":
        return Response(200, state.render(state.require(rid)))
    if request.method == "PUT":
        return put_resource(state, settings, request, rid, address, fault)
    return delete_resource(state, settings, request, rid, fault)


def listing(state, settings, request, resources):
    values = [r if isinstance(r, dict) else state.render(r) for r in resources]
    start = int(request.query.get("$skiptoken", 0) or 0)
    if not settings.page_size:
        return Response(200, {"value": values})
    end = start + settings.page_size
    body = {"value": values[start:end]}
    if end < len(values):
        body["nextLink"] = (
            f"{request.base_url}{request.path}?api-version={request.api_version}&$skiptoken={end}"
        )
    return Response(200, body)


def put_resource(state, settings, request, rid, address, fault):
    if not isinstance(request.body, dict):
        raise bad_request("InvalidRequestContent", "The request content must be a JSON object.")
    state.check_locks(rid, "write")
    existing = state.get(rid)
    if existing is not None:
        rid = existing.id
    accept = ACCEPT[(address.collection, address.child)]
    resource = accept(state, rid, request.body, existing)
    previous = copy.deepcopy(existing)
    asynchronous = settings.lro == "async" or (fault is not None and fault.fail_async)
    resource.provisioning_state = "Updating" if asynchronous else "Succeeded"
    state.put(resource)
    state.settle_peerings(resource)
    status = 200 if existing is not None else 201
    if not asynchronous:
        return Response(status, state.render(resource))

    def succeed():
        resource.provisioning_state = "Succeeded"

    def fail():
        if previous is not None:
            state.put(previous)
            state.settle_peerings(previous)
        current = state.get(rid)
        if current is not None:
            current.provisioning_state = "Failed"

    headers = start_operation(state, settings, request, resource, succeed, fail, fault)
    return Response(status, state.render(resource), headers)


def delete_resource(state, settings, request, rid, fault):
    resource = state.get(rid)
    if resource is None:
        return Response(204)
    state.check_locks(resource.id, "delete")
    asynchronous = settings.lro == "async" or (fault is not None and fault.fail_async)
    if not asynchronous:
        remove(state, resource)
        return Response(200)
    resource.provisioning_state = "Deleting"

    def fail():
        resource.provisioning_state = "Failed"

    headers = start_operation(
        state, settings, request, resource, lambda: remove(state, resource), fail, fault
    )
    return Response(202, None, headers)


def remove(state, resource):
    state.remove(resource.id)
    state.settle_peerings(resource)


def start_operation(state, settings, request, resource, succeed, fail, fault):
    subscription = resource.id.split("/")[2]
    location = resource.location or location_of_parent(state, resource) or state.default_location
    error = None
    if fault is not None and fault.fail_async:
        error = ArmError(
            fault.status or 500,
            fault.error_code(),
            fault.error_message(request.method, request.path),
        )
    operation = state.start_operation(
        subscription, location, settings.lro_polls, succeed, fail, error
    )
    url = (
        f"{request.base_url}/subscriptions/{subscription}/providers/{NETWORK}/locations/"
        f"{location}/operations/{operation.id}?api-version={request.api_version}"
    )
    return {"Azure-AsyncOperation": url, **poll_after(settings.poll_retry_after)}


def location_of_parent(state, resource):
    parent = state.get(resource.id.rsplit("/", 2)[0])
    return parent.location if parent is not None else None


def operation_status(state, settings, operation_id):
    operation = state.poll(operation_id)
    body = {"id": operation.id, "name": operation.id, "status": operation.status}
    if operation.status == "Failed":
        body["error"] = {"code": operation.error.code, "message": operation.error.message}
    headers = poll_after(settings.poll_retry_after) if operation.status == "InProgress" else {}
    return Response(200, body, headers)


# -- accepting request bodies ------------------------------------------------------------------
def writable_properties(body, rid):
    properties = body.get("properties", {})
    if not isinstance(properties, dict):
        raise bad_request("InvalidRequestFormat", f"{rid}: 'properties' must be an object.")
    return {k: copy.deepcopy(v) for k, v in properties.items() if k not in READ_ONLY}


def reference(state, value, rid, what):
    """A reference {"id": ...} to an existing resource, in the resource's own spelling."""
    if not isinstance(value, dict) or not isinstance(value.get("id"), str):
        raise bad_request("InvalidRequestFormat", f"{rid}: '{what}' must be an object with an id.")
    target = state.get(value["id"])
    if target is None:
        raise bad_request(
            "InvalidResourceReference",
            f"Resource {value['id']} referenced by resource {rid} was not found.",
        )
    return {"id": target.id}


def accept_subnet(state, rid, body, existing):
    properties = writable_properties(body, rid)
    if not properties.get("addressPrefix") and not properties.get("addressPrefixes"):
        raise bad_request("InvalidRequestFormat", f"Subnet {rid} has no properties.addressPrefix.")
    if properties.get("routeTable") is not None:
        properties["routeTable"] = reference(state, properties["routeTable"], rid, "routeTable")
    else:
        properties.pop("routeTable", None)
    return Resource(rid, arm_type("virtualNetworks", "subnets"), rid.rsplit("/", 1)[1], properties)


def accept_route_table(state, rid, body, existing):
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


def accept_peering(state, rid, body, existing):
    properties = writable_properties(body, rid)
    if "remoteVirtualNetwork" not in properties:
        raise bad_request(
            "InvalidRequestFormat",
            f"Virtual network peering {rid} has no properties.remoteVirtualNetwork.",
        )
    properties["remoteVirtualNetwork"] = reference(
        state, properties["remoteVirtualNetwork"], rid, "remoteVirtualNetwork"
    )
    for key, default in PEERING_DEFAULTS.items():
        if properties.get(key) is None:
            properties[key] = default
    properties["peeringState"] = existing.properties["peeringState"] if existing else "Initiated"
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
def locks(state, settings, request, scope_segments, rest):
    address = parse_address(scope_segments)
    if address is None or address.name is None or len(rest) > 1:
        raise ArmError(404, "NotFound", f"No route for {request.method} {request.path}")
    group = state.group(address.subscription, address.group)
    scope_id = resource_id(
        state.subscription(address.subscription), group, address.collection, address.name
    )
    if address.child is not None:
        scope_id = resource_id(
            state.subscription(address.subscription),
            group,
            address.collection,
            address.name,
            address.child,
            address.child_name,
        )
    scope = state.require(scope_id)
    if not rest:
        below = [
            r
            for r in state.resources.values()
            if r.type == LOCK_TYPE and is_ancestor_or_self(scope.id, r.id)
        ]
        below.sort(key=lambda r: r.id.lower())
        return only(request, "GET", lambda: listing(state, settings, request, below))
    rid = lock_id(scope.id, rest[0])
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


def put_lock(state, request, rid, existing):
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


# -- Resource Graph ---------------------------------------------------------------------------
def query_resources(state, request):
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
    if options.get("resultFormat", "objectArray") == "table":
        data = {
            "columns": [{"name": "properties_gatewayType", "type": "string"}],
            "rows": [[r["properties_gatewayType"]] for r in rows],
        }
    else:
        data = rows
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
