"""Azure's refusals of network writes, with its status, code, message and details.

Each function raises the ArmError Azure answers, or returns when Azure would accept the write.
The public reports each refusal is taken from are cited in docs/emulator.md.
"""

from collections.abc import Callable

from .state import ArmError, Json, Operation, Resource, State, arm_type

SUBNET = arm_type("virtualNetworks", "subnets")
PEERING = arm_type("virtualNetworks", "virtualNetworkPeerings")
ROUTE_TABLE = arm_type("routeTables")
GATEWAY = arm_type("virtualNetworkGateways")


def vnet_of(child_id: str) -> str:
    return child_id.rsplit("/", 2)[0]


def referenced_id(properties: Json, key: str) -> str | None:
    return (properties.get(key) or {}).get("id")


def route_tables_of(*subnets: Resource | None) -> set[str]:
    """The route tables the subnets reference (a subnet PUT holds the old and the new one)."""
    found = (referenced_id(s.properties, "routeTable") for s in subnets if s is not None)
    return {t for t in found if t}


def write_scope(resource: Resource, existing: Resource | None) -> set[str]:
    """What a write holds while it runs: the resource, a child's VNet (a VNet and its subnets
    and peerings conflict with each other), and the route tables a subnet moves between."""
    scope = {resource.id}
    if resource.type in (SUBNET, PEERING):
        scope.add(vnet_of(resource.id))
    if resource.type == SUBNET:
        scope |= route_tables_of(resource, existing)
    return scope


def refuse_while_busy(
    state: State,
    resource: Resource,
    existing: Resource | None,
    url: Callable[[Operation], str],
    retry_after: float,
) -> None:
    """429 RetryableError for a subnet whose route table (old or new) is being written, 409
    AnotherOperationInProgress for any write to what a running operation holds, 400
    ReferencedResourceNotProvisioned for a peering whose remote VNet has a subnet being
    written. `url(op)` is the status URL of an operation, which Azure names in the message;
    `retry_after` the scaled seconds the 429 announces."""
    if resource.type == SUBNET:
        for table in sorted(route_tables_of(resource, existing)):
            operation = state.holding([table])
            if operation is not None and operation.kind == "route_table_put":
                raise not_provisioned(table, resource.id, retry_after)
    operation = state.holding(write_scope(resource, existing))
    if operation is not None:
        raise ArmError(
            409,
            "AnotherOperationInProgress",
            "Another operation on this or dependent resource is in progress. To retrieve "
            f"status of the operation use uri: {url(operation)}.",
            details=[],
        )
    if resource.type == PEERING:
        refuse_while_remote_updating(state, resource)


def refuse_while_remote_updating(state: State, peering: Resource) -> None:
    """A peering is written into both VNets, and Azure will not touch the remote one while a
    subnet write holds it Updating."""
    remote = referenced_id(peering.properties, "remoteVirtualNetwork")
    operation = state.holding([remote]) if remote else None
    if operation is not None and operation.kind == "subnet_put":
        raise ArmError(
            400,
            "ReferencedResourceNotProvisioned",
            f"Cannot proceed with operation because resource {remote} used by resource "
            f"{peering.id} is not in Succeeded state. Resource is in Updating state and the "
            "last operation that updated/is updating the resource is PutSubnetOperation.",
            details=[],
        )


def not_provisioned(table: str, subnet: str, seconds: float) -> ArmError:
    return ArmError(
        429,
        "RetryableError",
        "A retryable error occured.",  # sic: Azure's spelling
        headers={"Retry-After": format(seconds, "g")},
        details=[
            {
                "code": "ReferencedResourceNotProvisioned",
                "message": f"Cannot proceed with operation because resource {table} used by "
                f"resource {subnet} is not in Succeeded state. Resource is in Updating state "
                "and the last operation that updated/is updating the resource is "
                "PutRouteTableOperation.",
            }
        ],
    )


