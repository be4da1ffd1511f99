"""The topology file: the subscriptions, resource groups, resources, locks and principals an
emulator starts with.

JSON or YAML (YAML is a superset of JSON, so one parser reads both). The format is documented
in docs/emulator.md. Every reference (a subnet's route table, a peering's remote network) is a
full resource ID or a short form "[[subscription/]group/]name" read relative to the resource
that holds it, and must name a resource of the file. Every key is checked: a key the format
does not have, a value of the wrong kind or a reference to nothing raises `TopologyError`
naming the file and the key, so a mistyped setting cannot go unnoticed.
"""

from dataclasses import dataclass, field
from typing import Any

from qn.arm.emulator.topology_file import Source, read

from .access import ALL, PERMISSIONS, Principal
from .state import LOCK_TYPE, Json, Resource, State, arm_type, lock_id, resource_id

PEERING_FLAGS = {
    "allow_virtual_network_access": ("allowVirtualNetworkAccess", True),
    "allow_forwarded_traffic": ("allowForwardedTraffic", False),
    "allow_gateway_transit": ("allowGatewayTransit", False),
    "use_remote_gateways": ("useRemoteGateways", False),
}
LOCK_LEVELS = ("CanNotDelete", "ReadOnly")
GATEWAY_TYPES = ("Vpn", "ExpressRoute")

# The keys each level of the file may hold.
KEYS = {
    "topology": {"location", "subscriptions", "principals"},
    "subscription": {"resource_groups", "locks"},
    "group": {"route_tables", "virtual_networks", "locks"},
    "route_table": {"location", "tags", "disable_bgp_route_propagation", "routes", "locks"},
    "route": {"name", "address_prefix", "next_hop_type", "next_hop_ip_address"},
    "vnet": {"location", "tags", "address_prefixes", "subnets", "peerings", "locks", "gateways"},
    "subnet": {"address_prefix", "route_table", "delegations", "locks"},
    "peering": {"remote", "locks", *PEERING_FLAGS},
    "gateway": {"type", "subnet", "locks"},
    "lock": {"level", "notes"},
    "principal": {"object_id", "subscriptions"},
}


class TopologyError(ValueError):
    """The topology is malformed or inconsistent; the text names the file and the key."""


@dataclass
class Topology:
    """What a topology file describes: the state and the principals ({token: Principal};
    empty when the file names none)."""

    state: State
    principals: dict[str, Principal] = field(default_factory=dict)


def load(source: Source) -> Topology:
    """The topology of a path to a JSON or YAML file, or of the parsed mapping."""
    data, origin = read(source, TopologyError)
    return Builder(origin).build(data)


def load_topology(source: Source) -> State:
    """The State of a topology (see `load`)."""
    return load(source).state


def at(place: str, key: str) -> str:
    """The dotted name of a key in the file: "subscriptions.s1.resource_groups"."""
    return f"{place}.{key}" if place else key


def camel(snake: str) -> str:
    head, *rest = snake.split("_")
    return head + "".join(part[:1].upper() + part[1:] for part in rest)


