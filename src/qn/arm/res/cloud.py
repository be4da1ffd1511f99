"""The Azure management clients the tool builds, pointed at the cloud its configuration names.

The SDK clients run unchanged (authentication, retries, long-running-operation polling); only
where they connect and what they trust come from the tool's configuration file:

    management_endpoint: https://management.azure.com  # default: the public cloud
    management_credential_scope: ...  # default: <endpoint>/.default
    management_ca_bundle: /path/to/ca.pem  # optional: a PEM bundle to trust

`configure()` overrides the file for the whole process (the switch-traffic driver passes the
endpoint it read). The library binds `NetworkManagementClient`, `ManagementLockClient` and
`resourcegraph` (as its `arg`), so every client it builds for itself, in any subscription,
reaches that cloud.
"""

import time
import types
from collections.abc import Mapping
from dataclasses import dataclass

import azure.mgmt.network
import azure.mgmt.resource.locks
import azure.mgmt.resourcegraph
from azure.core.credentials import AccessToken
from azure.mgmt.network import models as network_models
from azure.mgmt.network.operations import VirtualNetworkPeeringsOperations

from qn.arm.res.YamlContext import ConfigurationError, YamlContext

PUBLIC_ENDPOINT = "https://management.azure.com"
CLOUD_KEYS = {
    "endpoint": "management_endpoint",
    "credential_scope": "management_credential_scope",
    "ca_bundle": "management_ca_bundle",
}
_override = {}


@dataclass(frozen=True)
class CloudSettings:
    endpoint: str
    credential_scope: str
    ca_bundle: str | None = None

    def client_options(self, options):
        """The client keyword options for this cloud; options the caller gave win."""
        options = dict(options)
        options.setdefault("credential_scopes", [self.credential_scope])
        if self.ca_bundle:
            options.setdefault("connection_verify", self.ca_bundle)
        return options


def configure(management_endpoint=None, *, credential_scope=None, ca_bundle=None):
    """Sets the cloud for this process over the configuration file's; no arguments go back to
    the file."""
    _override.clear()
    given = {
        "endpoint": management_endpoint,
        "credential_scope": credential_scope,
        "ca_bundle": ca_bundle,
    }
    _override.update({k: v for k, v in given.items() if v is not None})


def cloud_settings(context=None):
    """The configured cloud (the public cloud when nothing names one)."""
    context = context or YamlContext()
    values = {}
    for field, key in CLOUD_KEYS.items():
        value = _override.get(field, context.config.get(key))
        if value is not None and not isinstance(value, str):
            raise ConfigurationError(f"{context.path}: '{key}' must be text")
        values[field] = value or None
    endpoint = (values["endpoint"] or PUBLIC_ENDPOINT).rstrip("/")
    if not endpoint.startswith("https://"):
        raise ConfigurationError(
            f"{context.path}: 'management_endpoint' must be an https:// URL, not {endpoint!r}"
        )
    scope = values["credential_scope"] or f"{endpoint}/.default"
    return CloudSettings(endpoint, scope, values["ca_bundle"])


def peering_model(body):
    """A peering body as the SDK sends it. A plain settings map (snake-case attribute names,
    `remote_virtual_network` as {"id": ...}) becomes a VirtualNetworkPeering; the SDK would
    otherwise send the map as it is, which ARM does not read as a peering."""
    if not isinstance(body, Mapping) or isinstance(body, network_models.VirtualNetworkPeering):
        return body
    if "properties" in body:  # already in the REST shape
        return body
    values = dict(body)
    remote = values.pop("remote_virtual_network", None)
    if isinstance(remote, Mapping):
        remote = network_models.SubResource(**remote)
    return network_models.VirtualNetworkPeering(**values, remote_virtual_network=remote)


class PeeringOperations(VirtualNetworkPeeringsOperations):
    def begin_create_or_update(
        self,
        resource_group_name,
        virtual_network_name,
        virtual_network_peering_name,
        virtual_network_peering_parameters,
        **kwargs,
    ):
        return super().begin_create_or_update(
            resource_group_name,
            virtual_network_name,
            virtual_network_peering_name,
            peering_model(virtual_network_peering_parameters),
            **kwargs,
        )


class NetworkManagementClient(azure.mgmt.network.NetworkManagementClient):
    """The SDK's network client for the configured cloud; its peering create-or-update also
    takes a plain settings map."""

    def __init__(self, credential, subscription_id, base_url=None, **kwargs):
        cloud = cloud_settings()
        super().__init__(
            credential, subscription_id, base_url or cloud.endpoint, **cloud.client_options(kwargs)
        )
        self.virtual_network_peerings = PeeringOperations(
            self._client, self._config, self._serialize, self._deserialize
        )


class ManagementLockClient(azure.mgmt.resource.locks.ManagementLockClient):
    """The SDK's lock client for the configured cloud."""

    def __init__(self, credential, subscription_id, base_url=None, **kwargs):
        cloud = cloud_settings()
        super().__init__(
            credential, subscription_id, base_url or cloud.endpoint, **cloud.client_options(kwargs)
        )


class ResourceGraphClient(azure.mgmt.resourcegraph.ResourceGraphClient):
    """The SDK's Resource Graph client for the configured cloud."""

    def __init__(self, credential, base_url=None, **kwargs):
        cloud = cloud_settings()
        super().__init__(credential, base_url or cloud.endpoint, **cloud.client_options(kwargs))


# Stands in for the package azure.mgmt.resourcegraph where the library uses it: its client
# and its models.
resourcegraph = types.ModuleType(
    f"{__name__}.resourcegraph", "azure.mgmt.resourcegraph with a client for the configured cloud"
)
resourcegraph.ResourceGraphClient = ResourceGraphClient
resourcegraph.models = azure.mgmt.resourcegraph.models


class StaticTokenCredential:
    """A credential that always presents the same bearer token. For emulators only: Azure
    itself accepts no such token."""

    def __init__(self, token="armsim"):
        self._token = token

    def get_token(self, *scopes, **kwargs):
        return AccessToken(self._token, int(time.time()) + 3600)

    def close(self):
        pass
