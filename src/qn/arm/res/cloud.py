"""The Azure management clients the tool builds, pointed at the cloud its configuration names.

The SDK clients run unchanged (authentication, retries, long-running-operation polling); only
where they connect and what they trust come from the tool's configuration file:

    management_endpoint: https://management.azure.com  # default: the public cloud
    management_credential_scope: ...  # default: <endpoint>/.default
    management_ca_bundle: /path/to/ca.pem  # optional: a PEM bundle to trust

What else every client is built with (`ClientSettings`: a cloud over the file's, the retries of
refused writes, options such as headers, extra per-retry policies, and the run's pacers) is
installed for a block with `using()`: it holds in that context and in every context copied from
it, so a run's workers build their clients with their run's settings; `current()` gives those
in force. A client takes them as it is built and keeps them, since the SDK polls long-running
operations in threads of its own, outside any context. The library binds
`NetworkManagementClient`, `ManagementLockClient` and `qn.arm.res.resourcegraph` (as its
`arg`), so every client it builds for itself, in any subscription, gets them too. Every client
tries refused writes again (`BusyResourceRetryPolicy`) and spaces a subscription's writes when
Azure's allowance for them runs low (`throttle.WritePacing`), shared by the clients of a run,
as are their listings of route tables and virtual networks (`listings`).
"""

import contextlib
import logging
import time
from collections.abc import Iterator, Mapping
from contextvars import ContextVar
from dataclasses import dataclass, field, replace
from types import MappingProxyType
from typing import Any

import azure.mgmt.network
import azure.mgmt.resource.locks
from azure.core.credentials import TokenCredential
from azure.core.pipeline.policies import HTTPPolicy, RetryPolicy, SansIOHTTPPolicy
from azure.mgmt.core.policies import ARMHttpLoggingPolicy
from azure.mgmt.network import models as network_models
from azure.mgmt.network.operations import VirtualNetworkPeeringsOperations

from qn.arm.res.errors import ConfigError, error_code
from qn.arm.res.listings import Listings
from qn.arm.res.sdk_models import guard_network_models
from qn.arm.res.throttle import Pace, Pacers, WritePacing
from qn.arm.res.YamlContext import PUBLIC_ENDPOINT, YamlContext

log = logging.getLogger(__name__)
guard_network_models()  # before any client is built: a run's workers read at once

# What a client's pipeline takes as a per-retry policy.
Policy = HTTPPolicy[Any, Any] | SansIOHTTPPolicy[Any, Any]
CLOUD_KEYS = {
    "endpoint": "management_endpoint",
    "credential_scope": "management_credential_scope",
    "ca_bundle": "management_ca_bundle",
}


@dataclass(frozen=True)
class CloudSettings:
    endpoint: str
    credential_scope: str
    ca_bundle: str | None = None

    @classmethod
    def at(
        cls, endpoint: str, *, credential_scope: str | None = None, ca_bundle: str | None = None
    ) -> "CloudSettings":
        """The cloud of this management endpoint (an https:// URL); its credential scope is
        `<endpoint>/.default` unless named. ConfigError for an endpoint that cannot be used."""
        endpoint = endpoint.rstrip("/")
        if not endpoint.startswith("https://"):
            raise ConfigError(f"'management_endpoint' must be an https:// URL, not {endpoint!r}")
        return cls(endpoint, credential_scope or f"{endpoint}/.default", ca_bundle)


@dataclass(frozen=True)
class RetrySettings:
    """How long a refused write is tried again.

    total_seconds bounds the waiting for one request, Retry-After waits included; base_delay is
    the first wait when Azure names none, doubled on each further refusal up to max_delay;
    pace spaces a subscription's writes when its allowance runs low (see throttle.py).
    """

    total_seconds: float = 600.0
    base_delay: float = 5.0
    max_delay: float = 60.0
    pace: Pace = Pace()

    def scaled(self, scale: float) -> "RetrySettings":
        """These waits of a refused write and of a paced one shrunk by `scale` (an emulator's
        time scale); the bound on one request's waiting stays."""
        return replace(
            self,
            base_delay=self.base_delay * scale,
            max_delay=self.max_delay * scale,
            pace=replace(self.pace, interval=self.pace.interval * scale),
        )