def missing_reference(target: str, holder: str) -> ArmError:
    return ArmError(
        400,
        "InvalidResourceReference",
        f"Resource {target} referenced by resource {holder} was not found. Please make sure "
        "that the referenced resource exists, and that both resources are in the same region.",
        details=[],
    )


def check_route_table_reach(state: State, subnet_id: str, table: Resource) -> None:
    """A subnet can only use a route table of its VNet's subscription and region; Azure
    answers as if the table did not exist."""
    vnet = state.require(vnet_of(subnet_id))
    same_subscription = table.id.split("/")[2].lower() == vnet.id.split("/")[2].lower()
    same_region = (table.location or "").lower() == (vnet.location or "").lower()
    if not (same_subscription and same_region):
        raise missing_reference(table.id, subnet_id)


# -- peerings ---------------------------------------------------------------------------------
def partner_end(state: State, vnet: str, remote_vnet: str) -> Resource | None:
    """The peering of `remote_vnet` that points back at `vnet`."""
    return next(
        (
            p
            for p in state.children(remote_vnet, "virtualNetworkPeerings")
            if p.properties["remoteVirtualNetwork"]["id"].lower() == vnet.lower()
        ),
        None,
    )


def check_partner_connected(state: State, peering_id: str, remote_vnet: str) -> None:
    partner = partner_end(state, vnet_of(peering_id), remote_vnet)
    if partner is not None and partner.properties.get("peeringState") == "Disconnected":
        raise ArmError(
            400,
            "RemotePeeringIsDisconnected",
            f"Cannot create or update peering {peering_id} because remote peering "
            f"{partner.id} referencing parent virtual network {vnet_of(peering_id)} is in "
            "Disconnected state. Update or re-create the remote peering to get it back to "
            "Initiated state. Peering gets Disconnected when remote vnet or remote peering is "
            "deleted and re-created.",
            details=[],
        )


def has_gateway(state: State, vnet: str) -> bool:
    prefix = vnet.lower() + "/subnets/"
    return any(
        config.get("properties", {}).get("subnet", {}).get("id", "").lower().startswith(prefix)
        for gateway in state.resources.values()
        if gateway.type == GATEWAY
        for config in gateway.properties.get("ipConfigurations", [])
    )


def check_remote_gateways(state: State, peering_id: str, remote_vnet: str) -> None:
    """useRemoteGateways needs a gateway in the remote VNet, a remote end that allows gateway
    transit, and no other peering of the VNet using remote gateways."""
    vnet = vnet_of(peering_id)
    if not has_gateway(state, remote_vnet):
        raise peering_refusal(
            "RemoteVnetHasNoGateways",
            f"Peering {peering_id} cannot have UseRemoteGateway flag set to true because "
            f"remote virtual network {remote_vnet} referenced by the peering does not have "
            "any gateways.",
        )
    partner = partner_end(state, vnet, remote_vnet)
    if partner is None or not partner.properties.get("allowGatewayTransit"):
        why = "does not exist" if partner is None else "has AllowGatewayTransit flag set to false"
        raise peering_refusal(
            "RemotePeeringDoesNotAllowGatewayTransit",
            f"Peering {peering_id} cannot have UseRemoteGateways flag set to true, because "
            f"corresponding remote peering {why}.",
        )
    others = [
        p
        for p in state.children(vnet, "virtualNetworkPeerings")
        if p.id.lower() != peering_id.lower() and p.properties.get("useRemoteGateways")
    ]
    if others:
        raise peering_refusal(
            "OnlyOnePeeringCanUseRemoteGateways",
            f"Peering {peering_id} cannot have UseRemoteGateways flag set to true, because "
            f"peering {others[0].id} of the same virtual network already has it set. Only one "
            "peering can have this flag set to true.",
        )


def peering_refusal(code: str, message: str) -> ArmError:
    return ArmError(400, code, message, details=[])
