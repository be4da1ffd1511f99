"""The topology file: the subscriptions, resource groups and resources an emulator starts with.

JSON or YAML (YAML is a superset of JSON, so one parser reads both). The format is documented
in docs/emulator.md. Every reference (a subnet's route table, a peering's remote network) is a
full resource ID or a short form "[[subscription/]group/]name" read relative to the resource
that holds it, and must name a resource of the file.
"""

import copy

import yaml

from .state import LOCK_TYPE, Resource, State, arm_type, lock_id, resource_id

PEERING_FLAGS = {
    "allow_virtual_network_access": ("allowVirtualNetworkAccess", True),
    "allow_forwarded_traffic": ("allowForwardedTraffic", False),
    "allow_gateway_transit": ("allowGatewayTransit", False),
    "use_remote_gateways": ("useRemoteGateways", False),
}
LOCK_LEVELS = ("CanNotDelete", "ReadOnly")
GATEWAY_TYPES = ("Vpn", "ExpressRoute")


class TopologyError(ValueError):
    """The topology is malformed; the text names the place."""


def load_topology(source):
    """A State from a topology: a path to a JSON or YAML file, or the parsed mapping."""
    if isinstance(source, dict):
        data, origin = copy.deepcopy(source), "topology"
    else:
        origin = str(source)
        try:
            with open(source, encoding="utf-8") as handle:
                data = yaml.safe_load(handle)
        except (OSError, yaml.YAMLError) as error:
            raise TopologyError(f"{origin}: {error}") from error
    return Builder(origin).build(data or {})


def mapping(value, where):
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise TopologyError(f"{where}: expected a mapping")
    return value


def camel(snake):
    head, *rest = snake.split("_")
    return head + "".join(part[:1].upper() + part[1:] for part in rest)