@dataclass(frozen=True)
class ClientSettings:
    """What every client built in a context is made with.

    cloud: where the clients connect; None reads the configuration file as each client is
    built. retries: how refused writes are tried again, and the pace of writes. options: client
    keyword options below the caller's own (a program's headers). per_retry_policies: pipeline
    policies after the pacing (a program's guard on its writes). pacers: what Azure told of
    each subscription's allowance, shared by every client built with these settings (one per
    run; outside any run, one for the process). listings: the route-table and virtual-network
    listings the network clients built with these settings share (one per run; None: each
    client lists for itself).
    """

    cloud: CloudSettings | None = None
    retries: RetrySettings = RetrySettings()
    options: Mapping[str, Any] = field(default_factory=lambda: MappingProxyType({}))
    per_retry_policies: tuple[Policy, ...] = ()
    pacers: Pacers = field(default_factory=Pacers)
    listings: Listings | None = None

    def with_options(self, **options: Any) -> "ClientSettings":
        """These settings with more client options (over the same ones of these)."""
        return replace(self, options=MappingProxyType({**self.options, **options}))

    def with_policies(self, *policies: Policy) -> "ClientSettings":
        """These settings with more per-retry policies, after those of these."""
        return replace(self, per_retry_policies=(*self.per_retry_policies, *policies))

    def client_options(self, cloud: CloudSettings, given: Mapping[str, Any]) -> dict[str, Any]:
        """The keyword options of a client of `cloud`; options the caller gave win. Every
        client paces its writes (first of the per-retry policies, so a write waiting for its
        turn is not yet in flight for those after it)."""
        result = dict(given)
        result.setdefault("credential_scopes", [cloud.credential_scope])
        if cloud.ca_bundle:
            result.setdefault("connection_verify", cloud.ca_bundle)
        result.setdefault("retry_policy", BusyResourceRetryPolicy(self.retries))
        result.setdefault("http_logging_policy", RequestIdLoggingPolicy())
        for key, value in self.options.items():
            result.setdefault(key, value)
        pacing = WritePacing(self.retries.pace, self.pacers)
        result["per_retry_policies"] = [pacing, *self.per_retry_policies, *_listed(given)]
        return result


def _listed(given: Mapping[str, Any]) -> list[Any]:
    """The per-retry policies a caller gave: none, one, or several."""
    policies = given.get("per_retry_policies") or []
    return list(policies) if isinstance(policies, list | tuple) else [policies]


# In force outside any block: the defaults, with the process's one set of pacers.
_DEFAULTS = ClientSettings()
_settings: ContextVar[ClientSettings] = ContextVar("cloud.settings", default=_DEFAULTS)


def current() -> ClientSettings:
    """The client settings in force in this context (the defaults when none are installed)."""
    return _settings.get()


@contextlib.contextmanager
def using(settings: ClientSettings) -> Iterator[ClientSettings]:
    """Every client built in the block, in this context and those copied from it, is made
    with `settings`; those in force before are back after it."""
    token = _settings.set(settings)
    try:
        yield settings
    finally:
        _settings.reset(token)


def client_arguments(base_url: str | None, given: Mapping[str, Any]) -> tuple[str, dict[str, Any]]:
    """The endpoint and keyword options of a client built now, with the settings in force."""
    settings = current()
    cloud = settings.cloud or cloud_settings()
    return base_url or cloud.endpoint, settings.client_options(cloud, given)


class RequestIdLoggingPolicy(ARMHttpLoggingPolicy):
    """The SDK's HTTP logging, silent until its logger is enabled for INFO, with ARM's
    correlation ID shown beside the request ID: the two IDs Azure support asks for. Every
    header not allowed here, Authorization first, is logged as REDACTED."""

    DEFAULT_HEADERS_ALLOWLIST = ARMHttpLoggingPolicy.DEFAULT_HEADERS_ALLOWLIST | {
        "x-ms-correlation-request-id"
    }


# ARM refuses a write while another operation runs on the resource or one it depends on, with
# 409 and this code; throttling and references still being provisioned come as 429.
BUSY_CODES = frozenset({"AnotherOperationInProgress"})


