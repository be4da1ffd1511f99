"""The one place that sets what the library and the tool's collaborators read from class state
(`Globals`, `Terraform`, `YamlContext`, the library's `DryRun`): for a run, from its
configuration; for a VNet's run, in that worker's own context."""

import contextlib
import dataclasses
import os
import re
from collections.abc import Iterator
from typing import Any

from azure.core.exceptions import ClientAuthenticationError

from qn.arm import switchlib
from qn.arm.lumaflow import LumaflowSession
from qn.arm.res import cloud, throttle
from qn.arm.res.credentials import SignIn, SignInError
from qn.arm.res.errors import ConfigError
from qn.arm.res.Globals import Globals
from qn.arm.res.listings import Listings
from qn.arm.res.YamlContext import YamlContext
from qn.arm.switch_traffic import answered
from qn.arm.switch_traffic.config import DriverConfig, VnetConfig
from qn.arm.switch_traffic.options import RunOptions
from qn.arm.terraform import Terraform


def point_tool_at(
    config: DriverConfig,
    options: RunOptions | None = None,
    session: LumaflowSession | None = None,
) -> contextlib.AbstractContextManager[None]:
    """The tool's collaborators reading this configuration, in the block this opens (and in
    the workers' contexts copied from it), the library's controller requests going through the
    run's session; fails at once on an unusable cloud."""
    path = os.path.abspath(config.path)
    clients = dataclasses.replace(
        cloud.current(),
        cloud=cloud.cloud_settings(YamlContext(path)),  # the file names the cloud
        pacers=throttle.Pacers(),  # what Azure tells this run's clients
        listings=Listings(),  # what they list for several VNets at once
    )
    if options is not None:
        clients = dataclasses.replace(clients, retries=options.retries)
    return _pointed_at(config, path, clients, session)


@contextlib.contextmanager
def _pointed_at(
    config: DriverConfig,
    path: str,
    clients: cloud.ClientSettings,
    session: LumaflowSession | None,
) -> Iterator[None]:
    with (
        YamlContext.using(path),
        cloud.using(clients),
        Terraform.using(config.output_dir),
        Globals.using(CID=config.cid, api_ep_url=config.api_endpoint_url),
        session.installed() if session else contextlib.nullcontext(),
    ):
        yield


def changes_for_real() -> None:
    """Class state of the library and the tool: off for this run, whatever an earlier caller
    in the same process (the demo, tests) left on; a plan has its own subclass."""
    switchlib.SwitchTraffic.DryRun = False
    Globals.setDryRun(False)


def library() -> type:
    return switchlib.SwitchTraffic


def open_vnet(config: DriverConfig, vnet_config: VnetConfig) -> tuple[Any, Any]:
    """The network client of the VNet's subscription and the VNet."""
    credential = YamlContext().generateAzureCredential(vnet_config.subscription)
    if credential is None:
        raise ConfigError(
            f"{config.path}: subscriptions.{vnet_config.subscription}: "
            "no credential for this subscription"
        )
    client = switchlib.NetworkManagementClient(
        credential.getCSC(), credential.getSubId(), raw_response_hook=answered.hook
    )
    vnet = client.virtual_networks.get(vnet_config.resource_group, vnet_config.name)
    return client, vnet


def sign_in_problem(error: ClientAuthenticationError) -> str:
    """A failed sign-in, or Azure's refusal of a token, with the subscription and the way it
    signs in."""
    if isinstance(error, SignInError):
        return str(error)
    request = getattr(error.response, "request", None)
    found = re.search(r"/subscriptions/([^/?]+)", getattr(request, "url", "") or "")
    if found is None:
        return f"{type(error).__name__}: {error}"
    info = YamlContext().subscriptionInfo(found[1]) or {}
    return SignIn.of(found[1], info.get("credential")).refused(error)


@contextlib.contextmanager
def domain_settings(
    config: DriverConfig, domain: str | None, attachment: str | None
) -> Iterator[None]:
    """What the library's security-domain operation reads from `Globals.yaml`, for a VNet's
    call (per worker: each context has its own)."""
    saved = Globals.yaml
    Globals.yaml = {
        "configure_gw_name": config.configure_gw_name,
        "domain": domain,
        "spoke_gw_name": attachment,
    }
    try:
        yield
    finally:
        Globals.yaml = saved
