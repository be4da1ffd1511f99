"""propagation-off: stops BGP route propagation on the staged tables, so that the hub's gateway
no longer feeds them; the revert puts each table's recorded setting back."""

import functools
from types import SimpleNamespace
from typing import Any

from qn.arm.switch_traffic.records import Change, Part, Records
from qn.arm.switch_traffic.resources import Verdict, attempt, only_named, readable, verdict
from qn.arm.switch_traffic.rights import TABLE_WRITE, Need, needs, network_id
from qn.arm.switch_traffic.steps import discover
from qn.arm.switch_traffic.steps.base import Earlier, Step, VnetRun


class TableChange(Part):
    vnet: str | None = None
    resource_group: str
    route_table_name: str
    disable_bgp_route_propagation: bool | None = None


class Propagation(Records):
    rtbPropList: list[TableChange]


class PropagationOff(Step[Propagation]):
    name = "propagation-off"
    records = Propagation
    counted = "tables"

    def keys(self, records: Propagation) -> list[str]:
        return [change.route_table_name for change in records.rtbPropList]

    def narrowed(self, records: Propagation, names: list[str]) -> Propagation:
        named = only_named(names)
        return Propagation(
            rtbPropList=[c for c in records.rtbPropList if named(c.route_table_name)]
        )

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> Propagation:
        return self._disable(run, library, earlier.of(discover.STEP))

    def forward(
        self, run: VnetRun, records: Propagation, pending: list[str], earlier: Earlier
    ) -> None:
        self._disable(run, run.library, earlier.of(discover.STEP).narrowed_to(pending))

    @staticmethod
    def _disable(run: VnetRun, library: Any, discovered: discover.Discovered) -> Propagation:
        changes = library.setDisableAllRouteTablePropagationInVnet(
            SimpleNamespace(revert=False),
            run.network_client,
            run.vnet,
            discovered.stagedUdrLst,
            dict(discovered.rtb_target_rtb_map),
            True,
        )
        return Propagation.model_validate({"rtbPropList": changes})

    def revert(self, run: VnetRun, records: Propagation, pending: list[str]) -> None:
        changes = self.narrowed(records, pending).dumped()["rtbPropList"]
        run.library.restoreRouteTablePropagationInVnet(run.network_client, changes)

    def read(self, run: VnetRun, records: Propagation, names: list[str]) -> dict[str, Any]:
        groups = {change.route_table_name: change.resource_group for change in records.rtbPropList}
        tables = run.network_client.route_tables
        return {name: attempt(functools.partial(tables.get, groups[name], name)) for name in names}

    def judge(self, records: Propagation, name: str, table: Any, revert: bool) -> Verdict:
        if not readable(table):
            return False, f"route table {table or 'not found'}"
        wanted = not revert  # forward: propagation off (disable true)
        right = bool(table.disable_bgp_route_propagation) == wanted
        return verdict(table, right, f"propagation still {'on' if wanted else 'off'}")

    def rights(
        self, run: VnetRun, records: Propagation, earlier: Earlier, revert: bool
    ) -> list[Need]:
        """Each table written, in both directions (the library's client is the VNet's)."""
        return [
            need
            for change in records.rtbPropList
            for need in needs(
                self.name,
                network_id(
                    run.subscription, change.resource_group, "routeTables", change.route_table_name
                ),
                TABLE_WRITE,
            )
        ]

    def rows(self, run: VnetRun, records: Propagation, revert: bool) -> list[Change]:
        rows = []
        for change in records.rtbPropList:
            was = "off" if change.disable_bgp_route_propagation else "on"
            before, after = ("off", was) if revert else (was, "off")
            rows.append(
                Change(
                    self.name,
                    change.route_table_name,
                    f"propagation {before}",
                    f"propagation {after}",
                    "tables",
                )
            )
        return rows


STEP = PropagationOff()