class Builder:
    def __init__(self, origin):
        self.origin = origin
        self.state = None
        self.references = []  # (where, resource, property, reference text, collection)

    def build(self, data):
        data = mapping(data, self.origin)
        self.state = State(default_location=data.get("location", "westus"))
        subscriptions = mapping(data.get("subscriptions"), f"{self.origin}: subscriptions")
        for subscription, body in subscriptions.items():
            where = f"{self.origin}: subscriptions.{subscription}"
            self.state.add_subscription(str(subscription))
            groups = mapping(mapping(body, where).get("resource_groups"), where)
            for group, content in groups.items():
                self.group(str(subscription), str(group), mapping(content, f"{where}.{group}"))
        self.resolve_references()
        return self.state

    def group(self, subscription, group, content):
        where = f"{self.origin}: subscriptions.{subscription}.resource_groups.{group}"
        self.state.add_group(subscription, group)
        tables = mapping(content.get("route_tables"), f"{where}.route_tables")
        for name, table in tables.items():
            self.route_table(subscription, group, str(name), mapping(table, f"{where}.{name}"))
        vnets = mapping(content.get("virtual_networks"), f"{where}.virtual_networks")
        for name, vnet in vnets.items():
            self.vnet(subscription, group, str(name), mapping(vnet, f"{where}.{name}"), where)

    def location(self, body):
        return body.get("location", self.state.default_location)

    def route_table(self, subscription, group, name, body):
        routes = []
        rid = resource_id(subscription, group, "routeTables", name)
        for route in body.get("routes") or []:
            route = dict(route)
            route_name = route.pop("name")
            routes.append(
                {
                    "id": f"{rid}/routes/{route_name}",
                    "name": route_name,
                    "properties": {camel(k): v for k, v in route.items()},
                }
            )
        properties = {
            "disableBgpRoutePropagation": bool(body.get("disable_bgp_route_propagation", False)),
            "routes": routes,
        }
        self.state.put(
            Resource(
                rid,
                arm_type("routeTables"),
                name,
                properties,
                location=self.location(body),
                tags=dict(body["tags"]) if body.get("tags") is not None else None,
            )
        )

    def vnet(self, subscription, group, name, body, where):
        where = f"{where}.virtual_networks.{name}"
        rid = resource_id(subscription, group, "virtualNetworks", name)
        prefixes = list(body.get("address_prefixes") or [])
        self.state.put(
            Resource(
                rid,
                arm_type("virtualNetworks"),
                name,
                {"addressSpace": {"addressPrefixes": prefixes}},
                location=self.location(body),
                tags=dict(body["tags"]) if body.get("tags") is not None else None,
            )
        )
        subnets = mapping(body.get("subnets"), f"{where}.subnets")
        for subnet_name, subnet in subnets.items():
            self.subnet(rid, str(subnet_name), mapping(subnet, f"{where}.subnets.{subnet_name}"))
        peerings = mapping(body.get("peerings"), f"{where}.peerings")
        for peering_name, peering in peerings.items():
            self.peering(
                rid, str(peering_name), mapping(peering, f"{where}.peerings.{peering_name}")
            )
        locks = mapping(body.get("locks"), f"{where}.locks")
        for lock_name, lock in locks.items():
            self.lock(rid, str(lock_name), lock, f"{where}.locks.{lock_name}")
        gateways = mapping(body.get("gateways"), f"{where}.gateways")
        for gateway_name, gateway in gateways.items():
            self.gateway(
                subscription,
                group,
                rid,
                str(gateway_name),
                mapping(gateway, f"{where}.gateways.{gateway_name}"),
                f"{where}.gateways.{gateway_name}",
            )

    def subnet(self, vnet_id, name, body):
        properties = {"addressPrefix": body.get("address_prefix", "10.0.0.0/24")}
        delegations = body.get("delegations") or []
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
        if body.get("route_table"):
            self.references.append((subnet, "routeTable", body["route_table"], "routeTables"))

    def peering(self, vnet_id, name, body):
        if not body.get("remote"):
            raise TopologyError(f"{self.origin}: peering {name} of {vnet_id} needs 'remote'")
        properties = {
            camel_key: body.get(key, default) for key, (camel_key, default) in PEERING_FLAGS.items()
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
        self.references.append((peering, "remoteVirtualNetwork", body["remote"], "virtualNetworks"))

    def lock(self, vnet_id, name, body, where):
        if isinstance(body, str):
            body = {"level": body}
        body = mapping(body, where)
        if body.get("level") not in LOCK_LEVELS:
            raise TopologyError(f"{where}: level must be one of {', '.join(LOCK_LEVELS)}")
        properties = {"level": body["level"]}
        if body.get("notes") is not None:
            properties["notes"] = body["notes"]
        rid = lock_id(vnet_id, name)
        self.state.put(Resource(rid, LOCK_TYPE, name, properties, provisioning_state=None))

    def gateway(self, subscription, group, vnet_id, name, body, where):
        kind = body.get("type")
        if kind not in GATEWAY_TYPES:
            raise TopologyError(f"{where}: type must be one of {', '.join(GATEWAY_TYPES)}")
        subnet_id = f"{vnet_id}/subnets/{body.get('subnet', 'GatewaySubnet')}"
        if self.state.get(subnet_id) is None:
            raise TopologyError(f"{where}: the VNet has no subnet {subnet_id.rsplit('/', 1)[1]}")
        rid = resource_id(subscription, group, "virtualNetworkGateways", name)
        properties = {
            "gatewayType": kind,
            "ipConfigurations": [
                {
                    "id": f"{rid}/ipConfigurations/default",
                    "name": "default",
                    "properties": {"subnet": {"id": self.state.get(subnet_id).id}},
                }
            ],
        }
        vnet = self.state.get(vnet_id)
        self.state.put(
            Resource(
                rid, arm_type("virtualNetworkGateways"), name, properties, location=vnet.location
            )
        )

    def resolve_references(self):
        for resource, prop, text, collection in self.references:
            target = self.state.get(self.expand(resource.id, str(text), collection))
            if target is None or target.type != arm_type(collection):
                raise TopologyError(
                    f"{self.origin}: {resource.id}: {prop} '{text}' names no {collection} resource"
                )
            resource.properties[prop] = {"id": target.id}
        for resource, _, _, _ in self.references:
            self.state.settle_peerings(resource)

    @staticmethod
    def expand(holder_id, text, collection):
        if text.startswith("/"):
            return text
        parts = text.split("/")
        if not 1 <= len(parts) <= 3:
            raise TopologyError(f"reference '{text}' must be an ID or [[subscription/]group/]name")
        holder = holder_id.split("/")
        subscription, group = holder[2], holder[4]
        if len(parts) == 3:
            subscription, group = parts[0], parts[1]
        elif len(parts) == 2:
            group = parts[0]
        return resource_id(subscription, group, collection, parts[-1])
