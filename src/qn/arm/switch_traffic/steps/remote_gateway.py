"""remote-gateway-off: stops the VNet's peerings from using the hub's gateway; the revert gives
each peering its recorded setting back."""

import copy
import functools
from typing import Any

from qn.arm.switch_traffic.records import Change, GatewayUse, Records
from qn.arm.switch_traffic.resources import Verdict, attempt, only_named, readable, verdict
from qn.arm.switch_traffic.rights import PEER, PEERING_WRITE, Need, needs, network_id
from qn.arm.switch_traffic.steps.base import Earlier, Step, VnetRun


class RemoteGateway(Records):
    peeringPropList: list[GatewayUse]

    def of(self, name: str) -> GatewayUse:
        return next(use for use in self.peeringPropList if use.localPeeringName == name)


def narrowed_vnet(vnet: Any, peering_names: list[str]) -> Any:
    """The VNet model object as the peering operations walk it, with only these peerings."""
    named = only_named(peering_names)
    narrowed = copy.copy(vnet)
    narrowed.virtual_network_peerings = [
        p for p in vnet.virtual_network_peerings or () if named(p.name)
    ]
    return narrowed


def gateway_use(used: bool) -> str:
    return "uses the remote gateway" if used else "does not use it"


class RemoteGatewayOff(Step[RemoteGateway]):
    name = "remote-gateway-off"
    records = RemoteGateway

    def keys(self, records: RemoteGateway) -> list[str]:
        return [use.localPeeringName for use in records.peeringPropList]

    def narrowed(self, records: RemoteGateway, names: list[str]) -> RemoteGateway:
        named = only_named(names)
        return RemoteGateway(
            peeringPropList=[u for u in records.peeringPropList if named(u.localPeeringName)]
        )

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> RemoteGateway:
        return self._disable(run, library, run.vnet)

    def forward(
        self, run: VnetRun, records: RemoteGateway, pending: list[str], earlier: Earlier
    ) -> None:
        self._disable(run, run.library, narrowed_vnet(run.vnet, pending))

    @staticmethod
    def _disable(run: VnetRun, library: Any, vnet: Any) -> RemoteGateway:
        changes = library.disableUseRemoteGwInPeering(
            run.subscription, run.network_client, vnet, run.config.peering_prefix
        )
        return RemoteGateway.model_validate({"peeringPropList": changes})

    def revert(self, run: VnetRun, records: RemoteGateway, pending: list[str]) -> None:
        uses = self.narrowed(records, pending).dumped()["peeringPropList"]
        run.library.restoreUseRemoteGwInPeering(run.network_client, uses)

    def read(self, run: VnetRun, records: RemoteGateway, names: list[str]) -> dict[str, Any]:
        peerings = run.network_client.virtual_network_peerings
        return {
            name: attempt(
                functools.partial(
                    peerings.get, records.of(name).localRgName, records.of(name).localVnetName, name
                )
            )
            for name in names
        }

    def judge(self, records: RemoteGateway, name: str, peering: Any, revert: bool) -> Verdict:
        if not readable(peering):
            return False, f"peering {peering or 'not found'}"
        wanted = bool(records.of(name).localPeering.use_remote_gateways) if revert else False
        right = bool(peering.use_remote_gateways) == wanted
        return verdict(peering, right, f"use_remote_gateways still {not wanted}")

    def rights(
        self, run: VnetRun, records: RemoteGateway, earlier: Earlier, revert: bool
    ) -> list[Need]:
        """Each peering written, in both directions; Azure checks every peering write against
        the VNet at its far end too."""
        wanted = []
        for use in records.peeringPropList:
            subscription = use.localSubscriptionId or run.subscription
            vnet = network_id(subscription, use.localRgName, "virtualNetworks", use.localVnetName)
            wanted += needs(self.name, vnet, PEERING_WRITE)
            wanted += needs(self.name, use.localPeering.remote_virtual_network.id, PEER)
        return wanted

    def rows(self, run: VnetRun, records: RemoteGateway, revert: bool) -> list[Change]:
        rows = []
        for use in records.peeringPropList:
            used = bool(use.localPeering.use_remote_gateways)
            before, after = (False, used) if revert else (used, False)
            rows.append(
                Change(self.name, use.localPeeringName, gateway_use(before), gateway_use(after))
            )
        return rows


STEP = RemoteGatewayOff()