class Builder:
    def __init__(self, origin: str) -> None:
        self.origin = origin
        self.state = State()
        # (place, resource, property, reference text, collection)
        self.references: list[tuple[str, Resource, str, str, str]] = []

    # -- checking values ------------------------------------------------------------------
    def fail(self, place: str, problem: str) -> TopologyError:
        return TopologyError(
            f"{self.origin}: {place}: {problem}" if place else f"{self.origin}: {problem}"
        )

    def mapping(self, value: object, place: str, kind: str | None = None) -> Json:
        """A mapping (None reads as empty); with `kind`, only the keys that level may hold."""
        if value is None:
            return {}
        if not isinstance(value, dict):
            raise self.fail(place, "expected a mapping")
        if kind is not None:
            unknown = sorted(str(k) for k in value if k not in KEYS[kind])
            if unknown:
                raise self.fail(
                    at(place, unknown[0]),
                    f"unknown key; a {kind.replace('_', ' ')} takes "
                    f"{', '.join(sorted(KEYS[kind]))}",
                )
        return value

    def entries(self, body: Json, key: str, place: str) -> list[tuple[str, Any, str]]:
        """(name, value, place) of a named collection such as `subnets`."""
        where = at(place, key)
        found = self.mapping(body.get(key), where)
        return [(str(name), value, f"{where}.{name}") for name, value in found.items()]

    def text(self, body: Json, key: str, place: str, default: str | None = None) -> str | None:
        value = body.get(key, default)
        if value is not None and not isinstance(value, str):
            raise self.fail(at(place, key), "expected text")
        return value

    def texts(self, body: Json, key: str, place: str) -> list[str]:
        value = body.get(key) or []
        if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
            raise self.fail(at(place, key), "expected a list of text")
        return list(value)

    def flag(self, body: Json, key: str, place: str, default: bool) -> bool:
        value = body.get(key, default)
        if not isinstance(value, bool):
            raise self.fail(at(place, key), "expected true or false")
        return value

    def tags(self, body: Json, place: str) -> Json | None:
        if body.get("tags") is None:
            return None
        return {str(k): v for k, v in self.mapping(body["tags"], f"{place}.tags").items()}

    # -- building -------------------------------------------------------------------------
    def build(self, data: object) -> Topology:
        data = self.mapping(data, "", "topology")
        self.state.default_location = self.text(data, "location", "") or "westus"
        for subscription, body, place in self.entries(data, "subscriptions", ""):
            self.subscription(subscription, self.mapping(body, place, "subscription"), place)
        self.resolve_references()
        principals = self.principals(data)
        return Topology(self.state, principals)

    def subscription(self, subscription: str, body: Json, place: str) -> None:
        self.state.add_subscription(subscription)
        for group, content, where in self.entries(body, "resource_groups", place):
            self.group(subscription, group, self.mapping(content, where, "group"), where)
        self.locks(f"/subscriptions/{subscription}", body, place)

    def group(self, subscription: str, group: str, body: Json, place: str) -> None:
        self.state.add_group(subscription, group)
        for name, table, where in self.entries(body, "route_tables", place):
            self.route_table(
                subscription, group, name, self.mapping(table, where, "route_table"), where
            )
        for name, vnet, where in self.entries(body, "virtual_networks", place):
            self.vnet(subscription, group, name, self.mapping(vnet, where, "vnet"), where)
        self.locks(f"/subscriptions/{subscription}/resourceGroups/{group}", body, place)

    def location(self, body: Json, place: str) -> str:
        return self.text(body, "location", place) or self.state.default_location

    def route_table(self, subscription: str, group: str, name: str, body: Json, place: str) -> None:
        rid = resource_id(subscription, group, "routeTables", name)
        routes = body.get("routes") or []
        if not isinstance(routes, list):
            raise self.fail(f"{place}.routes", "expected a list of routes")
        properties = {
            "disableBgpRoutePropagation": self.flag(
                body, "disable_bgp_route_propagation", place, False
            ),
            "routes": [
                self.route(
                    rid,
                    self.mapping(route, f"{place}.routes[{i}]", "route"),
                    f"{place}.routes[{i}]",
                )
                for i, route in enumerate(routes)
            ],
        }
        self.state.put(
            Resource(
                rid,
                arm_type("routeTables"),
                name,
                properties,
                location=self.location(body, place),
                tags=self.tags(body, place),
            )
        )
        self.locks(rid, body, place)

    def route(self, table_id: str, route: Json, place: str) -> Json:
        name = self.text(route, "name", place)
        if not name:
            raise self.fail(f"{place}.name", "a route needs a name")
        properties = {camel(k): v for k, v in route.items() if k != "name"}
        return {"id": f"{table_id}/routes/{name}", "name": name, "properties": properties}

    def vnet(self, subscription: str, group: str, name: str, body: Json, place: str) -> None:
        rid = resource_id(subscription, group, "virtualNetworks", name)
        prefixes = self.texts(body, "address_prefixes", place)
        self.state.put(
            Resource(
                rid,
                arm_type("virtualNetworks"),
                name,
                {"addressSpace": {"addressPrefixes": prefixes}},
                location=self.location(body, place),
                tags=self.tags(body, place),
            )
        )
        for subnet, content, where in self.entries(body, "subnets", place):
            self.subnet(rid, subnet, self.mapping(content, where, "subnet"), where)
        for peering, content, where in self.entries(body, "peerings", place):
            self.peering(rid, peering, self.mapping(content, where, "peering"), where)
        for gateway, content, where in self.entries(body, "gateways", place):
            self.gateway(
                subscription, group, rid, gateway, self.mapping(content, where, "gateway"), where
            )
        self.locks(rid, body, place)

    def subnet(self, vnet_id: str, name: str, body: Json, place: str) -> None:
        properties: Json = {
            "addressPrefix": self.text(body, "address_prefix", place, "10.0.0.0/24")
        }
        delegations = self.texts(body, "delegations", place)
        if delegations:
            properties["delegations"] = [
                {
                    "id": f"{vnet_id}/subnets/{name}/delegations/{i}",
                    "name": str(i),
                    "type": arm_type("virtualNetworks", "subnets/delegations"),
                    "properties": {"serviceName": service},
                }
                for i, service in enumerate(delegations)
            ]
        subnet = self.state.put(
            Resource(
                f"{vnet_id}/subnets/{name}",
                arm_type("virtualNetworks", "subnets"),
                name,
                properties,
            )
        )
        table = self.text(body, "route_table", place)
        if table:
            self.references.append(
                (f"{place}.route_table", subnet, "routeTable", table, "routeTables")
            )
        self.locks(subnet.id, body, place)

    def peering(self, vnet_id: str, name: str, body: Json, place: str) -> None:
        remote = self.text(body, "remote", place)
        if not remote:
            raise self.fail(f"{place}.remote", "a peering needs 'remote', its remote network")
        properties: Json = {
            camel_key: self.flag(body, key, place, default)
            for key, (camel_key, default) in PEERING_FLAGS.items()
        }
        properties["peeringState"] = "Initiated"
        peering = self.state.put(
            Resource(
                f"{vnet_id}/virtualNetworkPeerings/{name}",
                arm_type("virtualNetworks", "virtualNetworkPeerings"),
                name,
                properties,
            )
        )
        self.references.append(
            (f"{place}.remote", peering, "remoteVirtualNetwork", remote, "virtualNetworks")
        )
        self.locks(peering.id, body, place)

    def gateway(
        self, subscription: str, group: str, vnet_id: str, name: str, body: Json, place: str
    ) -> None:
        kind = body.get("type")
        if kind not in GATEWAY_TYPES:
            raise self.fail(f"{place}.type", f"must be one of {', '.join(GATEWAY_TYPES)}")
        subnet_name = self.text(body, "subnet", place, "GatewaySubnet")
        subnet = self.state.get(f"{vnet_id}/subnets/{subnet_name}")
        if subnet is None:
            raise self.fail(f"{place}.subnet", f"the VNet has no subnet {subnet_name}")
        rid = resource_id(subscription, group, "virtualNetworkGateways", name)
        properties = {
            "gatewayType": kind,
            "ipConfigurations": [
                {
                    "id": f"{rid}/ipConfigurations/default",
                    "name": "default",
                    "properties": {"subnet": {"id": subnet.id}},
                }
            ],
        }
        location = self.state.require(vnet_id).location
        self.state.put(
            Resource(rid, arm_type("virtualNetworkGateways"), name, properties, location=location)
        )
        self.locks(rid, body, place)

    def locks(self, scope: str, body: Json, place: str) -> None:
        """The `locks` of a scope: {name: level} or {name: {level, notes}}."""
        for name, lock, where in self.entries(body, "locks", place):
            if isinstance(lock, str):
                lock = {"level": lock}
            lock = self.mapping(lock, where, "lock")
            if lock.get("level") not in LOCK_LEVELS:
                raise self.fail(f"{where}.level", f"must be one of {', '.join(LOCK_LEVELS)}")
            properties = {"level": lock["level"]}
            notes = self.text(lock, "notes", where)
            if notes is not None:
                properties["notes"] = notes
            rid = lock_id(scope, name)
            self.state.put(Resource(rid, LOCK_TYPE, name, properties, provisioning_state=None))

    def resolve_references(self) -> None:
        for place, resource, prop, text, collection in self.references:
            target = self.state.get(self.expand(place, resource.id, text, collection))
            if target is None or target.type != arm_type(collection):
                raise self.fail(place, f"'{text}' names no {collection} resource of the file")
            resource.properties[prop] = {"id": target.id}
        for _, resource, _, _, _ in self.references:
            self.state.settle_peerings(resource)

    def expand(self, place: str, holder_id: str, text: str, collection: str) -> str:
        if text.startswith("/"):
            return text
        parts = text.split("/")
        if not 1 <= len(parts) <= 3:
            raise self.fail(place, f"'{text}' must be an ID or [[subscription/]group/]name")
        holder = holder_id.split("/")
        subscription, group = holder[2], holder[4]
        if len(parts) == 3:
            subscription, group = parts[0], parts[1]
        elif len(parts) == 2:
            group = parts[0]
        return resource_id(subscription, group, collection, parts[-1])

    # -- principals -----------------------------------------------------------------------
    def principals(self, data: Json) -> dict[str, Principal]:
        """{token: Principal}: `principals: {token: {object_id, subscriptions: {subscription:
        [permission, ...] or all}}}`."""
        principals: dict[str, Principal] = {}
        for token, body, place in self.entries(data, "principals", ""):
            body = self.mapping(body, place, "principal")
            rights: dict[str, frozenset[str]] = {}
            for subscription, granted, where in self.entries(body, "subscriptions", place):
                if subscription.lower() not in self.state.subscriptions:
                    raise self.fail(where, "names no subscription of the file")
                rights[subscription.lower()] = self.permissions(granted, where)
            object_id = self.text(body, "object_id", place) or ""
            principals[token] = Principal(token, object_id, rights)
        return principals

    def permissions(self, granted: object, place: str) -> frozenset[str]:
        if granted == ALL:
            return frozenset(PERMISSIONS)
        if not isinstance(granted, list) or not set(granted) <= set(PERMISSIONS):
            raise self.fail(place, f"expected '{ALL}' or a list of {', '.join(PERMISSIONS)}")
        return frozenset(granted)