class BusyResourceRetryPolicy(RetryPolicy):  # type: ignore[type-arg]  # any transport
    """The SDK's retries, plus writes refused because another operation is in progress.

    The SDK gives up on 409 at once and on 429 after three tries; a migration that writes many
    children of one VNet meets both as a matter of course. Each such refusal is tried again
    after the Retry-After that Azure gives (else a doubling backoff), for at most
    `total_seconds` per request, and every wait is logged so the operator sees why the run
    pauses.
    """

    def __init__(self, settings: RetrySettings, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.settings = settings

    def configure_retries(self, options: dict[str, Any]) -> dict[str, Any]:
        retry_settings = super().configure_retries(options)
        retry_settings["busy_deadline"] = time.monotonic() + self.settings.total_seconds
        retry_settings["busy_refusals"] = 0
        return retry_settings

    def is_retry(self, settings: dict[str, Any], response: Any) -> bool:
        if self._is_busy(response):
            # Judged once: sleep() uses this wait, as a second look at the clock could find
            # the deadline passed meanwhile and leave no wait to take.
            settings["busy_wait"] = self._busy_wait(settings, response)
            return settings["busy_wait"] is not None
        return super().is_retry(settings, response)

    def increment(self, settings: dict[str, Any], response: Any = None, error: Any = None) -> bool:
        if error is None and response is not None and self._is_busy(response):
            settings["history"].append(response)
            return True
        return super().increment(settings, response=response, error=error)

    def sleep(self, settings: dict[str, Any], transport: Any, response: Any = None) -> None:
        if response is None or not self._is_busy(response):
            return super().sleep(settings, transport, response=response)
        wait = settings.pop("busy_wait", None)
        if wait is None:  # sleep() without is_retry() first: judge the wait now
            wait = self._busy_wait(settings, response) or 0.0
        settings["busy_refusals"] += 1
        request = response.http_request
        log.warning(
            f"  retry {request.method} {resource_path(request.url)} in {wait:g} s: "
            f"{response.http_response.status_code} {error_code(response.http_response)} "
            f"(refusal {settings['busy_refusals']})"
        )
        transport.sleep(wait)

    def _is_busy(self, response: Any) -> bool:
        http = response.http_response
        return http.status_code == 429 or (
            http.status_code == 409 and error_code(http) in BUSY_CODES
        )

    def _busy_wait(self, settings: dict[str, Any], response: Any) -> float | None:
        """The wait before the next try, or None when it would end past the deadline."""
        wait = self.get_retry_after(response)
        if not wait:
            doubled = self.settings.base_delay * 2 ** settings["busy_refusals"]
            wait = min(self.settings.max_delay, doubled)
        if time.monotonic() + wait > settings["busy_deadline"]:
            return None
        return wait


def resource_path(url: str) -> str:
    """The resource part of a request URL: the path after the provider namespace."""
    path = url.split("?", 1)[0]
    marker = "/providers/"
    return path[path.find(marker) + len(marker) :] if marker in path else path


def cloud_settings(context: YamlContext | None = None) -> CloudSettings:
    """The cloud the configuration names (the public cloud when it names none)."""
    context = context or YamlContext()
    values = {}
    for field_name, key in CLOUD_KEYS.items():
        value = context.config.get(key)
        if value is not None and not isinstance(value, str):
            raise ConfigError(f"{context.path}: '{key}' must be text")
        values[field_name] = value or None
    try:
        return CloudSettings.at(
            values["endpoint"] or PUBLIC_ENDPOINT,
            credential_scope=values["credential_scope"],
            ca_bundle=values["ca_bundle"],
        )
    except ConfigError as error:
        raise ConfigError(f"{context.path}: {error}") from None


def peering_model(body: Any) -> Any:
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
    # The SDK's models still take their properties flattened, as keywords; its types no
    # longer say so.
    return network_models.VirtualNetworkPeering(**values, remote_virtual_network=remote)  # type: ignore[call-overload]


class PeeringOperations(VirtualNetworkPeeringsOperations):
    def begin_create_or_update(
        self,
        resource_group_name: str,
        virtual_network_name: str,
        virtual_network_peering_name: str,
        virtual_network_peering_parameters: Any,
        **kwargs: Any,
    ) -> Any:
        return super().begin_create_or_update(
            resource_group_name,
            virtual_network_name,
            virtual_network_peering_name,
            peering_model(virtual_network_peering_parameters),
            **kwargs,
        )


class _InConfiguredCloud:
    """A subscription's SDK client built against the configured cloud (listed first among the
    bases, so that the SDK client's own constructor receives the endpoint and options)."""

    def __init__(
        self,
        credential: TokenCredential,
        subscription_id: str,
        base_url: str | None = None,
        **kwargs: Any,
    ) -> None:
        endpoint, options = client_arguments(base_url, kwargs)
        super().__init__(  # type: ignore[call-arg]  # the SDK client's, next in the MRO
            credential, subscription_id, endpoint, **options
        )


class NetworkManagementClient(_InConfiguredCloud, azure.mgmt.network.NetworkManagementClient):
    """The SDK's network client for the configured cloud; its peering create-or-update also
    takes a plain settings map."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.virtual_network_peerings = PeeringOperations(
            self._client, self._config, self._serialize, self._deserialize
        )
        listings = current().listings
        if listings is not None:
            subscription = self._config.subscription_id
            self.route_tables = listings.shared("route_tables", subscription, self.route_tables)
            self.virtual_networks = listings.shared(
                "virtual_networks", subscription, self.virtual_networks
            )


class ManagementLockClient(_InConfiguredCloud, azure.mgmt.resource.locks.ManagementLockClient):
    """The SDK's lock client for the configured cloud."""
