"""The controller as a run sees it: the session it signs in with, and the gateways' names a
VNet's steps ask it about.

A gateway's name comes from the configuration, or else from the library's naming rules: the
spoke's from the name the controller already knows for the VNet (`deduceGwName` over the
controller's gateway list), else `<VNet>-<account>-gw`; the transit's from the VNet's region
(`deduceTransitNameWithRegion`).
"""

from dataclasses import dataclass
from typing import Any

import requests

from qn.arm.lumaflow import LumaflowError, LumaflowSession, LumaflowUnreachable, Payload, Retries
from qn.arm.switch_traffic import audit
from qn.arm.switch_traffic.config import ControllerAccess, DriverConfig, VnetConfig
from qn.arm.switch_traffic.resources import resource_group, same


def run_session(config: DriverConfig, retries: Retries) -> LumaflowSession | None:
    """The run's session with the controller; none when the configuration names none."""
    return session_for(config.controller, retries) if config.controller else None


class RunSession(LumaflowSession):
    """The run's session: each change asked of the controller goes into the run's audit
    record with the controller's answer."""

    def send(self, payload: Payload) -> requests.Response:
        try:
            response = super().send(payload)
        except LumaflowUnreachable:
            audit.controller_answered(payload, None)
            raise
        audit.controller_answered(payload, response)
        return response


def session_for(access: ControllerAccess, retries: Retries) -> LumaflowSession:
    return RunSession(
        access.endpoint,
        username=access.username,
        password_env=access.password_env,
        cid=access.cid if access.username is None else None,
        ca_bundle=access.ca_bundle,
        retries=retries,
    )


@dataclass(frozen=True)
class Gateways:
    spoke: str
    transit: str


def gateway_names(
    config: DriverConfig,
    vnet_config: VnetConfig,
    vnet: Any,
    library: Any,
    session: LumaflowSession | None,
) -> Gateways:
    """The VNet's spoke gateway and the transit it attaches to."""
    transit = (
        vnet_config.transit_gw_name
        or config.transit_gateway
        or library.deduceTransitNameWithRegion(vnet.location)
    )
    spoke = vnet_config.spoke_gw_name or _spoke_name(vnet_config, vnet, library, session)
    return Gateways(spoke, transit)


def _spoke_name(vnet_config: VnetConfig, vnet: Any, library: Any, session: Any) -> str:
    if session is None:
        raise LumaflowError(f"{vnet_config.name}: no spoke_gw_name, and no controller to ask")
    accounts = session.call("list_accounts", iam_based="false") or {}
    account = next(
        (
            entry["account_name"]
            for entry in accounts.get("account_list", ())
            if same(entry.get("arm_subscription_id"), vnet_config.subscription)
        ),
        None,
    )
    if account is None:
        raise LumaflowError(
            f"the controller has no account for subscription {vnet_config.subscription}"
        )
    spokes = [g for g in session.list_gateways() if g.kind == "spoke"]
    known = {f"{g.vpc_id}-{g.account}": g.name for g in spokes}
    group = resource_group(vnet.id)
    vpc_id = next(
        (
            g.vpc_id
            for g in spokes
            if same(g.vnet_name, vnet.name) and same(g.resource_group, group)
        ),
        f"{vnet.name}:{group}:{vnet_config.subscription}",
    )
    name: str = library.deduceGwName(known, vpc_id, vnet.name, account)
    return name
