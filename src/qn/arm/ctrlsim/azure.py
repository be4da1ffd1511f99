"""The controller's hands in Azure: the network client it builds, with a principal of its own,
against the management endpoint it is given (the Azure emulator's in tests and the demo), to
peer a spoke's VNet with its transit's and to write its routes into the spoke's route tables."""

import contextlib
import logging
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any, Protocol

from azure.core.credentials import AccessToken
from azure.core.exceptions import AzureError, ResourceNotFoundError
from azure.mgmt.network import NetworkManagementClient, models

from .topology import Gateway

log = logging.getLogger("ctrlsim")

DEFAULT_TOKEN = "lumaflow-controller"
TOKEN_LIFETIME = 3600


class ManagementEndpoint(Protocol):
    """Where Azure is: an Azure emulator, or anything with the same two attributes."""

    @property
    def endpoint(self) -> str: ...

    @property
    def ca_file(self) -> str | None: ...


@dataclass(frozen=True)
class AzureAt:
    """A management endpoint given by hand (the command's options)."""

    endpoint: str
    ca_file: str | None = None


class AzureRefused(Exception):
    """An Azure call failed; the text says which step and Azure's message."""


@dataclass(frozen=True)
class RouteTable:
    name: str
    resource_group: str

    def entry(self) -> str:
        return f"{self.name}:{self.resource_group}"


class _BearerToken:
    """The controller's own principal: one bearer token for every subscription."""

    def __init__(self, token: str) -> None:
        self.token = token

    def get_token(self, *scopes: str, **kwargs: Any) -> AccessToken:
        return AccessToken(self.token, int(time.time()) + TOKEN_LIFETIME)


class AzureNetwork:
    def __init__(self, azure: ManagementEndpoint, token: str, prefix: str) -> None:
        self.azure = azure
        self.credential = _BearerToken(token)
        self.prefix = prefix

    def client(self, subscription: str) -> NetworkManagementClient:
        endpoint = self.azure.endpoint.rstrip("/")
        options: dict[str, Any] = {"credential_scopes": [f"{endpoint}/.default"]}
        if self.azure.ca_file:
            options["connection_verify"] = self.azure.ca_file
        return NetworkManagementClient(self.credential, subscription, base_url=endpoint, **options)

    # -- peerings -----------------------------------------------------------------------------
    def peering_names(self, spoke: Gateway, transit: Gateway) -> tuple[str, str]:
        """(the spoke VNet's end, the transit VNet's end)."""
        return f"{self.prefix}{transit.name}", f"{self.prefix}{spoke.name}"

    def peer(self, spoke: Gateway, transit: Gateway) -> None:
        at_spoke, at_transit = self.peering_names(spoke, transit)
        self._put_peering(spoke, at_spoke, transit)
        self._put_peering(transit, at_transit, spoke)

    def unpeer(self, spoke: Gateway, transit: Gateway) -> None:
        at_spoke, at_transit = self.peering_names(spoke, transit)
        self._delete_peering(spoke, at_spoke)
        self._delete_peering(transit, at_transit)

    def _put_peering(self, local: Gateway, name: str, remote: Gateway) -> None:
        peering = models.VirtualNetworkPeering(
            properties=models.VirtualNetworkPeeringPropertiesFormat(
                remote_virtual_network=models.SubResource(id=remote.vnet_id),
                allow_virtual_network_access=True,
                allow_forwarded_traffic=True,
                allow_gateway_transit=False,
                use_remote_gateways=False,
            )
        )
        with self._step(f"create peering {name} of VNet {local.vnet}", local) as client:
            client.virtual_network_peerings.begin_create_or_update(
                local.resource_group, local.vnet, name, peering
            ).result()

    def _delete_peering(self, local: Gateway, name: str) -> None:
        with self._step(f"delete peering {name} of VNet {local.vnet}", local) as client:
            try:
                client.virtual_network_peerings.begin_delete(
                    local.resource_group, local.vnet, name
                ).result()
            except ResourceNotFoundError:
                log.info("ctrlsim: peering %s of VNet %s already gone", name, local.vnet)

    # -- routes -------------------------------------------------------------------------------
    def route_name(self, destination: str) -> str:
        return self.prefix + destination.replace(".", "-").replace("/", "-")

    def write_routes(
        self, spoke: Gateway, tables: Iterable[RouteTable], destinations: Iterable[str]
    ) -> None:
        wanted = [
            models.Route(
                name=self.route_name(destination),
                properties=models.RoutePropertiesFormat(
                    address_prefix=destination,
                    next_hop_type="VirtualAppliance",
                    next_hop_ip_address=spoke.private_ip,
                ),
            )
            for destination in destinations
        ]
        names = {route.name for route in wanted}
        for table in tables:
            self._rewrite(
                spoke, table, lambda routes: [r for r in routes if r.name not in names] + wanted
            )

    def remove_routes(
        self, spoke: Gateway, tables: Iterable[RouteTable], destinations: Iterable[str]
    ) -> None:
        names = {self.route_name(destination) for destination in destinations}
        for table in tables:
            self._rewrite(spoke, table, lambda routes: [r for r in routes if r.name not in names])

    def _rewrite(
        self,
        spoke: Gateway,
        table: RouteTable,
        change: Callable[[list[models.Route]], list[models.Route]],
    ) -> None:
        """The table read, its routes changed and written back whole, as Azure takes them."""
        with self._step(f"write the routes of route table {table.entry()}", spoke) as client:
            current = client.route_tables.get(table.resource_group, table.name)
            current.routes = change(list(current.routes or []))
            client.route_tables.begin_create_or_update(
                table.resource_group, table.name, current
            ).result()

    @contextlib.contextmanager
    def _step(self, what: str, gateway: Gateway) -> Iterator[NetworkManagementClient]:
        """A client of the gateway's subscription; Azure's errors become AzureRefused."""
        try:
            with self.client(gateway.account.subscription) as client:
                yield client
        except AzureError as error:
            message = getattr(error, "message", None) or str(error)
            raise AzureRefused(f"Failed to {what} in Azure: {message}") from error
